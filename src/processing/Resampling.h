#pragma once

#include "image/ImageGrid.h"

namespace skyvane {

// Resamples a frame onto the reference's pixel grid, given the frame's shift against the
// reference: a star at (x, y) in the reference stands at (x + dx, y + dy) in the frame
// (x counts columns, y counts rows; row 0 is the first FITS row; pixel centres at integer
// coordinates). The result is out(x, y) = frame(x + dx, y + dy), interpolated with a
// Lanczos-3 kernel applied separably (6 x 6 taps), whose weights are normalised to sum 1
// so that flux is kept.
//
// Edges: out(x, y) is computed only where the source point (x + dx, y + dy) lies within
// the span of the frame's pixel centres, [0, W - 1] x [0, H - 1]; there taps falling
// outside the frame are left out and the remaining weights normalised again. Every other
// pixel, which no input covers, gets the median of the frame's present pixels
// (PresentMedian), so that a later co-addition treats it as sky. An integer shift copies
// pixels exactly. A missing (NaN) pixel makes the output pixels whose kernel reaches it
// missing; non-finite dx or dy gives a grid of the median.
//
// A colour frame's planes are resampled alike, each as above (its own median filling what
// no input covers).
//
// out takes the frame's size and planes (its block is kept when it already has them; out may be
// the frame itself, which then costs a second block for the time of the call). threads: number
// of worker threads, 0 for as many as the processor has (at most 8); the result is
// bit-identical for any number. An empty frame gives an empty out. Throws std::bad_alloc
// when memory cannot be had.
void ResampleToReference(const ImageGrid& frame, double dx, double dy, ImageGrid& out, int threads = 1);

// The median of the frame's present pixels, the value PresentMedian gives (Statistics.h),
// found without sorting the whole frame: the fill of the pixels a resampling leaves
// uncovered. Throws std::bad_alloc when memory cannot be had.
double FrameMedian(const ImageGrid& frame);

} // namespace skyvane
