// tavo-flash with several boards at once, and the report it keeps of every download: four
// tavo-bootsim boards on pseudo-terminals, two of which fail in different ways.
#include "tests/cli/FlashProcess.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <csignal>
#include <filesystem>
#include <map>
#include <thread>

namespace tavo::test {
namespace {

class GangTest : public FlashProcessTest {
protected:
    // Starts one board per argument list; their ports as --port options.
    std::vector<std::string> startBoards(const std::vector<std::vector<std::string>>& args) {
        std::vector<std::string> ports;
        for (const auto& a : args) {
            boards.push_back(std::make_unique<bootsim::BootsimProcess>(TAVO_BOOTSIM_EXE, a));
            ports.insert(ports.end(), {"--port", boards.back()->devicePath()});
        }
        return ports;
    }
    std::string port(int i) const { return boards[i]->devicePath(); }

    std::vector<std::unique_ptr<bootsim::BootsimProcess>> boards;
};

TEST_F(GangTest, FourBoardsAtOnceEachWithItsOwnOutcomeAndRecord) {
    auto args = startBoards(
        {{}, {"--version-answer", "?V1.27", "--fail-checksum", "2"}, {"--drop-after", "2"}, {}});
    auto image = smallImage();
    auto report = (dir.path() / "report.jsonl").string();
    dir.write("report.jsonl", "{\"earlier\":1}\n");
    args.insert(args.end(), {"--flash", image, "--report", report, "--baud", "115200"});

    // The first failed board in command-line order gives the exit code.
    EXPECT_EQ(flash(args), flash::kExitLineErrorStopped);

    // Without a terminal: plain lines, each prefixed by its board's port, then the summary.
    auto out = Lines(this->out());
    auto header = std::find_if(out.begin(), out.end(),
                               [](const std::string& l) { return l.rfind("PORT ", 0) == 0; });
    ASSERT_NE(header, out.end()) << this->out();
    for (auto line = out.begin(); line != header; ++line)
        EXPECT_TRUE(line->rfind(port(0) + ": ", 0) == 0 || line->rfind(port(1) + ": ", 0) == 0 ||
                    line->rfind(port(2) + ": ", 0) == 0 || line->rfind(port(3) + ": ", 0) == 0)
            << *line;
    const std::string outcomes[] = {"Flash File successfully downloaded.",
                                    "Checksum error at line 2. Continue with download? No",
                                    "Error encountered while downloading the firmware file.",
                                    "Flash File successfully downloaded."};
    ASSERT_EQ(out.end() - header, 6) << this->out();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(header[i + 1].rfind(port(i) + " ", 0), 0u) << header[i + 1];
        EXPECT_NE(header[i + 1].find(outcomes[i]), std::string::npos) << header[i + 1];
    }
    EXPECT_EQ(out.back(),
              "2 of 4 boards failed: " + port(1) + " (exit 2), " + port(2) + " (exit 7)");
    EXPECT_TRUE(HasLine(err(), port(1) + ": Checksum error at line 2. Continue with download? No "
                                         "(--on-error stop)"))
        << err();
    EXPECT_NE(err().find(port(2) + ":   reason: "), std::string::npos) << err();

    // One record per board appended after what the file held.
    auto records = Lines(ReadFile(report));
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0], "{\"earlier\":1}");
    std::map<std::string, QJsonObject> byPort;
    for (std::size_t i = 1; i < records.size(); ++i) {
        auto o = QJsonDocument::fromJson(QByteArray::fromStdString(records[i])).object();
        byPort[o["port"].toString().toStdString()] = o;
    }
    ASSERT_EQ(byPort.size(), 4u);
    auto sha = QCryptographicHash::hash(QByteArray::fromStdString(ReadFile(image)),
                                        QCryptographicHash::Sha256)
                   .toHex();
    const struct {
        int exitCode;
        const char* version;
        int lines;
        int questions;
    } expected[] = {{0, "1.3", 5, 0}, {2, "1.27", 2, 1}, {7, "1.3", 3, 0}, {0, "1.3", 5, 0}};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const auto& o = byPort[port(i)];
        EXPECT_EQ(o["device"].toString().toStdString(), port(i));
        EXPECT_EQ(o["exitCode"].toInt(), expected[i].exitCode);
        EXPECT_EQ(o["outcome"].toString().toStdString(), outcomes[i]);
        EXPECT_EQ(o["bootloaderVersion"].toString(), expected[i].version);
        EXPECT_EQ(o["linesSent"].toInt(), expected[i].lines);
        EXPECT_EQ(o["questions"].toArray().size(), expected[i].questions);
        EXPECT_EQ(o["baud"].toInt(), 115200);
        auto flash = o["images"].toArray()[0].toObject();
        EXPECT_EQ(flash["sha256"].toString().toLatin1(), sha);
        EXPECT_EQ(flash["path"].toString().toStdString(), image);
        EXPECT_LE(o["start"].toString(), o["end"].toString());
        EXPECT_TRUE(o["end"].toString().endsWith('Z'));
    }
    auto question = byPort[port(1)]["questions"].toArray()[0].toObject();
    EXPECT_EQ(question["answer"].toString(), "no");
}

TEST_F(GangTest, CtrlCCancelsEveryBoard) {
    auto args = startBoards({{"--never-ready"}, {"--never-ready"}});
    args.insert(args.end(), {"--flash", smallImage()});
    start(args);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    auto asking = [&](int i) { return out().find(port(i) + ": Requesting") != std::string::npos; };
    while (!(asking(0) && asking(1)) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(asking(0) && asking(1)) << out();

    auto sent = std::chrono::steady_clock::now();
    ::kill(static_cast<pid_t>(process->processId()), SIGINT);
    EXPECT_EQ(finish(5s), flash::kExitCancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 2500ms);
    EXPECT_EQ(Lines(out()).back(),
              "2 of 2 boards failed: " + port(0) + " (exit 130), " + port(1) + " (exit 130)");
}

TEST_F(GangTest, NothingIsSentWhenTheReportCannotBeWrittenOrAPortIsGivenTwice) {
    auto received = (dir.path() / "received").string();
    auto args = startBoards({{"--received", received}});
    args.insert(args.end(), {"--flash", smallImage(), "--report",
                             (dir.path() / "no-such-folder" / "r.jsonl").string()});
    EXPECT_EQ(flash(args), flash::kExitRecordFailed);
    EXPECT_NE(err().find("cannot write the report file"), std::string::npos) << err();

    // The same device under two names.
    auto link = dir.path() / "board-link";
    std::filesystem::create_symlink(port(0), link);
    EXPECT_EQ(flash({"--port", port(0), "--port", link.string(), "--on-error", "stop", "--flash",
                     smallImage()}),
              flash::kExitUsage);
    EXPECT_NE(err().find("same device"), std::string::npos) << err();

    boards[0]->stop();
    EXPECT_EQ(ReadFile(received), "");
}

} // namespace
} // namespace tavo::test
