#include "tools/bootsim/Options.h"

#include <charconv>
#include <functional>
#include <getopt.h>
#include <tuple>

namespace tavo::bootsim {

namespace {

std::optional<long> ParseNumber(std::string_view text, long min, long max) {
    long value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || ptr != text.data() + text.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

// "K" or "K:T".
std::optional<LineFault> ParseFault(const std::string& text) {
    auto colon = text.find(':');
    auto line = ParseNumber(std::string_view(text).substr(0, colon), 1, 1'000'000);
    auto tries = colon == std::string::npos
                     ? 0
                     : ParseNumber(std::string_view(text).substr(colon + 1), 1, 1'000'000);
    if (!line || !tries)
        return std::nullopt;
    return LineFault{static_cast<int>(*line), static_cast<int>(*tries)};
}

// Takes an option's value (empty for a flag); false when the value is not usable.
using Setter = std::function<bool(Options&, const std::string&)>;

template <class T> constexpr bool kRepeatable = false;
template <class T> constexpr bool kRepeatable<std::vector<T>> = true;

// Stores what `parse` makes of the value in a field of the options or of their board; a list
// field gains it.
template <class Owner, class T, class Parse> Setter Into(T Owner::*field, Parse parse) {
    return [=](Options& o, const std::string& value) {
        auto& target = std::get<Owner*>(std::tuple<Options*, BoardConfig*>{&o, &o.board})->*field;
        auto parsed = parse(value);
        if (!parsed)
            return false;
        if constexpr (kRepeatable<T>)
            target.push_back(*parsed);
        else
            target = static_cast<T>(*parsed);
        return true;
    };
}

std::optional<bool> Set(const std::string&) {
    return true;
}
std::optional<std::string> NonEmpty(const std::string& value) {
    return value.empty() ? std::nullopt : std::optional(value);
}
auto Range(long min, long max) {
    return [=](const std::string& value) { return ParseNumber(value, min, max); };
}

// The memory whose files the faults hit; "any" for both.
std::optional<std::optional<Memory>> FaultFile(const std::string& value) {
    if (value == "flash" || value == "eeprom")
        return value == "flash" ? Memory::Flash : Memory::Eeprom;
    return value == "any" ? std::optional<std::optional<Memory>>(std::in_place) : std::nullopt;
}

bool SetPace(Options& o, const std::string& value) {
    auto baud = ParseNumber(value, 1, 100'000'000);
    o.paceFromLine = value == "line";
    o.paceBaud = baud.value_or(o.paceBaud);
    return baud || o.paceFromLine;
}

// What the extension announces for each chip our bootloader runs on: its page, the Flash below
// the boot section, the EEPROM.
bool SetChip(Options& o, const std::string& value) {
    auto& b = o.board;
    if (value == "atmega328p")
        b.page = 128, b.flashSize = 28672, b.eepromSize = 1024;
    else if (value == "atmega2560")
        b.page = 256, b.flashSize = 258048, b.eepromSize = 4096;
    else
        return false;
    return true;
}

// One row of the command line: an option with what its value is called in the help (none for a
// flag), its help (further lines are indented under the first; none for an alias) and what it
// sets. A row without a name is a line of the help text as it stands. Adding an option is adding
// its row.
struct Row {
    const char* name;
    const char* value;
    const char* help;
    Setter set = {};
};

const std::vector<Row>& Table() {
    using B = BoardConfig;
    using O = Options;
    static const std::vector<Row> rows{
        {nullptr, nullptr, "Device and output:"},
        {"path-file", "FILE", "also write the slave device's path to FILE (atomically)",
         Into(&O::pathFile, NonEmpty)},
        {"link", "PATH", "create a symlink PATH to the slave device (removed at exit)",
         Into(&O::link, NonEmpty)},
        {"received", "FILE", "at exit, write every byte received, raw",
         Into(&O::receivedFile, NonEmpty)},
        {"flash-out", "FILE",
         "at exit, write the bytes the Flash memory received as Intel HEX,\n"
         "one record a line: data records of at most 16 bytes that never\n"
         "cross a 16-byte boundary, an extended linear address record (type\n"
         "04) wherever the upper 16 address bits change, the end-of-file\n"
         "record last. Addresses never written do not appear, so two boards\n"
         "that received the same bytes give the same file.",
         Into(&O::flashOut, NonEmpty)},
        {"eeprom-out", "FILE", "the same for the EEPROM memory", Into(&O::eepromOut, NonEmpty)},
        {"settings-out", "FILE",
         "the slave's line settings while data flows, one key=value a line:\n"
         "baud, parity, data, stop, ixon, ixoff, ixany, crtscts (1 or 0);\n"
         "rewritten whenever they change. Changes are also logged on stderr.",
         Into(&O::settingsOut, NonEmpty)},
        {"verbose", nullptr, "log received records and answers on stderr", Into(&O::verbose, Set)},
        {nullptr, nullptr,
         "\nProtocol strings (TEXT takes the escapes \\\\ \\n \\r \\t \\e \\xHH):"},
        {"jump", "TEXT", "Jump to Bootloader Command (default \"$\")", Into(&B::jump, Unescape)},
        {"active", "TEXT", "Bootloader Active answer (default \"^\")", Into(&B::active, Unescape)},
        {"start", "TEXT", "Start Download Sequence (default \"@&$\")", Into(&B::start, Unescape)},
        {"version-answer", "TEXT",
         "ready answer with the version; also --ready (default \"?V1.3\")",
         Into(&B::ready, Unescape)},
        {"ready", "TEXT", nullptr, Into(&B::ready, Unescape)},
        {"eeprom-write", "TEXT", "EEPROM Write command (default \"*\")",
         Into(&B::eepromWrite, Unescape)},
        {"line-complete", "TEXT", "Line Complete answer (default \"~\")",
         Into(&B::lineComplete, Unescape)},
        {"page-error", "TEXT", "Page Error answer (default \"%\")", Into(&B::pageError, Unescape)},
        {"checksum-error", "TEXT", "Checksum Error answer (default \"-\")",
         Into(&B::checksumError, Unescape)},
        {"file-errors", "TEXT", "File Complete with Errors answer (default \"#\")",
         Into(&B::fileErrors, Unescape)},
        {"file-ok", "TEXT", "File Complete, No Errors answer (default \"@\")",
         Into(&B::fileOk, Unescape)},
        {nullptr, nullptr,
         "\nFaults (K[:T] means line K, for its first T tries; without T, every try):"},
        {"fail-checksum", "K[:T]", "answer Checksum Error, write nothing (repeatable)",
         Into(&B::checksumFaults, ParseFault)},
        {"fail-page", "K[:T]", "answer Page Error, write nothing (repeatable)",
         Into(&B::pageFaults, ParseFault)},
        {"silent", "K[:T]", "take the line but send no answer (repeatable)",
         Into(&B::silentLines, ParseFault)},
        {"fault-file", "WHICH",
         "faults and --drop-after hit only files for flash or eeprom\n(default any)",
         Into(&B::faultMemory, FaultFile)},
        {"drop-after", "K",
         "after answering line K, ignore all further input and, 200 ms\n"
         "later (time for the loader to read the answer), close the device\nand exit",
         Into(&B::dropAfterLine, Range(1, 1'000'000))},
        {"never-ready", nullptr, "the application never jumps (no answer at all)",
         Into(&B::neverJump, Set)},
        {"active-only", nullptr, "jumps and answers the active string, never gets ready",
         Into(&B::activeOnly, Set)},
        {"delay", "MS", "wait MS milliseconds before each answer",
         Into(&O::delayMs, Range(0, 600'000))},
        {"pace", "BAUD|line",
         "each byte in and out costs 10 bits of wire time at BAUD (or at the\n"
         "rate the slave side is set to)",
         SetPace},
        {"latency-ms", "N",
         "model a USB adapter's latency timer: answers reach the loader only\n"
         "N ms after the first of them that it holds (at once when it holds\n"
         "62 bytes); 0, the default, for none",
         Into(&O::latencyMs, Range(0, 1000))},
        {"noise", "TEXT", "send TEXT before every line answer (no answer characters allowed)",
         Into(&B::noise, Unescape)},
        {nullptr, nullptr, "\nExtension (docs/extension.md):"},
        {"extension", nullptr,
         "announce the capabilities in the ready answer (\";X1,P128,...\" after\n"
         "the version) and take SET RATE, CONFIRM and CHECK",
         Into(&B::extension, Set)},
        {"chip", "NAME",
         "the chip whose page, Flash and EEPROM sizes are announced:\n"
         "atmega328p (default; P128, A28672, E1024) or atmega2560 (P256,\n"
         "A258048, E4096), as our bootloader on each",
         SetChip},
        {"stuck-cell", "ADDR", "a Flash cell that keeps 0xFF whatever is written",
         Into(&B::stuckCell, Range(0, 0xFFFFFF))},
        {"rate-deaf", nullptr,
         "after a rate switch nothing the loader sends arrives, as through an\n"
         "adapter that cannot make the rate; the board falls back",
         Into(&O::rateDeaf, Set)},
        {nullptr, nullptr, "\nEnding:"},
        {"exit-after-eof", nullptr,
         "exit once a download is complete (200 ms after its last answer)",
         Into(&O::exitAfterEof, Set)},
        {nullptr, nullptr,
         "  Otherwise it exits when the slave side is closed after a complete download, on\n"
         "  SIGTERM or SIGINT, or after --drop-after. Output files are written on every exit.\n"
         "  Exit status 0; 1 on a failure to set up; 2 on a bad command line."},
    };
    return rows;
}

// getopt_long's value for row i; above every character, so no short option collides.
constexpr int kFirstRow = 256;

} // namespace

std::optional<std::string> Unescape(const std::string& text) {
    constexpr std::string_view kNames = "\\nrte", kBytes = "\\\n\r\t\x1b";
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out.push_back(text[i]);
            continue;
        }
        if (++i >= text.size())
            return std::nullopt;
        if (auto k = kNames.find(text[i]); k != std::string_view::npos) {
            out.push_back(kBytes[k]);
            continue;
        }
        unsigned byte = 0;
        auto hex = std::string_view(text).substr(i + 1, 2);
        auto [ptr, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), byte, 16);
        if (text[i] != 'x' || hex.size() != 2 || ec != std::errc{} || ptr != hex.data() + 2)
            return std::nullopt;
        out.push_back(static_cast<char>(byte));
        i += 2;
    }
    return out;
}

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
    ParsedOptions result;
    Options options;
    const auto& rows = Table();
    std::vector<option> longOptions{{"help", no_argument, nullptr, 'h'}};
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].name)
            longOptions.push_back({rows[i].name, rows[i].value ? required_argument : no_argument,
                                   nullptr, kFirstRow + static_cast<int>(i)});
    longOptions.push_back({});
    std::vector<std::string> words{"tavo-bootsim"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    auto name = [&](int value) { return "--" + std::string(rows[value - kFirstRow].name); };

    // "+": stop at the first word that is no option; ":": tell a missing value from an unknown
    // option. getopt_long prints nothing: the caller says what went wrong.
    opterr = 0;
    optind = 0; // from the start, for a parser called more than once
    for (int at = 1; result.error.empty(); at = optind) {
        int value = ::getopt_long(static_cast<int>(words.size()), argv.data(), "+:h",
                                  longOptions.data(), nullptr);
        std::string text = optarg ? optarg : "";
        if (value == -1 && optind < static_cast<int>(words.size()))
            result.error = "unknown option " + words[optind];
        else if (value == -1)
            break;
        else if (value == 'h')
            return {std::nullopt, true, {}};
        else if (value == ':')
            result.error = (optopt >= kFirstRow ? name(optopt) : words[at]) + " needs a value";
        else if (value >= kFirstRow && words[at].find_first_of('=') != name(value).size() &&
                 words[at].size() != name(value).size())
            result.error = "unknown option " + words[at]; // an abbreviation: names are whole
        else if (value == '?')
            result.error = optopt >= kFirstRow ? name(optopt) + " takes no value"
                                               : "unknown option " + words[at];
        else if (!rows[value - kFirstRow].set(options, text))
            result.error = "bad value for " + name(value) + ": \"" + text + "\"";
    }
    if (!result.error.empty())
        return result;

    // Noise must not be mistaken for an answer, nor stop the loader's output.
    const auto& b = options.board;
    auto answers = b.lineComplete + b.pageError + b.checksumError + b.fileErrors + b.fileOk;
    if (b.noise.find_first_of(answers) != std::string::npos)
        result.error = "--noise holds a character of an answer";
    else if (b.noise.find_first_of("\x11\x13") != std::string::npos)
        result.error = "--noise holds XON or XOFF";
    else
        result.options = std::move(options);
    return result;
}

std::string HelpText() {
    std::string help = R"(Usage: tavo-bootsim [OPTIONS]

A simulated target board on a pseudo-terminal. Prints the slave device's path as the first line
of its output, then answers like the board: the running application jumps into the bootloader on
the jump command, the bootloader answers the start-download sequence with its ready text and
takes Intel HEX records, answering each one.

Records are read by their own length field; anything between records other than the commands
below is ignored. Each record is checked and answered with Line Complete, or Checksum Error when
its checksum is wrong or it is malformed (including a line cut short by the next ':'). The
end-of-file record (type 01) is answered with File Complete No Errors, or File Complete with
Errors if a line of the file failed and was not written correctly later. The EEPROM-write command
sends the next file to EEPROM; followed directly by "!" it means a Flash file comes after it.
The start-download sequence seen again between records starts over (answering ready again).

Data records are placed by the extended address records: after a type 02 record (and before
any extended record) at segment base + offset, the 16-bit offset wrapping within its 64 KiB;
after a type 04 record at linear base + offset, wrapping at 4 GiB.

Line numbers (K) count the records of the current file from 1; a record written again right after
an error or a missing answer is the same line once more (its next try). Once the last file of a
download is complete the board runs its application again.

)";
    // Each option's help in a column of its own, its further lines under its first.
    constexpr std::size_t kColumn = 27;
    for (const auto& row : Table()) {
        if (!row.name || !row.help) {
            help += row.help ? std::string(row.help) + '\n' : "";
            continue;
        }
        std::string head = "  --" + std::string(row.name) + (row.value ? " " : "");
        head += row.value ? row.value : "";
        std::string text = row.help;
        for (auto at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
            text.insert(at + 1, kColumn, ' ');
        help +=
            head +
            std::string(std::max<std::size_t>(1, kColumn - std::min(kColumn, head.size())), ' ') +
            text + '\n';
    }
    return help;
}

} // namespace tavo::bootsim
