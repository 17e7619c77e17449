#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "image/ImageGrid.h"

namespace skyvane {

// Every walk runs columns 0..W-1 outer and rows 0..H-1 inner ("pixel order"); the figures
// are bit-identical to that order. N = W x H is counted in 64 bits. The functions expect
// at least one pixel; an empty grid gives NaN figures rather than a read outside the grid.
// NaN pixels never crash anything: min/max ignore them unless pixel (0, 0) is one (then
// both are NaN), mean and sigma become NaN, and the median is the value Wirth's selection
// leaves at the middle index.

struct MinMax {
    double min = 0.0;
    double max = 0.0;
};
// Starts from pixel (0, 0); for every pixel, v > max is tested before v < min.
MinMax ImageMinMax(const ImageGrid& grid);

struct MeanSigma {
    double mean = 0.0;
    double sigma = 0.0;
};
// Two passes: one accumulator summed in pixel order, mean = sum / N; then the sum of
// (v - mean)^2 in pixel order, sigma = sqrt(sq / N) (population, divisor N).
MeanSigma ImageMeanSigma(const ImageGrid& grid);

// Median of all pixels (mean of the two middle values for an even count), bit for bit what
// medianOf gives on a copy of the pixels in pixel order. The grid is only read, never
// changed, so several threads may take the median of one grid at once. From 4096 pixels
// on it selects on the values' bits without copying them (three 256 KiB tables, plus one
// slot per pixel sharing the middle value's top 32 bits); a grid holding a NaN or both
// zeros (+0 and -0), whose answer depends on the selection's steps, a smaller grid, and
// one of 2^32 pixels or more take the copy (8 bytes per pixel). Throws std::bad_alloc
// when the memory cannot be had.
double ImageMedian(const ImageGrid& grid);
// ImageMedian, or nothing when its memory cannot be had.
std::optional<double> TryImageMedian(const ImageGrid& grid);

// The same figures of n >= 1 values given in pixel order (a grid's pixels, or its present
// ones): ImageMinMax and ImageMeanSigma are these on the grid's block.
MinMax ValuesMinMax(const double* values, std::int64_t n);
MeanSigma ValuesMeanSigma(const double* values, std::int64_t n);

// The present pixels of a grid (those that are no NaN), in pixel order. Throws
// std::bad_alloc when the memory cannot be had.
std::vector<double> PresentValues(const ImageGrid& grid);
// The median of the present pixels: ImageMedian when no pixel is missing, NaN when all are.
// Throws std::bad_alloc as ImageMedian does.
double PresentMedian(const ImageGrid& grid);

// Median of the n values of a; a is reordered. For an even n: x = selectKth(n/2 - 1),
// y = the (n/2)-th value of the same array, result (y + x) * 0.5. n < 1 gives NaN.
double medianOf(double* a, std::int64_t n);

// The value that would stand at index k (0-based) if a were sorted ascending; a is partly
// reordered. Wirth's selection whenever the array holds a NaN (or both signed zeros); a
// faster exact selection otherwise, which yields the same bits. k outside [0, n) or n < 1
// gives NaN and touches nothing.
double selectKth(double* a, std::int64_t n, std::int64_t k);

} // namespace skyvane
