#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "processing/CoaddKernels.h"

namespace skyvane {

// The per-pixel rules that the seed's kernels do not cover: winsorised sigma clipping, and
// every method with weights. A pixel's values v[0..n-1] come with the weights w[0..n-1] of
// their frames (all 1 without weights). A value that is not finite (a missing pixel, NaN,
// or an infinite one) is left out before anything else; a pixel with no finite value is
// NaN. Sums take their terms in frame order.
//
//  - weighted mean: sum w v / sum w.
//  - weighted median: the values sorted (equal values in frame order), the first whose
//    running sum of weights reaches half the total; when it reaches exactly half, the mean
//    of that value and the next. With equal weights, the ordinary median.
//  - weighted min-max rejection: the first smallest and the first largest value left out
//    (with fewer than three values, none), then the weighted mean.
//  - weighted sigma clipping: in each round the weighted mean m and the weighted spread
//    s = sqrt(sum w (v - m)^2 / sum w) of the values kept; every value further than
//    kappa s from m is rejected; after the rounds, the weighted mean of the values kept
//    (of the first round's values when none is kept).
//  - winsorised sigma clipping: in each round, the centre c is the (weighted) median of
//    the values kept and s their (weighted) spread; then, until s changes by less than
//    0.05% (at most 50 times), the kept values are pulled in to c - 1.5 s .. c + 1.5 s and
//    s becomes 1.134 x the spread of the pulled-in values (1.134 undoes the narrowing for
//    normally distributed values); values further than kappa s from c are rejected. The
//    rounds end after `iterations` or when one rejects nothing; the result is the
//    (weighted) mean of the values kept (the first centre when none is kept).
//
// scratch has room for 4 n values and is overwritten.
double WeightedMedianPixel(const double* v, const double* w, int n, double* scratch);
double WeightedMeanPixel(const double* v, const double* w, int n, double* scratch);
double WeightedMinMaxRejectionPixel(const double* v, const double* w, int n, double* scratch);
double WeightedSigmaClippingPixel(const double* v, const double* w, int n, double kappa, int iterations, double* scratch);
double WinsorisedClippingPixel(const double* v, const double* w, int n, double kappa, int iterations, double* scratch);

// One pixel by the method of parameters, with weights.
double WeightedPixel(const CoaddParameters& parameters, const double* v, const double* w, int n, double* scratch);

// The rules above over bands laid out as BandCombiner takes them (frame k's value of pixel
// p at frames[k * frameStride + p]); weights has one weight per frame. Mean, median and
// winsorised clipping (up to 48 frames; winsorised clipping when every weight is more than
// 0), min-max rejection and sigma clipping work across the pixels of a chunk at once with
// the same operations, in the same order, as the one-pixel rules (a rejected value's
// weight becomes 0, which adds nothing), so results are bit-identical to them; a pixel
// holding a value that is not finite goes through the one-pixel rule. One per thread.
class WeightedBandCombiner {
public:
    WeightedBandCombiner(const CoaddParameters& parameters, std::vector<double> weights);
    void combine(const double* frames, std::size_t frameStride, std::size_t count, double* out);

private:
    void meanBand(const double* frames, std::size_t frameStride, std::size_t count, double* out);
    void medianBand(const double* frames, std::size_t frameStride, std::size_t count, double* out);
    void minMaxRejectionBand(const double* frames, std::size_t frameStride, std::size_t count, double* out);
    void sigmaClippingBand(const double* frames, std::size_t frameStride, std::size_t count, double* out);
    void winsorisedBand(const double* frames, std::size_t frameStride, std::size_t count, double* out);
    // Pixels holding a value that is not finite, done again by the one-pixel rule.
    void redoMarked(const double* frames, std::size_t frameStride, std::size_t count, double* out);

    CoaddParameters parameters_;
    std::vector<double> weights_;
    double totalWeight_ = 0.0; // the weights summed in frame order
    std::vector<double> values_;
    std::vector<double> scratch_;
    std::vector<double> work_;     // per-pixel accumulators of one chunk
    std::vector<double> keep_;     // sigma clipping: the weight each value still has, n x chunk;
                                   // median: the values by rank, each with its weight, 2 x n x chunk
    std::vector<std::int64_t> ranks_; // median: each value's rank, n x chunk
    std::vector<double> marked_;   // 1 for a pixel with a value that is not finite
};

} // namespace skyvane
