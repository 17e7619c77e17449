#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/Feedback.h"
#include "command/CommandProtocol.h"
#include "context/AppContext.h"
#include "context/StatusSink.h"
#include "display/DisplayBitmap.h"
#include "display/ThresholdModel.h"
#include "lists/ImageListTree.h"

namespace skyvane {

// One run of the program: the context (Image A, Image B, the settings, the image lists,
// the display), the threshold model, and what the program does with them whatever the
// front end: the opening sequence, the deferred redraw, adding files to a list, saving,
// exporting, and the submission and execution of commands. The desktop program's windows
// and the batch tool only turn their user's actions into these calls and show the
// results; the user is reached through feedback (messages), displaySink (the picture)
// and status (the status bar).
class Workbench {
public:
    Workbench(Feedback& feedback, DisplaySink& displaySink, StatusSink& status);
    Workbench(const Workbench&) = delete;
    Workbench& operator=(const Workbench&) = delete;
    ~Workbench();

    AppContext& context() { return context_; }
    const AppContext& context() const { return context_; }
    ThresholdModel& thresholds() { return thresholds_; }
    Feedback& feedback() { return context_.messages; }

    // The settings of the run (read from settingsPath, where changes are written), the
    // display's equalisation from them, and the start-up list of the working directory.
    void start(const Settings& settings, const std::string& settingsPath);

    // "Open FITS", "Display" and the file named at start: what is displayed goes first;
    // then the file is loaded into Image A, its picture built and painted, and Auto sets
    // the thresholds (with the chosen equalisation) for an image of whole numbers within
    // 0..32767, Auto stretch for any other. A file that cannot be read whole (its messages have been shown) is
    // no image: Image A is left empty, as after a file that cannot be opened at all, rather
    // than showing a half-read frame. An image whose picture does not fit in memory is
    // not shown and let go ("Not enough memory ..." naming the file). Auto's median needs
    // only the pixels, so the picture is built beside it, through the thresholds as they
    // were; the thresholds Auto sets are drawn by the deferred redraw.
    void openImage(const std::string& path);

    // Auto with Image A: the automatic thresholds, or the full range when there is no
    // image, with the chosen equalisation. "Not enough memory ..." when the median's
    // memory cannot be had (the thresholds stay).
    void autoThresholds();
    // Auto stretch with Image A (StretchDisplay); "Not enough memory ..." as Auto.
    void autoStretch();
    // Image A was changed by other means than a command or opening (the thresholds follow
    // its values, FollowImageA).
    void imageChanged();

    // The deferred redraw. Every threshold change asks for one (a trackbar step asks
    // twice); the picture is recomputed once, through the thresholds of that moment, when
    // it is next needed: finishRedraw, called before painting, exporting or looking at the
    // picture. The listener hears of every request (the desktop program schedules a
    // paint).
    void requestRedraw();
    void finishRedraw();
    bool redrawPending() const { return redrawPending_; }
    void setRedrawListener(std::function<void()> listener) { redrawListener_ = std::move(listener); }

    // "New image(s)": the files (full paths of one folder) join the list of their folder
    // (made when missing), selected, in the order given; names the list already holds are
    // skipped. The folder becomes the first folder of the next choice. The list is opened
    // when a file was added. Returns the last file added, NoItem when none was.
    TreeItem addFilesToList(const std::vector<std::string>& paths);
    // "Delete item": a file, or a list with its files, except the lists of the working
    // directory. False when the item stays.
    bool deleteListItem(TreeItem item);
    // A new working directory: its lists are replaced by a new [WORK<n>] list of its FITS
    // files, opened, and "Working path" is written to the settings file (a failed write
    // is not reported; the run goes on with the new folder).
    void setWorkingDirectory(const std::string& folder);

    // Image A saved as FITS in the format of "Save FITS as" / the picture exported (the
    // deferred redraw done first) as a bitmap, PNG, JPEG or 16-bit TIFF by the name's
    // suffix (PictureFormatOfName), failures told, and values a 16-bit save changed told as
    // a notice. True when the file was written.
    [[nodiscard]] bool saveImage(const std::string& path);
    [[nodiscard]] bool exportPicture(const std::string& path);

    // A command composed by the program (a menu) or given by the batch tool: CommandSlot :=
    // text, echo (104) to the command window, then execute: by default at once
    // (executeCommand with 101); the desktop program passes its own synchronous send of the
    // execute message, whose handler calls executeCommand.
    void submitCommand(const std::string& text, CommandWindowLink& commandWindow, const std::function<void()>& execute = {});
    // The execute message with its code: only 101 (low 16 bits) runs CommandSlot (see
    // HandleExecuteMessage).
    void executeCommand(int code, CommandWindowLink& commandWindow);

private:
    // The thresholds as the display reads them: the model's, or a copy of them taken while
    // the opening sequence builds the picture on a second thread as Auto changes the model
    // on the first.
    class DisplayThresholds final : public ThresholdSource {
    public:
        explicit DisplayThresholds(const ThresholdModel& model) : model_(model) {}
        int LowThreshold() const override { return frozen_ ? low_ : model_.LowThreshold(); }
        int HighThreshold() const override { return frozen_ ? high_ : model_.HighThreshold(); }
        double lowValue() const override { return frozen_ ? lowValue_ : model_.lowValue(); }
        double highValue() const override { return frozen_ ? highValue_ : model_.highValue(); }
        void freeze();
        void thaw() { frozen_ = false; }

    private:
        const ThresholdModel& model_;
        bool frozen_ = false;
        int low_ = 0;
        int high_ = 0;
        double lowValue_ = 0.0;
        double highValue_ = 0.0;
    };

    ThresholdModel thresholds_;
    DisplayThresholds displayThresholds_;
    AppContext context_;
    std::function<void()> redrawListener_;
    bool redrawPending_ = false;
    bool buildingPicture_ = false; // the opening sequence builds the picture beside Auto
};

} // namespace skyvane
