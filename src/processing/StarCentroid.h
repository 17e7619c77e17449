#pragma once

#include <limits>

#include "image/ImageGrid.h"

namespace skyvane {

// Positions are in pixels: x counts columns, y counts rows (row 0 is the first FITS row),
// and the centre of pixel (i, j) is at (i, j) exactly.

enum class StarStatus {
    Found,     // the centroid is valid
    Saturated, // a pixel of the star reaches the saturation level (position still given)
    TooFaint,  // the star's peak is too low above the background noise (position of the
               // brightest point given)
    Lost,      // no star: nothing in the search window, the box or the background annulus
               // leaves the frame, the centroid leaves the search window or does not settle
    Mismatch,  // StarTracker only: the star found differs from the reference star in flux
               // or width (StarTracker::MatchFluxRatio, MatchWidthRatio); position given
};

struct StarSettings {
    // A star whose brightest pixel (single-pixel spikes removed) is at or above this level
    // is Saturated. The default never is.
    double saturation = std::numeric_limits<double>::infinity();
    // A star whose peak above the background is below this many background sigmas is
    // TooFaint.
    double minPeakSigma = 5.0;
    // MeasureStar looks for the star's brightest point within this many pixels (in x and
    // in y) of the start point, and the centroid must end within it.
    int searchRadius = 8;
};

struct StarMeasurement {
    StarStatus status = StarStatus::Lost;
    double x = 0.0; // centroid
    double y = 0.0;
    double fwhm = 0.0;       // estimate from the area above half the peak
    double background = 0.0; // median of the annulus
    double sigma = 0.0;      // noise of the annulus (normalised median absolute deviation)
    double peak = 0.0;       // brightest pixel above the background
    double flux = 0.0;       // sum above the background in the centroid box
    int iterations = 0;      // of the centroid
};

// Finds the brightest star point (the highest 3 x 3 median, so that a cosmic-ray hit or a
// hot pixel is never taken for a star) within settings.searchRadius of (x, y), then the
// star's centroid:
//  - background and noise from an annulus around the star (median and normalised median
//    absolute deviation), starting at 2 FWHM + 2 from the peak;
//  - pixels far brighter than the median of their 8 neighbours (cosmic-ray hits, hot
//    pixels) replaced by that median;
//  - the intensity-weighted centroid (background subtracted) of a box 4 FWHM wide centred
//    on the current estimate, pixels cut by the box edge counted by the fraction inside,
//    iterated until it moves less than 0.001 pixel (at most 100 times).
// A start point outside the frame or not finite gives Lost; so does a star whose box leaves
// the frame or whose annulus lies more than half outside it (a frame under about 40
// pixels across is too small for any star). NaN pixels in the box count as outside the
// frame.
[[nodiscard]] StarMeasurement MeasureStar(const ImageGrid& grid, double x, double y, const StarSettings& settings = {});

struct StarProfile {
    bool fitted = false; // false: no star found (see status) or the fit did not converge
    StarStatus status = StarStatus::Lost;
    double x = 0.0; // centre of the fitted Gaussian
    double y = 0.0;
    double fwhm = 0.0; // 2 sqrt(2 ln 2) sigma of the fitted Gaussian
    double amplitude = 0.0;
    double background = 0.0;
};

// The FWHM of the star MeasureStar finds from (x, y): a circular Gaussian plus a constant
// fitted by least squares (Levenberg-Marquardt) to the cleaned pixels within 2.5 FWHM of
// the centroid (at least 4 pixels). Saturated and TooFaint stars are fitted too (with
// their status); a Lost star is not (fitted = false).
[[nodiscard]] StarProfile MeasureFwhm(const ImageGrid& grid, double x, double y, const StarSettings& settings = {});

// The shift of one star from the reference frame to another frame: it stands at
// (x + dx, y + dy) in the frame when it stood at (x, y) in the reference.
struct StarShift {
    StarStatus status = StarStatus::Lost;
    double dx = 0.0; // valid for Found (and for Saturated, as a guess)
    double dy = 0.0;
    StarMeasurement star;
};

// Follows one star through a sequence of frames. Each frame is searched around the star's
// position in the last frame where it was found (or saturated), within searchRadius pixels
// in x and y, so that a drift of many tens of pixels over a night is followed. In that
// window the candidates are the local maxima of the 3 x 3 median standing out from the
// window's noise (settings.minPeakSigma). A candidate within 1.5 FWHM (at least 3 pixels)
// of the last position is the star, whatever its height; otherwise the star is the
// candidate nearest the last position whose height lies between a third and three times
// the reference star's. It is then measured with MeasureStar, except that one lower than a
// third of the reference star's height is reported TooFaint (not measured). No candidate:
// Lost. A star measured Found whose flux is not within MatchFluxRatio times the reference
// star's (either way), or whose FWHM is not within MatchWidthRatio times it, is another
// star or no star at all (a turned frame, a passing satellite, a cosmic-ray cluster):
// Mismatch, and the search stays where the star was last.
class StarTracker {
public:
    // Thin cloud halves a star's flux, bad seeing can double its width and a trail of a
    // few FWHM more; a third of the flux, or the width two and a half times, is another
    // object. Measured on nights with cloud and a trailed frame: flux 0.49 to 1.02 of the
    // reference star's, FWHM 0.82 to 1.08, and the trailed frame's (12 pixels of trail)
    // 1.86 and 2.09 (stars of 3.9 and 3.2 pixels). A frame turned by 180 degrees can
    // show another star of the same kind where the star was (flux 0.52, FWHM 0.87): only
    // the check of the whole frame (CrossCorrelator::check) tells.
    static constexpr double MatchFluxRatio = 3.0;
    static constexpr double MatchWidthRatio = 2.5;

    explicit StarTracker(const StarSettings& settings = {}, int searchRadius = 50);

    // Measures the star near (x, y) on the reference frame (within settings.searchRadius).
    // Only a Found star starts the tracking; otherwise every track() gives Lost.
    StarMeasurement start(const ImageGrid& reference, double x, double y);

    // The star's shift in the next frame against the reference. Frames may have any size.
    StarShift track(const ImageGrid& frame);

    // The frame of the last track() is not used after all (a check of the whole frame
    // found that it does not match): the next frame is searched where the star was before.
    void reject();

private:
    StarSettings settings_;
    int searchRadius_;
    bool started_ = false;
    double referenceX_ = 0.0;
    double referenceY_ = 0.0;
    double referenceHeight_ = 0.0; // 3 x 3 median peak above the window's median
    double referenceFlux_ = 0.0;
    double referenceFwhm_ = 0.0;
    double closeRadius_ = 3.0;     // a candidate this near the last position is the star
    double lastX_ = 0.0;
    double lastY_ = 0.0;
    double previousX_ = 0.0; // lastX_ and lastY_ before the last track()
    double previousY_ = 0.0;
};

} // namespace skyvane
