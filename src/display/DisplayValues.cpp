#include "display/DisplayValues.h"

#include <algorithm>
#include <cmath>
#include <system_error>
#include <thread>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "display/TransferFunction.h"
#include "processing/Statistics.h"

namespace skyvane {

namespace {

// Below this many pixels a second thread costs more than it saves.
constexpr std::int64_t ThreadedPixels = std::int64_t{1} << 18;

// Runs work(piece, first, last) over [0, n) cut into equal pieces, one per processor (at
// most 8) for large n, and returns the number of pieces. Each piece writes only its own
// partial result, so the caller combines them in piece order.
template <typename Work>
int ForEachPiece(std::int64_t n, int maxPieces, Work work)
{
    int pieces = 1;
    if (n >= ThreadedPixels)
        pieces = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, std::min(8, maxPieces));
    std::vector<std::thread> workers;
    workers.reserve(static_cast<std::size_t>(pieces - 1));
    for (int p = 0; p < pieces; ++p) {
        const std::int64_t first = n * p / pieces;
        const std::int64_t last = n * (p + 1) / pieces;
        if (p + 1 == pieces) {
            work(p, first, last);
        } else {
            try {
                workers.emplace_back([&work, p, first, last] { work(p, first, last); });
            } catch (const std::system_error&) {
                work(p, first, last); // no thread to be had: done here instead
            }
        }
    }
    for (std::thread& worker : workers)
        worker.join();
    return pieces;
}

// Neighbours taken together by the sky's sample: a run fills one cache line, so that the
// sample costs a fraction of a pass over the image.
constexpr int SampleRun = 8;

// The middle of the values (the mean of the two middle ones for an even count); they are
// reordered.
double MiddleValue(std::vector<double>& values)
{
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    if (values.size() % 2 == 1)
        return *middle;
    const double below = *std::max_element(values.begin(), middle);
    return (*middle + below) * 0.5;
}

} // namespace

namespace {

// The extent of a run of values: NaN fails every comparison, and the infinities are kept
// out of the extent by name. Two values at a time where the processor has the vectors;
// the same figures either way (a zero's sign aside, which the caller makes +0).
void ExtentRun(const double* p, std::int64_t n, double* low, double* high, std::int64_t* missing,
               std::int64_t* infinite)
{
    double lo = INFINITY;
    double hi = -INFINITY;
    std::int64_t nan = 0;
    std::int64_t inf = 0;
    std::int64_t i = 0;
#if defined(__SSE2__)
    const __m128d plusInf = _mm_set1_pd(INFINITY);
    const __m128d minusInf = _mm_set1_pd(-INFINITY);
    __m128d los = plusInf;
    __m128d his = minusInf;
    __m128i nanCount = _mm_setzero_si128();
    __m128i infCount = _mm_setzero_si128();
    for (; i + 2 <= n; i += 2) {
        const __m128d v = _mm_loadu_pd(p + i);
        const __m128d below = _mm_and_pd(_mm_cmplt_pd(v, los), _mm_cmpneq_pd(v, minusInf));
        const __m128d above = _mm_and_pd(_mm_cmpgt_pd(v, his), _mm_cmpneq_pd(v, plusInf));
        los = _mm_or_pd(_mm_and_pd(below, v), _mm_andnot_pd(below, los));
        his = _mm_or_pd(_mm_and_pd(above, v), _mm_andnot_pd(above, his));
        // A true comparison is all ones, -1 as an integer: subtracting it counts one.
        nanCount = _mm_sub_epi64(nanCount, _mm_castpd_si128(_mm_cmpunord_pd(v, v)));
        infCount = _mm_sub_epi64(
            infCount, _mm_castpd_si128(_mm_or_pd(_mm_cmpeq_pd(v, plusInf), _mm_cmpeq_pd(v, minusInf))));
    }
    double pair[2];
    _mm_storeu_pd(pair, los);
    lo = pair[0] < pair[1] ? pair[0] : pair[1];
    _mm_storeu_pd(pair, his);
    hi = pair[0] > pair[1] ? pair[0] : pair[1];
    std::int64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), nanCount);
    nan += lanes[0] + lanes[1];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), infCount);
    inf += lanes[0] + lanes[1];
#endif
    for (; i < n; ++i) {
        const double v = p[i];
        lo = v < lo && v != -INFINITY ? v : lo;
        hi = v > hi && v != INFINITY ? v : hi;
        nan += v != v ? 1 : 0;
        inf += v == INFINITY || v == -INFINITY ? 1 : 0;
    }
    *low = lo;
    *high = hi;
    *missing = nan;
    *infinite = inf;
}

} // namespace

ValueExtent FindValueExtent(const ImageGrid& image)
{
    struct Part {
        double min = INFINITY;
        double max = -INFINITY;
        std::int64_t finite = 0;
        std::int64_t infinite = 0;
        std::int64_t missing = 0;
    };
    Part parts[8];
    const double* data = image.data();
    const std::int64_t n = image.empty() ? 0 : image.pixelCount();
    const int pieces = ForEachPiece(n, 8, [&parts, data](int piece, std::int64_t first, std::int64_t last) {
        double low = INFINITY;
        double high = -INFINITY;
        std::int64_t missing = 0;
        std::int64_t infinite = 0;
        ExtentRun(data + first, last - first, &low, &high, &missing, &infinite);
        Part part;
        part.min = low;
        part.max = high;
        part.missing = missing;
        part.infinite = infinite;
        part.finite = (last - first) - missing - infinite;
        parts[piece] = part;
    });
    Part all;
    for (int p = 0; p < pieces; ++p) {
        all.min = std::min(all.min, parts[p].min);
        all.max = std::max(all.max, parts[p].max);
        all.finite += parts[p].finite;
        all.infinite += parts[p].infinite;
        all.missing += parts[p].missing;
    }
    ValueExtent extent;
    if (all.finite > 0) {
        // + 0.0 makes a zero +0 whichever piece found it first.
        extent.min = all.min + 0.0;
        extent.max = all.max + 0.0;
    }
    extent.finite = all.finite;
    extent.infinite = all.infinite;
    extent.missing = all.missing;
    return extent;
}

ValueHistogram CountValues(const ImageGrid& image, const ValueExtent& extent, int bins)
{
    ValueHistogram histogram;
    histogram.low = extent.min;
    histogram.high = extent.max;
    histogram.missing = extent.missing;
    if (extent.finite + extent.infinite == 0 || bins < 1)
        return histogram;

    const std::size_t binCount = static_cast<std::size_t>(bins);
    std::vector<std::vector<std::int64_t>> parts(8);
    for (std::vector<std::int64_t>& part : parts)
        part.assign(binCount, 0);
    const double low = extent.min;
    const double last = bins - 1;
    const double scale = extent.max > extent.min ? bins / (extent.max - extent.min) : 0.0;
    const double* data = image.data();
    const int pieces = ForEachPiece(image.pixelCount(), 8, [&parts, data, low, last, scale](int piece, std::int64_t first, std::int64_t end) {
        std::int64_t* counts = parts[static_cast<std::size_t>(piece)].data();
        for (std::int64_t i = first; i < end; ++i) {
            const double v = data[i];
            if (v != v)
                continue;
            // Limited in double before the conversion, so that infinities stay defined; an
            // infinity times a scale of 0 (one finite value) is not a number, and counts
            // in the first bin.
            double b = (v - low) * scale;
            b = b > 0.0 ? b : 0.0;
            b = b < last ? b : last;
            ++counts[static_cast<std::size_t>(b)];
        }
    });
    histogram.counts.assign(binCount, 0);
    for (int p = 0; p < pieces; ++p)
        for (std::size_t b = 0; b < binCount; ++b)
            histogram.counts[b] += parts[static_cast<std::size_t>(p)][b];
    return histogram;
}

double FiniteMedian(const ImageGrid& image)
{
    std::vector<double> values;
    const std::int64_t n = image.empty() ? 0 : image.pixelCount();
    values.reserve(static_cast<std::size_t>(n));
    const double* data = image.data();
    for (std::int64_t i = 0; i < n; ++i)
        if (std::isfinite(data[i]))
            values.push_back(data[i]);
    return medianOf(values.data(), static_cast<std::int64_t>(values.size()));
}

SkyLevel MeasureSky(const ImageGrid& image)
{
    SkyLevel sky;
    const std::int64_t n = image.empty() ? 0 : image.pixelCount();
    const double* data = image.data();
    std::vector<double> values;
    const auto keep = [&values](double v) {
        if (std::isfinite(v))
            values.push_back(v);
    };
    if (n <= StretchSamplePixels) {
        values.reserve(static_cast<std::size_t>(n));
        for (std::int64_t i = 0; i < n; ++i)
            keep(data[i]);
    } else {
        // Runs of SampleRun neighbours (one cache line) starting at trunc(k x n / runs)
        // for k = 0 .. runs - 1, evenly spread over the whole block, without a product
        // beyond 64 bits.
        values.reserve(static_cast<std::size_t>(StretchSamplePixels));
        const std::int64_t runs = StretchSamplePixels / SampleRun;
        const std::int64_t whole = n / runs;
        const std::int64_t rest = n % runs;
        for (std::int64_t k = 0; k < runs; ++k) {
            const double* run = data + k * whole + k * rest / runs;
            for (int j = 0; j < SampleRun; ++j)
                keep(run[j]);
        }
    }
    if (values.empty())
        return sky;
    sky.samples = static_cast<std::int64_t>(values.size());
    sky.median = MiddleValue(values);
    for (double& v : values)
        v = std::fabs(v - sky.median);
    sky.mad = MiddleValue(values);
    return sky;
}

DisplayStretch StretchThresholds(const SkyLevel& sky, double maximum)
{
    DisplayStretch stretch;
    stretch.low = sky.median - StretchSigmas * (RobustSigmaPerMad * sky.mad);
    stretch.high = maximum;
    stretch.midtones = StretchMidtones(sky.median, stretch.low, stretch.high);
    return stretch;
}

double StretchMidtones(double median, double low, double high)
{
    if (!(high > low))
        return 0.5;
    const double x = (median - low) / (high - low);
    if (!(x > 0.0 && x < 1.0))
        return 0.5;
    return MidtonesTransfer(StretchMedianGrey, x);
}

} // namespace skyvane
