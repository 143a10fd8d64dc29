#pragma once

#include "engine/SerialPort.h"
#include "serial/PortMap.h"

#include <memory>
#include <optional>
#include <string>

// The real serial port behind the engine's SerialPort interface. It must live on the thread that
// runs the download: there its input wakes that thread's Qt event loop, so a host that blocks in
// the event loop reacts to an answer at once.
namespace tavo::serial {

class DeviceSerialPort final : public engine::SerialPort {
public:
    explicit DeviceSerialPort(PortMap map = {});
    ~DeviceSerialPort() override;

    // Opens this device instead of the one the port number maps to (command line: --port DEVICE).
    void setDeviceOverride(std::optional<std::string> device);

    // The device the next open() will use.
    std::string device() const;

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

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tavo::serial
