#pragma once

#include "engine/SerialPort.h"

#include <optional>
#include <string>

namespace tavo::engine {

// The line-settings string for a baud list index (0..9), or nothing for any other index, which
// leaves the port's settings as they were.
std::optional<std::string> LineSettingsForBaudIndex(int index);

// The bit rate of a line-settings string such as "56000,n,8,1"; nothing when malformed.
std::optional<int> BaudFromLineSettings(const std::string& settings);

// Closes the port if it is open, ignoring every error. Never throws.
void ClosePort(SerialPort& port) noexcept;

// Whether an answer setting occurs anywhere in the received text (exact, case-sensitive).
// An empty setting counts as found in any non-empty buffer and in no empty one.
bool Contains(const std::string& receiveBuffer, const std::string& setting);

} // namespace tavo::engine
