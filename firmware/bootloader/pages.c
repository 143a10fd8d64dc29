#include "pages.h"

#include <avr/boot.h>
#include <avr/eeprom.h>
#include <avr/pgmspace.h>

#define PAGE SPM_PAGESIZE

#if FLASHEND > 0xFFFF
#define flash_read(address) pgm_read_byte_far(address)
#else
#define flash_read(address) pgm_read_byte(address)
#endif
typedef address_t flash_address;
#define NO_PAGE ((flash_address)-1)

/* Two buffers take turns: the records fill one while the other is written and read back. */
static uint8_t buffers[2][PAGE];
static uint8_t first_page[PAGE];

static struct {
    flash_address open; /* the page the records fill, in buffers[which] */
    flash_address busy; /* the page being erased or written, from busy_data */
    const uint8_t* busy_data;
    uint8_t which;
    uint8_t open_blank;    /* the open page was blank when it was read: no erase */
    uint8_t write_due;     /* the busy page is being erased; its write follows */
    uint8_t first_held;    /* page 0 is in first_page, and erased in the Flash */
    uint8_t first_written; /* this download wrote page 0 */
    uint8_t failed;        /* a page did not read back as written */
} p = {NO_PAGE, NO_PAGE, 0, 0, 0, 0, 0, 0, 0};

/* Reads a page; whether it is blank. */
__attribute__((noinline)) static uint8_t read_page(flash_address page, uint8_t* data) {
    uint8_t all = 0xFF;
    for (uint16_t i = 0; i < PAGE; ++i)
        all &= data[i] = flash_read(page + i);
    return all == 0xFF;
}

void pages_poll(void) {
    if (p.write_due && !(SPMCSR & _BV(SPMEN))) {
        boot_page_write(p.busy);
        p.write_due = 0;
    }
}

/* Waits until the Flash is idle and readable, and reads the page written last back. */
static void settle(void) {
    while (p.write_due)
        pages_poll();
    boot_spm_busy_wait();
    boot_rww_enable();
    boot_spm_busy_wait();
    if (p.busy != NO_PAGE) {
        for (uint16_t i = 0; i < PAGE; ++i)
            if (flash_read(p.busy + i) != p.busy_data[i])
                p.failed = 1;
        p.busy = NO_PAGE;
    }
}

/* Starts writing `data` to `page`: the temporary buffer first, then the erase unless the page is
 * blank, and the write when the erase is done. */
static void start_write(flash_address page, const uint8_t* data, uint8_t blank) {
    settle();
    for (uint16_t i = 0; i < PAGE; i += 2)
        boot_page_fill(page + i, (uint16_t)(data[i] | data[i + 1] << 8));
    p.busy = page;
    p.busy_data = data;
    if (blank) {
        boot_page_write(page);
    } else {
        boot_page_erase(page);
        p.write_due = 1;
    }
}

/* Sends the open page on its way; the other buffer takes the next. */
static void commit(void) {
    if (p.open != NO_PAGE)
        start_write(p.open, buffers[p.which], p.open_blank);
    p.which ^= 1;
    p.open = NO_PAGE;
}

static uint8_t take_failure(void) {
    uint8_t failed = p.failed;
    p.failed = 0;
    return failed;
}

void pages_begin(void) {
    commit();
    settle();
    p.failed = 0;
    p.first_held = 0;
    p.first_written = 0;
}

uint8_t flash_store(address_t start, const uint8_t* data, uint8_t count) {
    if (start >= BOOT_START || count > BOOT_START - start)
        return 1; /* the bootloader's own section, or beyond the Flash */
    flash_address address = start;
    for (; count; --count, ++address) {
        flash_address page = address & ~(flash_address)(PAGE - 1);
        uint8_t* target;
        if (page == 0) {
            if (!p.first_held) {
                settle();
                if (!read_page(0, first_page))
                    boot_page_erase(0);
                p.first_held = 1;
            }
            target = first_page;
        } else {
            if (page != p.open) {
                settle(); /* the spare buffer is free, the Flash readable */
                uint8_t blank = read_page(page, buffers[p.which ^ 1]);
                commit();
                p.open = page;
                p.open_blank = blank;
            }
            target = buffers[p.which];
        }
        target[address % PAGE] = *data++;
    }
    return take_failure();
}

uint8_t flash_finish(uint8_t failed) {
    commit();
    settle();
    failed |= take_failure();
    if (p.first_held && !failed) {
        start_write(0, first_page, 1);
        settle();
        failed = take_failure();
        p.first_held = 0;
        p.first_written = !failed;
    }
    return failed;
}

void flash_revoke(void) {
    if (p.first_written) {
        settle();
        boot_page_erase(0);
        settle();
        p.first_written = 0;
    }
}

uint8_t eeprom_store(address_t start, const uint8_t* data, uint8_t count) {
    if (start > E2END || count > E2END + 1 - start)
        return 1;
    settle(); /* no EEPROM write while the Flash is busy */
    uint8_t* cell = (uint8_t*)(uintptr_t)start;
    for (uint8_t i = 0; i < count; ++i, ++cell) {
        eeprom_update_byte(cell, data[i]);
        if (eeprom_read_byte(cell) != data[i])
            return 1;
    }
    return 0;
}

/* CRC-32, reflected, a bit at a time. */
static uint32_t crc_byte(uint32_t crc, uint8_t byte) {
#ifdef __AVR__
    uint8_t bits;
    __asm__("eor %A0, %2\n\t"
            "ldi %1, 8\n"
            "1:\n\t"
            "lsr %D0\n\t"
            "ror %C0\n\t"
            "ror %B0\n\t"
            "ror %A0\n\t"
            "brcc 2f\n\t"
            "ldi %2, 0x20\n\t"
            "eor %A0, %2\n\t"
            "ldi %2, 0x83\n\t"
            "eor %B0, %2\n\t"
            "ldi %2, 0xB8\n\t"
            "eor %C0, %2\n\t"
            "ldi %2, 0xED\n\t"
            "eor %D0, %2\n"
            "2:\n\t"
            "dec %1\n\t"
            "brne 1b"
            : "+r"(crc), "=&d"(bits), "+d"(byte));
#else
    crc ^= byte;
    for (uint8_t bit = 0; bit < 8; ++bit)
        crc = crc >> 1 ^ (crc & 1 ? 0xEDB88320UL : 0);
#endif
    return crc;
}

/* A byte at a time from a table in RAM, built at the first check: about 45 cycles a byte instead
 * of 125, for 1 KiB of RAM the bootloader has to spare. */
static uint32_t crc_table[256];
static uint8_t crc_table_built;

uint32_t memory_crc(uint8_t eeprom, address_t start, address_t length) {
    if (!crc_table_built) {
        for (uint16_t i = 0; i < 256; ++i)
            crc_table[i] = crc_byte(0, (uint8_t)i);
        crc_table_built = 1;
    }
    uint32_t crc = 0xFFFFFFFF;
    for (; length; --length, ++start) {
        uint8_t byte =
            eeprom ? eeprom_read_byte((const uint8_t*)(uintptr_t)start) : flash_read(start);
        crc = crc >> 8 ^ crc_table[(uint8_t)crc ^ byte];
    }
    return ~crc;
}

uint8_t application_present(void) {
    return flash_read(0) != 0xFF || flash_read(1) != 0xFF;
}
