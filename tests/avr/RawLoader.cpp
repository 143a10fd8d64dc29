#include "tests/avr/RawLoader.h"

#include "engine/Extension.h"
#include "serial/Termios2.h"
#include "tools/bootsim/IntelHex.h"

#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace tavo::avr_test {

std::uint32_t Crc32(const std::vector<std::uint8_t>& bytes) {
    return engine::Crc32(bytes.data(), bytes.size());
}

std::string Record(std::uint8_t type, std::uint16_t address,
                   const std::vector<std::uint8_t>& data) {
    return bootsim::EncodeRecord(type, address, data);
}

RawLoader::RawLoader(const std::string& device, unsigned long baud)
    : fd_(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {
    if (fd_ < 0)
        return;
    termios raw{};
    ::tcgetattr(fd_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(fd_, TCSANOW, &raw);
    setRate(baud);
}

RawLoader::~RawLoader() {
    if (fd_ >= 0)
        ::close(fd_);
}

void RawLoader::setRate(unsigned long baud) {
    ::tcdrain(fd_);
    termios2 tio{};
    ::ioctl(fd_, TCGETS2, &tio);
    tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CBAUD)) | BOTHER;
    tio.c_ispeed = tio.c_ospeed = static_cast<speed_t>(baud);
    ::ioctl(fd_, TCSETS2, &tio);
}

std::string RawLoader::exchange(const std::string& text, const std::string& until,
                                std::size_t count, std::chrono::milliseconds timeout) {
    std::string seen;
    if (fd_ < 0 || ::write(fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return seen;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto done = [&] {
        return until.empty()
                   ? seen.size() >= count
                   : seen.size() >= until.size() &&
                         seen.compare(seen.size() - until.size(), until.size(), until) == 0;
    };
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buffer[256];
        auto n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0)
            break;
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    return seen;
}

std::string RawLoader::collect(std::chrono::milliseconds time) {
    return exchange("", "", SIZE_MAX, time);
}

std::string RawLoader::handshake() {
    std::string answers;
    for (int tries = 0; tries < 3 && answers.find('?') == std::string::npos; ++tries)
        answers += exchange("$@&$", "?", 0, std::chrono::milliseconds(500));
    return answers;
}

std::string RawLoader::record(std::uint8_t type, const std::vector<std::uint8_t>& data,
                              std::uint16_t address) {
    return exchange(Record(type, address, data), "", type == 0x82 ? 9 : 1);
}

std::string RawLoader::data(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    std::string answers;
    if (address > 0xFFFF)
        answers += record(0x04, {static_cast<std::uint8_t>(address >> 24),
                                 static_cast<std::uint8_t>(address >> 16)});
    return answers + record(0x00, bytes, static_cast<std::uint16_t>(address));
}

namespace {
void PutBigEndian(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}
} // namespace

std::string RawLoader::setRateCommand(std::uint32_t rate) {
    std::vector<std::uint8_t> payload;
    PutBigEndian(payload, rate);
    return record(0x80, payload);
}

std::string RawLoader::check(std::uint8_t memory, std::uint32_t start, std::uint32_t length,
                             std::uint32_t crc) {
    std::vector<std::uint8_t> payload{memory};
    PutBigEndian(payload, start);
    PutBigEndian(payload, length);
    PutBigEndian(payload, crc);
    return record(0x82, payload);
}

} // namespace tavo::avr_test
