#include "shell/qt/DialogProvider.h"

#include <QFileDialog>
#include <QMessageBox>

#include "shell/AppContext.h"
#include "shell/qt/Dialogs.h"
#include "shell/qt/PreferencesDialog.h"
#include "toolwindows/Paths.h"

namespace skyvane {

namespace {

const QString FitsFilter = QStringLiteral("Fits Files (*.fit);;All Files (*.*)");
const QString BitmapFilter = QStringLiteral("Bmp Files (*.bmp);;All Files (*.*)");
const QString NewImagesFilter = QStringLiteral("Fits images (*.fit);;All Files (*.*)");

} // namespace

QString QtDialogProvider::openFitsFile(QWidget* owner)
{
    return QFileDialog::getOpenFileName(owner, QString(), QString(), FitsFilter, nullptr, QFileDialog::ReadOnly);
}

QString QtDialogProvider::saveFitsFile(QWidget* owner)
{
    // QFileDialog asks before overwriting by default.
    return QFileDialog::getSaveFileName(owner, QString(), QString(), FitsFilter);
}

QString QtDialogProvider::saveBitmapFile(QWidget* owner)
{
    return QFileDialog::getSaveFileName(owner, QString(), QString(), BitmapFilter);
}

std::optional<double> QtDialogProvider::askConstant(QWidget* owner, const QString& prompt, double initial)
{
    EnterConstantDialog dialog(owner, prompt, initial);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.value();
}

QString QtDialogProvider::askImageList(QWidget* owner, const QString& prompt, const QStringList& tags)
{
    SelectImageListDialog dialog(owner, prompt, tags);
    dialog.exec();
    return dialog.result();
}

QString QtDialogProvider::askImageFile(QWidget* owner, const QString& startFolder)
{
    return QFileDialog::getOpenFileName(owner, QString(), startFolder, FitsFilter, nullptr, QFileDialog::ReadOnly);
}

QStringList QtDialogProvider::askNewImages(QWidget* owner, const QString& startFolder)
{
    QFileDialog dialog(owner, QString(), startFolder, NewImagesFilter);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setOption(QFileDialog::ReadOnly);
    dialog.setDefaultSuffix(QStringLiteral("fit"));
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
}

QString QtDialogProvider::chooseFolder(QWidget* owner, const QString& title, const QString& current)
{
    // The title is a prompt line ("\nPlease select a folder"); a window caption holds one line.
    return QFileDialog::getExistingDirectory(owner, title.trimmed(), current, QFileDialog::ShowDirsOnly);
}

void QtDialogProvider::showPreferences(QWidget* owner, AppContext& context)
{
    ShowPreferences(owner, context);
}

void QtDialogProvider::showAbout(QWidget* owner)
{
    const QString title = QString::fromLatin1(ApplicationTitle.data(), static_cast<qsizetype>(ApplicationTitle.size()));
    QMessageBox::about(owner, QStringLiteral("About"),
                       title + QStringLiteral("\nViewing and co-adding two-dimensional FITS images."));
}

} // namespace skyvane
