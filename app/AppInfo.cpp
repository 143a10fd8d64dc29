#include "AppInfo.h"

#include "settings/Utf8Path.h"

#include <filesystem>
#include <optional>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tavo::app {

std::string MainWindowCaption() {
    return std::string(kCreationCaption) + " - V " + std::to_string(kMajor) + "." +
           std::to_string(kMinor);
}

std::string VersionLine() {
    return "Version " + std::to_string(kMajor) + "." + std::to_string(kMinor) + "." +
           std::to_string(kRevision);
}

namespace {
std::filesystem::path ExecutablePath() {
    std::error_code ec;
#if defined(_WIN32)
    std::wstring buffer(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(n);
    return std::filesystem::path(buffer);
#else
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : exe;
#endif
}
} // namespace

std::string ProgramFolder() {
    auto exe = ExecutablePath();
    if (exe.empty()) {
        std::error_code ec;
        auto cwd = std::filesystem::current_path(ec);
        return ec ? std::string(".") : settings::Utf8FromPath(cwd);
    }
    return settings::Utf8FromPath(exe.parent_path());
}

std::string FileBesideProgram(const std::string& name) {
    return settings::Utf8FromPath(settings::PathFromUtf8(ProgramFolder()) / name);
}

#if defined(_WIN32)

std::string SettingsFolder() {
    return ProgramFolder();
}

bool CreateSettingsFolder(const std::string& folder) {
    std::error_code ec;
    std::filesystem::create_directories(settings::PathFromUtf8(folder), ec);
    return std::filesystem::is_directory(settings::PathFromUtf8(folder), ec);
}

#else

namespace {

// An absolute path from the environment, or nothing.
std::optional<std::filesystem::path> AbsoluteFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || value[0] != '/')
        return std::nullopt;
    return std::filesystem::path(value);
}

std::optional<std::filesystem::path> HomeFolder() {
    if (auto home = AbsoluteFromEnvironment("HOME"))
        return home;
    if (const passwd* user = ::getpwuid(::geteuid());
        user && user->pw_dir && user->pw_dir[0] == '/')
        return std::filesystem::path(user->pw_dir);
    return std::nullopt;
}

} // namespace

std::string SettingsFolder() {
    const auto program = ProgramFolder();
    const auto folder = settings::PathFromUtf8(program);
    struct stat st {};
    if (::lstat((folder / "dazez.txt").c_str(), &st) == 0)
        return program;
    if (::geteuid() != 0 && ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0)
        return program;
    if (auto config = AbsoluteFromEnvironment("XDG_CONFIG_HOME"))
        return settings::Utf8FromPath(*config / "tavo-programmer");
    if (auto home = HomeFolder())
        return settings::Utf8FromPath(*home / ".config" / "tavo-programmer");
    return program;
}

bool CreateSettingsFolder(const std::string& folder) {
    std::filesystem::path path;
    for (const auto& part : settings::PathFromUtf8(folder)) {
        path /= part;
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

#endif

} // namespace tavo::app
