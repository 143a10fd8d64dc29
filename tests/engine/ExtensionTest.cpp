// The extended protocol: the announcement, the records it sends, and runs against an announcing
// board (rate switch, re-blocked records, the check of every written range).
#include "engine/Extension.h"
#include "tests/engine/Scenario.h"

#include <algorithm>

namespace tavo::test {
namespace {

using engine::Capabilities;
using engine::Verify;

constexpr const char* kAnnouncement = "V1.3;X1,P128,L128,A30720,E1024,R500000,R1000000?";

// Intel HEX lines of 16 bytes at most for each span (address, count), a type 04 record wherever
// the upper address bits change, and the end-of-file record.
Strings HexLines(const std::vector<std::pair<std::uint32_t, int>>& spans) {
    Strings lines;
    std::uint32_t upper = 0;
    for (auto [address, count] : spans) {
        for (int done = 0; done < count;) {
            std::uint32_t at = address + static_cast<std::uint32_t>(done);
            int n = std::min({16, count - done, static_cast<int>(0x10000 - (at & 0xFFFF))});
            if (at >> 16 != upper) {
                upper = at >> 16;
                lines.push_back(engine::HexRecord(
                    4, 0,
                    {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper)}));
            }
            std::vector<std::uint8_t> bytes;
            for (int k = 0; k < n; ++k)
                bytes.push_back(static_cast<std::uint8_t>((at + k) * 7 + 3));
            lines.push_back(engine::HexRecord(0, static_cast<std::uint16_t>(at), bytes));
            done += n;
        }
    }
    lines.emplace_back(engine::kEndOfFileRecord);
    return lines;
}

// Data records as (address within its 64 KiB, length), type 04 records as (-1, upper bits).
std::vector<std::pair<long, long>> Shape(const std::vector<engine::OutRecord>& records) {
    std::vector<std::pair<long, long>> shape;
    for (const auto& r : records) {
        long length = std::stol(r.text.substr(1, 2), nullptr, 16);
        long address = std::stol(r.text.substr(3, 4), nullptr, 16);
        bool upper = r.text.substr(7, 2) == "04";
        shape.emplace_back(upper ? -1 : address,
                           upper ? std::stol(r.text.substr(9, 4), nullptr, 16) : length);
    }
    return shape;
}

TEST(Extension, TheAnnouncementParsesOrCountsAsNone) {
    auto caps = engine::ParseAnnouncement("^" + std::string(kAnnouncement), "?");
    ASSERT_TRUE(caps);
    EXPECT_EQ(caps->text, "X1,P128,L128,A30720,E1024,R500000,R1000000");
    EXPECT_EQ(caps->page, 128);
    EXPECT_EQ(caps->recordMax, 128);
    EXPECT_EQ(caps->flashSize, 30720);
    EXPECT_EQ(caps->eepromSize, 1024);
    EXPECT_EQ(caps->rates, (std::vector<long>{500000, 1000000}));
    // A later revision's tokens are skipped.
    EXPECT_TRUE(engine::ParseAnnouncement("V1.3;X2,P256,Q7,L128,A253952,E4096?", "?"));

    for (const char* bad :
         {"?V1.3", "V1.3?", "V1.3;X0,P128,L128,A30720,E1024?", "V1.3;X1,P128,L,A30720,E1024?",
          "V1.3;X1,L128,A30720,E1024?", "V1.3;X1,P128,L0,A30720,E1024?",
          "V1.3;X1,P128,L300,A30720,E1024?", "V1.3;X1,P128,L128,A30720,E1024",
          "V1.3;X1,P128 L128,A30720,E1024?", "?V1.3;X1,P128,L128,A30720,E1024"})
        EXPECT_FALSE(engine::ParseAnnouncement(bad, "?")) << bad;
}

TEST(Extension, RecordsAndTheCrcAreThoseTheBoardExpects) {
    const std::string digits = "123456789";
    EXPECT_EQ(engine::Crc32(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()),
              0xCBF43926u);
    EXPECT_EQ(engine::SetRateRecord(500000), ":040000800007A120B4");
    EXPECT_EQ(engine::ConfirmRecord(), ":000000817F");
    EXPECT_EQ(engine::CheckRecord(engine::Memory::Flash, 0, 0x7800, 0x1234ABCD),
              ":0D0000820000000000000078001234ABCD3B");
}

struct ReblockCase {
    const char* name;
    std::vector<std::pair<std::uint32_t, int>> spans;
    long page, recordMax;
    std::vector<std::pair<long, long>> shape;
};

class Reblocking : public ::testing::TestWithParam<ReblockCase> {};

TEST_P(Reblocking, KeepsEveryByteAndGapWithinPagesAndRecords) {
    const auto& c = GetParam();
    auto image = engine::ParseImage(HexLines(c.spans));
    ASSERT_TRUE(image);
    auto records = engine::Reblock(*image, c.page, c.recordMax);
    EXPECT_EQ(Shape(records), c.shape);
    // Sent back through the parser, the records hold exactly the image's bytes.
    Strings texts;
    for (const auto& r : records)
        texts.push_back(r.text);
    texts.emplace_back(engine::kEndOfFileRecord);
    auto again = engine::ParseImage(texts);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->address, image->address);
    EXPECT_EQ(again->value, image->value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Reblocking,
    ::testing::Values(
        ReblockCase{"WholePages", {{0, 300}}, 128, 128, {{0, 128}, {128, 128}, {256, 44}}},
        ReblockCase{
            "ShorterRecordsThanPages", {{0, 256}}, 256, 100, {{0, 100}, {100, 100}, {200, 56}}},
        ReblockCase{"GapsStayGaps", {{0, 20}, {40, 10}}, 128, 128, {{0, 20}, {40, 10}}},
        ReblockCase{"AnUnalignedStartEndsAtThePage", {{100, 60}}, 128, 128, {{100, 28}, {128, 32}}},
        ReblockCase{"Across64KiB", {{0xFFC0, 128}}, 256, 128, {{0xFFC0, 64}, {-1, 1}, {0, 64}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Extension, ImagesThatDoNotParseAreRefused) {
    EXPECT_FALSE(engine::ParseImage({":100000000C9434000C9446000C9446000C94460061"})); // no end
    EXPECT_FALSE(
        engine::ParseImage({":100000000C9434000C9446000C9446000C94460062", ":00000001FF"}));
    EXPECT_FALSE(engine::ParseImage({":00000001FF", ":0100000000FF"})); // data after the end
    EXPECT_FALSE(engine::ParseImage({"hello", ":00000001FF"}));
    EXPECT_TRUE(engine::ParseImage({"", ":00000001FF", ""}));
}

// Runs against an announcing board.
class ExtendedRun : public Scenario {
protected:
    using Ext = FakeBootloader::Options::Extension;

    static FakeBootloader::Options Announcing(std::optional<Ext> ext = Ext{{500000, 1000000}},
                                              std::string announcement = kAnnouncement) {
        FakeBootloader::Options options;
        options.applicationChunks = 0; // the bootloader runs: it answers the first write
        options.ready = Answer(std::move(announcement));
        options.extension = std::move(ext);
        return options;
    }
    FakeBootloader& Board(std::optional<Ext> ext = Ext{{500000, 1000000}},
                          LineScript script = LineScript(),
                          std::string announcement = kAnnouncement) {
        return Target(Announcing(std::move(ext), std::move(announcement)), std::move(script));
    }
    // Writes of records of the given type ("80", "81", "82", "00") after the handshake.
    int Count(const std::string& type) const {
        auto writes = WritesAfterHandshake();
        return static_cast<int>(std::count_if(writes.begin(), writes.end(), [&](const auto& w) {
            return w.size() >= 9 && w[0] == ':' && w.substr(7, 2) == type;
        }));
    }
    bool LogHas(const std::string& entry) const {
        return std::find(port.log().begin(), port.log().end(), entry) != port.log().end();
    }
};

TEST_F(ExtendedRun, AFlashImageGoesInPagesIsCheckedAndEndsWithoutFixedWaits) {
    Board();
    FlashImage(HexLines({{0, 300}, {1024, 16}}));
    auto started = clock.now();
    Run();
    EXPECT_EQ(result.end, RunEnd::Success);
    EXPECT_EQ(result.verify, Verify::Passed);
    EXPECT_EQ(result.offered, "X1,P128,L128,A30720,E1024,R500000,R1000000");
    EXPECT_EQ(Messages(), Strings{"Flash File successfully downloaded."});
    // The fastest rate, confirmed at it; four data records; two ranges checked; the end record.
    EXPECT_TRUE(InOrder(port.log(), {"setBaudRate 1000000",
                                     "write " + engine::SetRateRecord(1000000), "drainOutput",
                                     "setBaudRate 1000000", "write " + engine::ConfirmRecord()}));
    EXPECT_EQ(Count("00"), 4);
    EXPECT_EQ(Count("82"), 2);
    EXPECT_EQ(target->commands().back(), engine::kEndOfFileRecord);
    // No whole-second pause after the handshake and no wait after the end answer.
    EXPECT_LT(clock.now() - started, Millis(1000));
    EXPECT_TRUE(InOrder(host.statuses(), {kTry1, "Sending FLASH File - lines remaining "}));
}

TEST_F(ExtendedRun, ABrokenAnnouncementRunsThePlainProtocol) {
    Board(std::nullopt, LineScript().finalLine(5), "V1.3;X1,P128,L128,A30720?");
    auto lines = HexLines({{0, 64}});
    FlashImage(lines);
    Run();
    EXPECT_EQ(result.end, RunEnd::Success);
    EXPECT_EQ(result.verify, Verify::NotOffered);
    EXPECT_EQ(result.offered, "");
    EXPECT_EQ(LinesSent(), lines);
    EXPECT_TRUE(target->commands().empty());
}

TEST_F(ExtendedRun, ACheckThatDiffersEndsTheRunWithoutTheEndRecord) {
    Ext ext{{}};
    ext.stuckCell = 0x105;
    Board(ext);
    FlashImage(HexLines({{0, 64}, {0x100, 32}}));
    Run();
    EXPECT_EQ(result.end, RunEnd::VerifyFailed);
    EXPECT_EQ(result.verify, Verify::Failed);
    EXPECT_NE(result.verifyDetail.find("Flash 0x0100-0x011F"), std::string::npos)
        << result.verifyDetail;
    ASSERT_EQ(host.messages().size(), 1u);
    EXPECT_EQ(host.messages()[0].icon, MessageIcon::Warning);
    EXPECT_NE(host.messages()[0].text.find("Flash 0x0100-0x011F does not hold what was written"),
              std::string::npos);
    EXPECT_EQ(std::count(target->commands().begin(), target->commands().end(),
                         std::string(engine::kEndOfFileRecord)),
              0);
    EXPECT_EQ(host.status(), "Idle");
}

TEST_F(ExtendedRun, ACheckNeverAnsweredIsTriedThriceThenNoResponse) {
    Ext ext{{}};
    ext.silentChecks = 3;
    Board(ext);
    FlashImage(HexLines({{0, 32}}));
    Run();
    EXPECT_EQ(result.end, RunEnd::NoResponse);
    EXPECT_EQ(result.verify, Verify::NotReached);
    EXPECT_EQ(Count("82"), 3);
    EXPECT_EQ(Messages(), Strings{"No response from target bootloader."});
}

TEST_F(ExtendedRun, ARateTheAdapterCannotCarryFallsBackToTheHandshakeRate) {
    Ext ext{{500000, 1000000}};
    ext.deafAtNewRate = true;
    Board(ext);
    FlashImage(HexLines({{0, 32}}));
    Run();
    EXPECT_EQ(result.end, RunEnd::Success);
    EXPECT_EQ(result.verify, Verify::Passed);
    // CONFIRM at the new rate, no answer; back, and CONFIRM at the handshake rate 300 ms after
    // the answer to SET RATE.
    EXPECT_EQ(Count("81"), 2);
    auto writes = port.writes();
    auto setRate = std::find(writes.begin(), writes.end(), engine::SetRateRecord(1000000));
    auto confirm = std::find(writes.rbegin(), writes.rend(), engine::ConfirmRecord());
    ASSERT_NE(setRate, writes.end());
    auto at = [&](auto it) { return port.writeTimes()[static_cast<std::size_t>(it)]; };
    EXPECT_GE(at(writes.rend() - confirm - 1) - at(setRate - writes.begin()), Millis(300));
}

TEST_F(ExtendedRun, TheRateChoiceFollowsThePortAndTheOption) {
    struct Case {
        engine::FastBaud fast;
        long refused;
        std::string setRate; // empty: no SET RATE
    };
    using Mode = engine::FastBaud::Mode;
    for (const auto& c : {Case{{Mode::Auto, 0}, 1000000, engine::SetRateRecord(500000)},
                          Case{{Mode::Rate, 500000}, 0, engine::SetRateRecord(500000)},
                          Case{{Mode::Rate, 250000}, 0, ""}, Case{{Mode::Off, 0}, 0, ""}}) {
        Rig rig(clock, Announcing());
        rig.runOptions.fastBaud = c.fast;
        if (c.refused)
            rig.port.refuseRate(c.refused);
        auto path = dir.write("rate.hex", Join(HexLines({{0, 16}})));
        rig.host.controls().applicationFile = path;
        rig.host.controls().flashCheck = 1;
        EXPECT_EQ(rig.Run(), RunEnd::Success);
        const auto& writes = rig.port.writes();
        bool any = std::any_of(writes.begin(), writes.end(),
                               [](const auto& w) { return w.substr(0, 9) == ":04000080"; });
        if (c.setRate.empty())
            EXPECT_FALSE(any);
        else
            EXPECT_NE(std::find(writes.begin(), writes.end(), c.setRate), writes.end());
        if (c.fast.mode == Mode::Rate && c.setRate.empty()) {
            EXPECT_TRUE(rig.host.logHas(
                "status: The bootloader does not offer 250000 Bd: staying at 19200 Bd."));
        }
    }
}

TEST_F(ExtendedRun, RecordErrorsAreRetriedAndAskedAboutByImageLine) {
    // 16 bytes a line from address 0: the second 128-byte record starts in image line 9.
    Board(Ext{{}}, LineScript().checksumErrors(1, 2).pageError(2));
    FlashImage(HexLines({{0, 256}}));
    host.answer(true);
    Run();
    EXPECT_EQ(host.questions(), Strings{PageErrorQuestion(9) + " -> yes"});
    EXPECT_EQ(Count("00"), 4); // the first record three times, the second once
    // What the board refused is not on the chip: the check says so.
    EXPECT_EQ(result.end, RunEnd::VerifyFailed);
}

TEST_F(ExtendedRun, AfterASlowAnswerTheLoaderFindsTheRateTheBoardIsAt) {
    // The technician takes 3 s: the board has gone back to the handshake rate meanwhile.
    Board(Ext{{1000000}}, LineScript().pageError(2));
    FlashImage(HexLines({{0, 256}}));
    host.answer(true, Millis(3000));
    Run();
    // Switched and confirmed; after the answer a CONFIRM at the switched rate goes unheard, so
    // the loader follows the board back and confirms there.
    const auto confirm = "write " + engine::ConfirmRecord();
    EXPECT_TRUE(InOrder(port.log(),
                        {"setBaudRate 1000000", confirm, confirm, "setBaudRate 19200", confirm}));
    // The rest went in at the handshake rate: the check reads the refused record's gap.
    EXPECT_EQ(Count("82"), 1);
    EXPECT_EQ(result.end, RunEnd::VerifyFailed);
}

TEST_F(ExtendedRun, AnImageOutsideTheFlashGoesThePlainWay) {
    Board(Ext{{}});
    auto lines = HexLines({{30720 - 16, 32}});
    FlashImage(lines);
    Run();
    EXPECT_EQ(result.end, RunEnd::Success);
    EXPECT_EQ(result.verify, Verify::NotReached);
    // Every line as it is; the board answers the end record itself.
    EXPECT_EQ(LinesSent(), Strings(lines.begin(), lines.end() - 1));
    EXPECT_EQ(Count("82"), 0);
}

TEST_F(ExtendedRun, EepromThenFlashAreBothChecked) {
    Board(Ext{{}});
    EepromImage(HexLines({{0, 40}}));
    FlashImage(HexLines({{0, 200}}));
    Run();
    EXPECT_EQ(result.end, RunEnd::Success);
    EXPECT_EQ(result.verify, Verify::Passed);
    EXPECT_EQ(Messages(), Strings{"Flash & EEPROM Files successfully downloaded."});
    EXPECT_TRUE(
        InOrder(target->commands(), {"*!", engine::kEndOfFileRecord, engine::kEndOfFileRecord}));
    EXPECT_EQ(Count("82"), 2); // one range each
}

} // namespace
} // namespace tavo::test
