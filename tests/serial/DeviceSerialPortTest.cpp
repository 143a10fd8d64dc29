#include "serial/DeviceSerialPort.h"

#include "PtyFixture.h"
#include "engine/RunError.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace tavo::serial {
namespace {

using engine::RunError;
using testing::CpuMillis;
using testing::Pty;
using Clock = std::chrono::steady_clock;

// The port's input notifier needs an event dispatcher on this thread.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        testing::RemoveStaleLockFiles();
        static int argc = 1;
        static char name[] = "serial_tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QCoreApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QCoreApplication> app_;
};
const auto* const kQtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

double MillisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Polls countWaiting() (never an event loop) until `count` bytes are there or a second passed.
int CountWithin(DeviceSerialPort& port, int count) {
    auto start = Clock::now();
    int waiting = port.countWaiting();
    while (waiting < count && MillisSince(start) < 1000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        waiting = port.countWaiting();
    }
    return waiting;
}

TEST(DeviceSerialPortSettings, EveryBaudEntryReachesTheLine) {
    for (unsigned long rate :
         {1200UL, 2400UL, 4800UL, 9600UL, 14400UL, 19200UL, 38400UL, 56000UL, 57600UL, 115200UL}) {
        SCOPED_TRACE(rate);
        Pty pty;
        DeviceSerialPort port;
        port.setDeviceOverride(pty.slavePath());
        port.setXonXoff();
        port.setLineSettings(std::to_string(rate) + ",n,8,1");
        port.open();
        auto line = pty.lineState();
        EXPECT_EQ(line.baud, rate);
        EXPECT_EQ(line.dataBits, 8);
        EXPECT_EQ(line.parity, 'n');
        EXPECT_EQ(line.stopBits, 1);
        // Clearing IXANY must not have undone a non-standard rate.
        EXPECT_FALSE(line.ixany);
    }
}

TEST(DeviceSerialPortSettings, XonXoffWithoutIxanyOrHardwareFlow) {
    Pty pty;
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    port.setXonXoff();
    port.setLineSettings("19200,n,8,1");
    port.open();
    auto line = pty.lineState();
    EXPECT_TRUE(line.ixon);
    EXPECT_TRUE(line.ixoff);
    EXPECT_FALSE(line.ixany);
    EXPECT_FALSE(line.crtscts);
}

TEST(DeviceSerialPortSettings, NoFlowControlUnlessAsked) {
    Pty pty;
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    port.open();
    auto line = pty.lineState();
    EXPECT_FALSE(line.ixon);
    EXPECT_FALSE(line.ixoff);
    EXPECT_FALSE(line.crtscts);
}

TEST(DeviceSerialPortSettings, ChangingTheRateWhileOpenKeepsXonXoffClean) {
    Pty pty;
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    port.setXonXoff();
    port.setLineSettings("9600,n,8,1");
    port.open();
    port.setLineSettings("56000,n,8,1");
    auto line = pty.lineState();
    EXPECT_EQ(line.baud, 56000UL);
    EXPECT_TRUE(line.ixon);
    EXPECT_FALSE(line.ixany);
}

TEST(DeviceSerialPortSettings, MalformedLineSettingsRaise) {
    DeviceSerialPort port;
    for (const char* bad :
         {"", "19200", "19200,n,8", "19200,e,8,1", "19200,n,7,1", "19200,n,8,2", "abc,n,8,1",
          "0,n,8,1", "-9600,n,8,1", ",n,8,1", "19200 ,n,8,1", "19200,n,8,1,"}) {
        SCOPED_TRACE(bad);
        try {
            port.setLineSettings(bad);
            ADD_FAILURE() << "accepted";
        } catch (const RunError& e) {
            EXPECT_FALSE(e.reason().empty());
        }
    }
}

TEST(DeviceSerialPortChoice, PortNumberMustBeOneToEight) {
    PortMap map;
    map.set(3, "/dev/ttyUSB7");
    DeviceSerialPort port(map);
    for (int bad : {0, -1, 9, 100})
        EXPECT_THROW(port.setPortNumber(bad), RunError) << bad;
    port.setPortNumber(3);
    EXPECT_EQ(port.device(), "/dev/ttyUSB7");
    port.setPortNumber(8);
    EXPECT_EQ(port.device(), "/dev/ttyS7");
    port.setDeviceOverride("/dev/pts/99");
    EXPECT_EQ(port.device(), "/dev/pts/99");
    port.setDeviceOverride(std::nullopt);
    EXPECT_EQ(port.device(), "/dev/ttyS7");
}

TEST(DeviceSerialPortChoice, PortNumberIsFixedWhileOpen) {
    Pty pty;
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    port.open();
    EXPECT_THROW(port.setPortNumber(2), RunError);
    EXPECT_TRUE(port.isOpen());
    port.close();
    EXPECT_NO_THROW(port.setPortNumber(2));
}

TEST(DeviceSerialPortOpen, MissingDeviceFailsWithTheReason) {
    DeviceSerialPort port;
    port.setDeviceOverride("/dev/does-not-exist");
    try {
        port.open();
        FAIL() << "opened a missing device";
    } catch (const RunError& e) {
        EXPECT_FALSE(e.reason().empty());
    }
    EXPECT_FALSE(port.isOpen());
}

TEST(DeviceSerialPortOpen, ASecondOpenerIsRefusedUntilTheFirstCloses) {
    Pty pty;
    DeviceSerialPort first;
    first.setDeviceOverride(pty.slavePath());
    DeviceSerialPort second;
    second.setDeviceOverride(pty.slavePath());
    first.open();
    try {
        second.open();
        FAIL() << "opened a port that is in use";
    } catch (const RunError& e) {
        EXPECT_FALSE(e.reason().empty());
    }
    EXPECT_FALSE(second.isOpen());
    EXPECT_TRUE(first.isOpen());
    first.close();
    EXPECT_NO_THROW(second.open());
}

TEST(DeviceSerialPortOpen, AnotherProgramsLockIsRespected) {
    Pty pty;
    int holder = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    try {
        port.open();
        FAIL() << "opened a locked port";
    } catch (const RunError& e) {
        EXPECT_NE(e.reason().find("busy"), std::string::npos) << e.reason();
    }
    EXPECT_FALSE(port.isOpen());
    ::close(holder);
    EXPECT_NO_THROW(port.open());
}

TEST(DeviceSerialPortOpen, AStaleLockFileDoesNotBlock) {
    Pty pty;
    // The lock a killed run would have left: a process id that no longer exists.
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    auto name = pty.slavePath().substr(5); // "pts/N"
    std::replace(name.begin(), name.end(), '/', '_');
    auto lockPath = "/var/lock/LCK.." + name;
    {
        std::ofstream lock(lockPath);
        lock << child << "\nserial_tests\n\n";
    }
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    EXPECT_NO_THROW(port.open());
    port.close();
    ::unlink(lockPath.c_str());
}

TEST(DeviceSerialPortOpen, InputQueueStartsEmptyAndOpenTwiceRaises) {
    Pty pty;
    pty.send("stale");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    port.open();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(port.countWaiting(), 0);
    EXPECT_THROW(port.open(), RunError);
    EXPECT_TRUE(port.isOpen());
}

TEST(DeviceSerialPortIo, WriteAndReadRoundTrip) {
    Pty pty;
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    port.setXonXoff();
    port.setLineSettings("115200,n,8,1");
    port.open();
    std::string line = ":100000000C9434000C9446000C9446000C9446006A";
    port.write(line);
    EXPECT_EQ(pty.receive(), line);
    pty.send("~");
    ASSERT_TRUE(port.waitForInput(engine::Millis(1000)));
    EXPECT_EQ(port.takeWaiting(), "~");
    EXPECT_EQ(port.countWaiting(), 0);
    EXPECT_EQ(port.takeWaiting(), "");
}

TEST(DeviceSerialPortIo, CountWaitingSeesBytesWithoutAnEventLoop) {
    Pty pty;
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    port.open();
    pty.send("?V1.3");
    EXPECT_EQ(CountWithin(port, 5), 5);
    pty.send("~");
    EXPECT_EQ(CountWithin(port, 6), 6);
    EXPECT_EQ(port.takeWaiting(), "?V1.3~");
}

TEST(DeviceSerialPortIo, EveryByteOfALargeWriteArrives) {
    Pty pty;
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    port.open();
    // Far more than the kernel buffers hold, so the writer has to keep pushing.
    std::string data;
    for (int i = 0; i < 200000; ++i)
        data.push_back(static_cast<char>('A' + i % 26));
    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
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

TEST(DeviceSerialPortIo, OnlyXonResumesOutputStoppedByXoff) {
    Pty pty;
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    port.setXonXoff();
    port.open();
    pty.send("\x13");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
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

TEST(DeviceSerialPortIo, ClosedPortRaisesButClosingAgainDoesNot) {
    Pty pty;
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    EXPECT_FALSE(port.isOpen());
    EXPECT_THROW(port.write("x"), RunError);
    EXPECT_THROW(port.countWaiting(), RunError);
    EXPECT_THROW(port.takeWaiting(), RunError);
    EXPECT_THROW(port.waitForInput(engine::Millis(10)), RunError);
    EXPECT_NO_THROW(port.close());
    port.open();
    pty.send("unread");
    ASSERT_TRUE(port.waitForInput(engine::Millis(1000)));
    port.close();
    EXPECT_NO_THROW(port.close());
    EXPECT_FALSE(port.isOpen());
    // What was queued is gone with the close.
    port.open();
    EXPECT_EQ(port.countWaiting(), 0);
}

TEST(DeviceSerialPortWait, ReturnsAtOnceWhenInputIsWaiting) {
    Pty pty;
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    port.open();
    pty.send("^");
    EXPECT_EQ(CountWithin(port, 1), 1);
    auto start = Clock::now();
    EXPECT_TRUE(port.waitForInput(engine::Millis(5000)));
    EXPECT_LT(MillisSince(start), 50);
}

TEST(DeviceSerialPortWait, WakesWhenInputArrives) {
    Pty pty;
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    port.open();
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.send("?");
    });
    auto start = Clock::now();
    bool got = port.waitForInput(engine::Millis(3000));
    auto elapsed = MillisSince(start);
    sender.join();
    EXPECT_TRUE(got);
    EXPECT_GE(elapsed, 90);
    EXPECT_LT(elapsed, 1000);
    EXPECT_EQ(port.takeWaiting(), "?");
}

TEST(DeviceSerialPortWait, TimesOutOnTimeWithoutSpinning) {
    Pty pty;
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    port.open();
    auto cpu = CpuMillis();
    auto start = Clock::now();
    EXPECT_FALSE(port.waitForInput(engine::Millis(300)));
    auto elapsed = MillisSince(start);
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 600);
    EXPECT_LT(CpuMillis() - cpu, 30);
    EXPECT_FALSE(port.waitForInput(engine::Millis(0)));
}

TEST(DeviceSerialPortWait, InputWakesTheThreadsEventLoop) {
    Pty pty;
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    port.open();
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.send("~");
    });
    // A guard, so a missing wake-up fails the test instead of hanging it.
    QTimer guard;
    guard.setSingleShot(true);
    guard.start(3000);
    auto start = Clock::now();
    int rounds = 0;
    while (guard.isActive() && rounds < 1000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        ++rounds;
        if (port.countWaiting() > 0)
            break;
    }
    auto elapsed = MillisSince(start);
    sender.join();
    EXPECT_EQ(port.countWaiting(), 1);
    EXPECT_LT(elapsed, 1000);
    EXPECT_LT(rounds, 20); // it slept in the loop rather than spinning through it
}

TEST(DeviceSerialPortVanish, NextOperationRaisesAndThePortIsClosed) {
    Pty pty;
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    port.open();
    pty.hangUp();
    auto cpu = CpuMillis();
    EXPECT_THROW(port.waitForInput(engine::Millis(2000)), RunError);
    EXPECT_FALSE(port.isOpen());
    EXPECT_LT(CpuMillis() - cpu, 50);
    EXPECT_THROW(port.write("x"), RunError);
    EXPECT_NO_THROW(port.close());
}

TEST(DeviceSerialPortVanish, EachOperationNoticesIt) {
    enum Op { Count, Take, Write, Wait };
    for (Op op : {Count, Take, Write, Wait}) {
        SCOPED_TRACE(op);
        Pty pty;
        DeviceSerialPort port;
        port.setDeviceOverride(pty.slavePath());
        port.open();
        pty.hangUp();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        try {
            switch (op) {
            case Count:
                port.countWaiting();
                break;
            case Take:
                port.takeWaiting();
                break;
            case Write:
                port.write("x");
                break;
            case Wait:
                port.waitForInput(engine::Millis(500));
                break;
            }
            ADD_FAILURE() << "no error";
        } catch (const RunError& e) {
            EXPECT_NE(e.reason().find("hung up"), std::string::npos) << e.reason();
        }
        EXPECT_FALSE(port.isOpen());
    }
}

TEST(DeviceSerialPortVanish, BytesAlreadyReceivedAreHandedOutFirst) {
    Pty pty;
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    port.open();
    pty.send("@");
    ASSERT_EQ(CountWithin(port, 1), 1);
    pty.hangUp();
    // The event loop notices the hang-up and closes the port.
    QEventLoop loop;
    QTimer::singleShot(50, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.countWaiting(), 1);
    EXPECT_EQ(port.takeWaiting(), "@");
    EXPECT_THROW(port.countWaiting(), RunError);
    EXPECT_THROW(port.takeWaiting(), RunError); // closed now, and says so
}

TEST(DeviceSerialPortVanish, AnEventLoopDoesNotSpinOnTheDeadDevice) {
    Pty pty;
    DeviceSerialPort port;
    port.setDeviceOverride(pty.slavePath());
    port.open();
    pty.hangUp();
    auto cpu = CpuMillis();
    QEventLoop loop;
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_LT(CpuMillis() - cpu, 60);
    EXPECT_FALSE(port.isOpen());
    EXPECT_THROW(port.countWaiting(), RunError);
}

} // namespace
} // namespace tavo::serial
