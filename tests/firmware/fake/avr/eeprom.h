// A host stand-in for avr-libc's <avr/eeprom.h>, on the fake chip of FakeChip.h.
#pragma once

#include <stdint.h>

namespace tavo::fake_avr {
void EepromUpdate(uint8_t* cell, uint8_t value);
uint8_t EepromRead(const uint8_t* cell);
} // namespace tavo::fake_avr

#define eeprom_update_byte(cell, value) tavo::fake_avr::EepromUpdate(cell, value)
#define eeprom_read_byte(cell) tavo::fake_avr::EepromRead(cell)
