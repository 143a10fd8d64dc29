#pragma once

#include <string>
#include <string_view>

namespace tavo::engine {

// The number at the start of a text, read the way a leading-number parse reads it: blanks, tabs
// and line feeds are skipped, an optional sign, digits with at most one decimal point, an
// optional exponent; reading stops at the first other character; no number gives 0. Rounded to
// single precision, as the bootloader version is kept: a number too small for it gives 0, one
// too large raises RunError ("Overflow").
float ParseLeadingNumber(std::string_view text);

// A version in its short decimal form: at most seven significant digits, a point as the decimal
// separator ("1.3", "2").
std::string FormatVersion(float version);

inline constexpr float kLowestEepromVersion = 1.3f;    // accepts EEPROM writes
inline constexpr float kLowestRetryingVersion = 1.28f; // gets the retrying line protocol

} // namespace tavo::engine
