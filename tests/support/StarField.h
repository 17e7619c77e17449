#pragma once

#include <vector>

#include "image/ImageGrid.h"

namespace skyvane::test {

// A star of a synthetic field: a circular Gaussian, point-sampled at the pixel centres.
struct SyntheticStar {
    double x = 0.0;
    double y = 0.0;
    double sigma = 1.5;
    double amplitude = 1000.0;
};

// count stars at least `margin` pixels inside a width x height frame, sigmas 1.2 to 2.2,
// amplitudes 300 to 20000 (log-uniform); the same for the same seed.
std::vector<SyntheticStar> RandomStars(int count, int width, int height, int margin, unsigned seed);

// grid := sky + the stars moved by (dx, dy) + Gaussian noise of `noise` sigma drawn from
// `seed` (none for 0).
void DrawStarField(ImageGrid& grid, int width, int height, double sky, const std::vector<SyntheticStar>& stars, double dx, double dy, double noise, unsigned seed);

} // namespace skyvane::test
