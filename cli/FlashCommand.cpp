#include "cli/FlashCommand.h"

#include "AppInfo.h"
#include "cli/ConsoleDisplay.h"
#include "cli/Diagnosis.h"
#include "cli/ExitCode.h"
#include "cli/Gang.h"
#include "cli/HeadlessHost.h"
#include "cli/Interrupt.h"
#include "cli/Options.h"
#include "cli/PortListing.h"
#include "cli/RunRecord.h"
#include "cli/TracePort.h"
#include "engine/DownloadRun.h"
#include "engine/SerialLink.h"
#include "serial/DeviceSerialPort.h"
#include "serial/PortInfo.h"
#include "serial/PortMap.h"
#include "settings/SettingsFile.h"
#include "settings/Utf8Path.h"

#include <QDeadlineTimer>
#include <QThread>

#include <chrono>
#include <fstream>
#include <memory>
#include <mutex>
#include <ostream>

namespace tavo::flash {

namespace {

constexpr const char* kPortError = "Error encountered while accessing the com port.";

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

// One board: the port it is on and the settings its run reads.
struct BoardJob {
    std::string label; // "Com 3", a device, "usb:SERIAL"
    settings::Settings settings;
    std::optional<std::string> device; // opened instead of what the number maps to
    PortOrigin origin;
    std::optional<std::string> lookupError; // a usb: port that names no single port
};

// What every board's run shares; read-only while the runs go.
struct Shared {
    const Options& options;
    serial::PortMap map;
    engine::RunOptions runOptions;
    std::vector<ImageFacts> images;
    ReportFile* report = nullptr;
    std::ostream* trace = nullptr;
};

struct BoardOutcome {
    BoardSummary summary;
    engine::Message message; // the closing message
    std::string reportError; // the record could not be appended
};

// The closing message; for a run that ended without one, the question answered No or what the
// exit code means.
std::string OutcomeText(const RunWatcher& watcher, int exitCode) {
    if (!watcher.lastMessage().text.empty())
        return watcher.lastMessage().text;
    if (exitCode == kExitLineErrorStopped && !watcher.answers().empty())
        return watcher.answers().back().question + " No";
    for (const auto& doc : ExitCodeTable())
        if (doc.code == exitCode)
            return doc.meaning;
    return "exit " + std::to_string(exitCode);
}

// One run on the calling thread, with its own port, host, state and clock.
BoardOutcome RunBoard(const BoardJob& job, RunDisplay& display, const Shared& shared) {
    RunRecord record;
    record.start = std::chrono::system_clock::now();
    record.host = HostName();
    record.port = job.label;
    record.device = job.origin.device;
    if (auto line = engine::LineSettingsForBaudIndex(job.settings.baudIndex))
        record.baud = engine::BaudFromLineSettings(*line);
    record.images = shared.images;

    RunWatcher watcher(display);
    engine::RunResult result;
    bool interrupted = false;
    auto started = std::chrono::steady_clock::now();
    if (job.lookupError) {
        watcher.message({kPortError, engine::MessageIcon::Warning, *job.lookupError});
        result = {engine::RunEnd::PortError, *job.lookupError};
    } else {
        serial::DeviceSerialPort devicePort(shared.map);
        devicePort.setDeviceOverride(job.device);
        // The port number picks the device unless the port names one.
        const auto& s = job.settings;
        if (!job.device && s.comPortIndex >= 0 && s.comPortIndex < settings::kPortCount)
            devicePort.setPortNumber(s.comPortIndex + 1);
        std::unique_ptr<TracePort> trace;
        if (shared.trace)
            trace = std::make_unique<TracePort>(devicePort, *shared.trace);
        engine::SerialPort& port = trace ? static_cast<engine::SerialPort&>(*trace) : devicePort;
        watcher.note(Describe(s, devicePort));

        engine::SteadyClock clock;
        engine::RunState state;
        HeadlessHost host(state, watcher.watch(port), clock, watcher, s, shared.options.onError,
                          &InterruptGuard::flag());
        // A board that holds XOFF must not keep Ctrl+C waiting.
        devicePort.setWriteStallHandler(
            [&host](serial::DeviceSerialPort& device, engine::Millis step) {
                return host.whileWriteStalled(device, step);
            });
        result = engine::DownloadFirmware(state, host, host.port(), clock, shared.runOptions);
        interrupted = host.interrupted();
        if (result.end == engine::RunEnd::TimedOut)
            watcher.message({"Time limit reached (--timeout " +
                                 std::to_string(shared.options.timeoutSeconds) +
                                 "); the run was cancelled.",
                             engine::MessageIcon::Warning,
                             {}});
    }
    auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    watcher.note("Run took " + FormatDuration(seconds));

    BoardOutcome outcome;
    auto& summary = outcome.summary;
    summary.port = job.label;
    summary.exitCode = ExitCodeFor(result.end, interrupted);
    summary.version = watcher.bootloaderVersion(job.settings.bootloaderReady);
    summary.outcome = OutcomeText(watcher, summary.exitCode);
    outcome.message = watcher.lastMessage();
    summary.lines = watcher.linesSent();
    summary.seconds = seconds;

    if (shared.report) {
        record.end = std::chrono::system_clock::now();
        record.bootloaderVersion = summary.version;
        record.answers = watcher.answers();
        record.linesSent = summary.lines;
        record.outcome = summary.outcome;
        record.exitCode = summary.exitCode;
        record.verify = result.verify;
        record.offered = result.offered;
        if (auto error = shared.report->append(RecordLine(record)))
            outcome.reportError = *error;
    }
    return outcome;
}

// Resolves the ports of the command line (or the settings file's) into one job each.
std::vector<BoardJob> Jobs(const Options& options, const settings::Settings& base,
                           const serial::PortMap& map, const std::string& portsFile) {
    std::vector<std::string> portArgs = options.ports;
    if (portArgs.empty())
        portArgs.push_back({}); // the settings file's port
    std::optional<std::vector<serial::PortInfo>> available;
    std::vector<BoardJob> jobs;
    for (const auto& portArg : portArgs) {
        BoardJob job;
        job.settings = base;
        job.origin.portsFile = portsFile;
        if (auto serialNumber = UsbSerialOf(portArg)) {
            if (!available)
                available = serial::AvailablePorts();
            auto found = serial::FindUsbSerial(*available, *serialNumber);
            job.label = portArg;
            job.origin.usbSerial = *serialNumber;
            if (found.device)
                job.origin.device = *found.device;
            else
                job.lookupError = found.error;
            job.device = ApplyPort(job.origin.device, job.settings);
        } else {
            job.device = portArg.empty() ? std::nullopt : ApplyPort(portArg, job.settings);
            if (job.device) {
                job.label = job.origin.device = *job.device;
            } else {
                int index = job.settings.comPortIndex;
                bool listed = index >= 0 && index < settings::kPortCount;
                job.label = "Com " + std::to_string(index + 1);
                if (listed) {
                    job.origin.comNumber = index + 1;
                    job.origin.fromPortsFile = map.maps(index + 1);
                    job.origin.device = map.deviceFor(index + 1);
                }
            }
        }
        jobs.push_back(std::move(job));
    }
    return jobs;
}

Explanation ExplainFor(const PortOrigin& origin, const engine::Message& message) {
    return Explain(message, origin, ProbeDevice(origin.device));
}

int ListPortsCommand(const Options& options, const CommandEnvironment& env,
                     const serial::PortMap& map) {
    auto ports = ListPorts(serial::AvailablePorts(), map);
    env.out << (options.json ? PortJson(ports) : PortTable(ports, map)) << std::flush;
    return kExitSuccess;
}

// Every board at once, each run on a thread of its own.
int RunGang(const std::vector<BoardJob>& jobs, const Shared& shared,
            const CommandEnvironment& env) {
    const auto verbosity = shared.options.verbosity;
    const bool lines = env.stdoutIsTerminal && verbosity != Verbosity::Quiet;
    engine::SteadyClock clock;
    std::mutex outputLock;

    std::vector<std::string> labels;
    for (const auto& job : jobs)
        labels.push_back(job.label);
    std::unique_ptr<BoardLines> boardLines;
    if (lines)
        boardLines = std::make_unique<BoardLines>(env.out, labels, env.terminalColumns, clock);

    // Without a terminal every board writes plain lines prefixed with its port.
    std::vector<std::unique_ptr<PrefixedStream>> streams;
    std::vector<std::unique_ptr<ConsoleDisplay>> consoles;
    if (!lines)
        for (const auto& job : jobs) {
            streams.push_back(
                std::make_unique<PrefixedStream>(env.out, outputLock, job.label + ": "));
            streams.push_back(
                std::make_unique<PrefixedStream>(env.err, outputLock, job.label + ": "));
            auto console =
                std::make_unique<ConsoleDisplay>(streams[streams.size() - 2]->stream(),
                                                 streams.back()->stream(), verbosity, false, clock);
            console->explainWith(
                [origin = job.origin](const engine::Message& m) { return ExplainFor(origin, m); });
            consoles.push_back(std::move(console));
        }

    std::vector<BoardOutcome> outcomes(jobs.size());
    std::vector<std::unique_ptr<QThread>> threads;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        RunDisplay& display = lines ? boardLines->board(i) : *consoles[i];
        // A QThread, not a bare thread: where the port is Qt's (Windows), its objects want a
        // thread with an event dispatcher.
        threads.emplace_back(QThread::create([&, i, &display = display] {
            try {
                outcomes[i] = RunBoard(jobs[i], display, shared);
            } catch (const std::exception& error) {
                // As main() does for one board, without taking the other boards down.
                outcomes[i].summary = {
                    jobs[i].label, {}, "internal error: " + std::string(error.what()), 0, 0,
                    kExitInternal};
            }
        }));
        threads.back()->start();
    }
    for (auto& thread : threads) {
        while (!thread->wait(QDeadlineTimer(lines ? 100 : 1000)))
            if (lines)
                boardLines->redraw();
    }
    if (lines)
        boardLines->redraw();
    consoles.clear();
    streams.clear();

    std::vector<BoardSummary> summaries;
    for (const auto& outcome : outcomes)
        summaries.push_back(outcome.summary);
    if (verbosity != Verbosity::Quiet)
        env.out << (lines ? "\n" : "") << SummaryTable(summaries) << std::flush;
    // On a terminal the board lines had room for the message only: the reasons follow here.
    if (lines)
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            if (outcomes[i].summary.exitCode == 0)
                continue;
            auto why = ExplainFor(jobs[i].origin, outcomes[i].message);
            const auto prefix = jobs[i].label + ":   ";
            if (!why.reason.empty())
                env.err << prefix << "reason: " << why.reason << '\n';
            for (const auto& note : why.notes)
                env.err << prefix << note << '\n';
        }
    for (std::size_t i = 0; i < jobs.size(); ++i)
        if (!outcomes[i].reportError.empty())
            env.err << "tavo-flash: " << jobs[i].label << ": cannot append to the report file "
                    << *shared.options.reportFile << ": " << outcomes[i].reportError << '\n';
    return GangExitCode(summaries);
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

    const auto portsFile = Beside(env.programFolder, "ports.txt");
    const auto map = serial::PortMap::Load(portsFile);
    if (options.listPorts)
        return ListPortsCommand(options, env, map);

    auto settingsPath = options.settingsFile.value_or(Beside(env.programFolder, "dazez.txt"));
    auto settings = settings::LoadSettings(settingsPath);
    ApplyOptions(options, settings);

    auto jobs = Jobs(options, settings, map, portsFile);
    // Two runs on one device would fight over it.
    for (std::size_t i = 0; i < jobs.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (!jobs[i].origin.device.empty() &&
                serial::SameDevice(jobs[i].origin.device, jobs[j].origin.device)) {
                env.err << "tavo-flash: --port " << jobs[j].label << " and --port " << jobs[i].label
                        << " are the same device " << jobs[i].origin.device
                        << "\nTry 'tavo-flash --help' for more information.\n";
                return kExitUsage;
            }

    // Nothing is sent before the report is known to be writable.
    std::optional<ReportFile> report;
    if (options.reportFile) {
        auto opened = ReportFile::Open(*options.reportFile);
        if (auto* error = std::get_if<std::string>(&opened)) {
            env.err << "tavo-flash: cannot write the report file " << *options.reportFile << ": "
                    << *error << '\n';
            return kExitFileError;
        }
        report.emplace(std::move(std::get<ReportFile>(opened)));
    }

    std::ofstream traceFile;
    if (options.traceFile) {
        traceFile.open(settings::PathFromUtf8(*options.traceFile), std::ios::binary);
        if (!traceFile) {
            env.err << "tavo-flash: cannot create the trace file " << *options.traceFile << '\n';
            return kExitFileError;
        }
        traceFile << "# " << app::kTitle << ' ' << app::VersionLine()
                  << ": seconds since start, > sent, < received\n";
    }

    engine::SteadyClock clock;
    Shared shared{options,
                  map,
                  RunOptionsFor(options, env.stdinIsTerminal, clock.now()),
                  {},
                  report ? &*report : nullptr,
                  traceFile.is_open() ? &traceFile : nullptr};
    if (settings.eepromCheck == 1)
        shared.images.push_back(InspectImage("eeprom", settings.eepromFile));
    if (settings.flashCheck == 1)
        shared.images.push_back(InspectImage("flash", settings.applicationFile));

    InterruptGuard interrupt;
    if (jobs.size() > 1)
        return RunGang(jobs, shared, env);

    const auto& job = jobs.front();
    // A question still open when the time is up gets no answer (the same clock as the run's).
    std::optional<std::chrono::steady_clock::time_point> answerBy;
    if (shared.runOptions.deadline)
        answerBy = std::chrono::steady_clock::time_point(*shared.runOptions.deadline);
    ConsoleDisplay display(env.out, env.err, options.verbosity, env.stdoutIsTerminal, clock,
                           [answerBy] { return ReadStdinLine(answerBy); });
    display.explainWith(
        [origin = job.origin](const engine::Message& m) { return ExplainFor(origin, m); });
    display.note("Settings: " + settingsPath);
    auto outcome = RunBoard(job, display, shared);
    if (traceFile.is_open())
        traceFile.flush();
    if (!outcome.reportError.empty())
        env.err << "tavo-flash: cannot append to the report file " << *options.reportFile << ": "
                << outcome.reportError << '\n';
    return outcome.summary.exitCode;
}

} // namespace tavo::flash
