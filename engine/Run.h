#pragma once

// The download run's inner workings, shared by its stage files. Not part of the engine's API.

#include "engine/DownloadRun.h"
#include "engine/Extension.h"
#include "engine/ImageFile.h"
#include "engine/Int16.h"
#include "engine/RunError.h"

#include <optional>
#include <string>

namespace tavo::engine::detail {

enum class Handshake { Ready, Cancelled, NoResponse, EepromRefused };

enum class FileEnd {
    FileCompleteOK,
    FileCompleteWithErrors,
    NoEndOfFileAnswer,
    Cancelled,
    Declined,
    VerifyFailed, // extended protocol: a check found a range that differs
    NoResponse,   // extended protocol: no answer after a failed rate switch
};

// The five answer strings, copied once per file before its first line.
struct Answers {
    std::string lineComplete;
    std::string pageError;
    std::string fileCompleteWithErrors;
    std::string fileCompleteNoErrors;
    std::string checksumError;

    bool any(const std::string& buffer) const;
    // Line Complete or either File Complete: the line was taken.
    bool accepted(const std::string& buffer) const;
};

// The line count's overflow: a file of more than 32,767 lines. DownloadErrorHandler takes it like
// any run-time error; the run's result tells it apart.
class LineLimitError : public RunError {
public:
    LineLimitError() : RunError("Overflow", "more than 32,767 lines") {}
};

// One call of DownloadFirmware: the doors, the run's own variables, and which failure handler
// is armed.
class Run {
public:
    Run(RunState& state, RunHost& host, SerialPort& port, const Clock& clock,
        const RunOptions& options)
        : state_(state), host_(host), port_(port), clock_(clock), options_(options) {}

    RunResult execute();

private:
    RunResult stages();
    enum class Stage { Port, Download, Open, Close };

    std::optional<RunResult> entryChecks();
    RunResult mainSequence();
    RunResult cancelCheckpoint();
    RunResult commonExit(RunEnd end);
    RunResult noFileEnding();
    // The failure handler of the active stage, for an error with the given diagnostics.
    RunResult failure(const std::string& detail, const std::string& reason,
                      RunEnd downloadEnd = RunEnd::DownloadError);

    // Cancel pressed, or the time limit reached: what the cancel checkpoints and waits test.
    bool cancelRequested() const;
    bool timeUp() const;
    bool readyLimitReached() const;
    // A wait's timeout cut short to the time limit (and, in the handshake, the ready limit), so
    // that a limit ends the wait on time; nothing: no timeout and no limit.
    std::optional<Millis> capped(std::optional<Millis> timeout, bool handshake = false) const;

    // Bootloader handshake.
    Handshake handshake();
    Handshake readyTest();
    void pause(int seconds);

    // File transfer.
    FileEnd eepromFileStart();
    FileEnd flashFileStart();
    void openImage(const std::string& path);
    FileEnd sendFile();
    void showLines();
    Int16 linesProgress() const;
    bool sendLine(const std::string& line, const Answers& answers);
    bool askAboutLine(int line, const Answers& answers, bool unanswered);
    void waitForAnswer(const Answers& answers);
    FileEnd endOfFile(const Answers& answers);
    bool newProtocol() const;

    // Extended transfer (with a board that announced its capabilities).
    FileEnd extendedTransfer();
    // False: no answer at either rate.
    bool switchRate();
    std::optional<long> chooseRate(long handshakeRate);
    FileEnd extendedImage(Memory memory);
    // Writes a record and collects input until `done` holds for it or `limit` has passed.
    template <class Done> std::string exchange(const std::string& record, Millis limit, Done done);
    // After a pause at a switched rate: the board confirms at it, or has gone back to the
    // handshake's rate and the loader follows.
    void resumeRate();
    // A data, address or end-of-file record with the plain answers: written up to three times,
    // then the technician is asked about `line`. False when the answer is No.
    bool sendRecord(const std::string& record, int line, const Answers& answers);
    // Nothing: every range matches; otherwise the run's end.
    std::optional<FileEnd> checkRanges(Memory memory, const std::vector<WrittenRange>& ranges);
    FileEnd extendedEndOfFile(const Answers& answers);

    RunState& state_;
    RunHost& host_;
    SerialPort& port_;
    const Clock& clock_;
    const RunOptions options_;
    Millis handshakeStarted_{0};

    Stage stage_ = Stage::Port;
    std::int16_t FileSelection = 0;
    bool FlashFollows = false;
    float BootloaderVersion = 0.0f;
    std::string ReceiveBuffer;
    ImageFile file_; // file number 1

    std::optional<Capabilities> capabilities_; // announced by the board, and in use
    std::string offered_;                      // what the board announced, used or not
    std::optional<long> fastRate_;             // the switched rate, while the board is on it
    long handshakeRate_ = 0;
    Millis lastExchange_{0};
    Verify verify_ = Verify::NotOffered;
    std::string verifyDetail_;
};

} // namespace tavo::engine::detail
