#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include "gui/DialogProvider.h"
#include "gui/ImageListWindow.h"
#include "gui/WorkingDirectory.h"
#include "support/GuiTestSupport.h"
#include "support/ScriptedDialogs.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::TestWorkbench;
using test::WriteFileBytes;

using FolderDialogs = test::ScriptedDialogs;

std::string Bytes(const std::string& path)
{
    const std::vector<unsigned char> b = ReadFileBytes(path);
    return std::string(b.begin(), b.end());
}

void Touch(const std::string& path)
{
    WriteFileBytes(path, "");
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

const QString Title = QStringLiteral("\nPlease select a folder");

class WorkingDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : {"b.fit", "a.fit", "notes.txt"})
            Touch(work.file(name));
        for (const char* name : {"n2.fit", "n1.FIT"})
            Touch(next.file(name));
        workDir = work.path().string();
        nextDir = next.path().string();
        ini = config.file("Skyvane.ini");
        WriteFileBytes(ini, "[PATH]\nWorking path=" + workDir + "\n[Image processing parameters]\nHeaders combo 1=1\n");
        ctx.workbench.start(LoadSettings(ini), ini);
        window = std::make_unique<ImageListWindow>(table, ctx.workbench, dialogs, nullptr, QRect(900, 100, 300, 500));
    }

    // The lists as the view shows them: label (+ when expanded), then the files.
    std::string shown()
    {
        std::string s;
        QTreeWidget* tree = window->tree();
        for (int i = 0; i < tree->topLevelItemCount(); ++i) {
            QTreeWidgetItem* list = tree->topLevelItem(i);
            s += list->text(0).toStdString() + (list->isExpanded() ? " +" : "") + "\n";
            for (int k = 0; k < list->childCount(); ++k)
                s += "  " + list->child(k)->text(0).toStdString() + " " +
                     list->child(k)->data(0, Qt::AccessibleDescriptionRole).toString().toStdString() + "\n";
        }
        return s;
    }

    TempDir work;
    TempDir next;
    TempDir config;
    std::string workDir;
    std::string nextDir;
    std::string ini;
    TestWorkbench ctx;
    ToolWindowTable table;
    FolderDialogs dialogs;
    std::unique_ptr<ImageListWindow> window;
};

TEST_F(WorkingDirectoryTest, ChoosingTheCurrentFolderReplacesWorkByWork2)
{
    ctx.context.lists.ToggleFile(ctx.context.lists.FileItem(1, 1)); // forgotten with the list
    dialogs.answers = {Q(workDir)};
    ChooseWorkingDirectory(window.get(), ctx.workbench, dialogs, Title);

    ASSERT_EQ(dialogs.titles.size(), 1);
    EXPECT_EQ(dialogs.titles[0], Title);
    EXPECT_EQ(dialogs.startFolders[0], Q(workDir));
    EXPECT_EQ(dialogs.owners[0], window.get());
    EXPECT_EQ(shown(), "[WORK2] = " + workDir + " +\n  a.fit selected\n  b.fit selected\n");
    EXPECT_EQ(ctx.context.settings.WorkingDirectory, workDir);
    EXPECT_EQ(Bytes(ini), "[PATH]\nWorking path=" + workDir + "\n[Image processing parameters]\nHeaders combo 1=1\n");
}

TEST_F(WorkingDirectoryTest, ANewFolderDropsItsListsAndAddsTheNextWorkList)
{
    // A PATH list of the new folder, made by "New image(s)", goes; the old WORK list stays.
    ctx.context.settings.LastImageFolder = "/last/images";
    dialogs.newImages = {Q(nextDir + "/n2.fit")};
    window->runCommand(ImageListWindow::NewImagesId);
    ASSERT_EQ(ctx.context.lists.ListLabel(2), "[PATH] = " + nextDir);
    const std::string lastFolder = ctx.context.settings.LastImageFolder;

    dialogs.answers = {Q(nextDir)};
    ChooseWorkingDirectory(window.get(), ctx.workbench, dialogs, Title);
    EXPECT_EQ(shown(), "[WORK] = " + workDir + " +\n  a.fit selected\n  b.fit selected\n" +
                           "[WORK2] = " + nextDir + " +\n  n1.FIT selected\n  n2.fit selected\n");
    EXPECT_EQ(ctx.context.settings.WorkingDirectory, nextDir);
    EXPECT_EQ(ctx.context.settings.LastImageFolder, lastFolder);
    EXPECT_EQ(ReadProfileString(ini, PathSection, WorkingPathKey), nextDir);
    EXPECT_EQ(Bytes(ini), "[PATH]\nWorking path=" + nextDir + "\n[Image processing parameters]\nHeaders combo 1=1\n");

    // Back to the first folder: its [WORK] goes, [WORK3] comes; the chooser starts in the
    // folder chosen last.
    dialogs.answers = {Q(workDir)};
    ChooseWorkingDirectory(window.get(), ctx.workbench, dialogs, Title);
    EXPECT_EQ(dialogs.startFolders.back(), Q(nextDir));
    EXPECT_EQ(shown(), "[WORK2] = " + nextDir + " +\n  n1.FIT selected\n  n2.fit selected\n" +
                           "[WORK3] = " + workDir + " +\n  a.fit selected\n  b.fit selected\n");
    EXPECT_EQ(ctx.context.settings.WorkingDirectory, workDir);
}

TEST_F(WorkingDirectoryTest, CancelChangesNothing)
{
    const std::string before = shown();
    const std::string bytes = Bytes(ini);
    dialogs.answers.clear();
    ChooseWorkingDirectory(window.get(), ctx.workbench, dialogs, Title);
    EXPECT_EQ(dialogs.titles.size(), 1);
    EXPECT_EQ(shown(), before);
    EXPECT_EQ(Bytes(ini), bytes);
    EXPECT_EQ(ctx.context.settings.WorkingDirectory, workDir);
    EXPECT_EQ(ctx.context.lists.WorkListCounter, 1);
}

TEST_F(WorkingDirectoryTest, AMissingSettingsFileIsCreatedWithThePath)
{
    const std::string fresh = config.file("sub/Skyvane.ini");
    ctx.context.settingsPath = fresh;
    dialogs.answers = {Q(nextDir)};
    ChooseWorkingDirectory(window.get(), ctx.workbench, dialogs, Title);
    EXPECT_EQ(Bytes(fresh), "[PATH]\nWorking path=" + nextDir + "\n");
}

} // namespace
} // namespace skyvane
