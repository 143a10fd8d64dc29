// tavo-flash as a process: what it prints and the exit code it returns for each way a download
// can end, against tavo-bootsim on a pseudo-terminal; and Ctrl+C.
#include "serial/DeviceSerialPort.h"
#include "settings/SettingsFile.h"
#include "tests/support/TempImages.h"
#include "tools/bootsim/BootsimProcess.h"
#include "tools/bootsim/IntelHex.h"
#include "tools/flash/ExitCode.h"
#include "tools/flash/FlashCommand.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tavo::test {
namespace {

using namespace std::chrono_literals;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// tavo-flash started with stdin from /dev/null and its output into files.
class FlashProcess {
public:
    FlashProcess(const TempDir& dir, std::vector<std::string> args)
        : outPath_((dir.path() / "stdout").string()), errPath_((dir.path() / "stderr").string()) {
        args.insert(args.begin(), TAVO_FLASH_EXE);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            int in = ::open("/dev/null", O_RDONLY);
            int out = ::open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = ::open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(in, STDIN_FILENO);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~FlashProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // The exit code (128 + signal when a signal ended it); -1 when still running at the timeout.
    int wait(std::chrono::milliseconds timeout = 30s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (pid_ > 0) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (std::chrono::steady_clock::now() > deadline)
                return -1;
            std::this_thread::sleep_for(5ms);
        }
        return code_;
    }

    void signal(int sig) { ::kill(pid_, sig); }
    std::string out() const { return ReadFile(outPath_); }
    std::string err() const { return ReadFile(errPath_); }

private:
    pid_t pid_ = -1;
    int code_ = -1;
    std::string outPath_;
    std::string errPath_;
};

bool HasLine(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

class FlashProcessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "tavo_flash_process_tests";
            static char* argv[] = {name, nullptr};
            static QCoreApplication app(argc, argv);
        }
    }

    void startBoard(std::vector<std::string> args = {}) {
        board = std::make_unique<bootsim::BootsimProcess>(TAVO_BOOTSIM_EXE, args);
    }

    // Runs tavo-flash to its end. The settings file is one of the test's own (missing unless
    // written), so nothing beside the program can change the outcome.
    int flash(std::vector<std::string> args) {
        args.insert(args.begin(), {"--settings", settingsPath});
        process = std::make_unique<FlashProcess>(dir, args);
        return process->wait();
    }

    // Four data records and the end-of-file record: line 5 is the last.
    std::string smallImage() {
        std::string text;
        for (int i = 0; i < 4; ++i)
            text +=
                bootsim::EncodeRecord(0, static_cast<std::uint16_t>(i * 16),
                                      std::vector<std::uint8_t>(16, static_cast<std::uint8_t>(i))) +
                "\r\n";
        text += bootsim::EncodeRecord(1, 0, {}) + "\r\n";
        return dir.write("small.hex", text);
    }

    TempDir dir;
    std::string settingsPath = (dir.path() / "dazez.txt").string();
    std::unique_ptr<bootsim::BootsimProcess> board;
    std::unique_ptr<FlashProcess> process;
};

TEST_F(FlashProcessTest, SuccessPrintsTheWindowsTextsAndTracesEveryByte) {
    startBoard();
    auto trace = (dir.path() / "trace.log").string();
    ASSERT_EQ(flash({"--port", board->devicePath(), "--baud", "115200", "--flash", smallImage(),
                     "--trace", trace}),
              flash::kExitSuccess);
    auto out = process->out();
    EXPECT_TRUE(HasLine(out, "Initializing the com port")) << out;
    EXPECT_TRUE(HasLine(out, "Requesting Ack from target bootloader.  Try #1")) << out;
    EXPECT_TRUE(HasLine(out, "BootLoader Version: 1.3")) << out;
    EXPECT_TRUE(HasLine(out, "Sending FLASH File - lines remaining ")) << out;
    EXPECT_TRUE(HasLine(out, "Flash File successfully downloaded.")) << out;
    // Not a terminal: a summary line instead of a bar.
    EXPECT_EQ(out.find('\r'), std::string::npos);
    EXPECT_NE(out.find("5/5 lines (100%)"), std::string::npos) << out;
    EXPECT_EQ(process->err(), "");

    auto log = ReadFile(trace);
    EXPECT_NE(log.find("> \"$@&$\"\n"), std::string::npos) << log;
    EXPECT_NE(log.find("< \"^"), std::string::npos) << log;
    EXPECT_NE(log.find("> \":00000001FF\"\n"), std::string::npos) << log;
    EXPECT_NE(log.find("# close\n"), std::string::npos) << log;
}

TEST_F(FlashProcessTest, BoardReportingTheFileCompleteWithErrors) {
    // Line 2 fails all three tries; going on anyway leaves the file with errors.
    startBoard({"--fail-checksum", "2"});
    EXPECT_EQ(
        flash({"--port", board->devicePath(), "--flash", smallImage(), "--on-error", "continue"}),
        flash::kExitCompletedWithErrors);
    auto err = process->err();
    EXPECT_TRUE(
        HasLine(err, "Checksum error at line 2. Continue with download? Yes (--on-error continue)"))
        << err;
    EXPECT_TRUE(HasLine(err, "Error encountered while downloading file.")) << err;
}

TEST_F(FlashProcessTest, LineErrorAnsweredStop) {
    startBoard({"--fail-page", "3"});
    // Without a terminal on stdin the answer defaults to stop.
    EXPECT_EQ(flash({"--port", board->devicePath(), "--flash", smallImage()}),
              flash::kExitLineErrorStopped);
    EXPECT_TRUE(HasLine(process->err(),
                        "Error writing to flash at line 3. Continue with download? No "
                        "(--on-error stop)"))
        << process->err();
    EXPECT_EQ(process->out().find("successfully"), std::string::npos);
}

TEST_F(FlashProcessTest, NoAnswerAtTheEndOfTheFile) {
    // An old bootloader that takes the end-of-file record silently.
    startBoard({"--version-answer", "?V1.27", "--silent", "5"});
    EXPECT_EQ(flash({"--port", board->devicePath(), "--flash", smallImage()}),
              flash::kExitNoEndOfFileAnswer);
    EXPECT_TRUE(HasLine(process->err(), "Error encountered while downloading file.  No response "
                                        "from bootloader at end of file."))
        << process->err();
}

TEST_F(FlashProcessTest, NoResponseFromTheBootloader) {
    // The board answers, but never with what this settings file waits for: three tries of about
    // a second each, instead of the 21 seconds a silent board takes.
    settings::Settings s;
    s.bootloaderReady = "READY";
    s.bootloaderActive = "ACTIVE";
    std::ostringstream file;
    settings::WriteSettings(file, s);
    dir.write("dazez.txt", file.str());
    startBoard();
    EXPECT_EQ(flash({"--port", board->devicePath(), "--flash", smallImage()}),
              flash::kExitNoResponse);
    EXPECT_TRUE(HasLine(process->err(), "No response from target bootloader.")) << process->err();
    EXPECT_TRUE(HasLine(process->out(), "Requesting Ack from target bootloader.  Try #3"));
}

TEST_F(FlashProcessTest, PortErrors) {
    EXPECT_EQ(flash({"--port", "/dev/tavo-no-such-port", "--flash", smallImage()}),
              flash::kExitPortError);
    EXPECT_EQ(process->err(), "Error encountered while accessing the com port.\n");
    // --verbose adds the system's reason.
    EXPECT_EQ(flash({"--port", "/dev/tavo-no-such-port", "--flash", smallImage(), "--verbose"}),
              flash::kExitPortError);
    EXPECT_NE(process->err().find("reason: "), std::string::npos) << process->err();
}

TEST_F(FlashProcessTest, FileErrors) {
    // A chosen image without a path stops before the port is touched.
    EXPECT_EQ(flash({"--port", "/dev/tavo-no-such-port", "--flash", ""}), flash::kExitFileError);
    EXPECT_EQ(process->err(), "Select Application file to download.\n");

    startBoard();
    auto missing = (dir.path() / "missing.hex").string();
    EXPECT_EQ(flash({"--port", board->devicePath(), "--flash", missing}), flash::kExitFileError);
    EXPECT_EQ(process->err(), "Error opening " + missing + ".\n");
}

TEST_F(FlashProcessTest, UsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {"--baud", "300"}, {"--on-error", "ask"}, // stdin is not a terminal
        {"--port"},        {"--flash", "a.hex", "b.hex"}, {"--no-such-option"},
    };
    for (const auto& args : bad) {
        EXPECT_EQ(flash(args), flash::kExitUsage) << args.front();
        EXPECT_NE(process->err().find("--help"), std::string::npos) << process->err();
        EXPECT_EQ(process->out(), "");
    }
    EXPECT_EQ(flash({"--help"}), flash::kExitSuccess);
    EXPECT_NE(process->out().find("Exit status:"), std::string::npos);
    EXPECT_EQ(flash({"--version"}), flash::kExitSuccess);
    EXPECT_EQ(process->out(), "TAVO  Programmer Version 2.1.2\n");
}

TEST_F(FlashProcessTest, SettingsAndPortMapBesideTheProgramChooseTheBoard) {
    // No option at all: dazez.txt beside the program chooses "Com 3" and the image, ports.txt
    // maps "Com 3" to the board. The settings file is read, never written.
    startBoard();
    settings::Settings s;
    s.comPortIndex = 2;
    s.baudIndex = 8;
    s.applicationFile = smallImage();
    std::ostringstream file;
    settings::WriteSettings(file, s);
    auto settingsText = file.str();
    dir.write("dazez.txt", settingsText);
    dir.write("ports.txt", "1=/dev/tavo-not-this-one\n3=" + board->devicePath() + "\n");

    std::ostringstream out, err;
    flash::CommandEnvironment env{out, err, false, false, dir.path().string()};
    EXPECT_EQ(flash::RunFlashCommand({}, env), flash::kExitSuccess) << err.str();
    EXPECT_TRUE(HasLine(out.str(), "Flash File successfully downloaded.")) << out.str();
    EXPECT_EQ(ReadFile(settingsPath), settingsText);

    // --port names another entry of the map: that one is opened.
    EXPECT_EQ(flash::RunFlashCommand({"--port", "1"}, env), flash::kExitPortError);
}

TEST_F(FlashProcessTest, CtrlCDuringTheHandshakeCancelsAndReleasesThePort) {
    startBoard({"--never-ready"});
    process = std::make_unique<FlashProcess>(
        dir, std::vector<std::string>{"--settings", settingsPath, "--port", board->devicePath(),
                                      "--flash", smallImage()});
    // Wait until it is asking the board.
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (process->out().find("Try #1") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_NE(process->out().find("Try #1"), std::string::npos);
    std::this_thread::sleep_for(200ms);

    auto sent = std::chrono::steady_clock::now();
    process->signal(SIGINT);
    EXPECT_EQ(process->wait(5s), flash::kExitCancelled);
    // The next cancel test comes at the latest after the one-second pause (with room for a busy
    // machine).
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 2500ms);
    EXPECT_NE(process->err().find("Cancel requested"), std::string::npos) << process->err();
    EXPECT_EQ(process->out().find("successfully"), std::string::npos);

    serial::DeviceSerialPort again;
    again.setDeviceOverride(board->devicePath());
    EXPECT_NO_THROW(again.open());
    EXPECT_TRUE(again.isOpen());
}

} // namespace
} // namespace tavo::test
