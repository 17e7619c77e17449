#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "display/DisplayBitmap.h"
#include "display/DisplayValues.h"
#include "display/TransferFunction.h"
#include "image/ImageGrid.h"

namespace skyvane {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

ImageGrid Grid(int width, int height, const std::vector<double>& columnMajor)
{
    ImageGrid grid;
    grid.resize(width, height);
    std::copy(columnMajor.begin(), columnMajor.end(), grid.data());
    return grid;
}

// The median as the sorted middle (mean of the two middle values for an even count).
double SortedMedian(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) * 0.5;
}

TEST(ValueExtent, FiniteValuesOnlyWithTheOthersCounted)
{
    const ImageGrid grid = Grid(3, 3, {4.5, NaN, -2.0, Inf, 7.25, NaN, -Inf, 0.0, 3.0});
    const ValueExtent extent = FindValueExtent(grid);
    EXPECT_EQ(extent.min, -2.0);
    EXPECT_EQ(extent.max, 7.25);
    EXPECT_EQ(extent.finite, 5);
    EXPECT_EQ(extent.infinite, 2);
    EXPECT_EQ(extent.missing, 2);

    const ValueExtent none = FindValueExtent(Grid(2, 1, {NaN, NaN}));
    EXPECT_EQ(none.finite, 0);
    EXPECT_EQ(none.min, 0.0);
    EXPECT_EQ(none.max, 0.0);
    EXPECT_EQ(none.missing, 2);
    EXPECT_FALSE(std::signbit(FindValueExtent(Grid(2, 1, {-0.0, -0.0})).min)) << "a zero is +0";
}

TEST(ValueHistogram, CountsEveryValueInItsBin)
{
    // Range 0..10 in 5 bins of width 2: [0,2) [2,4) [4,6) [6,8) [8,10], infinities at the ends.
    const ImageGrid grid = Grid(4, 3, {0.0, 1.999, 2.0, 5.0, 9.999, 10.0, NaN, -Inf, Inf, 6.0, 7.5, 3.0});
    const ValueHistogram histogram = CountValues(grid, FindValueExtent(grid), 5);
    EXPECT_EQ(histogram.low, 0.0);
    EXPECT_EQ(histogram.high, 10.0);
    EXPECT_EQ(histogram.counts, (std::vector<std::int64_t>{3, 2, 1, 2, 3}));
    EXPECT_EQ(histogram.missing, 1);

    // One value only: everything in the first bin.
    const ImageGrid flat = Grid(2, 2, {5.0, 5.0, NaN, 5.0});
    EXPECT_EQ(CountValues(flat, FindValueExtent(flat), 3).counts, (std::vector<std::int64_t>{3, 0, 0}));
    // No finite value: no bins.
    const ImageGrid missing = Grid(1, 2, {NaN, NaN});
    EXPECT_TRUE(CountValues(missing, FindValueExtent(missing), 3).counts.empty());

    // A large image, counted by several threads, against a count by hand.
    ImageGrid large;
    large.resize(700, 600);
    std::mt19937_64 random(3);
    std::normal_distribution<double> sky(1000.0, 30.0);
    for (std::int64_t i = 0; i < large.pixelCount(); ++i)
        large.data()[i] = i % 997 == 0 ? NaN : sky(random);
    const ValueExtent extent = FindValueExtent(large);
    const ValueHistogram counted = CountValues(large, extent, 400);
    std::vector<std::int64_t> expected(400, 0);
    for (std::int64_t i = 0; i < large.pixelCount(); ++i) {
        const double v = large.data()[i];
        if (!std::isnan(v))
            ++expected[static_cast<std::size_t>(std::clamp((v - extent.min) * (400 / (extent.max - extent.min)), 0.0, 399.0))];
    }
    EXPECT_EQ(counted.counts, expected);
    EXPECT_EQ(counted.missing, (large.pixelCount() + 996) / 997);
}

TEST(SkyLevel, MedianAndDeviationOfThePresentValues)
{
    // Present: 1, 2, 4, 10, 100 -> median 4; deviations 3, 2, 0, 6, 96 -> MAD 3.
    const SkyLevel sky = MeasureSky(Grid(7, 1, {10.0, NaN, 1.0, 100.0, Inf, 2.0, 4.0}));
    EXPECT_EQ(sky.median, 4.0);
    EXPECT_EQ(sky.mad, 3.0);
    EXPECT_EQ(sky.samples, 5);
    EXPECT_EQ(MeasureSky(Grid(2, 1, {NaN, NaN})).samples, 0);

    // Beyond the sample size the figures come from an even sample: as good as exact for
    // the display.
    ImageGrid large;
    large.resize(1500, 1000);
    std::mt19937_64 random(11);
    std::normal_distribution<double> noise(250.0, 12.0);
    std::vector<double> values(static_cast<std::size_t>(large.pixelCount()));
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = large.data()[i] = noise(random);
    const double median = SortedMedian(values);
    for (double& v : values)
        v = std::fabs(v - median);
    const double mad = SortedMedian(values);
    const SkyLevel measured = MeasureSky(large);
    EXPECT_EQ(measured.samples, StretchSamplePixels);
    EXPECT_NEAR(measured.median, median, 0.03 * mad);
    EXPECT_NEAR(measured.mad, mad, 0.03 * mad);
}

TEST(DisplayStretch, NoBalanceWithoutTheMedianBetweenTheThresholds)
{
    EXPECT_EQ(StretchMidtones(5.0, 5.0, 5.0), 0.5) << "no span";
    EXPECT_EQ(StretchMidtones(5.0, 5.0, 9.0), 0.5) << "median on the low threshold";
    EXPECT_EQ(StretchMidtones(0.75, 0.5, 1.5), 0.5) << "median at a quarter already";
}

// A missing pixel shows as the grey of a value at the lower threshold, in the picture and
// in its negative, with and without the stretch's function.
TEST(RenderGrey, MissingPixelsTakeTheLowerThresholdsGrey)
{
    const ImageGrid image = Grid(3, 1, {NaN, 0.125, 0.5});
    const std::size_t stride = static_cast<std::size_t>(DisplayBitmap::Stride(3));
    for (const TransferFunction& f : {TransferFunction::Linear(), TransferFunction::Midtones(0.02)})
        for (const auto& [lo, hi] : {std::pair{0.125, 0.5}, {0.5, 0.125}}) {
            std::vector<std::uint8_t> rows(stride, 0xAA);
            RenderGrey(image, lo, hi, TransferTable(f), rows.data());
            // Pixel 1 stands at the lower threshold in both.
            EXPECT_EQ(rows[0], rows[3]) << "lo " << lo << " hi " << hi;
            EXPECT_EQ(rows[0], lo < hi ? 0 : 255);
        }
}

} // namespace
} // namespace skyvane
