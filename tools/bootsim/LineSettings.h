#pragma once

#include <string>

// The line settings in force on a terminal device, read from either side of a pseudo-terminal
// (the master reports the slave's settings). Linux reports any bit rate, including rates
// outside the classic table such as 14400 and 56000.
namespace tavo::bootsim {

struct LineSettings {
    unsigned long baud = 0; // output bit rate
    int dataBits = 8;
    char parity = 'n'; // 'n', 'e' or 'o'
    int stopBits = 1;
    bool ixon = false;  // output stops on XOFF from the other side
    bool ixoff = false; // sends XOFF when its input fills up
    bool ixany = false; // any byte (not only XON) resumes output
    bool crtscts = false;

    bool operator==(const LineSettings&) const = default;

    // E.g. "19200,n,8,1 ixon ixoff -ixany -crtscts".
    std::string describe() const;
    // One "key=value" line per field, for --settings-out.
    std::string toKeyValueText() const;
};

// False when fd is no terminal.
bool ReadLineSettings(int fd, LineSettings& out);

} // namespace tavo::bootsim
