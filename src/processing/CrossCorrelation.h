#pragma once

#include <memory>

#include "image/ImageGrid.h"

namespace skyvane {

enum class ShiftStatus {
    Measured,     // dx and dy hold the frame's shift
    SizeMismatch, // the frame's width or height differs from the reference's
    NoStructure,  // reference or frame holds nothing to correlate (flat after the sky is
                  // removed, or smaller than 16 x 16 pixels)
};

// The shift of a frame against the reference: a star at (x, y) in the reference stands at
// (x + dx, y + dy) in the frame; x counts columns, y counts rows (row 0 is the first FITS
// row). contrast: the correlation peak over the highest other peak of the coarse search
// (near 1 when the frames share nothing; well above 2 for star fields).
struct CorrelationShift {
    ShiftStatus status = ShiftStatus::NoStructure;
    double dx = 0.0;
    double dy = 0.0;
    double contrast = 0.0;
};

struct CorrelationSettings {
    // The whole frame is first correlated binned so that its longer side has at most this
    // many bins (the coarse shift), then a central region of at most fineSize x fineSize
    // pixels at full resolution, cut from the frame at the coarse shift (the fine shift).
    int coarseSize = 512;
    int fineSize = 512;
    // Largest |dx| and |dy| looked for, in pixels; 0 means a quarter of the shorter side.
    double maxShift = 0.0;
    // Values more than clipSigma background sigmas above the sky are clipped, so that a few
    // bright or saturated stars do not outweigh all the others; 0 clips nothing.
    double clipSigma = 0.0;
};

// Measures the shifts of frames against one reference from the peak of their
// cross-correlation (FFTW, single precision). Both images are prepared alike: a 3 x 3
// median (cosmic-ray hits and hot pixels vanish; NaN pixels count as sky), the sky level
// (the median) subtracted, values clipped to [-5 sigma, clipSigma sigma] around it, a
// Tukey window; in the correlation, structure larger than about 32 pixels (sky gradients,
// vignetting) is filtered out. The coarse peak is refined to a parabola; the fine peak is
// the maximum of the correlation interpolated exactly between pixels (its Fourier series),
// found by Newton's method from the parabola through the best pixel.
//
// The reference's transforms are computed once, in the constructor. measure() is const
// and may be called from several threads at once; each call allocates its own working
// memory (about 4 bytes per pixel of the frame plus 20 MiB). Results do not depend on
// the thread. The FFTW plans are made under one lock of this file, as FFTW's planner is
// not thread-safe. Throws std::bad_alloc when memory cannot be had.
class CrossCorrelator {
public:
    explicit CrossCorrelator(const ImageGrid& reference, const CorrelationSettings& settings = {});
    ~CrossCorrelator();
    CrossCorrelator(const CrossCorrelator&) = delete;
    CrossCorrelator& operator=(const CrossCorrelator&) = delete;

    // The frame's shift against the reference; SizeMismatch when the sizes differ,
    // NoStructure when either image has nothing to correlate (dx = dy = 0 then). A shift
    // beyond maxShift is not found: the best peak within it is returned.
    [[nodiscard]] CorrelationShift measure(const ImageGrid& frame) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace skyvane
