#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
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
    p = std::isnan(p) || p <= 0.0 ? 0.0 : std::min(p, 255.0);
    if (f.kind == TransferKind::Linear)
        return static_cast<int>(std::trunc(p));
    const double t = p / 255.0;
    if (f.kind == TransferKind::Midtones) {
        // The function itself (checked against its formula below).
        const double value = t >= 1.0 ? 1.0 : MidtonesTransfer(f.midtones, t);
        return static_cast<int>(std::clamp(std::trunc(255.0 * value), 0.0, 255.0));
    }
    const double value = f.kind == TransferKind::Logarithm ? std::log10(1.0 + 1000.0 * t) / std::log10(1001.0) : std::pow(t, 1.0 / f.gamma);
    return static_cast<int>(std::clamp(std::trunc(255.0 * value), 0.0, 255.0));
}

// The grey level of value v through thresholds and transfer function: 255 - g' inverted.
int ReferenceGrey(double lo, double hi, const TransferFunction& f, double v)
{
    const bool inverted = hi < lo;
    const double product = (v - (inverted ? hi : lo)) * (inverted ? 255.0 / (lo - hi) : 255.0 / (hi - lo));
    const int g = ReferenceLevel(f, product);
    return inverted ? 255 - g : g;
}

std::vector<TransferFunction> Functions()
{
    std::vector<TransferFunction> functions = {TransferFunction::Linear(), TransferFunction::Logarithm()};
    for (const double gamma : {0.1, 0.25, 0.73, 1.0, 2.2, 4.7, 7.77, 10.0})
        functions.push_back(TransferFunction::Gamma(gamma));
    // The balances an automatic stretch gives, down to very faint skies.
    for (const double m : {MidtonesMinimum, 1e-6, 0.0028, 0.08, 0.5, 0.93})
        functions.push_back(TransferFunction::Midtones(m));
    return functions;
}

TEST(MidtonesTransfer, FollowsItsFormula)
{
    // (m - 1) x / ((2m - 1) x - m), by hand: m = 0.25, x = 0.5: -0.375 / -0.5 = 0.75;
    // m = 0.1, x = 0.2: -0.18 / -0.26 = 0.6923...; m = 0.8, x = 0.5: -0.1 / -0.5 = 0.2.
    EXPECT_DOUBLE_EQ(MidtonesTransfer(0.25, 0.5), 0.75);
    EXPECT_DOUBLE_EQ(MidtonesTransfer(0.1, 0.2), 0.18 / 0.26);
    EXPECT_DOUBLE_EQ(MidtonesTransfer(0.8, 0.5), 0.2);
    for (const double m : {0.001, 0.08, 0.3, 0.5, 0.77}) {
        SCOPED_TRACE(m);
        EXPECT_EQ(MidtonesTransfer(m, 0.0), 0.0);
        EXPECT_DOUBLE_EQ(MidtonesTransfer(m, 1.0), 1.0);
        EXPECT_DOUBLE_EQ(MidtonesTransfer(m, m), 0.5) << "the balance itself goes to half grey";
        double previous = 0.0;
        for (int i = 1; i < 100; ++i) {
            const double x = i / 100.0;
            const double y = MidtonesTransfer(m, x);
            EXPECT_DOUBLE_EQ(y, (m - 1.0) * x / ((2.0 * m - 1.0) * x - m)) << x;
            EXPECT_GT(y, previous) << x;
            previous = y;
            // The balance that takes x to y is MTF(y, x).
            EXPECT_NEAR(MidtonesTransfer(MidtonesTransfer(y, x), x), y, 1e-12) << x;
        }
    }
    for (int i = 0; i <= 10; ++i)
        EXPECT_DOUBLE_EQ(MidtonesTransfer(0.5, i / 10.0), i / 10.0) << "0.5 is the identity";

    // The transfer function keeps its balance within the accepted range.
    EXPECT_EQ(TransferFunction::Midtones(0.0).midtones, MidtonesMinimum);
    EXPECT_EQ(TransferFunction::Midtones(1.0).midtones, MidtonesMaximum);
    EXPECT_EQ(TransferFunction::Midtones(NaN).midtones, 0.5);
    EXPECT_FALSE(TransferFunction::Midtones(0.1) == TransferFunction::Midtones(0.2));
    EXPECT_FALSE(TransferFunction::Midtones(0.5) == TransferFunction::Linear());
    EXPECT_EQ(TransferFunction::Midtones(0.25).level(127.5), 191) << "255 x 0.75 = 191.25";
}

TEST(TransferFunction, EdgesAndRange)
{
    for (const TransferFunction& f : Functions()) {
        SCOPED_TRACE(static_cast<int>(f.kind) * 100 + f.gamma + f.midtones);
        for (const auto& [p, level] : {std::pair{0.0, 0}, {-0.0, 0}, {255.0, 255}, {NaN, 0}, {-1e300, 0}, {1e300, 255}, {Inf, 255}, {-Inf, 0}})
            EXPECT_EQ(f.level(p), level) << p;
    }
    // By hand: log10(501) / log10(1001) x 255 = 229.4; 0.5^(1/2.2) x 255 = 186.1; 0.25 x 255 = 63.75.
    EXPECT_EQ(TransferFunction::Logarithm().level(127.5), 229);
    EXPECT_EQ(TransferFunction::Gamma(2.2).level(127.5), 186);
    EXPECT_EQ(TransferFunction::Gamma(0.5).level(127.5), 63);
    EXPECT_EQ(TransferFunction::Linear().level(254.99999999999997), 254) << "no round trip through p / 255";

    EXPECT_TRUE(GammaAccepted(0.1) && GammaAccepted(10.0) && GammaAccepted(GammaDefault));
    for (const double refused : {std::nextafter(0.1, 0.0), std::nextafter(10.0, 11.0), 0.0, -2.2, NaN})
        EXPECT_FALSE(GammaAccepted(refused)) << refused;
    EXPECT_EQ(TransferFunction::Gamma(50.0).gamma, 10.0);
    EXPECT_EQ(TransferFunction::Gamma(0.0).gamma, 0.1);
    EXPECT_EQ(TransferFunction::Gamma(NaN).gamma, 2.2);
    EXPECT_FALSE(TransferFunction::Gamma(2.2) == TransferFunction::Gamma(2.3));
    EXPECT_FALSE(TransferFunction::Gamma(1.0) == TransferFunction::Linear());
    // Every accepted gamma gets cells (the fast path), never the direct evaluation.
    for (double gamma = 0.1; gamma <= 10.0; gamma += 0.1)
        EXPECT_TRUE(TransferTable(TransferFunction::Gamma(gamma)).hasCells()) << gamma;
}

// The table against the formula at every place where either can change its answer: each
// breakpoint and the doubles just around it (where the formula steps, pinned from both
// sides), each cell's start and the double below it (where the table's stored level
// changes), and the ends of the range; then a dense spread of products in between.
TEST(TransferTable, EveryBreakpointAndCellEdgeAgreesWithTheFormula)
{
    for (const TransferFunction& f : Functions()) {
        SCOPED_TRACE(static_cast<int>(f.kind) * 100 + f.gamma + f.midtones);
        const TransferTable table(f);
        std::vector<double> probes = {0.0, 255.0, std::nextafter(255.0, 0.0), std::numeric_limits<double>::denorm_min(), 1e-300};
        for (int k = 1; k <= 255; ++k) {
            const double b = table.breakpoint(k);
            ASSERT_TRUE(b > 0.0 && b <= 255.0 && b >= table.breakpoint(k - 1)) << k;
            ASSERT_GE(ReferenceLevel(f, b), k) << "breakpoint " << k << " = " << b;
            ASSERT_LT(ReferenceLevel(f, std::nextafter(b, 0.0)), k) << "breakpoint " << k << " is not the first";
            double below = b;
            double above = b;
            for (int u = 0; u < 4; ++u, below = std::nextafter(below, 0.0), above = std::nextafter(above, 256.0)) {
                probes.push_back(below);
                probes.push_back(above);
            }
        }
        if (!table.isLinear()) {
            ASSERT_TRUE(table.hasCells());
            EXPECT_LE(table.cellCount(), std::size_t{1} << 14);
            for (std::size_t c = 0; c < table.cellCount(); ++c) {
                const std::uint64_t bits = (table.firstCell() + c) << table.cellShift();
                double start = 0.0;
                std::memcpy(&start, &bits, sizeof start);
                probes.push_back(start);
                probes.push_back(std::nextafter(start, 0.0));
            }
        }
        std::mt19937_64 random(99);
        std::uniform_real_distribution<double> even(0.0, 255.0);
        std::uniform_real_distribution<double> exponent(-80.0, 8.0);
        for (int i = 0; i < 200000; ++i)
            probes.push_back(i % 2 == 0 ? even(random) : std::min(255.0, std::exp2(exponent(random))));
        for (const double p : probes) {
            ASSERT_EQ(table.level(p), ReferenceLevel(f, p)) << "p = " << p;
            ASSERT_EQ(f.level(p), ReferenceLevel(f, p)) << "direct, p = " << p;
        }
    }
}

// Every pixel of both kernels by the rule, around the tile and vector edges; with the
// thresholds 0 and 255 the product is the value itself, so the breakpoints and the doubles
// just below them go through the kernels exactly.
TEST(RenderGrey, TransferFunctionsFollowTheRuleInEveryKernel)
{
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> value(-500.0, 4000.0);
    const double specials[] = {NaN, Inf, -Inf, 1e300, 1000.0, 1000.0 + 1e-9};
    for (const TransferFunction& f : {TransferFunction::Logarithm(), TransferFunction::Gamma(2.2), TransferFunction::Gamma(0.1), TransferFunction::Gamma(10.0),
                                      TransferFunction::Midtones(0.0028)})
        for (const auto& [width, height] : {std::pair{1, 1}, {17, 15}, {65, 129}, {700, 400}}) {
            ImageGrid image;
            image.resize(width, height);
            const TransferTable table(f);
            for (std::int64_t i = 0; i < image.pixelCount(); ++i) {
                const double b = table.breakpoint(static_cast<int>(i / 2 % 255) + 1);
                image.data()[i] = i % 7 == 0 ? specials[i / 7 % 6] : (i % 3 == 0 ? value(random) : (i % 2 == 0 ? b : std::nextafter(b, 0.0)));
            }
            const std::size_t stride = static_cast<std::size_t>(DisplayBitmap::Stride(width));
            for (const auto& [lo, hi] : {std::pair{1000.0, 3000.0}, {3000.0, 1000.0}, {0.0, 255.0}, {255.0, 0.0}, {700.0, 700.0}, {-12.5, 3101.25}})
                for (RenderKernel kernel : {RenderKernel::Best, RenderKernel::Portable}) {
                    std::vector<std::uint8_t> rows(stride * static_cast<std::size_t>(height), 0xAA);
                    RenderGrey(image, lo, hi, table, rows.data(), kernel);
                    for (int y = 0; y < height; ++y) {
                        const std::uint8_t* row = rows.data() + static_cast<std::size_t>(y) * stride;
                        for (int x = 0; x < width; ++x) {
                            const int g = ReferenceGrey(lo, hi, f, image[x][y]);
                            ASSERT_TRUE(row[3 * x] == g && row[3 * x + 1] == g && row[3 * x + 2] == g)
                                << "gamma " << f.gamma << ", lo " << lo << " hi " << hi << ", pixel " << x << ", " << y << " = " << image[x][y];
                        }
                        for (std::size_t i = 3 * static_cast<std::size_t>(width); i < stride; ++i)
                            ASSERT_EQ(row[i], 0) << "padding";
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
    image.resize(130, 70);
    for (int x = 0; x < 130; ++x)
        for (int y = 0; y < 70; ++y)
            image[x][y] = (x * 3 + y) % 300 - 20.0;
    display.buildDisplay(image);
    const std::vector<std::uint8_t> linear = display.bitmap().rows;
    EXPECT_TRUE(display.transferFunction() == TransferFunction::Linear()) << "linear at first";

    display.setTransferFunction(TransferFunction::Gamma(2.2));
    EXPECT_EQ(display.bitmap().rows, linear) << "choosing a function recomputes nothing";
    thresholds.low = 255;
    thresholds.high = 0;
    display.refreshDisplay(image);
    const std::size_t stride = static_cast<std::size_t>(DisplayBitmap::Stride(130));
    ASSERT_EQ(image[50][10], 140.0);
    EXPECT_EQ(display.bitmap().rows[10 * stride + 150], 255 - ReferenceLevel(TransferFunction::Gamma(2.2), 140.0)) << "inverted: 255 - g'";

    // Back to linear: the plain mapping's bytes exactly.
    display.setTransferFunction(TransferFunction::Linear());
    thresholds.low = 0;
    thresholds.high = 255;
    display.buildDisplay(image);
    EXPECT_EQ(display.bitmap().rows, linear);
}

} // namespace
} // namespace skyvane
