#include "workbench/Workbench.h"

#include <exception>
#include <system_error>
#include <thread>
#include <unordered_set>

#include "base/Paths.h"
#include "command/DisplayCommands.h"
#include "command/Messages.h"

namespace skyvane {

void Workbench::DisplayThresholds::freeze()
{
    low_ = model_.LowThreshold();
    high_ = model_.HighThreshold();
    lowValue_ = model_.lowValue();
    highValue_ = model_.highValue();
    frozen_ = true;
}

Workbench::Workbench(Feedback& feedback, DisplaySink& displaySink, StatusSink& status)
    : thresholds_([this] { requestRedraw(); }), displayThresholds_(thresholds_), context_(feedback, displayThresholds_, displaySink, status)
{
    context_.thresholdModel = &thresholds_;
}

Workbench::~Workbench() = default;

void Workbench::start(const Settings& settings, const std::string& settingsPath)
{
    context_.settings = settings;
    context_.settingsPath = settingsPath;
    context_.display.setTransferFunction(settings.Equalisation);
    context_.lists.CreateStartupList(context_.settings.WorkingDirectory);
}

void Workbench::openImage(const std::string& path)
{
    Display& display = context_.display;
    ImageRecord& imageA = context_.imageA;
    if (display.isImageDisplayed()) {
        display.clearDisplay();
        imageA.clear();
    }
    if (!loadFitsReporting(imageA, path, feedback()))
        imageA.clear();
    const ImageGrid& grid = imageA.grid;
    // Once painted, an image is displayed; it is present when it has pixels.
    const bool present = !grid.empty();

    // Both threads only read Image A; the display is touched by the builder alone, and
    // Auto's redraw requests only mark the picture for its next use.
    displayThresholds_.freeze();
    buildingPicture_ = true;
    std::exception_ptr buildFailure;
    bool built = true;
    const auto build = [&display, &grid, &buildFailure, &built] {
        try {
            built = display.buildDisplay(grid);
        } catch (...) {
            buildFailure = std::current_exception(); // passed on after the join
        }
    };
    std::thread builder;
    try {
        builder = std::thread(build);
    } catch (const std::system_error&) {
        build();
    }
    std::exception_ptr autoFailure;
    bool autoDone = true;
    DisplayStretch stretch;
    bool stretched = false;
    try {
        // The thresholds follow the new values; a frame of any other values than whole
        // numbers within 0..32767 opens stretched, where Auto's picture would be black.
        thresholds_.followImage(grid);
        stretched = present && thresholds_.world() == ValueWorld::Any;
        autoDone = stretched ? thresholds_.autoStretch(present, grid, stretch) : thresholds_.autoThresholds(present, grid);
    } catch (...) {
        autoFailure = std::current_exception();
    }
    if (builder.joinable())
        builder.join();
    buildingPicture_ = false;
    displayThresholds_.thaw();
    if (buildFailure)
        std::rethrow_exception(buildFailure);
    if (autoFailure)
        std::rethrow_exception(autoFailure);
    // The equalisation changes only now that the builder is done with it; the redraws the
    // thresholds asked for draw through it.
    display.setTransferFunction(stretched && autoDone ? TransferFunction::Midtones(stretch.midtones) : context_.settings.Equalisation);

    if (built) {
        display.paintDisplay();
        if (!autoDone)
            ReportNotEnoughMemory(feedback(), grid.width(), grid.height());
        return;
    }
    // The image was read but its picture does not fit in memory: it is not shown, and let
    // go so as not to hold memory for an image nobody can see or use; Auto finds no image.
    ReportNotEnoughMemory(feedback(), grid.width(), grid.height(), path);
    imageA.clear();
    thresholds_.followImage(imageA.grid);
    (void)thresholds_.autoThresholds(false, imageA.grid);
}

void Workbench::autoThresholds()
{
    const ImageGrid& grid = context_.imageA.grid;
    if (!AutoDisplay(context_))
        ReportNotEnoughMemory(feedback(), grid.width(), grid.height());
}

void Workbench::autoStretch()
{
    const ImageGrid& grid = context_.imageA.grid;
    if (!StretchDisplay(context_))
        ReportNotEnoughMemory(feedback(), grid.width(), grid.height());
}

void Workbench::imageChanged()
{
    FollowImageA(context_);
}

void Workbench::requestRedraw()
{
    // Only a picture on display is redrawn; a picture built later is built through the
    // thresholds of that moment.
    if (context_.display.isImageDisplayed() || buildingPicture_)
        redrawPending_ = true;
    if (redrawListener_)
        redrawListener_();
}

void Workbench::finishRedraw()
{
    Display& display = context_.display;
    if (!redrawPending_)
        return;
    redrawPending_ = false;
    if (!display.isImageDisplayed())
        return;
    // Same size as the picture: recomputed in place, which needs no memory. Should the
    // sizes ever differ, the picture is built anew rather than read past its rows.
    const ImageGrid& grid = context_.imageA.grid;
    if (!display.refreshDisplay(grid, /*valuesChanged=*/false)) {
        ReportNotEnoughMemory(feedback(), grid.width(), grid.height());
        return;
    }
    display.repaintDisplay();
}

TreeItem Workbench::addFilesToList(const std::vector<std::string>& paths)
{
    if (paths.empty())
        return NoItem;
    // The paths are of one folder; the folder of the first is the folder.
    const std::string folder = PathFolder(paths.front());
    context_.settings.LastImageFolder = folder;
    ImageListTree& lists = context_.lists;
    const TreeItem list = lists.ListForFolder(folder);
    const int n = lists.ListPositionOfItem(list);

    // ListHasFile compares byte for byte against every file of the list; a set of the same
    // names answers the same question without walking the list once per chosen file.
    std::unordered_set<std::string> present;
    const int count = lists.FileCount(n);
    present.reserve(static_cast<std::size_t>(count) + paths.size());
    for (int k = 1; k <= count; ++k)
        present.insert(lists.FileLabel(n, k));

    TreeItem lastAdded = NoItem;
    for (const std::string& path : paths) {
        std::string name = PathFileName(path);
        if (present.insert(name).second) {
            const TreeItem file = lists.InsertFile(list, name);
            if (file != NoItem)
                lastAdded = file;
        }
    }
    if (lastAdded != NoItem)
        lists.Expand(list);
    return lastAdded;
}

bool Workbench::deleteListItem(TreeItem item)
{
    ImageListTree& lists = context_.lists;
    if (item == NoItem || !lists.Contains(item))
        return false;
    // Lists of the current working directory stay. The folder test is meant for list
    // labels only: a file item's label has no folder, and a one-character file name would
    // otherwise "match" an empty working directory and become undeletable.
    if (lists.Parent(item) == NoItem && LabelFolder(lists.ItemLabel(item)) == context_.settings.WorkingDirectory)
        return false;
    lists.DeleteItem(item);
    return true;
}

void Workbench::setWorkingDirectory(const std::string& folder)
{
    context_.settings.WorkingDirectory = folder;
    context_.lists.ReplaceWorkList(folder);
    (void)WriteSetting(context_.settingsPath, PathSection, WorkingPathKey, folder);
}

bool Workbench::saveImage(const std::string& path)
{
    const int setting = context_.settings.SaveFitsAs;
    const SampleFormat format = setting == SaveFitsFloat32      ? SampleFormat::Float32
                                : setting == SaveFitsUnsigned16 ? SampleFormat::Unsigned16
                                                                : SampleFormat::Integer16;
    return saveFitsReporting(context_.imageA, path, format, feedback());
}

bool Workbench::exportPicture(const std::string& path)
{
    finishRedraw();
    // The mapping the picture was just drawn through, for the 16-bit TIFF.
    const Display& display = context_.display;
    const PictureMapping mapping{display.thresholds().LowThreshold(), display.thresholds().HighThreshold(), display.transferFunction()};
    return exportPictureReporting(display.bitmap(), context_.imageA.grid, mapping, path, feedback());
}

void Workbench::submitCommand(const std::string& text, CommandWindowLink& commandWindow, const std::function<void()>& execute)
{
    context_.CommandSlot = text;
    commandWindow.sendReply(CodeEcho);
    if (execute)
        execute();
    else
        executeCommand(CodeExecute, commandWindow);
}

void Workbench::executeCommand(int code, CommandWindowLink& commandWindow)
{
    HandleExecuteMessage(context_, code, commandWindow);
}

} // namespace skyvane
