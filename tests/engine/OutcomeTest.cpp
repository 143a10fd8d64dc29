// The end of a file and of the run: the end-of-file answer, the two-file run, the line limit,
// files that cannot be opened, a board that goes away, failures of any kind and the time limit.
#include "tests/engine/Scenario.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace tavo::test {
namespace {

inline constexpr const char* kFlashDone = "Flash File successfully downloaded.";
inline constexpr const char* kErrors = "Error encountered while downloading file.";
inline constexpr const char* kNoEndAnswer =
    "Error encountered while downloading file.  No response from bootloader at end of file.";

class Outcome : public Scenario {};

TEST_F(Outcome, TheEndOfFileAnswerDecides) {
    using Span = std::pair<Millis, Millis>; // from the last line's write to the end
    const Span anyTime{0ms, 1h};
    struct Case {
        const char* name;
        Reply last; // to the last of three lines
        RunEnd end;
        const char* message;
        Span waited;
    };
    // "@" does not end the end-of-file wait, which ends on a whole second 2 to 3 seconds after
    // the answer; "#" ends it at once, also when it comes during the wait.
    const Case cases[] = {{"Complete",
                           Answer("@"),
                           RunEnd::Success,
                           kFlashDone,
                           {kAnswerDelay + 2s, kAnswerDelay + 3s}},
                          {"WithErrors",
                           Answer("#"),
                           RunEnd::CompletedWithErrors,
                           kErrors,
                           {kAnswerDelay, kAnswerDelay}},
                          {"None", Answer("~"), RunEnd::NoEndOfFileAnswer, kNoEndAnswer, anyTime},
                          {"Both", Answer("#@"), RunEnd::Success, kFlashDone, anyTime},
                          {"CompleteDuringTheWait",
                           {Delivery{20ms, "~"}, Delivery{1500ms, "@"}},
                           RunEnd::Success,
                           kFlashDone,
                           anyTime},
                          {"WithErrorsDuringTheWait",
                           {Delivery{20ms, "~"}, Delivery{1500ms, "#"}},
                           RunEnd::CompletedWithErrors,
                           kErrors,
                           {1500ms, 1500ms}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig run(clock, {}, LineScript().at(3, c.last));
        run.host.controls().applicationFile = dir.write("a.hex", Join(ImageLines(3)));
        EXPECT_EQ(run.Run(), c.end);
        ASSERT_EQ(run.host.messages().size(), 1u);
        EXPECT_EQ(run.host.messages()[0].text, c.message);
        EXPECT_EQ(run.host.messages()[0].icon, MessageIcon::None);
        // A failure keeps the progress reached.
        auto progress = c.end == RunEnd::Success ? "0" : "2";
        EXPECT_EQ(std::to_string(run.host.progressValue()), progress);
        EXPECT_EQ(run.host.entries("progress: ").back(), progress);
        auto waited = clock.now() - run.port.writeTimes().back();
        EXPECT_GE(waited, c.waited.first);
        EXPECT_LE(waited, c.waited.second);
    }
}

TEST_F(Outcome, AfterAYesOnTheLastLineTheEndWaitStartsEmpty) {
    FlashImage(ImageLines(2));
    // "@" stops the repeats, "-" asks; the Yes clears the buffer and the "@" with it.
    Target({}, LineScript().finalLine(2, "-@"));
    host.answer(true);
    Run();
    EXPECT_EQ(host.questions(), Answered(ChecksumQuestion(2)));
    EXPECT_EQ(result.end, RunEnd::NoEndOfFileAnswer);
}

TEST_F(Outcome, EepromOnlyGetsThePlainWriteCommand) {
    auto path = EepromImage(ImageLines(2, 'E'));
    host.controls().flashCheck = 0;
    Target({}, LineScript().finalLine(2));
    EXPECT_EQ(Run().end, RunEnd::Success);
    EXPECT_EQ(target->commands(), Strings{"*"});
    EXPECT_EQ(WritesAfterHandshake(), (Strings{"*", ImageLines(2, 'E')[0], ImageLines(2, 'E')[1]}));
    EXPECT_EQ(Messages(), Strings{"EEPROM File successfully downloaded."});
    EXPECT_TRUE(InOrder(host.statuses(), {"Opening the file " + path + ".",
                                          "Sending EEPROM File - lines remaining "}));
    EXPECT_EQ(host.state().CurrentFile, 1);
}

TEST_F(Outcome, EepromThenFlashAfterOneHandshake) {
    auto eepromPath = EepromImage(ImageLines(2, 'E'));
    auto flashPath = Flash(3, LineScript().finalLine(2).finalLine(5));

    EXPECT_EQ(Run().end, RunEnd::Success);
    EXPECT_EQ(target->handshakeChunks().size(), 2u) << "one handshake";
    auto e = ImageLines(2, 'E');
    auto f = ImageLines(3);
    EXPECT_EQ(WritesAfterHandshake(), (Strings{"*!", e[0], e[1], f[0], f[1], f[2]}));
    EXPECT_EQ(Messages(), Strings{"Flash & EEPROM Files successfully downloaded."});
    EXPECT_TRUE(
        InOrder(host.log(),
                {"status: Opening the file " + eepromPath + ".", "progress max: 1",
                 "status: Sending EEPROM File - lines "
                 "remaining ",
                 "label14: 1", "timer3 on", "label14: 0", "timer3 off",
                 "status: Opening the file " + flashPath + ".", "progress max: 2",
                 "status: Sending FLASH File - lines "
                 "remaining ",
                 "label14: 2", "timer3 on", "label14: 0", "timer3 off",
                 "message: Flash & EEPROM Files successfully downloaded.", "progress: 0", "idle"}));
    EXPECT_EQ(host.state().CurrentFile, 2);
}

TEST_F(Outcome, TheEepromEndAnswerIsNotJudged) {
    for (const char* eepromEnd : {"#", "~"}) {
        SCOPED_TRACE(eepromEnd);
        Rig run(clock, {}, LineScript().finalLine(2, eepromEnd).finalLine(4));
        run.host.controls().eepromCheck = 1;
        run.host.controls().eepromFile = dir.write("e.eep", Join(ImageLines(2, 'E')));
        run.host.controls().applicationFile = dir.write("a.hex", Join(ImageLines(2)));
        EXPECT_EQ(run.Run(), RunEnd::Success);
        EXPECT_EQ(run.host.entries("message: "),
                  Strings{"Flash & EEPROM Files successfully downloaded."});
        EXPECT_EQ(run.target.lines().size(), 4u);
    }
}

TEST_F(Outcome, WithBothFilesTheFlashEndAnswerDecides) {
    EepromImage(ImageLines(2, 'E'));
    Flash(2, LineScript().finalLine(2, "@").finalLine(4, "#"));
    EXPECT_EQ(Run().end, RunEnd::CompletedWithErrors);
    EXPECT_EQ(Messages(), Strings{kErrors});
}

TEST_F(Outcome, TheLargestImageIsSentWhole) {
    auto lines = ImageLines(32767);
    FlashImage(lines);
    Target({}, LineScript(Answer("~", 1ms)).finalLine(32767));
    EXPECT_EQ(Run().end, RunEnd::Success);
    EXPECT_EQ(target->lines().size(), 32767u);
    EXPECT_EQ(target->lines().back().text, lines.back());
    EXPECT_TRUE(host.logHas("progress max: 32766"));
    EXPECT_TRUE(host.logHas("progress: 32766"));
    EXPECT_EQ(host.state().LinesRemaining.value(), -1);
}

TEST_F(Outcome, OneLineMoreIsRefusedBeforeItsFirstLine) {
    Flash(32768);
    // The window's message is that of any download error; the result names the cause.
    EXPECT_EQ(Run().end, RunEnd::ImageTooLong);
    EXPECT_EQ(result.reason, "more than 32,767 lines");
    EXPECT_EQ(Messages(), Strings{std::string(kDownloadError) + " [warning]"});
    EXPECT_TRUE(WritesAfterHandshake().empty());
    EXPECT_TRUE(host.entries("progress").empty());
    EXPECT_EQ(host.log().back(), "idle");
}

TEST_F(Outcome, EmptyImageSendsNothingAndGetsNoEndAnswer) {
    FlashImage({});
    Target();
    EXPECT_EQ(Run().end, RunEnd::NoEndOfFileAnswer);
    EXPECT_TRUE(WritesAfterHandshake().empty());
}

TEST_F(Outcome, APathThatIsNoReadableFileCannotBeOpened) {
    // "ab": two characters pass the entry checks. A FIFO and an endless device are refused
    // unopened: a reader of the FIFO would block (the watcher lets one go, and tells).
    std::vector<std::string> paths{(dir.path() / "missing.hex").string(), dir.path().string(),
                                   std::string("ab")};
    std::atomic<bool> fifoRead{false};
#ifndef _WIN32
    auto fifo = (dir.path() / "fifo.hex").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    paths.insert(paths.end(), {fifo, "/dev/zero"});
    std::jthread watcher([&](std::stop_token stop) {
        for (; !stop.stop_requested(); std::this_thread::sleep_for(5ms))
            if (int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK); fd >= 0)
                fifoRead = true, ::close(fd);
    });
#endif
    for (const auto& path : paths) {
        SCOPED_TRACE(path);
        Rig run(clock);
        run.host.controls().applicationFile = path;
        EXPECT_EQ(run.Run(), RunEnd::OpenError);
        auto error = "Error opening " + path + ". [warning]";
        EXPECT_EQ(run.host.entries("message: "), Strings{error});
        EXPECT_TRUE(InOrder(run.host.log(), {Status("Opening the file " + path + "."),
                                             "message: " + error, "idle"}));
        EXPECT_EQ(run.port.writeCount(), 2) << "the handshake only";
        EXPECT_EQ(run.port.log().back(), "close");
    }
    EXPECT_FALSE(fifoRead);
}

TEST_F(Outcome, MissingEepromFileIsNamedAndNothingIsSent) {
    Flash(2);
    auto path = (dir.path() / "missing.eep").string();
    host.controls().eepromFile = path;
    host.controls().eepromCheck = 1;
    EXPECT_EQ(Run().end, RunEnd::OpenError);
    EXPECT_EQ(Messages(), Strings{"Error opening " + path + ". [warning]"});
    EXPECT_TRUE(WritesAfterHandshake().empty()) << "not even the EEPROM-write command";
}

TEST_F(Outcome, FlashFileGoneAfterTheEepromFile) {
    EepromImage(ImageLines(2, 'E'));
    auto path = FlashImage(ImageLines(2));
    // Removed while the EEPROM file is being sent.
    host.when([this] { return target->lines().size() == 1; },
              [path] { std::filesystem::remove(path); });
    Target();
    EXPECT_EQ(Run().end, RunEnd::OpenError);
    EXPECT_EQ(LinesSent(), ImageLines(2, 'E'));
    EXPECT_EQ(Messages(), Strings{"Error opening " + path + ". [warning]"});
    EXPECT_EQ(port.log().back(), "close");
}

TEST_F(Outcome, VanishedBoardMidFile) {
    Flash(5);
    // Two handshake writes and two lines get through.
    port.vanishAfterWrites(4);
    EXPECT_EQ(Run().end, RunEnd::DownloadError);
    EXPECT_EQ(result.reason, "No such device");
    EXPECT_EQ(Messages(), Strings{std::string(kDownloadError) + " [warning]"});
    EXPECT_EQ(host.log().back(), "idle");
    EXPECT_EQ(LinesSent().size(), 2u);
}

TEST_F(Outcome, AHangUpAfterTheVerdictKeepsIt) {
    // A board that resets into its new firmware drops the line after its last answer: "@" in
    // hand is a success; without it, or with the Flash file still to send, the failure stands.
    const std::tuple<const char*, bool, RunEnd> cases[] = {{"@", false, RunEnd::Success},
                                                           {"~", false, RunEnd::DownloadError},
                                                           {"@", true, RunEnd::DownloadError}};
    for (auto [verdict, eeprom, end] : cases) {
        SCOPED_TRACE(std::string(verdict) + (eeprom ? " after the EEPROM file" : ""));
        Rig run(clock, {}, LineScript().finalLine(2, verdict));
        run.host.controls().applicationFile = dir.write("a.hex", Join(ImageLines(2)));
        run.host.controls().eepromCheck = eeprom;
        run.host.controls().eepromFile = dir.write("e.eep", Join(ImageLines(2, 'E')));
        run.port.hangUpOn(PortOp::WaitForInput); // only the end-of-file wait blocks on the port
        EXPECT_EQ(run.Run(), end);
        EXPECT_EQ(run.host.messages().size(), 1u);
        EXPECT_EQ(run.target.lines().size(), 2u);
    }
}

TEST_F(Outcome, EveryExceptionLandsInTheHandlerOfItsStage) {
    const std::tuple<PortOp, RunEnd, const char*> stages[] = {
        {PortOp::Open, RunEnd::PortError, kPortError},
        {PortOp::Write, RunEnd::DownloadError, kDownloadError},         // the handshake
        {PortOp::WaitForInput, RunEnd::DownloadError, kDownloadError}}; // the end, no verdict
    const std::tuple<std::exception_ptr, const char*, const char*> kinds[] = {
        {std::make_exception_ptr(std::bad_alloc()), "std::bad_alloc", "std::bad_alloc"},
        {std::make_exception_ptr(std::system_error(EIO, std::generic_category(), "tcdrain")),
         "tcdrain: Input/output error", "Input/output error"},
        {std::make_exception_ptr(std::out_of_range("index 7")), "index 7", "index 7"}};
    for (auto [op, end, text] : stages) {
        for (auto [error, detail, reason] : kinds) {
            SCOPED_TRACE(std::string(text) + " / " + detail);
            Rig run(clock, {}, LineScript().finalLine(2, "~"));
            run.host.controls().applicationFile = dir.write("a.hex", Join(ImageLines(2)));
            run.port.throwOn(op, 1, error);
            auto ended = RunChecked(run.host, run.port, clock);
            EXPECT_EQ(ended.end, end);
            EXPECT_EQ(ended.reason, reason);
            EXPECT_EQ(run.host.entries("message: "), Strings{std::string(text) + " [warning]"});
            EXPECT_EQ(run.host.messages().at(0).detail, detail);
        }
    }
}

TEST_F(Outcome, TheTimeLimitEndsTheRunAsACancelDoes) {
    // Each run starts on a whole second; the handshake takes 2 s, each line 20 ms. A silent
    // line 1 is written three times, then the question about it is answered No.
    const struct {
        Millis limit;
        bool eeprom;
        int silentLine;
        RunEnd end;
        std::size_t lines;
    } cases[] = {{3500ms, false, 0, RunEnd::TimedOut, 0}, // in the handshake: the board is silent
                 {2500ms, false, 1, RunEnd::TimedOut, 3}, // in a line's wait
                 {3000ms, true, 0, RunEnd::TimedOut, 2},  // in the EEPROM end wait: no Flash line
                 {3000ms, false, 0, RunEnd::Success, 2}}; // in the last end wait: it stands
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limit.count());
        FakeClock caseClock{Millis(12 * 3600 * 1000 + 1000)};
        FakeBootloader::Options board;
        if (c.lines == 0)
            board = {.neverReady = true, .active = Silence()};
        Rig run(caseClock, board, LineScript().finalLine(c.eeprom ? 4 : 2).silentAt(c.silentLine));
        run.host.controls().applicationFile = dir.write("a.hex", Join(ImageLines(2)));
        run.host.controls().eepromCheck = c.eeprom;
        run.host.controls().eepromFile = dir.write("e.eep", Join(ImageLines(2, 'E')));
        if (c.silentLine)
            run.host.answer(false);
        run.runOptions.deadline = caseClock.now() + c.limit;
        EXPECT_EQ(run.Run(), c.end);
        EXPECT_EQ(run.target.lines().size(), c.lines);
        EXPECT_EQ(run.host.messages().empty(), c.end == RunEnd::TimedOut);
        if (c.lines == 0) { // the limit ends the wait it falls in on time
            EXPECT_EQ(caseClock.now(), run.runOptions.deadline);
        }
    }
}

TEST_F(Outcome, ARefusedCloseAtTheEndIsReported) {
    Flash(2, LineScript().finalLine(2));
    port.failOn(PortOp::Close, 1, "Input/output error");
    Run(/*expectPortClosed=*/false);
    EXPECT_EQ(Messages(), (Strings{kFlashDone}));
    EXPECT_EQ(result.end, RunEnd::Success);
}

} // namespace
} // namespace tavo::test
