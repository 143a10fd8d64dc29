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

void ApplyIdentity(const GivenIdentity& given, settings::Settings& settings) {
    if (given.place.memory == IdentityMemory::Flash) {
        settings.applicationFile = given.image;
    } else {
        settings.eepromCheck = 1;
        settings.eepromFile = given.image;
    }
}

std::variant<IdentityImages, IdentityImages::Refusal>
IdentityImages::Prepare(const IdentityOptions& options, const settings::Settings& settings) {
    IdentityImages images(options);
    const bool flash = options.place.memory == IdentityMemory::Flash;
    if (flash && settings.flashCheck != 1)
        return Refusal{true, "--serial-at flash: needs a Flash image (--flash)"};
    const bool chosen = flash || settings.eepromCheck == 1;
    const auto& path = flash ? settings.applicationFile : settings.eepromFile;
    if (chosen) {
        auto read = ReadLines(path);
        if (auto* error = std::get_if<std::string>(&read))
            return Refusal{false, "cannot read the " + std::string(flash ? "Flash" : "EEPROM") +
                                      " image " + path + ": " + *error};
        images.lines_ = std::move(std::get<std::vector<std::string>>(read));
        images.imageName_ = settings::PathFromUtf8(path).filename().string();
    } else {
        images.imageName_ = "identity.eep";
    }
    const auto layout = LayoutOf(images.lines_);
    images.setBase_ = layout.extendedAddress;
    if (auto error =
            CheckPlace(options.place, options.format.size(), flash ? &layout : nullptr, {}))
        return Refusal{true, "--serial-at " + error->text};
    return images;
}

IdentityImages::IdentityImages(IdentityImages&& other) noexcept
    : options_(std::move(other.options_)), lines_(std::move(other.lines_)),
      imageName_(std::move(other.imageName_)), setBase_(other.setBase_),
      folder_(std::move(other.folder_)) {
    other.folder_.clear();
}

IdentityImages::~IdentityImages() {
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

std::variant<std::vector<GivenIdentity>, IdentityError> IdentityImages::give(std::size_t boards) {
    // The folder first: once values are taken, they are gone whatever happens next.
    if (folder_.empty()) {
        std::error_code error;
        auto base = std::filesystem::temp_directory_path(error);
        std::string pattern =
            ((error ? std::filesystem::path("/tmp") : base) / "tavo-flash-XXXXXX");
        if (::mkdtemp(pattern.data()) == nullptr)
            return IdentityError{"cannot create a temporary folder for the boards' images: " +
                                 std::generic_category().message(errno)};
        folder_ = pattern;
    }

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
    for (std::size_t i = 0; i < values.size(); ++i) {
        auto bytes = options_.list ? EncodeValue(values[i], options_.format)
                                   : EncodeNumber(std::stoull(values[i]), options_.format);
        // Taking checked every value against the format already.
        if (auto* error = std::get_if<IdentityError>(&bytes))
            return *error;
        auto lines = WithRecords(lines_, IdentityRecords(options_.place.address,
                                                         std::get<IdentityBytes>(bytes), setBase_));
        auto path = folder_ / ("board-" + std::to_string(i + 1) + "-" + imageName_);
        std::ofstream out(path, std::ios::binary);
        for (const auto& line : lines)
            out << line << '\n';
        out.close();
        if (!out)
            return IdentityError{"cannot write the image with the value " + values[i] + " to " +
                                 path.string()};
        given.push_back({values[i], options_.format, options_.place, settings::Utf8FromPath(path)});
    }
    return given;
}

std::optional<std::string> IdentityImages::noteOutcome(const GivenIdentity& given,
                                                       bool flashed) const {
    if (!options_.list)
        return std::nullopt;
    return NoteListOutcome(options_.source, given.value, flashed);
}

} // namespace tavo::flash
