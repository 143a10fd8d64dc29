/* Writing what the records carry: Flash through a page buffer, EEPROM byte by byte. Only the bytes
 * the records carry change; the rest of a page keeps what it held.
 *
 * A Flash page is read into the buffer when the first record for it arrives and erased and written
 * when the records move on to another page, so a record the loader sends again (its answer was
 * lost) lands in the same buffer and changes nothing. Page 0, which holds the application's reset
 * vector, is erased as soon as the download touches it and written only by flash_finish() after a
 * download without errors: one that breaks off or fails leaves no application that looks
 * complete. */
#ifndef TAVO_PAGES_H
#define TAVO_PAGES_H

#include <stdint.h>

/* Forgets the pages of an earlier download. */
void pages_begin(void);
/* Each returns 0 on success, non-zero when a byte lies outside the memory it may write or a
 * write did not read back as written. */
uint8_t flash_store(uint32_t address, const uint8_t* data, uint8_t count);
/* Writes the last page; page 0 too unless the download `failed`, so that a broken application is
 * never started. */
uint8_t flash_finish(uint8_t failed);
uint8_t eeprom_store(uint32_t address, const uint8_t* data, uint8_t count);

/* Whether the application's reset vector holds anything. */
uint8_t application_present(void);

#endif
