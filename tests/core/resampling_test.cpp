#include "processing/Resampling.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

#include "processing/Statistics.h"
#include "support/StarField.h"

namespace skyvane {
namespace {

void FillRandom(ImageGrid& grid, int width, int height, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1000.0);
    grid.resize(width, height);
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y)
            grid[x][y] = u(rng);
}

bool SameBits(const ImageGrid& a, const ImageGrid& b)
{
    return a.width() == b.width() && a.height() == b.height() && std::memcmp(a.data(), b.data(), static_cast<std::size_t>(a.pixelCount()) * sizeof(double)) == 0;
}

TEST(Resampling, WholeShiftCopiesPixelsAndFillsTheRestWithTheMedian)
{
    ImageGrid frame;
    FillRandom(frame, 40, 30, 1);
    const double median = ImageMedian(frame);
    ImageGrid out;
    ResampleToReference(frame, 3.0, -2.0, out);
    ASSERT_EQ(out.width(), 40);
    ASSERT_EQ(out.height(), 30);
    for (int x = 0; x < 40; ++x) {
        for (int y = 0; y < 30; ++y) {
            const bool covered = x + 3 <= 39 && y - 2 >= 0;
            EXPECT_EQ(out[x][y], covered ? frame[x + 3][y - 2] : median) << x << ", " << y;
        }
    }
}

TEST(Resampling, FillIsTheMedianOfLargeFramesToo)
{
    // Large frames take the median by a bracketing pass; it must be ImageMedian's value,
    // for even and odd pixel counts, with many equal values among the others.
    for (const auto& [width, height] : {std::pair{300, 250}, std::pair{301, 249}}) {
        ImageGrid frame;
        FillRandom(frame, width, height, 5);
        for (int x = 0; x < width; ++x)
            for (int y = 0; y < height; ++y)
                if (frame[x][y] > 700.0)
                    frame[x][y] = std::floor(frame[x][y] / 100.0) * 100.0;
        ImageGrid out;
        ResampleToReference(frame, 0.5, 0.0, out);
        EXPECT_EQ(out[width - 1][0], ImageMedian(frame)) << width << " x " << height;
    }
}

// Missing pixels move with the frame, and what no input covers gets the median of the
// present pixels, small frames and large ones (the bracketing pass) alike.
TEST(Resampling, MissingPixelsMoveAndTheFillIsTheirFramesPresentMedian)
{
    for (const auto& [width, height] : {std::pair{40, 30}, std::pair{300, 250}}) {
        ImageGrid frame;
        FillRandom(frame, width, height, 9);
        std::vector<double> present;
        for (int x = 0; x < width; ++x) {
            for (int y = 0; y < height; ++y) {
                if ((x * 7 + y * 3) % 11 == 0)
                    frame[x][y] = std::numeric_limits<double>::quiet_NaN();
                else
                    present.push_back(frame[x][y]);
            }
        }
        const double median = medianOf(present.data(), static_cast<std::int64_t>(present.size()));
        ImageGrid out;
        ResampleToReference(frame, 3.0, -2.0, out);
        int wrong = 0;
        for (int x = 0; x < width; ++x) {
            for (int y = 0; y < height; ++y) {
                const bool covered = x + 3 <= width - 1 && y - 2 >= 0;
                const double expected = covered ? frame[x + 3][y - 2] : median;
                wrong += std::memcmp(&out[x][y], &expected, sizeof expected) == 0 ? 0 : 1;
            }
        }
        EXPECT_EQ(wrong, 0) << width << " x " << height;
        EXPECT_FALSE(std::isnan(median));
    }
}

TEST(Resampling, FractionalShiftCoversOnlyPointsBetweenPixelCentres)
{
    ImageGrid frame;
    FillRandom(frame, 20, 10, 2);
    const double median = ImageMedian(frame);
    ImageGrid out;
    // Source point (x - 1.25, y + 3): columns 0 and 1 fall before column 0, rows 7 to 9
    // beyond row 9.
    ResampleToReference(frame, -1.25, 3.0, out);
    for (int x = 0; x < 20; ++x) {
        for (int y = 0; y < 10; ++y) {
            const bool covered = x >= 2 && y <= 6;
            EXPECT_EQ(out[x][y] == median, !covered) << x << ", " << y;
        }
    }
    // The last covered column is interpolated from the taps that exist.
    EXPECT_NE(out[19][0], median);
}

TEST(Resampling, HalfPixelShiftOfASmoothPatternIsAccurate)
{
    const auto f = [](double x, double y) { return 100.0 + 50.0 * std::sin(2.0 * std::numbers::pi * x / 17.0 + 0.3) * std::cos(2.0 * std::numbers::pi * y / 23.0) + 0.5 * x; };
    ImageGrid frame;
    frame.resize(80, 70);
    for (int x = 0; x < 80; ++x)
        for (int y = 0; y < 70; ++y)
            frame[x][y] = f(x, y);
    ImageGrid out;
    ResampleToReference(frame, 0.5, -0.5, out);
    double worst = 0.0;
    for (int x = 3; x < 76; ++x)
        for (int y = 4; y < 67; ++y)
            worst = std::max(worst, std::fabs(out[x][y] - f(x + 0.5, y - 0.5)));
    EXPECT_LT(worst, 0.05); // of an amplitude of 50
}

TEST(Resampling, KeepsFluxAndMovesTheStarBackToTheReference)
{
    // A star at (31.3, 28.6) in the reference stands at (31.3 + dx, 28.6 + dy) in the frame;
    // resampled, it must look like the reference's star again.
    const double dx = 2.37;
    const double dy = -1.61;
    const test::SyntheticStar star{31.3, 28.6, 1.6, 1000.0};
    ImageGrid frame, reference;
    test::DrawStarField(frame, 64, 60, 0.0, {star}, dx, dy, 0.0, 0);
    test::DrawStarField(reference, 64, 60, 0.0, {star}, 0.0, 0.0, 0.0, 0);
    ImageGrid out;
    ResampleToReference(frame, dx, dy, out);
    double flux = 0.0, shifted = 0.0, worst = 0.0;
    for (int x = 0; x < 64; ++x) {
        for (int y = 0; y < 60; ++y) {
            flux += frame[x][y];
            shifted += out[x][y];
            worst = std::max(worst, std::fabs(out[x][y] - reference[x][y]));
        }
    }
    EXPECT_NEAR(shifted, flux, 1e-9 * flux);
    EXPECT_LT(worst, 10.0); // 1 % of the peak; misplaced by 0.1 pixel it would be near 4 %
}

TEST(Resampling, AnyNumberOfThreadsGivesTheSameBits)
{
    ImageGrid frame;
    FillRandom(frame, 257, 131, 3);
    ImageGrid one, two, five;
    ResampleToReference(frame, 1.3, -2.7, one, 1);
    ResampleToReference(frame, 1.3, -2.7, two, 2);
    ResampleToReference(frame, 1.3, -2.7, five, 5);
    EXPECT_TRUE(SameBits(one, two));
    EXPECT_TRUE(SameBits(one, five));
    // Into the frame itself.
    ResampleToReference(frame, 1.3, -2.7, frame, 2);
    EXPECT_TRUE(SameBits(one, frame));
}

TEST(Resampling, OddInputs)
{
    ImageGrid frame;
    FillRandom(frame, 12, 9, 4);
    const double median = ImageMedian(frame);
    ImageGrid out;
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 13.0}) {
        ResampleToReference(frame, bad, 0.0, out);
        for (int x = 0; x < 12; ++x)
            for (int y = 0; y < 9; ++y)
                ASSERT_EQ(out[x][y], median);
    }
    ImageGrid empty;
    ResampleToReference(empty, 0.5, 0.5, out);
    EXPECT_TRUE(out.empty());
    // A NaN pixel spreads only as far as the kernel reaches.
    frame[6][4] = std::numeric_limits<double>::quiet_NaN();
    ResampleToReference(frame, 0.5, 0.0, out);
    EXPECT_TRUE(std::isnan(out[6][4]));
    EXPECT_FALSE(std::isnan(out[9][4]));
    EXPECT_FALSE(std::isnan(out[6][5]));
}

} // namespace
} // namespace skyvane
