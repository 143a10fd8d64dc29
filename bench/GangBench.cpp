// How long several boards take at once against one: tavo-flash with one --port and with N, every
// board a tavo-bootsim paced at 115200 baud (each byte costs its wire time), the same image.
//   tavo-bench-gang [BOARDS [LINES [ROUNDS]]]      (default 8 boards, 2000 lines, 5 rounds)
// Prints every run's wall time and tavo-flash's CPU time, and the ratio of the gang's median time
// to one board's; the target is a ratio of at most 1.2. The median, not the best: the run's
// whole-second waits (the handshake's pause, the end-of-file wait) last up to a second less or
// more depending on where in its second a run starts, and the best run is merely the luckiest.
#include "bench/BenchSupport.h"
#include "tools/bootsim/BootsimProcess.h"
#include "tools/bootsim/IntelHex.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace tavo;

struct Run {
    double wall = 0;
    double cpu = 0; // tavo-flash's own user + system time
    int status = -1;
};

std::string WriteImage(const bench::ScratchDir& folder, int lines) {
    std::string text;
    std::vector<std::uint8_t> data(16);
    for (int i = 0; i < lines - 1; ++i) {
        for (std::size_t b = 0; b < data.size(); ++b)
            data[b] = static_cast<std::uint8_t>(i * 3 + b);
        text += bootsim::EncodeRecord(0, static_cast<std::uint16_t>(i * 16), data) + "\r\n";
    }
    return folder.write("gang-bench.hex", text + bootsim::EncodeRecord(1, 0, {}) + "\r\n");
}

// One tavo-flash run against `boards` fresh boards.
Run FlashBoards(int boards, const std::string& image) {
    std::vector<std::unique_ptr<bootsim::BootsimProcess>> sims;
    std::vector<std::string> args = {TAVO_FLASH_EXE, "--flash",    image,  "--baud",
                                     "115200",       "--on-error", "stop", "--quiet"};
    for (int i = 0; i < boards; ++i) {
        sims.push_back(std::make_unique<bootsim::BootsimProcess>(
            TAVO_BOOTSIM_EXE, std::vector<std::string>{"--pace", "115200"}));
        args.insert(args.end(), {"--port", sims.back()->devicePath()});
    }
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    Run run;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return run;
    }
    posix_spawn_file_actions_destroy(&actions);
    rusage usage{};
    ::wait4(pid, &run.status, 0, &usage);
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
              usage.ru_stime.tv_usec / 1e6;
    return run;
}

Run Median(int boards, const std::string& image, int rounds) {
    std::vector<Run> runs;
    for (int r = 0; r < rounds; ++r) {
        auto run = FlashBoards(boards, image);
        if (!WIFEXITED(run.status) || WEXITSTATUS(run.status) != 0) {
            std::fprintf(stderr, "tavo-flash with %d boards failed (status %d)\n", boards,
                         run.status);
            std::exit(1);
        }
        std::printf("  %d board%s: %.2f s, tavo-flash CPU %.2f s\n", boards, boards > 1 ? "s" : "",
                    run.wall, run.cpu);
        runs.push_back(run);
    }
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.wall < b.wall; });
    return runs[runs.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    int boards = argc > 1 ? std::atoi(argv[1]) : 8;
    int lines = argc > 2 ? std::atoi(argv[2]) : 2000;
    int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
    if (boards < 2 || lines < 2 || lines > 32767 || rounds < 1) {
        std::fprintf(stderr, "usage: tavo-bench-gang [BOARDS>=2 [LINES 2..32767 [ROUNDS]]]\n");
        return 2;
    }
    bench::ScratchDir folder("tavo-bench-gang");
    auto image = WriteImage(folder, lines);

    std::printf("%d lines at 115200 baud, median of %d runs each way\n", lines, rounds);
    auto one = Median(1, image, rounds);
    auto gang = Median(boards, image, rounds);
    std::printf("one board:  %.2f s\n%d boards:   %.2f s\nratio:      %.3f (target at most "
                "1.2)\n",
                one.wall, boards, gang.wall, gang.wall / one.wall);
    return 0;
}
