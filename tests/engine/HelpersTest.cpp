// The small pieces the run is built from: the baud table, the found test, closing the port,
// the version text, the 16-bit counters, the whole-second wait and the two timers.
#include "engine/Clock.h"
#include "engine/Int16.h"
#include "engine/RunError.h"
#include "engine/RunState.h"
#include "engine/SerialLink.h"
#include "engine/Version.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeHost.h"
#include "tests/support/FakePort.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tavo::test {
namespace {

using namespace engine;

TEST(LineSettings, EveryBaudIndexHasItsOwnString) {
    const char* expected[] = {"1200,n,8,1",  "2400,n,8,1",  "4800,n,8,1",  "9600,n,8,1",
                              "14400,n,8,1", "19200,n,8,1", "38400,n,8,1", "56000,n,8,1",
                              "57600,n,8,1", "115200,n,8,1"};
    for (int index = 0; index < 10; ++index)
        EXPECT_EQ(LineSettingsForBaudIndex(index), expected[index]) << "index " << index;
}

TEST(LineSettings, IndexOutsideTheListGivesNothing) {
    EXPECT_EQ(LineSettingsForBaudIndex(-1), std::nullopt);
    EXPECT_EQ(LineSettingsForBaudIndex(10), std::nullopt);
    EXPECT_EQ(LineSettingsForBaudIndex(std::numeric_limits<int>::min()), std::nullopt);
}

TEST(LineSettings, BaudIsReadFromTheString) {
    EXPECT_EQ(BaudFromLineSettings("56000,n,8,1"), 56000);
    EXPECT_EQ(BaudFromLineSettings("115200,n,8,1"), 115200);
    for (const char* bad : {"", "abc", "19200", ",n,8,1", "-5,n,8,1", "0,n,8,1", "19200;n,8,1"})
        EXPECT_EQ(BaudFromLineSettings(bad), std::nullopt) << '"' << bad << '"';
}

TEST(Contains, FindsTheSettingAnywhereExactly) {
    EXPECT_TRUE(Contains("xx?V1.3", "?"));
    EXPECT_TRUE(Contains("ab@&$cd", "@&$"));
    EXPECT_FALSE(Contains("ab@&cd", "@&$"));
    EXPECT_FALSE(Contains("?v1.3", "V")) << "the test is case-sensitive";
    EXPECT_FALSE(Contains("", "~"));
}

TEST(Contains, EmptySettingIsFoundInAnyNonEmptyBuffer) {
    EXPECT_TRUE(Contains("x", ""));
    EXPECT_FALSE(Contains("", ""));
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
    EXPECT_EQ(ParseLeadingNumber("1.3?"), 1.3f);
    EXPECT_EQ(ParseLeadingNumber("?"), 0.0f);
    EXPECT_EQ(ParseLeadingNumber(""), 0.0f);
    EXPECT_EQ(ParseLeadingNumber("."), 0.0f);
    EXPECT_EQ(ParseLeadingNumber("1.29"), 1.29f);
    EXPECT_EQ(ParseLeadingNumber("2"), 2.0f);
    EXPECT_EQ(ParseLeadingNumber("1.2.3"), 1.2f) << "a second point ends the number";
    EXPECT_EQ(ParseLeadingNumber("1,3"), 1.0f) << "the decimal separator is always a point";
    EXPECT_EQ(ParseLeadingNumber("1.3\r\n"), 1.3f);
    EXPECT_EQ(ParseLeadingNumber("-2x"), -2.0f);
    EXPECT_EQ(ParseLeadingNumber("+1.5"), 1.5f);
}

TEST(Version, BlanksTabsAndLineFeedsAreIgnoredEvenInsideTheNumber) {
    EXPECT_EQ(ParseLeadingNumber(" 1 .5"), 1.5f);
    EXPECT_EQ(ParseLeadingNumber("\t\n 1.3"), 1.3f);
    EXPECT_EQ(ParseLeadingNumber("1 2"), 12.0f);
    EXPECT_EQ(ParseLeadingNumber("\r1.3"), 0.0f) << "a carriage return is not skipped";
}

TEST(Version, Exponent) {
    EXPECT_EQ(ParseLeadingNumber("1e1x"), 10.0f);
    EXPECT_EQ(ParseLeadingNumber("15E-1"), 1.5f);
    EXPECT_EQ(ParseLeadingNumber("1e"), 1.0f) << "an exponent without digits is not read";
    EXPECT_EQ(ParseLeadingNumber("1e+"), 1.0f);
}

TEST(Version, OutOfRangeNumbersDoNotBreakTheParse) {
    EXPECT_TRUE(std::isinf(ParseLeadingNumber("1e39")));
    EXPECT_TRUE(std::isinf(ParseLeadingNumber("1e400")));
    EXPECT_EQ(ParseLeadingNumber("1e-400"), 0.0f);
}

TEST(Version, SinglePrecisionThresholds) {
    EXPECT_FALSE(ParseLeadingNumber("1.3") < kLowestEepromVersion);
    EXPECT_TRUE(ParseLeadingNumber("1.29") < kLowestEepromVersion);
    EXPECT_FALSE(ParseLeadingNumber("1.28") < kLowestRetryingVersion);
    EXPECT_TRUE(ParseLeadingNumber("1.27") < kLowestRetryingVersion);
}

TEST(Version, ShortDecimalForm) {
    EXPECT_EQ(FormatVersion(1.3f), "1.3");
    EXPECT_EQ(FormatVersion(2.0f), "2");
    EXPECT_EQ(FormatVersion(1.28f), "1.28");
    EXPECT_EQ(FormatVersion(10.5f), "10.5");
    EXPECT_EQ(FormatVersion(1234567.0f), "1234567");
    EXPECT_EQ(FormatVersion(0.1f), "0.1");
}

TEST(Int16, StaysWithinSixteenBits) {
    EXPECT_EQ(Int16::From(32767).value(), 32767);
    EXPECT_EQ(Int16::From(-32768).value(), -32768);
    EXPECT_THROW(Int16::From(32768), RunError);
    EXPECT_THROW(Int16::From(-32769), RunError);
}

TEST(Int16, OverflowRaisesAndKeepsTheValue) {
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

TEST(WholeSecondWait, StartedLateInItsSecondItIsShorter) {
    // 12:00:00.9: a 3-second limit ends at 12:00:03.0.
    FakeClock clock(Millis(12 * 3600 * 1000 + 900));
    WholeSecondWait wait(clock, 3);
    EXPECT_EQ(wait.remaining(), Millis(2100));
    clock.advanceBy(Millis(2099));
    EXPECT_FALSE(wait.expired());
    clock.advanceBy(Millis(1));
    EXPECT_TRUE(wait.expired());
    EXPECT_EQ(wait.remaining(), Millis(0));
}

TEST(WholeSecondWait, StartedOnTheSecondItLastsTheFullLimit) {
    FakeClock clock(Millis(12 * 3600 * 1000));
    WholeSecondWait wait(clock, 3);
    clock.advanceBy(Millis(2999));
    EXPECT_FALSE(wait.expired());
    EXPECT_EQ(wait.remaining(), Millis(1));
    clock.advanceBy(Millis(1));
    EXPECT_TRUE(wait.expired());
}

TEST(Timers, TickCountCountsToFiveAndRests) {
    RunState state;
    for (int tick = 1; tick <= 7; ++tick) {
        Timer1_Timer(state);
        EXPECT_EQ(state.TickCount.value(), std::min(tick, 5));
    }
}

TEST(Timers, LinesTimerShowsTheCountIncludingMinusOne) {
    FakeClock clock;
    FakePort port(clock);
    FakeHost host(clock, port);
    RunState state;
    state.LinesRemaining = Int16::From(-1);
    Timer3_Timer(state, host);
    EXPECT_EQ(host.linesRemaining(), "-1");
}

} // namespace
} // namespace tavo::test
