#include "settings/SettingsFile.h"

#include "settings/FileAccess.h"

#include <array>
#include <charconv>
#include <istream>
#include <ostream>
#include <sstream>
#include <string_view>
#include <utility>

namespace tavo::settings {

namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr int kRecordCount = 16;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// Reads the file record by record. A record ends at a line end (CR, LF or CRLF, each one line
// end), at a comma outside quotes, or at the end of the input.
class RecordReader {
public:
    explicit RecordReader(std::istream& in) : in_(in) { SkipByteOrderMark(); }

    // The next record's value, or nullopt when the input ends before a record starts, ends
    // inside quotes, or fails to read.
    std::optional<std::string> Next() {
        if (AtEnd()) {
            return std::nullopt;
        }
        std::string raw;
        while (!AtEnd() && IsBlank(Peek())) {
            raw.push_back(Take());
        }
        if (!AtEnd() && Peek() == '"') {
            Take();
            return Quoted();
        }
        while (!AtEnd()) {
            const char c = Take();
            if (c == ',' || EndsLine(c)) {
                break;
            }
            raw.push_back(c);
        }
        if (in_.bad()) {
            return std::nullopt;
        }
        return std::string(Trimmed(raw));
    }

private:
    // Editors on some systems put a UTF-8 marker in front of the text; it belongs to no record.
    void SkipByteOrderMark() {
        static constexpr std::string_view kMark = "\xEF\xBB\xBF";
        if (AtEnd() || Peek() != kMark[0]) {
            return;
        }
        std::string taken;
        for (const char expected : kMark) {
            if (AtEnd() || Peek() != expected) {
                break;
            }
            taken.push_back(Take());
        }
        // A partial mark is ordinary text: give back what was taken.
        if (taken.size() != kMark.size()) {
            for (auto it = taken.rbegin(); it != taken.rend(); ++it) {
                in_.putback(*it);
            }
        }
    }

    // After the opening quote: runs to the closing quote (a doubled quote is one literal
    // quote, line ends and commas are text); what follows up to the separator is ignored.
    std::optional<std::string> Quoted() {
        std::string text;
        for (;;) {
            if (AtEnd()) {
                return std::nullopt;
            }
            const char c = Take();
            if (c != '"') {
                text.push_back(c);
                continue;
            }
            if (!AtEnd() && Peek() == '"') {
                text.push_back(Take());
                continue;
            }
            break;
        }
        while (!AtEnd()) {
            const char c = Take();
            if (c == ',' || EndsLine(c)) {
                break;
            }
        }
        if (in_.bad()) {
            return std::nullopt;
        }
        return text;
    }

    // Called with a character just taken; swallows the LF of a CRLF pair.
    bool EndsLine(char c) {
        if (c == '\n') {
            return true;
        }
        if (c != '\r') {
            return false;
        }
        if (!AtEnd() && Peek() == '\n') {
            Take();
        }
        return true;
    }

    bool AtEnd() { return in_.peek() == std::istream::traits_type::eof(); }
    char Peek() { return std::istream::traits_type::to_char_type(in_.peek()); }
    char Take() { return std::istream::traits_type::to_char_type(in_.get()); }

    std::istream& in_;
};

enum class NumberKind { Integer, Fraction, Other };

struct ParsedNumber {
    NumberKind kind = NumberKind::Other;
    bool inRange = false; // the integer fits a long long
    long long value = 0;
};

// A decimal integer with an optional sign, blanks around it allowed. A decimal fraction is told
// apart from a word: for a list index it is a number the list refuses, not text.
ParsedNumber ParseNumber(std::string_view text) {
    text = Trimmed(text);
    ParsedNumber result;
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) {
        digits.remove_prefix(1);
    }
    const auto dot = digits.find('.');
    const std::string_view whole = digits.substr(0, dot);
    const std::string_view part = dot == std::string_view::npos ? "" : digits.substr(dot + 1);
    const auto allDigits = [](std::string_view s) {
        return s.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (!allDigits(whole) || !allDigits(part) || whole.size() + part.size() == 0) {
        return result;
    }
    if (dot != std::string_view::npos) {
        result.kind = NumberKind::Fraction;
        return result;
    }
    result.kind = NumberKind::Integer;
    const bool negative = text.front() == '-';
    unsigned long long magnitude = 0;
    const auto [end, error] = std::from_chars(whole.data(), whole.data() + whole.size(), magnitude);
    if (error != std::errc{} || end != whole.data() + whole.size()) {
        return result;
    }
    if (magnitude > 1'000'000'000ULL) {
        return result; // far outside any range asked for; keeps the sign flip safe
    }
    result.inRange = true;
    result.value =
        negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    return result;
}

// Records 1 and 2: text that is not a number selects the first entry; a number must be -1 or a
// position of the list.
std::optional<int> ListIndex(std::string_view text, int count) {
    const ParsedNumber number = ParseNumber(text);
    if (number.kind == NumberKind::Other) {
        return 0;
    }
    if (number.kind != NumberKind::Integer || !number.inRange || number.value < -1 ||
        number.value >= count) {
        return std::nullopt;
    }
    return static_cast<int>(number.value);
}

// Records 15 and 16: must be an integer the check box takes (0, 1 or 2).
std::optional<int> CheckValue(std::string_view text) {
    const ParsedNumber number = ParseNumber(text);
    if (number.kind != NumberKind::Integer || !number.inRange || number.value < 0 ||
        number.value > 2) {
        return std::nullopt;
    }
    return static_cast<int>(number.value);
}

void WriteText(std::ostream& out, std::string_view text) {
    out << '"';
    for (const char c : text) {
        if (c == '"') {
            out << '"';
        }
        out << c;
    }
    out << '"' << kLineEnd;
}

void WriteNumber(std::ostream& out, int value) {
    out << std::to_string(value) << kLineEnd;
}

} // namespace

std::optional<Settings> ReadSettings(std::istream& in) {
    RecordReader reader(in);
    std::array<std::string, kRecordCount> records;
    for (auto& record : records) {
        auto next = reader.Next();
        if (!next) {
            return std::nullopt;
        }
        record = std::move(*next);
    }

    Settings settings;
    const auto port = ListIndex(records[0], kPortCount);
    const auto baud = ListIndex(records[1], kBaudCount);
    const auto eeprom = CheckValue(records[14]);
    const auto flash = CheckValue(records[15]);
    if (!port || !baud || !eeprom || !flash) {
        return std::nullopt;
    }
    settings.comPortIndex = *port;
    settings.baudIndex = *baud;
    settings.applicationFile = records[2];
    settings.startDownloadSequence = records[3];
    settings.bootloaderReady = records[4];
    settings.jumpCommand = records[5];
    settings.bootloaderActive = records[6];
    settings.pageError = records[7];
    settings.fileCompleteWithErrors = records[8];
    settings.fileCompleteNoErrors = records[9];
    settings.checksumError = records[10];
    settings.lineComplete = records[11];
    settings.eepromFile = records[12];
    settings.eepromWrite = records[13];
    settings.eepromCheck = *eeprom;
    settings.flashCheck = *flash;
    return settings;
}

void WriteSettings(std::ostream& out, const Settings& settings) {
    WriteNumber(out, settings.comPortIndex);
    WriteNumber(out, settings.baudIndex);
    WriteText(out, settings.applicationFile);
    WriteText(out, settings.startDownloadSequence);
    WriteText(out, settings.bootloaderReady);
    WriteText(out, settings.jumpCommand);
    WriteText(out, settings.bootloaderActive);
    WriteText(out, settings.pageError);
    WriteText(out, settings.fileCompleteWithErrors);
    WriteText(out, settings.fileCompleteNoErrors);
    WriteText(out, settings.checksumError);
    WriteText(out, settings.lineComplete);
    WriteText(out, settings.eepromFile);
    WriteText(out, settings.eepromWrite);
    WriteNumber(out, settings.eepromCheck);
    WriteNumber(out, settings.flashCheck);
}

Settings LoadSettings(const std::string& path) {
    if (const auto bytes = ReadSmallFile(path)) {
        std::istringstream in(*bytes);
        if (auto settings = ReadSettings(in)) {
            return *settings;
        }
    }
    Settings defaults;
    LoadDefaults(defaults);
    return defaults;
}

bool SaveSettings(const std::string& path, const Settings& settings) {
    std::ostringstream out;
    WriteSettings(out, settings);
    return SaveFile(path, out.str());
}

std::string SaveErrorMessage(const std::string& path) {
    return "An error occured while saving file " + path;
}

} // namespace tavo::settings
