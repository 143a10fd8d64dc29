#pragma once

#include "engine/RunHost.h"

#include <optional>
#include <string>
#include <vector>

// Why a run failed, in the words of a console: the lines tavo-flash prints under a failure
// message (the window keeps its fixed box texts).
namespace tavo::flash {

// Where the device of a run came from.
struct PortOrigin {
    std::string device;           // what the run opens
    std::optional<int> comNumber; // "Com N", when the device comes from the number
    bool fromPortsFile = false;   // ports.txt maps that number (otherwise the default device)
    std::string portsFile;        // where ports.txt was looked for
    std::string usbSerial;        // --port usb:SERIAL
    std::optional<int> baud;      // the rate the run talks at
};

// What the system says about a device right now.
struct DeviceFacts {
    bool exists = true;
    bool permissionDenied = false; // it exists, and this user may not open it
    std::string group;             // the group that owns it
    std::string owner;             // the user that owns it
    unsigned mode = 0;             // its permission bits (0660)
    bool inGroupNow = false;       // this process is a member of `group`
    bool inGroupAtLogin = false;   // the user database makes the user a member at the next login
};

DeviceFacts ProbeDevice(const std::string& device);

struct Explanation {
    std::string reason;             // the cause: the device (or file) and the system's reason
    std::vector<std::string> notes; // where "Com N" came from; a hint where one helps
};

// "Com 3" is /dev/ttyS2, the default (no line 3= in /opt/tavo/ports.txt)
std::string OriginNote(const PortOrigin& origin);

// The explanation of a failure message; empty for a success and for messages that say all.
Explanation Explain(const engine::Message& message, const PortOrigin& origin,
                    const DeviceFacts& facts);

} // namespace tavo::flash
