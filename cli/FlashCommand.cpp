#include "cli/FlashCommand.h"

#include "AppInfo.h"
#include "cli/ConsoleDisplay.h"
#include "cli/Diagnosis.h"
#include "cli/ExitCode.h"
#include "cli/Gang.h"
#include "cli/HeadlessHost.h"
#include "cli/Interrupt.h"
#include "cli/Plan.h"
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

#include <algorithm>
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

// What every board's run shares; read-only while the runs go.
struct Shared {
    const Plan& plan;
    engine::RunOptions runOptions;
    std::vector<ImageFacts> images;
    ReportFile* report = nullptr;
    std::ostream* trace = nullptr;
    const IdentitySource* identities = nullptr;
};

struct BoardOutcome {
    BoardSummary summary;
    engine::Message message;  // the closing message
    std::string reportError;  // the record could not be appended
    std::string journalError; // the list's journal could not note the outcome
};

// The closing message; for a run that ended without one, the question answered No or what the
// exit code means.
std::string OutcomeText(const RunWatcher& watcher, int exitCode) {
    if (!watcher.lastMessage().text.empty())
        return watcher.lastMessage().text;
    if (exitCode == kExitLineErrorStopped && !watcher.answers().empty())
        return watcher.answers().back().question + " No";
    return ExitCodeMeaning(exitCode);
}

// A run ended by a No has no closing message of its own: this line says where it stopped. The
// board's own settings say which image its run started as which (an identity may add an EEPROM
// image the command line did not name).
std::string StopLine(const RunWatcher& watcher, const settings::Settings& board,
                     const std::vector<ImageFacts>& images) {
    std::string where = "Stopped at line " + std::to_string(watcher.questionLine());
    std::vector<std::string> kinds;
    if (board.eepromCheck == 1)
        kinds.push_back("eeprom");
    if (board.flashCheck == 1)
        kinds.push_back("flash");
    auto file = static_cast<std::size_t>(watcher.filesStarted());
    if (file >= 1 && file <= kinds.size()) {
        auto named = std::find_if(images.begin(), images.end(),
                                  [&](const ImageFacts& i) { return i.kind == kinds[file - 1]; });
        where += named != images.end() ? " of " + named->path
                                       : std::string(" of the EEPROM image made for the identity");
    }
    return where + " (exit status " + std::to_string(kExitLineErrorStopped) + ": " +
           ExitCodeMeaning(kExitLineErrorStopped) + ").";
}

// One run on the calling thread, with its own port, host, state and clock.
BoardOutcome RunBoard(const BoardPlan& job, RunDisplay& display, const Shared& shared) {
    RunRecord record;
    record.start = std::chrono::system_clock::now();
    record.host = HostName();
    record.adapter = job.adapter;
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
        serial::DeviceSerialPort devicePort(shared.plan.map);
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
        if (job.identity)
            watcher.note("Identity: " + job.identity->value + " (" + job.identity->format.name() +
                         ") at " + PlaceName(job.identity->place));

        engine::SteadyClock clock;
        engine::RunState state;
        HeadlessHost host(state, watcher.watch(port), clock, watcher, s, shared.plan.onError,
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
                                 std::to_string(shared.plan.timeoutSeconds) +
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
    if (summary.exitCode == kExitLineErrorStopped)
        display.message(
            {StopLine(watcher, job.settings, shared.images), engine::MessageIcon::Warning, {}});

    std::optional<std::string> identity;
    if (job.identity) {
        // A value that went into a failed board stays used: it is never handed out again.
        const bool flashed = summary.exitCode == kExitSuccess;
        identity = IdentityJson(*job.identity, flashed);
        if (auto error = shared.identities->noteOutcome(*job.identity, flashed))
            outcome.journalError = *error;
    }

    if (shared.report) {
        record.end = std::chrono::system_clock::now();
        record.bootloaderVersion = summary.version;
        record.answers = watcher.answers();
        record.linesSent = summary.lines;
        record.outcome = summary.outcome;
        record.exitCode = summary.exitCode;
        record.identity = identity;
        record.verify = result.verify;
        record.offered = result.offered;
        if (auto error = shared.report->append(RecordLine(record)))
            outcome.reportError = *error;
        summary.exitCode = WithRecordOutcome(summary.exitCode, outcome.reportError.empty());
    }
    return outcome;
}

std::string JournalTrouble(const Shared& shared) {
    return "cannot note the outcome in " + JournalOf(shared.identities->source()) + ": ";
}

Explanation ExplainFor(const PortOrigin& origin, const engine::Message& message) {
    return Explain(message, origin, ProbeDevice(origin.device));
}

// Every board at once, each run on a thread of its own.
int RunGang(const std::vector<BoardPlan>& jobs, const Shared& shared,
            const CommandEnvironment& env) {
    const auto verbosity = shared.plan.verbosity;
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
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (!outcomes[i].reportError.empty())
            env.err << "tavo-flash: " << jobs[i].label << ": cannot append to the report file "
                    << *shared.plan.reportFile << ": " << outcomes[i].reportError << '\n';
        if (!outcomes[i].journalError.empty())
            env.err << "tavo-flash: " << jobs[i].label << ": " << JournalTrouble(shared)
                    << outcomes[i].journalError << '\n';
    }
    return GangExitCode(summaries);
}

// The plan's boards: one on the calling thread, several at once.
int RunPlan(Plan plan, const CommandEnvironment& env) {
    const auto& first = plan.boards.front();
    engine::SteadyClock clock;
    auto explain = [&first](const engine::Message& m) { return ExplainFor(first.origin, m); };
    // Every board sends the same files: one look at them before any port is opened.
    if (auto refusal = CheckImages(first.settings)) {
        ConsoleDisplay display(env.out, env.err, plan.verbosity, env.stdoutIsTerminal, clock);
        display.explainWith(explain);
        display.message(*refusal);
        return kExitFileError;
    }

    // The value's place is checked against the images before any value is taken.
    std::optional<IdentitySource> identities;
    if (plan.identity) {
        auto prepared = IdentitySource::Prepare(*plan.identity, first.settings);
        if (auto* refusal = std::get_if<IdentitySource::Refusal>(&prepared)) {
            env.err << "tavo-flash: " << refusal->text << '\n';
            if (refusal->usage)
                env.err << "Try 'tavo-flash --help' for more information.\n";
            return refusal->usage ? kExitUsage : kExitFileError;
        }
        identities.emplace(std::move(std::get<IdentitySource>(prepared)));
    }

    // Nothing is sent before the report is known to be writable.
    std::optional<ReportFile> report;
    if (plan.reportFile) {
        auto opened = ReportFile::Open(*plan.reportFile);
        if (auto* error = std::get_if<std::string>(&opened)) {
            env.err << "tavo-flash: cannot write the report file " << *plan.reportFile << ": "
                    << *error << '\n';
            return kExitRecordFailed;
        }
        report.emplace(std::move(std::get<ReportFile>(opened)));
        // Each record names the USB adapter its board hangs on.
        auto ports = serial::AvailablePorts();
        for (auto& board : plan.boards)
            board.adapter = AdapterOf(ports, board.origin.device);
    }

    std::ofstream traceFile;
    if (plan.traceFile) {
        traceFile.open(settings::PathFromUtf8(*plan.traceFile), std::ios::binary);
        if (!traceFile) {
            env.err << "tavo-flash: cannot create the trace file " << *plan.traceFile << '\n';
            return kExitFileError;
        }
        traceFile << "# " << app::kTitle << ' ' << app::VersionLine()
                  << ": seconds since start, > sent, < received\n";
    }

    Shared shared{plan,
                  RunOptionsFor(plan, clock.now()),
                  {},
                  report ? &*report : nullptr,
                  traceFile.is_open() ? &traceFile : nullptr};
    if (first.settings.eepromCheck == 1)
        shared.images.push_back(InspectImage("eeprom", first.settings.eepromFile));
    if (first.settings.flashCheck == 1)
        shared.images.push_back(InspectImage("flash", first.settings.applicationFile));

    // The values last: once taken, a value is used whatever happens next.
    auto boards = plan.boards;
    BoardImages boardImages;
    if (identities) {
        shared.identities = &*identities;
        auto given = identities->give(boards.size());
        if (auto* error = std::get_if<IdentityError>(&given)) {
            env.err << "tavo-flash: " << error->text << "; nothing was sent\n";
            return kExitNoIdentity;
        }
        for (std::size_t i = 0; i < boards.size(); ++i) {
            auto& board = boards[i];
            board.identity = std::get<std::vector<GivenIdentity>>(given)[i];
            auto& records = board.extraRecords[board.identity->image];
            records.insert(records.end(), board.identity->records.begin(),
                           board.identity->records.end());
        }
    }
    for (std::size_t i = 0; i < boards.size(); ++i)
        if (auto error = boardImages.apply(boards[i].extraRecords, "board-" + std::to_string(i + 1),
                                           boards[i].settings)) {
            env.err << "tavo-flash: " << boards[i].label << ": " << *error
                    << "; nothing was sent\n";
            return kExitFileError;
        }

    InterruptGuard interrupt;
    if (boards.size() > 1)
        return RunGang(boards, shared, env);

    // A question still open when the time is up gets no answer (the same clock as the run's).
    std::optional<std::chrono::steady_clock::time_point> answerBy;
    if (shared.runOptions.deadline)
        answerBy = std::chrono::steady_clock::time_point(*shared.runOptions.deadline);
    ConsoleDisplay display(env.out, env.err, plan.verbosity, env.stdoutIsTerminal, clock,
                           [answerBy] { return ReadStdinLine(answerBy); });
    display.explainWith(explain);
    display.note("Settings: " + plan.settingsPath);
    auto outcome = RunBoard(boards.front(), display, shared);
    if (traceFile.is_open())
        traceFile.flush();
    if (!outcome.reportError.empty())
        env.err << "tavo-flash: cannot append to the report file " << *plan.reportFile << ": "
                << outcome.reportError << '\n';
    if (!outcome.journalError.empty())
        env.err << "tavo-flash: " << JournalTrouble(shared) << outcome.journalError << '\n';
    return outcome.summary.exitCode;
}

} // namespace

int RunFlashCommand(const std::vector<std::string>& args, const CommandEnvironment& env) {
    auto parsed = ParseOptions(args, env.stdinIsTerminal);
    if (auto* usage = std::get_if<UsageError>(&parsed)) {
        env.err << usage->text << '\n';
        return kExitUsage;
    }
    const auto& options = std::get<Options>(parsed);
    const auto settingsPath = options.settingsFile.value_or(Beside(env.programFolder, "dazez.txt"));
    const auto portsFile = Beside(env.programFolder, "ports.txt");
    if (options.help) {
        env.out << HelpText();
        return kExitSuccess;
    }
    if (options.version) {
        // Where the files come from: beside the program or in the user's configuration folder.
        env.out << app::kTitle << ' ' << app::VersionLine() << '\n'
                << "Settings: " << settingsPath << '\n'
                << "Port map: " << portsFile << '\n';
        return kExitSuccess;
    }
    const auto map = serial::PortMap::Load(portsFile);
    if (options.listPorts) {
        auto ports = ListPorts(serial::AvailablePorts(), map);
        env.out << (options.json ? PortJson(ports) : PortTable(ports, map)) << std::flush;
        return kExitSuccess;
    }

    auto plan = MakePlan(options, {settings::LoadSettings(settingsPath), settingsPath, map,
                                   portsFile, env.stdinIsTerminal});
    if (auto* usage = std::get_if<UsageError>(&plan)) {
        env.err << usage->text << '\n';
        return kExitUsage;
    }
    return RunPlan(std::move(std::get<Plan>(plan)), env);
}

} // namespace tavo::flash
