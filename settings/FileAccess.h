#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Reading and writing the small text files the program keeps beside itself (the settings file,
// the port map). Reads cannot hang or exhaust memory whatever the path names; saves keep the old
// file whole until the new one is complete, and keep its owner, mode and links.
namespace tavo::settings {

// More than any hand-written settings file or port map could hold.
inline constexpr std::size_t kSmallFileLimit = 64 * 1024;

// The bytes of the regular file at a UTF-8 path, or nullopt when it is missing, is not a regular
// file (a pipe, a device, a folder), is larger than `limit` or fails to read. Never opens a pipe.
std::optional<std::string> ReadSmallFile(const std::string& path,
                                         std::size_t limit = kSmallFileLimit);

// Makes `bytes` the content of the file at a UTF-8 path, as opening it for writing would: a link
// stays and the file it points to is written, and a file the user may not write is left alone.
// Where it can, the content goes to a temporary file beside the target that is flushed to disk
// and then renamed over it, so the target is always the old or the new content. Where no
// temporary file can be made, or the rename would change the file's owner, mode or other names,
// the file is written in place. False on any failure.
[[nodiscard]] bool SaveFile(const std::string& path, std::string_view bytes);

} // namespace tavo::settings
