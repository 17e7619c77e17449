#pragma once

#include <cstdint>
#include <string>

#include "image/ImageGrid.h"

namespace skyvane {

// The zoom steps: powers of two from 1:32 (zoom -5) to 32:1 (zoom 5).
inline constexpr int ZoomMinimum = -5;
inline constexpr int ZoomMaximum = 5;

// Where the picture lies in the client area. Picture coordinates are the picture as shown
// at 1:1: column c is image column c, line L (counted downwards from the top) is image row
// height - 1 - L. The view has a zoom step n and the client-area position of the picture's
// top-left corner (offsetX, offsetY). Zoomed in (n > 0) each picture pixel covers
// 2^n x 2^n screen pixels; zoomed out (n < 0) each screen pixel shows one pixel of the
// reduced picture of factor f = 2^-n, i.e. the block of f x f picture pixels whose top-left
// pixel is (f i, f j). Offsets are whole screen pixels, so the blocks always line up with
// the screen. The start view (n = 0, offset 0, 0) is the picture 1:1 from the top-left.
// Every function below takes a zoom step outside -5..5 as the nearest one.
struct ViewMapping {
    int zoom = 0;
    std::int64_t offsetX = 0;
    std::int64_t offsetY = 0;

    bool operator==(const ViewMapping&) const = default;
};

struct PicturePixel {
    std::int64_t column = 0;
    std::int64_t line = 0;
};

struct ScreenPoint {
    std::int64_t x = 0;
    std::int64_t y = 0;
};

// The picture pixel under screen pixel (sx, sy): floor((s - offset) / 2^n), which zoomed
// out is the top-left pixel of the block that the screen pixel shows. Defined for every
// point, also outside the picture (negative or beyond the size).
PicturePixel ScreenToPicture(const ViewMapping& view, std::int64_t sx, std::int64_t sy);

// The screen pixel that shows picture pixel (column, line): zoomed in, the top-left one of
// its square; zoomed out, the one showing its block. ScreenToPicture(PictureToScreen(p))
// is p zoomed in or at 1:1, and the block's top-left pixel zoomed out.
ScreenPoint PictureToScreen(const ViewMapping& view, std::int64_t column, std::int64_t line);

// The picture's extent on the screen for a picture of width x height pixels: (width,
// height) x 2^n zoomed in, ceil(width / f) x ceil(height / f) zoomed out (the size of the
// reduced picture). 0 for an empty picture.
ScreenPoint ScaledSize(int zoom, int width, int height);

// The pointer readout over a width x height picture. The screen point is taken to the
// picture pixel under it (ScreenToPicture) and then read as at 1:1: it is inside when
// 0 < column < width and 0 < line < height (column 0 and line 0 count as outside, as at
// 1:1), and then the status bar shows "X=" column + 1 and "Y=" line + 1, the line counted
// from the top; the pixel's value is image[x][y] with x = column, y = height - 1 - line.
// Outside, every part is cleared. At the start view this is exactly the 1:1 readout.
struct PointerReadout {
    bool inside = false;
    int numberX = 0; // shown after "X="
    int numberY = 0; // shown after "Y="
    int x = 0;       // the image pixel: column
    int y = 0;       // and image row (0 = the FITS first row, the bottom line)
};
PointerReadout ReadPointer(const ViewMapping& view, int width, int height, std::int64_t sx, std::int64_t sy);

// The view at zoom step `zoom` (limited to -5..5) that keeps the picture point under
// screen pixel (sx, sy) where it is: exactly when zooming in, to the nearest whole screen
// pixel below when zooming out (so zooming in and back out returns to the same view).
ViewMapping ZoomAround(const ViewMapping& view, int zoom, std::int64_t sx, std::int64_t sy);

// The largest zoom step at which the whole width x height picture fits into a client area
// of clientWidth x clientHeight, the picture centred (offsets rounded down); 1:32 when
// even that does not fit. An empty picture or client area gives the start view.
ViewMapping FitView(int width, int height, int clientWidth, int clientHeight);

// The zoom as the status bar names it: "1:1", "4:1" zoomed in, "1:4" zoomed out.
std::string ZoomLabel(int zoom);

// The value the readout shows after "V=" for pixel (x, y) of an image: FormatReal with 7
// digits; a colour image's red, green and blue values separated by blanks
// ("1034.5 998.2 1201.0").
std::string PixelValueText(const ImageGrid& image, int x, int y);

} // namespace skyvane
