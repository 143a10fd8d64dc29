#include "record.h"

#include "uart.h"

/* Inside a record the loader's characters follow each other without a pause; a longer gap means
 * the rest of the record is not coming. */
#define GAP_MS 250

struct record record;
int16_t record_stray;

static int8_t hex_value(int16_t c) {
    if (c >= '0' && c <= '9')
        return (int8_t)(c - '0');
    c |= 0x20; /* either case */
    if (c >= 'a' && c <= 'f')
        return (int8_t)(c - 'a' + 10);
    return -1;
}

/* One byte from two hex digits; a negative result is the character (or timeout) that is not one. */
static int16_t read_byte(void) {
    uint8_t value = 0;
    for (uint8_t i = 0; i < 2; ++i) {
        int16_t c = uart_getc(UART_TICKS(GAP_MS));
        int8_t digit = hex_value(c);
        if (c < 0 || digit < 0) {
            record_stray = c;
            return -1;
        }
        value = (uint8_t)(value << 4 | (uint8_t)digit);
    }
    return value;
}

enum record_status record_read(void) {
    struct record* r = &record;
    uint8_t header[4];
    uint8_t sum = 0;
    for (uint8_t i = 0; i < 4; ++i) {
        int16_t b = read_byte();
        if (b < 0)
            return RECORD_BROKEN;
        header[i] = (uint8_t)b;
        sum += (uint8_t)b;
    }
    r->header.length = header[0];
    r->header.offset = (uint16_t)header[1] << 8 | header[2];
    r->header.type = header[3];
    /* The data bytes, then the checksum byte. */
    for (uint16_t i = 0; i <= r->header.length; ++i) {
        int16_t b = read_byte();
        if (b < 0)
            return RECORD_BROKEN;
        if (i < r->header.length)
            r->data[i] = (uint8_t)b;
        sum += (uint8_t)b;
    }
    return sum == 0 ? RECORD_OK : RECORD_BAD_CHECKSUM;
}
