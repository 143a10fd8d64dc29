#pragma once

#include "engine/SerialPort.h"
#include "tests/support/FakeClock.h"
#include "tests/support/SpinGuard.h"

#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavo::test {

enum class PortOp {
    SetXonXoff,
    SetLineSettings,
    SetPortNumber,
    Open,
    Close,
    Write,
    CountWaiting,
    TakeWaiting,
    WaitForInput,
    SetBaudRate,
    DrainOutput,
};

// A serial port on a fake clock. It records every set-up and output operation in order, keeps all
// written bytes, delivers scripted input at scripted times and fails on request. It behaves like
// the real port where the run could tell the difference: port number 0 and a port number change
// while open fail, reading or writing a closed port fails, opening and closing drop queued input.
class FakePort final : public engine::SerialPort {
public:
    // Gets every chunk written, after it was accepted; typically schedules the target's answer.
    using Responder = std::function<void(std::string_view chunk)>;

    explicit FakePort(FakeClock& clock) : clock_(clock), guard_(clock) {}

    bool isOpen() const override { return open_; }
    void setXonXoff() override;
    void setLineSettings(const std::string& settings) override;
    void setPortNumber(int number) override;
    void open() override;
    void close() override;
    void write(std::string_view data) override;
    int countWaiting() override;
    std::string takeWaiting() override;
    std::string peekWaiting() override;
    bool waitForInput(Millis timeout) override;
    // Logged as "setBaudRate N" and "drainOutput".
    void setBaudRate(long rate) override;
    void drainOutput() override;

    // What happened, one readable entry per operation: "setXonXoff", "setLineSettings 19200,n,8,1",
    // "setPortNumber 1", "open", "close", "write $@&$"; a failed one ends in " FAILED". Polls of
    // the input are not recorded.
    const std::vector<std::string>& log() const { return log_; }
    const std::vector<std::string>& writes() const { return writes_; }
    // The fake time of each write, in the order of writes().
    const std::vector<Millis>& writeTimes() const { return writeTimes_; }
    const std::string& written() const { return written_; }
    int writeCount() const { return static_cast<int>(writes_.size()); }
    int portNumber() const { return portNumber_; }
    const std::string& lineSettings() const { return lineSettings_; }
    int opens() const { return opens_; }
    // The rate set on this opening; 0 after open: the line settings' rate.
    long baudRate() const { return baudRate_; }
    // Rates the device does not take (setBaudRate fails), as an adapter that cannot make them.
    void refuseRate(long rate) { refusedRates_.push_back(rate); }

    // The nth call (1-based, counted from construction) of `op` raises RunError; later calls
    // behave normally again.
    void failOn(PortOp op, int nth = 1, std::string reason = "Input/output error");
    // The same with any exception: std::bad_alloc, std::system_error, RunAbandoned...
    void throwOn(PortOp op, int nth, std::exception_ptr error) { failures_[op][nth] = error; }
    // A board that vanishes: after `writes` successful writes every further write and every read
    // fails. Closing still works.
    void vanishAfterWrites(int writes) { vanishAfter_ = writes; }
    // A board that hangs up at the nth call of `op`: that call and every later write and read
    // fail. Closing still works.
    void hangUpOn(PortOp op, int nth = 1) { hangUpAt_ = {op, nth}; }

    // Input arriving at time `at` (absolute) or `delay` from now. Bytes due while the port is
    // closed are lost, as on a real line.
    void deliverAt(Millis at, std::string bytes);
    void deliverIn(Millis delay, std::string bytes) { deliverAt(clock_.now() + delay, bytes); }
    // The earliest delivery still to come (strictly after now).
    std::optional<Millis> nextDelivery() const;
    // Bytes that have arrived and are not yet taken.
    std::string waiting() const;

    void onWrite(Responder responder) { responder_ = std::move(responder); }

    FakeClock& clock() { return clock_; }
    SpinGuard& spinGuard() { return guard_; }

private:
    void maybeFail(PortOp op);
    // Reading or writing needs an open port and a board still there.
    void requireOpen(std::string_view what) const;

    FakeClock& clock_;
    SpinGuard guard_;
    Responder responder_;

    bool open_ = false;
    int portNumber_ = 1;
    int opens_ = 0;
    std::string lineSettings_ = "9600,n,8,1";
    long baudRate_ = 0;
    std::vector<long> refusedRates_;

    std::vector<std::string> log_;
    std::vector<std::string> writes_;
    std::vector<Millis> writeTimes_;
    std::string written_;

    std::multimap<Millis, std::string> incoming_;

    std::map<PortOp, int> calls_;
    std::map<PortOp, std::map<int, std::exception_ptr>> failures_;
    std::optional<int> vanishAfter_;
    std::optional<std::pair<PortOp, int>> hangUpAt_;
    bool hungUp_ = false;
};

} // namespace tavo::test
