// How fast and how cheaply the loader moves an image over a pseudo-terminal to tavo-bootsim:
//   (a) a 32,767-line file to a board that answers at once: lines per second (the end-of-file
//       wait left out) and the loader's own cost per line, two ways: its CPU time per line (the
//       engine, the port and the host run on one thread, so that thread's CPU time between two
//       line writes is the loader's), and its median round trip minus that of a bare
//       write/poll/read loop against the same board (the board's and the kernel's share);
//   (b) a board that takes 20 ms per answer: the loader's CPU use while it waits;
//   (c) a board paced at 115200 baud: throughput against the wire's limit.
// It prints figures and does not judge them; the targets are printed beside them.
#include "cli/HeadlessHost.h"
#include "cli/RunDisplay.h"
#include "engine/DownloadRun.h"
#include "engine/ForwardingPort.h"
#include "serial/DeviceSerialPort.h"
#include "tools/bootsim/BootsimProcess.h"
#include "tools/bootsim/IntelHex.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace tavo;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double CpuSeconds(clockid_t which) {
    timespec t{};
    ::clock_gettime(which, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// An Intel HEX image of exactly `lines` lines: 16-byte data records, an extended linear address
// record at each 64 KiB boundary, and the end-of-file record.
std::string MakeImage(int lines) {
    std::string text;
    std::uint32_t address = 0;
    int written = 0;
    std::vector<std::uint8_t> data(16);
    while (written < lines - 1) {
        if (address % 0x10000 == 0 && address != 0) {
            auto upper = static_cast<std::uint16_t>(address >> 16);
            text += bootsim::EncodeRecord(4, 0,
                                          {static_cast<std::uint8_t>(upper >> 8),
                                           static_cast<std::uint8_t>(upper & 0xFF)}) +
                    "\r\n";
            ++written;
            if (written == lines - 1)
                break;
        }
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<std::uint8_t>(address + i * 7);
        text +=
            bootsim::EncodeRecord(0, static_cast<std::uint16_t>(address & 0xFFFF), data) + "\r\n";
        address += 16;
        ++written;
    }
    return text + bootsim::EncodeRecord(1, 0, {}) + "\r\n";
}

// Notes the time and this thread's CPU time at every image line written.
class TimingPort final : public engine::ForwardingPort {
public:
    using ForwardingPort::ForwardingPort;

    void write(std::string_view data) override {
        if (!data.empty() && data.front() == ':') {
            auto now = Clock::now();
            if (lastAnswer)
                turnaroundUs.push_back(Seconds(now - *lastAnswer) * 1e6);
            lastAnswer.reset();
            wall.push_back(now);
            cpu.push_back(CpuSeconds(CLOCK_THREAD_CPUTIME_ID));
            bytes += data.size();
        }
        inner().write(data);
    }
    std::string takeWaiting() override {
        auto bytes = inner().takeWaiting();
        if (!bytes.empty())
            lastAnswer = Clock::now();
        return bytes;
    }
    std::vector<Clock::time_point> wall;
    std::vector<double> cpu;
    std::size_t bytes = 0;
    // From taking a line's answer to writing the next line: the loader's own turnaround.
    std::vector<double> turnaroundUs;
    std::optional<Clock::time_point> lastAnswer;
};

// Keeps the moments the transfer of the (only) file started and ended, and the final message.
class BenchDisplay final : public flash::NullDisplay {
public:
    void sendingEnded() override {
        ended = Clock::now();
        endedCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    }
    void message(const engine::Message& m) override { text = m.text; }

    Clock::time_point ended;
    double endedCpu = 0;
    std::string text;
};

struct Transfer {
    int lines = 0;
    std::size_t lineBytes = 0;
    double seconds = 0;    // first line written to the last line's answer
    double cpuSeconds = 0; // the loader's, over the same stretch
    std::vector<double> roundTripUs;
    std::vector<double> cpuPerLineUs;
    std::vector<double> turnaroundUs;
};

double Median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

// The same lines through the least a loader can do: write a line to the raw device, block until
// the answer is readable, read it. Its round trip is the board's and the kernel's share of a line;
// what the loader takes beyond it is its own overhead.
std::vector<double> RawRoundTrips(const std::string& bootsimExe, const std::string& image) {
    bootsim::BootsimProcess board(bootsimExe, {});
    int fd = ::open(board.devicePath().c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        throw std::runtime_error("cannot open " + board.devicePath());
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B115200);
    ::tcsetattr(fd, TCSANOW, &tio);

    char answer[256];
    auto exchange = [&](const std::string& text) {
        if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            throw std::runtime_error("raw write failed");
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 3000) != 1 || ::read(fd, answer, sizeof answer) <= 0)
            throw std::runtime_error("no answer on the raw device");
    };
    // Into the bootloader: the jump makes the application answer, the start sequence the
    // bootloader.
    exchange("$@&$");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::tcflush(fd, TCIFLUSH);

    std::vector<double> roundTrips;
    std::ifstream in(image, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        auto start = Clock::now();
        exchange(line);
        roundTrips.push_back(Seconds(Clock::now() - start) * 1e6);
    }
    ::close(fd);
    return roundTrips;
}

Transfer Run(const std::string& bootsimExe, const std::string& image, int lines,
             std::vector<std::string> boardArgs) {
    bootsim::BootsimProcess board(bootsimExe, boardArgs);

    serial::DeviceSerialPort device;
    device.setDeviceOverride(board.devicePath());
    TimingPort timing(device);
    settings::Settings s;
    s.applicationFile = image;
    s.baudIndex = 9;
    engine::RunState state;
    engine::SteadyClock clock;
    BenchDisplay display;
    flash::HeadlessHost host(state, timing, clock, display, s, flash::OnError::Stop);

    auto result = engine::DownloadFirmware(state, host, host.port(), clock);
    if (result.end != engine::RunEnd::Success)
        throw std::runtime_error("the download did not succeed: " + display.text + " " +
                                 result.reason);
    if (static_cast<int>(timing.wall.size()) != lines)
        throw std::runtime_error("expected " + std::to_string(lines) + " line writes, saw " +
                                 std::to_string(timing.wall.size()));

    Transfer t;
    t.lines = lines;
    t.lineBytes = timing.bytes;
    t.seconds = Seconds(display.ended - timing.wall.front());
    // The engine, the port and the host all run on this thread: its CPU time is the loader's.
    t.cpuSeconds = display.endedCpu - timing.cpu.front();
    t.turnaroundUs = timing.turnaroundUs;
    for (std::size_t i = 1; i < timing.wall.size(); ++i) {
        t.roundTripUs.push_back(Seconds(timing.wall[i] - timing.wall[i - 1]) * 1e6);
        t.cpuPerLineUs.push_back((timing.cpu[i] - timing.cpu[i - 1]) * 1e6);
    }
    return t;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::string bootsimExe = TAVO_BOOTSIM_EXE;
    bool quick = argc > 1 && std::string(argv[1]) == "--quick";

    auto dir =
        std::filesystem::temp_directory_path() / ("tavo-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto write = [&](const std::string& name, const std::string& text) {
        auto path = (dir / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    };

    try {
        std::printf("tavo-bench-transfer: the loader (engine, serial port, headless host) against "
                    "tavo-bootsim over a pseudo-terminal\n");
        // Both ends share the machine's cores with whatever else runs: say how busy it was.
        double load[3] = {0, 0, 0};
        ::getloadavg(load, 3);
        std::printf("%ld processors online, load average %.2f %.2f %.2f\n\n",
                    ::sysconf(_SC_NPROCESSORS_ONLN), load[0], load[1], load[2]);

        // (a)
        const int bigLines = quick ? 4000 : 32767;
        auto big = write("big.hex", MakeImage(bigLines));
        auto a = Run(bootsimExe, big, bigLines, {});
        std::printf("(a) %d lines, board answers at once\n", a.lines);
        std::printf("    transfer %.2f s (end-of-file wait excluded): %.0f lines/s  "
                    "[target >= 20000]\n",
                    a.seconds, a.lines / a.seconds);
        std::printf("    per line, median: round trip %.1f us, loader CPU %.1f us  "
                    "[target <= 50 us]\n",
                    Median(a.roundTripUs), Median(a.cpuPerLineUs));
        std::printf("    per line, 90th percentile: round trip %.1f us, loader CPU %.1f us\n",
                    Percentile(a.roundTripUs, 0.9), Percentile(a.cpuPerLineUs, 0.9));
        std::printf("    loader turnaround (answer taken to next line written), median %.1f us\n",
                    Median(a.turnaroundUs));
        std::printf("    loader CPU over the transfer: %.2f s of %.2f s wall (%.0f%%)\n",
                    a.cpuSeconds, a.seconds, 100 * a.cpuSeconds / a.seconds);
        auto raw = RawRoundTrips(bootsimExe, big);
        double rawSeconds = 0;
        for (double us : raw)
            rawSeconds += us / 1e6;
        std::printf("    same lines through a bare write/poll/read loop: %.0f lines/s, round trip "
                    "median %.1f us\n",
                    raw.size() / rawSeconds, Median(raw));
        std::printf("    the loader's overhead per line (median round trip minus the bare loop's): "
                    "%.1f us\n\n",
                    Median(a.roundTripUs) - Median(raw));

        // (b)
        const int slowLines = quick ? 60 : 250;
        auto slow = write("slow.hex", MakeImage(slowLines));
        auto b = Run(bootsimExe, slow, slowLines, {"--delay", "20"});
        std::printf("(b) %d lines, board answers after 20 ms\n", b.lines);
        std::printf("    transfer %.2f s, %.1f ms per line (median round trip)\n", b.seconds,
                    Median(b.roundTripUs) / 1000);
        std::printf(
            "    loader CPU %.1f ms over %.2f s wall: %.2f%% of a core  [target <= 2%%]\n\n",
            b.cpuSeconds * 1000, b.seconds, 100 * b.cpuSeconds / b.seconds);

        // (c)
        const int pacedLines = quick ? 200 : 1000;
        auto paced = write("paced.hex", MakeImage(pacedLines));
        auto c = Run(bootsimExe, paced, pacedLines, {"--pace", "115200"});
        // Stop-and-wait: each line costs its own characters out and the one answer character
        // back, 10 bits each (8N1) at 115200 bit/s.
        double charSeconds = 10.0 / 115200;
        double wireLimit = (c.lineBytes + c.lines) * charSeconds;
        std::printf("(c) %d lines (%zu bytes) at 115200 baud (paced by the board)\n", c.lines,
                    c.lineBytes);
        std::printf(
            "    transfer %.3f s; wire limit %.3f s (line bytes + one answer byte per line, "
            "10 bits each)\n",
            c.seconds, wireLimit);
        std::printf("    throughput %.1f%% of the wire limit  [target >= 98%%]\n",
                    100 * wireLimit / c.seconds);
        std::printf("    line bytes alone: %.0f bytes/s of 11520 (%.1f%%)\n",
                    c.lineBytes / c.seconds, 100 * c.lineBytes / c.seconds / 11520);
        // What the loader itself adds to each line: from taking the answer to writing the next
        // line. The rest of a line's time is the wire (and the simulator's pacing).
        double turnaround = Median(c.turnaroundUs) / 1e6;
        double perLine = c.seconds / c.lines;
        std::printf("    loader turnaround per line (median) %.1f us of %.2f ms per line: the "
                    "loader alone would allow %.1f%% of the wire limit\n",
                    turnaround * 1e6, perLine * 1e3,
                    100 * (wireLimit / c.lines) / (wireLimit / c.lines + turnaround));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavo-bench-transfer: %s\n", error.what());
        std::filesystem::remove_all(dir);
        return 1;
    }
    std::filesystem::remove_all(dir);
    return 0;
}
