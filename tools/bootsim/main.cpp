// tavo-bootsim: a simulated target board on a pseudo-terminal. See --help.
#include "tools/bootsim/Board.h"
#include "tools/bootsim/LineSettings.h"
#include "tools/bootsim/Options.h"
#include "tools/bootsim/Terminal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tavo::bootsim {
namespace {

using Clock = std::chrono::steady_clock;
using Micros = std::chrono::microseconds;

constexpr auto kLinger = std::chrono::milliseconds(200);
constexpr auto kSpinBeforeDue = std::chrono::microseconds(150);
// The payload of one USB packet of a common adapter: a full one goes to the host at once.
constexpr std::size_t kAdapterPacket = 62;
// Extension: a switched rate not confirmed this long after the switch, or idle this long, falls
// back to the handshake's.
constexpr auto kConfirmWithin = std::chrono::milliseconds(250);
constexpr auto kIdleFallback = std::chrono::milliseconds(2000);

void Log(const std::string& text) {
    std::fprintf(stderr, "tavo-bootsim: %s\n", text.c_str());
}

// Writes through a temporary file, so a reader never sees half a file.
bool WriteFileAtomically(const std::string& path, const std::string& data) {
    if (path.empty())
        return true;
    std::string temporary = path + ".tmp" + std::to_string(::getpid());
    FILE* out = std::fopen(temporary.c_str(), "wb");
    if (!out) {
        Log("cannot write " + path + ": " + std::strerror(errno));
        return false;
    }
    bool ok = std::fwrite(data.data(), 1, data.size(), out) == data.size();
    ok = std::fclose(out) == 0 && ok;
    if (ok && std::rename(temporary.c_str(), path.c_str()) == 0)
        return true;
    Log("cannot write " + path + ": " + std::strerror(errno));
    std::remove(temporary.c_str());
    return false;
}

std::string Printable(std::string_view bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f) {
            text.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        }
    }
    return text;
}

class Simulator {
public:
    Simulator(Options options, int stopSignals)
        : options_(std::move(options)), board_(options_.board), stopSignals_(stopSignals) {}

    int run() {
        // Wake-ups as exact as the kernel allows: the default 50 us slack shows in paced runs.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        if (!setUp()) {
            removeLink();
            return 1;
        }
        loop();
        finish();
        return 0;
    }

private:
    bool setUp() {
        if (!OpenTerminal(master_, slavePath_, B9600)) {
            Log(std::string("openpty failed: ") + std::strerror(errno));
            return false;
        }

        if (!options_.link.empty()) {
            struct stat st {};
            if (::lstat(options_.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
                ::unlink(options_.link.c_str());
            if (::symlink(slavePath_.c_str(), options_.link.c_str()) != 0) {
                Log("cannot create link " + options_.link + ": " + std::strerror(errno));
                return false;
            }
            linked_ = true;
        }
        if (!options_.pathFile.empty() &&
            !WriteFileAtomically(options_.pathFile, slavePath_ + "\n"))
            return false;
        std::printf("%s\n", slavePath_.c_str());
        std::fflush(stdout);
        return true;
    }

    Micros byteTime() const {
        unsigned long baud = options_.paceFromLine ? settings_.baud : options_.paceBaud;
        if (baud != 0 && board_.rate())
            baud = static_cast<unsigned long>(*board_.rate());
        return baud == 0 ? Micros(0) : Micros(10'000'000 / baud);
    }

    void loop() {
        bool hungUp = false;
        for (;;) {
            auto now = Clock::now();
            processDueInput(now);
            writeDueOutput(now);
            if (!exitAt_ && output_.empty() && held_.empty() &&
                (board_.dropRequested() ||
                 (options_.exitAfterEof && board_.completedDownloads() > 0)))
                // Give the loader a moment to read the last answer: a hang-up discards what the
                // slave side has not read yet.
                exitAt_ = now + kLinger;
            if (exitAt_ && now >= *exitAt_)
                return;
            if (!hungUp)
                checkSettings(false);
            if (auto deadline = rateDeadline(); deadline && now >= *deadline) {
                board_.fallBack();
                if (options_.verbose)
                    Log("back at the handshake's rate");
            }

            auto wait = std::chrono::milliseconds(hungUp ? 10 : 50);
            auto until = now + wait;
            if (!input_.empty())
                until = std::min(until, input_.front().first);
            if (!output_.empty())
                until = std::min(until, output_.front().first);
            if (!held_.empty())
                until = std::min(until, heldUntil());
            if (exitAt_)
                until = std::min(until, *exitAt_);
            if (auto deadline = rateDeadline())
                until = std::min(until, *deadline);
            // Paced answers are due at exact microseconds: whole-millisecond timeouts would
            // release each one up to a millisecond late and cap the wire far below its rate.
            auto left = std::max(std::chrono::nanoseconds(0),
                                 std::chrono::duration_cast<std::chrono::nanoseconds>(until - now));
            // A sleep overshoots by tens of microseconds; when pacing, look again without
            // sleeping for the last stretch before an answer is due, as a UART would not be late.
            if (byteTime().count() > 0 && !output_.empty() && left < kSpinBeforeDue)
                left = std::chrono::nanoseconds(0);
            timespec timeout{static_cast<time_t>(left.count() / 1'000'000'000),
                             static_cast<long>(left.count() % 1'000'000'000)};

            pollfd fds[2] = {{stopSignals_, POLLIN, 0}, {master_, POLLIN, 0}};
            // While nobody holds the slave the master reports a hang-up at once; look again a
            // moment later instead of spinning on it.
            nfds_t count = hungUp ? 1 : 2;
            int ready = ::ppoll(fds, count, &timeout, nullptr);
            if (ready < 0 && errno != EINTR) {
                Log(std::string("poll failed: ") + std::strerror(errno));
                return;
            }
            if (ready <= 0) {
                hungUp = false;
                continue;
            }
            if (fds[0].revents)
                return; // SIGTERM or SIGINT
            if (count == 2 && fds[1].revents) {
                if (!readInput()) {
                    hungUp = true;
                    if (board_.completedDownloads() > 0)
                        return; // the loader let go after a complete download
                }
            }
        }
    }

    // False when the slave side is closed.
    bool readInput() {
        char buffer[4096];
        auto n = ::read(master_, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return true;
        if (n <= 0)
            return false;
        std::string_view bytes(buffer, static_cast<std::size_t>(n));
        if (board_.dropRequested())
            return true; // the connection is gone as far as the board is concerned
        // Kept only when asked for: a long download would otherwise hold all its text.
        if (!options_.receivedFile.empty())
            received_.append(bytes);
        checkSettings(true);
        if (options_.verbose)
            Log("received " + Printable(bytes));
        auto now = Clock::now();
        auto perByte = byteTime();
        for (char c : bytes) {
            auto arrival = now;
            if (perByte.count() > 0) {
                arrival = std::max(now, inputFree_) + perByte;
                inputFree_ = arrival;
            }
            input_.emplace_back(arrival, c);
        }
        return true;
    }

    void processDueInput(Clock::time_point now) {
        while (!input_.empty() && input_.front().first <= now) {
            // Answer from the byte's own arrival on the simulated wire, so that our lateness in
            // getting here does not add up line after line.
            auto [arrival, c] = input_.front();
            input_.pop_front();
            if (board_.dropRequested())
                continue;
            lastInput_ = arrival;
            // At a switched rate a byte sent at any other rate (or through an adapter that
            // cannot make it) arrives as garbage: lost.
            if (board_.rate() && arrival >= switchedAt_ &&
                (options_.rateDeaf || settings_.baud != static_cast<unsigned long>(*board_.rate())))
                continue;
            for (auto& answer : board_.receive(std::string_view(&c, 1)))
                schedule(arrival, std::move(answer));
            if (auto rate = board_.takeRateSwitch()) {
                // The answer leaves at the old rate; then the board switches.
                switchedAt_ = std::max(arrival, outputFree_);
                if (options_.verbose)
                    Log("switching to " + std::to_string(*rate));
            }
        }
    }

    // When the board goes back to the handshake's rate, while it is at another.
    std::optional<Clock::time_point> rateDeadline() const {
        if (!board_.rate())
            return std::nullopt;
        auto idle = std::max(lastInput_, switchedAt_) + kIdleFallback;
        return board_.confirmed() ? idle : std::min(idle, switchedAt_ + kConfirmWithin);
    }

    void schedule(Clock::time_point now, std::string answer) {
        if (answer.empty())
            return;
        auto at = std::max(now + std::chrono::milliseconds(options_.delayMs), outputFree_);
        auto perByte = byteTime();
        if (perByte.count() == 0) {
            outputFree_ = at;
            output_.emplace_back(at, std::move(answer));
            return;
        }
        for (char c : answer) {
            at += perByte;
            output_.emplace_back(at, std::string(1, c));
        }
        outputFree_ = at;
    }

    void writeDueOutput(Clock::time_point now) {
        for (; !output_.empty() && output_.front().first <= now; output_.pop_front()) {
            if (options_.latencyMs == 0) {
                deliver(output_.front().second);
                continue;
            }
            // A USB adapter holds what the board sends until its latency timer runs out, counted
            // from the first byte it holds, or until a packet is full.
            if (held_.empty())
                heldSince_ = output_.front().first;
            held_ += output_.front().second;
        }
        if (held_.empty())
            return;
        for (; held_.size() >= kAdapterPacket; heldSince_ = now) {
            deliver(held_.substr(0, kAdapterPacket));
            held_.erase(0, kAdapterPacket);
        }
        if (!held_.empty() && now >= heldUntil())
            deliver(std::exchange(held_, {}));
    }

    Clock::time_point heldUntil() const {
        return heldSince_ + std::chrono::milliseconds(options_.latencyMs);
    }

    void deliver(const std::string& bytes) {
        if (options_.verbose)
            Log("answer " + Printable(bytes));
        for (std::size_t done = 0; done < bytes.size();) {
            auto n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break; // nobody listens: the answer is lost, as on a wire
            done += static_cast<std::size_t>(n);
        }
    }

    void checkSettings(bool dataFlowing) {
        LineSettings now;
        if (!ReadLineSettings(master_, now))
            return;
        if (!haveSettings_ || !(now == settings_)) {
            Log("line settings " + now.describe());
            settings_ = now;
            haveSettings_ = true;
        }
        if (dataFlowing && (!haveReported_ || !(now == reported_))) {
            reported_ = now;
            haveReported_ = true;
            WriteFileAtomically(options_.settingsOut, now.toKeyValueText());
        }
    }

    // Removes our link unless something else has taken its place meanwhile.
    void removeLink() {
        if (!linked_)
            return;
        char target[512] = {};
        auto n = ::readlink(options_.link.c_str(), target, sizeof target - 1);
        if (n > 0 && slavePath_ == std::string(target, static_cast<std::size_t>(n)))
            ::unlink(options_.link.c_str());
        linked_ = false;
    }

    void finish() {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
        removeLink();
        WriteFileAtomically(options_.receivedFile, received_);
        if (!options_.flashOut.empty())
            WriteFileAtomically(options_.flashOut, EncodeImage(board_.flash()));
        if (!options_.eepromOut.empty())
            WriteFileAtomically(options_.eepromOut, EncodeImage(board_.eeprom()));
    }

    Options options_;
    Board board_;
    int stopSignals_;
    int master_ = -1;
    std::string slavePath_;
    bool linked_ = false;
    std::string received_;
    std::deque<std::pair<Clock::time_point, char>> input_;
    Clock::time_point inputFree_{};
    std::deque<std::pair<Clock::time_point, std::string>> output_;
    Clock::time_point outputFree_{};
    std::string held_; // answers the adapter has not passed on yet (--latency-ms)
    Clock::time_point heldSince_{};
    Clock::time_point lastInput_{};
    Clock::time_point switchedAt_{};
    LineSettings settings_;
    bool haveSettings_ = false;
    std::optional<Clock::time_point> exitAt_;
    LineSettings reported_;
    bool haveReported_ = false;
};

} // namespace
} // namespace tavo::bootsim

int main(int argc, char** argv) {
    using namespace tavo::bootsim;
    auto parsed = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.help) {
        std::fputs(HelpText().c_str(), stdout);
        return 0;
    }
    if (!parsed.options) {
        std::fprintf(stderr, "tavo-bootsim: %s (see --help)\n", parsed.error.c_str());
        return 2;
    }
    int stopSignals = WatchStopSignals();
    if (stopSignals < 0)
        return 1;
    return Simulator(std::move(*parsed.options), stopSignals).run();
}
