// A host stand-in for avr-libc's <avr/boot.h>, on the fake chip of FakeChip.h.
#pragma once

#include <avr/io.h>

namespace tavo::fake_avr {
void PageErase(uint32_t address);
void PageFill(uint32_t address, uint16_t word);
void PageWrite(uint32_t address);
void RwwEnable();
} // namespace tavo::fake_avr

#define boot_page_erase(address) tavo::fake_avr::PageErase(address)
#define boot_page_fill(address, word) tavo::fake_avr::PageFill(address, word)
#define boot_page_write(address) tavo::fake_avr::PageWrite(address)
#define boot_rww_enable() tavo::fake_avr::RwwEnable()
#define boot_spm_busy_wait()                                                                       \
    do {                                                                                           \
    } while (SPMCSR & _BV(SPMEN))
