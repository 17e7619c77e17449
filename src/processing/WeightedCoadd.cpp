#include "processing/WeightedCoadd.h"

#include <algorithm>
#include <cmath>
#include <cstring>
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

// marked[p] = 1 for a pixel holding a value that is not finite, 0 otherwise.
SKYVANE_WEIGHTED_CLONES
void MarkNotFinite(const double* frames, std::size_t frameStride, int n, std::size_t count, double* __restrict marked)
{
    for (std::size_t p = 0; p < count; ++p)
        marked[p] = 0.0;
    for (int k = 0; k < n; ++k) {
        const double* __restrict v = frames + static_cast<std::size_t>(k) * frameStride;
        for (std::size_t p = 0; p < count; ++p)
            marked[p] = v[p] - v[p] == 0.0 ? marked[p] : 1.0; // NaN for NaN and infinities
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
    if ((parameters_.method == CoaddMethod::Median || parameters_.method == CoaddMethod::WinsorisedClipping) &&
        weights_.size() <= MedianChunkFrames) {
        keep_.resize(2 * values_.size() * Chunk);
        ranks_.resize(values_.size() * Chunk);
    }
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
        // Across pixels a rejected value is one of weight 0, so every weight must be more.
        if (weights_.size() <= MedianChunkFrames && std::all_of(weights_.begin(), weights_.end(), [](double x) { return x > 0.0; })) {
            winsorisedBand(frames, frameStride, count, out);
            return;
        }
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

// Four doubles in one vector register (two SSE registers without AVX): every lane does
// the IEEE operation of the scalar code, so results are bit-identical to it. Comparisons
// give masks of all ones (true) or zeros, and mask ? a : b picks per lane.
typedef double Lanes __attribute__((vector_size(32)));
typedef long long LaneMask __attribute__((vector_size(32)));

inline Lanes LoadLanes(const double* p)
{
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void StoreLanes(double* p, Lanes v)
{
    std::memcpy(p, &v, sizeof v);
}

inline Lanes SameLanes(double x)
{
    return Lanes{x, x, x, x};
}

typedef double ValueAndWeight __attribute__((vector_size(16)));

// Weighted min-max rejection of a chunk as WeightedMinMaxRejectionPixel gives it for pixels
// of finite values, eight pixels at a time so that their extremes, places and sums stay in
// registers while the frames pass; marked[p] becomes 1 for a pixel holding a value that is
// not finite, and for the pixels beyond the last eight (both done by the one-pixel rule), 0
// otherwise.
SKYVANE_WEIGHTED_CLONES
void WeightedMinMaxChunk(const double* frames, std::size_t frameStride, const double* w, int n, std::size_t count, double* __restrict out,
                         double* __restrict marked)
{
    constexpr std::size_t Group = 8;
    constexpr int Vectors = 2;
    const std::size_t whole = count / Group * Group;
    for (std::size_t p = whole; p < count; ++p)
        marked[p] = 1.0;
    const Lanes zero = SameLanes(0.0);
    const Lanes one = SameLanes(1.0);
    for (std::size_t p0 = 0; p0 < whole; p0 += Group) {
        Lanes low[Vectors], high[Vectors], lowAt[Vectors], highAt[Vectors], bad[Vectors];
        for (int q = 0; q < Vectors; ++q) {
            const Lanes x = LoadLanes(frames + p0 + 4 * q);
            low[q] = x;
            high[q] = x;
            lowAt[q] = zero;
            highAt[q] = zero;
            bad[q] = x - x == zero ? zero : one; // not 0 for NaN and infinities
        }
        for (int k = 1; k < n; ++k) {
            const double* v = frames + static_cast<std::size_t>(k) * frameStride + p0;
            const Lanes at = SameLanes(k);
            for (int q = 0; q < Vectors; ++q) {
                const Lanes x = LoadLanes(v + 4 * q);
                const LaneMask above = x > high[q];
                const LaneMask below = x < low[q];
                highAt[q] = above ? at : highAt[q];
                high[q] = above ? x : high[q];
                lowAt[q] = below ? at : lowAt[q];
                low[q] = below ? x : low[q];
                bad[q] = x - x == zero ? bad[q] : one;
            }
        }
        Lanes sum[Vectors], weight[Vectors];
        for (int q = 0; q < Vectors; ++q) {
            highAt[q] = lowAt[q] == highAt[q] ? (lowAt[q] == zero ? one : zero) : highAt[q]; // all equal: the first two
            sum[q] = zero;
            weight[q] = zero;
        }
        for (int k = 0; k < n; ++k) {
            const double* v = frames + static_cast<std::size_t>(k) * frameStride + p0;
            const Lanes at = SameLanes(k);
            const Lanes wk = SameLanes(w[k]);
            for (int q = 0; q < Vectors; ++q) {
                const Lanes x = LoadLanes(v + 4 * q);
                const LaneMask left = (at == lowAt[q]) | (at == highAt[q]);
                sum[q] = left ? sum[q] : wk * x + sum[q];
                weight[q] = left ? weight[q] : wk + weight[q];
            }
        }
        for (int q = 0; q < Vectors; ++q) {
            StoreLanes(out + p0 + 4 * q, sum[q] / weight[q]);
            StoreLanes(marked + p0 + 4 * q, bad[q]);
        }
    }
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
    // The weighted sums of the values kept so far, and of their weights.
    const auto sumKept = [&]() __attribute__((always_inline)) {
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
    };
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
            sumKept();
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
    sumKept();
    for (std::size_t p = 0; p < count; ++p)
        out[p] = weight[p] > 0.0 ? sum[p] / weight[p] : first[p];
}

// The weighted median of a chunk as WeightedMedianPixel gives it for pixels of finite
// values: each value's rank (values below it, and equal ones of earlier frames), the values
// and weights placed by rank, then the running sum of the weights in that order.
SKYVANE_WEIGHTED_CLONES
void WeightedMedianChunk(const double* frames, std::size_t frameStride, const double* w, int n, std::size_t count, std::size_t chunk,
                         std::int64_t* __restrict rank, double* __restrict sorted, double* __restrict total, double* __restrict running,
                         double* __restrict done, double* __restrict out)
{
    // Four pixels at a time, the rank of frame j counting the frames k < j with vk <= vj
    // and the frames k > j with vk < vj (a true comparison is -1 in its lane). Four frames
    // j at a time, so that each frame k read is compared with four in registers. The
    // pixels beyond the last four one frame pair at a time.
    constexpr std::size_t Group = 4;
    const std::size_t whole = count / Group * Group;
    const auto storeRank = [&](int j, std::size_t p0, LaneMask r) { std::memcpy(rank + static_cast<std::size_t>(j) * chunk + p0, &r, sizeof r); };
    for (std::size_t p0 = 0; p0 < whole; p0 += Group) {
        const double* at = frames + p0;
        const auto load = [&](int k) { return LoadLanes(at + static_cast<std::size_t>(k) * frameStride); };
        int j = 0;
        for (; j + 4 <= n; j += 4) {
            const Lanes v0 = load(j);
            const Lanes v1 = load(j + 1);
            const Lanes v2 = load(j + 2);
            const Lanes v3 = load(j + 3);
            LaneMask r0 = {0, 0, 0, 0};
            LaneMask r1 = r0;
            LaneMask r2 = r0;
            LaneMask r3 = r0;
            for (int k = 0; k < j; ++k) {
                const Lanes vk = load(k);
                r0 -= vk <= v0;
                r1 -= vk <= v1;
                r2 -= vk <= v2;
                r3 -= vk <= v3;
            }
            r1 -= v0 <= v1;
            r2 -= v0 <= v2;
            r3 -= v0 <= v3;
            r0 -= v1 < v0;
            r2 -= v1 <= v2;
            r3 -= v1 <= v3;
            r0 -= v2 < v0;
            r1 -= v2 < v1;
            r3 -= v2 <= v3;
            r0 -= v3 < v0;
            r1 -= v3 < v1;
            r2 -= v3 < v2;
            for (int k = j + 4; k < n; ++k) {
                const Lanes vk = load(k);
                r0 -= vk < v0;
                r1 -= vk < v1;
                r2 -= vk < v2;
                r3 -= vk < v3;
            }
            storeRank(j, p0, r0);
            storeRank(j + 1, p0, r1);
            storeRank(j + 2, p0, r2);
            storeRank(j + 3, p0, r3);
        }
        for (; j < n; ++j) {
            const Lanes vj = load(j);
            LaneMask r = {0, 0, 0, 0};
            for (int k = 0; k < j; ++k)
                r -= load(k) <= vj;
            for (int k = j + 1; k < n; ++k)
                r -= load(k) < vj;
            storeRank(j, p0, r);
        }
    }
    for (int j = 0; j < n; ++j) {
        std::int64_t* __restrict rj = rank + static_cast<std::size_t>(j) * chunk;
        const double* __restrict vj = frames + static_cast<std::size_t>(j) * frameStride;
        for (std::size_t p = whole; p < count; ++p)
            rj[p] = 0;
        for (int k = 0; k < n; ++k) {
            const double* __restrict vk = frames + static_cast<std::size_t>(k) * frameStride;
            for (std::size_t p = whole; p < count; ++p)
                rj[p] += (k < j ? vk[p] <= vj[p] : k > j && vk[p] < vj[p]) ? 1 : 0;
        }
    }
    // Each value with its weight beside it: sorted[2 (k chunk + p)] the value of rank k of
    // pixel p, the next its weight, one store for both.
    for (int j = 0; j < n; ++j) {
        const std::int64_t* rj = rank + static_cast<std::size_t>(j) * chunk;
        const double* vj = frames + static_cast<std::size_t>(j) * frameStride;
        const double wj = w[j];
        for (std::size_t p = 0; p < count; ++p) {
            const std::size_t at = static_cast<std::size_t>(rj[p]) * chunk + p;
            const ValueAndWeight pair = {vj[p], wj};
            std::memcpy(sorted + 2 * at, &pair, sizeof pair);
        }
    }
    for (std::size_t p = 0; p < count; ++p) {
        total[p] = 0.0;
        running[p] = 0.0;
        done[p] = 0.0;
    }
    // Four pixels to a vector, each lane with the operations of the loops below; the pixels
    // beyond the last four by those loops.
    const std::size_t four = count / 4 * 4;
    // The values and the weights of four pixels from their pairs.
    const auto values = [](const double* pairs) { return __builtin_shuffle(LoadLanes(pairs), LoadLanes(pairs + 4), LaneMask{0, 2, 4, 6}); };
    const auto weights = [](const double* pairs) { return __builtin_shuffle(LoadLanes(pairs), LoadLanes(pairs + 4), LaneMask{1, 3, 5, 7}); };
    for (int k = 0; k < n; ++k) {
        const double* __restrict pk = sorted + 2 * static_cast<std::size_t>(k) * chunk;
        for (std::size_t p = 0; p < four; p += 4)
            StoreLanes(total + p, weights(pk + 2 * p) + LoadLanes(total + p));
        for (std::size_t p = four; p < count; ++p)
            total[p] = pk[2 * p + 1] + total[p];
    }
    const Lanes none = SameLanes(0.0);
    const Lanes one = SameLanes(1.0);
    const Lanes two = SameLanes(2.0);
    const Lanes half = SameLanes(0.5);
    for (int k = 0; k < n; ++k) {
        const double* __restrict pk = sorted + 2 * static_cast<std::size_t>(k) * chunk;
        const double* __restrict next = sorted + 2 * static_cast<std::size_t>(k + 1 < n ? k + 1 : k) * chunk;
        const bool more = k + 1 < n;
        LaneMask waiting = {0, 0, 0, 0};
        for (std::size_t p = 0; p < four; p += 4) {
            const Lanes sum = weights(pk + 2 * p) + LoadLanes(running + p);
            StoreLanes(running + p, sum);
            const Lanes twice = two * sum;
            const Lanes all = LoadLanes(total + p);
            const Lanes finished = LoadLanes(done + p);
            const LaneMask hit = (finished == none) & (twice >= all);
            const Lanes value = values(pk + 2 * p);
            const Lanes between = (value + values(next + 2 * p)) * half;
            const LaneMask middle = more ? LaneMask(twice == all) : LaneMask{0, 0, 0, 0};
            const Lanes chosen = middle ? between : value;
            StoreLanes(out + p, hit ? chosen : LoadLanes(out + p));
            const Lanes now = hit ? one : finished;
            StoreLanes(done + p, now);
            waiting |= now == none;
        }
        bool left = false;
        for (std::size_t p = four; p < count; ++p) {
            running[p] = pk[2 * p + 1] + running[p];
            const double twice = 2.0 * running[p];
            const bool hit = done[p] == 0.0 && twice >= total[p];
            const double value = more && twice == total[p] ? (pk[2 * p] + next[2 * p]) * 0.5 : pk[2 * p];
            out[p] = hit ? value : out[p];
            done[p] = hit ? 1.0 : done[p];
            left = left || done[p] == 0.0;
        }
        // Once every pixel has its value the later frames change nothing.
        if (!left && waiting[0] == 0 && waiting[1] == 0 && waiting[2] == 0 && waiting[3] == 0)
            break;
    }
    const double* last = sorted + 2 * static_cast<std::size_t>(n - 1) * chunk;
    for (std::size_t p = 0; p < count; ++p)
        out[p] = done[p] != 0.0 ? out[p] : last[2 * p];
}

// Winsorised sigma clipping of a chunk, as WinsorisedClippingPixel does it for pixels of
// finite values, four pixels to a vector. A value rejected keeps its place with the weight
// 0, which adds nothing to a sum (a sum that starts at +0 is never -0, so adding a zero
// leaves it as it is); each lane stops settling, and stops its rounds, when its own pixel
// does. centre holds each pixel's weighted median of all its values (WeightedMedianChunk);
// the median of the values kept in later rounds is the one-pixel rule's, lane by lane.
// marked[p] becomes 1 for a pixel holding a value that is not finite and for the pixels
// beyond the last four (the one-pixel rule does them), 0 otherwise. scratch: 4 n values.
SKYVANE_WEIGHTED_CLONES
void WinsorisedChunk(const double* frames, std::size_t frameStride, const double* w, int n, std::size_t count, double kappa, int iterations,
                     const double* __restrict centre, double* __restrict out, double* __restrict marked, double* __restrict scratch)
{
    constexpr std::size_t Group = 4;
    const std::size_t whole = count / Group * Group;
    for (std::size_t p = whole; p < count; ++p)
        marked[p] = 1.0;
    const Lanes zero = SameLanes(0.0);
    const Lanes one = SameLanes(1.0);
    const Lanes bound = SameLanes(WinsorBound);
    const Lanes correction = SameLanes(WinsorCorrection);
    const Lanes settledBy = SameLanes(WinsorSettled);
    const Lanes limitBy = SameLanes(kappa);
    const LaneMask none = LaneMask{0, 0, 0, 0};
    const auto any = [](LaneMask m) { return (m[0] | m[1] | m[2] | m[3]) != 0; };
    const auto root = [](Lanes x) {
        for (int q = 0; q < 4; ++q)
            x[q] = std::sqrt(x[q]);
        return x;
    };
    Lanes kw[MedianChunkFrames]; // the weight each value still has
    for (std::size_t p0 = 0; p0 < whole; p0 += Group) {
        const double* v = frames + p0;
        const auto value = [&](int k) { return LoadLanes(v + static_cast<std::size_t>(k) * frameStride); };
        const Lanes first = LoadLanes(centre + p0);
        Lanes bad = zero;
        for (int k = 0; k < n; ++k) {
            const Lanes x = value(k);
            bad = x - x == zero ? bad : one; // not 0 for NaN and infinities
            kw[k] = SameLanes(w[k]);
        }
        // The weighted mean of the values kept (MeanOf).
        const auto keptMean = [&] {
            Lanes sum = zero, weight = zero;
            for (int k = 0; k < n; ++k) {
                sum = kw[k] * value(k) + sum;
                weight = kw[k] + weight;
            }
            return sum / weight;
        };
        Lanes result = zero;
        Lanes c = first;
        LaneMask running = ~none;
        for (int round = 0; round < iterations && any(running); ++round) {
            if (round > 0) {
                for (int q = 0; q < 4; ++q) {
                    if (running[q] == 0)
                        continue;
                    double* a = scratch;
                    double* b = scratch + n;
                    int m = 0;
                    for (int k = 0; k < n; ++k) {
                        if (kw[k][q] != 0.0) {
                            a[m] = v[static_cast<std::size_t>(k) * frameStride + q];
                            b[m] = w[k];
                            ++m;
                        }
                    }
                    c[q] = CopiedMedian(a, b, m, scratch + 2 * n, scratch + 3 * n);
                }
            }
            const Lanes mean = keptMean();
            Lanes squares = zero, weight = zero;
            for (int k = 0; k < n; ++k) {
                const Lanes d = value(k) - mean;
                squares = kw[k] * (d * d) + squares;
                weight = kw[k] + weight;
            }
            Lanes spread = root(squares / weight);
            // No spread: the rounds end, every value kept.
            const LaneMask flat = running & ~(spread > zero);
            result = flat ? mean : result;
            running = running & ~flat;
            LaneMask settling = running;
            for (int settle = 0; settle < WinsorRounds && any(settling); ++settle) {
                const Lanes low = c - bound * spread;
                const Lanes high = c + bound * spread;
                Lanes s = zero, sw = zero;
                for (int k = 0; k < n; ++k) {
                    const Lanes x = value(k);
                    s = kw[k] * (x < low ? low : (high < x ? high : x)) + s;
                    sw = kw[k] + sw;
                }
                const Lanes m = s / sw;
                Lanes sq = zero;
                sw = zero;
                for (int k = 0; k < n; ++k) {
                    const Lanes x = value(k);
                    const Lanes d = (x < low ? low : (high < x ? high : x)) - m;
                    sq = kw[k] * (d * d) + sq;
                    sw = kw[k] + sw;
                }
                const Lanes next = correction * root(sq / sw);
                const Lanes change = next - spread;
                const LaneMask settled = (change < zero ? -change : change) <= settledBy * spread;
                spread = settling ? next : spread;
                settling = settling & ~settled;
            }
            const Lanes limit = limitBy * spread;
            LaneMask rejected = none;
            LaneMask kept = none;
            for (int k = 0; k < n; ++k) {
                const Lanes d = value(k) - c;
                const LaneMask out1 = running & (kw[k] != zero) & ((d < zero ? -d : d) > limit);
                kw[k] = out1 ? zero : kw[k];
                rejected = rejected | out1;
                kept = kept | (kw[k] != zero);
            }
            // Nothing rejected: the rounds end. Everything rejected: the first centre.
            const LaneMask done = running & ~rejected;
            result = done ? mean : result;
            running = running & ~done;
            const LaneMask emptied = running & ~kept;
            result = emptied ? first : result;
            running = running & ~emptied;
        }
        if (any(running)) {
            const Lanes mean = keptMean();
            result = running ? mean : result;
        }
        StoreLanes(out + p0, result);
        StoreLanes(marked + p0, bad);
    }
}

} // namespace

void WeightedBandCombiner::medianBand(const double* frames, std::size_t frameStride, std::size_t count, double* out)
{
    const int n = static_cast<int>(weights_.size());
    double* w = work_.data();
    for (std::size_t p0 = 0; p0 < count; p0 += Chunk) {
        const std::size_t c = std::min(Chunk, count - p0);
        MarkNotFinite(frames + p0, frameStride, n, c, marked_.data());
        WeightedMedianChunk(frames + p0, frameStride, weights_.data(), n, c, Chunk, ranks_.data(), keep_.data(), w, w + Chunk, w + 2 * Chunk,
                            out + p0);
        redoMarked(frames + p0, frameStride, c, out + p0);
    }
}

void WeightedBandCombiner::winsorisedBand(const double* frames, std::size_t frameStride, std::size_t count, double* out)
{
    const int n = static_cast<int>(weights_.size());
    double* w = work_.data();
    for (std::size_t p0 = 0; p0 < count; p0 += Chunk) {
        const std::size_t c = std::min(Chunk, count - p0);
        double* centre = w + 3 * Chunk;
        WeightedMedianChunk(frames + p0, frameStride, weights_.data(), n, c, Chunk, ranks_.data(), keep_.data(), w, w + Chunk, w + 2 * Chunk,
                            centre);
        WinsorisedChunk(frames + p0, frameStride, weights_.data(), n, c, parameters_.kappa, parameters_.iterations, centre, out + p0,
                        marked_.data(), scratch_.data());
        redoMarked(frames + p0, frameStride, c, out + p0);
    }
}

void WeightedBandCombiner::minMaxRejectionBand(const double* frames, std::size_t frameStride, std::size_t count, double* out)
{
    const int n = static_cast<int>(weights_.size());
    for (std::size_t p0 = 0; p0 < count; p0 += Chunk) {
        const std::size_t c = std::min(Chunk, count - p0);
        WeightedMinMaxChunk(frames + p0, frameStride, weights_.data(), n, c, out + p0, marked_.data());
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
