#pragma once

#ifdef __linux__
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace tavo::serial {

// Answers are single characters; without this a USB adapter holds them for its latency timer
// (16 ms by default on common ones) before the loader sees them. Best effort: pseudo-terminals and
// drivers without the setting refuse the request, which is fine.
inline void RequestLowLatency([[maybe_unused]] int fd) {
#ifdef __linux__
    serial_struct info{};
    if (::ioctl(fd, TIOCGSERIAL, &info) == 0 && !(info.flags & ASYNC_LOW_LATENCY)) {
        info.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &info);
    }
#endif
}

} // namespace tavo::serial
