// Whole runs through the window against the simulated board on a pseudo-terminal.
#include "tests/gui/GuiSupport.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

using namespace tavo;
using namespace tavo::gui_test;

namespace {

// A window whose "Com 1" is the given device, set up to send one application image fast.
class DownloadWindow {
public:
    DownloadWindow(const QString& device, int hexLines) {
        folder.write("ports.txt", "1=" + device.toUtf8() + "\n");
        folder.write("app.hex", HexImage(hexLines));
        form = std::make_unique<ui::Form1>(folder.path());
        Find<QComboBox>(form.get(), "Combo1")->setCurrentIndex(0);
        Find<QComboBox>(form.get(), "Combo2")->setCurrentIndex(9); // 115200
        Find<QCheckBox>(form.get(), "FlashCheck")->setChecked(true);
        Find<QCheckBox>(form.get(), "EepromCheck")->setChecked(false);
        Find<QLineEdit>(form.get(), "Text1")->setText(folder.file("app.hex"));
        form->show();
    }

    QString status() { return Find<QLabel>(form.get(), "Label2")->text(); }
    QPushButton* button(const char* name) { return Find<QPushButton>(form.get(), name); }

    ProgramFolder folder;
    std::unique_ptr<ui::Form1> form;
};

// Runs `action` once, from inside the run's waits, when `condition` first holds.
class DuringRun {
public:
    DuringRun(std::function<bool()> condition, std::function<void()> action) {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this, condition, action] {
            if (done_ || !condition())
                return;
            done_ = true;
            action();
        });
        timer_.start();
    }
    bool done() const { return done_; }

private:
    QTimer timer_;
    bool done_ = false;
};

TEST(Download, CompleteFlashDownloadThroughTheWindow) {
    if (!Bootsim::Available())
        GTEST_SKIP() << "tavo-bootsim is not built";
    ProgramFolder boardFolder;
    Bootsim board({"--flash-out", boardFolder.file("flash.bin")});
    ASSERT_TRUE(board.started());
    DownloadWindow window(board.slave(), 12);

    QStringList statuses;
    int highestProgress = 0;
    DuringRun watch(
        [&] {
            const QString s = window.status();
            if (statuses.isEmpty() || statuses.last() != s)
                statuses << s;
            highestProgress = std::max(
                highestProgress, Find<QProgressBar>(window.form.get(), "ProgressBar1")->value());
            return false;
        },
        [] {});
    std::vector<SeenBox> seen;
    {
        auto driver = ModalDriver::answeringBoxes(seen);
        window.button("Command2")->click(); // returns when the run has ended
    }
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, "Flash File successfully downloaded.");
    EXPECT_EQ(seen[0].title, window.form->windowTitle());
    EXPECT_EQ(seen[0].icon, QMessageBox::NoIcon);

    EXPECT_TRUE(statuses.contains("Requesting Ack from target bootloader.  Try #1"));
    EXPECT_TRUE(statuses.contains("Sending FLASH File - lines remaining "));
    EXPECT_EQ(Find<QLabel>(window.form.get(), "Label16")->text(), "BootLoader Version: 1.3");
    EXPECT_TRUE(Find<QLabel>(window.form.get(), "Label16")->isVisible());
    EXPECT_GT(highestProgress, 0);
    // Idle again: port closed, start button back, progress reset by the success.
    EXPECT_EQ(window.status(), "Idle");
    EXPECT_FALSE(window.form->portOpen());
    EXPECT_TRUE(window.button("Command2")->isVisible());
    EXPECT_FALSE(window.button("Command4")->isVisible());
    EXPECT_EQ(Find<QProgressBar>(window.form.get(), "ProgressBar1")->value(), 0);

    // The board holds the image: twelve records of 16 bytes counting up from 0.
    board.stop();
    QByteArray expected;
    for (int i = 0; i < 12 * 16; ++i)
        expected += static_cast<char>(i & 0xff);
    EXPECT_EQ(boardFolder.read("flash.bin"), expected);
}

TEST(Download, CancelDuringTheHandshake) {
    if (!Bootsim::Available())
        GTEST_SKIP() << "tavo-bootsim is not built";
    Bootsim board;
    ASSERT_TRUE(board.started());
    DownloadWindow window(board.slave(), 12);

    DuringRun cancel([&] { return window.status().startsWith("Requesting Ack"); },
                     [&] { QTest::mouseClick(window.button("Command4"), Qt::LeftButton); });
    std::vector<SeenBox> seen;
    {
        auto driver = ModalDriver::answeringBoxes(seen);
        window.button("Command2")->click();
    }
    EXPECT_TRUE(cancel.done());
    EXPECT_TRUE(seen.empty()); // a cancel ends the run without a message
    EXPECT_EQ(window.status(), "Idle");
    EXPECT_FALSE(window.form->portOpen());
    EXPECT_TRUE(window.button("Command2")->isVisible());
    EXPECT_TRUE(window.button("Command2")->isEnabled());
}

TEST(Download, ExitDuringATransferEndsCleanly) {
    if (!Bootsim::Available())
        GTEST_SKIP() << "tavo-bootsim is not built";
    Bootsim board;
    ASSERT_TRUE(board.started());
    DownloadWindow window(board.slave(), 400);
    QSignalSpy ended(window.form.get(), &ui::Form1::programEnded);

    DuringRun exit([&] { return Find<QLabel>(window.form.get(), "Label14")->isVisible(); },
                   [&] { Find<QAction>(window.form.get(), "ExitMenu")->trigger(); });
    std::vector<SeenBox> seen;
    {
        auto driver = ModalDriver::answeringBoxes(seen);
        window.button("Command2")->click(); // unwinds when the run is abandoned
    }
    EXPECT_TRUE(exit.done());
    EXPECT_TRUE(seen.empty()) << seen[0].text.toStdString();
    EXPECT_EQ(ended.count(), 1);
    EXPECT_FALSE(window.form->isVisible());
    EXPECT_FALSE(window.form->portOpen());
    EXPECT_FALSE(window.form->runActive());
    // The settings were saved while the image was still being sent.
    EXPECT_TRUE(window.folder.read("dazez.txt").contains(window.folder.file("app.hex").toUtf8()));
    // Nothing restarts a run once the window has unloaded.
    window.button("Command2")->click();
    EXPECT_FALSE(window.form->portOpen());
}

// Without the board: a pseudo-terminal nobody answers keeps the run in its handshake, and the
// close box then ends the program from inside the run's wait.
TEST(Download, CloseBoxDuringTheHandshakeEndsCleanly) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const QString slave = QString::fromLocal8Bit(::ptsname(master));
    {
        DownloadWindow window(slave, 3);
        QSignalSpy ended(window.form.get(), &ui::Form1::programEnded);
        DuringRun close([&] { return window.status().startsWith("Requesting Ack"); },
                        [&] { window.form->close(); });
        std::vector<SeenBox> seen;
        {
            auto driver = ModalDriver::answeringBoxes(seen);
            window.button("Command2")->click();
        }
        EXPECT_TRUE(close.done());
        EXPECT_TRUE(seen.empty());
        EXPECT_EQ(ended.count(), 1);
        EXPECT_FALSE(window.form->isVisible());
        EXPECT_FALSE(window.form->portOpen());
        EXPECT_FALSE(window.folder.read("dazez.txt").isEmpty());
    }
    ::close(master);
}

} // namespace
