#include "gui/WorkingDirectory.h"

#include <string>

#include <QFileInfo>

#include "context/AppContext.h"
#include "context/Settings.h"
#include "gui/DialogProvider.h"

namespace skyvane {

void ChooseWorkingDirectory(QWidget* owner, AppContext& context, DialogProvider& dialogs, const QString& title)
{
    const QString chosen = dialogs.chooseFolder(owner, title, QString::fromStdString(context.settings.WorkingDirectory));
    if (chosen.isEmpty())
        return;
    // A full folder path; an absolute choice is kept as given, byte for byte, because the
    // lists compare folders that way.
    const QString folder = QFileInfo(chosen).isAbsolute() ? chosen : QFileInfo(chosen).absoluteFilePath();
    const std::string path = folder.toStdString();

    context.settings.WorkingDirectory = path;
    context.lists.ReplaceWorkList(path);
    // A failed write is not reported; the run-time value has changed all the same.
    (void)WriteSetting(context.settingsPath, PathSection, WorkingPathKey, path);
}

} // namespace skyvane
