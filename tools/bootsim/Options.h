#pragma once

#include "tools/bootsim/Board.h"

#include <optional>
#include <string>
#include <vector>

// The command line of tavo-bootsim.
namespace tavo::bootsim {

struct Options {
    BoardConfig board;

    std::string pathFile;     // receives the slave device's path
    std::string link;         // symlink to the slave device
    std::string receivedFile; // every byte received, raw
    std::string flashOut;     // decoded Flash memory, raw binary
    std::string eepromOut;    // decoded EEPROM memory, raw binary
    std::string settingsOut;  // the slave's line settings, key=value lines

    int delayMs = 0;            // before each answer
    int latencyMs = 0;          // an adapter's latency timer on the answers; 0: none
    unsigned long paceBaud = 0; // wire time of this bit rate for every byte; 0: none
    bool paceFromLine = false;  // take the rate from the slave's current settings
    bool exitAfterEof = false;  // end once a download is complete
    bool verbose = false;
    bool rateDeaf = false; // extension: input at a switched rate never arrives
};

struct ParsedOptions {
    std::optional<Options> options; // set when the command line was usable and no --help
    bool help = false;
    std::string error;
};

ParsedOptions ParseOptions(const std::vector<std::string>& args);

std::string HelpText();

// Turns the escapes \\ \n \r \t \e \xHH of a command-line text into their bytes.
std::optional<std::string> Unescape(const std::string& text);

} // namespace tavo::bootsim
