#include "tavo_bootloader.h"

#include "bootloader/handover.h"

#include <avr/interrupt.h>
#include <avr/io.h>

static const char jump_command[] = TAVO_JUMP_COMMAND;

void tavo_watch(uint8_t received) {
    static uint8_t matched;
    if (received != (uint8_t)jump_command[matched])
        matched = 0;
    if (received == (uint8_t)jump_command[matched] && jump_command[++matched] == '\0')
        tavo_enter_bootloader();
}

void tavo_enter_bootloader(void) {
    cli();
    /* The receiver stays on, so the start sequence that follows the jump command is not lost. */
    UCSR0B &= (uint8_t) ~(_BV(RXCIE0) | _BV(TXCIE0) | _BV(UDRIE0));
    ENTRY_MARK_REGISTER = ENTRY_MARK;
    __asm__ __volatile__("jmp %0" ::"i"(TAVO_BOOT_START));
    for (;;)
        ;
}
