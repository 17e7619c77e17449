#include "gui/WorkingDirectory.h"

#include <string>

#include <QFileInfo>

#include "gui/DialogProvider.h"
#include "workbench/Workbench.h"

namespace skyvane {

void ChooseWorkingDirectory(QWidget* owner, Workbench& workbench, DialogProvider& dialogs, const QString& title)
{
    const QString chosen = dialogs.chooseFolder(owner, title, QString::fromStdString(workbench.context().settings.WorkingDirectory));
    if (chosen.isEmpty())
        return;
    // A full folder path; an absolute choice is kept as given, byte for byte, because the
    // lists compare folders that way.
    const QString folder = QFileInfo(chosen).isAbsolute() ? chosen : QFileInfo(chosen).absoluteFilePath();
    workbench.setWorkingDirectory(folder.toStdString());
}

} // namespace skyvane
