#include "serial/PortMap.h"

#include "settings/FileAccess.h"

#include <charconv>
#include <filesystem>

#ifdef _WIN32
#include <QSerialPortInfo>
#endif

namespace tavo::serial {

namespace {

std::string_view Trim(std::string_view text) {
    const auto blank = " \t\r\n\v\f";
    auto first = text.find_first_not_of(blank);
    if (first == std::string_view::npos)
        return {};
    auto last = text.find_last_not_of(blank);
    return text.substr(first, last - first + 1);
}

} // namespace

PortMap PortMap::Load(const std::string& path) {
    const auto text = settings::ReadSmallFile(path);
    return text ? Parse(*text) : PortMap{};
}

PortMap PortMap::Parse(const std::string& text) {
    PortMap map;
    std::string_view rest = text;
    while (!rest.empty()) {
        auto end = rest.find('\n');
        auto line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);

        if (auto hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        auto equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        auto key = Trim(line.substr(0, equals));
        auto device = Trim(line.substr(equals + 1));
        int number = 0;
        auto [ptr, ec] = std::from_chars(key.data(), key.data() + key.size(), number);
        if (ec != std::errc{} || ptr != key.data() + key.size() || number < 1 || number > 8 ||
            device.empty())
            continue;
        map.set(number, std::string(device));
    }
    return map;
}

std::string PortMap::deviceFor(int number) const {
    auto it = devices_.find(number);
    return it != devices_.end() ? it->second : DefaultDevice(number);
}

std::string PortMap::DefaultDevice(int number) {
#ifdef _WIN32
    return "COM" + std::to_string(number);
#else
    return "/dev/ttyS" + std::to_string(number - 1);
#endif
}

bool DevicePresent(const std::string& device) {
    if (device.empty())
        return false;
#ifdef _WIN32
    for (const auto& info : QSerialPortInfo::availablePorts())
        if (info.portName().compare(QString::fromStdString(device), Qt::CaseInsensitive) == 0)
            return true;
    return false;
#else
    std::error_code error;
    return std::filesystem::exists(device, error);
#endif
}

} // namespace tavo::serial
