#include "tools/bootsim/IntelHex.h"

#include <gtest/gtest.h>

// Cases give the dump only where it is the point.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace tavo::bootsim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Segments = MemoryImage::Segments;

TEST(IntelHex, DecodesAKnownRecordAndWhatItEncodes) {
    auto record = DecodeRecord(":0B0010006164647265737320676170A7");
    EXPECT_TRUE(record.valid());
    EXPECT_EQ(record.type, record_type::Data);
    EXPECT_EQ(record.address, 0x0010);
    EXPECT_EQ(std::string(record.data.begin(), record.data.end()), "address gap");
    EXPECT_TRUE(DecodeRecord(":00000001FF").valid());
    EXPECT_EQ(DecodeRecord(":00000001ff").type, record_type::EndOfFile);
    Bytes data{0x00, 0x7F, 0x80, 0xFF};
    auto encoded = DecodeRecord(EncodeRecord(record_type::Data, 0xBEEF, data));
    EXPECT_TRUE(encoded.valid());
    EXPECT_EQ(encoded.address, 0xBEEF);
    EXPECT_EQ(encoded.data, data);
}

TEST(IntelHex, RejectsBadRecords) {
    auto badSum = DecodeRecord(":0B0010006164647265737320676170A8");
    EXPECT_TRUE(badSum.wellFormed);
    EXPECT_FALSE(badSum.checksumOk);
    for (const char* text :
         {"", ":", ":00000001F", ":00000001FF0", "00000001FF", ":0000000XFF", ":01000000FF"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(DecodeRecord(text).wellFormed);
    }
}

TEST(IntelHex, RecordLengthComesFromTheLengthField) {
    EXPECT_EQ(RecordLength(":00"), 11u);
    EXPECT_EQ(RecordLength(":10"), 43u);
    EXPECT_EQ(RecordLength(":FF0000"), 11u + 510u);
    EXPECT_FALSE(RecordLength(":1"));
    EXPECT_FALSE(RecordLength(":G0"));
    EXPECT_FALSE(RecordLength("x10"));
}

TEST(IntelHex, WholeTextWithMixedLineEndsAndGaps) {
    auto text = EncodeRecord(0, 0, {1, 2}) + "\r\n" + EncodeRecord(0, 4, {5}) + "\n\n" +
                EncodeRecord(0, 2, {3}) + "\r" + ":00000001FF" + "\r\n";
    auto decoded = DecodeHexText(text);
    EXPECT_TRUE(decoded.error.empty()) << decoded.error;
    EXPECT_TRUE(decoded.sawEndOfFile);
    EXPECT_EQ(decoded.records, 4);
    EXPECT_EQ(decoded.image.segments(), (Segments{{0, {1, 2, 3}}, {4, {5}}}));
}

TEST(IntelHex, NamesTheFirstBadLine) {
    auto decoded = DecodeHexText(EncodeRecord(0, 0, {1}) + "\n\n:0100000002FF\n:zz\n");
    EXPECT_EQ(decoded.error, "line 3: checksum error");
    EXPECT_FALSE(decoded.sawEndOfFile);
    EXPECT_EQ(decoded.image.segments(), (Segments{{0, {1}}}));
}

// Records in order -> the segments they leave, and the dump of those (when given).
struct MemoryCase {
    const char* name;
    std::vector<std::string> records;
    Segments segments;
    std::string dump;
};

std::string Linear(std::uint16_t upper) {
    return EncodeRecord(record_type::ExtendedLinearAddress, 0,
                        {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)});
}
std::string Segment(std::uint16_t paragraph) {
    return EncodeRecord(
        record_type::ExtendedSegmentAddress, 0,
        {static_cast<std::uint8_t>(paragraph >> 8), static_cast<std::uint8_t>(paragraph)});
}
std::string Data(std::uint16_t address, Bytes bytes) {
    return EncodeRecord(record_type::Data, address, bytes);
}
Bytes Count(std::uint8_t from, std::size_t n) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>(from + i);
    return bytes;
}

class MemoryTest : public ::testing::TestWithParam<MemoryCase> {};

TEST_P(MemoryTest, HoldsOnlyWhatWasWrittenAndDumpsIt) {
    const auto& c = GetParam();
    std::string text;
    for (const auto& record : c.records)
        text += record + "\n";
    auto image = DecodeHexText(text).image;
    EXPECT_EQ(image.segments(), c.segments);
    auto dump = EncodeImage(image);
    if (!c.dump.empty()) {
        EXPECT_EQ(dump, c.dump);
    }
    // The dump reads back as the same memory.
    EXPECT_EQ(DecodeHexText(dump).image, image);
}

INSTANTIATE_TEST_SUITE_P(
    IntelHex, MemoryTest,
    ::testing::Values(
        MemoryCase{"Nothing", {}, {}, ":00000001FF\n"},
        MemoryCase{
            "LinesInARowJoin", {Data(0, {1, 2}), Data(2, {3}), Data(3, {4})}, {{0, {1, 2, 3, 4}}}},
        MemoryCase{"ALaterLineReplacesAndBridges",
                   {Data(0, {1, 2}), Data(4, {5, 6}), Data(1, {9, 9, 9, 9})},
                   {{0, {1, 9, 9, 9, 9, 6}}}},
        MemoryCase{"ALineBeforeASegmentJoinsIt",
                   {Data(4, {5}), Data(2, {3, 4}), Data(8, {9})},
                   {{2, {3, 4, 5}}, {8, {9}}}},
        MemoryCase{"TopOfTheAddressSpace",
                   {Linear(0xFFFF), Data(0xFFF0, Bytes(16, 0xA5)), ":00000001FF"},
                   {{0xFFFFFFF0, Bytes(16, 0xA5)}},
                   ":02000004FFFFFC\n:10FFF000A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5B1\n"
                   ":00000001FF\n"},
        MemoryCase{"LinearWrapsAt4GiB",
                   {Linear(0xFFFF), Data(0xFFFC, Count(1, 8))},
                   {{0, Count(5, 4)}, {0xFFFFFFFC, Count(1, 4)}}},
        MemoryCase{"LinearRunsOnPast64KiB",
                   {Linear(0), Data(0xFFFE, Count(1, 4))},
                   {{0xFFFE, Count(1, 4)}},
                   ":02FFFE000102FE\n:020000040001F9\n:020000000304F7\n:00000001FF\n"},
        MemoryCase{"SegmentOffsetWrapsWithinIts64KiB",
                   {Segment(0x1000), Data(0xFFFE, Count(1, 4))},
                   {{0x10000, Count(3, 2)}, {0x1FFFE, Count(1, 2)}}},
        MemoryCase{
            "NoExtendedRecordWrapsAt64KiB", {Data(0xFFFF, Count(1, 2))}, {{0, {2}}, {0xFFFF, {1}}}},
        MemoryCase{"TheLastExtendedRecordDecides",
                   {Segment(0x1000), Linear(0x0001), Data(0xFFFF, Count(1, 2)), Segment(0x0001),
                    Data(0xFFFF, {7, 8})},
                   {{0x10, {8}}, {0x1000F, {7}}, {0x1FFFF, Count(1, 2)}}},
        MemoryCase{"DumpRecordsStopAt16ByteBoundaries",
                   {Data(0x0D, Count(0, 20))},
                   {{0x0D, Count(0, 20)}},
                   ":03000D00000102ED\n:10001000030405060708090A0B0C0D0E0F10111238\n"
                   ":0100200013CC\n:00000001FF\n"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tavo::bootsim
