#include "serial/DeviceSerialPort.h"

#include "PtyFixture.h"
#include "engine/RunError.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace tavo::serial {
namespace {

using engine::Millis;
using engine::RunError;
using namespace testing;

// The port's input notifier needs an event dispatcher on this thread.
class QtEnvironment : public ::testing::Environment {
    void SetUp() override { app_ = std::make_unique<QCoreApplication>(argc_, argv_); }
    void TearDown() override { app_.reset(); }
    int argc_ = 1;
    char name_[13] = "serial_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QCoreApplication> app_;
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Polls countWaiting() (never an event loop) until `count` bytes are there or a second passed.
int CountWithin(DeviceSerialPort& port, int count) {
    for (auto start = Clock::now(); port.countWaiting() < count && MillisSince(start) < 1000;)
        Sleep(2);
    return port.countWaiting();
}

// Every operation that needs the device, by name.
const std::vector<std::pair<const char*, std::function<void(DeviceSerialPort&)>>> kOperations = {
    {"countWaiting", [](auto& port) { port.countWaiting(); }},
    {"takeWaiting", [](auto& port) { port.takeWaiting(); }},
    {"write", [](auto& port) { port.write("x"); }},
    {"waitForInput", [](auto& port) { port.waitForInput(Millis(2000)); }}};

// The reason of the RunError `action` raises; a test failure when it raises none.
std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const RunError& e) {
        EXPECT_FALSE(e.reason().empty());
        return e.reason();
    }
    ADD_FAILURE() << "no RunError";
    return {};
}

// A port aimed at a fresh pseudo-terminal, not yet opened.
class PortOnPty : public ::testing::Test {
protected:
    void SetUp() override { port.setDeviceOverride(pty.slavePath()); }
    void open(const char* settings = nullptr) {
        port.setXonXoff();
        if (settings)
            port.setLineSettings(settings);
        port.open();
    }
    Pty pty;
    DeviceSerialPort port;
};
using DeviceSerialPortSettings = PortOnPty;
using DeviceSerialPortOpen = PortOnPty;
using DeviceSerialPortIo = PortOnPty;
using DeviceSerialPortVanish = PortOnPty;

TEST_F(DeviceSerialPortSettings, EveryBaudEntryReachesTheLineWithCleanXonXoff) {
    using bootsim::LineSettings;
    port.setXonXoff();
    for (unsigned long rate :
         {1200UL, 2400UL, 4800UL, 9600UL, 14400UL, 19200UL, 38400UL, 56000UL, 57600UL, 115200UL}) {
        SCOPED_TRACE(rate);
        port.setLineSettings(std::to_string(rate) + ",n,8,1");
        port.open();
        // Clearing IXANY must not have undone a non-standard rate.
        EXPECT_EQ(pty.lineState(), (LineSettings{rate, 8, 'n', 1, true, true, false, false}));
        port.close();
    }
    // The same while open.
    port.setLineSettings("9600,n,8,1");
    port.open();
    port.setLineSettings("56000,n,8,1");
    EXPECT_EQ(pty.lineState(), (LineSettings{56000, 8, 'n', 1, true, true, false, false}));
}

TEST_F(DeviceSerialPortSettings, NoFlowControlUnlessAsked) {
    port.open();
    auto line = pty.lineState();
    EXPECT_FALSE(line.ixon || line.ixoff || line.crtscts);
}

TEST_F(DeviceSerialPortSettings, MalformedLineSettingsRaise) {
    for (const char* bad :
         {"", "19200", "19200,n,8", "19200,e,8,1", "19200,n,7,1", "19200,n,8,2", "abc,n,8,1",
          "0,n,8,1", "-9600,n,8,1", ",n,8,1", "19200 ,n,8,1", "19200,n,8,1,"}) {
        SCOPED_TRACE(bad);
        ErrorOf([&] { port.setLineSettings(bad); });
    }
}

TEST_F(DeviceSerialPortSettings, PortNumberIsOneToEightAndFixedWhileOpen) {
    PortMap map;
    map.set(3, "/dev/ttyUSB7");
    DeviceSerialPort mapped(map);
    for (int bad : {0, -1, 9, 100})
        EXPECT_THROW(mapped.setPortNumber(bad), RunError) << bad;
    mapped.setPortNumber(3);
    EXPECT_EQ(mapped.device(), "/dev/ttyUSB7");
    mapped.setPortNumber(8);
    EXPECT_EQ(mapped.device(), "/dev/ttyS7");
    mapped.setDeviceOverride("/dev/pts/99");
    EXPECT_EQ(mapped.device(), "/dev/pts/99");
    mapped.setDeviceOverride(std::nullopt);
    EXPECT_EQ(mapped.device(), "/dev/ttyS7");

    port.open();
    EXPECT_THROW(port.setPortNumber(2), RunError);
    EXPECT_TRUE(port.isOpen());
    port.close();
    EXPECT_NO_THROW(port.setPortNumber(2));
}

TEST_F(DeviceSerialPortOpen, MissingDeviceFailsWithTheReason) {
    port.setDeviceOverride("/dev/does-not-exist");
    ErrorOf([&] { port.open(); });
    EXPECT_FALSE(port.isOpen());
}

TEST_F(DeviceSerialPortOpen, ABusyPortIsRefusedUntilItsHolderLetsGo) {
    // First another port of ours holds the device, then another program's lock on it.
    DeviceSerialPort first;
    first.setDeviceOverride(pty.slavePath());
    first.open();
    ErrorOf([&] { port.open(); });
    EXPECT_FALSE(port.isOpen());
    EXPECT_TRUE(first.isOpen());
    first.close();
    int holder = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_NE(ErrorOf([&] { port.open(); }).find("busy"), std::string::npos);
    EXPECT_FALSE(port.isOpen());
    ::close(holder);
    EXPECT_NO_THROW(port.open());
}

TEST_F(DeviceSerialPortOpen, AStaleLockFileDoesNotBlock) {
    // The lock a killed run would have left: a process id that no longer exists.
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    auto name = pty.slavePath().substr(5); // "pts/N"
    std::replace(name.begin(), name.end(), '/', '_');
    auto lockPath = "/var/lock/LCK.." + name;
    std::ofstream(lockPath) << child << "\nserial_tests\n\n";
    EXPECT_NO_THROW(port.open());
    port.close();
    ::unlink(lockPath.c_str());
}

TEST_F(DeviceSerialPortIo, EveryByteOfALargeWriteArrives) {
    port.open();
    // Far more than the kernel buffers hold, so the writer has to keep pushing.
    std::string data;
    for (int i = 0; i < 200000; ++i)
        data.push_back(static_cast<char>('A' + i % 26));
    std::string received;
    std::thread reader([&] {
        Sleep(50);
        while (received.size() < data.size()) {
            auto chunk = pty.receive(2000);
            if (chunk.empty())
                break;
            received += chunk;
        }
    });
    port.write(data);
    reader.join();
    EXPECT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
}

TEST_F(DeviceSerialPortIo, OnlyXonResumesOutputStoppedByXoff) {
    open();
    pty.send("\x13");
    Sleep(30);
    // A pseudo-terminal takes nothing while stopped, so the write waits for XON; the board's
    // side checks meanwhile that nothing leaks through.
    std::string whileStopped, afterX, afterXon;
    std::thread board([&] {
        whileStopped = pty.receive(150);
        pty.send("x"); // not XON: with IXANY this would release the output
        afterX = pty.receive(150);
        pty.send("\x11");
        afterXon = pty.receive(1000);
    });
    auto cpu = CpuMillis();
    port.write("held");
    auto cpuUsed = CpuMillis() - cpu;
    board.join();
    EXPECT_EQ(whileStopped, "");
    EXPECT_EQ(afterX, "");
    EXPECT_EQ(afterXon, "held");
    EXPECT_LT(cpuUsed, 50);
    // The flow control characters never reach the caller; the plain byte does.
    EXPECT_EQ(port.takeWaiting(), "x");
}

TEST_F(DeviceSerialPortOpen, OnlyAnOpenPortWorksAndItStartsWithAnEmptyQueue) {
    EXPECT_FALSE(port.isOpen());
    for (const auto& [name, operation] : kOperations)
        EXPECT_THROW(operation(port), RunError) << name;
    EXPECT_NO_THROW(port.close());
    // Neither bytes from before the open nor those left unread at a close are handed out.
    pty.send("stale");
    Sleep(30);
    port.open();
    Sleep(30);
    EXPECT_EQ(port.countWaiting(), 0);
    EXPECT_THROW(port.open(), RunError);
    EXPECT_TRUE(port.isOpen());
    pty.send("unread");
    ASSERT_TRUE(port.waitForInput(Millis(1000)));
    port.close();
    EXPECT_NO_THROW(port.close());
    EXPECT_FALSE(port.isOpen());
    port.open();
    EXPECT_EQ(port.countWaiting(), 0);
}

TEST_F(DeviceSerialPortIo, TimesOutOnTimeWithoutSpinningAndWakesOnInput) {
    port.open();
    auto cpu = CpuMillis();
    auto start = Clock::now();
    EXPECT_FALSE(port.waitForInput(Millis(300)));
    auto elapsed = MillisSince(start);
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 600);
    EXPECT_LT(CpuMillis() - cpu, 30);
    EXPECT_FALSE(port.waitForInput(Millis(0)));

    std::thread sender([&] {
        Sleep(100);
        pty.send("?");
    });
    start = Clock::now();
    bool got = port.waitForInput(Millis(3000));
    elapsed = MillisSince(start);
    sender.join();
    EXPECT_TRUE(got);
    EXPECT_GE(elapsed, 90);
    EXPECT_LT(elapsed, 1000);
    // Input already waiting: no wait at all.
    start = Clock::now();
    EXPECT_TRUE(port.waitForInput(Millis(5000)));
    EXPECT_LT(MillisSince(start), 50);
    pty.send("~");
    EXPECT_EQ(CountWithin(port, 2), 2); // seen without an event loop
    EXPECT_EQ(port.takeWaiting(), "?~");
    EXPECT_EQ(port.countWaiting(), 0);
    EXPECT_EQ(port.takeWaiting(), "");
}

TEST_F(DeviceSerialPortIo, InputWakesTheThreadsEventLoop) {
    port.open();
    std::thread sender([&] {
        Sleep(100);
        pty.send("~");
    });
    // A guard, so a missing wake-up fails the test instead of hanging it.
    QTimer guard;
    guard.setSingleShot(true);
    guard.start(3000);
    auto start = Clock::now();
    int rounds = 0;
    while (guard.isActive() && rounds < 1000 && port.countWaiting() == 0) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ++rounds;
    }
    auto elapsed = MillisSince(start);
    sender.join();
    EXPECT_EQ(port.countWaiting(), 1);
    EXPECT_LT(elapsed, 1000);
    EXPECT_LT(rounds, 20); // it slept in the loop rather than spinning through it
}

TEST_F(DeviceSerialPortVanish, EveryOperationNoticesItAndClosesThePort) {
    for (const auto& [name, operation] : kOperations) {
        SCOPED_TRACE(name);
        Pty pty;
        DeviceSerialPort port;
        port.setDeviceOverride(pty.slavePath());
        port.open();
        pty.hangUp();
        if (std::string(name) != "waitForInput")
            Sleep(20);
        auto cpu = CpuMillis();
        auto reason = ErrorOf([&] { operation(port); });
        EXPECT_NE(reason.find("hung up"), std::string::npos) << reason;
        EXPECT_LT(CpuMillis() - cpu, 50);
        EXPECT_FALSE(port.isOpen());
        EXPECT_THROW(port.write("x"), RunError);
        EXPECT_NO_THROW(port.close());
    }
}

TEST_F(DeviceSerialPortVanish, AnEventLoopClosesThePortWithoutSpinningAndKeepsWhatCame) {
    port.open();
    pty.send("@");
    ASSERT_EQ(CountWithin(port, 1), 1);
    pty.hangUp();
    auto cpu = CpuMillis();
    QEventLoop loop;
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_LT(CpuMillis() - cpu, 60);
    EXPECT_FALSE(port.isOpen());
    // Bytes already received are handed out first; then the port says it is closed.
    EXPECT_EQ(port.countWaiting(), 1);
    EXPECT_EQ(port.takeWaiting(), "@");
    EXPECT_THROW(port.countWaiting(), RunError);
    EXPECT_THROW(port.takeWaiting(), RunError);
}

} // namespace
} // namespace tavo::serial
