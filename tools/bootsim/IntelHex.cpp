#include "tools/bootsim/IntelHex.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace tavo::bootsim {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<std::uint8_t> HexByte(std::string_view text, std::size_t at) {
    if (at + 2 > text.size())
        return std::nullopt;
    int high = HexDigit(text[at]);
    int low = HexDigit(text[at + 1]);
    if (high < 0 || low < 0)
        return std::nullopt;
    return static_cast<std::uint8_t>(high * 16 + low);
}

} // namespace

std::optional<std::size_t> RecordLength(std::string_view start) {
    if (start.size() < 3 || start[0] != ':')
        return std::nullopt;
    auto length = HexByte(start, 1);
    if (!length)
        return std::nullopt;
    return 11 + 2 * static_cast<std::size_t>(*length);
}

HexRecord DecodeRecord(std::string_view text) {
    HexRecord record;
    auto length = RecordLength(text);
    if (!length || text.size() != *length)
        return record;
    std::vector<std::uint8_t> bytes;
    for (std::size_t at = 1; at < text.size(); at += 2) {
        auto byte = HexByte(text, at);
        if (!byte)
            return record;
        bytes.push_back(*byte);
    }
    record.wellFormed = true;
    unsigned sum = 0;
    for (auto b : bytes)
        sum += b;
    record.checksumOk = (sum & 0xFF) == 0;
    record.address = static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]);
    record.type = bytes[3];
    record.data.assign(bytes.begin() + 4, bytes.end() - 1);
    return record;
}

void MemoryImage::write(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    constexpr std::uint64_t kSpace = std::uint64_t{1} << 32;
    std::size_t done = 0;
    while (done < bytes.size()) {
        auto at = static_cast<std::uint32_t>(address + done);
        auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size() - done, kSpace - at));
        writeRange(at, bytes.data() + done, count);
        done += count;
    }
}

void MemoryImage::writeRange(std::uint32_t address, const std::uint8_t* bytes, std::size_t count) {
    if (count == 0)
        return;
    const std::uint64_t end = std::uint64_t{address} + count;
    auto segmentEnd = [](Segments::const_iterator it) {
        return std::uint64_t{it->first} + it->second.size();
    };
    // The segments this write touches or overlaps join it: the first may begin before it.
    auto first = segments_.upper_bound(address);
    if (first != segments_.begin() && segmentEnd(std::prev(first)) >= address)
        --first;
    auto last = end > std::numeric_limits<std::uint32_t>::max()
                    ? segments_.end()
                    : segments_.upper_bound(static_cast<std::uint32_t>(end));

    std::uint32_t start = address;
    std::uint64_t joinedEnd = end;
    if (first != last) {
        start = std::min(start, first->first);
        joinedEnd = std::max(joinedEnd, segmentEnd(std::prev(last)));
    }
    // Growing the segment that begins first keeps a run of appended lines one growing buffer.
    std::vector<std::uint8_t> joined;
    if (first != last && first->first == start) {
        joined = std::move(first->second);
        ++first;
    }
    joined.resize(static_cast<std::size_t>(joinedEnd - start));
    for (auto it = first; it != last; ++it)
        std::copy(it->second.begin(), it->second.end(), joined.begin() + (it->first - start));
    std::copy(bytes, bytes + count, joined.begin() + (address - start));
    segments_.erase(first, last);
    segments_[start] = std::move(joined);
}

bool HexLoader::apply(const HexRecord& record, MemoryImage& memory) {
    if (!record.valid())
        return false;
    switch (record.type) {
    case record_type::Data: {
        if (linear_) {
            memory.write(base_ + record.address, record.data);
            return false;
        }
        // The offset wraps within the segment: the part past 0xFFFF lands at its start.
        std::size_t first = std::min<std::size_t>(record.data.size(), 0x10000 - record.address);
        memory.write(base_ + record.address, {record.data.begin(), record.data.begin() + first});
        memory.write(base_, {record.data.begin() + first, record.data.end()});
        return false;
    }
    case record_type::EndOfFile:
        return true;
    case record_type::ExtendedSegmentAddress:
        if (record.data.size() == 2) {
            base_ = static_cast<std::uint32_t>(record.data[0] << 8 | record.data[1]) << 4;
            linear_ = false;
        }
        return false;
    case record_type::ExtendedLinearAddress:
        if (record.data.size() == 2) {
            base_ = static_cast<std::uint32_t>(record.data[0] << 8 | record.data[1]) << 16;
            linear_ = true;
        }
        return false;
    default:
        return false; // start addresses mean nothing to the memory
    }
}

DecodedHex DecodeHexText(std::string_view text) {
    DecodedHex result;
    HexLoader loader;
    int lineNumber = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        auto end = text.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = text.size();
        auto line = text.substr(pos, end - pos);
        ++lineNumber;
        pos = end;
        if (pos < text.size() && text[pos] == '\r')
            ++pos;
        else if (pos < text.size())
            ++pos; // '\n'
        if (pos < text.size() && text[pos] == '\n' && text[pos - 1] == '\r')
            ++pos;
        if (line.empty())
            continue;
        auto record = DecodeRecord(line);
        ++result.records;
        if (!record.valid()) {
            if (result.error.empty())
                result.error = "line " + std::to_string(lineNumber) + ": " +
                               (record.wellFormed ? "checksum error" : "malformed record");
            continue;
        }
        if (loader.apply(record, result.image))
            result.sawEndOfFile = true;
    }
    return result;
}

std::string EncodeRecord(std::uint8_t type, std::uint16_t address,
                         const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data.size()),
                                    static_cast<std::uint8_t>(address >> 8),
                                    static_cast<std::uint8_t>(address & 0xFF), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (auto b : bytes)
        sum += b;
    bytes.push_back(static_cast<std::uint8_t>(-sum & 0xFF));
    static const char digits[] = "0123456789ABCDEF";
    std::string text = ":";
    for (auto b : bytes) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0xF]);
    }
    return text;
}

std::string EncodeImage(const MemoryImage& memory) {
    // A full record of 16 bytes takes 44 characters and its line end: room for that at once
    // keeps a large dump from being copied while it grows.
    std::size_t held = 0;
    for (const auto& segment : memory.segments())
        held += segment.second.size();
    std::string text;
    text.reserve(held / 16 * 45 + memory.segments().size() * 64 + 12);
    std::uint32_t upper = 0;
    for (const auto& [start, bytes] : memory.segments()) {
        std::size_t at = 0;
        while (at < bytes.size()) {
            auto address = static_cast<std::uint32_t>(start + at);
            std::size_t count = std::min<std::size_t>(16 - address % 16, bytes.size() - at);
            if (address >> 16 != upper) {
                upper = address >> 16;
                text += EncodeRecord(record_type::ExtendedLinearAddress, 0,
                                     {static_cast<std::uint8_t>(upper >> 8),
                                      static_cast<std::uint8_t>(upper & 0xFF)}) +
                        "\n";
            }
            text += EncodeRecord(record_type::Data, static_cast<std::uint16_t>(address & 0xFFFF),
                                 {bytes.begin() + at, bytes.begin() + at + count}) +
                    "\n";
            at += count;
        }
    }
    text += EncodeRecord(record_type::EndOfFile, 0, {});
    text += '\n';
    return text;
}

} // namespace tavo::bootsim
