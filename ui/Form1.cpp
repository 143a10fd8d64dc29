#include "ui/Form1.h"

#include "app/AppInfo.h"
#include "engine/DownloadRun.h"
#include "engine/RunError.h"
#include "serial/DeviceSerialPort.h"
#include "serial/PortInfo.h"
#include "settings/SettingsFile.h"
#include "ui/Artwork.h"
#include "ui/BrowseDialog.h"
#include "ui/ExactText.h"
#include "ui/FormHost.h"
#include "ui/Placement.h"
#include "ui/TextBox.h"
#include "ui/frmSplash.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTimer>

#include <functional>

namespace tavo::ui {

namespace {

// The design's positions are in twips; at 15 twips per pixel these are the pixel values.
constexpr int kClientWidth = 721;
constexpr int kClientHeight = 366;

const QString kBrowseTitle = QStringLiteral("Select File to Download");
const QString kApplicationFilter =
    QStringLiteral("Hex Files (*.hex)|*.hex|Binary Files (*.bin)|*.bin");
const QString kEepromFilter =
    QStringLiteral("EEPROM Files (*.eep)|*.eep|Hex Files (*.hex)|*.hex|Binary Files (*.bin)|*.bin");
const QString kSettingsFilter = QStringLiteral("Text Files (*.txt)|*.txt");

// The port list refreshes its item tool tips each time it opens, since devices come and go.
class PortList final : public QComboBox {
public:
    PortList(QWidget* parent, std::function<void()> beforePopup)
        : QComboBox(parent), beforePopup_(std::move(beforePopup)) {}

    void showPopup() override {
        beforePopup_();
        QComboBox::showPopup();
    }

private:
    std::function<void()> beforePopup_;
};

template <class W> W* Named(W* widget, const char* name, const QRect& place) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(place);
    return widget;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, const QRect& place) {
    return Named(new QLabel(caption, parent), name, place);
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& caption,
                        const QRect& place) {
    auto* button = Named(new QPushButton(caption, parent), name, place);
    // Enter presses the button that has the focus, as on a dialog.
    button->setAutoDefault(true);
    return button;
}

TextBox* MakeTextBox(QWidget* parent, const char* name, const QString& text, const QRect& place) {
    auto* box = Named(new TextBox(parent), name, place);
    box->setText(text);
    return box;
}

// Check values: 0 unchecked, 1 checked, 2 greyed.
int CheckValue(const QCheckBox* box) {
    switch (box->checkState()) {
    case Qt::Checked:
        return 1;
    case Qt::PartiallyChecked:
        return 2;
    default:
        return 0;
    }
}

void SetCheckValue(QCheckBox* box, int value) {
    if (value == 2) {
        box->setTristate(true);
        box->setCheckState(Qt::PartiallyChecked);
        return;
    }
    box->setTristate(false);
    box->setCheckState(value == 1 ? Qt::Checked : Qt::Unchecked);
}

} // namespace

Form1::Form1(const QString& programFolder, QWidget* parent)
    : QMainWindow(parent), programFolder_(programFolder) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromUtf8(app::kCreationCaption));
    setWindowIcon(WindowIcon());

    portMap_ = serial::PortMap::Load(
        BytesFromText(QDir(programFolder_).filePath(QStringLiteral("ports.txt"))));
    port_ = std::make_unique<serial::DeviceSerialPort>(portMap_);
    host_ = std::make_unique<FormHost>(*this);

    buildControls();
    buildMenus();
    buildTimers();
    arrangeTabOrder();
    // Qt's file dialog keeps its history and last folder in a settings file of its own, by
    // default one that every Qt program of the user shares; it goes beside dazez.txt instead.
    for (const auto format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, QtPathFromText(programFolder_));
    browse_ = std::make_unique<BrowseDialog>(this);

    // The controls keep their places whatever the frame does, so the frame keeps the size of
    // the form: there is nothing to see in a larger window.
    setFixedSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
    CentreOnScreen(*this);
    Command2->setFocus();

    Form_Load();
}

QString Form1::DefaultSettingsFolder() {
    return TextFromBytes(app::SettingsFolder());
}

Form1::~Form1() {
    // The about window has no owner, so it would outlive the window otherwise.
    delete splash_.data();
}

engine::RunHost& Form1::host() {
    return *host_;
}

QString Form1::settingsFilePath() const {
    return QDir(programFolder_).filePath(QStringLiteral("dazez.txt"));
}

bool Form1::portOpen() const {
    return port_->isOpen();
}

void Form1::buildControls() {
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    setCentralWidget(client);

    // Left column.
    Frame1 = Named(new QGroupBox(QStringLiteral("Connection"), client), "Frame1",
                   QRect(24, 16, 129, 177));
    Label4 =
        MakeLabel(Frame1, "Label4", QStringLiteral("Com Port Selection:"), QRect(8, 28, 119, 17));
    Combo1 = Named(new PortList(Frame1, [this] { refreshPortToolTips(); }), "Combo1",
                   QRect(8, 48, 113, 24));
    for (int i = 1; i <= settings::kPortCount; ++i)
        Combo1->addItem(QStringLiteral("Com %1").arg(i));
    refreshPortToolTips();
    Label5 =
        MakeLabel(Frame1, "Label5", QStringLiteral("Baud Rate Selection:"), QRect(8, 100, 119, 17));
    Combo2 = Named(new QComboBox(Frame1), "Combo2", QRect(8, 120, 113, 24));
    Combo2->addItems({QStringLiteral("1200"), QStringLiteral("2400"), QStringLiteral("4800"),
                      QStringLiteral("9600"), QStringLiteral("14400"), QStringLiteral("19200"),
                      QStringLiteral("38400"), QStringLiteral("56000"), QStringLiteral("57600"),
                      QStringLiteral("115200")});
    // The captions must fit the narrow column whatever the desktop's font.
    for (QLabel* label : {Label4, Label5}) {
        QFont font = label->font();
        while (font.pointSizeF() > 6 &&
               QFontMetrics(font).horizontalAdvance(label->text()) > label->width())
            font.setPointSizeF(font.pointSizeF() - 0.5);
        label->setFont(font);
    }
    // Nothing is selected until the load handler runs.
    Combo1->setCurrentIndex(-1);
    Combo2->setCurrentIndex(-1);

    // Right column: the images and the start button.
    Frame4 = Named(new QGroupBox(client), "Frame4", QRect(160, 16, 529, 137));
    FlashCheck = Named(new QCheckBox(QStringLiteral("Application Code"), Frame4), "FlashCheck",
                       QRect(8, 14, 126, 24));
    FlashCheck->setCheckState(Qt::Checked);
    Text1 = MakeTextBox(Frame4, "Text1", QString(), QRect(136, 14, 321, 24));
    Text1->setAcceptsFileDrops(true);
    Command1 = MakeButton(Frame4, "Command1", QStringLiteral("&Browse"), QRect(461, 12, 62, 28));
    EepromCheck = Named(new QCheckBox(QStringLiteral("EEPROM Code"), Frame4), "EepromCheck",
                        QRect(8, 50, 126, 24));
    Text11 = MakeTextBox(Frame4, "Text11", QString(), QRect(136, 50, 321, 24));
    Text11->setAcceptsFileDrops(true);
    Command7 = MakeButton(Frame4, "Command7", QStringLiteral("B&rowse"), QRect(461, 48, 62, 28));
    Command2 = MakeButton(Frame4, "Command2", QStringLiteral("Start Programming"),
                          QRect(168, 92, 193, 33));
    Command2->setToolTip(QStringLiteral(
        "Send the Jump to Bootloader Command to the target and wait for Bootloader Active "
        "Character before continuing."));
    Command2->setDefault(true);
    // Cancel sits on the start button's spot; only one of the two is ever shown.
    Command4 = MakeButton(Frame4, "Command4", QStringLiteral("Cancel"), QRect(204, 92, 121, 33));
    Command4->setVisible(false);

    // The status line.
    Frame5 = Named(new QGroupBox(client), "Frame5", QRect(160, 160, 529, 33));
    Label3 = MakeLabel(Frame5, "Label3", QStringLiteral("Status:"), QRect(8, 8, 48, 17));
    Label2 = MakeLabel(Frame5, "Label2", QStringLiteral("Idle"), QRect(58, 8, 463, 17));
    // The lines-remaining number follows the "... lines remaining " status text.
    const int afterStatus = Label2->x() + Label2->fontMetrics().horizontalAdvance(QStringLiteral(
                                              "Sending EEPROM File - lines remaining "));
    Label14 = MakeLabel(Frame5, "Label14", QString(), QRect(afterStatus, 8, 60, 17));
    Label14->setVisible(false);
    Label16 = MakeLabel(Frame5, "Label16", QString(), QRect(349, 8, 172, 17));
    Label16->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label16->setVisible(false);

    ProgressBar1 = Named(new QProgressBar(client), "ProgressBar1", QRect(160, 208, 529, 25));
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);

    Command5 = MakeButton(client, "Command5", QStringLiteral("Info"), QRect(160, 280, 129, 33));
    Command3 = MakeButton(client, "Command3", QStringLiteral("E&xit"), QRect(560, 280, 129, 33));

    // The protocol strings: two frames, nine pixels high at the top edge and hidden, so neither
    // they nor their boxes are ever seen or reached; the boxes still hold the values.
    Frame2 = Named(new QGroupBox(QStringLiteral("Start Bootloader Characters"), client), "Frame2",
                   QRect(24, 0, 200, 9));
    Frame3 = Named(new QGroupBox(QStringLiteral("Download File Characters"), client), "Frame3",
                   QRect(240, 0, 200, 9));
    struct Pair {
        QLabel** label;
        const char* labelName;
        const char* caption;
        TextBox** box;
        const char* boxName;
        const char* text;
    };
    const Pair frame2[] = {
        {&Label8, "Label8", "Jump to Bootloader Command:", &Text4, "Text4", "$"},
        {&Label9, "Label9", "Bootloader Active Character:", &Text5, "Text5", "^"},
        {&Label6, "Label6", "Start Download Sequence:", &Text2, "Text2", "@&$"},
        {&Label7, "Label7", "Bootloader Ready:", &BLReadyText, "BLReadyText", "?"},
        {&Label1, "Label1", "EEPROM Write:", &Text12, "Text12", "*"},
    };
    const Pair frame3[] = {
        {&Label10, "Label10", "Line Complete Character:", &Text6, "Text6", "~"},
        {&Label11, "Label11", "Page Error Character:", &Text7, "Text7", "%"},
        {&Label15, "Label15", "Checksum Error Character:", &Text10, "Text10", "-"},
        {&Label12, "Label12", "File Complete with Errors Character:", &Text8, "Text8", "#"},
        {&Label13, "Label13", "File Complete, No Errors Character:", &Text9, "Text9", "@"},
    };
    auto fill = [](QGroupBox* frame, const auto& pairs) {
        int top = 16;
        for (const Pair& pair : pairs) {
            *pair.label = MakeLabel(frame, pair.labelName, QString::fromLatin1(pair.caption),
                                    QRect(8, top, 184, 17));
            *pair.box = MakeTextBox(frame, pair.boxName, QString::fromLatin1(pair.text),
                                    QRect(8, top + 18, 41, 22));
            top += 44;
        }
    };
    fill(Frame2, frame2);
    fill(Frame3, frame3);
    Frame2->setVisible(false);
    Frame3->setVisible(false);

    // A greyed value can come from a settings file, but a click never leads back to it.
    for (QCheckBox* box : {FlashCheck, EepromCheck})
        connect(box, &QCheckBox::stateChanged, box, [box](int state) {
            if (state != Qt::PartiallyChecked)
                box->setTristate(false);
        });
    for (TextBox* box : {Text1, Text2, BLReadyText, Text4, Text5, Text6, Text7, Text8, Text9,
                         Text10, Text11, Text12})
        connect(box, &TextBox::gotFocus, this, [this, box] { AutoSelect(box); });

    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);
    connect(Command3, &QPushButton::clicked, this, &Form1::Exit);
    connect(Command5, &QPushButton::clicked, this, &Form1::ShowAboutWindow);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command7, &QPushButton::clicked, this, &Form1::Command7_Click);
}

void Form1::buildMenus() {
    FileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    FileMenu->setObjectName(QStringLiteral("FileMenu"));
    OpenMenu = FileMenu->addAction(QStringLiteral("&Open"));
    OpenMenu->setObjectName(QStringLiteral("OpenMenu"));
    OpenMenu->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    SaveMenu = FileMenu->addAction(QStringLiteral("&Save"));
    SaveMenu->setObjectName(QStringLiteral("SaveMenu"));
    SaveMenu->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    ExitMenu = FileMenu->addAction(QStringLiteral("E&xit"));
    ExitMenu->setObjectName(QStringLiteral("ExitMenu"));
    InfoMenu = menuBar()->addAction(QStringLiteral("&Info"));
    InfoMenu->setObjectName(QStringLiteral("InfoMenu"));

    connect(OpenMenu, &QAction::triggered, this, &Form1::OpenMenu_Click);
    connect(SaveMenu, &QAction::triggered, this, &Form1::SaveMenu_Click);
    connect(ExitMenu, &QAction::triggered, this, &Form1::Exit);
    connect(InfoMenu, &QAction::triggered, this, &Form1::ShowAboutWindow);
}

void Form1::buildTimers() {
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(engine::kTimer1IntervalMs);
    connect(Timer1, &QTimer::timeout, this, [this] { engine::Timer1_Timer(state_); });
    Timer1->start();

    Timer3 = new QTimer(this);
    Timer3->setObjectName(QStringLiteral("Timer3"));
    Timer3->setInterval(engine::kTimer3IntervalMs);
    connect(Timer3, &QTimer::timeout, this, [this] { engine::Timer3_Timer(state_, *host_); });
}

void Form1::arrangeTabOrder() {
    const QWidget* order[] = {Command2, Command4, Combo1,     Combo2,      Command1, Command5,
                              Command3, Text1,    FlashCheck, EepromCheck, Text11,   Command7};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        QWidget::setTabOrder(const_cast<QWidget*>(order[i]), const_cast<QWidget*>(order[i + 1]));
    // The protocol boxes are never reachable.
    for (TextBox* box :
         {Text2, BLReadyText, Text4, Text5, Text6, Text7, Text8, Text9, Text10, Text12})
        box->setFocusPolicy(Qt::NoFocus);
}

// The same description as tavo-flash --list-ports gives.
void Form1::refreshPortToolTips() {
    const auto ports = serial::AvailablePorts();
    for (int i = 0; i < Combo1->count(); ++i)
        Combo1->setItemData(i, TextFromBytes(serial::PortToolTip(portMap_.deviceFor(i + 1), ports)),
                            Qt::ToolTipRole);
}

// The status text ends where the version text begins, so a long status (a file path) is cut
// short instead of running under the version; its tool tip then holds the whole text.
void Form1::fitStatusLine() {
    int right = Frame5->width() - 8;
    if (!Label16->isHidden())
        right = Label16->geometry().right() -
                Label16->fontMetrics().horizontalAdvance(Label16->text()) - 8;
    Label2->resize(std::max(0, right - Label2->x()), Label2->height());
    const bool fits = Label2->fontMetrics().horizontalAdvance(Label2->text()) <= Label2->width();
    Label2->setToolTip(fits ? QString() : Label2->text());
}

// ---- Settings in the controls

settings::Settings Form1::currentSettings() const {
    settings::Settings s;
    s.comPortIndex = Combo1->currentIndex();
    s.baudIndex = Combo2->currentIndex();
    s.applicationFile = BytesFromText(Text1->text());
    s.startDownloadSequence = BytesFromText(Text2->text());
    s.bootloaderReady = BytesFromText(BLReadyText->text());
    s.jumpCommand = BytesFromText(Text4->text());
    s.bootloaderActive = BytesFromText(Text5->text());
    s.pageError = BytesFromText(Text7->text());
    s.fileCompleteWithErrors = BytesFromText(Text8->text());
    s.fileCompleteNoErrors = BytesFromText(Text9->text());
    s.checksumError = BytesFromText(Text10->text());
    s.lineComplete = BytesFromText(Text6->text());
    s.eepromFile = BytesFromText(Text11->text());
    s.eepromWrite = BytesFromText(Text12->text());
    s.eepromCheck = CheckValue(EepromCheck);
    s.flashCheck = CheckValue(FlashCheck);
    return s;
}

void Form1::applySettings(const settings::Settings& s) {
    Combo1->setCurrentIndex(s.comPortIndex);
    Combo2->setCurrentIndex(s.baudIndex);
    Text1->setText(TextFromBytes(s.applicationFile));
    Text2->setText(TextFromBytes(s.startDownloadSequence));
    BLReadyText->setText(TextFromBytes(s.bootloaderReady));
    Text4->setText(TextFromBytes(s.jumpCommand));
    Text5->setText(TextFromBytes(s.bootloaderActive));
    Text7->setText(TextFromBytes(s.pageError));
    Text8->setText(TextFromBytes(s.fileCompleteWithErrors));
    Text9->setText(TextFromBytes(s.fileCompleteNoErrors));
    Text10->setText(TextFromBytes(s.checksumError));
    Text6->setText(TextFromBytes(s.lineComplete));
    Text11->setText(TextFromBytes(s.eepromFile));
    Text12->setText(TextFromBytes(s.eepromWrite));
    SetCheckValue(EepromCheck, s.eepromCheck);
    SetCheckValue(FlashCheck, s.flashCheck);
}

void Form1::LoadSettings(const QString& path) {
    applySettings(settings::LoadSettings(BytesFromText(path)));
}

void Form1::SaveSettings(const QString& path) {
    if (settings::SaveSettings(BytesFromText(path), currentSettings()))
        return;
    QMessageBox box(QMessageBox::Warning, QString::fromUtf8(app::kTitle),
                    TextFromBytes(settings::SaveErrorMessage(BytesFromText(path))), QMessageBox::Ok,
                    this);
    box.exec();
}

// ---- Start and end

void Form1::Form_Load() {
    Combo1->setCurrentIndex(0);
    Combo2->setCurrentIndex(3);
    setWindowTitle(windowTitle() + QStringLiteral(" - V %1.%2").arg(app::kMajor).arg(app::kMinor));
    LoadSettings(settingsFilePath());
}

void Form1::Form_Unload() {
    if (unloaded_)
        return;
    unloaded_ = true;
    try {
        if (port_->isOpen())
            port_->close();
    } catch (const engine::RunError&) {
        // Closing is best effort: the program ends either way.
    }
    SaveSettings(settingsFilePath());
}

void Form1::closeEvent(QCloseEvent* event) {
    if (runActive_) {
        // A run is below us on the stack: unload now, and close for real once the run has
        // unwound (see Command2_Click).
        event->ignore();
        Exit();
        return;
    }
    Form_Unload();
    if (splash_)
        splash_->close();
    event->accept();
    if (!ended_) {
        ended_ = true;
        emit programEnded();
    }
}

void Form1::Exit() {
    if (runActive_) {
        Form_Unload();
        abandonRun_ = true; // the run's next wait throws RunAbandoned
        return;
    }
    close();
}

void Form1::ExitFromOutside() {
    // Closing a modal box only ends its loop; the code that opened it goes on once this returns
    // (a question asked by the run then finds the run abandoned).
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QDialog*>(widget); dialog != nullptr && dialog->isVisible())
            dialog->reject();
    }
    Exit();
}

// ---- Commands

void Form1::Command2_Click() {
    if (runActive_ || unloaded_)
        return;
    runActive_ = true;
    try {
        engine::DownloadFirmware(state_, *host_, *port_, clock_);
    } catch (const engine::RunAbandoned&) {
        // The program is ending; the window closes below.
    }
    runActive_ = false;
    // Also when the run ended on its own after the program was told to end (its last box was
    // closed by a signal).
    if (abandonRun_)
        close();
}

void Form1::Command4_Click() {
    state_.CancelRequested = true;
    Command4->setEnabled(false);
}

void Form1::ShowAboutWindow() {
    // A closed about window may still await its deletion (that waits for the outer event loop
    // when it was closed during a run); only a shown one is brought forward.
    if (splash_ && splash_->isVisible()) {
        splash_->raise();
        splash_->activateWindow();
        return;
    }
    splash_ = new frmSplash(nullptr);
    CentreOnScreen(*splash_);
    splash_->show();
    splash_->raise();
    splash_->activateWindow();
}

void Form1::Command1_Click() {
    if (auto file = browse_->showOpen(kBrowseTitle, kApplicationFilter, Text1->text()))
        Text1->setText(*file);
}

void Form1::Command7_Click() {
    if (auto file = browse_->showOpen(kBrowseTitle, kEepromFilter, Text11->text()))
        Text11->setText(*file);
}

void Form1::OpenMenu_Click() {
    if (auto file = browse_->showOpen(QStringLiteral("Select File to Open"), kSettingsFilter))
        LoadSettings(*file);
}

void Form1::SaveMenu_Click() {
    if (auto file = browse_->showSave(QStringLiteral("Select File to Save"), kSettingsFilter))
        SaveSettings(*file);
}

void Form1::AutoSelect(QWidget* control) {
    if (auto* edit = qobject_cast<QLineEdit*>(control))
        edit->setSelection(0, static_cast<int>(edit->text().size()));
}

void Form1::keyPressEvent(QKeyEvent* event) {
    // Keys no control took: Enter is the start button's, Esc the cancel button's, as on a
    // dialog with a default and a cancel button.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && event->modifiers() == Qt::NoModifier && Command2->isVisible() &&
        Command2->isEnabled()) {
        Command2->click();
        return;
    }
    if (event->key() == Qt::Key_Escape && Command4->isVisible() && Command4->isEnabled()) {
        Command4->click();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

// ---- Busy and idle

void Form1::SetBusyState() {
    for (QPushButton* b : {Command1, Command2, Command3, Command5, Command7})
        b->setEnabled(false);
    for (TextBox* t : {Text1, Text2, BLReadyText, Text4, Text5, Text6, Text7, Text8, Text9, Text10,
                       Text11, Text12})
        t->setEnabled(false);
    Label2->setText(QString());
    fitStatusLine();
    state_.CancelRequested = false;
    Command4->setVisible(true);
    Command4->setEnabled(true);
    Command4->raise();
    Command2->setVisible(false);
    Combo1->setEnabled(false);
    Combo2->setEnabled(false);
    EepromCheck->setEnabled(false);
    FlashCheck->setEnabled(false);
}

void Form1::SetIdleState() {
    Label14->setVisible(false);
    Command2->setVisible(true);
    Command4->setVisible(false);
    for (QPushButton* b : {Command1, Command2, Command3, Command5, Command7})
        b->setEnabled(true);
    for (TextBox* t : {Text1, Text2, BLReadyText, Text4, Text5, Text6, Text7, Text8, Text9, Text10,
                       Text11, Text12})
        t->setEnabled(true);
    Label2->setText(QStringLiteral("Idle"));
    fitStatusLine();
    Label14->setText(QString());
    Combo1->setEnabled(true);
    Combo2->setEnabled(true);
    EepromCheck->setEnabled(true);
    FlashCheck->setEnabled(true);
}

} // namespace tavo::ui
