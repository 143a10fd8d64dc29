#include "serial/PortMap.h"
#include "settings/FileAccess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include <sys/stat.h>
#include <sys/wait.h>
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

// Only a regular file of at most 64 KiB is read, at once: a pipe would block for ever and
// /dev/zero never ends. Each load runs in a child that an alarm ends after two seconds.
TEST(PortMap, LoadsOnlyASmallRegularFile) {
    char folder[] = "/tmp/tavo-ports-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string dir = folder, mapping = "2=/dev/ttyUSB3\n";
    std::ofstream(dir + "/limit.txt")
        << mapping << '#' << std::string(settings::kSmallFileLimit - mapping.size() - 1, 'x');
    std::ofstream(dir + "/over.txt")
        << mapping << '#' << std::string(settings::kSmallFileLimit - mapping.size(), 'x');
    ASSERT_EQ(::mkfifo((dir + "/pipe.txt").c_str(), 0644), 0);
    const std::pair<std::string, const char*> cases[] = {
        {dir + "/limit.txt", "/dev/ttyUSB3"},
        {dir + "/over.txt", "/dev/ttyS1"},
        {dir + "/pipe.txt", "/dev/ttyS1"},
        {"/dev/zero", "/dev/ttyS1"},
    };
    for (const auto& [path, device] : cases) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::alarm(2);
            ::_exit(PortMap::Load(path).deviceFor(2) == device ? 0 : 1);
        }
        int status = -1;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << path << (WIFSIGNALED(status) ? ": blocked or never ended" : "");
    }
    std::filesystem::remove_all(dir);
}

TEST(PortMap, DevicePresence) {
    EXPECT_TRUE(DevicePresent("/dev/null"));
    EXPECT_FALSE(DevicePresent("/dev/does-not-exist"));
    EXPECT_FALSE(DevicePresent(""));
}

} // namespace
} // namespace tavo::serial
