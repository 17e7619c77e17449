#pragma once

#include "image/ImageGrid.h"
#include "image/ImageRecord.h"

namespace skyvane {

class Feedback;

// p := c x p for every pixel. Divide by c is MultiplyByConstant(1 / c).
void MultiplyByConstant(ImageGrid& grid, double c);
// p := c + p for every pixel. Subtract c is AddConstant(-c).
void AddConstant(ImageGrid& grid, double c);

enum class ImageOperation { Add, Multiply, Divide, Subtract };

// Image A and Image B must have equal width and height (the caller checks). Per pixel:
// add b + a; multiply b x a; subtract a - b; divide a / b, except that b equal to 0.0,
// -0.0 or not-a-number gives zeroDivisionValue.
void CombineWithImageB(ImageOperation operation, ImageGrid& a, const ImageGrid& b, double zeroDivisionValue);

// Header option ("Headers combo 1"): 1 copies Image B's cards into Image A; 2 or more
// shows "Header option not yet implemented, Image A headers will be used" and keeps
// Image A's cards; 0 or less keeps them silently.
void ApplyHeaderOption(int headerOption, ImageRecord& imageA, const ImageRecord& imageB, Feedback& messages);

} // namespace skyvane
