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

// Sparse memory written by records; reads back as a flat image.
class MemoryImage {
public:
    void write(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
    bool empty() const { return bytes_.empty(); }
    // One past the highest written address (0 when nothing was written).
    std::size_t extent() const;
    // Bytes from address 0 up to the highest written one, gaps filled with `fill`.
    std::vector<std::uint8_t> toBinary(std::uint8_t fill = 0xFF) const;
    const std::map<std::uint32_t, std::uint8_t>& bytes() const { return bytes_; }

    bool operator==(const MemoryImage&) const = default;

private:
    std::map<std::uint32_t, std::uint8_t> bytes_;
};

// Applies valid records in order, following the extended address records (types 02 and 04).
class HexLoader {
public:
    // True for an end-of-file record.
    bool apply(const HexRecord& record, MemoryImage& memory);
    void reset() { base_ = 0; }

private:
    std::uint32_t base_ = 0;
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

} // namespace tavo::bootsim
