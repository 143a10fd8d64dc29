#include "cli/Options.h"

#include "cli/ExitCode.h"
#include "engine/SerialLink.h"
#include "settings/Settings.h"

#include <QCommandLineParser>

#include <charconv>
#include <sstream>

namespace tavo::flash {

namespace {

// Arguments go through Qt byte for byte: a path need not be valid UTF-8.
QString Bytes(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}
std::string Bytes(const QString& text) {
    return text.toLatin1().toStdString();
}

// Whole non-negative numbers only: no sign, no spaces.
std::optional<int> Number(const std::string& text) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || text[0] == '-' || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string RateList() {
    std::string list;
    for (int i = 0; i < settings::kBaudCount; ++i)
        if (auto line = engine::LineSettingsForBaudIndex(i))
            if (auto rate = engine::BaudFromLineSettings(*line))
                list += (list.empty() ? "" : " ") + std::to_string(*rate);
    return list;
}

// A year: far beyond any run, and far from overflowing the clock's milliseconds.
constexpr int kMaxTimeoutSeconds = 366 * 24 * 3600;

UsageError Usage(const std::string& text) {
    return UsageError{"tavo-flash: " + text + "\nTry 'tavo-flash --help' for more information."};
}

// What the parser accepts and what --help says of it.
std::vector<QCommandLineOption> Table() {
    auto option = [](QStringList names, const std::string& about, const char* value = "") {
        return QCommandLineOption(names, Bytes(about), value);
    };
    return {
        option({"port"},
               "port 1..8 (mapped through ports.txt, see --version), a device path such as "
               "/dev/ttyUSB0, or the port whose USB serial number is SERIAL; give --port several "
               "times to flash the same images into every board at once",
               "N|DEVICE|usb:SERIAL"),
        option({"list-ports"}, "list the serial ports of this machine and exit"),
        option({"json"}, "with --list-ports: print JSON"),
        option({"baud"}, "one of: " + RateList(), "RATE"),
        option({"flash"}, "application image for Flash (Intel HEX)", "FILE"),
        option({"eeprom"},
               "EEPROM image; naming --flash and/or --eeprom sends exactly the images named "
               "(EEPROM first when both)",
               "FILE"),
        option({"settings"},
               "settings file to read (default: dazez.txt, see --version; never written; a "
               "missing file gives the defaults)",
               "FILE"),
        option({"on-error"},
               "answer to the board's line errors (default: ask when standard input is a "
               "terminal and there is one port, stop otherwise)",
               "ask|continue|stop"),
        option({"trace"}, "log every byte sent and received, with timestamps", "FILE"),
        option({"report"},
               "append one JSON line per board and run: times, port, images with their SHA-256, "
               "answers, outcome",
               "FILE"),
        option({"timeout"},
               "end the whole run after SECONDS as Ctrl+C would, with its own exit status "
               "(default 0: no limit)",
               "SECONDS"),
        option({"fast-baud"},
               "after the handshake, switch to a faster line rate the board offers: auto (the "
               "default) takes the highest this port accepts, RATE only that one, off never "
               "switches",
               "RATE|auto|off"),
        option({"plain"},
               "speak to every board as to one that offers nothing more: line by line, no "
               "check, no faster rate (the board's offer is still recorded)"),
        option({"serial-counter"},
               "give every board its own number: FILE holds the next one as decimal text and "
               "moves past it before the board is flashed (locked, so benches may share it)",
               "FILE"),
        option({"serial-list"},
               "give every board the next unused value of FILE (one a line); used values are "
               "kept in FILE.used",
               "FILE"),
        option({"serial-at"},
               "where the value goes (decimal or 0x hex), as one more data record of that image; "
               "eeprom: without an EEPROM image sends an EEPROM image of that record alone",
               "eeprom:ADDRESS|flash:ADDRESS"),
        option({"serial-format"},
               "how the value is written (default u32le); ascii:N is N decimal digits, hex:N N "
               "hex digits two a byte",
               "u16le|u16be|u32le|u32be|u64le|ascii:N|hex:N"),
        option({"q", "quiet"}, "print only failures and their reasons"),
        option({"v", "verbose"}, "print more detail (settings, timing)"),
        option({"h", "help"}, "show this help and exit"),
        option({"version"}, "show the program's title and version, and where its settings and "
                            "port map are read from, and exit"),
    };
}

// One entry of the help: `left` in the first column, `text` wrapped into the second.
std::string HelpRow(const std::string& left, const std::string& text) {
    constexpr std::size_t kColumn = 24, kWidth = 79;
    const std::string indent(kColumn, ' ');
    std::string row = left.size() + 2 > kColumn ? left + "\n" + indent
                                                : left + std::string(kColumn - left.size(), ' ');
    std::size_t used = kColumn;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (used > kColumn && used + 1 + word.size() > kWidth) {
            row += "\n" + indent;
            used = kColumn;
        }
        if (used > kColumn) {
            row += ' ';
            ++used;
        }
        row += word;
        used += word.size();
    }
    return row + "\n";
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

std::variant<Options, UsageError> ParseOptions(const std::vector<std::string>& args,
                                               bool stdinIsTerminal) {
    const auto table = Table();
    QCommandLineParser parser;
    parser.addOptions(QList<QCommandLineOption>(table.begin(), table.end()));
    QStringList list{"tavo-flash"};
    for (const auto& arg : args)
        list << Bytes(arg);
    if (!parser.parse(list)) {
        if (auto unknown = parser.unknownOptionNames(); !unknown.isEmpty()) {
            auto name = Bytes(unknown.first());
            return Usage("unknown option '" + std::string(name.size() == 1 ? "-" : "--") + name +
                         "'");
        }
        // A value missing or one too many; Qt names the option in quotes, the words are ours.
        auto error = Bytes(parser.errorText());
        auto open = error.find('\''), close = error.rfind('\'');
        auto name = open < close ? error.substr(open + 1, close - open - 1) : error;
        bool takesValue = false;
        for (const auto& o : table)
            takesValue |= !o.valueName().isEmpty() &&
                          o.names().contains(Bytes(name.substr(name.find_first_not_of('-'))));
        return Usage("option '" + name + "' " + (takesValue ? "needs a value" : "takes no value"));
    }
    if (auto extra = parser.positionalArguments(); !extra.isEmpty())
        return Usage("unexpected argument '" + Bytes(extra.first()) + "'");
    auto value = [&](const char* name) -> std::optional<std::string> {
        if (!parser.isSet(name))
            return std::nullopt;
        return Bytes(parser.value(name));
    };

    Options options;
    for (const auto& qport : parser.values("port")) {
        auto port = Bytes(qport);
        if (port.empty())
            return Usage("--port needs a port number 1..8, a device path or usb:SERIAL");
        // A bare number can only mean a port of the list; there is no device "9".
        if (port.find_first_not_of("0123456789") == std::string::npos) {
            auto n = Number(port);
            if (!n || *n < 1 || *n > settings::kPortCount)
                return Usage("port number '" + port + "' is not 1..8");
        }
        if (port == "usb:")
            return Usage("--port usb: needs the USB serial number after the colon");
        // Two runs on one port would fight over it.
        for (const auto& earlier : options.ports)
            if (earlier == port)
                return Usage("--port " + port + " is given twice");
        options.ports.push_back(port);
    }
    if (auto baud = value("baud")) {
        auto rate = Number(*baud);
        options.baudIndex = rate ? BaudIndexForRate(*rate) : std::nullopt;
        if (!options.baudIndex)
            return Usage("baud rate '" + *baud + "' is not one of " + RateList());
    }
    if (auto timeout = value("timeout")) {
        auto seconds = Number(*timeout);
        if (!seconds || *seconds > kMaxTimeoutSeconds)
            return Usage("--timeout needs whole seconds 0.." + std::to_string(kMaxTimeoutSeconds) +
                         ", not '" + *timeout + "'");
        options.timeoutSeconds = *seconds;
    }
    if (auto fast = value("fast-baud")) {
        using Mode = engine::FastBaud::Mode;
        auto rate = Number(*fast);
        if (*fast == "auto" || *fast == "off")
            options.fastBaud = {*fast == "auto" ? Mode::Auto : Mode::Off, 0};
        else if (rate && *rate > 0)
            options.fastBaud = {Mode::Rate, *rate};
        else
            return Usage("--fast-baud needs a rate, auto or off, not '" + *fast + "'");
    }
    options.traceFile = value("trace");
    options.reportFile = value("report");
    for (const char* name : {"trace", "report"})
        if (value(name) == "")
            return Usage("--" + std::string(name) + " needs a file name");
    options.flashFile = value("flash");
    options.eepromFile = value("eeprom");
    options.settingsFile = value("settings");

    // A value of its own for every board.
    std::string identityArgs[4];
    const char* identityNames[4] = {"serial-counter", "serial-list", "serial-at", "serial-format"};
    for (int i = 0; i < 4; ++i) {
        if (parser.values(identityNames[i]).size() > 1)
            return Usage("--" + std::string(identityNames[i]) + " is given twice");
        if (value(identityNames[i]) == "")
            return Usage("option '--" + std::string(identityNames[i]) + "' needs a value");
        identityArgs[i] = value(identityNames[i]).value_or("");
    }
    auto identity =
        ParseIdentityOptions(identityArgs[0], identityArgs[1], identityArgs[2], identityArgs[3]);
    if (auto* error = std::get_if<std::string>(&identity))
        return Usage(*error);
    options.identity = std::get<std::optional<IdentityOptions>>(identity);

    auto onError = value("on-error");
    options.onError = stdinIsTerminal ? OnError::Ask : OnError::Stop;
    if (onError == "continue")
        options.onError = OnError::Continue;
    else if (onError == "stop")
        options.onError = OnError::Stop;
    else if (onError == "ask" && !stdinIsTerminal)
        return Usage("--on-error ask needs a terminal on standard input");
    else if (onError && onError != "ask")
        return Usage("--on-error must be ask, continue or stop, not '" + *onError + "'");

    options.help = parser.isSet("help");
    options.version = parser.isSet("version");
    options.listPorts = parser.isSet("list-ports");
    options.json = parser.isSet("json");
    options.plain = parser.isSet("plain");
    bool quiet = parser.isSet("quiet"), verbose = parser.isSet("verbose");
    if (quiet && verbose)
        return Usage("--quiet and --verbose exclude each other");
    options.verbosity = quiet ? Verbosity::Quiet : verbose ? Verbosity::Verbose : Verbosity::Normal;
    if (options.json && !options.listPorts)
        return Usage("--json goes with --list-ports");
    if (options.ports.size() > 1) {
        // One terminal cannot answer several boards' questions at once.
        if (onError == "ask")
            return Usage("--on-error ask takes one port; with several, choose continue or stop");
        // Nobody can answer for several boards at one terminal: the default is stop then.
        if (options.onError == OnError::Ask)
            options.onError = OnError::Stop;
        if (options.traceFile)
            return Usage("--trace takes one port");
    }
    return options;
}

std::string HelpText() {
    std::string text =
        "Usage: tavo-flash [OPTION]...\n"
        "Send firmware images to a board's serial bootloader, as the window's \"Start "
        "Programming\" does.\n"
        "Settings come from the settings file; the options below override them.\n\n";
    for (const auto& option : Table()) {
        std::string left = " ";
        for (const auto& name : option.names())
            left += (left.size() > 1 ? ", " : " ") + std::string(name.size() == 1 ? "-" : "--") +
                    Bytes(name);
        if (!option.valueName().isEmpty())
            left += " " + Bytes(option.valueName());
        text += HelpRow(left, Bytes(option.description()));
    }
    text += "\n"
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
        text += "  " + std::string(3 - number.size(), ' ') + number + "  " + meaning + "\n";
    }
    return text;
}

} // namespace tavo::flash
