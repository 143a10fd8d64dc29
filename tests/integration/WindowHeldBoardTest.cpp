// The window (offscreen) against a board that holds XOFF in the middle of a file: the write that
// waits for it serves the window, so Cancel and File > Exit act at once.
#include "tests/serial/PtyFixture.h"
#include "tests/support/QtApplication.h"
#include "ui/Form1.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

namespace tavo::test {
namespace {

using namespace serial::testing;

struct Press {
    const char* name;
    const char* control; // object name of the button or menu item pressed
    bool programEnds;
};

void PrintTo(const Press& p, std::ostream* os) {
    *os << p.name;
}

// The window with Com 1 on `device` at 115200 and the sample image chosen, shown.
std::unique_ptr<ui::Form1> SampleWindow(const QTemporaryDir& folder, const std::string& device) {
    QFile ports(QDir(folder.path()).filePath(QStringLiteral("ports.txt")));
    if (ports.open(QIODevice::WriteOnly))
        ports.write("1=" + QByteArray::fromStdString(device) + "\n");
    ports.close();
    auto form = std::make_unique<ui::Form1>(folder.path());
    form->findChild<QComboBox*>(QStringLiteral("Combo2"))->setCurrentIndex(9);
    form->findChild<QLineEdit*>(QStringLiteral("Text1"))
        ->setText(QStringLiteral(TAVO_SAMPLES_DIR "/sample.hex"));
    form->show();
    return form;
}

class WindowHeldBoardTest : public ::testing::TestWithParam<Press> {
protected:
    static void SetUpTestSuite() {
        if (!QCoreApplication::instance())
            qputenv("QT_QPA_PLATFORM", "offscreen");
        EnsureApplication<QApplication>("integration_window_tests");
    }
};

TEST_P(WindowHeldBoardTest, ActsWithin100Milliseconds) {
    const auto& p = GetParam();
    bootsim::BoardConfig config;
    config.ready = "?V1.27"; // no repeated lines, no question after a cancelled one
    PtyBoard board(config, 5);
    QTemporaryDir folder;
    auto window = SampleWindow(folder, board.slavePath());
    auto& form = *window;
    int ended = 0;
    QObject::connect(&form, &ui::Form1::programEnded, [&] { ++ended; });

    // The press comes from outside, as a user's click would: it is handled whenever the window
    // serves its events. Message boxes are answered the same way.
    QStringList boxes;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxes << box->text();
            box->accept();
        }
    });
    answer.start(5);
    Clock::time_point pressed;
    std::thread user([&] {
        if (!PtyBoard::WaitFor([&] { return board.holdingXoff(); }))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        pressed = Clock::now();
        QMetaObject::invokeMethod(&form, [&] {
            if (auto* button = form.findChild<QPushButton*>(QLatin1String(p.control)))
                button->click();
            else
                form.findChild<QAction*>(QLatin1String(p.control))->trigger();
        });
    });
    form.findChild<QPushButton*>(QStringLiteral("Command2"))->click();
    auto ms = MillisSince(pressed);
    user.join();
    answer.stop();

    ASSERT_NE(pressed, Clock::time_point()) << "the board never held XOFF";
    std::printf("[ measured ] %s: %.1f ms from the press to the end of the run\n", p.name, ms);
    EXPECT_LT(ms, 100);
    EXPECT_TRUE(boxes.isEmpty()) << boxes.join(QLatin1Char('|')).toStdString();
    EXPECT_FALSE(form.runActive());
    EXPECT_FALSE(form.portOpen());
    EXPECT_EQ(ended, p.programEnds ? 1 : 0);
    if (!p.programEnds) {
        EXPECT_EQ(form.findChild<QLabel*>(QStringLiteral("Label2"))->text(), "Idle");
    }
}

INSTANTIATE_TEST_SUITE_P(Presses, WindowHeldBoardTest,
                         ::testing::Values(Press{"Cancel", "Command4", false},
                                           Press{"Exit", "ExitMenu", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The window against a board that announces the extension and whose check fails: the final box
// is a warning naming the range; the board never starts the application.
TEST(WindowExtendedBoardTest, AFailedCheckEndsInAWarningNamingTheRange) {
    if (!QCoreApplication::instance())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    EnsureApplication<QApplication>("integration_window_tests");
    bootsim::BoardConfig config;
    config.extension = true;
    // The sample writes above 64 KiB: the larger chip's sizes.
    config.page = 256;
    config.flashSize = 253952;
    config.eepromSize = 4096;
    config.stuckCell = 16;
    PtyBoard board(config);
    QTemporaryDir folder;
    auto window = SampleWindow(folder, board.slavePath());
    auto& form = *window;
    QStringList boxes;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxes << box->text() + (box->icon() == QMessageBox::Warning ? " [warning]" : "");
            box->accept();
        }
    });
    answer.start(5);
    form.findChild<QPushButton*>(QStringLiteral("Command2"))->click();
    answer.stop();

    ASSERT_EQ(boxes.size(), 1) << boxes.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(boxes[0].contains("Flash 0x0000-0x0FFF does not hold what was written"));
    EXPECT_TRUE(boxes[0].endsWith(" [warning]"));
    EXPECT_FALSE(form.runActive());
    EXPECT_FALSE(form.portOpen());
    EXPECT_EQ(form.findChild<QLabel*>(QStringLiteral("Label2"))->text(), "Idle");
    EXPECT_EQ(board.completedDownloads(), 0);
}

} // namespace
} // namespace tavo::test
