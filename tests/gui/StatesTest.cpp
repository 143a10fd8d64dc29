// Busy and idle, Cancel, the run's message boxes and questions, and the host's waits.
#include "tests/gui/GuiSupport.h"

#include "app/AppInfo.h"
#include "ui/FormHost.h"

#include <QElapsedTimer>

using namespace tavo;
using namespace tavo::gui_test;

namespace {

class States : public WindowTest {
protected:
    bool enabled(const char* name) { return at(name)->isEnabled(); }
    bool shown(const char* name) { return !at(name)->isHidden(); }
};

TEST_F(States, BusyLocksAllButCancelAndMenusAndIdleUndoesIt) {
    auto expectLocked = [&](bool locked) {
        for (const char* name :
             {"Command1", "Command2",    "Command3",  "Command5", "Command7", "Text1",
              "Text2",    "BLReadyText", "Text4",     "Text5",    "Text6",    "Text7",
              "Text8",    "Text9",       "Text10",    "Text11",   "Text12",   "Combo1",
              "Combo2",   "EepromCheck", "FlashCheck"})
            EXPECT_EQ(enabled(name), !locked) << name;
        EXPECT_EQ(shown("Command4"), locked);
        EXPECT_EQ(shown("Command2"), !locked);
    };
    auto* text1 = at<QLineEdit>("Text1");
    text1->setText("/tmp/app.hex");
    form.state().CancelRequested = true;
    form.host().setBusyState();
    expectLocked(true);
    EXPECT_TRUE(enabled("Command4"));
    EXPECT_EQ(Caption(&form, "Label2"), "");
    EXPECT_FALSE(form.state().CancelRequested);
    for (const char* menu : {"OpenMenu", "SaveMenu", "ExitMenu", "InfoMenu"})
        EXPECT_TRUE(at<QAction>(menu)->isEnabled()) << menu;

    // Idle brings back the creation state but keeps the values, the version and the progress.
    form.host().setVersionLabel("BootLoader Version: 1.3");
    form.host().setVersionLabelVisible(true);
    form.host().setLinesRemaining("7");
    form.host().setLinesRemainingVisible(true);
    form.host().setProgressMax(10);
    form.host().setProgressValue(4);
    form.host().setIdleState();
    expectLocked(false);
    EXPECT_FALSE(shown("Label14"));
    EXPECT_TRUE(shown("Label16"));
    ExpectCaptions(&form, {"Label14=", "Label2=Idle", "Label16=BootLoader Version: 1.3"});
    EXPECT_EQ(at<QProgressBar>("ProgressBar1")->value(), 4);
    EXPECT_EQ(text1->text(), "/tmp/app.hex");
}

TEST_F(States, CancelSetsTheFlagOnceAndDisablesItself) {
    form.show();
    form.host().setBusyState();
    auto* cancel = at<QPushButton>("Command4");
    QTest::mouseClick(cancel, Qt::LeftButton);
    EXPECT_TRUE(form.state().CancelRequested);
    EXPECT_FALSE(cancel->isEnabled());
    EXPECT_TRUE(cancel->isVisible());
    // Esc is the cancel button's key, but only while it is usable.
    form.state().CancelRequested = false;
    QTest::keyClick(&form, Qt::Key_Escape);
    EXPECT_FALSE(form.state().CancelRequested);
    form.host().setBusyState();
    QTest::keyClick(&form, Qt::Key_Escape);
    EXPECT_TRUE(form.state().CancelRequested);
}

TEST_F(States, ALongStatusStopsShortOfTheVersion) {
    auto* status = at<QLabel>("Label2");
    auto* version = at<QLabel>("Label16");
    const std::string longStatus =
        "Opening the file /home/technician/projects/board-rev-c/firmware/build/release/app.hex.";
    form.host().setVersionLabel("BootLoader Version: 1.3");
    form.host().setVersionLabelVisible(true);
    form.host().setStatus(longStatus);
    const int versionTextLeft =
        version->geometry().right() - version->fontMetrics().horizontalAdvance(version->text());
    EXPECT_LT(status->geometry().right(), versionTextLeft);
    EXPECT_EQ(status->text().toStdString(), longStatus); // the text itself is whole
    EXPECT_EQ(status->toolTip().toStdString(), longStatus);
    // Back to idle, the short status needs no tool tip.
    form.host().setIdleState();
    EXPECT_TRUE(status->toolTip().isEmpty());
}

TEST_F(States, EmptyProgressRangeShowsAnEmptyBarNotABusyOne) {
    auto* bar = at<QProgressBar>("ProgressBar1");
    form.host().setProgressMax(-1); // a file of no line
    form.host().setProgressMin(0);
    form.host().setProgressValue(0);
    EXPECT_LT(bar->minimum(), bar->maximum());
    EXPECT_EQ(bar->value(), 0);
    form.host().setProgressMax(25);
    EXPECT_EQ(bar->maximum(), 25);
}

TEST_F(States, MessagesAndQuestionsAreTitledWithTheCaption) {
    auto seen = BoxesDuring([&] {
        form.host().showMessage(
            {"Flash File successfully downloaded.", engine::MessageIcon::None, {}});
        form.host().showMessage({"Error encountered while accessing the com port.",
                                 engine::MessageIcon::Warning,
                                 "Cannot open /dev/ttyS0: Permission denied"});
    });
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].title, QString::fromStdString(app::MainWindowCaption()));
    EXPECT_EQ(seen[0].text, "Flash File successfully downloaded.");
    EXPECT_EQ(seen[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(seen[0].buttons, QMessageBox::Ok);
    EXPECT_TRUE(seen[0].detailed.isEmpty());
    // The box reads exactly the fixed text; the reason and the way out wait behind its details.
    EXPECT_EQ(seen[1].text, "Error encountered while accessing the com port.");
    EXPECT_EQ(seen[1].icon, QMessageBox::Warning);
    EXPECT_TRUE(seen[1].informative.isEmpty());
    EXPECT_TRUE(seen[1].detailed.startsWith("Cannot open /dev/ttyS0: Permission denied"));
    EXPECT_TRUE(seen[1].detailed.contains("dialout"));

    // Questions default to Yes (Enter takes it) and carry no icon.
    seen.clear();
    bool answer = false;
    {
        ModalDriver enter([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            ASSERT_NE(box, nullptr);
            seen.push_back(Describe(box));
            QTest::keyClick(box, Qt::Key_Return);
        });
        answer = form.host().askYesNo("Checksum error at line 3. Continue with download?");
    }
    EXPECT_TRUE(answer);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, "Checksum error at line 3. Continue with download?");
    EXPECT_EQ(seen[0].title, form.windowTitle());
    EXPECT_EQ(seen[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(seen[0].buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(seen[0].defaultButton, QMessageBox::Yes);
    BoxesDuring([&] { answer = form.host().askYesNo("Continue with download?"); }, QMessageBox::No);
    EXPECT_FALSE(answer);
}

TEST(MessageDetail, DialoutHintOnlyForRefusedAccess) {
    for (const char* detail : {"", "No such file or directory"})
        EXPECT_EQ(ui::MessageDetail({"x", engine::MessageIcon::Warning, detail}), detail);
    EXPECT_NE(
        ui::MessageDetail({"x", engine::MessageIcon::Warning, "Permission denied"}).find("dialout"),
        std::string::npos);
}

TEST_F(States, EntryChecksReportTheMissingPathAndFocusBrowse) {
    showExposed();
    auto* flash = at<QCheckBox>("FlashCheck");
    auto* eeprom = at<QCheckBox>("EepromCheck");
    auto* text1 = at<QLineEdit>("Text1");
    auto* text11 = at<QLineEdit>("Text11");
    auto* start = at<QPushButton>("Command2");
    auto* browse = at<QPushButton>("Command1");

    struct Case {
        bool flash, eeprom;
        const char *appPath, *eepromPath, *message;
    };
    const Case cases[] = {
        {true, false, "x", "", "Select Application file to download."},
        {true, true, "", "", "Select Application file to download."},
        {true, true, "/tmp/app.hex", "", "Select EEPROM file to download."},
        {false, true, "", "e", "Select EEPROM file to download."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        flash->setChecked(c.flash);
        eeprom->setChecked(c.eeprom);
        text1->setText(c.appPath);
        text11->setText(c.eepromPath);
        // Enter presses the start button, also from a text box (it is the default button).
        QWidget* keyTarget = &c == &cases[0] ? static_cast<QWidget*>(text1) : start;
        const auto seen = BoxesDuring([&] {
            keyTarget->setFocus();
            QTest::keyClick(keyTarget, Qt::Key_Return);
        });
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].text, c.message);
        EXPECT_EQ(seen[0].icon, QMessageBox::NoIcon);
        EXPECT_EQ(seen[0].title, form.windowTitle());
        EXPECT_TRUE(QTest::qWaitFor([&] { return form.focusWidget() == browse; }, 1000));
        // Refused before the busy state: the window never left idle and the port stayed shut.
        EXPECT_TRUE(start->isVisible());
        EXPECT_FALSE(form.portOpen());
        EXPECT_EQ(Caption(&form, "Label2"), "Idle");
    }
}

TEST_F(States, WaitForEventsBlocksInsteadOfSpinning) {
    // Waiting out 300 ms with the window's 60 ms timer running takes a handful of passes; a
    // wait that returned at once would make thousands.
    QElapsedTimer clock;
    clock.start();
    int passes = 0;
    while (clock.elapsed() < 300) {
        form.host().waitForEvents(engine::Millis(300 - clock.elapsed()));
        ++passes;
    }
    EXPECT_LT(passes, 40);
    EXPECT_LT(clock.elapsed(), 600);

    // An event ends a wait long before its deadline.
    bool fired = false;
    QTimer::singleShot(20, [&] { fired = true; });
    clock.restart();
    while (!fired && clock.elapsed() < 2000)
        form.host().waitForEvents(engine::Millis(1500));
    EXPECT_TRUE(fired);
    EXPECT_LT(clock.elapsed(), 1000);

    // No deadline: the next timer tick ends it.
    clock.restart();
    form.host().waitForEvents(std::nullopt);
    EXPECT_LT(clock.elapsed(), 1000);
}

} // namespace
