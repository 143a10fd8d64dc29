// The headless host driving the real engine over a fake port on a fake clock: its timers, its
// waits (blocking, never spinning), Ctrl+C and the --on-error answers.
#include "cli/HeadlessHost.h"
#include "cli/ExitCode.h"
#include "engine/DownloadRun.h"
#include "engine/ForwardingPort.h"
#include "engine/RunError.h"
#include "tests/cli/RecordingDisplay.h"
#include "tests/support/FakeBootloader.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakePort.h"
#include "tests/support/TempImages.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

namespace tavo::test {
namespace {

using engine::RunEnd;
using flash::HeadlessHost;
using flash::OnError;

// Stands between the host and the fake port and stops a run that keeps asking the port without
// time passing (a spinning wait), which on a fake clock would never end.
class WatchingPort final : public engine::ForwardingPort {
public:
    WatchingPort(FakePort& inner, FakeClock& clock)
        : ForwardingPort(inner), inner_(inner), clock_(clock) {}

    int countWaiting() override { return poll(), inner_.countWaiting(); }
    std::string takeWaiting() override { return poll(), inner_.takeWaiting(); }
    bool waitForInput(Millis timeout) override {
        poll();
        if (onWaitForInput)
            onWaitForInput();
        if (!inner_.waiting().empty())
            ++waitsWithInputWaiting;
        // A port in trouble may come back at once.
        return !brokenWaits && inner_.waitForInput(timeout);
    }

    int waitsWithInputWaiting = 0;
    bool brokenWaits = false;
    std::function<void()> onWaitForInput;
    int maxPollsAtOneTime = 0;

private:
    void poll() {
        if (clock_.now() != lastPollAt_)
            lastPollAt_ = clock_.now(), polls_ = 0;
        maxPollsAtOneTime = std::max(maxPollsAtOneTime, ++polls_);
        if (polls_ > 1000) {
            ADD_FAILURE() << "the port is polled in a loop at " << clock_.now().count() << " ms";
            throw engine::RunAbandoned{};
        }
    }

    FakePort& inner_;
    FakeClock& clock_;
    Millis lastPollAt_{-1};
    int polls_ = 0;
};

// One host with its fakes; `image` is the Flash file.
struct Rig {
    RunEnd run(OnError onError = OnError::Stop) {
        settings::Settings s;
        s.applicationFile = dir.write("app.hex", Join(image));
        if (!eepromImage.empty()) {
            s.eepromFile = dir.write("data.eep", Join(eepromImage));
            s.eepromCheck = 1;
        }
        host.emplace(state, watch, clock, display, s, onError, &interrupt, [this](Millis d) {
            ++sleeps;
            clock.advanceBy(d);
            if (clock.now() > Millis(200'000)) { // every run here ends well before
                ADD_FAILURE() << "the run does not end";
                throw engine::RunAbandoned{};
            }
            if (onSleep)
                onSleep();
        });
        return engine::DownloadFirmware(state, *host, host->port(), clock).end;
    }

    FakeClock clock{Millis(10'000)};
    FakePort port{clock};
    WatchingPort watch{port, clock};
    engine::RunState state;
    RecordingDisplay display;
    std::atomic<bool> interrupt{false};
    std::function<void()> onSleep;
    int sleeps = 0;
    TempDir dir;
    std::vector<std::string> image = ImageLines(3);
    std::vector<std::string> eepromImage; // none: Flash only
    std::optional<HeadlessHost> host;
};

class HeadlessHostTest : public ::testing::Test, protected Rig {};

FakeBootloader::Options Board(std::string ready = "?V1.28", bool neverReady = false) {
    FakeBootloader::Options options;
    options.ready = Answer(std::move(ready));
    options.neverReady = neverReady;
    return options;
}

TEST_F(HeadlessHostTest, WholeRunShowsTheWindowsTextsInOrderSucceedsAndNeverSpins) {
    // The application's "^" arrives 20 ms into the one-second pause, which does not read it: the
    // host sleeps there instead of spinning.
    FakeBootloader board(port, Board("?V1.3"), LineScript().finalLine(3));
    display.clock = &clock;
    auto start = clock.now();
    ASSERT_EQ(run(), RunEnd::Success);

    EXPECT_EQ(display.entries("status: "),
              (std::vector<std::string>{
                  "status: Initializing the com port",
                  "status: Requesting Ack from target bootloader.  Try #1",
                  "status: Main code responded.  Switching to bootloader.",
                  "status: Requesting Ack from target bootloader.  Try #2",
                  "status: Main code responded.  Switching to bootloader.",
                  "status: Opening the file " + dir.path().string() + "/app.hex.",
                  "status: Sending FLASH File - lines remaining ",
              }));
    EXPECT_EQ(display.entries("version: ").back(), "version: BootLoader Version: 1.3");
    EXPECT_EQ(display.entries("message: "),
              std::vector<std::string>{"message: Flash File successfully downloaded."});
    for (const char* entry : {"started: 2", "progress: 2/2", "ended"})
        EXPECT_TRUE(display.has(entry)) << entry;
    EXPECT_EQ(display.log.back(), "idle");
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(host->interrupted());
    EXPECT_EQ(watch.waitsWithInputWaiting, 0);
    EXPECT_LT(watch.maxPollsAtOneTime, 20);
    EXPECT_GT(sleeps, 0);

    // Timer1 ticked at its 60 ms pace up to the end-of-file wait, which serves no events (its
    // missed ticks come together as one, as a window's timer does).
    auto served = (display.endedAt - start).count();
    EXPECT_GE(host->timer1Ticks(), served / 60 - 1);
    EXPECT_LE(host->timer1Ticks(), served / 60 + 2);
}

TEST_F(HeadlessHostTest, OldProtocolGivesUpOnASilentLineAfterFiveTimerTicks) {
    FakeBootloader board(port, Board("?V1.27"), LineScript().silentAt(1).finalLine(3));
    ASSERT_EQ(run(), RunEnd::Success);
    // Handshake writes two chunks; the three lines follow.
    ASSERT_EQ(port.writeTimes().size(), 5u);
    auto gap = (port.writeTimes()[3] - port.writeTimes()[2]).count();
    EXPECT_GE(gap, 240);
    EXPECT_LE(gap, 300);
    EXPECT_TRUE(display.entries("ask: ").empty());
    EXPECT_TRUE(display.entries("answered: ").empty());
}

TEST_F(HeadlessHostTest, LinesTimerShowsTheRemainingCountOnceASecondWhileSending) {
    image = ImageLines(20);
    FakeBootloader board(port, Board(), LineScript(Answer("~", Millis(250))).finalLine(20));
    ASSERT_EQ(run(), RunEnd::Success);
    // 20 lines at 250 ms: about five seconds of sending, so four or five ticks of Timer3, each
    // showing a smaller count.
    std::vector<int> shown;
    for (const auto& entry : display.entries("lines: "))
        shown.push_back(std::stoi(entry.substr(7)));
    ASSERT_GE(shown.size(), 5u); // the initial count, the ticks and the final "0"
    EXPECT_EQ(shown.front(), 19);
    EXPECT_EQ(shown.back(), 0);
    EXPECT_GE(host->timer3Ticks(), 4);
    EXPECT_LE(host->timer3Ticks(), 5);
    for (std::size_t i = 2; i + 1 < shown.size(); ++i)
        EXPECT_LT(shown[i], shown[i - 1]);
}

TEST_F(HeadlessHostTest, InterruptCancelsTheHandshakeAndClosesThePort) {
    FakeBootloader board(port, Board("?V1.28", true));
    display.clock = &clock;
    auto start = clock.now();
    std::optional<Millis> signalAt;
    onSleep = [&] {
        if (!signalAt && clock.now() - start > Millis(3000)) {
            interrupt = true;
            signalAt = clock.now();
        }
    };
    auto end = run();
    EXPECT_EQ(end, RunEnd::Cancelled);
    EXPECT_TRUE(host->interrupted());
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(display.entries("cancel").size(), 1u);
    EXPECT_TRUE(display.entries("message: ").empty());
    // The host notices the signal within a timer tick; the run stops at its next cancel test,
    // at the latest after the one-second pause that has none.
    ASSERT_TRUE(signalAt);
    EXPECT_LE((display.cancelAt - *signalAt).count(), 60);
    EXPECT_LE((clock.now() - *signalAt).count(), 1000 + 60);
    EXPECT_EQ(flash::ExitCodeFor(end, host->interrupted()), flash::kExitCancelled);
}

TEST_F(HeadlessHostTest, InterruptBeforeTheRunStillCancelsIt) {
    // The run clears Cancel when it starts; Ctrl+C pressed before that must not be lost.
    FakeBootloader board(port, Board(), LineScript().finalLine(3));
    interrupt = true;
    EXPECT_EQ(run(), RunEnd::Cancelled);
    EXPECT_FALSE(port.isOpen());
}

TEST_F(HeadlessHostTest, InterruptDuringTheEepromEndWaitSendsNoFlashLine) {
    // The end-of-file wait serves no events; the next cancel checkpoint, at the top of the Flash
    // file's first line, must see the signal all the same.
    eepromImage = ImageLines(2, 'E');
    FakeBootloader board(port, Board("?V1.3"), LineScript().finalLine(2));
    // "ended": the EEPROM file's lines are all sent, its end wait has begun.
    watch.onWaitForInput = [&] {
        if (display.has("ended"))
            interrupt = true;
    };
    auto end = run();
    EXPECT_EQ(end, RunEnd::Cancelled);
    EXPECT_EQ(board.lines().size(), 2u) << "a Flash line went out";
    EXPECT_TRUE(display.has("status: Sending FLASH File - lines remaining "));
    EXPECT_EQ(display.entries("cancel").size(), 1u);
    EXPECT_EQ(flash::ExitCodeFor(end, host->interrupted()), flash::kExitCancelled);
    EXPECT_FALSE(port.isOpen());
}

TEST(HeadlessHostOnErrorTest, PoliciesAnswerTheLineQuestions) {
    const std::string question = "Checksum error at line 2. Continue with download?";
    const struct {
        OnError policy;
        std::deque<std::optional<bool>> typed;
        RunEnd end;
        std::string shown;
    } cases[] = {
        {OnError::Continue, {}, RunEnd::Success, "answered: " + question + " -> yes"},
        {OnError::Stop, {}, RunEnd::Declined, "answered: " + question + " -> no"},
        {OnError::Ask, {true}, RunEnd::Success, "ask: " + question},
        {OnError::Ask, {false}, RunEnd::Declined, "ask: " + question},
        // End of input at the question: nobody said yes.
        {OnError::Ask, {std::nullopt}, RunEnd::Declined, "ask: " + question},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown + " " + std::to_string(static_cast<int>(c.end)));
        Rig rig;
        FakeBootloader board(rig.port, Board(), LineScript().checksumErrors(2, 3).finalLine(3));
        rig.display.answers = c.typed;
        EXPECT_EQ(rig.run(c.policy), c.end);
        EXPECT_TRUE(rig.display.has(c.shown));
        EXPECT_EQ(rig.display.entries("ask: ").size() + rig.display.entries("answered: ").size(),
                  1u);
    }
}

TEST_F(HeadlessHostTest, PortThatReturnsFromWaitsAtOnceDoesNotMakeTheRunSpin) {
    // A silent line under the new protocol waits three seconds per try; the port comes back from
    // every wait at once without input. The host sleeps the rest instead of returning at once.
    FakeBootloader board(port, Board(), LineScript().silentAt(2).finalLine(3));
    watch.brokenWaits = true;
    auto start = clock.now();
    EXPECT_EQ(run(), RunEnd::Declined);
    EXPECT_TRUE(display.has("answered: Did not receive a response after sending line 2. Continue "
                            "with download? -> no"));
    // Three tries of 2 to 3 seconds each went by on the clock.
    EXPECT_GE((clock.now() - start).count(), 6000);
    EXPECT_LT(watch.maxPollsAtOneTime, 20);
}

} // namespace
} // namespace tavo::test
