// tavo-bootsim's Intel HEX decoder on arbitrary bytes. The simulated board, ready for a download,
// must answer the same and hold the same memory whether the bytes come one at a time or all at
// once. Decoding the bytes as a HEX text must fill memory as a plain byte-by-byte reference of
// the address rules does (type 02: a 64 KiB segment the offset wraps in; type 04: linear, modulo
// 4 GiB); and every memory must keep its segments apart and write out as HEX that reads back the
// same.
#include "fuzz/Check.h"
#include "tools/bootsim/Board.h"
#include "tools/bootsim/IntelHex.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

using namespace tavo;

namespace {

using Bytes = std::map<std::uint32_t, std::uint8_t>;

Bytes Flatten(const bootsim::MemoryImage& memory) {
    Bytes bytes;
    for (const auto& [start, data] : memory.segments())
        for (std::size_t i = 0; i < data.size(); ++i)
            bytes[static_cast<std::uint32_t>(start + i)] = data[i];
    return bytes;
}

// Non-empty segments with a gap between any two; written out and read back the same.
bool Sound(const bootsim::MemoryImage& memory) {
    std::uint64_t end = 0;
    bool first = true;
    for (const auto& [start, data] : memory.segments()) {
        if (data.empty() || (!first && start <= end))
            return false;
        end = std::uint64_t{start} + data.size();
        first = false;
    }
    if (end > std::uint64_t{1} << 32)
        return false;
    const auto back = bootsim::DecodeHexText(bootsim::EncodeImage(memory));
    return back.error.empty() && back.sawEndOfFile && back.image == memory;
}

// The lines of the text as the decoder splits them (CR, LF or CRLF), loaded byte by byte.
Bytes Reference(std::string_view text) {
    Bytes memory;
    std::uint32_t base = 0;
    bool linear = false;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find_first_of("\r\n", at);
        if (end == std::string_view::npos)
            end = text.size();
        const auto record = bootsim::DecodeRecord(text.substr(at, end - at));
        at = end + (text.substr(end, 2) == "\r\n" ? 2 : 1);
        if (!record.valid())
            continue;
        const auto& data = record.data;
        if (record.type == 0) {
            for (std::size_t i = 0; i < data.size(); ++i)
                memory[linear ? static_cast<std::uint32_t>(base + record.address + i)
                              : base + ((record.address + i) & 0xFFFF)] = data[i];
        } else if ((record.type == 2 || record.type == 4) && data.size() == 2) {
            linear = record.type == 4;
            base = static_cast<std::uint32_t>(data[0] << 8 | data[1]) << (linear ? 16 : 4);
        }
    }
    return memory;
}

// A board that has jumped and answered ready, so that every further byte is download data.
bootsim::Board ReadyBoard() {
    bootsim::Board board;
    board.receive("$@&$");
    return board;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    auto whole = ReadyBoard();
    const auto answers = whole.receive(bytes);
    auto single = ReadyBoard();
    std::string answered;
    for (const char c : bytes)
        for (const auto& answer : single.receive(std::string_view(&c, 1)))
            answered += answer;
    std::string expected;
    for (const auto& answer : answers)
        expected += answer;
    TAVO_FUZZ_CHECK(answered == expected, "answers differ when bytes come one at a time");
    TAVO_FUZZ_CHECK(single.flash() == whole.flash() && single.eeprom() == whole.eeprom(),
                    "memory differs when bytes come one at a time");
    TAVO_FUZZ_CHECK(single.completedDownloads() == whole.completedDownloads(),
                    "downloads counted differently when bytes come one at a time");
    TAVO_FUZZ_CHECK(Sound(whole.flash()) && Sound(whole.eeprom()), "the board's memory is unsound");

    const auto decoded = bootsim::DecodeHexText(bytes);
    TAVO_FUZZ_CHECK(Sound(decoded.image), "the decoded memory is unsound");
    TAVO_FUZZ_CHECK(Flatten(decoded.image) == Reference(bytes), "differs from the reference");
    return 0;
}
