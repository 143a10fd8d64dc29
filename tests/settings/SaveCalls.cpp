#include "tests/settings/SaveCalls.h"

#include <cerrno>
#include <mutex>
#include <utility>

#include <sys/stat.h>

extern "C" int __real_fsync(int fd);
extern "C" int __real_rename(const char* from, const char* to);

namespace tavo::settings {
namespace {

std::mutex callsMutex;
std::vector<SaveCall> calls;

// Keeps errno as the call left it.
int Record(SaveCall call) {
    const int error = errno;
    const std::lock_guard lock(callsMutex);
    calls.push_back(std::move(call));
    errno = error;
    return calls.back().result;
}

} // namespace

std::vector<SaveCall> TakeSaveCalls() {
    const std::lock_guard lock(callsMutex);
    return std::exchange(calls, {});
}

} // namespace tavo::settings

using tavo::settings::SaveCall;

extern "C" int __wrap_fsync(int fd) {
    struct stat info {};
    ::fstat(fd, &info);
    return tavo::settings::Record(
        {SaveCall::Fsync, info.st_dev, info.st_ino, {}, __real_fsync(fd)});
}

extern "C" int __wrap_rename(const char* from, const char* to) {
    struct stat info {};
    ::lstat(from, &info);
    return tavo::settings::Record(
        {SaveCall::Rename, info.st_dev, info.st_ino, to, __real_rename(from, to)});
}
