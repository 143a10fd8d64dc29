#include "ui/Artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <vector>

namespace tavo::ui {

namespace {

// The window's icon as a list of filled shapes on a 32-unit grid, so that the pixel sizes and the
// scalable picture are one drawing.
struct Shape {
    enum class Kind { Rect, RoundedRect, Ellipse, Polygon };
    Kind kind;
    QColor fill;
    QRectF rect;               // Rect, RoundedRect, Ellipse
    qreal radius = 0;          // RoundedRect
    QPolygonF points = {};     // Polygon
    QColor outline = QColor(); // none when invalid
    qreal outlineWidth = 0;
};

std::vector<Shape> ChipShapes() {
    std::vector<Shape> shapes;
    // Pins on both sides of the chip.
    const QColor pin(0xb0, 0xb0, 0xb0);
    for (int i = 0; i < 4; ++i) {
        shapes.push_back({Shape::Kind::Rect, pin, QRectF(3, 8.5 + i * 4.5, 4, 2)});
        shapes.push_back({Shape::Kind::Rect, pin, QRectF(25, 8.5 + i * 4.5, 4, 2)});
    }
    // The chip body.
    shapes.push_back({Shape::Kind::RoundedRect, QColor(0x20, 0x30, 0x40), QRectF(7, 5, 18, 24), 2});
    shapes.push_back({Shape::Kind::Ellipse, QColor(0x60, 0x70, 0x80), QRectF(9, 7, 3, 3)});
    // The download arrow.
    shapes.push_back(
        {Shape::Kind::Polygon, QColor(0x30, 0xc0, 0x40), QRectF(), 0,
         QPolygonF({{14, 1}, {18, 1}, {18, 12}, {22, 12}, {16, 19}, {10, 12}, {14, 12}}),
         QColor(0x10, 0x50, 0x10), 0.8});
    // A line of "data" under the arrow.
    shapes.push_back({Shape::Kind::Rect, QColor(0xf0, 0xc0, 0x20), QRectF(10, 22, 12, 2)});
    return shapes;
}

QPixmap ChipPixmap(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    for (const Shape& shape : ChipShapes()) {
        p.setPen(shape.outline.isValid() ? QPen(shape.outline, shape.outlineWidth)
                                         : QPen(Qt::NoPen));
        p.setBrush(shape.fill);
        switch (shape.kind) {
        case Shape::Kind::Rect:
            p.drawRect(shape.rect);
            break;
        case Shape::Kind::RoundedRect:
            p.drawRoundedRect(shape.rect, shape.radius, shape.radius);
            break;
        case Shape::Kind::Ellipse:
            p.drawEllipse(shape.rect);
            break;
        case Shape::Kind::Polygon:
            p.drawPolygon(shape.points);
            break;
        }
    }
    return pixmap;
}

} // namespace

QIcon WindowIcon() {
    QIcon icon;
    // Also the installed desktop icons (packaging/RenderIcons.cpp), at every size of the icon
    // theme's usual set.
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(ChipPixmap(size));
    return icon;
}

QByteArray WindowIconSvg() {
    QByteArray svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"32\" height=\"32\" "
                     "viewBox=\"0 0 32 32\">\n";
    const auto number = [](qreal value) { return QByteArray::number(value, 'g', 6); };
    for (const Shape& shape : ChipShapes()) {
        QByteArray paint = "fill=\"" + shape.fill.name().toLatin1() + "\"";
        if (shape.outline.isValid())
            paint += " stroke=\"" + shape.outline.name().toLatin1() + "\" stroke-width=\"" +
                     number(shape.outlineWidth) + "\"";
        const QRectF& r = shape.rect;
        switch (shape.kind) {
        case Shape::Kind::Rect:
        case Shape::Kind::RoundedRect:
            svg += "  <rect x=\"" + number(r.x()) + "\" y=\"" + number(r.y()) + "\" width=\"" +
                   number(r.width()) + "\" height=\"" + number(r.height()) + "\"";
            if (shape.kind == Shape::Kind::RoundedRect)
                svg += " rx=\"" + number(shape.radius) + "\"";
            break;
        case Shape::Kind::Ellipse:
            svg += "  <ellipse cx=\"" + number(r.center().x()) + "\" cy=\"" +
                   number(r.center().y()) + "\" rx=\"" + number(r.width() / 2) + "\" ry=\"" +
                   number(r.height() / 2) + "\"";
            break;
        case Shape::Kind::Polygon: {
            svg += "  <polygon points=\"";
            for (qsizetype i = 0; i < shape.points.size(); ++i)
                svg += (i ? " " : "") + number(shape.points[i].x()) + "," +
                       number(shape.points[i].y());
            svg += "\"";
            break;
        }
        }
        svg += " " + paint + "/>\n";
    }
    return svg + "</svg>\n";
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
