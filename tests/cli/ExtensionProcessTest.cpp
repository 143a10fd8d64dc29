// tavo-flash against a board that announces the extension (tavo-bootsim --extension) on a
// pseudo-terminal: the check of what the board holds, its failure, and the rate fallback.
#include "tests/cli/FlashProcess.h"

namespace tavo::test {
namespace {

class ExtensionProcessTest : public FlashProcessTest {
protected:
    // 300 bytes from address 0, 16 to a line.
    std::string image() {
        std::string text;
        for (std::uint32_t at = 0; at < 300; at += 16) {
            std::vector<std::uint8_t> bytes(std::min<std::uint32_t>(16, 300 - at));
            for (std::size_t i = 0; i < bytes.size(); ++i)
                bytes[i] = static_cast<std::uint8_t>(at + i * 3 + 1);
            text += bootsim::EncodeRecord(0, static_cast<std::uint16_t>(at), bytes) + "\r\n";
        }
        return dir.write("app.hex", text + bootsim::EncodeRecord(1, 0, {}) + "\r\n");
    }
    int run(std::vector<std::string> boardArgs) {
        boardArgs.insert(boardArgs.end(), {"--extension", "--flash-out", flashOut});
        startBoard(boardArgs);
        return flash({"--port", board->devicePath(), "--baud", "115200", "--flash", image(),
                      "--report", report, "--trace", trace});
    }
    // What the board's Flash holds once it has ended.
    bootsim::MemoryImage boardFlash() {
        board->stop();
        return bootsim::DecodeHexText(ReadFile(flashOut)).image;
    }

    std::string flashOut = (dir.path() / "flash.hex").string();
    std::string report = (dir.path() / "report.jsonl").string();
    std::string trace = (dir.path() / "trace.log").string();
};

TEST_F(ExtensionProcessTest, AVerifiedDownloadAtTheFastestRate) {
    ASSERT_EQ(run({}), flash::kExitSuccess) << out() << err();
    EXPECT_TRUE(HasLine(out(), "Flash File successfully downloaded.")) << out();
    auto record = ReadFile(report);
    EXPECT_NE(record.find("\"verify\":\"passed\""), std::string::npos) << record;
    EXPECT_NE(record.find("\"offered\":\"X1,P128,L128,A28672,E1024,R500000,R1000000\""),
              std::string::npos)
        << record;
    auto log = ReadFile(trace);
    EXPECT_NE(log.find("# bit rate 1000000\n"), std::string::npos) << log;
    EXPECT_NE(log.find("> \":0D0000820000000000000001"), std::string::npos) << log; // CHECK
    EXPECT_EQ(boardFlash(), bootsim::DecodeHexText(ReadFile(dir.path() / "app.hex")).image);
}

TEST_F(ExtensionProcessTest, ACellThatDoesNotTakeItsValueFailsTheCheck) {
    ASSERT_EQ(run({"--stuck-cell", "200"}), flash::kExitVerifyFailed) << out() << err();
    auto all = out() + err();
    EXPECT_NE(all.find("Flash 0x0000-0x012B does not hold what was written"), std::string::npos)
        << all;
    EXPECT_NE(ReadFile(report).find("\"verify\":\"failed\""), std::string::npos);
    EXPECT_EQ(ReadFile(trace).find("> \":00000001FF\""), std::string::npos)
        << "no end-of-file record after a failed check";
    // The board stays in its bootloader with page 0 erased: no reset starts the application.
    EXPECT_TRUE(board->running());
    auto memory = boardFlash();
    const auto& flash = memory.segments();
    ASSERT_FALSE(flash.empty());
    EXPECT_EQ(flash.begin()->first, 0u);
    EXPECT_EQ(flash.begin()->second.at(0), 0xFF);
    EXPECT_EQ(flash.begin()->second.at(127), 0xFF);
}

TEST_F(ExtensionProcessTest, ARateTheAdapterCannotCarryFallsBack) {
    ASSERT_EQ(run({"--rate-deaf"}), flash::kExitSuccess) << out() << err();
    EXPECT_NE(ReadFile(report).find("\"verify\":\"passed\""), std::string::npos);
    auto log = ReadFile(trace);
    auto first = log.find("> \":000000817F\"");
    ASSERT_NE(first, std::string::npos) << log;
    auto back = log.find("# bit rate 115200", first);
    ASSERT_NE(back, std::string::npos) << log;
    EXPECT_NE(log.find("> \":000000817F\"", back), std::string::npos) << log;
}

} // namespace
} // namespace tavo::test
