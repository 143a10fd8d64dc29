// tavo-flash as a process: what it prints and the exit code it returns for each way a download
// can end, against tavo-bootsim on a pseudo-terminal; and Ctrl+C.
#include "tests/cli/FlashProcess.h"
#include "cli/FlashCommand.h"
#include "cli/Json.h"
#include "cli/RunRecord.h"
#include "serial/DeviceSerialPort.h"

#include <csignal>
#include <thread>

namespace tavo::test {
namespace {

using namespace std::chrono_literals;

TEST_F(FlashProcessTest, SuccessPrintsTheWindowsTextsAndTracesEveryByte) {
    startBoard();
    auto trace = (dir.path() / "trace.log").string();
    ASSERT_EQ(flash({"--port", board->devicePath(), "--baud", "115200", "--flash", smallImage(),
                     "--trace", trace}),
              flash::kExitSuccess);
    for (const char* line :
         {"Initializing the com port", "Requesting Ack from target bootloader.  Try #1",
          "BootLoader Version: 1.3", "Sending FLASH File - lines remaining ",
          "Flash File successfully downloaded."})
        EXPECT_TRUE(HasLine(out(), line)) << out();
    // Not a terminal: a summary line instead of a bar.
    EXPECT_EQ(out().find('\r'), std::string::npos);
    EXPECT_NE(out().find("5/5 lines (100%)"), std::string::npos) << out();
    EXPECT_EQ(err(), "");

    auto log = ReadFile(trace);
    for (const char* part : {"> \"$@&$\"\n", "< \"^", "> \":00000001FF\"\n", "# close\n"})
        EXPECT_NE(log.find(part), std::string::npos) << part << "\n" << log;
}

// A download that ends at the board or with its image: the exit code and the texts on stderr
// (and stdout).
struct Failure {
    const char* name;
    std::vector<std::string> boardArgs = {}, flashArgs = {};
    int code;
    std::vector<std::string> errLines = {}, outLines = {};
    bool picky = false;     // the settings file waits for answers the board never gives
    bool longImage = false; // one line more than an image may have
};

void PrintTo(const Failure& f, std::ostream* os) {
    *os << f.name;
}

class FlashFailureTest : public FlashProcessTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(FlashFailureTest, ExitCodeAndTexts) {
    const auto& f = GetParam();
    if (f.picky) {
        settings::Settings s;
        s.bootloaderReady = "READY";
        s.bootloaderActive = "ACTIVE";
        dir.write("dazez.txt", SettingsText(s));
    }
    auto image = f.longImage ? dir.write("long.hex", Join(ImageLines(32768))) : smallImage();
    startBoard(f.boardArgs);
    auto args = f.flashArgs;
    args.insert(args.begin(), {"--port", board->devicePath(), "--flash", image});
    EXPECT_EQ(flash(args), f.code);
    for (const auto& line : f.errLines)
        EXPECT_TRUE(HasLine(err(), line)) << err();
    for (const auto& line : f.outLines)
        EXPECT_TRUE(HasLine(out(), line)) << out();
    EXPECT_EQ(out().find("successfully") == std::string::npos, f.code != flash::kExitSuccess);
}

INSTANTIATE_TEST_SUITE_P(
    Ends, FlashFailureTest,
    ::testing::Values(
        // Line 2 fails all three tries; going on anyway leaves the file with errors.
        Failure{"CompletedWithErrors",
                {"--fail-checksum", "2"},
                {"--on-error", "continue"},
                flash::kExitCompletedWithErrors,
                {"Checksum error at line 2. Continue with download? Yes (--on-error continue)",
                 "Error encountered while downloading file."},
                {}},
        // Without a terminal on stdin the answer defaults to stop.
        Failure{"LineErrorAnsweredStop",
                {"--fail-page", "3"},
                {},
                flash::kExitLineErrorStopped,
                {"Error writing to flash at line 3. Continue with download? No (--on-error stop)"},
                {}},
        // An old bootloader that takes the end-of-file record silently.
        Failure{"NoAnswerAtTheEndOfTheFile",
                {"--version-answer", "?V1.27", "--silent", "5"},
                {},
                flash::kExitNoEndOfFileAnswer,
                {"Error encountered while downloading file.  No response from bootloader at end "
                 "of file."},
                {}},
        // The board answers, but never with what the settings file waits for: three tries of
        // about a second each, instead of the 21 seconds a silent board takes.
        Failure{"NoResponseFromTheBootloader",
                {},
                {},
                flash::kExitNoResponse,
                {"No response from target bootloader."},
                {"Requesting Ack from target bootloader.  Try #3"},
                true},
        // The board resets into its new firmware after "@" and the line drops.
        Failure{.name = "HangUpAfterTheVerdict",
                .boardArgs = {"--exit-after-eof"},
                .code = flash::kExitSuccess,
                .outLines = {"Flash File successfully downloaded."}},
        // The board answers as the application for ever; nobody is there to press Ctrl+C.
        Failure{.name = "Timeout",
                .boardArgs = {"--active-only"},
                .flashArgs = {"--timeout", "3"},
                .code = flash::kExitTimedOut,
                .errLines = {"Time limit reached (--timeout 3); the run was cancelled."}},
        Failure{.name = "MoreThan32767Lines",
                .code = flash::kExitFileError,
                .errLines = {"Error encountered while downloading the firmware file.",
                             "  reason: Overflow: more than 32,767 lines"},
                .longImage = true}),
    [](const auto& info) { return std::string(info.param.name); });

// Every failure says why, by default: the device and the system's reason, and a hint.
TEST_F(FlashProcessTest, PortAndFileErrors) {
    const std::string message = "Error encountered while accessing the com port.\n";
    const std::string hint = "  hint: tavo-flash --list-ports lists the serial ports of this "
                             "machine\n";
    for (const char* verbosity : {"--verbose", "--quiet"}) {
        EXPECT_EQ(flash({"--port", "/dev/tavo-no-such-port", "--flash", smallImage(), verbosity}),
                  flash::kExitPortError);
        auto lines = err();
        ASSERT_EQ(lines.rfind(message, 0), 0u) << lines;
        auto end = lines.find('\n', message.size()) + 1;
        auto reason = lines.substr(message.size(), end - message.size());
        EXPECT_EQ(reason.rfind("  reason: ", 0), 0u) << lines;
        EXPECT_NE(reason.find("/dev/tavo-no-such-port"), std::string::npos) << lines;
        EXPECT_NE(reason.find("No such file or directory"), std::string::npos) << lines;
        // --quiet: only the message and the reason.
        EXPECT_EQ(lines, message + reason + (verbosity == std::string("--quiet") ? "" : hint));
    }

    // A chosen image without a path stops before the port is touched.
    EXPECT_EQ(flash({"--port", "/dev/tavo-no-such-port", "--flash", ""}), flash::kExitFileError);
    EXPECT_EQ(err(), "Select Application file to download.\n");

    startBoard();
    auto missing = (dir.path() / "missing.hex").string();
    EXPECT_EQ(flash({"--port", board->devicePath(), "--flash", missing}), flash::kExitFileError);
    EXPECT_EQ(err().rfind("Error opening " + missing + ".\n  reason: ", 0), 0u) << err();
}

// A board that would never answer does not keep an image that cannot be sent waiting: the
// images are looked at before any port is opened, once for all boards.
TEST_F(FlashProcessTest, AnImageThatCannotBeSentEndsTheRunBeforeAnyPort) {
    auto received = (dir.path() / "received").string();
    startBoard({"--never-ready", "--received", received});
    const auto missing = (dir.path() / "missing.hex").string();
    const std::vector<std::vector<std::string>> commands = {
        {"--port", board->devicePath(), "--flash", missing},
        {"--port", board->devicePath(), "--port", "/dev/tavo-no-such-port", "--flash", smallImage(),
         "--eeprom", missing, "--report", (dir.path() / "r.jsonl").string()},
    };
    for (const auto& args : commands) {
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(flash(args), flash::kExitFileError);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
        EXPECT_EQ(err().rfind("Error opening " + missing + ".\n  reason: File not found: ", 0), 0u)
            << err();
        EXPECT_EQ(out(), "");
    }
    board->stop();
    EXPECT_EQ(ReadFile(received), "");
}

// The record keeps the image's facts whatever its name's encoding, counts each line once however
// often it was tried, and a record that cannot be written makes the exit status say so.
TEST_F(FlashProcessTest, ReportRecordsKeepTheirFactsAndTheirFailures) {
    // In this process: a child's arguments would pass through text, and lose the name's bytes.
    const auto image = dir.write("caf\xe9.hex", ReadFile(smallImage()));
    // An earlier record cut short by a full disk: the new one starts on a line of its own.
    const auto report = dir.write("report.jsonl", "{\"cut short");
    startBoard({"--fail-checksum", "2:1"});
    std::ostringstream out, err;
    flash::CommandEnvironment env{out, err, false, false, dir.path().string()};
    ASSERT_EQ(flash::RunFlashCommand(
                  {"--port", board->devicePath(), "--flash", image, "--report", report}, env),
              flash::kExitSuccess)
        << err.str();
    auto line = ReadFile(report);
    ASSERT_EQ(line.rfind("{\"cut short\n{\"start\":", 0), 0u) << line;
    // The name's bytes, escaped as the report escapes them, and the file's real facts.
    EXPECT_NE(line.find("\"path\":" + flash::JsonString(image) +
                        ",\"size\":" + std::to_string(ReadFile(image).size()) + ",\"sha256\":\""),
              std::string::npos)
        << line;
    EXPECT_NE(line.find("\"linesSent\":5,"), std::string::npos) << line;
    EXPECT_NE(line.find("\"program\":\"" + flash::ProgramVersion() + "\",\"adapter\":null,"),
              std::string::npos)
        << line;

    startBoard();
    EXPECT_EQ(
        flash({"--port", board->devicePath(), "--flash", smallImage(), "--report", "/dev/full"}),
        flash::kExitRecordFailed);
    EXPECT_TRUE(HasLine(this->out(), "Flash File successfully downloaded.")) << this->out();
    EXPECT_TRUE(HasLine(this->err(), "tavo-flash: cannot append to the report file /dev/full: No "
                                     "space left on device"))
        << this->err();

    // A No ends with where the run stopped and what its exit status means.
    startBoard({"--fail-page", "3"});
    EXPECT_EQ(flash({"--port", board->devicePath(), "--flash", smallImage()}),
              flash::kExitLineErrorStopped);
    EXPECT_EQ(this->err(), "Error writing to flash at line 3. Continue with download? No "
                           "(--on-error stop)\nStopped at line 3 of " +
                               smallImage() +
                               " (exit status 2: the board reported an error on a line and the "
                               "answer was stop).\n");
}

TEST_F(FlashProcessTest, UsageErrorsHelpAndVersion) {
    const std::vector<std::vector<std::string>> bad = {
        {"--baud", "300"}, {"--on-error", "ask"}, // stdin is not a terminal
        {"--port"},        {"--flash", "a.hex", "b.hex"}, {"--no-such-option"},
    };
    for (const auto& args : bad) {
        EXPECT_EQ(flash(args), flash::kExitUsage) << args.front();
        EXPECT_NE(err().find("--help"), std::string::npos) << err();
        EXPECT_EQ(out(), "");
    }
    EXPECT_EQ(flash({"--help"}), flash::kExitSuccess);
    EXPECT_NE(out().find("Exit status:"), std::string::npos);
    EXPECT_EQ(flash({"--version"}), flash::kExitSuccess);
    EXPECT_EQ(out().substr(0, out().find('\n') + 1), "TAVO  Programmer Version 2.1.2\n");
}

TEST_F(FlashProcessTest, SettingsAndPortMapBesideTheProgramChooseTheBoard) {
    // No option at all: dazez.txt beside the program chooses "Com 3" and the image, ports.txt
    // maps "Com 3" to the board. The settings file is read, never written.
    startBoard();
    settings::Settings s;
    s.comPortIndex = 2;
    s.baudIndex = 8;
    s.applicationFile = smallImage();
    const auto settingsText = SettingsText(s);
    dir.write("dazez.txt", settingsText);
    dir.write("ports.txt", "1=/dev/tavo-not-this-one\n3=" + board->devicePath() + "\n");

    std::ostringstream out, err;
    flash::CommandEnvironment env{out, err, false, false, dir.path().string()};
    EXPECT_EQ(flash::RunFlashCommand({}, env), flash::kExitSuccess) << err.str();
    EXPECT_TRUE(HasLine(out.str(), "Flash File successfully downloaded.")) << out.str();
    EXPECT_EQ(ReadFile(settingsPath), settingsText);

    // --port names another entry of the map: that one is opened.
    EXPECT_EQ(flash::RunFlashCommand({"--port", "1"}, env), flash::kExitPortError);
}

TEST_F(FlashProcessTest, CtrlCDuringTheHandshakeCancelsAndReleasesThePort) {
    startBoard({"--never-ready"});
    start({"--port", board->devicePath(), "--flash", smallImage()});
    // Wait until it is asking the board.
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (out().find("Try #1") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_NE(out().find("Try #1"), std::string::npos);
    std::this_thread::sleep_for(200ms);

    auto sent = std::chrono::steady_clock::now();
    ::kill(static_cast<pid_t>(process->processId()), SIGINT);
    EXPECT_EQ(finish(5s), flash::kExitCancelled);
    // The next cancel test comes at the latest after the one-second pause (with room for a busy
    // machine).
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 2500ms);
    EXPECT_NE(err().find("Cancel requested"), std::string::npos) << err();
    EXPECT_EQ(out().find("successfully"), std::string::npos);

    serial::DeviceSerialPort again;
    again.setDeviceOverride(board->devicePath());
    EXPECT_NO_THROW(again.open());
    EXPECT_TRUE(again.isOpen());
}

} // namespace
} // namespace tavo::test
