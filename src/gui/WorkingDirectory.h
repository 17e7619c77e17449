#pragma once

#include <QString>

class QWidget;

namespace skyvane {

struct AppContext;
class DialogProvider;

// "Working directory": asks for a folder (dialogs.chooseFolder, preselecting the working
// directory). On a choice the folder becomes WorkingDirectory, its lists are replaced by a
// new expanded [WORK<n>] list holding its *.fit files (ImageListTree::ReplaceWorkList),
// and "PATH" / "Working path" is written to context.settingsPath. LastImageFolder is left
// alone. Cancel changes nothing.
void ChooseWorkingDirectory(QWidget* owner, AppContext& context, DialogProvider& dialogs, const QString& title);

} // namespace skyvane
