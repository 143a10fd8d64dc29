#include "tools/bootsim/Options.h"

#include <charconv>
#include <functional>
#include <map>

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
    if (!line)
        return std::nullopt;
    LineFault fault{static_cast<int>(*line), 0};
    if (colon != std::string::npos) {
        auto tries = ParseNumber(std::string_view(text).substr(colon + 1), 1, 1'000'000);
        if (!tries)
            return std::nullopt;
        fault.tries = static_cast<int>(*tries);
    }
    return fault;
}

} // namespace

std::optional<std::string> Unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out.push_back(text[i]);
            continue;
        }
        if (++i >= text.size())
            return std::nullopt;
        switch (text[i]) {
        case '\\':
            out.push_back('\\');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 'r':
            out.push_back('\r');
            break;
        case 't':
            out.push_back('\t');
            break;
        case 'e':
            out.push_back('\x1b');
            break;
        case 'x': {
            if (i + 2 >= text.size())
                return std::nullopt;
            unsigned byte = 0;
            auto hex = std::string_view(text).substr(i + 1, 2);
            auto [ptr, ec] = std::from_chars(hex.data(), hex.data() + 2, byte, 16);
            if (ec != std::errc{} || ptr != hex.data() + 2)
                return std::nullopt;
            out.push_back(static_cast<char>(byte));
            i += 2;
            break;
        }
        default:
            return std::nullopt;
        }
    }
    return out;
}

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
    ParsedOptions result;
    Options options;
    auto& board = options.board;

    using Setter = std::function<bool(const std::string&)>;
    auto text = [](std::string& target) -> Setter {
        return [&target](const std::string& value) {
            auto bytes = Unescape(value);
            if (bytes)
                target = *bytes;
            return bytes.has_value();
        };
    };
    auto path = [](std::string& target) -> Setter {
        return [&target](const std::string& value) {
            target = value;
            return !value.empty();
        };
    };
    auto fault = [](std::vector<LineFault>& target) -> Setter {
        return [&target](const std::string& value) {
            auto f = ParseFault(value);
            if (f)
                target.push_back(*f);
            return f.has_value();
        };
    };
    const std::map<std::string, Setter> withValue{
        {"--path-file", path(options.pathFile)},
        {"--link", path(options.link)},
        {"--received", path(options.receivedFile)},
        {"--flash-out", path(options.flashOut)},
        {"--eeprom-out", path(options.eepromOut)},
        {"--settings-out", path(options.settingsOut)},
        {"--jump", text(board.jump)},
        {"--active", text(board.active)},
        {"--start", text(board.start)},
        {"--version-answer", text(board.ready)},
        {"--ready", text(board.ready)},
        {"--eeprom-write", text(board.eepromWrite)},
        {"--line-complete", text(board.lineComplete)},
        {"--page-error", text(board.pageError)},
        {"--checksum-error", text(board.checksumError)},
        {"--file-errors", text(board.fileErrors)},
        {"--file-ok", text(board.fileOk)},
        {"--noise", text(board.noise)},
        {"--fail-checksum", fault(board.checksumFaults)},
        {"--fail-page", fault(board.pageFaults)},
        {"--silent", fault(board.silentLines)},
        {"--fault-file",
         [&board](const std::string& value) {
             if (value == "flash")
                 board.faultMemory = Memory::Flash;
             else if (value == "eeprom")
                 board.faultMemory = Memory::Eeprom;
             else if (value == "any")
                 board.faultMemory.reset();
             else
                 return false;
             return true;
         }},
        {"--drop-after",
         [&board](const std::string& value) {
             auto k = ParseNumber(value, 1, 1'000'000);
             if (k)
                 board.dropAfterLine = static_cast<int>(*k);
             return k.has_value();
         }},
        {"--delay",
         [&options](const std::string& value) {
             auto ms = ParseNumber(value, 0, 600'000);
             if (ms)
                 options.delayMs = static_cast<int>(*ms);
             return ms.has_value();
         }},
        {"--chip",
         [&board](const std::string& value) {
             // What the extension announces: page, Flash below the boot section, EEPROM.
             if (value == "atmega328p")
                 board.page = 128, board.flashSize = 30720, board.eepromSize = 1024;
             else if (value == "atmega2560")
                 board.page = 256, board.flashSize = 253952, board.eepromSize = 4096;
             else
                 return false;
             return true;
         }},
        {"--stuck-cell",
         [&board](const std::string& value) {
             auto address = ParseNumber(value, 0, 0xFFFFFF);
             if (address)
                 board.stuckCell = static_cast<std::uint32_t>(*address);
             return address.has_value();
         }},
        {"--pace",
         [&options](const std::string& value) {
             if (value == "line") {
                 options.paceFromLine = true;
                 return true;
             }
             auto baud = ParseNumber(value, 1, 100'000'000);
             if (baud)
                 options.paceBaud = static_cast<unsigned long>(*baud);
             return baud.has_value();
         }},
    };
    const std::map<std::string, bool*> flags{
        {"--never-ready", &board.neverJump},         {"--active-only", &board.activeOnly},
        {"--exit-after-eof", &options.exitAfterEof}, {"--verbose", &options.verbose},
        {"--extension", &board.extension},           {"--rate-deaf", &options.rateDeaf},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (name == "--help" || name == "-h") {
            result.help = true;
            return result;
        }
        if (auto flag = flags.find(name); flag != flags.end() && !inlineValue) {
            *flag->second = true;
            continue;
        }
        auto option = withValue.find(name);
        if (option == withValue.end()) {
            result.error = "unknown option " + args[i];
            return result;
        }
        if (!inlineValue && i + 1 >= args.size()) {
            result.error = name + " needs a value";
            return result;
        }
        const std::string& value = inlineValue ? *inlineValue : args[++i];
        if (!option->second(value)) {
            result.error = "bad value for " + name + ": \"" + value + "\"";
            return result;
        }
    }

    // Noise must not be mistaken for an answer, nor stop the loader's output.
    for (char c : board.noise) {
        for (const auto* answer : {&board.lineComplete, &board.pageError, &board.checksumError,
                                   &board.fileErrors, &board.fileOk}) {
            if (answer->find(c) != std::string::npos) {
                result.error = "--noise holds a character of an answer";
                return result;
            }
        }
        if (c == '\x11' || c == '\x13') {
            result.error = "--noise holds XON or XOFF";
            return result;
        }
    }
    result.options = std::move(options);
    return result;
}

std::string HelpText() {
    return R"(Usage: tavo-bootsim [OPTIONS]

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

Device and output:
  --path-file FILE         also write the slave device's path to FILE (atomically)
  --link PATH              create a symlink PATH to the slave device (removed at exit)
  --received FILE          at exit, write every byte received, raw
  --flash-out FILE         at exit, write the bytes the Flash memory received as Intel HEX,
                           one record a line: data records of at most 16 bytes that never
                           cross a 16-byte boundary, an extended linear address record (type
                           04) wherever the upper 16 address bits change, the end-of-file
                           record last. Addresses never written do not appear, so two boards
                           that received the same bytes give the same file.
  --eeprom-out FILE        the same for the EEPROM memory
  --settings-out FILE      the slave's line settings while data flows, one key=value a line:
                           baud, parity, data, stop, ixon, ixoff, ixany, crtscts (1 or 0);
                           rewritten whenever they change. Changes are also logged on stderr.
  --verbose                log received records and answers on stderr

Protocol strings (TEXT takes the escapes \\ \n \r \t \e \xHH):
  --jump TEXT              Jump to Bootloader Command                   (default "$")
  --active TEXT            Bootloader Active answer                     (default "^")
  --start TEXT             Start Download Sequence                      (default "@&$")
  --version-answer TEXT    ready answer with the version; also --ready  (default "?V1.3")
  --eeprom-write TEXT      EEPROM Write command                         (default "*")
  --line-complete TEXT     Line Complete answer                         (default "~")
  --page-error TEXT        Page Error answer                            (default "%")
  --checksum-error TEXT    Checksum Error answer                        (default "-")
  --file-errors TEXT       File Complete with Errors answer             (default "#")
  --file-ok TEXT           File Complete, No Errors answer              (default "@")

Faults (K[:T] means line K, for its first T tries; without T, every try):
  --fail-checksum K[:T]    answer Checksum Error, write nothing (repeatable)
  --fail-page K[:T]        answer Page Error, write nothing (repeatable)
  --silent K[:T]           take the line but send no answer (repeatable)
  --fault-file WHICH       faults and --drop-after hit only files for flash or eeprom
                           (default any)
  --drop-after K           after answering line K, ignore all further input and, 200 ms
                           later (time for the loader to read the answer), close the device
                           and exit
  --never-ready            the application never jumps (no answer at all)
  --active-only            jumps and answers the active string, never gets ready
  --delay MS               wait MS milliseconds before each answer
  --pace BAUD|line         each byte in and out costs 10 bits of wire time at BAUD (or at the
                           rate the slave side is set to)
  --noise TEXT             send TEXT before every line answer (no answer characters allowed)

Extension (docs/extension.md):
  --extension              announce the capabilities in the ready answer
                           (";X1,P128,L128,A30720,E1024,R500000,R1000000" after the version)
                           and take SET RATE, CONFIRM and CHECK
  --chip NAME              the chip whose page, Flash and EEPROM sizes are announced:
                           atmega328p (default; P128, A30720, E1024) or atmega2560 (P256,
                           A253952, E4096)
  --stuck-cell ADDR        a Flash cell (decimal address) that keeps 0xFF whatever is written
  --rate-deaf              after a rate switch nothing the loader sends arrives, as through
                           an adapter that cannot make the rate; the board falls back

Ending:
  --exit-after-eof         exit once a download is complete (200 ms after its last answer)
  Otherwise it exits when the slave side is closed after a complete download, on SIGTERM or
  SIGINT, or after --drop-after. Output files are written on every exit.
  Exit status 0; 1 on a failure to set up; 2 on a bad command line.
)";
}

} // namespace tavo::bootsim
