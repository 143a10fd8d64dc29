#pragma once

#include "cli/Diagnosis.h"
#include "cli/Options.h"
#include "cli/RunRecord.h"
#include "engine/DownloadRun.h"
#include "engine/RunHost.h"
#include "serial/PortInfo.h"
#include "serial/PortMap.h"
#include "settings/Settings.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// What tavo-flash will do, read once from the command line, the settings file and the port map:
// the boards, each with everything its run needs. Running a plan never looks at the options again.
namespace tavo::flash {

// One board and its run.
struct BoardPlan {
    std::string label;           // "Com 3", a device, "usb:SERIAL"
    settings::Settings settings; // what its run reads: port number, line rate, images, answers
    std::optional<std::string> device; // opened instead of what the number maps to
    PortOrigin origin;
    std::optional<std::string> lookupError; // a usb: port that names no single port
    std::optional<Adapter> adapter;         // for the record, looked up when there is one
    // Intel HEX records (each a whole line without its line end) that this board's images carry
    // before their end record, by image: "flash" or "eeprom". Empty: the image as it is.
    std::map<std::string, std::vector<std::string>> extraRecords;
    std::optional<GivenIdentity> identity; // the value those records carry, for its record
};

struct Plan {
    std::vector<BoardPlan> boards; // in command-line order; the settings file's port when none
    serial::PortMap map;
    std::string settingsPath;
    OnError onError = OnError::Stop;
    Verbosity verbosity = Verbosity::Normal;
    int timeoutSeconds = 0;  // 0: no limit
    bool unattended = false; // no terminal on standard input: nobody can press Ctrl+C
    std::optional<std::string> reportFile;
    std::optional<std::string> traceFile;
    engine::FastBaud fastBaud; // the rate after the handshake, when the board offers one
    bool plain = false;        // speak the plain protocol to every board
    // Where each board's own value comes from and goes; taken only when the boards are run.
    std::optional<IdentityOptions> identity;
};

// What a plan is made of besides the command line.
struct PlanSources {
    settings::Settings settings; // as read from the settings file
    std::string settingsPath;
    serial::PortMap map;
    std::string portsFile;
    bool stdinIsTerminal = false;
    // The system's serial ports, asked only when a usb: port is to be found.
    std::function<std::vector<serial::PortInfo>()> availablePorts = serial::AvailablePorts;
};

// The boards of the command line; refused (as a usage error) when two ports are one device.
std::variant<Plan, UsageError> MakePlan(const Options& options, const PlanSources& sources);

// Without a terminal on standard input nobody can press Ctrl+C: a board that answers as the
// application but never becomes ready would keep the handshake asking for ever.
inline constexpr engine::Millis kUnattendedReadyLimit{60'000};

// The limits of a run that starts at `now` on the run's clock: --timeout, and the handshake's
// limit when nobody is at a terminal.
engine::RunOptions RunOptionsFor(const Plan& plan, engine::Millis now);

// Opens and counts every image a board's settings choose, as its run will, before any port is
// touched: the message the run would end with when one cannot be sent (exit status 8). A chosen
// image without a path is left to the run, which refuses it before the port as well.
std::optional<engine::Message> CheckImages(const settings::Settings& settings);

} // namespace tavo::flash
