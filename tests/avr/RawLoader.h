#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// A loader of a few lines for the tests of our bootloader's extension: it writes records and
// commands to the chip's pseudo-terminal as docs/extension.md describes them and returns the raw
// answers, so that every byte of the board's side can be checked.
namespace tavo::avr_test {

// CRC-32 as zlib computes it.
std::uint32_t Crc32(const std::vector<std::uint8_t>& bytes);

class RawLoader {
public:
    // Opens the device raw at `baud`.
    RawLoader(const std::string& device, unsigned long baud);
    ~RawLoader();
    RawLoader(const RawLoader&) = delete;
    RawLoader& operator=(const RawLoader&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // Waits until what was written has left, then sets the port's rate.
    void setRate(unsigned long baud);

    // Writes `text` and collects what comes back until it ends with `until` (or holds `count`
    // bytes when `until` is empty), or the time is up.
    std::string exchange(const std::string& text, const std::string& until, std::size_t count = 0,
                         std::chrono::milliseconds timeout = std::chrono::seconds(2));
    // Everything that arrives within `time`.
    std::string collect(std::chrono::milliseconds time);

    // The jump command and the start sequence, up to three times as a loader sends them (bytes
    // that reach a chip before its receiver is on are lost); the answers up to the ready
    // character.
    std::string handshake();
    // One record; its one answer character (nine for CHECK).
    std::string record(std::uint8_t type, const std::vector<std::uint8_t>& data,
                       std::uint16_t address = 0);
    std::string data(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
    std::string setRateCommand(std::uint32_t rate);
    std::string confirm() { return record(0x81, {}); }
    // CHECK of Flash (memory 0) or EEPROM (1).
    std::string check(std::uint8_t memory, std::uint32_t start, std::uint32_t length,
                      std::uint32_t crc);
    std::string endOfFile() { return record(0x01, {}); }

private:
    int fd_ = -1;
};

// The record text for `type`, `address` and `data`, as the loader writes it: no line end.
std::string Record(std::uint8_t type, std::uint16_t address, const std::vector<std::uint8_t>& data);

} // namespace tavo::avr_test
