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
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavo::serial {
namespace {

using bootsim::BootsimProcess;
using engine::Millis;
using engine::RunError;
using testing::Clock;
using testing::MillisSince;

const std::string kBootsim = TAVO_BOOTSIM_EXE;

// A scratch folder, removed with its contents.
struct TempDir {
    std::string path = [] {
        char pattern[] = "/tmp/tavo-bootsim-test-XXXXXX";
        return std::string(::mkdtemp(pattern));
    }();
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
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

// The simulator with the real port open on it.
struct Session {
    explicit Session(const std::vector<std::string>& args,
                     const std::string& settings = "19200,n,8,1")
        : sim(kBootsim, args) {
        port.setDeviceOverride(sim.devicePath());
        port.setXonXoff();
        port.setLineSettings(settings);
        port.open();
    }
    // Writes `text` and takes input until `count` bytes have come or the time is up.
    std::string ask(const std::string& text, std::size_t count = 1, int timeoutMs = 2000) {
        port.write(text);
        std::string answer;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (answer.size() < count) {
            auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
            if (left.count() <= 0 || !port.waitForInput(left))
                break;
            answer += port.takeWaiting();
        }
        return answer;
    }
    BootsimProcess sim;
    DeviceSerialPort port;
};

TEST(BootsimProcess, WholeDownloadLandsInFlashAndTheSimulatorEndsWithThePort) {
    TempDir dir;
    Session s({"--flash-out", dir.file("flash.hex"), "--received", dir.file("rx.bin"),
               "--settings-out", dir.file("line.txt")},
              "56000,n,8,1");
    auto image = SampleImage();
    EXPECT_EQ(s.ask("$@&$", 6), "^?V1.3");
    EXPECT_EQ(s.ask(image[0]), "~");
    // A loader that goes away before the end finds the bootloader ready when it comes back;
    // the simulator waits for it.
    s.port.close();
    EXPECT_EQ(s.sim.waitForExit(100), -1);
    s.port.open();
    EXPECT_EQ(s.ask("$@&$", 5), "?V1.3");
    std::string sent = "$@&$" + image[0] + "$@&$", answers, text;
    for (const auto& line : image) {
        answers += s.ask(line);
        sent += line;
        text += line + "\r\n";
    }
    EXPECT_EQ(answers, "~~~~@");
    s.port.close();
    EXPECT_EQ(s.sim.waitForExit(2000), 0);

    EXPECT_EQ(ReadFile(dir.file("flash.hex")),
              bootsim::EncodeImage(bootsim::DecodeHexText(text).image));
    EXPECT_EQ(ReadFile(dir.file("rx.bin")), sent);
    auto line = ReadFile(dir.file("line.txt"));
    for (const char* setting : {"baud=56000\n", "ixon=1\n", "ixoff=1\n", "ixany=0\n"})
        EXPECT_NE(line.find(setting), std::string::npos) << setting << line;
}

TEST(BootsimProcess, EepromThenFlashWithAFaultOnTheWay) {
    TempDir dir;
    Session s({"--flash-out", dir.file("flash.hex"), "--eeprom-out", dir.file("ee.hex"),
               "--fail-checksum", "2:1", "--fault-file", "flash", "--exit-after-eof"},
              "115200,n,8,1");
    ASSERT_EQ(s.ask("$@&$", 6), "^?V1.3");
    EXPECT_EQ(s.ask("*!" + bootsim::EncodeRecord(0, 0, {0x11, 0x22})), "~");
    EXPECT_EQ(s.ask(":00000001FF"), "@");
    std::string answers;
    for (const auto& line : SampleImage()) {
        auto answer = s.ask(line);
        if (answer == "-") // written again, as the newer loaders do
            answer += s.ask(line);
        answers += answer;
    }
    EXPECT_EQ(answers, "~-~~~@");
    EXPECT_EQ(s.sim.waitForExit(2000), 0);
    // The dumps hold what each memory received, in records of their own.
    EXPECT_EQ(ReadFile(dir.file("ee.hex")), ":020000001122CB\n:00000001FF\n");
    std::string flash;
    for (const auto& line : SampleImage())
        flash += line + "\n";
    EXPECT_EQ(ReadFile(dir.file("flash.hex")), flash);
}

TEST(BootsimProcess, FarAddressesCostTheBoardOnlyTheirBytes) {
    // Sixteen bytes at the top of the 4 GiB address space.
    TempDir dir;
    Session s({"--flash-out", dir.file("flash.hex"), "--exit-after-eof"}, "115200,n,8,1");
    ASSERT_EQ(s.ask("$@&$", 6), "^?V1.3");
    std::string answers, image;
    for (const auto& line :
         {bootsim::EncodeRecord(bootsim::record_type::ExtendedLinearAddress, 0, {0xFF, 0xFF}),
          bootsim::EncodeRecord(bootsim::record_type::Data, 0xFFF0,
                                std::vector<std::uint8_t>(16, 0xA5)),
          std::string(":00000001FF")}) {
        answers += s.ask(line);
        image += line + "\n";
    }
    EXPECT_EQ(answers, "~~@");
    EXPECT_EQ(s.sim.waitForExit(2000), 0);
    EXPECT_EQ(ReadFile(dir.file("flash.hex")), image);
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    EXPECT_LT(usage.ru_maxrss, 256 * 1024) << "peak KiB of the board";
}

TEST(BootsimProcess, DroppedConnectionIsARunErrorWithoutSpinning) {
    Session s({"--drop-after", "2"});
    ASSERT_EQ(s.ask("$@&$", 6), "^?V1.3");
    auto image = SampleImage();
    EXPECT_EQ(s.ask(image[0]), "~");
    EXPECT_EQ(s.ask(image[1]), "~");
    EXPECT_EQ(s.sim.waitForExit(2000), 0);
    auto cpu = testing::CpuMillis();
    EXPECT_THROW(
        {
            s.port.write(image[2]);
            s.port.waitForInput(Millis(1000));
        },
        RunError);
    EXPECT_FALSE(s.port.isOpen());
    EXPECT_LT(testing::CpuMillis() - cpu, 50);
}

TEST(BootsimProcess, TerminationWritesTheOutputsAndRemovesTheLink) {
    TempDir dir;
    auto link = dir.file("board");
    Session s({"--received", dir.file("rx.bin"), "--path-file", dir.file("path.txt"), "--link",
               link, "--version-answer", "?V1.27"});
    EXPECT_EQ(ReadFile(dir.file("path.txt")), s.sim.devicePath() + "\n");
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), s.sim.devicePath());
    // The link leads to the same device.
    s.port.close();
    s.port.setDeviceOverride(link);
    s.port.open();
    EXPECT_EQ(s.ask("$@&$", 7), "^?V1.27");
    EXPECT_EQ(s.sim.stop(), 0);
    EXPECT_EQ(ReadFile(dir.file("rx.bin")), "$@&$");
    EXPECT_FALSE(std::filesystem::is_symlink(link));
}

TEST(BootsimProcess, DelayAndWireTimeFixedOrFromTheLineSettings) {
    // 4 bytes in at 1200 baud take 4 * 10 / 1200 s, plus the delay; a 43-character line
    // 358 ms.
    Session fixed({"--delay", "150", "--pace", "1200"}, "1200,n,8,1");
    auto start = Clock::now();
    EXPECT_EQ(fixed.ask("$@&$", 6), "^?V1.3");
    auto elapsed = MillisSince(start);
    EXPECT_GE(elapsed, 150 + 4 * 10000.0 / 1200);
    EXPECT_LT(elapsed, 1000);
    start = Clock::now();
    EXPECT_EQ(fixed.ask(SampleImage()[0]), "~");
    EXPECT_GE(MillisSince(start), 150 + 43 * 10000.0 / 1200);

    Session fromLine({"--pace", "line"}, "2400,n,8,1");
    ASSERT_EQ(fromLine.ask("$@&$", 6), "^?V1.3");
    start = Clock::now();
    EXPECT_EQ(fromLine.ask(SampleImage()[0]), "~");
    EXPECT_GE(MillisSince(start), 44 * 10000.0 / 2400);
}

TEST(BootsimProcess, AnAdaptersLatencyTimerHoldsAnswersUnlessAPacketFills) {
    // Answers made together come together, once the timer has run from the first of them; a
    // full packet (62 bytes) goes at once and the rest waits for the timer.
    Session s({"--latency-ms", "200", "--noise", std::string(70, 'x')});
    s.port.write("$@&$");
    auto start = Clock::now();
    ASSERT_TRUE(s.port.waitForInput(Millis(2000)));
    EXPECT_GE(MillisSince(start), 195);
    EXPECT_EQ(s.port.takeWaiting(), "^?V1.3");
    s.port.write(SampleImage()[0]);
    start = Clock::now();
    ASSERT_TRUE(s.port.waitForInput(Millis(2000)));
    EXPECT_LT(MillisSince(start), 150);
    EXPECT_EQ(s.port.takeWaiting(), std::string(62, 'x'));
    EXPECT_EQ(s.ask("", 9), std::string(8, 'x') + "~");
    EXPECT_GE(MillisSince(start), 195);
}

TEST(BootsimProcess, StartsQuicklyStopsCleanlyAndRefusesABadCommandLine) {
    auto start = Clock::now();
    for (int i = 0; i < 10; ++i) {
        BootsimProcess sim(kBootsim, {});
        struct stat st {};
        EXPECT_EQ(::stat(sim.devicePath().c_str(), &st), 0);
        EXPECT_EQ(sim.stop(), 0);
    }
    // Half a second a start at most: room for sanitizer builds on a busy machine, yet far below
    // a start or stop that waits out a timeout.
    EXPECT_LT(MillisSince(start), 5000);
    EXPECT_THROW(BootsimProcess(kBootsim, {"--fail-page", "zero"}), std::runtime_error);
}

} // namespace
} // namespace tavo::serial
