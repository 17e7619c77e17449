#include "support/StarField.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace skyvane::test {

std::vector<SyntheticStar> RandomStars(int count, int width, int height, int margin, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> ux(margin, width - margin);
    std::uniform_real_distribution<double> uy(margin, height - margin);
    std::uniform_real_distribution<double> us(1.2, 2.2);
    std::uniform_real_distribution<double> ua(std::log(300.0), std::log(20000.0));
    std::vector<SyntheticStar> stars;
    for (int i = 0; i < count; ++i) {
        SyntheticStar s;
        s.x = ux(rng);
        s.y = uy(rng);
        s.sigma = us(rng);
        s.amplitude = std::exp(ua(rng));
        stars.push_back(s);
    }
    return stars;
}

void DrawStarField(ImageGrid& grid, int width, int height, double sky, const std::vector<SyntheticStar>& stars, double dx, double dy, double noise, unsigned seed)
{
    grid.resize(width, height);
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y)
            grid[x][y] = sky;
    for (const SyntheticStar& s : stars) {
        const double cx = s.x + dx;
        const double cy = s.y + dy;
        const int r = static_cast<int>(std::ceil(6.0 * s.sigma));
        const int x0 = static_cast<int>(std::lround(cx));
        const int y0 = static_cast<int>(std::lround(cy));
        for (int x = std::max(0, x0 - r); x <= std::min(width - 1, x0 + r); ++x) {
            for (int y = std::max(0, y0 - r); y <= std::min(height - 1, y0 + r); ++y) {
                const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                grid[x][y] += s.amplitude * std::exp(-d2 / (2.0 * s.sigma * s.sigma));
            }
        }
    }
    if (noise > 0.0) {
        std::mt19937 rng(seed);
        std::normal_distribution<double> n(0.0, noise);
        for (int x = 0; x < width; ++x)
            for (int y = 0; y < height; ++y)
                grid[x][y] += n(rng);
    }
}

} // namespace skyvane::test
