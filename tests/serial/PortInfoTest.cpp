// What the system says about its ports, told in one line, and a board found by its USB serial
// number, on a list made up for the test (no USB hardware needed).
#include "serial/PortInfo.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace tavo::serial {
namespace {

const std::vector<PortInfo> kPorts = {
    {"/dev/ttyS0", "", "", "", std::nullopt, std::nullopt},
    {"/dev/ttyUSB0", "FT232R USB UART", "FTDI", "A50285BI", 0x0403, 0x6001},
    {"/dev/ttyACM0", "Board", "Board", "7", 0x2341, 0x0043},
    {"/dev/ttyACM1", "Board", "Board", "7", 0x2341, 0x0043},
};

TEST(PortInfo, OneLineDescriptionLeavesOutWhatIsNotKnown) {
    EXPECT_EQ(Describe(kPorts[0]), "");
    EXPECT_EQ(Describe(kPorts[1]), "FT232R USB UART, FTDI, serial A50285BI, USB 0403:6001");
    // A driver that repeats its name as the manufacturer says it once.
    EXPECT_EQ(Describe(kPorts[2]), "Board, serial 7, USB 2341:0043");
    EXPECT_EQ(UsbId(kPorts[0]), "");
    EXPECT_EQ(PortToolTip("/dev/ttyUSB0", kPorts),
              "/dev/ttyUSB0: FT232R USB UART, FTDI, serial A50285BI, USB 0403:6001");
    EXPECT_EQ(PortToolTip("/dev/ttyS0", kPorts), "/dev/ttyS0");
    EXPECT_EQ(PortToolTip("/dev/null", kPorts), "/dev/null (present)");
    EXPECT_EQ(PortToolTip("/dev/tavo-no-such-port", kPorts),
              "/dev/tavo-no-such-port (not present)");
}

TEST(PortInfo, UsbSerialNumberNamesExactlyOnePort) {
    const struct {
        std::string serial;
        std::optional<std::string> device;
        std::string error;
    } cases[] = {
        {"A50285BI", "/dev/ttyUSB0", ""},
        {"a50285bi", std::nullopt, "no serial port has the USB serial number \"a50285bi\""},
        {"7", std::nullopt,
         "2 serial ports have the USB serial number \"7\": /dev/ttyACM0, /dev/ttyACM1"},
        // A port without a serial number is not the one with an empty one.
        {"", std::nullopt, "no serial port has the USB serial number \"\""},
    };
    for (const auto& c : cases) {
        auto found = FindUsbSerial(kPorts, c.serial);
        EXPECT_EQ(found.device, c.device) << c.serial;
        EXPECT_EQ(found.error, c.error) << c.serial;
    }
}

TEST(PortInfo, ComNumbersFollowPortsTxtAndItsLinks) {
    auto dir =
        std::filesystem::temp_directory_path() / ("tavo-portinfo-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    auto link = dir / "by-id-board";
    std::filesystem::create_symlink("/dev/null", link);

    // 3 through a link (as /dev/serial/by-id gives), 5 by name, the rest by default.
    auto map = PortMap::Parse("3=" + link.string() + "\n5=/dev/null\n");
    EXPECT_EQ(ComNumbersFor(map, "/dev/null"), (std::vector<int>{3, 5}));
    EXPECT_EQ(ComNumbersFor(map, "/dev/ttyS1"), (std::vector<int>{2}));
    EXPECT_TRUE(ComNumbersFor(map, "/dev/ttyS2").empty()); // ports.txt moved Com 3 elsewhere
    EXPECT_TRUE(map.maps(3));
    EXPECT_FALSE(map.maps(2));
    EXPECT_TRUE(FindPort({{"/dev/null", "", "", "", std::nullopt, std::nullopt}}, link.string()));
    std::filesystem::remove_all(dir);
}

} // namespace
} // namespace tavo::serial
