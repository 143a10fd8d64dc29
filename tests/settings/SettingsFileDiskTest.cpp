#include "settings/SettingsFile.h"
#include "settings/Utf8Path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>

namespace tavo::settings {
namespace {

namespace fs = std::filesystem;

class SettingsFileOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device seed;
        dir_ = fs::temp_directory_path() / ("tavo-settings-test-" + std::to_string(seed()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string PathOf(const std::string& name) const { return Utf8FromPath(dir_ / name); }

    static std::string Contents(const std::string& path) {
        std::ifstream in(PathFromUtf8(path), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    static void Put(const std::string& path, const std::string& bytes) {
        std::ofstream(PathFromUtf8(path), std::ios::binary) << bytes;
    }

    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    static Settings Changed() {
        Settings s;
        s.comPortIndex = 6;
        s.baudIndex = -1;
        s.applicationFile = "/boards/rev B, final/app.hex";
        s.eepromFile = "say \"cheese\".eep";
        s.eepromCheck = 1;
        s.flashCheck = 0;
        return s;
    }

    static std::string Bytes(const Settings& settings) {
        std::ostringstream out;
        WriteSettings(out, settings);
        return out.str();
    }

    fs::path dir_;
};

TEST_F(SettingsFileOnDisk, SaveThenLoadGivesTheSameSettings) {
    const auto path = PathOf("dazez.txt");
    ASSERT_TRUE(SaveSettings(path, Settings{}));
    EXPECT_EQ(Contents(path).size(), 72u);
    EXPECT_EQ(LoadSettings(path), Settings{});

    ASSERT_TRUE(SaveSettings(path, Changed()));
    EXPECT_EQ(Contents(path), Bytes(Changed()));
    EXPECT_EQ(LoadSettings(path), Changed());
}

TEST_F(SettingsFileOnDisk, LoadFallsBackToDefaultsWhenTheFileIsMissingOrUnusable) {
    EXPECT_EQ(LoadSettings(PathOf("missing.txt")), Settings{});
    EXPECT_EQ(LoadSettings(""), Settings{});
    EXPECT_EQ(LoadSettings(Utf8FromPath(dir_)), Settings{}); // a folder, not a file

    // Fifteen good records that differ from the defaults: none of them is kept.
    std::string bytes = Bytes(Changed());
    bytes.resize(bytes.rfind("0\r\n"));
    const auto shortFile = PathOf("short.txt");
    Put(shortFile, bytes);
    EXPECT_EQ(LoadSettings(shortFile), Settings{});

    const auto badPort = PathOf("port8.txt");
    Put(badPort, "8" + Bytes(Changed()).substr(1));
    EXPECT_EQ(LoadSettings(badPort), Settings{});
}

TEST_F(SettingsFileOnDisk, LoadReadsAFileWithAPartialByteOrderMark) {
    // The half mark is given back to the file stream, not lost.
    const auto path = PathOf("partial.txt");
    Put(path, "\xEF\xBB\r\n" + Bytes(Changed()).substr(3));
    auto expected = Changed();
    expected.comPortIndex = 0;
    EXPECT_EQ(LoadSettings(path), expected);
}

TEST_F(SettingsFileOnDisk, Utf8PathsWork) {
    fs::create_directories(PathFromUtf8(PathOf("Pr\xC3\xBC\x66ung")));
    const auto path = PathOf("Pr\xC3\xBC\x66ung/\xE8\xAE\xBE\xE7\xBD\xAE.txt");
    ASSERT_TRUE(SaveSettings(path, Changed()));
    EXPECT_TRUE(fs::is_regular_file(PathFromUtf8(path)));
    EXPECT_EQ(LoadSettings(path), Changed());
}

TEST_F(SettingsFileOnDisk, SaveReplacesTheOldFileAndLeavesNoTemporaryFile) {
    const auto path = PathOf("dazez.txt");
    Put(path, std::string(500, 'x')); // longer than the new content: nothing of it may remain
    fs::permissions(PathFromUtf8(path), fs::perms(0640));

    ASSERT_TRUE(SaveSettings(path, Settings{}));
    EXPECT_EQ(Contents(path), Bytes(Settings{}));
    EXPECT_EQ(Names(), std::vector<std::string>{"dazez.txt"});
    EXPECT_EQ(fs::status(PathFromUtf8(path)).permissions(), fs::perms(0640));
}

TEST_F(SettingsFileOnDisk, SaveThroughALinkUpdatesTheFileItPointsTo) {
    const auto real = PathOf("real.txt");
    const auto link = PathOf("dazez.txt");
    Put(real, "old");
    fs::create_symlink("real.txt", PathFromUtf8(link));

    ASSERT_TRUE(SaveSettings(link, Changed()));
    EXPECT_TRUE(fs::is_symlink(PathFromUtf8(link)));
    EXPECT_EQ(Contents(real), Bytes(Changed()));
    EXPECT_EQ(Names(), (std::vector<std::string>{"dazez.txt", "real.txt"}));
}

TEST_F(SettingsFileOnDisk, SaveIntoAMissingFolderFailsWithItsMessage) {
    const auto path = PathOf("no such folder/dazez.txt");
    EXPECT_FALSE(SaveSettings(path, Settings{}));
    EXPECT_FALSE(fs::exists(PathFromUtf8(path)));
    EXPECT_TRUE(Names().empty());
    EXPECT_EQ(SaveErrorMessage(path), "An error occured while saving file " + path);
    EXPECT_EQ(SaveErrorMessage("C:\\x\\dazez.txt"),
              "An error occured while saving file C:\\x\\dazez.txt");

    EXPECT_FALSE(SaveSettings("", Settings{}));
    EXPECT_FALSE(SaveSettings(Utf8FromPath(dir_) + "/", Settings{}));

    const auto file = PathOf("plain.txt");
    Put(file, "keep");
    EXPECT_FALSE(SaveSettings(file + "/dazez.txt", Settings{})); // the "folder" is a file
    EXPECT_EQ(Contents(file), "keep");
}

TEST_F(SettingsFileOnDisk, SaveOntoAFolderFailsAndTouchesNothing) {
    const auto folder = PathOf("dazez.txt");
    fs::create_directories(PathFromUtf8(folder));
    Put(folder + "/inside.txt", "inside");
    const auto neighbour = PathOf("other.txt");
    Put(neighbour, "neighbour");

    EXPECT_FALSE(SaveSettings(folder, Changed()));
    EXPECT_TRUE(fs::is_directory(PathFromUtf8(folder)));
    EXPECT_EQ(Contents(folder + "/inside.txt"), "inside");
    EXPECT_EQ(Contents(neighbour), "neighbour");
    EXPECT_EQ(Names(), (std::vector<std::string>{"dazez.txt", "other.txt"}));
}

TEST_F(SettingsFileOnDisk, SaveLeavesAPipeOfThatNameAlone) {
    const auto pipe = PathOf("dazez.txt");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
    EXPECT_FALSE(SaveSettings(pipe, Settings{}));
    EXPECT_EQ(fs::status(PathFromUtf8(pipe)).type(), fs::file_type::fifo);
    EXPECT_EQ(Names(), std::vector<std::string>{"dazez.txt"});
}

// Writing fails part way (the file size limit stands in for a full disk): the old file stays
// whole and the half-written temporary file goes.
TEST_F(SettingsFileOnDisk, FailedWriteLeavesTheOldFileByteIdentical) {
    const auto path = PathOf("dazez.txt");
    const std::string old = Bytes(Changed());
    Put(path, old);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool result = SaveSettings(path, Settings{});
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(result);
    EXPECT_EQ(Contents(path), old);
    EXPECT_EQ(Names(), std::vector<std::string>{"dazez.txt"});
}

} // namespace
} // namespace tavo::settings
