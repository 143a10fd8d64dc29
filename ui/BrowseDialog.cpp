#include "ui/BrowseDialog.h"

#include "ui/ExactText.h"

#include <QAbstractItemView>
#include <QCompleter>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QTimer>

namespace tavo::ui {

namespace {

// The nearest folder, from the one holding `path` upwards, that Qt can show; empty when the
// path names none.
QString ShownFolder(const QString& path) {
    if (path.trimmed().isEmpty())
        return {};
    QString folder = QFileInfo(QtPathFromText(path)).absolutePath();
    while (!QFileInfo(folder).isDir()) {
        const QString parent = QFileInfo(folder).absolutePath();
        if (parent == folder)
            return {};
        folder = parent;
    }
    return folder;
}

} // namespace

QStringList QtNameFilters(const QString& pipeFilter) {
    QStringList filters;
    const QStringList parts = pipeFilter.split(QLatin1Char('|'));
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i].trimmed();
        const QString pattern = parts[i + 1].trimmed();
        if (!description.contains(QLatin1Char('(')))
            description += QStringLiteral(" (") + pattern + QLatin1Char(')');
        filters << description;
    }
    // A lone description without its pattern still names a choice.
    if (parts.size() % 2 == 1 && !parts.last().trimmed().isEmpty())
        filters << parts.last().trimmed();
    return filters;
}

BrowseDialog::BrowseDialog(QWidget* parent) : dialog_(new QFileDialog(parent)) {
    dialog_->setObjectName(QStringLiteral("BrowseDialog"));
    dialog_->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog_->setDefaultSuffix(QStringLiteral("hex"));
    dialog_->setModal(true);
}

BrowseDialog::~BrowseDialog() = default; // the dialog is a child of the window

std::optional<QString> BrowseDialog::showOpen(const QString& title, const QString& pipeFilter,
                                              const QString& boxPath) {
    return show(title, pipeFilter, false, boxPath);
}

std::optional<QString> BrowseDialog::showSave(const QString& title, const QString& pipeFilter) {
    return show(title, pipeFilter, true, QString());
}

QLineEdit* BrowseDialog::nameBox() const {
    return dialog_->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
}

void BrowseDialog::hideCompletion() const {
    if (QLineEdit* name = nameBox(); name != nullptr && name->completer() != nullptr)
        name->completer()->popup()->hide();
}

void BrowseDialog::offerName() const {
    QLineEdit* name = nameBox();
    if (name == nullptr || !dialog_->isVisible())
        return;
    // The offered name is selected, so that typing a path replaces it.
    name->setFocus(Qt::OtherFocusReason);
    name->selectAll();
}

std::optional<QString> BrowseDialog::show(const QString& title, const QString& pipeFilter,
                                          bool save, const QString& boxPath) {
    dialog_->setWindowTitle(title);
    dialog_->setNameFilters(QtNameFilters(pipeFilter));
    dialog_->setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    // An open dialog only takes a file that is there, so a typing slip cannot quietly pick a
    // file that does not exist.
    dialog_->setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    QString folder = ShownFolder(boxPath);
    if (folder.isEmpty())
        folder = ShownFolder(lastFileName_);
    if (!folder.isEmpty())
        dialog_->setDirectory(folder);
    if (!lastFileName_.isEmpty())
        dialog_->selectFile(QFileInfo(lastFileName_).fileName());

    hideCompletion();
    QTimer::singleShot(0, dialog_, [this] { offerName(); });
    const int result = dialog_->exec();
    // The completion list is a window of its own and outlives the dialog's closing by Enter,
    // taking the next key pressed in the main window.
    hideCompletion();
    if (result != QDialog::Accepted)
        return std::nullopt;
    const QStringList files = dialog_->selectedFiles();
    if (files.isEmpty() || files.first().isEmpty())
        return std::nullopt;
    // Qt lists only names it can decode, so the chosen path is valid UTF-8: as TextFromBytes
    // would give it.
    lastFileName_ = QDir::toNativeSeparators(files.first());
    return lastFileName_;
}

} // namespace tavo::ui
