#include "serial/DeviceSerialPort.h"
#include "serial/DeviceSerialPortQt.h"

#include "PtyFixture.h"
#include "engine/RunError.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <type_traits>
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
template <class Port> int CountWithin(Port& port, int count) {
    for (auto start = Clock::now(); port.countWaiting() < count && MillisSince(start) < 1000;)
        Sleep(2);
    return port.countWaiting();
}

// Every operation that needs the device, by name.
template <class Port>
const std::vector<std::pair<const char*, std::function<void(Port&)>>> kOperations = {
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

// Both implementations pass the same tests: the terminal-device port and the one on Qt's serial
// port (the Windows build's), unless this build's programs use Qt's already.
#ifdef TAVO_QT_PORT
using Implementations = ::testing::Types<DeviceSerialPortQt>;
#else
using Implementations = ::testing::Types<DeviceSerialPort, DeviceSerialPortQt>;
#endif
template <class Port> constexpr bool kIsQt = std::is_same_v<Port, DeviceSerialPortQt>;
struct ImplementationName {
    template <class Port> static std::string GetName(int) { return kIsQt<Port> ? "Qt" : "Termios"; }
};

// A port aimed at a fresh pseudo-terminal, not yet opened.
template <class Port> struct Rig {
    Rig() { port.setDeviceOverride(pty.slavePath()); }
    void open(const char* settings = nullptr) {
        port.setXonXoff();
        if (settings)
            port.setLineSettings(settings);
        // Pseudo-terminal numbers are reused at once, and a parallel test that opens a stale
        // device path may hold this fresh one for a moment.
        for (int tries = 1;; ++tries) {
            try {
                port.open();
                return;
            } catch (const RunError& e) {
                if (tries == 50 || std::string(e.what()).find("holds it") == std::string::npos)
                    throw;
                Sleep(20);
            }
        }
    }
    Pty pty;
    Port port;
};

template <class Port> class PortOnPty : public ::testing::Test, public Rig<Port> {};
template <class Port> class DeviceSerialPortSettings : public PortOnPty<Port> {};
template <class Port> class DeviceSerialPortOpen : public PortOnPty<Port> {};
template <class Port> class DeviceSerialPortIo : public PortOnPty<Port> {};
template <class Port> class DeviceSerialPortVanish : public PortOnPty<Port> {};
TYPED_TEST_SUITE(DeviceSerialPortSettings, Implementations, ImplementationName);
TYPED_TEST_SUITE(DeviceSerialPortOpen, Implementations, ImplementationName);
TYPED_TEST_SUITE(DeviceSerialPortIo, Implementations, ImplementationName);
TYPED_TEST_SUITE(DeviceSerialPortVanish, Implementations, ImplementationName);
// Suites of cases, each on a pseudo-terminal of its own.
template <class Port> class DeviceSerialPortBusy : public ::testing::Test {};
template <class Port> class DeviceSerialPortStall : public ::testing::Test {};
template <class Port> class DeviceSerialPortClose : public ::testing::Test {};
TYPED_TEST_SUITE(DeviceSerialPortBusy, Implementations, ImplementationName);
TYPED_TEST_SUITE(DeviceSerialPortStall, Implementations, ImplementationName);
TYPED_TEST_SUITE(DeviceSerialPortClose, Implementations, ImplementationName);

TYPED_TEST(DeviceSerialPortSettings, EveryBaudEntryReachesTheLineWithCleanXonXoff) {
    auto& pty = this->pty;
    auto& port = this->port;
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

TYPED_TEST(DeviceSerialPortSettings, NoFlowControlUnlessAsked) {
    auto& pty = this->pty;
    auto& port = this->port;
    port.open();
    auto line = pty.lineState();
    EXPECT_FALSE(line.ixon || line.ixoff || line.crtscts);
}

TYPED_TEST(DeviceSerialPortSettings, MalformedLineSettingsRaise) {
    auto& port = this->port;
    for (const char* bad :
         {"", "19200", "19200,n,8", "19200,e,8,1", "19200,n,7,1", "19200,n,8,2", "abc,n,8,1",
          "0,n,8,1", "-9600,n,8,1", ",n,8,1", "19200 ,n,8,1", "19200,n,8,1,"}) {
        SCOPED_TRACE(bad);
        ErrorOf([&] { port.setLineSettings(bad); });
    }
}

TYPED_TEST(DeviceSerialPortSettings, PortNumberIsOneToEightAndFixedWhileOpen) {
    auto& port = this->port;
    PortMap map;
    map.set(3, "/dev/ttyUSB7");
    TypeParam mapped(map);
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

TYPED_TEST(DeviceSerialPortOpen, MissingDeviceFailsWithTheReason) {
    auto& port = this->port;
    port.setDeviceOverride("/dev/does-not-exist");
    ErrorOf([&] { port.open(); });
    EXPECT_FALSE(port.isOpen());
}

// Another holder of the device, taking it and letting it go again.
struct Holder {
    const char* name;
    std::function<std::function<void()>(const std::string& device)> take; // returns the release
};

// A program of ours; another program's advisory lock; another program's exclusive mode.
template <class Port>
const std::vector<Holder> kHolders = {
    {"AnotherPortOfOurs",
     [](const std::string& device) -> std::function<void()> {
         auto first = std::make_shared<Port>();
         first->setDeviceOverride(device);
         first->open();
         return [first] {
             EXPECT_TRUE(first->isOpen());
             first->close();
         };
     }},
    {"AdvisoryLock",
     [](const std::string& device) -> std::function<void()> {
         int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
         EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
         return [fd] { ::close(fd); };
     }},
    {"ExclusiveMode", [](const std::string& device) -> std::function<void()> {
         int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY);
         EXPECT_EQ(::ioctl(fd, TIOCEXCL), 0);
         return [fd] {
             ::ioctl(fd, TIOCNXCL);
             ::close(fd);
         };
     }}};

// We run as root here, which opens a device whatever its holder did; the port must still refuse.
TYPED_TEST(DeviceSerialPortBusy, IsRefusedUntilItsHolderLetsGo) {
    for (const auto& holder : kHolders<TypeParam>) {
        SCOPED_TRACE(holder.name);
        Rig<TypeParam> rig;
        auto release = holder.take(rig.pty.slavePath());
        EXPECT_NE(ErrorOf([&] { rig.port.open(); }).find("busy"), std::string::npos);
        EXPECT_FALSE(rig.port.isOpen());
        release();
        EXPECT_NO_THROW(rig.port.open());
    }
}

// On a real UART the port asks the driver for low latency when it opens (a USB adapter then
// passes answers on at once rather than after its latency timer). Pseudo-terminals have no such
// setting: the other tests show that asking is silent there.
TYPED_TEST(DeviceSerialPortOpen, AsksARealUartForLowLatency) {
    const std::string uart = "/dev/ttyS0";
    int probe = ::open(uart.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    serial_struct before{};
    if (probe < 0 || ::ioctl(probe, TIOCGSERIAL, &before) != 0) {
        if (probe >= 0)
            ::close(probe);
        GTEST_SKIP() << "no UART at " << uart << " that this user may open";
    }
    // Start from the flag cleared, so that only the port can have set it.
    auto cleared = before;
    cleared.flags &= ~ASYNC_LOW_LATENCY;
    if (::ioctl(probe, TIOCSSERIAL, &cleared) != 0) {
        ::close(probe);
        GTEST_SKIP() << "this user may not change the settings of " << uart;
    }
    this->port.setDeviceOverride(uart);
    this->port.setXonXoff();
    this->port.open();
    serial_struct now{};
    ASSERT_EQ(::ioctl(probe, TIOCGSERIAL, &now), 0);
    EXPECT_TRUE(now.flags & ASYNC_LOW_LATENCY);
    this->port.close();
    ::ioctl(probe, TIOCSSERIAL, &before);
    ::close(probe);
}

TYPED_TEST(DeviceSerialPortOpen, AStaleLockFileDoesNotBlock) {
    auto& pty = this->pty;
    auto& port = this->port;
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

TYPED_TEST(DeviceSerialPortIo, EveryByteOfALargeWriteArrives) {
    auto& pty = this->pty;
    auto& port = this->port;
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

TYPED_TEST(DeviceSerialPortIo, OnlyXonResumesOutputStoppedByXoff) {
    auto& pty = this->pty;
    auto& port = this->port;
    this->open();
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

// A write that the board holds back with XOFF: the handler is called between short waits and
// decides whether to go on; the no-progress limit still ends a write that waits for good.
struct Stall {
    const char* name;
    bool goOn;           // the handler's answer
    bool xonAfter100Ms;  // the board lets go
    bool raises;         // the write ends with the port error
    const char* arrives; // what the board gets, also once the port is closed and XON sent
};

const Stall kStalls[] = {{"BoardLetsGo", true, true, false, "held"},
                         {"HandlerGivesUp", false, false, false, ""},
                         {"NoProgressForTheLimit", true, false, true, ""}};

TYPED_TEST(DeviceSerialPortStall, TheHandlerDecidesBetweenShortWaits) {
    for (const auto& p : kStalls) {
        SCOPED_TRACE(p.name);
        Rig<TypeParam> rig;
        auto& pty = rig.pty;
        auto& port = rig.port;
        rig.open();
        port.setWriteStallLimit(Millis(300));
        int calls = 0;
        Millis longest{0};
        port.setWriteStallHandler([&](TypeParam&, Millis step) {
            ++calls;
            longest = std::max(longest, step);
            auto start = Clock::now();
            port.waitWritable(step);
            // A wait that overran its step by far (not just a busy machine's scheduling) is a
            // fault.
            EXPECT_LE(MillisSince(start), step.count() + 200.0);
            return p.goOn;
        });
        pty.send("\x13");
        Sleep(30);
        std::thread board([&] {
            if (p.xonAfter100Ms) {
                Sleep(100);
                pty.send("\x11");
            }
        });
        auto cpu = CpuMillis();
        auto start = Clock::now();
        bool raised = false;
        try {
            port.write("held");
        } catch (const RunError& e) {
            raised = true;
            EXPECT_NE(std::string(e.reason()).find("timed out"), std::string::npos) << e.reason();
        }
        auto ms = MillisSince(start);
        board.join();
        EXPECT_EQ(raised, p.raises);
        EXPECT_GE(calls, 1);
        EXPECT_LE(longest.count(), 50);
        EXPECT_LT(CpuMillis() - cpu, 30);
        if (!p.goOn) {
            EXPECT_LT(ms, 60);
        }
        if (p.raises) {
            EXPECT_GE(ms, 300);
        }
        auto received = pty.receive(p.xonAfter100Ms ? 1000 : 50);
        port.close();
        pty.send("\x11");
        EXPECT_EQ(received + pty.receive(150), p.arrives);
    }
}

// Closing discards what the device has not sent yet and returns at once: of bytes written while
// the other end does not read, only what its receive buffer (4 KiB) took before the close may
// arrive; written while the board holds XOFF, nothing does once it lets go. An emergency close
// (made from a signal handler in a process about to end) discards too, and removes the lock file.
struct Closing {
    const char* name;
    bool xoff;
    bool emergency;
};

TYPED_TEST(DeviceSerialPortClose, DiscardsWhatIsStillQueued) {
    for (const auto& p : {Closing{"OtherEndNotReading", false, false},
                          Closing{"HeldByXoff", true, false}, Closing{"Emergency", false, true}}) {
        // Qt's port closes nothing in a hurry (see its header).
        if (p.emergency && kIsQt<TypeParam>)
            continue;
        SCOPED_TRACE(p.name);
        Rig<TypeParam> rig;
        auto& pty = rig.pty;
        auto& port = rig.port;
        rig.open();
        std::string data;
        for (int i = 0; i < 8000; ++i)
            data.push_back(static_cast<char>('a' + i % 26));
        if (p.xoff) {
            pty.send("\x13");
            Sleep(30);
            port.setWriteStallHandler([](TypeParam&, Millis) { return false; });
        }
        port.write(data);
        Sleep(30); // the kernel moves what it can to the other end meanwhile

        auto lock = "/var/lock/LCK.." + pty.slavePath().substr(5).replace(3, 1, "_");
        EXPECT_TRUE(std::filesystem::exists(lock));
        if (p.emergency) {
            // In a child, which shares the device and the lock file but not this process's port
            // (closed only after the check).
            pid_t child = ::fork();
            if (child == 0) {
                TypeParam::EmergencyCloseAll();
                ::_exit(0);
            }
            ::waitpid(child, nullptr, 0);
        } else {
            auto start = Clock::now();
            port.close();
            EXPECT_LT(MillisSince(start), 50);
        }
        EXPECT_FALSE(std::filesystem::exists(lock));
        if (p.xoff)
            pty.send("\x11");
        auto received = pty.receive(200);
        EXPECT_LE(received.size(), p.xoff ? 0u : 4096u);
        EXPECT_EQ(data.substr(0, received.size()), received);
    }
}

TYPED_TEST(DeviceSerialPortOpen, OnlyAnOpenPortWorksAndItStartsWithAnEmptyQueue) {
    auto& pty = this->pty;
    auto& port = this->port;
    EXPECT_FALSE(port.isOpen());
    for (const auto& [name, operation] : kOperations<TypeParam>)
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

TYPED_TEST(DeviceSerialPortIo, TimesOutOnTimeWithoutSpinningAndWakesOnInput) {
    auto& pty = this->pty;
    auto& port = this->port;
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

TYPED_TEST(DeviceSerialPortIo, InputWakesTheThreadsEventLoop) {
    auto& pty = this->pty;
    auto& port = this->port;
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

TYPED_TEST(DeviceSerialPortVanish, EveryOperationNoticesItAndClosesThePort) {
    for (const auto& [name, operation] : kOperations<TypeParam>) {
        SCOPED_TRACE(name);
        Pty pty;
        TypeParam port;
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

TYPED_TEST(DeviceSerialPortVanish, AnEventLoopClosesThePortWithoutSpinningAndKeepsWhatCame) {
    auto& pty = this->pty;
    auto& port = this->port;
    this->open();
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
