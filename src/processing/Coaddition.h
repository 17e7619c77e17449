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
    FirstImageUnreadable, // the first selected file could not be read (its message shown); Image A untouched
};

// The full paths (list folder + "/" + file name) of the selected files of list n, in list
// order.
std::vector<std::string> SelectedListPaths(const AppContext& context, int listPosition);

// Each method combines the selected files of list `listPosition` pixel by pixel into
// Image A: size of the first selected file, header cards of the first selected file
// ("Header option not yet implemented, headers from first image will be used" first when
// the list header option is not 0), then redisplays it (clearDisplay if displayed,
// buildDisplay, paintDisplay; thresholds unchanged). A later file that cannot be read or
// has another size is reported and left out (N counts the frames used). Frames are read
// in bands of rows, so memory stays near Image A plus one band of all frames. Per pixel
// the arithmetic is exactly that of the one-pixel functions below.
CoaddStatus combineMedian(AppContext& context, int listPosition);
CoaddStatus combineMean(AppContext& context, int listPosition);
CoaddStatus combineMinMaxRejection(AppContext& context, int listPosition);
CoaddStatus combineSigmaClipping(AppContext& context, int listPosition, double kappa, int iterations);

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
CoaddStatus CombineList(AppContext& context, int listPosition, const CoaddParameters& parameters, const CoaddTuning& tuning = {});

// One pixel's values v[0..n-1] (n >= 1). scratch/weights have room for n and may be
// overwritten; v itself is not changed by the mean, min-max and sigma rules.
double MedianPixel(const double* v, int n, double* scratch);
double MeanPixel(const double* v, int n);
double MinMaxRejectionPixel(const double* v, int n); // n >= 3
double SigmaClipPixel(const double* v, int n, double kappa, int iterations, std::uint8_t* weights); // n >= 1

} // namespace skyvane
