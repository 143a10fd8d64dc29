#include "cli/Diagnosis.h"

#include <cerrno>
#include <vector>

#ifndef _WIN32
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tavo::flash {

namespace {

constexpr const char* kPortError = "Error encountered while accessing the com port.";
constexpr const char* kCloseError = "Error encountered while closing the com port.";
constexpr const char* kNoResponse = "No response from target bootloader.";

} // namespace

DeviceFacts ProbeDevice(const std::string& device) {
    DeviceFacts facts;
#ifndef _WIN32
    struct stat info {};
    if (::stat(device.c_str(), &info) != 0) {
        facts.exists = errno != ENOENT && errno != ENOTDIR;
        return facts;
    }
    facts.permissionDenied = ::access(device.c_str(), R_OK | W_OK) != 0 && errno == EACCES;
    // Boards of a gang explain their failures at the same time: the reentrant lookup.
    group entry{};
    group* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        facts.group = found->gr_name;
#else
    (void)device;
#endif
    return facts;
}

std::string OriginNote(const PortOrigin& origin) {
    if (origin.device.empty())
        return {};
    if (!origin.usbSerial.empty())
        return "usb:" + origin.usbSerial + " is " + origin.device;
    if (!origin.comNumber)
        return {};
    auto com = "\"Com " + std::to_string(*origin.comNumber) + "\" is " + origin.device;
    if (origin.fromPortsFile)
        return com + ", from " + origin.portsFile;
    return com + ", the default (no line " + std::to_string(*origin.comNumber) + "= in " +
           origin.portsFile + ")";
}

Explanation Explain(const engine::Message& message, const PortOrigin& origin,
                    const DeviceFacts& facts) {
    Explanation e;
    e.reason = message.detail;
    bool portFailure = message.text == kPortError || message.text == kCloseError;
    if (message.text == kNoResponse) {
        e.reason = "no ready answer from the board on " + origin.device;
        portFailure = true;
    }
    if (!portFailure)
        return e;
    if (auto note = OriginNote(origin); !note.empty())
        e.notes.push_back(note);
    if (message.text != kPortError)
        return e;
    if (!facts.exists)
        e.notes.push_back("hint: tavo-flash --list-ports lists the serial ports of this machine");
    else if (facts.permissionDenied)
        e.notes.push_back("hint: only members of the group '" +
                          (facts.group.empty() ? std::string("dialout") : facts.group) +
                          "' may open " + origin.device + ": sudo usermod -aG " +
                          (facts.group.empty() ? std::string("dialout") : facts.group) +
                          " $USER, then log in again");
    return e;
}

} // namespace tavo::flash
