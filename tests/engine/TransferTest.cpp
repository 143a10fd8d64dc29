// Sending an image line by line: the two line protocols, the questions, cancel, line ends.
#include "tests/engine/Scenario.h"

#include <algorithm>

namespace tavo::test {
namespace {

class Transfer : public Scenario {
protected:
    // How often the target received each line, by line number.
    int WritesOfLine(int line) const {
        return static_cast<int>(std::count_if(target->lines().begin(), target->lines().end(),
                                              [line](const auto& w) { return w.line == line; }));
    }
    Strings Questions() const { return host.questions(); }
    // Progress values set after the display set-up, in order.
    Strings Progress() const { return host.entries("progress: "); }
};

TEST_F(Transfer, ThreeLinesAnsweredAndCompleted) {
    auto lines = ImageLines(3);
    auto path = FlashImage(lines);
    Target({}, LineScript().finalLine(3));

    EXPECT_EQ(Run().end, RunEnd::Success);
    // clang-format off
    EXPECT_EQ(host.log(), (Strings{
        "busy", Status("Initializing the com port"), "label16: BootLoader Version: ",
        "label16 shown", Status(kTry1), Status(kSwitching), Status(kTry2), Status(kSwitching),
        "label16: BootLoader Version: 1.3", "label16 shown",
        Status("Opening the file " + path + "."), "progress max: 2", "progress min: 0",
        "progress: 0", Status("Sending FLASH File - lines remaining "), "label14: 2",
        "progress: 0", "label14 shown", "timer3 on",
        "progress: 0", "progress: 1", "progress: 2", "label14: 0", "timer3 off",
        "message: Flash File successfully downloaded.", "progress: 0", "idle"}));
    // clang-format on
    EXPECT_EQ(port.log(), (Strings{"setXonXoff", "setLineSettings 19200,n,8,1", "setPortNumber 1",
                                   "open", "write $@&$", "write $@&$", "write " + lines[0],
                                   "write " + lines[1], "write " + lines[2], "close"}));
    EXPECT_EQ(port.written(), "$@&$$@&$" + lines[0] + lines[1] + lines[2]);
    EXPECT_EQ(host.state().LinesRemaining.value(), -1);
    EXPECT_EQ(host.state().ProgressTotal.value(), 2);
    EXPECT_EQ(host.state().LineNumberBase.value(), 2);
    EXPECT_EQ(host.state().CurrentFile, 2);
    EXPECT_EQ(host.progressValue(), 0);
    EXPECT_FALSE(host.linesRemainingVisible());
    EXPECT_EQ(host.status(), "Idle");
}

TEST_F(Transfer, NewProtocolRepeatsAChecksumErrorUpToThreeWrites) {
    Flash(3, LineScript().checksumErrors(2, 2).finalLine(3));
    EXPECT_EQ(Run().end, RunEnd::Success);
    EXPECT_EQ(WritesOfLine(2), 3);
    EXPECT_TRUE(Questions().empty()) << "the third write was answered";
}

// The three questions, each answered Yes (the failed line is given up, the rest is sent) and No
// (the run ends at once, no message).
struct QuestionCase {
    const char* name;
    const char* version;
    LineScript script;
    std::string question;
    int writesOfLine2;
};

class LineQuestions : public Transfer,
                      public ::testing::WithParamInterface<std::tuple<QuestionCase, bool>> {};

TEST_P(LineQuestions, YesGoesOnAndNoEnds) {
    const auto& [c, yes] = GetParam();
    Flash(4, LineScript(c.script).finalLine(4), c.version);
    host.answer(yes);
    Run();

    EXPECT_EQ(Questions(), Answered(c.question, yes));
    EXPECT_EQ(WritesOfLine(2), c.writesOfLine2);
    if (yes) {
        EXPECT_EQ(result.end, RunEnd::Success);
        EXPECT_EQ(WritesOfLine(4), 1);
        EXPECT_EQ(Messages(), Strings{"Flash File successfully downloaded."});
    } else {
        EXPECT_EQ(result.end, RunEnd::Declined);
        EXPECT_EQ(WritesOfLine(3), 0);
        EXPECT_TRUE(Messages().empty());
        EXPECT_EQ(port.log().back(), "close");
        EXPECT_EQ(host.log().back(), "idle");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Each, LineQuestions,
    ::testing::Combine(
        ::testing::Values(
            QuestionCase{"ChecksumNew", "?V1.28", LineScript().checksumErrors(2, 3),
                         ChecksumQuestion(2), 3},
            QuestionCase{"ChecksumOld", "?V1.27", LineScript().checksumErrors(2, 1),
                         ChecksumQuestion(2), 1},
            QuestionCase{"PageErrorNew", "?V1.3", LineScript().pageError(2), PageErrorQuestion(2),
                         1},
            QuestionCase{"PageErrorOld", "?V1.0", LineScript().pageError(2), PageErrorQuestion(2),
                         1},
            QuestionCase{"NoResponseNew", "?V1.28", LineScript().silentAt(2), NoAnswerQuestion(2),
                         3},
            // The checksum question wins over a page error and stops the repeats with "~".
            QuestionCase{"ChecksumBeforePageError", "?V1.3", LineScript().at(2, Answer("-%~")),
                         ChecksumQuestion(2), 1}),
        ::testing::Bool()),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "Yes" : "No");
    });

TEST_F(Transfer, NewProtocolWaitsUpToThreeSecondsPerWrite) {
    Flash(3, LineScript().silentAt(2).finalLine(3));
    host.answer(true);
    Run();
    ASSERT_EQ(target->lines().size(), 5u);
    for (int write = 1; write <= 3; ++write) {
        auto waited = port.writeTimes()[2 + write + 1] - port.writeTimes()[2 + write];
        EXPECT_GT(waited, 2000ms) << "write " << write;
        EXPECT_LE(waited, 3000ms) << "write " << write;
    }
}

TEST_F(Transfer, OldProtocolWaitsFiveTicksAndAcceptsSilence) {
    Flash(3, LineScript().silentAt(2).finalLine(3), "?V1.27");
    EXPECT_EQ(Run().end, RunEnd::Success);
    EXPECT_TRUE(Questions().empty());
    EXPECT_EQ(LinesSent(), ImageLines(3)) << "one write per line";
    auto waited = port.writeTimes()[4] - port.writeTimes()[3];
    EXPECT_GT(waited, 240ms);
    EXPECT_LE(waited, 300ms);
}

TEST_F(Transfer, FileCompleteAnswersMidFileAcceptTheLine) {
    Flash(4, LineScript().at(2, Answer("@")).at(3, Answer("#")).finalLine(4));
    EXPECT_EQ(Run().end, RunEnd::Success);
    EXPECT_EQ(LinesSent(), ImageLines(4));
    EXPECT_TRUE(Questions().empty());
}

TEST_F(Transfer, CancelDuringANewProtocolWaitEndsAtTheNextLine) {
    Flash(4, LineScript().silentAt(2));
    // Two handshake writes, line 1, line 2: the click lands in line 2's wait.
    host.clickCancelAfterWrites(4);
    host.answer(true);
    Run();

    auto line2 = ImageLines(4)[1];
    EXPECT_EQ(LinesSent(), (Strings{ImageLines(4)[0], line2, line2, line2}))
        << "each wait ends at once, so the line is written three times";
    EXPECT_EQ(port.writeTimes()[5], port.writeTimes()[3]);
    EXPECT_EQ(Questions(), Answered(NoAnswerQuestion(2)));
    EXPECT_EQ(result.end, RunEnd::Cancelled);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(Transfer, CancelDuringAnOldProtocolWaitAcceptsTheLineAndEnds) {
    Flash(4, LineScript().silentAt(2), "?V1.2");
    host.clickCancelAfterWrites(4);
    Run();
    EXPECT_EQ(LinesSent(), (Strings{ImageLines(4)[0], ImageLines(4)[1]}));
    EXPECT_TRUE(Questions().empty());
    EXPECT_EQ(result.end, RunEnd::Cancelled);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(Transfer, CancelDuringTheLastLineStillGivesTheOutcome) {
    // Old protocol: the cancelled wait accepts the line, and its "@" arrives in the end-of-file
    // wait, which does not look at the cancel.
    Flash(3, LineScript().finalLine(3), "?V1.27");
    host.clickCancelAfterWrites(5);
    EXPECT_EQ(Run().end, RunEnd::Success);
    EXPECT_EQ(Messages(), Strings{"Flash File successfully downloaded."});
}

TEST_F(Transfer, CancelDuringTheEepromsLastLineStopsBeforeTheFlashFile) {
    EepromImage(ImageLines(2, 'E'));
    Flash(2);
    // Handshake twice, "*!", two EEPROM lines. The cancelled wait has no answer yet, so the new
    // protocol writes the line three times and asks.
    host.clickCancelAfterWrites(5);
    host.answer(true);
    EXPECT_EQ(Run().end, RunEnd::Cancelled);
    auto eeprom = ImageLines(2, 'E');
    EXPECT_EQ(LinesSent(), (Strings{eeprom[0], eeprom[1], eeprom[1], eeprom[1]}));
    EXPECT_TRUE(
        InOrder(host.statuses(), {"Sending EEPROM File - lines remaining ",
                                  "Opening the file " + host.controls().applicationFile + ".",
                                  "Sending FLASH File - lines remaining "}))
        << "the cancel is seen at the top of the next file's first line";
    EXPECT_TRUE(Messages().empty());
}

TEST_F(Transfer, EmptyLinesAreSkippedAndNotNumbered) {
    auto lines = ImageLines(3);
    FlashImage({lines[0], "", lines[1], lines[2], ""});
    Target({}, LineScript().pageError(2).finalLine(3));
    host.answer(true);
    Run();

    EXPECT_EQ(LinesSent(), lines);
    EXPECT_EQ(Questions(), Answered(PageErrorQuestion(2)));
    // Five lines counted (the trailing empty one too): maximum 4; empty lines keep the count.
    EXPECT_TRUE(host.logHas("progress max: 4"));
    EXPECT_EQ(Progress(), (Strings{"0", "0", "0", "1", "1", "2", "3", "0"}));
    EXPECT_EQ(host.state().LinesRemaining.value(), 1);
    EXPECT_EQ(result.end, RunEnd::Success);
}

TEST_F(Transfer, OnlyCrAndLfEndLinesAndAreNeverSent) {
    auto lines = ImageLines(4);
    // Blanks, a tab and bytes above 127 reach the port unchanged.
    Strings odd{":10 0000\t00", "   ", "\xFF\x80:A\x01"};
    // The file's text and the lines sent; a line end after the last line adds no line.
    const std::pair<std::string, Strings> cases[] = {
        {Join(lines, "\r"), lines},
        {Join(lines, "\r\n"), lines},
        {Join(lines, "\n"), lines},
        {lines[0] + "\r\n" + lines[1] + "\r" + lines[2] + "\n" + lines[3], lines},
        {Join(odd), odd}};
    for (const auto& [text, sent] : cases) {
        SCOPED_TRACE(::testing::PrintToString(text));
        Rig run(clock, {}, LineScript().finalLine(static_cast<int>(sent.size())));
        run.host.controls().applicationFile = dir.write("a.hex", text);
        EXPECT_EQ(run.Run(), RunEnd::Success);
        EXPECT_EQ(run.LinesSent(), sent);
        EXPECT_EQ(run.port.written().find_first_of("\r\n"), std::string::npos);
        EXPECT_TRUE(run.host.logHas("progress max: " + std::to_string(sent.size() - 1)));
    }
}

TEST_F(Transfer, LateAnswerCountsForTheNextLine) {
    // Old protocol: line 2's "%" comes after its 5-tick wait, inside line 3's.
    Flash(4, LineScript().lateAt(2, 350ms, "%").silentAt(3).finalLine(4), "?V1.27");
    host.answer(true);
    Run();
    EXPECT_EQ(Questions(), Answered(PageErrorQuestion(3)));
    EXPECT_EQ(result.end, RunEnd::Success);
}

TEST_F(Transfer, LateAnswerIsAcceptedByTheNextLineInTheNewProtocol) {
    // Line 2's third write is answered after 3.5 s: too late for it, in time for line 3.
    Flash(3, LineScript()
                 .at(2, 1, Silence())
                 .at(2, 2, Silence())
                 .at(2, 3, Answer("~", 3500ms))
                 .at(3, Silence()));
    host.answer(true);
    Run();
    EXPECT_EQ(Questions(), Answered(NoAnswerQuestion(2)));
    EXPECT_EQ(WritesOfLine(3), 1) << "line 3 took line 2's late answer";
    EXPECT_EQ(result.end, RunEnd::NoEndOfFileAnswer);
}

TEST_F(Transfer, LinesTimerShowsTheCountOnceASecond) {
    Flash(20, LineScript(Answer("~", 200ms)).finalLine(20));
    Run();
    auto shown = host.entries("label14: ");
    ASSERT_GE(shown.size(), 5u);
    EXPECT_EQ(shown.front(), "19");
    EXPECT_EQ(shown.back(), "0");
    std::vector<int> values;
    for (const auto& text : shown)
        values.push_back(std::stoi(text));
    // Counting down; the last tick may still catch the -1 left after the last line.
    EXPECT_TRUE(std::is_sorted(values.rbegin() + 1, values.rend())) << "counting down";
    EXPECT_FALSE(host.linesTimerEnabled());
}

TEST_F(Transfer, AnswerStringsAreTakenFromTheSettings) {
    host.controls().lineComplete = "OK";
    host.controls().fileCompleteNoErrors = "DONE";
    Flash(2, LineScript(Answer("OK")).finalLine(2, "DONE"));
    EXPECT_EQ(Run().end, RunEnd::Success);
    EXPECT_TRUE(Questions().empty());
}

} // namespace
} // namespace tavo::test
