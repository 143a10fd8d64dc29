#pragma once

#include "engine/SerialPort.h"

namespace tavo::engine {

// A port that hands every operation to another one. Decorators that watch or log a port derive
// from it and override only the operations they look at.
class ForwardingPort : public SerialPort {
public:
    explicit ForwardingPort(SerialPort& inner) : inner_(inner) {}

    bool isOpen() const override { return inner_.isOpen(); }
    void setXonXoff() override { inner_.setXonXoff(); }
    void setLineSettings(const std::string& settings) override { inner_.setLineSettings(settings); }
    void setPortNumber(int number) override { inner_.setPortNumber(number); }
    void open() override { inner_.open(); }
    void close() override { inner_.close(); }
    void write(std::string_view data) override { inner_.write(data); }
    int countWaiting() override { return inner_.countWaiting(); }
    std::string takeWaiting() override { return inner_.takeWaiting(); }
    std::string peekWaiting() override { return inner_.peekWaiting(); }
    bool waitForInput(Millis timeout) override { return inner_.waitForInput(timeout); }
    void setBaudRate(long rate) override { inner_.setBaudRate(rate); }
    void drainOutput() override { inner_.drainOutput(); }

protected:
    SerialPort& inner() { return inner_; }

private:
    SerialPort& inner_;
};

} // namespace tavo::engine
