#include "tests/avr/AvrBoard.h"

#include "tools/bootsim/IntelHex.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace tavo::avr_test {

std::string Firmware(const std::string& name) {
    return std::string(TAVO_FIRMWARE_DIR) + "/" + name;
}

std::string Bootloader(const std::string& mcu, int baud) {
    return Firmware("bootloader-" + mcu + "-" + std::to_string(baud) + ".hex");
}

std::string Demo(const std::string& mcu, int baud, int build) {
    return Firmware("demo-" + mcu + "-" + std::to_string(baud) + "-build" + std::to_string(build) +
                    ".hex");
}

std::string Greeting(int build) {
    return "Hello from the application, build " + std::to_string(build) + "\r\n";
}

std::string ReadyAnswer(const std::string& mcu) {
    return mcu == "atmega2560" ? "V1.3;X1,P256,L128,A258048,E4096,R250000,R500000,R1000000?"
                               : "V1.3;X1,P128,L128,A28672,E1024,R250000,R500000,R1000000?";
}

std::string Mismatch(const std::string& memory, const std::string& hexPath) {
    auto decoded = bootsim::DecodeHexText(ReadFile(hexPath));
    if (!decoded.error.empty() || decoded.image.empty())
        return hexPath + " does not decode: " + decoded.error;
    for (const auto& [start, bytes] : decoded.image.segments()) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            auto address = start + i;
            if (address >= memory.size())
                return "the memory ends before address " + std::to_string(address);
            auto held = static_cast<std::uint8_t>(memory[address]);
            if (held != bytes[i])
                return "address " + std::to_string(address) + " holds " + std::to_string(held) +
                       ", the image " + std::to_string(bytes[i]);
        }
    }
    return {};
}

std::string EepromImage(int size) {
    std::string text;
    for (int at = 0; at < size; at += 16) {
        std::vector<std::uint8_t> data;
        for (int i = at; i < std::min(size, at + 16); ++i)
            data.push_back(static_cast<std::uint8_t>(i * 37 + (i >> 8) + 11));
        text += bootsim::EncodeRecord(0, static_cast<std::uint16_t>(at), data) + "\r\n";
    }
    return text + bootsim::EncodeRecord(1, 0, {}) + "\r\n";
}

AvrBoard::AvrBoard(const test::TempDir& dir, const std::string& mcu, int baud,
                   std::optional<int> applicationBuild, const std::vector<std::string>& extra)
    : flashPath_((dir.path() / ("flash-" + mcu + ".bin")).string()),
      eepromPath_((dir.path() / ("eeprom-" + mcu + ".bin")).string()),
      logPath_((dir.path() / ("uart-" + mcu + ".log")).string()), baud_(baud) {
    std::vector<std::string> args{"--mcu",       mcu,        "--bootloader", Bootloader(mcu, baud),
                                  "--flash-out", flashPath_, "--eeprom-out", eepromPath_,
                                  "--uart-log",  logPath_};
    if (applicationBuild) {
        args.push_back("--app");
        args.push_back(Demo(mcu, baud, *applicationBuild));
    }
    args.insert(args.end(), extra.begin(), extra.end());
    process_ = std::make_unique<bootsim::BootsimProcess>(TAVO_AVRSIM_EXE, args);
}

std::string AvrBoard::converse(const std::string& text, const std::string& expected,
                               std::chrono::milliseconds timeout) const {
    int fd = ::open(device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return {};
    termios raw{};
    ::tcgetattr(fd, &raw);
    ::cfmakeraw(&raw);
    // At the chip's rate, for a chip that loses bytes sent at another.
    const speed_t speed = baud_ == 115200 ? B115200 : baud_ == 19200 ? B19200 : B9600;
    ::cfsetispeed(&raw, speed);
    ::cfsetospeed(&raw, speed);
    ::tcsetattr(fd, TCSANOW, &raw);
    std::string seen;
    if (::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (seen.find(expected) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            char buffer[256];
            auto n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            seen.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return seen;
}

} // namespace tavo::avr_test
