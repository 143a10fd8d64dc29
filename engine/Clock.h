#pragma once

#include <chrono>
#include <cstdint>

namespace tavo::engine {

using Millis = std::chrono::milliseconds;

// The clock behind every time limit of the run: a monotonic reading in milliseconds. Limits are
// counted in whole seconds of it (see WholeSecondWait). Tests substitute a fake clock.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Millis now() const = 0;
};

class SteadyClock final : public Clock {
public:
    Millis now() const override {
        return std::chrono::duration_cast<Millis>(
            std::chrono::steady_clock::now().time_since_epoch());
    }
};

// A limit of N seconds measured as the difference of two readings truncated to whole seconds:
// it lasts more than N - 1 and at most N seconds, depending on where in its second it starts.
class WholeSecondWait {
public:
    WholeSecondWait(const Clock& clock, int limitSeconds)
        : clock_(clock), startSecond_(WholeSeconds(clock.now())), limit_(limitSeconds) {}

    bool expired() const { return WholeSeconds(clock_.now()) - startSecond_ >= limit_; }

    // Time left until expired() turns true (zero once it has).
    Millis remaining() const {
        auto end = Millis((startSecond_ + limit_) * 1000);
        auto left = end - clock_.now();
        return left > Millis(0) ? left : Millis(0);
    }

private:
    static std::int64_t WholeSeconds(Millis t) {
        auto ms = t.count();
        return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    }

    const Clock& clock_;
    std::int64_t startSecond_;
    int limit_;
};

} // namespace tavo::engine
