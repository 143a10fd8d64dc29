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
        dir_ = fs::temp_directory_path() /
               ("tavo-settings-test-" + std::to_string(std::random_device{}()));
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
        for (const auto& entry : fs::directory_iterator(dir_))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    static Settings Changed() {
        return {.comPortIndex = 6,
                .baudIndex = -1,
                .applicationFile = "/boards/rev B, final/app.hex",
                .eepromFile = "say \"cheese\".eep",
                .eepromCheck = 1,
                .flashCheck = 0};
    }

    static std::string Bytes(const Settings& settings) {
        std::ostringstream out;
        WriteSettings(out, settings);
        return out.str();
    }

    fs::path dir_;
};

TEST_F(SettingsFileOnDisk, SaveThenLoadGivesTheSameSettingsAlsoUnderUtf8Paths) {
    fs::create_directories(PathFromUtf8(PathOf("Pr\xC3\xBC\x66ung")));
    for (const auto& path :
         {PathOf("dazez.txt"), PathOf("Pr\xC3\xBC\x66ung/\xE8\xAE\xBE\xE7\xBD\xAE.txt")}) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(SaveSettings(path, Settings{}));
        EXPECT_EQ(Contents(path).size(), 72u);
        EXPECT_EQ(LoadSettings(path), Settings{});
        ASSERT_TRUE(SaveSettings(path, Changed()));
        EXPECT_EQ(Contents(path), Bytes(Changed()));
        EXPECT_EQ(LoadSettings(path), Changed());
    }
}

TEST_F(SettingsFileOnDisk, LoadFallsBackToDefaultsWhenTheFileIsMissingOrUnusable) {
    EXPECT_EQ(LoadSettings(PathOf("missing.txt")), Settings{});
    EXPECT_EQ(LoadSettings(""), Settings{});
    EXPECT_EQ(LoadSettings(Utf8FromPath(dir_)), Settings{}); // a folder, not a file

    // Fifteen good records that differ from the defaults: none of them is kept.
    std::string bytes = Bytes(Changed());
    Put(PathOf("short.txt"), bytes.substr(0, bytes.rfind("0\r\n")));
    EXPECT_EQ(LoadSettings(PathOf("short.txt")), Settings{});
    Put(PathOf("port8.txt"), "8" + bytes.substr(1));
    EXPECT_EQ(LoadSettings(PathOf("port8.txt")), Settings{});

    // A half byte order mark is given back to the file stream, not lost.
    Put(PathOf("partial.txt"), "\xEF\xBB\r\n" + bytes.substr(3));
    auto expected = Changed();
    expected.comPortIndex = 0;
    EXPECT_EQ(LoadSettings(PathOf("partial.txt")), expected);
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
    Put(PathOf("real.txt"), "old");
    fs::create_symlink("real.txt", PathFromUtf8(PathOf("dazez.txt")));

    ASSERT_TRUE(SaveSettings(PathOf("dazez.txt"), Changed()));
    EXPECT_TRUE(fs::is_symlink(PathFromUtf8(PathOf("dazez.txt"))));
    EXPECT_EQ(Contents(PathOf("real.txt")), Bytes(Changed()));
    EXPECT_EQ(Names(), (std::vector<std::string>{"dazez.txt", "real.txt"}));
}

// Paths that cannot take the file: each save fails, and nothing in the folder changes.
TEST_F(SettingsFileOnDisk, SaveWhereNoFileCanBeWrittenFailsAndTouchesNothing) {
    const auto folder = PathOf("folder.txt");
    fs::create_directories(PathFromUtf8(folder));
    Put(folder + "/inside.txt", "inside");
    Put(PathOf("plain.txt"), "keep");
    ASSERT_EQ(mkfifo(PathOf("pipe.txt").c_str(), 0644), 0);

    for (const auto& path :
         {PathOf("no such folder/dazez.txt"), std::string(), Utf8FromPath(dir_) + "/",
          PathOf("plain.txt") + "/dazez.txt", folder, PathOf("pipe.txt")}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(SaveSettings(path, Changed()));
    }
    EXPECT_EQ(Names(), (std::vector<std::string>{"folder.txt", "pipe.txt", "plain.txt"}));
    EXPECT_TRUE(fs::is_directory(PathFromUtf8(folder)));
    EXPECT_EQ(Contents(folder + "/inside.txt"), "inside");
    EXPECT_EQ(Contents(PathOf("plain.txt")), "keep");
    EXPECT_EQ(fs::status(PathFromUtf8(PathOf("pipe.txt"))).type(), fs::file_type::fifo);

    const auto missing = PathOf("no such folder/dazez.txt");
    EXPECT_EQ(SaveErrorMessage(missing), "An error occured while saving file " + missing);
    EXPECT_EQ(SaveErrorMessage("C:\\x\\dazez.txt"),
              "An error occured while saving file C:\\x\\dazez.txt");
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
