#include "ui/BrowseDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace tavo::ui {

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

std::optional<QString> BrowseDialog::showOpen(const QString& title, const QString& pipeFilter) {
    return show(title, pipeFilter, false);
}

std::optional<QString> BrowseDialog::showSave(const QString& title, const QString& pipeFilter) {
    return show(title, pipeFilter, true);
}

std::optional<QString> BrowseDialog::show(const QString& title, const QString& pipeFilter,
                                          bool save) {
    dialog_->setWindowTitle(title);
    dialog_->setNameFilters(QtNameFilters(pipeFilter));
    dialog_->setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    // An open dialog only takes a file that is there, so a typing slip cannot quietly pick a
    // file that does not exist.
    dialog_->setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (!lastFileName_.isEmpty()) {
        dialog_->setDirectory(QFileInfo(lastFileName_).absolutePath());
        dialog_->selectFile(QFileInfo(lastFileName_).fileName());
    }
    if (dialog_->exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList files = dialog_->selectedFiles();
    if (files.isEmpty() || files.first().isEmpty())
        return std::nullopt;
    lastFileName_ = QDir::toNativeSeparators(files.first());
    return lastFileName_;
}

} // namespace tavo::ui
