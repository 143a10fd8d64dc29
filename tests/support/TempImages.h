#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tavo::test {

// A fresh directory under the system's temporary folder, removed with everything in it at the end
// of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes `bytes` unchanged to a file in the directory and returns its full path.
    std::string write(const std::string& name, const std::string& bytes) const;

private:
    std::filesystem::path path_;
};

// The whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// The text's lines, without their line feeds.
std::vector<std::string> Lines(const std::string& text);

// `count` image lines, all different, shaped like Intel HEX data records.
std::vector<std::string> ImageLines(int count, char tag = 'F');

// The lines joined with `end` after each one (also after the last).
std::string Join(const std::vector<std::string>& lines, const std::string& end = "\r\n");

} // namespace tavo::test
