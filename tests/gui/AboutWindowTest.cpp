// The about window: its texts, how it closes, and that there is only ever one.
#include "tests/gui/GuiSupport.h"

#include "ui/frmSplash.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using namespace tavo;
using namespace tavo::gui_test;

namespace {

class AboutWindow : public ::testing::Test {
protected:
    ProgramFolder folder;
    ui::Form1 form{folder.path()};

    ui::frmSplash* open() {
        Find<QPushButton>(&form, "Command5")->click();
        ui::frmSplash* about = form.aboutWindow();
        EXPECT_NE(about, nullptr);
        if (about != nullptr) {
            EXPECT_TRUE(QTest::qWaitForWindowExposed(about));
        }
        return about;
    }
    // The window closes with a deferred delete; let it happen.
    bool closed() {
        return WaitFor([&] { return form.aboutWindow() == nullptr; }, 2000);
    }
};

QString Text(QWidget* about, const char* name) {
    return Find<QLabel>(about, name)->text();
}

TEST_F(AboutWindow, ShowsTitleVersionAndCompany) {
    form.show();
    auto* about = open();
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(Text(about, "lblProductName"), "TAVO  Programmer");
    EXPECT_EQ(Text(about, "lblVersion"), "Version 2.1.2");
    EXPECT_EQ(Text(about, "lblCompanyProduct"), "    Brenvik Inc.");
    EXPECT_EQ(Text(about, "lblCompany"), " Brenvik Inc.");
    EXPECT_EQ(Text(about, "lblPlatform"), "Linux, Windows");
    EXPECT_FALSE(Text(about, "Label1").isEmpty());
    const QString warning = Text(about, "lblWarning");
    EXPECT_GT(warning.size(), 750);
    EXPECT_LT(warning.size(), 1050);
    for (const char* point : {"as is", "without warranty", "risk", "direct", "indirect",
                              "incidental", "consequential", "purchase price"})
        EXPECT_TRUE(warning.contains(point, Qt::CaseInsensitive)) << point;
    EXPECT_FALSE(Find<QLabel>(about, "imgLogo")->pixmap().isNull());

    EXPECT_EQ(about->size(), QSize(616, 364));
    EXPECT_TRUE(about->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(about->windowType(), Qt::Tool); // no taskbar entry
    EXPECT_EQ(about->parentWidget(), nullptr);
    EXPECT_FALSE(about->isModal());
    // Every label stays inside the frame.
    auto* frame = Find<QWidget>(about, "Frame1");
    for (QLabel* label : frame->findChildren<QLabel*>())
        EXPECT_TRUE(frame->rect().contains(label->geometry())) << label->objectName().toStdString();
}

TEST_F(AboutWindow, InfoTwiceKeepsOneWindow) {
    auto* first = open();
    Find<QAction>(&form, "InfoMenu")->trigger();
    EXPECT_EQ(form.aboutWindow(), first);
    const auto windows = QApplication::topLevelWidgets();
    EXPECT_EQ(std::count_if(windows.begin(), windows.end(),
                            [](QWidget* w) {
                                return qobject_cast<ui::frmSplash*>(w) != nullptr && w->isVisible();
                            }),
              1);
}

TEST_F(AboutWindow, ACharacterKeyClosesIt) {
    auto* about = open();
    QTest::keyClick(about, Qt::Key_Shift); // no character: stays
    QApplication::processEvents();
    EXPECT_EQ(form.aboutWindow(), about);
    QTest::keyClick(about, Qt::Key_Q);
    EXPECT_TRUE(closed());

    // Enter and Esc are characters too; the next Info loads a fresh window.
    about = open();
    QTest::keyClick(about, Qt::Key_Escape);
    EXPECT_TRUE(closed());
}

TEST_F(AboutWindow, InfoRightAfterClosingOpensAFreshOne) {
    // Closed inside a run's wait, the old window is deleted only later; Info must not merely
    // raise that hidden one.
    auto* about = open();
    QTest::keyClick(about, Qt::Key_Space);
    Find<QAction>(&form, "InfoMenu")->trigger();
    ASSERT_NE(form.aboutWindow(), nullptr);
    EXPECT_TRUE(form.aboutWindow()->isVisible());
}

TEST_F(AboutWindow, AKeyInTheMainWindowLeavesItOpen) {
    form.show();
    auto* about = open();
    QTest::keyClick(Find<QWidget>(&form, "Text1"), Qt::Key_A);
    QApplication::processEvents();
    EXPECT_EQ(form.aboutWindow(), about);
}

TEST_F(AboutWindow, OnlyTheFramesBackgroundClosesIt) {
    auto* about = open();
    for (const char* name : {"imgLogo", "lblProductName", "lblWarning", "Label1"}) {
        QTest::mouseClick(Find<QWidget>(about, name), Qt::LeftButton);
        QApplication::processEvents();
        EXPECT_EQ(form.aboutWindow(), about) << name;
    }
    // Free background of the frame, right of the logo and below the platforms line.
    auto* frame = Find<QWidget>(about, "Frame1");
    ASSERT_EQ(frame->childAt(QPoint(560, 200)), nullptr);
    QTest::mouseClick(frame, Qt::LeftButton, Qt::NoModifier, QPoint(560, 200));
    EXPECT_TRUE(closed());
}

TEST_F(AboutWindow, ExitClosesItToo) {
    form.show();
    open();
    QSignalSpy ended(&form, &ui::Form1::programEnded);
    Find<QPushButton>(&form, "Command3")->click();
    EXPECT_TRUE(closed());
    EXPECT_EQ(ended.count(), 1);
    EXPECT_FALSE(form.isVisible());
}

} // namespace
