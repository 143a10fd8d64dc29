#include "settings/FileAccess.h"

#include "settings/Utf8Path.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <random>
#include <system_error>
#include <utility>

#ifdef _WIN32
#include <fstream>
#else
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tavo::settings {

namespace {

namespace fs = std::filesystem;

// Temporary files carry their target's name (".dazez.txt.tavo-k3x9q2.tmp"), so a later save finds
// the ones a killed save left behind, and only those of its own file.
constexpr std::string_view kTemporaryTag = ".tavo-";
constexpr std::string_view kTemporaryEnd = ".tmp";
constexpr std::string_view kRandomLetters = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kRandomLength = 6;

std::string TemporaryPrefix(const fs::path& target) {
    return "." + Utf8FromPath(target.filename()) + std::string(kTemporaryTag);
}

fs::path TemporaryPathFor(const fs::path& target) {
    thread_local std::mt19937_64 random(
        std::random_device{}() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::string name = TemporaryPrefix(target);
    for (std::size_t i = 0; i < kRandomLength; ++i) {
        name += kRandomLetters[random() % kRandomLetters.size()];
    }
    return target.parent_path() / PathFromUtf8(name + std::string(kTemporaryEnd));
}

bool IsTemporaryNameFor(std::string_view name, const fs::path& target) {
    const std::string prefix = TemporaryPrefix(target);
    return name.size() == prefix.size() + kRandomLength + kTemporaryEnd.size() &&
           name.starts_with(prefix) && name.ends_with(kTemporaryEnd) &&
           name.substr(prefix.size(), kRandomLength).find_first_not_of(kRandomLetters) ==
               std::string_view::npos;
}

// The file an open of `path` would reach: links followed to the end of their chain, which need
// not exist yet. nullopt for a chain that loops or cannot be read.
std::optional<fs::path> FollowLinks(fs::path path) {
    std::error_code error;
    for (int hop = 0; hop < 40; ++hop) {
        if (!fs::is_symlink(fs::symlink_status(path, error))) {
            return path;
        }
        const fs::path next = fs::read_symlink(path, error);
        if (error) {
            return std::nullopt;
        }
        path = next.is_absolute() ? next : path.parent_path() / next;
    }
    return std::nullopt;
}

fs::path FolderOf(const fs::path& target) {
    return target.has_parent_path() ? target.parent_path() : fs::path(".");
}

#ifndef _WIN32

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// The new content goes over the old from the start and only then is the rest cut off, so a save
// stopped half way still has the new records in front, where a reader looks.
bool WriteInPlace(int fd, std::string_view bytes) {
    return ::lseek(fd, 0, SEEK_SET) == 0 && WriteAll(fd, bytes) &&
           ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 && ::fsync(fd) == 0;
}

// Removes what saves of this target left when they were killed before their rename: files of
// the target's temporary names that are ours and that no living save holds locked.
void RemoveAbandonedTemporaries(const fs::path& target) {
    DIR* folder = ::opendir(FolderOf(target).c_str());
    if (folder == nullptr) {
        return;
    }
    const int folderFd = ::dirfd(folder);
    while (const dirent* entry = ::readdir(folder)) {
        struct stat info {};
        if (!IsTemporaryNameFor(entry->d_name, target) ||
            ::fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
            continue;
        }
        const Descriptor file(
            ::openat(folderFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (file && ::flock(file.get(), LOCK_EX | LOCK_NB) == 0) {
            ::unlinkat(folderFd, entry->d_name, 0);
        }
    }
    ::closedir(folder);
}

// Gives the temporary file the owner and mode of the file it replaces; false when that is not
// permitted, so that the rename would change them.
bool TakeOwnerAndMode(int fd, const struct stat& old) {
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) {
        struct stat now {};
        if (::fstat(fd, &now) != 0 || now.st_uid != old.st_uid || now.st_gid != old.st_gid) {
            return false;
        }
    }
    // After the owner: a change of owner may clear set-id bits.
    return ::fchmod(fd, old.st_mode & 07777) == 0;
}

enum class Outcome { Saved, Failed, WriteInPlace };

// A new temporary file for `target`, locked, so that other saves of the target leave it alone,
// and still under its name. Another save's clean-up may take a file in the moment between its
// creation and its lock; such a file is given up and another made.
Descriptor LockedTemporary(const fs::path& target, const struct stat* old, fs::path& temporary) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        temporary = TemporaryPathFor(target);
        Descriptor file(::open(temporary.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                               old != nullptr ? 0600 : 0666));
        if (!file) {
            if (errno == EEXIST) {
                continue;
            }
            return file;
        }
        // A clean-up that holds the lock is about to remove the file; one that held it has.
        struct stat mine {};
        struct stat named {};
        if (::flock(file.get(), LOCK_EX | LOCK_NB) == 0 && ::fstat(file.get(), &mine) == 0 &&
            ::lstat(temporary.c_str(), &named) == 0 && mine.st_dev == named.st_dev &&
            mine.st_ino == named.st_ino) {
            return file;
        }
    }
    return Descriptor();
}

// The atomic save through a temporary file beside the target. WriteInPlace when the temporary
// file cannot be made or cannot take the target's place unchanged.
Outcome SaveThroughTemporary(const fs::path& target, const struct stat* old,
                             std::string_view bytes) {
    fs::path temporary;
    // Locked while it exists under its name: tells other saves that it is not abandoned.
    const Descriptor file = LockedTemporary(target, old, temporary);
    if (!file) {
        return Outcome::WriteInPlace;
    }
    const auto giveUp = [&](Outcome outcome) {
        ::unlink(temporary.c_str());
        return outcome;
    };
    if (old != nullptr && !TakeOwnerAndMode(file.get(), *old)) {
        return giveUp(Outcome::WriteInPlace);
    }
    // On disk before the rename, so that a power cut cannot leave an empty file behind the name.
    if (!WriteAll(file.get(), bytes) || ::fsync(file.get()) != 0) {
        return giveUp(Outcome::Failed);
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        return giveUp(Outcome::WriteInPlace);
    }
    // Makes the rename itself last through a power cut.
    const Descriptor folder(::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder) {
        ::fsync(folder.get());
    }
    return Outcome::Saved;
}

bool SaveResolved(const fs::path& target, std::string_view bytes) {
    struct stat info {};
    const bool exists = ::stat(target.c_str(), &info) == 0;
    if ((!exists && errno != ENOENT) || (exists && !S_ISREG(info.st_mode))) {
        return false; // a folder, pipe or device of that name stays as it is
    }
    // The open for writing decides, as for a plain save: a file the user may not write stays
    // untouched. Opening without truncating changes nothing yet.
    Descriptor file;
    if (exists) {
        file.reset(::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
        if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
            return false;
        }
    }
    RemoveAbandonedTemporaries(target);
    // A file with more than one name would lose the others to a rename. One with none has just
    // been replaced by another save: writing it would write nowhere.
    if (!exists || info.st_nlink <= 1) {
        switch (SaveThroughTemporary(target, exists ? &info : nullptr, bytes)) {
        case Outcome::Saved:
            return true;
        case Outcome::Failed:
            return false;
        case Outcome::WriteInPlace:
            break;
        }
    }
    if (!file) {
        file.reset(::open(target.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
    }
    return file && WriteInPlace(file.get(), bytes);
}

#else // _WIN32: Windows refuses to delete or replace a file that is open or read-only.

void RemoveAbandonedTemporaries(const fs::path& target) {
    std::error_code error;
    for (fs::directory_iterator it(FolderOf(target), error), end; !error && it != end;
         it.increment(error)) {
        if (IsTemporaryNameFor(Utf8FromPath(it->path().filename()), target)) {
            std::error_code ignored;
            fs::remove(it->path(), ignored);
        }
    }
}

// False when the stream was open but the bytes did not all reach the file.
bool Finish(std::ofstream& out, std::string_view bytes) {
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return !out.fail();
}

bool SaveResolved(const fs::path& target, std::string_view bytes) {
    std::error_code error;
    const auto status = fs::status(target, error);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        return false;
    }
    // A file the user may not write stays untouched; opening to append changes nothing yet.
    if (fs::exists(status) && !std::ofstream(target, std::ios::binary | std::ios::app).is_open()) {
        return false;
    }
    RemoveAbandonedTemporaries(target);
    const fs::path temporary = TemporaryPathFor(target);
    if (std::ofstream out(temporary, std::ios::binary); out.is_open()) {
        if (!Finish(out, bytes)) {
            fs::remove(temporary, error);
            return false;
        }
        fs::rename(temporary, target, error);
        if (!error) {
            return true;
        }
        fs::remove(temporary, error);
    }
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    return out.is_open() && Finish(out, bytes);
}

#endif

} // namespace

std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t limit) {
    const fs::path file = PathFromUtf8(path);
    std::string bytes(limit + 1, '\0');
    std::size_t size = 0;
#ifndef _WIN32
    // Looked at before it is opened, so a pipe is never opened; looked at again once open, in
    // case the name was given to another file in between.
    struct stat info {};
    const auto usable = [&] {
        return S_ISREG(info.st_mode) && static_cast<std::uintmax_t>(info.st_size) <= limit;
    };
    if (::stat(file.c_str(), &info) != 0 || !usable()) {
        return std::nullopt;
    }
    const Descriptor in(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!in || ::fstat(in.get(), &info) != 0 || !usable()) {
        return std::nullopt;
    }
    while (size < bytes.size()) {
        const ssize_t got = ::read(in.get(), bytes.data() + size, bytes.size() - size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        size += static_cast<std::size_t>(got);
    }
#else
    std::error_code error;
    if (!fs::is_regular_file(file, error) || fs::file_size(file, error) > limit || error) {
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!in.is_open() || in.bad()) {
        return std::nullopt;
    }
    size = static_cast<std::size_t>(in.gcount());
#endif
    if (size > limit) {
        return std::nullopt; // it grew since it was looked at
    }
    bytes.resize(size);
    return bytes;
}

bool SaveFile(const std::string& path, std::string_view bytes) {
    const auto target = FollowLinks(PathFromUtf8(path));
    return target && target->has_filename() && SaveResolved(*target, bytes);
}

} // namespace tavo::settings
