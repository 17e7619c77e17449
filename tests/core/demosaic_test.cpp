// Demosaicing against the truth of a noise-free colour star field, and against bilinear
// interpolation of each colour by itself.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <random>
#include <utility>
#include <vector>

#include "image/ImageGrid.h"
#include "processing/Demosaic.h"
#include "processing/Resampling.h"

namespace skyvane {
namespace {

constexpr int W = 160;
constexpr int H = 128;

// Three column-major planes.
struct Colour {
    std::vector<double> planes[3];
    Colour()
    {
        for (auto& plane : planes)
            plane.assign(static_cast<std::size_t>(W * H), 0.0);
    }
    double& at(int p, int x, int y) { return planes[p][static_cast<std::size_t>(x * H + y)]; }
    double at(int p, int x, int y) const { return planes[p][static_cast<std::size_t>(x * H + y)]; }
};

struct Star {
    double x, y, sigma, green, redRatio, blueRatio;
};

// A uniform number in [0, 1) from the generator's raw output (the same everywhere).
double Uniform(std::mt19937& rng)
{
    return static_cast<double>(rng() >> 5) / 134217728.0;
}

// Stars at least 14 pixels apart and 10 from the edges: sigmas 1.2 to 2.5, green peaks 300
// to 20000 above a sky of R:G:B = 1.0:1.1:1.3 (1000 in green), R/G and B/G 0.5 to 1.6 (a
// red star poor in blue, a blue one poor in red).
std::vector<Star> Stars()
{
    std::mt19937 rng(2024);
    std::vector<Star> stars;
    while (stars.size() < 40) {
        Star s{};
        s.x = 10.0 + Uniform(rng) * (W - 20.0);
        s.y = 10.0 + Uniform(rng) * (H - 20.0);
        s.sigma = 1.2 + 1.3 * Uniform(rng);
        s.green = 300.0 * std::exp(Uniform(rng) * std::log(20000.0 / 300.0));
        const double index = Uniform(rng);
        s.redRatio = std::exp(std::log(0.5) + index * std::log(3.2));
        s.blueRatio = std::exp(std::log(1.6) - index * std::log(3.2));
        bool apart = true;
        for (const Star& t : stars)
            apart = apart && std::hypot(s.x - t.x, s.y - t.y) >= 14.0;
        if (apart)
            stars.push_back(s);
    }
    return stars;
}

constexpr double Sky[3] = {1000.0 / 1.1, 1000.0, 1000.0 * 1.3 / 1.1};

Colour Truth(const std::vector<Star>& stars)
{
    Colour truth;
    for (int p = 0; p < 3; ++p)
        for (int x = 0; x < W; ++x)
            for (int y = 0; y < H; ++y) {
                double value = Sky[p];
                for (const Star& s : stars) {
                    const double d2 = (x - s.x) * (x - s.x) + (y - s.y) * (y - s.y);
                    const double ratio = p == 0 ? s.redRatio : p == 2 ? s.blueRatio : 1.0;
                    value += ratio * s.green * std::exp(-d2 / (2.0 * s.sigma * s.sigma));
                }
                truth.at(p, x, y) = value;
            }
    return truth;
}

std::vector<double> Sample(const Colour& truth, const Mosaic& mosaic)
{
    std::vector<double> values(static_cast<std::size_t>(W * H));
    for (int x = 0; x < W; ++x)
        for (int y = 0; y < H; ++y)
            values[static_cast<std::size_t>(x * H + y)] = truth.at(static_cast<int>(mosaic.colourAt(x, y)), x, y);
    return values;
}

// The reference: each colour interpolated from its own samples alone, linearly (the mean of
// the 2 or 4 nearest samples), the border mirrored.
Colour Bilinear(const std::vector<double>& values, const Mosaic& mosaic)
{
    const auto mirror = [](int i, int n) { return i < 0 ? -i : i >= n ? 2 * (n - 1) - i : i; };
    const auto m = [&](int x, int y) { return values[static_cast<std::size_t>(mirror(x, W) * H + mirror(y, H))]; };
    const auto colour = [&](int x, int y) { return static_cast<int>(mosaic.colourAt(x, y)); };
    Colour result;
    for (int x = 0; x < W; ++x)
        for (int y = 0; y < H; ++y)
            for (int p = 0; p < 3; ++p) {
                if (colour(x, y) == p) {
                    result.at(p, x, y) = m(x, y);
                    continue;
                }
                // The samples beside it, or else those on its corners.
                double sum = 0.0;
                int count = 0;
                for (const auto& [dx, dy] : {std::pair{-1, 0}, std::pair{1, 0}, std::pair{0, -1}, std::pair{0, 1}})
                    if (colour(x + dx, y + dy) == p) {
                        sum += m(x + dx, y + dy);
                        ++count;
                    }
                if (count == 0)
                    for (const auto& [dx, dy] : {std::pair{-1, -1}, std::pair{1, -1}, std::pair{-1, 1}, std::pair{1, 1}}) {
                        sum += m(x + dx, y + dy);
                        ++count;
                    }
                result.at(p, x, y) = sum / count;
            }
    return result;
}

Colour Edge(const std::vector<double>& values, const Mosaic& mosaic)
{
    Colour result;
    DemosaicPlane(values.data(), W, H, mosaic, result.planes[0].data(), result.planes[1].data(), result.planes[2].data());
    return result;
}

double Rms(const Colour& a, const Colour& truth)
{
    double sum = 0.0;
    for (int p = 0; p < 3; ++p)
        for (std::size_t k = 0; k < a.planes[p].size(); ++k)
            sum += (a.planes[p][k] - truth.planes[p][k]) * (a.planes[p][k] - truth.planes[p][k]);
    return std::sqrt(sum / (3.0 * W * H));
}

// The largest relative error of the stars' R/G and B/G, each flux summed over 4 sigma (at
// least 5 pixels) around the star, the sky taken off.
double WorstColour(const Colour& image, const Colour& truth, const std::vector<Star>& stars)
{
    double worst = 0.0;
    for (const Star& s : stars) {
        const double radius = std::max(5.0, 4.0 * s.sigma);
        double flux[2][3] = {{0, 0, 0}, {0, 0, 0}};
        for (int x = static_cast<int>(s.x - radius); x <= static_cast<int>(s.x + radius) + 1; ++x)
            for (int y = static_cast<int>(s.y - radius); y <= static_cast<int>(s.y + radius) + 1; ++y)
                if (std::hypot(x - s.x, y - s.y) <= radius)
                    for (int p = 0; p < 3; ++p) {
                        flux[0][p] += image.at(p, x, y) - Sky[p];
                        flux[1][p] += truth.at(p, x, y) - Sky[p];
                    }
        for (const int p : {0, 2})
            worst = std::max(worst, std::fabs((flux[0][p] / flux[0][1]) / (flux[1][p] / flux[1][1]) - 1.0));
    }
    return worst;
}

TEST(Demosaic, BeatsBilinearOnAColourStarFieldAndKeepsTheStarsColours)
{
    const std::vector<Star> stars = Stars();
    const Colour truth = Truth(stars);
    for (const Mosaic::Pattern pattern : {Mosaic::Pattern::RGGB, Mosaic::Pattern::BGGR, Mosaic::Pattern::GRBG, Mosaic::Pattern::GBRG}) {
        const Mosaic mosaic(pattern);
        const std::vector<double> values = Sample(truth, mosaic);
        const Colour edge = Edge(values, mosaic);
        const Colour bilinear = Bilinear(values, mosaic);
        const double rmsEdge = Rms(edge, truth);
        const double rmsBilinear = Rms(bilinear, truth);
        const double colourEdge = WorstColour(edge, truth, stars);
        const double colourBilinear = WorstColour(bilinear, truth, stars);
        std::cout << mosaic.name() << ": RMS error " << rmsEdge << " against bilinear's " << rmsBilinear << " (" << rmsEdge / rmsBilinear
                  << "x); worst star colour ratio error " << 100.0 * colourEdge << "% (bilinear " << 100.0 * colourBilinear << "%)\n";
        EXPECT_LE(rmsEdge, 0.7 * rmsBilinear) << mosaic.name();
        EXPECT_LE(colourEdge, 0.03) << mosaic.name();
        // The seen colour stays as seen.
        for (int x = 0; x < W; ++x)
            for (int y = 0; y < H; ++y)
                ASSERT_EQ(edge.at(static_cast<int>(mosaic.colourAt(x, y)), x, y), values[static_cast<std::size_t>(x * H + y)]);
    }
}

TEST(Demosaic, AStraightEdgeIsFollowedAlongItsRowOrColumn)
{
    // A sharp step between two colours along a column, then along a row: followed along
    // the edge, the error is well below what the lattice estimate leaves across it.
    for (const bool alongColumn : {true, false}) {
        Colour truth;
        for (int p = 0; p < 3; ++p)
            for (int x = 0; x < W; ++x)
                for (int y = 0; y < H; ++y)
                    truth.at(p, x, y) = (alongColumn ? x >= W / 2 + 1 : y >= H / 2 + 1) ? 3.0 * Sky[p] + 500.0 * p : Sky[2 - p];
        const Mosaic mosaic(Mosaic::Pattern::RGGB);
        const std::vector<double> values = Sample(truth, mosaic);
        const double edge = Rms(Edge(values, mosaic), truth);
        const double bilinear = Rms(Bilinear(values, mosaic), truth);
        std::cout << (alongColumn ? "step along a column" : "step along a row") << ": RMS error " << edge << " against bilinear's " << bilinear << "\n";
        EXPECT_LE(edge, 0.5 * bilinear);
    }
}

// The colour ratios of a sharp star (sigma 1.25 pixels) of the given colour as the camera
// sees it, on a sky of the camera's grey, in the pixel-wise median of 15 frames that show it
// at 15 places on the filter cell, each demosaiced and shifted back onto the first: the
// relative errors of R/G and B/G.
std::pair<double, double> MedianStarColourError(const double (&colour)[3])
{
    constexpr int Size = 48;
    constexpr double Centre = 23.0;
    constexpr int Frames = 15;
    const double sky[3] = {770.0, 1000.0, 765.0};
    const double sigma = 1.25;
    const Mosaic mosaic(Mosaic::Pattern::RGGB);
    std::vector<ImageGrid> registered(Frames);
    for (int k = 0; k < Frames; ++k) {
        const double dx = std::fmod(0.37 * k, 2.0);
        const double dy = std::fmod(0.61 * k, 2.0);
        std::vector<double> values(static_cast<std::size_t>(Size * Size));
        for (int x = 0; x < Size; ++x)
            for (int y = 0; y < Size; ++y) {
                const int p = static_cast<int>(mosaic.colourAt(x, y));
                const double d2 = (x - Centre - dx) * (x - Centre - dx) + (y - Centre - dy) * (y - Centre - dy);
                values[static_cast<std::size_t>(x * Size + y)] = sky[p] + colour[p] * 15000.0 * std::exp(-d2 / (2.0 * sigma * sigma));
            }
        ImageGrid frame;
        frame.resize(Size, Size, 3);
        DemosaicPlane(values.data(), Size, Size, mosaic, frame.plane(0), frame.plane(1), frame.plane(2));
        ResampleToReference(frame, dx, dy, registered[static_cast<std::size_t>(k)]);
    }
    double flux[3] = {0.0, 0.0, 0.0};
    for (int p = 0; p < 3; ++p)
        for (int x = 0; x < Size; ++x)
            for (int y = 0; y < Size; ++y) {
                if (std::hypot(x - Centre, y - Centre) > 6.0)
                    continue;
                std::vector<double> pixel;
                for (const ImageGrid& frame : registered)
                    pixel.push_back(frame.plane(p)[x * Size + y]);
                std::nth_element(pixel.begin(), pixel.begin() + Frames / 2, pixel.end());
                flux[p] += pixel[Frames / 2] - sky[p];
            }
    return {flux[0] / flux[1] / colour[0] - 1.0, flux[2] / flux[1] / colour[2] - 1.0};
}

TEST(Demosaic, AMedianOfRegisteredFramesKeepsTheColourOfSharpStars)
{
    // Every frame keeps a star's colour; their median keeps it only as far as the star has
    // one shape wherever it falls on the cell. Hardest are the stars whose colour lies far
    // from the sky's: a red one poor in blue and a blue one poor in red.
    const double red[3] = {1.36, 1.0, 0.33};
    const double blue[3] = {0.425, 1.0, 1.04};
    for (const auto* colour : {&red, &blue}) {
        const auto [redError, blueError] = MedianStarColourError(*colour);
        std::cout << "star of R/G " << (*colour)[0] << ", B/G " << (*colour)[2] << ": in the median of the registered frames R/G off by "
                  << 100.0 * redError << "%, B/G by " << 100.0 * blueError << "%\n";
        EXPECT_LE(std::fabs(redError), 0.06);
        EXPECT_LE(std::fabs(blueError), 0.06);
    }
}

} // namespace
} // namespace skyvane
