#include "tests/support/FakeHost.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tavo::test {

using engine::kTimer1IntervalMs;
using engine::kTimer3IntervalMs;

FakeHost::FakeHost(FakeClock& clock, FakePort& port)
    : clock_(clock), port_(port), timer1Next_(clock.now() + Millis(kTimer1IntervalMs)) {}

void FakeHost::setBusyState() {
    // As the window does: the run starts with Cancel not yet pressed and an empty status.
    busy_ = true;
    state_.CancelRequested = false;
    status_.clear();
    record("busy");
}

void FakeHost::setIdleState() {
    busy_ = false;
    label14Visible_ = false;
    label14_.clear();
    status_ = "Idle";
    eepromControlsEnabled_ = true;
    record("idle");
}

void FakeHost::setLinesTimerEnabled(bool enabled) {
    // Enabling a stopped timer starts its interval afresh; enabling a running one changes nothing.
    if (enabled && !timer3_)
        timer3_ = clock_.now() + Millis(kTimer3IntervalMs);
    else if (!enabled)
        timer3_.reset();
    record(enabled ? "timer3 on" : "timer3 off");
}

void FakeHost::showMessage(const engine::Message& message) {
    messages_.push_back(message);
    record("message: " + message.text +
           (message.icon == engine::MessageIcon::Warning ? " [warning]" : ""));
}

bool FakeHost::askYesNo(const std::string& text) {
    if (answers_.empty()) {
        ADD_FAILURE() << "unexpected question: " << text;
        record("question: " + text + " -> no");
        return false;
    }
    auto [yes, thinking] = answers_.front();
    answers_.pop_front();
    clock_.advanceBy(thinking);
    record("question: " + text + (yes ? " -> yes" : " -> no"));
    return yes;
}

bool FakeHost::handleDue() {
    bool any = false;
    auto now = clock_.now();
    while (timer1Next_ <= now) {
        engine::Timer1_Timer(state_);
        ++timer1Ticks_;
        timer1Next_ += Millis(kTimer1IntervalMs);
        any = true;
    }
    while (timer3_ && *timer3_ <= now) {
        *timer3_ += Millis(kTimer3IntervalMs);
        engine::Timer3_Timer(state_, *this);
        any = true;
    }
    // Indexed: an action may add further actions.
    for (std::size_t i = 0; i < actions_.size(); ++i) {
        if (actions_[i].done)
            continue;
        bool due = actions_[i].at ? *actions_[i].at <= now : actions_[i].condition();
        if (!due)
            continue;
        actions_[i].done = true;
        auto run = actions_[i].run;
        run();
        any = true;
    }
    return any;
}

std::optional<Millis> FakeHost::nextEventTime() const {
    std::optional<Millis> next = timer1Next_;
    auto consider = [&next](std::optional<Millis> t) {
        if (t && (!next || *t < *next))
            next = t;
    };
    consider(timer3_);
    consider(port_.nextDelivery());
    for (const auto& action : actions_)
        if (!action.done && action.at)
            consider(std::max(*action.at, clock_.now()));
    return next;
}

void FakeHost::yield() {
    if (handleDue())
        port_.spinGuard().progress();
    else
        port_.spinGuard().idle("yield");
}

void FakeHost::waitForEvents(std::optional<Millis> timeout) {
    // Events already pending are handled without blocking.
    if (handleDue()) {
        port_.spinGuard().progress();
        return;
    }
    auto before = clock_.now();
    auto target = nextEventTime();
    if (timeout && (!target || before + *timeout < *target))
        target = before + *timeout;
    if (target)
        clock_.advanceTo(*target);
    bool any = handleDue();
    if (any || clock_.now() != before)
        port_.spinGuard().progress();
    else
        port_.spinGuard().idle("waitForEvents");
}

std::vector<std::string> FakeHost::entries(std::string_view prefix) const {
    std::vector<std::string> found;
    for (const auto& entry : log_)
        if (std::string_view(entry).starts_with(prefix))
            found.push_back(entry.substr(prefix.size()));
    return found;
}

bool FakeHost::logHas(std::string_view entry) const {
    return std::find(log_.begin(), log_.end(), entry) != log_.end();
}

} // namespace tavo::test
