/* UART0, polled: 8N1 with the double-speed divisor, whose rounding error is the smaller one at the
 * usual rates from 16 MHz. It starts at BAUD, the handshake rate, and may switch to a rate the
 * clock makes exactly. Gaps inside a record are timed on Timer1; the longer deadlines (the window
 * after a reset, the wait for a rate's confirmation, the idle time at a switched rate) count
 * Timer2 overflows, so that a record read in between does not disturb them. */
#ifndef TAVO_UART_H
#define TAVO_UART_H

#include <stdint.h>

#define UART_TIMEOUT (-1)

/* The divisor for a rate with the double-speed bit. */
#define UART_DIVISOR(rate) ((F_CPU + 4UL * (rate)) / (8UL * (rate)) - 1)

/* Gap timeouts count Timer1 ticks of 1024 clock cycles: 64 us at 16 MHz, 4.19 s at most. */
#define UART_TICKS(ms) ((uint16_t)((ms) * (F_CPU / 1024) / 1000))
/* Deadlines count Timer2 overflows of 256 such ticks: 16.4 ms at 16 MHz, 4.2 s at most. */
#define UART_OVERFLOWS(ms) ((uint8_t)((ms) * (F_CPU / 1024 / 256) / 1000))

void uart_init(void);
/* Waits until the last byte sent has left, then runs at the rate of `divisor`. */
void uart_set_divisor(uint16_t divisor);
void uart_putc(uint8_t c);
void uart_puts(const char* text);
/* The next received byte, or UART_TIMEOUT when none came within `gap` ticks; with `gap` 0, when
 * none came before the deadline (never when none is set). While it waits the Flash pages move
 * on. */
int16_t uart_getc(uint16_t gap);
/* Sets the deadline `overflows` Timer2 overflows from now; 0: none. */
void uart_deadline(uint8_t overflows);
/* Waits until the last byte sent has left the wire. */
void uart_drain(void);

#endif
