#pragma once

// The download run's inner workings, shared by its stage files. Not part of the engine's API.

#include "engine/DownloadRun.h"
#include "engine/ImageFile.h"
#include "engine/Int16.h"

#include <string>

namespace tavo::engine::detail {

enum class Handshake { Ready, Cancelled, NoResponse, EepromRefused };

enum class FileEnd {
    FileCompleteOK,
    FileCompleteWithErrors,
    NoEndOfFileAnswer,
    Cancelled,
    Declined
};

// The five answer strings, copied once per file before its first line.
struct Answers {
    std::string lineComplete;
    std::string pageError;
    std::string fileCompleteWithErrors;
    std::string fileCompleteNoErrors;
    std::string checksumError;

    bool any(const std::string& buffer) const;
};

// One call of DownloadFirmware: the doors, the run's own variables, and which failure handler
// is armed.
class Run {
public:
    Run(RunState& state, RunHost& host, SerialPort& port, const Clock& clock)
        : state_(state), host_(host), port_(port), clock_(clock) {}

    RunResult execute();

private:
    enum class Stage { Port, Download, Open, Close };

    std::optional<RunResult> entryChecks();
    RunResult mainSequence();
    RunResult cancelCheckpoint();
    RunResult commonExit(RunEnd end);
    RunResult noFileEnding();
    RunResult failure(const RunError& error);

    // Bootloader handshake.
    Handshake handshake();
    Handshake readyTest();
    void pause(int seconds);

    // File transfer.
    FileEnd eepromFileStart();
    FileEnd flashFileStart();
    void openImage(const std::string& path);
    FileEnd sendFile();
    bool sendLine(const std::string& line, const Answers& answers);
    void waitForAnswer(const Answers& answers);
    FileEnd endOfFile(const Answers& answers);
    bool newProtocol() const;

    RunState& state_;
    RunHost& host_;
    SerialPort& port_;
    const Clock& clock_;

    Stage stage_ = Stage::Port;
    std::int16_t FileSelection = 0;
    bool FlashFollows = false;
    float BootloaderVersion = 0.0f;
    std::string ReceiveBuffer;
    ImageFile file_; // file number 1
};

} // namespace tavo::engine::detail
