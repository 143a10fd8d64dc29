// The port where there is no terminal device to drive directly (Windows): Qt's serial port.
#include "serial/DeviceSerialPort.h"

#include "engine/RunError.h"
#include "serial/LineSettingsText.h"

#include <QObject>
#include <QSerialPort>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>

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

} // namespace

struct DeviceSerialPort::Impl {
    DeviceSerialPort& self;
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

    Impl(DeviceSerialPort& p, PortMap m) : self(p), map(std::move(m)) {
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

DeviceSerialPort::DeviceSerialPort(PortMap map)
    : impl_(std::make_unique<Impl>(*this, std::move(map))) {}

DeviceSerialPort::~DeviceSerialPort() {
    close();
}

void DeviceSerialPort::setDeviceOverride(std::optional<std::string> device) {
    impl_->deviceOverride = std::move(device);
}

std::string DeviceSerialPort::device() const {
    return impl_->device();
}

void DeviceSerialPort::setWriteStallHandler(WriteStallHandler handler) {
    impl_->stallHandler = std::move(handler);
}

void DeviceSerialPort::setWriteStallLimit(engine::Millis limit) {
    impl_->stallLimit = limit;
}

void DeviceSerialPort::waitWritable(engine::Millis timeout) {
    if (impl_->port.isOpen())
        impl_->port.waitForBytesWritten(
            static_cast<int>(std::min<long long>(timeout.count(), 1 << 30)));
}

// No signal handler here closes ports in a hurry: the process's own end closes them.
void DeviceSerialPort::EmergencyCloseAll() noexcept {}

bool DeviceSerialPort::isOpen() const {
    if (impl_->broken)
        impl_->closeBroken();
    return impl_->port.isOpen();
}

void DeviceSerialPort::setXonXoff() {
    impl_->xonXoff = true;
    impl_->port.setFlowControl(QSerialPort::SoftwareControl);
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

void DeviceSerialPort::setBaudRate(long rate) {
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

void DeviceSerialPort::drainOutput() {
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

std::string DeviceSerialPort::peekWaiting() {
    auto& d = *impl_;
    d.pull();
    // Moved out of the device into our own buffer, where takeWaiting() finds it first.
    if (d.port.isOpen()) {
        auto bytes = d.port.readAll();
        d.leftover.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
    return d.leftover;
}

bool DeviceSerialPort::waitForInput(engine::Millis timeout) {
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
