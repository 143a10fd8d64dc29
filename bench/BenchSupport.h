#pragma once

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

// What the benchmark programs share: images, a bare loader on the raw device, a scratch folder
// and small statistics. No Qt, so that a benchmark that measures a child's memory stays small.
namespace tavo::bench {

// An Intel HEX image of exactly `lines` lines: 16-byte data records, an extended linear address
// record at each 64 KiB boundary, and the end-of-file record.
std::string ImageOfLines(int lines);
// The lines of an image file without their line ends.
std::vector<std::string> ImageLines(const std::string& path);

double CpuSeconds(clockid_t which);
// The middle value; 0 for none.
double Median(std::vector<double> v);
double Percentile(std::vector<double> v, double p);
// "N processors online, load average a b c": how busy the machine was, beside the figures.
std::string MachineLoad();

// A folder of its own under the system's temporary folder, removed with its contents at the end.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    // Writes `text` to a file in the folder; its path.
    std::string write(const std::string& name, const std::string& text) const;

private:
    std::filesystem::path path_;
};

// The least a loader can do: a terminal device opened raw, plain writes, a blocking poll, reads.
class RawDevice {
public:
    // Raw at 115200 when `setSpeed`; check isOpen().
    explicit RawDevice(const std::string& path, bool setSpeed = true);
    ~RawDevice();
    RawDevice(const RawDevice&) = delete;
    RawDevice& operator=(const RawDevice&) = delete;
    bool isOpen() const { return fd_ >= 0; }

    // Writes all of `text`; throws when the device takes it no more.
    void send(const std::string& text);
    // One line's round trip: writes `text` and reads the first answer (3 s at most); false
    // without an answer.
    bool exchange(const std::string& text);
    // Reads until `wanted` has arrived (5 s at most); throws when it does not.
    void expect(const std::string& wanted);
    // Into the bootloader: the jump makes the application answer, the start sequence the
    // bootloader; what they said is dropped.
    void enterBootloader();

private:
    bool writeAll(const std::string& text);

    int fd_;
    std::string received_;
};

} // namespace tavo::bench
