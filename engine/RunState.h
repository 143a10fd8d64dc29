#pragma once

#include "engine/Int16.h"

#include <atomic>
#include <cstdint>

namespace tavo::engine {

class RunHost;

// The Cancel button's flag. It may be set from another thread or a signal handler, so it is an
// atomic. It can also follow a flag of someone else's (Ctrl+C for every run of a process): while
// that one is set the run is cancelled too, whatever the run's start does to its own flag, so a
// signal cancels each run at its very next checkpoint without anyone having to reach the run.
class CancelFlag {
public:
    CancelFlag& operator=(bool value) {
        own_.store(value);
        return *this;
    }
    explicit operator bool() const { return own_.load() || (linked_ && linked_->load()); }

    // Follow `source` from now on (nothing: no longer). Set before the run starts; `source`
    // must outlive the run.
    void follow(const std::atomic<bool>* source) { linked_ = source; }

private:
    std::atomic<bool> own_{false};
    const std::atomic<bool>* linked_ = nullptr;
};

// The values the window shares with the run and its timers. Owned by the window (or another
// front end), lent to each run; they outlive a run.
struct RunState {
    std::int16_t CurrentFile = 0; // 0 none, 1 EEPROM, 2 Flash
    CancelFlag CancelRequested;
    Int16 TickCount;      // counted up by Timer1 to 5; the old line protocol waits on it
    Int16 LinesRemaining; // lines of the current file after the one being sent
    Int16 ProgressTotal;  // line count - 1: the progress bar's maximum
    Int16 LineNumberBase; // line count - 1: base of the line number in questions
};

inline constexpr int kTimer1IntervalMs = 60;
inline constexpr int kTimer3IntervalMs = 1000;

// Every 60 ms for the life of the window: TickCount counts up and rests at 5.
void Timer1_Timer(RunState& state);

// Every second while a file is sent: show LinesRemaining.
void Timer3_Timer(const RunState& state, RunHost& host);

} // namespace tavo::engine
