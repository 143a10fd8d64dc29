#pragma once

#include "cli/Options.h"
#include "cli/RunDisplay.h"
#include "engine/Clock.h"
#include "engine/RunHost.h"
#include "engine/RunState.h"
#include "engine/SerialPort.h"
#include "serial/DeviceSerialPort.h"
#include "settings/Settings.h"

#include <atomic>
#include <functional>
#include <optional>

namespace tavo::flash {

// The window without a window: it holds the settings, shows the run on a RunDisplay, answers
// the line questions by the --on-error policy and runs the window's two timers on the clock.
// Between events it blocks on the serial port (or sleeps when there is nothing to wait for),
// so a waiting run costs no CPU.
//
// Give the run port(), not the device itself: the host watches what the run takes from the
// port, so that input the run has already seen and left waiting (the handshake's pause does not
// read) does not wake every wait at once.
class HeadlessHost final : public engine::RunHost {
public:
    // Blocks for the given time or until a signal arrives.
    using Sleep = std::function<void(engine::Millis)>;

    HeadlessHost(engine::RunState& state, engine::SerialPort& device, const engine::Clock& clock,
                 RunDisplay& display, settings::Settings settings, OnError onError,
                 const std::atomic<bool>* interrupt = nullptr, Sleep sleep = {});
    ~HeadlessHost() override;
    HeadlessHost(const HeadlessHost&) = delete;
    HeadlessHost& operator=(const HeadlessHost&) = delete;

    // The port to hand to the run.
    engine::SerialPort& port() { return port_; }

    // The settings as the run left them (it unchecks EEPROM for an old bootloader).
    const settings::Settings& currentSettings() const { return settings_; }
    // Whether Ctrl+C was seen. The run's cancel flag follows `interrupt` itself (so one signal
    // cancels every run whose host shares the flag); the host only reports it.
    bool interrupted() const { return interrupted_; }
    int timer1Ticks() const { return timer1Ticks_; }
    int timer3Ticks() const { return timer3Ticks_; }

    settings::Settings settings() override { return settings_; }
    void setBusyState() override;
    void setIdleState() override;
    void setStatus(const std::string& text) override;
    void setLinesRemaining(const std::string& text) override;
    void setLinesRemainingVisible(bool) override {}
    void setVersionLabel(const std::string& text) override;
    void setVersionLabelVisible(bool) override {}
    void setProgressMax(int value) override { progressMax_ = value; }
    void setProgressMin(int) override {}
    void setProgressValue(int value) override;
    void setLinesTimerEnabled(bool enabled) override;
    void showMessage(const engine::Message& message) override;
    bool askYesNo(const std::string& text) override;
    void focusBrowseButton() override {}
    void setEepromControlsEnabled(bool) override {}
    void uncheckEeprom() override { settings_.eepromCheck = 0; }
    void yield() override;
    void waitForEvents(std::optional<engine::Millis> timeout) override;

    // The device's handler for a write it does not take (the board holds XOFF): serves Ctrl+C
    // and the timers for up to `step`, blocking on the device meanwhile; false once the run is
    // to be cancelled.
    bool whileWriteStalled(serial::DeviceSerialPort& device, engine::Millis step);

private:
    // Forwards to the device and notes when the run takes the waiting input.
    class WatchedPort final : public engine::SerialPort {
    public:
        WatchedPort(engine::SerialPort& device, HeadlessHost& host)
            : device_(device), host_(host) {}
        bool isOpen() const override { return device_.isOpen(); }
        void setXonXoff() override { device_.setXonXoff(); }
        void setLineSettings(const std::string& s) override { device_.setLineSettings(s); }
        void setPortNumber(int number) override { device_.setPortNumber(number); }
        void open() override;
        void close() override;
        void write(std::string_view data) override { device_.write(data); }
        int countWaiting() override { return device_.countWaiting(); }
        std::string takeWaiting() override;
        std::string peekWaiting() override { return device_.peekWaiting(); }
        bool waitForInput(engine::Millis timeout) override { return device_.waitForInput(timeout); }
        void setBaudRate(long rate) override { device_.setBaudRate(rate); }
        void drainOutput() override { device_.drainOutput(); }

    private:
        engine::SerialPort& device_;
        HeadlessHost& host_;
    };

    // Reports Ctrl+C once; true the first time it is seen.
    bool noteInterrupt();
    // Handles Ctrl+C and the timer ticks that are due; true when anything happened.
    bool handleDue();
    engine::Millis nextTick() const;
    // Blocks up to `wait` for new input (or just sleeps when there is none to wait for).
    void block(engine::Millis wait);
    void sleep(engine::Millis wait);

    engine::RunState& state_;
    engine::SerialPort& device_;
    const engine::Clock& clock_;
    RunDisplay& display_;
    settings::Settings settings_;
    OnError onError_;
    const std::atomic<bool>* interrupt_;
    Sleep sleep_;

    // Input the run has been woken for and not taken yet: it may be left waiting on purpose.
    bool inputUntaken_ = false;
    int seenWaiting_ = 0; // how much of it the host has reported as an event
    WatchedPort port_;

    engine::Millis timer1Next_;
    std::optional<engine::Millis> timer3Next_;
    int timer1Ticks_ = 0;
    int timer3Ticks_ = 0;
    int progressMax_ = 0;
    bool interrupted_ = false;
};

// Sleeps up to `wait`; a signal ends the sleep early.
void InterruptibleSleep(engine::Millis wait);

} // namespace tavo::flash
