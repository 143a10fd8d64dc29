#include "settings/FileAccess.h"
#include "settings/SettingsFile.h"
#include "settings/Utf8Path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// Every fsync and rename a save makes, in order, with the file each concerned: the binary is
// linked with --wrap=fsync and --wrap=rename, so the calls pass through here to the system.
extern "C" int __real_fsync(int fd);
extern "C" int __real_rename(const char* from, const char* to);

namespace tavo::settings {
namespace {

struct SaveCall {
    enum Kind { Fsync, Rename } kind;
    dev_t device = 0;
    ino_t inode = 0; // the file synced, or the file renamed
    std::string to;  // where a rename put it
    int result = 0;
};

std::mutex saveCallsMutex;
std::vector<SaveCall> saveCalls;

int Record(SaveCall call) {
    const int error = errno;
    const std::lock_guard lock(saveCallsMutex);
    saveCalls.push_back(std::move(call));
    errno = error;
    return saveCalls.back().result;
}

// The calls made since the last take.
std::vector<SaveCall> TakeSaveCalls() {
    const std::lock_guard lock(saveCallsMutex);
    return std::exchange(saveCalls, {});
}

} // namespace
} // namespace tavo::settings

extern "C" int __wrap_fsync(int fd) {
    struct stat info {};
    fstat(fd, &info);
    return tavo::settings::Record(
        {tavo::settings::SaveCall::Fsync, info.st_dev, info.st_ino, {}, __real_fsync(fd)});
}

extern "C" int __wrap_rename(const char* from, const char* to) {
    struct stat info {};
    lstat(from, &info);
    return tavo::settings::Record(
        {tavo::settings::SaveCall::Rename, info.st_dev, info.st_ino, to, __real_rename(from, to)});
}

namespace tavo::settings {
namespace {

namespace fs = std::filesystem;

// Runs `work` in a child process and gives its exit code (0 for true), or -1 when it had to be
// ended: an alarm stops it after two seconds, so a read that blocks or never ends fails alone.
// With `user` the child first becomes that user, so that file permissions apply to it.
int InChild(const std::function<bool()>& work,
            std::optional<std::pair<uid_t, gid_t>> user = std::nullopt) {
    const pid_t child = fork();
    if (child == 0) {
        alarm(2);
        if (user &&
            (setgroups(0, nullptr) != 0 || setgid(user->second) != 0 || setuid(user->first) != 0))
            _exit(3);
        _exit(work() ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// An ordinary user to save as: nobody when the tests run as root, else the user running them.
std::optional<std::pair<uid_t, gid_t>> OrdinaryUser() {
    if (geteuid() != 0)
        return std::nullopt;
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr)
        return std::nullopt;
    return std::pair{nobody->pw_uid, nobody->pw_gid};
}

// Starts the helper that saves `file` in a loop; returns once it is saving.
pid_t StartSaver(const std::string& file, const std::string& applicationPath) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) // the child keeps only its standard output
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], STDOUT_FILENO);
    const char* argv[] = {TAVO_SAVE_LOOP_EXE, file.c_str(), applicationPath.c_str(), nullptr};
    pid_t pid = -1;
    const bool started =
        posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    close(ready[1]);
    char line[8];
    if (started)
        (void)!read(ready[0], line, sizeof line); // until it says "saving" (or ends)
    close(ready[0]);
    return started ? pid : -1;
}

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

    std::vector<std::string> Names() const { return NamesIn(dir_); }
    static std::vector<std::string> NamesIn(const fs::path& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder))
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

// The name the program uses stays what it was and the file behind it gets the new content, as
// opening the name for writing would give it. Without links, dazez.txt is a second name of
// real.txt.
TEST_F(SettingsFileOnDisk, SaveThroughALinkWritesTheFileBehindIt) {
    struct Case {
        const char* name;
        bool realExists;
        std::vector<std::pair<std::string, std::string>> links; // name, where it points
    };
    const Case cases[] = {
        {"link to a file", true, {{"dazez.txt", "real.txt"}}},
        {"dangling link", false, {{"dazez.txt", "real.txt"}}},
        {"chain of relative links", false, {{"dazez.txt", "sub/mid"}, {"sub/mid", "../real.txt"}}},
        {"second name of the file", true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = dir_ / c.name;
        fs::create_directories(dir / "sub");
        if (c.realExists)
            Put(Utf8FromPath(dir / "real.txt"), "old");
        for (const auto& [name, target] : c.links)
            fs::create_symlink(target, dir / name);
        if (c.links.empty())
            fs::create_hard_link(dir / "real.txt", dir / "dazez.txt");
        const auto kind = fs::symlink_status(dir / "dazez.txt").type();

        ASSERT_TRUE(SaveSettings(Utf8FromPath(dir / "dazez.txt"), Changed()));
        EXPECT_EQ(fs::symlink_status(dir / "dazez.txt").type(), kind);
        EXPECT_EQ(Contents(Utf8FromPath(dir / "real.txt")), Bytes(Changed()));
        EXPECT_EQ(NamesIn(dir), (std::vector<std::string>{"dazez.txt", "real.txt", "sub"}));
    }
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

// Who may write decides, as for a plain open for writing: the save runs as an ordinary user, a
// file that user may not write stays untouched, and owner and mode of a saved file stay.
TEST_F(SettingsFileOnDisk, SaveRespectsWhoMayWriteTheFileAndItsFolder) {
    const auto user = OrdinaryUser();
    const bool root = geteuid() == 0;
    ASSERT_TRUE(user || !root) << "no user nobody to save as";
    struct Case {
        const char* name;
        bool folderMine;
        unsigned folderMode;
        bool fileMine;
        unsigned fileMode;
        bool saved;
    };
    const Case cases[] = {
        {"own file", true, 0755, true, 0640, true},
        {"own file in a folder closed to new files", true, 0555, true, 0644, true},
        {"file open to all in an administrator's folder", false, 0755, false, 0666, true},
        {"file open to all in a shared sticky folder", false, 01777, false, 0666, true},
        {"another user's file open to all", true, 0755, false, 0666, true},
        {"own file made read-only", true, 0755, true, 0444, false},
        {"another user's file", true, 0755, false, 0644, false},
    };
    fs::permissions(dir_, fs::perms(0755));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!root && !(c.folderMine && c.fileMine)) {
            std::cout << "not run, only root can give files to another user: " << c.name << '\n';
            continue;
        }
        const fs::path folder = dir_ / c.name;
        const auto path = Utf8FromPath(folder / "dazez.txt");
        fs::create_directory(folder);
        Put(path, "old");
        if (root) {
            ASSERT_EQ(chown(folder.c_str(), c.folderMine ? user->first : 0,
                            c.folderMine ? user->second : 0),
                      0);
            ASSERT_EQ(
                chown(path.c_str(), c.fileMine ? user->first : 0, c.fileMine ? user->second : 0),
                0);
        }
        ASSERT_EQ(chmod(path.c_str(), c.fileMode), 0);
        ASSERT_EQ(chmod(folder.c_str(), c.folderMode), 0);
        struct stat before {};
        ASSERT_EQ(stat(path.c_str(), &before), 0);

        EXPECT_EQ(InChild([&] { return SaveSettings(path, Changed()); }, user), c.saved ? 0 : 1);
        EXPECT_EQ(Contents(path), c.saved ? Bytes(Changed()) : "old");
        struct stat after {};
        ASSERT_EQ(stat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_gid, before.st_gid);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(NamesIn(folder), std::vector<std::string>{"dazez.txt"});
        fs::permissions(folder, fs::perms(0755)); // so that the fixture can remove it
    }
}

// A save clears what earlier saves of the same file left when they were killed, and nothing else.
TEST_F(SettingsFileOnDisk, SaveRemovesOnlyAbandonedTemporaryFilesOfItsOwnFile) {
    const auto user = OrdinaryUser();
    const std::pair<std::string, bool> files[] = {
        {".dazez.txt.tavo-k3x9q2.tmp", true},
        {".dazez.txt.tavo-held00.tmp", false}, // a save still at work holds it
        {".dazez.txt.tavo-other0.tmp", !user}, // another user's, when there is one
        {".ports.txt.tavo-k3x9q2.tmp", false}, // another file's
        {".dazez.txt.tavo-k3x9q.tmp", false},  // not one of the names a save gives
        {"dazez.txt.tavo-k3x9q2.tmp", false},
    };
    for (const auto& [name, removed] : files)
        Put(PathOf(name), "temporary");
    const int held = open(PathOf(".dazez.txt.tavo-held00.tmp").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    if (user) {
        ASSERT_EQ(chown(PathOf(".dazez.txt.tavo-other0.tmp").c_str(), user->first, user->second),
                  0);
    }

    ASSERT_TRUE(SaveSettings(PathOf("dazez.txt"), Settings{}));
    close(held);
    for (const auto& [name, removed] : files)
        EXPECT_EQ(fs::exists(PathFromUtf8(PathOf(name))), !removed) << name;
}

// A settings file that is not a regular file of at most 64 KiB is unreadable, at once: the
// defaults. A pipe would block for ever and /dev/zero never ends.
TEST_F(SettingsFileOnDisk, OnlyASmallRegularFileIsRead) {
    ASSERT_EQ(mkfifo(PathOf("pipe.txt").c_str(), 0644), 0);
    const std::string bytes = Bytes(Changed());
    Put(PathOf("limit.txt"), bytes + std::string(kSmallFileLimit - bytes.size(), ' '));
    Put(PathOf("over.txt"), bytes + std::string(kSmallFileLimit + 1 - bytes.size(), ' '));
    const std::pair<std::string, Settings> cases[] = {
        {PathOf("pipe.txt"), Settings{}},
        {"/dev/zero", Settings{}},
        {PathOf("over.txt"), Settings{}},
        {PathOf("limit.txt"), Changed()},
    };
    for (const auto& [path, expected] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(InChild([&] { return LoadSettings(path) == expected; }), 0)
            << "-1: blocked or never ended";
    }
}

// A save killed at any moment leaves the old or the new file, and whatever it left goes with the
// next save. TAVO_SAVE_KILLS sets the number of kills.
TEST_F(SettingsFileOnDisk, KilledSaveLeavesTheOldOrTheNewFileAndNothingAfterTheNextSave) {
    const char* wanted = std::getenv("TAVO_SAVE_KILLS");
    const int kills = wanted != nullptr ? std::atoi(wanted) : 200;
    const auto path = PathOf("dazez.txt");
    Settings other;
    other.applicationFile = "/boards/" + std::string(2000, 'x') + "/app.hex";
    ASSERT_TRUE(SaveSettings(path, Settings{}));

    std::mt19937 random(8); // the same spread of kill moments on every run
    std::uniform_int_distribution<int> microseconds(0, 15000);
    int torn = 0, newContent = 0, killsLeavingTemporary = 0, savesLeavingTemporary = 0;
    for (int round = 0; round < kills; ++round) {
        const pid_t saver = StartSaver(path, other.applicationFile);
        ASSERT_GT(saver, 0) << "cannot start " << TAVO_SAVE_LOOP_EXE;
        std::this_thread::sleep_for(std::chrono::microseconds(microseconds(random)));
        kill(saver, SIGKILL);
        int status = 0;
        waitpid(saver, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saver ended by itself: " << status;

        const std::string now = Contents(path);
        torn += now != Bytes(Settings{}) && now != Bytes(other);
        newContent += now == Bytes(other);
        killsLeavingTemporary += Names().size() > 1;
        ASSERT_TRUE(SaveSettings(path, Settings{}));
        savesLeavingTemporary += Names().size() > 1;
    }
    std::cout << kills << " kills: " << torn << " torn, " << newContent << " with the new content, "
              << killsLeavingTemporary << " left a temporary file, " << savesLeavingTemporary
              << " next saves left one; " << Names().size() - 1 << " temporary files at the end\n";
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(savesLeavingTemporary, 0);
}

// Whichever way the content reaches the name, the file behind it was synced before it stood
// there: through a temporary file (a new file, an old one replaced) or in place (a file with a
// second name is never replaced). Without that, a power cut can leave an empty file behind.
TEST_F(SettingsFileOnDisk, TheNewContentIsOnDiskBeforeItTakesTheName) {
    const std::pair<const char*, int> cases[] = {
        {"new file", 0}, {"old file replaced", 1}, {"file with a second name, in place", 2}};
    for (const auto& [name, kind] : cases) {
        SCOPED_TRACE(name);
        fs::create_directories(dir_ / name);
        const auto path = dir_ / name / "dazez.txt";
        if (kind > 0)
            Put(Utf8FromPath(path), "old content");
        if (kind == 2)
            fs::create_hard_link(path, dir_ / name / "other name.txt");
        TakeSaveCalls();

        ASSERT_TRUE(SaveSettings(Utf8FromPath(path), Settings{}));
        const auto calls = TakeSaveCalls();
        struct stat saved {};
        ASSERT_EQ(stat(path.c_str(), &saved), 0);
        // Up to the rename that put the saved file under the name; in place, up to the end.
        std::size_t placed = calls.size();
        for (std::size_t i = 0; i < calls.size(); ++i)
            if (calls[i].kind == SaveCall::Rename && calls[i].result == 0 && calls[i].to == path &&
                calls[i].inode == saved.st_ino)
                placed = i;
        EXPECT_EQ(placed == calls.size(), kind == 2) << "replaced by a rename";
        bool synced = false;
        for (std::size_t i = 0; i < placed; ++i)
            synced |= calls[i].kind == SaveCall::Fsync && calls[i].result == 0 &&
                      calls[i].device == saved.st_dev && calls[i].inode == saved.st_ino;
        EXPECT_TRUE(synced) << "not synced before it took the name";
    }
}

// Two savers of one file at once, as two windows closing together: no saver loses its temporary
// file to the other's clean-up (and falls back to writing in place), and a reader only ever
// finds one whole content. TAVO_CONCURRENT_SAVES sets the saves per saver.
TEST_F(SettingsFileOnDisk, TwoSaversAtOnceNeverLoseARenameAndTheFileIsAlwaysWhole) {
    const char* wanted = std::getenv("TAVO_CONCURRENT_SAVES");
    const int saves = wanted != nullptr ? std::atoi(wanted) : 500;
    const auto path = PathOf("dazez.txt");
    Settings first = Changed(), second;
    second.applicationFile = "/boards/" + std::string(900, 'b') + ".hex";
    ASSERT_TRUE(SaveSettings(path, first));
    TakeSaveCalls();

    std::atomic<int> failedSaves = 0, running = 2;
    auto saver = [&](const Settings& mine) {
        for (int i = 0; i < saves; ++i)
            failedSaves += !SaveSettings(path, i % 2 ? mine : Settings{});
        --running;
    };
    std::thread a(saver, first), b(saver, second);
    int reads = 0, torn = 0;
    for (; running > 0; ++reads) {
        const std::string now = Contents(path);
        torn += now != Bytes(first) && now != Bytes(second) && now != Bytes(Settings{});
    }
    a.join();
    b.join();

    int renames = 0, failedRenames = 0;
    for (const SaveCall& call : TakeSaveCalls())
        if (call.kind == SaveCall::Rename) {
            ++renames;
            failedRenames += call.result != 0;
        }
    std::cout << 2 * saves << " saves: " << renames << " renames, " << failedRenames << " failed; "
              << failedSaves << " saves failed; " << reads << " reads, " << torn << " torn\n";
    EXPECT_EQ(renames, 2 * saves); // none written in place
    EXPECT_EQ(failedRenames, 0);
    EXPECT_EQ(failedSaves, 0);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(Names(), std::vector<std::string>{"dazez.txt"});
}

} // namespace
} // namespace tavo::settings
