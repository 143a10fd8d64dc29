// What a save asks of the system, in order: the test binary is linked with --wrap=fsync and
// --wrap=rename, so every fsync and rename the settings code makes passes through here and is
// recorded with the file it concerned. The tests then see whether the new content was on disk
// before its name took the old file's place, and whether two savers at once ever lose a rename.
#include "settings/SettingsFile.h"
#include "settings/Utf8Path.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

extern "C" int __real_fsync(int fd);
extern "C" int __real_rename(const char* from, const char* to);

namespace tavo::settings {
namespace {

namespace fs = std::filesystem;

struct Call {
    enum Kind { Fsync, Rename } kind;
    dev_t device = 0;
    ino_t inode = 0; // the file synced, or the file renamed
    std::string to;  // where a rename put it
    int result = 0;
    int error = 0;
};

std::mutex callsMutex;
std::vector<Call> calls;

void Record(Call call) {
    const std::lock_guard lock(callsMutex);
    calls.push_back(std::move(call));
}

std::vector<Call> TakeCalls() {
    const std::lock_guard lock(callsMutex);
    return std::exchange(calls, {});
}

} // namespace
} // namespace tavo::settings

extern "C" int __wrap_fsync(int fd) {
    struct stat info {};
    ::fstat(fd, &info);
    const int result = __real_fsync(fd);
    const int error = errno;
    tavo::settings::Record({tavo::settings::Call::Fsync,
                            info.st_dev,
                            info.st_ino,
                            {},
                            result,
                            result == 0 ? 0 : error});
    errno = error;
    return result;
}

extern "C" int __wrap_rename(const char* from, const char* to) {
    struct stat info {};
    ::lstat(from, &info);
    const int result = __real_rename(from, to);
    const int error = errno;
    tavo::settings::Record({tavo::settings::Call::Rename, info.st_dev, info.st_ino, to, result,
                            result == 0 ? 0 : error});
    errno = error;
    return result;
}

namespace tavo::settings {
namespace {

std::string Bytes(const Settings& settings) {
    std::ostringstream out;
    WriteSettings(out, settings);
    return out.str();
}

std::string Contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class SaveCalls : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("tavo-save-calls-" + std::to_string(std::random_device{}()));
        fs::create_directories(dir_);
        TakeCalls();
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

// Whatever way the content reaches the name, the file behind the name was synced while it did
// not yet stand there: through a temporary file (a new file, an old one replaced) or in place (a
// file with a second name is never replaced).
TEST_F(SaveCalls, TheNewContentIsOnDiskBeforeItTakesTheName) {
    struct Case {
        const char* name;
        const char* old; // nullptr: no file yet
        bool secondName;
    };
    const Case cases[] = {
        {"new file", nullptr, false},
        {"old file replaced", "old content", false},
        {"file with a second name, written in place", "old content", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = dir_ / c.name;
        const fs::path path = folder / "dazez.txt";
        fs::create_directories(folder);
        if (c.old)
            std::ofstream(path, std::ios::binary) << c.old;
        if (c.secondName)
            fs::create_hard_link(path, folder / "other name.txt");
        TakeCalls();

        ASSERT_TRUE(SaveSettings(Utf8FromPath(path), Settings{}));
        const auto made = TakeCalls();
        struct stat saved {};
        ASSERT_EQ(::stat(path.c_str(), &saved), 0);
        EXPECT_EQ(Contents(path), Bytes(Settings{}));

        // The last call that put the saved file under the name, if a rename did.
        std::size_t placed = made.size();
        for (std::size_t i = 0; i < made.size(); ++i)
            if (made[i].kind == Call::Rename && made[i].result == 0 && made[i].to == path &&
                made[i].inode == saved.st_ino)
                placed = i;
        EXPECT_EQ(placed == made.size(), c.secondName) << "replaced by a rename";
        // In place there is no rename: synced at all before the save returned.
        bool synced = false;
        for (std::size_t i = 0; i < placed; ++i)
            synced |= made[i].kind == Call::Fsync && made[i].result == 0 &&
                      made[i].device == saved.st_dev && made[i].inode == saved.st_ino;
        EXPECT_TRUE(synced) << "the saved file was not synced before it took the name";
    }
}

// Two savers of one file at once, as two windows closing together: every rename succeeds (no
// saver loses its temporary file to the other's clean-up and falls back to writing in place), and
// a reader only ever finds one of the two contents whole. TAVO_CONCURRENT_SAVES sets the number
// of saves per saver.
TEST_F(SaveCalls, TwoSaversAtOnceNeverLoseARenameAndTheFileIsAlwaysWhole) {
    const char* wanted = std::getenv("TAVO_CONCURRENT_SAVES");
    const int saves = wanted != nullptr ? std::atoi(wanted) : 500;
    const std::string path = Utf8FromPath(dir_ / "dazez.txt");
    Settings first, second;
    first.applicationFile = "/boards/first/" + std::string(300, 'a') + ".hex";
    second.applicationFile = "/boards/second/" + std::string(900, 'b') + ".hex";
    ASSERT_TRUE(SaveSettings(path, first));
    TakeCalls();

    std::atomic<int> failedSaves = 0, running = 2;
    auto saver = [&](const Settings& mine) {
        for (int i = 0; i < saves; ++i)
            failedSaves += !SaveSettings(path, i % 2 ? mine : Settings{});
        --running;
    };
    int reads = 0, torn = 0;
    std::thread a(saver, first), b(saver, second);
    const std::string valid[] = {Bytes(first), Bytes(second), Bytes(Settings{})};
    while (running > 0) {
        const std::string now = Contents(dir_ / "dazez.txt");
        ++reads;
        torn += now != valid[0] && now != valid[1] && now != valid[2];
    }
    a.join();
    b.join();

    int renames = 0, failedRenames = 0;
    for (const Call& call : TakeCalls())
        if (call.kind == Call::Rename) {
            ++renames;
            failedRenames += call.result != 0;
        }
    std::cout << 2 * saves << " saves: " << renames << " renames, " << failedRenames << " failed; "
              << failedSaves << " saves failed; " << reads << " reads, " << torn << " torn\n";
    EXPECT_EQ(renames, 2 * saves);
    EXPECT_EQ(failedRenames, 0);
    EXPECT_EQ(failedSaves, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

} // namespace
} // namespace tavo::settings
