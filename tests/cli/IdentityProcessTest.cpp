// Per-board identity through tavo-flash against tavo-bootsim boards: numbers from one counter
// shared by two benches, a list's values in EEPROM, and values that run out before anything is
// sent.
#include "cli/Identity.h"
#include "tests/cli/FlashProcess.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <iostream>
#include <map>
#include <set>

namespace tavo::test {
namespace {

// The bytes a board's memory dump holds at [address, address + count); empty when any is missing.
std::vector<std::uint8_t> BytesAt(const std::string& dump, std::uint32_t address,
                                  std::size_t count) {
    auto decoded = bootsim::DecodeHexText(ReadFile(dump));
    for (const auto& [start, bytes] : decoded.image.segments())
        if (start <= address && address + count <= start + bytes.size())
            return {bytes.begin() + (address - start), bytes.begin() + (address - start + count)};
    return {};
}

class IdentityTest : public FlashProcessTest {
protected:
    struct Bench {
        std::vector<std::unique_ptr<bootsim::BootsimProcess>> boards;
        std::vector<std::string> flashDumps, eepromDumps;
        std::unique_ptr<QProcess> process;
    };

    // Starts `count` boards that end after one download and leave their memories in dumps, and a
    // tavo-flash with one --port for each and `args`.
    void startBench(Bench& bench, int count, const std::string& name,
                    const std::vector<std::string>& args) {
        QStringList list = {"--settings", QString::fromStdString(settingsPath)};
        for (int i = 0; i < count; ++i) {
            auto dump = (dir.path() / (name + "-" + std::to_string(i))).string();
            bench.flashDumps.push_back(dump + ".hex");
            bench.eepromDumps.push_back(dump + ".eep");
            bench.boards.push_back(std::make_unique<bootsim::BootsimProcess>(
                TAVO_BOOTSIM_EXE,
                std::vector<std::string>{"--exit-after-eof", "--flash-out", dump + ".hex",
                                         "--eeprom-out", dump + ".eep"}));
            list << "--port" << QString::fromStdString(bench.boards.back()->devicePath());
        }
        for (const auto& a : args)
            list << QString::fromStdString(a);
        bench.process = std::make_unique<QProcess>();
        bench.process->setStandardInputFile(QProcess::nullDevice());
        bench.process->setStandardOutputFile(QString::fromStdString(outPath + "-" + name));
        bench.process->setStandardErrorFile(QString::fromStdString(errPath + "-" + name));
        bench.process->start(TAVO_FLASH_EXE, list);
        ASSERT_TRUE(bench.process->waitForStarted());
    }
    int finishBench(Bench& bench) {
        if (!bench.process->waitForFinished(60'000))
            return -1;
        for (auto& board : bench.boards)
            board->waitForExit(5000);
        return bench.process->exitCode();
    }

    // Each board's record by port.
    std::map<std::string, QJsonObject> records(const std::string& report) {
        std::map<std::string, QJsonObject> byPort;
        for (const auto& line : Lines(ReadFile(report))) {
            auto o = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
            byPort[o["port"].toString().toStdString()] = o;
        }
        return byPort;
    }
};

TEST_F(IdentityTest, TwoBenchesOfFourTenTimesOnOneCounterGiveEightyNumbersEachInItsBoard) {
    const auto image = smallImage();
    const auto counter = dir.write("counter", "7000\n");
    const auto report = (dir.path() / "report.jsonl").string();
    std::map<std::uint32_t, std::string> boardOf;
    int found = 0;
    for (int round = 0; round < 10; ++round) {
        Bench benches[2];
        for (int b = 0; b < 2; ++b)
            startBench(benches[b], 4, "r" + std::to_string(round) + "b" + std::to_string(b),
                       {"--flash", image, "--baud", "115200", "--report", report,
                        "--serial-counter", counter, "--serial-at", "flash:0x100"});
        for (int b = 0; b < 2; ++b)
            ASSERT_EQ(finishBench(benches[b]), 0)
                << ReadFile(errPath + "-r" + std::to_string(round) + "b" + std::to_string(b));
        auto byPort = records(report);
        for (auto& bench : benches)
            for (std::size_t i = 0; i < bench.boards.size(); ++i) {
                const auto port = bench.boards[i]->devicePath();
                auto bytes = BytesAt(bench.flashDumps[i], 0x100, 4);
                ASSERT_EQ(bytes.size(), 4u) << ReadFile(bench.flashDumps[i]);
                auto number = static_cast<std::uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
                                                         bytes[3] << 24);
                EXPECT_TRUE(boardOf.emplace(number, port).second) << number << " given twice";
                // The record names the number this very board holds.
                auto identity = byPort[port]["identity"].toObject();
                EXPECT_EQ(identity["value"].toString().toStdString(), std::to_string(number));
                EXPECT_TRUE(identity["flashed"].toBool());
                // And the image's own data is there as well.
                EXPECT_EQ(BytesAt(bench.flashDumps[i], 0x30, 16), std::vector<std::uint8_t>(16, 3));
                ++found;
            }
    }
    EXPECT_EQ(found, 80);
    EXPECT_EQ(boardOf.size(), 80u);
    EXPECT_EQ(boardOf.begin()->first, 7000u);
    EXPECT_EQ(boardOf.rbegin()->first, 7079u);
    EXPECT_EQ(ReadFile(counter), "7080\n");
    auto sample = Lines(ReadFile(report)).back();
    std::cout << "a record: " << sample << "\n";
}

TEST_F(IdentityTest, AListsValuesGoIntoAnEepromImageOfTheirOwnAndAFailedBoardKeepsItsValue) {
    const auto list = dir.write("macs.txt", "02:00:00:00:00:01\n02:00:00:00:00:02\n");
    const auto report = (dir.path() / "report.jsonl").string();
    // The second board fails at its second line, after it has taken its value.
    bootsim::BootsimProcess failing(TAVO_BOOTSIM_EXE, {"--fail-checksum", "2"});
    Bench bench;
    startBench(bench, 1, "eeprom",
               {"--port", failing.devicePath(), "--flash", smallImage(), "--report", report,
                "--serial-list", list, "--serial-at", "eeprom:0x10", "--serial-format", "hex:12",
                "--on-error", "stop"});
    EXPECT_EQ(finishBench(bench), flash::kExitLineErrorStopped);
    // It stopped in the image made for its value, not in the Flash image.
    const auto err = ReadFile(errPath + "-eeprom");
    EXPECT_NE(err.find("Stopped at line 2 of the EEPROM image made for the identity"),
              std::string::npos)
        << err;

    const auto good = bench.boards[0]->devicePath(), bad = failing.devicePath();
    EXPECT_EQ(BytesAt(bench.eepromDumps[0], 0x10, 6),
              (std::vector<std::uint8_t>{0x02, 0, 0, 0, 0, 0x01}));
    auto byPort = records(report);
    const struct {
        std::string port;
        const char* value;
        bool flashed;
    } expected[] = {{good, "02:00:00:00:00:01", true}, {bad, "02:00:00:00:00:02", false}};
    for (const auto& e : expected) {
        auto identity = byPort[e.port]["identity"].toObject();
        EXPECT_EQ(identity["value"].toString().toStdString(), e.value);
        EXPECT_EQ(identity["format"].toString(), "hex:12");
        EXPECT_EQ(identity["memory"].toString(), "eeprom");
        EXPECT_EQ(identity["address"].toInt(), 16);
        EXPECT_EQ(identity["flashed"].toBool(), e.flashed);
    }
    auto journal = ReadFile(flash::JournalOf(list));
    EXPECT_NE(journal.find("02:00:00:00:00:01 flashed\n"), std::string::npos) << journal;
    EXPECT_NE(journal.find("02:00:00:00:00:02 failed\n"), std::string::npos) << journal;
}

TEST_F(IdentityTest, NothingIsSentWhenTheValuesRunOutOrDoNotFit) {
    auto received = (dir.path() / "received").string();
    startBoard({"--received", received});
    const auto list = dir.write("list.txt", "1\n2\n");
    dir.write("list.txt.used", "1\n");
    const auto counter = dir.write("counter", "65535\n");
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--serial-list", list}, "is exhausted: 1 unused value(s) left for 2 board(s)"},
        {{"--serial-counter", counter, "--serial-format", "u16be"}, "65536 does not fit u16be"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--port",      board->devicePath(), "--port",
                                         "/dev/null",   "--flash",           smallImage(),
                                         "--serial-at", "flash:0x40"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(flash(args), flash::kExitNoIdentity) << err();
        EXPECT_NE(err().find(c.error), std::string::npos) << err();
    }
    // A place inside the image is a usage error, before any value is taken.
    EXPECT_EQ(flash({"--port", board->devicePath(), "--flash", smallImage(), "--serial-counter",
                     counter, "--serial-at", "flash:0x3E", "--serial-format", "u32le"}),
              flash::kExitUsage);
    EXPECT_NE(err().find("inside the Flash image's own data"), std::string::npos) << err();

    EXPECT_EQ(ReadFile(counter), "65535\n");
    EXPECT_EQ(ReadFile(list + ".used"), "1\n");
    board->stop();
    EXPECT_EQ(ReadFile(received), "");
}

} // namespace
} // namespace tavo::test
