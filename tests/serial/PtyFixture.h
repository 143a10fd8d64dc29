#pragma once

#include "tools/bootsim/LineSettings.h"

#include <cerrno>
#include <chrono>
#include <ostream>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

namespace tavo::bootsim {
// Line settings in test failure messages.
inline void PrintTo(const LineSettings& settings, std::ostream* out) {
    *out << settings.describe();
}
} // namespace tavo::bootsim

// Helpers for driving the real serial port from a test.
namespace tavo::serial::testing {

// A bare pseudo-terminal: the test keeps the master side, the port under test opens the slave.
class Pty {
public:
    Pty() {
        int slave = -1;
        char name[256] = {};
        if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        slavePath_ = name;
        // The port under test is to be the slave's only user.
        ::close(slave);
    }
    ~Pty() { hangUp(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& slavePath() const { return slavePath_; }

    // The slave's line settings, read through the master.
    bootsim::LineSettings lineState() const {
        bootsim::LineSettings settings;
        if (!bootsim::ReadLineSettings(master_, settings))
            throw std::runtime_error("cannot read the line settings of the pty");
        return settings;
    }

    void send(const std::string& bytes) {
        for (std::size_t done = 0; done < bytes.size();) {
            auto n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno != EINTR)
                throw std::runtime_error("write to pty master failed");
            done += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
    }

    // Everything the slave side has written: waits up to timeoutMs for the first byte, then
    // takes whatever follows within a moment.
    std::string receive(int timeoutMs = 1000) {
        std::string data;
        char buffer[4096];
        for (pollfd p{master_, POLLIN, 0};
             ::poll(&p, 1, data.empty() ? timeoutMs : 20) > 0 && (p.revents & POLLIN);) {
            auto n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            data.append(buffer, static_cast<std::size_t>(n));
        }
        return data;
    }

    // Closes the master: to the slave side the device has vanished.
    void hangUp() {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    std::string slavePath_;
};

using Clock = std::chrono::steady_clock;

inline double MillisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// CPU time (user + system) this process has used, in milliseconds.
inline double CpuMillis() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

} // namespace tavo::serial::testing
