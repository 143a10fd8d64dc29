#pragma once

#include "engine/SerialPort.h"
#include "serial/PortMap.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

// The serial port on Qt's QSerialPort: the port of the Windows build, where it is known as
// DeviceSerialPort. It is built on Linux too, where the same tests run against it as against the
// terminal-device port. Its interface is that port's (serial/DeviceSerialPort.h), which says what
// each member does.
namespace tavo::serial {

class DeviceSerialPortQt final : public engine::SerialPort {
public:
    using WriteStallHandler = std::function<bool(DeviceSerialPortQt& port, engine::Millis step)>;

    explicit DeviceSerialPortQt(PortMap map = {});
    ~DeviceSerialPortQt() override;

    void setDeviceOverride(std::optional<std::string> device);
    std::string device() const;
    void setWriteStallHandler(WriteStallHandler handler);
    void setWriteStallLimit(engine::Millis limit);
    void waitWritable(engine::Millis timeout);
    // Does nothing: no signal handler closes this port in a hurry; the process's end closes it.
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
    bool waitForInput(engine::Millis timeout) override;
    std::string peekWaiting() override;
    void setBaudRate(long rate) override;
    void drainOutput() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tavo::serial
