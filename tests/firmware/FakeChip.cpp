#include "tests/firmware/FakeChip.h"

#include "firmware/bootloader/uart.h"

#include <avr/boot.h>
#include <avr/eeprom.h>
#include <avr/pgmspace.h>

#include <cstdio>

namespace tavo::fake_avr {

namespace {
std::string At(const char* what, std::uint32_t address) {
    char text[32];
    std::snprintf(text, sizeof text, "%s 0x%X", what, static_cast<unsigned>(address));
    return text;
}

// An SPM instruction issued while the last is still running is ignored, as on the chip; the log
// shows it.
bool Idle(Chip& c, const char* what, std::uint32_t address) {
    if (c.busyReads > 0) {
        c.log.push_back(At(what, address) + " while busy");
        return false;
    }
    return true;
}
} // namespace

void Chip::reset() {
    flash.fill(0xFF);
    eeprom.fill(0xFF);
    temporary.fill(0xFFFF);
    busyReads = 0;
    rwwReadable = true;
    unreadableReads = 0;
    pageWrites = 0;
    failingWrites.clear();
    stuckCells.clear();
    log.clear();
    received.clear();
}

Chip& TheChip() {
    static Chip chip;
    return chip;
}

std::uint8_t SpmStatus() {
    auto& c = TheChip();
    if (c.busyReads > 0)
        --c.busyReads;
    return c.busyReads > 0 ? _BV(SPMEN) : 0;
}

void PageErase(std::uint32_t address) {
    auto& c = TheChip();
    if (!Idle(c, "erase", address))
        return;
    auto page = address & ~(kPage - 1);
    c.log.push_back(At("erase", page));
    for (std::uint32_t i = 0; i < kPage; ++i)
        c.flash[page + i] = 0xFF;
    c.busyReads = c.busyFor;
    c.rwwReadable = false;
}

void PageFill(std::uint32_t address, std::uint16_t word) {
    auto& c = TheChip();
    if (Idle(c, "fill", address))
        c.temporary[(address % kPage) / 2] = word;
}

void PageWrite(std::uint32_t address) {
    auto& c = TheChip();
    if (!Idle(c, "write", address))
        return;
    auto page = address & ~(kPage - 1);
    c.log.push_back(At("write", page));
    if (!c.failingWrites.count(++c.pageWrites)) {
        for (std::uint32_t i = 0; i < kPage; ++i) {
            auto byte = static_cast<std::uint8_t>(c.temporary[i / 2] >> (i % 2 ? 8 : 0));
            if (!c.stuckCells.count(page + i))
                c.flash[page + i] &= byte; // programming only clears bits
        }
    }
    c.temporary.fill(0xFFFF);
    c.busyReads = c.busyFor;
    c.rwwReadable = false;
}

void RwwEnable() {
    auto& c = TheChip();
    if (Idle(c, "rww", 0)) {
        c.rwwReadable = true;
        c.temporary.fill(0xFFFF);
    }
}

std::uint8_t FlashRead(std::uint32_t address) {
    auto& c = TheChip();
    if (!c.rwwReadable)
        ++c.unreadableReads;
    return c.flash.at(address);
}

void EepromUpdate(std::uint8_t* cell, std::uint8_t value) {
    TheChip().eeprom.at(reinterpret_cast<std::uintptr_t>(cell)) = value;
}

std::uint8_t EepromRead(const std::uint8_t* cell) {
    return TheChip().eeprom.at(reinterpret_cast<std::uintptr_t>(cell));
}

} // namespace tavo::fake_avr

// The UART the record reader takes its characters from.
int16_t uart_getc(uint16_t) {
    auto& received = tavo::fake_avr::TheChip().received;
    if (received.empty())
        return UART_TIMEOUT;
    int c = received.front();
    received.pop_front();
    return static_cast<int16_t>(c);
}
