// A host stand-in for avr-libc's <avr/pgmspace.h>, on the fake chip of FakeChip.h.
#pragma once

#include <stdint.h>

namespace tavo::fake_avr {
uint8_t FlashRead(uint32_t address);
}

#define pgm_read_byte(address) tavo::fake_avr::FlashRead(address)
