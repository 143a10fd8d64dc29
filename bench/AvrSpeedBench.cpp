// 28 KiB (the whole application section under a 4 KiB boot section) into the simulated
// ATmega328P (tavo-avrsim, real time, the datasheet's page times) from the running demo
// application, end to end, beside the wire's limit:
//   - tavo-flash with the plain protocol at 115200, and with the extension at 115200 and at the
//     fastest offered rate (into the demo's chip, and again over a chip that holds the image);
//   - a raw loader of a few lines that speaks the extension (records of a page, a rate switch,
//     the check), for the chip's side on its own.
// The image is build 2 of the demo followed by a table up to the boot section, so the new build
// starts and greets after the download. The simulator's CPU use beside each run tells whether it
// kept up with the wall clock. It prints figures and does not judge them.
#include "bench/BenchSupport.h"
#include "tests/avr/RawLoader.h"
#include "tools/bootsim/BootsimProcess.h"
#include "tools/bootsim/IntelHex.h"

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace tavo;
using Clock = std::chrono::steady_clock;

constexpr unsigned long kBaud = 115200;
constexpr std::uint32_t kBootStart = 0x7000;
constexpr std::uint32_t kPage = 128;

std::string Firmware(const std::string& name) {
    return std::string(TAVO_FIRMWARE_DIR) + "/" + name;
}

std::string Greeting(int build) {
    return "Hello from the application, build " + std::to_string(build) + "\r\n";
}

// The demo's bytes, then a table to the boot section.
bootsim::MemoryImage MakeImage() {
    std::ifstream in(Firmware("demo-atmega328p-115200-build2.hex"));
    std::stringstream text;
    text << in.rdbuf();
    auto image = bootsim::DecodeHexText(text.str()).image;
    std::uint32_t end = 0;
    for (const auto& [start, bytes] : image.segments())
        end = std::max<std::uint32_t>(end, start + static_cast<std::uint32_t>(bytes.size()));
    std::vector<std::uint8_t> table(kBootStart - end);
    for (std::size_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<std::uint8_t>(i * 31 + (i >> 7));
    image.write(end, table);
    return image;
}

// The image as the loader sends it: 16-byte records, one line each.
std::string PlainText(const bootsim::MemoryImage& image) {
    std::string text = bootsim::EncodeImage(image), out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        out += line + "\r\n";
    return out;
}

// The chip, with build 1 of the demo running (it has greeted).
struct Board {
    std::unique_ptr<bootsim::BootsimProcess> sim;
    explicit Board(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args{"--bootloader", Firmware("bootloader-atmega328p-115200.hex"),
                                      "--app", Firmware("demo-atmega328p-115200-build1.hex")};
        args.insert(args.end(), extra.begin(), extra.end());
        sim = std::make_unique<bootsim::BootsimProcess>(TAVO_AVRSIM_EXE, args);
        avr_test::RawLoader port(sim->devicePath(), kBaud);
        for (int i = 0; i < 5; ++i)
            if (port.exchange("\r", Greeting(1), 0, std::chrono::seconds(1)).find(Greeting(1)) !=
                std::string::npos)
                return;
        throw std::runtime_error("the demo application does not greet");
    }
    // The simulator's CPU seconds so far.
    double cpu() const {
        std::ifstream stat("/proc/" + std::to_string(sim->pid()) + "/stat");
        std::string field;
        for (int i = 0; i < 13 && stat >> field; ++i) {
        }
        unsigned long utime = 0, stime = 0;
        stat >> utime >> stime;
        return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
};

struct Figure {
    double seconds = -1;
    double simCpu = 0;
    bool ok = false;
};

void Print(const char* what, const Figure& f, double wire) {
    if (!f.ok) {
        std::printf("  %-46s failed\n", what);
        return;
    }
    std::printf("  %-46s %6.2f s  wire limit %5.2f s  simulator CPU %3.0f%%\n", what, f.seconds,
                wire, 100 * f.simCpu / f.seconds);
}

int Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int status = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0)
        ::waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    return status;
}

// tavo-flash from its start to its exit, with `extra` options; over a chip that already holds
// the image (every page to erase) when `again`.
Figure FlashRun(const std::string& image, const std::vector<std::string>& extra,
                bool again = false) {
    // A byte sent at a rate the chip's UART is not at is lost, as on a wire.
    Board board({"--strict-rate"});
    std::vector<std::string> args{TAVO_FLASH_EXE,
                                  "--port",
                                  board.sim->devicePath(),
                                  "--baud",
                                  std::to_string(kBaud),
                                  "--flash",
                                  image,
                                  "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    if (again && Spawn(args) != 0)
        return {};
    double cpu = board.cpu();
    auto start = Clock::now();
    int status = Spawn(args);
    Figure f;
    f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    f.simCpu = board.cpu() - cpu;
    f.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return f;
}

// The extension by hand: handshake with the running application, the rate, records of a page,
// one check, the end record and the new build's greeting.
Figure RawRun(const bootsim::MemoryImage& image, unsigned long rate, double& checkSeconds,
              const std::vector<std::string>& chip = {}) {
    Board board(chip);
    avr_test::RawLoader port(board.sim->devicePath(), kBaud);
    double cpu = board.cpu();
    auto start = Clock::now();
    Figure f;
    if (port.handshake().find('?') == std::string::npos)
        return f;
    if (rate != kBaud) {
        if (port.setRateCommand(static_cast<std::uint32_t>(rate)) != "~")
            return f;
        port.setRate(rate);
        if (port.confirm() != "~")
            return f;
    }
    std::vector<std::uint8_t> all;
    for (const auto& [start, bytes] : image.segments()) {
        for (std::size_t at = 0; at < bytes.size();) {
            auto address = start + static_cast<std::uint32_t>(at);
            auto n = std::min<std::size_t>(kPage - address % kPage, bytes.size() - at);
            std::vector<std::uint8_t> chunk(bytes.begin() + at, bytes.begin() + at + n);
            if (port.data(address, chunk) != "~")
                return f;
            at += n;
        }
        all.insert(all.end(), bytes.begin(), bytes.end());
    }
    auto check = Clock::now();
    auto crc = avr_test::Crc32(all);
    if (port.check(0, image.segments().begin()->first, static_cast<std::uint32_t>(all.size()),
                   crc)[0] != '~')
        return f;
    checkSeconds = std::chrono::duration<double>(Clock::now() - check).count();
    auto end = port.exchange(avr_test::Record(1, 0, {}), Greeting(2), 0, std::chrono::seconds(5));
    f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    f.simCpu = board.cpu() - cpu;
    f.ok = end == "@" + Greeting(2);
    return f;
}

} // namespace

int main() {
    try {
        auto image = MakeImage();
        std::size_t bytes = 0;
        for (const auto& [start, data] : image.segments())
            bytes += data.size();
        bench::ScratchDir dir("tavo-bench-avr-speed");
        auto plain = PlainText(image);
        auto path = dir.write("image.hex", plain);
        std::size_t lines = 0;
        for (char c : plain)
            lines += c == '\n';
        // Ten bits a byte: the lines without their line ends and one answer each; for the
        // extension, records of a page (":" + 10 hex digits + the data in hex) and one answer.
        double plainWire = static_cast<double>(plain.size() - 2 * lines + lines) * 10;
        std::size_t pages = (bytes + kPage - 1) / kPage;
        double extWire = static_cast<double>(pages * (11 + 2 * kPage) + pages) * 10;

        std::printf("tavo-bench-avr-speed: %zu bytes into the ATmega328P from the running demo, "
                    "%s\n",
                    bytes, bench::MachineLoad().c_str());
        Print("tavo-flash, plain protocol, 115200 (--plain)", FlashRun(path, {"--plain"}),
              plainWire / kBaud);
        Print("tavo-flash, extension, 115200 (--fast-baud off)",
              FlashRun(path, {"--fast-baud", "off"}), extWire / kBaud);
        Print("tavo-flash, extension, fastest rate (auto)", FlashRun(path, {}), extWire / 1e6);
        Print("  the same over a chip that holds it (every page erased)", FlashRun(path, {}, true),
              extWire / 1e6);
        for (unsigned long rate : {kBaud, 500000UL, 1000000UL}) {
            double check = 0;
            auto f = RawRun(image, rate, check);
            char what[64];
            std::snprintf(what, sizeof what, "raw loader, extension, %lu", rate);
            Print(what, f, extWire / static_cast<double>(rate));
            if (f.ok)
                std::printf("  %-46s %6.3f s for the CRC of %zu bytes\n", "", check, bytes);
        }
        // What the page times cost: the same with pages written at once.
        double check = 0;
        Print("raw loader, extension, 1000000, instant pages",
              RawRun(image, 1000000, check, {"--page-us", "0"}), extWire / 1e6);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tavo-bench-avr-speed: %s\n", error.what());
        return 1;
    }
    return 0;
}
