#include "settings/SettingsFile.h"
#include "settings/Utf8Path.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tavo::settings {
namespace {

namespace fs = std::filesystem;

std::string Bytes(const Settings& settings) {
    std::ostringstream out;
    WriteSettings(out, settings);
    return out.str();
}

std::string Contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

int TemporaryFiles(const fs::path& folder) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        count += entry.path().filename() != "dazez.txt";
    return count;
}

// Starts the saving helper and returns once it is saving.
pid_t StartSaver(const fs::path& file, const std::string& applicationPath) {
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) // the child keeps only its standard output
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], STDOUT_FILENO);
    const std::string target = file.string();
    char* argv[] = {const_cast<char*>(TAVO_SAVE_LOOP_EXE), const_cast<char*>(target.c_str()),
                    const_cast<char*>(applicationPath.c_str()), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, TAVO_SAVE_LOOP_EXE, &actions, nullptr, argv, environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(ready[1]);
    char line[8];
    if (pid > 0 && read(ready[0], line, sizeof line) <= 0) { // blocks until it says "saving"
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    close(ready[0]);
    return pid;
}

// A save killed at any moment leaves the old or the new file, and whatever temporary file it
// left goes with the next save. TAVO_SAVE_KILLS sets the number of kills (200 by default).
TEST(SettingsSaveKilled, LeavesTheOldOrTheNewFileAndNoTemporaryFileAfterTheNextSave) {
    const char* wanted = std::getenv("TAVO_SAVE_KILLS");
    const int kills = wanted != nullptr ? std::atoi(wanted) : 200;
    const fs::path folder =
        fs::temp_directory_path() / ("tavo-save-kill-" + std::to_string(std::random_device{}()));
    fs::create_directories(folder);
    const std::unique_ptr<const fs::path, void (*)(const fs::path*)> removeFolder(
        &folder, [](const fs::path* path) { fs::remove_all(*path); });
    const fs::path file = folder / "dazez.txt";
    const std::string applicationPath = "/boards/" + std::string(2000, 'x') + "/app.hex";
    Settings other;
    other.applicationFile = applicationPath;
    const std::string oldBytes = Bytes(Settings{}), newBytes = Bytes(other);
    ASSERT_TRUE(SaveSettings(Utf8FromPath(file), Settings{}));

    std::mt19937 random(8); // the same spread of kill moments on every run
    std::uniform_int_distribution<int> delayMicroseconds(0, 15000);
    int torn = 0, newContent = 0, killsLeavingTemporary = 0, savesLeavingTemporary = 0,
        lingering = 0;
    for (int round = 0; round < kills; ++round) {
        const pid_t saver = StartSaver(file, applicationPath);
        ASSERT_GT(saver, 0) << "cannot start " << TAVO_SAVE_LOOP_EXE;
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
        ::kill(saver, SIGKILL);
        int status = 0;
        waitpid(saver, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the saver stopped by itself, status " << status;

        const std::string now = Contents(file);
        torn += now != oldBytes && now != newBytes;
        newContent += now == newBytes;
        killsLeavingTemporary += TemporaryFiles(folder) > lingering;
        ASSERT_TRUE(SaveSettings(Utf8FromPath(file), Settings{}));
        lingering = TemporaryFiles(folder);
        savesLeavingTemporary += lingering > 0;
    }
    std::cout << kills << " kills: " << torn << " torn, " << newContent << " with the new content, "
              << killsLeavingTemporary << " left a temporary file, " << savesLeavingTemporary
              << " next saves left one, " << lingering << " temporary files at the end\n";
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(savesLeavingTemporary, 0);
}

} // namespace
} // namespace tavo::settings
