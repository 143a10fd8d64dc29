#include "cli/Diagnosis.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#ifndef _WIN32
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tavo::flash {

namespace {

constexpr const char* kPortError = "Error encountered while accessing the com port.";
constexpr const char* kCloseError = "Error encountered while closing the com port.";
constexpr const char* kNoResponse = "No response from target bootloader.";

// Groups that give far more than a serial port (the whole system, its disks, its logs): never
// suggested, even where they would open the device.
bool PrivilegedGroup(const std::string& group) {
    for (const char* name : {"root", "wheel", "sudo", "adm", "disk"})
        if (group == name)
            return true;
    return false;
}

std::string OctalMode(unsigned mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode & 07777u);
    return text;
}

std::string PermissionHint(const std::string& device, const DeviceFacts& facts) {
    const bool groupOpens = (facts.mode & 060u) == 060u && !facts.group.empty();
    if (groupOpens && !PrivilegedGroup(facts.group) && !facts.inGroupNow) {
        if (facts.inGroupAtLogin)
            return "hint: you are a member of the group '" + facts.group + "' that may open " +
                   device + ", but this session began before you joined it: log in again";
        return "hint: only members of the group '" + facts.group + "' may open " + device +
               ": sudo usermod -aG " + facts.group + " $USER, then log in again";
    }
    // Say who owns it and what would help: never a group that opens far more than a port.
    const auto owner = facts.owner.empty() ? std::string("?") : facts.owner;
    const auto group = facts.group.empty() ? std::string("?") : facts.group;
    const auto known = "hint: " + device + " belongs to " + owner + ":" + group + " with mode " +
                       OctalMode(facts.mode);
    const auto remedy = "a udev rule can give it a group for serial ports (GROUP=\"dialout\", "
                        "MODE=\"0660\"), or ask its owner (" +
                        owner + ") for access";
    if (!groupOpens)
        return known + ", which opens it to no group: " + remedy;
    if (PrivilegedGroup(facts.group))
        return known + "; joining '" + group + "' would open far more than this port: " + remedy;
    return known + ", and you are in '" + group +
           "' already: something else refuses (an access list or a security module); ask its "
           "owner (" +
           owner + ")";
}

#ifndef _WIN32
// Whether the user would be in `gid` after logging in again.
bool UserDatabaseMember(gid_t gid) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return false;
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    groups.resize(static_cast<std::size_t>(count));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

bool ProcessMember(gid_t gid) {
    if (::getegid() == gid)
        return true;
    int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    count = ::getgroups(count, groups.data());
    return count > 0 && std::find(groups.begin(), groups.begin() + count, gid) != groups.end();
}
#endif

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
    passwd user{};
    passwd* owner = nullptr;
    if (::getpwuid_r(info.st_uid, &user, buffer.data(), buffer.size(), &owner) == 0 && owner)
        facts.owner = owner->pw_name;
    facts.mode = static_cast<unsigned>(info.st_mode) & 07777u;
    facts.inGroupNow = ProcessMember(info.st_gid);
    facts.inGroupAtLogin = UserDatabaseMember(info.st_gid);
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
    if (message.text == kNoResponse) {
        // Nothing the board said was the ready answer: the usual causes, cheapest check first.
        auto rate = origin.baud ? std::to_string(*origin.baud) : std::string("the set rate");
        e.notes.push_back("hint: the loader talked at " + rate +
                          " baud: --baud must be the bootloader's rate; check that the cable "
                          "joins the board's TX and RX to this port");
        e.notes.push_back("hint: the running application must answer the jump command with its "
                          "jump routine; a board without one must be in its bootloader already "
                          "(reset it just before the run)");
        e.notes.push_back("hint: --trace FILE shows every byte sent and received");
        return e;
    }
    if (message.text != kPortError)
        return e;
    if (!facts.exists)
        e.notes.push_back("hint: tavo-flash --list-ports lists the serial ports of this machine");
    else if (facts.permissionDenied)
        e.notes.push_back(PermissionHint(origin.device, facts));
    return e;
}

} // namespace tavo::flash
