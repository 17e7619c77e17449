#include "processing/WeightedCoadd.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

// The hot loops get a second, AVX2 version chosen at load time where the processor has it;
// every lane does the same IEEE operations in the same order.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define SKYVANE_WEIGHTED_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define SKYVANE_WEIGHTED_CLONES
#endif

namespace skyvane {

namespace {

constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
// Winsorisation: the bounds in spreads, the correction of the spread, and when it has settled.
constexpr double WinsorBound = 1.5;
constexpr double WinsorCorrection = 1.134;
constexpr double WinsorSettled = 5e-4;
constexpr int WinsorRounds = 50;

// The finite values and their weights, in frame order, into a and b; their count.
int Finite(const double* v, const double* w, int n, double* a, double* b)
{
    int m = 0;
    for (int k = 0; k < n; ++k) {
        if (std::isfinite(v[k])) {
            a[m] = v[k];
            b[m] = w[k];
            ++m;
        }
    }
    return m;
}

double MeanOf(const double* a, const double* b, int m)
{
    double sum = 0.0;
    double weight = 0.0;
    for (int k = 0; k < m; ++k) {
        sum = b[k] * a[k] + sum;
        weight = b[k] + weight;
    }
    return sum / weight;
}

// sqrt(sum b (a - mean)^2 / sum b).
double SpreadOf(const double* a, const double* b, int m, double mean)
{
    double squares = 0.0;
    double weight = 0.0;
    for (int k = 0; k < m; ++k) {
        const double d = a[k] - mean;
        squares = b[k] * (d * d) + squares;
        weight = b[k] + weight;
    }
    return std::sqrt(squares / weight);
}

// Places the m values (with their weights) in ascending order, equal values in frame
// order, into sa and sb: each value's place is the count of values below it plus that of
// equal values before it. Branch-free, so it keeps pace with the compiler's vectors.
SKYVANE_WEIGHTED_CLONES
void RankInto(const double* a, const double* b, int m, double* sa, double* sb)
{
    for (int j = 0; j < m; ++j) {
        const double x = a[j];
        int rank = 0;
        for (int k = 0; k < m; ++k)
            rank += (a[k] < x) | ((a[k] == x) & (k < j));
        sa[rank] = x;
        sb[rank] = b[j];
    }
}

// The weighted median of m >= 1 finite values a (weights b), sorted into sa, sb.
double MedianOf(const double* a, const double* b, int m, double* sa, double* sb)
{
    if (m <= 64) {
        RankInto(a, b, m, sa, sb);
    } else {
        std::vector<int> order(static_cast<std::size_t>(m));
        for (int k = 0; k < m; ++k)
            order[static_cast<std::size_t>(k)] = k;
        std::sort(order.begin(), order.end(), [a](int x, int y) { return a[x] < a[y] || (a[x] == a[y] && x < y); });
        for (int k = 0; k < m; ++k) {
            sa[k] = a[order[static_cast<std::size_t>(k)]];
            sb[k] = b[order[static_cast<std::size_t>(k)]];
        }
    }
    double total = 0.0;
    for (int k = 0; k < m; ++k)
        total = sb[k] + total;
    double running = 0.0;
    for (int k = 0; k < m; ++k) {
        running = sb[k] + running;
        if (2.0 * running >= total) {
            if (2.0 * running == total && k + 1 < m)
                return (sa[k] + sa[k + 1]) * 0.5;
            return sa[k];
        }
    }
    return sa[m - 1];
}

double CopiedMedian(const double* a, const double* b, int m, double* sa, double* sb)
{
    return MedianOf(a, b, m, sa, sb);
}

} // namespace

double WeightedMeanPixel(const double* v, const double* w, int n, double* scratch)
{
    double* a = scratch;
    double* b = scratch + n;
    const int m = Finite(v, w, n, a, b);
    return m == 0 ? Nan : MeanOf(a, b, m);
}

double WeightedMedianPixel(const double* v, const double* w, int n, double* scratch)
{
    double* a = scratch;
    double* b = scratch + n;
    const int m = Finite(v, w, n, a, b);
    return m == 0 ? Nan : MedianOf(a, b, m, scratch + 2 * n, scratch + 3 * n);
}

double WeightedMinMaxRejectionPixel(const double* v, const double* w, int n, double* scratch)
{
    double* a = scratch;
    double* b = scratch + n;
    const int m = Finite(v, w, n, a, b);
    if (m == 0)
        return Nan;
    if (m < 3)
        return MeanOf(a, b, m);
    int low = 0;
    int high = 0;
    for (int k = 1; k < m; ++k) {
        if (a[k] > a[high])
            high = k;
        if (a[k] < a[low])
            low = k;
    }
    if (low == high)
        high = low == 0 ? 1 : 0; // all equal: the first two
    double sum = 0.0;
    double weight = 0.0;
    for (int k = 0; k < m; ++k) {
        if (k == low || k == high)
            continue;
        sum = b[k] * a[k] + sum;
        weight = b[k] + weight;
    }
    return sum / weight;
}

double WeightedSigmaClippingPixel(const double* v, const double* w, int n, double kappa, int iterations, double* scratch)
{
    double* a = scratch;
    double* b = scratch + n;
    int m = Finite(v, w, n, a, b);
    if (m == 0)
        return Nan;
    const double first = MeanOf(a, b, m);
    for (int round = 0; round < iterations && m > 0; ++round) {
        const double mean = round == 0 ? first : MeanOf(a, b, m);
        const double limit = kappa * SpreadOf(a, b, m, mean);
        int kept = 0;
        for (int k = 0; k < m; ++k) {
            if (std::fabs(a[k] - mean) > limit)
                continue;
            a[kept] = a[k];
            b[kept] = b[k];
            ++kept;
        }
        m = kept;
    }
    return m == 0 ? first : MeanOf(a, b, m);
}

double WinsorisedClippingPixel(const double* v, const double* w, int n, double kappa, int iterations, double* scratch)
{
    double* a = scratch;
    double* b = scratch + n;
    double* sa = scratch + 2 * n;
    double* sb = scratch + 3 * n;
    int m = Finite(v, w, n, a, b);
    if (m == 0)
        return Nan;
    const double firstCentre = CopiedMedian(a, b, m, sa, sb);
    for (int round = 0; round < iterations && m > 0; ++round) {
        const double centre = round == 0 ? firstCentre : CopiedMedian(a, b, m, sa, sb);
        double spread = SpreadOf(a, b, m, MeanOf(a, b, m));
        if (!(spread > 0.0))
            break;
        for (int settle = 0; settle < WinsorRounds; ++settle) {
            const double low = centre - WinsorBound * spread;
            const double high = centre + WinsorBound * spread;
            for (int k = 0; k < m; ++k)
                sa[k] = std::clamp(a[k], low, high);
            const double next = WinsorCorrection * SpreadOf(sa, b, m, MeanOf(sa, b, m));
            const bool settled = std::fabs(next - spread) <= WinsorSettled * spread;
            spread = next;
            if (settled)
                break;
        }
        const double limit = kappa * spread;
        int kept = 0;
        for (int k = 0; k < m; ++k) {
            if (std::fabs(a[k] - centre) > limit)
                continue;
            a[kept] = a[k];
            b[kept] = b[k];
            ++kept;
        }
        if (kept == m)
            break;
        m = kept;
    }
    return m == 0 ? firstCentre : MeanOf(a, b, m);
}

double WeightedPixel(const CoaddParameters& parameters, const double* v, const double* w, int n, double* scratch)
{
    switch (parameters.method) {
    case CoaddMethod::Median:
        return WeightedMedianPixel(v, w, n, scratch);
    case CoaddMethod::Mean:
        return WeightedMeanPixel(v, w, n, scratch);
    case CoaddMethod::MinMaxRejection:
        return WeightedMinMaxRejectionPixel(v, w, n, scratch);
    case CoaddMethod::SigmaClipping:
        return WeightedSigmaClippingPixel(v, w, n, parameters.kappa, parameters.iterations, scratch);
    case CoaddMethod::WinsorisedClipping:
        return WinsorisedClippingPixel(v, w, n, parameters.kappa, parameters.iterations, scratch);
    }
    return Nan;
}

namespace {

constexpr std::size_t Chunk = 128;
// Up to this many frames the weighted median ranks the values of a chunk of pixels at
// once (n^2 comparisons, in vectors); above it, pixel by pixel by sorting.
constexpr std::size_t MedianChunkFrames = 48;

// sum[p] = the weighted sum of pixel p's values (frame order), and marks pixels holding a
// value that is not finite.
SKYVANE_WEIGHTED_CLONES
void WeightedSums(const double* frames, std::size_t frameStride, const double* w, int n, std::size_t count, double* __restrict sum,
                  double* __restrict marked)
{
    for (std::size_t p = 0; p < count; ++p) {
        sum[p] = 0.0;
        marked[p] = 0.0;
    }
    for (int k = 0; k < n; ++k) {
        const double* __restrict v = frames + static_cast<std::size_t>(k) * frameStride;
        const double wk = w[k];
        for (std::size_t p = 0; p < count; ++p) {
            sum[p] = wk * v[p] + sum[p];
            marked[p] = v[p] - v[p] == 0.0 ? marked[p] : 1.0; // NaN for NaN and infinities
        }
    }
}

} // namespace

WeightedBandCombiner::WeightedBandCombiner(const CoaddParameters& parameters, std::vector<double> weights)
    : parameters_(parameters), weights_(std::move(weights))
{
    values_.resize(std::max<std::size_t>(1, weights_.size()));
    scratch_.resize(4 * values_.size());
    for (double w : weights_)
        totalWeight_ = w + totalWeight_;
    work_.resize(6 * Chunk);
    marked_.resize(Chunk);
    if (parameters_.method == CoaddMethod::SigmaClipping)
        keep_.resize(values_.size() * Chunk);
    if (parameters_.method == CoaddMethod::Median && weights_.size() <= MedianChunkFrames)
        keep_.resize(3 * values_.size() * Chunk);
}

void WeightedBandCombiner::combine(const double* frames, std::size_t frameStride, std::size_t count, double* out)
{
    const int n = static_cast<int>(weights_.size());
    if (n == 0)
        return;
    switch (parameters_.method) {
    case CoaddMethod::Mean:
        meanBand(frames, frameStride, count, out);
        return;
    case CoaddMethod::MinMaxRejection:
        if (n >= 3) {
            minMaxRejectionBand(frames, frameStride, count, out);
            return;
        }
        break;
    case CoaddMethod::SigmaClipping:
        sigmaClippingBand(frames, frameStride, count, out);
        return;
    case CoaddMethod::Median:
        if (weights_.size() <= MedianChunkFrames) {
            medianBand(frames, frameStride, count, out);
            return;
        }
        break;
    case CoaddMethod::WinsorisedClipping:
        break;
    }
    double* values = values_.data();
    for (std::size_t p = 0; p < count; ++p) {
        for (int k = 0; k < n; ++k)
            values[k] = frames[static_cast<std::size_t>(k) * frameStride + p];
        out[p] = WeightedPixel(parameters_, values, weights_.data(), n, scratch_.data());
    }
}

void WeightedBandCombiner::redoMarked(const double* frames, std::size_t frameStride, std::size_t count, double* out)
{
    const int n = static_cast<int>(weights_.size());
    for (std::size_t p = 0; p < count; ++p) {
        if (marked_[p] == 0.0)
            continue;
        for (int k = 0; k < n; ++k)
            values_[static_cast<std::size_t>(k)] = frames[static_cast<std::size_t>(k) * frameStride + p];
        out[p] = WeightedPixel(parameters_, values_.data(), weights_.data(), n, scratch_.data());
    }
}

namespace {

// The weighted mean of every value: a pixel holding a value that is not finite, and only
// such a pixel (or one whose sum leaves the range of doubles, which the one-pixel rule gives
// alike), comes out not finite, and is done again by the one-pixel rule.
SKYVANE_WEIGHTED_CLONES
void WeightedMeanChunk(const double* frames, std::size_t frameStride, const double* w, int n, std::size_t count, double total,
                       double* __restrict out)
{
    for (std::size_t p = 0; p < count; ++p)
        out[p] = 0.0;
    for (int k = 0; k < n; ++k) {
        const double* __restrict v = frames + static_cast<std::size_t>(k) * frameStride;
        const double wk = w[k];
        for (std::size_t p = 0; p < count; ++p)
            out[p] = wk * v[p] + out[p];
    }
    for (std::size_t p = 0; p < count; ++p)
        out[p] = out[p] / total;
}

} // namespace

void WeightedBandCombiner::meanBand(const double* frames, std::size_t frameStride, std::size_t count, double* out)
{
    const int n = static_cast<int>(weights_.size());
    constexpr std::size_t MeanChunk = 512;
    for (std::size_t p0 = 0; p0 < count; p0 += MeanChunk) {
        const std::size_t c = std::min(MeanChunk, count - p0);
        WeightedMeanChunk(frames + p0, frameStride, weights_.data(), n, c, totalWeight_, out + p0);
        for (std::size_t p = 0; p < c; ++p) {
            if (std::isfinite(out[p0 + p]))
                continue;
            for (int k = 0; k < n; ++k)
                values_[static_cast<std::size_t>(k)] = frames[static_cast<std::size_t>(k) * frameStride + p0 + p];
            out[p0 + p] = WeightedMeanPixel(values_.data(), weights_.data(), n, scratch_.data());
        }
    }
}

namespace {

SKYVANE_WEIGHTED_CLONES
void WeightedMinMaxChunk(const double* frames, std::size_t frameStride, const double* w, int n, std::size_t count, double* __restrict out,
                         double* __restrict low, double* __restrict high, double* __restrict lowAt, double* __restrict highAt,
                         double* __restrict weight)
{
    for (std::size_t p = 0; p < count; ++p) {
        low[p] = frames[p];
        high[p] = frames[p];
        lowAt[p] = 0.0;
        highAt[p] = 0.0;
    }
    for (int k = 1; k < n; ++k) {
        const double* __restrict v = frames + static_cast<std::size_t>(k) * frameStride;
        const double at = k;
        for (std::size_t p = 0; p < count; ++p) {
            highAt[p] = v[p] > high[p] ? at : highAt[p];
            high[p] = v[p] > high[p] ? v[p] : high[p];
            lowAt[p] = v[p] < low[p] ? at : lowAt[p];
            low[p] = v[p] < low[p] ? v[p] : low[p];
        }
    }
    for (std::size_t p = 0; p < count; ++p) {
        highAt[p] = lowAt[p] == highAt[p] ? (lowAt[p] == 0.0 ? 1.0 : 0.0) : highAt[p]; // all equal: the first two
        out[p] = 0.0;
        weight[p] = 0.0;
    }
    for (int k = 0; k < n; ++k) {
        const double* __restrict v = frames + static_cast<std::size_t>(k) * frameStride;
        const double at = k;
        const double wk = w[k];
        for (std::size_t p = 0; p < count; ++p) {
            const bool out1 = at == lowAt[p] || at == highAt[p];
            out[p] = out1 ? out[p] : wk * v[p] + out[p];
            weight[p] = out1 ? weight[p] : wk + weight[p];
        }
    }
    for (std::size_t p = 0; p < count; ++p)
        out[p] = out[p] / weight[p];
}

// Weighted sigma clipping of a chunk; keep holds each value's weight, 0 once rejected (in
// the first round every weight is the frame's, and keep is written as the round rejects). A
// pixel holding a value that is not finite comes out not finite (a NaN poisons its sums; an
// infinite value is rejected, and 0 x infinity is NaN), and is done again by the one-pixel rule.
SKYVANE_WEIGHTED_CLONES
void WeightedSigmaChunk(const double* frames, std::size_t frameStride, const double* w, int n, std::size_t count, std::size_t chunk,
                        double kappa, int iterations, double total, double* __restrict keep, double* __restrict sum,
                        double* __restrict weight, double* __restrict mean, double* __restrict first, double* __restrict limit,
                        double* __restrict out)
{
    for (std::size_t p = 0; p < count; ++p)
        sum[p] = 0.0;
    for (int k = 0; k < n; ++k) {
        const double* __restrict v = frames + static_cast<std::size_t>(k) * frameStride;
        const double wk = w[k];
        for (std::size_t p = 0; p < count; ++p)
            sum[p] = wk * v[p] + sum[p];
    }
    for (std::size_t p = 0; p < count; ++p) {
        first[p] = sum[p] / total;
        mean[p] = first[p];
    }
    if (iterations <= 0) {
        for (std::size_t p = 0; p < count; ++p)
            out[p] = first[p];
        return;
    }
    for (int round = 0; round < iterations; ++round) {
        const bool fresh = round == 0; // every weight still the frame's
        if (!fresh) {
            for (std::size_t p = 0; p < count; ++p) {
                sum[p] = 0.0;
                weight[p] = 0.0;
            }
            for (int k = 0; k < n; ++k) {
                const double* __restrict v = frames + static_cast<std::size_t>(k) * frameStride;
                const double* __restrict kk = keep + static_cast<std::size_t>(k) * chunk;
                for (std::size_t p = 0; p < count; ++p) {
                    sum[p] = kk[p] * v[p] + sum[p];
                    weight[p] = kk[p] + weight[p];
                }
            }
            for (std::size_t p = 0; p < count; ++p)
                mean[p] = sum[p] / weight[p];
        }
        for (std::size_t p = 0; p < count; ++p) {
            sum[p] = 0.0;
            weight[p] = 0.0;
        }
        for (int k = 0; k < n; ++k) {
            const double* __restrict v = frames + static_cast<std::size_t>(k) * frameStride;
            const double* __restrict kk = keep + static_cast<std::size_t>(k) * chunk;
            const double wk = w[k];
            if (fresh) {
                for (std::size_t p = 0; p < count; ++p) {
                    const double d = v[p] - mean[p];
                    sum[p] = wk * (d * d) + sum[p];
                    weight[p] = wk + weight[p];
                }
            } else {
                for (std::size_t p = 0; p < count; ++p) {
                    const double d = v[p] - mean[p];
                    sum[p] = kk[p] * (d * d) + sum[p];
                    weight[p] = kk[p] + weight[p];
                }
            }
        }
        for (std::size_t p = 0; p < count; ++p)
            limit[p] = kappa * std::sqrt(sum[p] / weight[p]);
        for (int k = 0; k < n; ++k) {
            const double* __restrict v = frames + static_cast<std::size_t>(k) * frameStride;
            double* __restrict kk = keep + static_cast<std::size_t>(k) * chunk;
            const double wk = w[k];
            if (fresh) {
                for (std::size_t p = 0; p < count; ++p)
                    kk[p] = std::fabs(v[p] - mean[p]) > limit[p] ? 0.0 : wk;
            } else {
                for (std::size_t p = 0; p < count; ++p)
                    kk[p] = std::fabs(v[p] - mean[p]) > limit[p] ? 0.0 : kk[p];
            }
        }
    }
    for (std::size_t p = 0; p < count; ++p) {
        sum[p] = 0.0;
        weight[p] = 0.0;
    }
    for (int k = 0; k < n; ++k) {
        const double* __restrict v = frames + static_cast<std::size_t>(k) * frameStride;
        const double* __restrict kk = keep + static_cast<std::size_t>(k) * chunk;
        for (std::size_t p = 0; p < count; ++p) {
            sum[p] = kk[p] * v[p] + sum[p];
            weight[p] = kk[p] + weight[p];
        }
    }
    for (std::size_t p = 0; p < count; ++p)
        out[p] = weight[p] > 0.0 ? sum[p] / weight[p] : first[p];
}

// The weighted median of a chunk as WeightedMedianPixel gives it for pixels of finite
// values: each value's rank (values below it, and equal ones of earlier frames), the values
// and weights placed by rank, then the running sum of the weights in that order.
SKYVANE_WEIGHTED_CLONES
void WeightedMedianChunk(const double* frames, std::size_t frameStride, const double* w, int n, std::size_t count, std::size_t chunk,
                         double* __restrict rank, double* __restrict sorted, double* __restrict sortedWeight, double* __restrict total,
                         double* __restrict running, double* __restrict done, double* __restrict out)
{
    // Eight pixels at a time, so that their counts stay in registers while the frames pass;
    // the pixels beyond the last eight one frame pair at a time.
    constexpr std::size_t Group = 8;
    const std::size_t whole = count / Group * Group;
    for (std::size_t p0 = 0; p0 < whole; p0 += Group) {
        for (int j = 0; j < n; ++j) {
            const double* __restrict vj = frames + static_cast<std::size_t>(j) * frameStride + p0;
            double r[Group] = {};
            for (int k = 0; k < j; ++k) {
                const double* __restrict vk = frames + static_cast<std::size_t>(k) * frameStride + p0;
                for (std::size_t q = 0; q < Group; ++q)
                    r[q] += vk[q] <= vj[q] ? 1.0 : 0.0;
            }
            for (int k = j + 1; k < n; ++k) {
                const double* __restrict vk = frames + static_cast<std::size_t>(k) * frameStride + p0;
                for (std::size_t q = 0; q < Group; ++q)
                    r[q] += vk[q] < vj[q] ? 1.0 : 0.0;
            }
            double* __restrict rj = rank + static_cast<std::size_t>(j) * chunk + p0;
            for (std::size_t q = 0; q < Group; ++q)
                rj[q] = r[q];
        }
    }
    for (int j = 0; j < n; ++j) {
        double* __restrict rj = rank + static_cast<std::size_t>(j) * chunk;
        const double* __restrict vj = frames + static_cast<std::size_t>(j) * frameStride;
        for (std::size_t p = whole; p < count; ++p)
            rj[p] = 0.0;
        for (int k = 0; k < n; ++k) {
            const double* __restrict vk = frames + static_cast<std::size_t>(k) * frameStride;
            for (std::size_t p = whole; p < count; ++p)
                rj[p] += (k < j ? vk[p] <= vj[p] : k > j && vk[p] < vj[p]) ? 1.0 : 0.0;
        }
    }
    for (int j = 0; j < n; ++j) {
        const double* rj = rank + static_cast<std::size_t>(j) * chunk;
        const double* vj = frames + static_cast<std::size_t>(j) * frameStride;
        for (std::size_t p = 0; p < count; ++p) {
            const std::size_t at = static_cast<std::size_t>(rj[p]) * chunk + p;
            sorted[at] = vj[p];
            sortedWeight[at] = w[j];
        }
    }
    for (std::size_t p = 0; p < count; ++p) {
        total[p] = 0.0;
        running[p] = 0.0;
        done[p] = 0.0;
    }
    for (int k = 0; k < n; ++k) {
        const double* __restrict wk = sortedWeight + static_cast<std::size_t>(k) * chunk;
        for (std::size_t p = 0; p < count; ++p)
            total[p] = wk[p] + total[p];
    }
    for (int k = 0; k < n; ++k) {
        const double* __restrict vk = sorted + static_cast<std::size_t>(k) * chunk;
        const double* __restrict next = sorted + static_cast<std::size_t>(k + 1 < n ? k + 1 : k) * chunk;
        const double* __restrict wk = sortedWeight + static_cast<std::size_t>(k) * chunk;
        const bool more = k + 1 < n;
        for (std::size_t p = 0; p < count; ++p) {
            running[p] = wk[p] + running[p];
            const double twice = 2.0 * running[p];
            const bool hit = done[p] == 0.0 && twice >= total[p];
            const double value = more && twice == total[p] ? (vk[p] + next[p]) * 0.5 : vk[p];
            out[p] = hit ? value : out[p];
            done[p] = hit ? 1.0 : done[p];
        }
    }
    const double* last = sorted + static_cast<std::size_t>(n - 1) * chunk;
    for (std::size_t p = 0; p < count; ++p)
        out[p] = done[p] != 0.0 ? out[p] : last[p];
}

} // namespace

void WeightedBandCombiner::medianBand(const double* frames, std::size_t frameStride, std::size_t count, double* out)
{
    const int n = static_cast<int>(weights_.size());
    double* w = work_.data();
    const std::size_t slots = static_cast<std::size_t>(n) * Chunk;
    for (std::size_t p0 = 0; p0 < count; p0 += Chunk) {
        const std::size_t c = std::min(Chunk, count - p0);
        WeightedSums(frames + p0, frameStride, weights_.data(), n, c, w, marked_.data());
        WeightedMedianChunk(frames + p0, frameStride, weights_.data(), n, c, Chunk, keep_.data(), keep_.data() + slots,
                            keep_.data() + 2 * slots, w, w + Chunk, w + 2 * Chunk, out + p0);
        redoMarked(frames + p0, frameStride, c, out + p0);
    }
}

void WeightedBandCombiner::minMaxRejectionBand(const double* frames, std::size_t frameStride, std::size_t count, double* out)
{
    const int n = static_cast<int>(weights_.size());
    double* sum = work_.data();
    double* w = work_.data();
    for (std::size_t p0 = 0; p0 < count; p0 += Chunk) {
        const std::size_t c = std::min(Chunk, count - p0);
        WeightedSums(frames + p0, frameStride, weights_.data(), n, c, sum, marked_.data());
        WeightedMinMaxChunk(frames + p0, frameStride, weights_.data(), n, c, out + p0, w, w + Chunk, w + 2 * Chunk, w + 3 * Chunk,
                            w + 4 * Chunk);
        redoMarked(frames + p0, frameStride, c, out + p0);
    }
}

void WeightedBandCombiner::sigmaClippingBand(const double* frames, std::size_t frameStride, std::size_t count, double* out)
{
    const int n = static_cast<int>(weights_.size());
    double* w = work_.data();
    for (std::size_t p0 = 0; p0 < count; p0 += Chunk) {
        const std::size_t c = std::min(Chunk, count - p0);
        WeightedSigmaChunk(frames + p0, frameStride, weights_.data(), n, c, Chunk, parameters_.kappa, parameters_.iterations, totalWeight_,
                           keep_.data(), w, w + Chunk, w + 2 * Chunk, w + 3 * Chunk, w + 4 * Chunk, out + p0);
        for (std::size_t p = 0; p < c; ++p)
            marked_[p] = std::isfinite(out[p0 + p]) ? 0.0 : 1.0;
        redoMarked(frames + p0, frameStride, c, out + p0);
    }
}

} // namespace skyvane
