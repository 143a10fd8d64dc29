#pragma once

#include "cli/RunDisplay.h"
#include "engine/DownloadRun.h"
#include "engine/ForwardingPort.h"
#include "serial/PortInfo.h"

#include <atomic>
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

// Size and SHA-256 of an image file, read before the run opens it. The path is taken byte for
// byte, as the run opens it, whatever its encoding.
ImageFacts InspectImage(std::string kind, const std::string& path);

// The USB identity of the adapter a board hangs on.
struct Adapter {
    std::uint16_t vendorId = 0, productId = 0;
    std::string serialNumber; // empty when the adapter has none
};

// The adapter of `device` among the system's ports; nothing for a port that is no USB device.
std::optional<Adapter> AdapterOf(const std::vector<serial::PortInfo>& ports,
                                 const std::string& device);

// This program's version, "2.1.2".
std::string ProgramVersion();

struct Answer {
    std::string question;
    bool yes = false;
    bool byPolicy = false; // answered by --on-error, not typed
};

struct RunRecord {
    std::chrono::system_clock::time_point start, end;
    std::string host;
    std::string program = ProgramVersion();
    std::optional<Adapter> adapter;
    std::string port;   // as named on the command line ("3", "/dev/ttyUSB0", "usb:A50285BI")
    std::string device; // what was opened
    std::optional<int> baud;
    std::vector<ImageFacts> images;
    std::string bootloaderVersion; // empty when none was read
    std::vector<Answer> answers;
    int linesSent = 0;
    std::string outcome;
    int exitCode = 0;
    std::optional<std::string> identity; // the board's identity, a JSON object
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
    ReportFile(ReportFile&& other) noexcept : fd_(other.fd_), cutShort_(other.cutShort_.load()) {
        other.fd_ = -1;
    }
    ReportFile& operator=(ReportFile&&) = delete;
    ~ReportFile();

    // Appends one line; the system's reason when it fails. After a line cut short (a full disk,
    // now or in an earlier run) the next one starts on a line of its own.
    std::optional<std::string> append(const std::string& line);

private:
    ReportFile(int fd, bool cutShort) : fd_(fd), cutShort_(cutShort) {}
    int fd_ = -1;
    std::atomic<bool> cutShort_{false}; // the file ends inside a line
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
    // The image's lines written to the board, each once however often it was tried.
    int linesSent() const { return lines_; }
    // The files whose lines began to go out, in the order sent (EEPROM before Flash).
    int filesStarted() const { return filesStarted_; }
    // The line number of the last question (as the question names it); 0 before any.
    int questionLine() const { return questionLine_; }
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
    int shownLine_ = 0;              // the progress value: lines of the file dealt with
    std::optional<int> countedLine_; // the last one counted as sent, in this file
    int lines_ = 0;
    int filesStarted_ = 0;
    int questionLine_ = 0;
};

} // namespace tavo::flash
