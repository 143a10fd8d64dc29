#include "cli/Interrupt.h"

#include "cli/ExitCode.h"
#include "serial/DeviceSerialPort.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>

namespace tavo::flash {

namespace {

std::atomic<bool> gInterrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

struct sigaction gOldInt;
struct sigaction gOldTerm;

extern "C" void OnInterrupt(int) {
    if (gInterrupted.exchange(true)) {
        // Even at once, the port goes first: discarded, released and its lock file removed.
        serial::DeviceSerialPort::EmergencyCloseAll();
        ::_exit(kExitCancelled);
    }
}

} // namespace

InterruptGuard::InterruptGuard() {
    gInterrupted = false;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocked wait or read returns, so the flag is seen at once.
    action.sa_flags = 0;
    ::sigaction(SIGINT, &action, &gOldInt);
    ::sigaction(SIGTERM, &action, &gOldTerm);
}

InterruptGuard::~InterruptGuard() {
    ::sigaction(SIGINT, &gOldInt, nullptr);
    ::sigaction(SIGTERM, &gOldTerm, nullptr);
}

const std::atomic<bool>& InterruptGuard::flag() {
    return gInterrupted;
}

std::optional<std::string>
ReadStdinLine(std::optional<std::chrono::steady_clock::time_point> until) {
    std::string line;
    for (;;) {
        if (until) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *until - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd input{STDIN_FILENO, POLLIN, 0};
            int ready =
                ::poll(&input, 1, static_cast<int>(std::min<long long>(left.count(), 60'000)));
            if (ready < 0 && (errno != EINTR || gInterrupted))
                return std::nullopt;
            if (ready <= 0)
                continue; // out of time or a signal that is no Ctrl+C: look at the clock again
        }
        char c = 0;
        auto n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) {
            if (gInterrupted)
                return std::nullopt;
            continue;
        }
        if (n <= 0)
            return line.empty() ? std::nullopt : std::optional<std::string>(line);
        if (c == '\n')
            return line;
        line += c;
    }
}

} // namespace tavo::flash
