#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>

namespace tavo::flash {

// Turns Ctrl+C (SIGINT, and SIGTERM alike) into a flag the host polls, so the run cancels at its
// next checkpoint and closes the port on its way out. A second signal ends the process at once
// with the cancel exit code. The previous handlers come back when the guard goes.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

    static const std::atomic<bool>& flag();
};

// One line from standard input without its line end; nothing at the end of input, when a
// signal interrupted the read, or when `until` has come without a whole line.
std::optional<std::string>
ReadStdinLine(std::optional<std::chrono::steady_clock::time_point> until = std::nullopt);

} // namespace tavo::flash
