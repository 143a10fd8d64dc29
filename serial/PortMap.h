#pragma once

#include <map>
#include <string>

// Maps the window's "Com 1".."Com 8" onto the platform's serial devices.
// A plain text file `ports.txt` beside the program holds one line per mapped number, `N=DEVICE`
// (e.g. `1=/dev/ttyUSB0`); numbers not in the file use DefaultDevice(N).
namespace tavo::serial {

class PortMap {
public:
    PortMap() = default;

    // Reads a ports.txt at a UTF-8 path; a file that is missing, unreadable, not a regular file
    // or larger than 64 KiB gives an empty map (all defaults). Malformed lines are skipped.
    static PortMap Load(const std::string& path);

    // Parses the text of a ports.txt.
    static PortMap Parse(const std::string& text);

    // The device behind port number 1..8.
    std::string deviceFor(int number) const;

    // Whether the file maps `number`; otherwise it opens DefaultDevice(number).
    bool maps(int number) const { return devices_.count(number) != 0; }

    // Linux: /dev/ttyS<N-1>; Windows: COM<N>.
    static std::string DefaultDevice(int number);

    void set(int number, std::string device) { devices_[number] = std::move(device); }

private:
    std::map<int, std::string> devices_;
};

// Whether a device exists right now (for tool tips and hints).
bool DevicePresent(const std::string& device);

} // namespace tavo::serial
