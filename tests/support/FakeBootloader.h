#pragma once

#include "tests/support/FakePort.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavo::test {

// Bytes the target sends some time after it received a chunk.
struct Delivery {
    Millis delay;
    std::string bytes;
};
// A target's reaction to one chunk: any number of deliveries; none is silence.
using Reply = std::vector<Delivery>;

inline constexpr Millis kAnswerDelay{20};

inline Reply Answer(std::string bytes, Millis delay = kAnswerDelay) {
    return {Delivery{delay, std::move(bytes)}};
}
inline Reply Silence() {
    return {};
}

// One image line as the target saw it: `line` is its 1-based position among the distinct lines
// of the run, `attempt` counts repeats of the same line.
struct LineWrite {
    int line = 0;
    int attempt = 0;
    std::string text;
};

// The target's answer to each image line. By default every line gets the line-complete answer;
// a test overrides single lines or single attempts of a line.
class LineScript {
public:
    explicit LineScript(Reply normal = Answer("~")) : normal_(std::move(normal)) {}

    // The file-complete answer on line `line` (the last line of a file).
    LineScript& finalLine(int line, std::string answer = "@") {
        return at(line, Answer(std::move(answer)));
    }
    // A checksum error for the first `attempts` writes of `line`, then the normal answer.
    LineScript& checksumErrors(int line, int attempts, std::string answer = "-");
    LineScript& pageError(int line) { return at(line, Answer("%")); }
    LineScript& silentAt(int line) { return at(line, Silence()); }
    // Every write of `line` is answered only after `delay`.
    LineScript& lateAt(int line, Millis delay, std::string answer = "~") {
        return at(line, Answer(std::move(answer), delay));
    }
    LineScript& at(int line, Reply reply) {
        perLine_[line] = std::move(reply);
        return *this;
    }
    LineScript& at(int line, int attempt, Reply reply) {
        perAttempt_[{line, attempt}] = std::move(reply);
        return *this;
    }

    Reply replyFor(const LineWrite& write) const;

private:
    Reply normal_;
    std::map<int, Reply> perLine_;
    std::map<std::pair<int, int>, Reply> perAttempt_;
};

// A target board behind a FakePort: first the running application, which answers the jump command
// with the active string and starts the bootloader; then the bootloader, which answers the next
// chunk with its ready string; then the image lines by a LineScript.
//
// A line written twice in a row counts as a repeat of the same line, so tests use images whose
// neighbouring lines differ.
class FakeBootloader {
public:
    struct Options {
        // Chunks the running application answers with `active` before the bootloader runs; 0: the
        // bootloader already runs.
        int applicationChunks = 1;
        // The application answers every chunk and the bootloader never starts.
        bool neverReady = false;
        Reply active = Answer("^");
        Reply ready = Answer("?V1.3");
        // The EEPROM-write command and its "!" form: taken without an answer.
        std::string eepromWrite = "*";

        // An announcing board (set `ready` to its announcement): SET RATE, CONFIRM, CHECK and
        // the end-of-file record are answered here and logged in commands(); data and address
        // records go by the line script, and CHECK reads the data records it received.
        struct Extension {
            std::vector<long> rates{};
            bool deafAtNewRate = false;               // nothing sent at a switched rate arrives
            std::optional<std::uint32_t> stuckCell{}; // reads 0xFF whatever was written
            int silentChecks = 0;                     // the first N CHECKs get no answer
        };
        std::optional<Extension> extension{};
    };

    FakeBootloader(FakePort& port, Options options, LineScript script = LineScript());
    explicit FakeBootloader(FakePort& port) : FakeBootloader(port, Options{}) {}

    // Chunks that reached the handshake, the EEPROM-write commands and the image lines.
    const std::vector<std::string>& handshakeChunks() const { return handshake_; }
    const std::vector<std::string>& commands() const { return commands_; }
    const std::vector<LineWrite>& lines() const { return lines_; }

    // The rate the board is at: its switched rate until it falls back, else 0.
    long boardRate() const;

private:
    void receive(std::string_view chunk);
    // True when the chunk was an extension command or end-of-file record.
    bool command(std::string_view chunk);
    void send(const Reply& reply);

    FakePort& port_;
    Options options_;
    LineScript script_;
    int applicationChunksLeft_;
    bool ready_ = false;
    std::vector<std::string> handshake_;
    std::vector<std::string> commands_;
    std::vector<LineWrite> lines_;
    long rate_ = 0;
    Millis switchedAt_{0};
    Millis lastInput_{0};
    bool confirmed_ = false;
    bool checkFailed_ = false;
    int checks_ = 0;
    std::size_t imageStart_ = 0; // the first line of the current image
    std::vector<bool> taken_;    // by line write: answered as taken (the board holds it)
};

} // namespace tavo::test
