// The ports.txt reader on arbitrary bytes, against a plain reference of the format: one `N=DEVICE`
// per line, `#` starts a comment, blanks around both sides are dropped, N is 1..8 in decimal
// (leading zeros allowed), an empty device maps nothing, and a later line wins. Loading the same
// bytes from a file must agree, and so must the file with CRLF line ends.
#include "fuzz/Check.h"
#include "serial/PortMap.h"
#include "settings/FileAccess.h"
#include "tests/support/TempImages.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using namespace tavo;

namespace {

using Devices = std::array<std::optional<std::string>, 9>; // by port number, [0] unused

std::string_view Trim(std::string_view text) {
    constexpr std::string_view kBlank = " \t\r\n\v\f";
    while (!text.empty() && kBlank.find(text.front()) != std::string_view::npos)
        text.remove_prefix(1);
    while (!text.empty() && kBlank.find(text.back()) != std::string_view::npos)
        text.remove_suffix(1);
    return text;
}

std::optional<int> PortNumber(std::string_view key) {
    if (key.empty() || key.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    const auto first = key.find_first_not_of('0');
    if (first == std::string_view::npos || key.size() - first != 1 || key[first] > '8')
        return std::nullopt;
    return key[first] - '0';
}

Devices Reference(std::string_view text) {
    Devices devices;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        auto line = text.substr(start, end - start);
        start = end + 1;
        line = line.substr(0, line.find('#'));
        const auto equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        const auto number = PortNumber(Trim(line.substr(0, equals)));
        const auto device = Trim(line.substr(equals + 1));
        if (number && !device.empty())
            devices[*number] = std::string(device);
    }
    return devices;
}

bool Agrees(const serial::PortMap& map, const Devices& devices) {
    for (int number = 1; number <= 8; ++number)
        if (map.deviceFor(number) !=
            devices[number].value_or(serial::PortMap::DefaultDevice(number)))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const Devices expected = Reference(text);
    TAVO_FUZZ_CHECK(Agrees(serial::PortMap::Parse(text), expected), "differs from the reference");

    std::string crlf;
    for (const char c : text) {
        if (c == '\n')
            crlf += '\r';
        crlf += c;
    }
    TAVO_FUZZ_CHECK(Agrees(serial::PortMap::Parse(crlf), expected), "CRLF line ends read apart");

    static const test::TempDir folder;
    const auto loaded = serial::PortMap::Load(folder.write("ports.txt", text));
    TAVO_FUZZ_CHECK(Agrees(loaded, size <= settings::kSmallFileLimit ? expected : Devices{}),
                    "the file on disk and the text read differently");
    return 0;
}
