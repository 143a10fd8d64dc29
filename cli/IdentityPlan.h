#pragma once

#include "cli/Identity.h"
#include "settings/Settings.h"

#include <filesystem>
#include <map>
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
    std::vector<std::string> records; // the Intel HEX records that carry it
    std::string image;                // "flash" or "eeprom": the image the records go into
};

// The "identity" object of a board's record.
std::string IdentityJson(const GivenIdentity& given, bool flashed);

// Where the values come from, checked once against the images every board is sent.
class IdentitySource {
public:
    struct Refusal {
        bool usage = false; // a usage error; otherwise an image cannot be read
        std::string text;
    };

    // Reads the Flash image (for a Flash place) and checks the place against it.
    static std::variant<IdentitySource, Refusal> Prepare(const IdentityOptions& options,
                                                         const settings::Settings& settings);

    // Takes one value per board, in board order. On an error no value was taken.
    std::variant<std::vector<GivenIdentity>, IdentityError> give(std::size_t boards) const;

    // After a board's run: a list's journal notes whether the value went into a board. The
    // reason when it cannot.
    std::optional<std::string> noteOutcome(const GivenIdentity& given, bool flashed) const;

    // The list's journal or the counter file.
    const std::string& source() const { return options_.source; }

private:
    explicit IdentitySource(IdentityOptions options) : options_(std::move(options)) {}

    IdentityOptions options_;
    bool setBase_ = false; // the image sets an extended address of its own
};

// Copies of the images boards are sent, each with records of its own before its end record, in a
// private temporary folder that goes with this object.
class BoardImages {
public:
    BoardImages() = default;
    BoardImages(const BoardImages&) = delete;
    BoardImages& operator=(const BoardImages&) = delete;
    ~BoardImages();

    // Points `settings` at copies of its images that carry `extra` (by image: "flash",
    // "eeprom"); EEPROM records without an EEPROM image become an EEPROM image of their own.
    // `name` tells the copies of different boards apart. The reason when a copy cannot be made.
    std::optional<std::string> apply(const std::map<std::string, std::vector<std::string>>& extra,
                                     const std::string& name, settings::Settings& settings);

private:
    std::filesystem::path folder_;
};

} // namespace tavo::flash
