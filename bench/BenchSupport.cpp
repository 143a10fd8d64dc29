#include "bench/BenchSupport.h"

#include "tools/bootsim/IntelHex.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace tavo::bench {

std::string ImageOfLines(int lines) {
    std::string text;
    std::uint32_t address = 0;
    int written = 0;
    std::vector<std::uint8_t> data(16);
    while (written < lines - 1) {
        if (address % 0x10000 == 0 && address != 0) {
            auto upper = static_cast<std::uint16_t>(address >> 16);
            text += bootsim::EncodeRecord(4, 0,
                                          {static_cast<std::uint8_t>(upper >> 8),
                                           static_cast<std::uint8_t>(upper & 0xFF)}) +
                    "\r\n";
            ++written;
            if (written == lines - 1)
                break;
        }
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<std::uint8_t>(address + i * 7);
        text +=
            bootsim::EncodeRecord(0, static_cast<std::uint16_t>(address & 0xFFFF), data) + "\r\n";
        address += 16;
        ++written;
    }
    return text + bootsim::EncodeRecord(1, 0, {}) + "\r\n";
}

std::vector<std::string> ImageLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(0, line.find('\r')));
    return lines;
}

double CpuSeconds(clockid_t which) {
    timespec t{};
    ::clock_gettime(which, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

double Median(std::vector<double> v) {
    return Percentile(std::move(v), 0.5);
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

std::string MachineLoad() {
    double load[3] = {0, 0, 0};
    ::getloadavg(load, 3);
    char text[128];
    std::snprintf(text, sizeof text, "%ld processors online, load average %.2f %.2f %.2f",
                  ::sysconf(_SC_NPROCESSORS_ONLN), load[0], load[1], load[2]);
    return text;
}

ScratchDir::ScratchDir(const std::string& prefix)
    : path_(std::filesystem::temp_directory_path() / (prefix + "-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::write(const std::string& name, const std::string& text) const {
    auto path = (path_ / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

RawDevice::RawDevice(const std::string& path, bool setSpeed)
    : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY)) {
    if (fd_ < 0)
        return;
    termios tio{};
    ::tcgetattr(fd_, &tio);
    ::cfmakeraw(&tio);
    if (setSpeed)
        ::cfsetspeed(&tio, B115200);
    ::tcsetattr(fd_, TCSANOW, &tio);
}

RawDevice::~RawDevice() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool RawDevice::writeAll(const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        auto n = ::write(fd_, text.data() + done, text.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void RawDevice::send(const std::string& text) {
    if (!writeAll(text))
        throw std::runtime_error("write failed");
}

bool RawDevice::exchange(const std::string& text) {
    char answer[256];
    pollfd p{fd_, POLLIN, 0};
    return writeAll(text) && ::poll(&p, 1, 3000) == 1 && ::read(fd_, answer, sizeof answer) > 0;
}

void RawDevice::expect(const std::string& wanted) {
    while (received_.find(wanted) == std::string::npos) {
        pollfd p{fd_, POLLIN, 0};
        char buffer[256];
        if (::poll(&p, 1, 5000) <= 0)
            throw std::runtime_error("no answer \"" + wanted + "\" from the board");
        auto n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0)
            throw std::runtime_error("the board went away");
        received_.append(buffer, static_cast<std::size_t>(n));
    }
    received_.erase(0, received_.find(wanted) + wanted.size());
}

void RawDevice::enterBootloader() {
    exchange("$@&$");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::tcflush(fd_, TCIFLUSH);
}

} // namespace tavo::bench
