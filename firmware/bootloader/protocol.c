/* The bootloader: the loader's handshake and its line protocol, and the extension of
 * docs/extension.md.
 *
 * The loader sends the jump command and the start sequence; the running application takes the
 * jump command and hands over (handover.h), the bootloader says it is active and answers the
 * start sequence with its version, its capabilities and the ready character. Then come the images:
 * each Intel HEX record gets one answer character. An EEPROM image is announced by the EEPROM
 * command, followed by a mark when the Flash image comes after it without a new handshake. The
 * end-of-file record of the last image starts the new application, unless something went wrong:
 * then the bootloader waits for the next download. A loader that knows the extension may switch
 * the line rate and ask for the CRC of what the memories hold. */
#include "handover.h"
#include "pages.h"
#include "record.h"
#include "uart.h"

#include <avr/io.h>
#include <avr/wdt.h>
#include <string.h>

#define JUMP_COMMAND '$'
#define START_SEQUENCE "@&$"
#define EEPROM_COMMAND '*'
#define FLASH_FOLLOWS_MARK '!'

#define ACTIVE '^'
#define TEXT(x) #x
#define DECIMAL(x) TEXT(x)
/* Version 1.3: the loader then repeats a line whose answer was a checksum error or lost, and
 * sends EEPROM images. The loader reads the version from after the first "V" it has received, as
 * soon as the ready character is among what it has read; its pause before reading can be as short
 * as a millisecond, so the version goes first and is complete whenever the "?" is there. The
 * version's number ends at the ";" that starts the capabilities, which hold none of the
 * characters a loader looks for. */
#define READY                                                                                      \
    "V1.3;X1,P" DECIMAL(SPM_PAGESIZE) ",L128,A" DECIMAL(BOOT_START) ",E" DECIMAL(                  \
        EEPROM_BYTES) ",R250000,R500000,R1000000?"
#define LINE_COMPLETE '~'
#define PAGE_ERROR '%'
#define CHECKSUM_ERROR '-'
#define FILE_ERRORS '#'
#define FILE_OK '@'

/* The extension's records. */
#define RECORD_SET_RATE 0x80
#define RECORD_CONFIRM 0x81
#define RECORD_CHECK 0x82

/* How long the active answer to a jump command waits for the start sequence that normally
 * follows in the same write, so that the two answers leave together: a loader that reads the
 * active answer alone asks again, and gets another active answer. */
#define ACTIVE_HOLD_MS 100
/* After a reset with an application in place, how long the bootloader waits to be addressed. */
#define RESET_WINDOW_MS 1000
/* After a switch of rate, how long it waits for the confirmation; then, how long it stays at the
 * rate with nothing received. Either way it goes back to the handshake rate after that. */
#define CONFIRM_MS 245
#define IDLE_MS 2000
/* The loader sends a line this often while its answer is a checksum error, then asks the
 * technician whether to give the line up and go on. */
#define LOADER_TRIES 3

/* No interrupt vector table: the bootloader uses no interrupts, and the table would take 104
 * bytes (228 on the ATmega2560) of the boot section. The C start-up that remains is this, the
 * copying of initialised data and the clearing of the rest (libgcc), then the bootloader. */
__attribute__((naked, used, section(".init0"))) static void reset(void) {
    __asm__ __volatile__("clr __zero_reg__\n\t"
                         "out __SREG__, __zero_reg__\n\t"
                         "ldi r28, lo8(%0)\n\t"
                         "ldi r29, hi8(%0)\n\t"
                         "out __SP_H__, r29\n\t"
                         "out __SP_L__, r28" ::"i"(RAMEND));
}

static void bootloader(void) __attribute__((noreturn, noinline));

__attribute__((naked, used, section(".init9"))) static void run(void) {
    bootloader();
}

struct session {
    uint8_t ready;         /* the start sequence has been answered: images may come */
    uint8_t eeprom;        /* the current image is the EEPROM image */
    uint8_t flash_follows; /* and the Flash image comes after it */
    uint8_t begun;         /* a record of the current image has come: no EEPROM command now */
    uint8_t received;      /* a record of this download has come */
    uint8_t errors;        /* something of this download is not where the images put it */
    uint8_t bad_tries;     /* records in a row that failed their checksum or broke off */
    uint32_t base;         /* from the extended address records */
};

/* A download broken off by a new start sequence: the one that follows may be the rest of it, so
 * it ends with errors unless it writes the application's reset vector afresh. */
static uint8_t interrupted;

/* The rates offered, fastest last, and whether the current one waits for its confirmation. */
static const uint32_t rates[] = {250000, 500000, 1000000};
static uint8_t fast;
static uint8_t unconfirmed;

static void start_download(struct session* s) {
    interrupted |= s->received;
    memset(s, 0, sizeof *s);
    s->ready = 1;
    pages_begin();
}

/* Through a watchdog reset, so that the application finds every register as a reset leaves it;
 * after that reset the bootloader starts it at once, at the handshake rate. */
static void start_application(void) {
    uart_drain();
    wdt_enable(WDTO_15MS);
    for (;;)
        ;
}

static void handshake_rate(void) {
    uart_set_divisor(UART_DIVISOR(BAUD));
    fast = 0;
    unconfirmed = 0;
    uart_deadline(0);
}

/* A good record after as many bad ones as the loader makes tries: it gave a line up, whose data
 * is missing. After fewer, this is the line it sent again. */
static void settle_bad_tries(struct session* s) {
    if (s->bad_tries >= LOADER_TRIES)
        s->errors = 1;
    s->bad_tries = 0;
}

static uint32_t big_endian(const uint8_t* data) {
    uint32_t value = 0;
    for (uint8_t i = 0; i < 4; ++i)
        value = value << 8 | data[i];
    return value;
}

static void put_hex(uint32_t value) {
    for (uint8_t i = 0; i < 8; ++i, value <<= 4) {
        uint8_t digit = (uint8_t)(value >> 28);
        uart_putc((uint8_t)(digit < 10 ? '0' + digit : 'A' - 10 + digit));
    }
}

/* CHECK: every page finished, then the CRC of the range as the memory holds it. A range beyond
 * the memory never matches. */
static void check(struct session* s) {
    const uint8_t* d = record.data;
    uint8_t eeprom = d[0];
    uint32_t start = big_endian(d + 1), length = big_endian(d + 5);
    s->errors |= flash_finish(s->errors);
    uint32_t size = eeprom ? E2END + 1UL : FLASHEND + 1UL;
    uint8_t bad = record.header.length != 13 || eeprom > 1 || start > size || length > size - start;
    uint32_t crc = bad ? 0 : memory_crc(eeprom, (address_t)start, (address_t)length);
    bad |= crc != big_endian(d + 9);
    if (bad) {
        s->errors = 1;
        flash_revoke();
    }
    uart_putc(bad ? PAGE_ERROR : LINE_COMPLETE);
    put_hex(crc);
}

/* SET RATE: answered at the old rate, then the switch; the confirmation must follow in time. */
static void set_rate(void) {
    uint32_t rate = big_endian(record.data);
    for (uint8_t i = 0; i < sizeof rates / sizeof rates[0]; ++i) {
        if (record.header.length == 4 && rate == rates[i]) {
            uart_putc(LINE_COMPLETE);
            /* 16 MHz / 8 / (divisor + 1): 7, 3 and 1 for the rates above. */
            uart_set_divisor((uint16_t)((8 >> i) - 1));
            fast = 1;
            unconfirmed = 1;
            uart_deadline(UART_OVERFLOWS(CONFIRM_MS));
            return;
        }
    }
    uart_putc(PAGE_ERROR);
}

/* Answers a good record; returns 1 when the download is over. */
static uint8_t handle(struct session* s) {
    const struct record_header* h = &record.header;
    settle_bad_tries(s);
    uint8_t failed = 0;
    switch (h->type) {
    case RECORD_DATA: {
        s->begun = 1;
        s->received = 1;
        uint32_t address = s->base + h->offset;
        if (address != (address_t)address)
            failed = 1; /* beyond every memory of this chip */
        else if (s->eeprom)
            failed = eeprom_store((address_t)address, record.data, h->length);
        else {
            if (address == 0 && h->length)
                interrupted = 0; /* the application is being written from its start */
            failed = flash_store((address_t)address, record.data, h->length);
        }
        break;
    }
    case RECORD_END_OF_FILE:
        if (!s->eeprom)
            s->errors |= flash_finish(s->errors | interrupted);
        uart_putc(s->errors ? FILE_ERRORS : FILE_OK);
        if (s->eeprom && s->flash_follows) {
            /* Errors of the EEPROM image stay counted: the loader judges only the last answer. */
            s->eeprom = 0;
            s->begun = 0;
            s->base = 0;
            return 0;
        }
        return 1;
    case RECORD_SEGMENT_ADDRESS:
    case RECORD_LINEAR_ADDRESS: {
        s->begun = 1;
        uint16_t value = (uint16_t)(record.data[0] << 8 | record.data[1]);
        if (h->length != 2)
            failed = 1;
        else if (h->type == RECORD_SEGMENT_ADDRESS)
            s->base = (uint32_t)value << 4;
        else
            s->base = (uint32_t)value << 16;
        break;
    }
    case RECORD_SEGMENT_START:
    case RECORD_LINEAR_START:
        break; /* the chip starts at its reset vector whatever the image says */
    case RECORD_SET_RATE:
        set_rate();
        return 0;
    case RECORD_CONFIRM:
        if (unconfirmed) {
            unconfirmed = 0;
            uart_deadline(UART_OVERFLOWS(IDLE_MS));
        }
        break;
    case RECORD_CHECK:
        check(s);
        return 0;
    default:
        failed = 1;
    }
    s->errors |= failed;
    uart_putc(failed ? PAGE_ERROR : LINE_COMPLETE);
    return 0;
}

static void bootloader(void) {
    uint8_t requested = ENTRY_MARK_REGISTER == ENTRY_MARK;
    ENTRY_MARK_REGISTER = 0;
    /* The watchdog stays on after a watchdog reset until its flag is cleared. */
    uint8_t cause = MCUSR;
    MCUSR = 0;
    wdt_disable();
    RESET_CAUSE_REGISTER = cause;

    /* After a watchdog reset (the bootloader's own way to start the application, or the
     * application's), the application runs at once. After any other reset it runs unless the
     * loader speaks up within a second; on request, or with no application, the bootloader waits
     * for the loader for as long as it takes. */
    uint8_t present = application_present();
    if (!requested && present && (cause & _BV(WDRF)))
        __asm__ __volatile__("jmp 0");

    uart_init();
    /* Taken over by the application on the jump command: its answer is due. */
    uint8_t active_due = requested;
    if (!requested)
        uart_putc(ACTIVE);

    struct session s;
    memset(&s, 0, sizeof s);
    uint8_t addressed = requested || !present;
    if (!addressed)
        uart_deadline(UART_OVERFLOWS(RESET_WINDOW_MS));
    uint8_t matched = 0; /* characters of the start sequence so far */
    int16_t c = UART_TIMEOUT;
    for (;;) {
        if (c == UART_TIMEOUT) {
            c = uart_getc(active_due ? UART_TICKS(ACTIVE_HOLD_MS) : 0);
            if (c == UART_TIMEOUT && active_due) {
                active_due = 0;
                uart_putc(ACTIVE);
                continue;
            }
            if (c == UART_TIMEOUT) {
                if (!addressed)
                    start_application();
                /* No confirmation of a switched rate, or a loader gone quiet at it. */
                handshake_rate();
                continue;
            }
            if (fast && !unconfirmed)
                uart_deadline(UART_OVERFLOWS(IDLE_MS));
        }
        int16_t next = UART_TIMEOUT;
        uint8_t advancing = c == START_SEQUENCE[matched];
        if (active_due && (!advancing || START_SEQUENCE[matched + 1] == '\0')) {
            active_due = 0;
            uart_putc(ACTIVE);
        }
        if (advancing) {
            if (START_SEQUENCE[++matched] == '\0') {
                matched = 0;
                if (!addressed)
                    uart_deadline(0);
                addressed = 1;
                start_download(&s);
                uart_puts(READY);
            }
        } else if (matched) {
            /* Not the sequence after all: look at this character afresh. */
            matched = 0;
            continue;
        } else if (c == JUMP_COMMAND) {
            if (!addressed)
                uart_deadline(0);
            addressed = 1;
            active_due = 1;
        } else if (!s.ready) {
            /* Images only after the handshake: stray characters at reset write nothing. */
        } else if (c == ':') {
            switch (record_read()) {
            case RECORD_OK:
                if (handle(&s)) {
                    if (!s.errors && application_present())
                        start_application();
                    s.received = 0;     /* over, not broken off */
                    start_download(&s); /* nothing to start: wait for the next download */
                }
                break;
            case RECORD_BROKEN:
                next = record_stray;
                /* fall through: to the loader it is a line to send again */
            case RECORD_BAD_CHECKSUM:
                if (s.bad_tries < LOADER_TRIES)
                    ++s.bad_tries;
                uart_putc(CHECKSUM_ERROR);
                break;
            }
        } else if (s.begun) {
            /* Inside an image the commands mean nothing: a stray "*" must not turn the rest of a
             * Flash image into EEPROM writes. */
        } else if (c == EEPROM_COMMAND) {
            s.eeprom = 1;
            s.flash_follows = 0;
            s.base = 0;
        } else if (c == FLASH_FOLLOWS_MARK) {
            s.flash_follows = s.eeprom;
        }
        c = next;
    }
}
