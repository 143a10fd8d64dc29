#include "engine/SerialLink.h"

#include <array>
#include <charconv>

namespace tavo::engine {

namespace {
// The baud list's entries in order; 56000 is a rate of its own beside 57600.
constexpr std::array<const char*, 10> kLineSettings = {
    "1200,n,8,1",  "2400,n,8,1",  "4800,n,8,1",  "9600,n,8,1",  "14400,n,8,1",
    "19200,n,8,1", "38400,n,8,1", "56000,n,8,1", "57600,n,8,1", "115200,n,8,1"};
} // namespace

std::optional<std::string> LineSettingsForBaudIndex(int index) {
    if (index < 0 || index >= static_cast<int>(kLineSettings.size()))
        return std::nullopt;
    return std::string(kLineSettings[static_cast<std::size_t>(index)]);
}

std::optional<int> BaudFromLineSettings(const std::string& settings) {
    int baud = 0;
    auto [end, ec] = std::from_chars(settings.data(), settings.data() + settings.size(), baud);
    if (ec != std::errc() || baud <= 0 || end == settings.data() + settings.size() || *end != ',')
        return std::nullopt;
    return baud;
}

void ClosePort(SerialPort& port) noexcept {
    try {
        if (port.isOpen())
            port.close();
    } catch (...) {
        // Closing is best effort on every way out of a run; a failure here has nowhere to go.
    }
}

bool Contains(const std::string& receiveBuffer, const std::string& setting) {
    if (setting.empty())
        return !receiveBuffer.empty();
    return receiveBuffer.find(setting) != std::string::npos;
}

} // namespace tavo::engine
