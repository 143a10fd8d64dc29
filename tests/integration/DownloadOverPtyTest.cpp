// Whole download runs over a pseudo-terminal: the engine, the real serial port and the headless
// host on this side, tavo-bootsim on the other, and the board's memory compared with the image.
#include "engine/DownloadRun.h"
#include "engine/SerialLink.h"
#include "serial/DeviceSerialPort.h"
#include "tests/support/TempImages.h"
#include "tests/tools/RecordingDisplay.h"
#include "tools/bootsim/BootsimProcess.h"
#include "tools/bootsim/IntelHex.h"
#include "tools/flash/HeadlessHost.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

namespace tavo::test {
namespace {

using engine::RunEnd;

const std::string kSampleHex = TAVO_SAMPLES_DIR "/sample.hex";
const std::string kSampleEep = TAVO_SAMPLES_DIR "/sample.eep";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The bytes the board must hold after receiving an image, in bootsim's dump format.
std::string Decoded(const std::string& imagePath) {
    auto decoded = bootsim::DecodeHexText(ReadFile(imagePath));
    EXPECT_TRUE(decoded.error.empty()) << decoded.error;
    auto bytes = decoded.image.toBinary();
    return std::string(bytes.begin(), bytes.end());
}

// The image's lines as the board must receive them: back to back, without line ends.
std::string Concatenated(const std::string& imagePath) {
    std::istringstream in(ReadFile(imagePath));
    std::string all;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        all += line;
    }
    return all;
}

double CpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

class DownloadOverPtyTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The serial port is a Qt object and wants an application object on its thread.
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "integration_tests";
            static char* argv[] = {name, nullptr};
            static QCoreApplication app(argc, argv);
        }
    }

    // Starts the simulated board with its memory dumps and line-settings report in the test's
    // folder.
    void startBoard(std::vector<std::string> args = {}) {
        for (const char* name : {"flash", "eeprom", "received", "settings"})
            out[name] = (dir.path() / name).string();
        args.insert(args.end(), {"--flash-out", out["flash"], "--eeprom-out", out["eeprom"],
                                 "--received", out["received"], "--settings-out", out["settings"]});
        board = std::make_unique<bootsim::BootsimProcess>(TAVO_BOOTSIM_EXE, args);
    }

    // One download run against the board, as tavo-flash does it.
    engine::RunResult download(settings::Settings s, const std::string& device = {}) {
        serial::DeviceSerialPort port;
        port.setDeviceOverride(device.empty() ? board->devicePath() : device);
        engine::RunState state;
        engine::SteadyClock clock;
        host = std::make_unique<flash::HeadlessHost>(state, port, clock, display, s,
                                                     flash::OnError::Stop);
        auto cpu = CpuSeconds();
        auto wall = std::chrono::steady_clock::now();
        auto result = engine::DownloadFirmware(state, *host, host->port(), clock);
        cpuSeconds = CpuSeconds() - cpu;
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

    std::map<std::string, std::string> lineSettings() {
        std::map<std::string, std::string> values;
        std::istringstream in(boardOutput("settings"));
        for (std::string line; std::getline(in, line);)
            if (auto eq = line.find('='); eq != std::string::npos)
                values[line.substr(0, eq)] = line.substr(eq + 1);
        return values;
    }

    static settings::Settings Images(bool flash, bool eeprom) {
        settings::Settings s;
        s.flashCheck = flash ? 1 : 0;
        s.eepromCheck = eeprom ? 1 : 0;
        s.applicationFile = kSampleHex;
        s.eepromFile = kSampleEep;
        s.baudIndex = 9;
        return s;
    }

    TempDir dir;
    std::map<std::string, std::string> out;
    std::unique_ptr<bootsim::BootsimProcess> board;
    RecordingDisplay display;
    std::unique_ptr<flash::HeadlessHost> host;
    double cpuSeconds = 0;
    double wallSeconds = 0;
    bool portLeftOpen = true;
};

TEST_F(DownloadOverPtyTest, FlashImageReachesTheBoardWholeWithTheNewProtocol) {
    startBoard({"--version-answer", "?V1.28"});
    auto result = download(Images(true, false));
    ASSERT_EQ(result.end, RunEnd::Success) << result.reason;
    EXPECT_TRUE(display.has("message: Flash File successfully downloaded."));
    EXPECT_FALSE(portLeftOpen);

    auto received = boardOutput("received");
    // Lines go out exactly as read, without their line ends, after the handshake.
    auto lines = Concatenated(kSampleHex);
    ASSERT_GE(received.size(), lines.size());
    EXPECT_EQ(received.substr(received.size() - lines.size()), lines);
    EXPECT_EQ(received.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(ReadFile(out["flash"]), Decoded(kSampleHex));
    EXPECT_EQ(ReadFile(out["eeprom"]), "");
}

TEST_F(DownloadOverPtyTest, EepromImageAloneGoesAfterTheBareWriteCommand) {
    // 1.3 is the first version that takes EEPROM writes.
    startBoard({"--version-answer", "?V1.3"});
    auto result = download(Images(false, true));
    ASSERT_EQ(result.end, RunEnd::Success) << result.reason;
    EXPECT_TRUE(display.has("message: EEPROM File successfully downloaded."));
    auto received = boardOutput("received");
    EXPECT_NE(received.find("*" + Concatenated(kSampleEep)), std::string::npos);
    EXPECT_EQ(received.find("*!"), std::string::npos);
    EXPECT_EQ(ReadFile(out["eeprom"]), Decoded(kSampleEep));
    EXPECT_EQ(ReadFile(out["flash"]), "");
}

TEST_F(DownloadOverPtyTest, BothImagesFollowOneHandshakeEepromFirst) {
    startBoard();
    auto result = download(Images(true, true));
    ASSERT_EQ(result.end, RunEnd::Success) << result.reason;
    EXPECT_EQ(display.entries("message: "),
              std::vector<std::string>{"message: Flash & EEPROM Files successfully downloaded."});
    EXPECT_EQ(display.entries("started: ").size(), 2u);

    auto received = boardOutput("received");
    auto command = received.find("*!" + Concatenated(kSampleEep) + Concatenated(kSampleHex));
    EXPECT_NE(command, std::string::npos);
    // No second handshake between the two files.
    EXPECT_EQ(received.find("$@&$", command), std::string::npos);
    EXPECT_EQ(Occurrences(received, "*"), 1u);
    EXPECT_EQ(ReadFile(out["flash"]), Decoded(kSampleHex));
    EXPECT_EQ(ReadFile(out["eeprom"]), Decoded(kSampleEep));
}

TEST_F(DownloadOverPtyTest, OldBootloaderGetsEachLineOnceWithTheOldProtocol) {
    // The first record is answered late once: the old protocol moves on after five timer ticks
    // without writing it again, and without a question.
    startBoard({"--version-answer", "?V1.27", "--silent", "3"});
    auto result = download(Images(true, false));
    ASSERT_EQ(result.end, RunEnd::Success) << result.reason;
    EXPECT_TRUE(display.entries("answered: ").empty());
    // Below 1.3 the version label keeps its bare caption.
    EXPECT_EQ(display.entries("version: ").back(), "version: BootLoader Version: ");
    auto received = boardOutput("received");
    EXPECT_EQ(Occurrences(received, ":"), Occurrences(ReadFile(kSampleHex), ":"));
    // The silent line was taken but not answered, so the board holds all of it.
    EXPECT_EQ(ReadFile(out["flash"]), Decoded(kSampleHex));
}

TEST_F(DownloadOverPtyTest, OldBootloaderRefusesEepromAndNothingIsSent) {
    startBoard({"--version-answer", "?V1.27"});
    auto result = download(Images(true, true));
    EXPECT_EQ(result.end, RunEnd::EepromRefused);
    EXPECT_TRUE(display.has("message: Embedded Bootloader Version does not support EEPROM write."));
    EXPECT_EQ(host->currentSettings().eepromCheck, 0);
    EXPECT_FALSE(portLeftOpen);
    EXPECT_EQ(boardOutput("received").find(':'), std::string::npos);
}

class BaudEntryTest : public DownloadOverPtyTest, public ::testing::WithParamInterface<int> {};

TEST_P(BaudEntryTest, PortRunsAtTheEntrysRateWithXonXoff) {
    // A handshake-only run (no image chosen) is enough to set the line up.
    startBoard();
    auto s = Images(false, false);
    s.baudIndex = GetParam();
    auto result = download(s);
    ASSERT_EQ(result.end, RunEnd::NoFileChosen) << result.reason;
    EXPECT_TRUE(display.has("message: Check box to download code."));

    auto rate = engine::BaudFromLineSettings(*engine::LineSettingsForBaudIndex(GetParam()));
    auto line = lineSettings();
    EXPECT_EQ(line["baud"], std::to_string(*rate));
    EXPECT_EQ(line["data"], "8");
    EXPECT_EQ(line["parity"], "n");
    EXPECT_EQ(line["stop"], "1");
    EXPECT_EQ(line["ixon"], "1");
    EXPECT_EQ(line["ixoff"], "1");
    EXPECT_EQ(line["crtscts"], "0");
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
    auto result = download(Images(true, false));
    EXPECT_EQ(result.end, RunEnd::PortError);
    EXPECT_EQ(display.entries("message: "),
              std::vector<std::string>{"message: Error encountered while accessing the com port."});
    EXPECT_TRUE(other.isOpen());
    EXPECT_EQ(boardOutput("received"), "");
}

TEST_F(DownloadOverPtyTest, MissingPortIsAPortError) {
    auto result = download(Images(true, false), "/dev/tavo-no-such-port");
    EXPECT_EQ(result.end, RunEnd::PortError);
    EXPECT_EQ(display.entries("message: "),
              std::vector<std::string>{"message: Error encountered while accessing the com port."});
    EXPECT_FALSE(result.reason.empty());
}

TEST_F(DownloadOverPtyTest, BoardVanishingMidFileEndsTheRunWithoutBurningCpu) {
    startBoard({"--drop-after", "100"});
    auto result = download(Images(true, false));
    EXPECT_EQ(result.end, RunEnd::DownloadError);
    EXPECT_EQ(display.entries("message: "),
              std::vector<std::string>{
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

} // namespace
} // namespace tavo::test
