#include "engine/Run.h"
#include "engine/SerialLink.h"
#include "engine/Version.h"

namespace tavo::engine::detail {

namespace {
constexpr int kTries = 3;
constexpr int kPauseSeconds = 1;
constexpr int kAnswerSeconds = 6;
constexpr const char* kVersionCaption = "BootLoader Version: ";
} // namespace

// Waits the whole seconds out while the window stays responsive. Only a board that announces
// its capabilities ends the pause early (a plain one never sends them); what arrived stays
// waiting for the answer wait to take, as it always did.
void Run::pause(int seconds) {
    WholeSecondWait wait(clock_, seconds);
    while (!wait.expired()) {
        host_.waitForEvents(wait.remaining());
        if (options_.extension &&
            AnnouncementArrived(port_.peekWaiting(), host_.settings().bootloaderReady))
            break;
    }
}

Handshake Run::handshake() {
    host_.setVersionLabel(kVersionCaption);
    host_.setVersionLabelVisible(true);
    Int16 TryCount;
    ReceiveBuffer.clear();
    handshakeStarted_ = clock_.now();

    // Every setting is read at its moment of use: a settings file opened during the handshake
    // applies from the next read on.
    while (!Contains(ReceiveBuffer, host_.settings().bootloaderReady) && TryCount < kTries &&
           !readyLimitReached()) {
        if (cancelRequested())
            return Handshake::Cancelled;
        host_.setStatus("Requesting Ack from target bootloader.  Try #" +
                        std::to_string(TryCount + 1));
        ReceiveBuffer += port_.takeWaiting();
        {
            auto settings = host_.settings();
            port_.write(settings.jumpCommand + settings.startDownloadSequence);
        }
        pause(kPauseSeconds);

        WholeSecondWait wait(clock_, kAnswerSeconds);
        while (!wait.expired() && !readyLimitReached() && port_.countWaiting() == 0) {
            if (cancelRequested())
                return Handshake::Cancelled;
            host_.waitForEvents(capped(wait.remaining(), true));
        }
        if (port_.countWaiting() > 0)
            ReceiveBuffer += port_.takeWaiting();
        // The running application answered: it is switching, so keep asking (the active string
        // stays in the buffer, so from now on only the ready string or Cancel ends the loop).
        if (Contains(ReceiveBuffer, host_.settings().bootloaderActive)) {
            TryCount = 0;
            host_.setStatus("Main code responded.  Switching to bootloader.");
        }
        TryCount += 1;
        host_.yield();
    }
    return readyTest();
}

Handshake Run::readyTest() {
    if (!Contains(ReceiveBuffer, host_.settings().bootloaderReady))
        return Handshake::NoResponse;

    auto announced = ParseAnnouncement(ReceiveBuffer, host_.settings().bootloaderReady);
    if (announced)
        offered_ = announced->text;
    if (announced && options_.extension) {
        capabilities_ = announced;
        verify_ = Verify::NotReached;
    }

    // The version follows the first "V" anywhere in what was received.
    auto marker = ReceiveBuffer.find('V');
    if (marker == std::string::npos) {
        BootloaderVersion = 0.0f;
    } else {
        ReceiveBuffer = ReceiveBuffer.substr(marker + 1);
        BootloaderVersion = ParseLeadingNumber(ReceiveBuffer);
    }

    if (BootloaderVersion < kLowestEepromVersion && host_.settings().eepromCheck == 1) {
        host_.setEepromControlsEnabled(false);
        host_.uncheckEeprom();
        host_.showMessage(
            {"Embedded Bootloader Version does not support EEPROM write.", MessageIcon::None, {}});
        // The refusal is the run's one verdict: a port that fails to close now gets no second
        // message, as on every other way out.
        ClosePort(port_);
        host_.setIdleState();
        return Handshake::EepromRefused;
    }
    if (BootloaderVersion >= kLowestEepromVersion) {
        host_.setVersionLabel(kVersionCaption + FormatVersion(BootloaderVersion));
        host_.setVersionLabelVisible(true);
    }
    return Handshake::Ready;
}

} // namespace tavo::engine::detail
