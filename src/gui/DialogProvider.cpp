#include "gui/DialogProvider.h"

#include <algorithm>

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QRegularExpression>

#include "base/Paths.h"
#include "context/AppContext.h"
#include "gui/Dialogs.h"
#include "gui/PreferencesDialog.h"

namespace skyvane {

namespace {

// Files are opened under every name FITS files have, as a folder's image list takes them
// (IsFitsName; the dialog matches them in any case); a saved file is named ".fit".
const QString OpenFitsFilter = QStringLiteral("Fits Files (*.fit *.fits *.fts *.fit.gz *.fits.gz *.fts.gz *.fz);;All Files (*.*)");
const QString SaveFitsFilter = QStringLiteral("Fits Files (*.fit);;All Files (*.*)");
// The picture's formats, the bitmap first; each filter's first pattern gives the suffix of
// a name typed without one.
const QString PictureFilter = QStringLiteral(
    "Bmp Files (*.bmp);;PNG Files (*.png);;JPEG Files (*.jpg *.jpeg);;TIFF Files, 16 bits per sample (*.tif *.tiff);;All Files (*.*)");
const QString NewImagesFilter = QStringLiteral("Fits images (*.fit *.fits *.fts *.fit.gz *.fits.gz *.fts.gz);;All Files (*.*)");

// A save dialog that asks before overwriting. A name typed without an extension gets
// "." + suffix, whichever filter is chosen (the files are of that type either way, and "*.*"
// would not even list a name without a dot); the dialog appends it before it looks for an
// existing file, so the question is asked about the name that is really written.
QString SaveFileName(QWidget* owner, const QString& startFolder, const QString& filter, const QString& suffix,
                     bool suffixOfFilter = false)
{
    QFileDialog dialog(owner, QString(), startFolder, filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(suffix);
    if (suffixOfFilter) {
        // The chosen filter's format is the one a name without a suffix is written in;
        // "All Files" keeps the suffix of the filter before it.
        QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& chosen) {
            const qsizetype star = chosen.indexOf(QStringLiteral("(*."));
            const qsizetype end = star < 0 ? -1 : chosen.indexOf(QRegularExpression(QStringLiteral("[ )]")), star + 3);
            const QString pattern = end < 0 ? QString() : chosen.mid(star + 3, end - star - 3);
            if (!pattern.isEmpty() && pattern != QStringLiteral("*"))
                dialog.setDefaultSuffix(pattern);
        });
    }
    if (dialog.exec() != QDialog::Accepted)
        return {};
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.front();
}

} // namespace

QString QtDialogProvider::openFitsFile(QWidget* owner, const QString& startFolder)
{
    return QFileDialog::getOpenFileName(owner, QString(), startFolder, OpenFitsFilter, nullptr, QFileDialog::ReadOnly);
}

QString QtDialogProvider::saveFitsFile(QWidget* owner, const QString& startFolder)
{
    return SaveFileName(owner, startFolder, SaveFitsFilter, QStringLiteral("fit"));
}

QString QtDialogProvider::saveBitmapFile(QWidget* owner, const QString& startFolder)
{
    return SaveFileName(owner, startFolder, PictureFilter, QStringLiteral("bmp"), true);
}

std::optional<double> QtDialogProvider::askConstant(QWidget* owner, const QString& prompt, double initial)
{
    EnterConstantDialog dialog(owner, prompt, initial);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.value();
}

QString DialogProvider::askChoice(QWidget* owner, const QString& prompt, const QStringList& words, const QString& current)
{
    bool accepted = false;
    const QString word = QInputDialog::getItem(owner, prompt, prompt, words, std::max(0, static_cast<int>(words.indexOf(current))), false, &accepted);
    return accepted ? word : QString();
}

QString QtDialogProvider::askImageList(QWidget* owner, const QString& prompt, const QStringList& tags)
{
    SelectImageListDialog dialog(owner, prompt, tags);
    dialog.exec();
    return dialog.result();
}

QString QtDialogProvider::askImageFile(QWidget* owner, const QString& startFolder)
{
    return QFileDialog::getOpenFileName(owner, QString(), startFolder, OpenFitsFilter, nullptr, QFileDialog::ReadOnly);
}

QString QtDialogProvider::askImageFile(QWidget* owner, const QString& startFolder, const QString& caption)
{
    return QFileDialog::getOpenFileName(owner, caption, startFolder, OpenFitsFilter, nullptr, QFileDialog::ReadOnly);
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
