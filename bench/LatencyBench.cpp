// Lines per second of tavo-flash's download (its headless host on the serial port) against a
// board behind a USB adapter whose latency timer holds the answers: tavo-bootsim --latency-ms N
// for N = 0, 1, 2, 4, 8, 16 ms. Each line waits for its one-character answer, so the timer is
// paid once a line: the reason the port asks the driver for low latency on open. The board is
// paced at 115200 baud (--at-once: it answers at once); the handshake and the end-of-file wait are
// left out of the figures. It prints figures and does not judge them.
#include "bench/BenchSupport.h"
#include "bench/HeadlessDownload.h"
#include "tools/bootsim/BootsimProcess.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace tavo;
    QCoreApplication app(argc, argv);
    int lines = 300;
    bool paced = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--lines" && i + 1 < argc) {
            lines = std::max(2, std::atoi(argv[++i]));
        } else if (arg == "--at-once") {
            paced = false;
        } else {
            std::fprintf(stderr, "usage: tavo-bench-latency [--lines N] [--at-once]\n");
            return 2;
        }
    }

    bench::ScratchDir dir("tavo-bench-latency");
    auto image = dir.write("image.hex", bench::ImageOfLines(lines));
    try {
        std::printf("tavo-bench-latency: %d lines to tavo-bootsim %s, by the adapter's latency "
                    "timer\n%s\n\n",
                    lines, paced ? "paced at 115200 baud" : "answering at once",
                    bench::MachineLoad().c_str());
        std::printf("latency ms   lines/s   ms per line (median)   bound lines/s\n");
        for (int latency : {0, 1, 2, 4, 8, 16}) {
            std::vector<std::string> args{"--latency-ms", std::to_string(latency)};
            if (paced)
                args.insert(args.end(), {"--pace", "115200"});
            bootsim::BootsimProcess board(TAVO_BOOTSIM_EXE, args);
            auto timing = bench::DownloadTimed(board.devicePath(), image);
            double seconds =
                std::chrono::duration<double>(timing.ended - timing.wall.front()).count();
            std::vector<double> perLine;
            for (std::size_t i = 1; i < timing.wall.size(); ++i)
                perLine.push_back(
                    std::chrono::duration<double, std::milli>(timing.wall[i] - timing.wall[i - 1])
                        .count());
            // Stop and wait: a line's characters out, its answer back (10 bits each at 115200),
            // then the timer.
            double wire = paced ? (timing.bytes + timing.wall.size()) * 10.0 / 115200 /
                                      static_cast<double>(timing.wall.size())
                                : 0;
            double bound = wire + latency / 1000.0;
            std::printf("%10d   %7.0f   %20.2f   %13s\n", latency, timing.wall.size() / seconds,
                        bench::Median(perLine),
                        bound > 0 ? std::to_string(static_cast<int>(1 / bound)).c_str() : "-");
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavo-bench-latency: %s\n", error.what());
        return 1;
    }
    return 0;
}
