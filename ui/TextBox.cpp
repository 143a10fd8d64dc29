#include "ui/TextBox.h"

#include "ui/ExactText.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFocusEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>

namespace tavo::ui {

TextBox::TextBox(QWidget* parent) : QLineEdit(parent) {}

void TextBox::setAcceptsFileDrops(bool accepts) {
    acceptsFileDrops_ = accepts;
    setAcceptDrops(accepts);
}

void TextBox::focusInEvent(QFocusEvent* event) {
    QLineEdit::focusInEvent(event);
    reselectAfterClick_ = event->reason() == Qt::MouseFocusReason;
    emit gotFocus();
}

void TextBox::mousePressEvent(QMouseEvent* event) {
    QLineEdit::mousePressEvent(event);
    if (reselectAfterClick_) {
        reselectAfterClick_ = false;
        emit gotFocus();
    }
}

QStringList DroppedFiles(const QMimeData* data) {
    QStringList files;
    if (data == nullptr || !data->hasUrls())
        return files;
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile())
            files << TextFromFileUrl(url);
    }
    return files;
}

void TextBox::dragEnterEvent(QDragEnterEvent* event) {
    if (acceptsFileDrops_ && !DroppedFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void TextBox::dragMoveEvent(QDragMoveEvent* event) {
    if (acceptsFileDrops_ && !DroppedFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void TextBox::dropEvent(QDropEvent* event) {
    const QStringList files = acceptsFileDrops_ ? DroppedFiles(event->mimeData()) : QStringList();
    if (files.isEmpty()) {
        event->ignore();
        return;
    }
    // Each file replaces the one before, so the last of the list remains.
    for (const QString& file : files)
        setText(file);
    event->acceptProposedAction();
}

} // namespace tavo::ui
