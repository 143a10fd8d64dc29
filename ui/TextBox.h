#pragma once

#include <QLineEdit>

class QMimeData;

namespace tavo::ui {

// A text box of the main window: selects its whole text whenever it gets the focus (also by a
// mouse click), and, when asked to, takes file drops and nothing else.
class TextBox final : public QLineEdit {
    Q_OBJECT

public:
    explicit TextBox(QWidget* parent = nullptr);

    // Only a list of files is accepted; the last file of the list ends up in the box. Text
    // dropped from elsewhere is refused instead of being inserted.
    void setAcceptsFileDrops(bool accepts);

signals:
    void gotFocus();

protected:
    void focusInEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    bool acceptsFileDrops_ = false;
    // The click that brought the focus would otherwise put the cursor where it landed and undo
    // the selection made on focus.
    bool reselectAfterClick_ = false;
};

// The local files of a drop, in list order, as TextFromFileUrl gives them; empty when the data is
// not a file list.
QStringList DroppedFiles(const QMimeData* data);

} // namespace tavo::ui
