#!/usr/bin/env python3
"""Writes the bundled sample images: sample.hex (Flash) and sample.eep (EEPROM).

Both are Intel HEX with 16 data bytes per record and CRLF line ends, as board toolchains write
them. The Flash image crosses into the second 64 KiB page through an extended linear address
record, so a loader or simulator that ignores record type 04 shows up at once. The bytes are a
fixed pseudo-random sequence: running this again gives the same files.

Usage: tools/samples/make-samples.py [OUTPUT_DIR]   (default: the folder of this script)
"""

import os
import sys

RECORD_BYTES = 16


def record(kind, address, data=b""):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, kind]) + data
    checksum = (-sum(body)) & 0xFF
    return ":" + body.hex().upper() + "%02X" % checksum + "\r\n"


def pseudo_random_bytes(count, seed):
    # A small linear congruential generator; only its high byte is used.
    state = seed
    out = bytearray()
    for _ in range(count):
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        out.append((state >> 16) & 0xFF)
    return bytes(out)


def data_records(base, data):
    lines = []
    for offset in range(0, len(data), RECORD_BYTES):
        lines.append(record(0x00, (base + offset) & 0xFFFF, data[offset:offset + RECORD_BYTES]))
    return lines


def flash_image():
    low = pseudo_random_bytes(256 * RECORD_BYTES, seed=2018)   # 0x00000 .. 0x00FFF
    high = pseudo_random_bytes(64 * RECORD_BYTES, seed=227)    # 0x10000 .. 0x103FF
    lines = data_records(0x0000, low)
    lines.append(record(0x04, 0x0000, bytes([0x00, 0x01])))   # upper address 0x0001
    lines += data_records(0x0000, high)
    lines.append(record(0x01, 0x0000))
    return "".join(lines)


def eeprom_image():
    data = bytes(range(0x40, 0x80))                            # 64 bytes at 0x000
    return "".join(data_records(0x0000, data) + [record(0x01, 0x0000)])


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for name, text in (("sample.hex", flash_image()), ("sample.eep", eeprom_image())):
        with open(os.path.join(folder, name), "w", newline="") as f:
            f.write(text)


if __name__ == "__main__":
    main()
