// How close a download into our bootloader on the simulated ATmega328P (tavo-avrsim, running in
// real time) comes to the wire's limit at 115200 baud, beside tavo-bootsim paced at 115200 for the
// same image in the same run. The loader (engine, serial port, headless host) sends the image to
// each; the transfer runs from the first line written to the last line's answer, and the wire
// limit is the time its line bytes and one answer byte per line take at 10 bits each; the median
// time per line beside it is less swayed by a busy machine. The chip runs once with the
// datasheet's Flash page write time and once with instant writes, to show what the page writes
// cost. It prints figures and does not judge them.
#include "bench/BenchSupport.h"
#include "bench/HeadlessDownload.h"
#include "tools/bootsim/BootsimProcess.h"
#include "tools/bootsim/IntelHex.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace tavo;

constexpr int kBaud = 115200;

// `lines` 16-byte data records, then the end-of-file record. They start at the ATmega328P's second
// Flash page: with its first page empty the chip holds no application to start after the
// download, as this data is no program.
std::string MakeImage(int lines) {
    std::string text;
    std::vector<std::uint8_t> data(16);
    for (int n = 0; n < lines; ++n) {
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<std::uint8_t>(n * 13 + i * 7);
        text += bootsim::EncodeRecord(0, static_cast<std::uint16_t>(128 + n * 16), data) + "\r\n";
    }
    return text + bootsim::EncodeRecord(1, 0, {}) + "\r\n";
}

struct Result {
    double seconds = 0;
    double wireSeconds = 0;
    double medianLine = 0; // seconds from one line written to the next
    int writes = 0;
};

Result Download(const std::string& device, const std::string& image) {
    auto timing = bench::DownloadTimed(device, image);
    Result r;
    r.seconds = std::chrono::duration<double>(timing.ended - timing.wall.front()).count();
    std::vector<double> lines;
    for (std::size_t i = 1; i < timing.wall.size(); ++i)
        lines.push_back(std::chrono::duration<double>(timing.wall[i] - timing.wall[i - 1]).count());
    r.medianLine = bench::Median(lines);
    r.writes = static_cast<int>(timing.wall.size());
    r.wireSeconds = static_cast<double>(timing.bytes + r.writes) * 10.0 / kBaud;
    return r;
}

void Print(const char* what, const Result& r, int lines) {
    std::printf("  %s\n    %6.3f s, wire limit %6.3f s: %5.1f%%; median line %5.2f ms: %5.1f%%; %d "
                "writes for %d lines\n",
                what, r.seconds, r.wireSeconds, 100 * r.wireSeconds / r.seconds,
                r.medianLine * 1000, 100 * r.wireSeconds / lines / r.medianLine, r.writes, lines);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    const int lines = quick ? 300 : 1500;
    bench::ScratchDir dir("tavo-avr-bench");
    auto image = dir.write("image.hex", MakeImage(lines));
    const std::string bootloader =
        std::string(TAVO_FIRMWARE_DIR) + "/bootloader-atmega328p-" + std::to_string(kBaud) + ".hex";

    try {
        std::printf("tavo-bench-avr: %d lines of 16 bytes at %d baud, %s\n", lines + 1, kBaud,
                    bench::MachineLoad().c_str());
        auto run = [&](const char* exe, std::vector<std::string> args) {
            bootsim::BootsimProcess board(exe, args);
            return Download(board.devicePath(), image);
        };
        Print("tavo-bootsim --pace 115200",
              run(TAVO_BOOTSIM_EXE, {"--pace", std::to_string(kBaud)}), lines + 1);
        Print("ATmega328P, page erase and write 4.5 ms each",
              run(TAVO_AVRSIM_EXE, {"--bootloader", bootloader}), lines + 1);
        Print("ATmega328P, instant page writes",
              run(TAVO_AVRSIM_EXE, {"--bootloader", bootloader, "--page-us", "0"}), lines + 1);
        std::printf("  (the chip's UART runs at 117647 baud, 16 MHz / 8 / 17: its byte time is "
                    "2.1%% shorter than the wire's)\n");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavo-bench-avr: %s\n", error.what());
        return 1;
    }
    return 0;
}
