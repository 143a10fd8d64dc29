/* Writing what the records carry: Flash through page buffers, EEPROM byte by byte. Only the bytes
 * the records carry change; the rest of a page keeps what it held.
 *
 * A Flash page is read into a buffer when the first record for it arrives and written when the
 * records move on to another page, so a record the loader sends again (its answer was lost) lands
 * in the same buffer and changes nothing. The write runs while the next records arrive: the
 * temporary buffer is filled, the erase starts (not for a page that is already blank), and the
 * write follows as soon as the erase is done, from the wait for the next byte. The page is read
 * back when the Flash is next needed; one that does not hold what was written is reported at the
 * next record or at the end.
 *
 * Page 0, which holds the application's reset vector, is erased as soon as the download touches
 * it and written only after a download without errors (or before its check): one that breaks off
 * or fails leaves no application that looks complete. */
#ifndef TAVO_PAGES_H
#define TAVO_PAGES_H

#include <avr/io.h>
#include <stdint.h>

/* Addresses as wide as the chip needs: 16-bit arithmetic is much smaller code. */
#if FLASHEND > 0xFFFF
typedef uint32_t address_t;
#else
typedef uint16_t address_t;
#endif

/* Finishes the pages of an earlier download and forgets them; page 0, if that download held it,
 * stays erased. */
void pages_begin(void);
/* Each returns 0 on success, non-zero when a byte lies outside the memory it may write or a
 * write did not read back as written. */
uint8_t flash_store(address_t address, const uint8_t* data, uint8_t count);
/* Writes every page still held and reads it back; page 0 too unless the download `failed`, so
 * that a broken application is never started. */
uint8_t flash_finish(uint8_t failed);
/* Erases page 0 if this download wrote it: a download found wrong must not start. */
void flash_revoke(void);
uint8_t eeprom_store(address_t address, const uint8_t* data, uint8_t count);

/* CRC-32 (the zlib one) of `length` bytes of Flash or EEPROM from `start`, as they are now. */
uint32_t memory_crc(uint8_t eeprom, address_t start, address_t length);

/* Moves a page from its erase to its write once the erase is done; called while waiting. */
void pages_poll(void);

/* Whether the application's reset vector holds anything. */
uint8_t application_present(void);

#endif
