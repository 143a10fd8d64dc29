#include "tools/bootsim/Board.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Designated initializers name only the settings a case changes; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace tavo::bootsim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Segments = MemoryImage::Segments;

std::string Data(std::uint16_t address, Bytes bytes) {
    return EncodeRecord(record_type::Data, address, bytes);
}
const std::string kEof = ":00000001FF";

std::string Corrupt(std::string record) {
    record.back() = record.back() == '0' ? '1' : '0';
    return record;
}

// Feeds the board each chunk in turn. The answers to one chunk are joined by '+', and each
// chunk's are ended by '|': "~|-|" is one answer to each of two lines, "|" none to one.
std::string Feed(Board& board, const std::vector<std::string>& chunks) {
    std::string out;
    for (const auto& chunk : chunks) {
        auto answers = board.receive(chunk);
        for (std::size_t i = 0; i < answers.size(); ++i)
            out += (i ? "+" : "") + answers[i];
        out += "|";
    }
    return out;
}

// A board that has been through the handshake.
Board ReadyBoard(BoardConfig config = {}) {
    Board board(std::move(config));
    board.receive("$@&$");
    return board;
}

TEST(BootsimHandshake, StartSequenceWholeInPiecesOrConfigured) {
    Board whole;
    EXPECT_EQ(Feed(whole, {"$@&$"}), "^+?V1.3|");
    EXPECT_EQ(whole.stage(), Board::Stage::Ready);
    Board pieces;
    EXPECT_EQ(Feed(pieces, {"hello", "$@", "&", "$"}), "|^||?V1.3|");
    Board configured({.jump = "JUMP", .active = "ACT", .start = "GO!", .ready = "RDY V1.27"});
    EXPECT_EQ(Feed(configured, {"$@&$JUMPGO!"}), "ACT+RDY V1.27|");
}

TEST(BootsimHandshake, NeverReadyAndActiveOnly) {
    Board silent({.neverJump = true});
    EXPECT_EQ(Feed(silent, {"$@&$", "$@&$", "$@&$"}), "|||");
    Board active({.activeOnly = true});
    EXPECT_EQ(Feed(active, {"$@&$", "$@&$"}), "^||");
    EXPECT_EQ(active.stage(), Board::Stage::Bootloader);
}

TEST(BootsimLines, GoodLinesAndCleanEnd) {
    auto board = ReadyBoard();
    EXPECT_EQ(Feed(board, {Data(0, {1, 2, 3}), Data(3, {4}), kEof}), "~|~|@|");
    EXPECT_EQ(board.flash().segments(), (Segments{{0, {1, 2, 3, 4}}}));
    EXPECT_EQ(board.completedDownloads(), 1);
    EXPECT_EQ(board.stage(), Board::Stage::Application);
}

TEST(BootsimLines, ChecksumErrorWritesNothingAndEndsWithErrors) {
    auto board = ReadyBoard();
    EXPECT_EQ(Feed(board, {Data(0, {1}), Corrupt(Data(1, {2})), Data(2, {3}), kEof}), "~|-|~|#|");
    EXPECT_EQ(board.flash().segments(), (Segments{{0, {1}}, {2, {3}}}));
}

TEST(BootsimLines, ALineWrittenCorrectlyLaterClearsItsError) {
    // The same content arriving again right after an error is a retry of the same line.
    auto board = ReadyBoard({.checksumFaults = {{1, 1}}});
    EXPECT_EQ(Feed(board, {Data(0, {9}), Data(0, {9})}), "-|~|");
    EXPECT_EQ(board.lineNumber(), 1);
    EXPECT_EQ(Feed(board, {kEof}), "@|");
    EXPECT_EQ(board.flash().segments(), (Segments{{0, {9}}}));
}

TEST(BootsimLines, RecordsAreFoundByTheirLengthWhateverSurroundsThem) {
    auto board = ReadyBoard();
    // Lines without line ends back to back, lines separated by LF (a file read as one line),
    // and stray bytes between records.
    auto chunk = Data(0, {1}) + Data(1, {2}) + "\n" + Data(2, {3}) + "\r\nxyz" + Data(3, {4});
    EXPECT_EQ(Feed(board, {chunk}), "~+~+~+~|");
    EXPECT_EQ(board.flash().segments(), (Segments{{0, {1, 2, 3, 4}}}));
}

TEST(BootsimLines, MalformedAndShortLines) {
    auto board = ReadyBoard();
    // Cut short: noticed when the next record begins. Not hex inside a record: at once.
    auto cut = Data(0, {1, 2, 3, 4}).substr(0, 15);
    EXPECT_EQ(Feed(board, {cut, Data(8, {5}), ":10zz", ":0G", kEof}), "|-+~|-|-|#|");
}

TEST(BootsimLines, ExtendedAddressesPlaceTheData) {
    auto board = ReadyBoard();
    Feed(board,
         {EncodeRecord(record_type::ExtendedLinearAddress, 0, {0x00, 0x01}), Data(0x0002, {0xAB}),
          EncodeRecord(record_type::ExtendedSegmentAddress, 0, {0x10, 0x00}),
          Data(0x0001, {0xCD})});
    EXPECT_EQ(Feed(board, {kEof}), "@|");
    EXPECT_EQ(board.flash().segments(), (Segments{{0x10001, {0xCD, 0xAB}}}));
}

TEST(BootsimMemories, EepromAloneThenDone) {
    auto board = ReadyBoard();
    EXPECT_EQ(Feed(board, {"*" + Data(0, {7, 8})}), "~|");
    EXPECT_EQ(board.target(), Memory::Eeprom);
    EXPECT_EQ(Feed(board, {kEof}), "@|");
    EXPECT_EQ(board.eeprom().segments(), (Segments{{0, {7, 8}}}));
    EXPECT_TRUE(board.flash().empty());
    EXPECT_EQ(board.completedDownloads(), 1);
}

TEST(BootsimMemories, EepromFirstThenFlash) {
    auto board = ReadyBoard();
    EXPECT_EQ(Feed(board, {"*!", Data(0, {7}), kEof}), "|~|@|");
    EXPECT_EQ(board.completedDownloads(), 0);
    EXPECT_EQ(board.target(), Memory::Flash);
    EXPECT_EQ(Feed(board, {Data(0, {1, 2}), kEof}), "~|@|");
    EXPECT_EQ(board.eeprom().segments(), (Segments{{0, {7}}}));
    EXPECT_EQ(board.flash().segments(), (Segments{{0, {1, 2}}}));
    EXPECT_EQ(board.completedDownloads(), 1);
}

TEST(BootsimMemories, ConfiguredEepromCommandAndAStartOver) {
    auto board = ReadyBoard({.eepromWrite = "EE"});
    board.receive("EE!" + Data(0, {1}));
    EXPECT_EQ(board.target(), Memory::Eeprom);
    // The loader starts a new run: ready again, back to Flash, line count from 1.
    EXPECT_EQ(Feed(board, {"$@&$"}), "?V1.3|");
    EXPECT_EQ(board.target(), Memory::Flash);
    EXPECT_EQ(Feed(board, {Data(0, {2})}), "~|");
    EXPECT_EQ(board.lineNumber(), 1);
}

TEST(BootsimFaults, ChecksumFaultForSomeTriesOrForGood) {
    auto board = ReadyBoard({.checksumFaults = {{2, 2}, {3, 0}}});
    auto line2 = Data(1, {2});
    auto line3 = Data(2, {3});
    EXPECT_EQ(Feed(board, {Data(0, {1}), line2, line2, line2, line3, line3, line3, kEof}),
              "~|-|-|~|-|-|-|#|");
    EXPECT_EQ(board.flash().segments(), (Segments{{0, {1, 2}}}));
}

TEST(BootsimFaults, PageErrorWritesNothing) {
    auto board = ReadyBoard({.pageFaults = {{1, 0}}});
    EXPECT_EQ(Feed(board, {Data(0, {1}), Data(1, {2})}), "%|~|");
    EXPECT_EQ(board.lineNumber(), 2);
    EXPECT_EQ(Feed(board, {kEof}), "#|");
    EXPECT_EQ(board.flash().segments(), (Segments{{1, {2}}}));
}

TEST(BootsimFaults, SilentLineIsTakenButNotAnswered) {
    auto board = ReadyBoard({.silentLines = {{1, 1}, {3, 0}}});
    // Line 3 is the end: its answer is lost, but the download is complete.
    EXPECT_EQ(Feed(board, {Data(0, {1}), Data(0, {1}), Data(1, {2}), kEof}), "|~|~||");
    EXPECT_EQ(board.completedDownloads(), 1);
    EXPECT_EQ(board.flash().segments(), (Segments{{0, {1, 2}}}));
}

TEST(BootsimFaults, FaultsCanBeLimitedToOneMemory) {
    auto board = ReadyBoard({.checksumFaults = {{1, 0}}, .faultMemory = Memory::Flash});
    EXPECT_EQ(Feed(board, {"*!" + Data(0, {1}), kEof, Data(0, {1})}), "~|@|-|");
}

TEST(BootsimFaults, DropAfterALineIgnoresTheRest) {
    auto board = ReadyBoard({.dropAfterLine = 2});
    EXPECT_EQ(Feed(board, {Data(0, {1})}), "~|");
    EXPECT_FALSE(board.dropRequested());
    EXPECT_EQ(Feed(board, {Data(1, {2}) + Data(2, {3})}), "~|");
    EXPECT_TRUE(board.dropRequested());
    EXPECT_EQ(Feed(board, {kEof}), "|");
    EXPECT_EQ(board.flash().segments(), (Segments{{0, {1, 2}}}));
}

TEST(BootsimFaults, NoiseComesBeforeLineAnswersOnly) {
    Board board({.noise = "\r\nxx"});
    EXPECT_EQ(Feed(board, {"$@&$", Data(0, {1}), kEof}), "^+?V1.3|\r\nxx~|\r\nxx@|");
}

// CRC-32 (zlib's) of the bytes 1, 2, 3.
constexpr const char* kCrc123 = "55BC801D";

std::string Check(std::uint32_t start, std::uint32_t length, std::uint32_t crc) {
    Bytes data{0};
    for (auto v : {start, length, crc})
        for (int shift = 24; shift >= 0; shift -= 8)
            data.push_back(static_cast<std::uint8_t>(v >> shift));
    return EncodeRecord(0x82, 0, data);
}

TEST(BootsimExtension, AnnouncesSwitchesOnlyToOfferedRatesAndChecks) {
    auto board = ReadyBoard({.extension = true});
    EXPECT_EQ(Feed(board, {"$@&$"}), "V1.3;X1,P128,L128,A28672,E1024,R500000,R1000000?|");
    EXPECT_EQ(Feed(board, {EncodeRecord(0x80, 0, {0, 3, 0xD0, 0x90})}), "%|"); // 250000
    EXPECT_FALSE(board.rate());
    EXPECT_EQ(Feed(board, {EncodeRecord(0x80, 0, {0, 7, 0xA1, 0x20}), EncodeRecord(0x81, 0, {})}),
              "~|~|");
    EXPECT_EQ(board.rate(), 500000);
    EXPECT_TRUE(board.confirmed());
    EXPECT_EQ(Feed(board, {Data(0, {1, 2, 3}), Check(0, 3, 0x55BC801D), kEof}),
              std::string("~|~") + kCrc123 + "|@|");
    EXPECT_FALSE(board.rate()) << "the application runs at the handshake's rate";
}

TEST(BootsimExtension, AFailedCheckErasesPageZeroAndNeverStartsTheApplication) {
    auto board = ReadyBoard({.extension = true, .stuckCell = 1});
    EXPECT_EQ(Feed(board, {Data(0, {1, 2, 3}), Check(0, 3, 0x55BC801D), kEof}), "~|%F4AE1FED|#|");
    EXPECT_EQ(board.flash().segments().at(0), Bytes(128, 0xFF));
    EXPECT_EQ(board.completedDownloads(), 0);
    EXPECT_EQ(board.stage(), Board::Stage::Bootloader);
}

} // namespace
} // namespace tavo::bootsim
