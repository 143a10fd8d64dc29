// The settings file reader on arbitrary bytes. Whatever it accepts must write back as a file that
// reads to the same settings, and reading the bytes from a stream must agree with loading them
// from a file on disk.
#include "fuzz/Check.h"
#include "settings/FileAccess.h"
#include "settings/SettingsFile.h"
#include "tests/support/TempImages.h"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

using namespace tavo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::istringstream in(bytes);
    const auto read = settings::ReadSettings(in);

    static const test::TempDir folder;
    settings::Settings expected;
    settings::LoadDefaults(expected);
    if (read && size <= settings::kSmallFileLimit)
        expected = *read;
    TAVO_FUZZ_CHECK(settings::LoadSettings(folder.write("dazez.txt", bytes)) == expected,
                    "the file on disk and the stream read differently");
    if (!read)
        return 0;

    std::ostringstream written;
    settings::WriteSettings(written, *read);
    std::istringstream back(written.str());
    const auto again = settings::ReadSettings(back);
    TAVO_FUZZ_CHECK(again && *again == *read, "written settings read back differently");
    std::ostringstream rewritten;
    settings::WriteSettings(rewritten, *again);
    TAVO_FUZZ_CHECK(rewritten.str() == written.str(), "a second write differs from the first");
    return 0;
}
