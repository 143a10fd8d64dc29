// A host stand-in for avr-libc's <avr/io.h>: an ATmega328P's memory sizes, and the SPM status
// register as the fake chip (FakeChip.h) reports it.
#pragma once

#include <stdint.h>

#define FLASHEND 0x7FFF
#define E2END 0x3FF
#define SPM_PAGESIZE 128
#define _BV(bit) (1 << (bit))

#define SPMEN 0
#define SPMCSR (tavo::fake_avr::SpmStatus())

namespace tavo::fake_avr {
uint8_t SpmStatus();
}
