// tavo-screenshot: shows the main window flashing the simulated board and saves a picture of it
// taken mid-transfer. Usage: tavo-screenshot OUTPUT.png [--image IMAGE.hex] [--about ABOUT.png]
// (--about also saves the about window).
// tavo-bootsim is taken from the folder this program lives in.
#include "ui/Form1.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

// A plain image of `lines` 16-byte data records and the end record.
QByteArray MakeImage(int lines) {
    QByteArray image;
    for (int i = 0; i < lines; ++i) {
        const int address = i * 16;
        QByteArray bytes;
        int sum = 0x10 + (address >> 8) + (address & 0xff);
        for (int b = 0; b < 16; ++b) {
            const int value = (i * 7 + b * 13) & 0xff;
            bytes.append(static_cast<char>(value));
            sum += value;
        }
        image += ":10" + QByteArray::number(address, 16).rightJustified(4, '0').toUpper() + "00" +
                 bytes.toHex().toUpper() +
                 QByteArray::number((-sum) & 0xff, 16).rightJustified(2, '0').toUpper() + "\r\n";
    }
    return image + ":00000001FF\r\n";
}

int Fail(const char* what) {
    std::fprintf(stderr, "tavo-screenshot: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() < 2)
        return Fail("usage: tavo-screenshot OUTPUT.png [--image IMAGE.hex] [--about ABOUT.png]");
    const QString output = args[1];
    auto option = [&args](const char* name) {
        const qsizetype at = args.indexOf(QString::fromLatin1(name));
        return at > 0 && at + 1 < args.size() ? args[at + 1] : QString();
    };
    const QString imageOption = option("--image");
    const QString aboutOutput = option("--about");

    QTemporaryDir folder;
    if (!folder.isValid())
        return Fail("no temporary folder");
    const QString image = folder.filePath(QStringLiteral("firmware.hex"));
    if (!imageOption.isEmpty()) {
        if (!QFile::copy(imageOption, image))
            return Fail("cannot copy the image");
    } else {
        QFile f(image);
        if (!f.open(QIODevice::WriteOnly))
            return Fail("cannot write the image");
        f.write(MakeImage(320));
    }

    // The board, paced like a real line so the transfer can be watched.
    QProcess board;
    board.start(QDir(QApplication::applicationDirPath()).filePath(QStringLiteral("tavo-bootsim")),
                {QStringLiteral("--pace"), QStringLiteral("line")});
    if (!board.waitForStarted(5000) || !board.waitForReadyRead(5000))
        return Fail("tavo-bootsim did not start");
    const QByteArray slave = board.readLine().trimmed();
    QFile ports(folder.filePath(QStringLiteral("ports.txt")));
    if (!ports.open(QIODevice::WriteOnly))
        return Fail("cannot write ports.txt");
    ports.write("1=" + slave + "\n");
    ports.close();

    tavo::ui::Form1 window(folder.path());
    window.findChild<QLineEdit*>(QStringLiteral("Text1"))->setText(image);
    window.findChild<QCheckBox*>(QStringLiteral("FlashCheck"))->setChecked(true);
    window.findChild<QComboBox*>(QStringLiteral("Combo2"))->setCurrentIndex(9); // 115200
    window.show();

    auto* bar = window.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    auto* lines = window.findChild<QLabel*>(QStringLiteral("Label14"));
    bool saved = false;
    QString firstCount;
    QTimer watch;
    watch.setInterval(10);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        // Mid-transfer, once the once-a-second lines-remaining count has moved on.
        if (firstCount.isEmpty() && lines->isVisible())
            firstCount = lines->text();
        if (!saved && !firstCount.isEmpty() && lines->text() != firstCount &&
            bar->value() * 100 >= bar->maximum() * 35) {
            saved = window.grab().save(output);
            std::printf("%s: %s\n", saved ? "saved" : "could not save", qPrintable(output));
            if (!aboutOutput.isEmpty()) {
                // The menus stay usable during a run.
                window.findChild<QAction*>(QStringLiteral("InfoMenu"))->trigger();
                if (QWidget* about = window.aboutWindow()) {
                    const bool ok = about->grab().save(aboutOutput);
                    std::printf("%s: %s\n", ok ? "saved" : "could not save",
                                qPrintable(aboutOutput));
                    about->close();
                }
            }
        }
        // The final message: note it and let the program end.
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::printf("%s\n", qPrintable(box->text()));
            if (auto* ok = box->button(QMessageBox::Ok))
                ok->click();
            else
                box->reject();
            QTimer::singleShot(0, &window, &QWidget::close);
        }
    });
    watch.start();
    QObject::connect(&window, &tavo::ui::Form1::programEnded, &app, &QApplication::quit,
                     Qt::QueuedConnection);
    QTimer::singleShot(200, &window, [&window] {
        window.findChild<QPushButton*>(QStringLiteral("Command2"))->click();
    });
    // Never hang a script: give up after a minute.
    QTimer::singleShot(60000, &app, [] { QApplication::exit(2); });
    const int status = QApplication::exec();

    board.terminate();
    board.waitForFinished(3000);
    return saved && status == 0 ? 0 : 1;
}
