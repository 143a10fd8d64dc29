#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QFileDialog;
class QLineEdit;
class QWidget;

namespace tavo::ui {

// Turns a filter of description|pattern pairs ("Hex Files (*.hex)|*.hex|...") into the name
// filters a QFileDialog takes ("Hex Files (*.hex)", ...). A description that does not show its
// pattern gets it appended in parentheses, since that is where Qt reads the pattern from.
QStringList QtNameFilters(const QString& pipeFilter);

// The one file dialog of the main window, shared by both Browse buttons and File > Open / Save.
// Qt's own dialog (not the platform's) so it behaves the same everywhere. The default suffix is
// "hex" for every use, and the file chosen last, in any use, is offered again by the next. Paths
// go in and come out as TextFromBytes gives them.
class BrowseDialog {
public:
    explicit BrowseDialog(QWidget* parent);
    ~BrowseDialog();
    BrowseDialog(const BrowseDialog&) = delete;
    BrowseDialog& operator=(const BrowseDialog&) = delete;

    // The chosen file, or nothing when the dialog was cancelled. An open dialog starts in the
    // folder of boxPath (the path the caller's box holds) when there is one.
    std::optional<QString> showOpen(const QString& title, const QString& pipeFilter,
                                    const QString& boxPath = QString());
    std::optional<QString> showSave(const QString& title, const QString& pipeFilter);

    QFileDialog* dialog() const { return dialog_; }
    const QString& lastFileName() const { return lastFileName_; }

private:
    std::optional<QString> show(const QString& title, const QString& pipeFilter, bool save,
                                const QString& boxPath);
    QLineEdit* nameBox() const;
    void hideCompletion() const;
    void offerName() const;

    QFileDialog* dialog_;
    QString lastFileName_;
};

} // namespace tavo::ui
