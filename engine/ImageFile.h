#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace tavo::engine {

// An image file read line by line, as the run's one open file. A line ends at CR, CRLF or a
// lone LF (files written on Linux end their lines with LF alone); the terminator is not part of
// the line, and the last line needs none. Content is not interpreted. Failures raise RunError.
class ImageFile {
public:
    static constexpr std::size_t kDefaultBlockSize = 64 * 1024;

    // Reads go through a buffer of `blockSize` bytes (a tiny one puts line ends on the edges
    // between blocks, for tests).
    explicit ImageFile(std::size_t blockSize = kDefaultBlockSize)
        : blockSize_(blockSize > 0 ? blockSize : 1) {}
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;
    ~ImageFile() { close(); }

    void open(const std::string& utf8Path);
    bool isOpen() const { return file_ != nullptr; }
    bool atEnd();
    std::string readLine();
    void rewind();
    // Closing a file that is not open is no error.
    void close() noexcept;

private:
    bool fill(); // false at the end of the file
    int peek();  // next byte or -1 at the end
    int take();

    std::FILE* file_ = nullptr;
    std::string path_;
    std::size_t blockSize_;
    std::vector<char> buffer_;
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
};

} // namespace tavo::engine
