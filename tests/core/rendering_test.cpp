#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "display/DisplayBitmap.h"
#include "image/ImageGrid.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

// The grey level written out the long way round: factor first, product, truncation toward
// zero, then the limits, then 255 - g for inverted thresholds.
int ReferenceGrey(int lo, int hi, double v)
{
    const bool inverted = hi < lo;
    const double base = inverted ? hi : lo;
    const double factor = inverted ? 255.0 / (lo - hi) : 255.0 / (hi - lo);
    const double product = (v - base) * factor;
    int g = 0;
    if (std::isnan(product))
        g = 0;
    else {
        const double t = std::trunc(product);
        g = t >= 255.0 ? 255 : (t <= 0.0 ? 0 : static_cast<int>(t));
    }
    return inverted ? 255 - g : g;
}

// A grid whose pixel (x, y) is f(x, y).
template <typename F>
void Fill(ImageGrid& grid, int width, int height, F f)
{
    grid.resize(width, height);
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y)
            grid[x][y] = f(x, y);
}

std::uint32_t Field32(const std::vector<std::uint8_t>& bytes, std::size_t offset)
{
    return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 16 | static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

struct GreyCase {
    int lo;
    int hi;
    double v;
    int grey;
    const char* why;
};

TEST(GreyMapping, LevelsAtAndAroundTheThresholds)
{
    const GreyCase cases[] = {
        {0, 255, 100.7, 100, "fraction truncated"},
        {0, 255, 255.0, 255, "upper threshold with an exact factor"},
        {0, 255, 1000.0, 255, "above the upper threshold"},
        {0, 255, -3.0, 0, "negative value"},
        {0, 255, -0.5, 0, "negative product truncates to 0"},
        {0, 255, 0.999, 0, "below one level"},
        {0, 255, 1.0, 1, "exactly one level"},
        {0, 255, 254.999, 254, "just below white"},
        {1000, 3000, 2000.0, 127, "1000 x 0.1275 = 127.5, truncated"},
        {1000, 3000, 1000.0, 0, "lower threshold is black"},
        {1000, 3000, 999.0, 0, "below the lower threshold"},
        {3000, 1000, 2000.0, 128, "inverted: 255 - 127"},
        {3000, 1000, 3000.0, 0, "inverted: lower threshold is black"},
        {3000, 1000, 5000.0, 0, "inverted: above is black"},
        {3000, 1000, 1000.0, 255, "inverted: second threshold is white"},
        {3000, 1000, 0.0, 255, "inverted: below is white"},
        {0, 25, 25.0, 254, "25 x 10.2 = 254.99999999999997"},
        {0, 25, 26.0, 255, "one above the threshold"},
        {25, 0, 25.0, 1, "inverted threshold one level short"},
        {0, 2000, 2000.0, 255, "exact at 2000"},
        {500, 500, 500.0, 0, "equal thresholds: the threshold itself is black"},
        {500, 500, 499.0, 0, "equal thresholds: below is black"},
        {500, 500, 500.5, 255, "equal thresholds: above is white"},
        {500, 500, 1e300, 255, "equal thresholds: huge"},
        {0, 1, 1e308, 255, "product overflows to infinity"},
        {0, 1, -1e308, 0, "product overflows to minus infinity"},
        {0, 32767, 1e20, 255, "far beyond the int range"},
        {0, 32767, -1e20, 0, "far below the int range"},
        {0, 255, Inf, 255, "infinity"},
        {0, 255, -Inf, 0, "minus infinity"},
        {3000, 1000, Inf, 0, "inverted infinity"},
        {3000, 1000, -Inf, 255, "inverted minus infinity"},
        {0, 255, NaN, 0, "not-a-number gives g = 0"},
        {3000, 1000, NaN, 255, "inverted not-a-number: 255 - 0"},
        {32767, 32767, NaN, 0, "equal thresholds and not-a-number"},
    };
    for (const GreyCase& c : cases) {
        GreyMapping mapping(c.lo, c.hi);
        EXPECT_EQ(static_cast<int>(mapping(c.v)), c.grey) << c.why << ": lo " << c.lo << " hi " << c.hi << " v " << c.v;
        EXPECT_EQ(ReferenceGrey(c.lo, c.hi, c.v), c.grey) << "reference disagrees with the table: " << c.why;
    }
}

TEST(GreyMapping, AgreesWithTheRuleOverManyValuesAndThresholds)
{
    std::mt19937_64 random(12345);
    std::uniform_int_distribution<int> threshold(0, 32767);
    std::uniform_real_distribution<double> value(-2000.0, 35000.0);
    for (int t = 0; t < 200; ++t) {
        const int lo = threshold(random);
        const int hi = t % 10 == 0 ? lo : threshold(random);
        GreyMapping mapping(lo, hi);
        for (int i = 0; i < 500; ++i) {
            const double v = i % 3 == 0 ? std::floor(value(random)) : value(random);
            ASSERT_EQ(static_cast<int>(mapping(v)), ReferenceGrey(lo, hi, v)) << "lo " << lo << " hi " << hi << " v " << v;
        }
        // Every integer value near both thresholds, where the truncation decides.
        for (int d = -3; d <= 3; ++d) {
            ASSERT_EQ(static_cast<int>(mapping(lo + d)), ReferenceGrey(lo, hi, lo + d));
            ASSERT_EQ(static_cast<int>(mapping(hi + d)), ReferenceGrey(lo, hi, hi + d));
        }
    }
}

TEST(DisplayBitmap, ConstantHeaderFieldsAtConstruction)
{
    DisplayBitmap bitmap;
    const std::uint8_t expected[DisplayBitmap::HeaderBytes] = {
        'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,                    // file header
        40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0,     // size .. compression
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,       // image size .. colours
    };
    EXPECT_EQ(0, std::memcmp(bitmap.headers.data(), expected, sizeof expected));
    EXPECT_EQ(bitmap.width(), 0);
    EXPECT_EQ(bitmap.height(), 0);
    EXPECT_TRUE(bitmap.rows.empty());
}

TEST(DisplayBitmap, StrideRoundsThreeBytesPerPixelUpToFour)
{
    const int widths[][2] = {{0, 0}, {1, 4}, {2, 8}, {3, 12}, {4, 12}, {5, 16}, {7, 24}, {8, 24}, {4096, 12288}, {1001, 3004}};
    for (const auto& w : widths)
        EXPECT_EQ(DisplayBitmap::Stride(w[0]), w[1]) << "width " << w[0];
}

TEST(Display, BuildSetsTheSizeFieldsLittleEndian)
{
    struct SizeCase {
        int width;
        int height;
        std::uint32_t imageSize;
    } cases[] = {{3, 2, 24}, {4, 1, 12}, {1, 1, 4}, {300, 259, 900 * 259}, {5, 70000, 16 * 70000}};
    for (const SizeCase& c : cases) {
        test::FixedThresholds thresholds(0, 255);
        test::RecordingDisplaySink sink;
        Display display(thresholds, sink);
        ImageGrid image;
        Fill(image, c.width, c.height, [](int x, int y) { return x + y; });
        display.buildDisplay(image);
        const DisplayBitmap& bitmap = display.bitmap();
        const std::vector<std::uint8_t> headers(bitmap.headers.begin(), bitmap.headers.end());
        EXPECT_EQ(Field32(headers, 2), c.imageSize + 54) << c.width << " x " << c.height;
        EXPECT_EQ(Field32(headers, 18), static_cast<std::uint32_t>(c.width));
        EXPECT_EQ(Field32(headers, 22), static_cast<std::uint32_t>(c.height));
        EXPECT_EQ(Field32(headers, 34), c.imageSize);
        EXPECT_EQ(bitmap.rows.size(), c.imageSize);
        // The constant fields are untouched by the build.
        EXPECT_EQ(headers[0], 'B');
        EXPECT_EQ(headers[1], 'M');
        EXPECT_EQ(Field32(headers, 10), 54u);
        EXPECT_EQ(Field32(headers, 14), 40u);
        EXPECT_EQ(headers[26] | headers[27] << 8, 1);
        EXPECT_EQ(headers[28] | headers[29] << 8, 24);
        EXPECT_EQ(Field32(headers, 30), 0u);
    }
}

TEST(Display, RowZeroIsTheFirstImageRowAndTheBottomLine)
{
    // 3 x 2: pixel (x, y) = 10 * x + 100 * y + 1, thresholds 0..255 map values to themselves.
    test::FixedThresholds thresholds(0, 255);
    test::RecordingDisplaySink sink;
    Display display(thresholds, sink);
    ImageGrid image;
    Fill(image, 3, 2, [](int x, int y) { return 10.0 * x + 100.0 * y + 1.0; });
    display.buildDisplay(image);
    const std::vector<std::uint8_t> expected = {
        1, 1, 1, 11, 11, 11, 21, 21, 21, 0, 0, 0,           // row 0 = FITS first row, drawn at the bottom
        101, 101, 101, 111, 111, 111, 121, 121, 121, 0, 0, 0, // row 1
    };
    EXPECT_EQ(display.bitmap().rows, expected);
}

TEST(Display, FourPixelsWideNeedsNoPadding)
{
    test::FixedThresholds thresholds(0, 255);
    test::RecordingDisplaySink sink;
    Display display(thresholds, sink);
    ImageGrid image;
    Fill(image, 4, 1, [](int x, int) { return 50.0 * x; });
    display.buildDisplay(image);
    const std::vector<std::uint8_t> expected = {0, 0, 0, 50, 50, 50, 100, 100, 100, 150, 150, 150};
    EXPECT_EQ(display.bitmap().rows, expected);
}

// Counts how often the thresholds are read.
class CountingThresholds final : public ThresholdSource {
public:
    int LowThreshold() const override { ++lowReads; return low; }
    int HighThreshold() const override { ++highReads; return high; }
    int low = 0;
    int high = 255;
    mutable int lowReads = 0;
    mutable int highReads = 0;
};

TEST(Display, ThresholdsAreReadOncePerComputation)
{
    CountingThresholds thresholds;
    test::RecordingDisplaySink sink;
    Display display(thresholds, sink);
    ImageGrid image;
    Fill(image, 700, 500, [](int x, int y) { return x + y; }); // large enough for several threads
    display.buildDisplay(image);
    EXPECT_EQ(thresholds.lowReads, 1);
    EXPECT_EQ(thresholds.highReads, 1);
    display.refreshDisplay(image);
    EXPECT_EQ(thresholds.lowReads, 2);
    EXPECT_EQ(thresholds.highReads, 2);
}

TEST(Display, RefreshRecomputesInPlaceWithTheCurrentThresholds)
{
    test::FixedThresholds thresholds(0, 255);
    test::RecordingDisplaySink sink;
    Display display(thresholds, sink);
    ImageGrid image;
    Fill(image, 3, 2, [](int x, int y) { return 40.0 * x + 100.0 * y; });
    display.buildDisplay(image);
    const std::uint8_t* before = display.bitmap().rows.data();
    const std::vector<std::uint8_t> normal = display.bitmap().rows;

    thresholds.low = 255;
    thresholds.high = 0;
    display.refreshDisplay(image);
    EXPECT_EQ(display.bitmap().rows.data(), before) << "refresh must not reallocate";
    const std::size_t stride = 12;
    for (std::size_t y = 0; y < 2; ++y) {
        for (std::size_t i = 0; i < 9; ++i)
            EXPECT_EQ(display.bitmap().rows[y * stride + i], 255 - normal[y * stride + i]) << "negative picture";
        for (std::size_t i = 9; i < 12; ++i)
            EXPECT_EQ(display.bitmap().rows[y * stride + i], 0) << "padding stays zero";
    }
}

TEST(Display, DisplayedExactlyFromPaintToClear)
{
    test::FixedThresholds thresholds(0, 255);
    test::RecordingDisplaySink sink;
    Display display(thresholds, sink);
    ImageGrid image;
    Fill(image, 3, 2, [](int x, int) { return x; });

    EXPECT_FALSE(display.isImageDisplayed());
    display.paintDisplay(); // nothing built yet: no bitmap can be made
    EXPECT_FALSE(display.isImageDisplayed());
    EXPECT_EQ(sink.created, 0);

    display.buildDisplay(image);
    EXPECT_FALSE(display.isImageDisplayed());
    display.paintDisplay();
    EXPECT_TRUE(display.isImageDisplayed());
    EXPECT_EQ(sink.created, 1);

    display.refreshDisplay(image);
    display.repaintDisplay();
    EXPECT_TRUE(display.isImageDisplayed());
    EXPECT_EQ(sink.changed, 1);
    EXPECT_EQ(sink.created, 1);

    display.clearDisplay();
    EXPECT_FALSE(display.isImageDisplayed());
    EXPECT_EQ(sink.cleared, 1);
    EXPECT_TRUE(display.bitmap().rows.empty());
    EXPECT_EQ(display.bitmap().width(), 3) << "the header keeps the last built size";
    EXPECT_EQ(display.bitmap().height(), 2);

    display.repaintDisplay(); // no platform bitmap: nothing to draw
    EXPECT_EQ(sink.changed, 1);
    EXPECT_EQ(sink.created, 1);
    EXPECT_FALSE(display.isImageDisplayed());
}

TEST(Display, RefreshAfterClearOrWithAnotherSizeRebuildsInsteadOfOverrunning)
{
    test::FixedThresholds thresholds(0, 255);
    test::RecordingDisplaySink sink;
    Display display(thresholds, sink);
    ImageGrid small;
    Fill(small, 3, 2, [](int x, int) { return x; });
    display.buildDisplay(small);
    display.paintDisplay();

    // Image of another size while displayed: new rows of the new size, a new platform bitmap.
    ImageGrid large;
    Fill(large, 5, 4, [](int x, int y) { return x * 10 + y; });
    display.refreshDisplay(large);
    EXPECT_EQ(display.bitmap().width(), 5);
    EXPECT_EQ(display.bitmap().height(), 4);
    ASSERT_EQ(display.bitmap().rows.size(), 16u * 4u);
    EXPECT_EQ(display.bitmap().rows[3 * 16 + 3 * 4], 43);
    display.repaintDisplay();
    EXPECT_EQ(sink.created, 2);
    EXPECT_EQ(sink.changed, 0);

    // After clear the rows are gone; a refresh builds them again but displays nothing.
    display.clearDisplay();
    display.refreshDisplay(small);
    EXPECT_FALSE(display.isImageDisplayed());
    EXPECT_EQ(display.bitmap().rows.size(), 24u);
    EXPECT_EQ(display.bitmap().rows[12 + 6], 2);

    // An image emptied while displayed: nothing left to show.
    display.paintDisplay();
    ImageGrid empty;
    display.refreshDisplay(empty);
    display.repaintDisplay();
    EXPECT_FALSE(display.isImageDisplayed());
    EXPECT_EQ(sink.cleared, 2);
}

// Renders image with both kernels into rows prefilled with a non-zero byte and compares
// every byte with the rule: three equal bytes per pixel, padding zero.
void ExpectRenderedByTheRule(const ImageGrid& image, int lo, int hi)
{
    const int width = image.width();
    const int height = image.height();
    const std::size_t stride = static_cast<std::size_t>(DisplayBitmap::Stride(width));
    for (RenderKernel kernel : {RenderKernel::Best, RenderKernel::Portable}) {
        const char* name = kernel == RenderKernel::Best ? "best kernel" : "portable kernel";
        std::vector<std::uint8_t> rows(stride * static_cast<std::size_t>(height), 0xAA);
        RenderGrey(image, lo, hi, rows.data(), kernel);
        for (int y = 0; y < height; ++y) {
            const std::uint8_t* row = rows.data() + static_cast<std::size_t>(y) * stride;
            for (int x = 0; x < width; ++x) {
                const int g = ReferenceGrey(lo, hi, image[x][y]);
                ASSERT_EQ(row[3 * x], g) << name << ", " << width << " x " << height << ", lo " << lo << " hi " << hi
                                         << ", pixel " << x << ", " << y << " = " << image[x][y];
                ASSERT_EQ(row[3 * x + 1], g) << name;
                ASSERT_EQ(row[3 * x + 2], g) << name;
            }
            for (std::size_t i = 3 * static_cast<std::size_t>(width); i < stride; ++i)
                ASSERT_EQ(row[i], 0) << name << ", padding of row " << y;
        }
    }
}

TEST(RenderGrey, EveryTileAndEdgeFollowsTheRule)
{
    // Sizes around the tile edges and the threaded path; values include every special case.
    const int sizes[][2] = {{1, 1}, {3, 2}, {17, 15}, {63, 65}, {64, 64}, {65, 129}, {1001, 301}, {130, 2100}, {2048, 130}};
    const int thresholdPairs[][2] = {{0, 255}, {1000, 3000}, {3000, 1000}, {700, 700}, {0, 32767}};
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> value(-500.0, 4000.0);
    for (const auto& size : sizes) {
        ImageGrid image;
        Fill(image, size[0], size[1], [&](int x, int y) {
            switch ((x * 7 + y * 13) % 23) {
            case 0: return NaN;
            case 1: return Inf;
            case 2: return -Inf;
            case 3: return 1e300;
            case 4: return -1e300;
            default: return value(random);
            }
        });
        for (const auto& t : thresholdPairs)
            ExpectRenderedByTheRule(image, t[0], t[1]);
    }
}

TEST(RenderGrey, ValuesWhereTheTruncationDecides)
{
    // Values at, just beside and between the thresholds, laid out so that whole blocks of
    // 16 x 16 pixels go through the vector code as well as the edges.
    const int thresholdPairs[][2] = {{0, 25}, {25, 0}, {1000, 3000}, {3000, 1000}, {500, 500}, {0, 255}, {255, 0}, {0, 1}};
    for (const auto& t : thresholdPairs) {
        std::vector<double> values = {NaN, Inf, -Inf, 1e308, -1e308, -0.0, 0.0};
        for (const int threshold : {t[0], t[1]})
            for (const double d : {-2.0, -1.0, -0.5, -1e-9, 0.0, 1e-9, 0.5, 1.0, 2.0})
                values.push_back(threshold + d);
        for (int step = 0; step <= 40; ++step)
            values.push_back(std::min(t[0], t[1]) + step * std::abs(t[1] - t[0]) / 40.0);
        ImageGrid image;
        Fill(image, 70, 67, [&](int x, int y) { return values[static_cast<std::size_t>(x * 67 + y) % values.size()]; });
        ExpectRenderedByTheRule(image, t[0], t[1]);
    }
}

} // namespace
} // namespace skyvane
