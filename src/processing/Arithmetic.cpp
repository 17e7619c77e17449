#include "processing/Arithmetic.h"

#include "image/FitsWriter.h"

#include <cmath>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace skyvane {

// The grid is one column-major block, so walking it from start to end is pixel order:
// columns outer, rows inner. Every pixel is read and written once and depends on no
// other, so the loops below vectorise without changing a bit of any result.

namespace {

// a / b, except that b equal to 0.0, -0.0 or not-a-number gives zeroDivisionValue: the
// quotient is used only where b < 0 or b > 0, so 0 / 0 gives the zero value, not
// not-a-number. Two pixels at a time where the processor has the instructions (the
// compiler does not vectorise a comparison that might trap); a division and a comparison
// give the same bits however they are issued.
void DivideValues(double* pa, const double* pb, std::int64_t n, double zeroDivisionValue)
{
    std::int64_t i = 0;
#if defined(__SSE2__)
    const __m128d zero = _mm_setzero_pd();
    const __m128d replacement = _mm_set1_pd(zeroDivisionValue);
    for (; i + 2 <= n; i += 2) {
        const __m128d a = _mm_loadu_pd(pa + i);
        const __m128d b = _mm_loadu_pd(pb + i);
        const __m128d usable = _mm_or_pd(_mm_cmplt_pd(b, zero), _mm_cmpgt_pd(b, zero));
        const __m128d q = _mm_div_pd(a, b);
        _mm_storeu_pd(pa + i, _mm_or_pd(_mm_and_pd(usable, q), _mm_andnot_pd(usable, replacement)));
    }
#endif
    for (; i < n; ++i) {
        const double d = pb[i];
        pa[i] = (d < 0.0 || d > 0.0) ? pa[i] / d : zeroDivisionValue;
    }
}

} // namespace

void MultiplyValues(double* p, std::int64_t n, double c)
{
    for (std::int64_t i = 0; i < n; ++i)
        p[i] = c * p[i];
}

void AddToValues(double* p, std::int64_t n, double c)
{
    for (std::int64_t i = 0; i < n; ++i)
        p[i] = c + p[i];
}

void CombineValues(ImageOperation operation, double* pa, const double* pb, std::int64_t n, double zeroDivisionValue)
{
    switch (operation) {
    case ImageOperation::Add:
        for (std::int64_t i = 0; i < n; ++i)
            pa[i] = pb[i] + pa[i];
        break;
    case ImageOperation::Multiply:
        for (std::int64_t i = 0; i < n; ++i)
            pa[i] = pb[i] * pa[i];
        break;
    case ImageOperation::Subtract:
        for (std::int64_t i = 0; i < n; ++i)
            pa[i] = pa[i] - pb[i];
        break;
    case ImageOperation::Divide:
        DivideValues(pa, pb, n, zeroDivisionValue);
        break;
    }
}

// The planes lie one after the other in the block, so every value of every plane is one
// walk over valueCount() values.

void MultiplyConstant(ImageGrid& grid, double c)
{
    if (!grid.empty())
        MultiplyValues(grid.data(), grid.valueCount(), c);
}

void AddConstant(ImageGrid& grid, double c)
{
    if (!grid.empty())
        AddToValues(grid.data(), grid.valueCount(), c);
}

bool CanCombine(const ImageGrid& a, const ImageGrid& b)
{
    return a.width() == b.width() && a.height() == b.height() && (b.planes() == a.planes() || b.planes() == 1);
}

void CombineWithImageB(ImageOperation operation, ImageGrid& a, const ImageGrid& b, double zeroDivisionValue)
{
    // The interpreter compares the sizes first; a mismatch reaching here would read Image
    // B out of bounds, so it leaves Image A unchanged.
    if (a.empty() || !CanCombine(a, b))
        return;
    // Plane by plane: B's plane of the same colour, or B's one plane for each of A's.
    for (int p = 0; p < a.planes(); ++p)
        CombineValues(operation, a.plane(p), b.plane(b.planes() == 1 ? 0 : p), a.pixelCount(), zeroDivisionValue);
}

HeaderOptionResult ApplyHeaderOption(int headerOption, ImageRecord& imageA, const ImageRecord& imageB)
{
    if (headerOption == 1) {
        // Image B's cards, describing Image A's planes (a grey Image B's cards for a colour
        // Image A gain NAXIS3).
        if (&imageA != &imageB)
            imageA.cards = imageA.grid.planes() == imageB.grid.planes() ? imageB.cards : PlaneCards(imageB.cards, imageA.grid.planes());
        return HeaderOptionResult::Copied;
    }
    return headerOption >= 2 ? HeaderOptionResult::NotImplemented : HeaderOptionResult::Kept;
}

} // namespace skyvane
