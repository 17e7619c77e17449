#pragma once

#include <limits>
#include <vector>

#include "image/ImageGrid.h"

namespace skyvane {

// The stars of a whole frame, found without being pointed at: the one star finder of the
// program (pattern registration, frame quality). Positions as in StarCentroid.h: x counts
// columns, y rows (row 0 the first FITS row), pixel (i, j) centred at (i, j) exactly.

// The sky of a frame: a coarse grid of cells, each with a robust level and noise. In each
// cell, about a thousand of its pixels (or as many as asked), evenly spread, are taken as flat about their median,
// those more than 3 sigma off are left out, and a plane is fitted (least squares) to the
// rest, the clipping and the fit done three times; the level is the plane at the cell's
// centre plus the mode of what is left about it (2.5 median - 1.5 mean while that is
// little skewed, the median otherwise), the noise 1.4826 x their median absolute deviation
// about the plane, so a gradient across a cell is neither noise nor a shift. A cell with
// too few finite pixels takes the median of its neighbours; the noise of each cell then
// becomes the median of itself and its 8 neighbours. Between the cell centres the figures
// are interpolated bilinearly, beyond the outer ones linearly.
class SkyMap {
public:
    // Empty map: level and noise 0.
    SkyMap() = default;
    // The map of grid with square cells of about cellSize pixels (at least 8; the frame is
    // split into whole cells of nearly equal size), about cellSample pixels of each cell
    // taken (at least 64).
    SkyMap(const ImageGrid& grid, int cellSize, int cellSample = 1024);

    double level(double x, double y) const { return interpolate(level_, x, y); }
    // Never below half the median noise.
    double noise(double x, double y) const;
    // The medians over the cells: the frame's sky level and noise.
    double medianLevel() const { return medianLevel_; }
    double medianNoise() const { return medianNoise_; }
    int cellsX() const { return cellsX_; }
    int cellsY() const { return cellsY_; }

    // The level, or the noise, of every pixel of column x (height values): the same values
    // level() and noise() give, computed for a whole column at once.
    void levelColumn(int x, double* column) const { fillColumn(level_, x, column); }
    void noiseColumn(int x, double* column) const;

private:
    double interpolate(const std::vector<double>& cells, double x, double y) const;
    void fillColumn(const std::vector<double>& cells, int x, double* column) const;
    // Position in cell units: cell centre k at k; clamped to [-0.5, cells - 0.5].
    double cellCoordinate(double p, int cells, double cellExtent) const;
    // The two cells to interpolate between along one axis, and the weight of the second.
    void corner(double p, int cells, double extent, int& i0, int& i1, double& f) const;

    int width_ = 0;
    int height_ = 0;
    int cellsX_ = 0;
    int cellsY_ = 0;
    double cellWidth_ = 1.0;
    double cellHeight_ = 1.0;
    std::vector<double> level_; // cellsX_ x cellsY_, cell (i, j) at i * cellsY_ + j
    // Per row of the frame: the cell rows it lies between and the weight of the second.
    std::vector<int> rowCell_;
    std::vector<double> rowWeight_;
    std::vector<double> noise_;
    double medianLevel_ = 0.0;
    double medianNoise_ = 0.0;
};

struct DetectionSettings {
    // Detection: pixels of the frame smoothed by a Gaussian of smoothingSigma pixels that
    // stand more than threshold times the smoothed noise above the sky make up candidates.
    double threshold = 5.0;
    double smoothingSigma = 1.0;
    // Cells of the sky map, pixels, and the pixels of each cell its figures are taken from.
    int cellSize = 64;
    int cellSample = 1024;
    // A candidate with a pixel at or above this level near its peak is a saturated star. The
    // default never is; saturation is also told by a flat top (see DetectStars).
    double saturation = std::numeric_limits<double>::infinity();
    // Candidates of more pixels above the threshold are left alone (an extended object).
    int maxComponentPixels = 20000;
};

// A star found.
struct DetectedStar {
    double x = 0.0; // centroid: Gaussian-weighted, iterated to its fixed point
    double y = 0.0;
    double flux = 0.0;       // sum above the sky within 3 sigma (geometric) of the centroid
    double peak = 0.0;       // brightest pixel above the sky
    double background = 0.0; // sky level at the star
    double noise = 0.0;      // sky noise at the star
    double fwhm = 0.0;       // 2 sqrt(2 ln 2) x geometric mean of the two axes' sigmas
    double roundness = 0.0;  // minor axis / major axis, 1 for a round star
    double snr = 0.0;        // flux / (noise x sqrt of the area of 4 sigma^2 pi)
    // Estimated uncertainty of the centroid in x and y, pixels.
    double positionError = 0.0;
};

// What a search of a frame found.
struct StarDetection {
    SkyMap sky;
    std::vector<DetectedStar> stars; // brightest (by flux) first
    // The candidates turned away, by reason.
    int hotPixels = 0;  // single bright pixels: hot pixels, cosmic-ray hits of one pixel
    int cosmicRays = 0; // sharper than the frame's stars across their narrow axis
    int saturated = 0;  // reaching the saturation level, or with a flat top
    int atEdge = 0;     // too near the frame's edge or a missing (NaN) pixel to be measured
    // Medians over the stars found (0 without stars).
    double medianFwhm = 0.0;
    double medianRoundness = 0.0;
};

// Finds the stars of grid:
//  - the sky map (SkyMap, settings.cellSize);
//  - candidates: connected (8-neighbour) groups of pixels of the smoothed frame standing
//    more than settings.threshold smoothed-noise sigmas above the sky; within a group, each
//    local maximum that stands above the threshold and is separated from a higher one by a
//    dip deeper than the threshold is a candidate of its own (close pairs are split);
//  - each candidate measured on the frame itself, its pixels cleaned of spikes (a pixel
//    far above the median of its 8 neighbours takes that median), in a window of 4 sigma:
//    Gaussian-weighted moments, the weight's width adapted to the star, give the centroid,
//    and the weighted second moments, corrected for the weight, the FWHM and roundness;
//  - candidates turned away: one pixel holding most of the light of its 3 x 3 square
//    (hotPixels); a pixel near the peak at or above settings.saturation, or a flat top of
//    at least five pixels within 1% of the peak on a bright star (saturated); narrower
//    across their minor axis than half the frame's typical star (cosmicRays); a window
//    leaving the frame or holding a missing pixel (atEdge).
// An empty frame, or one of no sky noise, gives no star. Throws std::bad_alloc when the
// memory cannot be had (about 6 bytes per pixel beyond the frame).
[[nodiscard]] StarDetection DetectStars(const ImageGrid& grid, const DetectionSettings& settings = {});

} // namespace skyvane
