#pragma once

#include <QWidget>

class QFrame;
class QLabel;

namespace tavo::ui {

// The about window: title, version, platforms, company, logo and a liability disclaimer.
// A frameless tool window (no taskbar entry); it closes, and is deleted, on a key press that
// produces a character or on a click on the free background of its frame.
class frmSplash final : public QWidget {
    Q_OBJECT

public:
    explicit frmSplash(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Form_Load();
    void Frame1_Click();

    QFrame* Frame1;
    QLabel* imgLogo;
    QLabel* Label1;
    QLabel* lblCompanyProduct;
    QLabel* lblProductName;
    QLabel* lblPlatform;
    QLabel* lblVersion;
    QLabel* lblCompany;
    QLabel* lblWarning;
};

// The disclaimer shown at the foot of the about window.
QString DisclaimerText();

} // namespace tavo::ui
