#include "serial/DeviceSerialPort.h"

#include "engine/RunError.h"

#include <QObject>
#include <QSerialPort>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <limits>

#ifdef __linux__
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace tavo::serial {

using engine::RunError;

namespace {

// Longest time a write may go without the device taking a single byte (the board holding XOFF
// for good, a wedged driver) before it counts as broken.
constexpr auto kWriteStallLimit = std::chrono::seconds(10);
// Step of the push loop while the kernel's output buffer is full.
constexpr int kWriteStepMs = 50;
// Upper bound of chunks taken from the device per pull, so a flood cannot hold a caller forever.
constexpr int kMaxPullChunks = 256;

std::optional<int> ParseLineSettings(const std::string& settings) {
    // "<rate>,n,8,1": the only character format the link uses.
    auto comma = settings.find(',');
    if (comma == std::string::npos || comma == 0)
        return std::nullopt;
    int rate = 0;
    auto [ptr, ec] = std::from_chars(settings.data(), settings.data() + comma, rate);
    if (ec != std::errc{} || ptr != settings.data() + comma || rate <= 0)
        return std::nullopt;
    auto format = settings.substr(comma);
    if (format != ",n,8,1" && format != ",N,8,1")
        return std::nullopt;
    return rate;
}

std::string SystemReason(int error) {
    return std::strerror(error);
}

} // namespace

struct DeviceSerialPort::Impl {
    PortMap map;
    std::optional<std::string> deviceOverride;
    int portNumber = 1;
    bool xonXoff = false;
    int baudRate = 9600;

    QSerialPort port;
    // Set once the device reported a fatal error; the port is closed and the next operation
    // raises. Bytes that were already received are handed out first.
    bool broken = false;
    std::string brokenReason;
    std::string leftover;
    bool closeQueued = false;
    QMetaObject::Connection errorConnection;

    explicit Impl(PortMap m) : map(std::move(m)) {
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
        brokenReason = hungUp() ? SystemReason(EIO) + " (the device hung up)"
                                : port.errorString().toStdString();
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

    // Whether the device is gone: a hung-up terminal (adapter pulled, other end closed). Qt's own
    // text is no help there, since it reads errno after a read that returned nothing.
    bool hungUp() const {
#ifdef __linux__
        pollfd p{static_cast<int>(port.handle()), POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
#else
        return false;
#endif
    }

    // Closes a broken port, keeping what it had received for the next take.
    void closeBroken() {
        if (!port.isOpen())
            return;
        auto rest = port.readAll();
        leftover.append(rest.constData(), static_cast<std::size_t>(rest.size()));
        port.close();
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
#ifdef __linux__
        // Asked once or more per line: when the device holds nothing, one ioctl says so far more
        // cheaply than Qt's zero-timeout poll, whose timeout path builds an error message. A
        // failing ioctl (a hung-up device) takes Qt's path, which notices the failure.
        int waiting = 0;
        if (::ioctl(static_cast<int>(port.handle()), FIONREAD, &waiting) == 0 && waiting == 0)
            return;
#endif
        for (int i = 0; i < kMaxPullChunks && port.waitForReadyRead(0); ++i) {
            if (broken)
                break;
        }
        port.clearError();
    }

    qint64 available() const {
        return static_cast<qint64>(leftover.size()) + (port.isOpen() ? port.bytesAvailable() : 0);
    }

    void applyPlatformSettings() {
#ifdef __linux__
        int fd = static_cast<int>(port.handle());
        if (fd < 0)
            return;
        // Only XON may resume output that XOFF stopped; any other byte from the board must not.
        termios tio{};
        if (::tcgetattr(fd, &tio) == 0 && (tio.c_iflag & IXANY)) {
            tio.c_iflag &= ~IXANY;
            ::tcsetattr(fd, TCSANOW, &tio);
        }
#endif
    }

    void requestLowLatency() {
#ifdef __linux__
        // Answers are single characters; without this some USB adapters hold them for
        // milliseconds. Pseudo-terminals refuse the request, which is fine.
        int fd = static_cast<int>(port.handle());
        serial_struct info{};
        if (::ioctl(fd, TIOCGSERIAL, &info) == 0) {
            info.flags |= ASYNC_LOW_LATENCY;
            ::ioctl(fd, TIOCSSERIAL, &info);
        }
#endif
    }

    void holdExclusively() {
#ifdef __linux__
        // Qt's lock file and TIOCEXCL do not stop a privileged second opener, and the lock file
        // is taken for stale after a while; an advisory lock on the device itself holds for as
        // long as the port is open, whoever asks.
        int fd = static_cast<int>(port.handle());
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int error = errno;
            port.close();
            throw RunError("Cannot open " + device() + ": another program holds it",
                           error == EWOULDBLOCK ? SystemReason(EBUSY) : SystemReason(error));
        }
#endif
    }

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
            } else if (time - lastProgress > kWriteStallLimit) {
                port.clear(QSerialPort::Output);
                throw RunError("Write: the serial device " + device() +
                                   " takes no data (flow control stopped it)",
                               SystemReason(ETIMEDOUT));
            }
            pending = now;
        }
    }
};

DeviceSerialPort::DeviceSerialPort(PortMap map) : impl_(std::make_unique<Impl>(std::move(map))) {}

DeviceSerialPort::~DeviceSerialPort() {
    close();
}

void DeviceSerialPort::setDeviceOverride(std::optional<std::string> device) {
    impl_->deviceOverride = std::move(device);
}

std::string DeviceSerialPort::device() const {
    return impl_->device();
}

bool DeviceSerialPort::isOpen() const {
    if (impl_->broken)
        impl_->closeBroken();
    return impl_->port.isOpen();
}

void DeviceSerialPort::setXonXoff() {
    impl_->xonXoff = true;
    impl_->port.setFlowControl(QSerialPort::SoftwareControl);
    if (impl_->port.isOpen())
        impl_->applyPlatformSettings();
}

void DeviceSerialPort::setLineSettings(const std::string& settings) {
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
    impl_->applyPlatformSettings();
}

void DeviceSerialPort::setPortNumber(int number) {
    if (isOpen())
        throw RunError("The port number cannot change while the port is open", SystemReason(EBUSY));
    if (number < 1 || number > 8)
        throw RunError("Invalid port number " + std::to_string(number), SystemReason(EINVAL));
    impl_->portNumber = number;
}

void DeviceSerialPort::open() {
    auto& d = *impl_;
    if (isOpen())
        throw RunError("The port " + d.device() + " is already open", SystemReason(EBUSY));
    d.broken = false;
    d.brokenReason.clear();
    d.leftover.clear();

    auto device = d.device();
    d.port.setPortName(QString::fromStdString(device));
    d.port.setBaudRate(d.baudRate);
    d.port.setDataBits(QSerialPort::Data8);
    d.port.setParity(QSerialPort::NoParity);
    d.port.setStopBits(QSerialPort::OneStop);
    d.port.setFlowControl(d.xonXoff ? QSerialPort::SoftwareControl : QSerialPort::NoFlowControl);
    if (!d.port.open(QIODevice::ReadWrite)) {
        auto reason = d.port.errorString().toStdString();
        d.port.clearError();
        throw RunError("Cannot open " + device, reason);
    }
    d.holdExclusively();
    d.applyPlatformSettings();
    d.requestLowLatency();
    // Whatever the device collected before this opening is not part of this conversation.
    d.port.clear(QSerialPort::Input);
    d.port.clearError();
}

void DeviceSerialPort::close() {
    auto& d = *impl_;
    d.broken = false;
    d.brokenReason.clear();
    d.leftover.clear();
    if (!d.port.isOpen())
        return;
    d.port.clear(QSerialPort::AllDirections);
    d.port.close();
    d.port.clearError();
}

void DeviceSerialPort::write(std::string_view data) {
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
    // QSerialPort only queues; hand the bytes to the device now, or they would wait for an
    // event loop (and be lost on close).
    d.push();
}

int DeviceSerialPort::countWaiting() {
    auto& d = *impl_;
    d.pull();
    if (d.available() == 0)
        d.raiseIfUnusable("Count waiting");
    return static_cast<int>(std::min<qint64>(d.available(), std::numeric_limits<int>::max()));
}

std::string DeviceSerialPort::takeWaiting() {
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

bool DeviceSerialPort::waitForInput(engine::Millis timeout) {
    auto& d = *impl_;
    d.pull();
    if (d.available() > 0)
        return true;
    d.raiseIfUnusable("Wait for input");
#ifdef __linux__
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int fd = static_cast<int>(d.port.handle());
    for (;;) {
        auto left =
            std::chrono::duration_cast<engine::Millis>(deadline - std::chrono::steady_clock::now());
        // Round up, so a wait never ends before its time.
        auto ms = std::max<long long>(0, left.count() + 1);
        pollfd p{fd, POLLIN, 0};
        int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(ms, 1 << 30)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            int error = errno;
            throw RunError("Wait for input on " + d.device() + " failed", SystemReason(error));
        }
        if (ready == 0)
            return false;
        d.pull();
        if (d.available() > 0)
            return true;
        if (!d.broken && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            d.broken = true;
            d.brokenReason = SystemReason(EIO) + " (the device hung up)";
        }
        d.raiseIfUnusable("Wait for input");
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    }
#else
    auto ms = std::max<long long>(0, timeout.count());
    if (d.port.waitForReadyRead(static_cast<int>(std::min<long long>(ms, 1 << 30))) ||
        d.available() > 0)
        return true;
    d.port.clearError();
    d.raiseIfUnusable("Wait for input");
    return false;
#endif
}

} // namespace tavo::serial
