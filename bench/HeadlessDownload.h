#pragma once

#include "cli/HeadlessHost.h"
#include "engine/DownloadRun.h"

#include <string>

namespace tavo::bench {

// One download of a Flash image at 115200 as tavo-flash makes it: the headless host on `port`,
// stopping at the first line error.
inline engine::RunResult HeadlessDownload(engine::SerialPort& port, flash::RunDisplay& display,
                                          const std::string& image) {
    settings::Settings s;
    s.applicationFile = image;
    s.baudIndex = 9; // 115200
    engine::RunState state;
    engine::SteadyClock clock;
    flash::HeadlessHost host(state, port, clock, display, s, flash::OnError::Stop);
    return engine::DownloadFirmware(state, host, host.port(), clock);
}

} // namespace tavo::bench
