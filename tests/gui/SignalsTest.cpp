// SIGTERM and SIGHUP end the program as Exit does: settings saved, port closed, a run abandoned.
#include "tests/gui/GuiSupport.h"

#include "ui/ExitSignals.h"

#include <QFile>
#include <QFileDialog>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using namespace tavo;
using namespace tavo::gui_test;

namespace {

// The program itself, started offscreen from a program folder of its own (it keeps its settings
// beside itself).
class ProgramProcess {
public:
    ProgramFolder folder;
    QProcess process;

    void start(const QStringList& arguments) {
        const QString program = folder.file("tavo-programmer");
        ASSERT_TRUE(QFile::copy(QStringLiteral(TAVO_BIN_DIR "/tavo-programmer"), program));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        ASSERT_TRUE(process.waitForStarted(5000));
    }
    // Its handler for the signal is in place (the kernel's mask of caught signals says so).
    bool catches(int signal) {
        QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
        if (!status.open(QIODevice::ReadOnly))
            return false;
        for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
            if (line.startsWith("SigCgt:"))
                return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1;
        }
        return false;
    }
    ~ProgramProcess() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(3000);
        }
    }
};

// A lock file that the process left for the device.
bool LockLeftBy(qint64 pid, const QString& device) {
    QFile lock(QStringLiteral("/run/lock/LCK..") + device.mid(5).replace('/', '_'));
    return lock.open(QIODevice::ReadOnly) && lock.readLine().trimmed().toLongLong() == pid;
}

TEST(Signals, EndTheRealProgramAsExitDoes) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_TRUE(::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const QString slave = QString::fromLocal8Bit(::ptsname(master));
    // Held open here too, so that the master sees no hang-up between the programs.
    const int held = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(held, 0);
    struct Case {
        int signal;
        bool duringRun; // in the handshake, on a port nobody answers
    };
    for (const Case& c :
         {Case{SIGTERM, false}, Case{SIGHUP, false}, Case{SIGTERM, true}, Case{SIGHUP, true}}) {
        SCOPED_TRACE(::testing::Message() << "signal " << c.signal << " run " << c.duringRun);
        ProgramProcess program;
        // A settings file in a form the program never writes (bare line feeds): a save shows.
        const QByteArray image = program.folder.file("app.hex").toUtf8();
        program.folder.write("app.hex", HexImage(2));
        program.folder.write("ports.txt", "1=" + slave.toUtf8() + "\n");
        program.folder.write("dazez.txt", "0\n5\n\"" + image +
                                              "\"\n\"@&$\"\n\"?\"\n\"$\"\n\"^\"\n\"%\"\n\"#\"\n"
                                              "\"@\"\n\"-\"\n\"~\"\n\"\"\n\"*\"\n0\n1\n");
        program.start(c.duringRun ? QStringList{"--start"} : QStringList{});
        ASSERT_TRUE(QTest::qWaitFor([&] { return program.catches(c.signal); }, 10000));
        if (c.duringRun) {
            // The jump command on the line: the run is waiting for the board.
            pollfd ready{master, POLLIN, 0};
            ASSERT_EQ(::poll(&ready, 1, 10000), 1);
            char jump = 0;
            ASSERT_EQ(::read(master, &jump, 1), 1);
            EXPECT_EQ(jump, '$');
        }
        const qint64 pid = program.process.processId();
        // Qt's serial port holds a lock file while the port is open.
        EXPECT_EQ(LockLeftBy(pid, slave), c.duringRun);
        ::kill(static_cast<pid_t>(pid), c.signal);
        ASSERT_TRUE(program.process.waitForFinished(10000));
        EXPECT_EQ(program.process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(program.process.exitCode(), 0);
        QByteArray saved = program.folder.read("dazez.txt");
        EXPECT_TRUE(saved.startsWith("0\r\n5\r\n\"" + image + "\"\r\n")) << saved.data();
        EXPECT_FALSE(LockLeftBy(pid, slave));
        // Drain what the run sent before it ended.
        pollfd more{master, POLLIN, 0};
        for (char byte = 0; ::poll(&more, 1, 0) == 1 && ::read(master, &byte, 1) == 1;) {
        }
    }
    ::close(held);
    ::close(master);
}

// Inside the window: a box or dialog that is up when the signal comes is closed, so the program
// ends without waiting for an answer nobody may give.
TEST(Signals, CloseWhatIsUpAndEnd) {
    if (!Bootsim::Available())
        GTEST_SKIP() << "tavo-bootsim is not built";
    struct Case {
        const char* what;
        QStringList board;
        const char* press;
        const char* modal;
    };
    const Case cases[] = {
        {"the file dialog", {}, "Command1", "QFileDialog"},
        {"a question during a run", {"--fail-checksum", "1"}, "Command2", "QMessageBox"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bootsim board(c.board);
        ASSERT_TRUE(board.started());
        ProgramFolder folder;
        folder.write("ports.txt", "1=" + board.slave().toUtf8() + "\n");
        folder.write("app.hex", HexImage(3));
        ui::Form1 form(folder.path());
        Find<QLineEdit>(&form, "Text1")->setText(folder.file("app.hex"));
        form.show();
        ui::ExitSignals exitSignals([&form] { form.ExitFromOutside(); });
        QSignalSpy ended(&form, &ui::Form1::programEnded);
        QStringList seen;
        ModalDriver driver([&](QWidget* modal) {
            seen << modal->metaObject()->className();
            ::raise(SIGTERM);
            // Should the signal leave it up, the test fails instead of hanging.
            QTimer::singleShot(3000, modal, [modal] { static_cast<QDialog*>(modal)->reject(); });
        });
        Find<QPushButton>(&form, c.press)->click();
        EXPECT_EQ(seen, QStringList{c.modal});
        EXPECT_TRUE(QTest::qWaitFor([&] { return ended.count() == 1; }, 2000));
        EXPECT_FALSE(form.isVisible());
        EXPECT_FALSE(form.portOpen());
        EXPECT_FALSE(form.runActive());
        EXPECT_TRUE(folder.read("dazez.txt").contains(folder.file("app.hex").toUtf8()));
    }
}

} // namespace
