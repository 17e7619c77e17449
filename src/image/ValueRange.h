#pragma once

#include <cstdint>

#include "image/ImageGrid.h"

namespace skyvane {

// Which display world an image lives in, decided once when an image is loaded or made.
//  - Whole: every value is a whole number within 0..32767 and none is missing. The
//    thresholds are integers in that range, Auto uses the median rule, a 16-bit save keeps
//    every value: the program behaves exactly as it always has for such images.
//  - Any: anything else (fractions, negatives, values above 32767, missing pixels). The
//    thresholds are real numbers spanning the image's range and a file opens stretched.
// A missing pixel is a NaN in the grid (a NaN pixel of a file, or a BLANK one of an
// integer file). Infinite values count as present but not whole.
enum class ValueWorld { Whole, Any };

// Classifies the grid (every plane). An empty grid is Whole.
ValueWorld ClassifyValues(const ImageGrid& grid);

// True when the value is a whole number within 0..32767 (NaN and infinities are not).
inline bool IsWholeValue(double v)
{
    return v >= 0.0 && v <= 32767.0 && v == static_cast<double>(static_cast<int>(v));
}

// True when v is a missing pixel.
inline bool IsMissing(double v)
{
    return v != v;
}

// The missing pixels of the grid (every plane).
std::int64_t CountMissing(const ImageGrid& grid);

// What a grid's values are against whole numbers within 0..top (a 16-bit file's range):
// how many are missing, how many present ones lie outside the range (infinities
// included), how many inside it are not whole. All three 0: the file can hold every value.
struct ValueCounts {
    std::int64_t missing = 0;
    std::int64_t outside = 0;
    std::int64_t fractional = 0;
};
ValueCounts CountValues(const ImageGrid& grid, double top);

} // namespace skyvane
