#include "pages.h"

#include <avr/boot.h>
#include <avr/eeprom.h>
#include <avr/pgmspace.h>

#define PAGE SPM_PAGESIZE

/* Flash addresses as wide as the chip needs: 16-bit arithmetic is much smaller code. */
#if FLASHEND > 0xFFFF
typedef uint32_t flash_address;
#define flash_read(address) pgm_read_byte_far(address)
#else
typedef uint16_t flash_address;
#define flash_read(address) pgm_read_byte(address)
#endif
#define NO_PAGE ((flash_address)-1)

static uint8_t buffer[PAGE];
static flash_address buffer_page = NO_PAGE;
static uint8_t buffer_dirty;
static uint8_t first_page[PAGE];
static uint8_t first_page_used;

static void read_page(flash_address page, uint8_t* data) {
    for (uint16_t i = 0; i < PAGE; ++i)
        data[i] = flash_read(page + i);
}

static void erase_page(flash_address page) {
    boot_page_erase(page);
    boot_spm_busy_wait();
}

static uint8_t write_page(flash_address page, const uint8_t* data) {
    erase_page(page);
    for (uint16_t i = 0; i < PAGE; i += 2)
        boot_page_fill(page + i, (uint16_t)(data[i] | data[i + 1] << 8));
    boot_page_write(page);
    boot_spm_busy_wait();
    boot_rww_enable();
    for (uint16_t i = 0; i < PAGE; ++i)
        if (flash_read(page + i) != data[i])
            return 1;
    return 0;
}

static uint8_t flush(void) {
    uint8_t failed = 0;
    if (buffer_dirty)
        failed = write_page(buffer_page, buffer);
    buffer_dirty = 0;
    return failed;
}

void pages_begin(void) {
    buffer_page = NO_PAGE;
    buffer_dirty = 0;
    first_page_used = 0;
}

uint8_t flash_store(uint32_t start, const uint8_t* data, uint8_t count) {
    if (start >= BOOT_START || count > BOOT_START - start)
        return 1; /* the bootloader's own section, or beyond the Flash */
    flash_address address = (flash_address)start;
    uint8_t failed = 0;
    for (; count; --count, ++address) {
        flash_address page = address & ~(flash_address)(PAGE - 1);
        uint8_t* target = buffer;
        if (page == 0) {
            if (!first_page_used) {
                read_page(0, first_page);
                erase_page(0);
                boot_rww_enable();
                first_page_used = 1;
            }
            target = first_page;
        } else {
            if (page != buffer_page) {
                failed |= flush();
                read_page(page, buffer);
                buffer_page = page;
            }
            buffer_dirty = 1;
        }
        target[address % PAGE] = *data++;
    }
    return failed;
}

uint8_t flash_finish(uint8_t failed) {
    failed |= flush();
    if (!failed && first_page_used)
        failed = write_page(0, first_page);
    pages_begin();
    return failed;
}

uint8_t eeprom_store(uint32_t start, const uint8_t* data, uint8_t count) {
    if (start > E2END || count > E2END + 1 - start)
        return 1;
    uint8_t* cell = (uint8_t*)(uint16_t)start;
    for (uint8_t i = 0; i < count; ++i, ++cell) {
        eeprom_update_byte(cell, data[i]);
        if (eeprom_read_byte(cell) != data[i])
            return 1;
    }
    return 0;
}

uint8_t application_present(void) {
    return flash_read(0) != 0xFF || flash_read(1) != 0xFF;
}
