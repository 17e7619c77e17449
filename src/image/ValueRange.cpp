#include "image/ValueRange.h"

#include <cmath>
#include <cstdint>

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

ValueCounts CountValues(const ImageGrid& grid, double top)
{
    ValueCounts counts;
    const double* p = grid.data();
    const std::int64_t n = grid.valueCount();
    for (std::int64_t i = 0; i < n; ++i) {
        const double v = p[i];
        if (v >= 0.0 && v <= top) {
            counts.fractional += v == std::trunc(v) ? 0 : 1;
        } else {
            counts.missing += IsMissing(v) ? 1 : 0;
            counts.outside += IsMissing(v) ? 0 : 1;
        }
    }
    return counts;
}

} // namespace skyvane
