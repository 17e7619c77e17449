// Writes the frames of the colour co-addition benchmark (bench/colour_coadd.sh): N colour
// frames of W x H x 3 as 16-bit cubes in FOLDER/colour, and their green planes as 16-bit
// grey frames in FOLDER/green. Sky-like values: a background per plane near 1000 to 1600
// with noise, in whole numbers as a camera gives them.
//
// usage: colour_frames_timing FOLDER WIDTH HEIGHT FRAMES

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "image/FitsWriter.h"
#include "image/ImageRecord.h"

using namespace skyvane;

namespace {

HeaderCards Cards(int width, int height, int planes)
{
    HeaderCards cards;
    cards.append("SIMPLE  =                    T");
    cards.append("BITPIX  =                   16");
    cards.append(planes == 3 ? "NAXIS   =                    3" : "NAXIS   =                    2");
    cards.append("NAXIS1  = " + std::string(20 - std::to_string(width).size(), ' ') + std::to_string(width));
    cards.append("NAXIS2  = " + std::string(20 - std::to_string(height).size(), ' ') + std::to_string(height));
    if (planes == 3)
        cards.append("NAXIS3  =                    3");
    return cards;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s FOLDER WIDTH HEIGHT FRAMES\n", argv[0]);
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const int width = std::atoi(argv[2]);
    const int height = std::atoi(argv[3]);
    const int frames = std::atoi(argv[4]);
    std::filesystem::create_directories(folder / "colour");
    std::filesystem::create_directories(folder / "green");
    std::mt19937_64 random(7);
    for (int k = 1; k <= frames; ++k) {
        ImageRecord colour;
        colour.grid.resize(width, height, 3);
        colour.cards = Cards(width, height, 3);
        for (int p = 0; p < 3; ++p) {
            std::normal_distribution<double> noise(1000.0 + 300.0 * p, 40.0);
            double* values = colour.grid.plane(p);
            for (std::int64_t i = 0; i < colour.grid.pixelCount(); ++i)
                values[i] = std::round(noise(random));
        }
        ImageRecord green;
        green.grid.resize(width, height);
        green.cards = Cards(width, height, 1);
        std::copy(colour.grid.plane(1), colour.grid.plane(1) + colour.grid.pixelCount(), green.grid.data());
        char name[32];
        std::snprintf(name, sizeof name, "frame_%03d.fit", k);
        if (saveFits(colour, (folder / "colour" / name).string()) != FitsError::None ||
            saveFits(green, (folder / "green" / name).string()) != FitsError::None)
            return 1;
    }
    return 0;
}
