#pragma once

#include "engine/SerialPort.h"

#include <chrono>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

namespace tavo::flash {

// Bytes as a quoted C-style string: printable ASCII as is, \" \\ \r \n \t, others \xNN.
std::string QuoteBytes(std::string_view bytes);

// A serial port that logs every byte in both directions, and the set-up and failures, with the
// time since the trace started:
//
//     0.000412 # open
//     0.000530 > "$@&$"
//     1.003127 < "^"
//
// ">" is what the program wrote, "<" what it took from the port. Waiting is not logged.
class TracePort final : public engine::SerialPort {
public:
    using Now = std::function<std::chrono::microseconds()>;

    // `now` is the time source (a steady clock by default).
    TracePort(engine::SerialPort& inner, std::ostream& out, Now now = {});

    bool isOpen() const override { return inner_.isOpen(); }
    void setXonXoff() override;
    void setLineSettings(const std::string& settings) override;
    void setPortNumber(int number) override;
    void open() override;
    void close() override;
    void write(std::string_view data) override;
    int countWaiting() override;
    std::string takeWaiting() override;
    // Not logged: the bytes show when they are taken.
    std::string peekWaiting() override { return inner_.peekWaiting(); }
    bool waitForInput(engine::Millis timeout) override;
    void setBaudRate(long rate) override;
    void drainOutput() override;

private:
    void line(std::string_view text);
    // Runs a port operation, logging its failure before passing it on.
    template <typename F> auto logged(std::string_view what, F&& op) -> decltype(op());

    engine::SerialPort& inner_;
    std::ostream& out_;
    Now now_;
    std::chrono::microseconds start_;
};

} // namespace tavo::flash
