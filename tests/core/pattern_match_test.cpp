#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "processing/PatternMatch.h"

namespace skyvane {
namespace {

constexpr double Side = 1000.0;

// A truth: turned by degrees about the field's centre after an optional mirror (y to
// -y about the centre), scaled, then shifted.
struct Truth {
    double degrees = 0.0;
    double scale = 1.0;
    double dx = 0.0;
    double dy = 0.0;
    bool mirrored = false;

    void apply(double x, double y, double& outX, double& outY) const
    {
        const double c = 0.5 * Side;
        const double a = degrees * std::numbers::pi / 180.0;
        const double u = x - c;
        const double v = mirrored ? c - y : y - c;
        outX = c + scale * (std::cos(a) * u - std::sin(a) * v) + dx;
        outY = c + scale * (std::sin(a) * u + std::cos(a) * v) + dy;
    }
};

std::vector<PatternPoint> Field(int count, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> place(0.0, Side);
    std::vector<PatternPoint> points;
    for (int i = 0; i < count; ++i)
        points.push_back({place(rng), place(rng), 0.05});
    return points;
}

// The reference's stars carried into a frame: each kept with probability keep, placed with
// noise of 0.05 pixel, the order (brightness) stirred a little; extra stars of the frame's
// own mixed in; stars that leave the frame dropped.
std::vector<PatternPoint> Frame(const std::vector<PatternPoint>& reference, const Truth& truth, double keep, int extra, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::normal_distribution<double> jitter(0.0, 0.05);
    std::vector<std::pair<double, PatternPoint>> ranked;
    for (std::size_t k = 0; k < reference.size(); ++k) {
        if (unit(rng) >= keep)
            continue;
        PatternPoint p;
        truth.apply(reference[k].x, reference[k].y, p.x, p.y);
        p.x += jitter(rng);
        p.y += jitter(rng);
        if (p.x < 0.0 || p.y < 0.0 || p.x > Side || p.y > Side)
            continue;
        ranked.emplace_back(static_cast<double>(k) + 3.0 * unit(rng), p);
    }
    for (int i = 0; i < extra; ++i)
        ranked.emplace_back(unit(rng) * static_cast<double>(reference.size()), PatternPoint{unit(rng) * Side, unit(rng) * Side, 0.05});
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<PatternPoint> frame;
    for (const auto& r : ranked)
        frame.push_back(r.second);
    return frame;
}

// The largest distance between where the fit and the truth put points across the field.
double WorstDistance(const SimilarityTransform& fit, const Truth& truth)
{
    double worst = 0.0;
    for (double x = 0.0; x <= Side; x += Side / 4)
        for (double y = 0.0; y <= Side; y += Side / 4) {
            double fx = 0.0, fy = 0.0, tx = 0.0, ty = 0.0;
            fit.apply(x, y, fx, fy);
            truth.apply(x, y, tx, ty);
            worst = std::max(worst, std::hypot(fx - tx, fy - ty));
        }
    return worst;
}

TEST(PatternMatchTest, FindsFlipsTurnsMirrorImagesAndFieldsWithMissingAndExtraStars)
{
    const std::vector<PatternPoint> reference = Field(120, 1);
    const ReferencePattern pattern(reference);
    struct Case {
        const char* name;
        Truth truth;
        double keep;
        int extra;
    };
    const Case cases[] = {
        {"shift", {0.0, 1.0, 13.4, -7.7, false}, 1.0, 0},
        {"meridian flip", {180.0, 1.0, 6.25, -3.5, false}, 1.0, 0},
        {"flip and field rotation", {181.7, 1.0, -4.0, 9.0, false}, 1.0, 0},
        {"three degrees and a scale", {-3.0, 1.004, 2.0, 1.5, false}, 1.0, 0},
        {"mirror image", {40.0, 1.0, 5.0, 5.0, true}, 1.0, 0},
        {"30% missing and extra stars", {182.0, 0.998, 11.0, -6.0, false}, 0.7, 25},
    };
    unsigned seed = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<PatternPoint> frame = Frame(reference, c.truth, c.keep, c.extra, ++seed);
        const PatternMatch match = pattern.match(frame);
        ASSERT_TRUE(match.found);
        EXPECT_EQ(match.transform.mirrored, c.truth.mirrored);
        EXPECT_LT(WorstDistance(match.transform, c.truth), 0.05);
        // Nearly every star both sides hold is paired, and each pair is right.
        const std::size_t common = frame.size() - static_cast<std::size_t>(c.extra);
        EXPECT_GE(match.pairs.size(), common * 9 / 10);
        for (const auto& [r, f] : match.pairs) {
            double x = 0.0, y = 0.0;
            c.truth.apply(reference[r].x, reference[r].y, x, y);
            EXPECT_LT(std::hypot(x - frame[f].x, y - frame[f].y), 0.5);
        }
        EXPECT_LT(match.rms, 0.15);
    }
}

TEST(PatternMatchTest, UnrelatedFieldsAndTooFewStarsDoNotMatch)
{
    const ReferencePattern pattern(Field(120, 1));
    EXPECT_FALSE(pattern.match(Field(120, 2)).found);
    EXPECT_FALSE(pattern.match({}).found);
    const std::vector<PatternPoint> two = {{100.0, 100.0, 0.05}, {300.0, 200.0, 0.05}};
    EXPECT_FALSE(pattern.match(two).found);
    EXPECT_FALSE(ReferencePattern(two).match(Field(120, 1)).found);
}

TEST(PatternMatchTest, TransformInverseAndFitAgree)
{
    for (const bool mirrored : {false, true}) {
        SimilarityTransform t;
        t.a = 0.8;
        t.b = -0.59;
        t.tx = 12.0;
        t.ty = -40.0;
        t.mirrored = mirrored;
        double x = 0.0, y = 0.0, bx = 0.0, by = 0.0;
        t.apply(123.0, 45.0, x, y);
        t.inverse().apply(x, y, bx, by);
        EXPECT_NEAR(bx, 123.0, 1e-9);
        EXPECT_NEAR(by, 45.0, 1e-9);
        // Four exact pairs give the transform back.
        std::vector<PatternPoint> from = {{0.0, 0.0, 0.1}, {100.0, 0.0, 0.1}, {30.0, 70.0, 0.1}, {-20.0, 50.0, 0.2}};
        std::vector<PatternPoint> to(from.size());
        std::vector<std::pair<std::size_t, std::size_t>> pairs;
        for (std::size_t k = 0; k < from.size(); ++k) {
            t.apply(from[k].x, from[k].y, to[k].x, to[k].y);
            pairs.emplace_back(k, k);
        }
        const SimilarityTransform fit = FitSimilarity(from, to, pairs, mirrored);
        EXPECT_NEAR(fit.a, t.a, 1e-12);
        EXPECT_NEAR(fit.b, t.b, 1e-12);
        EXPECT_NEAR(fit.tx, t.tx, 1e-9);
        EXPECT_NEAR(fit.ty, t.ty, 1e-9);
        EXPECT_NEAR(t.scale(), std::hypot(0.8, 0.59), 1e-15);
    }
}

} // namespace
} // namespace skyvane
