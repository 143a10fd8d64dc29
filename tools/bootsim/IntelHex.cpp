#include "tools/bootsim/IntelHex.h"

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
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes_[static_cast<std::uint32_t>(address + i)] = bytes[i];
}

std::size_t MemoryImage::extent() const {
    return bytes_.empty() ? 0 : static_cast<std::size_t>(bytes_.rbegin()->first) + 1;
}

std::vector<std::uint8_t> MemoryImage::toBinary(std::uint8_t fill) const {
    std::vector<std::uint8_t> image(extent(), fill);
    for (const auto& [address, value] : bytes_)
        image[address] = value;
    return image;
}

bool HexLoader::apply(const HexRecord& record, MemoryImage& memory) {
    if (!record.valid())
        return false;
    switch (record.type) {
    case record_type::Data:
        memory.write(base_ + record.address, record.data);
        return false;
    case record_type::EndOfFile:
        return true;
    case record_type::ExtendedSegmentAddress:
        if (record.data.size() == 2)
            base_ = static_cast<std::uint32_t>(record.data[0] << 8 | record.data[1]) << 4;
        return false;
    case record_type::ExtendedLinearAddress:
        if (record.data.size() == 2)
            base_ = static_cast<std::uint32_t>(record.data[0] << 8 | record.data[1]) << 16;
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

} // namespace tavo::bootsim
