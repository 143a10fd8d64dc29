// The small pieces the run is built from: the baud table, the found test, closing the port,
// the version text, the image reader's blocks, the 16-bit counters, the whole-second wait and the
// two timers.
#include "engine/Clock.h"
#include "engine/ImageFile.h"
#include "engine/Int16.h"
#include "engine/RunError.h"
#include "engine/RunState.h"
#include "engine/SerialLink.h"
#include "engine/Version.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeHost.h"
#include "tests/support/FakePort.h"
#include "tests/support/TempImages.h"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>
#include <utility>

namespace tavo::test {
namespace {

using namespace engine;

TEST(LineSettings, EveryBaudIndexHasItsOwnStringAndOthersNone) {
    const char* expected[] = {"1200,n,8,1",  "2400,n,8,1",  "4800,n,8,1",  "9600,n,8,1",
                              "14400,n,8,1", "19200,n,8,1", "38400,n,8,1", "56000,n,8,1",
                              "57600,n,8,1", "115200,n,8,1"};
    for (int index = 0; index < 10; ++index)
        EXPECT_EQ(LineSettingsForBaudIndex(index), expected[index]) << "index " << index;
    for (int outside : {-1, 10, std::numeric_limits<int>::min()})
        EXPECT_EQ(LineSettingsForBaudIndex(outside), std::nullopt) << outside;
}

TEST(LineSettings, BaudIsReadFromTheString) {
    EXPECT_EQ(BaudFromLineSettings("56000,n,8,1"), 56000);
    EXPECT_EQ(BaudFromLineSettings("115200,n,8,1"), 115200);
    for (const char* bad : {"", "abc", "19200", ",n,8,1", "-5,n,8,1", "0,n,8,1", "19200;n,8,1"})
        EXPECT_EQ(BaudFromLineSettings(bad), std::nullopt) << '"' << bad << '"';
}

TEST(Contains, FindsTheSettingAnywhereExactly) {
    // Case-sensitive; an empty setting is found in any non-empty buffer.
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"xx?V1.3", "?", true}, {"ab@&$cd", "@&$", true}, {"ab@&cd", "@&$", false},
        {"?v1.3", "V", false},  {"", "~", false},         {"x", "", true},
        {"", "", false}};
    for (auto [buffer, setting, found] : cases)
        EXPECT_EQ(Contains(buffer, setting), found) << '"' << buffer << "\" \"" << setting << '"';
}

TEST(ClosePort, ClosesOnlyAnOpenPortAndSwallowsItsFailure) {
    FakeClock clock;
    FakePort port(clock);
    ClosePort(port);
    EXPECT_TRUE(port.log().empty()) << "a closed port is not closed again";
    port.open();
    ClosePort(port);
    EXPECT_FALSE(port.isOpen());
    port.open();
    port.failOn(PortOp::Close, 2);
    EXPECT_NO_THROW(ClosePort(port));
    EXPECT_EQ(port.log().back(), "close FAILED");
}

TEST(Version, LeadingNumberParse) {
    // A second point ends the number and the decimal separator is always a point. Blanks, tabs
    // and line feeds are ignored even inside the number, a carriage return is not. An exponent
    // without digits is not read.
    const std::pair<const char*, float> cases[] = {
        {"1.3?", 1.3f},     {"?", 0},    {"", 0},         {".", 0},
        {"1.29", 1.29f},    {"2", 2},    {"1.2.3", 1.2f}, {"1,3", 1},
        {"1.3\r\n", 1.3f},  {"-2x", -2}, {"+1.5", 1.5f},  {" 1 .5", 1.5f},
        {"\t\n 1.3", 1.3f}, {"1 2", 12}, {"\r1.3", 0},    {"1e1x", 10},
        {"15E-1", 1.5f},    {"1e", 1},   {"1e+", 1},      {"1e-400", 0}};
    for (auto [text, value] : cases)
        EXPECT_EQ(ParseLeadingNumber(text), value) << '"' << text << '"';
}

TEST(Version, SinglePrecisionEdges) {
    // Rounded once, straight to single precision: too small gives 0 or a denormal, too large is
    // an overflow. Texts for infinity or NaN are no number.
    const std::string zeros(50, '0');
    const std::pair<std::string, float> values[] = {
        {"3.40282356e38", std::numeric_limits<float>::max()}, // just short of rounding up
        {"1.4e-45", std::numeric_limits<float>::denorm_min()},
        {"0." + zeros + "1", 0},
        {"1" + zeros + "e-60", 1e-10f},
        {"inf", 0},
        {"nan", 0}};
    for (const auto& [text, value] : values)
        EXPECT_EQ(ParseLeadingNumber(text), value) << '"' << text << '"';
    for (const auto& text : {"1" + zeros, std::string("-1e39"), std::string("3.4028236e38"),
                             std::string("1e99999999999999999999")})
        EXPECT_THROW(ParseLeadingNumber(text), RunError) << '"' << text << '"';
}

TEST(Version, SinglePrecisionThresholds) {
    EXPECT_FALSE(ParseLeadingNumber("1.3") < kLowestEepromVersion);
    EXPECT_TRUE(ParseLeadingNumber("1.29") < kLowestEepromVersion);
    EXPECT_FALSE(ParseLeadingNumber("1.28") < kLowestRetryingVersion);
    EXPECT_TRUE(ParseLeadingNumber("1.27") < kLowestRetryingVersion);
}

TEST(Version, ShortDecimalForm) {
    const std::pair<float, const char*> cases[] = {{1.3f, "1.3"},           {2.0f, "2"},
                                                   {1.28f, "1.28"},         {10.5f, "10.5"},
                                                   {1234567.0f, "1234567"}, {0.1f, "0.1"}};
    for (auto [value, text] : cases)
        EXPECT_EQ(FormatVersion(value), text);
}

TEST(ImageFile, LineEndsOnTheEdgesBetweenBlocksAndAfterARewind) {
    // Every block size from one byte puts a CR, its LF or a lone LF at the end of some block.
    const TempDir dir;
    const auto path = dir.write("a.hex", "ab\r\ncd\re\n\nf\r\n\r");
    const std::vector<std::string> expected{"ab", "cd", "e", "", "f", ""};
    for (std::size_t block : {1, 2, 3, 4, 5, 64 * 1024}) {
        ImageFile file(block);
        file.open(path);
        for (int pass = 0; pass < 2; ++pass, file.rewind()) {
            std::vector<std::string> lines;
            while (!file.atEnd())
                lines.push_back(file.readLine());
            EXPECT_EQ(lines, expected) << "block " << block << ", pass " << pass;
        }
    }
}

TEST(Int16, StaysWithinSixteenBitsAndOverflowRaisesKeepingTheValue) {
    EXPECT_EQ(Int16::From(32767).value(), 32767);
    EXPECT_EQ(Int16::From(-32768).value(), -32768);
    EXPECT_THROW(Int16::From(32768), RunError);
    EXPECT_THROW(Int16::From(-32769), RunError);
    Int16 count = Int16::From(32766);
    count += 1;
    EXPECT_EQ(count.value(), 32767);
    EXPECT_THROW(count += 1, RunError);
    EXPECT_EQ(count.value(), 32767);
    Int16 low = Int16::From(-32767);
    low -= 1;
    EXPECT_THROW(low -= 1, RunError);
    EXPECT_EQ(low.value(), -32768);
}

TEST(WholeSecondWait, EndsOnTheWholeSecondTheLimitReaches) {
    // Started at 12:00:00.9, a 3-second limit ends at 12:00:03.0; started on the second, it
    // lasts the full 3 seconds.
    for (auto [offset, length] : {std::pair{900, 2100}, std::pair{0, 3000}}) {
        SCOPED_TRACE(offset);
        FakeClock clock(Millis(12 * 3600 * 1000 + offset));
        WholeSecondWait wait(clock, 3);
        EXPECT_EQ(wait.remaining(), Millis(length));
        clock.advanceBy(Millis(length - 1));
        EXPECT_FALSE(wait.expired());
        EXPECT_EQ(wait.remaining(), Millis(1));
        clock.advanceBy(Millis(1));
        EXPECT_TRUE(wait.expired());
        EXPECT_EQ(wait.remaining(), Millis(0));
    }
}

TEST(Timers, TickCountRestsAtFiveAndTheLinesTimerShowsMinusOne) {
    RunState state;
    for (int tick = 1; tick <= 7; ++tick) {
        Timer1_Timer(state);
        EXPECT_EQ(state.TickCount.value(), std::min(tick, 5));
    }
    FakeClock clock;
    FakePort port(clock);
    FakeHost host(clock, port);
    state.LinesRemaining = Int16::From(-1);
    Timer3_Timer(state, host);
    EXPECT_EQ(host.linesRemaining(), "-1");
}

} // namespace
} // namespace tavo::test
