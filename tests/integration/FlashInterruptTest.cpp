// Ctrl+C reaching tavo-flash (the program) while its port is stuck: a board that holds XOFF, and
// a second Ctrl+C that ends the program at once. The board answers from this process.
#include "cli/ExitCode.h"
#include "serial/DeviceSerialPort.h"
#include "tests/serial/PtyFixture.h"
#include "tests/support/QtApplication.h"
#include "tests/support/TempImages.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sys/ioctl.h>

namespace tavo::test {
namespace {

using namespace serial::testing;

struct Interrupt {
    const char* name;
    int xoffAt;   // the board holds XOFF from this line on (0: never)
    int presses;  // Ctrl+C sent, 30 ms apart
    int exitCode; // what tavo-flash ends with
};

void PrintTo(const Interrupt& i, std::ostream* os) {
    *os << i.name;
}

class FlashInterruptTest : public ::testing::TestWithParam<Interrupt> {
protected:
    static void SetUpTestSuite() { EnsureApplication("integration_tests"); }
};

// The signals go when the run cannot notice them on its own: a write that the board holds back,
// or the end-of-file wait, which looks at nothing but the port. A first Ctrl+C leaves the run
// idle within 100 ms; a second ends the program at once, and still closes the port on its way
// out: its lock file is gone and the device opens again.
TEST_P(FlashInterruptTest, CtrlCActsAtOnceAndReleasesThePort) {
    const auto& p = GetParam();
    bootsim::BoardConfig config;
    config.ready = "?V1.27"; // no repeated lines, no question after a cancelled one
    PtyBoard board(config, p.xoffAt);
    TempDir dir;

    QProcess flash;
    flash.setStandardInputFile(QProcess::nullDevice());
    flash.start(TAVO_FLASH_EXE,
                {"--settings", QString::fromStdString((dir.path() / "none.txt").string()), "--port",
                 QString::fromStdString(board.slavePath()), "--baud", "115200", "--flash",
                 TAVO_SAMPLES_DIR "/sample.hex", "--on-error", "stop", "--verbose"});
    ASSERT_TRUE(flash.waitForStarted());
    if (p.xoffAt > 0)
        ASSERT_TRUE(PtyBoard::WaitFor([&] { return board.holdingXoff(); }));
    else
        ASSERT_TRUE(PtyBoard::WaitFor([&] { return board.completedDownloads() > 0; }));
    // Time for the program to get into the wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(flash.state(), QProcess::Running);

    // A cancel is done when the run is idle again ("Idle" with --verbose); a second Ctrl+C when
    // the program has ended.
    auto sent = Clock::now();
    for (int i = 0; i < p.presses; ++i) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ::kill(static_cast<pid_t>(flash.processId()), SIGINT);
    }
    QByteArray out;
    while (p.presses == 1 && !out.contains("\nIdle\n") && flash.waitForReadyRead(15000))
        out += flash.readAllStandardOutput();
    flash.waitForFinished(p.presses > 1 ? 15000 : 0);
    auto ms = MillisSince(sent) - 30.0 * (p.presses - 1);
    flash.waitForFinished(15000);
    ASSERT_EQ(flash.state(), QProcess::NotRunning);
    std::printf("[ measured ] %s: %.1f ms from the last Ctrl+C to %s\n", p.name, ms,
                p.presses == 1 ? "idle" : "the end of tavo-flash");
    EXPECT_EQ(flash.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(flash.exitCode(), p.exitCode) << flash.readAllStandardError().toStdString();
    EXPECT_LT(ms, 100);

    auto name = board.slavePath().substr(5);
    std::replace(name.begin(), name.end(), '/', '_');
    EXPECT_FALSE(std::filesystem::exists("/var/lock/LCK.." + name));
    serial::DeviceSerialPort again;
    again.setDeviceOverride(board.slavePath());
    EXPECT_NO_THROW(again.open());
}

INSTANTIATE_TEST_SUITE_P(
    Signals, FlashInterruptTest,
    ::testing::Values(Interrupt{"CancelWhileTheBoardHoldsXoff", 5, 1, flash::kExitCancelled},
                      Interrupt{"SecondCtrlCInTheEndOfFileWait", 0, 2, flash::kExitCancelled}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tavo::test
