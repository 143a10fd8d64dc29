// The main window as it stands after start-up: controls, captions, arrangement, menus, timers.
#include "tests/gui/GuiSupport.h"

#include "app/AppInfo.h"

#include <QFile>
#include <QMenu>

using namespace tavo;
using namespace tavo::gui_test;

namespace {

using MainWindow = WindowTest;

QStringList Items(QComboBox* combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i)
        items << combo->itemText(i);
    return items;
}

TEST_F(MainWindow, CaptionsMenusAndItems) {
    EXPECT_EQ(form.windowTitle(), QString::fromStdString(app::MainWindowCaption()));
    EXPECT_TRUE(form.windowTitle().endsWith(QStringLiteral(" - V 2.1")));
    EXPECT_FALSE(form.windowIcon().pixmap(32, 32).isNull());
    ExpectCaptions(&form,
                   {"Frame1=Connection", "Label4=Com Port Selection:",
                    "Label5=Baud Rate Selection:", "FlashCheck=Application Code",
                    "EepromCheck=EEPROM Code", "Command1=&Browse", "Command7=B&rowse",
                    "Command2=Start Programming", "Command4=Cancel", "Command5=Info",
                    "Command3=E&xit", "Label3=Status:", "Label2=Idle", "Label14=", "FileMenu=&File",
                    "InfoMenu=&Info", "OpenMenu=&Open", "SaveMenu=&Save", "ExitMenu=E&xit"});
    EXPECT_EQ(at("Command2")->toolTip(),
              "Send the Jump to Bootloader Command to the target and wait for Bootloader Active "
              "Character before continuing.");
    EXPECT_EQ(Items(at<QComboBox>("Combo1")), QStringList({"Com 1", "Com 2", "Com 3", "Com 4",
                                                           "Com 5", "Com 6", "Com 7", "Com 8"}));
    EXPECT_EQ(Items(at<QComboBox>("Combo2")),
              QStringList({"1200", "2400", "4800", "9600", "14400", "19200", "38400", "56000",
                           "57600", "115200"}));
    for (const char* combo : {"Combo1", "Combo2"})
        EXPECT_FALSE(at<QComboBox>(combo)->isEditable()) << combo;
    auto* bar = at<QProgressBar>("ProgressBar1");
    EXPECT_EQ(QList<int>({bar->minimum(), bar->maximum(), bar->value()}), QList<int>({0, 100, 0}));

    EXPECT_EQ(at<QMenu>("FileMenu")->actions(),
              QList<QAction*>(
                  {at<QAction>("OpenMenu"), at<QAction>("SaveMenu"), at<QAction>("ExitMenu")}));
    EXPECT_EQ(at<QAction>("OpenMenu")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
    EXPECT_EQ(at<QAction>("SaveMenu")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));
    EXPECT_TRUE(at<QAction>("ExitMenu")->shortcut().isEmpty());
}

TEST_F(MainWindow, ProtocolStringsLiveInTwoHiddenFrames) {
    struct Row {
        const char *frame, *label, *caption, *box, *text;
    };
    const Row rows[] = {{"Frame2", "Label8", "Jump to Bootloader Command:", "Text4", "$"},
                        {"Frame2", "Label9", "Bootloader Active Character:", "Text5", "^"},
                        {"Frame2", "Label6", "Start Download Sequence:", "Text2", "@&$"},
                        {"Frame2", "Label7", "Bootloader Ready:", "BLReadyText", "?"},
                        {"Frame2", "Label1", "EEPROM Write:", "Text12", "*"},
                        {"Frame3", "Label10", "Line Complete Character:", "Text6", "~"},
                        {"Frame3", "Label11", "Page Error Character:", "Text7", "%"},
                        {"Frame3", "Label15", "Checksum Error Character:", "Text10", "-"},
                        {"Frame3", "Label12", "File Complete with Errors Character:", "Text8", "#"},
                        {"Frame3", "Label13", "File Complete, No Errors Character:", "Text9", "@"}};
    EXPECT_EQ(Caption(&form, "Frame2"), "Start Bootloader Characters");
    EXPECT_EQ(Caption(&form, "Frame3"), "Download File Characters");
    int lastTop[2] = {-1, -1};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.box);
        auto* frame = at(row.frame);
        auto* label = frame->findChild<QLabel*>(row.label);
        auto* box = frame->findChild<QLineEdit*>(row.box);
        ASSERT_NE(label, nullptr);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(label->text(), row.caption);
        EXPECT_EQ(box->text(), row.text);
        EXPECT_EQ(box->maxLength(), 32767); // Qt's own limit; nothing shorter is set
        // Label directly above its box, pairs from top to bottom in the listed order.
        EXPECT_LT(label->geometry().bottom(), box->geometry().top());
        int& top = lastTop[row.frame[5] - '2'];
        EXPECT_GT(label->y(), top);
        top = box->y();
    }
}

TEST_F(MainWindow, VisibilityFocusAndTabOrderAtCreation) {
    showExposed();
    for (const char* hidden : {"Command4", "Label14", "Label16", "Frame2", "Frame3"})
        EXPECT_FALSE(at(hidden)->isVisible()) << hidden;
    for (const char* shown :
         {"Frame1", "Label4", "Combo1", "Label5", "Combo2", "Frame4", "FlashCheck", "Text1",
          "Command1", "EepromCheck", "Text11", "Command7", "Command2", "Frame5", "Label3", "Label2",
          "ProgressBar1", "Command5", "Command3"}) {
        auto* w = at(shown);
        EXPECT_TRUE(w->isVisible() && w->isEnabled()) << shown;
    }
    // The start button has the focus when the window opens; Tab skips the hidden controls.
    QStringList visited{QApplication::focusWidget()->objectName()};
    for (int i = 0; i < 11; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    EXPECT_EQ(visited, QStringList({"Command2", "Combo1", "Combo2", "Command1", "Command5",
                                    "Command3", "Text1", "FlashCheck", "EepromCheck", "Text11",
                                    "Command7", "Command2"}));
}

TEST_F(MainWindow, ArrangementFollowsTheDesignAndSurvivesResizing) {
    showExposed();
    auto* client = form.centralWidget();
    EXPECT_EQ(client->size(), QSize(721, 366));
    // Twips / 15.
    EXPECT_EQ(at("Frame1")->geometry(), QRect(24, 16, 129, 177));
    EXPECT_EQ(at("Frame4")->geometry(), QRect(160, 16, 529, 137));
    EXPECT_EQ(at("Frame5")->geometry(), QRect(160, 160, 529, 33));
    EXPECT_EQ(at("ProgressBar1")->geometry(), QRect(160, 208, 529, 25));
    EXPECT_EQ(at("Text1")->width(), 321);
    EXPECT_EQ(at("Command2")->size(), QSize(193, 33));
    EXPECT_EQ(at("Command4")->width(), 121);
    EXPECT_TRUE(at("Command2")->geometry().contains(at("Command4")->geometry()));
    for (const char* name : {"Frame2", "Frame3"})
        EXPECT_EQ(at(name)->geometry().top(), 0);

    QMap<QString, QRect> before;
    for (QWidget* w : client->findChildren<QWidget*>())
        before[w->objectName()] = w->geometry();
    // The frame keeps the form's size too: no empty space around fixed controls.
    const QSize size = form.size();
    EXPECT_EQ(form.minimumSize(), size);
    EXPECT_EQ(form.maximumSize(), size);
    form.resize(1000, 700);
    QApplication::processEvents();
    EXPECT_EQ(form.size(), size);
    form.showMaximized();
    QApplication::processEvents();
    for (QWidget* w : client->findChildren<QWidget*>())
        EXPECT_EQ(w->geometry(), before[w->objectName()]) << w->objectName().toStdString();
}

// --help and --version answer without a window, so they work where there is no display: with
// none to connect to, a window could not even start.
TEST(Program, HelpAndVersionAnswerWithoutAWindow) {
    ProgramFolder folder;
    ASSERT_TRUE(QFile::copy(TAVO_BIN_DIR "/tavo-programmer", folder.file("tavo-programmer")));
    // A settings file beside the program puts the settings there, also for root; a window would
    // replace this one at its end.
    folder.write("dazez.txt", "not settings\n");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    const auto run = [&](const QString& option) {
        QProcess program;
        program.setProcessEnvironment(environment);
        program.start(folder.file("tavo-programmer"), {option});
        EXPECT_TRUE(program.waitForFinished(10000));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 0) << program.readAllStandardError().toStdString();
        return QString::fromUtf8(program.readAllStandardOutput());
    };
    // The options themselves are checked against the manual page by the install tests.
    EXPECT_TRUE(run("--help").startsWith("Usage: tavo-programmer [--start]\n"));
    EXPECT_EQ(run("--version"),
              QString::fromStdString(std::string(app::kTitle) + " " + app::VersionLine() + "\n") +
                  "Settings: " + folder.file("dazez.txt") + "\n" +
                  "Port map: " + folder.file("ports.txt") + "\n");
    EXPECT_EQ(folder.read("dazez.txt"), "not settings\n");
}

TEST_F(MainWindow, TimersAndTheirTicks) {
    auto* timer1 = at<QTimer>("Timer1");
    auto* timer3 = at<QTimer>("Timer3");
    EXPECT_EQ(timer1->interval(), 60);
    EXPECT_TRUE(timer1->isActive());
    EXPECT_EQ(timer3->interval(), 1000);
    EXPECT_FALSE(timer3->isActive());

    // Timer1 counts TickCount up to 5 and rests there.
    form.state().TickCount = 0;
    EXPECT_TRUE(QTest::qWaitFor([&] { return form.state().TickCount.value() == 5; }, 2000));
    QTest::qWait(150);
    EXPECT_EQ(form.state().TickCount.value(), 5);

    // Timer3, once the run starts it, shows the lines remaining.
    form.state().LinesRemaining = 42;
    form.host().setLinesTimerEnabled(true);
    EXPECT_TRUE(timer3->isActive());
    EXPECT_TRUE(QTest::qWaitFor([&] { return at<QLabel>("Label14")->text() == "42"; }, 3000));
    form.host().setLinesTimerEnabled(false);
    EXPECT_FALSE(timer3->isActive());
}

TEST_F(MainWindow, PortItemsNameTheirDevice) {
    folder.write("ports.txt", "1=/dev/null\n2=/dev/tavo-no-such-port\n");
    ui::Form1 mapped(folder.path());
    auto* ports = Find<QComboBox>(&mapped, "Combo1");
    EXPECT_EQ(ports->itemData(0, Qt::ToolTipRole).toString(), "/dev/null (present)");
    EXPECT_EQ(ports->itemData(1, Qt::ToolTipRole).toString(),
              "/dev/tavo-no-such-port (not present)");
}

} // namespace
