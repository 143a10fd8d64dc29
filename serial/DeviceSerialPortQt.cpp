// The port where there is no terminal device to drive directly (Windows): Qt's serial port.
#include "serial/DeviceSerialPortQt.h"

#include "engine/RunError.h"
#include "serial/LineSettingsText.h"
#include "serial/LowLatency.h"

#include <QObject>
#include <QSerialPort>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>

#ifdef Q_OS_UNIX
#include "serial/Termios2.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace tavo::serial {

using engine::RunError;

namespace {

// Longest time a write may go without the device taking a single byte (the board holding XOFF
// for good, a wedged driver) before it counts as broken.
constexpr engine::Millis kWriteStallLimit{10'000};
// Step of the push loop while the device's output buffer is full.
constexpr int kWriteStepMs = 25;
// Upper bound of chunks taken from the device per pull, so a flood cannot hold a caller forever.
constexpr int kMaxPullChunks = 256;

std::string SystemReason(int error) {
    return std::strerror(error);
}

RunError Busy(const std::string& device, const std::string& reason = SystemReason(EBUSY)) {
    return RunError("Cannot open " + device + ": another program holds it", reason);
}

#ifdef Q_OS_UNIX
// Qt keeps out the programs that honour its lock file and, through the terminal's exclusive mode,
// those without privileges; a privileged one (root) passes both. As the terminal-device port does,
// refuse a device that another program holds in exclusive mode or under an advisory lock, and
// hold such a lock for as long as the port is open: on the descriptor returned.
int HoldDevice(const std::string& device) {
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        throw error == EBUSY ? Busy(device)
                             : RunError("Cannot open " + device, SystemReason(error));
    }
    int exclusive = 0;
#ifdef TIOCGEXCL
    ::ioctl(fd, TIOCGEXCL, &exclusive);
#endif
    if (exclusive || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = exclusive ? EBUSY : errno;
        ::close(fd);
        throw error == EWOULDBLOCK || error == EBUSY
            ? Busy(device)
            : RunError("Cannot open " + device, SystemReason(error));
    }
    return fd;
}

// Qt's XON/XOFF includes IXANY, by which any byte from the board would resume output that it
// stopped with XOFF; only XON may. (Windows has no such setting.)
void OnlyXonResumes(int fd) {
#if defined(TCGETS2)
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) == 0 && (tio.c_iflag & IXANY)) {
        tio.c_iflag &= ~IXANY;
        ::ioctl(fd, TCSETS2, &tio);
    }
#else
    termios tio{};
    if (::tcgetattr(fd, &tio) == 0 && (tio.c_iflag & IXANY)) {
        tio.c_iflag &= ~IXANY;
        ::tcsetattr(fd, TCSANOW, &tio);
    }
#endif
}
#endif

} // namespace

struct DeviceSerialPortQt::Impl {
    DeviceSerialPortQt& self;
    PortMap map;
    std::optional<std::string> deviceOverride;
    int portNumber = 1;
    bool xonXoff = false;
    int baudRate = 9600;
    WriteStallHandler stallHandler;
    engine::Millis stallLimit = kWriteStallLimit;

    QSerialPort port;
    // Set once the device reported a fatal error; the port is closed and the next operation
    // raises. Bytes that were already received are handed out first.
    bool broken = false;
    std::string brokenReason;
    std::string leftover;
    bool closeQueued = false;
    QMetaObject::Connection errorConnection;
    int guard = -1; // holds the advisory lock while open (Unix)

    Impl(DeviceSerialPortQt& p, PortMap m) : self(p), map(std::move(m)) {
        errorConnection = QObject::connect(&port, &QSerialPort::errorOccurred, &port,
                                           [this](QSerialPort::SerialPortError e) { onError(e); });
    }

    ~Impl() { QObject::disconnect(errorConnection); }

    std::string device() const {
        return deviceOverride ? *deviceOverride : map.deviceFor(portNumber);
    }

    void onError(QSerialPort::SerialPortError error) {
        switch (error) {
        case QSerialPort::NoError:
        case QSerialPort::TimeoutError:
        case QSerialPort::OpenError:
        case QSerialPort::NotOpenError:
        case QSerialPort::DeviceNotFoundError:
        case QSerialPort::PermissionError:
        case QSerialPort::UnsupportedOperationError:
            return; // reported by the operation that caused it
        default:
            break;
        }
        if (!port.isOpen() || broken)
            return;
        broken = true;
        brokenReason = port.errorString().toStdString();
        bool hungUp = error == QSerialPort::ResourceError;
#ifdef Q_OS_UNIX
        // A terminal that has hung up reads as end of file, which Qt reports with whatever
        // errno held last: say what happened instead.
        pollfd p{static_cast<int>(port.handle()), 0, 0};
        if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR))) {
            hungUp = true;
            brokenReason = SystemReason(EIO);
        }
#endif
        if (hungUp)
            brokenReason += " (the device hung up)";
        // A vanished device keeps its descriptor readable, so Qt would report the error again
        // and again from the event loop. Closing right here would pull the notifier out from
        // under the call that reported the error; close on the next turn of the loop instead
        // (or at the next port operation, whichever comes first).
        if (!closeQueued) {
            closeQueued = true;
            QMetaObject::invokeMethod(
                &port,
                [this] {
                    closeQueued = false;
                    if (broken)
                        closeBroken();
                },
                Qt::QueuedConnection);
        }
    }

    // Closes a broken port, keeping what it had received for the next take.
    void closeBroken() {
        if (!port.isOpen())
            return;
        auto rest = port.readAll();
        leftover.append(rest.constData(), static_cast<std::size_t>(rest.size()));
        port.close();
        releaseGuard();
    }

    void releaseGuard() {
#ifdef Q_OS_UNIX
        if (guard >= 0)
            ::close(guard);
        guard = -1;
#endif
    }

    void raiseIfUnusable(const char* operation) {
        if (broken) {
            closeBroken();
            auto reason = brokenReason.empty() ? SystemReason(EIO) : brokenReason;
            broken = false;
            brokenReason.clear();
            leftover.clear();
            throw RunError(
                std::string(operation) + ": the serial device " + device() + " has failed", reason);
        }
        if (!port.isOpen())
            throw RunError(std::string(operation) + ": the serial port is not open",
                           SystemReason(EBADF));
    }

    // Moves whatever the device holds into the port's queue without needing an event loop.
    void pull() {
        if (!port.isOpen() || broken)
            return;
        for (int i = 0; i < kMaxPullChunks && port.waitForReadyRead(0); ++i) {
            if (broken)
                break;
        }
        port.clearError();
    }

    qint64 available() const {
        return static_cast<qint64>(leftover.size()) + (port.isOpen() ? port.bytesAvailable() : 0);
    }

    // QSerialPort only queues; hand the bytes to the device now, or they would wait for an
    // event loop (and be lost on close). A device that takes nothing for a step (the board holds
    // XOFF) hands the wait to the stall handler.
    void push() {
        auto lastProgress = std::chrono::steady_clock::now();
        qint64 pending = port.bytesToWrite();
        while (pending > 0) {
            port.waitForBytesWritten(kWriteStepMs);
            port.clearError();
            if (broken || !port.isOpen())
                raiseIfUnusable("Write");
            qint64 now = port.bytesToWrite();
            auto time = std::chrono::steady_clock::now();
            if (now < pending) {
                lastProgress = time;
            } else if (time - lastProgress > stallLimit) {
                port.clear(QSerialPort::Output);
                throw RunError("Write: the serial device " + device() +
                                   " takes no data (flow control stopped it)",
                               SystemReason(ETIMEDOUT));
            } else if (stallHandler && !stallHandler(self, engine::Millis(kWriteStepMs))) {
                return; // the rest stays queued for close() to discard
            }
            if (broken || !port.isOpen())
                raiseIfUnusable("Write");
            pending = port.bytesToWrite();
        }
    }
};

DeviceSerialPortQt::DeviceSerialPortQt(PortMap map)
    : impl_(std::make_unique<Impl>(*this, std::move(map))) {}

DeviceSerialPortQt::~DeviceSerialPortQt() {
    close();
}

void DeviceSerialPortQt::setDeviceOverride(std::optional<std::string> device) {
    impl_->deviceOverride = std::move(device);
}

std::string DeviceSerialPortQt::device() const {
    return impl_->device();
}

void DeviceSerialPortQt::setWriteStallHandler(WriteStallHandler handler) {
    impl_->stallHandler = std::move(handler);
}

void DeviceSerialPortQt::setWriteStallLimit(engine::Millis limit) {
    impl_->stallLimit = limit;
}

void DeviceSerialPortQt::waitWritable(engine::Millis timeout) {
    if (impl_->port.isOpen())
        impl_->port.waitForBytesWritten(
            static_cast<int>(std::min<long long>(timeout.count(), 1 << 30)));
}

void DeviceSerialPortQt::EmergencyCloseAll() noexcept {}

bool DeviceSerialPortQt::isOpen() const {
    if (impl_->broken)
        impl_->closeBroken();
    return impl_->port.isOpen();
}

void DeviceSerialPortQt::setXonXoff() {
    impl_->xonXoff = true;
    impl_->port.setFlowControl(QSerialPort::SoftwareControl);
#ifdef Q_OS_UNIX
    if (impl_->port.isOpen())
        OnlyXonResumes(impl_->port.handle());
#endif
}

void DeviceSerialPortQt::setLineSettings(const std::string& settings) {
    auto rate = ParseLineSettings(settings);
    if (!rate)
        throw RunError("Invalid line settings \"" + settings + "\"", SystemReason(EINVAL));
    impl_->baudRate = *rate;
    if (!impl_->port.isOpen())
        return;
    if (!impl_->port.setBaudRate(*rate)) {
        auto reason = impl_->port.errorString().toStdString();
        impl_->port.clearError();
        throw RunError("Cannot set line settings \"" + settings + "\"", reason);
    }
}

void DeviceSerialPortQt::setPortNumber(int number) {
    if (isOpen())
        throw RunError("The port number cannot change while the port is open", SystemReason(EBUSY));
    if (number < 1 || number > 8)
        throw RunError("Invalid port number " + std::to_string(number), SystemReason(EINVAL));
    impl_->portNumber = number;
}

void DeviceSerialPortQt::open() {
    auto& d = *impl_;
    if (isOpen())
        throw RunError("The port " + d.device() + " is already open", SystemReason(EBUSY));
    d.broken = false;
    d.brokenReason.clear();
    d.leftover.clear();

    auto device = d.device();
#ifdef Q_OS_UNIX
    d.guard = HoldDevice(device);
#endif
    d.port.setPortName(QString::fromStdString(device));
    d.port.setBaudRate(d.baudRate);
    d.port.setDataBits(QSerialPort::Data8);
    d.port.setParity(QSerialPort::NoParity);
    d.port.setStopBits(QSerialPort::OneStop);
    d.port.setFlowControl(d.xonXoff ? QSerialPort::SoftwareControl : QSerialPort::NoFlowControl);
    if (!d.port.open(QIODevice::ReadWrite)) {
        auto reason = d.port.errorString().toStdString();
        // Windows denies access to a port that another program has open; here the device is
        // ours already, so only another program's lock file is left to refuse it.
        bool held = d.port.error() == QSerialPort::PermissionError;
        d.port.clearError();
        d.releaseGuard();
#ifdef Q_OS_UNIX
        reason = held ? SystemReason(EBUSY) : reason;
#endif
        throw held ? Busy(device, reason) : RunError("Cannot open " + device, reason);
    }
#ifdef Q_OS_UNIX
    OnlyXonResumes(d.port.handle());
    RequestLowLatency(d.port.handle());
#endif
    // Whatever the device collected before this opening is not part of this conversation.
    d.port.clear(QSerialPort::Input);
    d.port.clearError();
}

void DeviceSerialPortQt::close() {
    auto& d = *impl_;
    d.broken = false;
    d.brokenReason.clear();
    d.leftover.clear();
    if (d.port.isOpen()) {
        d.port.clear(QSerialPort::AllDirections);
        d.port.close();
        d.port.clearError();
    }
    d.releaseGuard();
}

void DeviceSerialPortQt::write(std::string_view data) {
    auto& d = *impl_;
    d.raiseIfUnusable("Write");
    if (data.empty())
        return;
    auto written = d.port.write(data.data(), static_cast<qint64>(data.size()));
    if (written != static_cast<qint64>(data.size())) {
        auto reason = d.port.errorString().toStdString();
        d.port.clearError();
        d.raiseIfUnusable("Write");
        throw RunError("Write: the serial device " + d.device() + " refused the data", reason);
    }
    d.push();
}

int DeviceSerialPortQt::countWaiting() {
    auto& d = *impl_;
    d.pull();
    if (d.available() == 0)
        d.raiseIfUnusable("Count waiting");
    return static_cast<int>(std::min<qint64>(d.available(), std::numeric_limits<int>::max()));
}

std::string DeviceSerialPortQt::takeWaiting() {
    auto& d = *impl_;
    d.pull();
    if (d.available() == 0) {
        d.raiseIfUnusable("Take waiting");
        return {};
    }
    std::string data = std::move(d.leftover);
    d.leftover.clear();
    if (d.port.isOpen()) {
        auto bytes = d.port.readAll();
        data.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
    return data;
}

void DeviceSerialPortQt::setBaudRate(long rate) {
    auto& d = *impl_;
    d.raiseIfUnusable("Set bit rate");
    if (rate <= 0 || rate > std::numeric_limits<qint32>::max())
        throw RunError("Invalid bit rate " + std::to_string(rate), SystemReason(EINVAL));
    // The next opening takes the line settings' rate again (open() sets it).
    if (!d.port.setBaudRate(static_cast<qint32>(rate))) {
        auto reason = d.port.errorString().toStdString();
        d.port.clearError();
        throw RunError("Cannot set the bit rate " + std::to_string(rate) + " on " + d.device(),
                       reason);
    }
}

void DeviceSerialPortQt::drainOutput() {
    auto& d = *impl_;
    d.raiseIfUnusable("Drain output");
    d.port.flush();
    while (d.port.bytesToWrite() > 0) {
        if (!d.port.waitForBytesWritten(static_cast<int>(kWriteStallLimit.count()))) {
            d.port.clearError();
            d.raiseIfUnusable("Drain output");
            throw RunError("Drain output: the serial device " + d.device() + " takes no data",
                           SystemReason(ETIMEDOUT));
        }
    }
}

std::string DeviceSerialPortQt::peekWaiting() {
    auto& d = *impl_;
    d.pull();
    // Moved out of the device into our own buffer, where takeWaiting() finds it first.
    if (d.port.isOpen()) {
        auto bytes = d.port.readAll();
        d.leftover.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
    return d.leftover;
}

bool DeviceSerialPortQt::waitForInput(engine::Millis timeout) {
    auto& d = *impl_;
    d.pull();
    if (d.available() > 0)
        return true;
    d.raiseIfUnusable("Wait for input");
    auto ms = std::max<long long>(0, timeout.count());
    if (d.port.waitForReadyRead(static_cast<int>(std::min<long long>(ms, 1 << 30))) ||
        d.available() > 0)
        return true;
    d.port.clearError();
    d.raiseIfUnusable("Wait for input");
    return false;
}

} // namespace tavo::serial
