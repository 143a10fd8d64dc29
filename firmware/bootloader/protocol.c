/* The bootloader: the loader's handshake and its line protocol.
 *
 * The loader sends the jump command and the start sequence; the running application takes the
 * jump command and hands over (handover.h), the bootloader says it is active and answers the
 * start sequence with its version and the ready character. Then come the images: each
 * Intel HEX record gets one answer character. An EEPROM image is announced by the EEPROM command,
 * followed by a mark when the Flash image comes after it without a new handshake. The end-of-file
 * record of the last image starts the new application, unless something went wrong: then the
 * bootloader waits for the next download. */
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
/* Version 1.3: the loader then repeats a line whose answer was a checksum error or lost, and
 * sends EEPROM images. The loader reads the version from after the first "V" it has received, as
 * soon as the ready character is among what it has read; its pause before reading can be as short
 * as a millisecond, so the version goes first and is complete whenever the "?" is there. */
#define READY "V1.3?"
#define LINE_COMPLETE '~'
#define PAGE_ERROR '%'
#define CHECKSUM_ERROR '-'
#define FILE_ERRORS '#'
#define FILE_OK '@'

/* After a reset with an application in place, how long the bootloader waits to be addressed. */
#define RESET_WINDOW_MS 1000
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
    uint8_t errors;        /* something of this download is not where the images put it */
    uint8_t bad_tries;     /* records in a row that failed their checksum or broke off */
    uint32_t base;         /* from the extended address records */
};

static void start_download(struct session* s) {
    memset(s, 0, sizeof *s);
    s->ready = 1;
    pages_begin();
}

/* Through a watchdog reset, so that the application finds every register as a reset leaves it;
 * after that reset the bootloader starts it at once. */
static void start_application(void) {
    uart_drain();
    wdt_enable(WDTO_15MS);
    for (;;)
        ;
}

/* A good record after as many bad ones as the loader makes tries: it gave a line up, whose data
 * is missing. After fewer, this is the line it sent again. */
static void settle_bad_tries(struct session* s) {
    if (s->bad_tries >= LOADER_TRIES)
        s->errors = 1;
    s->bad_tries = 0;
}

/* Answers a good record; returns 1 when the download is over. */
static uint8_t handle(struct session* s) {
    const struct record_header* h = &record.header;
    settle_bad_tries(s);
    uint8_t failed = 0;
    switch (h->type) {
    case RECORD_DATA: {
        uint32_t address = s->base + h->offset;
        failed = s->eeprom ? eeprom_store(address, record.data, h->length)
                           : flash_store(address, record.data, h->length);
        break;
    }
    case RECORD_END_OF_FILE:
        if (!s->eeprom)
            s->errors |= flash_finish(s->errors);
        uart_putc(s->errors ? FILE_ERRORS : FILE_OK);
        if (s->eeprom && s->flash_follows) {
            /* Errors of the EEPROM image stay counted: the loader judges only the last answer. */
            s->eeprom = 0;
            s->base = 0;
            return 0;
        }
        return 1;
    case RECORD_SEGMENT_ADDRESS:
    case RECORD_LINEAR_ADDRESS: {
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
    uart_putc(ACTIVE);

    struct session s;
    memset(&s, 0, sizeof s);
    uint8_t addressed = requested || !present;
    uint8_t matched = 0; /* characters of the start sequence so far */
    int16_t c = UART_TIMEOUT;
    for (;;) {
        if (c == UART_TIMEOUT) {
            c = uart_getc(addressed ? 0 : UART_TICKS(RESET_WINDOW_MS));
            if (c == UART_TIMEOUT)
                start_application();
        }
        int16_t next = UART_TIMEOUT;
        if (c == START_SEQUENCE[matched]) {
            if (START_SEQUENCE[++matched] == '\0') {
                matched = 0;
                addressed = 1;
                start_download(&s);
                uart_puts(READY);
            }
        } else if (matched) {
            /* Not the sequence after all: look at this character afresh. */
            matched = 0;
            continue;
        } else if (c == JUMP_COMMAND) {
            addressed = 1;
            uart_putc(ACTIVE);
        } else if (!s.ready) {
            /* Images only after the handshake: stray characters at reset write nothing. */
        } else if (c == EEPROM_COMMAND) {
            s.eeprom = 1;
            s.flash_follows = 0;
            s.base = 0;
        } else if (c == FLASH_FOLLOWS_MARK) {
            s.flash_follows = s.eeprom;
        } else if (c == ':') {
            switch (record_read()) {
            case RECORD_OK:
                if (handle(&s)) {
                    if (!s.errors && application_present())
                        start_application();
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
        }
        c = next;
    }
}
