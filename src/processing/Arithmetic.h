#pragma once

#include <cstdint>

#include "image/ImageGrid.h"
#include "image/ImageRecord.h"

namespace skyvane {

// p := c x p for every pixel. Divide by c is MultiplyConstant(1 / c).
void MultiplyConstant(ImageGrid& grid, double c);
// p := c + p for every pixel. Subtract c is AddConstant(-c).
void AddConstant(ImageGrid& grid, double c);

enum class ImageOperation { Add, Multiply, Divide, Subtract };

// The same per-pixel steps on n values, in whatever order the pixels come (the list
// commands apply them to rows as they are read): the functions above are these on the
// whole grid, so both give the same bits.
void MultiplyValues(double* p, std::int64_t n, double c);
void AddToValues(double* p, std::int64_t n, double c);
void CombineValues(ImageOperation operation, double* a, const double* b, std::int64_t n, double zeroDivisionValue);

// Whether Image B can be combined with Image A: equal width and height, and the same
// plane count or a grey B (applied to each of A's planes). A colour B never combines with
// a grey A.
bool CanCombine(const ImageGrid& a, const ImageGrid& b);

// Image A and Image B must be combinable (CanCombine; the caller checks). Per pixel of
// each plane: add b + a; multiply b x a; subtract a - b; divide a / b, except that b equal
// to 0.0, -0.0 or not-a-number gives zeroDivisionValue.
void CombineWithImageB(ImageOperation operation, ImageGrid& a, const ImageGrid& b, double zeroDivisionValue);

// What the header option did to Image A's cards.
enum class HeaderOptionResult {
    Kept,           // 0 or less: Image A keeps its cards
    Copied,         // 1: Image B's cards were copied into Image A
    NotImplemented, // 2 or more: no such option yet; Image A keeps its cards (the user is
                    // to be told so)
};

// Header option ("Headers combo 1") applied after Image A was combined with Image B.
[[nodiscard]] HeaderOptionResult ApplyHeaderOption(int headerOption, ImageRecord& imageA, const ImageRecord& imageB);

} // namespace skyvane
