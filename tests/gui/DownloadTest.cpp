// Whole runs through the window against the simulated board on a pseudo-terminal.
#include "tests/gui/GuiSupport.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

using namespace tavo;
using namespace tavo::gui_test;

namespace {

// A window whose "Com 1" is the given device, set up to send one application image fast (the
// port and the image choice are the defaults of a fresh program folder).
class DownloadWindow {
public:
    DownloadWindow(const QString& device, int hexLines) {
        folder.write("ports.txt", "1=" + device.toUtf8() + "\n");
        folder.write("app.hex", HexImage(hexLines));
        form = std::make_unique<ui::Form1>(folder.path());
        Find<QComboBox>(form.get(), "Combo2")->setCurrentIndex(9); // 115200
        Find<QLineEdit>(form.get(), "Text1")->setText(folder.file("app.hex"));
        form->show();
    }

    QString status() { return Find<QLabel>(form.get(), "Label2")->text(); }
    QPushButton* button(const char* name) { return Find<QPushButton>(form.get(), name); }
    // Presses Start; returns when the run has ended (or was abandoned), with the boxes it raised.
    std::vector<SeenBox> run() {
        return BoxesDuring([&] { button("Command2")->click(); });
    }
    // Ended from inside a run: the program ended once, window gone, port shut, settings saved.
    void expectEndedCleanly(const QSignalSpy& ended) {
        EXPECT_EQ(ended.count(), 1);
        EXPECT_FALSE(form->isVisible());
        EXPECT_FALSE(form->portOpen());
        EXPECT_FALSE(form->runActive());
        EXPECT_TRUE(folder.read("dazez.txt").contains(folder.file("app.hex").toUtf8()));
    }

    ProgramFolder folder;
    std::unique_ptr<ui::Form1> form;
};

// The text the label showed when it was last painted before the run's first message box.
class ShownBeforeBox : public QObject {
public:
    explicit ShownBeforeBox(QLabel* label) : label_(label) { qApp->installEventFilter(this); }
    ~ShownBeforeBox() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show && qobject_cast<QMessageBox*>(watched) != nullptr)
            boxShown_ = true;
        if (watched == label_ && event->type() == QEvent::Paint && !boxShown_)
            text = label_->text();
        return false;
    }
    QString text;

private:
    QLabel* label_;
    bool boxShown_ = false;
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

class Download : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Bootsim::Available())
            GTEST_SKIP() << "tavo-bootsim is not built";
    }
};

TEST_F(Download, CompleteFlashDownloadThroughTheWindow) {
    ProgramFolder boardFolder;
    Bootsim board({"--flash-out", boardFolder.file("flash.hex")});
    ASSERT_TRUE(board.started());
    DownloadWindow window(board.slave(), 12);
    auto* bar = Find<QProgressBar>(window.form.get(), "ProgressBar1");
    auto* version = Find<QLabel>(window.form.get(), "Label16");

    // While the board gives its verdict on the file the window is not served, and shows what
    // was painted last: the true count, beside a full bar.
    ShownBeforeBox lines(Find<QLabel>(window.form.get(), "Label14"));
    QStringList statuses;
    int highestProgress = 0;
    DuringRun watch(
        [&] {
            if (statuses.isEmpty() || statuses.last() != window.status())
                statuses << window.status();
            highestProgress = std::max(highestProgress, bar->value());
            return false;
        },
        [] {});
    const auto seen = window.run();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, "Flash File successfully downloaded.");
    EXPECT_EQ(seen[0].title, window.form->windowTitle());
    EXPECT_EQ(seen[0].icon, QMessageBox::NoIcon);

    EXPECT_TRUE(statuses.contains("Requesting Ack from target bootloader.  Try #1"));
    EXPECT_TRUE(statuses.contains("Sending FLASH File - lines remaining "));
    EXPECT_EQ(version->text(), "BootLoader Version: 1.3");
    EXPECT_TRUE(version->isVisible());
    EXPECT_GT(highestProgress, 0);
    EXPECT_EQ(lines.text.toStdString(), "0");
    // Idle again: port closed, start button back, progress reset by the success.
    EXPECT_EQ(window.status(), "Idle");
    EXPECT_FALSE(window.form->portOpen());
    EXPECT_TRUE(window.button("Command2")->isVisible());
    EXPECT_FALSE(window.button("Command4")->isVisible());
    EXPECT_EQ(bar->value(), 0);

    // The board holds the image: its dump, in records of 16 bytes, is the image's own lines.
    board.stop();
    EXPECT_EQ(boardFolder.read("flash.hex"), HexImage(12).replace("\r\n", "\n"));
}

TEST_F(Download, CancelDuringTheHandshake) {
    Bootsim board;
    ASSERT_TRUE(board.started());
    DownloadWindow window(board.slave(), 12);
    DuringRun cancel([&] { return window.status().startsWith("Requesting Ack"); },
                     [&] { QTest::mouseClick(window.button("Command4"), Qt::LeftButton); });
    EXPECT_TRUE(window.run().empty()); // a cancel ends the run without a message
    EXPECT_TRUE(cancel.done());
    EXPECT_EQ(window.status(), "Idle");
    EXPECT_FALSE(window.form->portOpen());
    EXPECT_TRUE(window.button("Command2")->isVisible());
    EXPECT_TRUE(window.button("Command2")->isEnabled());
}

TEST_F(Download, ExitDuringATransferEndsCleanly) {
    Bootsim board;
    ASSERT_TRUE(board.started());
    DownloadWindow window(board.slave(), 400);
    QSignalSpy ended(window.form.get(), &ui::Form1::programEnded);
    // Exit while lines are still being sent: the settings are saved mid-run.
    DuringRun exit([&] { return Find<QLabel>(window.form.get(), "Label14")->isVisible(); },
                   [&] { Find<QAction>(window.form.get(), "ExitMenu")->trigger(); });
    EXPECT_TRUE(window.run().empty());
    EXPECT_TRUE(exit.done());
    window.expectEndedCleanly(ended);
    // Nothing restarts a run once the window has unloaded.
    window.button("Command2")->click();
    EXPECT_FALSE(window.form->portOpen());
}

// Settings written on another system: bytes that are not UTF-8 in the protocol strings and in the
// image's path reach the board and the settings file unchanged.
TEST_F(Download, SettingsBytesPassThroughTheWindowUnchanged) {
    ProgramFolder boardFolder;
    Bootsim board(
        {"--jump", "$\\xfc", "--start", "@\\xe9$", "--received", boardFolder.file("received.bin")});
    ASSERT_TRUE(board.started());
    ProgramFolder folder;
    folder.write("ports.txt", "1=" + board.slave().toUtf8() + "\n");
    const QByteArray image = HexImage(2);
    const QByteArray imagePath = folder.path().toUtf8() + "/app-\xFC\xE9-\xC3\xA9.hex";
    std::ofstream(imagePath.toStdString(), std::ios::binary) << image.toStdString();
    const QByteArray settings = "0\r\n9\r\n\"" + imagePath +
                                "\"\r\n\"@\xE9$\"\r\n\"?\"\r\n\"$\xFC\"\r\n"
                                "\"^\"\r\n\"%\"\r\n\"#\"\r\n\"@\"\r\n\"-\"\r\n\"~\"\r\n"
                                "\"/nowhere/d\xE9\xFC.eep\"\r\n\"*\xFC\"\r\n0\r\n1\r\n";
    folder.write("dazez.txt", settings);
    ui::Form1 form(folder.path());
    // Valid UTF-8 shows as text.
    EXPECT_TRUE(
        Find<QLineEdit>(&form, "Text1")->text().endsWith(QString::fromUtf8("-\xC3\xA9.hex")));
    form.show();

    const auto seen = BoxesDuring([&] { Find<QPushButton>(&form, "Command2")->click(); });
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, "Flash File successfully downloaded.");
    Find<QPushButton>(&form, "Command3")->click();
    EXPECT_EQ(folder.read("dazez.txt"), settings);
    board.stop();
    const QByteArray received = boardFolder.read("received.bin");
    EXPECT_TRUE(received.startsWith("$\xFC@\xE9$")) << received.left(16).toHex().constData();
    EXPECT_TRUE(received.contains(image.left(image.indexOf('\r'))));
}

// Without the board: a pseudo-terminal nobody answers keeps the run in its handshake, and the
// close box then ends the program from inside the run's wait.
TEST(DownloadWithoutBoard, CloseBoxDuringTheHandshakeEndsCleanly) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    {
        DownloadWindow window(QString::fromLocal8Bit(::ptsname(master)), 3);
        QSignalSpy ended(window.form.get(), &ui::Form1::programEnded);
        DuringRun close([&] { return window.status().startsWith("Requesting Ack"); },
                        [&] { window.form->close(); });
        EXPECT_TRUE(window.run().empty());
        EXPECT_TRUE(close.done());
        window.expectEndedCleanly(ended);
    }
    ::close(master);
}

} // namespace
