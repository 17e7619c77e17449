#pragma once

#include <cstdint>

#include "image/ImageGrid.h"

namespace skyvane {

// Every walk runs columns 0..W-1 outer and rows 0..H-1 inner ("pixel order"); the figures
// are bit-identical to that order. All functions expect at least one pixel.

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

// Median of all pixels (mean of the two middle values for an even count). The grid is
// not changed.
double ImageMedian(const ImageGrid& grid);

// Median of the n values of a; a is reordered. n >= 1.
double medianOf(double* a, std::int64_t n);

// The value that would stand at index k (0-based) if a were sorted ascending; a is partly
// reordered.
double selectKth(double* a, std::int64_t n, std::int64_t k);

} // namespace skyvane
