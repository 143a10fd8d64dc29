#pragma once

#include "engine/SerialPort.h"
#include "serial/PortMap.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

#ifdef TAVO_QT_PORT
// This build's port is the one on Qt's serial port (Windows).
#include "serial/DeviceSerialPortQt.h"
namespace tavo::serial {
using DeviceSerialPort = DeviceSerialPortQt;
} // namespace tavo::serial
#else

// The real serial port behind the engine's SerialPort interface. It must live on the thread that
// runs the download: where that thread has a Qt event loop, input wakes it, so a host that blocks
// in the event loop reacts to an answer at once. Without one, the waits that block on the port see
// the input all the same.
namespace tavo::serial {

class DeviceSerialPort final : public engine::SerialPort {
public:
    // Serves a front end while a write waits for the device; see setWriteStallHandler.
    using WriteStallHandler = std::function<bool(DeviceSerialPort& port, engine::Millis step)>;

    explicit DeviceSerialPort(PortMap map = {});
    ~DeviceSerialPort() override;

    // Opens this device instead of the one the port number maps to (command line: --port DEVICE).
    void setDeviceOverride(std::optional<std::string> device);

    // The device the next open() will use.
    std::string device() const;

    // A write that the device does not take at once (the board holds XOFF, or a slow line has
    // filled the kernel's buffer) waits in short steps and calls the handler for each: it serves
    // its front end for up to `step`, blocking in port.waitWritable() or in an event loop that the
    // device wakes, and answers whether to go on. false ends the write at once with the rest
    // unsent, for a run that is being cancelled and will close the port. Without a handler each
    // step blocks on the device alone. The handler may throw; the write lets it pass.
    void setWriteStallHandler(WriteStallHandler handler);
    // A write during which the device takes no byte for this long fails (10 s unless set).
    void setWriteStallLimit(engine::Millis limit);
    // Blocks until the device takes bytes again, the timeout has passed or a signal arrived.
    void waitWritable(engine::Millis timeout);

    // For a signal handler of a process that is about to end: closes every port open in the
    // process, discarding what they still hold, releasing them to other programs and removing
    // their lock files, with async-signal-safe calls only. The ports are unusable afterwards.
    static void EmergencyCloseAll() noexcept;

    bool isOpen() const override;
    void setXonXoff() override;
    void setLineSettings(const std::string& settings) override;
    void setPortNumber(int number) override;
    void open() override;
    void close() override;
    void write(std::string_view data) override;
    int countWaiting() override;
    std::string takeWaiting() override;
    std::string peekWaiting() override;
    bool waitForInput(engine::Millis timeout) override;
    void setBaudRate(long rate) override;
    void drainOutput() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tavo::serial

#endif // TAVO_QT_PORT
