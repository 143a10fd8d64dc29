// The image line reader on arbitrary bytes: counting the lines, rewinding and reading them again
// must give the lines of a plain reference splitter (CR, CRLF and a lone LF each end a line; the
// last line needs no terminator). The first input byte picks the reader's block size, down to a
// single byte, so line ends and CRLF pairs land on the edges between blocks.
#include "engine/ImageFile.h"
#include "engine/RunError.h"
#include "fuzz/Check.h"
#include "tests/support/TempImages.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using namespace tavo;

namespace {

// Finds the line ends with memchr.
std::vector<std::string> Reference(std::string_view bytes) {
    std::vector<std::string> lines;
    const char* at = bytes.data();
    const char* const end = at + bytes.size();
    auto next = [&](char c) {
        const void* found = std::memchr(at, c, static_cast<std::size_t>(end - at));
        return found ? static_cast<const char*>(found) : end;
    };
    const char* cr = next('\r');
    const char* lf = next('\n');
    while (at != end) {
        cr = cr < at ? next('\r') : cr;
        lf = lf < at ? next('\n') : lf;
        const char* stop = std::min(cr, lf);
        lines.emplace_back(at, stop);
        if (stop == end)
            break;
        at = stop + (stop == cr && lf == cr + 1 && lf != end ? 2 : 1);
    }
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t block =
        data[0] < 0xF0 ? data[0] % 16 + 1 : engine::ImageFile::kDefaultBlockSize;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const auto expected = Reference(bytes);

    static const test::TempDir folder;
    engine::ImageFile file(block);
    file.open(folder.write("image.hex", bytes));
    std::size_t count = 0;
    while (!file.atEnd()) {
        file.readLine();
        ++count;
    }
    TAVO_FUZZ_CHECK(count == expected.size(), "the count differs from the reference");
    file.rewind();
    for (const auto& line : expected) {
        TAVO_FUZZ_CHECK(!file.atEnd(), "the second pass ends early");
        TAVO_FUZZ_CHECK(file.readLine() == line, "a line differs from the reference");
    }
    TAVO_FUZZ_CHECK(file.atEnd(), "the second pass has lines left over");
    bool refused = false;
    try {
        file.readLine();
    } catch (const engine::RunError&) {
        refused = true;
    }
    TAVO_FUZZ_CHECK(refused, "a read past the end did not fail");
    return 0;
}
