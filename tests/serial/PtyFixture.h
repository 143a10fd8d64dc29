#pragma once

#include "tools/bootsim/Board.h"
#include "tools/bootsim/LineSettings.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ostream>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <thread>
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
    int master() const { return master_; }

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

// The simulated board's logic answering on the test's side of a pseudo-terminal, from a thread of
// its own. With `xoffAt`, once it has taken that line of a file it sends XOFF ahead of the line's
// answer (so the loader reads the answer with its output already stopped) and takes nothing more:
// a board that holds XOFF for good.
class PtyBoard {
public:
    explicit PtyBoard(bootsim::BoardConfig config = {}, int xoffAt = 0)
        : board_(std::move(config)), xoffAt_(xoffAt), thread_([this] { serve(); }) {}
    ~PtyBoard() {
        stop_ = true;
        thread_.join();
    }

    const std::string& slavePath() const { return pty_.slavePath(); }
    bool holdingXoff() const { return holding_; }
    int completedDownloads() const { return completed_; }
    // Polls `condition` every few milliseconds for up to timeoutMs.
    template <class Condition> static bool WaitFor(Condition condition, int timeoutMs = 5000) {
        for (auto start = Clock::now(); !condition(); std::this_thread::sleep_for(Step))
            if (Clock::now() - start > std::chrono::milliseconds(timeoutMs))
                return false;
        return true;
    }

private:
    static constexpr std::chrono::milliseconds Step{2};

    void serve() {
        char buffer[4096];
        while (!stop_) {
            pollfd p{pty_.master(), POLLIN, 0};
            // Until the loader opens the device (and after it closes it) the master only reports
            // the hang-up: sleep then rather than spin.
            if (holding_ || ::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN)) {
                std::this_thread::sleep_for(Step);
                continue;
            }
            auto n = ::read(pty_.master(), buffer, sizeof buffer);
            if (n <= 0)
                continue;
            auto answers = board_.receive({buffer, static_cast<std::size_t>(n)});
            if (xoffAt_ > 0 && board_.lineNumber() >= xoffAt_) {
                pty_.send("\x13");
                holding_ = true;
            }
            for (const auto& answer : answers)
                pty_.send(answer);
            completed_ = board_.completedDownloads();
        }
    }

    Pty pty_;
    bootsim::Board board_;
    int xoffAt_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> holding_{false};
    std::atomic<int> completed_{0};
    std::thread thread_;
};

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
