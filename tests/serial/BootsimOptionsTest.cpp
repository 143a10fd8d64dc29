#include "tools/bootsim/Options.h"

#include <gtest/gtest.h>

#include <sstream>

namespace tavo::bootsim {
namespace {

// Parses a command line given as one text, its words split at blanks.
ParsedOptions Parse(const std::string& commandLine) {
    std::vector<std::string> args;
    std::istringstream words(commandLine);
    for (std::string word; words >> word;)
        args.push_back(word);
    return ParseOptions(args);
}

TEST(BootsimOptions, DefaultsAreTheLoadersDefaults) {
    auto parsed = Parse("");
    ASSERT_TRUE(parsed.options);
    const auto& b = parsed.options->board;
    EXPECT_EQ(b.jump + b.active + b.start + b.ready + b.eepromWrite, "$^@&$?V1.3*");
    EXPECT_EQ(b.lineComplete + b.pageError + b.checksumError + b.fileErrors + b.fileOk, "~%-#@");
    EXPECT_EQ(parsed.options->delayMs, 0);
    EXPECT_EQ(parsed.options->paceBaud, 0u);
}

TEST(BootsimOptions, EveryProtocolStringAndEscapes) {
    auto parsed = Parse("--jump J --active=A --start S\\r\\n --version-answer ?V1.27 "
                        "--eeprom-write E --line-complete L --page-error P --checksum-error C "
                        "--file-errors \\x23\\x23 --file-ok \\\\");
    ASSERT_TRUE(parsed.options) << parsed.error;
    const auto& b = parsed.options->board;
    EXPECT_EQ(b.jump, "J");
    EXPECT_EQ(b.active, "A");
    EXPECT_EQ(b.start, "S\r\n");
    EXPECT_EQ(b.ready, "?V1.27");
    EXPECT_EQ(b.eepromWrite + b.lineComplete + b.pageError + b.checksumError, "ELPC");
    EXPECT_EQ(b.fileErrors, "##");
    EXPECT_EQ(b.fileOk, "\\");
    EXPECT_EQ(ParseOptions({"--ready", ""}).options->board.ready, "");
}

TEST(BootsimOptions, FaultsAndTiming) {
    auto parsed = Parse("--fail-checksum 3 --fail-checksum 5:2 --fail-page 7 --silent 2:1 "
                        "--fault-file eeprom --drop-after 9 --delay 150 --pace 14400 "
                        "--never-ready --active-only --exit-after-eof --noise xy --latency-ms 16");
    ASSERT_TRUE(parsed.options) << parsed.error;
    const auto& o = *parsed.options;
    ASSERT_EQ(o.board.checksumFaults.size(), 2u);
    EXPECT_EQ(o.board.checksumFaults[1].line, 5);
    EXPECT_EQ(o.board.checksumFaults[1].tries, 2);
    EXPECT_EQ(o.board.checksumFaults[0].tries, 0);
    EXPECT_EQ(o.board.pageFaults.at(0).line, 7);
    EXPECT_EQ(o.board.silentLines.at(0).tries, 1);
    EXPECT_EQ(o.board.faultMemory, Memory::Eeprom);
    EXPECT_EQ(o.board.dropAfterLine, 9);
    EXPECT_EQ(o.delayMs, 150);
    EXPECT_EQ(o.paceBaud, 14400u);
    EXPECT_EQ(o.latencyMs, 16);
    EXPECT_TRUE(o.board.neverJump && o.board.activeOnly && o.exitAfterEof);
    EXPECT_EQ(o.board.noise, "xy");
    EXPECT_TRUE(Parse("--pace line").options->paceFromLine);
    auto any = Parse("--fault-file flash --fault-file any");
    ASSERT_TRUE(any.options) << any.error;
    EXPECT_FALSE(any.options->board.faultMemory);
}

TEST(BootsimOptions, BadCommandLines) {
    for (const char* commandLine :
         {"--bogus", "--jump", "--fail-checksum 0", "--fail-checksum 3:", "--fail-page x",
          "--silent 2:0", "--drop-after -1", "--delay 1.5", "--pace 0", "--fault-file ram",
          "--start \\q", "--start \\x4", "--noise a~", "--noise \\x13", "--never-ready=1",
          "--latency-ms 1001", "--del 5", "stray", "-x"}) {
        SCOPED_TRACE(commandLine);
        auto parsed = Parse(commandLine);
        EXPECT_FALSE(parsed.options);
        EXPECT_FALSE(parsed.error.empty());
    }
}

TEST(BootsimOptions, HelpDocumentsEveryOption) {
    EXPECT_TRUE(Parse("--delay 5 --help").help);
    std::istringstream options(
        "--path-file --link --received --flash-out --eeprom-out --settings-out --jump --active "
        "--start --version-answer --eeprom-write --line-complete --page-error --checksum-error "
        "--file-errors --file-ok --fail-checksum --fail-page --silent --fault-file --drop-after "
        "--never-ready --active-only --delay --pace --noise --exit-after-eof --verbose "
        "--latency-ms");
    auto help = HelpText();
    for (std::string option; options >> option;)
        EXPECT_NE(help.find(option), std::string::npos) << option;
}

} // namespace
} // namespace tavo::bootsim
