#pragma once

#include "tests/support/FakeClock.h"

#include <string_view>

namespace tavo::test {

// Catches a run that polls in a loop instead of blocking: with a fake clock such a loop never
// ends, and on a real machine it burns a core. Every fake reports each call that achieved nothing
// (no input, no event, no time passed); too many of those in a row fail the test and abandon the
// run.
class SpinGuard {
public:
    static constexpr int kLimit = 10'000;

    explicit SpinGuard(const FakeClock& clock) : clock_(clock) {}

    void idle(std::string_view where);
    void progress() { count_ = 0; }
    bool tripped() const { return tripped_; }

private:
    const FakeClock& clock_;
    Millis lastIdleAt_{-1};
    int count_ = 0;
    bool tripped_ = false;
};

} // namespace tavo::test
