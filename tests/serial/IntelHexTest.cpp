#include "tools/bootsim/IntelHex.h"

#include <gtest/gtest.h>

namespace tavo::bootsim {
namespace {

using Bytes = std::vector<std::uint8_t>;

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
    EXPECT_EQ(decoded.image.toBinary(), (Bytes{1, 2, 3, 0xFF, 5}));
    EXPECT_EQ(decoded.image.toBinary(0x00), (Bytes{1, 2, 3, 0, 5}));
}

TEST(IntelHex, NamesTheFirstBadLine) {
    auto decoded = DecodeHexText(EncodeRecord(0, 0, {1}) + "\n\n:0100000002FF\n:zz\n");
    EXPECT_EQ(decoded.error, "line 3: checksum error");
    EXPECT_FALSE(decoded.sawEndOfFile);
    EXPECT_EQ(decoded.image.toBinary(), Bytes{1});
    EXPECT_TRUE(MemoryImage{}.toBinary().empty());
}

} // namespace
} // namespace tavo::bootsim
