#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "display/DisplayBitmap.h"
#include "display/ReducedPicture.h"
#include "display/ViewMapping.h"
#include "display/ViewportPicture.h"
#include "image/ImageGrid.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

constexpr std::uint32_t Background = 0xFF5A5AAAu;
constexpr std::uint32_t Untouched = 0x12345678u;

std::uint32_t Word(int grey)
{
    return 0xFF000000u | static_cast<std::uint32_t>(grey) * 0x010101u;
}

// A displayed picture with its reductions: thresholds 0 and 255 draw value v as grey v.
struct Shown {
    test::FixedThresholds thresholds{0, 255};
    test::RecordingDisplaySink sink;
    Display display{thresholds, sink};
    ReducedPicture reduced;
    ImageGrid image;

    template <typename F>
    Shown(int width, int height, F f)
    {
        display.setPictureObserver(&reduced);
        image.resize(width, height);
        for (int x = 0; x < width; ++x)
            for (int y = 0; y < height; ++y)
                image[x][y] = f(x, y);
        display.buildDisplay(image);
    }
};

// A target with two words of padding per row, filled with a marker.
struct Target {
    int width;
    int height;
    std::vector<std::uint32_t> words;
    Target(int w, int h) : width(w), height(h), words(static_cast<std::size_t>(w + 2) * static_cast<std::size_t>(h), Untouched) {}
    Rgb32Image image() { return {words.data(), width, height, static_cast<std::ptrdiff_t>((width + 2) * 4)}; }
    std::uint32_t at(int x, int y) const { return words[static_cast<std::size_t>(y) * static_cast<std::size_t>(width + 2) + static_cast<std::size_t>(x)]; }
};

// What screen pixel (sx, sy) must show, worked out pixel by pixel from the view: the grey
// of the picture pixel under it (1:1 and in), or the reduced pixel of its block (out).
std::uint32_t Expected(const Shown& shown, const ViewMapping& view, int sx, int sy)
{
    const int width = shown.image.width();
    const int height = shown.image.height();
    const ScreenPoint size = ScaledSize(view.zoom, width, height);
    if (sx < view.offsetX || sx >= view.offsetX + size.x || sy < view.offsetY || sy >= view.offsetY + size.y)
        return Background;
    if (view.zoom < 0)
        return Word(shown.reduced.levelPixel(-view.zoom, static_cast<int>(sx - view.offsetX), static_cast<int>(sy - view.offsetY)));
    const PicturePixel p = ScreenToPicture(view, sx, sy);
    const DisplayBitmap& bitmap = shown.display.bitmap();
    return Word(bitmap.rows[static_cast<std::size_t>(height - 1 - p.line) * static_cast<std::size_t>(bitmap.stride()) +
                            3 * static_cast<std::size_t>(p.column)]);
}

TEST(FillViewport, EveryPixelAtEveryZoomAndOffset)
{
    std::mt19937_64 random(11);
    std::uniform_int_distribution<int> grey(0, 255);
    Shown shown(203, 150, [&](int, int) { return grey(random); });
    const std::int64_t offsets[][2] = {{0, 0}, {-37, -5}, {13, 29}, {-500, 40}, {90, -300}, {200, 100}, {-6000, 0}};
    for (int zoom = ZoomMinimum; zoom <= ZoomMaximum; ++zoom)
        for (const auto& o : offsets)
            for (RenderKernel kernel : {RenderKernel::Best, RenderKernel::Portable}) {
                const ViewMapping view{zoom, o[0], o[1]};
                Target target(181, 97);
                FillViewport(shown.display.bitmap(), shown.reduced, view, target.image(), Background, kernel);
                for (int y = 0; y < target.height; ++y) {
                    for (int x = 0; x < target.width; ++x)
                        ASSERT_EQ(target.at(x, y), Expected(shown, view, x, y))
                            << "zoom " << zoom << ", offset " << o[0] << ", " << o[1] << (kernel == RenderKernel::Best ? "" : ", plain")
                            << ", screen pixel " << x << ", " << y;
                    ASSERT_EQ(target.at(target.width, y), Untouched) << "row padding is not the picture's";
                    ASSERT_EQ(target.at(target.width + 1, y), Untouched);
                }
            }
}

TEST(FillViewport, KnownPointsZoomedOutAndIn)
{
    // 64 x 64, black with a white 4 x 4 square whose top-left is column 8, line 4, and one
    // 200 pixel at column 40, line 40.
    Shown shown(64, 64, [](int x, int y) {
        const int line = 63 - y;
        if (x >= 8 && x < 12 && line >= 4 && line < 8)
            return 255.0;
        return x == 40 && line == 40 ? 200.0 : 0.0;
    });
    Target target(40, 30);
    // 1:4 from the corner: the square is exactly screen pixel (2, 1); the lone pixel shows
    // as 200 / 16 = 12.5 -> 13 at (10, 10).
    FillViewport(shown.display.bitmap(), shown.reduced, ViewMapping{-2, 0, 0}, target.image());
    EXPECT_EQ(target.at(2, 1), Word(255));
    EXPECT_EQ(target.at(1, 1), Word(0));
    EXPECT_EQ(target.at(10, 10), Word(13));
    EXPECT_EQ(target.at(16, 0), Background) << "beyond the 16 x 16 reduced picture";
    // 1:8: the square is a quarter of block (1, 0): 255 x 16 / 64 = 63.75 -> 64.
    FillViewport(shown.display.bitmap(), shown.reduced, ViewMapping{-3, 0, 0}, target.image());
    EXPECT_EQ(target.at(1, 0), Word(64));
    EXPECT_EQ(target.at(5, 5), Word(3)) << "200 / 64 = 3.1";
    // 4:1 with the square's corner on screen pixel (20, 10): offset (20 - 32, 10 - 16).
    FillViewport(shown.display.bitmap(), shown.reduced, ViewMapping{2, -12, -6}, target.image());
    for (int y = 8; y < 30; ++y)
        for (int x = 18; x < 40; ++x)
            ASSERT_EQ(target.at(x, y), x >= 20 && x < 36 && y >= 10 && y < 26 ? Word(255) : Word(0)) << x << ", " << y;
}

TEST(FillViewport, NothingToDrawFromGivesTheBackground)
{
    Shown shown(50, 40, [](int x, int) { return x; });
    Target target(20, 10);
    ReducedPicture none;
    FillViewport(shown.display.bitmap(), none, ViewMapping{-1, 0, 0}, target.image());
    EXPECT_EQ(target.at(0, 0), Background) << "zoomed out without reductions";
    EXPECT_EQ(target.at(19, 9), Background);
    FillViewport(shown.display.bitmap(), none, ViewMapping{0, 0, 0}, target.image());
    EXPECT_EQ(target.at(7, 3), Word(7)) << "1:1 needs no reductions";

    shown.display.clearDisplay();
    FillViewport(shown.display.bitmap(), shown.reduced, ViewMapping{0, 0, 0}, target.image());
    EXPECT_EQ(target.at(7, 3), Background) << "rows released";

    FillViewport(shown.display.bitmap(), shown.reduced, ViewMapping{0, 0, 0}, Rgb32Image{nullptr, 20, 10, 80});
    Target empty(0, 0);
    FillViewport(shown.display.bitmap(), shown.reduced, ViewMapping{0, 0, 0}, empty.image());
    EXPECT_TRUE(empty.words.empty());
}

} // namespace
} // namespace skyvane
