// The Image list window against a bare QTreeWidget: building a list of 2,000 files (from
// a folder as the working directory, and through "New image(s)") and every Select command
// on it, each compared with inserting 2,000 rows into a QTreeWidget with nothing behind it.
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include <QApplication>
#include <QTreeWidget>

#include <benchmark/benchmark.h>

#include "context/AppContext.h"
#include "gui/ImageListWindow.h"
#include "workbench/Workbench.h"

#include "QtBenchSupport.h"

namespace {

using namespace skyvane;
using bench::CountingFeedback;
using bench::NoDialogs;
using bench::RunBenchmarks;
namespace fs = std::filesystem;

constexpr int FileCount = 2000;

std::string FileName(int i)
{
    return "frame_" + std::to_string(100000 + i) + ".fit";
}

// A folder of FileCount empty *.fit files, made once and removed at exit.
struct Folder {
    fs::path path;
    Folder()
    {
        path = fs::temp_directory_path() / ("skyvane_qtbench_" + std::to_string(::getpid()));
        fs::create_directories(path);
        for (int i = 0; i < FileCount; ++i)
            std::ofstream(path / FileName(i)).put('\n');
    }
    ~Folder()
    {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

Folder& TheFolder()
{
    static Folder folder;
    return folder;
}

class NullDisplay final : public DisplaySink {
public:
    void bitmapCreated(const DisplayBitmap&) override {}
    void bitmapChanged(const DisplayBitmap&) override {}
    void bitmapCleared() override {}
};

// Dialogs that answer the question for new images with files.
class ListDialogs final : public NoDialogs {
public:
    QStringList askNewImages(QWidget*, const QString&) override { return files; }
    QStringList files;
};

// An Image list window over an empty working directory text ("[WORK] = " with no files).
struct WindowFixture {
    CountingFeedback messages;
    NullDisplay display;
    NullStatusSink status;
    Workbench workbench{messages, display, status};
    AppContext& context = workbench.context();
    ToolWindowTable table;
    ListDialogs dialogs;
    std::unique_ptr<ImageListWindow> window;

    WindowFixture()
    {
        Settings settings;
        settings.WorkingDirectory = (TheFolder().path / "none").string();
        workbench.start(settings, "");
        window = std::make_unique<ImageListWindow>(table, workbench, dialogs, nullptr, QRect(900, 100, 300, 500));
        QApplication::processEvents();
    }
    void settle()
    {
        window->treeView()->doItemsLayout();
        QApplication::processEvents();
    }
};

// The reference: FileCount rows with text and icon under one expanded top-level row.
void BM_BareTreeWidgetInsert(benchmark::State& state)
{
    const QIcon& icon = TreeIconPicture(IconSelected);
    QStringList names;
    for (int i = 0; i < FileCount; ++i)
        names << QString::fromStdString(FileName(i));
    QTreeWidget tree;
    tree.setHeaderHidden(true);
    tree.resize(300, 500);
    tree.show();
    for (auto _ : state) {
        auto* list = new QTreeWidgetItem(&tree, QStringList{QStringLiteral("[WORK] = folder")});
        list->setIcon(0, TreeIconPicture(IconClosedFolder));
        list->setExpanded(true);
        for (const QString& name : names) {
            auto* row = new QTreeWidgetItem(list, QStringList{name});
            row->setIcon(0, icon);
        }
        tree.doItemsLayout();
        QApplication::processEvents();
        state.PauseTiming();
        delete list;
        QApplication::processEvents();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * FileCount);
}
BENCHMARK(BM_BareTreeWidgetInsert)->Unit(benchmark::kMillisecond);

// The working-directory command's part: a new WORK list for the folder, its files read
// from the directory. Removing the list of the run before is not timed, as the reference
// does not time removing its rows.
void BM_WorkListFromFolder(benchmark::State& state)
{
    WindowFixture f;
    const std::string folder = TheFolder().path.string();
    for (auto _ : state) {
        f.context.lists.ReplaceWorkList(folder);
        f.settle();
        state.PauseTiming();
        f.context.lists.DeleteItem(f.context.lists.ListItem(f.context.lists.ListCount()));
        f.settle();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * FileCount);
}
BENCHMARK(BM_WorkListFromFolder)->Unit(benchmark::kMillisecond);

// "New image(s)" with FileCount files into a folder that has no list yet.
void BM_NewImages(benchmark::State& state)
{
    WindowFixture f;
    for (int i = 0; i < FileCount; ++i)
        f.dialogs.files << QString::fromStdString((TheFolder().path / FileName(i)).string());
    for (auto _ : state) {
        f.window->runCommand(ImageListWindow::NewImagesId);
        f.settle();
        state.PauseTiming();
        f.context.lists.DeleteItem(f.context.lists.ListItem(2));
        f.settle();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * FileCount);
}
BENCHMARK(BM_NewImages)->Unit(benchmark::kMillisecond);

// One menu-bar Select command on the current file of a FileCount list. Select all and
// Deselect all alternate, so that every run changes every file.
void SelectCommand(benchmark::State& state, int first, int second)
{
    WindowFixture f;
    f.context.lists.ReplaceWorkList(TheFolder().path.string());
    f.settle();
    const int n = f.context.lists.ListCount();
    f.window->tree()->setCurrentItem(f.window->treeView()->itemOf(f.context.lists.FileItem(n, 1)));
    bool flip = false;
    for (auto _ : state) {
        f.window->runCommand(flip ? second : first);
        flip = !flip;
        QApplication::processEvents();
    }
    state.SetItemsProcessed(state.iterations() * FileCount);
}
void BM_SelectAllDeselectAll(benchmark::State& state)
{
    SelectCommand(state, ImageListWindow::DeselectAllId, ImageListWindow::SelectAllId);
}
BENCHMARK(BM_SelectAllDeselectAll)->Unit(benchmark::kMillisecond);
void BM_InvertSelection(benchmark::State& state)
{
    SelectCommand(state, ImageListWindow::InvertSelectionId, ImageListWindow::InvertSelectionId);
}
BENCHMARK(BM_InvertSelection)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    TheFolder();
    return RunBenchmarks(argc, argv);
}
