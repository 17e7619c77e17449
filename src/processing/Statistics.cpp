#include "processing/Statistics.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <thread>

namespace skyvane {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Below this many pixels a second thread costs more than it saves.
constexpr std::int64_t kParallelMinMaxPixels = std::int64_t{1} << 20;

// The running minimum and maximum of the rule "start from `first`; for every v: v > max
// takes v, v < min takes v" over values[0..count). Written plainly; the result is the
// first value (in order) equal to the extreme, which also fixes the sign of a zero.
MinMax runMinMax(double first, const double* values, std::int64_t count)
{
    double lo = first;
    double hi = first;
    for (std::int64_t i = 0; i < count; ++i) {
        const double v = values[i];
        if (v > hi) {
            hi = v;
        }
        if (v < lo) {
            lo = v;
        }
    }
    return {lo, hi};
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
    const double* values = grid.data();
    const std::int64_t n = grid.pixelCount();
    const double first = values[0];
    if (n < kParallelMinMaxPixels) {
        return runMinMax(first, values, n);
    }

    // Two halves at once. Both start from pixel (0, 0), so a NaN there poisons both halves
    // as it poisons the single pass. The second half wins only when it is strictly more
    // extreme; on a tie the first half holds the earlier pixel, which the single pass
    // keeps. So the merged figures are exactly the single pass's, bit for bit.
    const std::int64_t half = n / 2;
    MinMax upper;
    std::thread helper;
    try {
        helper = std::thread([&] { upper = runMinMax(first, values + half, n - half); });
    } catch (const std::system_error&) {
        return runMinMax(first, values, n);
    }
    const MinMax lower = runMinMax(first, values, half);
    helper.join();
    MinMax merged = lower;
    if (upper.max > merged.max) {
        merged.max = upper.max;
    }
    if (upper.min < merged.min) {
        merged.min = upper.min;
    }
    return merged;
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
