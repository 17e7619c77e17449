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

// The stars turned by `degrees` about the frame's centre.
std::vector<test::SyntheticStar> Turned(std::vector<test::SyntheticStar> stars, double degrees)
{
    const double a = degrees * M_PI / 180.0;
    const double cx = 0.5 * (Width - 1);
    const double cy = 0.5 * (Height - 1);
    for (test::SyntheticStar& s : stars) {
        const double x = s.x - cx;
        const double y = s.y - cy;
        s.x = cx + std::cos(a) * x - std::sin(a) * y;
        s.y = cy + std::sin(a) * x + std::cos(a) * y;
    }
    return stars;
}

// A night's frame: sky with a gradient (vignetting-like, fixed on the sensor), stars turned
// by `turn` degrees about the centre and moved by (dx, dy), noise, two hot pixels fixed on
// the sensor and cosmic-ray hits that differ from frame to frame (a single pixel and a
// short streak). starCount 0: no stars, only the sky and the noise.
void DrawFrame(ImageGrid& grid, double dx, double dy, unsigned seed, double turn = 0.0, int starCount = 60)
{
    const std::vector<test::SyntheticStar> stars = Turned(test::RandomStars(starCount, Width, Height, 6, 7), turn);
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

TEST(CrossCorrelation, DriftsFarBeyondAQuarterOfTheFrameAreFoundRight)
{
    ImageGrid reference, frame;
    DrawFrame(reference, 0.0, 0.0, 1);
    DrawFrame(frame, 0.4 * Width + 0.37, -0.45 * Height - 0.21, 2);
    const CrossCorrelator correlator(reference);
    const CorrelationShift shift = correlator.measure(frame);
    ASSERT_EQ(shift.status, ShiftStatus::Measured);
    EXPECT_NEAR(shift.dx, 0.4 * Width + 0.37, 0.03);
    EXPECT_NEAR(shift.dy, -0.45 * Height - 0.21, 0.03);
}

// Frames that share no stars with the reference, or that a translation cannot align, are
// told apart from frames that match: their peak does not stand out of the correlation's
// noise, or the tiles of the frame find other shifts than the whole frame.
TEST(CrossCorrelation, NoiseTurnedAndFlippedFramesDoNotMatch)
{
    ImageGrid reference, frame;
    DrawFrame(reference, 0.0, 0.0, 1);
    const CrossCorrelator correlator(reference);
    DrawFrame(frame, 3.3, -2.2, 2);
    const CorrelationShift match = correlator.measure(frame);
    ASSERT_EQ(match.status, ShiftStatus::Measured);
    EXPECT_EQ(match.tilesAgreeing, match.tilesChecked);
    EXPECT_GE(match.tilesChecked, 3);
    EXPECT_TRUE(correlator.check(frame, match.dx, match.dy).agrees);
    // Frames of noise: alone, and with the sensor's hot pixels, which match the
    // reference's where they stand.
    for (unsigned seed = 2; seed < 5; ++seed) {
        test::DrawStarField(frame, Width, Height, 1000.0, {}, 0.0, 0.0, 12.0, seed);
        const CorrelationShift noise = correlator.measure(frame);
        EXPECT_EQ(noise.status, ShiftStatus::NoMatch) << seed;
        EXPECT_LT(noise.significance, match.significance / 5.0) << seed;
        DrawFrame(frame, 0.0, 0.0, seed, 0.0, 0);
        EXPECT_EQ(correlator.measure(frame).status, ShiftStatus::NoMatch) << seed;
    }
    for (double turn : {180.0, 1.5, -2.0}) {
        DrawFrame(frame, 3.3, -2.2, 2, turn);
        const CorrelationShift turned = correlator.measure(frame);
        EXPECT_EQ(turned.status, ShiftStatus::NoMatch) << turn;
        EXPECT_LT(3 * turned.tilesAgreeing, 2 * turned.tilesChecked) << turn;
        // The shift one star would give (the frame's centre stays in place when turned
        // about it) is no better.
        EXPECT_FALSE(correlator.check(frame, 3.3, -2.2).agrees) << turn;
    }
}

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
