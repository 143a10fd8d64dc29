#include "cli/IdentityPlan.h"

#include "cli/Json.h"
#include "engine/ImageFile.h"
#include "engine/RunError.h"
#include "settings/Utf8Path.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace tavo::flash {

namespace {

std::variant<std::vector<std::string>, std::string> ReadLines(const std::string& path) {
    try {
        engine::ImageFile file;
        file.open(path);
        std::vector<std::string> lines;
        while (!file.atEnd())
            lines.push_back(file.readLine());
        return lines;
    } catch (const engine::RunError& error) {
        return error.reason().empty() ? std::string(error.what())
                                      : std::string(error.what()) + ": " + error.reason();
    }
}

} // namespace

std::variant<std::optional<IdentityOptions>, std::string>
ParseIdentityOptions(const std::string& counter, const std::string& list, const std::string& at,
                     const std::string& format) {
    if (counter.empty() && list.empty()) {
        if (!at.empty() || !format.empty())
            return std::string("--serial-at and --serial-format go with --serial-counter or "
                               "--serial-list");
        return std::optional<IdentityOptions>();
    }
    if (!counter.empty() && !list.empty())
        return std::string("--serial-counter and --serial-list exclude each other");
    if (at.empty())
        return std::string("--serial-counter and --serial-list need --serial-at "
                           "eeprom:ADDRESS or flash:ADDRESS");
    IdentityOptions options;
    options.list = !list.empty();
    options.source = options.list ? list : counter;
    auto place = ParseIdentityPlace(at);
    if (auto* error = std::get_if<IdentityError>(&place))
        return error->text;
    options.place = std::get<IdentityPlace>(place);
    if (!format.empty()) {
        auto parsed = ParseIdentityFormat(format);
        if (!parsed)
            return "--serial-format must be u16le, u16be, u32le, u32be, u64le, ascii:N or hex:N "
                   "(N 1.." +
                   std::to_string(kMaxIdentityDigits) + "), not '" + format + "'";
        options.format = *parsed;
    }
    return std::optional<IdentityOptions>(options);
}

std::string PlaceName(const IdentityPlace& place) {
    std::ostringstream name;
    name << (place.memory == IdentityMemory::Flash ? "flash:0x" : "eeprom:0x") << std::hex
         << std::uppercase << place.address;
    return name.str();
}

std::string IdentityJson(const GivenIdentity& given, bool flashed) {
    return JsonObject()
        .text("value", given.value)
        .text("format", given.format.name())
        .text("memory", given.place.memory == IdentityMemory::Flash ? "flash" : "eeprom")
        .integer("address", given.place.address)
        .raw("flashed", flashed ? "true" : "false")
        .str();
}

std::variant<IdentitySource, IdentitySource::Refusal>
IdentitySource::Prepare(const IdentityOptions& options, const settings::Settings& settings) {
    IdentitySource source(options);
    const bool flash = options.place.memory == IdentityMemory::Flash;
    if (flash && settings.flashCheck != 1)
        return Refusal{true, "--serial-at flash: needs a Flash image (--flash)"};
    std::vector<std::string> lines;
    if (flash || settings.eepromCheck == 1) {
        const auto& path = flash ? settings.applicationFile : settings.eepromFile;
        auto read = ReadLines(path);
        if (auto* error = std::get_if<std::string>(&read))
            return Refusal{false, "cannot read the " + std::string(flash ? "Flash" : "EEPROM") +
                                      " image " + path + ": " + *error};
        lines = std::move(std::get<std::vector<std::string>>(read));
    }
    const auto layout = LayoutOf(lines);
    source.setBase_ = layout.extendedAddress;
    if (auto error =
            CheckPlace(options.place, options.format.size(), flash ? &layout : nullptr, {}))
        return Refusal{true, "--serial-at " + error->text};
    return source;
}

std::variant<std::vector<GivenIdentity>, IdentityError>
IdentitySource::give(std::size_t boards) const {
    std::vector<std::string> values;
    if (options_.list) {
        auto taken = TakeFromList(options_.source, boards, options_.format);
        if (auto* error = std::get_if<IdentityError>(&taken))
            return *error;
        values = std::move(std::get<std::vector<std::string>>(taken));
    } else {
        auto taken = TakeFromCounter(options_.source, boards, options_.format);
        if (auto* error = std::get_if<IdentityError>(&taken))
            return *error;
        for (auto number : std::get<std::vector<std::uint64_t>>(taken))
            values.push_back(std::to_string(number));
    }

    std::vector<GivenIdentity> given;
    for (const auto& value : values) {
        // Taking checked every value against the format already.
        auto bytes = options_.list ? EncodeValue(value, options_.format)
                                   : EncodeNumber(std::stoull(value), options_.format);
        if (auto* error = std::get_if<IdentityError>(&bytes))
            return *error;
        given.push_back(
            {value, options_.format, options_.place,
             IdentityRecords(options_.place.address, std::get<IdentityBytes>(bytes), setBase_),
             options_.place.memory == IdentityMemory::Flash ? "flash" : "eeprom"});
    }
    return given;
}

std::optional<std::string> IdentitySource::noteOutcome(const GivenIdentity& given,
                                                       bool flashed) const {
    if (!options_.list)
        return std::nullopt;
    return NoteListOutcome(options_.source, given.value, flashed);
}

BoardImages::~BoardImages() {
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

std::optional<std::string>
BoardImages::apply(const std::map<std::string, std::vector<std::string>>& extra,
                   const std::string& name, settings::Settings& settings) {
    for (const auto& [image, records] : extra) {
        if (records.empty())
            continue;
        if (image != "flash" && image != "eeprom")
            return "no image '" + image + "' to carry its records";
        const bool flash = image == "flash";
        const bool chosen = flash ? settings.flashCheck == 1 : settings.eepromCheck == 1;
        auto& path = flash ? settings.applicationFile : settings.eepromFile;
        std::vector<std::string> lines;
        if (chosen) {
            auto read = ReadLines(path);
            if (auto* error = std::get_if<std::string>(&read))
                return "cannot read " + path + ": " + *error;
            lines = std::move(std::get<std::vector<std::string>>(read));
        }
        if (folder_.empty()) {
            std::error_code error;
            auto base = std::filesystem::temp_directory_path(error);
            std::string pattern =
                (error ? std::filesystem::path("/tmp") : base) / "tavo-flash-XXXXXX";
            if (::mkdtemp(pattern.data()) == nullptr)
                return "cannot create a temporary folder: " +
                       std::generic_category().message(errno);
            folder_ = pattern;
        }
        auto copy = folder_ / (name + "-" +
                               (chosen ? settings::PathFromUtf8(path).filename().string()
                                       : std::string("identity.eep")));
        std::ofstream out(copy, std::ios::binary);
        for (const auto& line : WithRecords(std::move(lines), records))
            out << line << '\n';
        out.close();
        if (!out)
            return "cannot write " + copy.string();
        path = settings::Utf8FromPath(copy);
        (flash ? settings.flashCheck : settings.eepromCheck) = 1;
    }
    return std::nullopt;
}

} // namespace tavo::flash
