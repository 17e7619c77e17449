#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "lists/ImageListTree.h"
#include "processing/FrameQuality.h"

namespace skyvane {

struct AppContext;
class Feedback;

// The stacking commands that have a file of their own beside the command table: the
// quality of a list's frames ("measure [LIST]", "keepbest [LIST] P"), and the choices every
// co-addition follows ("normalise ...", "weight ...").

// "measure [LIST]" and "keepbest [LIST] P", in the three steps of a command (see
// CommandRun): made by start, where the context is used; run, anywhere; finish, where the
// context is used again.
class FrameQualityCommand {
public:
    // The list named in brackets, resolved now into its selected files, their items and
    // the list's folder; for keepbest, P after the list: one number, more than 0 and at
    // most 100. refusal() is the reply when there is nothing to run.
    FrameQualityCommand(AppContext& context, const std::string& text, bool keepBest);

    const std::string& refusal() const { return refusal_; }

    // Measures the frames (MeasureFrames) and writes quality.csv into the list's folder;
    // tells what failed through feedback.
    void run(Feedback& feedback);

    // measure: the reply. keepbest: unselects in the list every frame not kept (the Image
    // list window follows the tree) and replies which; when no frame could be measured it
    // changes nothing and says so. cancelled tells a run the user
    // stopped (nothing was changed; the reply is then empty).
    std::string finish(AppContext& context, bool& cancelled);

private:
    bool keepBest_ = false;
    double percent_ = 100.0;
    std::string refusal_;
    std::vector<std::string> paths_;
    std::vector<TreeItem> items_; // the file item of each path
    std::string folder_;
    MeasureResult result_;
    bool tableWritten_ = false;
};

// "normalise none|additive|multiplicative|additive+scale" and "weight none|noise": the
// choice every co-addition follows from now on, kept in the settings file (unless the run
// keeps its choices to itself, as the batch tool does). Return the reply.
std::string ChooseNormalisation(AppContext& context, std::string_view argument);
std::string ChooseWeighting(AppContext& context, std::string_view argument);

} // namespace skyvane
