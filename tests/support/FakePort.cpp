#include "tests/support/FakePort.h"

#include "engine/RunError.h"

namespace tavo::test {

using engine::RunError;

namespace {

const char* OpName(PortOp op) {
    switch (op) {
    case PortOp::SetXonXoff:
        return "setXonXoff";
    case PortOp::SetLineSettings:
        return "setLineSettings";
    case PortOp::SetPortNumber:
        return "setPortNumber";
    case PortOp::Open:
        return "open";
    case PortOp::Close:
        return "close";
    case PortOp::Write:
        return "write";
    case PortOp::CountWaiting:
        return "countWaiting";
    case PortOp::TakeWaiting:
        return "takeWaiting";
    case PortOp::WaitForInput:
        return "waitForInput";
    }
    return "?";
}

} // namespace

void FakePort::failOn(PortOp op, int nth, std::string reason) {
    failures_[op][nth] = std::move(reason);
}

void FakePort::vanishAfterWrites(int writes) {
    vanishAfter_ = writes;
}

void FakePort::maybeFail(PortOp op) {
    int n = ++calls_[op];
    auto byOp = failures_.find(op);
    if (byOp == failures_.end())
        return;
    auto hit = byOp->second.find(n);
    if (hit == byOp->second.end())
        return;
    throw RunError(std::string(OpName(op)) + " failed", hit->second);
}

void FakePort::requireOpen(std::string_view what) const {
    if (!open_)
        throw RunError(std::string(what) + " on a closed port", "Bad file descriptor");
    if (vanishAfter_ && writeCount() >= *vanishAfter_)
        throw RunError(std::string(what) + " failed", "No such device");
}

void FakePort::setXonXoff() {
    try {
        maybeFail(PortOp::SetXonXoff);
    } catch (...) {
        record("setXonXoff FAILED");
        throw;
    }
    xonXoff_ = true;
    record("setXonXoff");
}

void FakePort::setLineSettings(const std::string& settings) {
    try {
        maybeFail(PortOp::SetLineSettings);
    } catch (...) {
        record("setLineSettings " + settings + " FAILED");
        throw;
    }
    lineSettings_ = settings;
    record("setLineSettings " + settings);
}

void FakePort::setPortNumber(int number) {
    std::string entry = "setPortNumber " + std::to_string(number);
    try {
        maybeFail(PortOp::SetPortNumber);
        if (open_)
            throw RunError("Port number changed while open", "Device or resource busy");
        if (number < 1)
            throw RunError("Invalid port number", "Invalid argument");
    } catch (...) {
        record(entry + " FAILED");
        throw;
    }
    portNumber_ = number;
    record(entry);
}

void FakePort::open() {
    try {
        maybeFail(PortOp::Open);
        if (open_)
            throw RunError("Port already open", "Device or resource busy");
    } catch (...) {
        record("open FAILED");
        throw;
    }
    open_ = true;
    ++opens_;
    incoming_.clear();
    record("open");
}

void FakePort::close() {
    try {
        maybeFail(PortOp::Close);
    } catch (...) {
        record("close FAILED");
        throw;
    }
    open_ = false;
    incoming_.clear();
    record("close");
}

void FakePort::write(std::string_view data) {
    std::string entry = "write " + std::string(data);
    try {
        maybeFail(PortOp::Write);
        requireOpen("write");
    } catch (...) {
        record(entry + " FAILED");
        throw;
    }
    guard_.progress();
    record(std::move(entry));
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
    std::string bytes;
    auto due = incoming_.upper_bound(clock_.now());
    for (auto it = incoming_.begin(); it != due; ++it)
        bytes += it->second;
    incoming_.erase(incoming_.begin(), due);
    if (bytes.empty())
        guard_.idle("takeWaiting");
    else
        guard_.progress();
    return bytes;
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
