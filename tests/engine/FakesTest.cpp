// The fakes the scenarios stand on: if these lie, every scenario lies with them.
#include "engine/RunError.h"
#include "tests/support/FakeBootloader.h"
#include "tests/support/FakeHost.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

namespace tavo::test {
namespace {

using engine::RunError;
using Strings = std::vector<std::string>;

struct Fakes : ::testing::Test {
    FakeClock clock{Millis(1000)};
    FakePort port{clock};
    FakeHost host{clock, port};
};

TEST_F(Fakes, PortInputIsSeenOnlyOnceItHasArrivedAndOpeningOrClosingDropsIt) {
    port.open();
    port.deliverIn(Millis(50), "ab");
    port.deliverIn(Millis(50), "c");
    EXPECT_EQ(port.countWaiting(), 0);
    EXPECT_EQ(port.takeWaiting(), "");
    clock.advanceBy(Millis(50));
    EXPECT_EQ(port.countWaiting(), 3);
    EXPECT_EQ(port.takeWaiting(), "abc");
    EXPECT_EQ(port.takeWaiting(), "");

    port.deliverIn(Millis(0), "now");
    port.deliverIn(Millis(10), "later");
    port.close();
    port.open();
    clock.advanceBy(Millis(20));
    EXPECT_EQ(port.takeWaiting(), "");
}

TEST_F(Fakes, PortWaitForInputMovesTheClockToTheArrivalOrTheTimeout) {
    port.open();
    port.deliverIn(Millis(300), "x");
    EXPECT_FALSE(port.waitForInput(Millis(200)));
    EXPECT_EQ(clock.now(), Millis(1200));
    EXPECT_TRUE(port.waitForInput(Millis(500)));
    EXPECT_EQ(clock.now(), Millis(1300));
    EXPECT_TRUE(port.waitForInput(Millis(500))) << "input already waiting";
    EXPECT_EQ(clock.now(), Millis(1300));
}

TEST_F(Fakes, PortRefusesWhatARealPortRefuses) {
    EXPECT_THROW(port.setPortNumber(0), RunError);
    EXPECT_THROW(port.write("x"), RunError);
    port.setPortNumber(2);
    port.open();
    EXPECT_THROW(port.setPortNumber(3), RunError);
    EXPECT_THROW(port.open(), RunError);
    EXPECT_EQ(port.portNumber(), 2);
    EXPECT_EQ(port.log(), (Strings{"setPortNumber 0 FAILED", "write x FAILED", "setPortNumber 2",
                                   "open", "setPortNumber 3 FAILED", "open FAILED"}));
}

TEST_F(Fakes, PortFailsTheChosenCallOnlyOrEverythingOnceTheBoardVanished) {
    port.open();
    port.failOn(PortOp::Write, 2, "gone");
    port.write("a");
    try {
        port.write("b");
        ADD_FAILURE() << "the second write must fail";
    } catch (const RunError& error) {
        EXPECT_EQ(error.reason(), "gone");
    }
    port.write("c");
    EXPECT_EQ(port.written(), "ac");

    port.vanishAfterWrites(3);
    port.write("d");
    EXPECT_THROW(port.write("e"), RunError);
    EXPECT_THROW(port.takeWaiting(), RunError);
    EXPECT_THROW(port.countWaiting(), RunError);
    port.close();
    EXPECT_FALSE(port.isOpen());
}

TEST_F(Fakes, HostWaitStopsAtTheEarliestEvent) {
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

TEST_F(Fakes, HostTimersTickOnFakeTime) {
    host.state().LinesRemaining = engine::Int16::From(7);
    host.setLinesTimerEnabled(true);
    clock.advanceBy(Millis(2500));
    host.yield();
    EXPECT_EQ(host.timer1Ticks(), 2500 / 60);
    EXPECT_EQ(host.state().TickCount.value(), 5);
    EXPECT_EQ(host.entries("label14: "), (Strings{"7", "7"}));
    host.setLinesTimerEnabled(false);
    clock.advanceBy(Millis(2000));
    host.yield();
    EXPECT_EQ(host.entries("label14: ").size(), 2u);
}

TEST_F(Fakes, HostCatchesALoopThatNeverWaitsAndAnUnscriptedQuestion) {
    port.open();
    EXPECT_NONFATAL_FAILURE(
        {
            try {
                while (port.countWaiting() == 0)
                    host.yield();
            } catch (const engine::RunAbandoned&) {
            }
        },
        "spins instead of waiting");
    bool yes = true;
    EXPECT_NONFATAL_FAILURE(yes = host.askYesNo("Go on?"), "unexpected question: Go on?");
    EXPECT_FALSE(yes) << "an unscripted question is answered No";
}

TEST_F(Fakes, TargetTellsLinesFromRepeatsAndCommands) {
    FakeBootloader target(port, {}, LineScript().checksumErrors(2, 1).finalLine(3));
    port.open();
    for (const char* chunk : {"$@&$", "$@&$", "*!", ":A", ":B", ":B", ":C"})
        port.write(chunk);
    clock.advanceBy(kAnswerDelay);
    EXPECT_EQ(target.handshakeChunks().size(), 2u);
    EXPECT_EQ(target.commands(), Strings{"*!"});
    ASSERT_EQ(target.lines().size(), 4u);
    EXPECT_EQ(target.lines()[2].line, 2);
    EXPECT_EQ(target.lines()[2].attempt, 2);
    EXPECT_EQ(port.takeWaiting(), "^?V1.3~-~@");
}

} // namespace
} // namespace tavo::test
