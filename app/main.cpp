#include "app/AppInfo.h"
#include "ui/ExactText.h"
#include "ui/ExitSignals.h"
#include "ui/Form1.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>

int main(int argc, char* argv[]) {
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
