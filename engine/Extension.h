#pragma once

// The pieces of the extended line protocol that need no port: the board's announcement, the
// command records, the CRC and the re-blocking of an image. docs/extension.md describes them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavo::engine {

struct Capabilities {
    long revision = 0;
    long page = 0;       // P: Flash page size in bytes
    long recordMax = 0;  // L: most data bytes in one record
    long flashSize = 0;  // A: Flash the images may write, from address 0
    long eepromSize = 0; // E
    std::vector<long> rates;
    std::string text; // as announced, from "X" to before the ready string
};

// The announcement between the first "V" of `received` and the first ready string after it;
// nothing when there is none or it does not parse (the board then counts as a plain one).
std::optional<Capabilities> ParseAnnouncement(const std::string& received,
                                              const std::string& ready);

// Whether `sinceWrite` holds ";X" and, later, the ready string: an announcing board has answered.
bool AnnouncementArrived(const std::string& sinceWrite, const std::string& ready);

// The value of a hex digit of either case; -1 for any other character.
int HexDigit(char c);

// CRC-32 as zlib computes it; `crc` continues an earlier result.
std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);

enum class Memory : std::uint8_t { Flash = 0, Eeprom = 1 };

// An Intel HEX record of type `type` at address 0000 (or `address`), with its checksum.
std::string HexRecord(std::uint8_t type, std::uint16_t address,
                      const std::vector<std::uint8_t>& data);
std::string SetRateRecord(long rate);
std::string ConfirmRecord();
std::string CheckRecord(Memory memory, std::uint32_t start, std::uint32_t length,
                        std::uint32_t crc);
inline constexpr const char* kEndOfFileRecord = ":00000001FF";

// The bytes of an Intel HEX record: ":" then hex pairs whose length field and checksum agree.
std::optional<std::vector<std::uint8_t>> RecordBytes(std::string_view line);

// The data an image holds, by address: every address once (a later record wins), in order, with
// the image line (1-based, empty lines counted) that gave the byte.
struct ImageData {
    std::vector<std::uint32_t> address;
    std::vector<std::uint8_t> value;
    std::vector<int> line;

    std::size_t size() const { return address.size(); }
};

// Nothing when any non-empty line is not a valid record of types 00-05, or the end-of-file
// record is missing or not the last record.
std::optional<ImageData> ParseImage(const std::vector<std::string>& lines);

// A run of consecutive addresses the image writes, with its CRC.
struct WrittenRange {
    std::uint32_t start = 0;
    std::uint32_t length = 0;
    std::uint32_t crc = 0;
};
std::vector<WrittenRange> RangesOf(const ImageData& data);

// One record to send: data records of at most `recordMax` bytes that never cross a `page`
// boundary, each 64 KiB announced by a type 04 record. `line` is the image line of the
// record's first byte (of the next data record for a type 04 one).
struct OutRecord {
    std::string text;
    int line = 0;
};
std::vector<OutRecord> Reblock(const ImageData& data, long page, long recordMax);

// Text such as "Flash 0x0000-0x01FF".
std::string DescribeRange(Memory memory, const WrittenRange& range);

} // namespace tavo::engine
