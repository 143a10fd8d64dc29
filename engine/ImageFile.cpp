#include "engine/ImageFile.h"

#include "engine/RunError.h"
#include "settings/Utf8Path.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tavo::engine {

namespace {
std::string SystemReason(int error) {
    return std::strerror(error);
}

std::string NotRegular(std::filesystem::file_type type) {
    using std::filesystem::file_type;
    switch (type) {
    case file_type::directory:
        return "a folder, not a file";
    case file_type::fifo:
        return "a FIFO, not a regular file";
    case file_type::character:
    case file_type::block:
        return "a device, not a regular file";
    case file_type::socket:
        return "a socket, not a regular file";
    default:
        return "not a regular file";
    }
}
} // namespace

void ImageFile::open(const std::string& utf8Path) {
    close();
    if (utf8Path.empty())
        throw RunError("Bad file name or number", "empty path");
    auto path = settings::PathFromUtf8(utf8Path);
    // Only a regular file is an image: opening a FIFO for reading blocks until some writer comes,
    // and a device such as /dev/zero never ends. Look before opening.
    std::error_code error;
    auto status = std::filesystem::status(path, error);
    if (error)
        throw RunError("File not found", error.message());
    if (!std::filesystem::is_regular_file(status))
        throw RunError("Path/File access error", NotRegular(status.type()));
    errno = 0;
#if defined(_WIN32)
    std::FILE* file = _wfopen(path.c_str(), L"rb");
    if (!file)
        throw RunError("File not found", SystemReason(errno));
#else
    // Should the path have been swapped for something else since the look, the open must still
    // not block, and what was opened is looked at again. (O_NONBLOCK means nothing to a regular
    // file's reads.)
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw RunError("File not found", SystemReason(errno));
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        throw RunError("Path/File access error", "not a regular file");
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (!file) {
        int fdopenError = errno;
        ::close(fd);
        throw RunError("File not found", SystemReason(fdopenError));
    }
#endif
    file_ = file;
    path_ = utf8Path;
    buffer_.resize(blockSize_);
    pos_ = len_ = 0;
    // Read the first block now, so that a file that opens but cannot be read fails here, as a
    // file that cannot be opened.
    try {
        fill();
    } catch (...) {
        close();
        throw;
    }
}

bool ImageFile::fill() {
    if (pos_ < len_)
        return true;
    if (!file_)
        throw RunError("Bad file name or number", "file not open");
    len_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
    pos_ = 0;
    if (len_ == 0 && std::ferror(file_))
        throw RunError("Input past end of file", SystemReason(errno));
    return len_ > 0;
}

int ImageFile::peek() {
    return fill() ? static_cast<unsigned char>(buffer_[pos_]) : -1;
}

int ImageFile::take() {
    int c = peek();
    if (c >= 0)
        ++pos_;
    return c;
}

bool ImageFile::atEnd() {
    return peek() < 0;
}

std::string ImageFile::readLine() {
    if (atEnd())
        throw RunError("Input past end of file");
    std::string line;
    for (;;) {
        // Copy the run of ordinary bytes in the buffer at once; lines are short, files long.
        const char* begin = buffer_.data() + pos_;
        const char* end = buffer_.data() + len_;
        const char* stop = begin;
        while (stop != end && *stop != '\r' && *stop != '\n')
            ++stop;
        line.append(begin, stop);
        pos_ += static_cast<std::size_t>(stop - begin);
        if (stop == end) {
            if (!fill())
                return line; // the last line needs no terminator
            continue;
        }
        if (take() == '\r' && peek() == '\n')
            take();
        return line;
    }
}

void ImageFile::rewind() {
    if (!file_)
        throw RunError("Bad file name or number", "file not open");
    errno = 0;
    if (std::fseek(file_, 0, SEEK_SET) != 0)
        throw RunError("Device I/O error", SystemReason(errno));
    std::clearerr(file_);
    pos_ = len_ = 0;
}

void ImageFile::close() noexcept {
    if (file_)
        std::fclose(file_);
    file_ = nullptr;
    pos_ = len_ = 0;
}

} // namespace tavo::engine
