#include "tests/support/TempImages.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace tavo::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<int> serial{0};
    std::random_device random;
    auto name = "tavo-test-" + std::to_string(::getpid()) + "-" + std::to_string(serial++) + "-" +
                std::to_string(random());
    path_ = fs::temp_directory_path() / name;
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string TempDir::write(const std::string& name, const std::string& bytes) const {
    auto file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
    return file.string();
}

std::vector<std::string> ImageLines(int count, char tag) {
    std::vector<std::string> lines;
    lines.reserve(count);
    char buffer[48];
    for (int i = 0; i < count; ++i) {
        // Address and tag make every line unique; the content is not interpreted.
        std::snprintf(buffer, sizeof buffer, ":10%04X00%c%07d0C940000", (i * 16) & 0xFFFF, tag, i);
        lines.emplace_back(buffer);
    }
    return lines;
}

std::string Join(const std::vector<std::string>& lines, const std::string& end) {
    std::string text;
    for (const auto& line : lines)
        text += line + end;
    return text;
}

} // namespace tavo::test
