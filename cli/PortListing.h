#pragma once

#include "serial/PortInfo.h"
#include "serial/PortMap.h"

#include <string>
#include <vector>

// tavo-flash --list-ports: the serial ports of this machine and the "Com N" that opens each.
namespace tavo::flash {

struct ListedPort {
    serial::PortInfo info;
    std::vector<int> comNumbers; // the "Com N" that ports.txt (or the default) maps to it
};

std::vector<ListedPort> ListPorts(const std::vector<serial::PortInfo>& ports,
                                  const serial::PortMap& map);

// A plain table with a header, "-" for what the system does not know; then the numbers that
// ports.txt maps to a device that is not there.
std::string PortTable(const std::vector<ListedPort>& ports, const serial::PortMap& map);

// A JSON array, one object per port: device, description, manufacturer, serialNumber, usb
// ("vvvv:pppp"), com (an array of numbers); null for what is not known.
std::string PortJson(const std::vector<ListedPort>& ports);

} // namespace tavo::flash
