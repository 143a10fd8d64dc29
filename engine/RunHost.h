#pragma once

#include "engine/Clock.h"
#include "settings/Settings.h"

#include <optional>
#include <string>

namespace tavo::engine {

enum class MessageIcon { None, Warning };

struct Message {
    std::string text; // the fixed text of the message
    MessageIcon icon = MessageIcon::None;
    std::string detail; // optional diagnostics (the OS reason behind a port failure); may be empty
};

// Thrown out of a host's yield when the program is ending during a run (File > Exit inside a
// wait). It is not a RunError: the run lets it pass untouched, since the window and the port
// are being torn down by whoever threw it.
struct RunAbandoned {};

// What the run needs of the window (or of any other front end). The window's controls are the
// truth for the settings: the run asks for them at the moment of use.
class RunHost {
public:
    virtual ~RunHost() = default;

    // The current value of every setting.
    virtual settings::Settings settings() = 0;

    // Lock the window for the run / restore its idle state (status "Idle", lines label hidden).
    virtual void setBusyState() = 0;
    virtual void setIdleState() = 0;

    // The display surfaces.
    virtual void setStatus(const std::string& text) = 0;         // Label2
    virtual void setLinesRemaining(const std::string& text) = 0; // Label14 caption
    virtual void setLinesRemainingVisible(bool visible) = 0;     // Label14
    virtual void setVersionLabel(const std::string& text) = 0;   // Label16 caption
    virtual void setVersionLabelVisible(bool visible) = 0;       // Label16
    virtual void setProgressMax(int value) = 0;                  // ProgressBar1
    virtual void setProgressMin(int value) = 0;
    virtual void setProgressValue(int value) = 0;
    virtual void setLinesTimerEnabled(bool enabled) = 0; // Timer3

    // An OK-only box titled with the window's caption.
    virtual void showMessage(const Message& message) = 0;
    // A Yes/No question (Yes the default, no icon) titled with the window's caption. True: Yes.
    virtual bool askYesNo(const std::string& text) = 0;

    // Keyboard focus on the application "&Browse" button (Command1).
    virtual void focusBrowseButton() = 0;
    // The EEPROM path box, check box and browse button (Text11, EepromCheck, Command7).
    virtual void setEepromControlsEnabled(bool enabled) = 0;
    // EepromCheck value := 0; this is a change of the setting, not only of the display.
    virtual void uncheckEeprom() = 0;

    // Handle pending events (clicks, timer ticks, repaints) and return at once.
    virtual void yield() = 0;
    // Handle events, blocking until at least one has arrived (serial input, a timer tick, a
    // click) or the timeout has passed (no timeout: until an event). Never spins.
    virtual void waitForEvents(std::optional<Millis> timeout) = 0;
};

} // namespace tavo::engine
