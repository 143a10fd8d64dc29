/* For an application on a board with the TAVO bootloader: watch the UART for the loader's jump
 * command and hand the chip to the bootloader when it comes.
 *
 * Call tavo_watch() with every byte your UART receives (from its receive interrupt or your polling
 * loop). The bootloader takes over UART0 at the baud rate it was built for and does not use
 * interrupts; everything else stays as your application left it while the download runs, so
 * switch off outputs that must not stay on before you call tavo_enter_bootloader() yourself. */
#ifndef TAVO_BOOTLOADER_H
#define TAVO_BOOTLOADER_H

#include <stdint.h>

/* The jump command of the loader's settings. */
#ifndef TAVO_JUMP_COMMAND
#define TAVO_JUMP_COMMAND "$"
#endif

/* The first byte of the boot section, as the BOOTSZ fuses set it (README: "Boards of your own"). */
#ifndef TAVO_BOOT_START
#if defined(__AVR_ATmega328P__)
#define TAVO_BOOT_START 0x7000
#elif defined(__AVR_ATmega2560__)
#define TAVO_BOOT_START 0x3F000
#else
#error "Define TAVO_BOOT_START for this chip"
#endif
#endif

/* Enters the bootloader when the bytes seen so far end with the jump command. */
void tavo_watch(uint8_t received);

/* Hands the chip to the bootloader now. */
void tavo_enter_bootloader(void) __attribute__((noreturn));

#endif
