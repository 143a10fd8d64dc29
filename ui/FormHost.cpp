#include "ui/FormHost.h"

#include "serial/DeviceSerialPort.h"
#include "ui/ExactText.h"
#include "ui/Form1.h"
#include "ui/TextBox.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cctype>

namespace tavo::ui {

namespace {

bool MentionsPermission(const std::string& reason) {
    std::string lower(reason);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("permission") != std::string::npos ||
           lower.find("access is denied") != std::string::npos ||
           lower.find("eacces") != std::string::npos;
}

} // namespace

std::string MessageDetail(const engine::Message& message) {
    if (message.detail.empty())
        return {};
    std::string detail = message.detail;
    if (MentionsPermission(detail))
        detail += "\n\nOn Linux, serial ports belong to the group \"dialout\": add your user to it "
                  "(sudo usermod -aG dialout $USER) and log in again.";
    return detail;
}

FormHost::FormHost(Form1& form) : form_(form) {
    form_.port_->setWriteStallHandler(
        [this](serial::DeviceSerialPort&, engine::Millis step) { return whileWriteStalled(step); });
}

settings::Settings FormHost::settings() {
    return form_.currentSettings();
}

void FormHost::setBusyState() {
    form_.SetBusyState();
}
void FormHost::setIdleState() {
    form_.SetIdleState();
}

void FormHost::setStatus(const std::string& text) {
    form_.Label2->setText(TextFromBytes(text));
    form_.fitStatusLine();
}

void FormHost::setLinesRemaining(const std::string& text) {
    form_.Label14->setText(TextFromBytes(text));
    // Painted now: after a file's last line the run waits for the board's verdict without
    // serving the window, which would otherwise show an old count beside a full bar.
    if (form_.Label14->isVisible())
        form_.Label14->repaint();
}

void FormHost::setLinesRemainingVisible(bool visible) {
    form_.Label14->setVisible(visible);
}

void FormHost::setVersionLabel(const std::string& text) {
    form_.Label16->setText(TextFromBytes(text));
    form_.fitStatusLine();
}

void FormHost::setVersionLabelVisible(bool visible) {
    form_.Label16->setVisible(visible);
    form_.fitStatusLine();
}

void FormHost::applyProgressRange() {
    form_.ProgressBar1->setRange(progressMin_, std::max(progressMax_, progressMin_ + 1));
}

void FormHost::setProgressMax(int value) {
    progressMax_ = value;
    applyProgressRange();
}

void FormHost::setProgressMin(int value) {
    progressMin_ = value;
    applyProgressRange();
}

void FormHost::setProgressValue(int value) {
    form_.ProgressBar1->setValue(value);
}

void FormHost::setLinesTimerEnabled(bool enabled) {
    if (enabled)
        form_.Timer3->start();
    else
        form_.Timer3->stop();
}

void FormHost::showMessage(const engine::Message& message) {
    throwIfAbandoned();
    QMessageBox box(message.icon == engine::MessageIcon::Warning ? QMessageBox::Warning
                                                                 : QMessageBox::NoIcon,
                    form_.windowTitle(), TextFromBytes(message.text), QMessageBox::Ok, &form_);
    // The reason stays behind "Show Details...", so the box itself reads as it always has.
    const std::string detail = MessageDetail(message);
    if (!detail.empty())
        box.setDetailedText(TextFromBytes(detail));
    box.exec();
}

bool FormHost::askYesNo(const std::string& text) {
    throwIfAbandoned();
    QMessageBox box(QMessageBox::NoIcon, form_.windowTitle(), TextFromBytes(text),
                    QMessageBox::Yes | QMessageBox::No, &form_);
    box.setDefaultButton(QMessageBox::Yes);
    const bool yes = box.exec() == QMessageBox::Yes;
    // The program may have ended while the question was up (a signal closes it): no answer.
    throwIfAbandoned();
    return yes;
}

void FormHost::focusBrowseButton() {
    form_.Command1->setFocus(Qt::OtherFocusReason);
}

void FormHost::setEepromControlsEnabled(bool enabled) {
    form_.Text11->setEnabled(enabled);
    form_.EepromCheck->setEnabled(enabled);
    form_.Command7->setEnabled(enabled);
}

void FormHost::uncheckEeprom() {
    form_.EepromCheck->setTristate(false);
    form_.EepromCheck->setCheckState(Qt::Unchecked);
}

void FormHost::throwIfAbandoned() const {
    if (form_.abandonRun_)
        throw engine::RunAbandoned{};
}

bool FormHost::whileWriteStalled(engine::Millis step) {
    // The port wakes the event loop once the device takes bytes again. After Cancel the run's
    // repeated writes of a line give up without waiting.
    if (form_.state().CancelRequested)
        throwIfAbandoned();
    else
        waitForEvents(step);
    return !form_.state().CancelRequested;
}

void FormHost::yield() {
    throwIfAbandoned();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    throwIfAbandoned();
}

void FormHost::waitForEvents(std::optional<engine::Millis> timeout) {
    throwIfAbandoned();
    if (timeout && timeout->count() <= 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        throwIfAbandoned();
        return;
    }
    // The deadline is one more event source: when nothing else comes, its tick ends the wait.
    QTimer deadline;
    if (timeout) {
        deadline.setSingleShot(true);
        deadline.setTimerType(Qt::PreciseTimer);
        deadline.start(*timeout);
    }
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    throwIfAbandoned();
}

} // namespace tavo::ui
