#pragma once

#include "engine/RunError.h"

#include <cstdint>
#include <limits>

namespace tavo::engine {

// A signed 16-bit counter whose arithmetic is overflow-checked: leaving the range raises
// RunError, which the active failure handler of the run takes like any other error. This is
// what limits an image to 32,767 lines.
class Int16 {
public:
    constexpr Int16() = default;
    constexpr explicit Int16(std::int16_t value) : value_(value) {}

    static Int16 From(long long value) { return Int16(Checked(value)); }

    constexpr std::int16_t value() const { return value_; }
    constexpr operator std::int16_t() const { return value_; }

    Int16& operator+=(int delta) {
        value_ = Checked(static_cast<long long>(value_) + delta);
        return *this;
    }
    Int16& operator-=(int delta) {
        value_ = Checked(static_cast<long long>(value_) - delta);
        return *this;
    }
    Int16& operator=(std::int16_t value) {
        value_ = value;
        return *this;
    }

private:
    static std::int16_t Checked(long long value) {
        if (value < std::numeric_limits<std::int16_t>::min() ||
            value > std::numeric_limits<std::int16_t>::max())
            throw RunError("Overflow");
        return static_cast<std::int16_t>(value);
    }

    std::int16_t value_ = 0;
};

} // namespace tavo::engine
