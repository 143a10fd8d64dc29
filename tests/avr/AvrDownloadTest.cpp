// tavo-flash programs our bootloader on a simulated ATmega328P or ATmega2560: the running
// application takes the jump command, the images land byte for byte, the new build greets; line
// errors are asked about and answered as the command line says.
#include "cli/ExitCode.h"
#include "tests/avr/AvrBoard.h"
#include "tests/cli/FlashProcess.h"
#include "tools/bootsim/IntelHex.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace tavo::avr_test {
namespace {

using namespace std::chrono_literals;
using test::HasLine;

// tavo-flash run to its end, its stderr in out() with the rest; a chip at 19200 baud takes a while.
class AvrTest : public test::FlashProcessTest {
protected:
    AvrTest() {
        mergedOutput = true;
        flashTimeout = 60s;
    }
};

// A whole download from tavo-flash. With an application running, the loader's jump command must
// reach it and take it into the bootloader; without one the bootloader waits after its reset.
struct Download {
    const char* name;
    const char* mcu;
    int baud;
    bool applicationRunning;
    bool eeprom;
    int lostAnswer = 0; // the answer to this line is lost on its way: the loader sends it again
};

void PrintTo(const Download& d, std::ostream* os) {
    *os << d.name;
}

class AvrDownloadTest : public AvrTest, public ::testing::WithParamInterface<Download> {};

TEST_P(AvrDownloadTest, NewBuildGreetsAndTheMemoriesHoldTheImages) {
    const auto& d = GetParam();
    std::optional<int> oldBuild;
    if (d.applicationRunning)
        oldBuild = 1;
    std::vector<std::string> faults;
    if (d.lostAnswer) {
        // After the reset "^", and "^" and the ready answer for the handshake.
        faults = {"--lose", std::to_string(2 + ReadyAnswer(d.mcu).size() + d.lostAnswer)};
    }
    AvrBoard board(dir, d.mcu, d.baud, oldBuild, faults);
    if (d.applicationRunning) {
        // The chip runs the old build: it answers a carriage return with its greeting.
        ASSERT_NE(board.converse("\r", Greeting(1)).find(Greeting(1)), std::string::npos);
    }

    const auto image = Demo(d.mcu, d.baud, 2);
    const auto eeprom = dir.write("settings.eep", EepromImage(300));
    // The plain protocol, as a loader that knows nothing of the extension speaks it.
    std::vector<std::string> args{
        "--plain", "--port", board.device(), "--baud", std::to_string(d.baud), "--flash", image};
    if (d.eeprom) {
        args.push_back("--eeprom");
        args.push_back(eeprom);
    }
    ASSERT_EQ(flash(args), flash::kExitSuccess) << out();
    EXPECT_TRUE(HasLine(out(), "BootLoader Version: 1.3")) << out();
    EXPECT_TRUE(HasLine(out(), d.eeprom ? "Flash & EEPROM Files successfully downloaded."
                                        : "Flash File successfully downloaded."))
        << out();
    if (d.applicationRunning) {
        EXPECT_TRUE(HasLine(out(), "Main code responded.  Switching to bootloader.")) << out();
    }

    ASSERT_EQ(board.stop(), 0);
    const auto flashDump = board.flash();
    EXPECT_EQ(Mismatch(flashDump, image), "");
    EXPECT_EQ(Mismatch(flashDump, Bootloader(d.mcu, d.baud)), "") << "the bootloader changed";
    if (d.eeprom) {
        EXPECT_EQ(Mismatch(board.eeprom(), eeprom), "");
    }
    // The bootloader started the new build right after its last answer, and it greeted.
    const auto log = board.uartLog();
    const auto lastAnswer = log.rfind('@');
    ASSERT_NE(lastAnswer, std::string::npos) << log;
    EXPECT_EQ(log.substr(lastAnswer + 1), Greeting(2));
    if (d.lostAnswer) {
        // Every data line answered once, the repeated one twice.
        auto records = bootsim::DecodeHexText(ReadFile(image)).records;
        EXPECT_EQ(std::count(log.begin(), log.end(), '~'), records);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Chips, AvrDownloadTest,
    ::testing::Values(Download{"Atmega328pAt19200FromTheRunningApplication", "atmega328p", 19200,
                               true, true},
                      Download{"Atmega328pAt115200AfterResetLosingAnAnswer", "atmega328p", 115200,
                               false, false, 17},
                      // The demo for this chip puts code and a table beyond the first 64 KiB.
                      Download{"Atmega2560Beyond64KiB", "atmega2560", 115200, true, true}),
    [](const auto& info) { return info.param.name; });

// tavo-flash speaks the extension our bootloader offers: from the running application, at the
// fastest rate both sides make (a byte at the wrong rate is lost), the image checked on the chip,
// and the new build greets. A Flash cell that does not take its value fails its page's write and,
// with the technician going on regardless, the check: exit 10, no end record, nothing starts.
TEST_F(AvrTest, ExtendedDownloadIsCheckedOnTheChip) {
    const std::string mcu = "atmega328p";
    const auto image = Demo(mcu, 115200, 2);
    const auto report = (dir.path() / "report.jsonl").string();
    const std::vector<std::string> args{"--port", "",         "--baud", "115200",     "--flash",
                                        image,    "--report", report,   "--on-error", "continue"};
    auto with = [&](const AvrBoard& board) {
        auto a = args;
        a[1] = board.device();
        return a;
    };
    {
        AvrBoard board(dir, mcu, 115200, 1, {"--strict-rate"});
        ASSERT_NE(board.converse("\r", Greeting(1)).find(Greeting(1)), std::string::npos);
        ASSERT_EQ(flash(with(board)), flash::kExitSuccess) << out();
        EXPECT_NE(board.converse("\r", Greeting(2)).find(Greeting(2)), std::string::npos);
        ASSERT_EQ(board.stop(), 0);
        EXPECT_EQ(Mismatch(board.flash(), image), "");
    }
    {
        AvrBoard board(dir, mcu, 115200, std::nullopt, {"--stuck-cell", "256"});
        EXPECT_EQ(flash(with(board)), flash::kExitVerifyFailed) << out();
        ASSERT_EQ(board.stop(), 0);
        const auto log = board.uartLog();
        EXPECT_EQ(log.find('@'), std::string::npos) << log;
        EXPECT_EQ(log.find(Greeting(2)), std::string::npos) << log;
    }
    const auto records = test::Lines(ReadFile(report));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_NE(records[0].find("\"verify\":\"passed\""), std::string::npos) << records[0];
    EXPECT_NE(records[1].find("\"verify\":\"failed\""), std::string::npos) << records[1];
}

TEST(AvrImages, TheAtmega2560DemoReachesBeyond64KiB) {
    auto decoded = bootsim::DecodeHexText(ReadFile(Demo("atmega2560", 115200, 2)));
    ASSERT_FALSE(decoded.image.empty());
    const auto& [start, bytes] = *decoded.image.segments().rbegin();
    EXPECT_GT(start + bytes.size(), 0x10000u + 512);
}

// A checksum error on line 6 and a line 8 that ends early (the board answers each three times
// over), and a record aimed at the bootloader's own section (line 11).
struct LineErrors {
    const char* name;
    const char* onError;
    int exitCode;
    std::vector<std::string> lines;
};

void PrintTo(const LineErrors& e, std::ostream* os) {
    *os << e.name;
}

class AvrLineErrorTest : public AvrTest, public ::testing::WithParamInterface<LineErrors> {};

TEST_P(AvrLineErrorTest, AskedAnswerActedOnAndTheNextDownloadWorks) {
    const auto& e = GetParam();
    const std::string mcu = "atmega328p";
    const int baud = 115200;
    AvrBoard board(dir, mcu, baud);
    const auto good = Demo(mcu, baud, 2);

    std::vector<std::string> lines;
    std::istringstream text(ReadFile(good));
    for (std::string line; std::getline(text, line);)
        lines.push_back(line.substr(0, line.find('\r')));
    const std::size_t goodLines = lines.size();
    ASSERT_GT(goodLines, 12u);
    auto& sixth = lines[5];
    auto checksum =
        static_cast<std::uint8_t>(std::stoi(sixth.substr(sixth.size() - 2), nullptr, 16));
    char wrong[3];
    std::snprintf(wrong, sizeof wrong, "%02X", static_cast<std::uint8_t>(checksum + 1));
    sixth.replace(sixth.size() - 2, 2, wrong);
    lines[7].resize(lines[7].size() - 4);
    lines.insert(lines.begin() + 10,
                 bootsim::EncodeRecord(0, 0x7800, std::vector<std::uint8_t>(16, 0x55)));
    std::string bad;
    for (const auto& line : lines)
        bad += line + "\r\n";

    ASSERT_EQ(flash({"--plain", "--port", board.device(), "--baud", std::to_string(baud), "--flash",
                     dir.write("bad.hex", bad), "--on-error", e.onError}),
              e.exitCode)
        << out();
    for (const auto& line : e.lines)
        EXPECT_TRUE(HasLine(out(), line)) << line << "\n" << out();
    // From its reset: active, active again on the jump command, ready; lines 1 to 5 complete,
    // line 6 sent three times and bad each time; with "continue" line 7, line 8 three times bad,
    // lines 9 and 10, the page error, the rest and the end: with errors.
    std::string answers = "^^" + ReadyAnswer(mcu) + "~~~~~---";
    if (e.exitCode == flash::kExitCompletedWithErrors)
        answers += "~---~~%" + std::string(lines.size() - 12, '~') + "#";
    const auto log = board.uartLog();
    EXPECT_EQ(log, answers);

    // The bootloader waits for another try, the failed application never started; the good image
    // then goes in as if nothing had happened.
    ASSERT_EQ(flash({"--plain", "--port", board.device(), "--baud", std::to_string(baud), "--flash",
                     good}),
              flash::kExitSuccess)
        << out();
    ASSERT_EQ(board.stop(), 0);
    EXPECT_EQ(Mismatch(board.flash(), good), "");
    EXPECT_EQ(Mismatch(board.flash(), Bootloader(mcu, baud)), "") << "the bootloader changed";
    EXPECT_EQ(board.uartLog().substr(log.size()),
              "^" + ReadyAnswer(mcu) + std::string(goodLines - 1, '~') + "@" + Greeting(2));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AvrLineErrorTest,
    ::testing::Values(
        LineErrors{"ContinueOnBoth",
                   "continue",
                   flash::kExitCompletedWithErrors,
                   {"Checksum error at line 6. Continue with download? Yes (--on-error continue)",
                    "Checksum error at line 8. Continue with download? Yes (--on-error continue)",
                    "Error writing to flash at line 11. Continue with download? Yes (--on-error "
                    "continue)",
                    "Error encountered while downloading file."}},
        LineErrors{"StopAtTheFirst",
                   "stop",
                   flash::kExitLineErrorStopped,
                   {"Checksum error at line 6. Continue with download? No (--on-error stop)"}}),
    [](const auto& info) { return info.param.name; });

} // namespace
} // namespace tavo::avr_test
