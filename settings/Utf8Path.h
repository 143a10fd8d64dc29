#pragma once

#include <filesystem>
#include <string>

// Paths travel through the program as UTF-8 text (that is how they sit in the settings file and
// in the window); these turn them into filesystem paths and back on every platform.
namespace tavo::settings {

inline std::filesystem::path PathFromUtf8(const std::string& text) {
    return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

inline std::string Utf8FromPath(const std::filesystem::path& path) {
    auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

} // namespace tavo::settings
