/* How an application hands the chip over to the bootloader: it leaves ENTRY_MARK in GPIOR0, turns
 * interrupts off and jumps to the start of the boot section. Nothing the C start-up code of the
 * bootloader runs touches GPIOR0, and every reset clears it, so the mark tells a request from a
 * reset. */
#ifndef TAVO_HANDOVER_H
#define TAVO_HANDOVER_H

#include <avr/io.h>

#define ENTRY_MARK_REGISTER GPIOR0
#define ENTRY_MARK 0xB7

/* The bootloader clears MCUSR (it must, to stop the watchdog after a watchdog reset) and leaves
 * its value here for the application. It starts the application through a watchdog reset after a
 * download. */
#define RESET_CAUSE_REGISTER GPIOR1

#endif
