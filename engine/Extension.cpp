#include "engine/Extension.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <map>

namespace tavo::engine {

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

namespace {

constexpr long kMaxNumber = 1'000'000'000;

// A decimal number of 1..9 digits at `at`; advances past it.
std::optional<long> Number(const std::string& text, std::size_t& at) {
    long value = 0;
    auto begin = text.data() + at;
    auto end = text.data() + std::min(text.size(), at + 9);
    auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || ptr == begin || value < 0 || value > kMaxNumber)
        return std::nullopt;
    at += static_cast<std::size_t>(ptr - begin);
    return value;
}

std::optional<std::vector<std::uint8_t>> HexBytes(const std::string& text) {
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int hi = HexDigit(text[i]);
        int lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return bytes;
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

} // namespace

std::optional<Capabilities> ParseAnnouncement(const std::string& received,
                                              const std::string& ready) {
    if (ready.empty())
        return std::nullopt;
    auto v = received.find('V');
    if (v == std::string::npos)
        return std::nullopt;
    auto end = received.find(ready, v + 1);
    if (end == std::string::npos)
        return std::nullopt;
    std::string text = received.substr(v + 1, end - v - 1);
    auto x = text.find(";X");
    if (x == std::string::npos)
        return std::nullopt;

    Capabilities caps;
    caps.text = text.substr(x + 1);
    std::size_t at = x + 2;
    auto revision = Number(text, at);
    if (!revision || *revision < 1)
        return std::nullopt;
    caps.revision = *revision;
    while (at < text.size()) {
        if (text[at] != ',' || at + 1 >= text.size() ||
            !std::isalpha(static_cast<unsigned char>(text[at + 1])))
            return std::nullopt;
        char letter = text[at + 1];
        at += 2;
        auto value = Number(text, at);
        if (!value)
            return std::nullopt;
        switch (letter) {
        case 'P':
            caps.page = *value;
            break;
        case 'L':
            caps.recordMax = *value;
            break;
        case 'A':
            caps.flashSize = *value;
            break;
        case 'E':
            caps.eepromSize = *value;
            break;
        case 'R':
            if (*value > 0)
                caps.rates.push_back(*value);
            break;
        default:
            break; // a later revision's token
        }
    }
    if (caps.page <= 0 || caps.recordMax <= 0 || caps.recordMax > 255 || caps.flashSize <= 0 ||
        caps.eepromSize <= 0)
        return std::nullopt;
    return caps;
}

bool AnnouncementArrived(const std::string& sinceWrite, const std::string& ready) {
    auto x = sinceWrite.find(";X");
    return x != std::string::npos && !ready.empty() &&
           sinceWrite.find(ready, x + 2) != std::string::npos;
}

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
    static const auto table = MakeCrcTable();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::string HexRecord(std::uint8_t type, std::uint16_t address,
                      const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data.size()),
                                    static_cast<std::uint8_t>(address >> 8),
                                    static_cast<std::uint8_t>(address), type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    std::uint8_t sum = 0;
    for (auto b : bytes)
        sum = static_cast<std::uint8_t>(sum + b);
    bytes.push_back(static_cast<std::uint8_t>(-sum));
    std::string text = ":";
    char hex[3];
    for (auto b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        text += hex;
    }
    return text;
}

std::string SetRateRecord(long rate) {
    std::vector<std::uint8_t> data;
    Put32(data, static_cast<std::uint32_t>(rate));
    return HexRecord(0x80, 0, data);
}

std::string ConfirmRecord() {
    return HexRecord(0x81, 0, {});
}

std::string CheckRecord(Memory memory, std::uint32_t start, std::uint32_t length,
                        std::uint32_t crc) {
    std::vector<std::uint8_t> data{static_cast<std::uint8_t>(memory)};
    Put32(data, start);
    Put32(data, length);
    Put32(data, crc);
    return HexRecord(0x82, 0, data);
}

std::optional<std::vector<std::uint8_t>> RecordBytes(std::string_view line) {
    if (line.empty() || line[0] != ':')
        return std::nullopt;
    auto decoded = HexBytes(std::string(line.substr(1)));
    if (!decoded || decoded->size() < 5 || (*decoded)[0] + 5u != decoded->size())
        return std::nullopt;
    std::uint8_t sum = 0;
    for (auto x : *decoded)
        sum = static_cast<std::uint8_t>(sum + x);
    if (sum != 0)
        return std::nullopt;
    return decoded;
}

std::optional<ImageData> ParseImage(const std::vector<std::string>& lines) {
    std::map<std::uint32_t, std::pair<std::uint8_t, int>> bytes;
    std::uint32_t base = 0;
    bool segmented = false; // type 02: the offset wraps within its 64 KiB
    bool ended = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto& line = lines[i];
        if (line.empty())
            continue;
        auto decoded = RecordBytes(line);
        if (ended || !decoded)
            return std::nullopt;
        const auto& b = *decoded;
        std::uint16_t offset = static_cast<std::uint16_t>(b[1] << 8 | b[2]);
        std::uint8_t type = b[3];
        const std::uint8_t* data = b.data() + 4;
        std::size_t count = b[0];
        switch (type) {
        case 0x00:
            for (std::size_t k = 0; k < count; ++k) {
                std::uint32_t address = segmented ? base + static_cast<std::uint16_t>(offset + k)
                                                  : static_cast<std::uint32_t>(base + offset + k);
                bytes[address] = {data[k], static_cast<int>(i + 1)};
            }
            break;
        case 0x01:
            ended = true;
            break;
        case 0x02:
        case 0x04:
            if (count != 2)
                return std::nullopt;
            segmented = type == 0x02;
            base = static_cast<std::uint32_t>(data[0] << 8 | data[1]) << (segmented ? 4 : 16);
            break;
        case 0x03:
        case 0x05:
            break; // a start address: nothing to write
        default:
            return std::nullopt;
        }
    }
    if (!ended)
        return std::nullopt;
    ImageData image;
    image.address.reserve(bytes.size());
    image.value.reserve(bytes.size());
    image.line.reserve(bytes.size());
    for (const auto& [address, entry] : bytes) {
        image.address.push_back(address);
        image.value.push_back(entry.first);
        image.line.push_back(entry.second);
    }
    return image;
}

std::vector<WrittenRange> RangesOf(const ImageData& data) {
    std::vector<WrittenRange> ranges;
    std::size_t i = 0;
    while (i < data.size()) {
        std::size_t j = i + 1;
        while (j < data.size() && data.address[j] == data.address[j - 1] + 1)
            ++j;
        ranges.push_back({data.address[i], static_cast<std::uint32_t>(j - i),
                          Crc32(data.value.data() + i, j - i)});
        i = j;
    }
    return ranges;
}

std::vector<OutRecord> Reblock(const ImageData& data, long page, long recordMax) {
    std::vector<OutRecord> out;
    std::uint32_t upper = 0; // the board starts each image at base 0
    auto p = static_cast<std::uint32_t>(std::max(1L, page));
    auto limit = static_cast<std::size_t>(std::clamp(recordMax, 1L, 255L));
    std::size_t i = 0;
    while (i < data.size()) {
        std::uint32_t start = data.address[i];
        std::size_t j = i + 1;
        while (j < data.size() && j - i < limit && data.address[j] == data.address[j - 1] + 1 &&
               data.address[j] % p != 0 && (data.address[j] & 0xFFFF) != 0)
            ++j;
        if (start >> 16 != upper) {
            upper = start >> 16;
            out.push_back({HexRecord(0x04, 0,
                                     {static_cast<std::uint8_t>(upper >> 8),
                                      static_cast<std::uint8_t>(upper)}),
                           data.line[i]});
        }
        std::vector<std::uint8_t> bytes(data.value.begin() + static_cast<std::ptrdiff_t>(i),
                                        data.value.begin() + static_cast<std::ptrdiff_t>(j));
        out.push_back({HexRecord(0x00, static_cast<std::uint16_t>(start), bytes), data.line[i]});
        i = j;
    }
    return out;
}

std::string DescribeRange(Memory memory, const WrittenRange& range) {
    char text[64];
    std::uint32_t last = range.start + range.length - 1;
    std::snprintf(text, sizeof text, "%s 0x%04X-0x%04X",
                  memory == Memory::Flash ? "Flash" : "EEPROM", static_cast<unsigned>(range.start),
                  static_cast<unsigned>(last));
    return text;
}

} // namespace tavo::engine
