#pragma once

#include "cli/IdentityPlan.h"
#include "engine/DownloadRun.h"

#include <optional>
#include <string>
#include <variant>
#include <vector>

// The command line of tavo-flash, as given. cli/Plan.h turns it into the boards to flash.
namespace tavo::flash {

// The answer to the questions the run asks when the board reports an error on a line.
enum class OnError { Ask, Continue, Stop };

enum class Verbosity { Quiet, Normal, Verbose };

struct Options {
    // Each "1".."8", a device path or "usb:SERIAL", in command-line order; several flash the
    // same images into every board at once.
    std::vector<std::string> ports;
    std::optional<int> baudIndex; // entry of the baud list
    std::optional<std::string> flashFile;
    std::optional<std::string> eepromFile;
    std::optional<std::string> settingsFile;
    OnError onError = OnError::Stop;
    std::optional<std::string> traceFile;
    std::optional<std::string> reportFile; // JSON Lines, one record per board and run
    int timeoutSeconds = 0;                // the whole run's limit; 0: none
    // "auto", "off" or a line rate in bits per second.
    engine::FastBaud fastBaud; // the rate after the handshake, when the board offers one
    bool plain = false;        // the extension unused even where a board offers it
    Verbosity verbosity = Verbosity::Normal;
    bool help = false;
    bool version = false;
    bool listPorts = false;
    bool json = false; // --list-ports as JSON
    // --serial-counter or --serial-list, with --serial-at and --serial-format: a value of its
    // own for every board.
    std::optional<IdentityOptions> identity;
};

struct UsageError {
    std::string text;
};

// Parses the arguments after the program name. `stdinIsTerminal` decides the default of
// --on-error (ask on a terminal, stop otherwise) and whether "ask" is allowed at all.
std::variant<Options, UsageError> ParseOptions(const std::vector<std::string>& args,
                                               bool stdinIsTerminal);

// The baud list entry of a bit rate, or nothing when the rate is not one of the ten.
std::optional<int> BaudIndexForRate(int rate);

// The text of --help, drawn from the table the parser reads.
std::string HelpText();

} // namespace tavo::flash
