#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

// The fake chip behind the host builds of the bootloader's page and record logic: Flash with a
// temporary page buffer, erase and write that stay busy for a number of status reads, EEPROM,
// and the UART's received bytes. It keeps a log of the Flash operations and can fail a page
// write or hold a cell at its erased value.
namespace tavo::fake_avr {

constexpr std::uint32_t kFlashSize = 0x8000;
constexpr std::uint32_t kPage = 128;

struct Chip {
    std::array<std::uint8_t, kFlashSize> flash;
    std::array<std::uint8_t, 1024> eeprom;
    std::array<std::uint16_t, kPage / 2> temporary;
    int busyReads = 0;       // status reads left until the running erase or write is done
    int busyFor = 3;         // how many an erase or write takes
    bool rwwReadable = true; // false from an erase or write until the RWW section is enabled
    int unreadableReads = 0; // Flash reads while it was not readable: a fault of the firmware
    int pageWrites = 0;
    std::set<int> failingWrites;        // these page writes (from 1) change nothing
    std::set<std::uint32_t> stuckCells; // these bytes stay 0xFF
    std::vector<std::string> log;       // "erase 0x80", "write 0x80"
    std::deque<int> received;           // what the UART will deliver; empty: a timeout

    Chip() { reset(); }
    void reset();
};

Chip& TheChip();

} // namespace tavo::fake_avr
