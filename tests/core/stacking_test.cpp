#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "command/Interpreter.h"
#include "command/Messages.h"
#include "context/Settings.h"
#include "image/FitsReader.h"
#include "processing/Coaddition.h"
#include "processing/WeightedCoadd.h"
#include "support/SkyNight.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::SkyFrame;
using test::TempDir;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

bool SameBits(double a, double b)
{
    if (std::isnan(a) && std::isnan(b))
        return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// ---------------------------------------------------------------------------------------
// The one-pixel rules with weights.

double Weighted(CoaddMethod method, std::vector<double> v, std::vector<double> w, double kappa = 0.0, int iterations = 0)
{
    std::vector<double> scratch(4 * v.size());
    return WeightedPixel({method, kappa, iterations}, v.data(), w.data(), static_cast<int>(v.size()), scratch.data());
}

TEST(WeightedRules, KnownValues)
{
    // Median: with equal weights the ordinary median; a heavy frame pulls it.
    EXPECT_EQ(Weighted(CoaddMethod::Median, {4, 1, 3, 2}, {1, 1, 1, 1}), 2.5);
    EXPECT_EQ(Weighted(CoaddMethod::Median, {5, 1, 4}, {1, 1, 1}), 4.0);
    EXPECT_EQ(Weighted(CoaddMethod::Median, {1, 2, 3, 4}, {3, 1, 1, 1}), 1.5); // exactly half: between 1 and 2
    EXPECT_EQ(Weighted(CoaddMethod::Median, {1, 2, 3, 4}, {4, 1, 1, 1}), 1.0);
    EXPECT_EQ(Weighted(CoaddMethod::Median, {3, 3, 9}, {1, 1, 5}), 9.0);
    // Mean.
    EXPECT_EQ(Weighted(CoaddMethod::Mean, {1, 3}, {3, 1}), 1.5);
    // Min-max rejection: the first smallest and the first largest go.
    EXPECT_EQ(Weighted(CoaddMethod::MinMaxRejection, {1, 5, 9, 2}, {1, 2, 3, 4}), 3.0);
    EXPECT_EQ(Weighted(CoaddMethod::MinMaxRejection, {7, 7, 7}, {1, 2, 4}), 7.0);
    // Sigma clipping: the outlier further than kappa weighted spreads from the weighted mean.
    EXPECT_EQ(Weighted(CoaddMethod::SigmaClipping, {10, 10, 10, 10, 10, 100}, {1, 1, 1, 1, 1, 1}, 2.0, 1), 10.0);
    EXPECT_EQ(Weighted(CoaddMethod::SigmaClipping, {10, 12, 100}, {1, 3, 0.5}, 1.0, 1), 11.5);
    // Winsorised clipping keeps a far outlier from inflating the spread: with five values
    // and kappa 2, plain sigma clipping keeps 40 (its spread is 12), winsorised rejects it.
    EXPECT_EQ(Weighted(CoaddMethod::SigmaClipping, {10, 11, 9, 10, 40}, {1, 1, 1, 1, 1}, 2.0, 1), 16.0);
    EXPECT_EQ(Weighted(CoaddMethod::WinsorisedClipping, {10, 11, 9, 10, 40}, {1, 1, 1, 1, 1}, 2.0, 1), 10.0);
    // Values that are not finite are left out; none finite: NaN.
    for (CoaddMethod method : {CoaddMethod::Median, CoaddMethod::Mean, CoaddMethod::MinMaxRejection, CoaddMethod::SigmaClipping,
                               CoaddMethod::WinsorisedClipping}) {
        EXPECT_EQ(Weighted(method, {2, NaN, 2, Inf, 2}, {1, 1, 1, 1, 1}, 3.0, 2), 2.0) << static_cast<int>(method);
        EXPECT_TRUE(std::isnan(Weighted(method, {NaN, -Inf}, {1, 1}, 3.0, 2))) << static_cast<int>(method);
    }
}

// Winsorised sigma clipping as its rule reads, written out plainly, unweighted.
double PlainWinsorised(std::vector<double> values, double kappa, int iterations)
{
    std::vector<double> kept;
    for (double v : values)
        if (std::isfinite(v))
            kept.push_back(v);
    if (kept.empty())
        return NaN;
    const auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        const std::size_t m = v.size();
        return m % 2 == 1 ? v[m / 2] : (v[m / 2 - 1] + v[m / 2]) * 0.5;
    };
    const auto mean = [](const std::vector<double>& v) {
        double s = 0.0;
        for (double x : v)
            s += x;
        return s / static_cast<double>(v.size());
    };
    const auto spread = [&](const std::vector<double>& v) {
        const double m = mean(v);
        double s = 0.0;
        for (double x : v)
            s += (x - m) * (x - m);
        return std::sqrt(s / static_cast<double>(v.size()));
    };
    const double firstCentre = median(kept);
    for (int round = 0; round < iterations && !kept.empty(); ++round) {
        const double centre = median(kept);
        double sigma = spread(kept);
        if (!(sigma > 0.0))
            break;
        for (int settle = 0; settle < 50; ++settle) {
            std::vector<double> pulled;
            for (double x : kept)
                pulled.push_back(std::min(std::max(x, centre - 1.5 * sigma), centre + 1.5 * sigma));
            const double next = 1.134 * spread(pulled);
            const bool settled = std::fabs(next - sigma) <= 5e-4 * sigma;
            sigma = next;
            if (settled)
                break;
        }
        std::vector<double> still;
        for (double x : kept)
            if (std::fabs(x - centre) <= kappa * sigma)
                still.push_back(x);
        if (still.size() == kept.size())
            break;
        kept = still;
    }
    return kept.empty() ? firstCentre : mean(kept);
}

// Small cubes of normal values with outliers: the band combiner's winsorised clipping is the
// plain rule's (to rounding: the plain sums take another order).
TEST(WeightedRules, WinsorisedClippingAgainstAPlainReference)
{
    std::mt19937_64 rng(77);
    std::normal_distribution<double> normal(100.0, 5.0);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    for (const int n : {3, 4, 5, 8, 13}) {
        constexpr std::size_t Pixels = 500;
        std::vector<double> frames(static_cast<std::size_t>(n) * Pixels);
        for (double& v : frames) {
            v = normal(rng);
            if (chance(rng) < 0.08)
                v += chance(rng) < 0.5 ? 200.0 : -150.0;
        }
        for (const auto& [kappa, iterations] : std::vector<std::pair<double, int>>{{2.0, 1}, {2.5, 3}, {1.5, 5}}) {
            BandCombiner combiner({CoaddMethod::WinsorisedClipping, kappa, iterations}, n);
            std::vector<double> out(Pixels);
            combiner.combine(frames.data(), Pixels, Pixels, out.data());
            int far = 0;
            for (std::size_t p = 0; p < Pixels; ++p) {
                std::vector<double> pixel;
                for (int k = 0; k < n; ++k)
                    pixel.push_back(frames[static_cast<std::size_t>(k) * Pixels + p]);
                if (std::fabs(out[p] - PlainWinsorised(pixel, kappa, iterations)) > 1e-9)
                    ++far;
            }
            EXPECT_EQ(far, 0) << "n " << n << ", kappa " << kappa << ", " << iterations << " iterations";
        }
    }
}

// Band kernels with weights give the one-pixel rules bit for bit, pixels with missing or
// infinite values included, for frame counts on both sides of the median's chunk limit.
TEST(WeightedRules, BandKernelsMatchTheOnePixelRules)
{
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> value(-50.0, 150.0);
    std::uniform_real_distribution<double> weight(0.2, 3.0);
    std::uniform_int_distribution<int> special(0, 60);
    for (const int n : {3, 6, 20, 60}) {
        constexpr std::size_t Pixels = 300;
        constexpr std::size_t Stride = 307;
        std::vector<double> frames(static_cast<std::size_t>(n) * Stride);
        for (double& v : frames) {
            const int s = special(rng);
            v = s == 0 ? NaN : s == 1 ? Inf : s == 2 ? -Inf : s < 10 ? std::round(value(rng)) : value(rng);
        }
        std::vector<double> weights(static_cast<std::size_t>(n));
        for (double& w : weights)
            w = weight(rng);
        for (const CoaddParameters& parameters : std::vector<CoaddParameters>{{CoaddMethod::Median, 0, 0},
                                                                              {CoaddMethod::Mean, 0, 0},
                                                                              {CoaddMethod::MinMaxRejection, 0, 0},
                                                                              {CoaddMethod::SigmaClipping, 1.5, 3},
                                                                              {CoaddMethod::WinsorisedClipping, 2.0, 2}}) {
            BandCombiner combiner(parameters, n, weights);
            std::vector<double> out(Pixels);
            combiner.combine(frames.data(), Stride, Pixels, out.data());
            std::vector<double> scratch(4 * static_cast<std::size_t>(n));
            int mismatches = 0;
            for (std::size_t p = 0; p < Pixels; ++p) {
                std::vector<double> pixel;
                for (int k = 0; k < n; ++k)
                    pixel.push_back(frames[static_cast<std::size_t>(k) * Stride + p]);
                if (!SameBits(out[p], WeightedPixel(parameters, pixel.data(), weights.data(), n, scratch.data())))
                    ++mismatches;
            }
            EXPECT_EQ(mismatches, 0) << "n " << n << ", method " << static_cast<int>(parameters.method);
        }
    }
}

// The same for pixels of finite values only, which the kernels do across pixels rather than
// one by one: noise, an outlier now and then, pixels of one value (no spread), equal
// values; equal and unequal weights; winsorised clipping with no, one and several rounds.
TEST(WeightedRules, BandKernelsOfFiniteValuesMatchTheOnePixelRules)
{
    std::mt19937_64 rng(11);
    std::normal_distribution<double> noise(1000.0, 10.0);
    std::uniform_int_distribution<int> kind(0, 40);
    std::uniform_real_distribution<double> weight(0.2, 3.0);
    for (const int n : {3, 5, 20, 48}) {
        constexpr std::size_t Pixels = 519; // not a whole number of chunks, nor of vectors
        constexpr std::size_t Stride = 523;
        std::vector<double> frames(static_cast<std::size_t>(n) * Stride);
        for (std::size_t p = 0; p < Stride; ++p) {
            const int k = kind(rng);
            for (int f = 0; f < n; ++f) {
                double& v = frames[static_cast<std::size_t>(f) * Stride + p];
                v = k == 0 ? 700.0 : k == 1 ? std::round(noise(rng) / 10.0) * 10.0 : noise(rng);
                if (kind(rng) == 0)
                    v += 500.0; // an outlier
            }
        }
        for (const bool equal : {true, false}) {
            std::vector<double> weights(static_cast<std::size_t>(n), 1.0);
            if (!equal)
                for (double& w : weights)
                    w = weight(rng);
            for (const CoaddParameters& parameters : std::vector<CoaddParameters>{{CoaddMethod::Median, 0, 0},
                                                                                  {CoaddMethod::MinMaxRejection, 0, 0},
                                                                                  {CoaddMethod::SigmaClipping, 2.0, 2},
                                                                                  {CoaddMethod::WinsorisedClipping, 3.0, 0},
                                                                                  {CoaddMethod::WinsorisedClipping, 2.0, 1},
                                                                                  {CoaddMethod::WinsorisedClipping, 3.0, 3}}) {
                BandCombiner combiner(parameters, n, weights);
                std::vector<double> out(Pixels);
                combiner.combine(frames.data(), Stride, Pixels, out.data());
                std::vector<double> scratch(4 * static_cast<std::size_t>(n));
                int mismatches = 0;
                for (std::size_t p = 0; p < Pixels; ++p) {
                    std::vector<double> pixel;
                    for (int k = 0; k < n; ++k)
                        pixel.push_back(frames[static_cast<std::size_t>(k) * Stride + p]);
                    if (!SameBits(out[p], WeightedPixel(parameters, pixel.data(), weights.data(), n, scratch.data())))
                        ++mismatches;
                }
                EXPECT_EQ(mismatches, 0) << "n " << n << ", equal weights " << equal << ", method " << static_cast<int>(parameters.method)
                                         << ", rounds " << parameters.iterations;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// Normalisation and weights in a co-addition of files.

constexpr int Width = 192;
constexpr int Height = 160;

struct StackingTest : ::testing::Test {
    TempDir dir;
    test::TestContext tc;
    AppContext& context = tc.context;
    std::vector<test::SyntheticStar> stars = test::RoundStars(50, Width, Height, 16, 3);

    std::string Frame(const std::string& name, const SkyFrame& frame, const std::vector<std::string>& cards = {})
    {
        test::WriteSkyFrame(dir.file(name), Width, Height, stars, frame, cards);
        return dir.file(name);
    }

    CoaddResult Combine(const std::vector<std::string>& paths, CoaddParameters parameters, StackingChoice choice)
    {
        CoaddOptions options;
        options.parameters = parameters;
        options.choice = choice;
        CoaddMessages feedback(tc.messages);
        return CombineFrames(paths, options, feedback);
    }
};

// The median over a block of the grid: its sky, whatever star stands in it.
double BlockSky(const ImageGrid& grid, int x0, int y0, int size)
{
    std::vector<double> values;
    for (int x = x0; x < x0 + size; ++x)
        for (int y = y0; y < y0 + size; ++y)
            values.push_back(grid[x][y]);
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

// A frame of another sky level, gradient and transparency comes out like the reference:
// mean of the two, normalised, has the reference's sky where the plain mean has the average
// of both, and the other frame's stars count at the reference's brightness.
TEST_F(StackingTest, NormalisationMatchesLevelGradientAndScaleToTheReference)
{
    SkyFrame reference;
    reference.level = 1000.0;
    reference.gradientX = 0.1;
    reference.seed = 1;
    SkyFrame other;
    other.level = 1800.0;
    other.gradientX = -0.3;
    other.gradientY = 0.25;
    other.transparency = 0.5;
    other.seed = 2;
    const std::vector<std::string> paths = {Frame("a.fit", reference), Frame("b.fit", other)};

    const CoaddResult scaled = Combine(paths, {CoaddMethod::Mean, 0, 0}, {Normalisation::AdditiveScale, Weighting::None});
    ASSERT_EQ(scaled.status, CoaddStatus::Done);
    ASSERT_EQ(scaled.figures.size(), 2u);
    EXPECT_NEAR(scaled.figures[0].level, 1000.0, 10.0);
    EXPECT_NEAR(scaled.figures[1].level, 1800.0, 18.0);
    EXPECT_TRUE(scaled.figures[1].scaleKnown);
    EXPECT_NEAR(scaled.figures[1].scale, 0.5, 0.03);
    EXPECT_TRUE(tc.messages.texts.empty());

    const CoaddResult plain = Combine(paths, {CoaddMethod::Mean, 0, 0}, {});
    ASSERT_EQ(plain.status, CoaddStatus::Done);
    EXPECT_TRUE(plain.figures.empty());
    ImageGrid truth;
    SkyFrame quiet = reference;
    quiet.readNoise = 0.0;
    for (int corner = 0; corner < 4; ++corner) {
        const int x0 = corner % 2 == 0 ? 8 : Width - 40;
        const int y0 = corner / 2 == 0 ? 8 : Height - 40;
        double sky = 0.0;
        for (int x = x0; x < x0 + 32; ++x)
            for (int y = y0; y < y0 + 32; ++y)
                sky += test::SkyLevel(quiet, Width, Height, x, y) / (32 * 32);
        // Normalised: the reference's sky in every corner.
        EXPECT_NEAR(BlockSky(scaled.grid, x0, y0, 32), sky, 0.02 * sky) << corner;
        // Plain: the two skies averaged, far from it.
        EXPECT_GT(std::fabs(BlockSky(plain.grid, x0, y0, 32) - sky), 0.1 * sky) << corner;
    }
    // A bright star's light above the sky: the reference's in the normalised mean, three
    // quarters of it in the plain one.
    const test::SyntheticStar& bright = *std::max_element(stars.begin(), stars.end(), [](const auto& a, const auto& b) { return a.amplitude < b.amplitude; });
    const int bx = static_cast<int>(std::lround(bright.x));
    const int by = static_cast<int>(std::lround(bright.y));
    const double expected = bright.amplitude * std::exp(-((bx - bright.x) * (bx - bright.x) + (by - bright.y) * (by - bright.y)) / (2 * 1.5 * 1.5));
    ImageGrid referenceGrid;
    test::DrawSkyFrame(referenceGrid, Width, Height, {}, quiet);
    EXPECT_NEAR(scaled.grid[bx][by] - referenceGrid[bx][by], expected, 0.05 * expected);

    // Additive alone leaves the other frame's stars as they are; multiplicative scales its
    // sky (and its stars with it) to the reference's.
    const CoaddResult additive = Combine(paths, {CoaddMethod::Mean, 0, 0}, {Normalisation::Additive, Weighting::None});
    EXPECT_NEAR(additive.figures[1].scale, 1.0, 0.0);
    EXPECT_NEAR(BlockSky(additive.grid, 8, 8, 32), BlockSky(scaled.grid, 8, 8, 32), 0.02 * 1000.0);
    const CoaddResult multiplicative = Combine(paths, {CoaddMethod::Mean, 0, 0}, {Normalisation::Multiplicative, Weighting::None});
    EXPECT_NEAR(multiplicative.figures[1].factor, 1000.0 / 1800.0, 0.02);
    EXPECT_NEAR(BlockSky(multiplicative.grid, 8, 8, 32), BlockSky(scaled.grid, 8, 8, 32), 0.02 * 1000.0);
}

// Frames whose stars are not where the reference's are (not registered) keep a scale of 1,
// told once for all of them.
TEST_F(StackingTest, UnregisteredFramesAreToldAndCombinedUnscaled)
{
    SkyFrame frame;
    std::vector<std::string> paths = {Frame("r.fit", frame)};
    const std::vector<test::SyntheticStar> reference = stars;
    for (int k = 1; k <= 2; ++k) {
        for (test::SyntheticStar& s : stars)
            s.x += 4.0;
        frame.seed = 60 + static_cast<unsigned>(k);
        paths.push_back(Frame("u" + std::to_string(k) + ".fit", frame));
    }
    stars = reference;
    const CoaddResult result = Combine(paths, {CoaddMethod::Median, 0, 0}, {Normalisation::AdditiveScale, Weighting::None});
    ASSERT_EQ(result.status, CoaddStatus::Done);
    EXPECT_FALSE(result.figures[1].scaleKnown);
    EXPECT_FALSE(result.figures[2].scaleKnown);
    EXPECT_EQ(result.figures[2].scale, 1.0);
    EXPECT_EQ(tc.messages.texts, std::vector<std::string>{"The stars of 2 frames (u1.fit, u2.fit) could not be compared with those of "
                                                          "the first frame (are the frames registered?); they are combined unscaled."});
}

// Weights are 1 / noise^2 of each frame, normalised to a mean of 1; noise of the same
// frame read twice is the same, and the weights are then exactly 1.
// Frames of 32-bit floats, read as floats and normalised as they are made doubles, give
// bit for bit what the same values stored as 64-bit doubles give; floats with a scaling
// are read as the library converts them.
TEST_F(StackingTest, FloatFramesNormaliseAsTheirDoubles)
{
    std::vector<std::string> asFloats, asScaled, asDoubles;
    for (int k = 0; k < 5; ++k) {
        SkyFrame frame;
        frame.level = 800.0 + 150.0 * k;
        frame.gradientX = 0.05 * k;
        frame.transparency = 1.0 - 0.1 * k;
        frame.seed = 40 + static_cast<unsigned>(k);
        ImageGrid grid;
        test::DrawSkyFrame(grid, Width, Height, stars, frame);
        test::FitsLayout layout;
        layout.width = Width;
        layout.height = Height;
        for (int y = 0; y < Height; ++y)
            for (int x = 0; x < Width; ++x)
                layout.values.push_back(static_cast<double>(static_cast<float>(grid[x][y])));
        if (k == 2) {
            layout.values[5] = std::numeric_limits<double>::quiet_NaN();
            layout.values[7] = std::numeric_limits<double>::infinity();
            layout.values[9] = -0.0;
        }
        const std::string name = std::to_string(k) + ".fit";
        layout.bitpix = -64;
        test::WriteFitsImage(dir.file("d" + name), layout);
        layout.bitpix = -32;
        test::WriteFitsImage(dir.file("f" + name), layout);
        layout.bzero = 0.5;
        test::WriteFitsImage(dir.file("s" + name), layout);
        asDoubles.push_back(dir.file("d" + name));
        asFloats.push_back(dir.file("f" + name));
        asScaled.push_back(dir.file("s" + name));
    }
    FitsImageReader reader;
    ASSERT_EQ(reader.open(asFloats[0], {Width, Height}), FitsError::None);
    EXPECT_TRUE(reader.readsFloats());
    EXPECT_TRUE(reader.readFloatsDirectly()); // the floats come straight from the file
    ASSERT_EQ(reader.open(asScaled[0], {Width, Height}), FitsError::None);
    EXPECT_FALSE(reader.readsFloats());
    EXPECT_FALSE(reader.readFloatsDirectly());
    ASSERT_EQ(reader.open(asDoubles[0], {Width, Height}), FitsError::None);
    EXPECT_FALSE(reader.readsFloats());

    for (const CoaddParameters parameters : {CoaddParameters{CoaddMethod::Mean, 0, 0}, CoaddParameters{CoaddMethod::Median, 0, 0},
                                             CoaddParameters{CoaddMethod::SigmaClipping, 2.0, 2}}) {
        SCOPED_TRACE(static_cast<int>(parameters.method));
        const StackingChoice choice{Normalisation::AdditiveScale, Weighting::Noise};
        const CoaddResult floats = Combine(asFloats, parameters, choice);
        const CoaddResult doubles = Combine(asDoubles, parameters, choice);
        ASSERT_EQ(floats.status, CoaddStatus::Done);
        ASSERT_EQ(doubles.status, CoaddStatus::Done);
        ASSERT_EQ(floats.grid.pixelCount(), doubles.grid.pixelCount());
        EXPECT_EQ(std::memcmp(floats.grid.data(), doubles.grid.data(), floats.grid.pixelCount() * sizeof(double)), 0);
        const CoaddResult scaled = Combine(asScaled, parameters, choice);
        ASSERT_EQ(scaled.status, CoaddStatus::Done);
    }
}

// A frame of floats read straight from the file that is cut short once the bands are being
// combined is told and left out; the others come out as they do alone.
TEST_F(StackingTest, FloatFrameCutShortWhileCombinedIsLeftOut)
{
    std::vector<std::string> paths;
    for (int k = 0; k < 3; ++k) {
        SkyFrame frame;
        frame.level = 800.0 + 100.0 * k;
        frame.seed = 60 + static_cast<unsigned>(k);
        ImageGrid grid;
        test::DrawSkyFrame(grid, Width, Height, stars, frame);
        test::FitsLayout layout;
        layout.width = Width;
        layout.height = Height;
        layout.bitpix = -32;
        for (int y = 0; y < Height; ++y)
            for (int x = 0; x < Width; ++x)
                layout.values.push_back(grid[x][y]);
        paths.push_back(dir.file("c" + std::to_string(k) + ".fit"));
        test::WriteFitsImage(paths.back(), layout);
    }
    class Cutting final : public CoaddFeedback {
    public:
        void notice(const CoaddNotice& notice) override { notices.push_back(notice); }
        void progress(const std::string& text, double) override
        {
            if (!cut && text.rfind("Combining rows", 0) == 0) {
                std::filesystem::resize_file(victim, 2880);
                cut = true;
            }
        }
        std::string victim;
        bool cut = false;
        std::vector<CoaddNotice> notices;
    } cutting;
    cutting.victim = paths[1];
    CoaddOptions options;
    options.parameters = {CoaddMethod::Mean, 0, 0};
    options.choice = {Normalisation::AdditiveScale, Weighting::Noise};
    options.tuning = {std::size_t{Width} * 16 * 8 * 3, 2, 200}; // several bands, two workers
    const CoaddResult result = CombineFrames(paths, options, cutting);
    ASSERT_EQ(result.status, CoaddStatus::Done);
    EXPECT_TRUE(cutting.cut);
    EXPECT_EQ(result.leftOut, std::vector<std::string>{paths[1]});
    ASSERT_FALSE(cutting.notices.empty());
    EXPECT_EQ(cutting.notices.back().kind, CoaddNotice::Kind::FrameUnusable);
    EXPECT_EQ(cutting.notices.back().path, paths[1]);

    const CoaddResult alone = Combine({paths[0], paths[2]}, options.parameters, options.choice);
    ASSERT_EQ(alone.status, CoaddStatus::Done);
    ASSERT_EQ(result.grid.pixelCount(), alone.grid.pixelCount());
    EXPECT_EQ(std::memcmp(result.grid.data(), alone.grid.data(), alone.grid.pixelCount() * sizeof(double)), 0);
}

TEST_F(StackingTest, WeightsFollowTheNoise)
{
    std::vector<std::string> paths;
    const double reads[] = {20.0, 40.0, 80.0};
    for (int k = 0; k < 3; ++k) {
        SkyFrame frame;
        frame.level = 400.0;
        frame.readNoise = reads[k];
        frame.seed = 10 + static_cast<unsigned>(k);
        paths.push_back(Frame("w" + std::to_string(k) + ".fit", frame));
    }
    const CoaddResult result = Combine(paths, {CoaddMethod::Mean, 0, 0}, {Normalisation::None, Weighting::Noise});
    ASSERT_EQ(result.status, CoaddStatus::Done);
    ASSERT_EQ(result.figures.size(), 3u);
    std::vector<double> inverse;
    double sum = 0.0;
    for (double r : reads) {
        inverse.push_back(1.0 / (r * r + 400.0));
        sum += inverse.back();
    }
    for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(result.figures[static_cast<std::size_t>(k)].noise, std::sqrt(reads[k] * reads[k] + 400.0), 0.05 * std::sqrt(reads[k] * reads[k] + 400.0));
        const double expected = 3.0 * inverse[static_cast<std::size_t>(k)] / sum;
        EXPECT_NEAR(result.figures[static_cast<std::size_t>(k)].weight, expected, 0.1 * expected) << k;
    }
    // The noisiest frame weighs least: the weighted mean is far less noisy than the plain one.
    const CoaddResult plain = Combine(paths, {CoaddMethod::Mean, 0, 0}, {});
    double weighted = 0.0, unweighted = 0.0;
    for (int x = 0; x < 40; ++x)
        for (int y = 0; y < 40; ++y) {
            weighted += (result.grid[x][y] - 400.0) * (result.grid[x][y] - 400.0);
            unweighted += (plain.grid[x][y] - 400.0) * (plain.grid[x][y] - 400.0);
        }
    EXPECT_LT(weighted, 0.5 * unweighted);

    const CoaddResult same = Combine({paths[1], paths[1], paths[1]}, {CoaddMethod::Mean, 0, 0}, {Normalisation::None, Weighting::Noise});
    for (const FrameFigures& f : same.figures)
        EXPECT_EQ(f.weight, 1.0);
}

// The frames' sky measured first, each told in its progress; a frame that cannot be read
// is told and left out; the stop is honoured there too.
TEST_F(StackingTest, NormalisedRunLeavesOutUnreadableFramesAndStops)
{
    SkyFrame frame;
    const std::vector<std::string> paths = {Frame("a.fit", frame), Frame("b.fit", frame), dir.file("missing.fit")};
    const CoaddResult result = Combine(paths, {CoaddMethod::Median, 0, 0}, {Normalisation::Additive, Weighting::Noise});
    ASSERT_EQ(result.status, CoaddStatus::Done);
    EXPECT_EQ(result.leftOut, std::vector<std::string>{dir.file("missing.fit")});
    EXPECT_EQ(result.combined.size(), 2u);

    class Stop final : public CoaddFeedback {
    public:
        void notice(const CoaddNotice&) override {}
        void progress(const std::string& text, double) override { texts.push_back(text); }
        bool cancelRequested() const override { return !texts.empty() && texts.back().rfind("Measuring", 0) == 0; }
        std::vector<std::string> texts;
    } stop;
    CoaddOptions options;
    options.parameters = {CoaddMethod::Mean, 0, 0};
    options.choice = {Normalisation::Additive, Weighting::None};
    const CoaddResult stopped = CombineFrames({paths[0], paths[1]}, options, stop);
    EXPECT_EQ(stopped.status, CoaddStatus::Cancelled);
    ASSERT_FALSE(stop.texts.empty());
    EXPECT_EQ(stop.texts.back(), "Measuring the sky of frame 1 of 2");
}

// ---------------------------------------------------------------------------------------
// Commands, settings and the cards of the result.

TEST_F(StackingTest, ChoicesAreCommandsKeptInTheSettingsFile)
{
    const std::string ini = dir.file("Skyvane.ini");
    test::WriteFileBytes(ini, "[Display]\nEqualisation=Linear\n");
    context.settingsPath = ini;
    EXPECT_EQ(ExecuteCommand(context, "normalise additive+scale"), "     normalisation: additive+scale");
    EXPECT_EQ(ExecuteCommand(context, "weight noise"), "     weights: noise");
    EXPECT_EQ(ExecuteCommand(context, "normalise sideways"), "     normalisation must be none, additive, multiplicative or additive+scale !");
    EXPECT_EQ(ExecuteCommand(context, "weight heavy"), "     weights must be none or noise !");
    EXPECT_EQ(context.settings.Stacking.normalisation, Normalisation::AdditiveScale);
    EXPECT_EQ(context.settings.Stacking.weighting, Weighting::Noise);
    EXPECT_EQ(ReadProfileString(ini, CoadditionSection, NormalisationKey), "additive+scale");
    EXPECT_EQ(ReadProfileString(ini, CoadditionSection, WeightsKey), "noise");
    const Settings loaded = LoadSettings(ini);
    EXPECT_EQ(loaded.Stacking.normalisation, Normalisation::AdditiveScale);
    EXPECT_EQ(loaded.Stacking.weighting, Weighting::Noise);
    EXPECT_EQ(ReadProfileString(ini, DisplaySection, EqualisationKey), "Linear");

    // A run that keeps its choices to itself writes nothing; a file without the keys is
    // none and none.
    context.keepEqualisation = false;
    const std::vector<unsigned char> before = test::ReadFileBytes(ini);
    EXPECT_EQ(ExecuteCommand(context, "normalise none"), "     normalisation: none");
    EXPECT_EQ(test::ReadFileBytes(ini), before);
    EXPECT_TRUE(LoadSettings(dir.file("none.ini")).Stacking.plain());
}

// None and none after other choices: the plain method's result, bit for bit.
TEST_F(StackingTest, NoneAndNoneGiveThePlainResult)
{
    std::vector<std::string> names;
    const TreeItem list = context.lists.InsertList("[PATH] = " + dir.path().string());
    for (int k = 0; k < 5; ++k) {
        SkyFrame frame;
        frame.level = 500.0 + 100.0 * k;
        frame.seed = 30 + static_cast<unsigned>(k);
        Frame("s" + std::to_string(k) + ".fit", frame);
        context.lists.InsertFile(list, "s" + std::to_string(k) + ".fit");
    }
    for (const std::string& method : {std::string("median [PATH]"), std::string("sigmaclip [PATH] 2 2")}) {
        ASSERT_NE(ExecuteCommand(context, method).find("calculated"), std::string::npos);
        ImageGrid before;
        before.resize(Width, Height);
        std::copy(context.imageA.grid.data(), context.imageA.grid.data() + context.imageA.grid.pixelCount(), before.data());
        (void)ExecuteCommand(context, "normalise additive");
        (void)ExecuteCommand(context, "weight noise");
        (void)ExecuteCommand(context, method);
        EXPECT_FALSE(std::equal(before.data(), before.data() + before.pixelCount(), context.imageA.grid.data()));
        EXPECT_EQ(ExecuteCommand(context, "normalise none"), "     normalisation: none");
        EXPECT_EQ(ExecuteCommand(context, "weight none"), "     weights: none");
        (void)ExecuteCommand(context, method);
        EXPECT_TRUE(std::equal(before.data(), before.data() + before.pixelCount(), context.imageA.grid.data(),
                               [](double a, double b) { return SameBits(a, b); }))
            << method;
    }
}

std::vector<std::string> CardsOf(const HeaderCards& cards)
{
    std::vector<std::string> texts;
    for (int i = 0; i < cards.count(); ++i) {
        std::string card(cards.card(i));
        card.erase(card.find_last_not_of(' ') + 1);
        texts.push_back(card);
    }
    return texts;
}

bool Has(const std::vector<std::string>& cards, const std::string& card)
{
    return std::find(cards.begin(), cards.end(), card) != cards.end();
}

// Every co-added result carries NCOMBINE, EXPTIME (the mean exposure), the first frame's
// DATE-OBS and HISTORY cards naming the method, its parameters, normalisation, weights and
// the frames left out; saved and read again they are still there, and "headers" shows them.
TEST_F(StackingTest, ResultsCarryTheirProvenance)
{
    const TreeItem list = context.lists.InsertList("[PATH] = " + dir.path().string());
    const double exposures[] = {30.0, 60.0, 90.0};
    for (int k = 0; k < 3; ++k) {
        SkyFrame frame;
        frame.seed = 50 + static_cast<unsigned>(k);
        const std::string date = "DATE-OBS= '2024-03-0" + std::to_string(k + 1) + "T22:00:00'";
        Frame("p" + std::to_string(k) + ".fit", frame, {"EXPTIME =                 " + std::to_string(static_cast<int>(exposures[k])) + ".0", date});
        context.lists.InsertFile(list, "p" + std::to_string(k) + ".fit");
    }
    test::WriteFileBytes(dir.file("p3.fit"), "not FITS");
    context.lists.InsertFile(list, "p3.fit");

    ASSERT_EQ(ExecuteCommand(context, "winsorclip [PATH] 2.5 3"),
              "     co-added image has been calculated with winsorised sigma clipping\r\n     3 of 4 frames combined; left out: p3.fit");
    const std::vector<std::string> cards = CardsOf(context.imageA.cards);
    EXPECT_TRUE(Has(cards, "NCOMBINE=                    3 / number of frames combined"));
    EXPECT_TRUE(Has(cards, "EXPTIME =                 60.0 / [s] mean exposure of the frames combined"));
    EXPECT_TRUE(Has(cards, "DATE-OBS= '2024-03-01T22:00:00'"));
    EXPECT_TRUE(Has(cards, "HISTORY Skyvane: 3 frames combined by winsorised sigma clipping, kappa 2.5, 3"));
    EXPECT_TRUE(Has(cards, "HISTORY iterations"));
    EXPECT_TRUE(Has(cards, "HISTORY Skyvane: normalisation none, weights none"));
    EXPECT_TRUE(Has(cards, "HISTORY Skyvane: left out p3.fit"));
    EXPECT_TRUE(Has(cards, "HISTORY Skyvane: exposure 60 s per frame on average, 180 s in total"));
    EXPECT_EQ(std::count_if(cards.begin(), cards.end(), [](const std::string& c) { return c.rfind("EXPTIME", 0) == 0; }), 1);

    const std::string headers = ExecuteCommand(context, "headers");
    EXPECT_NE(headers.find("NCOMBINE=                    3"), std::string::npos);
    EXPECT_NE(headers.find("HISTORY Skyvane: left out p3.fit"), std::string::npos);

    ASSERT_TRUE(saveFitsReporting(context.imageA, dir.file("stack.fits"), SampleFormat::Float32, tc.messages));
    HeaderCards saved;
    ASSERT_EQ(readFitsHeaderCards(dir.file("stack.fits"), saved), FitsError::None);
    const std::vector<std::string> savedCards = CardsOf(saved);
    EXPECT_TRUE(Has(savedCards, "NCOMBINE=                    3 / number of frames combined"));
    EXPECT_TRUE(Has(savedCards, "HISTORY Skyvane: left out p3.fit"));

    // With normalisation and weights, a card per frame with its figures.
    (void)ExecuteCommand(context, "normalise additive");
    (void)ExecuteCommand(context, "weight noise");
    (void)ExecuteCommand(context, "median [PATH]");
    const std::vector<std::string> more = CardsOf(context.imageA.cards);
    EXPECT_TRUE(Has(more, "HISTORY Skyvane: 3 frames combined by median"));
    EXPECT_TRUE(Has(more, "HISTORY Skyvane: normalisation additive, weights noise"));
    EXPECT_EQ(std::count_if(more.begin(), more.end(), [](const std::string& c) { return c.rfind("HISTORY Skyvane: p", 0) == 0; }), 3);
}

TEST_F(StackingTest, WinsorisedClippingNeedsThreeFrames)
{
    const TreeItem list = context.lists.InsertList("[PATH] = " + dir.path().string());
    for (int k = 0; k < 2; ++k) {
        Frame("t" + std::to_string(k) + ".fit", SkyFrame{});
        context.lists.InsertFile(list, "t" + std::to_string(k) + ".fit");
    }
    EXPECT_EQ(ExecuteCommand(context, "winsorclip [PATH] 3 2"), "     winsorised sigma clipping requires at least 3 images!");
    EXPECT_EQ(MinimumFrameCount(CoaddMethod::WinsorisedClipping), 3);
}

} // namespace
} // namespace skyvane
