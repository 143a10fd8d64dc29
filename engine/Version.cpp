#include "engine/Version.h"

#include "engine/RunError.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace tavo::engine {

namespace {
bool Skippable(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}
bool Digit(char c) {
    return c >= '0' && c <= '9';
}
} // namespace

float ParseLeadingNumber(std::string_view text) {
    // Gather the number's characters, dropping the blanks a leading-number parse ignores, then
    // convert with from_chars: independent of the process locale (Qt sets it from the desktop).
    std::string number;
    std::size_t i = 0;
    auto skip = [&] {
        while (i < text.size() && Skippable(text[i]))
            ++i;
    };
    skip();
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        if (text[i] == '-')
            number += '-';
        ++i;
    }
    // The decimal order of magnitude, to tell an overflow from an underflow: the digits before
    // the point after leading zeros, or minus the zeros after the point before the first other
    // digit.
    long long integerDigits = 0;
    long long leadingFractionZeros = 0;
    bool nonZero = false;
    bool digits = false;
    bool point = false;
    for (skip(); i < text.size(); skip()) {
        char c = text[i];
        if (Digit(c)) {
            digits = true;
            nonZero = nonZero || c != '0';
            if (!point && nonZero)
                ++integerDigits;
            else if (point && !nonZero)
                ++leadingFractionZeros;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
        number += c;
        ++i;
    }
    if (!digits)
        return 0.0f;
    long long exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t save = i;
        std::string exponentText = "e";
        bool negative = false;
        ++i;
        skip();
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            negative = text[i] == '-';
            exponentText += text[i++];
        }
        bool expDigits = false;
        for (skip(); i < text.size() && Digit(text[i]); skip()) {
            exponentText += text[i];
            // Saturates far beyond any float: only its sign and size matter then.
            exponent = std::min(exponent * 10 + (text[i++] - '0'), 1'000'000'000'000LL);
            expDigits = true;
        }
        if (expDigits) {
            number += exponentText;
            if (negative)
                exponent = -exponent;
        } else {
            i = save;
            exponent = 0;
        }
    }
    // Straight to single precision, rounded once, as the version is kept.
    float value = 0.0f;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    (void)end;
    if (ec == std::errc::result_out_of_range) {
        // Too small for a float is 0; too large is an overflow, which a single-precision
        // conversion raises as a run-time error.
        long long order = exponent + (integerDigits > 0 ? integerDigits : -leadingFractionZeros);
        if (order <= 0)
            return 0.0f;
        throw RunError("Overflow", "the version number is beyond single precision");
    }
    return value;
}

std::string FormatVersion(float version) {
    std::array<char, 32> buffer{};
    auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), version,
                                   std::chars_format::general, 7);
    if (ec != std::errc())
        return {};
    return std::string(buffer.data(), end);
}

} // namespace tavo::engine
