#include "tools/bootsim/Board.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavo::bootsim {
namespace {

using Answers = std::vector<std::string>;

std::string Data(std::uint16_t address, std::vector<std::uint8_t> bytes) {
    return EncodeRecord(record_type::Data, address, bytes);
}
const std::string kEof = ":00000001FF";

std::string Corrupt(std::string record) {
    record.back() = record.back() == '0' ? '1' : '0';
    return record;
}

// A board that has been through the handshake.
Board ReadyBoard(BoardConfig config = {}) {
    Board board(std::move(config));
    board.receive("$@&$");
    return board;
}

TEST(BootsimHandshake, JumpThenStartSequenceInOneWrite) {
    Board board;
    EXPECT_EQ(board.receive("$@&$"), (Answers{"^", "?V1.3"}));
    EXPECT_EQ(board.stage(), Board::Stage::Ready);
}

TEST(BootsimHandshake, PiecesAndLeadingJunk) {
    Board board;
    EXPECT_EQ(board.receive("hello"), Answers{});
    EXPECT_EQ(board.receive("$@"), Answers{"^"});
    EXPECT_EQ(board.receive("&"), Answers{});
    EXPECT_EQ(board.receive("$"), Answers{"?V1.3"});
}

TEST(BootsimHandshake, ConfiguredStrings) {
    BoardConfig config;
    config.jump = "JUMP";
    config.active = "ACT";
    config.start = "GO!";
    config.ready = "RDY V1.27";
    Board board(config);
    EXPECT_EQ(board.receive("$@&$JUMPGO!"), (Answers{"ACT", "RDY V1.27"}));
}

TEST(BootsimHandshake, NeverReadyAndActiveOnly) {
    BoardConfig never;
    never.neverJump = true;
    Board silent(never);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(silent.receive("$@&$"), Answers{});

    BoardConfig stuck;
    stuck.activeOnly = true;
    Board active(stuck);
    EXPECT_EQ(active.receive("$@&$"), Answers{"^"});
    EXPECT_EQ(active.receive("$@&$"), Answers{});
    EXPECT_EQ(active.stage(), Board::Stage::Bootloader);
}

TEST(BootsimLines, GoodLinesAndCleanEnd) {
    auto board = ReadyBoard();
    EXPECT_EQ(board.receive(Data(0, {1, 2, 3})), Answers{"~"});
    EXPECT_EQ(board.receive(Data(3, {4})), Answers{"~"});
    EXPECT_EQ(board.receive(kEof), Answers{"@"});
    EXPECT_EQ(board.flash().toBinary(), (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(board.completedDownloads(), 1);
    EXPECT_EQ(board.stage(), Board::Stage::Application);
}

TEST(BootsimLines, ChecksumErrorAndFileCompleteWithErrors) {
    auto board = ReadyBoard();
    EXPECT_EQ(board.receive(Data(0, {1})), Answers{"~"});
    EXPECT_EQ(board.receive(Corrupt(Data(1, {2}))), Answers{"-"});
    EXPECT_EQ(board.receive(Data(2, {3})), Answers{"~"});
    EXPECT_EQ(board.receive(kEof), Answers{"#"});
    // The bad line wrote nothing.
    EXPECT_EQ(board.flash().toBinary(), (std::vector<std::uint8_t>{1, 0xFF, 3}));
}

TEST(BootsimLines, ALineWrittenCorrectlyLaterClearsItsError) {
    // The same content arriving again right after an error is a retry of the same line.
    auto line = Data(0, {9});
    BoardConfig config;
    config.checksumFaults.push_back({1, 1});
    auto faulty = ReadyBoard(config);
    EXPECT_EQ(faulty.receive(line), Answers{"-"});
    EXPECT_EQ(faulty.receive(line), Answers{"~"});
    EXPECT_EQ(faulty.lineNumber(), 1);
    EXPECT_EQ(faulty.receive(kEof), Answers{"@"});
    EXPECT_EQ(faulty.flash().toBinary(), std::vector<std::uint8_t>{9});
}

TEST(BootsimLines, RecordsAreFoundByTheirLengthWhateverSurroundsThem) {
    auto board = ReadyBoard();
    // Lines without line ends back to back, lines separated by LF (a file read as one line),
    // and stray bytes between records.
    auto chunk = Data(0, {1}) + Data(1, {2}) + "\n" + Data(2, {3}) + "\r\nxyz" + Data(3, {4});
    EXPECT_EQ(board.receive(chunk), (Answers{"~", "~", "~", "~"}));
    EXPECT_EQ(board.flash().toBinary(), (std::vector<std::uint8_t>{1, 2, 3, 4}));
}

TEST(BootsimLines, MalformedAndShortLines) {
    auto board = ReadyBoard();
    auto full = Data(0, {1, 2, 3, 4});
    // Cut short: noticed when the next record begins.
    EXPECT_EQ(board.receive(full.substr(0, 15)), Answers{});
    EXPECT_EQ(board.receive(Data(8, {5})), (Answers{"-", "~"}));
    // Not hex inside a record.
    EXPECT_EQ(board.receive(":10zz"), Answers{"-"});
    EXPECT_EQ(board.receive(":0G"), Answers{"-"});
    EXPECT_EQ(board.receive(kEof), Answers{"#"});
}

TEST(BootsimLines, ExtendedAddressesPlaceTheData) {
    auto board = ReadyBoard();
    board.receive(EncodeRecord(record_type::ExtendedLinearAddress, 0, {0x00, 0x01}));
    board.receive(Data(0x0002, {0xAB}));
    board.receive(EncodeRecord(record_type::ExtendedSegmentAddress, 0, {0x10, 0x00}));
    board.receive(Data(0x0001, {0xCD}));
    EXPECT_EQ(board.receive(kEof), Answers{"@"});
    EXPECT_EQ(board.flash().bytes().at(0x10002), 0xAB);
    EXPECT_EQ(board.flash().bytes().at(0x10001), 0xCD);
    EXPECT_EQ(board.flash().extent(), 0x10003u);
}

TEST(BootsimMemories, EepromAloneThenDone) {
    auto board = ReadyBoard();
    EXPECT_EQ(board.receive("*" + Data(0, {7, 8})), Answers{"~"});
    EXPECT_EQ(board.target(), Memory::Eeprom);
    EXPECT_EQ(board.receive(kEof), Answers{"@"});
    EXPECT_EQ(board.eeprom().toBinary(), (std::vector<std::uint8_t>{7, 8}));
    EXPECT_TRUE(board.flash().empty());
    EXPECT_EQ(board.completedDownloads(), 1);
}

TEST(BootsimMemories, EepromFirstThenFlash) {
    auto board = ReadyBoard();
    EXPECT_EQ(board.receive("*!"), Answers{});
    EXPECT_EQ(board.receive(Data(0, {7})), Answers{"~"});
    EXPECT_EQ(board.receive(kEof), Answers{"@"});
    EXPECT_EQ(board.completedDownloads(), 0);
    EXPECT_EQ(board.target(), Memory::Flash);
    EXPECT_EQ(board.receive(Data(0, {1, 2})), Answers{"~"});
    EXPECT_EQ(board.receive(kEof), Answers{"@"});
    EXPECT_EQ(board.eeprom().toBinary(), std::vector<std::uint8_t>{7});
    EXPECT_EQ(board.flash().toBinary(), (std::vector<std::uint8_t>{1, 2}));
    EXPECT_EQ(board.completedDownloads(), 1);
}

TEST(BootsimMemories, ConfiguredEepromCommandAndAStartOver) {
    BoardConfig config;
    config.eepromWrite = "EE";
    auto board = ReadyBoard(config);
    board.receive("EE!" + Data(0, {1}));
    EXPECT_EQ(board.target(), Memory::Eeprom);
    // The loader starts a new run: ready again, back to Flash, line count from 1.
    EXPECT_EQ(board.receive("$@&$"), Answers{"?V1.3"});
    EXPECT_EQ(board.target(), Memory::Flash);
    EXPECT_EQ(board.receive(Data(0, {2})), Answers{"~"});
    EXPECT_EQ(board.lineNumber(), 1);
}

TEST(BootsimFaults, ChecksumFaultForSomeTriesOrForGood) {
    BoardConfig config;
    config.checksumFaults.push_back({2, 2});
    config.checksumFaults.push_back({3, 0});
    auto board = ReadyBoard(config);
    auto line2 = Data(1, {2});
    auto line3 = Data(2, {3});
    board.receive(Data(0, {1}));
    EXPECT_EQ(board.receive(line2), Answers{"-"});
    EXPECT_EQ(board.receive(line2), Answers{"-"});
    EXPECT_EQ(board.receive(line2), Answers{"~"});
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(board.receive(line3), Answers{"-"});
    EXPECT_EQ(board.receive(kEof), Answers{"#"});
    EXPECT_EQ(board.flash().toBinary(), (std::vector<std::uint8_t>{1, 2}));
}

TEST(BootsimFaults, PageErrorWritesNothing) {
    BoardConfig config;
    config.pageFaults.push_back({1, 0});
    auto board = ReadyBoard(config);
    EXPECT_EQ(board.receive(Data(0, {1})), Answers{"%"});
    EXPECT_EQ(board.receive(Data(1, {2})), Answers{"~"});
    EXPECT_EQ(board.lineNumber(), 2);
    EXPECT_EQ(board.receive(kEof), Answers{"#"});
    EXPECT_EQ(board.flash().toBinary(), (std::vector<std::uint8_t>{0xFF, 2}));
}

TEST(BootsimFaults, SilentLineIsTakenButNotAnswered) {
    BoardConfig config;
    config.silentLines.push_back({1, 1});
    config.silentLines.push_back({3, 0});
    auto board = ReadyBoard(config);
    auto line1 = Data(0, {1});
    EXPECT_EQ(board.receive(line1), Answers{});
    EXPECT_EQ(board.receive(line1), Answers{"~"});
    EXPECT_EQ(board.receive(Data(1, {2})), Answers{"~"});
    EXPECT_EQ(board.receive(kEof), Answers{}); // line 3: the end answer is lost
    EXPECT_EQ(board.completedDownloads(), 1);
    EXPECT_EQ(board.flash().toBinary(), (std::vector<std::uint8_t>{1, 2}));
}

TEST(BootsimFaults, FaultsCanBeLimitedToOneMemory) {
    BoardConfig config;
    config.checksumFaults.push_back({1, 0});
    config.faultMemory = Memory::Flash;
    auto board = ReadyBoard(config);
    EXPECT_EQ(board.receive("*!" + Data(0, {1})), Answers{"~"});
    EXPECT_EQ(board.receive(kEof), Answers{"@"});
    EXPECT_EQ(board.receive(Data(0, {1})), Answers{"-"});
}

TEST(BootsimFaults, DropAfterALineIgnoresTheRest) {
    BoardConfig config;
    config.dropAfterLine = 2;
    auto board = ReadyBoard(config);
    EXPECT_EQ(board.receive(Data(0, {1})), Answers{"~"});
    EXPECT_FALSE(board.dropRequested());
    EXPECT_EQ(board.receive(Data(1, {2}) + Data(2, {3})), Answers{"~"});
    EXPECT_TRUE(board.dropRequested());
    EXPECT_EQ(board.receive(kEof), Answers{});
    EXPECT_EQ(board.flash().extent(), 2u);
}

TEST(BootsimFaults, NoiseComesBeforeLineAnswersOnly) {
    BoardConfig config;
    config.noise = "\r\nxx";
    Board board(config);
    EXPECT_EQ(board.receive("$@&$"), (Answers{"^", "?V1.3"}));
    EXPECT_EQ(board.receive(Data(0, {1})), Answers{"\r\nxx~"});
    EXPECT_EQ(board.receive(kEof), Answers{"\r\nxx@"});
}

} // namespace
} // namespace tavo::bootsim
