#include "image/ValueRange.h"

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

} // namespace skyvane
