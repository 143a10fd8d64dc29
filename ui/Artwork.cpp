#include "ui/Artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace tavo::ui {

namespace {

// Drawn on a 32-unit grid and scaled, so every size shows the same picture.
QPixmap ChipPixmap(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);

    // Pins on both sides of the chip.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xb0, 0xb0, 0xb0));
    for (int i = 0; i < 4; ++i) {
        p.drawRect(QRectF(3, 8.5 + i * 4.5, 4, 2));
        p.drawRect(QRectF(25, 8.5 + i * 4.5, 4, 2));
    }
    // The chip body.
    p.setBrush(QColor(0x20, 0x30, 0x40));
    p.drawRoundedRect(QRectF(7, 5, 18, 24), 2, 2);
    p.setBrush(QColor(0x60, 0x70, 0x80));
    p.drawEllipse(QRectF(9, 7, 3, 3));

    // The download arrow.
    QPainterPath arrow;
    arrow.moveTo(14, 1);
    arrow.lineTo(18, 1);
    arrow.lineTo(18, 12);
    arrow.lineTo(22, 12);
    arrow.lineTo(16, 19);
    arrow.lineTo(10, 12);
    arrow.lineTo(14, 12);
    arrow.closeSubpath();
    p.setPen(QPen(QColor(0x10, 0x50, 0x10), 0.8));
    p.setBrush(QColor(0x30, 0xc0, 0x40));
    p.drawPath(arrow);

    // A line of "data" under the arrow.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf0, 0xc0, 0x20));
    p.drawRect(QRectF(10, 22, 12, 2));
    return pixmap;
}

} // namespace

QIcon WindowIcon() {
    QIcon icon;
    // The larger sizes are also the installed desktop icon (packaging/RenderIcons.cpp).
    for (int size : {16, 32, 48, 64, 128, 256})
        icon.addPixmap(ChipPixmap(size));
    return icon;
}

QPixmap CompanyLogo(QSize size) {
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    const qreal h = size.height();
    const qreal w = size.width();

    // The mark: a stylised "B" of two stacked rounded blocks on a blue square.
    const QRectF mark(0, 0, h, h);
    QLinearGradient fill(mark.topLeft(), mark.bottomRight());
    fill.setColorAt(0, QColor(0x1f, 0x5f, 0xb0));
    fill.setColorAt(1, QColor(0x0d, 0x2f, 0x66));
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(mark.adjusted(1, 1, -1, -1), h * 0.15, h * 0.15);
    p.setBrush(Qt::white);
    const qreal u = h / 10.0;
    p.drawRect(QRectF(2.5 * u, 2 * u, 1.5 * u, 6 * u));
    p.drawRoundedRect(QRectF(2.5 * u, 2 * u, 4.5 * u, 2.7 * u), 1.3 * u, 1.3 * u);
    p.drawRoundedRect(QRectF(2.5 * u, 5.3 * u, 5 * u, 2.7 * u), 1.3 * u, 1.3 * u);
    p.setBrush(fill);
    p.drawRect(QRectF(4 * u, 2.9 * u, 1.8 * u, 0.9 * u));
    p.drawRect(QRectF(4 * u, 6.2 * u, 2.3 * u, 0.9 * u));

    // The name beside the mark, as large as the space allows.
    const QRectF textArea(h + u * 2, 0, w - h - u * 2, h);
    QFont font(QStringLiteral("Arial"));
    font.setBold(true);
    font.setPixelSize(qMax(8, int(h * 0.55)));
    const QString name = QStringLiteral("BRENVIK");
    while (font.pixelSize() > 8 && QFontMetricsF(font).horizontalAdvance(name) > textArea.width())
        font.setPixelSize(font.pixelSize() - 1);
    p.setFont(font);
    p.setPen(QColor(0x0d, 0x2f, 0x66));
    p.drawText(textArea.adjusted(0, 0, 0, -h * 0.2), Qt::AlignLeft | Qt::AlignVCenter, name);
    // A thin rule under the name.
    p.setPen(QPen(QColor(0x30, 0xc0, 0x40), qMax(1.0, h * 0.04)));
    const qreal ruleY = h * 0.78;
    p.drawLine(QPointF(textArea.left(), ruleY), QPointF(w - u, ruleY));
    return pixmap;
}

} // namespace tavo::ui
