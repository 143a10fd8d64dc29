// Our bootloader's side of docs/extension.md and its defects, byte for byte: a raw loader
// (RawLoader) sends records and commands to the simulated chip and checks every answer, the CRCs,
// the rate switch with its fallbacks, and what the memories hold afterwards.
#include "tests/avr/AvrBoard.h"
#include "tests/avr/RawLoader.h"
#include "tools/bootsim/IntelHex.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <thread>

namespace tavo::avr_test {
namespace {

using namespace std::chrono_literals;

constexpr unsigned long kBaud = 115200;

std::string Hex8(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

std::vector<std::uint8_t> Bytes(std::size_t count, int seed) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + seed);
    return bytes;
}

std::vector<std::uint8_t> Slice(const std::string& memory, std::uint32_t start, std::size_t n) {
    if (memory.size() < start + n)
        return {};
    return {memory.begin() + start, memory.begin() + start + n};
}

// The demo application's lines without their line ends.
std::vector<std::string> DemoLines(const std::string& mcu) {
    std::vector<std::string> lines;
    std::istringstream text(ReadFile(Demo(mcu, kBaud, 2)));
    for (std::string line; std::getline(text, line);)
        if (!line.empty())
            lines.push_back(line.substr(0, line.find('\r')));
    return lines;
}

// The ready answer after any number of active answers: one after a reset, one for each jump
// command the bootloader took.
::testing::AssertionResult Ready(const std::string& answers, const std::string& mcu) {
    auto ready = ReadyAnswer(mcu);
    auto actives = answers.size() >= ready.size() ? answers.size() - ready.size() : 0;
    if (answers == std::string(actives, '^') + ready && actives > 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "answers \"" << answers << "\"";
}

struct Chip {
    const char* mcu;
    std::uint32_t page;
    std::uint32_t far; // an address beyond the first 64 KiB where the chip has one, else 0
};

void PrintTo(const Chip& c, std::ostream* os) {
    *os << c.mcu;
}

class AvrExtensionTest : public ::testing::TestWithParam<Chip> {
protected:
    test::TempDir dir;
};

// Records as long as L, a page each (on the ATmega2560 one beyond 64 KiB too), are in the Flash
// when the check asks; a wrong CRC is answered "%" with the chip's own, and the download then ends
// with errors.
TEST_P(AvrExtensionTest, PagesFromLongRecordsAreCheckedOnTheChip) {
    const auto& c = GetParam();
    AvrBoard board(dir, c.mcu, kBaud);
    RawLoader loader(board.device(), kBaud);
    ASSERT_TRUE(Ready(loader.handshake(), c.mcu));

    // Two pages from the second on, each in records of 128 bytes; the first page stays blank, so
    // no application starts.
    std::vector<std::uint8_t> image;
    for (std::uint32_t at = c.page; at < 3 * c.page; at += 128) {
        auto bytes = Bytes(128, static_cast<int>(at));
        EXPECT_EQ(loader.data(at, bytes), "~") << at;
        image.insert(image.end(), bytes.begin(), bytes.end());
    }
    const auto far = Bytes(128, 99);
    if (c.far) {
        EXPECT_EQ(loader.data(c.far, far), "~~");
    }
    const auto crc = Crc32(image);
    EXPECT_EQ(loader.check(0, c.page, static_cast<std::uint32_t>(image.size()), crc),
              "~" + Hex8(crc));
    if (c.far) {
        EXPECT_EQ(loader.check(0, c.far, 128, Crc32(far)), "~" + Hex8(Crc32(far)));
    }
    // The nine digits "123456789" are not in the chip, so this CRC cannot match.
    EXPECT_EQ(loader.check(0, c.page, static_cast<std::uint32_t>(image.size()), 0xCBF43926),
              "%" + Hex8(crc));
    EXPECT_EQ(loader.check(0, 0, 0x7FFFFFFF, 0), "%00000000") << "a range beyond the Flash";
    EXPECT_EQ(loader.endOfFile(), "#");

    ASSERT_EQ(board.stop(), 0);
    const auto flash = board.flash();
    EXPECT_EQ(Slice(flash, c.page, image.size()), image);
    if (c.far) {
        EXPECT_EQ(Slice(flash, c.far, far.size()), far);
    }
}

// The EEPROM image is checked the same way, from what the EEPROM holds.
TEST_P(AvrExtensionTest, EepromIsCheckedOnTheChip) {
    const auto& c = GetParam();
    AvrBoard board(dir, c.mcu, kBaud);
    RawLoader loader(board.device(), kBaud);
    ASSERT_TRUE(Ready(loader.handshake(), c.mcu));
    loader.exchange("*", "", 0, 0ms);
    const auto bytes = Bytes(100, 3);
    EXPECT_EQ(loader.data(0x20, bytes), "~");
    EXPECT_EQ(loader.check(1, 0x20, 100, Crc32(bytes)), "~" + Hex8(Crc32(bytes)));
    EXPECT_EQ(loader.endOfFile(), "@");
    ASSERT_EQ(board.stop(), 0);
    EXPECT_EQ(Slice(board.eeprom(), 0x20, 100), bytes);
}

INSTANTIATE_TEST_SUITE_P(Chips, AvrExtensionTest,
                         ::testing::Values(Chip{"atmega328p", 128, 0},
                                           Chip{"atmega2560", 256, 0x1F000}),
                         [](const auto& info) { return std::string(info.param.mcu); });

// A check that fails after the download wrote the reset vector's page: that page is erased
// again, the end is "#", nothing starts, and the bootloader takes the next download.
TEST(AvrExtensionCheck, FailedCheckLeavesNoApplication) {
    test::TempDir dir;
    AvrBoard board(dir, "atmega328p", kBaud, 1);
    RawLoader loader(board.device(), kBaud);
    ASSERT_TRUE(Ready(loader.handshake(), "atmega328p"));
    auto image = bootsim::DecodeHexText(ReadFile(Demo("atmega328p", kBaud, 2))).image;
    ASSERT_EQ(image.segments().size(), 1u);
    const auto& [start, bytes] = *image.segments().begin();
    ASSERT_EQ(start, 0u);
    for (std::size_t at = 0; at < bytes.size(); at += 128) {
        std::vector<std::uint8_t> page(bytes.begin() + at,
                                       bytes.begin() + std::min(bytes.size(), at + 128));
        ASSERT_EQ(loader.data(static_cast<std::uint32_t>(at), page), "~") << at;
    }
    const auto crc = Crc32(bytes);
    const auto size = static_cast<std::uint32_t>(bytes.size());
    EXPECT_EQ(loader.check(0, 0, size, crc ^ 1), "%" + Hex8(crc));
    EXPECT_EQ(loader.endOfFile(), "#");
    EXPECT_EQ(loader.collect(300ms), "") << "nothing started";
    EXPECT_EQ(loader.record(0x00, {0x00}, 0x7F00), "%") << "a page beyond A is refused";
    EXPECT_TRUE(Ready(loader.handshake(), "atmega328p"));
    ASSERT_EQ(board.stop(), 0);
    EXPECT_EQ(Slice(board.flash(), 0, 128), std::vector<std::uint8_t>(128, 0xFF));
}

// What a test sends through the plain protocol: the demo's lines with changes between them.
class AvrDefectTest : public ::testing::Test {
protected:
    const std::string mcu = "atmega328p";
    test::TempDir dir;
    std::vector<std::string> lines = DemoLines(mcu);

    // Sends lines [from, to) and returns their answers.
    std::string send(RawLoader& loader, std::size_t from, std::size_t to) {
        std::string answers;
        for (std::size_t i = from; i < to && i < lines.size(); ++i)
            answers += loader.exchange(lines[i], "", 1);
        return answers;
    }
};

// A stray "*" between two Flash records is no EEPROM command: the rest still goes to the Flash,
// and the application starts.
TEST_F(AvrDefectTest, StrayEepromCommandInsideAFlashImageChangesNothing) {
    AvrBoard board(dir, mcu, kBaud);
    RawLoader loader(board.device(), kBaud);
    ASSERT_TRUE(Ready(loader.handshake(), mcu));
    auto answers = send(loader, 0, 4);
    loader.exchange("*", "", 0, 0ms);
    answers += send(loader, 4, lines.size() - 1);
    answers += loader.exchange(lines.back(), Greeting(2), 0, 3s);
    EXPECT_EQ(answers, std::string(lines.size() - 1, '~') + "@" + Greeting(2));
    ASSERT_EQ(board.stop(), 0);
    EXPECT_EQ(Mismatch(board.flash(), Demo(mcu, kBaud, 2)), "");
    EXPECT_EQ(board.eeprom(), std::string(1024, '\xFF'));
}

// The start sequence in the middle of a file: what follows may be the rest of it, so its end is
// "#" and nothing starts; a download that begins at the reset vector again then succeeds.
TEST_F(AvrDefectTest, RestartInTheMiddleNeverEndsWithSuccess) {
    AvrBoard board(dir, mcu, kBaud);
    RawLoader loader(board.device(), kBaud);
    ASSERT_TRUE(Ready(loader.handshake(), mcu));
    EXPECT_EQ(send(loader, 0, 4), "~~~~");
    EXPECT_EQ(loader.exchange("@&$", "?"), ReadyAnswer(mcu));
    EXPECT_EQ(send(loader, 4, lines.size()), std::string(lines.size() - 5, '~') + "#");
    EXPECT_EQ(loader.collect(300ms), "") << "nothing started";

    EXPECT_TRUE(Ready(loader.handshake(), mcu));
    EXPECT_EQ(send(loader, 0, lines.size() - 1), std::string(lines.size() - 1, '~'));
    EXPECT_EQ(loader.exchange(lines.back(), Greeting(2), 0, 3s), "@" + Greeting(2));
    ASSERT_EQ(board.stop(), 0);
    EXPECT_EQ(Mismatch(board.flash(), Demo(mcu, kBaud, 2)), "");
}

// The active answer to a jump command waits for the start sequence that follows it, so that the
// two leave together: a loader that read "^" alone would ask again and get "^" once more. Alone,
// it leaves a moment later.
TEST_F(AvrDefectTest, ActiveAnswerLeavesWithTheReadyAnswer) {
    AvrBoard board(dir, mcu, kBaud);
    RawLoader loader(board.device(), kBaud);
    ASSERT_TRUE(Ready(loader.handshake(), mcu));
    loader.collect(100ms); // what a handshake sent twice had still coming
    EXPECT_EQ(loader.exchange("$", "", SIZE_MAX, 30ms), "");
    EXPECT_EQ(loader.exchange("@&$", "?"), "^" + ReadyAnswer(mcu));
    EXPECT_EQ(loader.exchange("$", "^", 0, 1s), "^");
}

// A line the loader gave up after three checksum errors is missing: the file ends with "#".
TEST_F(AvrDefectTest, LineGivenUpAfterThreeChecksumErrorsFailsTheFile) {
    AvrBoard board(dir, mcu, kBaud);
    RawLoader loader(board.device(), kBaud);
    ASSERT_TRUE(Ready(loader.handshake(), mcu));
    EXPECT_EQ(send(loader, 0, 5), "~~~~~");
    auto bad = lines[5];
    bad.back() = bad.back() == '0' ? '1' : '0';
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(loader.exchange(bad, "", 1), "-");
    EXPECT_EQ(send(loader, 6, lines.size()), std::string(lines.size() - 7, '~') + "#");
    EXPECT_EQ(loader.collect(300ms), "") << "nothing started";
}

// A record that starts below the boot section and runs into it is refused whole.
TEST_F(AvrDefectTest, RecordRunningIntoTheBootSectionIsRefused) {
    AvrBoard board(dir, mcu, kBaud);
    RawLoader loader(board.device(), kBaud);
    ASSERT_TRUE(Ready(loader.handshake(), mcu));
    EXPECT_EQ(loader.data(0x7000 - 8, std::vector<std::uint8_t>(16, 0x55)), "%");
    EXPECT_EQ(loader.endOfFile(), "#");
    ASSERT_EQ(board.stop(), 0);
    EXPECT_EQ(Mismatch(board.flash(), Bootloader(mcu, kBaud)), "") << "the bootloader changed";
    EXPECT_EQ(Slice(board.flash(), 0x7000 - 8, 8), std::vector<std::uint8_t>(8, 0xFF));
}

// Faults only the chip can have: a page whose write fails, a cell that does not take its value.
// Either is reported, at the next record or at the check, and the file ends with "#".
struct ChipFault {
    const char* name;
    std::vector<std::string> option;
    std::string answers; // to the three pages, then the check
};

void PrintTo(const ChipFault& f, std::ostream* os) {
    *os << f.name;
}

class AvrChipFaultTest : public ::testing::TestWithParam<ChipFault> {};

TEST_P(AvrChipFaultTest, ReportedAndTheFileFails) {
    const auto& f = GetParam();
    test::TempDir dir;
    AvrBoard board(dir, "atmega328p", kBaud, std::nullopt, f.option);
    RawLoader loader(board.device(), kBaud);
    ASSERT_TRUE(Ready(loader.handshake(), "atmega328p"));
    std::vector<std::uint8_t> image;
    std::string answers;
    for (std::uint32_t at = 128; at < 4 * 128; at += 128) {
        auto bytes = Bytes(128, static_cast<int>(at));
        answers += loader.data(at, bytes);
        image.insert(image.end(), bytes.begin(), bytes.end());
    }
    const auto crc = Crc32(image);
    auto checked = loader.check(0, 128, static_cast<std::uint32_t>(image.size()), crc);
    answers += checked.substr(0, 1);
    EXPECT_EQ(answers, f.answers);
    EXPECT_NE(checked, "~" + Hex8(crc));
    EXPECT_EQ(loader.endOfFile(), "#");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, AvrChipFaultTest,
    ::testing::Values(
        // The first page is read back when the third arrives.
        ChipFault{"FailingPageWrite", {"--fail-page-write", "1"}, "~~%%"},
        // In the last page: found at the check.
        ChipFault{"StuckCell", {"--stuck-cell", std::to_string(3 * 128 + 5)}, "~~~%"}),
    [](const auto& info) { return std::string(info.param.name); });

// The rate switch, on a wire that garbles a byte sent at the other side's rate.
class AvrRateTest : public ::testing::Test {
protected:
    test::TempDir dir;
    AvrBoard board{dir, "atmega328p", kBaud, std::nullopt, {"--strict-rate"}};
    RawLoader loader{board.device(), kBaud};
    std::vector<std::uint8_t> bytes = Bytes(128, 5);

    void SetUp() override { ASSERT_TRUE(Ready(loader.handshake(), "atmega328p")); }

    // A record and its check at the rate both sides are at now.
    void expectWorking() {
        EXPECT_EQ(loader.data(256, bytes), "~");
        EXPECT_EQ(loader.check(0, 256, 128, Crc32(bytes)), "~" + Hex8(Crc32(bytes)));
    }

    // Back at the handshake rate, CONFIRM after `silence`, again after each `silence` without an
    // answer: the simulation may run behind the wall clock on a busy machine, and the board may
    // take a garbled CONFIRM for a sign of life.
    std::string confirmAtHandshakeRate(std::chrono::milliseconds silence) {
        loader.setRate(kBaud);
        std::string answer;
        for (int tries = 0; tries < 4 && answer.empty(); ++tries) {
            std::this_thread::sleep_for(silence);
            loader.collect(10ms);
            answer = loader.exchange(Record(0x81, 0, {}), "", 1, 100ms);
        }
        return answer;
    }
};

// A rate the board does not offer is refused and changes nothing; an offered one, confirmed,
// carries the download.
TEST_F(AvrRateTest, ConfirmedSwitchCarriesTheDownload) {
    EXPECT_EQ(loader.setRateCommand(921600), "%");
    EXPECT_EQ(loader.confirm(), "~");
    EXPECT_EQ(loader.setRateCommand(1000000), "~");
    loader.setRate(1000000);
    EXPECT_EQ(loader.confirm(), "~");
    expectWorking();
    EXPECT_EQ(loader.endOfFile(), "@");
}

// The loader cannot follow: the board hears no confirmation and goes back to the handshake rate,
// where the loader's confirmation is answered.
TEST_F(AvrRateTest, UnconfirmedSwitchFallsBackToTheHandshakeRate) {
    EXPECT_EQ(loader.setRateCommand(500000), "~");
    loader.setRate(1000000); // an adapter that gets the rate wrong
    EXPECT_NE(loader.exchange(Record(0x81, 0, {}), "", 1, 100ms), "~");
    EXPECT_EQ(confirmAtHandshakeRate(200ms), "~");
    expectWorking();
}

// A loader gone quiet at the switched rate: after 2 s the board listens at the handshake rate.
TEST_F(AvrRateTest, SilenceAtTheSwitchedRateFallsBack) {
    EXPECT_EQ(loader.setRateCommand(250000), "~");
    loader.setRate(250000);
    EXPECT_EQ(loader.confirm(), "~");
    EXPECT_EQ(confirmAtHandshakeRate(2200ms), "~");
    expectWorking();
}

} // namespace
} // namespace tavo::avr_test
