#include "processing/Statistics.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "image/ValueRange.h"

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


// Selection on the values' bits, for the median of a whole grid without copying it. A
// double that is not a number maps onto an unsigned key of the same order (negative values
// reversed below the positive ones), so the k-th smallest value is the k-th smallest key.
// A histogram of the top 16 bits of every key finds the bucket holding rank k; a histogram
// of the next 16 bits inside that bucket, which also notes the smallest and largest
// remaining 32 bits of each sub-bucket, narrows it to keys sharing 32 bits. When those keys
// are all one value (whole-number pixels) that is the answer; otherwise they are gathered
// and selected among. The pixels are only read: two passes, a third for the gathering.
// Keys are exact, so the value found is the exact k-th one; with no NaN and only one kind
// of zero every exact value has one bit pattern, the very bits the copy and medianOf give.
constexpr std::uint64_t SignBit = std::uint64_t{1} << 63;
// Below this the copy is cheaper than clearing and scanning the histograms.
constexpr std::int64_t SmallMedianPixels = 4096;
constexpr std::size_t Buckets = 65536;

std::uint64_t OrderKey(double v)
{
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & SignBit) != 0 ? ~bits : (bits | SignBit);
}

double FromOrderKey(std::uint64_t key)
{
    const std::uint64_t bits = (key & SignBit) != 0 ? (key & ~SignBit) : ~key;
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// The bucket that holds rank `rank`; rank becomes the rank inside it.
std::size_t BucketOfRank(const std::vector<std::uint32_t>& histogram, std::int64_t& rank)
{
    std::size_t bucket = 0;
    while (rank >= histogram[bucket]) {
        rank -= histogram[bucket];
        ++bucket;
    }
    return bucket;
}

// The smallest key above `key`; callers know there is one.
std::uint64_t NextKeyAbove(const double* values, std::int64_t n, std::uint64_t key)
{
    std::uint64_t next = std::numeric_limits<std::uint64_t>::max();
    for (std::int64_t i = 0; i < n; ++i) {
        const std::uint64_t candidate = OrderKey(values[i]);
        if (candidate > key && candidate < next) {
            next = candidate;
        }
    }
    return next;
}

struct MiddleKeys {
    std::uint64_t lower = 0; // rank k
    std::uint64_t upper = 0; // rank k + 1 (only when asked for)
    bool literal = false;    // a NaN or both zeros: the answer depends on Wirth's steps
};

// The keys of ranks k and (withUpper) k + 1 among the n values. The counters are 32 bits
// wide: n must not exceed 2^32 - 1.
MiddleKeys SelectMiddleKeys(const double* values, std::int64_t n, std::int64_t k, bool withUpper)
{
    MiddleKeys result;
    std::vector<std::uint32_t> histogram(Buckets);
    bool nan = false;
    bool positiveZero = false;
    bool negativeZero = false;
    for (std::int64_t i = 0; i < n; ++i) {
        const double v = values[i];
        const std::uint64_t key = OrderKey(v);
        ++histogram[key >> 48];
        nan |= v != v;
        positiveZero |= key == SignBit;
        negativeZero |= key == ~SignBit;
    }
    if (nan || (positiveZero && negativeZero)) {
        result.literal = true;
        return result;
    }
    std::int64_t rank = k;
    const std::uint64_t top = BucketOfRank(histogram, rank);

    std::fill(histogram.begin(), histogram.end(), 0);
    std::vector<std::uint32_t> lowest(Buckets, std::numeric_limits<std::uint32_t>::max());
    std::vector<std::uint32_t> highest(Buckets, 0);
    for (std::int64_t i = 0; i < n; ++i) {
        const std::uint64_t key = OrderKey(values[i]);
        if ((key >> 48) != top) {
            continue;
        }
        const std::size_t sub = (key >> 32) & 0xFFFF;
        const auto low = static_cast<std::uint32_t>(key);
        ++histogram[sub];
        lowest[sub] = low < lowest[sub] ? low : lowest[sub];
        highest[sub] = low > highest[sub] ? low : highest[sub];
    }
    const std::uint64_t second = BucketOfRank(histogram, rank);
    const std::uint64_t prefix = (top << 16) | second;
    const std::int64_t inBucket = histogram[second];

    std::int64_t equalAfter = 0; // keys equal to rank k's beyond it, within the bucket
    std::uint64_t nextInBucket = 0;
    bool hasNextInBucket = false;
    if (lowest[second] == highest[second]) {
        result.lower = (prefix << 32) | lowest[second];
        equalAfter = inBucket - rank - 1;
    } else {
        std::vector<std::uint64_t> keys;
        keys.reserve(static_cast<std::size_t>(inBucket));
        for (std::int64_t i = 0; i < n; ++i) {
            const std::uint64_t key = OrderKey(values[i]);
            if ((key >> 32) == prefix) {
                keys.push_back(key);
            }
        }
        const auto at = keys.begin() + rank;
        std::nth_element(keys.begin(), at, keys.end());
        result.lower = *at;
        if (at + 1 != keys.end()) {
            nextInBucket = *std::min_element(at + 1, keys.end());
            hasNextInBucket = true;
        }
    }
    if (withUpper) {
        if (equalAfter > 0) {
            result.upper = result.lower;
        } else if (hasNextInBucket) {
            result.upper = nextInBucket;
        } else {
            result.upper = NextKeyAbove(values, n, result.lower);
        }
    }
    return result;
}

// The plain rule: the pixels copied in pixel order, then medianOf.
double CopyMedian(const ImageGrid& grid)
{
    // The grid is column-major, so pixel order (pixel (i, j) at index i * H + j) is its
    // memory order and the copy is one block copy.
    const std::int64_t n = grid.pixelCount();
    std::unique_ptr<double[]> copy(new double[static_cast<std::size_t>(n)]);
    std::memcpy(copy.get(), grid.data(), static_cast<std::size_t>(n) * sizeof(double));
    return medianOf(copy.get(), n);
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

MinMax ValuesMinMax(const double* values, std::int64_t n)
{
    if (values == nullptr || n < 1) {
        return {kNaN, kNaN};
    }
    return runMinMax(values, n);
}

MeanSigma ImageMeanSigma(const ImageGrid& grid)
{
    if (grid.empty()) {
        return {kNaN, kNaN};
    }
    // Pixel order is memory order in the column-major grid.
    return ValuesMeanSigma(grid.data(), grid.pixelCount());
}

MeanSigma ValuesMeanSigma(const double* values, std::int64_t n)
{
    if (values == nullptr || n < 1) {
        return {kNaN, kNaN};
    }
    // One accumulator each, in pixel order: the order fixes the last bits, so no split
    // sums, no pairwise or compensated summation.
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

std::optional<double> TryImageMedian(const ImageGrid& grid)
{
    try {
        return ImageMedian(grid);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

double ImageMedian(const ImageGrid& grid)
{
    if (grid.empty()) {
        return kNaN;
    }
    const std::int64_t n = grid.pixelCount();
    // The selection on the bits needs no copy; it steps aside for small grids, for counts
    // its 32-bit counters cannot hold, and for a NaN or both zeros, where the bits of the
    // answer are those that Wirth's selection on the copy happens to leave.
    if (n >= SmallMedianPixels && n <= std::numeric_limits<std::uint32_t>::max()) {
        const bool even = n % 2 == 0;
        const std::int64_t k = even ? n / 2 - 1 : (n - 1) / 2;
        const MiddleKeys middle = SelectMiddleKeys(grid.data(), n, k, even);
        if (!middle.literal) {
            const double x = FromOrderKey(middle.lower);
            if (!even) {
                return x;
            }
            const double y = FromOrderKey(middle.upper);
            return (y + x) * 0.5;
        }
    }
    return CopyMedian(grid);
}

std::vector<double> PresentValues(const ImageGrid& grid)
{
    std::vector<double> present;
    present.reserve(static_cast<std::size_t>(grid.pixelCount() - CountMissing(grid)));
    const double* values = grid.data();
    for (std::int64_t i = 0, n = grid.pixelCount(); i < n; ++i) {
        if (!IsMissing(values[i])) {
            present.push_back(values[i]);
        }
    }
    return present;
}

double PresentMedian(const ImageGrid& grid)
{
    if (CountMissing(grid) == 0) {
        return ImageMedian(grid);
    }
    std::vector<double> present = PresentValues(grid);
    return medianOf(present.data(), static_cast<std::int64_t>(present.size()));
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
