// The command line of tavo-flash: what it accepts, what it refuses, and how it overrides the
// settings file.
#include "cli/Options.h"
#include "cli/ExitCode.h"

#include <gtest/gtest.h>

namespace tavo::test {
namespace {

using flash::OnError;
using flash::Options;
using flash::UsageError;
using flash::Verbosity;

Options Parse(std::vector<std::string> args, bool terminal = false) {
    auto parsed = flash::ParseOptions(args, terminal);
    if (auto* error = std::get_if<UsageError>(&parsed)) {
        ADD_FAILURE() << "usage error: " << error->text;
        return {};
    }
    return std::get<Options>(parsed);
}

std::string Refusal(std::vector<std::string> args, bool terminal = false) {
    auto parsed = flash::ParseOptions(args, terminal);
    if (auto* error = std::get_if<UsageError>(&parsed))
        return error->text;
    ADD_FAILURE() << "accepted";
    return {};
}

TEST(OptionsTest, EveryOptionIsTakenWithASeparateOrAnInlineValue) {
    auto o = Parse({"--port", "3", "--baud=56000", "--flash", "a.hex", "--eeprom=b.eep",
                    "--settings", "s.txt", "--on-error=continue", "--trace", "t.log", "--verbose"});
    EXPECT_EQ(o.ports, std::vector<std::string>{"3"});
    EXPECT_EQ(o.baudIndex, 7);
    EXPECT_EQ(o.flashFile, "a.hex");
    EXPECT_EQ(o.eepromFile, "b.eep");
    EXPECT_EQ(o.settingsFile, "s.txt");
    EXPECT_EQ(o.onError, OnError::Continue);
    EXPECT_EQ(o.traceFile, "t.log");
    EXPECT_EQ(o.verbosity, Verbosity::Verbose);
    EXPECT_FALSE(o.help);
}

TEST(OptionsTest, TheTenRatesMapToTheirBaudListEntries) {
    const int rates[] = {1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(flash::BaudIndexForRate(rates[i]), i) << rates[i];
        EXPECT_EQ(Parse({"--baud", std::to_string(rates[i])}).baudIndex, i);
    }
    for (int rate : {0, 300, 56700, 230400, -9600})
        EXPECT_FALSE(flash::BaudIndexForRate(rate)) << rate;
}

TEST(OptionsTest, OnErrorDefaultsToAskOnATerminalAndStopOtherwise) {
    EXPECT_EQ(Parse({}, true).onError, OnError::Ask);
    EXPECT_EQ(Parse({}, false).onError, OnError::Stop);
    EXPECT_EQ(Parse({"--on-error", "ask"}, true).onError, OnError::Ask);
    EXPECT_EQ(Parse({"--on-error", "stop"}, true).onError, OnError::Stop);
    // Asking needs someone at a terminal to answer.
    EXPECT_NE(Refusal({"--on-error", "ask"}, false).find("terminal"), std::string::npos);
}

TEST(OptionsTest, BadCommandLinesAreRefusedWithAReason) {
    struct Case {
        std::vector<std::string> args;
        std::string mentions;
    };
    const Case cases[] = {
        {{"--baud", "56700"}, "56700"},
        {{"--baud", "fast"}, "fast"},
        {{"--baud"}, "needs a value"},
        {{"--port", "0"}, "1..8"},
        {{"--port", "9"}, "1..8"},
        {{"--port", ""}, "--port"},
        {{"--on-error", "maybe"}, "maybe"},
        {{"--frobnicate"}, "--frobnicate"},
        {{"firmware.hex"}, "firmware.hex"},
        {{"--quiet", "--verbose"}, "exclude"},
        {{"--help=yes"}, "takes no value"},
        {{"--trace="}, "--trace"},
        {{"--timeout", "-1"}, "-1"},
        {{"--timeout", "1.5"}, "1.5"},
        {{"--timeout", "40000000"}, "0..31622400"},
        {{"--port", "usb:"}, "serial number"},
        {{"--port", "3", "--port", "3"}, "twice"},
        // One terminal cannot answer several boards.
        {{"--port", "1", "--port", "2", "--on-error", "ask"}, "--on-error ask"},
        {{"--port", "1", "--port", "2", "--on-error", "stop", "--trace", "t"}, "--trace"},
        {{"--json"}, "--list-ports"},
        {{"--report="}, "--report"},
        {{"--fast-baud", "fastest"}, "fastest"},
        {{"--fast-baud", "-5"}, "-5"},
    };
    for (const auto& c : cases) {
        auto text = Refusal(c.args, true);
        EXPECT_NE(text.find(c.mentions), std::string::npos) << text;
        EXPECT_NE(text.find("--help"), std::string::npos) << text;
    }
}

TEST(OptionsTest, NamingImagesChoosesExactlyThoseImages) {
    settings::Settings fromFile;
    fromFile.applicationFile = "old.hex";
    fromFile.eepromFile = "old.eep";
    fromFile.flashCheck = 1;
    fromFile.eepromCheck = 1;

    auto s = fromFile;
    flash::ApplyOptions(Parse({"--eeprom", "new.eep"}), s);
    EXPECT_EQ(s.eepromCheck, 1);
    EXPECT_EQ(s.flashCheck, 0);
    EXPECT_EQ(s.eepromFile, "new.eep");
    EXPECT_EQ(s.applicationFile, "old.hex");

    s = fromFile;
    flash::ApplyOptions(Parse({"--flash", "new.hex"}), s);
    EXPECT_EQ(s.flashCheck, 1);
    EXPECT_EQ(s.eepromCheck, 0);

    // Without image options the settings file's choice stands.
    s = fromFile;
    flash::ApplyOptions(Parse({"--baud", "115200"}), s);
    EXPECT_EQ(s.flashCheck, 1);
    EXPECT_EQ(s.eepromCheck, 1);
    EXPECT_EQ(s.baudIndex, 9);
}

TEST(OptionsTest, PortIsANumberOfTheListOrADevice) {
    settings::Settings s;
    EXPECT_FALSE(flash::ApplyPort("8", s));
    EXPECT_EQ(s.comPortIndex, 7);

    s.comPortIndex = -1; // nothing chosen in the settings file
    EXPECT_EQ(flash::ApplyPort("/dev/pts/7", s), "/dev/pts/7");
    // The run sets a port number before it opens; the device replaces what it maps to.
    EXPECT_EQ(s.comPortIndex, 0);

    EXPECT_EQ(flash::UsbSerialOf("usb:A50285BI"), "A50285BI");
    EXPECT_FALSE(flash::UsbSerialOf("/dev/usb:1"));
}

TEST(OptionsTest, SeveralPortsMakeAGangInCommandLineOrder) {
    auto o = Parse({"--port", "2", "--port=/dev/ttyUSB0", "--port", "usb:A5", "--on-error",
                    "continue", "--report", "r.jsonl"});
    EXPECT_EQ(o.ports, (std::vector<std::string>{"2", "/dev/ttyUSB0", "usb:A5"}));
    EXPECT_EQ(o.reportFile, "r.jsonl");
    // Nobody answers for several boards, even at a terminal.
    EXPECT_EQ(Parse({"--port", "1", "--port", "2"}, true).onError, OnError::Stop);
    EXPECT_TRUE(Parse({"--list-ports", "--json"}).json);
}

TEST(OptionsTest, LimitsOfTheRunComeFromTimeoutAndTheTerminal) {
    // --timeout counts from the run's start; without a terminal on standard input nobody can
    // press Ctrl+C, so the handshake does not wait for ever.
    using engine::Millis;
    const Millis now{5000};
    auto limits = [&](std::vector<std::string> args, bool terminal) {
        auto run = flash::RunOptionsFor(Parse(args, terminal), terminal, now);
        return std::pair{run.deadline, run.readyLimit};
    };
    using Limits = std::pair<std::optional<Millis>, std::optional<Millis>>;
    EXPECT_EQ(limits({"--timeout", "0"}, true), Limits());
    EXPECT_EQ(limits({"--timeout=90"}, true), Limits(Millis(95'000), std::nullopt));
    EXPECT_EQ(limits({"--timeout", "2"}, false), Limits(Millis(7000), Millis(60'000)));
}

TEST(OptionsTest, FastBaudIsAutoUnlessOffOrARateIsGiven) {
    using Mode = engine::FastBaud::Mode;
    auto fast = [](std::vector<std::string> args) {
        auto f = flash::RunOptionsFor(Parse(args, true), true, engine::Millis(0)).fastBaud;
        return std::pair{f.mode, f.rate};
    };
    EXPECT_EQ(fast({}), std::pair(Mode::Auto, 0L));
    EXPECT_EQ(fast({"--fast-baud", "off"}), std::pair(Mode::Off, 0L));
    EXPECT_EQ(fast({"--fast-baud=500000"}), std::pair(Mode::Rate, 500000L));
    EXPECT_EQ(fast({"--fast-baud", "off", "--fast-baud", "auto"}), std::pair(Mode::Auto, 0L));
}

TEST(OptionsTest, HelpListsEveryExitCode) {
    auto help = flash::HelpText();
    for (const auto& [code, meaning] : flash::ExitCodeTable())
        EXPECT_NE(help.find(meaning), std::string::npos) << code;
    for (const char* option :
         {"--port", "--baud", "--flash", "--eeprom", "--settings", "--on-error", "--trace",
          "--timeout", "--quiet", "--verbose", "--version", "--list-ports", "--json", "--report",
          "usb:SERIAL", "--fast-baud"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    EXPECT_NE(help.find("14400"), std::string::npos);
    EXPECT_NE(help.find("56000"), std::string::npos);
}

} // namespace
} // namespace tavo::test
