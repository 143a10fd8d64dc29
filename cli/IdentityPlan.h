#pragma once

#include "cli/Identity.h"
#include "settings/Settings.h"

#include <filesystem>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// Identity on the command line: where the values come from and go, the images each board is sent
// with its value in them, and what its record says.
namespace tavo::flash {

struct IdentityOptions {
    std::string source; // the counter or list file
    bool list = false;  // --serial-list rather than --serial-counter
    IdentityPlace place;
    IdentityFormat format;
};

// The identity options as given (each empty when absent): nothing when none asks for identity,
// or the reason they do not go together.
std::variant<std::optional<IdentityOptions>, std::string>
ParseIdentityOptions(const std::string& counter, const std::string& list, const std::string& at,
                     const std::string& format);

// "flash:0x100", "eeprom:0x3F0".
std::string PlaceName(const IdentityPlace& place);

// What one board was given.
struct GivenIdentity {
    std::string value; // the counter's number in decimal, or the list's value as written
    IdentityFormat format;
    IdentityPlace place;
    std::string image; // the image sent in place of the technician's, the value in it
};

// The "identity" object of a board's record.
std::string IdentityJson(const GivenIdentity& given, bool flashed);

// Points the settings of a board's run at the image that carries its value; an EEPROM place
// without an EEPROM image makes that image the EEPROM image.
void ApplyIdentity(const GivenIdentity& given, settings::Settings& settings);

// The chosen images read and checked once for every board, then one value and one image per
// board. The images live in a private temporary folder that goes with this object.
class IdentityImages {
public:
    struct Refusal {
        bool usage = false; // a usage error; otherwise an image cannot be read
        std::string text;
    };

    // Reads the image the value goes into (if chosen) and checks the place against the images.
    static std::variant<IdentityImages, Refusal> Prepare(const IdentityOptions& options,
                                                         const settings::Settings& settings);
    IdentityImages(IdentityImages&& other) noexcept;
    IdentityImages& operator=(IdentityImages&&) = delete;
    ~IdentityImages();

    // Takes one value per board, in board order, and writes each board's image. Nothing is sent
    // before this succeeds; on an error no value was taken.
    std::variant<std::vector<GivenIdentity>, IdentityError> give(std::size_t boards);

    // After a board's run: a list's journal notes whether the value went into a board. The
    // reason when it cannot.
    std::optional<std::string> noteOutcome(const GivenIdentity& given, bool flashed) const;

private:
    explicit IdentityImages(IdentityOptions options) : options_(std::move(options)) {}

    IdentityOptions options_;
    std::vector<std::string> lines_; // the image the value goes into; empty for a new EEPROM image
    std::string imageName_;
    bool setBase_ = false;
    std::filesystem::path folder_;
};

} // namespace tavo::flash
