// The about window: its texts, how it closes, and that there is only ever one.
#include "tests/gui/GuiSupport.h"

#include "ui/frmSplash.h"

using namespace tavo;
using namespace tavo::gui_test;

namespace {

class AboutWindow : public WindowTest {
protected:
    ui::frmSplash* open() {
        at<QPushButton>("Command5")->click();
        ui::frmSplash* about = form.aboutWindow();
        EXPECT_TRUE(about != nullptr && QTest::qWaitForWindowExposed(about));
        return about;
    }
    // The window closes with a deferred delete; let it happen.
    bool closed() {
        return QTest::qWaitFor([&] { return form.aboutWindow() == nullptr; }, 2000);
    }
    // After an event that must not close it, the same window is still the open one.
    void expectStillOpen(ui::frmSplash* about, const char* after) {
        QApplication::processEvents();
        EXPECT_EQ(form.aboutWindow(), about) << after;
    }
};

TEST_F(AboutWindow, ShowsTitleVersionAndCompany) {
    form.show();
    auto* about = open();
    ASSERT_NE(about, nullptr);
    ExpectCaptions(about, {"lblProductName=TAVO  Programmer", "lblVersion=Version 2.1.2",
                           "lblCompanyProduct=    Brenvik Inc.", "lblCompany= Brenvik Inc.",
                           "lblPlatform=Linux, Windows"});
    EXPECT_FALSE(Caption(about, "Label1").isEmpty());
    const QString warning = Caption(about, "lblWarning");
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
    at<QAction>("InfoMenu")->trigger();
    EXPECT_EQ(form.aboutWindow(), first);
    const auto windows = QApplication::topLevelWidgets();
    EXPECT_EQ(std::count_if(windows.begin(), windows.end(),
                            [](QWidget* w) {
                                return qobject_cast<ui::frmSplash*>(w) != nullptr && w->isVisible();
                            }),
              1);
}

TEST_F(AboutWindow, ACharacterKeyInItClosesIt) {
    form.show();
    auto* about = open();
    QTest::keyClick(about, Qt::Key_Shift); // no character
    expectStillOpen(about, "Shift");
    QTest::keyClick(at("Text1"), Qt::Key_A);
    expectStillOpen(about, "a key in the main window");
    QTest::keyClick(about, Qt::Key_Q);
    EXPECT_TRUE(closed());

    // Esc is a character too.
    about = open();
    QTest::keyClick(about, Qt::Key_Escape);
    EXPECT_TRUE(closed());

    // Closed inside a run's wait, the old window is deleted only later; Info must not merely
    // raise that hidden one.
    about = open();
    QTest::keyClick(about, Qt::Key_Space);
    at<QAction>("InfoMenu")->trigger();
    ASSERT_NE(form.aboutWindow(), nullptr);
    EXPECT_TRUE(form.aboutWindow()->isVisible());
}

TEST_F(AboutWindow, OnlyTheFramesBackgroundClosesIt) {
    auto* about = open();
    for (const char* name : {"imgLogo", "lblProductName", "lblWarning", "Label1"}) {
        QTest::mouseClick(Find<QWidget>(about, name), Qt::LeftButton);
        expectStillOpen(about, name);
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
    at<QPushButton>("Command3")->click(); // the program's own ending is tested elsewhere
    EXPECT_TRUE(closed());
}

} // namespace
