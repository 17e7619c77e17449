#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "processing/StarDetection.h"
#include "support/StarField.h"

namespace skyvane {
namespace {

constexpr double Sky = 1000.0;
constexpr double Noise = 10.0;

// An elliptical Gaussian added to the grid, its axes along x and y.
void AddStar(ImageGrid& grid, double cx, double cy, double sx, double sy, double amplitude)
{
    for (int x = 0; x < grid.width(); ++x)
        for (int y = 0; y < grid.height(); ++y) {
            const double ex = (x - cx) / sx;
            const double ey = (y - cy) / sy;
            const double q = 0.5 * (ex * ex + ey * ey);
            if (q < 40.0)
                grid[x][y] += amplitude * std::exp(-q);
        }
}

void AddNoise(ImageGrid& grid, double sigma, unsigned seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> n(0.0, sigma);
    for (int x = 0; x < grid.width(); ++x)
        for (int y = 0; y < grid.height(); ++y)
            grid[x][y] += n(rng);
}

void Flat(ImageGrid& grid, int width, int height, double level)
{
    grid.resize(width, height);
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y)
            grid[x][y] = level;
}

// The star found nearest (x, y), or nullptr when none is within a pixel.
const DetectedStar* Near(const StarDetection& found, double x, double y)
{
    const DetectedStar* best = nullptr;
    double distance = 1.0;
    for (const DetectedStar& s : found.stars) {
        const double d = std::hypot(s.x - x, s.y - y);
        if (d < distance) {
            distance = d;
            best = &s;
        }
    }
    return best;
}

TEST(StarDetectionTest, FindsBrightAndFaintStarsAndMeasuresTheirPlaceWidthAndShape)
{
    ImageGrid grid;
    Flat(grid, 160, 160, Sky);
    // Bright round stars (sigma 1.5: FWHM 3.53), faint ones whose peak is 4 noise sigmas,
    // and one stretched to twice its width in x.
    const double bright[3][2] = {{30.3, 40.7}, {80.55, 120.2}, {125.8, 60.45}};
    const double faint[3][2] = {{40.6, 100.3}, {100.2, 30.8}, {130.4, 130.1}};
    for (const auto& p : bright)
        AddStar(grid, p[0], p[1], 1.5, 1.5, 8000.0);
    for (const auto& p : faint)
        AddStar(grid, p[0], p[1], 1.5, 1.5, 4.0 * Noise);
    AddStar(grid, 75.25, 75.6, 2.4, 1.2, 6000.0);
    AddNoise(grid, Noise, 7);

    const StarDetection found = DetectStars(grid);
    EXPECT_NEAR(found.sky.medianLevel(), Sky, 0.5);
    EXPECT_NEAR(found.sky.medianNoise(), Noise, 0.8);
    EXPECT_EQ(found.stars.size(), 7u);
    for (const auto& p : bright) {
        const DetectedStar* s = Near(found, p[0], p[1]);
        ASSERT_NE(s, nullptr) << p[0] << " " << p[1];
        EXPECT_NEAR(s->x, p[0], 0.01);
        EXPECT_NEAR(s->y, p[1], 0.01);
        EXPECT_NEAR(s->fwhm, 2.0 * std::sqrt(2.0 * std::log(2.0)) * 1.5, 0.05);
        EXPECT_GT(s->roundness, 0.97);
        EXPECT_NEAR(s->flux / (2.0 * M_PI * 1.5 * 1.5 * 8000.0), 1.0, 0.02);
        EXPECT_LT(s->positionError, 0.01);
    }
    for (const auto& p : faint) {
        const DetectedStar* s = Near(found, p[0], p[1]);
        ASSERT_NE(s, nullptr) << p[0] << " " << p[1];
        EXPECT_NEAR(s->x, p[0], 0.4);
        EXPECT_NEAR(s->y, p[1], 0.4);
        EXPECT_GT(s->positionError, 0.05) << "a faint star's place is less certain";
    }
    const DetectedStar* stretched = Near(found, 75.25, 75.6);
    ASSERT_NE(stretched, nullptr);
    EXPECT_NEAR(stretched->roundness, 0.5, 0.03);
    EXPECT_NEAR(stretched->fwhm, 2.0 * std::sqrt(2.0 * std::log(2.0)) * std::sqrt(2.4 * 1.2), 0.1);
    // Brightest first.
    for (std::size_t k = 1; k < found.stars.size(); ++k)
        EXPECT_GE(found.stars[k - 1].flux, found.stars[k].flux);
    EXPECT_EQ(found.hotPixels + found.cosmicRays + found.saturated + found.atEdge, 0);
}

TEST(StarDetectionTest, TurnsAwayHotPixelsCosmicRaysSaturatedStarsAndStarsAtTheEdge)
{
    ImageGrid grid;
    Flat(grid, 160, 160, Sky);
    const double good[4][2] = {{30.3, 30.7}, {120.6, 40.2}, {50.4, 120.9}, {110.1, 110.5}};
    for (const auto& p : good)
        AddStar(grid, p[0], p[1], 1.6, 1.6, 5000.0);
    // A star cut at the saturation level, one with a flat top the frame's values alone tell
    // (no level known), one at the edge, one beside a missing pixel.
    AddStar(grid, 80.4, 80.3, 1.6, 1.6, 90000.0);
    AddStar(grid, 30.5, 80.5, 1.8, 1.8, 90000.0);
    AddStar(grid, 2.3, 60.4, 1.6, 1.6, 5000.0);
    AddStar(grid, 140.2, 80.6, 1.6, 1.6, 5000.0);
    AddNoise(grid, Noise, 11);
    for (int x = 70; x <= 90; ++x)
        for (int y = 70; y <= 90; ++y)
            grid[x][y] = std::min(grid[x][y], 30000.0);
    for (int x = 20; x <= 40; ++x)
        for (int y = 70; y <= 90; ++y)
            grid[x][y] = std::min(grid[x][y], 25000.0);
    grid[144][80] = std::numeric_limits<double>::quiet_NaN();
    // Hot pixels, a cosmic-ray hit of one pixel and a streak of six.
    grid[60][20] += 3000.0;
    grid[95][140] += 800.0;
    grid[10][140] += 20000.0;
    for (int t = 0; t < 6; ++t)
        grid[70 + t][50 + t] += 20000.0;

    DetectionSettings settings;
    settings.saturation = 30000.0;
    const StarDetection found = DetectStars(grid, settings);
    ASSERT_EQ(found.stars.size(), 4u);
    for (const auto& p : good) {
        const DetectedStar* s = Near(found, p[0], p[1]);
        ASSERT_NE(s, nullptr) << p[0] << " " << p[1];
        EXPECT_NEAR(s->x, p[0], 0.02);
        EXPECT_NEAR(s->y, p[1], 0.02);
    }
    EXPECT_EQ(found.hotPixels, 3);
    EXPECT_EQ(found.cosmicRays, 1);
    EXPECT_EQ(found.saturated, 2);
    EXPECT_EQ(found.atEdge, 2);
    EXPECT_NEAR(found.medianFwhm, 2.0 * std::sqrt(2.0 * std::log(2.0)) * 1.6, 0.05);
}

TEST(StarDetectionTest, SkyMapFollowsAGradientUnderTheStarsAndGivesItsNoise)
{
    ImageGrid grid;
    const std::vector<test::SyntheticStar> stars = test::RandomStars(80, 256, 192, 6, 3);
    test::DrawStarField(grid, 256, 192, 0.0, stars, 0.0, 0.0, 6.0, 5);
    const auto sky = [](double x, double y) { return 800.0 + 0.5 * x - 0.25 * y; };
    for (int x = 0; x < 256; ++x)
        for (int y = 0; y < 192; ++y)
            grid[x][y] += sky(x, y);
    const SkyMap map(grid, 64);
    EXPECT_EQ(map.cellsX(), 4);
    EXPECT_EQ(map.cellsY(), 3);
    for (const double x : {20.0, 100.0, 128.0, 230.0})
        for (const double y : {20.0, 96.0, 170.0})
            EXPECT_NEAR(map.level(x, y), sky(x, y), 2.0) << x << " " << y;
    EXPECT_NEAR(map.medianNoise(), 6.0, 0.4);
    std::vector<double> column(192);
    map.levelColumn(100, column.data());
    EXPECT_EQ(column[96], map.level(100.0, 96.0));
}

TEST(StarDetectionTest, FramesWithoutStarsGiveNone)
{
    ImageGrid grid;
    EXPECT_TRUE(DetectStars(grid).stars.empty());
    Flat(grid, 64, 64, 500.0); // no noise at all
    grid[30][30] = 9000.0;
    EXPECT_TRUE(DetectStars(grid).stars.empty());
    AddNoise(grid, 5.0, 2);
    const StarDetection found = DetectStars(grid);
    EXPECT_TRUE(found.stars.empty());
    EXPECT_EQ(found.hotPixels, 1);
    Flat(grid, 3, 2, 1.0);
    EXPECT_TRUE(DetectStars(grid).stars.empty());
}

} // namespace
} // namespace skyvane
