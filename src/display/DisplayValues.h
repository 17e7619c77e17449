#pragma once

#include <cstdint>
#include <vector>

#include "image/ImageGrid.h"

namespace skyvane {

// What the display needs to know of an image's values beyond its picture: where they lie
// (the trackbars of an image of any values span it, the histogram shows it, the automatic
// stretch reaches up to its top), how they are spread (the histogram), and the sky's level
// (the automatic stretch). Missing pixels (NaN) are left out of every figure and counted
// on their own. Every figure is the same whatever the number of threads.

// The span of the finite values, in one pass.
struct ValueExtent {
    double min = 0.0; // of the finite values; both 0 when there is none
    double max = 0.0;
    std::int64_t finite = 0;   // pixels of a finite value
    std::int64_t infinite = 0; // pixels of +-infinity
    std::int64_t missing = 0;  // NaN pixels
};
ValueExtent FindValueExtent(const ImageGrid& image);

// Counts of the values in bins of equal width over [low, high] (the extent's min and
// max): a value v falls into bin trunc((v - low) x bins / (high - low)), limited to the
// first and last bins (so high itself, -infinity and +infinity count at the ends); when
// low = high every value counts in bin 0. Missing pixels are counted apart.
struct ValueHistogram {
    double low = 0.0;
    double high = 0.0;
    std::vector<std::int64_t> counts; // empty for an image of missing pixels only
    std::int64_t missing = 0;
};
// Throws std::bad_alloc when the bins cannot be had.
ValueHistogram CountValues(const ImageGrid& image, const ValueExtent& extent, int bins);

// The median of every finite value (not sampled); NaN when there is none. Throws
// std::bad_alloc when their copy cannot be had.
double FiniteMedian(const ImageGrid& image);

// The sky's level and spread: the median of the present finite values and their median
// absolute deviation from it. A large image is measured on an even sample of its pixels,
// runs of 8 neighbours spread over the whole image (every pixel when it has at most
// StretchSamplePixels): the figures serve the display, and a sample of this size places
// the median within about a hundredth of the noise, at a small part of a picture's cost.
inline constexpr std::int64_t StretchSamplePixels = std::int64_t{1} << 16;
struct SkyLevel {
    double median = 0.0;
    double mad = 0.0;
    std::int64_t samples = 0; // values measured; 0 when the image has no finite value
};
// Throws std::bad_alloc when the sample's memory cannot be had.
SkyLevel MeasureSky(const ImageGrid& image);

// The automatic stretch of the display: the low threshold at the sky's median less
// StretchSigmas robust standard deviations (RobustSigmaPerMad x MAD), the high one at the
// image's maximum, and a midtones balance that puts the median at StretchMedianGrey of
// full grey.
inline constexpr double StretchSigmas = 2.8;
inline constexpr double RobustSigmaPerMad = 1.4826;
inline constexpr double StretchMedianGrey = 0.25;
struct DisplayStretch {
    double low = 0.0;
    double high = 0.0;
    double midtones = 0.5;
};
DisplayStretch StretchThresholds(const SkyLevel& sky, double maximum);
// The balance m with MTF(m, x) = StretchMedianGrey for x, the median's place between the
// thresholds; 0.5 (no change) when the median does not lie strictly between them.
double StretchMidtones(double median, double low, double high);

} // namespace skyvane
