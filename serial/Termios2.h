#pragma once

// The kernel's termios2, whose speed fields carry any bit rate (14400 and 56000 have no B
// constant). glibc's <termios.h> and <asm/termbits.h> cannot be included together, so it is
// declared here, where TCGETS2 says the system has it. Header-only: the simulated board reads its
// line with it too.
#include <sys/ioctl.h>
#include <termios.h>

#if defined(__linux__) && defined(TCGETS2)
struct termios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
#ifndef BOTHER
#define BOTHER 0010000
#endif
#endif
