// The port on POSIX systems: a terminal device in raw mode, driven with plain system calls so that
// a line costs the kernel no more than a loader needs (a write, a blocking poll, a read).
#include "serial/DeviceSerialPort.h"

#include "engine/RunError.h"
#include "serial/LineSettingsText.h"
#include "serial/LowLatency.h"
#include "serial/Termios2.h"

#include <QAbstractEventDispatcher>
#include <QLockFile>
#include <QSocketNotifier>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace tavo::serial {

using engine::Millis;
using engine::RunError;
using Clock = std::chrono::steady_clock;

namespace {

// Longest time a write may go without the device taking a single byte (the board holding XOFF
// for good, a wedged driver) before it counts as broken.
constexpr Millis kWriteStallLimit{10'000};
// Step of a stalled write: its handler is called at least this often.
constexpr Millis kWriteStep{25};
// An empty read is trusted this long: asking the device again sooner would only repeat it. A wait
// that blocks on the device (or its event loop) learns of new input anyway.
constexpr auto kTrustEmpty = std::chrono::milliseconds(2);
// Upper bound of reads per pull, so a flood cannot hold a caller forever.
constexpr int kMaxPullReads = 256;

std::string SystemReason(int error) {
    return std::strerror(error);
}

// ---- What a signal handler needs to close the open ports: plain memory and descriptors.

struct EmergencySlot {
    std::atomic<bool> taken{false};
    std::atomic<int> fd{-1};
    char lockPath[256] = {}; // empty: no lock file of ours
};
EmergencySlot gEmergency[64];

int ClaimSlot(int fd, const std::string& lockPath) {
    for (int i = 0; i < static_cast<int>(std::size(gEmergency)); ++i) {
        bool expected = false;
        auto& slot = gEmergency[i];
        if (!slot.taken.compare_exchange_strong(expected, true))
            continue;
        slot.lockPath[0] = '\0';
        if (lockPath.size() < sizeof slot.lockPath)
            std::memcpy(slot.lockPath, lockPath.c_str(), lockPath.size() + 1);
        slot.fd.store(fd, std::memory_order_release);
        return i;
    }
    return -1; // more ports than slots: that one is left to the kernel
}

void ReleaseSlot(int index) {
    if (index < 0)
        return;
    gEmergency[index].fd.store(-1);
    gEmergency[index].taken.store(false);
}

// Discards what the device still holds in either direction (an unsent image must not reach the
// board later, and a close must not wait for the kernel to drain it) and lets other programs in.
void Release(int fd) {
    ::tcflush(fd, TCIOFLUSH);
#ifdef TIOCNXCL
    // A pseudo-terminal keeps the flag after its last close.
    ::ioctl(fd, TIOCNXCL);
#endif
    ::close(fd); // the advisory lock goes with the descriptor
}

// ---- Line settings.

template <class Termios> void MakeRaw(Termios& tio, bool xonXoff) {
    tio.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    // Only XON may resume output that XOFF stopped; any other byte from the board must not.
    if (xonXoff)
        tio.c_iflag |= IXON | IXOFF;
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    // With O_NONBLOCK: an empty device answers a read with EAGAIN, a hung-up one with end of
    // file, which VMIN 0 would not tell apart.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
}

#if !defined(TCGETS2)
speed_t SpeedCode(int rate) {
    switch (rate) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}
#endif

// Raw 8N1 at `rate`, XON/XOFF when asked, no RTS/CTS. False with errno set on failure.
bool Configure(int fd, int rate, bool xonXoff) {
#if defined(TCGETS2)
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0)
        return false;
    MakeRaw(tio, xonXoff);
    tio.c_cflag &= ~(CBAUD | CIBAUD); // input speed: as the output's
    tio.c_cflag |= BOTHER;
    tio.c_ispeed = tio.c_ospeed = static_cast<speed_t>(rate);
    return ::ioctl(fd, TCSETS2, &tio) == 0;
#else
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    MakeRaw(tio, xonXoff);
    speed_t code = SpeedCode(rate);
    if (code == B0) {
        errno = EINVAL;
        return false;
    }
    return ::cfsetspeed(&tio, code) == 0 && ::tcsetattr(fd, TCSANOW, &tio) == 0;
#endif
}

// The lock file where Qt's serial port and the system's serial tools look for one ("LCK..ttyUSB0"
// in the first usable lock folder). Null when no folder takes it (then nothing holds the device
// that way); `held` when another living program has it.
std::unique_ptr<QLockFile> TakeLockFile(const std::string& device, bool& held) {
    std::string name = device.rfind("/dev/", 0) == 0 ? device.substr(5) : device;
    std::replace(name.begin(), name.end(), '/', '_');
    for (const char* folder :
         {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp", "/tmp"}) {
        if (::access(folder, R_OK | W_OK | X_OK) != 0)
            continue;
        auto lock = std::make_unique<QLockFile>(
            QString::fromStdString(std::string(folder) + "/LCK.." + name));
        // Only a holder that is gone lets go; a long download must not look stale.
        lock->setStaleLockTime(0);
        if (lock->tryLock(0))
            return lock;
        held = lock->error() == QLockFile::LockFailedError;
        return nullptr;
    }
    return nullptr;
}

} // namespace

struct DeviceSerialPort::Impl {
    explicit Impl(DeviceSerialPort& p, PortMap m) : port(p), map(std::move(m)) {}

    DeviceSerialPort& port;
    PortMap map;
    std::optional<std::string> deviceOverride;
    int portNumber = 1;
    bool xonXoff = false;
    int baudRate = 9600;
    int liveRate = 0; // a rate set on this opening, in force until it closes; 0: the line's
    WriteStallHandler stallHandler;
    Millis stallLimit = kWriteStallLimit;

    int fd = -1;
    std::unique_ptr<QLockFile> lock;
    int slot = -1;
    // On a thread with an event loop: input is taken as it comes (so it wakes the loop once, not
    // over and over), and a stalled write's handler is woken when the device takes bytes again.
    std::unique_ptr<QSocketNotifier> readNotifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;

    std::string input; // received and not yet taken
    bool drained = false;
    Clock::time_point drainedAt; // when a read (or a wait) last found the device empty
    // Set once the device failed (hung up); its descriptor is closed already and the next
    // operation raises. Bytes that were received before are handed out first.
    bool broken = false;
    std::string brokenReason;

    std::string device() const {
        return deviceOverride ? *deviceOverride : map.deviceFor(portNumber);
    }

    void noteEmpty() {
        drained = true;
        drainedAt = Clock::now();
    }

    // Moves what the device holds into `input`; after an empty read only a wait, or a moment
    // passing, makes it ask again.
    void pull(bool force = false) {
        if (fd < 0 || (!force && drained && Clock::now() - drainedAt < kTrustEmpty))
            return;
        drained = false;
        char buffer[16384];
        for (int i = 0; i < kMaxPullReads; ++i) {
            auto n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                input.append(buffer, static_cast<std::size_t>(n));
                if (static_cast<std::size_t>(n) < sizeof buffer) {
                    noteEmpty(); // a short read emptied the device
                    return;
                }
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                noteEmpty();
                return;
            }
            // End of file: the terminal has hung up (adapter pulled, other end closed).
            fail(n == 0 ? EIO : errno);
            return;
        }
    }

    void fail(int error) {
        broken = true;
        bool hungUp = error == EIO || error == ENXIO || error == ENODEV;
        brokenReason = SystemReason(error) + (hungUp ? " (the device hung up)" : "");
        shut();
    }

    // Closes the device. The notifiers are only disabled, since this may run inside one of them;
    // close() and open() delete them.
    void shut() {
        if (readNotifier)
            readNotifier->setEnabled(false);
        if (writeNotifier)
            writeNotifier->setEnabled(false);
        if (fd >= 0) {
            ReleaseSlot(slot);
            slot = -1;
            Release(fd);
            fd = -1;
        }
        lock.reset(); // removes the lock file
        drained = false;
    }

    void raiseIfUnusable(const char* operation) {
        if (broken) {
            auto reason = brokenReason;
            broken = false;
            brokenReason.clear();
            input.clear();
            throw RunError(
                std::string(operation) + ": the serial device " + device() + " has failed", reason);
        }
        if (fd < 0)
            throw RunError(std::string(operation) + ": the serial port is not open",
                           SystemReason(EBADF));
    }

    void watchInput() {
        if (!QAbstractEventDispatcher::instance())
            return; // no event loop here: the waits read for themselves
        readNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(readNotifier.get(), &QSocketNotifier::activated, [this] { pull(true); });
    }

    // One step of a stalled write; false when its handler gives up.
    bool waitWhileStalled(Millis step) {
        if (!stallHandler) {
            port.waitWritable(step);
            return true;
        }
        if (!writeNotifier && QAbstractEventDispatcher::instance()) {
            writeNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
            QObject::connect(writeNotifier.get(), &QSocketNotifier::activated,
                             [this] { writeNotifier->setEnabled(false); });
        }
        if (writeNotifier)
            writeNotifier->setEnabled(true);
        // The handler may close the port (the window's Exit) or throw.
        struct Disarm {
            Impl& d;
            ~Disarm() {
                if (d.writeNotifier)
                    d.writeNotifier->setEnabled(false);
            }
        } disarm{*this};
        return stallHandler(port, step);
    }
};

DeviceSerialPort::DeviceSerialPort(PortMap map)
    : impl_(std::make_unique<Impl>(*this, std::move(map))) {}

DeviceSerialPort::~DeviceSerialPort() {
    close();
}

void DeviceSerialPort::setDeviceOverride(std::optional<std::string> device) {
    impl_->deviceOverride = std::move(device);
}

std::string DeviceSerialPort::device() const {
    return impl_->device();
}

void DeviceSerialPort::setWriteStallHandler(WriteStallHandler handler) {
    impl_->stallHandler = std::move(handler);
}

void DeviceSerialPort::setWriteStallLimit(Millis limit) {
    impl_->stallLimit = limit;
}

void DeviceSerialPort::waitWritable(Millis timeout) {
    if (impl_->fd < 0)
        return;
    pollfd p{impl_->fd, POLLOUT, 0};
    // A signal ends the wait early (EINTR): its handler wants attention.
    ::poll(&p, 1, static_cast<int>(std::clamp<Millis::rep>(timeout.count(), 0, INT_MAX)));
}

void DeviceSerialPort::EmergencyCloseAll() noexcept {
    for (auto& slot : gEmergency) {
        int fd = slot.fd.exchange(-1, std::memory_order_acq_rel);
        if (fd < 0)
            continue;
        Release(fd);
        if (slot.lockPath[0] != '\0')
            ::unlink(slot.lockPath);
    }
}

bool DeviceSerialPort::isOpen() const {
    return impl_->fd >= 0;
}

void DeviceSerialPort::setXonXoff() {
    auto& d = *impl_;
    d.xonXoff = true;
    if (d.fd >= 0 && !Configure(d.fd, d.liveRate ? d.liveRate : d.baudRate, d.xonXoff)) {
        int error = errno;
        throw RunError("Cannot set XON/XOFF flow control on " + d.device(), SystemReason(error));
    }
}

void DeviceSerialPort::setLineSettings(const std::string& settings) {
    auto& d = *impl_;
    auto rate = ParseLineSettings(settings);
    if (!rate)
        throw RunError("Invalid line settings \"" + settings + "\"", SystemReason(EINVAL));
    d.baudRate = *rate;
    d.liveRate = 0;
    if (d.fd >= 0 && !Configure(d.fd, d.baudRate, d.xonXoff)) {
        int error = errno;
        throw RunError("Cannot set line settings \"" + settings + "\"", SystemReason(error));
    }
}

void DeviceSerialPort::setPortNumber(int number) {
    if (isOpen())
        throw RunError("The port number cannot change while the port is open", SystemReason(EBUSY));
    if (number < 1 || number > 8)
        throw RunError("Invalid port number " + std::to_string(number), SystemReason(EINVAL));
    impl_->portNumber = number;
}

void DeviceSerialPort::open() {
    auto& d = *impl_;
    if (isOpen())
        throw RunError("The port " + d.device() + " is already open", SystemReason(EBUSY));
    close(); // what a failed device left behind
    auto device = d.device();
    auto busy = [&] {
        return RunError("Cannot open " + device + ": another program holds it",
                        SystemReason(EBUSY));
    };

    bool held = false;
    auto lock = TakeLockFile(device, held);
    if (held)
        throw busy();
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        throw RunError("Cannot open " + device, SystemReason(error));
    }
    auto refused = [&](RunError error) {
        ::close(fd);
        return error;
    };
    if (!::isatty(fd))
        throw refused(
            RunError("Cannot open " + device + ": not a serial device", SystemReason(ENOTTY)));
#ifdef TIOCGEXCL
    // Exclusive mode keeps out other programs, but not a privileged one such as us when run as
    // root: ask whether another program has set it.
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive)
        throw refused(busy());
#endif
    // Lock files are taken for stale after a while and exclusive mode does not stop root; an
    // advisory lock on the device holds for as long as the port is open, whoever asks.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        throw refused(
            error == EWOULDBLOCK ? busy() : RunError("Cannot open " + device, SystemReason(error)));
    }
#ifdef TIOCEXCL
    ::ioctl(fd, TIOCEXCL);
#endif
    if (!Configure(fd, d.baudRate, d.xonXoff)) {
        int error = errno;
        Release(fd);
        throw RunError("Cannot set up " + device, SystemReason(error));
    }
    RequestLowLatency(fd);
    // Whatever the device collected before this opening is not part of this conversation.
    ::tcflush(fd, TCIFLUSH);

    d.fd = fd;
    d.lock = std::move(lock);
    d.slot = ClaimSlot(fd, d.lock ? d.lock->fileName().toStdString() : std::string());
    d.watchInput();
}

void DeviceSerialPort::close() {
    auto& d = *impl_;
    d.liveRate = 0;
    d.broken = false;
    d.brokenReason.clear();
    d.input.clear();
    d.readNotifier.reset();
    d.writeNotifier.reset();
    d.shut();
}

void DeviceSerialPort::write(std::string_view data) {
    auto& d = *impl_;
    d.raiseIfUnusable("Write");
    auto lastProgress = Clock::now();
    while (!data.empty()) {
        auto n = ::write(d.fd, data.data(), data.size());
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            lastProgress = Clock::now();
            continue;
        }
        int error = n < 0 ? errno : EAGAIN;
        if (error == EINTR)
            continue;
        if (error != EAGAIN && error != EWOULDBLOCK) {
            d.fail(error);
            d.raiseIfUnusable("Write");
        }
        // The device takes nothing now: wait for it, serving the front end meanwhile.
        auto stalled = std::chrono::duration_cast<Millis>(Clock::now() - lastProgress);
        if (stalled >= d.stallLimit) {
            ::tcflush(d.fd, TCOFLUSH);
            throw RunError("Write: the serial device " + d.device() +
                               " takes no data (flow control stopped it)",
                           SystemReason(ETIMEDOUT));
        }
        if (!d.waitWhileStalled(std::min(kWriteStep, d.stallLimit - stalled)))
            return;
        d.raiseIfUnusable("Write"); // closed or failed while the front end was served
    }
}

void DeviceSerialPort::setBaudRate(long rate) {
    auto& d = *impl_;
    d.raiseIfUnusable("Set bit rate");
    if (rate <= 0 || rate > INT_MAX)
        throw RunError("Invalid bit rate " + std::to_string(rate), SystemReason(EINVAL));
    int bits = static_cast<int>(rate);
    if (!Configure(d.fd, bits, d.xonXoff)) {
        int error = errno;
        throw RunError("Cannot set the bit rate " + std::to_string(rate) + " on " + d.device(),
                       SystemReason(error));
    }
#if defined(TCGETS2)
    // A driver may round a rate it cannot make to one it can: more than 2 % off does not carry.
    termios2 tio{};
    if (::ioctl(d.fd, TCGETS2, &tio) == 0 &&
        std::abs(static_cast<long>(tio.c_ospeed) - rate) * 50 > rate) {
        Configure(d.fd, d.liveRate ? d.liveRate : d.baudRate, d.xonXoff);
        throw RunError("The device " + d.device() + " cannot make " + std::to_string(rate) +
                           " Bd (it made " + std::to_string(tio.c_ospeed) + ")",
                       SystemReason(EINVAL));
    }
#endif
    d.liveRate = bits;
}

void DeviceSerialPort::drainOutput() {
    auto& d = *impl_;
    d.raiseIfUnusable("Drain output");
    while (::tcdrain(d.fd) != 0) {
        if (errno == EINTR)
            continue;
        int error = errno;
        throw RunError("Drain output on " + d.device() + " failed", SystemReason(error));
    }
}

int DeviceSerialPort::countWaiting() {
    auto& d = *impl_;
    d.pull();
    if (d.input.empty())
        d.raiseIfUnusable("Count waiting");
    return static_cast<int>(std::min<std::size_t>(d.input.size(), INT_MAX));
}

std::string DeviceSerialPort::takeWaiting() {
    auto& d = *impl_;
    d.pull();
    if (d.input.empty()) {
        d.raiseIfUnusable("Take waiting");
        return {};
    }
    return std::exchange(d.input, {});
}

std::string DeviceSerialPort::peekWaiting() {
    auto& d = *impl_;
    if (d.fd >= 0)
        d.pull();
    return d.input;
}

bool DeviceSerialPort::waitForInput(Millis timeout) {
    auto& d = *impl_;
    d.pull();
    if (!d.input.empty())
        return true;
    d.raiseIfUnusable("Wait for input");
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
        // Round up, so a wait never ends before its time.
        pollfd p{d.fd, POLLIN, 0};
        int ready =
            ::poll(&p, 1, static_cast<int>(std::clamp<Millis::rep>(left.count() + 1, 0, 1 << 30)));
        if (ready < 0 && errno == EINTR)
            return false; // a signal wants attention
        if (ready < 0) {
            int error = errno;
            throw RunError("Wait for input on " + d.device() + " failed", SystemReason(error));
        }
        if (ready == 0) {
            d.noteEmpty();
            return false;
        }
        d.pull(true);
        if (!d.input.empty())
            return true;
        // Readable yet nothing to read: a device in trouble must not make this spin.
        if (!d.broken && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
            d.fail(EIO);
        d.raiseIfUnusable("Wait for input");
        if (Clock::now() >= deadline)
            return false;
    }
}

} // namespace tavo::serial
