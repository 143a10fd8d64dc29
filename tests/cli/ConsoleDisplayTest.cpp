// What tavo-flash prints: which stream gets what, how much a log gets, the progress figures and
// the answers typed at a question.
#include "cli/ConsoleDisplay.h"
#include "tests/support/FakeClock.h"

#include <gtest/gtest.h>

#include <deque>
#include <sstream>

namespace tavo::test {
namespace {

using engine::MessageIcon;
using flash::Verbosity;

struct Console {
    explicit Console(Verbosity v = Verbosity::Normal, bool terminal = false)
        : display(out, err, v, terminal, clock, [this]() -> std::optional<std::string> {
              if (typed.empty())
                  return std::nullopt;
              auto line = typed.front();
              typed.pop_front();
              return line;
          }) {}

    // Sends `lines` lines, one every `step`, as the run reports them.
    void send(int lines, Millis step) {
        display.status("Sending FLASH File - lines remaining ");
        display.sendingStarted(lines - 1);
        for (int i = 0; i < lines; ++i) {
            display.progress(i, lines - 1);
            clock.advanceBy(step);
        }
        display.sendingEnded();
    }

    FakeClock clock;
    std::ostringstream out;
    std::ostringstream err;
    std::deque<std::string> typed;
    flash::ConsoleDisplay display;
};

// Success and progress go to stdout, failures with their reasons to stderr; the bare version
// caption is for --verbose, and --quiet prints only failures and their reasons.
TEST(ConsoleDisplayTest, WhatEachVerbosityPrintsOnWhichStream) {
    const std::string failures = "Error encountered while accessing the com port.\n"
                                 "  reason: Cannot open /dev/x: No such file or directory\n"
                                 "No response from target bootloader.\n";
    const struct {
        Verbosity verbosity;
        std::string out, err;
    } cases[] = {
        {Verbosity::Quiet, "", failures},
        {Verbosity::Normal,
         "Initializing the com port\nBootLoader Version: 1.3\nFlash File successfully "
         "downloaded.\n",
         failures},
        {Verbosity::Verbose,
         "Initializing the com port\nBootLoader Version: \nBootLoader Version: 1.3\n"
         "Flash File successfully downloaded.\n",
         failures},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.verbosity));
        Console con(c.verbosity);
        con.display.status("Initializing the com port");
        con.display.versionLabel("BootLoader Version: ");
        con.display.versionLabel("BootLoader Version: 1.3");
        con.display.message({"Flash File successfully downloaded.", MessageIcon::None, {}});
        con.display.message({"Error encountered while accessing the com port.",
                             MessageIcon::Warning,
                             "Cannot open /dev/x: No such file or directory"});
        con.display.message({"No response from target bootloader.", MessageIcon::None, {}});
        EXPECT_EQ(con.out.str(), c.out);
        EXPECT_EQ(con.err.str(), c.err);
    }
    Console quiet(Verbosity::Quiet);
    quiet.send(50, Millis(10));
    EXPECT_EQ(quiet.out.str(), "");
}

TEST(ConsoleDisplayTest, RepeatedStatusIsPrintedOnce) {
    Console c;
    for (const char* s : {"Requesting Ack from target bootloader.  Try #2",
                          "Requesting Ack from target bootloader.  Try #2",
                          "Main code responded.  Switching to bootloader.",
                          "Requesting Ack from target bootloader.  Try #2"})
        c.display.status(s);
    EXPECT_EQ(c.out.str(), "Requesting Ack from target bootloader.  Try #2\n"
                           "Main code responded.  Switching to bootloader.\n"
                           "Requesting Ack from target bootloader.  Try #2\n");
}

TEST(ConsoleDisplayTest, LogGetsAProgressLineEveryFewSecondsAndASummary) {
    Console c;
    c.send(3000, Millis(4)); // 3000 lines over 12 seconds
    std::istringstream lines(c.out.str());
    std::vector<std::string> printed;
    for (std::string line; std::getline(lines, line);)
        printed.push_back(line);
    // The status, two progress lines (at 5 s and 10 s) and the summary: not one per line.
    ASSERT_EQ(printed.size(), 4u) << c.out.str();
    EXPECT_EQ(printed[0], "Sending FLASH File - lines remaining ");
    EXPECT_EQ(printed[1].substr(0, 24), "  1250/3000 lines (41%),");
    EXPECT_EQ(printed[3], "  3000/3000 lines (100%), 250 lines/s in 0:12");
}

TEST(ConsoleDisplayTest, TerminalBarIsRedrawnInPlaceAtMostTenTimesASecond) {
    Console c(Verbosity::Normal, true);
    c.send(1000, Millis(2)); // two seconds
    auto text = c.out.str();
    auto redraws = std::count(text.begin(), text.end(), '\r');
    EXPECT_GE(redraws, 15);
    EXPECT_LE(redraws, 25);
    // The bar ends on its own line at 100 % once the file is sent.
    EXPECT_EQ(text.substr(text.rfind('\r') + 1, 37), "[##############################] 100%");
    EXPECT_EQ(text.back(), '\n');
    // A message after the bar starts on a fresh line.
    c.display.sendingStarted(9);
    c.display.progress(3, 9);
    c.display.message({"Error encountered while downloading file.", MessageIcon::None, {}});
    EXPECT_EQ(c.out.str().back(), '\n');
}

TEST(ConsoleDisplayTest, ProgressFigures) {
    EXPECT_EQ(flash::ProgressPlainLine({0, 300, 0.0}), "0/300 lines (0%)");
    EXPECT_EQ(flash::ProgressPlainLine({150, 300, 0.5}),
              "150/300 lines (50%), 300 lines/s, ETA 0:01");
    EXPECT_EQ(flash::ProgressPlainLine({1, 2, 4.0}), "1/2 lines (50%), 0.2 lines/s, ETA 0:04");
    // An empty or one-line file: a progress maximum of -1 or 0.
    EXPECT_EQ(flash::ProgressPlainLine({0, 0, 1.0}), "0/0 lines (100%)");
    EXPECT_EQ(flash::ProgressBarLine({75, 300, 1.0}),
              "[#######.......................]  25%  75/300 lines  75 lines/s  ETA 0:03");
    EXPECT_EQ(flash::FormatDuration(0.4), "0:00");
    EXPECT_EQ(flash::FormatDuration(59.6), "1:00");
    EXPECT_EQ(flash::FormatDuration(3723), "1:02:03");
}

TEST(ConsoleDisplayTest, AnswersTypedAtAQuestion) {
    const std::string prompt = "Checksum error at line 4. Continue with download? [Y/n] ";
    const struct {
        std::deque<std::string> typed;
        std::optional<bool> answer;
        int prompts;
    } cases[] = {
        {{""}, true, 1}, // Yes is the default
        {{"y"}, true, 1},   {{" YES\r"}, true, 1},        {{"n"}, false, 1},
        {{"No"}, false, 1}, {{"perhaps", "n"}, false, 2}, {{}, std::nullopt, 1}, // end of input
    };
    for (const auto& c : cases) {
        Console console;
        console.typed = c.typed;
        EXPECT_EQ(console.display.ask(prompt.substr(0, prompt.size() - 7)), c.answer);
        auto err = console.err.str();
        int prompts = 0;
        for (auto at = err.find(prompt); at != std::string::npos; at = err.find(prompt, at + 1))
            ++prompts;
        EXPECT_EQ(prompts, c.prompts) << err;
    }
}

} // namespace
} // namespace tavo::test
