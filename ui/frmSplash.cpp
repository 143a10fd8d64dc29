#include "ui/frmSplash.h"

#include "app/AppInfo.h"
#include "ui/Artwork.h"

#include <QFont>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

namespace tavo::ui {

namespace {

// Positions below are in pixels: the design's twips divided by 15.
constexpr int kWidth = 616;
constexpr int kHeight = 364;

QFont LabelFont(const char* family, qreal points, bool bold) {
    QFont font{QString::fromLatin1(family)};
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, const QRect& place,
                  const QFont& font, Qt::Alignment align) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setFont(font);
    label->setAlignment(align | Qt::AlignVCenter);
    label->setGeometry(place);
    return label;
}

// "Sized to its text": the label grows or shrinks to its text, keeping its left edge, or its
// right edge when it is right-aligned. Where the named font is not at hand its stand-in may be
// wider; the text then gets a smaller size rather than run past the frame.
void SizeToText(QLabel* label, int frameWidth) {
    constexpr int kMargin = 8;
    const QRect before = label->geometry();
    const bool right = label->alignment() & Qt::AlignRight;
    const int room = right ? before.right() - kMargin : frameWidth - kMargin - before.left();
    QFont font = label->font();
    while (font.pointSizeF() > 6 && QFontMetrics(font).horizontalAdvance(label->text()) > room)
        font.setPointSizeF(font.pointSizeF() - 0.25);
    label->setFont(font);
    label->adjustSize();
    QRect after(before.topLeft(), label->size());
    if (right)
        after.moveRight(before.right());
    label->setGeometry(after);
}

} // namespace

QString DisclaimerText() {
    return QStringLiteral(
        "Warning: This software is provided by Brenvik Inc. \"as is\", without warranty of any "
        "kind, express or implied, including but not limited to the warranties of "
        "merchantability, fitness for a particular purpose and non-infringement. The entire risk "
        "as to the quality, performance and results of using this software, and of programming "
        "any device with it, is borne by you. Brenvik Inc. does not warrant that the software "
        "will meet your requirements or operate without interruption or error. In no event "
        "shall Brenvik Inc. or its suppliers be liable for any direct, indirect, incidental, "
        "special or consequential damages, including lost profits, lost data, damaged hardware "
        "or business interruption, arising out of the use of or the inability to use this "
        "software, even if advised of the possibility of such damages. In any case the entire "
        "liability of Brenvik Inc. shall be limited to the purchase price actually paid for the "
        "product.");
}

frmSplash::frmSplash(QWidget* parent) : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint) {
    setObjectName(QStringLiteral("frmSplash"));
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(kWidth, kHeight);
    setFocusPolicy(Qt::StrongFocus);

    Frame1 = new QFrame(this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setFrameShape(QFrame::Box);
    Frame1->setFrameShadow(QFrame::Sunken);
    Frame1->setGeometry(8, 0, 599, 357);
    Frame1->installEventFilter(this);
    const int frameWidth = Frame1->width();

    imgLogo = new QLabel(Frame1);
    imgLogo->setObjectName(QStringLiteral("imgLogo"));
    imgLogo->setGeometry(16, 64, 209, 71);
    imgLogo->setScaledContents(true);
    imgLogo->setPixmap(CompanyLogo(imgLogo->size() * 2));

    Label1 =
        MakeLabel(Frame1, "Label1", QStringLiteral("www.brenvik.example"), QRect(24, 144, 201, 17),
                  LabelFont("MS Sans Serif", 9.75, true), Qt::AlignHCenter);
    lblCompanyProduct =
        MakeLabel(Frame1, "lblCompanyProduct", QStringLiteral("    Brenvik Inc."),
                  QRect(232, 24, 309, 29), LabelFont("Arial", 18, true), Qt::AlignLeft);
    lblProductName = MakeLabel(Frame1, "lblProductName", QString(), QRect(248, 56, 334, 51),
                               LabelFont("Arial", 32.25, true), Qt::AlignLeft);
    // The platforms this build runs on.
    lblPlatform =
        MakeLabel(Frame1, "lblPlatform", QStringLiteral("Linux, Windows"), QRect(268, 112, 261, 24),
                  LabelFont("Arial", 15.75, true), Qt::AlignRight);
    lblVersion = MakeLabel(Frame1, "lblVersion", QString(), QRect(344, 144, 94, 19),
                           LabelFont("Arial", 12, true), Qt::AlignRight);
    lblCompany =
        MakeLabel(Frame1, "lblCompany", QStringLiteral(" Brenvik Inc."), QRect(344, 184, 161, 17),
                  LabelFont("Arial", 8.25, false), Qt::AlignLeft);
    lblWarning = MakeLabel(Frame1, "lblWarning", DisclaimerText(), QRect(8, 220, 577, 125),
                           LabelFont("Arial", 8.25, false), Qt::AlignLeft);
    lblWarning->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblWarning->setWordWrap(true);

    // Clicks on the logo and the labels must not fall through to the frame and close the window.
    for (QWidget* w :
         {static_cast<QWidget*>(imgLogo), static_cast<QWidget*>(Label1),
          static_cast<QWidget*>(lblCompanyProduct), static_cast<QWidget*>(lblProductName),
          static_cast<QWidget*>(lblPlatform), static_cast<QWidget*>(lblVersion),
          static_cast<QWidget*>(lblCompany), static_cast<QWidget*>(lblWarning)})
        w->installEventFilter(this);

    Form_Load();
    for (QLabel* label : {lblCompanyProduct, lblProductName, lblPlatform, lblVersion})
        SizeToText(label, frameWidth);
}

void frmSplash::Form_Load() {
    lblVersion->setText(QString::fromStdString(app::VersionLine()));
    lblProductName->setText(QString::fromUtf8(app::kTitle));
}

void frmSplash::paintEvent(QPaintEvent*) {
    // The fixed dialog frame the window has instead of a title bar.
    QPainter p(this);
    p.setPen(palette().color(QPalette::Dark));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    p.setPen(palette().color(QPalette::Light));
    p.drawRect(rect().adjusted(1, 1, -2, -2));
}

void frmSplash::keyPressEvent(QKeyEvent* event) {
    // Only keys that produce a character close the window; Shift, Ctrl and the like do not.
    if (event->text().isEmpty()) {
        QWidget::keyPressEvent(event);
        return;
    }
    close();
}

void frmSplash::Frame1_Click() {
    close();
}

bool frmSplash::eventFilter(QObject* watched, QEvent* event) {
    const bool isClick = event->type() == QEvent::MouseButtonPress ||
                         event->type() == QEvent::MouseButtonRelease ||
                         event->type() == QEvent::MouseButtonDblClick;
    if (!isClick)
        return QWidget::eventFilter(watched, event);
    if (watched == Frame1) {
        if (event->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton &&
            Frame1->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint()))
            Frame1_Click();
        return true;
    }
    return true; // a label or the logo: swallowed
}

} // namespace tavo::ui
