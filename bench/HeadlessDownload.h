#pragma once

#include "cli/RunDisplay.h"
#include "engine/DownloadRun.h"
#include "engine/SerialPort.h"

#include <chrono>
#include <string>
#include <vector>

namespace tavo::bench {

// One download of a Flash image at 115200 as tavo-flash makes it: the headless host on `port`,
// stopping at the first line error.
engine::RunResult HeadlessDownload(engine::SerialPort& port, flash::RunDisplay& display,
                                   const std::string& image);

// When each image line of a download went out, and what the loader's thread had spent by then.
struct TimedDownload {
    using Clock = std::chrono::steady_clock;
    std::vector<Clock::time_point> wall; // each image line written
    std::vector<double> cpu;             // this thread's CPU time then
    // From taking a line's answer to writing the next line: the loader's own turnaround.
    std::vector<double> turnaroundUs;
    std::size_t bytes = 0;   // of the image lines
    Clock::time_point ended; // the last line's answer taken
    double endedCpu = 0;
};

// HeadlessDownload to the board at `device`, timed; throws when it does not succeed.
TimedDownload DownloadTimed(const std::string& device, const std::string& image);

} // namespace tavo::bench
