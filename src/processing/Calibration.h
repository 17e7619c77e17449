#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "processing/ListArithmetic.h"
#include "processing/ListOutput.h"
#include "processing/Mosaic.h"

namespace skyvane {

// Calibration of the frames of a list with a dark and a flat in one pass over each frame:
//     result = (frame - dark) / normalised flat,
// the flat normalised to a mean of 1 (for colour mosaics each of the four sites of the
// filter cell to its own mean, so that the flat keeps the colour balance), and the dark's
// hot pixels replaced in every result by the median of their nearest neighbours of the
// same filter colour. Results are written by a ListOutput (32-bit floating point, the
// frame's cards kept, the mosaic's among them).

struct CalibrationJob {
    std::vector<std::string> framePaths; // in list order
    std::string darkPath;
    std::string flatPath;                // empty: no flat, result = frame - dark
    double zeroDivisionValue = 0.0;      // where the normalised flat is 0 or not a number
    std::string outputParent;            // the list's folder
    std::string outputName;              // the output folder's name (ListOutput::create)
    std::string history;                 // the text of the HISTORY card of every result
    int threads = 0;                     // workers: 0 for one per core (at most 4)
};

struct CalibrationResult {
    ListArithmeticStatus status = ListArithmeticStatus::NoFrame;
    int frames = 0;                   // frames given
    std::vector<std::string> leftOut; // frames left out, in list order
    std::int64_t hotPixels = 0;       // hot pixels of the dark, replaced in every result
    ListOutput output;                // Done: the folder and the files written, kept
};

// The dark's hot pixels: those more than 5 standard deviations above its median, the
// deviation measured robustly (1.4826 x the median absolute deviation from the median;
// when more than half the values equal the median, 1.2533 x the mean absolute deviation
// from it). Values that are not finite count for neither figure and are not hot, except
// +infinity, which is. values holds width x height values, row after row; the result
// holds the hot pixels' indexes into it, ascending. None when every value is the same.
std::vector<std::int64_t> FindHotPixels(const double* values, int width, int height);

// The flat divided by its mean (the mean of its finite values): for a mosaic each site
// (x & 1, y & 1) by the mean of its own pixels, for a grey frame every pixel by the mean of
// all. values holds width x height values, row after row, and is changed in place. False
// (values unchanged) when a mean is not a positive finite number: such a flat cannot be
// used.
[[nodiscard]] bool NormaliseFlat(double* values, int width, int height, bool mosaic);

// The calibrated value of one pixel: (frame - dark) / flat, where flat is the normalised
// flat (zeroDivisionValue where it is 0 or not a number), frame - dark without a flat.
inline double CalibratedValue(double frame, double dark, const double* flat, double zeroDivisionValue)
{
    const double difference = frame - dark;
    if (flat == nullptr)
        return difference;
    return (*flat == 0.0 || *flat != *flat) ? zeroDivisionValue : difference / *flat;
}

// Replaces the hot pixels among rows firstRow .. firstRow + rowCount - 1 of an image of
// width columns: values holds rows valuesFirstRow .. valuesFirstRow + valuesRows - 1 (row
// after row), which reach at least two rows beyond the replaced ones on both sides where
// the image has them. Each hot pixel becomes the median of its 8 nearest neighbours of its
// own filter colour (a grey frame, no mosaic: its 8 neighbours; a mosaic: for green the 4
// diagonal ones and the 4 two pixels away along the row and the column, for red and blue
// the 8 of their own colour around them two pixels away), leaving out neighbours outside
// the image, hot ones and those that are not finite; the median of an even number is the
// mean of the two middle values. A hot pixel with no such neighbour keeps its value. hot
// is FindHotPixels' list.
void ReplaceHotPixels(double* values, int width, int valuesFirstRow, int valuesRows, int height, int firstRow, int rowCount,
                      const std::vector<std::int64_t>& hot, const std::optional<Mosaic>& mosaic);

// Runs the job. The dark and the flat are loaded and checked first (unreadable or a colour
// image of three planes: told and nothing written; the flat of another size or mosaic than the dark, or whose mean is no
// positive number: told, naming the flat, nothing written); then every frame's size and
// cards are read: a frame that cannot be read, of another size than the dark (a colour
// image among them), or whose
// mosaic is not the flat's (a grey flat for grey frames) or not the dark's (a dark without
// one serves either) is told by name and left out, before anything is written. Then the
// output folder is made and the frames are calibrated by the workers, each reading one band
// of rows of one frame at a time (with two rows more on each side for the hot pixels'
// neighbours) and writing it out after the frame's cards and the HISTORY card; dark and
// flat are held whole, shared. A write that fails, no memory, or cancel stop the run and
// remove everything written. Touches nothing but the files: may run on any thread.
[[nodiscard]] CalibrationResult RunCalibration(const CalibrationJob& job, ListArithmeticFeedback& feedback);

} // namespace skyvane
