#include "display/ViewMapping.h"

#include "base/Numbers.h"

#include <algorithm>

namespace skyvane {

namespace {

// Offsets are kept within this many screen pixels, so that no product of an offset with a
// zoom factor can overflow, however often the user zooms around a far point.
constexpr std::int64_t OffsetLimit = std::int64_t{1} << 40;

std::int64_t FloorDivide(std::int64_t a, std::int64_t b)
{
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::int64_t LimitOffset(std::int64_t offset)
{
    return std::clamp(offset, -OffsetLimit, OffsetLimit);
}

// A zoom step outside -5..5 counts as the nearest one.
int Step(int zoom)
{
    return std::clamp(zoom, ZoomMinimum, ZoomMaximum);
}

} // namespace

PicturePixel ScreenToPicture(const ViewMapping& view, std::int64_t sx, std::int64_t sy)
{
    const std::int64_t dx = sx - view.offsetX;
    const std::int64_t dy = sy - view.offsetY;
    const int zoom = Step(view.zoom);
    if (zoom >= 0) {
        const std::int64_t z = std::int64_t{1} << zoom;
        return {FloorDivide(dx, z), FloorDivide(dy, z)};
    }
    const std::int64_t f = std::int64_t{1} << -zoom;
    return {dx * f, dy * f};
}

ScreenPoint PictureToScreen(const ViewMapping& view, std::int64_t column, std::int64_t line)
{
    const int zoom = Step(view.zoom);
    if (zoom >= 0) {
        const std::int64_t z = std::int64_t{1} << zoom;
        return {view.offsetX + column * z, view.offsetY + line * z};
    }
    const std::int64_t f = std::int64_t{1} << -zoom;
    return {view.offsetX + FloorDivide(column, f), view.offsetY + FloorDivide(line, f)};
}

ScreenPoint ScaledSize(int zoom, int width, int height)
{
    if (width <= 0 || height <= 0)
        return {0, 0};
    zoom = Step(zoom);
    if (zoom >= 0) {
        const std::int64_t z = std::int64_t{1} << zoom;
        return {width * z, height * z};
    }
    const std::int64_t f = std::int64_t{1} << -zoom;
    return {(width + f - 1) / f, (height + f - 1) / f};
}

PointerReadout ReadPointer(const ViewMapping& view, int width, int height, std::int64_t sx, std::int64_t sy)
{
    const PicturePixel p = ScreenToPicture(view, sx, sy);
    PointerReadout readout;
    if (p.column > 0 && p.column < width && p.line > 0 && p.line < height) {
        readout.inside = true;
        readout.numberX = static_cast<int>(p.column) + 1;
        readout.numberY = static_cast<int>(p.line) + 1;
        readout.x = static_cast<int>(p.column);
        readout.y = height - 1 - static_cast<int>(p.line);
    }
    return readout;
}

ViewMapping ZoomAround(const ViewMapping& view, int zoom, std::int64_t sx, std::int64_t sy)
{
    zoom = Step(zoom);
    const int step = zoom - Step(view.zoom);
    ViewMapping result = view;
    result.zoom = zoom;
    // The picture point under s stays: (s - o') / z' = (s - o) / z.
    if (step >= 0) {
        const std::int64_t k = std::int64_t{1} << step;
        result.offsetX = LimitOffset(sx - (sx - view.offsetX) * k);
        result.offsetY = LimitOffset(sy - (sy - view.offsetY) * k);
    } else {
        const std::int64_t k = std::int64_t{1} << -step;
        result.offsetX = LimitOffset(sx - FloorDivide(sx - view.offsetX, k));
        result.offsetY = LimitOffset(sy - FloorDivide(sy - view.offsetY, k));
    }
    return result;
}

ViewMapping FitView(int width, int height, int clientWidth, int clientHeight)
{
    if (width <= 0 || height <= 0 || clientWidth <= 0 || clientHeight <= 0)
        return {};
    int zoom = ZoomMinimum;
    for (int n = ZoomMaximum; n >= ZoomMinimum; --n) {
        const ScreenPoint size = ScaledSize(n, width, height);
        if (size.x <= clientWidth && size.y <= clientHeight) {
            zoom = n;
            break;
        }
    }
    const ScreenPoint size = ScaledSize(zoom, width, height);
    return {zoom, FloorDivide(clientWidth - size.x, 2), FloorDivide(clientHeight - size.y, 2)};
}

std::string ZoomLabel(int zoom)
{
    zoom = Step(zoom);
    if (zoom >= 0)
        return std::to_string(1 << zoom) + ":1";
    return "1:" + std::to_string(1 << -zoom);
}

std::string PixelValueText(const ImageGrid& image, int x, int y)
{
    std::string text;
    for (int p = 0; p < image.planes(); ++p) {
        if (p > 0)
            text += ' ';
        text += FormatReal(image.plane(p)[static_cast<std::ptrdiff_t>(x) * image.height() + y], 7);
    }
    return text;
}

} // namespace skyvane
