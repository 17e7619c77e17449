#pragma once

#include "image/ImageGrid.h"
#include "processing/PatternMatch.h"

namespace skyvane {

// Resamples a frame onto the reference's pixel grid under a similarity transform from the
// reference to the frame (a star at (x, y) in the reference stands at toFrame(x, y) in the
// frame): out(x, y) = frame(toFrame(x, y)), with the interpolation of ResampleToReference
// (Resampling.h): a Lanczos-3 kernel applied separably (6 x 6 taps about the source point),
// its weights normalised to sum 1 per axis so that flux is kept. The weights are taken from
// a table of 1024 steps per pixel, so the source point is placed to 1/2048 pixel; a point
// on a pixel centre copies that pixel exactly.
//
// Edges as ResampleToReference: out(x, y) is computed only where the source point lies
// within [0, W - 1] x [0, H - 1], taps outside the frame left out and the remaining weights
// normalised again; every other pixel gets the median of the frame's present pixels
// (FrameMedian, Resampling.h). A NaN pixel spreads to the outputs whose taps reach it.
//
// out takes the size width x height of the reference, whatever the frame's (out may not
// be the frame). threads: 0 for as many as the
// processor has (at most 8); the result is the same for any number. Throws std::bad_alloc
// when memory cannot be had.
void ResampleTransformed(const ImageGrid& frame, const SimilarityTransform& toFrame, int width, int height, ImageGrid& out,
                         int threads = 1);

} // namespace skyvane
