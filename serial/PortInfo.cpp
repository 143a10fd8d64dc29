#include "serial/PortInfo.h"

#include <QSerialPortInfo>

#include <cstdio>
#include <filesystem>

namespace tavo::serial {

namespace {

std::string Text(const QString& text) {
    return text.trimmed().toStdString();
}

std::string Hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

} // namespace

std::vector<PortInfo> AvailablePorts() {
    std::vector<PortInfo> ports;
    for (const auto& info : QSerialPortInfo::availablePorts()) {
        PortInfo port;
        port.device = Text(info.systemLocation());
        port.description = Text(info.description());
        port.manufacturer = Text(info.manufacturer());
        port.serialNumber = Text(info.serialNumber());
        if (info.hasVendorIdentifier())
            port.vendorId = info.vendorIdentifier();
        if (info.hasProductIdentifier())
            port.productId = info.productIdentifier();
        ports.push_back(std::move(port));
    }
    return ports;
}

std::string UsbId(const PortInfo& port) {
    if (!port.vendorId || !port.productId)
        return {};
    return Hex4(*port.vendorId) + ":" + Hex4(*port.productId);
}

std::string Describe(const PortInfo& port) {
    std::string text;
    auto add = [&](const std::string& part) {
        if (part.empty())
            return;
        if (!text.empty())
            text += ", ";
        text += part;
    };
    add(port.description);
    // Generic drivers repeat their name as the manufacturer.
    if (port.manufacturer != port.description)
        add(port.manufacturer);
    if (!port.serialNumber.empty())
        add("serial " + port.serialNumber);
    if (auto id = UsbId(port); !id.empty())
        add("USB " + id);
    return text;
}

bool SameDevice(const std::string& a, const std::string& b) {
#ifdef _WIN32
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
#else
    if (a == b)
        return true;
    std::error_code ea, eb;
    auto pa = std::filesystem::weakly_canonical(a, ea);
    auto pb = std::filesystem::weakly_canonical(b, eb);
    return !ea && !eb && pa == pb;
#endif
}

std::optional<PortInfo> FindPort(const std::vector<PortInfo>& ports, const std::string& device) {
    for (const auto& port : ports)
        if (SameDevice(port.device, device))
            return port;
    return std::nullopt;
}

std::vector<int> ComNumbersFor(const PortMap& map, const std::string& device) {
    std::vector<int> numbers;
    for (int n = 1; n <= 8; ++n)
        if (SameDevice(map.deviceFor(n), device))
            numbers.push_back(n);
    return numbers;
}

std::string PortToolTip(const std::string& device, const std::vector<PortInfo>& ports) {
    if (auto port = FindPort(ports, device)) {
        auto text = Describe(*port);
        return text.empty() ? device : device + ": " + text;
    }
    return device + (DevicePresent(device) ? " (present)" : " (not present)");
}

UsbLookup FindUsbSerial(const std::vector<PortInfo>& ports, const std::string& serialNumber) {
    std::vector<std::string> found;
    for (const auto& port : ports)
        if (!port.serialNumber.empty() && port.serialNumber == serialNumber)
            found.push_back(port.device);
    if (found.size() == 1)
        return {found.front(), {}};
    if (found.empty())
        return {std::nullopt, "no serial port has the USB serial number \"" + serialNumber + "\""};
    std::string list;
    for (const auto& device : found)
        list += (list.empty() ? "" : ", ") + device;
    return {std::nullopt, std::to_string(found.size()) +
                              " serial ports have the USB serial number \"" + serialNumber +
                              "\": " + list};
}

} // namespace tavo::serial
