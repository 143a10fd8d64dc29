#include "settings/SettingsFile.h"

#include <gtest/gtest.h>

#include <functional>
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
    for (const auto& record : records)
        text += record + end;
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

// The default file with record `number` (1-based) replaced.
std::string WithRecord(int number, const std::string& record) {
    auto records = DefaultRecords();
    records.at(number - 1) = record;
    return Join(records);
}

// The defaults with one change applied.
Settings Defaults(const std::function<void(Settings&)>& change = {}) {
    Settings s;
    if (change)
        change(s);
    return s;
}

TEST(SettingsFileWrite, DefaultsGiveTheSeventyTwoByteFile) {
    const std::string expected = "0\r\n5\r\n\"\"\r\n\"@&$\"\r\n\"?\"\r\n\"$\"\r\n\"^\"\r\n"
                                 "\"%\"\r\n\"#\"\r\n\"@\"\r\n\"-\"\r\n\"~\"\r\n\"\"\r\n"
                                 "\"*\"\r\n0\r\n1\r\n";
    ASSERT_EQ(expected.size(), 72u);
    EXPECT_EQ(Written(Settings{}), expected);
    EXPECT_EQ(Read(expected), Settings{});
}

TEST(SettingsFileWrite, RecordsInFileOrderWithDoubledQuotesAndEveryValueReadsBack) {
    const Settings s{.comPortIndex = -1,
                     .baudIndex = 9,
                     .applicationFile = "C:\\Firmware, new\\app v2.hex",
                     .startDownloadSequence = "@&$@&$",
                     .bootloaderReady = "READY>",
                     .jumpCommand = "",
                     .bootloaderActive = "say \"hi\"",
                     .pageError = "\"",
                     .fileCompleteWithErrors = "\"\"",
                     .fileCompleteNoErrors = "@,@",
                     .checksumError = "  -  ",
                     .lineComplete = "~\r\n~",
                     .eepromFile = "/home/t\xC3\xA9\x63hnicien/eeprom \xE2\x82\xAC.eep",
                     .eepromWrite = "\t*",
                     .eepromCheck = 2,
                     .flashCheck = 0};
    EXPECT_EQ(Written(s), Join({"-1", "9", "\"C:\\Firmware, new\\app v2.hex\"", "\"@&$@&$\"",
                                "\"READY>\"", "\"\"", "\"say \"\"hi\"\"\"", "\"\"\"\"",
                                "\"\"\"\"\"\"", "\"@,@\"", "\"  -  \"", "\"~\r\n~\"",
                                "\"/home/t\xC3\xA9\x63hnicien/eeprom \xE2\x82\xAC.eep\"", "\"\t*\"",
                                "2", "0"}));
    EXPECT_EQ(Read(Written(s)), s);

    Settings longStrings;
    longStrings.jumpCommand = std::string(5000, '$');
    longStrings.applicationFile = std::string(3000, ',');
    EXPECT_EQ(Read(Written(longStrings)), longStrings);
}

// One record of the default file replaced: either the whole file is refused or it reads as the
// defaults with exactly the expected change (so no neighbouring record is disturbed).
TEST(SettingsFileRead, OneRecordChanged) {
    struct Case {
        int record;
        std::string text;
        std::function<void(Settings&)> change; // empty: the file is refused
    };
    const std::function<void(Settings&)> refused;
    const std::string utf8 = "C:\\Pr\xC3\xBC\x66ung\\\xE6\xB5\x8B\xE8\xAF\x95.hex";
    const Case cases[] = {
        // List indexes outside the lists.
        {1, "8", refused},
        {1, "-2", refused},
        {1, "4294967296", refused}, // would wrap to 0 in 32 bits
        {1, "99999999999999999999999", refused},
        {1, "2.5", refused},
        {1, "\"12\"", refused},
        {2, "10", refused},
        {2, "-2", refused},
        {1, "7", [](Settings& s) { s.comPortIndex = 7; }},
        {2, "9", [](Settings& s) { s.baudIndex = 9; }},
        // -1 selects nothing.
        {1, "-1", [](Settings& s) { s.comPortIndex = -1; }},
        {2, "-1", [](Settings& s) { s.baudIndex = -1; }},
        // An index that is not a number (or empty) selects the first entry.
        {1, "COM3", [](Settings& s) { s.comPortIndex = 0; }},
        {2, "fast", [](Settings& s) { s.baudIndex = 0; }},
        {2, "", [](Settings& s) { s.baudIndex = 0; }},
        {1, "", [](Settings& s) { s.comPortIndex = 0; }},
        // Quoted or padded indexes.
        {1, "\"3\"", [](Settings& s) { s.comPortIndex = 3; }},
        {2, " \t7 ", [](Settings& s) { s.baudIndex = 7; }},
        // Check values: "2", padded 0; nothing else.
        {15, "\"2\"", [](Settings& s) { s.eepromCheck = 2; }},
        {16, " 0 ", [](Settings& s) { s.flashCheck = 0; }},
        // Quoted text keeps commas, blanks, doubled quotes and any bytes; after the closing
        // quote the rest of the record is ignored.
        {3, "\"C:\\My Boards, 2024\\ app .hex\"",
         [](Settings& s) { s.applicationFile = "C:\\My Boards, 2024\\ app .hex"; }},
        {4, "\"a\"\"b\"\"\"", [](Settings& s) { s.startDownloadSequence = "a\"b\""; }},
        {5, "\"!\"  trailing words", [](Settings& s) { s.bootloaderReady = "!"; }},
        {3, "\"" + utf8 + "\"", [&](Settings& s) { s.applicationFile = utf8; }},
        {3, "\"C:\\app.hex", refused}, // unterminated
        // Unquoted text is trimmed; an empty line is an empty record.
        {3, " \t/tmp/app file.hex\t ",
         [](Settings& s) { s.applicationFile = "/tmp/app file.hex"; }},
        {13, "   ", [](Settings& s) { s.eepromFile = ""; }},
        {14, "\t\"  *  \"", [](Settings& s) { s.eepromWrite = "  *  "; }},
        {4, "", [](Settings& s) { s.startDownloadSequence = ""; }},
        {14, "", [](Settings& s) { s.eepromWrite = ""; }},
        // A comma in an unquoted text splits it, shifting every later record.
        {15, "1,2",
         [](Settings& s) {
             s.eepromCheck = 1;
             s.flashCheck = 2;
         }},
        {3, "a,b", refused},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("record " + std::to_string(c.record) + ": " + c.text);
        const auto read = Read(WithRecord(c.record, c.text));
        if (c.change)
            EXPECT_EQ(read, Defaults(c.change));
        else
            EXPECT_FALSE(read);
    }
    for (const int record : {15, 16}) {
        for (const char* text : {"", "\"\"", "yes", "1.0", "3", "-1", "1x"}) {
            SCOPED_TRACE("check record " + std::to_string(record) + ": " + text);
            EXPECT_FALSE(Read(WithRecord(record, text)));
        }
    }
}

TEST(SettingsFileRead, WholeFiles) {
    const auto records = DefaultRecords();
    const std::string defaults = Written(Settings{});
    const std::string bom = "\xEF\xBB\xBF";
    auto withFirst = [&](const std::string& first, const std::string& third = "\"\"") {
        auto r = records;
        r[0] = first;
        r[2] = third;
        return Join(r);
    };
    const std::optional<Settings> refused;
    const struct {
        const char* what;
        std::string text;
        std::optional<Settings> expected;
    } cases[] = {
        {"empty", "", refused},
        {"ten records", Join({records.begin(), records.begin() + 10}), refused},
        // Fifteen records, each with its line end: the sixteenth has not begun.
        {"fifteen records", Join({records.begin(), records.begin() + 15}), refused},
        // A separator after the fifteenth only ends it; it does not make an empty sixteenth.
        {"fifteen and a comma", Join({records.begin(), records.begin() + 14}) + "0,", refused},
        {"last without line end", defaults.substr(0, defaults.size() - 2), Settings{}},
        {"last record unterminated quote", defaults.substr(0, defaults.size() - 3) + "\"1",
         refused},
        {"LF ends", Join(records, "\n"), Settings{}},
        {"CR ends", Join(records, "\r"), Settings{}},
        // Mixed ends, and LF CR is two line ends: an empty record in between.
        {"mixed ends",
         "-1\n2\r\"x\"\r\n\n\"?\"\n\r\"^\"\r\n\"%\"\n\"#\"\n\"@\"\n\"-\"\n\"~\"\n\"\"\n\"*\"\n0\n1",
         Defaults([](Settings& s) {
             s.comPortIndex = -1;
             s.baudIndex = 2;
             s.applicationFile = "x";
             s.startDownloadSequence = "";
             s.jumpCommand = "";
         })},
        {"one line with commas",
         "3,9,\"a,b.hex\",\"@&$\",\"?\",\"$\",\"^\",\"%\",\"#\",\"@\",\"-\",\"~\",e.eep,\"*\",1,"
         "0\r\n",
         Defaults([](Settings& s) {
             s.comPortIndex = 3;
             s.baudIndex = 9;
             s.applicationFile = "a,b.hex";
             s.eepromFile = "e.eep";
             s.eepromCheck = 1;
             s.flashCheck = 0;
         })},
        {"junk after the sixteenth", defaults + "9\r\n\"unterminated", Settings{}},
        // A byte order mark is skipped, only a whole one; a part of one is text (a word: the
        // first port).
        {"mark", bom + withFirst("4"), Defaults([](Settings& s) { s.comPortIndex = 4; })},
        {"mark and quote", bom + withFirst("\"4\""),
         Defaults([](Settings& s) { s.comPortIndex = 4; })},
        {"partial mark", "\xEF\xBB" + withFirst("4", "\xEF\xBB"),
         Defaults([](Settings& s) { s.applicationFile = "\xEF\xBB"; })},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Read(c.text), c.expected);
    }
}

TEST(SettingsFileRead, NothingAfterTheSixteenthRecordIsRead) {
    std::istringstream in(Written(Settings{}) + "\"junk\nmore\r\n,,,");
    EXPECT_EQ(ReadSettings(in), Settings{});
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "\"junk\nmore\r\n,,,");
}

} // namespace
} // namespace tavo::settings
