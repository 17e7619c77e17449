#include "support/SkyNight.h"

#include <algorithm>
#include <cmath>
#include <random>

#include "support/TestSupport.h"

namespace skyvane::test {

double SkyLevel(const SkyFrame& frame, int width, int height, int x, int y)
{
    const double cx = 0.5 * (width - 1);
    const double cy = 0.5 * (height - 1);
    return frame.level * (1.0 + frame.gradientX * (x - cx) / width + frame.gradientY * (y - cy) / height);
}

void DrawSkyFrame(ImageGrid& grid, int width, int height, const std::vector<SyntheticStar>& stars, const SkyFrame& frame)
{
    grid.resize(width, height);
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y)
            grid[x][y] = SkyLevel(frame, width, height, x, y);
    // A trail: the star's light spread evenly over points one pixel apart along x.
    const int pieces = frame.trail > 0.0 ? static_cast<int>(std::lround(frame.trail)) + 1 : 1;
    for (const SyntheticStar& s : stars) {
        const double amplitude = s.amplitude * frame.transparency / pieces;
        for (int piece = 0; piece < pieces; ++piece) {
            const double cx = s.x + (pieces > 1 ? piece - 0.5 * (pieces - 1) : 0.0);
            const double cy = s.y;
            const int r = static_cast<int>(std::ceil(6.0 * s.sigma));
            const int x0 = static_cast<int>(std::lround(cx));
            const int y0 = static_cast<int>(std::lround(cy));
            for (int x = std::max(0, x0 - r); x <= std::min(width - 1, x0 + r); ++x)
                for (int y = std::max(0, y0 - r); y <= std::min(height - 1, y0 + r); ++y) {
                    const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                    grid[x][y] += amplitude * std::exp(-d2 / (2.0 * s.sigma * s.sigma));
                }
        }
    }
    std::mt19937 rng(frame.seed);
    std::normal_distribution<double> unit(0.0, 1.0);
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y)
            grid[x][y] += unit(rng) * std::sqrt(frame.readNoise * frame.readNoise + SkyLevel(frame, width, height, x, y));
}

void WriteSkyFrame(const std::string& path, int width, int height, const std::vector<SyntheticStar>& stars, const SkyFrame& frame,
                   const std::vector<std::string>& cards)
{
    ImageGrid grid;
    DrawSkyFrame(grid, width, height, stars, frame);
    FitsLayout layout;
    layout.width = width;
    layout.height = height;
    layout.bitpix = -32;
    layout.values.resize(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            layout.values[static_cast<std::size_t>(y) * width + x] = grid[x][y];
    layout.extraCards = cards;
    WriteFitsImage(path, layout);
}

std::vector<SyntheticStar> RoundStars(int count, int width, int height, int margin, unsigned seed)
{
    std::vector<SyntheticStar> stars = RandomStars(count, width, height, margin, seed);
    std::mt19937 rng(seed + 1);
    std::uniform_real_distribution<double> amplitude(std::log(200.0), std::log(20000.0));
    for (SyntheticStar& s : stars) {
        s.sigma = 1.5;
        s.amplitude = std::exp(amplitude(rng));
    }
    return stars;
}

} // namespace skyvane::test
