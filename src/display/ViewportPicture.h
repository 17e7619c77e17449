#pragma once

#include <cstddef>
#include <cstdint>

#include "display/DisplayBitmap.h"
#include "display/ReducedPicture.h"
#include "display/ViewMapping.h"

namespace skyvane {

// The client area's background where no picture covers it (red 90, green 90, blue 170),
// as a 32-bit RGB word.
inline constexpr std::uint32_t BackgroundRgb32 = 0xFF5A5AAAu;

// A caller's 32-bit RGB image (the layout of a Qt RGB32 image): width x height pixels,
// strideBytes from one row to the next (a multiple of 4, at least 4 x width), each pixel
// the word 0xFFRRGGBB, row 0 at the top.
struct Rgb32Image {
    std::uint32_t* pixels = nullptr;
    int width = 0;
    int height = 0;
    std::ptrdiff_t strideBytes = 0;
};

// Draws what the client area shows through the view: at 1:1 and zoomed in, the display's
// rows, each picture pixel repeated over 2^n x 2^n screen pixels; zoomed out, the reduced
// picture of factor 2^-n pixel for pixel. Blue b, green g and red r become 0xFF000000 +
// r x 0x10000 + g x 0x100 + b (grey g: 0xFF000000 + g x 0x010101); every
// screen pixel the picture does not cover gets `background`. Nothing is computed from the
// image. When there is nothing to draw from (no rows, rows that do not fit the headers, or
// zoomed out with reductions built for another picture or not at all) the whole target
// gets the background. A target of no pixels, or without pixels, is left alone.
// kernel Portable: plain code only (for comparison); the pixels are the same either way.
void FillViewport(const DisplayBitmap& bitmap, const ReducedPicture& reduced, const ViewMapping& view, const Rgb32Image& target,
                  std::uint32_t background = BackgroundRgb32, RenderKernel kernel = RenderKernel::Best);

} // namespace skyvane
