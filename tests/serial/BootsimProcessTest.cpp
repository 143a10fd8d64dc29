// tavo-bootsim as a process, driven through the real serial port.
#include "tools/bootsim/BootsimProcess.h"

#include "PtyFixture.h"
#include "engine/RunError.h"
#include "serial/DeviceSerialPort.h"
#include "tools/bootsim/IntelHex.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tavo::serial {
namespace {

using bootsim::BootsimProcess;
using engine::Millis;
using engine::RunError;
using Clock = std::chrono::steady_clock;

const std::string kBootsim = TAVO_BOOTSIM_EXE;

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/tavo-bootsim-test-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Takes input until `count` bytes have come or the time is up.
std::string Collect(DeviceSerialPort& port, std::size_t count, int timeoutMs = 2000) {
    std::string text;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (text.size() < count) {
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
        if (left.count() <= 0 || !port.waitForInput(left))
            break;
        text += port.takeWaiting();
    }
    return text;
}

double MillisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::vector<std::string> SampleImage() {
    std::vector<std::string> lines;
    for (std::uint16_t address = 0; address < 0x40; address += 0x10) {
        std::vector<std::uint8_t> data;
        for (int i = 0; i < 16; ++i)
            data.push_back(static_cast<std::uint8_t>(address + i * 7));
        lines.push_back(bootsim::EncodeRecord(bootsim::record_type::Data, address, data));
    }
    lines.push_back(":00000001FF");
    return lines;
}

void Open(DeviceSerialPort& port, const BootsimProcess& sim, const std::string& settings) {
    port.setDeviceOverride(sim.devicePath());
    port.setXonXoff();
    port.setLineSettings(settings);
    port.open();
}

TEST(BootsimProcess, WholeDownloadLandsInFlashAndTheSimulatorEndsWithThePort) {
    TempDir dir;
    BootsimProcess sim(kBootsim, {"--flash-out", dir.file("flash.bin"), "--received",
                                  dir.file("rx.bin"), "--settings-out", dir.file("line.txt")});
    DeviceSerialPort port;
    Open(port, sim, "56000,n,8,1");
    port.write("$@&$");
    EXPECT_EQ(Collect(port, 6), "^?V1.3");
    std::string sent = "$@&$";
    auto image = SampleImage();
    std::string answers;
    for (const auto& line : image) {
        port.write(line);
        sent += line;
        answers += Collect(port, 1);
    }
    EXPECT_EQ(answers, "~~~~@");
    port.close();
    EXPECT_EQ(sim.waitForExit(2000), 0);

    std::string text;
    for (const auto& line : image)
        text += line + "\r\n";
    auto expected = bootsim::DecodeHexText(text).image.toBinary();
    auto flash = ReadFile(dir.file("flash.bin"));
    EXPECT_EQ(flash, std::string(expected.begin(), expected.end()));
    EXPECT_EQ(ReadFile(dir.file("rx.bin")), sent);
    auto line = ReadFile(dir.file("line.txt"));
    EXPECT_NE(line.find("baud=56000\n"), std::string::npos) << line;
    EXPECT_NE(line.find("ixon=1\n"), std::string::npos) << line;
    EXPECT_NE(line.find("ixoff=1\n"), std::string::npos) << line;
    EXPECT_NE(line.find("ixany=0\n"), std::string::npos) << line;
}

TEST(BootsimProcess, EepromThenFlashWithAFaultOnTheWay) {
    TempDir dir;
    BootsimProcess sim(kBootsim,
                       {"--flash-out", dir.file("flash.bin"), "--eeprom-out", dir.file("ee.bin"),
                        "--fail-checksum", "2:1", "--fault-file", "flash", "--exit-after-eof"});
    DeviceSerialPort port;
    Open(port, sim, "115200,n,8,1");
    port.write("$@&$");
    ASSERT_EQ(Collect(port, 6), "^?V1.3");
    port.write("*!");
    auto ee = bootsim::EncodeRecord(0, 0, {0x11, 0x22});
    port.write(ee);
    EXPECT_EQ(Collect(port, 1), "~");
    port.write(":00000001FF");
    EXPECT_EQ(Collect(port, 1), "@");
    auto image = SampleImage();
    std::string answers;
    for (std::size_t i = 0; i < image.size(); ++i) {
        port.write(image[i]);
        auto answer = Collect(port, 1);
        if (answer == "-") // written again, as the newer loaders do
            port.write(image[i]), answer += Collect(port, 1);
        answers += answer;
    }
    EXPECT_EQ(answers, "~-~~~@");
    EXPECT_EQ(sim.waitForExit(2000), 0);
    EXPECT_EQ(ReadFile(dir.file("ee.bin")), std::string("\x11\x22"));
    EXPECT_EQ(ReadFile(dir.file("flash.bin")).size(), 0x40u);
}

TEST(BootsimProcess, DroppedConnectionIsARunErrorWithoutSpinning) {
    BootsimProcess sim(kBootsim, {"--drop-after", "2"});
    DeviceSerialPort port;
    Open(port, sim, "19200,n,8,1");
    port.write("$@&$");
    ASSERT_EQ(Collect(port, 6), "^?V1.3");
    auto image = SampleImage();
    port.write(image[0]);
    EXPECT_EQ(Collect(port, 1), "~");
    port.write(image[1]);
    EXPECT_EQ(Collect(port, 1), "~");
    EXPECT_EQ(sim.waitForExit(2000), 0);
    auto cpu = testing::CpuMillis();
    EXPECT_THROW(
        {
            port.write(image[2]);
            port.waitForInput(Millis(1000));
        },
        RunError);
    EXPECT_FALSE(port.isOpen());
    EXPECT_LT(testing::CpuMillis() - cpu, 50);
}

TEST(BootsimProcess, TerminationWritesTheOutputsAndRemovesTheLink) {
    TempDir dir;
    auto link = dir.file("board");
    BootsimProcess sim(kBootsim,
                       {"--received", dir.file("rx.bin"), "--path-file", dir.file("path.txt"),
                        "--link", link, "--version-answer", "?V1.27"});
    EXPECT_EQ(ReadFile(dir.file("path.txt")), sim.devicePath() + "\n");
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.devicePath());
    DeviceSerialPort port;
    port.setDeviceOverride(link);
    port.open();
    port.write("$@&$");
    EXPECT_EQ(Collect(port, 7), "^?V1.27");
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(ReadFile(dir.file("rx.bin")), "$@&$");
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST(BootsimProcess, BoardsThatNeverGetReady) {
    for (const char* fault : {"--never-ready", "--active-only"}) {
        SCOPED_TRACE(fault);
        BootsimProcess sim(kBootsim, {fault});
        DeviceSerialPort port;
        Open(port, sim, "9600,n,8,1");
        port.write("$@&$");
        auto first = Collect(port, 10, 300);
        port.write("$@&$");
        auto second = Collect(port, 10, 300);
        EXPECT_EQ(first, std::string(fault) == "--active-only" ? "^" : "");
        EXPECT_EQ(second, "");
    }
}

TEST(BootsimProcess, DelayAndWireTime) {
    // 4 bytes in and 2 out at 1200 baud cost 6 * 10 / 1200 s = 50 ms, plus the delay.
    BootsimProcess sim(kBootsim, {"--delay", "150", "--pace", "1200"});
    DeviceSerialPort port;
    Open(port, sim, "1200,n,8,1");
    auto start = Clock::now();
    port.write("$@&$");
    EXPECT_EQ(Collect(port, 6), "^?V1.3");
    auto elapsed = MillisSince(start);
    EXPECT_GE(elapsed, 150 + 4 * 10000.0 / 1200);
    EXPECT_LT(elapsed, 1000);
    // A 43-character line takes 358 ms on the wire at 1200 baud.
    start = Clock::now();
    port.write(SampleImage()[0]);
    EXPECT_EQ(Collect(port, 1), "~");
    EXPECT_GE(MillisSince(start), 150 + 43 * 10000.0 / 1200);
}

TEST(BootsimProcess, WireTimeCanFollowTheLineSettings) {
    BootsimProcess sim(kBootsim, {"--pace", "line"});
    DeviceSerialPort port;
    Open(port, sim, "2400,n,8,1");
    port.write("$@&$");
    ASSERT_EQ(Collect(port, 6), "^?V1.3");
    auto start = Clock::now();
    port.write(SampleImage()[0]);
    EXPECT_EQ(Collect(port, 1), "~");
    EXPECT_GE(MillisSince(start), 44 * 10000.0 / 2400);
}

TEST(BootsimProcess, ALoaderThatComesBackFindsTheBootloaderReady) {
    BootsimProcess sim(kBootsim, {});
    DeviceSerialPort port;
    Open(port, sim, "19200,n,8,1");
    port.write("$@&$");
    ASSERT_EQ(Collect(port, 6), "^?V1.3");
    port.write(SampleImage()[0]);
    EXPECT_EQ(Collect(port, 1), "~");
    port.close();
    EXPECT_EQ(sim.waitForExit(100), -1); // no complete download yet: it waits
    port.open();
    port.write("$@&$");
    EXPECT_EQ(Collect(port, 5), "?V1.3");
    for (const auto& line : SampleImage())
        port.write(line), Collect(port, 1);
    port.close();
    EXPECT_EQ(sim.waitForExit(2000), 0);
}

TEST(BootsimProcess, StartsQuicklyAndStopsCleanly) {
    auto start = Clock::now();
    for (int i = 0; i < 10; ++i) {
        BootsimProcess sim(kBootsim, {});
        struct stat st {};
        EXPECT_EQ(::stat(sim.devicePath().c_str(), &st), 0);
        EXPECT_EQ(sim.stop(), 0);
    }
    EXPECT_LT(MillisSince(start), 2000);
}

TEST(BootsimProcess, RejectsABadCommandLine) {
    EXPECT_THROW(BootsimProcess(kBootsim, {"--fail-page", "zero"}), std::runtime_error);
}

} // namespace
} // namespace tavo::serial
