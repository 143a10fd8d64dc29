#pragma once

#include "settings/Settings.h"

#include <iosfwd>
#include <optional>
#include <string>

// The settings file: sixteen records, one per line, in a fixed order, numbers bare and texts in
// double quotes, CRLF after every record. A load is all-or-nothing: either every record is usable
// or the caller gets nothing and falls back to the defaults.
namespace tavo::settings {

// Parses sixteen records from the stream. std::nullopt when the stream ends early or a record
// is unusable (a list index the list refuses, a check value that is not 0, 1 or 2).
// Anything after the sixteenth record is not read.
std::optional<Settings> ReadSettings(std::istream& in);

// Writes the sixteen records. A double quote inside a text is doubled so it reads back whole.
void WriteSettings(std::ostream& out, const Settings& settings);

// Reads the file at a UTF-8 path; the defaults when it cannot be opened or read to its end, or is
// not a regular file of at most 64 KiB (ReadSmallFile).
Settings LoadSettings(const std::string& path);

// Writes the file at a UTF-8 path as SaveFile does: the old file stays whole until the new one
// is complete, and a file the user may not write is left alone. False on any failure.
[[nodiscard]] bool SaveSettings(const std::string& path, const Settings& settings);

// The message shown when SaveSettings fails.
std::string SaveErrorMessage(const std::string& path);

} // namespace tavo::settings
