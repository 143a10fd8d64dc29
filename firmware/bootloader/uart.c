#include "uart.h"

#include <avr/io.h>

#define UBRR_VALUE ((F_CPU + 4UL * BAUD) / (8UL * BAUD) - 1)
#if UBRR_VALUE > 4095
#error "BAUD is too low for the UART divisor at this clock"
#endif

static uint8_t sent;

void uart_init(void) {
    /* The divisor after the speed bit: simavr works the byte time out when the divisor is
     * written. */
    UCSR0A = _BV(U2X0);
    UBRR0 = UBRR_VALUE;
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
    UCSR0B = _BV(RXEN0) | _BV(TXEN0);
}

void uart_putc(uint8_t c) {
    while (!(UCSR0A & _BV(UDRE0)))
        ;
    /* Writing TXC0 as one clears it, so uart_drain() can wait for this very byte. */
    UCSR0A = _BV(U2X0) | _BV(TXC0);
    UDR0 = c;
    sent = 1;
}

void uart_puts(const char* text) {
    while (*text)
        uart_putc((uint8_t)*text++);
}

int16_t uart_getc(uint16_t timeout) {
    if (timeout) {
        TCCR1B = 0;
        TCNT1 = 0;
        OCR1A = timeout;
        TIFR1 = _BV(OCF1A);
        TCCR1B = _BV(CS12) | _BV(CS10);
    }
    while (!(UCSR0A & _BV(RXC0))) {
        if (timeout && (TIFR1 & _BV(OCF1A)))
            return UART_TIMEOUT;
    }
    return UDR0;
}

void uart_drain(void) {
    if (sent)
        while (!(UCSR0A & _BV(TXC0)))
            ;
}
