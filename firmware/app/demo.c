/* The demo application: greets over UART0 at start, greets again on every carriage return it
 * receives, blinks the board's LED and enters the bootloader on the loader's jump command. Its
 * EEPROM image holds the blink interval. */
#include "tavo_bootloader.h"

#include <avr/eeprom.h>
#include <avr/interrupt.h>
#include <avr/io.h>
#include <avr/sleep.h>

#define TEXT(x) #x
#define DECIMAL(x) TEXT(x)
static const char greeting[] = "Hello from the application, build " DECIMAL(DEMO_BUILD) "\r\n";

#define UBRR_VALUE ((F_CPU + 4UL * BAUD) / (8UL * BAUD) - 1)

#if defined(__AVR_ATmega2560__)
#define LED_BIT PB7
#define RX_VECTOR USART0_RX_vect
/* Beyond the first 64 KiB, so that the demo runs only when far Flash was written right. */
#define FAR __attribute__((section(".farflash"), noinline))
#else
#define LED_BIT PB5
#define RX_VECTOR USART_RX_vect
#define FAR
#endif

uint16_t blink_ms EEMEM = 500;

static volatile uint8_t greet_requested;

ISR(RX_VECTOR) {
    uint8_t c = UDR0;
    tavo_watch(c);
    if (c == '\r')
        greet_requested = 1;
}

ISR(TIMER1_COMPA_vect) {
    PINB = _BV(LED_BIT); /* writing a PIN bit toggles the output */
}

FAR static void greet(void) {
    for (const char* p = greeting; *p; ++p) {
        while (!(UCSR0A & _BV(UDRE0)))
            ;
        UDR0 = (uint8_t)*p;
    }
}

int main(void) {
    UCSR0A = _BV(U2X0);
    UBRR0 = UBRR_VALUE;
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
    UCSR0B = _BV(RXEN0) | _BV(TXEN0) | _BV(RXCIE0);

    DDRB |= _BV(LED_BIT);
    uint16_t ms = eeprom_read_word(&blink_ms);
    if (ms == 0 || ms > 4000)
        ms = 500; /* an erased EEPROM */
    OCR1A = (uint16_t)((uint32_t)ms * (F_CPU / 1024) / 1000);
    TCCR1B = _BV(WGM12) | _BV(CS12) | _BV(CS10);
    TIMSK1 = _BV(OCIE1A);
    sei();

    greet();
    set_sleep_mode(SLEEP_MODE_IDLE);
    for (;;) {
        cli();
        if (greet_requested) {
            greet_requested = 0;
            sei();
            greet();
            continue;
        }
        sleep_enable();
        sei();
        sleep_cpu(); /* the instruction after sei runs first: no wake-up is missed */
        sleep_disable();
    }
}
