#pragma once

#include "app/AppInfo.h"
#include "engine/Clock.h"
#include "engine/RunHost.h"
#include "engine/RunState.h"
#include "serial/DeviceSerialPort.h"
#include "serial/PortMap.h"
#include "settings/Settings.h"
#include "ui/frmSplash.h"

#include <QMainWindow>
#include <QPointer>
#include <QString>

#include <memory>

class QAction;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;

namespace tavo::ui {

class BrowseDialog;
class FormHost;
class TextBox;

// The main window. Its controls hold the settings while the program runs; a download run borrows
// the window through its RunHost and reports on the window's display surfaces. Every control
// carries its design name as its Qt object name.
class Form1 final : public QMainWindow {
    Q_OBJECT

public:
    // The folder of dazez.txt and ports.txt: beside the program, or the user's own for an installed
    // copy.
    static QString DefaultSettingsFolder();

    // programFolder holds dazez.txt (the settings, read now and written at exit) and ports.txt
    // (which device each "Com N" means); its bytes are held as TextFromBytes gives them.
    explicit Form1(const QString& programFolder = DefaultSettingsFolder(),
                   QWidget* parent = nullptr);
    ~Form1() override;

    engine::RunHost& host();
    engine::RunState& state() { return state_; }

    // The settings as the controls hold them now, and the other way round.
    settings::Settings currentSettings() const;
    void applySettings(const settings::Settings& values);

    QString settingsFilePath() const;
    bool runActive() const { return runActive_; }
    bool portOpen() const;
    // The about window while it is shown.
    frmSplash* aboutWindow() const { return splash_ && splash_->isVisible() ? splash_ : nullptr; }
    BrowseDialog& browseDialog() { return *browse_; }

    // Selects the whole text of a text box, so that typing replaces it.
    void AutoSelect(QWidget* control);

    void SetBusyState();
    void SetIdleState();

    // Ends the program as Exit does, when told to from outside (a signal): a run is abandoned,
    // and a box or dialog that is up is closed first, since nobody may be there to answer it.
    void ExitFromOutside();

signals:
    // The window has unloaded for good (settings saved, port closed); the program should end.
    void programEnded();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    friend class FormHost;

    void buildControls();
    void buildMenus();
    void buildTimers();
    void arrangeTabOrder();
    void refreshPortToolTips();
    void fitStatusLine();

    void Form_Load();
    void Form_Unload();
    void LoadSettings(const QString& path);
    void SaveSettings(const QString& path);

    void Command2_Click();
    void Command4_Click();
    void Exit();
    void ShowAboutWindow();
    void Command1_Click();
    void Command7_Click();
    void OpenMenu_Click();
    void SaveMenu_Click();

    QString programFolder_;
    serial::PortMap portMap_;

    // Frame1 "Connection"
    QGroupBox* Frame1;
    QLabel* Label4;
    QComboBox* Combo1;
    QLabel* Label5;
    QComboBox* Combo2;
    // Frame4: the images and the start button
    QGroupBox* Frame4;
    QCheckBox* FlashCheck;
    TextBox* Text1;
    QPushButton* Command1;
    QCheckBox* EepromCheck;
    TextBox* Text11;
    QPushButton* Command7;
    QPushButton* Command2;
    QPushButton* Command4;
    // Frame5: the status line
    QGroupBox* Frame5;
    QLabel* Label3;
    QLabel* Label2;
    QLabel* Label14;
    QLabel* Label16;
    QProgressBar* ProgressBar1;
    QPushButton* Command5;
    QPushButton* Command3;
    // The protocol strings, in frames that are never shown.
    QGroupBox* Frame2;
    QLabel* Label8;
    TextBox* Text4;
    QLabel* Label9;
    TextBox* Text5;
    QLabel* Label6;
    TextBox* Text2;
    QLabel* Label7;
    TextBox* BLReadyText;
    QLabel* Label1;
    TextBox* Text12;
    QGroupBox* Frame3;
    QLabel* Label10;
    TextBox* Text6;
    QLabel* Label11;
    TextBox* Text7;
    QLabel* Label15;
    TextBox* Text10;
    QLabel* Label12;
    TextBox* Text8;
    QLabel* Label13;
    TextBox* Text9;

    QMenu* FileMenu;
    QAction* OpenMenu;
    QAction* SaveMenu;
    QAction* ExitMenu;
    QAction* InfoMenu;
    QTimer* Timer1;
    QTimer* Timer3;

    engine::RunState state_;
    engine::SteadyClock clock_;
    std::unique_ptr<serial::DeviceSerialPort> port_;
    std::unique_ptr<FormHost> host_;
    std::unique_ptr<BrowseDialog> browse_;
    QPointer<frmSplash> splash_;

    bool runActive_ = false;  // DownloadFirmware is on the stack
    bool abandonRun_ = false; // the program is ending under a run: its next wait unwinds it
    bool unloaded_ = false;   // port closed and settings saved; happens once
    bool ended_ = false;
};

} // namespace tavo::ui
