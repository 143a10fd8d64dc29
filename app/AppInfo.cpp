#include "AppInfo.h"

#include "settings/Utf8Path.h"

#include <filesystem>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
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

} // namespace tavo::app
