/* Intel HEX records as they arrive: no line ends, so a record is framed by its own length field. */
#ifndef TAVO_RECORD_H
#define TAVO_RECORD_H

#include <stdint.h>

#define RECORD_DATA 0x00
#define RECORD_END_OF_FILE 0x01
#define RECORD_SEGMENT_ADDRESS 0x02
#define RECORD_SEGMENT_START 0x03
#define RECORD_LINEAR_ADDRESS 0x04
#define RECORD_LINEAR_START 0x05

struct record_header {
    uint8_t length;
    uint16_t offset;
    uint8_t type;
};

struct record {
    struct record_header header;
    uint8_t data[255];
};

enum record_status {
    RECORD_OK,
    RECORD_BAD_CHECKSUM, /* complete, but its bytes do not sum to zero */
    RECORD_BROKEN        /* a character that is no hex digit, or a pause inside the record */
};

/* The last record read. */
extern struct record record;
/* After a broken record: the character that broke it (UART_TIMEOUT after a pause), to be read
 * again as the start of whatever follows. */
extern int16_t record_stray;

/* Reads the rest of a record whose ':' has just arrived. */
enum record_status record_read(void);

#endif
