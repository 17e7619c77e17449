#pragma once

#include <optional>

#include <QString>
#include <QStringList>

class QWidget;

namespace skyvane {

struct AppContext;

// Every question the desktop program asks the user through a dialog. The program uses
// QtDialogProvider, which runs the real dialogs; tests inject the user's answers.
// An empty text / empty list / nullopt means the user cancelled.
class DialogProvider {
public:
    virtual ~DialogProvider() = default;

    // "Open FITS": open dialog, filters "Fits Files" (every FITS name: .fit, .fits, .fts
    // and their .gz forms) and "All Files (*.*)", starting in startFolder.
    virtual QString openFitsFile(QWidget* owner, const QString& startFolder) = 0;
    // "Save FITS": save dialog, "Fits Files (*.fit)" and "All Files (*.*)", starting in
    // startFolder; ".fit" is appended to a name typed without an extension, and then it
    // asks before overwriting.
    virtual QString saveFitsFile(QWidget* owner, const QString& startFolder) = 0;
    // "Export to BMP": save dialog, "Bmp Files (*.bmp)", "PNG Files (*.png)", "JPEG Files
    // (*.jpg *.jpeg)", "TIFF Files, 16 bits per sample (*.tif *.tiff)" and "All Files
    // (*.*)", as above with the suffix of the chosen filter (".bmp" at first); the name's
    // suffix chooses the format.
    virtual QString saveBitmapFile(QWidget* owner, const QString& startFolder) = 0;
    // AskConstant: the "Enter constant" dialog with the prompt as caption.
    virtual std::optional<double> askConstant(QWidget* owner, const QString& prompt, double initial) = 0;
    // AskImageList: the "Select image list" dialog over these tags; "" when nothing chosen.
    virtual QString askImageList(QWidget* owner, const QString& prompt, const QStringList& tags) = 0;
    // One of words, current preselected, in a dialog with prompt as caption; "" when
    // cancelled. The default shows the real dialog.
    virtual QString askChoice(QWidget* owner, const QString& prompt, const QStringList& words, const QString& current);
    // AskImageFile: one existing FITS file, starting in startFolder.
    virtual QString askImageFile(QWidget* owner, const QString& startFolder) = 0;
    // The same with a caption saying what the file is for ("Red plane"); askImageFile
    // unless a provider shows the caption.
    virtual QString askImageFile(QWidget* owner, const QString& startFolder, const QString& caption)
    {
        (void)caption;
        return askImageFile(owner, startFolder);
    }
    // "New image(s)": one or several existing files (full paths), starting in startFolder.
    virtual QStringList askNewImages(QWidget* owner, const QString& startFolder) = 0;
    // The working-directory folder chooser, preselecting `current`.
    virtual QString chooseFolder(QWidget* owner, const QString& title, const QString& current) = 0;
    // The Preferences dialog (it reads and writes the settings itself).
    virtual void showPreferences(QWidget* owner, AppContext& context) = 0;
    // "About": the program's name and version in a modal box.
    virtual void showAbout(QWidget* owner) = 0;
};

// The real dialogs.
class QtDialogProvider final : public DialogProvider {
public:
    QString openFitsFile(QWidget* owner, const QString& startFolder) override;
    QString saveFitsFile(QWidget* owner, const QString& startFolder) override;
    QString saveBitmapFile(QWidget* owner, const QString& startFolder) override;
    std::optional<double> askConstant(QWidget* owner, const QString& prompt, double initial) override;
    QString askImageList(QWidget* owner, const QString& prompt, const QStringList& tags) override;
    QString askImageFile(QWidget* owner, const QString& startFolder) override;
    QString askImageFile(QWidget* owner, const QString& startFolder, const QString& caption) override;
    QStringList askNewImages(QWidget* owner, const QString& startFolder) override;
    QString chooseFolder(QWidget* owner, const QString& title, const QString& current) override;
    void showPreferences(QWidget* owner, AppContext& context) override;
    void showAbout(QWidget* owner) override;
};

} // namespace skyvane
