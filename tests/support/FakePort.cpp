#include "tests/support/FakePort.h"

#include "engine/RunError.h"

#include <algorithm>

namespace tavo::test {

using engine::RunError;

namespace {

// In the order of PortOp.
constexpr const char* kOpNames[] = {
    "setXonXoff",   "setLineSettings", "setPortNumber", "open",        "close",      "write",
    "countWaiting", "takeWaiting",     "waitForInput",  "setBaudRate", "drainOutput"};

// Runs an operation's checks and logs it, marked FAILED when a check throws.
template <class Checks>
void Logged(std::vector<std::string>& log, std::string entry, Checks checks) {
    try {
        checks();
    } catch (...) {
        log.push_back(entry + " FAILED");
        throw;
    }
    log.push_back(std::move(entry));
}

} // namespace

void FakePort::failOn(PortOp op, int nth, std::string reason) {
    throwOn(op, nth,
            std::make_exception_ptr(
                RunError(std::string(kOpNames[static_cast<int>(op)]) + " failed", reason)));
}

void FakePort::maybeFail(PortOp op) {
    int n = ++calls_[op];
    if (hangUpAt_ && *hangUpAt_ == std::pair{op, n})
        hungUp_ = true;
    auto byOp = failures_.find(op);
    if (byOp == failures_.end())
        return;
    auto hit = byOp->second.find(n);
    if (hit == byOp->second.end())
        return;
    std::rethrow_exception(hit->second);
}

void FakePort::requireOpen(std::string_view what) const {
    if (!open_)
        throw RunError(std::string(what) + " on a closed port", "Bad file descriptor");
    if (hungUp_ || (vanishAfter_ && writeCount() >= *vanishAfter_))
        throw RunError(std::string(what) + " failed", "No such device");
}

void FakePort::setXonXoff() {
    Logged(log_, "setXonXoff", [this] { maybeFail(PortOp::SetXonXoff); });
}

void FakePort::setLineSettings(const std::string& settings) {
    Logged(log_, "setLineSettings " + settings, [this] { maybeFail(PortOp::SetLineSettings); });
    lineSettings_ = settings;
}

void FakePort::setPortNumber(int number) {
    Logged(log_, "setPortNumber " + std::to_string(number), [this, number] {
        maybeFail(PortOp::SetPortNumber);
        if (open_)
            throw RunError("Port number changed while open", "Device or resource busy");
        if (number < 1)
            throw RunError("Invalid port number", "Invalid argument");
    });
    portNumber_ = number;
}

void FakePort::open() {
    Logged(log_, "open", [this] {
        maybeFail(PortOp::Open);
        if (open_)
            throw RunError("Port already open", "Device or resource busy");
    });
    open_ = true;
    ++opens_;
    baudRate_ = 0;
    incoming_.clear();
}

void FakePort::close() {
    Logged(log_, "close", [this] { maybeFail(PortOp::Close); });
    open_ = false;
    incoming_.clear();
}

void FakePort::write(std::string_view data) {
    Logged(log_, "write " + std::string(data), [this] {
        maybeFail(PortOp::Write);
        requireOpen("write");
    });
    guard_.progress();
    writes_.emplace_back(data);
    writeTimes_.push_back(clock_.now());
    written_ += data;
    if (responder_)
        responder_(data);
}

int FakePort::countWaiting() {
    maybeFail(PortOp::CountWaiting);
    requireOpen("countWaiting");
    auto n = static_cast<int>(waiting().size());
    if (n == 0)
        guard_.idle("countWaiting");
    return n;
}

std::string FakePort::takeWaiting() {
    maybeFail(PortOp::TakeWaiting);
    requireOpen("takeWaiting");
    std::string bytes = waiting();
    incoming_.erase(incoming_.begin(), incoming_.upper_bound(clock_.now()));
    if (bytes.empty())
        guard_.idle("takeWaiting");
    else
        guard_.progress();
    return bytes;
}

std::string FakePort::peekWaiting() {
    return open_ ? waiting() : std::string();
}

bool FakePort::waitForInput(Millis timeout) {
    maybeFail(PortOp::WaitForInput);
    requireOpen("waitForInput");
    if (!waiting().empty())
        return true;
    auto next = nextDelivery();
    if (next && *next <= clock_.now() + timeout) {
        clock_.advanceTo(*next);
        return true;
    }
    if (timeout <= Millis(0))
        guard_.idle("waitForInput");
    clock_.advanceBy(timeout);
    return false;
}

void FakePort::setBaudRate(long rate) {
    Logged(log_, "setBaudRate " + std::to_string(rate), [this, rate] {
        maybeFail(PortOp::SetBaudRate);
        requireOpen("setBaudRate");
        if (std::find(refusedRates_.begin(), refusedRates_.end(), rate) != refusedRates_.end())
            throw RunError("setBaudRate failed", "Invalid argument");
    });
    baudRate_ = rate;
}

void FakePort::drainOutput() {
    Logged(log_, "drainOutput", [this] {
        maybeFail(PortOp::DrainOutput);
        requireOpen("drainOutput");
    });
}

void FakePort::deliverAt(Millis at, std::string bytes) {
    if (!open_ || bytes.empty())
        return;
    incoming_.emplace(at, std::move(bytes));
}

std::optional<Millis> FakePort::nextDelivery() const {
    auto it = incoming_.upper_bound(clock_.now());
    if (it == incoming_.end())
        return std::nullopt;
    return it->first;
}

std::string FakePort::waiting() const {
    std::string bytes;
    auto due = incoming_.upper_bound(clock_.now());
    for (auto it = incoming_.begin(); it != due; ++it)
        bytes += it->second;
    return bytes;
}

} // namespace tavo::test
