// Whole download runs over a pseudo-terminal: the engine, the real serial port and the headless
// host on this side, tavo-bootsim on the other, and the board's memory compared with the image.
#include "bench/BenchSupport.h"
#include "bench/HeadlessDownload.h"
#include "bench/SyscallCount.h"
#include "cli/HeadlessHost.h"
#include "engine/SerialLink.h"
#include "serial/DeviceSerialPort.h"
#include "tests/cli/RecordingDisplay.h"
#include "tests/support/QtApplication.h"
#include "tests/support/TempImages.h"
#include "tools/bootsim/BootsimProcess.h"
#include "tools/bootsim/IntelHex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <sstream>

namespace tavo::test {
namespace {

using engine::RunEnd;

const std::string kSampleHex = TAVO_SAMPLES_DIR "/sample.hex";
const std::string kSampleEep = TAVO_SAMPLES_DIR "/sample.eep";

// The bytes the board must hold after receiving an image, in bootsim's dump format.
std::string Decoded(const std::string& imagePath) {
    auto decoded = bootsim::DecodeHexText(ReadFile(imagePath));
    EXPECT_TRUE(decoded.error.empty()) << decoded.error;
    return bootsim::EncodeImage(decoded.image);
}

// The image's lines as the board must receive them: back to back, without line ends.
std::string Concatenated(const std::string& imagePath) {
    std::istringstream in(ReadFile(imagePath));
    std::string all;
    for (std::string line; std::getline(in, line);)
        all += line.substr(0, line.find('\r'));
    return all;
}

std::size_t Occurrences(const std::string& text, char c) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

class DownloadOverPtyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { EnsureApplication("integration_tests"); }

    // Starts the simulated board with its memory dumps and line-settings report in the test's
    // folder.
    void startBoard(std::vector<std::string> args = {}) {
        for (const char* name : {"flash", "eeprom", "received", "settings"})
            out[name] = (dir.path() / name).string();
        args.insert(args.end(), {"--flash-out", out["flash"], "--eeprom-out", out["eeprom"],
                                 "--received", out["received"], "--settings-out", out["settings"]});
        board = std::make_unique<bootsim::BootsimProcess>(TAVO_BOOTSIM_EXE, args);
    }

    // One download run against the board, as tavo-flash does it: both images from the samples,
    // at 115200.
    engine::RunResult download(bool flash, bool eeprom, int baudIndex = 9) {
        settings::Settings s;
        s.flashCheck = flash ? 1 : 0;
        s.eepromCheck = eeprom ? 1 : 0;
        s.applicationFile = kSampleHex;
        s.eepromFile = kSampleEep;
        s.baudIndex = baudIndex;
        serial::DeviceSerialPort port;
        port.setDeviceOverride(board->devicePath());
        engine::RunState state;
        engine::SteadyClock clock;
        host = std::make_unique<flash::HeadlessHost>(state, port, clock, display, s,
                                                     flash::OnError::Stop);
        auto cpu = bench::CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        auto wall = std::chrono::steady_clock::now();
        auto result = engine::DownloadFirmware(state, *host, host->port(), clock);
        cpuSeconds = bench::CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu;
        wallSeconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
        portLeftOpen = port.isOpen();
        return result;
    }

    // Ends the board (it writes its dumps on the way out) and reads one of them.
    std::string boardOutput(const std::string& name) {
        if (board) {
            board->stop();
            board.reset();
        }
        return ReadFile(out[name]);
    }

    std::vector<std::string> messages() const { return display.entries("message: "); }

    TempDir dir;
    std::map<std::string, std::string> out;
    std::unique_ptr<bootsim::BootsimProcess> board;
    RecordingDisplay display;
    std::unique_ptr<flash::HeadlessHost> host;
    double cpuSeconds = 0;
    double wallSeconds = 0;
    bool portLeftOpen = true;
};

struct Images {
    const char* name;
    const char* version; // the board's answer; 1.3 is the first that takes EEPROM writes
    bool flash, eeprom;
    const char* message;
    const char* command; // what goes before the EEPROM lines
};

void PrintTo(const Images& i, std::ostream* os) {
    *os << i.name;
}

class ImageDownloadTest : public DownloadOverPtyTest,
                          public ::testing::WithParamInterface<Images> {};

// The images reach the board whole: their lines go out exactly as read, without line ends, after
// one handshake, the EEPROM first and after its write command ("*" alone, "*!" when the Flash
// file follows).
TEST_P(ImageDownloadTest, ImagesReachTheBoardWhole) {
    const auto& p = GetParam();
    startBoard({"--version-answer", p.version});
    auto result = download(p.flash, p.eeprom);
    ASSERT_EQ(result.end, RunEnd::Success) << result.reason;
    EXPECT_EQ(messages(), std::vector<std::string>{std::string("message: ") + p.message});
    EXPECT_EQ(display.entries("started: ").size(), (p.flash ? 1u : 0u) + (p.eeprom ? 1u : 0u));
    EXPECT_FALSE(portLeftOpen);

    auto received = boardOutput("received");
    auto tail = p.eeprom ? p.command + Concatenated(kSampleEep) : "";
    if (p.flash)
        tail += Concatenated(kSampleHex);
    ASSERT_GE(received.size(), tail.size());
    EXPECT_EQ(received.substr(received.size() - tail.size()), tail);
    EXPECT_EQ(received.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(Occurrences(received, '*'), p.eeprom ? 1u : 0u);
    const auto nothing = bootsim::EncodeImage({});
    EXPECT_EQ(ReadFile(out["flash"]), p.flash ? Decoded(kSampleHex) : nothing);
    EXPECT_EQ(ReadFile(out["eeprom"]), p.eeprom ? Decoded(kSampleEep) : nothing);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, ImageDownloadTest,
    ::testing::Values(
        Images{"Flash", "?V1.28", true, false, "Flash File successfully downloaded.", ""},
        Images{"Eeprom", "?V1.3", false, true, "EEPROM File successfully downloaded.", "*"},
        Images{"Both", "?V1.3", true, true, "Flash & EEPROM Files successfully downloaded.", "*!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloadOverPtyTest, OldBootloaderGetsEachLineOnceWithTheOldProtocol) {
    // The first record is answered late once: the old protocol moves on after five timer ticks
    // without writing it again, and without a question.
    startBoard({"--version-answer", "?V1.27", "--silent", "3"});
    auto result = download(true, false);
    ASSERT_EQ(result.end, RunEnd::Success) << result.reason;
    EXPECT_TRUE(display.entries("answered: ").empty());
    // Below 1.3 the version label keeps its bare caption.
    EXPECT_EQ(display.entries("version: ").back(), "version: BootLoader Version: ");
    EXPECT_EQ(Occurrences(boardOutput("received"), ':'), Occurrences(ReadFile(kSampleHex), ':'));
    // The silent line was taken but not answered, so the board holds all of it.
    EXPECT_EQ(ReadFile(out["flash"]), Decoded(kSampleHex));
}

TEST_F(DownloadOverPtyTest, OldBootloaderRefusesEepromAndNothingIsSent) {
    startBoard({"--version-answer", "?V1.27"});
    EXPECT_EQ(download(true, true).end, RunEnd::EepromRefused);
    EXPECT_EQ(messages(),
              std::vector<std::string>{
                  "message: Embedded Bootloader Version does not support EEPROM write."});
    EXPECT_EQ(host->currentSettings().eepromCheck, 0);
    EXPECT_FALSE(portLeftOpen);
    EXPECT_EQ(boardOutput("received").find(':'), std::string::npos);
}

class BaudEntryTest : public DownloadOverPtyTest, public ::testing::WithParamInterface<int> {};

// Each entry of the baud list travels through the run to the board's line, with XON/XOFF.
TEST_P(BaudEntryTest, PortRunsAtTheEntrysRateWithXonXoff) {
    // A handshake-only run (no image chosen) is enough to set the line up.
    startBoard();
    auto result = download(false, false, GetParam());
    ASSERT_EQ(result.end, RunEnd::NoFileChosen) << result.reason;
    EXPECT_EQ(messages(), std::vector<std::string>{"message: Check box to download code."});

    std::map<std::string, std::string> line;
    std::istringstream in(boardOutput("settings"));
    for (std::string text; std::getline(in, text);)
        if (auto eq = text.find('='); eq != std::string::npos)
            line[text.substr(0, eq)] = text.substr(eq + 1);
    auto rate = engine::BaudFromLineSettings(*engine::LineSettingsForBaudIndex(GetParam()));
    for (const auto& [key, value] :
         std::map<std::string, std::string>{{"baud", std::to_string(*rate)},
                                            {"data", "8"},
                                            {"parity", "n"},
                                            {"stop", "1"},
                                            {"ixon", "1"},
                                            {"ixoff", "1"},
                                            {"crtscts", "0"}})
        EXPECT_EQ(line[key], value) << key;
}

// All ten entries, 14400 and 56000 among them.
INSTANTIATE_TEST_SUITE_P(AllTen, BaudEntryTest, ::testing::Range(0, 10),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "Baud" + std::to_string(*engine::BaudFromLineSettings(
                                                 *engine::LineSettingsForBaudIndex(info.param)));
                         });

TEST_F(DownloadOverPtyTest, PortHeldByAnotherProgramIsAPortError) {
    startBoard();
    serial::DeviceSerialPort other;
    other.setDeviceOverride(board->devicePath());
    other.open();
    EXPECT_EQ(download(true, false).end, RunEnd::PortError);
    EXPECT_EQ(messages(),
              std::vector<std::string>{"message: Error encountered while accessing the com port."});
    EXPECT_TRUE(other.isOpen());
    EXPECT_EQ(boardOutput("received"), "");
}

TEST_F(DownloadOverPtyTest, BoardVanishingMidFileEndsTheRunWithoutBurningCpu) {
    startBoard({"--drop-after", "100"});
    EXPECT_EQ(download(true, false).end, RunEnd::DownloadError);
    EXPECT_EQ(messages(), std::vector<std::string>{
                              "message: Error encountered while downloading the firmware file."});
    EXPECT_FALSE(portLeftOpen);
    EXPECT_TRUE(display.has("progress: 100/321"));
    EXPECT_FALSE(display.has("progress: 102/321"));
    // The loader noticed within a line's wait and did not spin meanwhile.
    EXPECT_LT(wallSeconds, 4.0);
    EXPECT_LT(cpuSeconds, 0.25 + 0.1 * wallSeconds) << "wall " << wallSeconds;
    // The board kept the lines it had written.
    EXPECT_EQ(board->waitForExit(2000), 0);
}

// Marks the stretch from the top of the second line to the top of the last for the count.
class MarkingDisplay final : public flash::NullDisplay {
public:
    void progress(int value, int max) override {
        if (value == 1 || value == max)
            bench::MarkSyscalls();
    }
};

// tavo-flash's way of moving an image costs the kernel little more than a bare write, poll and
// read per line: the port trusts an empty read until it blocks again, and a write hands its bytes
// to the device in one call.
TEST_F(DownloadOverPtyTest, ALineCostsAtMostFourSystemCalls) {
    startBoard();
    auto count = bench::CountSyscalls([&] {
        serial::DeviceSerialPort port;
        port.setDeviceOverride(board->devicePath());
        MarkingDisplay marks;
        return bench::HeadlessDownload(port, marks, kSampleHex).end == RunEnd::Success ? 0 : 1;
    });
    if (!count.supported)
        GTEST_SKIP() << "system calls are counted on Linux x86-64 only";
    ASSERT_EQ(count.exitCode, 0);
    const double lines = 322 - 2; // sample.hex: its second line up to its last
    std::printf("[ measured ] %.2f system calls per line\n", count.marked / lines);
    EXPECT_LE(count.marked / lines, 4.0);
    EXPECT_GE(count.marked / lines, 2.0); // a write and a read at least: the count is real
}

} // namespace
} // namespace tavo::test
