#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Intel HEX records as the simulated board decodes them, and the memory they describe. Tests use
// the same helpers to turn an image file into the bytes the board should end up holding.
namespace tavo::bootsim {

namespace record_type {
constexpr std::uint8_t Data = 0x00;
constexpr std::uint8_t EndOfFile = 0x01;
constexpr std::uint8_t ExtendedSegmentAddress = 0x02;
constexpr std::uint8_t StartSegmentAddress = 0x03;
constexpr std::uint8_t ExtendedLinearAddress = 0x04;
constexpr std::uint8_t StartLinearAddress = 0x05;
} // namespace record_type

struct HexRecord {
    bool wellFormed = false; // ':' and hex digits of the length its own length field gives
    bool checksumOk = false; // well formed and the bytes sum to zero
    std::uint8_t type = 0;
    std::uint16_t address = 0;
    std::vector<std::uint8_t> data;

    bool valid() const { return wellFormed && checksumOk; }
};

// The length in characters of the record that `start` begins (":LL..." -> 11 + 2 * LL), once its
// first three characters are known; nothing when they are not ':' and two hex digits.
std::optional<std::size_t> RecordLength(std::string_view start);

// Decodes one record, ":" included, nothing after it.
HexRecord DecodeRecord(std::string_view text);

// Memory written by records, kept as contiguous segments: only bytes received take room, however
// far apart their addresses are. Adjacent and overlapping writes join one segment; a later write
// replaces what it overlaps.
class MemoryImage {
public:
    // Start address -> the bytes from there on; no two segments overlap or touch.
    using Segments = std::map<std::uint32_t, std::vector<std::uint8_t>>;

    // Addresses past 0xFFFFFFFF wrap to 0.
    void write(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
    bool empty() const { return segments_.empty(); }
    const Segments& segments() const { return segments_; }

    bool operator==(const MemoryImage&) const = default;

private:
    // One write that does not wrap: [address, address + count) ends at 2^32 at most.
    void writeRange(std::uint32_t address, const std::uint8_t* bytes, std::size_t count);

    Segments segments_;
};

// Applies valid records in order, following the extended address records. After a type-02
// record (and before any extended record) an address is the segment base plus a 16-bit offset
// that wraps within its 64 KiB; after a type-04 record it is the linear base plus the offset,
// modulo 4 GiB.
class HexLoader {
public:
    // True for an end-of-file record.
    bool apply(const HexRecord& record, MemoryImage& memory);
    void reset() { *this = HexLoader(); }
    // The base the extended address records set (0 before any).
    std::uint32_t base() const { return base_; }

private:
    std::uint32_t base_ = 0;
    bool linear_ = false;
};

struct DecodedHex {
    MemoryImage image;
    int records = 0;
    bool sawEndOfFile = false;
    std::string error; // the first bad line, empty when every record was valid
};

// Decodes a whole Intel HEX text, lines ended by CR, LF or both; blank lines are skipped.
DecodedHex DecodeHexText(std::string_view text);

// A record for `data` at `address` with a correct checksum (for tests and sample images).
std::string EncodeRecord(std::uint8_t type, std::uint16_t address,
                         const std::vector<std::uint8_t>& data);

// The memory as Intel HEX, one record a line (LF): data records of at most 16 bytes that never
// cross a 16-byte boundary, a type-04 record wherever the upper 16 address bits change from
// those of the record before (starting from 0), and the end-of-file record. Only bytes written
// appear; equal memories give equal texts.
std::string EncodeImage(const MemoryImage& memory);

} // namespace tavo::bootsim
