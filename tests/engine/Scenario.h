#pragma once

#include "engine/DownloadRun.h"
#include "tests/support/FakeBootloader.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeHost.h"
#include "tests/support/FakePort.h"
#include "tests/support/TempImages.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tavo::test {

using engine::MessageIcon;
using engine::RunEnd;
using engine::RunResult;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

inline constexpr const char* kHandshakeWrite = "$@&$";
inline constexpr const char* kTry1 = "Requesting Ack from target bootloader.  Try #1";
inline constexpr const char* kTry2 = "Requesting Ack from target bootloader.  Try #2";
inline constexpr const char* kTry3 = "Requesting Ack from target bootloader.  Try #3";
inline constexpr const char* kSwitching = "Main code responded.  Switching to bootloader.";
inline constexpr const char* kVersionCaption = "BootLoader Version: ";
inline constexpr const char* kPortError = "Error encountered while accessing the com port.";
inline constexpr const char* kDownloadError =
    "Error encountered while downloading the firmware file.";

inline std::string Status(const std::string& text) {
    return "status: " + text;
}
// The three questions about a line, and the log entry of one answered.
inline std::string ChecksumQuestion(int line) {
    return "Checksum error at line " + std::to_string(line) + ". Continue with download?";
}
inline std::string PageErrorQuestion(int line) {
    return "Error writing to flash at line " + std::to_string(line) + ". Continue with download?";
}
inline std::string NoAnswerQuestion(int line) {
    return "Did not receive a response after sending line " + std::to_string(line) +
           ". Continue with download?";
}
inline Strings Answered(const std::string& question, bool yes = true) {
    return {question + (yes ? " -> yes" : " -> no")};
}

// `expected` occurs in `actual` in this order, other entries allowed in between.
::testing::AssertionResult InOrder(const Strings& actual, const Strings& expected);

// Runs DownloadFirmware and checks what holds after every run: the window idle again, the port
// closed (unless the run is expected to leave it as it found it), no scripted answer left over.
RunResult RunChecked(FakeHost& host, FakePort& port, FakeClock& clock, bool expectPortClosed = true,
                     const engine::RunOptions& options = {});

// The image lines a target received, in order (repeats included).
Strings LinesSent(const FakeBootloader& target);

// A further run on a clock of the test's, for tests that compare several runs.
struct Rig {
    FakePort port;
    FakeHost host;
    FakeBootloader target;
    engine::RunOptions runOptions;

    explicit Rig(FakeClock& clock, FakeBootloader::Options options = {},
                 LineScript script = LineScript())
        : port(clock), host(clock, port), target(port, std::move(options), std::move(script)) {}
    RunEnd Run() { return RunChecked(host, port, port.clock(), true, runOptions).end; }
    Strings LinesSent() const { return test::LinesSent(target); }
};

// One download run against a scripted target: fake clock, port, target and window.
class Scenario : public ::testing::Test {
protected:
    // Noon plus a whole second: waits start on whole seconds unless a test moves the clock.
    FakeClock clock{Millis(12 * 3600 * 1000 + 1000)};
    FakePort port{clock};
    FakeHost host{clock, port};
    TempDir dir;
    std::optional<FakeBootloader> target;
    engine::RunOptions runOptions;

    FakeBootloader& Target(FakeBootloader::Options options = {}, LineScript script = LineScript()) {
        target.emplace(port, std::move(options), std::move(script));
        return *target;
    }
    // A target with the given ready answer (its version) and line script.
    FakeBootloader& TargetReporting(std::string ready, LineScript script = LineScript()) {
        FakeBootloader::Options options;
        options.ready = Answer(std::move(ready));
        return Target(std::move(options), std::move(script));
    }

    // A Flash-only run of an image of `lines` lines to a target that reports `ready`.
    std::string Flash(int lines, LineScript script = LineScript(), std::string ready = "?V1.3") {
        TargetReporting(std::move(ready), std::move(script));
        return FlashImage(ImageLines(lines));
    }
    // Chooses an application image with these lines; returns its path.
    std::string FlashImage(const Strings& lines, const std::string& end = "\r\n");
    std::string EepromImage(const Strings& lines, const std::string& end = "\r\n");

    RunResult Run(bool expectPortClosed = true) {
        return result = RunChecked(host, port, clock, expectPortClosed, runOptions);
    }

    // The image lines the target received, in order (repeats included).
    Strings LinesSent() const { return target ? test::LinesSent(*target) : Strings{}; }
    // The messages as "text" or "text [warning]".
    Strings Messages() const { return host.entries("message: "); }
    // Port writes after the handshake's.
    Strings WritesAfterHandshake() const;

    RunResult result;
};

} // namespace tavo::test
