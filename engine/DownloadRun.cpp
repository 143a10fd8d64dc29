#include "engine/DownloadRun.h"

#include "engine/Run.h"
#include "engine/SerialLink.h"

#include <algorithm>
#include <system_error>

namespace tavo::engine {

RunResult DownloadFirmware(RunState& state, RunHost& host, SerialPort& port, const Clock& clock,
                           const RunOptions& options) {
    detail::Run run(state, host, port, clock, options);
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

// Runs one step of a failure handler or of the no-file ending, going on when it fails: the run is
// ending anyway, and the steps after it (closing the port, the idle state) matter more.
template <class Step> void Tolerated(Step step) {
    try {
        step();
    } catch (const std::exception&) {
    }
}
} // namespace

// Not only RunError: anything the port, the host or the library throws (std::bad_alloc,
// std::system_error) is a run-time error of the stage it happened in. RunAbandoned is no
// std::exception and passes.
RunResult Run::execute() {
    auto result = stages();
    result.offered = offered_;
    result.verify = verify_;
    result.verifyDetail = verifyDetail_;
    return result;
}

RunResult Run::stages() {
    stage_ = Stage::Port;
    try {
        if (auto refused = entryChecks())
            return *refused;
        return mainSequence();
    } catch (const LineLimitError& error) {
        return failure(std::string(error.what()) + ": " + error.reason(), error.reason(),
                       RunEnd::ImageTooLong);
    } catch (const RunError& error) {
        return failure(error.reason().empty() ? std::string(error.what())
                                              : std::string(error.what()) + ": " + error.reason(),
                       error.reason());
    } catch (const std::system_error& error) {
        return failure(error.what(), error.code().message());
    } catch (const std::exception& error) {
        return failure(error.what(), error.what());
    }
}

bool Run::timeUp() const {
    return options_.deadline && clock_.now() >= *options_.deadline;
}

bool Run::cancelRequested() const {
    return static_cast<bool>(state_.CancelRequested) || timeUp();
}

bool Run::readyLimitReached() const {
    return options_.readyLimit && clock_.now() - handshakeStarted_ >= *options_.readyLimit;
}

std::optional<Millis> Run::capped(std::optional<Millis> timeout, bool handshake) const {
    auto cap = [&](std::optional<Millis> end) {
        if (!end)
            return;
        auto left = std::max(Millis(0), *end - clock_.now());
        timeout = timeout ? std::min(*timeout, left) : left;
    };
    cap(options_.deadline);
    if (handshake && options_.readyLimit)
        cap(handshakeStarted_ + *options_.readyLimit);
    return timeout;
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
    if (cancelRequested())
        return cancelCheckpoint();
    port_.setPortNumber(host_.settings().comPortIndex + 1);
    port_.open();
    if (cancelRequested())
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
    else if (capabilities_)
        end = extendedTransfer();
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
    case FileEnd::VerifyFailed:
        host_.showMessage({"Verification failed: " + verifyDetail_ +
                               ". The application was not started; the bootloader waits for "
                               "another download.",
                           MessageIcon::Warning,
                           {}});
        return commonExit(RunEnd::VerifyFailed);
    case FileEnd::NoResponse:
        host_.showMessage({"No response from target bootloader.", MessageIcon::None, {}});
        return commonExit(RunEnd::NoResponse);
    }
    return commonExit(RunEnd::NoEndOfFileAnswer);
}

RunResult Run::cancelCheckpoint() {
    ClosePort(port_);
    host_.setIdleState();
    return RunResult{timeUp() ? RunEnd::TimedOut : RunEnd::Cancelled, {}};
}

RunResult Run::commonExit(RunEnd end) {
    file_.close();
    stage_ = Stage::Close;
    ClosePort(port_);
    host_.setIdleState();
    // Past the time limit, a wait ended by it or a question nobody could answer in time is the
    // limit's doing.
    if ((end == RunEnd::Cancelled || end == RunEnd::Declined) && timeUp())
        end = RunEnd::TimedOut;
    return RunResult{end, {}};
}

RunResult Run::noFileEnding() {
    ClosePort(port_);
    // From here on a failing step is skipped and the next one runs.
    Tolerated([&] { host_.setIdleState(); });
    Tolerated([&] { host_.showMessage({"Check box to download code.", MessageIcon::None, {}}); });
    Tolerated([&] { host_.focusBrowseButton(); });
    return RunResult{RunEnd::NoFileChosen, {}};
}

RunResult Run::failure(const std::string& detail, const std::string& reason, RunEnd downloadEnd) {
    auto show = [&](std::string text) {
        Tolerated([&] { host_.showMessage({std::move(text), MessageIcon::Warning, detail}); });
    };
    auto idle = [&] { Tolerated([&] { host_.setIdleState(); }); };
    switch (stage_) {
    case Stage::Port:
        show("Error encountered while accessing the com port.");
        idle();
        return RunResult{RunEnd::PortError, reason};
    case Stage::Download:
        show("Error encountered while downloading the firmware file.");
        file_.close();
        ClosePort(port_);
        idle();
        return RunResult{downloadEnd, reason};
    case Stage::Open: {
        ClosePort(port_);
        file_.close();
        if (state_.CurrentFile == 2 || state_.CurrentFile == 1) {
            Tolerated([&] {
                auto settings = host_.settings();
                const auto& path =
                    state_.CurrentFile == 2 ? settings.applicationFile : settings.eepromFile;
                host_.showMessage({"Error opening " + path + ".", MessageIcon::Warning, detail});
            });
        }
        idle();
        return RunResult{RunEnd::OpenError, reason};
    }
    case Stage::Close:
        show("Error encountered while closing the com port.");
        idle();
        return RunResult{RunEnd::CloseError, reason};
    }
    return RunResult{RunEnd::DownloadError, reason};
}

} // namespace detail
} // namespace tavo::engine
