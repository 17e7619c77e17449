#include "processing/Statistics.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <vector>

namespace skyvane {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::uint64_t bitsOf(double v)
{
    return std::bit_cast<std::uint64_t>(v);
}

// A grid whose pixels are given row by row, as one reads a picture: rows[y][x].
void fillRows(ImageGrid& grid, const std::vector<std::vector<double>>& rows)
{
    const int height = static_cast<int>(rows.size());
    const int width = static_cast<int>(rows.front().size());
    grid.resize(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            grid[x][y] = rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)];
        }
    }
}

// The reference: the figures written the plainest way, columns outer, rows inner.
MeanSigma referenceMeanSigma(const ImageGrid& grid)
{
    double sum = 0.0;
    for (int x = 0; x < grid.width(); ++x) {
        for (int y = 0; y < grid.height(); ++y) {
            sum += grid[x][y];
        }
    }
    const double n = static_cast<double>(grid.width()) * grid.height();
    const double mean = sum / n;
    double sq = 0.0;
    for (int x = 0; x < grid.width(); ++x) {
        for (int y = 0; y < grid.height(); ++y) {
            sq += (grid[x][y] - mean) * (grid[x][y] - mean);
        }
    }
    return {mean, std::sqrt(sq / n)};
}

MinMax referenceMinMax(const ImageGrid& grid)
{
    MinMax r{grid[0][0], grid[0][0]};
    for (int x = 0; x < grid.width(); ++x) {
        for (int y = 0; y < grid.height(); ++y) {
            const double v = grid[x][y];
            if (v > r.max) {
                r.max = v;
            }
            if (v < r.min) {
                r.min = v;
            }
        }
    }
    return r;
}

double referenceMedian(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    if (n % 2 == 1) {
        return values[n / 2];
    }
    return (values[n / 2] + values[n / 2 - 1]) * 0.5;
}

struct KnownCase {
    const char* name;
    std::vector<std::vector<double>> rows;
    double min, max, median, mean, sigma;
};

TEST(Statistics, FiguresOfSmallImagesWithKnownAnswers)
{
    const KnownCase cases[] = {
        {"1x1", {{7.25}}, 7.25, 7.25, 7.25, 7.25, 0.0},
        {"1x1 negative", {{-3.0}}, -3.0, -3.0, -3.0, -3.0, 0.0},
        {"two pixels in a row", {{1.0, 3.0}}, 1.0, 3.0, 2.0, 2.0, 1.0},
        {"two pixels in a column", {{3.0}, {1.0}}, 1.0, 3.0, 2.0, 2.0, 1.0},
        {"1 2 3 100", {{1.0, 100.0}, {3.0, 2.0}}, 1.0, 100.0, 2.5, 26.5, 42.44113570582201},
        {"5 5 5", {{5.0, 5.0, 5.0}}, 5.0, 5.0, 5.0, 5.0, 0.0},
        {"constant 3x4", std::vector<std::vector<double>>(4, std::vector<double>(3, -2.5)), -2.5, -2.5, -2.5, -2.5, 0.0},
        {"half 0 half 100", {{0.0, 0.0, 100.0, 100.0}, {0.0, 0.0, 100.0, 100.0}}, 0.0, 100.0, 50.0, 50.0, 50.0},
        {"odd count", {{9.0, -1.0, 4.0}, {4.0, 8.0, 0.5}, {2.0, 2.0, 3.0}}, -1.0, 9.0, 3.0, 3.5, 3.073181485764296},
    };
    for (const KnownCase& c : cases) {
        SCOPED_TRACE(c.name);
        ImageGrid grid;
        fillRows(grid, c.rows);
        const MinMax mm = ImageMinMax(grid);
        EXPECT_EQ(mm.min, c.min);
        EXPECT_EQ(mm.max, c.max);
        EXPECT_EQ(ImageMedian(grid), c.median);
        const MeanSigma ms = ImageMeanSigma(grid);
        EXPECT_DOUBLE_EQ(ms.mean, c.mean);
        EXPECT_NEAR(ms.sigma, c.sigma, 1e-13 * (1.0 + c.sigma));
    }
}

TEST(Statistics, ExactSmallFigures)
{
    // Figures that need no rounding must come out exactly.
    ImageGrid grid;
    fillRows(grid, {{1.0, 3.0}});
    EXPECT_EQ(ImageMeanSigma(grid).sigma, 1.0);
    fillRows(grid, {{1.0, 100.0}, {3.0, 2.0}});
    EXPECT_EQ(ImageMeanSigma(grid).mean, 26.5);
    fillRows(grid, {{0.0, 0.0, 100.0, 100.0}});
    EXPECT_EQ(ImageMeanSigma(grid).sigma, 50.0);
}

TEST(Statistics, EmptyGridGivesNotANumber)
{
    ImageGrid grid;
    EXPECT_TRUE(std::isnan(ImageMinMax(grid).min));
    EXPECT_TRUE(std::isnan(ImageMinMax(grid).max));
    EXPECT_TRUE(std::isnan(ImageMeanSigma(grid).mean));
    EXPECT_TRUE(std::isnan(ImageMeanSigma(grid).sigma));
    EXPECT_TRUE(std::isnan(ImageMedian(grid)));
}

// Values whose sum depends on the order of addition: large and small magnitudes mixed.
void fillOrderSensitive(ImageGrid& grid, int width, int height, std::uint64_t seed)
{
    grid.resize(width, height);
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> kind(0, 3);
    for (int x = 0; x < width; ++x) {
        for (int y = 0; y < height; ++y) {
            switch (kind(random)) {
            case 0: grid[x][y] = 1e12 * unit(random); break;
            case 1: grid[x][y] = -3e11 * unit(random); break;
            case 2: grid[x][y] = unit(random) * 1e-3; break;
            default: grid[x][y] = 1000.0 + unit(random); break;
            }
        }
    }
}

TEST(Statistics, MeanAndSigmaAreBitIdenticalToThePlainLoopInPixelOrder)
{
    const struct {
        int width, height;
    } sizes[] = {{1, 1}, {1, 1000}, {1000, 1}, {3, 7}, {257, 129}, {1024, 1025}};
    for (const auto& s : sizes) {
        SCOPED_TRACE(testing::Message() << s.width << "x" << s.height);
        ImageGrid grid;
        fillOrderSensitive(grid, s.width, s.height, 77u + static_cast<std::uint64_t>(s.width));
        const MeanSigma expected = referenceMeanSigma(grid);
        const MeanSigma actual = ImageMeanSigma(grid);
        EXPECT_EQ(bitsOf(actual.mean), bitsOf(expected.mean));
        EXPECT_EQ(bitsOf(actual.sigma), bitsOf(expected.sigma));
    }
}

TEST(Statistics, TheDataOfTheBitTestIsSensitiveToSummationOrder)
{
    // Guards the test above: if these data summed the same in any order, that test would
    // not notice a reordered or split sum.
    ImageGrid grid;
    fillOrderSensitive(grid, 257, 129, 77u + 257u);
    double rowOrder = 0.0;
    for (int y = 0; y < grid.height(); ++y) {
        for (int x = 0; x < grid.width(); ++x) {
            rowOrder += grid[x][y];
        }
    }
    double twoHalves[2] = {0.0, 0.0};
    const std::int64_t n = grid.pixelCount();
    for (std::int64_t i = 0; i < n; ++i) {
        twoHalves[i < n / 2 ? 0 : 1] += grid.data()[i];
    }
    const double pixelOrderMean = ImageMeanSigma(grid).mean;
    EXPECT_NE(bitsOf(rowOrder / static_cast<double>(n)), bitsOf(pixelOrderMean));
    EXPECT_NE(bitsOf((twoHalves[0] + twoHalves[1]) / static_cast<double>(n)), bitsOf(pixelOrderMean));
}

TEST(Statistics, MinMaxKeepsTheFirstOfEqualExtremesInPixelOrder)
{
    // -0 and +0 are equal, so which one is reported shows which pixel came first. Pixel
    // (0, 1) comes before pixel (1, 0): columns outer, rows inner.
    ImageGrid grid;
    fillRows(grid, {{5.0, 0.0}, {-0.0, 6.0}});
    MinMax mm = ImageMinMax(grid);
    EXPECT_TRUE(std::signbit(mm.min));
    EXPECT_EQ(mm.min, 0.0);
    EXPECT_EQ(mm.max, 6.0);

    fillRows(grid, {{-0.0, -5.0}, {0.0, -6.0}});
    mm = ImageMinMax(grid);
    EXPECT_TRUE(std::signbit(mm.max));
    EXPECT_EQ(mm.min, -6.0);
}

TEST(Statistics, MinMaxOfALargeGridMatchesTheSinglePassExactly)
{
    // A camera-sized grid with ties of signed zeros and NaN planted early, late and
    // around the middle.
    const int width = 1024;
    const int height = 1025;
    const std::int64_t n = std::int64_t{width} * height;
    const std::int64_t middle = n / 2;
    struct Plant {
        const char* name;
        double fill;
        double first;
        std::int64_t at[4];
        double values[4];
    };
    const Plant plants[] = {
        {"ties of zero as minimum, -0 first", 0.5, 1.0, {10, middle + 3, 20, middle}, {-0.0, 0.0, 0.0, 0.0}},
        {"ties of zero as minimum, +0 first", 0.5, 1.0, {10, middle + 3, 20, middle}, {0.0, -0.0, -0.0, -0.0}},
        {"ties of zero as maximum, -0 first", -0.5, -1.0, {middle - 1, middle, n - 1, 5}, {-0.0, 0.0, 0.0, -2.0}},
        {"ties of zero as maximum, +0 first", -0.5, -1.0, {7, middle, n - 1, 5}, {0.0, -0.0, -0.0, -2.0}},
        {"ties of zero only in the second half", -0.5, -1.0, {middle + 9, middle, n - 1, 5}, {-0.0, 0.0, -0.0, -2.0}},
        {"maximum only in the second half", 0.5, 0.5, {n - 1, middle, 3, 4}, {9.0, kNaN, -kInf, 2.0}},
        {"NaN at the start of the second half", 0.5, 0.5, {middle, middle + 1, 3, 4}, {kNaN, 8.0, -7.0, 2.0}},
        {"NaN at pixel (0, 0)", 0.5, kNaN, {middle, n - 1, 3, 4}, {100.0, -100.0, 1.0, 2.0}},
    };
    ImageGrid grid;
    grid.resize(width, height);
    for (const Plant& p : plants) {
        SCOPED_TRACE(p.name);
        std::fill(grid.data(), grid.data() + n, p.fill);
        grid.data()[0] = p.first;
        for (int i = 0; i < 4; ++i) {
            grid.data()[p.at[i]] = p.values[i];
        }
        const MinMax expected = referenceMinMax(grid);
        const MinMax actual = ImageMinMax(grid);
        EXPECT_EQ(bitsOf(actual.min), bitsOf(expected.min));
        EXPECT_EQ(bitsOf(actual.max), bitsOf(expected.max));
    }

    fillOrderSensitive(grid, width, height, 5);
    const MinMax expected = referenceMinMax(grid);
    const MinMax actual = ImageMinMax(grid);
    EXPECT_EQ(bitsOf(actual.min), bitsOf(expected.min));
    EXPECT_EQ(bitsOf(actual.max), bitsOf(expected.max));
}

TEST(Statistics, MinMaxOfSignedZerosNaNAndInfinitiesMatchesTheSinglePass)
{
    // Every shape from 1 to 40 pixels, short and tall, with values drawn from a set full
    // of ties: the bits must be those of the plain single pass.
    const double pool[] = {0.0, -0.0, 1.0, -1.0, kNaN, kInf, -kInf, 0.0, -0.0};
    std::mt19937_64 random(21);
    std::uniform_int_distribution<int> pick(0, 8);
    for (int n = 1; n <= 40; ++n) {
        for (int round = 0; round < 200; ++round) {
            ImageGrid grid;
            if (round % 2 == 0) {
                grid.resize(n, 1);
            } else {
                grid.resize(1, n);
            }
            for (int i = 0; i < n; ++i) {
                grid.data()[i] = pool[pick(random)];
            }
            const MinMax expected = referenceMinMax(grid);
            const MinMax actual = ImageMinMax(grid);
            ASSERT_EQ(bitsOf(actual.min), bitsOf(expected.min)) << n << " round " << round;
            ASSERT_EQ(bitsOf(actual.max), bitsOf(expected.max)) << n << " round " << round;
        }
    }
}

TEST(Statistics, NotANumberPixels)
{
    ImageGrid grid;
    fillRows(grid, {{1.0, kNaN, 3.0}, {-2.0, 8.0, kNaN}});
    MinMax mm = ImageMinMax(grid);
    EXPECT_EQ(mm.min, -2.0);
    EXPECT_EQ(mm.max, 8.0);
    EXPECT_TRUE(std::isnan(ImageMeanSigma(grid).mean));
    EXPECT_TRUE(std::isnan(ImageMeanSigma(grid).sigma));
    (void)ImageMedian(grid); // whatever it is, it must not crash or read outside

    fillRows(grid, {{kNaN, 1.0}, {2.0, 3.0}});
    mm = ImageMinMax(grid);
    EXPECT_TRUE(std::isnan(mm.min));
    EXPECT_TRUE(std::isnan(mm.max));

    fillRows(grid, {{kNaN, kNaN, kNaN}});
    EXPECT_TRUE(std::isnan(ImageMedian(grid)));
}

TEST(Statistics, ImageMedianLeavesTheGridUnchanged)
{
    ImageGrid grid;
    fillOrderSensitive(grid, 61, 47, 3);
    std::vector<double> before(grid.data(), grid.data() + grid.pixelCount());
    const double median = ImageMedian(grid);
    EXPECT_EQ(median, referenceMedian(before));
    EXPECT_EQ(std::memcmp(before.data(), grid.data(), before.size() * sizeof(double)), 0);
}

TEST(Statistics, ImageMedianOfOddAndEvenCounts)
{
    const struct {
        int width, height;
    } sizes[] = {{1, 2}, {2, 1}, {3, 1}, {5, 5}, {4, 6}, {101, 99}, {100, 99}, {640, 480}};
    std::mt19937_64 random(11);
    std::uniform_int_distribution<int> small(-20, 20);
    for (const auto& s : sizes) {
        SCOPED_TRACE(testing::Message() << s.width << "x" << s.height);
        ImageGrid grid;
        grid.resize(s.width, s.height);
        // Many repeated values, as integer camera data has.
        for (std::int64_t i = 0; i < grid.pixelCount(); ++i) {
            grid.data()[i] = small(random) * 0.5;
        }
        const std::vector<double> values(grid.data(), grid.data() + grid.pixelCount());
        EXPECT_EQ(ImageMedian(grid), referenceMedian(values));
    }
}

// The plain rule for the median of a grid: the pixels copied in pixel order (column by
// column, rows inside), then medianOf.
double plainImageMedian(const ImageGrid& grid)
{
    std::vector<double> copy;
    copy.reserve(static_cast<std::size_t>(grid.pixelCount()));
    for (int x = 0; x < grid.width(); ++x) {
        for (int y = 0; y < grid.height(); ++y) {
            copy.push_back(grid[x][y]);
        }
    }
    return medianOf(copy.data(), static_cast<std::int64_t>(copy.size()));
}

// From 4096 pixels on ImageMedian selects on the values' bits instead of copying; these
// grids drive every branch of that selection (one value per bucket, distinct values
// gathered in one bucket, the upper middle value in the same bucket, in the next bucket,
// far away) and the cases it must leave to the copy. Each answer must have the bits of the
// plain rule and, where no NaN is present, the value of a full sort.
TEST(ImageMedian, BitIdenticalToTheCopyAndMedianOf)
{
    std::mt19937_64 random(7);
    struct Case {
        const char* name;
        int width;
        int height;
        std::function<double(std::int64_t)> value;
    };
    std::normal_distribution<double> noise(1000.0, 30.0);
    std::uniform_real_distribution<double> wide(-1e300, 1e300);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> small(-3, 3);
    const double denormal = std::numeric_limits<double>::denorm_min();
    const Case cases[] = {
        {"16-bit sky, even count", 128, 64, [&](std::int64_t) { return std::trunc(noise(random)); }},
        {"16-bit sky, odd count", 129, 65, [&](std::int64_t) { return std::trunc(noise(random)); }},
        {"real noise, even", 100, 100, [&](std::int64_t) { return noise(random); }},
        {"real noise, odd", 101, 99, [&](std::int64_t) { return noise(random); }},
        {"uniform, camera size, even", 1024, 1000, [&](std::int64_t) { return unit(random); }},
        {"uniform, camera size, odd", 1023, 1001, [&](std::int64_t) { return unit(random); }},
        {"wide range with signs", 90, 91, [&](std::int64_t) { return wide(random); }},
        {"constant", 80, 80, [](std::int64_t) { return 42.5; }},
        {"negative constant", 80, 81, [](std::int64_t) { return -7.0; }},
        {"few values with -0 only", 70, 70, [&](std::int64_t) { const int v = small(random); return v == 0 ? -0.0 : v; }},
        {"few values with +0 only", 70, 71, [&](std::int64_t) { return static_cast<double>(small(random)); }},
        {"two halves: middle values far apart", 64, 64, [](std::int64_t i) { return i % 2 == 0 ? -1e6 : 3.25; }},
        {"middle values one ulp apart", 64, 64, [](std::int64_t i) { return i % 2 == 0 ? 1.0 : std::nextafter(1.0, 2.0); }},
        {"lower half distinct in one bucket, upper half above it", 64, 64,
         [](std::int64_t i) { return i % 2 == 0 ? 1.0 + static_cast<double>(i) * std::ldexp(1.0, -52) : 5.0; }},
        {"middle values in neighbouring buckets", 64, 64, [](std::int64_t i) { return i % 2 == 0 ? 0.999999 : 1.000001; }},
        {"infinities and denormals", 65, 64, [&](std::int64_t i) {
             const double pick[] = {-kInf, kInf, denormal, -denormal, 5.0};
             return pick[(i * 7 + 3) % 5];
         }},
        {"ascending", 200, 41, [](std::int64_t i) { return static_cast<double>(i); }},
        {"descending", 200, 40, [](std::int64_t i) { return -static_cast<double>(i) / 3.0; }},
        {"smallest grid that selects on bits", 1, 4096, [&](std::int64_t) { return std::trunc(noise(random)); }},
        {"largest grid that copies", 4095, 1, [&](std::int64_t) { return std::trunc(noise(random)); }},
        // Left to the copy: not-a-number and both zeros.
        {"a not-a-number", 64, 64, [](std::int64_t i) { return i == 77 ? kNaN : static_cast<double>(i % 13); }},
        {"a third not-a-numbers of both signs", 64, 65, [](std::int64_t i) {
             return i % 3 != 0 ? static_cast<double>((i * 7) % 31) : (i % 2 == 0 ? kNaN : -kNaN);
         }},
        {"+0 and -0", 64, 64, [](std::int64_t i) { return i % 3 == 0 ? 0.0 : (i % 3 == 1 ? -0.0 : 1.0); }},
        // Here Wirth's steps leave -0 in the middle, where -0 sorted below +0 would give +0.
        {"-0 and +0, the sign decided by Wirth's steps", 64, 64, [](std::int64_t i) { return i % 3 == 0 ? -0.0 : (i % 3 == 1 ? 0.0 : 1.0); }},
        {"small grid", 3, 5, [](std::int64_t i) { return static_cast<double>((i * 5) % 7); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImageGrid grid;
        grid.resize(c.width, c.height);
        for (std::int64_t i = 0; i < grid.pixelCount(); ++i) {
            grid.data()[i] = c.value(i);
        }
        const std::vector<double> before(grid.data(), grid.data() + grid.pixelCount());
        const double expected = plainImageMedian(grid);
        const double median = ImageMedian(grid);
        EXPECT_EQ(bitsOf(median), bitsOf(expected)) << median << " instead of " << expected;
        if (std::none_of(before.begin(), before.end(), [](double v) { return std::isnan(v); })) {
            EXPECT_EQ(median, referenceMedian(before));
        }
        EXPECT_TRUE(std::equal(before.begin(), before.end(), grid.data(), [](double a, double b) { return bitsOf(a) == bitsOf(b); }))
            << "pixels changed";
    }
}

TEST(ImageMedian, ZeroOfTheMedianKeepsItsSign)
{
    // With one kind of zero the median's bits are fixed whatever the algorithm: a large
    // grid whose median is -0 must not come back as +0 (the keys of -0 and +0 differ).
    for (const double zero : {-0.0, 0.0}) {
        SCOPED_TRACE(std::signbit(zero) ? "-0" : "+0");
        ImageGrid grid;
        grid.resize(99, 101);
        for (std::int64_t i = 0; i < grid.pixelCount(); ++i) {
            grid.data()[i] = i % 3 == 0 ? -5.0 : (i % 3 == 1 ? zero : 5.0);
        }
        const double median = ImageMedian(grid);
        EXPECT_EQ(median, 0.0);
        EXPECT_EQ(std::signbit(median), std::signbit(zero));
    }
}

TEST(ImageMedian, NotANumberInALargeGridGivesTheCopysAnswer)
{
    // NaN anywhere, also as the very first or last pixel, sends the median to Wirth's
    // selection on the copy; the grid stays as it was.
    const std::int64_t places[] = {0, 2048, 4095};
    for (const std::int64_t at : places) {
        SCOPED_TRACE(at);
        ImageGrid grid;
        grid.resize(64, 64);
        for (std::int64_t i = 0; i < grid.pixelCount(); ++i) {
            grid.data()[i] = static_cast<double>((i * 37) % 101);
        }
        grid.data()[at] = kNaN;
        const double expected = plainImageMedian(grid);
        EXPECT_EQ(bitsOf(ImageMedian(grid)), bitsOf(expected));
        EXPECT_TRUE(std::isnan(grid.data()[at]));
    }
}

TEST(MedianOf, OddEvenAndEqualValues)
{
    struct Case {
        std::vector<double> values;
        double median;
    };
    const Case cases[] = {
        {{4.0}, 4.0},
        {{1.0, 3.0}, 2.0},
        {{3.0, 1.0}, 2.0},
        {{100.0, 3.0, 1.0, 2.0}, 2.5},
        {{5.0, 5.0, 5.0}, 5.0},
        {{5.0, 5.0, 5.0, 5.0}, 5.0},
        {{2.0, 2.0, 1.0, 1.0}, 1.5},
        {{-kInf, kInf, 0.0}, 0.0},
        {{-kInf, 1.0, kInf, 2.0}, 1.5},
        {{1e308, 1.7e308}, (1.7e308 + 1e308) * 0.5}, // overflows to infinity, as the rule has it
        {{9.0, 8.0, 7.0, 6.0, 5.0, 4.0, 3.0, 2.0, 1.0}, 5.0},
        {{1.0, 2.0, 3.0, 4.0, 5.0, 6.0}, 3.5},
    };
    for (const Case& c : cases) {
        std::vector<double> a = c.values;
        EXPECT_EQ(medianOf(a.data(), static_cast<std::int64_t>(a.size())), c.median);
        // Reordered, never altered: still the same values.
        std::vector<double> sortedBefore = c.values;
        std::sort(sortedBefore.begin(), sortedBefore.end());
        std::sort(a.begin(), a.end());
        EXPECT_EQ(a, sortedBefore);
    }
    EXPECT_TRUE(std::isinf(medianOf(std::vector<double>{1e308, 1.7e308}.data(), 2)));
}

TEST(MedianOf, ReordersItsArray)
{
    std::vector<double> a = {9.0, 8.0, 7.0, 6.0, 5.0, 4.0, 3.0, 2.0, 1.0};
    const std::vector<double> before = a;
    EXPECT_EQ(medianOf(a.data(), 9), 5.0);
    EXPECT_NE(a, before);
    // The middle value stands where it would stand sorted, with nothing larger before it.
    EXPECT_EQ(a[4], 5.0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_LE(a[static_cast<std::size_t>(i)], 5.0);
        EXPECT_GE(a[static_cast<std::size_t>(8 - i)], 5.0);
    }
}

TEST(MedianOf, SignedZerosGiveTheBitsOfWirthsSelection)
{
    // -0 == +0, so which one a selection returns depends on the algorithm; these follow
    // Wirth's partition step by step.
    std::vector<double> a = {0.0, -0.0, 1.0};
    EXPECT_FALSE(std::signbit(medianOf(a.data(), 3)));
    a = {-0.0, 0.0, 1.0};
    EXPECT_TRUE(std::signbit(medianOf(a.data(), 3)));
    a = {-0.0, 0.0, 1.0};
    EXPECT_TRUE(std::signbit(selectKth(a.data(), 3, 1)));
    // Only one kind of zero: any exact selection gives these bits.
    a = {-0.0, -0.0, 1.0, -0.0, 2.0};
    EXPECT_TRUE(std::signbit(medianOf(a.data(), 5)));
}

TEST(MedianOf, NotANumberNeverCrashesOrLosesValues)
{
    std::mt19937_64 random(99);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> nanChance(0, 4);
    for (int n = 1; n <= 64; ++n) {
        for (int round = 0; round < 20; ++round) {
            std::vector<double> a(static_cast<std::size_t>(n));
            for (double& v : a) {
                v = nanChance(random) == 0 ? kNaN : std::round(unit(random) * 4.0);
            }
            std::vector<double> copy = a;
            const double m = medianOf(copy.data(), n);
            // The result is NaN, one of the values, or the mean of two of them.
            EXPECT_TRUE(std::isnan(m) || (m >= -4.0 && m <= 4.0));
            // The array still holds the same values (NaN counted apart).
            const auto nanCount = [](const std::vector<double>& v) {
                return std::count_if(v.begin(), v.end(), [](double x) { return std::isnan(x); });
            };
            EXPECT_EQ(nanCount(copy), nanCount(a));
            std::erase_if(a, [](double x) { return std::isnan(x); });
            std::erase_if(copy, [](double x) { return std::isnan(x); });
            std::sort(a.begin(), a.end());
            std::sort(copy.begin(), copy.end());
            EXPECT_EQ(copy, a);
            // Every index can be selected.
            for (int k = 0; k < n; ++k) {
                std::vector<double> b = copy;
                b.resize(static_cast<std::size_t>(n), kNaN);
                (void)selectKth(b.data(), n, k);
            }
        }
    }
    std::vector<double> allNaN(7, kNaN);
    EXPECT_TRUE(std::isnan(medianOf(allNaN.data(), 7)));
    std::vector<double> nanPivot = {3.0, 1.0, kNaN, 2.0, 0.0};
    (void)medianOf(nanPivot.data(), 5);
}

TEST(SelectKth, EveryIndexMatchesTheSortedArray)
{
    std::mt19937_64 random(4);
    std::uniform_int_distribution<int> fewValues(0, 5);
    std::uniform_real_distribution<double> manyValues(-1e6, 1e6);
    for (int n = 1; n <= 40; ++n) {
        for (int round = 0; round < 15; ++round) {
            std::vector<double> a(static_cast<std::size_t>(n));
            // Few distinct values, many distinct values, and both kinds of zero (which
            // sends the selection down Wirth's literal path).
            for (double& v : a) {
                switch (round % 3) {
                case 0: v = fewValues(random); break;
                case 1: v = manyValues(random); break;
                default: v = (fewValues(random) - 2) * (fewValues(random) % 2 == 0 ? 1.0 : -1.0); break;
                }
            }
            std::vector<double> sorted = a;
            std::sort(sorted.begin(), sorted.end());
            for (int k = 0; k < n; ++k) {
                std::vector<double> b = a;
                ASSERT_EQ(selectKth(b.data(), n, k), sorted[static_cast<std::size_t>(k)]) << n << " " << k;
            }
        }
    }
    // Equal values: the partition must still terminate.
    std::vector<double> same(1001, 5.0);
    EXPECT_EQ(selectKth(same.data(), 1001, 500), 5.0);
    EXPECT_EQ(selectKth(same.data(), 1001, 0), 5.0);
    EXPECT_EQ(selectKth(same.data(), 1001, 1000), 5.0);
}

TEST(SelectKth, IndexOutsideTheArrayGivesNotANumber)
{
    std::vector<double> a = {3.0, 1.0, 2.0};
    const std::vector<double> before = a;
    EXPECT_TRUE(std::isnan(selectKth(a.data(), 3, 3)));
    EXPECT_TRUE(std::isnan(selectKth(a.data(), 3, -1)));
    EXPECT_TRUE(std::isnan(selectKth(a.data(), 0, 0)));
    EXPECT_TRUE(std::isnan(selectKth(nullptr, 0, 0)));
    EXPECT_TRUE(std::isnan(medianOf(a.data(), 0)));
    EXPECT_EQ(a, before);
    EXPECT_EQ(selectKth(a.data(), 1, 0), 3.0);
}

TEST(SelectKth, LargeArrayWithAndWithoutNotANumber)
{
    std::mt19937_64 random(8);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> a(200001);
    for (double& v : a) {
        v = unit(random);
    }
    std::vector<double> sorted = a;
    std::sort(sorted.begin(), sorted.end());
    std::vector<double> b = a;
    EXPECT_EQ(selectKth(b.data(), 200001, 12345), sorted[12345]);
    b = a;
    EXPECT_EQ(medianOf(b.data(), 200001), sorted[100000]);
    b = a;
    EXPECT_EQ(medianOf(b.data(), 200000), referenceMedian(std::vector<double>(a.begin(), a.begin() + 200000)));

    // The same data with a NaN planted: the literal selection runs, within bounds.
    b = a;
    b[777] = kNaN;
    const double m = medianOf(b.data(), 200001);
    EXPECT_TRUE(std::isnan(m) || (m >= 0.0 && m <= 1.0));
}

} // namespace
} // namespace skyvane
