#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "display/DisplayBitmap.h"
#include "display/ReducedPicture.h"
#include "image/ImageGrid.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

// With thresholds 0 and 255 a whole value v in 0..255 is drawn with grey v.
template <typename F>
void Fill(ImageGrid& grid, int width, int height, F f)
{
    grid.resize(width, height);
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y)
            grid[x][y] = f(x, y);
}

// Grey of picture column c, line L (from the top) in the bitmap rows.
int Grey(const DisplayBitmap& bitmap, int c, int line)
{
    const int row = bitmap.height() - 1 - line;
    return bitmap.rows[static_cast<std::size_t>(row) * static_cast<std::size_t>(bitmap.stride()) + 3 * static_cast<std::size_t>(c)];
}

// Every pixel of every level against the mean of the picture pixels its block covers,
// summed directly: (2 s + n) / (2 n).
void ExpectDirectMeans(const ReducedPicture& reduced, const DisplayBitmap& bitmap, const std::string& what)
{
    const int width = bitmap.width();
    const int height = bitmap.height();
    ASSERT_EQ(reduced.width(), width) << what;
    ASSERT_EQ(reduced.height(), height) << what;
    for (int k = 1; k <= ReducedPicture::Levels; ++k) {
        const int f = 1 << k;
        ASSERT_EQ(reduced.levelWidth(k), (width + f - 1) / f) << what;
        ASSERT_EQ(reduced.levelHeight(k), (height + f - 1) / f) << what;
        for (int j = 0; j < reduced.levelHeight(k); ++j)
            for (int i = 0; i < reduced.levelWidth(k); ++i) {
                std::uint32_t sum = 0;
                std::uint32_t n = 0;
                for (int line = j * f; line < std::min(height, j * f + f); ++line)
                    for (int c = i * f; c < std::min(width, i * f + f); ++c) {
                        sum += static_cast<std::uint32_t>(Grey(bitmap, c, line));
                        ++n;
                    }
                ASSERT_EQ(reduced.levelPixel(k, i, j), (2 * sum + n) / (2 * n))
                    << what << ", " << width << " x " << height << ", level " << k << ", pixel " << i << ", " << j;
            }
    }
}

TEST(ReducedPicture, HandWorkedMeansRoundHalvesUpAndEdgesAverageWhatTheyCover)
{
    // A 3 x 3 picture, greys by line from the top: 0 0 9 / 0 1 9 / 200 201 7 (image row 0 is
    // the bottom line). Level 1: the top-left block (0, 0, 0, 1) has mean 0.25 -> 0; the
    // right edge block (9, 9) covers two pixels -> 9; the bottom edge block (200, 201)
    // averages 200.5 -> 201 (halves up); the corner covers the 7 alone.
    const int greys[3][3] = {{0, 0, 9}, {0, 1, 9}, {200, 201, 7}};
    test::FixedThresholds thresholds(0, 255);
    test::RecordingDisplaySink sink;
    Display display(thresholds, sink);
    ReducedPicture reduced;
    display.setPictureObserver(&reduced);
    ImageGrid image;
    Fill(image, 3, 3, [&](int x, int y) { return greys[2 - y][x]; });
    display.buildDisplay(image);
    ASSERT_EQ(reduced.levelWidth(1), 2);
    ASSERT_EQ(reduced.levelHeight(1), 2);
    EXPECT_EQ(reduced.levelPixel(1, 0, 0), 0);
    EXPECT_EQ(reduced.levelPixel(1, 1, 0), 9);
    EXPECT_EQ(reduced.levelPixel(1, 0, 1), 201);
    EXPECT_EQ(reduced.levelPixel(1, 1, 1), 7);
    // Level 2 and beyond: one block over all 9 pixels, sum 427, mean 47.4 -> 47.
    for (int k = 2; k <= 5; ++k) {
        EXPECT_EQ(reduced.levelWidth(k), 1);
        EXPECT_EQ(reduced.levelPixel(k, 0, 0), 47) << "level " << k;
    }

    // 0.5 rounds up, 0.49.. down: a 2 x 2 block with sum 2 gives 1, with sum 1 gives 0.
    Fill(image, 2, 2, [](int x, int y) { return x == 0 && y < 2 ? 1.0 : 0.0; });
    display.buildDisplay(image);
    EXPECT_EQ(reduced.levelPixel(1, 0, 0), 1);
    Fill(image, 2, 2, [](int x, int y) { return x == 0 && y == 0 ? 1.0 : 0.0; });
    display.buildDisplay(image);
    EXPECT_EQ(reduced.levelPixel(1, 0, 0), 0);

    // A lone white star on black, 32 x 32: 255 / 4^k rounded, still seen down to 1:8.
    Fill(image, 32, 32, [](int x, int y) { return x == 20 && y == 9 ? 255.0 : 0.0; });
    display.buildDisplay(image);
    const int expected[] = {64, 16, 4, 1, 0}; // 63.75, 15.9, 3.98, 0.996, 0.249
    for (int k = 1; k <= 5; ++k) {
        const int f = 1 << k;
        EXPECT_EQ(reduced.levelPixel(k, 20 / f, (31 - 9) / f), expected[k - 1]) << "level " << k;
    }
}

TEST(ReducedPicture, EveryLevelIsTheDirectAreaMeanAtEverySize)
{
    // Sizes around the 32-line bands, the 64-pixel tiles and the threaded rendering; noise
    // over the whole grey range, so every rounding case occurs.
    const int sizes[][2] = {{1, 1}, {2, 1}, {1, 33}, {3, 2}, {31, 33}, {32, 32}, {33, 65}, {64, 64}, {100, 37}, {257, 130}, {700, 500}};
    std::mt19937_64 random(3);
    std::uniform_int_distribution<int> grey(0, 255);
    for (const auto& size : sizes) {
        ImageGrid image;
        Fill(image, size[0], size[1], [&](int, int) { return grey(random); });
        test::FixedThresholds thresholds(0, 255);
        test::RecordingDisplaySink sink;
        Display display(thresholds, sink);
        ReducedPicture best(RenderKernel::Best);
        display.setPictureObserver(&best);
        display.buildDisplay(image);
        ExpectDirectMeans(best, display.bitmap(), "while building");

        ReducedPicture portable(RenderKernel::Portable);
        portable.build(display.bitmap());
        ExpectDirectMeans(portable, display.bitmap(), "plain code, afterwards");

        // A threshold change: the observer's levels follow the new rows.
        thresholds.low = 255;
        thresholds.high = 40;
        display.refreshDisplay(image);
        ExpectDirectMeans(best, display.bitmap(), "after a refresh");
    }
}

TEST(ReducedPicture, FollowsTheDisplaysSizeAndRelease)
{
    test::FixedThresholds thresholds(0, 255);
    test::RecordingDisplaySink sink;
    Display display(thresholds, sink);
    ReducedPicture reduced;
    display.setPictureObserver(&reduced);
    ImageGrid image;
    Fill(image, 70, 40, [](int x, int y) { return (x + y) % 256; });
    display.buildDisplay(image);
    Fill(image, 10, 90, [](int x, int) { return x * 20; });
    display.refreshDisplay(image); // another size: rebuilt
    ExpectDirectMeans(reduced, display.bitmap(), "new size");

    display.clearDisplay();
    EXPECT_EQ(reduced.width(), 0);
    EXPECT_EQ(reduced.levelWidth(1), 0);
    EXPECT_EQ(reduced.levelData(1), nullptr);
    ReducedPicture later;
    later.build(display.bitmap()); // rows released: no levels
    EXPECT_EQ(later.width(), 0);
    ImageGrid empty;
    display.buildDisplay(empty);
    EXPECT_EQ(reduced.width(), 0);
}

} // namespace
} // namespace skyvane
