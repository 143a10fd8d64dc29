// The fakes the scenarios stand on: if these lie, every scenario lies with them.
#include "engine/RunError.h"
#include "tests/support/FakeBootloader.h"
#include "tests/support/FakeHost.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

namespace tavo::test {
namespace {

using engine::RunError;

TEST(FakePortTest, InputIsSeenOnlyOnceItHasArrived) {
    FakeClock clock;
    FakePort port(clock);
    port.open();
    port.deliverIn(Millis(50), "ab");
    port.deliverIn(Millis(50), "c");
    EXPECT_EQ(port.countWaiting(), 0);
    EXPECT_EQ(port.takeWaiting(), "");
    clock.advanceBy(Millis(50));
    EXPECT_EQ(port.countWaiting(), 3);
    EXPECT_EQ(port.takeWaiting(), "abc");
    EXPECT_EQ(port.takeWaiting(), "");
}

TEST(FakePortTest, WaitForInputMovesTheClockToTheArrivalOrTheTimeout) {
    FakeClock clock(Millis(1000));
    FakePort port(clock);
    port.open();
    port.deliverIn(Millis(300), "x");
    EXPECT_FALSE(port.waitForInput(Millis(200)));
    EXPECT_EQ(clock.now(), Millis(1200));
    EXPECT_TRUE(port.waitForInput(Millis(500)));
    EXPECT_EQ(clock.now(), Millis(1300));
    EXPECT_TRUE(port.waitForInput(Millis(500))) << "input already waiting";
    EXPECT_EQ(clock.now(), Millis(1300));
}

TEST(FakePortTest, ClosingAndOpeningDropQueuedInput) {
    FakeClock clock;
    FakePort port(clock);
    port.open();
    port.deliverIn(Millis(0), "now");
    port.deliverIn(Millis(10), "later");
    port.close();
    port.open();
    clock.advanceBy(Millis(20));
    EXPECT_EQ(port.takeWaiting(), "");
}

TEST(FakePortTest, RefusesWhatARealPortRefuses) {
    FakeClock clock;
    FakePort port(clock);
    EXPECT_THROW(port.setPortNumber(0), RunError);
    EXPECT_THROW(port.write("x"), RunError);
    port.setPortNumber(2);
    port.open();
    EXPECT_THROW(port.setPortNumber(3), RunError);
    EXPECT_THROW(port.open(), RunError);
    EXPECT_EQ(port.portNumber(), 2);
    EXPECT_EQ(port.log(), (std::vector<std::string>{"setPortNumber 0 FAILED", "write x FAILED",
                                                    "setPortNumber 2", "open",
                                                    "setPortNumber 3 FAILED", "open FAILED"}));
}

TEST(FakePortTest, ScriptedFailuresHitTheChosenCallOnly) {
    FakeClock clock;
    FakePort port(clock);
    port.open();
    port.failOn(PortOp::Write, 2, "gone");
    port.write("a");
    try {
        port.write("b");
        FAIL() << "the second write must fail";
    } catch (const RunError& error) {
        EXPECT_EQ(error.reason(), "gone");
    }
    port.write("c");
    EXPECT_EQ(port.written(), "ac");
}

TEST(FakePortTest, AVanishedBoardFailsEveryWriteAndRead) {
    FakeClock clock;
    FakePort port(clock);
    port.open();
    port.vanishAfterWrites(1);
    port.write("a");
    EXPECT_THROW(port.write("b"), RunError);
    EXPECT_THROW(port.takeWaiting(), RunError);
    EXPECT_THROW(port.countWaiting(), RunError);
    port.close();
    EXPECT_FALSE(port.isOpen());
}

TEST(FakeHostTest, WaitStopsAtTheEarliestEvent) {
    FakeClock clock(Millis(1000));
    FakePort port(clock);
    FakeHost host(clock, port);
    port.open();
    port.deliverIn(Millis(25), "x");
    host.waitForEvents(Millis(500));
    EXPECT_EQ(clock.now(), Millis(1025)) << "serial input";
    host.waitForEvents(Millis(500));
    EXPECT_EQ(clock.now(), Millis(1060)) << "Timer1";
    EXPECT_EQ(host.timer1Ticks(), 1);
    host.waitForEvents(Millis(10));
    EXPECT_EQ(clock.now(), Millis(1070)) << "timeout";
    host.clickCancelAt(Millis(1100));
    host.waitForEvents(std::nullopt);
    EXPECT_EQ(clock.now(), Millis(1100)) << "scripted click";
    EXPECT_TRUE(host.state().CancelRequested);
}

TEST(FakeHostTest, TimersTickOnFakeTime) {
    FakeClock clock(Millis(0));
    FakePort port(clock);
    FakeHost host(clock, port);
    host.state().LinesRemaining = engine::Int16::From(7);
    host.setLinesTimerEnabled(true);
    clock.advanceBy(Millis(2500));
    host.yield();
    EXPECT_EQ(host.timer1Ticks(), 2500 / 60);
    EXPECT_EQ(host.state().TickCount.value(), 5);
    EXPECT_EQ(host.entries("label14: "), (std::vector<std::string>{"7", "7"}));
    host.setLinesTimerEnabled(false);
    clock.advanceBy(Millis(2000));
    host.yield();
    EXPECT_EQ(host.entries("label14: ").size(), 2u);
}

TEST(FakeHostTest, ALoopThatNeverWaitsIsCaught) {
    FakeClock clock;
    FakePort port(clock);
    FakeHost host(clock, port);
    port.open();
    EXPECT_NONFATAL_FAILURE(
        {
            try {
                for (;;) {
                    if (port.countWaiting() > 0)
                        break;
                    host.yield();
                }
            } catch (const engine::RunAbandoned&) {
            }
        },
        "spins instead of waiting");
}

TEST(FakeHostTest, AnUnscriptedQuestionFailsAndIsAnsweredNo) {
    FakeClock clock;
    FakePort port(clock);
    FakeHost host(clock, port);
    bool yes = true;
    EXPECT_NONFATAL_FAILURE(yes = host.askYesNo("Go on?"), "unexpected question: Go on?");
    EXPECT_FALSE(yes);
}

TEST(FakeBootloaderTest, TellsLinesFromRepeatsAndCommands) {
    FakeClock clock;
    FakePort port(clock);
    FakeBootloader target(port, {}, LineScript().checksumErrors(2, 1).finalLine(3));
    port.open();
    for (const char* chunk : {"$@&$", "$@&$", "*!", ":A", ":B", ":B", ":C"})
        port.write(chunk);
    clock.advanceBy(kAnswerDelay);
    EXPECT_EQ(target.handshakeChunks().size(), 2u);
    EXPECT_EQ(target.commands(), std::vector<std::string>{"*!"});
    ASSERT_EQ(target.lines().size(), 4u);
    EXPECT_EQ(target.lines()[2].line, 2);
    EXPECT_EQ(target.lines()[2].attempt, 2);
    EXPECT_EQ(port.takeWaiting(), "^?V1.3~-~@");
}

} // namespace
} // namespace tavo::test
