#include "settings/SettingsFile.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace tavo::settings {
namespace {

// The records of the default file, as the writer puts them on their lines.
std::vector<std::string> DefaultRecords() {
    return {"0",     "5",     "\"\"",  "\"@&$\"", "\"?\"", "\"$\"", "\"^\"", "\"%\"",
            "\"#\"", "\"@\"", "\"-\"", "\"~\"",   "\"\"",  "\"*\"", "0",     "1"};
}

std::string Join(const std::vector<std::string>& records, const std::string& end = "\r\n") {
    std::string text;
    for (const auto& record : records) {
        text += record + end;
    }
    return text;
}

std::string Written(const Settings& settings) {
    std::ostringstream out;
    WriteSettings(out, settings);
    return out.str();
}

std::optional<Settings> Read(const std::string& text) {
    std::istringstream in(text);
    return ReadSettings(in);
}

std::optional<Settings> ReadWithRecord(int number, const std::string& record) {
    auto records = DefaultRecords();
    records.at(number - 1) = record;
    return Read(Join(records));
}

Settings Unusual() {
    Settings s;
    s.comPortIndex = -1;
    s.baudIndex = -1;
    s.applicationFile = "C:\\Firmware, new\\app v2.hex";
    s.startDownloadSequence = "@&$@&$@&$@&$@&$@&$@&$@&$@&$@&$@&$@&$@&$@&$@&$@&$@&$@&$@&$@&$";
    s.bootloaderReady = "READY>";
    s.jumpCommand = "";
    s.bootloaderActive = "say \"hi\"";
    s.pageError = "\"";
    s.fileCompleteWithErrors = "\"\"";
    s.fileCompleteNoErrors = "@,@";
    s.checksumError = "  -  ";
    s.lineComplete = "~\r\n~";
    s.eepromFile = "/home/t\xC3\xA9\x63hnicien/eeprom \xE2\x82\xAC.eep";
    s.eepromWrite = "\t*";
    s.eepromCheck = 2;
    s.flashCheck = 0;
    return s;
}

TEST(SettingsFileWrite, DefaultsGiveTheSeventyTwoByteFile) {
    const std::string expected = "0\r\n5\r\n\"\"\r\n\"@&$\"\r\n\"?\"\r\n\"$\"\r\n\"^\"\r\n"
                                 "\"%\"\r\n\"#\"\r\n\"@\"\r\n\"-\"\r\n\"~\"\r\n\"\"\r\n"
                                 "\"*\"\r\n0\r\n1\r\n";
    ASSERT_EQ(expected.size(), 72u);
    EXPECT_EQ(Written(Settings{}), expected);
}

TEST(SettingsFileWrite, RecordsInFileOrderNegativeIndexesAndDoubledQuotes) {
    const Settings s{.comPortIndex = -1,
                     .baudIndex = 9,
                     .applicationFile = "a.hex",
                     .startDownloadSequence = "2",
                     .bootloaderReady = "3",
                     .jumpCommand = "4",
                     .bootloaderActive = "5",
                     .pageError = "6",
                     .fileCompleteWithErrors = "7",
                     .fileCompleteNoErrors = "8",
                     .checksumError = "9",
                     .lineComplete = "say \"x\"",
                     .eepromFile = "e.eep",
                     .eepromWrite = "\"",
                     .eepromCheck = 1,
                     .flashCheck = 2};
    EXPECT_EQ(Written(s),
              Join({"-1", "9", "\"a.hex\"", "\"2\"", "\"3\"", "\"4\"", "\"5\"", "\"6\"", "\"7\"",
                    "\"8\"", "\"9\"", "\"say \"\"x\"\"\"", "\"e.eep\"", "\"\"\"\"", "1", "2"}));
}

TEST(SettingsFileRead, DefaultFileReadsBackAsDefaults) {
    const auto settings = Read(Written(Settings{}));
    ASSERT_TRUE(settings);
    EXPECT_EQ(*settings, Settings{});
}

TEST(SettingsFileRead, RoundTripKeepsEveryValue) {
    const auto settings = Read(Written(Unusual()));
    ASSERT_TRUE(settings);
    EXPECT_EQ(*settings, Unusual());

    Settings longStrings;
    longStrings.jumpCommand = std::string(5000, '$');
    longStrings.applicationFile = std::string(3000, ',');
    const auto longRead = Read(Written(longStrings));
    ASSERT_TRUE(longRead);
    EXPECT_EQ(*longRead, longStrings);
}

TEST(SettingsFileRead, InputEndingEarlyFails) {
    const auto records = DefaultRecords();
    EXPECT_FALSE(Read(""));
    EXPECT_FALSE(Read(Join({records.begin(), records.begin() + 10})));
    // Fifteen records, each with its line end: the sixteenth has not begun.
    EXPECT_FALSE(Read(Join({records.begin(), records.begin() + 15})));
    // A separator after the fifteenth only ends it; it does not make an empty sixteenth.
    EXPECT_FALSE(Read(Join({records.begin(), records.begin() + 14}) + "0,"));
}

TEST(SettingsFileRead, LastRecordNeedsNoLineEnd) {
    std::string text = Written(Settings{});
    text.resize(text.size() - 2);
    const auto settings = Read(text);
    ASSERT_TRUE(settings);
    EXPECT_EQ(*settings, Settings{});
}

TEST(SettingsFileRead, ListIndexesOutsideTheListsFail) {
    EXPECT_FALSE(ReadWithRecord(1, "8"));
    EXPECT_FALSE(ReadWithRecord(1, "-2"));
    EXPECT_FALSE(ReadWithRecord(1, "4294967296")); // would wrap to 0 in 32 bits
    EXPECT_FALSE(ReadWithRecord(1, "99999999999999999999999"));
    EXPECT_FALSE(ReadWithRecord(1, "2.5"));
    EXPECT_FALSE(ReadWithRecord(2, "10"));
    EXPECT_FALSE(ReadWithRecord(2, "-2"));

    const auto lastPort = ReadWithRecord(1, "7");
    ASSERT_TRUE(lastPort);
    EXPECT_EQ(lastPort->comPortIndex, 7);
    const auto lastBaud = ReadWithRecord(2, "9");
    ASSERT_TRUE(lastBaud);
    EXPECT_EQ(lastBaud->baudIndex, 9);
}

TEST(SettingsFileRead, MinusOneSelectsNothing) {
    const auto noBaud = ReadWithRecord(2, "-1");
    ASSERT_TRUE(noBaud);
    EXPECT_EQ(noBaud->baudIndex, -1);
    EXPECT_EQ(noBaud->comPortIndex, 0);
    const auto noPort = ReadWithRecord(1, "-1");
    ASSERT_TRUE(noPort);
    EXPECT_EQ(noPort->comPortIndex, -1);
}

TEST(SettingsFileRead, ListIndexThatIsNotANumberSelectsTheFirstEntry) {
    auto records = DefaultRecords();
    records[0] = "COM3";
    records[1] = "3";
    records[2] = "\"app.hex\"";
    const auto settings = Read(Join(records));
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->comPortIndex, 0);
    EXPECT_EQ(settings->baudIndex, 3);
    EXPECT_EQ(settings->applicationFile, "app.hex");

    const auto word = ReadWithRecord(2, "fast");
    ASSERT_TRUE(word);
    EXPECT_EQ(word->baudIndex, 0);
    const auto empty = ReadWithRecord(2, "");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->baudIndex, 0);
}

TEST(SettingsFileRead, ListIndexMayBeQuotedOrPadded) {
    const auto quoted = ReadWithRecord(1, "\"3\"");
    ASSERT_TRUE(quoted);
    EXPECT_EQ(quoted->comPortIndex, 3);
    const auto padded = ReadWithRecord(2, " \t7 ");
    ASSERT_TRUE(padded);
    EXPECT_EQ(padded->baudIndex, 7);
    EXPECT_FALSE(ReadWithRecord(1, "\"12\""));
}

TEST(SettingsFileRead, CheckValuesMustBeZeroOneOrTwo) {
    for (const int record : {15, 16}) {
        SCOPED_TRACE(record);
        EXPECT_FALSE(ReadWithRecord(record, ""));
        EXPECT_FALSE(ReadWithRecord(record, "\"\""));
        EXPECT_FALSE(ReadWithRecord(record, "yes"));
        EXPECT_FALSE(ReadWithRecord(record, "1.0"));
        EXPECT_FALSE(ReadWithRecord(record, "3"));
        EXPECT_FALSE(ReadWithRecord(record, "-1"));
        EXPECT_FALSE(ReadWithRecord(record, "1x"));
    }
    auto records = DefaultRecords();
    records[14] = "\"2\"";
    records[15] = " 0 ";
    const auto settings = Read(Join(records));
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->eepromCheck, 2);
    EXPECT_EQ(settings->flashCheck, 0);
}

TEST(SettingsFileRead, QuotedTextKeepsCommasBlanksAndDoubledQuotes) {
    const auto path = ReadWithRecord(3, "\"C:\\My Boards, 2024\\ app .hex\"");
    ASSERT_TRUE(path);
    EXPECT_EQ(path->applicationFile, "C:\\My Boards, 2024\\ app .hex");
    EXPECT_EQ(path->startDownloadSequence, "@&$");

    const auto quote = ReadWithRecord(4, "\"a\"\"b\"\"\"");
    ASSERT_TRUE(quote);
    EXPECT_EQ(quote->startDownloadSequence, "a\"b\"");
    EXPECT_EQ(quote->bootloaderReady, "?");
}

TEST(SettingsFileRead, CharactersAfterTheClosingQuoteAreIgnored) {
    const auto settings = ReadWithRecord(5, "\"!\"  trailing words");
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->bootloaderReady, "!");
    EXPECT_EQ(settings->jumpCommand, "$");
}

TEST(SettingsFileRead, UnquotedTextIsTrimmed) {
    auto records = DefaultRecords();
    records[2] = " \t/tmp/app file.hex\t ";
    records[12] = "   ";
    records[13] = "\t\"  *  \"";
    const auto settings = Read(Join(records));
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->applicationFile, "/tmp/app file.hex");
    EXPECT_EQ(settings->eepromFile, "");
    EXPECT_EQ(settings->eepromWrite, "  *  ");
}

TEST(SettingsFileRead, EmptyLinesAreEmptyRecords) {
    auto records = DefaultRecords();
    records[0] = "";
    records[1] = "";
    records[3] = "";
    records[13] = "";
    const auto settings = Read(Join(records));
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->comPortIndex, 0);
    EXPECT_EQ(settings->baudIndex, 0);
    EXPECT_EQ(settings->startDownloadSequence, "");
    EXPECT_EQ(settings->bootloaderReady, "?");
    EXPECT_EQ(settings->eepromWrite, "");
    EXPECT_EQ(settings->flashCheck, 1);
}

TEST(SettingsFileRead, CommasSeparateRecordsLikeLineEnds) {
    const std::string oneLine = "3,9,\"a,b.hex\",\"@&$\",\"?\",\"$\",\"^\",\"%\",\"#\",\"@\","
                                "\"-\",\"~\",e.eep,\"*\",1,0\r\n";
    const auto settings = Read(oneLine);
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->comPortIndex, 3);
    EXPECT_EQ(settings->baudIndex, 9);
    EXPECT_EQ(settings->applicationFile, "a,b.hex");
    EXPECT_EQ(settings->lineComplete, "~");
    EXPECT_EQ(settings->eepromFile, "e.eep");
    EXPECT_EQ(settings->eepromCheck, 1);
    EXPECT_EQ(settings->flashCheck, 0);

    // A comma in an unquoted text splits it, shifting every later record.
    const auto shifted = ReadWithRecord(15, "1,2");
    ASSERT_TRUE(shifted);
    EXPECT_EQ(shifted->eepromCheck, 1);
    EXPECT_EQ(shifted->flashCheck, 2);
    EXPECT_FALSE(ReadWithRecord(3, "a,b"));
}

TEST(SettingsFileRead, LfAndCrLineEndsCountOnce) {
    for (const std::string end : {"\n", "\r"}) {
        const auto settings = Read(Join(DefaultRecords(), end));
        ASSERT_TRUE(settings);
        EXPECT_EQ(*settings, Settings{});
    }
    // Mixed ends, and LF CR is two line ends: an empty record in between.
    const auto mixed =
        Read("-1\n2\r\"x\"\r\n\n\"?\"\n\r\"^\"\r\n\"%\"\n\"#\"\n\"@\"\n\"-\"\n\"~\"\n"
             "\"\"\n\"*\"\n0\n1");
    ASSERT_TRUE(mixed);
    EXPECT_EQ(mixed->comPortIndex, -1);
    EXPECT_EQ(mixed->baudIndex, 2);
    EXPECT_EQ(mixed->applicationFile, "x");
    EXPECT_EQ(mixed->startDownloadSequence, "");
    EXPECT_EQ(mixed->bootloaderReady, "?");
    EXPECT_EQ(mixed->jumpCommand, "");
    EXPECT_EQ(mixed->bootloaderActive, "^");
    EXPECT_EQ(mixed->flashCheck, 1);
}

TEST(SettingsFileRead, NothingAfterTheSixteenthRecordIsRead) {
    std::istringstream in(Written(Settings{}) + "\"junk\nmore\r\n,,,");
    const auto settings = ReadSettings(in);
    ASSERT_TRUE(settings);
    EXPECT_EQ(*settings, Settings{});
    std::string rest(std::istreambuf_iterator<char>(in), {});
    EXPECT_EQ(rest, "\"junk\nmore\r\n,,,");

    EXPECT_TRUE(Read(Written(Settings{}) + "9\r\n\"unterminated"));
}

TEST(SettingsFileRead, UnterminatedQuoteFails) {
    std::string text = Written(Settings{});
    EXPECT_FALSE(Read(text.substr(0, text.size() - 3) + "\"1"));
    EXPECT_FALSE(ReadWithRecord(3, "\"C:\\app.hex"));
}

TEST(SettingsFileRead, BytesPassThroughAndAByteOrderMarkIsSkipped) {
    const std::string utf8 = "C:\\Pr\xC3\xBC\x66ung\\\xE6\xB5\x8B\xE8\xAF\x95.hex";
    const auto plain = ReadWithRecord(3, "\"" + utf8 + "\"");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->applicationFile, utf8);

    auto records = DefaultRecords();
    records[0] = "4";
    const auto marked = Read("\xEF\xBB\xBF" + Join(records));
    ASSERT_TRUE(marked);
    EXPECT_EQ(marked->comPortIndex, 4);

    records[0] = "\"4\"";
    const auto markedQuote = Read("\xEF\xBB\xBF" + Join(records));
    ASSERT_TRUE(markedQuote);
    EXPECT_EQ(markedQuote->comPortIndex, 4);

    // Only a whole mark is skipped; a part of one is text (a word: the first port).
    records[2] = "\xEF\xBB";
    const auto partial = Read("\xEF\xBB" + Join(records));
    ASSERT_TRUE(partial);
    EXPECT_EQ(partial->comPortIndex, 0);
    EXPECT_EQ(partial->applicationFile, "\xEF\xBB");
}

} // namespace
} // namespace tavo::settings
