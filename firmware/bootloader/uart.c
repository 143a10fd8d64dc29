#include "uart.h"

#include "pages.h"

#include <avr/io.h>

#if UART_DIVISOR(BAUD) > 4095
#error "BAUD is too low for the UART divisor at this clock"
#endif

static uint8_t sent;
static uint8_t deadline; /* overflows left; 0: none */
static uint8_t expired;

void uart_init(void) {
    /* Timer2 runs free for the deadlines. */
    TCCR2B = _BV(CS22) | _BV(CS21) | _BV(CS20);
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
    UCSR0B = _BV(RXEN0) | _BV(TXEN0);
    uart_set_divisor(UART_DIVISOR(BAUD));
}

void uart_set_divisor(uint16_t divisor) {
    uart_drain();
    /* The divisor after the speed bit: simavr works the byte time out when the divisor is
     * written. */
    UCSR0A = _BV(U2X0);
    UBRR0 = divisor;
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

void uart_deadline(uint8_t overflows) {
    TCNT2 = 0;
    TIFR2 = _BV(TOV2);
    deadline = overflows;
    expired = 0;
}

int16_t uart_getc(uint16_t gap) {
    if (gap) {
        TCCR1B = 0;
        TCNT1 = 0;
        OCR1A = gap;
        TIFR1 = _BV(OCF1A);
        TCCR1B = _BV(CS12) | _BV(CS10);
    }
    for (;;) {
        if (UCSR0A & _BV(RXC0))
            return UDR0;
        pages_poll();
        if (TIFR2 & _BV(TOV2)) {
            TIFR2 = _BV(TOV2);
            if (deadline && !--deadline)
                expired = 1;
        }
        if (gap ? (TIFR1 & _BV(OCF1A)) : expired)
            return UART_TIMEOUT;
    }
}

void uart_drain(void) {
    if (sent)
        while (!(UCSR0A & _BV(TXC0)))
            ;
}
