#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

// Per-board identity for production benches: a number from a counter file or a value from a list,
// written into each board as one more data record of one of its images. The counter and the list
// are shared by every tavo-flash on the machine: a number or value is taken under a lock and made
// durable before it is used, so none is ever handed out twice, even across crashes.
namespace tavo::flash {

struct IdentityError {
    std::string text;
};

struct IdentityFormat {
    enum class Kind { U16LE, U16BE, U32LE, U32BE, U64LE, Ascii, Hex };
    Kind kind = Kind::U32LE;
    int digits = 0; // ascii:N and hex:N

    std::string name() const;
    // The bytes it writes: ascii:N N, hex:N (N + 1) / 2.
    std::size_t size() const;
};

// The longest ascii:N and hex:N.
inline constexpr int kMaxIdentityDigits = 64;

// "u16le", "u16be", "u32le", "u32be", "u64le", "ascii:N", "hex:N" (N 1..64).
std::optional<IdentityFormat> ParseIdentityFormat(std::string_view text);

using IdentityBytes = std::vector<std::uint8_t>;

// The bytes a counter's number is written as, or why it does not fit. ascii:N is the number in N
// decimal digits, zero-padded; hex:N is the number in N hex digits, written two digits a byte,
// most significant first (an odd N gets a leading zero digit).
std::variant<IdentityBytes, IdentityError> EncodeNumber(std::uint64_t number,
                                                        const IdentityFormat& format);

// The bytes of a list's value: a decimal (or 0x hex) number for the integer formats, decimal
// digits for ascii:N, hex digits for hex:N (':' and '-' between them are ignored, as in MAC
// addresses); fewer digits than N are zero-padded.
std::variant<IdentityBytes, IdentityError> EncodeValue(std::string_view text,
                                                       const IdentityFormat& format);

enum class IdentityMemory { Eeprom, Flash };

struct IdentityPlace {
    IdentityMemory memory = IdentityMemory::Eeprom;
    std::uint32_t address = 0;
};

// "eeprom:ADDRESS" or "flash:ADDRESS", the address decimal or 0x hex.
std::variant<IdentityPlace, IdentityError> ParseIdentityPlace(std::string_view text);

// What an image's data records write, [begin, end) each, and whether it sets an extended address
// (a type 02 or 04 record) that a record appended after it must not inherit.
struct ImageLayout {
    struct Span {
        std::uint64_t begin = 0;
        std::uint64_t end = 0;
    };
    std::vector<Span> spans;
    bool extendedAddress = false;
};

// Reads the records of an image's lines; lines that are not records are skipped.
ImageLayout LayoutOf(const std::vector<std::string>& lines);

// Why `size` bytes at `place` cannot go there: a Flash place that overlaps the Flash image's own
// data, an EEPROM place beyond the chip's EEPROM (when its size is known) or beyond the 64 KiB
// an EEPROM image can address. Nothing when the place is usable.
std::optional<IdentityError> CheckPlace(const IdentityPlace& place, std::size_t size,
                                        const ImageLayout* flashImage,
                                        std::optional<std::uint32_t> eepromSize);

// Intel HEX data records carrying `bytes` at `address`, at most 16 bytes each and none crossing a
// 64 KiB boundary. A type 04 record goes before the first when the address is above 64 KiB or
// `setBase` asks for it, and before the first of every further 64 KiB.
std::vector<std::string> IdentityRecords(std::uint32_t address, const IdentityBytes& bytes,
                                         bool setBase);

// The image's lines with `records` inserted right before its first end-of-file record (at the
// end when it has none). Without any image lines: the records and an end-of-file record.
std::vector<std::string> WithRecords(std::vector<std::string> lines,
                                     const std::vector<std::string>& records);

// Takes `count` consecutive numbers from a counter file that holds the next number as decimal
// text. Under an exclusive lock on the file it checks that every number fits `format`, then
// replaces the file with one that holds the number after them (written, fsynced and renamed into
// place, and the folder fsynced) before returning them. On any error the file is untouched.
std::variant<std::vector<std::uint64_t>, IdentityError>
TakeFromCounter(const std::string& path, std::size_t count, const IdentityFormat& format);

// The journal of a list: FILE.used beside it.
std::string JournalOf(const std::string& listPath);

// Takes the next `count` values of a list file (one a line; blank lines and lines starting with
// '#' are skipped) that its journal does not hold. Under an exclusive lock on the journal the
// values are checked against `format`, appended to the journal and fsynced before returning.
// An exhausted list or a bad value is an error and takes nothing.
std::variant<std::vector<std::string>, IdentityError>
TakeFromList(const std::string& path, std::size_t count, const IdentityFormat& format);

// Notes in the list's journal whether the board that took `value` was flashed with it. The value
// stays used either way. The system's reason when the journal cannot be written.
std::optional<std::string> NoteListOutcome(const std::string& path, const std::string& value,
                                           bool flashed);

} // namespace tavo::flash
