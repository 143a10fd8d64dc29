#pragma once

#include "engine/DownloadRun.h"
#include "settings/Settings.h"

#include <optional>
#include <string>
#include <variant>
#include <vector>

// The command line of tavo-flash and how it overrides the settings file.
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
    engine::FastBaud fastBaud;             // the rate after the handshake, when offered
    Verbosity verbosity = Verbosity::Normal;
    bool help = false;
    bool version = false;
    bool listPorts = false;
    bool json = false; // --list-ports as JSON
};

struct UsageError {
    std::string text;
};

// Parses the arguments after the program name. `stdinIsTerminal` decides the default of
// --on-error (ask on a terminal, stop otherwise) and whether "ask" is allowed at all.
std::variant<Options, UsageError> ParseOptions(const std::vector<std::string>& args,
                                               bool stdinIsTerminal);

// "auto", "off" or a bit rate, as --fast-baud takes it.
std::optional<engine::FastBaud> ParseFastBaud(const std::string& text);

// The baud list entry of a bit rate, or nothing when the rate is not one of the ten.
std::optional<int> BaudIndexForRate(int rate);

// Applies the command line, except the port, to the settings read from the settings file.
void ApplyOptions(const Options& options, settings::Settings& settings);

// The USB serial number of a "usb:SERIAL" port, or nothing for a number or a device.
std::optional<std::string> UsbSerialOf(const std::string& port);

// Applies one port ("1".."8" or a device path; a usb: port is looked up first) to the settings.
// Returns the device to open instead of the mapped port when it names one.
std::optional<std::string> ApplyPort(const std::string& port, settings::Settings& settings);

// Without a terminal on standard input nobody can press Ctrl+C: a board that answers as the
// application but never becomes ready would keep the handshake asking for ever.
inline constexpr engine::Millis kUnattendedReadyLimit{60'000};

// The limits of a run that starts at `now` on the run's clock: --timeout, and the handshake's
// limit when nobody is at a terminal.
engine::RunOptions RunOptionsFor(const Options& options, bool stdinIsTerminal, engine::Millis now);

std::string HelpText();

} // namespace tavo::flash
