#include <gtest/gtest.h>

#include <cstdint>

#include "display/ViewMapping.h"

namespace skyvane {
namespace {

TEST(ViewMapping, StartViewReadsThePointerExactlyAsAtOneToOne)
{
    // The 1:1 rule: inside when 0 < x < w and 0 < y < h, then X = x + 1 and Y = y + 1 with y
    // counted from the top, over image row h - Y.
    const ViewMapping start;
    const int w = 7;
    const int h = 5;
    for (int sx = -3; sx <= w + 3; ++sx)
        for (int sy = -3; sy <= h + 3; ++sy) {
            const PointerReadout r = ReadPointer(start, w, h, sx, sy);
            const bool inside = 0 < sx && sx < w && 0 < sy && sy < h;
            ASSERT_EQ(r.inside, inside) << sx << ", " << sy;
            if (inside) {
                EXPECT_EQ(r.numberX, sx + 1);
                EXPECT_EQ(r.numberY, sy + 1);
                EXPECT_EQ(r.x, sx);
                EXPECT_EQ(r.y, h - (sy + 1)) << "Y=k lies over image row h - k (0-based)";
            }
        }
    // The worked case: (9, 4) over a 100 x 100 image reads X=10, Y=5; the edges read nothing.
    const PointerReadout r = ReadPointer(start, 100, 100, 9, 4);
    EXPECT_TRUE(r.inside);
    EXPECT_EQ(r.numberX, 10);
    EXPECT_EQ(r.numberY, 5);
    EXPECT_EQ(r.y, 95);
    EXPECT_FALSE(ReadPointer(start, 100, 100, 0, 4).inside);
    EXPECT_FALSE(ReadPointer(start, 100, 100, 100, 4).inside);
    EXPECT_FALSE(ReadPointer(start, 100, 100, 9, 100).inside);
}

TEST(ViewMapping, ReadoutZoomedOutAndIn)
{
    // 1:4, picture's corner at (10, 20): screen pixel (13, 25) shows the block whose top-left
    // pixel is column 12, line 20.
    const ViewMapping quarter{-2, 10, 20};
    PointerReadout r = ReadPointer(quarter, 200, 100, 13, 25);
    ASSERT_TRUE(r.inside);
    EXPECT_EQ(r.numberX, 13);
    EXPECT_EQ(r.numberY, 21);
    EXPECT_EQ(r.x, 12);
    EXPECT_EQ(r.y, 100 - 1 - 20);
    EXPECT_FALSE(ReadPointer(quarter, 200, 100, 10, 25).inside) << "the blocks of column 0 count as outside, as column 0 does";
    EXPECT_FALSE(ReadPointer(quarter, 200, 100, 60, 25).inside) << "column 200 is beyond the picture";
    EXPECT_TRUE(ReadPointer(quarter, 200, 100, 59, 44).inside) << "column 196, line 96";
    EXPECT_FALSE(ReadPointer(quarter, 200, 100, 59, 45).inside) << "line 100 is beyond the picture";

    // 4:1, corner at (-8, 3): picture pixel (c, L) covers screen [4c - 8, 4c - 4) x [4L + 3, 4L + 7).
    const ViewMapping four{2, -8, 3};
    r = ReadPointer(four, 50, 40, 5, 10);
    ASSERT_TRUE(r.inside);
    EXPECT_EQ(r.numberX, 4); // column floor(13 / 4) = 3
    EXPECT_EQ(r.numberY, 2); // line floor(7 / 4) = 1
    EXPECT_EQ(r.x, 3);
    EXPECT_EQ(r.y, 40 - 1 - 1);
    EXPECT_FALSE(ReadPointer(four, 50, 40, 5, 6).inside) << "line 0";
    EXPECT_TRUE(ReadPointer(four, 50, 40, 5, 7).inside) << "line 1 starts at screen row 7";
    EXPECT_FALSE(ReadPointer(four, 50, 40, -5, 10).inside) << "column 0 (screen -8 .. -5)";
    EXPECT_TRUE(ReadPointer(four, 50, 40, -4, 10).inside);
    const PicturePixel left = ScreenToPicture(four, -9, 2);
    EXPECT_EQ(left.column, -1) << "left of the picture rounds down, never toward 0";
    EXPECT_EQ(left.line, -1);
}

TEST(ViewMapping, PictureAndScreenMapBackAndForth)
{
    for (int zoom = ZoomMinimum; zoom <= ZoomMaximum; ++zoom) {
        const ViewMapping view{zoom, -37, 11};
        for (std::int64_t c = -70; c <= 70; c += 3)
            for (std::int64_t l = -70; l <= 70; l += 5) {
                const ScreenPoint s = PictureToScreen(view, c, l);
                const PicturePixel p = ScreenToPicture(view, s.x, s.y);
                if (zoom >= 0) {
                    ASSERT_EQ(p.column, c) << zoom;
                    ASSERT_EQ(p.line, l) << zoom;
                } else {
                    const std::int64_t f = std::int64_t{1} << -zoom;
                    ASSERT_TRUE(p.column <= c && c < p.column + f && p.column % f == 0) << zoom << ": " << c << " in block " << p.column;
                    ASSERT_TRUE(p.line <= l && l < p.line + f && p.line % f == 0) << zoom;
                }
            }
    }
    EXPECT_EQ(ScaledSize(-3, 6000, 4000).x, 750);
    EXPECT_EQ(ScaledSize(-5, 33, 1).x, 2);
    EXPECT_EQ(ScaledSize(-5, 33, 1).y, 1);
    EXPECT_EQ(ScaledSize(5, 3, 2).x, 96);
    EXPECT_EQ(ScaledSize(0, 0, 5).x, 0);
}

TEST(ViewMapping, ZoomAroundKeepsThePointUnderThePointer)
{
    const std::int64_t sx = 523;
    const std::int64_t sy = 311;
    ViewMapping view{0, -1234, 77};
    // All the way in, one step at a time: the pixel under the pointer never changes.
    const PicturePixel before = ScreenToPicture(view, sx, sy);
    ViewMapping in = view;
    for (int zoom = 1; zoom <= ZoomMaximum; ++zoom) {
        in = ZoomAround(in, zoom, sx, sy);
        const PicturePixel p = ScreenToPicture(in, sx, sy);
        EXPECT_EQ(p.column, before.column) << zoom;
        EXPECT_EQ(p.line, before.line) << zoom;
    }
    EXPECT_EQ(ZoomAround(in, 9, sx, sy).zoom, ZoomMaximum) << "no step beyond 32:1";
    // And back out to 1:1: the same view again.
    for (int zoom = ZoomMaximum - 1; zoom >= 0; --zoom)
        in = ZoomAround(in, zoom, sx, sy);
    EXPECT_EQ(in, view);
    // Out: the pointer then shows the block that holds that pixel.
    ViewMapping out = view;
    for (int zoom = -1; zoom >= ZoomMinimum; --zoom) {
        out = ZoomAround(out, zoom, sx, sy);
        const std::int64_t f = std::int64_t{1} << -zoom;
        const PicturePixel p = ScreenToPicture(out, sx, sy);
        EXPECT_TRUE(p.column <= before.column && before.column < p.column + f) << zoom;
        EXPECT_TRUE(p.line <= before.line && before.line < p.line + f) << zoom;
    }
    EXPECT_EQ(ZoomAround(out, -8, sx, sy).zoom, ZoomMinimum);
    // A jump of several steps at once, as "1" after zooming does, lands where the steps would.
    EXPECT_EQ(ZoomAround(view, 3, sx, sy), ZoomAround(ZoomAround(ZoomAround(view, 1, sx, sy), 2, sx, sy), 3, sx, sy));
}

TEST(ViewMapping, FitShowsTheWholeFrameCentred)
{
    // 6000 x 4000 in 1600 x 1000: 1:4 gives 1500 x 1000.
    EXPECT_EQ(FitView(6000, 4000, 1600, 1000), (ViewMapping{-2, 50, 0}));
    EXPECT_EQ(FitView(4096, 4096, 1600, 1000), (ViewMapping{-3, 544, 244}));
    EXPECT_EQ(FitView(3, 2, 1600, 1000), (ViewMapping{5, 752, 468})) << "a tiny frame is blown up to 32:1";
    EXPECT_EQ(FitView(1600, 1000, 1600, 1000), (ViewMapping{0, 0, 0}));
    EXPECT_EQ(FitView(1601, 1000, 1600, 1000), (ViewMapping{-1, 399, 250}));
    // Too large even at 1:32: 1:32, centred, hanging over both sides.
    EXPECT_EQ(FitView(1000000, 10, 100, 100), (ViewMapping{-5, -15575, 49}));
    EXPECT_EQ(FitView(0, 0, 100, 100), ViewMapping{});
    EXPECT_EQ(FitView(100, 100, 0, 100), ViewMapping{});
}

TEST(ViewMapping, ZoomLabels)
{
    EXPECT_EQ(ZoomLabel(0), "1:1");
    EXPECT_EQ(ZoomLabel(2), "4:1");
    EXPECT_EQ(ZoomLabel(-2), "1:4");
    EXPECT_EQ(ZoomLabel(-5), "1:32");
    EXPECT_EQ(ZoomLabel(5), "32:1");
    EXPECT_EQ(ZoomLabel(12), "32:1");
    EXPECT_EQ(ZoomLabel(-12), "1:32");
}

} // namespace
} // namespace skyvane
