#include "engine/Version.h"

#include <array>
#include <charconv>
#include <cmath>

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
    bool digits = false;
    bool point = false;
    for (skip(); i < text.size(); skip()) {
        char c = text[i];
        if (Digit(c)) {
            digits = true;
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
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t save = i;
        std::string exponent = "e";
        ++i;
        skip();
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            exponent += text[i++];
        bool expDigits = false;
        for (skip(); i < text.size() && Digit(text[i]); skip()) {
            exponent += text[i++];
            expDigits = true;
        }
        if (expDigits)
            number += exponent;
        else
            i = save;
    }
    double value = 0.0;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    (void)end;
    if (ec == std::errc::result_out_of_range) {
        // Beyond double's range: far too small reads as 0, far too large as infinity.
        if (number.find("e-") != std::string::npos)
            return 0.0f;
        return number[0] == '-' ? -HUGE_VALF : HUGE_VALF;
    }
    return static_cast<float>(value);
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
