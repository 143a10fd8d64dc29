// The command line of tavo-flash: what it accepts, what it refuses, and the plan of boards it
// makes with the settings file.
#include "cli/Options.h"
#include "cli/ExitCode.h"
#include "cli/Plan.h"
#include "tests/support/TempImages.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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

// The plan of a command line over a settings file; a refusal fails the test.
flash::Plan PlanOf(std::vector<std::string> args, flash::PlanSources sources = {}) {
    auto plan = flash::MakePlan(Parse(args, sources.stdinIsTerminal), sources);
    if (auto* error = std::get_if<UsageError>(&plan)) {
        ADD_FAILURE() << "refused: " << error->text;
        return {};
    }
    return std::get<flash::Plan>(plan);
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
                    "--settings", "s.txt", "--on-error=continue", "--trace", "t.log", "--verbose",
                    "--fast-baud", "500000"});
    EXPECT_EQ(o.ports, std::vector<std::string>{"3"});
    EXPECT_EQ(o.baudIndex, 7);
    EXPECT_EQ(o.flashFile, "a.hex");
    EXPECT_EQ(o.eepromFile, "b.eep");
    EXPECT_EQ(o.settingsFile, "s.txt");
    EXPECT_EQ(o.onError, OnError::Continue);
    EXPECT_EQ(o.traceFile, "t.log");
    EXPECT_EQ(o.verbosity, Verbosity::Verbose);
    EXPECT_EQ(o.fastBaud.rate, 500000);
    EXPECT_FALSE(o.help);
    EXPECT_EQ(Parse({"-q", "--fast-baud=off"}).fastBaud.mode, engine::FastBaud::Mode::Off);

    // Paths are bytes: one that is not UTF-8 comes through unchanged.
    const std::string raw = "/tmp/\xff\xfe\x80image.hex";
    o = Parse({"--flash", raw, "--port", raw, "--report=" + raw});
    EXPECT_EQ(o.flashFile, raw);
    EXPECT_EQ(o.ports, std::vector<std::string>{raw});
    EXPECT_EQ(o.reportFile, raw);
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
        {{"--fast-baud", "fast"}, "fast"},
        {{"--fast-baud", "-5"}, "-5"},
        {{"--fast-baud"}, "needs a value"},
        {{"-x"}, "'-x'"},
        {{"--version=2"}, "takes no value"},
    };
    for (const auto& c : cases) {
        auto text = Refusal(c.args, true);
        EXPECT_NE(text.find(c.mentions), std::string::npos) << text;
        EXPECT_NE(text.find("--help"), std::string::npos) << text;
    }
}

TEST(OptionsTest, NamingImagesChoosesExactlyThoseImages) {
    flash::PlanSources sources;
    auto& fromFile = sources.settings;
    fromFile.applicationFile = "old.hex";
    fromFile.eepromFile = "old.eep";
    fromFile.flashCheck = 1;
    fromFile.eepromCheck = 1;

    auto s = PlanOf({"--eeprom", "new.eep"}, sources).boards.at(0).settings;
    EXPECT_EQ(s.eepromCheck, 1);
    EXPECT_EQ(s.flashCheck, 0);
    EXPECT_EQ(s.eepromFile, "new.eep");
    EXPECT_EQ(s.applicationFile, "old.hex");

    s = PlanOf({"--flash", "new.hex"}, sources).boards.at(0).settings;
    EXPECT_EQ(s.flashCheck, 1);
    EXPECT_EQ(s.eepromCheck, 0);

    // Without image options the settings file's choice stands.
    s = PlanOf({"--baud", "115200"}, sources).boards.at(0).settings;
    EXPECT_EQ(s.flashCheck, 1);
    EXPECT_EQ(s.eepromCheck, 1);
    EXPECT_EQ(s.baudIndex, 9);
}

TEST(OptionsTest, EveryPortBecomesABoardOfThePlan) {
    flash::PlanSources sources;
    sources.settings.comPortIndex = -1; // nothing chosen in the settings file
    sources.map.set(8, "/dev/ttyUSB8");
    int lookups = 0;
    sources.availablePorts = [&] {
        ++lookups;
        std::vector<serial::PortInfo> ports(3);
        ports[0].device = "/dev/ttyUSB0", ports[0].serialNumber = "A5";
        ports[1].device = "/dev/ttyUSB1", ports[1].serialNumber = "B7";
        ports[2].device = "/dev/ttyUSB2", ports[2].serialNumber = "B7";
        return ports;
    };
    auto plan = PlanOf({"--port", "8", "--port", "/dev/pts/7", "--port", "usb:A5", "--port",
                        "usb:B7", "--port", "usb:none", "--on-error", "continue"},
                       sources);
    ASSERT_EQ(plan.boards.size(), 5u);
    const auto& b = plan.boards;
    EXPECT_EQ(b[0].label, "Com 8");
    EXPECT_EQ(b[0].settings.comPortIndex, 7);
    EXPECT_FALSE(b[0].device);
    EXPECT_EQ(b[0].origin.device, "/dev/ttyUSB8");
    EXPECT_TRUE(b[0].origin.fromPortsFile);
    // The run sets a port number before it opens; the device replaces what it maps to.
    EXPECT_EQ(b[1].label, "/dev/pts/7");
    EXPECT_EQ(b[1].device, "/dev/pts/7");
    EXPECT_EQ(b[1].settings.comPortIndex, 0);
    EXPECT_EQ(b[2].label, "usb:A5");
    EXPECT_EQ(b[2].device, "/dev/ttyUSB0");
    EXPECT_EQ(b[2].origin.usbSerial, "A5");
    // A serial number that names several ports or none fails that board only, at its run.
    for (int i : {3, 4}) {
        EXPECT_FALSE(b[i].device) << i;
        EXPECT_TRUE(b[i].lookupError && !b[i].lookupError->empty()) << i;
    }
    EXPECT_EQ(lookups, 1);
    EXPECT_EQ(plan.onError, OnError::Continue);

    // No --port: the settings file's entry, without asking the system for its ports.
    sources.settings.comPortIndex = 2;
    plan = PlanOf({}, sources);
    ASSERT_EQ(plan.boards.size(), 1u);
    EXPECT_EQ(plan.boards[0].label, "Com 3");
    EXPECT_EQ(plan.boards[0].origin.device, serial::PortMap::DefaultDevice(3));
    EXPECT_EQ(lookups, 1);

    // Two names of one device.
    auto refused = flash::MakePlan(
        Parse({"--port", "/dev/null", "--port", "/dev/../dev/null", "--on-error", "stop"}),
        sources);
    ASSERT_TRUE(std::holds_alternative<UsageError>(refused));
    EXPECT_NE(std::get<UsageError>(refused).text.find("same device"), std::string::npos);
}

// The images are looked at before any port is opened, with the messages the run would end with.
TEST(OptionsTest, ImagesThatCannotBeSentAreFoundBeforeThePort) {
    TempDir dir;
    const auto good = dir.write("good.hex", Join(ImageLines(32767)));
    const auto longer = dir.write("long.hex", Join(ImageLines(32768)));
    const auto missing = (dir.path() / "missing.hex").string();
    const auto folder = dir.path().string();
    const auto fifo = (dir.path() / "fifo.hex").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string opening = "Error opening ",
                      download = "Error encountered while downloading the firmware file.";
    struct Case {
        std::string flash, eeprom; // "-": not chosen
        std::string text, detail;  // empty: nothing to refuse
    };
    const Case cases[] = {
        {good, "-", "", ""},
        {good, good, "", ""},
        {missing, "-", opening + missing + ".", "File not found: No such file or directory"},
        {"-", folder, opening + folder + ".", "Path/File access error: a folder, not a file"},
        {good, fifo, opening + fifo + ".", "a FIFO, not a regular file"},
        {longer, "-", download, "Overflow: more than 32,767 lines"},
        // The EEPROM image goes first.
        {longer, missing, opening + missing + ".", "No such file"},
        // Not chosen: not looked at.
        {"-", good, "", ""},
        // No path at all: the run refuses that itself, with its own message.
        {"", missing, "", ""},
    };
    for (const auto& c : cases) {
        settings::Settings s;
        s.flashCheck = c.flash != "-";
        s.eepromCheck = c.eeprom != "-";
        s.applicationFile = s.flashCheck ? c.flash : missing;
        s.eepromFile = s.eepromCheck ? c.eeprom : missing;
        auto refusal = flash::CheckImages(s);
        SCOPED_TRACE(c.flash + " / " + c.eeprom);
        ASSERT_EQ(refusal.has_value(), !c.text.empty());
        if (refusal) {
            EXPECT_EQ(refusal->text, c.text);
            EXPECT_NE(refusal->detail.find(c.detail), std::string::npos) << refusal->detail;
        }
    }
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
        flash::PlanSources sources;
        sources.stdinIsTerminal = terminal;
        auto run = flash::RunOptionsFor(PlanOf(args, sources), now);
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
        auto f = flash::RunOptionsFor(PlanOf(args, {}), engine::Millis(0)).fastBaud;
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
          "usb:SERIAL", "--fast-baud", "-q, --quiet"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
    EXPECT_NE(help.find("14400"), std::string::npos);
    EXPECT_NE(help.find("56000"), std::string::npos);
}

} // namespace
} // namespace tavo::test
