#pragma once

#include <string>
#include <vector>

#include "image/ImageGrid.h"
#include "support/StarField.h"

namespace skyvane::test {

// One frame of a synthetic night under a changing sky: a sky level at the frame's centre
// with a linear gradient (the sky at (x, y) is level x (1 + gradientX (x - cx) / width +
// gradientY (y - cy) / height)), the night's stars times transparency, each star spread
// evenly along a line of trail pixels along x when trail > 0, and Gaussian noise of
// sqrt(readNoise^2 + sky) (one electron per unit), drawn from seed.
struct SkyFrame {
    double level = 1000.0;
    double gradientX = 0.0;
    double gradientY = 0.0;
    double transparency = 1.0;
    double trail = 0.0;
    double readNoise = 5.0;
    unsigned seed = 1;
};

// grid := the frame of the night's stars (positions as given: the frames are registered).
void DrawSkyFrame(ImageGrid& grid, int width, int height, const std::vector<SyntheticStar>& stars, const SkyFrame& frame);

// The noise-free sky of a frame at (x, y), without stars.
double SkyLevel(const SkyFrame& frame, int width, int height, int x, int y);

// Writes the frame as a 32-bit floating-point FITS file (extra cards appended).
void WriteSkyFrame(const std::string& path, int width, int height, const std::vector<SyntheticStar>& stars, const SkyFrame& frame,
                   const std::vector<std::string>& cards = {});

// count round stars of sigma 1.5, amplitudes 200 to 20000 (log-uniform), at least margin
// pixels inside the frame; the same for the same seed.
std::vector<SyntheticStar> RoundStars(int count, int width, int height, int margin, unsigned seed);

} // namespace skyvane::test
