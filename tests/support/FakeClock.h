#pragma once

#include "engine/Clock.h"

namespace tavo::test {

using engine::Millis;

// A clock that moves only when told to. Runs start at a whole second plus an offset of the test's
// choice, since a whole-second wait lasts longer the earlier in its second it starts.
class FakeClock final : public engine::Clock {
public:
    explicit FakeClock(Millis start = Millis(1000)) : now_(start) {}

    Millis now() const override { return now_; }

    // Never moves backwards: a monotonic clock does not.
    void advanceTo(Millis t) {
        if (t > now_)
            now_ = t;
    }
    void advanceBy(Millis d) { advanceTo(now_ + d); }

private:
    Millis now_;
};

} // namespace tavo::test
