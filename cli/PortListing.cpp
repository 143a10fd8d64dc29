#include "cli/PortListing.h"

#include "cli/Json.h"

#include <algorithm>
#include <array>

namespace tavo::flash {

namespace {

std::string ComList(const std::vector<int>& numbers) {
    std::string text;
    for (int n : numbers)
        text += (text.empty() ? "" : ",") + std::to_string(n);
    return text;
}

} // namespace

std::vector<ListedPort> ListPorts(const std::vector<serial::PortInfo>& ports,
                                  const serial::PortMap& map) {
    std::vector<ListedPort> listed;
    for (const auto& port : ports)
        listed.push_back({port, serial::ComNumbersFor(map, port.device)});
    return listed;
}

std::string PortTable(const std::vector<ListedPort>& ports, const serial::PortMap& map) {
    std::vector<std::array<std::string, 6>> rows = {
        {"DEVICE", "COM", "USB", "SERIAL", "MANUFACTURER", "DESCRIPTION"}};
    for (const auto& p : ports)
        rows.push_back({p.info.device, ComList(p.comNumbers), serial::UsbId(p.info),
                        p.info.serialNumber, p.info.manufacturer, p.info.description});
    std::array<std::size_t, 6> width{};
    for (auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (row[c].empty())
                row[c] = "-";
            width[c] = std::max(width[c], row[c].size());
        }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size())
                line.append(width[c] - row[c].size() + 2, ' ');
        }
        text += line + "\n";
    }
    if (ports.empty())
        text += "(no serial ports found)\n";
    for (int n = 1; n <= 8; ++n) {
        if (!map.maps(n))
            continue;
        auto device = map.deviceFor(n);
        bool listed = std::any_of(ports.begin(), ports.end(), [&](const ListedPort& p) {
            return serial::SameDevice(p.info.device, device);
        });
        if (!listed)
            text += "Com " + std::to_string(n) + ": ports.txt maps it to " + device + ", " +
                    (serial::DevicePresent(device) ? "which is no serial port listed here\n"
                                                   : "which is not present\n");
    }
    return text;
}

std::string PortJson(const std::vector<ListedPort>& ports) {
    std::vector<std::string> objects;
    for (const auto& p : ports) {
        JsonObject o;
        auto maybe = [&](const char* key, const std::string& value) {
            value.empty() ? o.null(key) : o.text(key, value);
        };
        o.text("device", p.info.device);
        maybe("description", p.info.description);
        maybe("manufacturer", p.info.manufacturer);
        maybe("serialNumber", p.info.serialNumber);
        maybe("usb", serial::UsbId(p.info));
        std::vector<std::string> numbers;
        for (int n : p.comNumbers)
            numbers.push_back(std::to_string(n));
        o.raw("com", JsonArray(numbers));
        objects.push_back(o.str());
    }
    return JsonArray(objects) + "\n";
}

} // namespace tavo::flash
