#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "display/DisplayBitmap.h"
#include "display/TransferFunction.h"
#include "image/ImageGrid.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

// g' = trunc(255 x F(p / 255)) written out the long way, p limited to 0..255 first
// (not-a-number as 0); the linear function is the plain truncation of p.
int ReferenceLevel(const TransferFunction& f, double p)
{
    if (std::isnan(p) || p <= 0.0)
        p = 0.0;
    if (p >= 255.0)
        p = 255.0;
    if (f.kind == TransferKind::Linear)
        return static_cast<int>(std::trunc(p));
    const double t = p / 255.0;
    double value = 0.0;
    if (f.kind == TransferKind::Logarithm)
        value = std::log10(1.0 + 1000.0 * t) / std::log10(1001.0);
    else
        value = std::pow(t, 1.0 / f.gamma);
    const double g = std::trunc(255.0 * value);
    return g >= 255.0 ? 255 : (g <= 0.0 ? 0 : static_cast<int>(g));
}

// The grey level of value v through thresholds and transfer function, by the rule.
int ReferenceGrey(int lo, int hi, const TransferFunction& f, double v)
{
    const bool inverted = hi < lo;
    const double base = inverted ? hi : lo;
    const double factor = inverted ? 255.0 / (lo - hi) : 255.0 / (hi - lo);
    const double product = (v - base) * factor;
    const int g = ReferenceLevel(f, std::isnan(product) ? 0.0 : product);
    return inverted ? 255 - g : g;
}

std::string Name(const TransferFunction& f)
{
    switch (f.kind) {
    case TransferKind::Linear: return "linear";
    case TransferKind::Logarithm: return "logarithm";
    case TransferKind::Gamma: return "gamma " + std::to_string(f.gamma);
    }
    return "?";
}

std::vector<TransferFunction> Functions()
{
    std::vector<TransferFunction> functions = {TransferFunction::Linear(), TransferFunction::Logarithm()};
    for (const double gamma : {0.1, 0.25, 0.5, 0.73, 1.0, 1.5, 2.2, 3.0, 4.7, 7.77, 10.0})
        functions.push_back(TransferFunction::Gamma(gamma));
    return functions;
}

TEST(TransferFunction, EdgesOfEveryFunction)
{
    for (const TransferFunction& f : Functions()) {
        SCOPED_TRACE(Name(f));
        EXPECT_EQ(f.level(0.0), 0);
        EXPECT_EQ(f.level(-0.0), 0);
        EXPECT_EQ(f.level(255.0), 255);
        EXPECT_EQ(f.level(NaN), 0) << "not-a-number gives g' = 0";
        EXPECT_EQ(f.level(-1e300), 0);
        EXPECT_EQ(f.level(1e300), 255);
        EXPECT_EQ(f.level(Inf), 255);
        EXPECT_EQ(f.level(-Inf), 0);
    }
    // Values worked out by hand: log10(1 + 1000 x 0.5) / log10(1001) = 0.89977..., x 255 = 229.44;
    // 0.5^(1/2.2) = 0.72974..., x 255 = 186.08; 0.5^(1/0.5) = 0.25, x 255 = 63.75.
    EXPECT_EQ(TransferFunction::Logarithm().level(127.5), 229);
    EXPECT_EQ(TransferFunction::Gamma(2.2).level(127.5), 186);
    EXPECT_EQ(TransferFunction::Gamma(0.5).level(127.5), 63);
    EXPECT_EQ(TransferFunction::Linear().level(127.5), 127);
    EXPECT_EQ(TransferFunction::Linear().level(254.99999999999997), 254) << "no round trip through p / 255";
}

TEST(TransferFunction, GammaRange)
{
    EXPECT_TRUE(GammaAccepted(0.1));
    EXPECT_TRUE(GammaAccepted(10.0));
    EXPECT_TRUE(GammaAccepted(GammaDefault));
    EXPECT_FALSE(GammaAccepted(std::nextafter(0.1, 0.0)));
    EXPECT_FALSE(GammaAccepted(std::nextafter(10.0, 11.0)));
    EXPECT_FALSE(GammaAccepted(0.0));
    EXPECT_FALSE(GammaAccepted(-2.2));
    EXPECT_FALSE(GammaAccepted(NaN));
    EXPECT_EQ(TransferFunction::Gamma(50.0).gamma, 10.0);
    EXPECT_EQ(TransferFunction::Gamma(0.0).gamma, 0.1);
    EXPECT_EQ(TransferFunction::Gamma(NaN).gamma, 2.2);
    EXPECT_TRUE(TransferFunction::Gamma(2.2) == TransferFunction::Gamma(2.2));
    EXPECT_FALSE(TransferFunction::Gamma(2.2) == TransferFunction::Gamma(2.3));
    EXPECT_FALSE(TransferFunction::Gamma(1.0) == TransferFunction::Linear());
    EXPECT_TRUE(TransferFunction::Logarithm() == TransferFunction::Logarithm());
}

// The table against the formula at every place where either can change its answer: each
// breakpoint and the doubles just around it (where the formula steps, pinned from both
// sides), each cell's start and the double below it (where the table's stored level
// changes), and the ends of the range; then a dense spread of products in between.
TEST(TransferTable, EveryBreakpointAndCellEdgeAgreesWithTheFormula)
{
    for (const TransferFunction& f : Functions()) {
        SCOPED_TRACE(Name(f));
        const TransferTable table(f);
        EXPECT_EQ(table.breakpoint(256), Inf);
        std::vector<double> probes = {0.0, 255.0, std::nextafter(255.0, 0.0), std::numeric_limits<double>::denorm_min(),
                                      std::numeric_limits<double>::min(), 1e-300};
        for (int k = 1; k <= 255; ++k) {
            const double b = table.breakpoint(k);
            ASSERT_GT(b, 0.0);
            ASSERT_LE(b, 255.0);
            ASSERT_GE(b, table.breakpoint(k - 1)) << "breakpoints never decrease";
            // The breakpoint is the first double at which the formula reaches level k.
            ASSERT_GE(ReferenceLevel(f, b), k) << "breakpoint " << k << " = " << b;
            ASSERT_LT(ReferenceLevel(f, std::nextafter(b, 0.0)), k) << "breakpoint " << k << " is not the first";
            double below = b;
            double above = b;
            for (int u = 0; u < 4; ++u) {
                probes.push_back(below);
                probes.push_back(above);
                below = std::nextafter(below, 0.0);
                above = std::nextafter(above, 256.0);
            }
        }
        if (!table.isLinear()) {
            EXPECT_TRUE(table.hasCells()) << "levels from the cells, not evaluated directly";
            EXPECT_LE(table.cellCount(), std::size_t{1} << 14);
            for (std::size_t c = 0; c <= table.cellCount(); ++c) {
                const std::uint64_t bits = (table.firstCell() + c) << table.cellShift();
                double start = 0.0;
                std::memcpy(&start, &bits, sizeof start);
                if (start > 255.0)
                    break;
                probes.push_back(start);
                probes.push_back(std::nextafter(start, 0.0));
            }
        }
        for (const double p : probes)
            ASSERT_EQ(table.level(p), ReferenceLevel(f, p)) << "p = " << p;
        for (const double p : probes)
            ASSERT_EQ(f.level(p), ReferenceLevel(f, p)) << "direct evaluation, p = " << p;

        // And a spread of ordinary products, evenly and toward 0.
        std::mt19937_64 random(99);
        std::uniform_real_distribution<double> even(0.0, 255.0);
        std::uniform_real_distribution<double> exponent(-80.0, 8.0);
        for (int i = 0; i < 200000; ++i) {
            const double p = i % 2 == 0 ? even(random) : std::min(255.0, std::exp2(exponent(random)));
            ASSERT_EQ(table.level(p), ReferenceLevel(f, p)) << "p = " << p;
        }
    }
}

TEST(TransferTable, EveryAcceptedGammaNeedsOneComparison)
{
    for (double gamma = 0.1; gamma <= 10.0; gamma += 0.1) {
        const TransferTable table(TransferFunction::Gamma(gamma));
        EXPECT_TRUE(table.hasCells()) << "gamma " << gamma;
        EXPECT_LE(table.cellCount(), std::size_t{1} << 14) << "gamma " << gamma;
    }
}

template <typename F>
void Fill(ImageGrid& grid, int width, int height, F f)
{
    grid.resize(width, height);
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y)
            grid[x][y] = f(x, y);
}

// Every pixel of both kernels by the rule, for pictures around the tile and vector edges.
TEST(RenderGrey, TransferFunctionsFollowTheRuleInEveryKernel)
{
    const int sizes[][2] = {{1, 1}, {17, 15}, {64, 64}, {65, 129}, {700, 400}};
    const int thresholdPairs[][2] = {{1000, 3000}, {3000, 1000}, {0, 25}, {700, 700}};
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> value(-500.0, 4000.0);
    for (const auto& size : sizes) {
        ImageGrid image;
        Fill(image, size[0], size[1], [&](int x, int y) {
            switch ((x * 7 + y * 13) % 19) {
            case 0: return NaN;
            case 1: return Inf;
            case 2: return -Inf;
            case 3: return 1e300;
            case 4: return 1000.0 + (x % 5) * 1e-9;
            default: return value(random);
            }
        });
        const int width = size[0];
        const int height = size[1];
        const std::size_t stride = static_cast<std::size_t>(DisplayBitmap::Stride(width));
        for (const TransferFunction& f : {TransferFunction::Logarithm(), TransferFunction::Gamma(2.2), TransferFunction::Gamma(0.1),
                                          TransferFunction::Gamma(10.0)}) {
            const TransferTable table(f);
            for (const auto& t : thresholdPairs) {
                for (RenderKernel kernel : {RenderKernel::Best, RenderKernel::Portable}) {
                    std::vector<std::uint8_t> rows(stride * static_cast<std::size_t>(height), 0xAA);
                    RenderGrey(image, t[0], t[1], table, rows.data(), kernel);
                    for (int y = 0; y < height; ++y)
                        for (int x = 0; x < width; ++x) {
                            const std::uint8_t* pixel = rows.data() + static_cast<std::size_t>(y) * stride + 3 * static_cast<std::size_t>(x);
                            const int g = ReferenceGrey(t[0], t[1], f, image[x][y]);
                            ASSERT_TRUE(pixel[0] == g && pixel[1] == g && pixel[2] == g)
                                << Name(f) << (kernel == RenderKernel::Best ? " best" : " portable") << ", lo " << t[0] << " hi "
                                << t[1] << ", pixel " << x << ", " << y << " = " << image[x][y] << ": " << int(pixel[0]) << " not " << g;
                        }
                    for (int y = 0; y < height; ++y)
                        for (std::size_t i = 3 * static_cast<std::size_t>(width); i < stride; ++i)
                            ASSERT_EQ(rows[static_cast<std::size_t>(y) * stride + i], 0) << "padding";
                }
            }
        }
    }
}

TEST(Display, TransferFunctionIsKeptForEveryLaterComputation)
{
    test::FixedThresholds thresholds(0, 255);
    test::RecordingDisplaySink sink;
    Display display(thresholds, sink);
    ImageGrid image;
    Fill(image, 130, 70, [](int x, int y) { return (x * 3 + y) % 300 - 20.0; });
    display.buildDisplay(image);
    const std::vector<std::uint8_t> linear = display.bitmap().rows;
    EXPECT_TRUE(display.transferFunction() == TransferFunction::Linear()) << "linear at first";

    display.setTransferFunction(TransferFunction::Gamma(2.2));
    EXPECT_EQ(display.bitmap().rows, linear) << "setting the function recomputes nothing";
    display.refreshDisplay(image);
    const std::size_t stride = static_cast<std::size_t>(DisplayBitmap::Stride(130));
    for (int x = 0; x < 130; ++x)
        for (int y = 0; y < 70; ++y)
            ASSERT_EQ(display.bitmap().rows[static_cast<std::size_t>(y) * stride + 3 * static_cast<std::size_t>(x)],
                      ReferenceGrey(0, 255, TransferFunction::Gamma(2.2), image[x][y]));

    thresholds.low = 255;
    thresholds.high = 0;
    display.buildDisplay(image);
    ASSERT_EQ(image[50][10], 140.0);
    EXPECT_EQ(display.bitmap().rows[10 * stride + 150], 255 - TransferFunction::Gamma(2.2).level(140.0)) << "inverted: 255 - g'";
    EXPECT_EQ(display.bitmap().rows[0], 255) << "inverted, below both thresholds: 255 - 0";

    // Back to linear: the plain mapping's bytes exactly.
    display.setTransferFunction(TransferFunction::Linear());
    thresholds.low = 0;
    thresholds.high = 255;
    display.refreshDisplay(image);
    EXPECT_EQ(display.bitmap().rows, linear);
}

} // namespace
} // namespace skyvane
