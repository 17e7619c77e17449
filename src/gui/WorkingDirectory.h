#pragma once

#include <QString>

class QWidget;

namespace skyvane {

class DialogProvider;
class Workbench;

// "Working directory": asks for a folder (dialogs.chooseFolder, preselecting the working
// directory). A choice becomes the working directory (Workbench::setWorkingDirectory: its
// lists replaced by a new expanded [WORK<n>] list of its FITS files, "PATH" / "Working
// path" written to the settings file). LastImageFolder is left alone. Cancel changes
// nothing.
void ChooseWorkingDirectory(QWidget* owner, Workbench& workbench, DialogProvider& dialogs, const QString& title);

} // namespace skyvane
