#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "processing/CoaddKernels.h"

namespace skyvane {

struct AppContext;

enum class CoaddStatus {
    Done = 0,          // Image A replaced and redisplayed
    TooFewImages = 1,  // min-max rejection (< 3) or sigma clipping (< 5); Image A untouched
    NoSelectedImage,   // the list has no selected file; Image A untouched
    FirstImageUnreadable, // the first selected file could not be read (its message shown);
                          // Image A untouched
    NotEnoughMemory,      // no memory for the result or the bands ("Not enough memory for an
                          // image of W x H pixels." shown); Image A untouched
};

// Which frames a combination used: the number of selected files, and the full paths of
// those left out (not 2-D, another size, unreadable), in list order. Filled when the
// combination is done; leftOut stays empty when it refused.
struct CoaddFrames {
    int selected = 0;
    std::vector<std::string> leftOut;
};

// The full paths (list folder + "/" + file name) of the selected files of list n, in list
// order.
std::vector<std::string> SelectedListPaths(const AppContext& context, int listPosition);

// Each method combines the selected files of list `listPosition` pixel by pixel into
// Image A: size of the first selected file, header cards of the first selected file
// ("Header option not yet implemented, headers from first image will be used" first when
// the list header option is not 0), then redisplays it (clearDisplay if displayed,
// buildDisplay, paintDisplay; thresholds unchanged).
// Every frame is opened and checked before any is used. The first selected file must be
// readable: "Error while reading image size" (after the 2-D message when that was the
// cause), "Error while reading image headers" or "Error while reading image data" stop the
// run. A later file that is not 2-D or has another size is reported with the reading
// step's message, one that cannot be opened or is too short for its data with "Error while
// reading image data", and it is left out (N counts the frames used). A frame that still
// fails part-way is reported the same way and the combination starts again without it, so
// no frame is ever half used. Image A changes only when the whole result is there.
// Frames are read in bands of rows, so memory stays near Image A plus one band of all
// frames per worker thread. Per pixel the arithmetic is exactly that of the one-pixel
// functions below (a NaN made from two NaN operands may carry either operand's sign).
// Every message about a frame names its file. report, when given, tells which frames were
// left out.
CoaddStatus combineMedian(AppContext& context, int listPosition, CoaddFrames* report = nullptr);
CoaddStatus combineMean(AppContext& context, int listPosition, CoaddFrames* report = nullptr);
CoaddStatus combineMinMaxRejection(AppContext& context, int listPosition, CoaddFrames* report = nullptr);
CoaddStatus combineSigmaClipping(AppContext& context, int listPosition, double kappa, int iterations, CoaddFrames* report = nullptr);

// How a combination is carried out; none of it changes a result. The frames are read in
// bands of rows: `bandBytes` is the memory for the bands of all worker threads together (at
// least one row of every frame per thread), `threads` the number of workers (0: as many as
// the processor has cores, at most 4), and up to `maxOpenFrames` frames stay open for the
// whole run; with more, each band opens and closes every frame again.
struct CoaddTuning {
    std::size_t bandBytes = std::size_t{32} << 20;
    int threads = 0;
    int maxOpenFrames = 200;
};

// The common road of the four methods above: the selected files of list `listPosition`
// combined by parameters.method.
CoaddStatus CombineList(AppContext& context, int listPosition, const CoaddParameters& parameters, const CoaddTuning& tuning = {}, CoaddFrames* report = nullptr);

// One pixel's values v[0..n-1] (n >= 1). scratch/weights have room for n and may be
// overwritten; v itself is not changed by the mean, min-max and sigma rules.
double MedianPixel(const double* v, int n, double* scratch);
double MeanPixel(const double* v, int n);
double MinMaxRejectionPixel(const double* v, int n); // n >= 3
double SigmaClipPixel(const double* v, int n, double kappa, int iterations, std::uint8_t* weights); // n >= 1

} // namespace skyvane
