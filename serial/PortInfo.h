#pragma once

#include "serial/PortMap.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What the system tells about its serial ports, for tavo-flash --list-ports and the window's
// "Com N" tool tips, and the lookup of a board by its USB serial number.
namespace tavo::serial {

struct PortInfo {
    std::string device; // where it opens: /dev/ttyUSB0, COM3
    std::string description;
    std::string manufacturer;
    std::string serialNumber;
    std::optional<std::uint16_t> vendorId;
    std::optional<std::uint16_t> productId;
};

// Every serial port the system knows of, in its order.
std::vector<PortInfo> AvailablePorts();

// "0403:6001" (lower-case hex), or empty when the port is no USB device.
std::string UsbId(const PortInfo& port);

// One line: "FT232R USB UART, FTDI, serial A50285BI, USB 0403:6001"; the parts the system does
// not know are left out.
std::string Describe(const PortInfo& port);

// Whether two names lead to the same device (a /dev/serial/by-id link and its target do).
bool SameDevice(const std::string& a, const std::string& b);

// The port among `ports` that `device` names; nothing when it is none of them.
std::optional<PortInfo> FindPort(const std::vector<PortInfo>& ports, const std::string& device);

// The numbers 1..8 whose "Com N" opens `device` under `map`.
std::vector<int> ComNumbersFor(const PortMap& map, const std::string& device);

// The tool tip of a "Com N" entry: "/dev/ttyUSB0: FT232R USB UART, FTDI, ..." for a port the
// system lists, otherwise the device with "(present)" or "(not present)".
std::string PortToolTip(const std::string& device, const std::vector<PortInfo>& ports);

// The device of the one port whose USB serial number is `serialNumber`, or why there is none.
struct UsbLookup {
    std::optional<std::string> device;
    std::string error; // when there is no device: none has that number, or several have
};
UsbLookup FindUsbSerial(const std::vector<PortInfo>& ports, const std::string& serialNumber);

} // namespace tavo::serial
