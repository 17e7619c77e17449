#include "processing/CoaddKernels.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "image/ValueRange.h"
#include "processing/Coaddition.h"
#include "processing/Statistics.h"
#include "processing/WeightedCoadd.h"

// The hot loops get a second, AVX2 version chosen at load time where the processor has it.
// Only the width of the vector registers changes: every lane performs the same IEEE
// operations in the same order (no fused multiply-add, which AVX2 alone does not enable).
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define SKYVANE_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define SKYVANE_VECTOR_CLONES
#endif

namespace skyvane {

namespace {

// A sorting network is used for the median up to this many frames; above it an exact
// selection per pixel (the network grows as n log^2 n).
constexpr int NetworkLimit = 128;

std::size_t ChunkFor(int n)
{
    return n <= 32 ? 128 : 64;
}

// True for NaN (no total order, so only the literal selection gives the expected value)
// and for -0 (equal to +0 yet other bits: which of the two lands in the middle depends on
// the algorithm). Such pixels go through medianOf itself.
inline std::uint64_t SpecialBits(double v)
{
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const std::uint64_t magnitude = bits & 0x7fffffffffffffffULL;
    return static_cast<std::uint64_t>(magnitude > 0x7ff0000000000000ULL) | static_cast<std::uint64_t>(bits == 0x8000000000000000ULL);
}

// Runs the comparators on slots of `chunk` values each, for the first `count` values of
// every slot. The min and max are written as "x < y ? x : y" and "x < y ? y : x", which
// for ordered values are exactly the smaller and the larger.
SKYVANE_VECTOR_CLONES
void ApplyNetwork(const Comparator* network, std::size_t comparators, double* slots, std::size_t chunk, std::size_t count)
{
    for (std::size_t c = 0; c < comparators; ++c) {
        double* __restrict a = slots + static_cast<std::size_t>(network[c].i) * chunk;
        double* __restrict b = slots + static_cast<std::size_t>(network[c].j) * chunk;
        switch (network[c].kind) {
        case Comparator::Both:
            for (std::size_t p = 0; p < count; ++p) {
                const double x = a[p];
                const double y = b[p];
                a[p] = x < y ? x : y;
                b[p] = x < y ? y : x;
            }
            break;
        case Comparator::MinOnly:
            for (std::size_t p = 0; p < count; ++p) {
                const double x = a[p];
                const double y = b[p];
                a[p] = x < y ? x : y;
            }
            break;
        case Comparator::MaxOnly:
            for (std::size_t p = 0; p < count; ++p) {
                const double x = a[p];
                const double y = b[p];
                b[p] = x < y ? y : x;
            }
            break;
        }
    }
}

// Copies a chunk of every frame into its slot and marks pixels holding NaN or -0.
SKYVANE_VECTOR_CLONES
std::uint64_t GatherChunk(const double* frames, std::size_t frameStride, int n, std::size_t count, double* slots, std::size_t chunk, std::uint64_t* special)
{
    for (std::size_t p = 0; p < count; ++p)
        special[p] = 0;
    for (int k = 0; k < n; ++k) {
        const double* __restrict src = frames + static_cast<std::size_t>(k) * frameStride;
        double* __restrict dst = slots + static_cast<std::size_t>(k) * chunk;
        for (std::size_t p = 0; p < count; ++p) {
            const double v = src[p];
            dst[p] = v;
            special[p] |= SpecialBits(v);
        }
    }
    std::uint64_t any = 0;
    for (std::size_t p = 0; p < count; ++p)
        any |= special[p];
    return any;
}

// The exact median of values without NaN and without -0, reordering them.
double ExactMedian(double* a, int n)
{
    const int upper = n / 2;
    std::nth_element(a, a + upper, a + n);
    const double y = a[upper];
    if (n % 2 != 0)
        return y;
    const double x = *std::max_element(a, a + upper);
    return (y + x) * 0.5;
}

// Whether any of the values is not-a-number (a missing pixel, or a result one made).
SKYVANE_VECTOR_CLONES
bool AnyNotANumber(const double* values, std::size_t count)
{
    std::uint64_t any = 0;
    for (std::size_t p = 0; p < count; ++p)
        any |= static_cast<std::uint64_t>(values[p] != values[p]);
    return any != 0;
}

// Whether any frame's value of pixel p is missing.
bool AnyMissing(const double* frames, std::size_t frameStride, int n, std::size_t p)
{
    bool missing = false;
    for (int k = 0; k < n; ++k)
        missing |= IsMissing(frames[static_cast<std::size_t>(k) * frameStride + p]);
    return missing;
}

// A pixel whose result is not finite (an infinite value, NaN, or a sum past the range of
// doubles: rare) is done again by the one-pixel rule, which leaves infinite values out of
// min-max rejection's sum and clips them in sigma clipping. Every finite result is the
// chunk's, untouched.
template <typename Rule>
void RedoNotFinite(const double* frames, std::size_t frameStride, int n, std::size_t count, double* out, double* values, Rule rule)
{
    for (std::size_t p = 0; p < count; ++p) {
        if (std::isfinite(out[p]))
            continue;
        for (int k = 0; k < n; ++k)
            values[k] = frames[static_cast<std::size_t>(k) * frameStride + p];
        out[p] = rule(values);
    }
}

SKYVANE_VECTOR_CLONES
void MeanChunk(const double* frames, std::size_t frameStride, int n, std::size_t count, double* out)
{
    for (std::size_t p = 0; p < count; ++p)
        out[p] = 0.0;
    for (int k = 0; k < n; ++k) {
        const double* __restrict v = frames + static_cast<std::size_t>(k) * frameStride;
        double* __restrict a = out;
        for (std::size_t p = 0; p < count; ++p)
            a[p] = v[p] + a[p];
    }
    const double divisor = n;
    for (std::size_t p = 0; p < count; ++p)
        out[p] = out[p] / divisor;
}

SKYVANE_VECTOR_CLONES
void MinMaxRejectionChunk(const double* frames, std::size_t frameStride, int n, std::size_t count, double* out, double* low, double* high)
{
    for (std::size_t p = 0; p < count; ++p) {
        out[p] = frames[p];
        low[p] = frames[p];
        high[p] = frames[p];
    }
    for (int k = 1; k < n; ++k) {
        const double* __restrict v = frames + static_cast<std::size_t>(k) * frameStride;
        double* __restrict a = out;
        double* __restrict lo = low;
        double* __restrict hi = high;
        for (std::size_t p = 0; p < count; ++p) {
            const double x = v[p];
            a[p] = x + a[p];
            hi[p] = x > hi[p] ? x : hi[p];
            lo[p] = x < lo[p] ? x : lo[p];
        }
    }
    const double divisor = n - 2;
    for (std::size_t p = 0; p < count; ++p)
        out[p] = (out[p] - low[p] - high[p]) / divisor;
}

// Work arrays of one sigma-clipping chunk, each `chunk` long.
struct SigmaClippingWork {
    double* weights; // n slots
    double* sum;
    double* mean;
    double* first;
    double* kept;
    double* limit;
};

// Sigma clipping of one chunk. The passes of SigmaClippingPixel are fused where one's output
// is the next one's input: the weights of a round are made in the same pass over the
// frames that sums the weighted values for the next round (or for the result), and the
// first round, where every weight is 1, reads no weights at all (1 x v is v, bit for bit).
// Each pixel's sums still take their terms in frame order, with the same expressions.
// The work arrays never overlap each other or the frames (ivdep: the compiler cannot see
// that through the structure).
SKYVANE_VECTOR_CLONES
void SigmaClippingChunk(const double* frames, std::size_t frameStride, int n, std::size_t count, std::size_t chunk, double kappa, int iterations, const SigmaClippingWork& w, double* out)
{
    double* __restrict sum = w.sum;
    double* __restrict mean = w.mean;
    double* __restrict first = w.first;
    double* __restrict kept = w.kept;
    double* __restrict limit = w.limit;
    const double all = n;

    // Round 1: the sum and the squares around the mean, every weight 1.
    #pragma GCC ivdep
    for (std::size_t p = 0; p < count; ++p)
        sum[p] = 0.0;
    for (int k = 0; k < n; ++k) {
        const double* __restrict v = frames + static_cast<std::size_t>(k) * frameStride;
        #pragma GCC ivdep
        for (std::size_t p = 0; p < count; ++p)
            sum[p] = v[p] + sum[p];
    }
    #pragma GCC ivdep
    for (std::size_t p = 0; p < count; ++p) {
        kept[p] = all;
        mean[p] = sum[p] / all;
        first[p] = mean[p];
    }
    if (iterations <= 0) {
        #pragma GCC ivdep
        for (std::size_t p = 0; p < count; ++p)
            out[p] = mean[p];
        return;
    }
    #pragma GCC ivdep
    for (std::size_t p = 0; p < count; ++p)
        sum[p] = 0.0;
    for (int k = 0; k < n; ++k) {
        const double* __restrict v = frames + static_cast<std::size_t>(k) * frameStride;
        #pragma GCC ivdep
        for (std::size_t p = 0; p < count; ++p) {
            const double d = v[p] - mean[p];
            sum[p] = (d * d) + sum[p];
        }
    }
    #pragma GCC ivdep
    for (std::size_t p = 0; p < count; ++p)
        limit[p] = kappa * std::sqrt(sum[p] / kept[p]);

    for (int it = 1;; ++it) {
        // The weights of round `it` (from the mean and limit of the round before), counted,
        // and the weighted sum they give.
        const bool fresh = it == 1;       // no weights yet: all were 1
        const bool last = it == iterations; // the weights are not needed again
        #pragma GCC ivdep
        for (std::size_t p = 0; p < count; ++p) {
            sum[p] = 0.0;
            kept[p] = 0.0;
        }
        for (int k = 0; k < n; ++k) {
            const double* __restrict v = frames + static_cast<std::size_t>(k) * frameStride;
            double* __restrict wk = w.weights + static_cast<std::size_t>(k) * chunk;
            if (fresh && last) {
                #pragma GCC ivdep
                for (std::size_t p = 0; p < count; ++p) {
                    const double weight = std::fabs(v[p] - mean[p]) > limit[p] ? 0.0 : 1.0;
                    kept[p] = kept[p] + weight;
                    sum[p] = weight * v[p] + sum[p];
                }
            } else if (fresh) {
                #pragma GCC ivdep
                for (std::size_t p = 0; p < count; ++p) {
                    const double weight = std::fabs(v[p] - mean[p]) > limit[p] ? 0.0 : 1.0;
                    wk[p] = weight;
                    kept[p] = kept[p] + weight;
                    sum[p] = weight * v[p] + sum[p];
                }
            } else if (last) {
                #pragma GCC ivdep
                for (std::size_t p = 0; p < count; ++p) {
                    const double weight = std::fabs(v[p] - mean[p]) > limit[p] ? 0.0 : wk[p];
                    kept[p] = kept[p] + weight;
                    sum[p] = weight * v[p] + sum[p];
                }
            } else {
                #pragma GCC ivdep
                for (std::size_t p = 0; p < count; ++p) {
                    const double weight = std::fabs(v[p] - mean[p]) > limit[p] ? 0.0 : wk[p];
                    wk[p] = weight;
                    kept[p] = kept[p] + weight;
                    sum[p] = weight * v[p] + sum[p];
                }
            }
        }
        if (last)
            break;
        // Round it + 1: mean and limit from the weighted values.
        #pragma GCC ivdep
        for (std::size_t p = 0; p < count; ++p)
            mean[p] = sum[p] / kept[p];
        #pragma GCC ivdep
        for (std::size_t p = 0; p < count; ++p)
            sum[p] = 0.0;
        for (int k = 0; k < n; ++k) {
            const double* __restrict v = frames + static_cast<std::size_t>(k) * frameStride;
            const double* __restrict wk = w.weights + static_cast<std::size_t>(k) * chunk;
            #pragma GCC ivdep
            for (std::size_t p = 0; p < count; ++p) {
                const double d = v[p] - mean[p];
                sum[p] = wk[p] * (d * d) + sum[p];
            }
        }
        #pragma GCC ivdep
        for (std::size_t p = 0; p < count; ++p)
            limit[p] = kappa * std::sqrt(sum[p] / kept[p]);
    }
    #pragma GCC ivdep
    for (std::size_t p = 0; p < count; ++p)
        out[p] = kept[p] > 0.0 ? sum[p] / kept[p] : first[p];
}

// Sixteen 16-bit lanes; the compiler maps them onto whatever vector registers the target
// has. LanesAt reads or writes them at any 2-byte aligned address.
typedef std::int16_t Lanes16 __attribute__((vector_size(32)));
typedef std::int16_t UnalignedLanes16 __attribute__((vector_size(32), aligned(2), may_alias));
constexpr std::size_t LaneCount = 16;
#define LanesAt(pointer) (*reinterpret_cast<UnalignedLanes16*>(pointer))
#define ConstLanesAt(pointer) (*reinterpret_cast<const UnalignedLanes16*>(pointer))

// The stored big-endian integers of a chunk as host integers (their order is the order of
// the values), each frame's slot padded with copies of its last value to whole lanes.
SKYVANE_VECTOR_CLONES
void GatherKeys(const std::uint16_t* frames, std::size_t frameStride, int n, std::size_t count, std::int16_t* keys, std::size_t chunk)
{
    const std::size_t padded = (count + LaneCount - 1) / LaneCount * LaneCount;
    for (int k = 0; k < n; ++k) {
        const std::uint16_t* __restrict src = frames + static_cast<std::size_t>(k) * frameStride;
        std::int16_t* __restrict dst = keys + static_cast<std::size_t>(k) * chunk;
        for (std::size_t p = 0; p < count; ++p) {
            const std::uint16_t u = src[p];
            dst[p] = static_cast<std::int16_t>(static_cast<std::uint16_t>((u >> 8) | (u << 8)));
        }
        for (std::size_t p = count; p < padded; ++p)
            dst[p] = dst[count - 1];
    }
}

SKYVANE_VECTOR_CLONES
void ApplyNetwork16(const Comparator* network, std::size_t comparators, std::int16_t* slots, std::size_t chunk, std::size_t count)
{
    for (std::size_t c = 0; c < comparators; ++c) {
        std::int16_t* __restrict a = slots + static_cast<std::size_t>(network[c].i) * chunk;
        std::int16_t* __restrict b = slots + static_cast<std::size_t>(network[c].j) * chunk;
        switch (network[c].kind) {
        case Comparator::Both:
            for (std::size_t p = 0; p < count; ++p) {
                const std::int16_t x = a[p];
                const std::int16_t y = b[p];
                a[p] = x < y ? x : y;
                b[p] = x < y ? y : x;
            }
            break;
        case Comparator::MinOnly:
            for (std::size_t p = 0; p < count; ++p)
                a[p] = a[p] < b[p] ? a[p] : b[p];
            break;
        case Comparator::MaxOnly:
            for (std::size_t p = 0; p < count; ++p)
                b[p] = a[p] < b[p] ? b[p] : a[p];
            break;
        }
    }
}

// The key of rank `rank` (0-based, ascending) of every pixel, and for even counts the key
// of rank `rank - 1` too, lane by lane. The rank key is found bit by bit from the top of
// its unsigned form (key + 32768): a bit is set when at most `rank` keys lie below the
// candidate. The key below it is the same key when at most rank - 1 keys lie below that,
// otherwise the largest key below it. 16 + 1 passes over the keys, counts in registers.
SKYVANE_VECTOR_CLONES
void SelectMiddle16(const std::int16_t* keys, int n, std::size_t chunk, std::size_t count, int rank, bool lowerToo, std::int16_t* upper, std::int16_t* lower)
{
    const Lanes16 zero = {};
    const Lanes16 rankLanes = zero + static_cast<std::int16_t>(rank);
    const Lanes16 signFlip = zero + static_cast<std::int16_t>(-32768);
    for (std::size_t p0 = 0; p0 < count; p0 += LaneCount) {
        const std::int16_t* base = keys + p0;
        Lanes16 found = zero; // unsigned form, bits decided so far
        for (int bit = 15; bit >= 0; --bit) {
            const std::int16_t bitValue = static_cast<std::int16_t>(static_cast<std::uint16_t>(1u << bit));
            const Lanes16 candidate = found | (zero + bitValue);
            const Lanes16 limit = candidate ^ signFlip; // back to the keys' signed order
            Lanes16 below = zero;
            for (int k = 0; k < n; ++k)
                below -= ConstLanesAt(base + static_cast<std::size_t>(k) * chunk) < limit; // true is -1
            found = below <= rankLanes ? candidate : found;
        }
        const Lanes16 middle = found ^ signFlip;
        LanesAt(upper + p0) = middle;
        if (lowerToo) {
            Lanes16 below = zero;
            Lanes16 largest = zero + static_cast<std::int16_t>(-32768);
            for (int k = 0; k < n; ++k) {
                const Lanes16 v = ConstLanesAt(base + static_cast<std::size_t>(k) * chunk);
                const Lanes16 less = v < middle;
                below -= less;
                const Lanes16 candidate = less ? v : largest;
                largest = candidate > largest ? candidate : largest;
            }
            LanesAt(lower + p0) = below < rankLanes ? middle : largest;
        }
    }
}

// A key back to its value, as the library converts the stored integer.
inline double KeyValue(std::int16_t stored, double scale, double zero)
{
    if (scale == 1.0 && zero == 0.0)
        return static_cast<double>(stored);
    return static_cast<double>(stored) * scale + zero;
}

} // namespace

int MinimumFrameCount(CoaddMethod method)
{
    switch (method) {
    case CoaddMethod::MinMaxRejection:
    case CoaddMethod::WinsorisedClipping:
        return 3;
    case CoaddMethod::SigmaClipping:
        return 5;
    case CoaddMethod::Median:
    case CoaddMethod::Mean:
        break;
    }
    return 1;
}

std::vector<Comparator> MedianNetwork(int n)
{
    std::vector<Comparator> full;
    if (n < 2)
        return full;
    int size = 1;
    while (size < n)
        size <<= 1;
    // Batcher's merge network for `size` slots. Slots from n up would hold +infinity; a
    // comparator touching one of them never moves anything, so it is left out.
    for (int p = 1; p < size; p <<= 1) {
        for (int k = p; k >= 1; k >>= 1) {
            for (int j = k % p; j + k < size; j += 2 * k) {
                for (int i = 0; i < k && i + j + k < size; ++i) {
                    if ((i + j) / (2 * p) == (i + j + k) / (2 * p) && i + j + k < n)
                        full.push_back({i + j, i + j + k, Comparator::Both});
                }
            }
        }
    }
    // Walking backwards from the wanted slots, keep what decides them.
    std::vector<bool> needed(static_cast<std::size_t>(n), false);
    needed[static_cast<std::size_t>(n / 2)] = true;
    if (n % 2 == 0)
        needed[static_cast<std::size_t>(n / 2 - 1)] = true;
    std::vector<Comparator> kept;
    for (auto c = full.rbegin(); c != full.rend(); ++c) {
        const bool low = needed[static_cast<std::size_t>(c->i)];
        const bool high = needed[static_cast<std::size_t>(c->j)];
        if (!low && !high)
            continue;
        Comparator used = *c;
        used.kind = low && high ? Comparator::Both : (low ? Comparator::MinOnly : Comparator::MaxOnly);
        kept.push_back(used);
        needed[static_cast<std::size_t>(c->i)] = true;
        needed[static_cast<std::size_t>(c->j)] = true;
    }
    std::reverse(kept.begin(), kept.end());
    return kept;
}

double CombinePresent(const CoaddParameters& parameters, double* values, int m, std::uint8_t* weights)
{
    if (m <= 0)
        return std::numeric_limits<double>::quiet_NaN(); // missing in every frame
    switch (parameters.method) {
    case CoaddMethod::Median:
        return medianOf(values, m);
    case CoaddMethod::Mean:
        return MeanPixel(values, m);
    case CoaddMethod::MinMaxRejection:
        // Both extremes can only be rejected from three values on.
        return m >= MinimumFrameCount(CoaddMethod::MinMaxRejection) ? MinMaxRejectionPixel(values, m) : MeanPixel(values, m);
    case CoaddMethod::SigmaClipping:
        return SigmaClippingPixel(values, m, parameters.kappa, parameters.iterations, weights);
    case CoaddMethod::WinsorisedClipping:
        break; // combined by the weighted combiner, which never asks here
    }
    return MeanPixel(values, m);
}

BandCombiner::BandCombiner(const CoaddParameters& parameters, int n, std::vector<double> weights)
    : parameters_(parameters), n_(n), present_(static_cast<std::size_t>(std::max(n, 1))), presentWeights_(static_cast<std::size_t>(std::max(n, 1)))
{
    if (!weights.empty() || parameters.method == CoaddMethod::WinsorisedClipping) {
        if (weights.empty())
            weights.assign(static_cast<std::size_t>(std::max(n, 0)), 1.0);
        weighted_ = std::make_unique<WeightedBandCombiner>(parameters, std::move(weights));
        return;
    }
    const std::size_t chunk = ChunkFor(n);
    const std::size_t slots = static_cast<std::size_t>(std::max(n, 1));
    switch (parameters_.method) {
    case CoaddMethod::Median:
        if (n <= NetworkLimit) {
            network_ = MedianNetwork(n);
            scratch_.resize(slots * chunk);
            work_.resize(slots);
            flags_.resize(chunk * sizeof(std::uint64_t));
        } else {
            scratch_.resize(slots);
        }
        break;
    case CoaddMethod::Mean:
        break;
    case CoaddMethod::MinMaxRejection:
        work_.resize(2 * chunk + slots);
        break;
    case CoaddMethod::SigmaClipping:
        scratch_.resize(slots * chunk + slots);
        work_.resize(5 * chunk);
        flags_.resize(slots);
        break;
    case CoaddMethod::WinsorisedClipping:
        break;
    }
}

BandCombiner::~BandCombiner() = default;

void BandCombiner::combine(const double* frames, std::size_t frameStride, std::size_t count, double* out)
{
    if (count == 0 || n_ <= 0)
        return;
    if (weighted_) {
        weighted_->combine(frames, frameStride, count, out);
        return;
    }
    switch (parameters_.method) {
    case CoaddMethod::Median:
        medianBand(frames, frameStride, count, out);
        break;
    case CoaddMethod::Mean:
        meanBand(frames, frameStride, count, out);
        break;
    case CoaddMethod::MinMaxRejection:
        minMaxRejectionBand(frames, frameStride, count, out);
        break;
    case CoaddMethod::SigmaClipping:
        sigmaClippingBand(frames, frameStride, count, out);
        break;
    case CoaddMethod::WinsorisedClipping: // by weighted_
        break;
    }
}

void BandCombiner::medianBand(const double* frames, std::size_t frameStride, std::size_t count, double* out)
{
    const int n = n_;
    if (n > NetworkLimit) {
        double* values = scratch_.data();
        for (std::size_t p = 0; p < count; ++p) {
            std::uint64_t special = 0;
            for (int k = 0; k < n; ++k) {
                values[k] = frames[static_cast<std::size_t>(k) * frameStride + p];
                special |= SpecialBits(values[k]);
            }
            out[p] = special != 0 ? presentPixel(frames, frameStride, p) : ExactMedian(values, n);
        }
        return;
    }
    if (n == 1) {
        std::copy(frames, frames + count, out);
        return;
    }
    const std::size_t chunk = ChunkFor(n);
    double* slots = scratch_.data();
    auto* special = reinterpret_cast<std::uint64_t*>(flags_.data());
    const std::size_t upper = static_cast<std::size_t>(n / 2) * chunk;
    const std::size_t lower = static_cast<std::size_t>(n / 2 - 1) * chunk;
    for (std::size_t p0 = 0; p0 < count; p0 += chunk) {
        const std::size_t c = std::min(chunk, count - p0);
        const std::uint64_t any = GatherChunk(frames + p0, frameStride, n, c, slots, chunk, special);
        ApplyNetwork(network_.data(), network_.size(), slots, chunk, c);
        double* result = out + p0;
        if (n % 2 != 0) {
            for (std::size_t p = 0; p < c; ++p)
                result[p] = slots[upper + p];
        } else {
            for (std::size_t p = 0; p < c; ++p)
                result[p] = (slots[upper + p] + slots[lower + p]) * 0.5;
        }
        if (any != 0) {
            for (std::size_t p = 0; p < c; ++p) {
                if (special[p] != 0)
                    result[p] = presentPixel(frames + p0, frameStride, p);
            }
        }
    }
}

void BandCombiner::meanBand(const double* frames, std::size_t frameStride, std::size_t count, double* out)
{
    // Chunks keep the accumulators in the first-level cache while the frames stream past.
    constexpr std::size_t chunk = 512;
    for (std::size_t p0 = 0; p0 < count; p0 += chunk) {
        const std::size_t c = std::min(chunk, count - p0);
        MeanChunk(frames + p0, frameStride, n_, c, out + p0);
        combinePresentWhereMissing(frames + p0, frameStride, c, out + p0);
    }
}

void BandCombiner::minMaxRejectionBand(const double* frames, std::size_t frameStride, std::size_t count, double* out)
{
    const std::size_t chunk = ChunkFor(n_);
    const int n = n_;
    double* values = work_.data() + 2 * chunk;
    for (std::size_t p0 = 0; p0 < count; p0 += chunk) {
        const std::size_t c = std::min(chunk, count - p0);
        MinMaxRejectionChunk(frames + p0, frameStride, n, c, out + p0, work_.data(), work_.data() + chunk);
        RedoNotFinite(frames + p0, frameStride, n, c, out + p0, values, [n](const double* v) { return MinMaxRejectionPixel(v, n); });
        combinePresentWhereMissing(frames + p0, frameStride, c, out + p0);
    }
}

void BandCombiner::sigmaClippingBand(const double* frames, std::size_t frameStride, std::size_t count, double* out)
{
    const std::size_t chunk = ChunkFor(n_);
    const SigmaClippingWork w{scratch_.data(), work_.data(), work_.data() + chunk, work_.data() + 2 * chunk, work_.data() + 3 * chunk, work_.data() + 4 * chunk};
    const int n = n_;
    const double kappa = parameters_.kappa;
    const int iterations = parameters_.iterations;
    double* values = scratch_.data() + static_cast<std::size_t>(n) * chunk;
    std::uint8_t* weights = flags_.data();
    for (std::size_t p0 = 0; p0 < count; p0 += chunk) {
        const std::size_t c = std::min(chunk, count - p0);
        SigmaClippingChunk(frames + p0, frameStride, n, c, chunk, kappa, iterations, w, out + p0);
        RedoNotFinite(frames + p0, frameStride, n, c, out + p0, values,
                      [=](const double* v) { return SigmaClippingPixel(v, n, kappa, iterations, weights); });
        combinePresentWhereMissing(frames + p0, frameStride, c, out + p0);
    }
}

void BandCombiner::combinePresentWhereMissing(const double* frames, std::size_t frameStride, std::size_t count, double* out)
{
    // A missing value makes the sums of the mean, min-max and sigma rules not-a-number, so
    // only pixels whose result is not-a-number can hold one; one look at the results finds
    // them (a chunk without any costs a single pass over its results).
    if (!AnyNotANumber(out, count))
        return;
    for (std::size_t p = 0; p < count; ++p) {
        if (IsMissing(out[p]) && AnyMissing(frames, frameStride, n_, p))
            out[p] = presentPixel(frames, frameStride, p);
    }
}

double BandCombiner::presentPixel(const double* frames, std::size_t frameStride, std::size_t p)
{
    double* values = present_.data();
    int m = 0;
    for (int k = 0; k < n_; ++k) {
        const double v = frames[static_cast<std::size_t>(k) * frameStride + p];
        if (!IsMissing(v))
            values[m++] = v;
    }
    return CombinePresent(parameters_, values, m, presentWeights_.data());
}

StoredMedianCombiner::StoredMedianCombiner(int n, double scale, double zero)
    : n_(n), scale_(scale), zero_(zero), chunk_(n <= 32 ? 256 : 128)
{
    if (n >= 2 && n <= NetworkLimit)
        network_ = MedianNetwork(n);
    keys_.resize(static_cast<std::size_t>(std::max(n, 1)) * chunk_);
    work_.resize(2 * chunk_);
}

void StoredMedianCombiner::combine(const std::uint16_t* frames, std::size_t frameStride, std::size_t count, double* out)
{
    const int n = n_;
    if (count == 0 || n <= 0)
        return;
    const std::size_t chunk = chunk_;
    std::int16_t* keys = keys_.data();
    std::int16_t* upperKey = work_.data();
    std::int16_t* lowerKey = work_.data() + chunk;
    const int rank = n / 2;
    for (std::size_t p0 = 0; p0 < count; p0 += chunk) {
        const std::size_t c = std::min(chunk, count - p0);
        GatherKeys(frames + p0, frameStride, n, c, keys, chunk);
        const std::int16_t* upper = keys;
        const std::int16_t* lower = keys;
        if (n == 1) {
        } else if (!network_.empty()) {
            ApplyNetwork16(network_.data(), network_.size(), keys, chunk, c);
            upper = keys + static_cast<std::size_t>(rank) * chunk;
            lower = keys + static_cast<std::size_t>(rank - 1) * chunk;
        } else {
            SelectMiddle16(keys, n, chunk, c, rank, n % 2 == 0, upperKey, lowerKey);
            upper = upperKey;
            lower = lowerKey;
        }
        double* result = out + p0;
        if (n % 2 != 0) {
            for (std::size_t p = 0; p < c; ++p)
                result[p] = KeyValue(upper[p], scale_, zero_);
        } else {
            for (std::size_t p = 0; p < c; ++p)
                result[p] = (KeyValue(upper[p], scale_, zero_) + KeyValue(lower[p], scale_, zero_)) * 0.5;
        }
    }
}

} // namespace skyvane
