// Per-board identity: formats and their limits, places and their checks, the records that carry a
// value, and the counter and list files on disk.
#include "cli/Identity.h"
#include "cli/IdentityPlan.h"
#include "tests/support/TempImages.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

namespace tavo::test {
namespace {

using flash::IdentityBytes;
using flash::IdentityError;
using flash::IdentityFormat;
using flash::IdentityMemory;
using flash::IdentityPlace;

IdentityFormat Format(const std::string& name) {
    auto format = flash::ParseIdentityFormat(name);
    EXPECT_TRUE(format) << name;
    return format.value_or(IdentityFormat{});
}

// The bytes as hex, or "error: ..." with the error's text.
template <typename Encoded> std::string Shown(const Encoded& encoded) {
    if (auto* error = std::get_if<IdentityError>(&encoded))
        return "error: " + error->text;
    std::string text;
    for (auto byte : std::get<IdentityBytes>(encoded)) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        text += {kDigits[byte >> 4], kDigits[byte & 0xF]};
    }
    return text;
}

struct NumberCase {
    std::string format;
    std::uint64_t number;
    std::string bytes; // hex, or the start of the error
};

class NumberFormats : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberFormats, WriteTheNumberOrSayItDoesNotFit) {
    const auto& c = GetParam();
    auto format = Format(c.format);
    EXPECT_EQ(format.name(), c.format);
    auto shown = Shown(flash::EncodeNumber(c.number, format));
    if (c.bytes.rfind("error", 0) == 0) {
        EXPECT_EQ(shown.rfind("error: the number " + std::to_string(c.number) + " does not fit " +
                                  c.format,
                              0),
                  0u)
            << shown;
    } else {
        EXPECT_EQ(shown, c.bytes);
        EXPECT_EQ(shown.size(), 2 * format.size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, NumberFormats,
    ::testing::Values(
        NumberCase{"u16le", 0x1234, "3412"}, NumberCase{"u16be", 0x1234, "1234"},
        NumberCase{"u16le", 65535, "FFFF"}, NumberCase{"u16be", 65536, "error"},
        NumberCase{"u32le", 0x01020304, "04030201"}, NumberCase{"u32be", 0xFFFFFFFF, "FFFFFFFF"},
        NumberCase{"u32le", 0x100000000, "error"},
        NumberCase{"u64le", 0xFFFFFFFFFFFFFFFF, "FFFFFFFFFFFFFFFF"},
        NumberCase{"u64le", 1, "0100000000000000"}, NumberCase{"ascii:6", 42, "303030303432"},
        NumberCase{"ascii:2", 99, "3939"}, NumberCase{"ascii:2", 100, "error"},
        NumberCase{"ascii:20", 18446744073709551615u, "3138343436373434303733373039353531363135"},
        NumberCase{"hex:4", 0xBEEF, "BEEF"}, NumberCase{"hex:3", 0xFFF, "0FFF"},
        NumberCase{"hex:3", 0x1000, "error"}, NumberCase{"hex:12", 0x0012345678, "000012345678"}));

TEST(IdentityFormats, UnknownNamesAndDigitCountsOutsideOneToSixtyFourAreRefused) {
    for (const char* bad : {"", "u32", "U32LE", "u32le ", "ascii", "ascii:", "ascii:0", "ascii:65",
                            "hex:-1", "hex:08", "hex:4x", "float"})
        EXPECT_FALSE(flash::ParseIdentityFormat(bad)) << bad;
    EXPECT_EQ(Format("ascii:64").size(), 64u);
    EXPECT_EQ(Format("hex:64").size(), 32u);
}

TEST(IdentityFormats, ListValuesAreReadForTheirFormat) {
    const struct {
        const char* format;
        const char* value;
        const char* bytes;
    } cases[] = {
        {"hex:12", "00:1A:2B:3c:4D:5E", "001A2B3C4D5E"},
        {"hex:12", "00-1a-2b-3c-4d-5e\r", "001A2B3C4D5E"},
        {"hex:12", "1A2B", "000000001A2B"},
        {"hex:12", "00:1A:2B:3C:4D:5E:6F", "error: the value '00:1A:2B:3C:4D:5E:6F' has more"},
        {"hex:4", "12G4", "error: the value '12G4' is not hex digits"},
        {"ascii:8", " 1234 ", "3030303031323334"},
        {"ascii:8", "12a4", "error: the value '12a4' is not decimal digits"},
        {"u32be", "0x10", "00000010"},
        {"u16le", "65536", "error: the number 65536 does not fit u16le"},
        {"u64le", "18446744073709551616",
         "error: the value '18446744073709551616' is not a number"},
        {"u32le", "-1", "error: the value '-1' is not a number"},
        {"hex:2", "::", "error: the value '::' has no digits"},
    };
    for (const auto& c : cases) {
        auto shown = Shown(flash::EncodeValue(c.value, Format(c.format)));
        EXPECT_EQ(shown.rfind(c.bytes, 0), 0u) << c.format << " " << c.value << ": " << shown;
    }
}

TEST(IdentityPlaces, AddressesAreDecimalOrHexInEepromOrFlash) {
    auto place = [](const char* text) { return flash::ParseIdentityPlace(text); };
    auto ok = std::get<IdentityPlace>(place("eeprom:0x3F0"));
    EXPECT_EQ(ok.memory, IdentityMemory::Eeprom);
    EXPECT_EQ(ok.address, 0x3F0u);
    ok = std::get<IdentityPlace>(place("flash:4294967295"));
    EXPECT_EQ(ok.memory, IdentityMemory::Flash);
    EXPECT_EQ(ok.address, 0xFFFFFFFFu);
    for (const char* bad : {"ram:0", "eeprom:", "flash:0x", "flash:4294967296", "eeprom:-1",
                            "eeprom:1k", "EEPROM:0", "flash: 12"})
        EXPECT_TRUE(std::holds_alternative<IdentityError>(place(bad))) << bad;
}

TEST(IdentityPlaces, FlashInsideTheImagesDataAndEepromBeyondTheChipAreRefused) {
    // Data at 0x0000-0x001F and, after a 04 record, at 0x10000-0x1000F; a gap between.
    auto layout = flash::LayoutOf({":10000000000102030405060708090A0B0C0D0E0F78",
                                   ":10001000101112131415161718191A1B1C1D1E1F68", "not a record",
                                   ":020000040001F9", ":10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00",
                                   ":00000001FF"});
    ASSERT_EQ(layout.spans.size(), 2u);
    EXPECT_TRUE(layout.extendedAddress);
    const struct {
        IdentityMemory memory;
        std::uint32_t address;
        std::size_t size;
        std::optional<std::uint32_t> eeprom;
        bool usable;
    } cases[] = {
        {IdentityMemory::Flash, 0x20, 4, {}, true},        // right after the data
        {IdentityMemory::Flash, 0x1E, 4, {}, false},       // overlaps its end
        {IdentityMemory::Flash, 0xFFFC, 4, {}, true},      // in the gap
        {IdentityMemory::Flash, 0xFFFE, 4, {}, false},     // into the second span
        {IdentityMemory::Flash, 0x10010, 8, {}, true},     // after it
        {IdentityMemory::Flash, 0xFFFFFFFC, 8, {}, false}, // beyond 4 GiB
        {IdentityMemory::Eeprom, 0x3FC, 4, 1024, true},
        {IdentityMemory::Eeprom, 0x3FD, 4, 1024, false},
        {IdentityMemory::Eeprom, 0x3FD, 4, {}, true}, // the size is not known
        {IdentityMemory::Eeprom, 0xFFFE, 4, {}, false},
    };
    for (const auto& c : cases) {
        auto error = flash::CheckPlace({c.memory, c.address}, c.size, &layout, c.eeprom);
        EXPECT_EQ(!error, c.usable) << c.address << ": " << (error ? error->text : "usable");
    }
}

TEST(IdentityRecords, GoBeforeTheEndRecordWithABaseWhereNeeded) {
    IdentityBytes bytes(20);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i);
    // Past 64 KiB: a 04 record first; 16 bytes at most a record.
    EXPECT_EQ(
        flash::IdentityRecords(0x10100, bytes, false),
        (std::vector<std::string>{":020000040001F9", ":10010000000102030405060708090A0B0C0D0E0F77",
                                  ":0401100010111213A5"}));
    // Across a 64 KiB boundary: a 04 record where the upper address changes.
    EXPECT_EQ(flash::IdentityRecords(0xFFFE, {0xAA, 0xBB, 0xCC}, false),
              (std::vector<std::string>{":02FFFE00AABB9C", ":020000040001F9", ":01000000CC33"}));
    // Low, but after an image that set a base of its own.
    EXPECT_EQ(flash::IdentityRecords(0x10, {0x01}, true),
              (std::vector<std::string>{":020000040000FA", ":0100100001EE"}));

    std::vector<std::string> image = {":0100000011EE", ":00000001FF", ""};
    EXPECT_EQ(flash::WithRecords(image, {":0100100001EE"}),
              (std::vector<std::string>{":0100000011EE", ":0100100001EE", ":00000001FF", ""}));
    EXPECT_EQ(flash::WithRecords({}, {":0100100001EE"}),
              (std::vector<std::string>{":0100100001EE", ":00000001FF"}));
}

TEST(IdentityOptions, ASourceNeedsAPlaceAndTheRestGoesWithASource) {
    const struct {
        const char *counter, *list, *at, *format, *refusal;
    } cases[] = {
        {"", "", "", "", nullptr},
        {"c", "", "flash:0x100", "", nullptr},
        {"", "l", "eeprom:16", "hex:12", nullptr},
        {"c", "l", "eeprom:0", "", "exclude each other"},
        {"c", "", "", "", "need --serial-at"},
        {"", "", "eeprom:0", "", "go with --serial-counter"},
        {"", "", "", "u16le", "go with --serial-counter"},
        {"c", "", "eeprom:0", "u24le", "--serial-format must be"},
        {"c", "", "sram:0", "", "--serial-at needs eeprom:ADDRESS or flash:ADDRESS"},
    };
    for (const auto& c : cases) {
        auto parsed = flash::ParseIdentityOptions(c.counter, c.list, c.at, c.format);
        if (!c.refusal) {
            ASSERT_TRUE(std::holds_alternative<std::optional<flash::IdentityOptions>>(parsed));
            auto options = std::get<std::optional<flash::IdentityOptions>>(parsed);
            EXPECT_EQ(options.has_value(), *c.counter || *c.list);
            if (options) {
                EXPECT_EQ(options->format.name(), *c.format ? c.format : "u32le");
            }
        } else {
            ASSERT_TRUE(std::holds_alternative<std::string>(parsed)) << c.refusal;
            EXPECT_NE(std::get<std::string>(parsed).find(c.refusal), std::string::npos)
                << std::get<std::string>(parsed);
        }
    }
}

class IdentityFiles : public ::testing::Test {
protected:
    std::string counter(const std::string& text) { return dir.write("counter", text); }
    std::vector<std::uint64_t> take(const std::string& path, std::size_t count,
                                    const std::string& format = "u32le") {
        auto taken = flash::TakeFromCounter(path, count, Format(format));
        if (auto* error = std::get_if<IdentityError>(&taken)) {
            ADD_FAILURE() << error->text;
            return {};
        }
        return std::get<std::vector<std::uint64_t>>(taken);
    }

    TempDir dir;
};

TEST_F(IdentityFiles, TheCounterMovesPastWhatWasTakenAndStaysUntouchedOnAnyError) {
    auto path = counter("65534\n");
    ::chmod(path.c_str(), 0640);
    EXPECT_EQ(take(path, 1, "u16le"), std::vector<std::uint64_t>{65534});
    EXPECT_EQ(ReadFile(path), "65535\n");
    struct stat kept {};
    ASSERT_EQ(::stat(path.c_str(), &kept), 0);
    EXPECT_EQ(kept.st_mode & 0777, 0640u);

    // The second of two numbers does not fit: neither is taken.
    auto refused = flash::TakeFromCounter(path, 2, Format("u16le"));
    ASSERT_TRUE(std::holds_alternative<IdentityError>(refused));
    EXPECT_NE(std::get<IdentityError>(refused).text.find("65536 does not fit u16le"),
              std::string::npos);
    EXPECT_EQ(ReadFile(path), "65535\n");
    // Through a symbolic link, the file it points to moves on.
    auto link = dir.path() / "link";
    std::filesystem::create_symlink(path, link);
    EXPECT_EQ(take(link.string(), 3, "u32le"), (std::vector<std::uint64_t>{65535, 65536, 65537}));
    EXPECT_EQ(ReadFile(path), "65538\n");
    EXPECT_TRUE(std::filesystem::is_symlink(link));

    for (const char* bad : {"", "12a\n", "-3\n", "99999999999999999999999\n"}) {
        auto unusable = counter(bad);
        EXPECT_TRUE(std::holds_alternative<IdentityError>(
            flash::TakeFromCounter(unusable, 1, Format("u64le"))))
            << bad;
        EXPECT_EQ(ReadFile(unusable), bad);
    }
    EXPECT_TRUE(std::holds_alternative<IdentityError>(
        flash::TakeFromCounter((dir.path() / "missing").string(), 1, Format("u32le"))));
    auto last = counter("18446744073709551615");
    EXPECT_TRUE(
        std::holds_alternative<IdentityError>(flash::TakeFromCounter(last, 1, Format("u64le"))));
}

TEST_F(IdentityFiles, AListHandsOutEachValueOnceAndEndsWithAClearError) {
    auto list = dir.write("macs.txt", "# bench 3\n00:1A:2B:00:00:01\n\n00:1A:2B:00:00:02\r\n"
                                      "00:1A:2B:00:00:01\n00:1A:2B:00:00:03\n");
    auto format = Format("hex:12");
    auto take = [&](std::size_t count) { return flash::TakeFromList(list, count, format); };
    // A killed run left half a line in the journal.
    dir.write("macs.txt.used", "00:1A:2B:00:00:02\n00:1A");

    auto first = take(1);
    ASSERT_TRUE(std::holds_alternative<std::vector<std::string>>(first));
    EXPECT_EQ(std::get<std::vector<std::string>>(first),
              std::vector<std::string>{"00:1A:2B:00:00:01"});
    EXPECT_FALSE(flash::NoteListOutcome(list, "00:1A:2B:00:00:01", false));

    // One left (the repeated line counts as used) and two wanted: nothing is taken.
    auto exhausted = take(2);
    ASSERT_TRUE(std::holds_alternative<IdentityError>(exhausted));
    EXPECT_EQ(std::get<IdentityError>(exhausted).text,
              "the list " + list + " is exhausted: 1 unused value(s) left for 2 board(s)");
    auto second = take(1);
    ASSERT_TRUE(std::holds_alternative<std::vector<std::string>>(second));
    EXPECT_EQ(std::get<std::vector<std::string>>(second),
              std::vector<std::string>{"00:1A:2B:00:00:03"});
    EXPECT_TRUE(std::holds_alternative<IdentityError>(take(1)));
    EXPECT_EQ(ReadFile(flash::JournalOf(list)),
              "00:1A:2B:00:00:02\n00:1A\n00:1A:2B:00:00:01\n00:1A:2B:00:00:01 failed\n"
              "00:1A:2B:00:00:03\n");

    // A value that does not suit the format stops the take at its line.
    auto bad = dir.write("bad.txt", "12\nxyz\n");
    auto refused = flash::TakeFromList(bad, 2, Format("u16le"));
    ASSERT_TRUE(std::holds_alternative<IdentityError>(refused));
    EXPECT_NE(std::get<IdentityError>(refused).text.find(", line 2: "), std::string::npos);
    EXPECT_EQ(ReadFile(flash::JournalOf(bad)), "");
}

} // namespace
} // namespace tavo::test
