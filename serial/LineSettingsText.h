#pragma once

#include <charconv>
#include <optional>
#include <string>

namespace tavo::serial {

// The bit rate of a line-settings string "<rate>,n,8,1", the only character format the link uses;
// nothing for anything else.
inline std::optional<int> ParseLineSettings(const std::string& settings) {
    auto comma = settings.find(',');
    if (comma == std::string::npos || comma == 0)
        return std::nullopt;
    int rate = 0;
    auto [ptr, ec] = std::from_chars(settings.data(), settings.data() + comma, rate);
    if (ec != std::errc{} || ptr != settings.data() + comma || rate <= 0)
        return std::nullopt;
    auto format = settings.substr(comma);
    if (format != ",n,8,1" && format != ",N,8,1")
        return std::nullopt;
    return rate;
}

} // namespace tavo::serial
