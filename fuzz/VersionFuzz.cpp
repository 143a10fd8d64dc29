// The version reader of the ready answer on arbitrary bytes, against the C library's conversion
// of the same number: the blanks a leading-number parse skips are dropped, the longest number at
// the front is cut out by hand and converted with strtof. A number beyond single precision must
// fail as an overflow, never give infinity; what FormatVersion shows must read back as the same
// version.
#include "engine/RunError.h"
#include "engine/Version.h"
#include "fuzz/Check.h"

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

using namespace tavo;

namespace {

bool Digit(char c) {
    return c >= '0' && c <= '9';
}

// The number at the front of the text, blanks removed; empty when there is none.
std::string LeadingNumber(std::string_view text) {
    std::string plain;
    for (const char c : text)
        if (c != ' ' && c != '\t' && c != '\n')
            plain += c;
    std::size_t i = 0;
    if (i < plain.size() && (plain[i] == '+' || plain[i] == '-'))
        ++i;
    bool digits = false;
    bool point = false;
    for (; i < plain.size(); ++i) {
        if (Digit(plain[i]))
            digits = true;
        else if (plain[i] == '.' && !point)
            point = true;
        else
            break;
    }
    if (!digits)
        return {};
    if (i < plain.size() && (plain[i] == 'e' || plain[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < plain.size() && (plain[j] == '+' || plain[j] == '-'))
            ++j;
        const std::size_t first = j;
        while (j < plain.size() && Digit(plain[j]))
            ++j;
        if (j > first)
            i = j;
    }
    return plain.substr(0, i);
}

std::optional<float> Parse(std::string_view text) {
    try {
        return engine::ParseLeadingNumber(text);
    } catch (const engine::RunError&) {
        return std::nullopt; // the overflow
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto version = Parse(text);

    const std::string number = LeadingNumber(text);
    float expected = 0.0f;
    bool underflow = false;
    if (!number.empty()) {
        errno = 0;
        expected = std::strtof(number.c_str(), nullptr);
        underflow = errno == ERANGE && std::isfinite(expected);
    }
    if (std::isinf(expected)) {
        TAVO_FUZZ_CHECK(!version, "a version beyond single precision did not overflow");
        return 0;
    }
    TAVO_FUZZ_CHECK(version, "an overflow for a number that fits");
    TAVO_FUZZ_CHECK(std::isfinite(*version), "the version is not finite");
    // Below the smallest normal number the C library may keep a subnormal where the reader
    // gives 0.
    TAVO_FUZZ_CHECK(*version == expected || (underflow && *version == 0.0f),
                    "differs from the C library's conversion");

    const std::string shown = engine::FormatVersion(*version);
    TAVO_FUZZ_CHECK(!shown.empty() &&
                        shown.find_first_not_of("0123456789.e+-") == std::string::npos,
                    "the shown version is not a plain number");
    const auto back = Parse(shown);
    TAVO_FUZZ_CHECK(back && std::fabs(*back - *version) <= std::fabs(*version) * 1e-6f,
                    "the shown version reads back as another number");
    return 0;
}
