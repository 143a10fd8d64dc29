#include "engine/DownloadRun.h"

#include "engine/Run.h"
#include "engine/SerialLink.h"

namespace tavo::engine {

RunResult DownloadFirmware(RunState& state, RunHost& host, SerialPort& port, const Clock& clock) {
    detail::Run run(state, host, port, clock);
    return run.execute();
}

namespace detail {

namespace {
// A path of at most one character counts as missing.
bool PathMissing(const std::string& utf8Path) {
    std::size_t characters = 0;
    for (unsigned char c : utf8Path)
        if ((c & 0xC0) != 0x80)
            ++characters;
    return characters <= 1;
}

constexpr const char* kSelectApplication = "Select Application file to download.";
constexpr const char* kSelectEeprom = "Select EEPROM file to download.";
} // namespace

RunResult Run::execute() {
    if (auto refused = entryChecks())
        return *refused;
    stage_ = Stage::Port;
    try {
        return mainSequence();
    } catch (const RunError& error) {
        return failure(error);
    }
}

std::optional<RunResult> Run::entryChecks() {
    auto settings = host_.settings();
    bool flash = settings.flashCheck == 1;
    bool eeprom = settings.eepromCheck == 1;
    FlashFollows = flash;
    if (flash && eeprom) {
        state_.CurrentFile = 1;
        FileSelection = 3;
    } else if (flash) {
        state_.CurrentFile = 2;
        FileSelection = 1;
    } else if (eeprom) {
        state_.CurrentFile = 1;
        FileSelection = 2;
    } else {
        state_.CurrentFile = 0;
        FileSelection = 0;
    }

    const char* refusal = nullptr;
    if (flash && PathMissing(settings.applicationFile))
        refusal = kSelectApplication;
    else if (eeprom && PathMissing(settings.eepromFile))
        refusal = kSelectEeprom;
    if (!refusal)
        return std::nullopt;
    host_.showMessage({refusal, MessageIcon::None, {}});
    host_.focusBrowseButton();
    return RunResult{RunEnd::Refused, {}};
}

RunResult Run::mainSequence() {
    host_.setBusyState();
    state_.CancelRequested = false;
    host_.setStatus("Initializing the com port");

    if (port_.isOpen())
        port_.close();
    port_.setXonXoff();
    if (auto lineSettings = LineSettingsForBaudIndex(host_.settings().baudIndex))
        port_.setLineSettings(*lineSettings);
    if (state_.CancelRequested)
        return cancelCheckpoint();
    port_.setPortNumber(host_.settings().comPortIndex + 1);
    port_.open();
    if (state_.CancelRequested)
        return cancelCheckpoint();

    stage_ = Stage::Download;
    switch (handshake()) {
    case Handshake::Ready:
        break;
    case Handshake::Cancelled:
        return commonExit(RunEnd::Cancelled);
    case Handshake::NoResponse:
        host_.showMessage({"No response from target bootloader.", MessageIcon::None, {}});
        return commonExit(RunEnd::NoResponse);
    case Handshake::EepromRefused:
        return RunResult{RunEnd::EepromRefused, {}};
    }

    FileEnd end;
    if (state_.CurrentFile == 0)
        return noFileEnding();
    else if (state_.CurrentFile == 2)
        end = flashFileStart();
    else
        end = eepromFileStart();

    switch (end) {
    case FileEnd::Cancelled:
        return commonExit(RunEnd::Cancelled);
    case FileEnd::Declined:
        return commonExit(RunEnd::Declined);
    case FileEnd::FileCompleteOK: {
        const char* text = FileSelection == 1   ? "Flash File successfully downloaded."
                           : FileSelection == 2 ? "EEPROM File successfully downloaded."
                                                : "Flash & EEPROM Files successfully downloaded.";
        host_.showMessage({text, MessageIcon::None, {}});
        host_.setProgressValue(0);
        return commonExit(RunEnd::Success);
    }
    case FileEnd::FileCompleteWithErrors:
        host_.showMessage({"Error encountered while downloading file.", MessageIcon::None, {}});
        return commonExit(RunEnd::CompletedWithErrors);
    case FileEnd::NoEndOfFileAnswer:
        host_.showMessage({"Error encountered while downloading file.  No response from "
                           "bootloader at end of file.",
                           MessageIcon::None,
                           {}});
        return commonExit(RunEnd::NoEndOfFileAnswer);
    }
    return commonExit(RunEnd::NoEndOfFileAnswer);
}

RunResult Run::cancelCheckpoint() {
    ClosePort(port_);
    host_.setIdleState();
    return RunResult{RunEnd::Cancelled, {}};
}

RunResult Run::commonExit(RunEnd end) {
    file_.close();
    stage_ = Stage::Close;
    ClosePort(port_);
    host_.setIdleState();
    return RunResult{end, {}};
}

RunResult Run::noFileEnding() {
    ClosePort(port_);
    // From here on a failing step is skipped and the next one runs.
    try {
        host_.setIdleState();
    } catch (const RunError&) {
    }
    try {
        host_.showMessage({"Check box to download code.", MessageIcon::None, {}});
    } catch (const RunError&) {
    }
    try {
        host_.focusBrowseButton();
    } catch (const RunError&) {
    }
    return RunResult{RunEnd::NoFileChosen, {}};
}

RunResult Run::failure(const RunError& error) {
    std::string detail = error.reason().empty() ? std::string(error.what())
                                                : std::string(error.what()) + ": " + error.reason();
    switch (stage_) {
    case Stage::Port:
        host_.showMessage(
            {"Error encountered while accessing the com port.", MessageIcon::Warning, detail});
        host_.setIdleState();
        return RunResult{RunEnd::PortError, error.reason()};
    case Stage::Download:
        host_.showMessage({"Error encountered while downloading the firmware file.",
                           MessageIcon::Warning, detail});
        file_.close();
        ClosePort(port_);
        host_.setIdleState();
        return RunResult{RunEnd::DownloadError, error.reason()};
    case Stage::Open: {
        ClosePort(port_);
        file_.close();
        auto settings = host_.settings();
        if (state_.CurrentFile == 2 || state_.CurrentFile == 1) {
            const auto& path =
                state_.CurrentFile == 2 ? settings.applicationFile : settings.eepromFile;
            host_.showMessage({"Error opening " + path + ".", MessageIcon::Warning, detail});
        }
        host_.setIdleState();
        return RunResult{RunEnd::OpenError, error.reason()};
    }
    case Stage::Close:
        host_.showMessage(
            {"Error encountered while closing the com port.", MessageIcon::Warning, detail});
        host_.setIdleState();
        return RunResult{RunEnd::CloseError, error.reason()};
    }
    return RunResult{RunEnd::DownloadError, error.reason()};
}

} // namespace detail
} // namespace tavo::engine
