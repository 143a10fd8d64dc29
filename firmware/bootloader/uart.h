/* UART0, polled: 8N1 at BAUD with the double-speed divisor, whose rounding error is the smaller
 * one at the usual rates from 16 MHz. Timeouts run on Timer1. */
#ifndef TAVO_UART_H
#define TAVO_UART_H

#include <stdint.h>

#define UART_TIMEOUT (-1)

/* Timeouts count Timer1 ticks of 1024 clock cycles: 64 us at 16 MHz, 4.19 s at most. */
#define UART_TICKS(ms) ((uint16_t)((ms) * (F_CPU / 1024) / 1000))

void uart_init(void);
void uart_putc(uint8_t c);
void uart_puts(const char* text);
/* The next received byte, or UART_TIMEOUT when none came within `timeout` ticks; 0 waits for
 * ever. */
int16_t uart_getc(uint16_t timeout);
/* Waits until the last byte sent has left the wire. */
void uart_drain(void);

#endif
