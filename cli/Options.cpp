#include "cli/Options.h"

#include "cli/ExitCode.h"
#include "engine/SerialLink.h"

#include <charconv>
#include <sstream>

namespace tavo::flash {

namespace {

bool AllDigits(const std::string& text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

std::optional<int> ToInt(const std::string& text) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string RateList() {
    std::string list;
    for (int i = 0; i < settings::kBaudCount; ++i) {
        if (auto line = engine::LineSettingsForBaudIndex(i))
            if (auto rate = engine::BaudFromLineSettings(*line)) {
                if (!list.empty())
                    list += ' ';
                list += std::to_string(*rate);
            }
    }
    return list;
}

// A year: far beyond any run, and far from overflowing the clock's milliseconds.
constexpr int kMaxTimeoutSeconds = 366 * 24 * 3600;

UsageError Usage(const std::string& text) {
    return UsageError{"tavo-flash: " + text + "\nTry 'tavo-flash --help' for more information."};
}

} // namespace

std::optional<int> BaudIndexForRate(int rate) {
    for (int i = 0; i < settings::kBaudCount; ++i) {
        auto line = engine::LineSettingsForBaudIndex(i);
        if (line && engine::BaudFromLineSettings(*line) == rate)
            return i;
    }
    return std::nullopt;
}

std::optional<engine::FastBaud> ParseFastBaud(const std::string& text) {
    using Mode = engine::FastBaud::Mode;
    if (text == "auto")
        return engine::FastBaud{Mode::Auto, 0};
    if (text == "off")
        return engine::FastBaud{Mode::Off, 0};
    auto rate = AllDigits(text) ? ToInt(text) : std::nullopt;
    if (!rate || *rate <= 0)
        return std::nullopt;
    return engine::FastBaud{Mode::Rate, *rate};
}

std::variant<Options, UsageError> ParseOptions(const std::vector<std::string>& args,
                                               bool stdinIsTerminal) {
    Options options;
    options.onError = stdinIsTerminal ? OnError::Ask : OnError::Stop;
    bool quiet = false;
    bool verbose = false;
    bool onErrorGiven = false;

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        auto flag = [&]() -> bool { return !inlineValue.has_value(); };
        // The value of an option that takes one: "--name=value" or "--name value".
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 < args.size())
                return args[++i];
            return std::nullopt;
        };

        if (name == "--help" || name == "-h") {
            if (!flag())
                return Usage("option '" + name + "' takes no value");
            options.help = true;
        } else if (name == "--version") {
            if (!flag())
                return Usage("option '" + name + "' takes no value");
            options.version = true;
        } else if (name == "--quiet" || name == "-q") {
            if (!flag())
                return Usage("option '" + name + "' takes no value");
            quiet = true;
        } else if (name == "--verbose" || name == "-v") {
            if (!flag())
                return Usage("option '" + name + "' takes no value");
            verbose = true;
        } else if (name == "--list-ports" || name == "--json") {
            if (!flag())
                return Usage("option '" + name + "' takes no value");
            (name == "--json" ? options.json : options.listPorts) = true;
        } else if (name == "--port" || name == "--baud" || name == "--flash" ||
                   name == "--eeprom" || name == "--settings" || name == "--on-error" ||
                   name == "--trace" || name == "--timeout" || name == "--report" ||
                   name == "--fast-baud") {
            auto v = value();
            if (!v)
                return Usage("option '" + name + "' needs a value");
            if (name == "--port") {
                if (v->empty())
                    return Usage("--port needs a port number 1..8, a device path or usb:SERIAL");
                // A bare number can only mean a port of the list; there is no device "9".
                if (AllDigits(*v)) {
                    auto n = ToInt(*v);
                    if (!n || *n < 1 || *n > settings::kPortCount)
                        return Usage("port number '" + *v + "' is not 1..8");
                }
                if (auto serial = UsbSerialOf(*v); serial && serial->empty())
                    return Usage("--port usb: needs the USB serial number after the colon");
                // Two runs on one port would fight over it.
                for (const auto& earlier : options.ports)
                    if (earlier == *v)
                        return Usage("--port " + *v + " is given twice");
                options.ports.push_back(*v);
            } else if (name == "--baud") {
                auto rate = ToInt(*v);
                auto index = rate ? BaudIndexForRate(*rate) : std::nullopt;
                if (!index)
                    return Usage("baud rate '" + *v + "' is not one of " + RateList());
                options.baudIndex = *index;
            } else if (name == "--fast-baud") {
                auto fast = ParseFastBaud(*v);
                if (!fast)
                    return Usage("--fast-baud must be auto, off or a bit rate, not '" + *v + "'");
                options.fastBaud = *fast;
            } else if (name == "--flash") {
                options.flashFile = *v;
            } else if (name == "--eeprom") {
                options.eepromFile = *v;
            } else if (name == "--settings") {
                options.settingsFile = *v;
            } else if (name == "--timeout") {
                auto seconds = AllDigits(*v) ? ToInt(*v) : std::nullopt;
                if (!seconds || *seconds > kMaxTimeoutSeconds)
                    return Usage("--timeout needs whole seconds 0.." +
                                 std::to_string(kMaxTimeoutSeconds) + ", not '" + *v + "'");
                options.timeoutSeconds = *seconds;
            } else if (name == "--trace" || name == "--report") {
                if (v->empty())
                    return Usage(name + " needs a file name");
                (name == "--trace" ? options.traceFile : options.reportFile) = *v;
            } else {
                onErrorGiven = true;
                if (*v == "ask")
                    options.onError = OnError::Ask;
                else if (*v == "continue")
                    options.onError = OnError::Continue;
                else if (*v == "stop")
                    options.onError = OnError::Stop;
                else
                    return Usage("--on-error must be ask, continue or stop, not '" + *v + "'");
                if (options.onError == OnError::Ask && !stdinIsTerminal)
                    return Usage("--on-error ask needs a terminal on standard input");
            }
        } else if (name.rfind("-", 0) == 0) {
            return Usage("unknown option '" + name + "'");
        } else {
            return Usage("unexpected argument '" + name + "'");
        }
    }

    if (quiet && verbose)
        return Usage("--quiet and --verbose exclude each other");
    if (options.json && !options.listPorts)
        return Usage("--json goes with --list-ports");
    if (options.ports.size() > 1) {
        // One terminal cannot answer several boards' questions at once.
        if (options.onError == OnError::Ask && onErrorGiven)
            return Usage("--on-error ask takes one port; with several, choose continue or stop");
        // Nobody can answer for several boards at one terminal: the default is stop then.
        if (options.onError == OnError::Ask)
            options.onError = OnError::Stop;
        if (options.traceFile)
            return Usage("--trace takes one port");
    }
    options.verbosity = quiet ? Verbosity::Quiet : verbose ? Verbosity::Verbose : Verbosity::Normal;
    return options;
}

std::optional<std::string> UsbSerialOf(const std::string& port) {
    if (port.rfind("usb:", 0) != 0)
        return std::nullopt;
    return port.substr(4);
}

std::optional<std::string> ApplyPort(const std::string& port, settings::Settings& settings) {
    if (AllDigits(port)) {
        settings.comPortIndex = *ToInt(port) - 1;
        return std::nullopt;
    }
    // The device replaces whatever the number maps to, but the run still sets a number first,
    // and "no entry chosen" (-1) would fail that.
    if (settings.comPortIndex < 0 || settings.comPortIndex >= settings::kPortCount)
        settings.comPortIndex = 0;
    return port;
}

void ApplyOptions(const Options& options, settings::Settings& settings) {
    if (options.baudIndex)
        settings.baudIndex = *options.baudIndex;
    // Naming an image on the command line chooses exactly the images named there.
    if (options.flashFile || options.eepromFile) {
        settings.flashCheck = options.flashFile ? 1 : 0;
        settings.eepromCheck = options.eepromFile ? 1 : 0;
        if (options.flashFile)
            settings.applicationFile = *options.flashFile;
        if (options.eepromFile)
            settings.eepromFile = *options.eepromFile;
    }
}

engine::RunOptions RunOptionsFor(const Options& options, bool stdinIsTerminal, engine::Millis now) {
    engine::RunOptions run;
    if (options.timeoutSeconds > 0)
        run.deadline = now + engine::Millis(static_cast<long long>(options.timeoutSeconds) * 1000);
    if (!stdinIsTerminal)
        run.readyLimit = kUnattendedReadyLimit;
    run.fastBaud = options.fastBaud;
    return run;
}

std::string HelpText() {
    std::ostringstream out;
    out << "Usage: tavo-flash [OPTION]...\n"
           "Send firmware images to a board's serial bootloader, as the window's \"Start "
           "Programming\" does.\n"
           "Settings come from the settings file; the options below override them.\n"
           "\n"
           "  --port N|DEVICE|usb:SERIAL\n"
           "                        port 1..8 (mapped through ports.txt, see --version), a\n"
           "                        device path such as /dev/ttyUSB0, or the port whose USB\n"
           "                        serial number is SERIAL; give --port several times to\n"
           "                        flash the same images into every board at once\n"
           "  --list-ports          list the serial ports of this machine and exit\n"
           "  --json                with --list-ports: print JSON\n"
           "  --baud RATE           one of: "
        << RateList()
        << "\n"
           "  --fast-baud RATE|auto|off\n"
           "                        with a bootloader that offers faster rates, switch to\n"
           "                        RATE, to the highest the port takes (auto, the default),\n"
           "                        or never (off)\n"
           "  --flash FILE          application image for Flash (Intel HEX)\n"
           "  --eeprom FILE         EEPROM image; naming --flash and/or --eeprom sends exactly\n"
           "                        the images named (EEPROM first when both)\n"
           "  --settings FILE       settings file to read (default: dazez.txt, see --version;\n"
           "                        never written; a missing file gives the defaults)\n"
           "  --on-error ask|continue|stop\n"
           "                        answer to the board's line errors (default: ask when\n"
           "                        standard input is a terminal and there is one port,\n"
           "                        stop otherwise)\n"
           "  --trace FILE          log every byte sent and received, with timestamps\n"
           "  --report FILE         append one JSON line per board and run: times, port,\n"
           "                        images with their SHA-256, answers, outcome\n"
           "  --timeout SECONDS     end the whole run after SECONDS as Ctrl+C would, with its\n"
           "                        own exit status (default 0: no limit)\n"
           "  -q, --quiet           print only failures and their reasons\n"
           "  -v, --verbose         print more detail (settings, timing)\n"
           "  -h, --help            show this help and exit\n"
           "      --version         show the program's title and version, and where its\n"
           "                        settings and port map are read from, and exit\n"
           "\n"
           "Ctrl+C cancels the run at its next checkpoint and closes the port; a second\n"
           "Ctrl+C ends the program at once. When standard input is not a terminal, a board\n"
           "that has not become ready 60 seconds into the handshake counts as no response.\n"
           "\n"
           "With several ports every board gets its own run; one that fails does not stop the\n"
           "others, and Ctrl+C cancels them all. The exit status is 0 when every board\n"
           "succeeded, otherwise that of the first failed board in command-line order.\n"
           "\n"
           "Exit status:\n";
    for (const auto& [code, meaning] : ExitCodeTable()) {
        std::string number = std::to_string(code);
        out << "  " << std::string(3 - number.size(), ' ') << number << "  " << meaning << "\n";
    }
    return out.str();
}

} // namespace tavo::flash
