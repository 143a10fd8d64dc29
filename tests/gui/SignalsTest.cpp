// SIGTERM and SIGHUP end the program as Exit does: settings saved, port closed, a run abandoned.
#include "tests/gui/GuiSupport.h"

#include "ui/ExitSignals.h"

#include <QFile>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace tavo;
using namespace tavo::gui_test;

namespace {

// Qt's serial port keeps a lock file naming the process while the port is open.
bool LockHeldBy(qint64 pid, QString device) {
    QFile lock("/run/lock/LCK.." + device.mid(5).replace('/', '_'));
    return lock.open(QIODevice::ReadOnly) && lock.readLine().trimmed().toLongLong() == pid;
}

// The program itself, from a program folder of its own, in the handshake of a run on a
// pseudo-terminal that nobody answers.
TEST(Signals, EndTheProgramDuringARunAsExitDoes) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const QString slave = QString::fromLocal8Bit(::ptsname(master));
    // Held open here too, so that the master sees no hang-up between the programs.
    const int held = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    for (int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        ProgramFolder folder;
        ASSERT_TRUE(QFile::copy(TAVO_BIN_DIR "/tavo-programmer", folder.file("tavo-programmer")));
        folder.write("app.hex", HexImage(2));
        folder.write("ports.txt", "1=" + slave.toUtf8() + "\n");
        // Bare line feeds, a form the program never writes: the save shows.
        const QByteArray image = folder.file("app.hex").toUtf8();
        folder.write("dazez.txt", "0\n5\n\"" + image +
                                      "\"\n\"@&$\"\n\"?\"\n\"$\"\n\"^\"\n\"%\"\n"
                                      "\"#\"\n\"@\"\n\"-\"\n\"~\"\n\"\"\n\"*\"\n0\n1\n");
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(environment);
        program.start(folder.file("tavo-programmer"), {"--start"});
        // The jump command on the line: the run waits for the board.
        pollfd ready{master, POLLIN, 0};
        char jump = 0;
        ASSERT_TRUE(::poll(&ready, 1, 10000) == 1 && ::read(master, &jump, 1) == 1);
        EXPECT_EQ(jump, '$');
        const qint64 pid = program.processId();
        EXPECT_TRUE(LockHeldBy(pid, slave));

        ::kill(static_cast<pid_t>(pid), signal);
        ASSERT_TRUE(program.waitForFinished(10000));
        EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.exitCode(), 0);
        EXPECT_TRUE(folder.read("dazez.txt").startsWith("0\r\n5\r\n\"" + image + "\"\r\n"));
        EXPECT_FALSE(LockHeldBy(pid, slave));
        for (char byte = 0; ::poll(&ready, 1, 0) == 1 && ::read(master, &byte, 1) == 1;) {
        }
    }
    ::close(held);
    ::close(master);
}

// A dialog or a question that is up when the signal comes is closed, so the program ends without
// waiting for an answer that nobody may give.
TEST(Signals, CloseWhatIsUpAndEnd) {
    if (!Bootsim::Available())
        GTEST_SKIP() << "tavo-bootsim is not built";
    for (const char* press : {"Command1", "Command2"}) { // Browse; Start on a failing line
        SCOPED_TRACE(press);
        Bootsim board({"--fail-checksum", "1"});
        ProgramFolder folder;
        folder.write("ports.txt", "1=" + board.slave().toUtf8() + "\n");
        folder.write("app.hex", HexImage(3));
        ui::Form1 form(folder.path());
        Find<QLineEdit>(&form, "Text1")->setText(folder.file("app.hex"));
        form.show();
        ui::ExitSignals exitSignals([&form] { form.ExitFromOutside(); });
        QSignalSpy ended(&form, &ui::Form1::programEnded);
        int seen = 0;
        bool leftUp = false;
        ModalDriver driver([&](QWidget* modal) {
            ++seen;
            ::raise(SIGTERM);
            // Should the signal leave it up, the test fails instead of hanging.
            QTimer::singleShot(2000, modal, [&leftUp, modal] {
                leftUp = true;
                static_cast<QDialog*>(modal)->reject();
            });
        });
        Find<QPushButton>(&form, press)->click();
        EXPECT_EQ(seen, 1);
        EXPECT_FALSE(leftUp);
        EXPECT_TRUE(QTest::qWaitFor([&] { return ended.count() == 1; }, 2000));
        EXPECT_FALSE(form.isVisible() || form.portOpen() || form.runActive());
        EXPECT_TRUE(folder.read("dazez.txt").contains(folder.file("app.hex").toUtf8()));
    }
}

} // namespace
