// How fast and how cheaply the loader moves an image over a pseudo-terminal to tavo-bootsim:
//   (a) a 32,767-line file to a board that answers at once: lines per second (the end-of-file
//       wait left out) and the loader's own cost per line, two ways: its CPU time per line (the
//       engine, the port and the host run on one thread, so that thread's CPU time between two
//       line writes is the loader's), and its median round trip minus that of a bare
//       write/poll/read loop against the same board (the board's and the kernel's share);
//   (b) a board that takes 20 ms per answer: the loader's CPU use while it waits;
//   (c) a board paced at 115200 baud: throughput against the wire's limit.
// It prints figures and does not judge them; the targets are printed beside them.
#include "bench/BenchSupport.h"
#include "bench/HeadlessDownload.h"
#include "tools/bootsim/BootsimProcess.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace tavo;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

struct Transfer {
    int lines = 0;
    std::size_t lineBytes = 0;
    double seconds = 0;    // first line written to the last line's answer
    double cpuSeconds = 0; // the loader's, over the same stretch
    std::vector<double> roundTripUs;
    std::vector<double> cpuPerLineUs;
    std::vector<double> turnaroundUs;
};

// The same lines through the least a loader can do: write a line to the raw device, block until
// the answer is readable, read it. Its round trip is the board's and the kernel's share of a line;
// what the loader takes beyond it is its own overhead.
std::vector<double> RawRoundTrips(const std::string& bootsimExe, const std::string& image) {
    bootsim::BootsimProcess board(bootsimExe, {});
    bench::RawDevice raw(board.devicePath());
    if (!raw.isOpen())
        throw std::runtime_error("cannot open " + board.devicePath());
    raw.enterBootloader();
    std::vector<double> roundTrips;
    for (const auto& line : bench::ImageLines(image)) {
        auto start = Clock::now();
        if (!raw.exchange(line))
            throw std::runtime_error("no answer on the raw device");
        roundTrips.push_back(Seconds(Clock::now() - start) * 1e6);
    }
    return roundTrips;
}

Transfer Run(const std::string& bootsimExe, const std::string& image, int lines,
             std::vector<std::string> boardArgs) {
    bootsim::BootsimProcess board(bootsimExe, boardArgs);
    auto timing = bench::DownloadTimed(board.devicePath(), image);
    if (static_cast<int>(timing.wall.size()) != lines)
        throw std::runtime_error("expected " + std::to_string(lines) + " line writes, saw " +
                                 std::to_string(timing.wall.size()));

    Transfer t;
    t.lines = lines;
    t.lineBytes = timing.bytes;
    t.seconds = Seconds(timing.ended - timing.wall.front());
    // The engine, the port and the host all run on this thread: its CPU time is the loader's.
    t.cpuSeconds = timing.endedCpu - timing.cpu.front();
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

    bench::ScratchDir dir("tavo-bench");

    try {
        std::printf("tavo-bench-transfer: the loader (engine, serial port, headless host) against "
                    "tavo-bootsim over a pseudo-terminal\n");
        // Both ends share the machine's cores with whatever else runs: say how busy it was.
        std::printf("%s\n\n", bench::MachineLoad().c_str());

        // (a)
        const int bigLines = quick ? 4000 : 32767;
        auto big = dir.write("big.hex", bench::ImageOfLines(bigLines));
        auto a = Run(bootsimExe, big, bigLines, {});
        std::printf("(a) %d lines, board answers at once\n", a.lines);
        std::printf("    transfer %.2f s (end-of-file wait excluded): %.0f lines/s  "
                    "[target >= 20000]\n",
                    a.seconds, a.lines / a.seconds);
        std::printf("    per line, median: round trip %.1f us, loader CPU %.1f us  "
                    "[target <= 50 us]\n",
                    bench::Median(a.roundTripUs), bench::Median(a.cpuPerLineUs));
        std::printf("    per line, 90th percentile: round trip %.1f us, loader CPU %.1f us\n",
                    bench::Percentile(a.roundTripUs, 0.9), bench::Percentile(a.cpuPerLineUs, 0.9));
        std::printf("    loader turnaround (answer taken to next line written), median %.1f us\n",
                    bench::Median(a.turnaroundUs));
        std::printf("    loader CPU over the transfer: %.2f s of %.2f s wall (%.0f%%)\n",
                    a.cpuSeconds, a.seconds, 100 * a.cpuSeconds / a.seconds);
        auto raw = RawRoundTrips(bootsimExe, big);
        double rawSeconds = 0;
        for (double us : raw)
            rawSeconds += us / 1e6;
        std::printf("    same lines through a bare write/poll/read loop: %.0f lines/s, round trip "
                    "median %.1f us\n",
                    raw.size() / rawSeconds, bench::Median(raw));
        std::printf("    the loader's overhead per line (median round trip minus the bare loop's): "
                    "%.1f us\n\n",
                    bench::Median(a.roundTripUs) - bench::Median(raw));

        // (b)
        const int slowLines = quick ? 60 : 250;
        auto slow = dir.write("slow.hex", bench::ImageOfLines(slowLines));
        auto b = Run(bootsimExe, slow, slowLines, {"--delay", "20"});
        std::printf("(b) %d lines, board answers after 20 ms\n", b.lines);
        std::printf("    transfer %.2f s, %.1f ms per line (median round trip)\n", b.seconds,
                    bench::Median(b.roundTripUs) / 1000);
        std::printf(
            "    loader CPU %.1f ms over %.2f s wall: %.2f%% of a core  [target <= 2%%]\n\n",
            b.cpuSeconds * 1000, b.seconds, 100 * b.cpuSeconds / b.seconds);

        // (c)
        const int pacedLines = quick ? 200 : 1000;
        auto paced = dir.write("paced.hex", bench::ImageOfLines(pacedLines));
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
        double turnaround = bench::Median(c.turnaroundUs) / 1e6;
        double perLine = c.seconds / c.lines;
        std::printf("    loader turnaround per line (median) %.1f us of %.2f ms per line: the "
                    "loader alone would allow %.1f%% of the wire limit\n",
                    turnaround * 1e6, perLine * 1e3,
                    100 * (wireLimit / c.lines) / (wireLimit / c.lines + turnaround));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavo-bench-transfer: %s\n", error.what());
        return 1;
    }
    return 0;
}
