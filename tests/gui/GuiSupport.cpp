#include "tests/gui/GuiSupport.h"

#include <QAbstractButton>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QMenu>

#include <QPointer>

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace tavo::gui_test {

namespace {

// One Qt application for the whole test binary, made when the tests start (not when CTest only
// lists them).
class QtEnvironment final : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        qunsetenv("QT_QPA_PLATFORMTHEME");
        static int argc = 1;
        static char name[] = "tavo_gui_tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
        // The tests end windows themselves; the last one closing must not end anything.
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace

ModalDriver::ModalDriver(Handler handler) : timer_(std::make_unique<QTimer>()) {
    timer_->setInterval(5);
    // Each modal widget is handled once; it may take a moment to go away.
    auto last = std::make_shared<QPointer<QWidget>>();
    QObject::connect(timer_.get(), &QTimer::timeout, [handler = std::move(handler), last] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal == *last)
            return;
        *last = modal;
        handler(modal);
    });
    timer_->start();
}

ModalDriver::~ModalDriver() = default;

SeenBox Describe(QMessageBox* box) {
    return {box->windowTitle(),
            box->text(),
            box->informativeText(),
            box->detailedText(),
            box->icon(),
            box->standardButtons(),
            box->standardButton(box->defaultButton())};
}

std::vector<SeenBox> BoxesDuring(const std::function<void()>& action,
                                 QMessageBox::StandardButton answer) {
    std::vector<SeenBox> seen;
    ModalDriver driver([&seen, answer](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box == nullptr)
            return;
        seen.push_back(Describe(box));
        QAbstractButton* button = box->button(answer);
        if (button == nullptr)
            button = box->button(QMessageBox::Ok);
        if (button != nullptr)
            button->click();
        else
            box->reject();
    });
    action();
    return seen;
}

QString Caption(QObject* root, const char* name) {
    QObject* found = Find<QObject>(root, name);
    if (auto* button = qobject_cast<QAbstractButton*>(found))
        return button->text();
    if (auto* label = qobject_cast<QLabel*>(found))
        return label->text();
    if (auto* group = qobject_cast<QGroupBox*>(found))
        return group->title();
    if (auto* menu = qobject_cast<QMenu*>(found))
        return menu->title();
    if (auto* action = qobject_cast<QAction*>(found))
        return action->text();
    return found != nullptr ? found->property("text").toString() : QString();
}

void ExpectCaptions(QObject* root, std::initializer_list<const char*> entries) {
    for (const char* entry : entries) {
        const QByteArray line(entry);
        const qsizetype split = line.indexOf('=');
        EXPECT_EQ(Caption(root, line.left(split).constData()),
                  QString::fromUtf8(line.mid(split + 1)))
            << entry;
    }
}

ProgramFolder::ProgramFolder() {
    EXPECT_TRUE(dir_.isValid());
}

void ProgramFolder::write(const QString& name, const QByteArray& bytes) const {
    QFile f(file(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray ProgramFolder::read(const QString& name) const {
    QFile f(file(name));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

bool Bootsim::Available() {
    return QFileInfo(QStringLiteral(TAVO_BIN_DIR "/tavo-bootsim")).isExecutable();
}

Bootsim::Bootsim(const QStringList& arguments) {
    process_.setProgram(QStringLiteral(TAVO_BIN_DIR "/tavo-bootsim"));
    process_.setArguments(arguments);
    process_.start();
    if (!process_.waitForStarted(5000)) {
        ADD_FAILURE() << "tavo-bootsim did not start";
        return;
    }
    // The first line of its output names the pseudo-terminal.
    while (!process_.canReadLine() && process_.waitForReadyRead(5000)) {
    }
    slave_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
    if (slave_.isEmpty())
        ADD_FAILURE() << "tavo-bootsim named no pseudo-terminal: "
                      << process_.readAllStandardError().toStdString();
}

// Qt's serial port leaves a lock file per device; a test that dies with the port open would
// leave a stale one for a pseudo-terminal number the system hands out again.
static void RemoveLockFiles(const QString& device) {
    QString name = device;
    if (name.startsWith(QStringLiteral("/dev/")))
        name = name.mid(5);
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char* dir : {"/var/lock", "/run/lock", "/tmp", "/var/tmp", "/var/spool/locks",
                            "/var/spool/uucp", "/etc/locks", "/var/lock/lockdev"}) {
        QFile lock(QString::fromLatin1(dir) + QStringLiteral("/LCK..") + name);
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        const qint64 pid = lock.readLine().trimmed().toLongLong();
        lock.close();
        const bool ours = pid == ::getpid();
        const bool dead = pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
        if (ours || dead)
            lock.remove();
    }
}

Bootsim::~Bootsim() {
    stop();
}

void Bootsim::stop() {
    if (process_.state() == QProcess::NotRunning)
        return;
    if (!slave_.isEmpty())
        RemoveLockFiles(slave_);
    process_.terminate();
    if (!process_.waitForFinished(3000)) {
        process_.kill();
        process_.waitForFinished(3000);
    }
}

QByteArray HexImage(int lines) {
    QByteArray image;
    for (int i = 0; i < lines; ++i) {
        // Sixteen bytes counting up from the record's address, then the checksum.
        const int address = i * 16;
        const char head[] = {0x10, char(address >> 8), char(address & 0xff), 0};
        QByteArray record(head, 4);
        for (int b = 0; b < 16; ++b)
            record += char((address + b) & 0xff);
        int sum = 0;
        for (char byte : record)
            sum += static_cast<unsigned char>(byte);
        record += char(-sum & 0xff);
        image += ":" + record.toHex().toUpper() + "\r\n";
    }
    return image + ":00000001FF\r\n";
}

} // namespace tavo::gui_test
