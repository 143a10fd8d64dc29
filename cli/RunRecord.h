#pragma once

#include "cli/RunDisplay.h"
#include "engine/DownloadRun.h"
#include "engine/ForwardingPort.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// The record of one board's download for --report, and what a run shows that goes into it.
namespace tavo::flash {

struct ImageFacts {
    std::string kind; // "eeprom" or "flash"
    std::string path;
    std::optional<std::uintmax_t> size; // nothing when the file cannot be read
    std::string sha256;                 // lower-case hex; empty when it cannot be read
};

// Size and SHA-256 of an image file, read before the run opens it.
ImageFacts InspectImage(std::string kind, const std::string& path);

struct Answer {
    std::string question;
    bool yes = false;
    bool byPolicy = false; // answered by --on-error, not typed
};

struct RunRecord {
    std::chrono::system_clock::time_point start, end;
    std::string host;
    std::string port;   // as named on the command line ("3", "/dev/ttyUSB0", "usb:A50285BI")
    std::string device; // what was opened
    std::optional<int> baud;
    std::vector<ImageFacts> images;
    std::string bootloaderVersion; // empty when none was read
    std::vector<Answer> answers;
    int linesSent = 0;
    std::string outcome;
    int exitCode = 0;
    engine::Verify verify = engine::Verify::NotOffered;
    std::string offered; // the board's capabilities; empty: none announced
};

// "passed", "failed", "not offered", "not reached".
std::string VerifyText(engine::Verify verify);

// "2024-05-06T07:08:09.123Z"
std::string IsoUtc(std::chrono::system_clock::time_point time);

// The record as one JSON object on one line, with its line end.
std::string RecordLine(const RunRecord& record);

std::string HostName();

// A report file open for appending. Each record goes out in one write to a descriptor opened
// with O_APPEND, so records of boards flashed at once never mix within a line.
class ReportFile {
public:
    // Opens (creating) `path`; the reason when it cannot be written.
    static std::variant<ReportFile, std::string> Open(const std::string& path);
    ReportFile(ReportFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    ReportFile& operator=(ReportFile&&) = delete;
    ~ReportFile();

    // Appends one line; the system's reason when it fails.
    std::optional<std::string> append(const std::string& line);

private:
    explicit ReportFile(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// Passes a run's display events on and notes what goes into its record: the bootloader version,
// every question with its answer, the lines sent and the closing message. Give the run watch()'s
// port so that the lines and the handshake's answer can be counted.
class RunWatcher final : public RunDisplay {
public:
    explicit RunWatcher(RunDisplay& inner) : inner_(inner) {}
    RunWatcher(const RunWatcher&) = delete;
    RunWatcher& operator=(const RunWatcher&) = delete;

    engine::SerialPort& watch(engine::SerialPort& device);

    // The version the label showed; the label stays bare below 1.3, so then the number is read
    // from the ready answer as the run reads it.
    std::string bootloaderVersion(const std::string& readyString) const;
    const std::vector<Answer>& answers() const { return answers_; }
    int linesSent() const { return lines_; }
    // The run's closing message (empty text when it ended without one).
    const engine::Message& lastMessage() const { return lastMessage_; }

    void status(const std::string& text) override { inner_.status(text); }
    void versionLabel(const std::string& text) override;
    void sendingStarted(int progressMax) override;
    void progress(int value, int max) override;
    void linesRemaining(const std::string& text) override { inner_.linesRemaining(text); }
    void sendingEnded() override;
    void message(const engine::Message& message) override;
    std::optional<bool> ask(const std::string& question) override;
    void answered(const std::string& question, bool yes) override;
    void cancelRequested() override { inner_.cancelRequested(); }
    void idle() override { inner_.idle(); }
    void note(const std::string& text) override { inner_.note(text); }

private:
    class CountingPort final : public engine::ForwardingPort {
    public:
        CountingPort(engine::SerialPort& device, RunWatcher& watcher)
            : ForwardingPort(device), watcher_(watcher) {}
        void write(std::string_view data) override;
        std::string takeWaiting() override;

    private:
        RunWatcher& watcher_;
    };

    RunDisplay& inner_;
    std::unique_ptr<CountingPort> port_;
    std::string labelVersion_;
    std::string handshakeInput_; // what came in before the first line, for the version
    std::vector<Answer> answers_;
    engine::Message lastMessage_;
    bool sending_ = false;
    bool everSent_ = false;
    bool lineDue_ = false; // a new line's progress is shown and it has not been written yet
    int lines_ = 0;
};

} // namespace tavo::flash
