#include "cli/Plan.h"

#include "engine/ImageFile.h"
#include "engine/RunError.h"
#include "engine/SerialLink.h"

namespace tavo::flash {

namespace {

// As the run counts: a path of at most one character is no path.
bool PathMissing(const std::string& utf8Path) {
    std::size_t characters = 0;
    for (unsigned char c : utf8Path)
        characters += (c & 0xC0) != 0x80;
    return characters <= 1;
}

// The run counts lines in a signed 16-bit number.
constexpr int kMaxImageLines = 32767;

} // namespace

std::variant<Plan, UsageError> MakePlan(const Options& options, const PlanSources& sources) {
    Plan plan;
    plan.map = sources.map;
    plan.settingsPath = sources.settingsPath;
    plan.onError = options.onError;
    plan.verbosity = options.verbosity;
    plan.timeoutSeconds = options.timeoutSeconds;
    plan.unattended = !sources.stdinIsTerminal;
    plan.reportFile = options.reportFile;
    plan.traceFile = options.traceFile;
    plan.fastBaud = options.fastBaud;
    plan.plain = options.plain;
    plan.identity = options.identity;

    auto base = sources.settings;
    if (options.baudIndex)
        base.baudIndex = *options.baudIndex;
    // Naming an image on the command line chooses exactly the images named there.
    if (options.flashFile || options.eepromFile) {
        base.flashCheck = options.flashFile ? 1 : 0;
        base.eepromCheck = options.eepromFile ? 1 : 0;
        base.applicationFile = options.flashFile.value_or(base.applicationFile);
        base.eepromFile = options.eepromFile.value_or(base.eepromFile);
    }

    std::optional<std::vector<serial::PortInfo>> available;
    auto ports = options.ports;
    if (ports.empty())
        ports.push_back({}); // the settings file's port
    for (const auto& port : ports) {
        BoardPlan board;
        board.settings = base;
        board.label = port;
        board.origin.portsFile = sources.portsFile;
        if (auto line = engine::LineSettingsForBaudIndex(base.baudIndex))
            board.origin.baud = engine::BaudFromLineSettings(*line);
        auto& index = board.settings.comPortIndex;
        if (port.rfind("usb:", 0) == 0) {
            if (!available)
                available = sources.availablePorts();
            auto found = serial::FindUsbSerial(*available, port.substr(4));
            board.origin.usbSerial = port.substr(4);
            board.origin.device = found.device.value_or("");
            if (found.device)
                board.device = found.device;
            else
                board.lookupError = found.error;
        } else if (!port.empty() && port.find_first_not_of("0123456789") != std::string::npos) {
            board.device = board.origin.device = port;
        } else {
            if (!port.empty())
                index = std::stoi(port) - 1;
            board.label = "Com " + std::to_string(index + 1);
            if (index >= 0 && index < settings::kPortCount) {
                board.origin.comNumber = index + 1;
                board.origin.fromPortsFile = sources.map.maps(index + 1);
                board.origin.device = sources.map.deviceFor(index + 1);
            }
        }
        // A device replaces whatever the number maps to, but the run still sets a number first,
        // and "no entry chosen" (-1) would fail that.
        if ((board.device || board.lookupError) && (index < 0 || index >= settings::kPortCount))
            index = 0;
        // Two runs on one device would fight over it.
        for (const auto& earlier : plan.boards)
            if (!board.origin.device.empty() &&
                serial::SameDevice(earlier.origin.device, board.origin.device))
                return UsageError{"tavo-flash: --port " + earlier.label + " and --port " +
                                  board.label + " are the same device " + board.origin.device +
                                  "\nTry 'tavo-flash --help' for more information."};
        plan.boards.push_back(std::move(board));
    }
    return plan;
}

engine::RunOptions RunOptionsFor(const Plan& plan, engine::Millis now) {
    engine::RunOptions run;
    if (plan.timeoutSeconds > 0)
        run.deadline = now + engine::Millis(static_cast<long long>(plan.timeoutSeconds) * 1000);
    if (plan.unattended)
        run.readyLimit = kUnattendedReadyLimit;
    run.fastBaud = plan.fastBaud;
    run.extension = !plan.plain;
    return run;
}

std::optional<engine::Message> CheckImages(const settings::Settings& s) {
    const bool eeprom = s.eepromCheck == 1, flash = s.flashCheck == 1;
    if ((eeprom && PathMissing(s.eepromFile)) || (flash && PathMissing(s.applicationFile)))
        return std::nullopt;
    // In the order the run sends them, with the message the run would show.
    for (const auto* path :
         {eeprom ? &s.eepromFile : nullptr, flash ? &s.applicationFile : nullptr}) {
        if (!path)
            continue;
        std::string text = "Error opening " + *path + ".";
        try {
            engine::ImageFile file;
            file.open(*path);
            text = "Error encountered while downloading the firmware file.";
            for (int lines = 1; !file.atEnd(); ++lines)
                if (file.readLine(); lines > kMaxImageLines)
                    throw engine::RunError("Overflow", "more than 32,767 lines");
        } catch (const engine::RunError& e) {
            auto detail = e.reason().empty() ? e.what() : std::string(e.what()) + ": " + e.reason();
            return engine::Message{text, engine::MessageIcon::Warning, detail};
        }
    }
    return std::nullopt;
}

} // namespace tavo::flash
