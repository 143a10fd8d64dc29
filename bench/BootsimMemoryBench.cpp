// What the simulated board's memory dump costs: sends one image straight to tavo-bootsim over its
// pseudo-terminal (no loader, so an image may exceed the loader's 32,767 lines), lets the board
// write its Flash dump and exit, and prints the board's peak memory and the dump's size.
//   tavo-bench-bootsim-memory big|high [COMMAND...]
// big: a 16 MB Intel HEX file (16-byte records, about 6 MB of data); high: three lines with 16
// bytes at 0xFFFFFFF0. COMMAND runs instead of the built tavo-bootsim, with the board's options
// appended (e.g. /usr/bin/time -v path/to/tavo-bootsim).
#include "bench/BenchSupport.h"
#include "tools/bootsim/BootsimProcess.h"
#include "tools/bootsim/IntelHex.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace tavo;

std::vector<std::string> BigImage() {
    constexpr std::size_t kTextBytes = 16'000'000;
    std::vector<std::string> lines;
    std::size_t size = 0;
    std::vector<std::uint8_t> data(16);
    for (std::uint32_t address = 0; size < kTextBytes; address += 16) {
        if (address % 0x10000 == 0) {
            auto upper = static_cast<std::uint16_t>(address >> 16);
            lines.push_back(bootsim::EncodeRecord(
                4, 0,
                {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper & 0xFF)}));
        }
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<std::uint8_t>(address / 16 + i);
        lines.push_back(bootsim::EncodeRecord(0, static_cast<std::uint16_t>(address), data));
        size += lines.back().size() + 2;
    }
    lines.push_back(bootsim::EncodeRecord(1, 0, {}));
    return lines;
}

std::vector<std::string> HighImage() {
    return {bootsim::EncodeRecord(4, 0, {0xFF, 0xFF}),
            bootsim::EncodeRecord(0, 0xFFF0, std::vector<std::uint8_t>(16, 0xA5)),
            bootsim::EncodeRecord(1, 0, {})};
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || (args[0] != "big" && args[0] != "high")) {
        std::fprintf(stderr, "usage: tavo-bench-bootsim-memory big|high [COMMAND...]\n");
        return 2;
    }
    std::vector<std::string> command(args.begin() + 1, args.end());
    if (command.empty())
        command.push_back(TAVO_BOOTSIM_EXE);

    bench::ScratchDir dir("tavo-bench-dump");
    auto dump = dir.path() / "flash";
    command.insert(command.end(), {"--exit-after-eof", "--flash-out", dump.string()});
    try {
        auto started = std::chrono::steady_clock::now();
        bootsim::BootsimProcess board(command[0], {command.begin() + 1, command.end()});
        // Made once the board runs: a child's peak memory counts its parent's pages until exec.
        auto lines = args[0] == "big" ? BigImage() : HighImage();
        {
            bench::RawDevice device(board.devicePath(), false);
            if (!device.isOpen())
                throw std::runtime_error("cannot open " + board.devicePath());
            device.send("$");
            device.expect("^");
            device.send("@&$");
            device.expect("?V1.3");
            for (std::size_t i = 0; i < lines.size(); ++i) {
                device.send(lines[i]);
                device.expect(i + 1 < lines.size() ? "~" : "@");
            }
        }
        int status = board.waitForExit(600'000);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        rusage usage{};
        ::getrusage(RUSAGE_CHILDREN, &usage);
        std::error_code ec;
        auto dumpSize = std::filesystem::file_size(dump, ec);
        std::printf("%s: %zu lines; board exit %d after %.1f s, peak memory %ld KiB, dump %s "
                    "bytes\n",
                    args[0].c_str(), lines.size(), status, seconds, usage.ru_maxrss,
                    ec ? "(none)" : std::to_string(dumpSize).c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavo-bench-bootsim-memory: %s\n", error.what());
        return 1;
    }
    return 0;
}
