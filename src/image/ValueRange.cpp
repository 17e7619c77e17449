#include "image/ValueRange.h"

#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace skyvane {

ValueWorld ClassifyValues(const ImageGrid& grid)
{
    const double* p = grid.data();
    const std::int64_t n = grid.valueCount(); // every plane
    for (std::int64_t i = 0; i < n; ++i) {
        if (!IsWholeValue(p[i]))
            return ValueWorld::Any;
    }
    return ValueWorld::Whole;
}

std::int64_t CountMissing(const ImageGrid& grid)
{
    const double* p = grid.data();
    const std::int64_t n = grid.valueCount();
    std::int64_t missing = 0;
    for (std::int64_t i = 0; i < n; ++i)
        missing += IsMissing(p[i]) ? 1 : 0;
    return missing;
}

namespace {

// Counts a run: a value inside 0..top is whole when it survives a round trip through a
// 32-bit integer (top is at most 65535); the others are missing (NaN) or outside. Two
// values at a time where the processor has the vectors, the same counts either way.
void CountRun(const double* p, std::int64_t n, double top, std::int64_t* inside, std::int64_t* fractional,
              std::int64_t* missing)
{
    std::int64_t in = 0;
    std::int64_t cut = 0;
    std::int64_t nan = 0;
    std::int64_t i = 0;
#if defined(__SSE2__)
    const __m128d zero = _mm_setzero_pd();
    const __m128d high = _mm_set1_pd(top);
    __m128i inCount = _mm_setzero_si128();
    __m128i cutCount = _mm_setzero_si128();
    __m128i nanCount = _mm_setzero_si128();
    for (; i + 2 <= n; i += 2) {
        const __m128d v = _mm_loadu_pd(p + i);
        const __m128d within = _mm_and_pd(_mm_cmpge_pd(v, zero), _mm_cmple_pd(v, high));
        const __m128d w = _mm_and_pd(within, v);
        const __m128d back = _mm_cvtepi32_pd(_mm_cvttpd_epi32(w));
        // A true comparison is all ones, -1 as an integer: subtracting it counts one.
        inCount = _mm_sub_epi64(inCount, _mm_castpd_si128(within));
        cutCount = _mm_sub_epi64(cutCount, _mm_castpd_si128(_mm_cmpneq_pd(w, back)));
        nanCount = _mm_sub_epi64(nanCount, _mm_castpd_si128(_mm_cmpunord_pd(v, v)));
    }
    std::int64_t lanes[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), inCount);
    in += lanes[0] + lanes[1];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), cutCount);
    cut += lanes[0] + lanes[1];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), nanCount);
    nan += lanes[0] + lanes[1];
#endif
    for (; i < n; ++i) {
        const double v = p[i];
        const bool within = v >= 0.0 && v <= top;
        const double w = within ? v : 0.0;
        in += within ? 1 : 0;
        cut += w != static_cast<double>(static_cast<std::int32_t>(w)) ? 1 : 0;
        nan += v != v ? 1 : 0;
    }
    *inside = in;
    *fractional = cut;
    *missing = nan;
}

} // namespace

ValueCounts CountValues(const ImageGrid& grid, double top)
{
    const std::int64_t n = grid.valueCount();
    std::int64_t inside = 0;
    ValueCounts counts;
    CountRun(grid.data(), n, top, &inside, &counts.fractional, &counts.missing);
    counts.outside = n - inside - counts.missing;
    return counts;
}

} // namespace skyvane
