#pragma once

#include "engine/RunHost.h"

namespace tavo::ui {

class Form1;

// The download run's view of the main window: settings read from the controls, progress written
// onto the display surfaces, message boxes titled with the window's caption, and waits that
// block in the Qt event loop (serial input, timer ticks and clicks wake them).
class FormHost final : public engine::RunHost {
public:
    explicit FormHost(Form1& form);

    settings::Settings settings() override;
    void setBusyState() override;
    void setIdleState() override;
    void setStatus(const std::string& text) override;
    void setLinesRemaining(const std::string& text) override;
    void setLinesRemainingVisible(bool visible) override;
    void setVersionLabel(const std::string& text) override;
    void setVersionLabelVisible(bool visible) override;
    void setProgressMax(int value) override;
    void setProgressMin(int value) override;
    void setProgressValue(int value) override;
    void setLinesTimerEnabled(bool enabled) override;
    void showMessage(const engine::Message& message) override;
    bool askYesNo(const std::string& text) override;
    void focusBrowseButton() override;
    void setEepromControlsEnabled(bool enabled) override;
    void uncheckEeprom() override;
    void yield() override;
    void waitForEvents(std::optional<engine::Millis> timeout) override;

private:
    // A write that the board holds back (XOFF) serves the window meanwhile, so that Cancel and
    // Exit act at once; false once Cancel was pressed.
    bool whileWriteStalled(engine::Millis step);
    void throwIfAbandoned() const;
    void applyProgressRange();

    Form1& form_;
    // The range the run asked for; an empty range (a file of one line or none) is shown as an
    // empty bar rather than Qt's endless busy animation.
    int progressMin_ = 0;
    int progressMax_ = 100;
};

// The text under a message's fixed text: the OS reason, and for a refused port the way out.
std::string MessageDetail(const engine::Message& message);

} // namespace tavo::ui
