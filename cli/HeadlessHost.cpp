#include "cli/HeadlessHost.h"

#include "serial/DeviceSerialPort.h"

#include <poll.h>

#include <algorithm>

namespace tavo::flash {

using engine::Millis;

namespace {
constexpr Millis kTimer1{engine::kTimer1IntervalMs};
constexpr Millis kTimer3{engine::kTimer3IntervalMs};

// The first tick of a timer strictly after `now` on the grid that started at `due`: a late
// timer fires once, not once for every interval it missed.
Millis NextOnGrid(Millis due, Millis interval, Millis now) {
    if (due > now)
        return due;
    return due + interval * ((now - due) / interval + 1);
}
} // namespace

void InterruptibleSleep(Millis wait) {
    if (wait <= Millis(0))
        return;
    // poll without descriptors: a plain sleep that a signal cuts short (EINTR).
    ::poll(nullptr, 0, static_cast<int>(std::min<Millis::rep>(wait.count(), 60'000)));
}

void HeadlessHost::WatchedPort::open() {
    host_.inputUntaken_ = false;
    device_.open();
}

void HeadlessHost::WatchedPort::close() {
    host_.inputUntaken_ = false;
    device_.close();
}

std::string HeadlessHost::WatchedPort::takeWaiting() {
    auto bytes = device_.takeWaiting();
    host_.inputUntaken_ = false;
    return bytes;
}

HeadlessHost::HeadlessHost(engine::RunState& state, engine::SerialPort& device,
                           const engine::Clock& clock, RunDisplay& display,
                           settings::Settings settings, OnError onError,
                           const std::atomic<bool>* interrupt, Sleep sleep)
    : state_(state), device_(device), clock_(clock), display_(display),
      settings_(std::move(settings)), onError_(onError), interrupt_(interrupt),
      sleep_(sleep ? std::move(sleep) : Sleep(InterruptibleSleep)), port_(device, *this),
      timer1Next_(clock.now() + kTimer1) {
    // Ctrl+C cancels at the run's very next checkpoint, also one the run reaches without
    // calling the host (after the end-of-file wait, which serves no events).
    state_.CancelRequested.follow(interrupt_);
}

HeadlessHost::~HeadlessHost() {
    state_.CancelRequested.follow(nullptr);
}

void HeadlessHost::setBusyState() {
    state_.CancelRequested = false;
}

void HeadlessHost::setIdleState() {
    noteInterrupt();
    display_.idle();
}

void HeadlessHost::setStatus(const std::string& text) {
    display_.status(text);
}

void HeadlessHost::setLinesRemaining(const std::string& text) {
    display_.linesRemaining(text);
}

void HeadlessHost::setVersionLabel(const std::string& text) {
    display_.versionLabel(text);
}

void HeadlessHost::setProgressValue(int value) {
    display_.progress(value, progressMax_);
}

void HeadlessHost::setLinesTimerEnabled(bool enabled) {
    if (enabled == timer3Next_.has_value())
        return;
    if (enabled) {
        timer3Next_ = clock_.now() + kTimer3;
        display_.sendingStarted(progressMax_);
    } else {
        timer3Next_.reset();
        display_.sendingEnded();
    }
}

void HeadlessHost::showMessage(const engine::Message& message) {
    display_.message(message);
}

bool HeadlessHost::askYesNo(const std::string& text) {
    switch (onError_) {
    case OnError::Continue:
        display_.answered(text, true);
        return true;
    case OnError::Stop:
        display_.answered(text, false);
        return false;
    case OnError::Ask:
        break;
    }
    auto answer = display_.ask(text);
    // Ctrl+C at the question is a No (and the run then counts as cancelled).
    handleDue();
    return answer.value_or(false) && !interrupted_;
}

bool HeadlessHost::noteInterrupt() {
    if (!interrupt_ || !interrupt_->load() || interrupted_)
        return false;
    interrupted_ = true;
    display_.cancelRequested();
    return true;
}

bool HeadlessHost::handleDue() {
    bool happened = noteInterrupt();

    auto now = clock_.now();
    if (now >= timer1Next_) {
        engine::Timer1_Timer(state_);
        ++timer1Ticks_;
        timer1Next_ = NextOnGrid(timer1Next_, kTimer1, now);
        happened = true;
    }
    if (timer3Next_ && now >= *timer3Next_) {
        timer3Next_ = NextOnGrid(*timer3Next_, kTimer3, now);
        ++timer3Ticks_;
        engine::Timer3_Timer(state_, *this);
        happened = true;
    }
    return happened;
}

Millis HeadlessHost::nextTick() const {
    auto next = timer1Next_;
    if (timer3Next_)
        next = std::min(next, *timer3Next_);
    return next;
}

void HeadlessHost::yield() {
    handleDue();
}

void HeadlessHost::waitForEvents(std::optional<Millis> timeout) {
    if (handleDue())
        return;
    auto wait = std::max(Millis(0), nextTick() - clock_.now());
    if (timeout)
        wait = std::min(wait, std::max(Millis(0), *timeout));
    if (wait > Millis(0))
        block(wait);
    handleDue();
}

bool HeadlessHost::whileWriteStalled(serial::DeviceSerialPort& device, Millis step) {
    handleDue();
    if (!state_.CancelRequested) {
        // A signal ends the wait at once.
        device.waitWritable(std::clamp(nextTick() - clock_.now(), Millis(0), step));
        handleDue();
    }
    return !state_.CancelRequested;
}

void HeadlessHost::block(Millis wait) {
    if (!device_.isOpen()) {
        sleep(wait);
        return;
    }
    if (inputUntaken_) {
        // The run was woken for input and has not taken it (the handshake's pause does not
        // read): waiting on the port would return at once, again and again. Only more input is
        // news; otherwise sleep to the next tick.
        int waiting = device_.countWaiting();
        if (waiting > seenWaiting_) {
            seenWaiting_ = waiting;
            return;
        }
        if (waiting > 0) {
            sleep(wait);
            return;
        }
        inputUntaken_ = false;
    }
    auto start = clock_.now();
    if (device_.waitForInput(wait)) {
        inputUntaken_ = true;
        seenWaiting_ = 0;
        return;
    }
    // Back early without input (a signal, or a port in trouble that the run has yet to notice):
    // sleep the rest so that a caller in a loop does not spin.
    auto left = wait - (clock_.now() - start);
    if (left > Millis(0) && !(interrupt_ && interrupt_->load()))
        sleep(left);
}

void HeadlessHost::sleep(Millis wait) {
    sleep_(wait);
}

} // namespace tavo::flash
