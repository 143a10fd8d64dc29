#pragma once

#include <string>

// The sixteen user settings with their defaults. The window's controls hold them while the
// program runs; this struct is what travels between the window, the settings file and the
// download run.
namespace tavo::settings {

struct Settings {
    int comPortIndex = 0;        // Combo1 list index: -1 none, 0..7 = "Com 1".."Com 8"
    int baudIndex = 5;           // Combo2 list index: -1 none, 0..9 ("19200")
    std::string applicationFile; // Text1, the Flash image
    std::string startDownloadSequence = "@&$"; // Text2
    std::string bootloaderReady = "?";         // BLReadyText
    std::string jumpCommand = "$";             // Text4
    std::string bootloaderActive = "^";        // Text5
    std::string pageError = "%";               // Text7
    std::string fileCompleteWithErrors = "#";  // Text8
    std::string fileCompleteNoErrors = "@";    // Text9
    std::string checksumError = "-";           // Text10
    std::string lineComplete = "~";            // Text6
    std::string eepromFile;                    // Text11, the EEPROM image
    std::string eepromWrite = "*";             // Text12
    int eepromCheck = 0;                       // EepromCheck value: 0, 1 or 2 (greyed)
    int flashCheck = 1;                        // FlashCheck value

    bool operator==(const Settings&) const = default;
};

// Puts all sixteen settings back to their defaults (both paths cleared).
void LoadDefaults(Settings& settings);

inline constexpr int kPortCount = 8;  // "Com 1" .. "Com 8"
inline constexpr int kBaudCount = 10; // entries of the baud list

} // namespace tavo::settings
