#include "app/AppInfo.h"
#include "settings/Utf8Path.h"
#include "ui/ExactText.h"
#include "ui/ExitSignals.h"
#include "ui/Form1.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string Beside(const std::string& folder, const char* name) {
    return tavo::settings::Utf8FromPath(tavo::settings::PathFromUtf8(folder) / name);
}

// --help and --version answer on standard output without a window: they must work where no
// display is (a terminal over ssh, a package check). -1 when neither was asked for.
int AnswerInformationOption(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs("Usage: tavo-programmer [--start]\n"
                       "The window of the firmware loader: tick the images to send, pick their "
                       "paths,\nthe port and the baud rate, and press \"Start Programming\".\n"
                       "\n"
                       "      --start     press \"Start Programming\" as soon as the window is up\n"
                       "  -h, --help      show this help and exit\n"
                       "      --version   show the program's title and version, and where its\n"
                       "                  settings and port map are kept, and exit\n"
                       "\n"
                       "Qt's own options, such as -platform NAME, are taken as well.\n",
                       stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            const std::string folder = tavo::app::SettingsFolder();
            std::printf("%s %s\nSettings: %s\nPort map: %s\n", tavo::app::kTitle,
                        tavo::app::VersionLine().c_str(), Beside(folder, "dazez.txt").c_str(),
                        Beside(folder, "ports.txt").c_str());
            return 0;
        }
    }
    return -1;
}

} // namespace

int main(int argc, char* argv[]) {
    if (const int status = AnswerInformationOption(argc, argv); status >= 0)
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? status : 1;
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(tavo::app::kTitle));
    QApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                            .arg(tavo::app::kMajor)
                                            .arg(tavo::app::kMinor)
                                            .arg(tavo::app::kRevision));

    // Settings and port map beside the program or in the user's configuration folder; made now
    // so that the save at exit has a place to go.
    const auto settingsFolder = tavo::app::SettingsFolder();
    tavo::app::CreateSettingsFolder(settingsFolder);
    tavo::ui::Form1 window(tavo::ui::TextFromBytes(settingsFolder));
    QObject::connect(&window, &tavo::ui::Form1::programEnded, &application, &QApplication::quit,
                     Qt::QueuedConnection);
    // A logout or a service manager ends the program as Exit does: settings saved, port closed.
    tavo::ui::ExitSignals exitSignals([&window] { window.ExitFromOutside(); });
    window.show();

    // --start presses "Start Programming" as soon as the window is up (for demonstrations).
    if (QApplication::arguments().contains(QStringLiteral("--start"))) {
        QTimer::singleShot(0, &window, [&window] {
            if (auto* start = window.findChild<QPushButton*>(QStringLiteral("Command2")))
                start->click();
        });
    }
    return QApplication::exec();
}
