#include "processing/CrossCorrelation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "support/StarField.h"

namespace skyvane {
namespace {

constexpr int Width = 256;
constexpr int Height = 192;

// A night's frame: sky with a gradient (vignetting-like, fixed on the sensor), stars moved
// by (dx, dy), noise, two hot pixels fixed on the sensor and cosmic-ray hits that differ
// from frame to frame (a single pixel and a short streak).
void DrawFrame(ImageGrid& grid, double dx, double dy, unsigned seed)
{
    static const std::vector<test::SyntheticStar> stars = test::RandomStars(60, Width, Height, 6, 7);
    test::DrawStarField(grid, Width, Height, 1000.0, stars, dx, dy, 12.0, seed);
    for (int x = 0; x < Width; ++x)
        for (int y = 0; y < Height; ++y)
            grid[x][y] += 150.0 * (x - Width / 2.0) * (y - Height / 2.0) / (Width * Height / 4.0) - 0.002 * (x - 128) * (x - 128);
    grid[40][50] += 8000.0;
    grid[200][120] += 3000.0;
    const int cx = 17 + static_cast<int>(seed * 37 % 200);
    const int cy = 11 + static_cast<int>(seed * 53 % 160);
    grid[cx][cy] = 65535.0;
    for (int k = 0; k < 6; ++k)
        grid[cx / 2 + k][cy / 2 + k / 2] = 65535.0;
}

struct ShiftCase {
    double dx;
    double dy;
};

class CrossCorrelationShifts : public ::testing::TestWithParam<ShiftCase> {};

TEST_P(CrossCorrelationShifts, FoundWithinAFewHundredthsOfAPixel)
{
    ImageGrid reference, frame;
    DrawFrame(reference, 0.0, 0.0, 1);
    DrawFrame(frame, GetParam().dx, GetParam().dy, 2);
    // Whole-frame coarse search at full resolution, and binned by 4 (as for large frames).
    CorrelationSettings binned;
    binned.coarseSize = 64;
    binned.fineSize = 128;
    for (const CorrelationSettings& settings : {CorrelationSettings{}, binned}) {
        const CrossCorrelator correlator(reference, settings);
        const CorrelationShift shift = correlator.measure(frame);
        ASSERT_EQ(shift.status, ShiftStatus::Measured);
        EXPECT_NEAR(shift.dx, GetParam().dx, 0.02) << "coarse size " << settings.coarseSize;
        EXPECT_NEAR(shift.dy, GetParam().dy, 0.02) << "coarse size " << settings.coarseSize;
        EXPECT_GT(shift.contrast, 2.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Shifts, CrossCorrelationShifts,
                         ::testing::Values(ShiftCase{0.0, 0.0}, ShiftCase{0.5, -0.5}, ShiftCase{3.27, -1.12}, ShiftCase{-12.61, 7.38}, ShiftCase{31.4, -22.9}));

TEST(CrossCorrelation, ThreadsGetTheSameAnswer)
{
    ImageGrid reference, frame;
    DrawFrame(reference, 0.0, 0.0, 1);
    DrawFrame(frame, 4.44, -2.22, 3);
    const CrossCorrelator correlator(reference);
    const CorrelationShift alone = correlator.measure(frame);
    CorrelationShift a, b;
    std::thread first([&] { a = correlator.measure(frame); });
    std::thread second([&] { b = correlator.measure(frame); });
    first.join();
    second.join();
    EXPECT_EQ(a.dx, alone.dx);
    EXPECT_EQ(a.dy, alone.dy);
    EXPECT_EQ(b.dx, alone.dx);
    EXPECT_EQ(b.dy, alone.dy);
}

TEST(CrossCorrelation, RefusesWhatCannotBeCorrelated)
{
    ImageGrid reference, frame;
    DrawFrame(reference, 0.0, 0.0, 1);
    const CrossCorrelator correlator(reference);

    test::DrawStarField(frame, Width + 1, Height, 1000.0, {}, 0.0, 0.0, 0.0, 0);
    EXPECT_EQ(correlator.measure(frame).status, ShiftStatus::SizeMismatch);

    test::DrawStarField(frame, Width, Height, 1000.0, {}, 0.0, 0.0, 0.0, 0); // flat
    const CorrelationShift flat = correlator.measure(frame);
    EXPECT_EQ(flat.status, ShiftStatus::NoStructure);
    EXPECT_EQ(flat.dx, 0.0);
    EXPECT_EQ(flat.dy, 0.0);

    const CrossCorrelator flatReference(frame);
    DrawFrame(frame, 1.0, 1.0, 2);
    EXPECT_EQ(flatReference.measure(frame).status, ShiftStatus::NoStructure);

    ImageGrid tiny;
    test::DrawStarField(tiny, 12, 40, 0.0, {{6.0, 20.0, 1.5, 100.0}}, 0.0, 0.0, 0.0, 0);
    const CrossCorrelator tinyReference(tiny);
    EXPECT_EQ(tinyReference.measure(tiny).status, ShiftStatus::NoStructure);
}

} // namespace
} // namespace skyvane
