/* 1 KiB the ATmega2560 demo carries beyond the first 64 KiB, beside its greeting code, so that its
 * image spans several Flash pages there. Every address holds a different pattern from its
 * neighbours, so a page written to the wrong place shows in a comparison. */
    .section .farflash,"ax",@progbits
    .global demo_far_table
demo_far_table:
    .set i, 0
    .rept 1024
    .byte (i * 29 + (i >> 8) * 7) & 0xFF
    .set i, i + 1
    .endr
