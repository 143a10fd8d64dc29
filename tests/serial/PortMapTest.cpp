#include "serial/PortMap.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace tavo::serial {
namespace {

TEST(PortMap, DefaultsFollowThePlatformNaming) {
    PortMap map;
    EXPECT_EQ(map.deviceFor(1), "/dev/ttyS0");
    EXPECT_EQ(map.deviceFor(8), "/dev/ttyS7");
    EXPECT_EQ(PortMap::DefaultDevice(4), "/dev/ttyS3");
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
    EXPECT_EQ(map.deviceFor(1), "/dev/ttyUSB0");
    EXPECT_EQ(map.deviceFor(2), "/dev/ttyACM1");
    EXPECT_EQ(map.deviceFor(3), "/dev/serial/by-id/usb-x");
    EXPECT_EQ(map.deviceFor(4), "/dev/ttyS3");
    EXPECT_EQ(map.deviceFor(5), "/dev/ttyS4");
    EXPECT_EQ(map.deviceFor(6), "/dev/b");
    EXPECT_EQ(map.deviceFor(7), "/dev/ttyS6");
    EXPECT_EQ(map.deviceFor(8), "/dev/ttyUSB8");
}

TEST(PortMap, EmptyOrMissingFileGivesDefaults) {
    EXPECT_EQ(PortMap::Parse("").deviceFor(2), "/dev/ttyS1");
    EXPECT_EQ(PortMap::Parse("\n\n  \n#1=/dev/x\n").deviceFor(1), "/dev/ttyS0");
    EXPECT_EQ(PortMap::Load("/nonexistent/ports.txt").deviceFor(3), "/dev/ttyS2");
}

TEST(PortMap, LoadsAFile) {
    char path[] = "/tmp/tavo-ports-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    {
        std::ofstream out(path);
        out << "2=/dev/ttyUSB3\n";
    }
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
