#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/Feedback.h"
#include "image/FitsReader.h"
#include "image/ImageGrid.h"
#include "processing/StarDetection.h"

namespace skyvane {

// How good a frame is for stacking, from its own pixels: its sky and its stars, found by
// the one star finder (DetectStars) with a sky map of cells of 128 pixels, 256 pixels of
// each taken (QualityDetection).
struct FrameQuality {
    // The sky level: the median over the sky map's cells of each cell's level (a plane
    // fitted with 3-sigma clipping, at the cell's centre, plus the mode of what is left).
    double background = 0.0;
    // The sky noise: the median over the cells of 1.4826 x the median absolute deviation
    // about each cell's fitted plane, so a gradient across the frame is not taken for noise.
    double noise = 0.0;
    double fwhm = 0.0;      // median over the stars found, pixels; 0 without stars
    double roundness = 0.0; // median over the stars of minor / major axis; 0 without stars
    int stars = 0;
    // The frame's stars against the first frame measured (the reference): the median,
    // over the stars of both paired by their pattern (ReferencePattern), of the ratio of
    // their fluxes above the sky. Thin cloud lowers it whatever the sky's brightness; 1 for
    // the reference; NaN when the stars could not be paired.
    double transparency = 0.0;
    // transparency x roundness x (median FWHM of the frames measured / FWHM): about 1 for a
    // good frame, low for a cloudy one (few and faint stars) or a trailed one (stretched,
    // wide stars), and blind to the sky's brightness, which normalisation and weights deal
    // with. A frame whose stars could not be paired scores 0.
    double score = 0.0;
};

// The detection settings of frame quality.
DetectionSettings QualityDetection();

// The quality of one frame, except transparency (NaN) and score (0); with stars, the
// stars found (brightest first), for pairing.
[[nodiscard]] FrameQuality MeasureQuality(const ImageGrid& grid, std::vector<DetectedStar>* stars = nullptr);

// The transparency of a frame of the given stars against the reference's (see
// FrameQuality); NaN when fewer than 6 stars pair.
[[nodiscard]] double RelativeTransparency(const std::vector<DetectedStar>& reference, const std::vector<DetectedStar>& frame);

// What became of one frame of a measurement.
enum class MeasureFate {
    Measured,
    Unreadable,      // it could not be loaded (load says why)
    NotEnoughMemory, // its memory could not be had
};

struct MeasuredFrame {
    std::string path;
    MeasureFate fate = MeasureFate::Measured;
    LoadStatus load; // Unreadable: why
    FrameQuality quality;
};

enum class MeasureStatus { Done, NoFrame, Cancelled };

struct MeasureResult {
    MeasureStatus status = MeasureStatus::NoFrame;
    std::vector<MeasuredFrame> frames; // Done: every frame given, in the order given
    int measured = 0;                  // of them, Measured
};

// Measures every frame, threads at once (0: as many as the processor has cores, at most 4;
// the figures do not depend on it), then pairs each frame's stars with the first measured
// frame's and scores every frame. Tells its progress through feedback ("Measuring frame 7
// of 20") and looks between frames whether the user asked to stop. Reads only the frames.
[[nodiscard]] MeasureResult MeasureFrames(const std::vector<std::string>& paths, Feedback& feedback, int threads = 0);

// Which frames to keep: the best of the measured ones by score, as many as percent of
// selected (rounded down, at least one), the earlier frame first among equal scores. One
// flag per frame of result.frames; frames not measured are never kept.
[[nodiscard]] std::vector<bool> ChooseBestFrames(const MeasureResult& result, double percent, int selected);

// Whether percent is a share keepbest takes: more than 0, at most 100.
bool KeepPercentAccepted(double percent);

inline constexpr std::string_view QualityFileName = "quality.csv";

// The table of the measured frames: a line "file,background,noise,fwhm,roundness,stars,
// transparency,score", then one line per measured frame (its file name; figures with a
// point, transparency empty when unknown), every line ended by a line feed.
std::string QualityTable(const MeasureResult& result);

// Writes QualityTable into folder/quality.csv, replacing a file of that name whole
// (ReplaceFile). 0, or the errno of the failure (the old file then stays as it was).
[[nodiscard]] int WriteQualityTable(const std::string& folder, const MeasureResult& result);

} // namespace skyvane
