#include "cli/FlashCommand.h"

#include "AppInfo.h"
#include "cli/ConsoleDisplay.h"
#include "cli/ExitCode.h"
#include "cli/HeadlessHost.h"
#include "cli/Interrupt.h"
#include "cli/Options.h"
#include "cli/TracePort.h"
#include "engine/DownloadRun.h"
#include "engine/SerialLink.h"
#include "serial/DeviceSerialPort.h"
#include "serial/PortMap.h"
#include "settings/SettingsFile.h"
#include "settings/Utf8Path.h"

#include <chrono>
#include <fstream>
#include <memory>
#include <ostream>

namespace tavo::flash {

namespace {

std::string Beside(const std::string& folder, const std::string& name) {
    return settings::Utf8FromPath(settings::PathFromUtf8(folder) / name);
}

std::string Describe(const settings::Settings& s, const serial::DeviceSerialPort& port) {
    auto line = engine::LineSettingsForBaudIndex(s.baudIndex);
    std::string text = "Port " + port.device() + ", " +
                       (line ? *line : std::string("line settings unchanged")) + ", XON/XOFF";
    if (s.eepromCheck == 1)
        text += "\nEEPROM image: " + s.eepromFile;
    if (s.flashCheck == 1)
        text += "\nFlash image: " + s.applicationFile;
    return text;
}

} // namespace

int RunFlashCommand(const std::vector<std::string>& args, const CommandEnvironment& env) {
    auto parsed = ParseOptions(args, env.stdinIsTerminal);
    if (auto* usage = std::get_if<UsageError>(&parsed)) {
        env.err << usage->text << '\n';
        return kExitUsage;
    }
    const auto& options = std::get<Options>(parsed);
    if (options.help) {
        env.out << HelpText();
        return kExitSuccess;
    }
    if (options.version) {
        // Where the files come from: beside the program or in the user's configuration folder.
        env.out << app::kTitle << ' ' << app::VersionLine() << '\n'
                << "Settings: "
                << options.settingsFile.value_or(Beside(env.programFolder, "dazez.txt")) << '\n'
                << "Port map: " << Beside(env.programFolder, "ports.txt") << '\n';
        return kExitSuccess;
    }

    auto settingsPath = options.settingsFile.value_or(Beside(env.programFolder, "dazez.txt"));
    auto settings = settings::LoadSettings(settingsPath);
    auto device = ApplyOptions(options, settings);

    serial::DeviceSerialPort devicePort(
        serial::PortMap::Load(Beside(env.programFolder, "ports.txt")));
    devicePort.setDeviceOverride(device);
    // The port number picks the device unless --port named one.
    if (!device && settings.comPortIndex >= 0 && settings.comPortIndex < settings::kPortCount)
        devicePort.setPortNumber(settings.comPortIndex + 1);

    std::ofstream traceFile;
    std::unique_ptr<TracePort> trace;
    if (options.traceFile) {
        traceFile.open(settings::PathFromUtf8(*options.traceFile), std::ios::binary);
        if (!traceFile) {
            env.err << "tavo-flash: cannot create the trace file " << *options.traceFile << '\n';
            return kExitFileError;
        }
        traceFile << "# " << app::kTitle << ' ' << app::VersionLine()
                  << ": seconds since start, > sent, < received\n";
        trace = std::make_unique<TracePort>(devicePort, traceFile);
    }
    engine::SerialPort& port = trace ? static_cast<engine::SerialPort&>(*trace) : devicePort;

    engine::SteadyClock clock;
    auto runOptions = RunOptionsFor(options, env.stdinIsTerminal, clock.now());
    // A question still open when the time is up gets no answer (the same clock as the run's).
    std::optional<std::chrono::steady_clock::time_point> answerBy;
    if (runOptions.deadline)
        answerBy = std::chrono::steady_clock::time_point(*runOptions.deadline);
    ConsoleDisplay display(env.out, env.err, options.verbosity, env.stdoutIsTerminal, clock,
                           [answerBy] { return ReadStdinLine(answerBy); });
    display.note("Settings: " + settingsPath);
    display.note(Describe(settings, devicePort));

    InterruptGuard interrupt;
    engine::RunState state;
    HeadlessHost host(state, port, clock, display, settings, options.onError,
                      &InterruptGuard::flag());
    // A board that holds XOFF must not keep Ctrl+C waiting.
    devicePort.setWriteStallHandler([&host](serial::DeviceSerialPort& device, engine::Millis step) {
        return host.whileWriteStalled(device, step);
    });

    auto started = std::chrono::steady_clock::now();
    auto result = engine::DownloadFirmware(state, host, host.port(), clock, runOptions);
    auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // The window's message for these is the same as for other causes; a script wants the cause.
    if (result.end == engine::RunEnd::ImageTooLong)
        display.reason(result.reason);
    if (result.end == engine::RunEnd::TimedOut)
        display.message({"Time limit reached (--timeout " + std::to_string(options.timeoutSeconds) +
                             "); the run was cancelled.",
                         engine::MessageIcon::Warning,
                         {}});
    display.note("Run took " + FormatDuration(seconds));
    if (traceFile.is_open())
        traceFile.flush();
    return ExitCodeFor(result.end, host.interrupted());
}

} // namespace tavo::flash
