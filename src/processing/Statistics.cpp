#include "processing/Statistics.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace skyvane {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The figures of the rule "start from `first`; for every v in order: v > max takes v, v < min
// takes v". The running maximum only changes on a strictly larger value, so it ends as
// the first value (in order, `first` counting as the very first) equal to the largest
// one; the same holds for the minimum. Equal doubles have equal bits except +0 and -0,
// so any order of comparison gives the same bits unless an extreme is zero. That lets
// the walk keep eight independent running extremes (no loop-carried chain of one
// comparison per pixel) and settle a zero extreme afterwards by finding the first zero.
// A NaN as `first` stays in every accumulator (v > NaN is false), as it does in the
// single pass; any other NaN is never taken.
MinMax runMinMax(const double* values, std::int64_t n)
{
    const double first = values[0];
    constexpr int kLanes = 8;
    double hi[kLanes];
    double lo[kLanes];
    for (int l = 0; l < kLanes; ++l) {
        hi[l] = first;
        lo[l] = first;
    }
    std::int64_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (int l = 0; l < kLanes; ++l) {
            const double v = values[i + l];
            hi[l] = v > hi[l] ? v : hi[l];
            lo[l] = v < lo[l] ? v : lo[l];
        }
    }
    for (; i < n; ++i) {
        const double v = values[i];
        hi[0] = v > hi[0] ? v : hi[0];
        lo[0] = v < lo[0] ? v : lo[0];
    }
    MinMax r{lo[0], hi[0]};
    for (int l = 1; l < kLanes; ++l) {
        r.max = hi[l] > r.max ? hi[l] : r.max;
        r.min = lo[l] < r.min ? lo[l] : r.min;
    }
    if (r.max == 0.0 || r.min == 0.0) {
        // The sign of a zero extreme is that of the first zero in pixel order.
        std::int64_t z = 0;
        while (values[z] != 0.0) {
            ++z; // stops: the extreme itself is a zero somewhere in the array
        }
        if (r.max == 0.0) {
            r.max = values[z];
        }
        if (r.min == 0.0) {
            r.min = values[z];
        }
    }
    return r;
}

// Wirth's selection, exactly as the rule states it. Safe with NaN in the array: every scan
// stops at an element that failed the opposite scan's test (or at the pivot itself on the
// first round), so i and j stay inside [l, m] whatever the comparisons answer, and every
// round narrows [l, m] by at least one.
double wirthSelect(double* a, std::int64_t n, std::int64_t k)
{
    std::int64_t l = 0;
    std::int64_t m = n - 1;
    while (l < m) {
        const double x = a[k];
        std::int64_t i = l;
        std::int64_t j = m;
        do {
            while (a[i] < x) {
                ++i;
            }
            while (x < a[j]) {
                --j;
            }
            if (i <= j) {
                std::swap(a[i], a[j]);
                ++i;
                --j;
            }
        } while (i <= j);
        if (j < k) {
            l = i;
        }
        if (k < i) {
            m = j;
        }
    }
    return a[k];
}

// True when a comparison-based library selection may not be used, or may give a value
// with other bits than Wirth's selection: a NaN anywhere (the comparisons are then no
// strict weak order), or both +0 and -0 (equal, yet different bits, so which of them
// stands at index k depends on the algorithm). Otherwise every algorithm that finds the
// exact k-th value returns the very same bits.
bool needsLiteralSelection(const double* a, std::int64_t n)
{
    bool nan = false;
    bool positiveZero = false;
    bool negativeZero = false;
    for (std::int64_t i = 0; i < n; ++i) {
        const double v = a[i];
        nan |= v != v;
        const bool zero = v == 0.0;
        const bool sign = std::signbit(v);
        positiveZero |= zero & !sign;
        negativeZero |= zero & sign;
    }
    return nan || (positiveZero && negativeZero);
}

// The k-th value by the library's introselect (linear, no quadratic worst case). Only for
// arrays that needsLiteralSelection() accepts.
double fastSelect(double* a, std::int64_t n, std::int64_t k)
{
    std::nth_element(a, a + k, a + n);
    return a[k];
}

double medianSelected(double* a, std::int64_t n, bool literal)
{
    if (n % 2 == 1) {
        const std::int64_t k = (n - 1) / 2;
        return literal ? wirthSelect(a, n, k) : fastSelect(a, n, k);
    }
    const std::int64_t k = n / 2 - 1;
    if (literal) {
        const double x = wirthSelect(a, n, k);
        const double y = wirthSelect(a, n, k + 1);
        return (y + x) * 0.5;
    }
    // After the selection of index k everything behind it is >= a[k], so the next value
    // in ascending order is the smallest of a[k+1..n): the exact (k+1)-th value that a
    // second selection would find, at the cost of one scan.
    const double x = fastSelect(a, n, k);
    double y = a[k + 1];
    for (std::int64_t i = k + 2; i < n; ++i) {
        y = a[i] < y ? a[i] : y;
    }
    return (y + x) * 0.5;
}

} // namespace

MinMax ImageMinMax(const ImageGrid& grid)
{
    if (grid.empty()) {
        return {kNaN, kNaN};
    }
    // Pixel order is memory order in the column-major grid.
    return runMinMax(grid.data(), grid.pixelCount());
}

MeanSigma ImageMeanSigma(const ImageGrid& grid)
{
    if (grid.empty()) {
        return {kNaN, kNaN};
    }
    // One accumulator each, in pixel order: the order fixes the last bits, so no split
    // sums, no pairwise or compensated summation.
    const double* values = grid.data();
    const std::int64_t n = grid.pixelCount();
    const double count = static_cast<double>(n);

    double sum = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        sum += values[i];
    }
    const double mean = sum / count;

    double sq = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        const double d = values[i] - mean;
        sq += d * d;
    }
    return {mean, std::sqrt(sq / count)};
}

double ImageMedian(const ImageGrid& grid)
{
    if (grid.empty()) {
        return kNaN;
    }
    // The grid is column-major, so pixel order (pixel (i, j) at index i * H + j) is its
    // memory order and the copy is one block copy.
    const std::int64_t n = grid.pixelCount();
    std::unique_ptr<double[]> copy(new double[static_cast<std::size_t>(n)]);
    std::memcpy(copy.get(), grid.data(), static_cast<std::size_t>(n) * sizeof(double));
    return medianOf(copy.get(), n);
}

double medianOf(double* a, std::int64_t n)
{
    if (a == nullptr || n < 1) {
        return kNaN;
    }
    return medianSelected(a, n, needsLiteralSelection(a, n));
}

double selectKth(double* a, std::int64_t n, std::int64_t k)
{
    // An index outside the array has no value; reading a[k] there would read foreign
    // memory.
    if (a == nullptr || n < 1 || k < 0 || k >= n) {
        return kNaN;
    }
    if (n == 1) {
        return a[k];
    }
    return needsLiteralSelection(a, n) ? wirthSelect(a, n, k) : fastSelect(a, n, k);
}

} // namespace skyvane
