#include "engine/ImageFile.h"

#include "engine/RunError.h"
#include "settings/Utf8Path.h"

#include <cerrno>
#include <cstring>

namespace tavo::engine {

namespace {
constexpr std::size_t kBufferSize = 64 * 1024;

std::string SystemReason(int error) {
    return std::strerror(error);
}
} // namespace

void ImageFile::open(const std::string& utf8Path) {
    close();
    if (utf8Path.empty())
        throw RunError("Bad file name or number", "empty path");
    auto path = settings::PathFromUtf8(utf8Path);
    errno = 0;
#if defined(_WIN32)
    std::FILE* file = _wfopen(path.c_str(), L"rb");
#else
    std::FILE* file = std::fopen(path.c_str(), "rb");
#endif
    if (!file)
        throw RunError("File not found", SystemReason(errno));
    file_ = file;
    path_ = utf8Path;
    buffer_.resize(kBufferSize);
    pos_ = len_ = 0;
    // Read the first block now, so that something that opens but cannot be read (a folder)
    // fails here, as a file that cannot be opened.
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
