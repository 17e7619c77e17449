#include "processing/StarCentroid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support/StarField.h"

namespace skyvane {
namespace {

constexpr double Sky = 500.0;
constexpr double Noise = 5.0;
const double SigmaToFwhm = 2.0 * std::sqrt(2.0 * std::log(2.0));

TEST(StarCentroid, FindsTheCentreOfAGaussianStar)
{
    for (const test::SyntheticStar& star : {test::SyntheticStar{30.37, 25.81, 1.3, 3000.0}, test::SyntheticStar{33.5, 27.5, 2.2, 2500.0}}) {
        ImageGrid grid;
        test::DrawStarField(grid, 64, 56, Sky, {star}, 0.0, 0.0, Noise, 11);
        const StarMeasurement m = MeasureStar(grid, 31.0, 25.0);
        ASSERT_EQ(m.status, StarStatus::Found);
        EXPECT_NEAR(m.x, star.x, 0.02);
        EXPECT_NEAR(m.y, star.y, 0.02);
        EXPECT_NEAR(m.background, Sky, 1.0);
        EXPECT_NEAR(m.sigma, Noise, 1.0);
        EXPECT_NEAR(m.fwhm, SigmaToFwhm * star.sigma, 0.25 * SigmaToFwhm * star.sigma);
        EXPECT_GE(m.iterations, 1);

        const StarProfile p = MeasureFwhm(grid, 31.0, 25.0);
        ASSERT_TRUE(p.fitted);
        EXPECT_NEAR(p.fwhm, SigmaToFwhm * star.sigma, 0.03 * SigmaToFwhm * star.sigma);
        EXPECT_NEAR(p.x, star.x, 0.02);
        EXPECT_NEAR(p.amplitude, star.amplitude, 0.05 * star.amplitude);
    }
}

TEST(StarCentroid, CosmicRayAndHotPixelDoNotPullTheCentroid)
{
    const test::SyntheticStar star{30.37, 25.81, 1.5, 2000.0};
    ImageGrid grid;
    test::DrawStarField(grid, 64, 56, Sky, {star}, 0.0, 0.0, Noise, 12);
    grid[32][27] = 65535.0; // in the centroid box
    grid[29][22] += 4000.0;  // hot pixel in the box
    grid[38][25] = 65535.0;  // in the annulus
    grid[24][29] = 65535.0;  // a cosmic-ray hit nearer the start point than the star
    StarSettings settings;
    settings.saturation = 65535.0;
    const StarMeasurement m = MeasureStar(grid, 25.0, 29.0, settings);
    ASSERT_EQ(m.status, StarStatus::Found); // the hits are not taken for saturation either
    EXPECT_NEAR(m.x, star.x, 0.03);
    EXPECT_NEAR(m.y, star.y, 0.03);
}

TEST(StarCentroid, LeftOutCases)
{
    ImageGrid grid;
    StarSettings settings;
    settings.saturation = 10000.0;

    // Saturated: the core clipped flat at the camera's limit; the position is still given.
    test::DrawStarField(grid, 64, 56, Sky, {{30.4, 25.6, 1.8, 40000.0}}, 0.0, 0.0, Noise, 13);
    for (int x = 0; x < 64; ++x)
        for (int y = 0; y < 56; ++y)
            grid[x][y] = std::min(grid[x][y], 10000.0);
    StarMeasurement m = MeasureStar(grid, 30.0, 26.0, settings);
    EXPECT_EQ(m.status, StarStatus::Saturated);
    EXPECT_NEAR(m.x, 30.4, 0.1);

    // Too faint: a peak of 3 noise sigmas.
    test::DrawStarField(grid, 64, 56, Sky, {{30.4, 25.6, 1.8, 3.0 * Noise}}, 0.0, 0.0, Noise, 14);
    EXPECT_EQ(MeasureStar(grid, 30.0, 26.0, settings).status, StarStatus::TooFaint);

    // Lost: start point off the frame or not a number; a star whose box or annulus does
    // not fit in the frame; a centroid pulled out of the search window by a brighter star
    // beside the window's brightest point.
    test::DrawStarField(grid, 64, 56, Sky, {{30.4, 25.6, 1.8, 2000.0}, {2.2, 40.0, 1.5, 2000.0}}, 0.0, 0.0, Noise, 15);
    EXPECT_EQ(MeasureStar(grid, -3.0, 26.0, settings).status, StarStatus::Lost);
    EXPECT_EQ(MeasureStar(grid, 30.0, std::numeric_limits<double>::quiet_NaN(), settings).status, StarStatus::Lost);
    EXPECT_EQ(MeasureStar(grid, 2.0, 40.0, settings).status, StarStatus::Lost);
    settings.searchRadius = 0;
    EXPECT_EQ(MeasureStar(grid, 27.0, 25.0, settings).status, StarStatus::Lost);
    settings.searchRadius = 3;
    EXPECT_EQ(MeasureStar(grid, 27.0, 25.0, settings).status, StarStatus::Found);
}

// A star followed through frames drifting 15 pixels a frame, past a brighter neighbour and
// a fainter one, with noise and a cosmic-ray hit on the star in one frame.
TEST(StarTracker, FollowsALongDriftAndReportsLeftOutFrames)
{
    const std::vector<test::SyntheticStar> stars = {
        {40.3, 50.7, 1.6, 3000.0}, // the one followed
        {62.0, 58.0, 1.6, 20000.0},
        {30.0, 36.0, 1.6, 200.0},
    };
    const double drift[][2] = {{0.0, 0.0}, {15.2, 9.7}, {30.9, 18.1}, {46.4, 28.6}, {61.1, 37.3}, {75.8, 46.9}};
    StarSettings settings;
    settings.saturation = 60000.0;
    StarTracker tracker(settings, 30);
    ImageGrid frame;
    test::DrawStarField(frame, 200, 160, Sky, stars, 0.0, 0.0, Noise, 100);
    ASSERT_EQ(tracker.start(frame, 41.0, 50.0).status, StarStatus::Found);
    for (int k = 1; k < 6; ++k) {
        test::DrawStarField(frame, 200, 160, Sky, stars, drift[k][0], drift[k][1], Noise, 100 + k);
        if (k == 3)
            frame[static_cast<int>(40.3 + drift[k][0]) + 1][static_cast<int>(50.7 + drift[k][1])] = 65535.0;
        const StarShift shift = tracker.track(frame);
        ASSERT_EQ(shift.status, StarStatus::Found) << "frame " << k;
        EXPECT_NEAR(shift.dx, drift[k][0], 0.03) << "frame " << k;
        EXPECT_NEAR(shift.dy, drift[k][1], 0.03) << "frame " << k;
    }

    // A cloud: every star at a tenth of its brightness; the star, where it was, is too
    // faint and left out (not mistaken for its dimmed bright neighbour). Then a frame
    // without stars; then the star is back.
    std::vector<test::SyntheticStar> dim = stars;
    for (test::SyntheticStar& s : dim)
        s.amplitude *= 0.1;
    test::DrawStarField(frame, 200, 160, Sky, dim, 77.0, 47.5, Noise, 200);
    EXPECT_EQ(tracker.track(frame).status, StarStatus::TooFaint);
    test::DrawStarField(frame, 200, 160, Sky, {}, 0.0, 0.0, Noise, 201);
    EXPECT_EQ(tracker.track(frame).status, StarStatus::Lost);
    test::DrawStarField(frame, 200, 160, Sky, stars, 78.5, 48.25, Noise, 202);
    const StarShift back = tracker.track(frame);
    ASSERT_EQ(back.status, StarStatus::Found);
    EXPECT_NEAR(back.dx, 78.5, 0.03);
    EXPECT_NEAR(back.dy, 48.25, 0.03);
}

// The star found where the star was must look like it: through thin cloud (half its flux)
// it does; a star three times as wide, or five times as bright, is another object, and the
// next frame is searched where the star was last. A frame rejected after tracking sends the
// search back to where the star was before it.
TEST(StarTracker, AStarUnlikeTheReferenceStarIsAMismatch)
{
    const test::SyntheticStar star{40.3, 50.7, 1.6, 3000.0};
    StarTracker tracker(StarSettings{}, 30);
    ImageGrid frame;
    auto draw = [&](double dx, double sigma, double amplitude, unsigned seed) {
        test::DrawStarField(frame, 120, 100, Sky, {{star.x + dx, star.y, sigma, amplitude}}, 0.0, 0.0, Noise, seed);
    };
    draw(0.0, star.sigma, star.amplitude, 300);
    ASSERT_EQ(tracker.start(frame, 40.0, 51.0).status, StarStatus::Found);
    draw(2.0, star.sigma, 0.5 * star.amplitude, 301);
    EXPECT_EQ(tracker.track(frame).status, StarStatus::Found);
    draw(4.0, 3.0 * star.sigma, star.amplitude, 302);
    EXPECT_EQ(tracker.track(frame).status, StarStatus::Mismatch);
    draw(4.0, star.sigma, 5.0 * star.amplitude, 303);
    EXPECT_EQ(tracker.track(frame).status, StarStatus::Mismatch);
    draw(27.0, star.sigma, star.amplitude, 304);
    ASSERT_EQ(tracker.track(frame).status, StarStatus::Found);
    // That frame is rejected: the next one, 35 pixels from it but 10 from the frame before,
    // is within the search (30 pixels) only from where the star was before it.
    tracker.reject();
    draw(-8.0, star.sigma, star.amplitude, 305);
    const StarShift shift = tracker.track(frame);
    ASSERT_EQ(shift.status, StarStatus::Found);
    EXPECT_NEAR(shift.dx, -8.0, 0.03);
}

TEST(StarTracker, DoesNotStartOnAStarThatIsNotFound)
{
    ImageGrid frame;
    test::DrawStarField(frame, 64, 56, Sky, {{30.4, 25.6, 1.8, 2.0 * Noise}}, 0.0, 0.0, Noise, 16);
    StarTracker tracker;
    EXPECT_EQ(tracker.start(frame, 30.0, 26.0).status, StarStatus::TooFaint);
    test::DrawStarField(frame, 64, 56, Sky, {{30.4, 25.6, 1.8, 2000.0}}, 0.0, 0.0, Noise, 17);
    EXPECT_EQ(tracker.track(frame).status, StarStatus::Lost);
}

} // namespace
} // namespace skyvane
