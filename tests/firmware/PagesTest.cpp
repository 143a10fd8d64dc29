// The bootloader's page and record logic, built for the host against a fake chip (FakeChip.h):
// the overlap of a page's erase and write with the next records, the blank pages, the bounds of
// the boot section, a page that does not take what was written, and the framing of records.
#include "firmware/bootloader/pages.h"
#include "firmware/bootloader/record.h"
#include "tests/firmware/FakeChip.h"

#include <gtest/gtest.h>

#include <numeric>

namespace tavo::fake_avr {
namespace {

using Log = std::vector<std::string>;

class PagesTest : public ::testing::Test {
protected:
    Chip& chip = TheChip();

    void SetUp() override {
        chip.reset();
        pages_begin();
        chip.log.clear();
    }
    void TearDown() override { EXPECT_EQ(chip.unreadableReads, 0) << "Flash read while busy"; }

    static std::vector<std::uint8_t> Bytes(std::size_t n, int seed) {
        std::vector<std::uint8_t> bytes(n);
        std::iota(bytes.begin(), bytes.end(), static_cast<std::uint8_t>(seed));
        return bytes;
    }
    std::uint8_t store(address_t at, const std::vector<std::uint8_t>& bytes) {
        return flash_store(at, bytes.data(), static_cast<std::uint8_t>(bytes.size()));
    }
    std::vector<std::uint8_t> flash(std::uint32_t at, std::size_t n) const {
        return {chip.flash.begin() + at, chip.flash.begin() + at + n};
    }
};

// A full page goes out when the records move on: its erase starts at once, its write only when
// the erase is done, from the wait for the next byte, and nothing waits for either meanwhile.
TEST_F(PagesTest, EraseAndWriteOverlapTheNextRecords) {
    chip.flash[0x100 + 3] = 0x00; // not blank: needs its erase
    const auto first = Bytes(128, 1), second = Bytes(128, 50);
    EXPECT_EQ(store(0x100, first), 0);
    EXPECT_EQ(store(0x180, second), 0);
    EXPECT_EQ(chip.log, (Log{"erase 0x100"}));
    EXPECT_GT(chip.busyReads, 0) << "the answer waited for the erase";
    for (int polls = 0; polls < chip.busyFor; ++polls)
        pages_poll(); // the firmware's wait for a byte
    EXPECT_EQ(chip.log, (Log{"erase 0x100", "write 0x100"}));

    EXPECT_EQ(flash_finish(0), 0);
    EXPECT_EQ(chip.log, (Log{"erase 0x100", "write 0x100", "write 0x180"})) << "blank: no erase";
    EXPECT_EQ(flash(0x100, 128), first);
    EXPECT_EQ(flash(0x180, 128), second);
}

// A record sent again (its answer was lost) lands in the same page: one write; bytes of the page
// no record carries keep what they held.
TEST_F(PagesTest, RecordSentAgainChangesNothingAndTheRestOfThePageStays) {
    chip.flash[0x200] = 0x42;
    const auto bytes = Bytes(16, 9);
    EXPECT_EQ(store(0x210, bytes), 0);
    EXPECT_EQ(store(0x210, bytes), 0);
    EXPECT_EQ(flash_finish(0), 0);
    EXPECT_EQ(chip.log, (Log{"erase 0x200", "write 0x200"}));
    EXPECT_EQ(chip.flash[0x200], 0x42);
    EXPECT_EQ(flash(0x210, 16), bytes);
}

// The reset vector's page is erased at once and written last, and not at all after a failure.
TEST_F(PagesTest, FirstPageIsWrittenOnlyByADownloadWithoutErrors) {
    chip.flash[0] = 0x0C;
    EXPECT_EQ(store(0, Bytes(16, 3)), 0);
    EXPECT_EQ(store(0x80, Bytes(16, 4)), 0);
    EXPECT_EQ(chip.flash[0], 0xFF) << "page 0 is erased meanwhile";
    EXPECT_NE(flash_finish(1), 0);
    EXPECT_FALSE(application_present());
    EXPECT_EQ(flash(0x80, 16), Bytes(16, 4));

    pages_begin();
    EXPECT_EQ(store(0, Bytes(16, 3)), 0);
    EXPECT_EQ(flash_finish(0), 0);
    EXPECT_EQ(flash(0, 16), Bytes(16, 3));
}

// Refused whole: anything that reaches the boot section at 0x7000, however it starts.
TEST_F(PagesTest, RecordsReachingTheBootSectionAreRefused) {
    struct Case {
        address_t start;
        std::size_t count;
        std::uint8_t refused;
    };
    for (auto c : {Case{0x6FF0, 16, 0}, Case{0x6FF8, 16, 1}, Case{0x6FFF, 2, 1}, Case{0x7000, 1, 1},
                   Case{0xFFF8, 16, 1}}) {
        EXPECT_EQ(store(c.start, Bytes(c.count, 1)), c.refused) << std::hex << c.start;
    }
    EXPECT_EQ(flash_finish(0), 0);
    EXPECT_EQ(flash(0x7000, 16), std::vector<std::uint8_t>(16, 0xFF));
}

// A page that does not hold what was written is reported at the next record after its write,
// and fails the end; so does a cell that keeps its erased value.
TEST_F(PagesTest, PageThatDoesNotTakeItsDataIsReported) {
    chip.failingWrites = {1};
    EXPECT_EQ(store(0x100, Bytes(128, 1)), 0);
    EXPECT_EQ(store(0x180, Bytes(128, 2)), 0);
    EXPECT_NE(store(0x200, Bytes(128, 3)), 0);
    EXPECT_EQ(flash_finish(0), 0) << "reported once, at the record";

    pages_begin();
    chip.stuckCells = {0x305};
    EXPECT_EQ(store(0x300, Bytes(128, 1)), 0);
    EXPECT_NE(flash_finish(0), 0);
}

TEST_F(PagesTest, CrcIsZlibs) {
    const std::string digits = "123456789";
    EXPECT_EQ(store(0x400, {digits.begin(), digits.end()}), 0);
    EXPECT_EQ(flash_finish(0), 0);
    EXPECT_EQ(memory_crc(0, 0x400, 9), 0xCBF43926u);
    EXPECT_EQ(memory_crc(0, 0x400, 0), 0u);
}

// Records framed by their own length: a good one, a bad checksum, a character that is no hex
// digit (kept for the caller), a pause.
TEST(RecordTest, FramedByTheirLengthField) {
    struct Case {
        std::string text; // after the ':'
        record_status status;
        int stray;
    };
    for (const auto& c :
         {Case{"0300300002337A1E", RECORD_OK, 0}, Case{"0300300002337A1F", RECORD_BAD_CHECKSUM, 0},
          Case{"03003000:2337A1E", RECORD_BROKEN, ':'}, Case{"0300300002", RECORD_BROKEN, -1}}) {
        auto& chip = TheChip();
        chip.reset();
        chip.received.assign(c.text.begin(), c.text.end());
        EXPECT_EQ(record_read(), c.status) << c.text;
        if (c.status == RECORD_BROKEN) {
            EXPECT_EQ(record_stray, c.stray) << c.text;
        }
        if (c.status == RECORD_OK) {
            EXPECT_EQ(record.header.length, 3);
            EXPECT_EQ(record.header.offset, 0x0030);
            EXPECT_EQ(record.data[2], 0x7A);
        }
    }
}

} // namespace
} // namespace tavo::fake_avr
