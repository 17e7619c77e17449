#pragma once

#include <memory>

#include "image/ImageGrid.h"

namespace skyvane {

enum class ShiftStatus {
    Measured,     // dx and dy hold the frame's shift
    SizeMismatch, // the frame's width or height differs from the reference's
    NoStructure,  // reference or frame holds nothing to correlate (flat after the sky is
                  // removed, or smaller than 16 x 16 pixels)
    NoMatch,      // the frame does not match the reference by a translation: its correlation
                  // peak does not stand out of the correlation's noise (the frames share no
                  // stars), or the parts of the frame disagree on the shift (a turned or
                  // flipped frame); dx and dy hold the best guess, not to be used
};

// The shift of a frame against the reference: a star at (x, y) in the reference stands at
// (x + dx, y + dy) in the frame; x counts columns, y counts rows (row 0 is the first FITS
// row). The figures of the match (0 when the measure stopped before them):
//  - contrast: the correlation peak over the highest other peak of the coarse search (near 1
//    when the frames share nothing; well above 2 for star fields);
//  - significance: how many robust sigmas the coarse peak stands above the correlation's
//    other values (about 4 to 6 when the frames share nothing but noise, tens to hundreds
//    for star fields that match; hot pixels fixed on the sensor match at no shift and can
//    lift a frame of noise to tens);
//  - tilesChecked, tilesAgreeing: of the tiles spread over the frames' overlap that hold a
//    star in the reference, how many find the same shift as the whole frame.
struct CorrelationShift {
    ShiftStatus status = ShiftStatus::NoStructure;
    double dx = 0.0;
    double dy = 0.0;
    double contrast = 0.0;
    double significance = 0.0;
    int tilesChecked = 0;
    int tilesAgreeing = 0;
};

// How a frame agrees with a shift tile by tile (see the judgement below): of the tiles
// spread over the overlap that hold a star in the reference, how many find the same shift;
// agrees: at least two thirds of them and at least three (all of them when fewer than three
// are checked; true when none is).
struct ShiftCheck {
    int tilesChecked = 0;
    int tilesAgreeing = 0;
    bool agrees = false;
};

struct CorrelationSettings {
    // The whole frame is first correlated binned so that its longer side has at most this
    // many bins (the coarse shift), then a region of at most fineSize x fineSize pixels at
    // full resolution (the fine shift).
    int coarseSize = 512;
    int fineSize = 512;
    // Largest |dx| and |dy| looked for, in pixels; 0 means every shift under which the
    // frames still share at least a quarter of their width and of their height.
    double maxShift = 0.0;
    // Values more than clipSigma background sigmas above the sky are clipped, so that a few
    // bright or saturated stars do not outweigh all the others; 0 clips nothing.
    double clipSigma = 0.0;
};

// Measures the shifts of frames against one reference from the peak of their
// cross-correlation (FFTW, single precision), in two steps, then judges the match:
//  - coarse: the whole frame in bins (pixels clipped at 100 background sigmas above the sky
//    first, so that a cosmic-ray hit adds little to its bin), correlated with the binned
//    reference over every shift within maxShift (zero-padded, so that no shift wraps onto
//    another); each lag's value is divided by the noise the two windows let through at that
//    lag, so that a large shift, seen on a smaller overlap, is judged as fairly as a small
//    one; the highest of these, refined between bins;
//  - fine: a region of the reference (fineSize square, placed where the stars are, off the
//    edges where there is room) and the frame's region where the coarse shift puts it,
//    both as 3 x 3 medians (cosmic-ray hits and hot pixels vanish; NaN pixels count as
//    sky), the sky level (the frame's median) subtracted, values clipped to [-5 sigma,
//    clipSigma sigma], a Tukey window; where the frame's region leaves the frame both are
//    windowed over the part they share. The shift is the maximum of their correlation
//    interpolated exactly between pixels (its Fourier series), found by Newton's method.
// In both, structure larger than about 32 pixels (sky gradients, vignetting) is filtered
// out of the correlation.
//  - the judgement: the coarse peak must stand out of the coarse correlation's noise
//    (significance), and tiles spread over the frames' overlap, correlated one by one at
//    full resolution around the shift found, must find the same shift (a translation
//    that leaves the stars of the tiles within a pixel of their place); the rule and its
//    figures are at the constants of CrossCorrelation.cpp. A frame that fails is NoMatch.
//
// The reference's transforms are computed once, in the constructor. measure() is const
// and may be called from several threads at once; each call allocates its own working
// memory (a few MiB for the default sizes); the correlator keeps the reference filtered at
// full resolution (4 bytes a pixel) for the tiles. Results do not depend on the thread.
// The FFTW plans are made under one lock of this file, as FFTW's planner is not
// thread-safe.
// Throws std::bad_alloc when memory cannot be had.
class CrossCorrelator {
public:
    explicit CrossCorrelator(const ImageGrid& reference, const CorrelationSettings& settings = {});
    ~CrossCorrelator();
    CrossCorrelator(const CrossCorrelator&) = delete;
    CrossCorrelator& operator=(const CrossCorrelator&) = delete;

    // The frame's shift against the reference; SizeMismatch when the sizes differ,
    // NoStructure when either image has nothing to correlate (dx = dy = 0 then), NoMatch
    // when the frame does not match the reference by a translation. A shift beyond
    // maxShift is not found (NoMatch, or the best peak within it). When the frame's fine
    // region would share less than 16 pixels with it in x or y, the coarse shift is
    // returned.
    [[nodiscard]] CorrelationShift measure(const ImageGrid& frame) const;

    // The tiles of the judgement for a shift found otherwise (by one star): whether the
    // frame matches the reference under the translation (dx, dy). A frame of another size
    // does not; against a reference with nothing to correlate every frame does. Same
    // threads and memory as measure().
    [[nodiscard]] ShiftCheck check(const ImageGrid& frame, double dx, double dy) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace skyvane
