#include "bench/HeadlessDownload.h"

#include "bench/BenchSupport.h"
#include "cli/HeadlessHost.h"
#include "engine/ForwardingPort.h"
#include "serial/DeviceSerialPort.h"

#include <stdexcept>

namespace tavo::bench {

namespace {

using Clock = TimedDownload::Clock;

// Watches one download from both sides: each image line written (the port), the end of the file
// and the final message (the display).
class Timer final : public engine::ForwardingPort, public flash::NullDisplay {
public:
    using ForwardingPort::ForwardingPort;

    void write(std::string_view data) override {
        if (!data.empty() && data.front() == ':') {
            auto now = Clock::now();
            if (lastAnswer_)
                times.turnaroundUs.push_back(
                    std::chrono::duration<double, std::micro>(now - *lastAnswer_).count());
            lastAnswer_.reset();
            times.wall.push_back(now);
            times.cpu.push_back(CpuSeconds(CLOCK_THREAD_CPUTIME_ID));
            times.bytes += data.size();
        }
        inner().write(data);
    }
    std::string takeWaiting() override {
        auto bytes = inner().takeWaiting();
        if (!bytes.empty())
            lastAnswer_ = Clock::now();
        return bytes;
    }
    void sendingEnded() override {
        times.ended = Clock::now();
        times.endedCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    }
    void message(const engine::Message& m) override { text = m.text; }

    TimedDownload times;
    std::string text;

private:
    std::optional<Clock::time_point> lastAnswer_;
};

} // namespace

engine::RunResult HeadlessDownload(engine::SerialPort& port, flash::RunDisplay& display,
                                   const std::string& image) {
    settings::Settings s;
    s.applicationFile = image;
    s.baudIndex = 9; // 115200
    engine::RunState state;
    engine::SteadyClock clock;
    flash::HeadlessHost host(state, port, clock, display, s, flash::OnError::Stop);
    return engine::DownloadFirmware(state, host, host.port(), clock);
}

TimedDownload DownloadTimed(const std::string& device, const std::string& image) {
    serial::DeviceSerialPort port;
    port.setDeviceOverride(device);
    Timer timer(port);
    auto result = HeadlessDownload(timer, timer, image);
    if (result.end != engine::RunEnd::Success)
        throw std::runtime_error("the download did not succeed: " + timer.text + " " +
                                 result.reason);
    return timer.times;
}

} // namespace tavo::bench
