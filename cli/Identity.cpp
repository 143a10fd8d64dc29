#include "cli/Identity.h"

#include "engine/Extension.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

namespace tavo::flash {

namespace {

using Kind = IdentityFormat::Kind;

IdentityError Error(std::string text) {
    return IdentityError{std::move(text)};
}

std::string SystemError() {
    return std::strerror(errno);
}

std::string Hex(std::uint64_t value, int width) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    do {
        text.insert(text.begin(), kDigits[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    if (static_cast<int>(text.size()) < width)
        text.insert(0, static_cast<std::size_t>(width) - text.size(), '0');
    return text;
}

std::string_view Trim(std::string_view text) {
    const char* blanks = " \t\r\n";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Decimal, or hex after "0x"; nothing when it is neither or does not fit 64 bits.
std::optional<std::uint64_t> ParseUnsigned(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty() || text.front() == '+' || text.front() == '-')
        return std::nullopt;
    std::uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

using engine::HexDigit;

// The digits, zero-padded on the left to the format's N, as bytes two digits each.
IdentityBytes HexBytes(std::string digits, int width) {
    digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
    if (digits.size() % 2 != 0)
        digits.insert(digits.begin(), '0');
    IdentityBytes bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(
            static_cast<std::uint8_t>(HexDigit(digits[i]) << 4 | HexDigit(digits[i + 1])));
    return bytes;
}

IdentityBytes AsciiBytes(const std::string& digits, int width) {
    IdentityBytes bytes(static_cast<std::size_t>(width) - digits.size(), '0');
    bytes.insert(bytes.end(), digits.begin(), digits.end());
    return bytes;
}

IdentityBytes IntegerBytes(std::uint64_t value, std::size_t size, bool bigEndian) {
    IdentityBytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[bigEndian ? size - 1 - i : i] = static_cast<std::uint8_t>(value >> (8 * i));
    return bytes;
}

bool IsEndRecord(std::string_view line) {
    auto bytes = engine::RecordBytes(Trim(line));
    return bytes && (*bytes)[3] == 0x01;
}

// A descriptor closed on every way out.
class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now; false with errno when the close reports an error.
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

bool Lock(int fd) {
    while (::flock(fd, LOCK_EX) != 0)
        if (errno != EINTR)
            return false;
    return true;
}

std::optional<std::string> ReadAll(int fd) {
    std::string text;
    char block[4096];
    for (off_t at = 0;;) {
        auto n = ::pread(fd, block, sizeof block, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            return text;
        text.append(block, static_cast<std::size_t>(n));
        at += n;
    }
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        auto n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Makes a new or renamed entry of the folder that holds `path` durable.
bool SyncFolderOf(const std::string& path) {
    auto folder = std::filesystem::path(path).parent_path();
    Fd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.get() >= 0 && ::fsync(dir.get()) == 0;
}

} // namespace

std::string IdentityFormat::name() const {
    switch (kind) {
    case Kind::U16LE:
        return "u16le";
    case Kind::U16BE:
        return "u16be";
    case Kind::U32LE:
        return "u32le";
    case Kind::U32BE:
        return "u32be";
    case Kind::U64LE:
        return "u64le";
    case Kind::Ascii:
        return "ascii:" + std::to_string(digits);
    case Kind::Hex:
        return "hex:" + std::to_string(digits);
    }
    return {};
}

std::size_t IdentityFormat::size() const {
    switch (kind) {
    case Kind::U16LE:
    case Kind::U16BE:
        return 2;
    case Kind::U32LE:
    case Kind::U32BE:
        return 4;
    case Kind::U64LE:
        return 8;
    case Kind::Ascii:
        return static_cast<std::size_t>(digits);
    case Kind::Hex:
        return static_cast<std::size_t>(digits + 1) / 2;
    }
    return 0;
}

std::optional<IdentityFormat> ParseIdentityFormat(std::string_view text) {
    for (auto kind : {Kind::U16LE, Kind::U16BE, Kind::U32LE, Kind::U32BE, Kind::U64LE})
        if (text == IdentityFormat{kind, 0}.name())
            return IdentityFormat{kind, 0};
    for (auto kind : {Kind::Ascii, Kind::Hex}) {
        std::string_view prefix = kind == Kind::Ascii ? "ascii:" : "hex:";
        if (text.substr(0, prefix.size()) != prefix)
            continue;
        auto digits = text.substr(prefix.size());
        int n = 0;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
        if (digits.empty() || digits[0] == '0' || ec != std::errc() ||
            end != digits.data() + digits.size() || n < 1 || n > kMaxIdentityDigits)
            return std::nullopt;
        return IdentityFormat{kind, n};
    }
    return std::nullopt;
}

std::variant<IdentityBytes, IdentityError> EncodeNumber(std::uint64_t number,
                                                        const IdentityFormat& format) {
    auto tooBig = [&](const std::string& range) {
        return Error("the number " + std::to_string(number) + " does not fit " + format.name() +
                     " (" + range + ")");
    };
    switch (format.kind) {
    case Kind::U16LE:
    case Kind::U16BE:
        if (number > 0xFFFF)
            return tooBig("0..65535");
        return IntegerBytes(number, 2, format.kind == Kind::U16BE);
    case Kind::U32LE:
    case Kind::U32BE:
        if (number > 0xFFFFFFFF)
            return tooBig("0..4294967295");
        return IntegerBytes(number, 4, format.kind == Kind::U32BE);
    case Kind::U64LE:
        return IntegerBytes(number, 8, false);
    case Kind::Ascii: {
        auto digits = std::to_string(number);
        if (static_cast<int>(digits.size()) > format.digits)
            return tooBig("at most " + std::to_string(format.digits) + " decimal digits");
        return AsciiBytes(digits, format.digits);
    }
    case Kind::Hex: {
        auto digits = Hex(number, 0);
        if (static_cast<int>(digits.size()) > format.digits)
            return tooBig("at most " + std::to_string(format.digits) + " hex digits");
        return HexBytes(digits, format.digits);
    }
    }
    return Error("unknown format");
}

std::variant<IdentityBytes, IdentityError> EncodeValue(std::string_view text,
                                                       const IdentityFormat& format) {
    const std::string value(Trim(text));
    auto bad = [&](const std::string& why) {
        return Error("the value '" + value + "' " + why + " for " + format.name());
    };
    if (format.kind == Kind::Ascii || format.kind == Kind::Hex) {
        const bool hex = format.kind == Kind::Hex;
        std::string digits;
        for (char c : value) {
            if (hex && (c == ':' || c == '-'))
                continue;
            if (hex ? HexDigit(c) < 0 : (c < '0' || c > '9'))
                return bad(hex ? "is not hex digits" : "is not decimal digits");
            digits += c;
        }
        if (digits.empty())
            return bad("has no digits");
        if (static_cast<int>(digits.size()) > format.digits)
            return bad("has more than " + std::to_string(format.digits) + " digits");
        return hex ? HexBytes(digits, format.digits) : AsciiBytes(digits, format.digits);
    }
    auto number = ParseUnsigned(value);
    if (!number)
        return bad("is not a number (decimal or 0x hex) of 64 bits");
    return EncodeNumber(*number, format);
}

std::variant<IdentityPlace, IdentityError> ParseIdentityPlace(std::string_view text) {
    IdentityPlace place;
    std::string_view address;
    if (text.substr(0, 7) == "eeprom:") {
        place.memory = IdentityMemory::Eeprom;
        address = text.substr(7);
    } else if (text.substr(0, 6) == "flash:") {
        place.memory = IdentityMemory::Flash;
        address = text.substr(6);
    } else {
        return Error("--serial-at needs eeprom:ADDRESS or flash:ADDRESS, not '" +
                     std::string(text) + "'");
    }
    auto value = ParseUnsigned(address);
    if (!value || *value > 0xFFFFFFFF)
        return Error("--serial-at: '" + std::string(address) +
                     "' is not an address (decimal or 0x hex, below 4 GiB)");
    place.address = static_cast<std::uint32_t>(*value);
    return place;
}

ImageLayout LayoutOf(const std::vector<std::string>& lines) {
    ImageLayout layout;
    std::uint64_t base = 0;
    for (const auto& line : lines) {
        auto bytes = engine::RecordBytes(Trim(line));
        if (!bytes)
            continue;
        const auto& b = *bytes;
        const std::uint8_t type = b[3];
        if (type == 0x02 && b[0] == 2) {
            base = std::uint64_t(b[4] << 8 | b[5]) << 4;
            layout.extendedAddress = true;
        } else if (type == 0x04 && b[0] == 2) {
            base = std::uint64_t(b[4] << 8 | b[5]) << 16;
            layout.extendedAddress = true;
        } else if (type == 0x00 && b[0] > 0) {
            auto begin = base + std::uint64_t(b[1] << 8 | b[2]);
            layout.spans.push_back({begin, begin + b[0]});
        }
    }
    std::sort(layout.spans.begin(), layout.spans.end(),
              [](const auto& a, const auto& b) { return a.begin < b.begin; });
    std::vector<ImageLayout::Span> merged;
    for (const auto& span : layout.spans) {
        if (!merged.empty() && span.begin <= merged.back().end)
            merged.back().end = std::max(merged.back().end, span.end);
        else
            merged.push_back(span);
    }
    layout.spans = std::move(merged);
    return layout;
}

std::optional<IdentityError> CheckPlace(const IdentityPlace& place, std::size_t size,
                                        const ImageLayout* flashImage,
                                        std::optional<std::uint32_t> eepromSize) {
    const std::uint64_t begin = place.address, end = begin + size;
    const std::string where = (place.memory == IdentityMemory::Flash ? "flash:0x" : "eeprom:0x") +
                              Hex(begin, 4) + " (" + std::to_string(size) + " bytes)";
    if (place.memory == IdentityMemory::Eeprom) {
        if (end > 0x10000)
            return Error(where + " reaches beyond the 64 KiB an EEPROM image can address");
        if (eepromSize && end > *eepromSize)
            return Error(where + " reaches beyond the chip's EEPROM of " +
                         std::to_string(*eepromSize) + " bytes");
        return std::nullopt;
    }
    if (end > 0x100000000)
        return Error(where + " reaches beyond 4 GiB");
    if (flashImage)
        for (const auto& span : flashImage->spans)
            if (span.begin < end && begin < span.end)
                return Error(where + " lies inside the Flash image's own data (0x" +
                             Hex(span.begin, 4) + "..0x" + Hex(span.end - 1, 4) + ")");
    return std::nullopt;
}

std::vector<std::string> IdentityRecords(std::uint32_t address, const IdentityBytes& bytes,
                                         bool setBase) {
    std::vector<std::string> records;
    std::uint64_t at = address;
    for (std::size_t done = 0; done < bytes.size();) {
        const auto offset = static_cast<std::uint16_t>(at & 0xFFFF);
        if (done == 0 ? setBase || at > 0xFFFF : offset == 0) {
            records.push_back(engine::HexRecord(
                0x04, 0,
                {static_cast<std::uint8_t>(at >> 24), static_cast<std::uint8_t>(at >> 16)}));
        }
        auto count = std::min<std::size_t>({16, bytes.size() - done, 0x10000u - offset});
        records.push_back(
            engine::HexRecord(0x00, offset,
                              {bytes.begin() + static_cast<std::ptrdiff_t>(done),
                               bytes.begin() + static_cast<std::ptrdiff_t>(done + count)}));
        done += count;
        at += count;
    }
    return records;
}

std::vector<std::string> WithRecords(std::vector<std::string> lines,
                                     const std::vector<std::string>& records) {
    if (lines.empty()) {
        lines = records;
        lines.push_back(":00000001FF");
        return lines;
    }
    auto end = std::find_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return IsEndRecord(line); });
    lines.insert(end, records.begin(), records.end());
    return lines;
}

std::variant<std::vector<std::uint64_t>, IdentityError>
TakeFromCounter(const std::string& named, std::size_t count, const IdentityFormat& format) {
    auto failed = [&](const std::string& what) {
        return Error("the counter file " + named + " " + what);
    };
    // A counter shared through a symbolic link is replaced where it lies, not the link.
    std::error_code linkError;
    auto resolved = std::filesystem::weakly_canonical(named, linkError);
    const std::string path = linkError ? named : resolved.string();
    for (;;) {
        Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0)
            return failed("cannot be opened: " + SystemError());
        if (!Lock(fd.get()))
            return failed("cannot be locked: " + SystemError());
        // Another run may have replaced the file while this one waited for the lock: the lock
        // then guards a file nobody reads any more, so start again on the new one.
        struct stat held {
        }, now{};
        if (::fstat(fd.get(), &held) != 0)
            return failed("cannot be read: " + SystemError());
        if (::stat(path.c_str(), &now) != 0 || now.st_ino != held.st_ino ||
            now.st_dev != held.st_dev)
            continue;

        auto text = ReadAll(fd.get());
        if (!text)
            return failed("cannot be read: " + SystemError());
        auto digits = Trim(*text);
        auto next = digits.find_first_not_of("0123456789") == std::string_view::npos
                        ? ParseUnsigned(digits)
                        : std::nullopt;
        if (!next)
            return failed("does not hold a decimal number: '" + std::string(digits.substr(0, 40)) +
                          "'");
        if (count > std::numeric_limits<std::uint64_t>::max() - *next)
            return failed("is at the end of 64-bit numbers");
        std::vector<std::uint64_t> numbers;
        for (std::size_t i = 0; i < count; ++i) {
            auto encoded = EncodeNumber(*next + i, format);
            if (auto* error = std::get_if<IdentityError>(&encoded))
                return failed("is untouched: " + error->text);
            numbers.push_back(*next + i);
        }

        // The new value goes into a file of its own that replaces the counter whole, so that a
        // crash leaves the old number or the new one, never a part of either.
        const std::string temporary = path + ".tmp";
        const std::string after = std::to_string(*next + count) + "\n";
        Fd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                      held.st_mode & 0777));
        if (out.get() < 0)
            return failed("cannot be replaced: " + temporary + ": " + SystemError());
        if (!WriteAll(out.get(), after) || ::fsync(out.get()) != 0 || !out.close() ||
            ::rename(temporary.c_str(), path.c_str()) != 0) {
            auto why = SystemError();
            ::unlink(temporary.c_str());
            return failed("cannot be replaced: " + why);
        }
        if (!SyncFolderOf(path))
            return failed("was advanced, but its folder cannot be synced: " + SystemError());
        return numbers;
    }
}

std::string JournalOf(const std::string& listPath) {
    return listPath + ".used";
}

std::variant<std::vector<std::string>, IdentityError>
TakeFromList(const std::string& path, std::size_t count, const IdentityFormat& format) {
    const auto journal = JournalOf(path);
    Fd fd(::open(journal.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    if (fd.get() < 0)
        return Error("the journal " + journal + " cannot be opened: " + SystemError());
    if (!Lock(fd.get()))
        return Error("the journal " + journal + " cannot be locked: " + SystemError());
    auto held = ReadAll(fd.get());
    if (!held)
        return Error("the journal " + journal + " cannot be read: " + SystemError());

    std::set<std::string, std::less<>> used;
    std::istringstream entries(*held);
    for (std::string entry; std::getline(entries, entry);) {
        auto value = Trim(entry);
        used.emplace(value.substr(0, value.find_first_of(" \t")));
    }

    std::ifstream list(path, std::ios::binary);
    if (!list)
        return Error("the list " + path + " cannot be opened: " + SystemError());
    std::vector<std::string> taken;
    int lineNumber = 0;
    for (std::string line; taken.size() < count && std::getline(list, line);) {
        ++lineNumber;
        auto value = Trim(line);
        if (value.empty() || value.front() == '#' || used.count(value) != 0)
            continue;
        auto encoded = EncodeValue(value, format);
        if (auto* error = std::get_if<IdentityError>(&encoded))
            return Error("the list " + path + ", line " + std::to_string(lineNumber) + ": " +
                         error->text);
        used.emplace(value);
        taken.emplace_back(value);
    }
    if (list.bad())
        return Error("the list " + path + " cannot be read: " + SystemError());
    if (taken.size() < count)
        return Error("the list " + path + " is exhausted: " + std::to_string(taken.size()) +
                     " unused value(s) left for " + std::to_string(count) + " board(s)");

    // A journal whose last line a killed run left unfinished gets a line end first, so that the
    // next value is not glued to it.
    std::string lines = !held->empty() && held->back() != '\n' ? "\n" : "";
    for (const auto& value : taken)
        lines += value + "\n";
    if (!WriteAll(fd.get(), lines) || ::fsync(fd.get()) != 0 ||
        (held->empty() && !SyncFolderOf(journal)))
        return Error("the journal " + journal + " cannot be written: " + SystemError());
    return taken;
}

std::optional<std::string> NoteListOutcome(const std::string& path, const std::string& value,
                                           bool flashed) {
    Fd fd(::open(JournalOf(path).c_str(), O_RDWR | O_APPEND | O_CLOEXEC));
    if (fd.get() < 0 || !Lock(fd.get()))
        return SystemError();
    struct stat held {};
    char last = '\n';
    if (::fstat(fd.get(), &held) != 0 ||
        (held.st_size > 0 && ::pread(fd.get(), &last, 1, held.st_size - 1) != 1))
        return SystemError();
    std::string line = (last != '\n' ? "\n" : "") + value + (flashed ? " flashed\n" : " failed\n");
    if (!WriteAll(fd.get(), line) || ::fsync(fd.get()) != 0)
        return SystemError();
    return std::nullopt;
}

} // namespace tavo::flash
