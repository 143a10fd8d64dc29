// A whole download run on fake time, driven by the fuzzer's bytes: the settings (and a settings
// file opened during the run), the two images, the board's answers and their timing, port
// failures of any kind at any call, the answers to the line questions, Cancel at any moment and
// the run's limits. However it ends, the port must be closed, the window idle and exactly one
// closing message shown that fits the ending, or none after a cancel, a No or the time limit.
#include "engine/DownloadRun.h"
#include "engine/RunError.h"
#include "fuzz/Check.h"
#include "tests/support/FakeBootloader.h"
#include "tests/support/FakeHost.h"
#include "tests/support/TempImages.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <system_error>
#include <vector>

using namespace tavo;

namespace {

using engine::Millis;
using engine::RunEnd;
using test::Reply;

// Answer delays around the run's limits: at once, quick, just under and over a line's 3 s and
// the handshake's 6 s, and late.
constexpr std::array<int, 10> kDelays = {0, 1, 20, 299, 999, 2000, 2999, 3001, 6100, 9000};
constexpr std::array<const char*, 9> kVersions = {"1.3", "1.28", "1.27", "1.29", "2",
                                                  "0",   "",     "1e39", "-1"};
constexpr int kMaxLines = 10;

std::string ShortText(FuzzedDataProvider& in) {
    return in.ConsumeRandomLengthString(3);
}

// A protocol string: usually its default, otherwise a few bytes of anything.
void Fuzz(FuzzedDataProvider& in, std::string& setting) {
    if (in.ConsumeIntegralInRange(0, 7) == 0)
        setting = ShortText(in);
}

// Paths: the Flash image, the EEPROM image, then the bad ones.
settings::Settings FuzzSettings(FuzzedDataProvider& in, const std::array<std::string, 6>& paths) {
    settings::Settings s;
    s.comPortIndex = in.ConsumeIntegralInRange(0, 15) == 0 ? -1 : 0;
    s.baudIndex = in.ConsumeIntegralInRange(-1, 9);
    s.flashCheck = in.ConsumeIntegralInRange(0, 3) == 0 ? in.ConsumeIntegralInRange(0, 2) : 1;
    s.eepromCheck = in.ConsumeIntegralInRange(0, 2);
    // Mostly its own image; sometimes the other one, or a path that is empty, too short, of no
    // file or of a folder.
    auto path = [&in, &paths](std::size_t own) {
        const auto pick = in.ConsumeIntegralInRange<std::size_t>(0, 9);
        return pick < paths.size() ? paths[pick] : paths[own];
    };
    s.applicationFile = path(0);
    s.eepromFile = path(1);
    for (auto* text : {&s.startDownloadSequence, &s.bootloaderReady, &s.jumpCommand,
                       &s.bootloaderActive, &s.pageError, &s.fileCompleteWithErrors,
                       &s.fileCompleteNoErrors, &s.checksumError, &s.lineComplete, &s.eepromWrite})
        Fuzz(in, *text);
    return s;
}

// An image of a few lines, each ended by CR, LF or CRLF; some empty, some anything. Rarely one
// beyond the line count's limit.
std::string FuzzImage(FuzzedDataProvider& in, char tag) {
    static constexpr std::array<const char*, 3> kEnds = {"\r\n", "\r", "\n"};
    const auto model = test::ImageLines(kMaxLines, tag);
    std::string image;
    const int lines = in.ConsumeIntegralInRange(0, kMaxLines);
    for (int i = 0; i < lines; ++i) {
        const int kind = in.ConsumeIntegralInRange(0, 7);
        image += kind == 0 ? std::string() : kind == 1 ? ShortText(in) : model[i];
        if (i + 1 < lines || in.ConsumeBool())
            image += kEnds[in.ConsumeIntegralInRange(0, 2)];
    }
    if (in.ConsumeIntegralInRange(0, 63) == 0)
        image.append(32'768 + in.ConsumeIntegralInRange(0, 7), '\n');
    return image;
}

// What the board sends back, built from the strings the loader looks for.
class Board {
public:
    Board(FuzzedDataProvider& in, const settings::Settings& s)
        : in_(in), tokens_{s.lineComplete,         s.checksumError,          s.pageError,
                           s.fileCompleteNoErrors, s.fileCompleteWithErrors, s.bootloaderActive,
                           s.bootloaderReady} {}

    // Usually the expected piece at a typical delay; otherwise anything, or nothing.
    Reply reply(int expected) {
        if (in_.ConsumeIntegralInRange(0, 3) != 0)
            return test::Answer(text(expected));
        Reply reply;
        const int deliveries = in_.ConsumeIntegralInRange(0, 2);
        for (int i = 0; i < deliveries; ++i) {
            const Millis delay(kDelays[in_.ConsumeIntegralInRange<std::size_t>(0, 9)]);
            reply.push_back({delay, text(in_.ConsumeIntegralInRange(0, 8))});
        }
        return reply;
    }

    // A piece, sometimes with a version after it and another piece after that.
    std::string text(int first) {
        std::string bytes = piece(first);
        if (in_.ConsumeBool())
            bytes += piece(7);
        if (in_.ConsumeIntegralInRange(0, 7) == 1)
            bytes += piece(in_.ConsumeIntegralInRange(0, 8));
        return bytes;
    }

private:
    // 0..6: the strings the loader looks for; 7: a version; 8: a few bytes of anything.
    std::string piece(int which) {
        if (which < 7)
            return tokens_[which];
        if (which == 7)
            return "V" +
                   std::string(
                       kVersions[in_.ConsumeIntegralInRange<std::size_t>(0, kVersions.size() - 1)]);
        return ShortText(in_);
    }

    FuzzedDataProvider& in_;
    std::array<std::string, 7> tokens_;
};

std::exception_ptr Failure(int kind) {
    switch (kind) {
    case 0:
        return std::make_exception_ptr(engine::RunError("fuzzed failure", "Input/output error"));
    case 1:
        return std::make_exception_ptr(std::bad_alloc());
    case 2:
        return std::make_exception_ptr(
            std::system_error(std::make_error_code(std::errc::io_error), "fuzzed"));
    default:
        return std::make_exception_ptr(std::out_of_range("fuzzed"));
    }
}

// The text the ending's message must have; nullptr: no message.
const char* ClosingMessage(RunEnd end) {
    switch (end) {
    case RunEnd::Cancelled:
    case RunEnd::Declined:
    case RunEnd::TimedOut:
        return nullptr;
    case RunEnd::Refused:
        return "Select ";
    case RunEnd::NoResponse:
        return "No response from target bootloader.";
    case RunEnd::EepromRefused:
        return "Embedded Bootloader Version does not support EEPROM write.";
    case RunEnd::NoFileChosen:
        return "Check box to download code.";
    case RunEnd::Success:
        return "successfully downloaded.";
    case RunEnd::CompletedWithErrors:
        return "Error encountered while downloading file.";
    case RunEnd::NoEndOfFileAnswer:
        return "Error encountered while downloading file.  No response from bootloader at end of "
               "file.";
    case RunEnd::PortError:
        return "Error encountered while accessing the com port.";
    case RunEnd::DownloadError:
    case RunEnd::ImageTooLong:
        return "Error encountered while downloading the firmware file.";
    case RunEnd::OpenError:
        return "Error opening ";
    case RunEnd::CloseError:
        return "Error encountered while closing the com port.";
    case RunEnd::VerifyFailed:
        return "Verification failed: ";
    }
    return "";
}

bool Fits(const std::string& message, RunEnd end) {
    const std::string expected = ClosingMessage(end);
    if (end == RunEnd::Success)
        return message.ends_with(expected);
    if (end == RunEnd::Refused || end == RunEnd::OpenError || end == RunEnd::VerifyFailed)
        return message.starts_with(expected);
    return message == expected;
}

// Checks a property; a broken one prints what the window and the port saw, then ends the fuzz
// run like a crash.
class Witness {
public:
    Witness(const test::FakeHost& host, const test::FakePort& port) : host_(host), port_(port) {}

    void check(bool holds, const char* what) const {
        if (holds)
            return;
        Print("port", port_.log());
        Print("window", host_.log());
        TAVO_FUZZ_CHECK(false, what);
    }

private:
    static void Print(const char* who, const std::vector<std::string>& log) {
        const std::size_t first = log.size() > 200 ? log.size() - 200 : 0;
        for (std::size_t i = first; i < log.size(); ++i)
            std::fprintf(stderr, "%s: %s\n", who, log[i].c_str());
    }

    const test::FakeHost& host_;
    const test::FakePort& port_;
};

// The lowest free descriptor: a file or port the run left open raises it.
int FreeDescriptor() {
    const int fd = ::dup(0);
    ::close(fd);
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    static const test::TempDir folder;
    const std::array<std::string, 6> paths = {folder.write("app.hex", FuzzImage(in, 'F')),
                                              folder.write("data.eep", FuzzImage(in, 'E')),
                                              "",
                                              "x",
                                              (folder.path() / "missing.hex").string(),
                                              folder.path().string()};

    test::FakeClock clock(Millis(1000 + in.ConsumeIntegralInRange(0, 999)));
    const Millis start = clock.now();
    test::FakePort port(clock);
    test::FakeHost host(clock, port);
    host.controls() = FuzzSettings(in, paths);

    Board board(in, host.controls());
    test::FakeBootloader::Options options;
    options.applicationChunks = in.ConsumeIntegralInRange(0, 3);
    options.neverReady = in.ConsumeIntegralInRange(0, 7) == 0;
    options.active = board.reply(5);
    options.ready = board.reply(6);
    options.eepromWrite = host.controls().eepromWrite;
    test::LineScript script(board.reply(0));
    for (int i = in.ConsumeIntegralInRange(0, 6); i > 0; --i) {
        const int line = in.ConsumeIntegralInRange(1, 2 * kMaxLines);
        if (in.ConsumeBool())
            script.at(line, board.reply(in.ConsumeIntegralInRange(0, 4)));
        else
            script.at(line, in.ConsumeIntegralInRange(1, 3),
                      board.reply(in.ConsumeIntegralInRange(0, 4)));
    }
    test::FakeBootloader bootloader(port, options, script);

    for (int i = in.ConsumeIntegralInRange(0, 2); i > 0; --i) {
        const auto op = static_cast<test::PortOp>(in.ConsumeIntegralInRange(0, 8));
        // Reads are polled many times a line: a failure may come late in the second file.
        const int nth = in.ConsumeIntegralInRange(1, 400);
        const int kind = in.ConsumeIntegralInRange(0, 4);
        if (kind == 4)
            port.hangUpOn(op, nth);
        else
            port.throwOn(op, nth, Failure(kind));
    }

    // More answers than any run can ask questions.
    auto answers = in.ConsumeIntegral<std::uint64_t>();
    for (int i = 0; i < 64; ++i, answers >>= 1)
        host.answer((answers & 1) == 0);

    engine::RunOptions limits;
    switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
        host.clickCancelAt(start + Millis(in.ConsumeIntegralInRange(0, 60'000)));
        break;
    case 1:
        host.clickCancelAfterWrites(in.ConsumeIntegralInRange(0, 40));
        break;
    case 2:
        limits.deadline = start + Millis(in.ConsumeIntegralInRange(0, 60'000));
        break;
    case 3:
        limits.readyLimit = Millis(in.ConsumeIntegralInRange(0, 30'000));
        break;
    default:
        break;
    }
    // A board that stays active and never gets ready keeps the handshake asking until Cancel.
    host.clickCancelAt(start + Millis(200'000));
    if (in.ConsumeIntegralInRange(0, 3) == 0) {
        const Millis when = start + Millis(in.ConsumeIntegralInRange(0, 20'000));
        host.at(when, [&host, opened = FuzzSettings(in, paths)] { host.controls() = opened; });
    }

    const Witness witness(host, port);
    const int freeBefore = FreeDescriptor();
    engine::RunResult result;
    try {
        result = engine::DownloadFirmware(host.state(), host, port, clock, limits);
    } catch (const engine::RunAbandoned&) {
        witness.check(false, "the run spins instead of waiting");
    }

    const auto& log = port.log();
    const bool closeRefused = !log.empty() && log.back() == "close FAILED";
    witness.check(!port.isOpen() || closeRefused, "the port is left open");
    witness.check(!host.busy(), "the window is left busy");
    witness.check(!host.logHas("busy") || host.status() == "Idle", "the status is not Idle");
    witness.check(FreeDescriptor() == freeBefore, "a file is left open");

    const auto& messages = host.messages();
    if (ClosingMessage(result.end) == nullptr) {
        witness.check(messages.empty(), "a message after a cancel, a No or the time limit");
    } else {
        witness.check(messages.size() == 1, "not exactly one closing message");
        witness.check(Fits(messages.front().text, result.end), "the message misfits the end");
    }

    const auto questions = host.questions();
    for (std::size_t i = 0; i + 1 < questions.size(); ++i)
        witness.check(questions[i].ends_with("-> yes"), "a question after a No");
    const bool declined = !questions.empty() && questions.back().ends_with("-> no");
    const bool timeUp = limits.deadline && clock.now() >= *limits.deadline;
    witness.check(!declined || result.end == RunEnd::Declined || result.end == RunEnd::TimedOut,
                  "a No that did not end the run");
    witness.check(result.end != RunEnd::Declined || declined, "declined without a No");
    witness.check(result.end != RunEnd::Cancelled || host.logHas("cancel clicked"),
                  "cancelled without Cancel");
    witness.check(result.end != RunEnd::TimedOut || timeUp, "timed out before the limit");
    return 0;
}
