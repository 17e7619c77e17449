#include "processing/Arithmetic.h"

#include <cmath>
#include <cstdint>

namespace skyvane {

// The grid is one column-major block, so walking it from start to end is pixel order:
// columns outer, rows inner. Every pixel is read and written once and depends on no
// other, so the loops below vectorise without changing a bit of any result.

void MultiplyConstant(ImageGrid& grid, double c)
{
    if (grid.empty())
        return;
    double* p = grid.data();
    const std::int64_t n = grid.pixelCount();
    for (std::int64_t i = 0; i < n; ++i)
        p[i] = c * p[i];
}

void AddConstant(ImageGrid& grid, double c)
{
    if (grid.empty())
        return;
    double* p = grid.data();
    const std::int64_t n = grid.pixelCount();
    for (std::int64_t i = 0; i < n; ++i)
        p[i] = c + p[i];
}

void CombineWithImageB(ImageOperation operation, ImageGrid& a, const ImageGrid& b, double zeroDivisionValue)
{
    // The interpreter compares the sizes first; a mismatch reaching here would read Image
    // B out of bounds, so it leaves Image A unchanged.
    if (a.empty() || a.width() != b.width() || a.height() != b.height())
        return;
    double* pa = a.data();
    const double* pb = b.data();
    const std::int64_t n = a.pixelCount();
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
        // b == 0.0 is also true for -0.0. The test comes before the division, so 0 / 0
        // gives the zero value, not not-a-number.
        for (std::int64_t i = 0; i < n; ++i) {
            const double d = pb[i];
            pa[i] = (d == 0.0 || std::isnan(d)) ? zeroDivisionValue : pa[i] / d;
        }
        break;
    }
}

HeaderOptionResult ApplyHeaderOption(int headerOption, ImageRecord& imageA, const ImageRecord& imageB)
{
    if (headerOption == 1) {
        if (&imageA != &imageB)
            imageA.cards = imageB.cards;
        return HeaderOptionResult::Copied;
    }
    return headerOption >= 2 ? HeaderOptionResult::NotImplemented : HeaderOptionResult::Kept;
}

} // namespace skyvane
