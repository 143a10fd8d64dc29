// tavo-render-icons FOLDER: writes the window's icon, at every size it is drawn in, as
// FOLDER/hicolor/NxN/apps/tavo-programmer.png, and the scalable picture as
// FOLDER/hicolor/scalable/apps/tavo-programmer.svg, the layout of the desktop's icon theme. Run at
// build time, so the installed icon is the window's own drawing.
#include "ui/Artwork.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>

#include <cstdio>

int main(int argc, char* argv[]) {
    QGuiApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: tavo-render-icons FOLDER\n");
        return 2;
    }
    const QIcon icon = tavo::ui::WindowIcon();
    int written = 0;
    for (const QSize& size : icon.availableSizes()) {
        const QString folder = QStringLiteral("%1/hicolor/%2x%3/apps")
                                   .arg(QString::fromLocal8Bit(argv[1]))
                                   .arg(size.width())
                                   .arg(size.height());
        const QImage image = icon.pixmap(size).toImage();
        const QString path = folder + QStringLiteral("/tavo-programmer.png");
        if (image.size() != size || !QDir().mkpath(folder) || !image.save(path, "PNG")) {
            std::fprintf(stderr, "tavo-render-icons: cannot write %s\n", qPrintable(path));
            return 1;
        }
        ++written;
    }
    if (written == 0) {
        std::fprintf(stderr, "tavo-render-icons: the window icon has no size\n");
        return 1;
    }
    const QString scalable =
        QStringLiteral("%1/hicolor/scalable/apps").arg(QString::fromLocal8Bit(argv[1]));
    QFile svg(scalable + QStringLiteral("/tavo-programmer.svg"));
    const QByteArray picture = tavo::ui::WindowIconSvg();
    if (!QDir().mkpath(scalable) || !svg.open(QIODevice::WriteOnly) ||
        svg.write(picture) != picture.size() || !svg.flush()) {
        std::fprintf(stderr, "tavo-render-icons: cannot write %s\n", qPrintable(svg.fileName()));
        return 1;
    }
    return 0;
}
