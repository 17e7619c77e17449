#pragma once

#include <optional>
#include <string>
#include <vector>

#include "processing/ListArithmetic.h"
#include "processing/ListOutput.h"
#include "processing/Mosaic.h"

namespace skyvane {

// Demosaicing of the frames of a list: each colour mosaic made into a colour image of three
// planes (DemosaicPlane) and written by a ListOutput as one cube (NAXIS3 = 3, 32-bit floating
// point), its cards kept but for those of the mosaic (WithoutMosaicCards), which it no longer
// is.

struct ListDemosaicJob {
    std::vector<std::string> framePaths; // in list order
    std::optional<Mosaic> pattern;       // when given, every frame's mosaic, whatever its cards
    std::string outputParent;            // the list's folder
    std::string outputName;              // the output folder's name (ListOutput::create)
    std::string history;                 // the text of the HISTORY card of every result,
                                         // followed by the pattern used: " (RGGB)"
    int threads = 0;                     // workers: 0 for two (each holds a whole frame)
};

struct ListDemosaicResult {
    ListArithmeticStatus status = ListArithmeticStatus::NoFrame;
    int frames = 0;                    // frames given
    std::vector<std::string> noMosaic; // frames left out as no colour mosaic, in list order
    std::vector<std::string> leftOut;  // every frame left out (those above too), in list order
    ListOutput output;                 // Done: the folder and the files written, kept
};

// Runs the job. Every frame's size and cards are read first: a frame that is no 2-D colour
// mosaic (no pattern of its own and none given, or three planes already) is left out
// without a notice (its name is in noMosaic); one that cannot be read is told and left out.
// Then the output folder is made and the workers demosaic the frames, each holding one whole
// frame and its three planes. A write that fails, no memory, or cancel stop the run and
// remove everything written. Touches nothing but the files: may run on any thread.
[[nodiscard]] ListDemosaicResult RunListDemosaic(const ListDemosaicJob& job, ListArithmeticFeedback& feedback);

} // namespace skyvane
