#pragma once

#include "engine/RunHost.h"
#include "engine/RunState.h"
#include "settings/Settings.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakePort.h"

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavo::test {

// The window as the run sees it, on a fake clock. Holds the settings as the controls would, keeps
// the shared RunState, runs the two timers on fake time, answers questions from a script, clicks
// Cancel when a test says so and records every call in one ordered log.
//
// Log entries: "busy", "idle", "status: T", "label14: T", "label14 shown|hidden", "label16: T",
// "label16 shown|hidden", "progress max: N", "progress min: N", "progress: N", "timer3 on|off",
// "message: T" (+ " [warning]"), "question: T -> yes|no", "focus: Command1",
// "eeprom controls on|off", "uncheck eeprom", "cancel clicked".
class FakeHost final : public engine::RunHost {
public:
    FakeHost(FakeClock& clock, FakePort& port);

    engine::RunState& state() { return state_; }
    // The controls' values; a test edits them before or during a run.
    settings::Settings& controls() { return settings_; }

    // --- RunHost ---
    settings::Settings settings() override { return settings_; }
    void setBusyState() override;
    void setIdleState() override;
    void setStatus(const std::string& t) override { record("status: " + (status_ = t)); }
    void setLinesRemaining(const std::string& t) override { record("label14: " + (label14_ = t)); }
    void setLinesRemainingVisible(bool v) override {
        record(Shown("label14", label14Visible_ = v));
    }
    void setVersionLabel(const std::string& t) override { record("label16: " + (label16_ = t)); }
    void setVersionLabelVisible(bool v) override { record(Shown("label16", label16Visible_ = v)); }
    void setProgressMax(int v) override { record("progress max: " + std::to_string(v)); }
    void setProgressMin(int v) override { record("progress min: " + std::to_string(v)); }
    void setProgressValue(int v) override {
        record("progress: " + std::to_string(progressValue_ = v));
    }
    void setLinesTimerEnabled(bool enabled) override;
    void showMessage(const engine::Message& message) override;
    bool askYesNo(const std::string& text) override;
    void focusBrowseButton() override { record("focus: Command1"); }
    void setEepromControlsEnabled(bool enabled) override {
        record((eepromControlsEnabled_ = enabled) ? "eeprom controls on" : "eeprom controls off");
    }
    void uncheckEeprom() override {
        settings_.eepromCheck = 0;
        record("uncheck eeprom");
    }
    void yield() override;
    void waitForEvents(std::optional<Millis> timeout) override;

    // --- script ---
    // Answers to the coming questions, in order. A question with none left fails the test and is
    // answered No.
    // The technician takes `thinking` (on the fake clock) to answer.
    void answer(bool yes, Millis thinking = Millis(0)) { answers_.push_back({yes, thinking}); }
    int unansweredQuestions() const { return static_cast<int>(answers_.size()); }
    // Presses Cancel at a fake time, or at the first event handling once `condition` holds.
    void clickCancelAt(Millis t) {
        at(t, [this] { clickCancel(); });
    }
    void clickCancelWhen(std::function<bool()> condition) {
        when(std::move(condition), [this] { clickCancel(); });
    }
    void clickCancelAfterWrites(int writes) {
        clickCancelWhen([this, writes] { return port_.writeCount() >= writes; });
    }
    void clickCancelOnStatus(std::string text) {
        clickCancelWhen([this, text = std::move(text)] { return logHas("status: " + text); });
    }
    // Any other event (a menu command, File > Exit) at a time or on a condition; each runs once.
    void at(Millis t, std::function<void()> action) {
        actions_.push_back(Action{t, nullptr, std::move(action)});
    }
    void when(std::function<bool()> condition, std::function<void()> action) {
        actions_.push_back(Action{std::nullopt, std::move(condition), std::move(action)});
    }

    // --- what happened ---
    const std::vector<std::string>& log() const { return log_; }
    // The entries starting with `prefix`, in order.
    std::vector<std::string> entries(std::string_view prefix) const;
    std::vector<std::string> statuses() const { return entries("status: "); }
    const std::vector<engine::Message>& messages() const { return messages_; }
    std::vector<std::string> questions() const { return entries("question: "); }
    bool logHas(std::string_view entry) const;

    bool busy() const { return busy_; }
    const std::string& status() const { return status_; }
    const std::string& linesRemaining() const { return label14_; }
    bool linesRemainingVisible() const { return label14Visible_; }
    const std::string& versionLabel() const { return label16_; }
    bool versionLabelVisible() const { return label16Visible_; }
    int progressValue() const { return progressValue_; }
    bool linesTimerEnabled() const { return timer3_.has_value(); }
    bool eepromControlsEnabled() const { return eepromControlsEnabled_; }
    int timer1Ticks() const { return timer1Ticks_; }

private:
    struct Action {
        std::optional<Millis> at;
        std::function<bool()> condition;
        std::function<void()> run;
        bool done = false;
    };

    // Runs every timer tick and action due at the current time; true when anything ran.
    bool handleDue();
    std::optional<Millis> nextEventTime() const;
    void record(std::string entry) { log_.push_back(std::move(entry)); }
    void clickCancel() {
        state_.CancelRequested = true;
        record("cancel clicked");
    }
    static std::string Shown(const char* label, bool visible) {
        return std::string(label) + (visible ? " shown" : " hidden");
    }

    FakeClock& clock_;
    FakePort& port_;
    engine::RunState state_;
    settings::Settings settings_;

    std::vector<std::string> log_;
    std::vector<engine::Message> messages_;
    std::deque<std::pair<bool, Millis>> answers_;
    std::vector<Action> actions_;

    Millis timer1Next_;
    std::optional<Millis> timer3_; // next tick while enabled
    int timer1Ticks_ = 0;

    bool busy_ = false;
    std::string status_ = "Idle";
    std::string label14_;
    bool label14Visible_ = false;
    std::string label16_;
    bool label16Visible_ = false;
    int progressValue_ = 0;
    bool eepromControlsEnabled_ = true;
};

} // namespace tavo::test
