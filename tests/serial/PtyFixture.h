#pragma once

#include "tools/bootsim/LineSettings.h"

#include <chrono>
#include <string>

// A bare pseudo-terminal for driving the real serial port from a test: the test keeps the master
// side, the port under test opens the slave device.
namespace tavo::serial::testing {

class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int master() const { return master_; }

    // The slave's line settings, read through the master.
    bootsim::LineSettings lineState() const;

    void send(const std::string& bytes);
    // Everything the slave side has written so far (waits up to timeoutMs for the first byte).
    std::string receive(int timeoutMs = 1000);
    // Closes the master: to the slave side the device has vanished.
    void hangUp();

private:
    int master_ = -1;
    std::string slavePath_;
};

using Clock = std::chrono::steady_clock;

inline double MillisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time (user + system) this process has used, in milliseconds.
double CpuMillis();

// Removes serial lock files whose owner process no longer runs (left by a killed test run).
void RemoveStaleLockFiles();

} // namespace tavo::serial::testing
