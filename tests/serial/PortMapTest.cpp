#include "serial/PortMap.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace tavo::serial {
namespace {

TEST(PortMap, DefaultsFollowThePlatformNaming) {
    EXPECT_EQ(PortMap().deviceFor(1), "/dev/ttyS0");
    EXPECT_EQ(PortMap().deviceFor(8), "/dev/ttyS7");
    EXPECT_EQ(PortMap::DefaultDevice(4), "/dev/ttyS3");
    // Also from an empty file, one with nothing mapped, or none at all.
    EXPECT_EQ(PortMap::Parse("").deviceFor(2), "/dev/ttyS1");
    EXPECT_EQ(PortMap::Parse("\n\n  \n#1=/dev/x\n").deviceFor(1), "/dev/ttyS0");
    EXPECT_EQ(PortMap::Load("/nonexistent/ports.txt").deviceFor(3), "/dev/ttyS2");
}

TEST(PortMap, ParsesMappedLinesAndSkipsTheRest) {
    auto map = PortMap::Parse("# adapters on the bench\n"
                              "1=/dev/ttyUSB0\n"
                              "  2 =  /dev/ttyACM1  \r\n"
                              "3=/dev/serial/by-id/usb-x # the grey cable\n"
                              "4\n"            // no '='
                              "x=/dev/ttyS9\n" // not a number
                              "9=/dev/ttyS9\n" // out of range
                              "0=/dev/ttyS9\n"
                              "5=\n" // no device
                              "6=/dev/a\n"
                              "6=/dev/b\n" // the later line wins
                              "7 1=/dev/c\n"
                              "8=/dev/ttyUSB8");
    const char* expected[] = {"/dev/ttyUSB0", "/dev/ttyACM1", "/dev/serial/by-id/usb-x",
                              "/dev/ttyS3",   "/dev/ttyS4",   "/dev/b",
                              "/dev/ttyS6",   "/dev/ttyUSB8"};
    for (int port = 1; port <= 8; ++port)
        EXPECT_EQ(map.deviceFor(port), expected[port - 1]) << port;
}

TEST(PortMap, LoadsAFile) {
    char path[] = "/tmp/tavo-ports-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(path) << "2=/dev/ttyUSB3\n";
    auto map = PortMap::Load(path);
    std::remove(path);
    EXPECT_EQ(map.deviceFor(2), "/dev/ttyUSB3");
    EXPECT_EQ(map.deviceFor(1), "/dev/ttyS0");
}

TEST(PortMap, DevicePresence) {
    EXPECT_TRUE(DevicePresent("/dev/null"));
    EXPECT_FALSE(DevicePresent("/dev/does-not-exist"));
    EXPECT_FALSE(DevicePresent(""));
}

} // namespace
} // namespace tavo::serial
