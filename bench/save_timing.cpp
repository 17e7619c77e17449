// Saving an image as Skyvane does, timed round by round; the counterpart of save_floor.c.
//
// usage: save_timing IN.fit OUT.fit [ROUNDS [replace]]
// IN is loaded as Image A (not timed). Each round removes OUT (unless "replace" is given,
// when each round replaces the file the previous one wrote), then times saveFits
// to OUT, which writes the cards and 16-bit pixels, syncs the file and puts it in place,
// and prints the seconds of that round on a line of its own.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "image/FitsReader.h"
#include "image/FitsWriter.h"
#include "image/ImageRecord.h"

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s IN.fit OUT.fit [ROUNDS [replace]]\n", argv[0]);
        return 2;
    }
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 1;
    const bool replace = argc > 4 && std::strcmp(argv[4], "replace") == 0;
    skyvane::ImageRecord image;
    if (!skyvane::loadFits(image, argv[1]).loaded()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    for (int r = 0; r < rounds; ++r) {
        if (!replace)
            ::unlink(argv[2]);
        const auto start = std::chrono::steady_clock::now();
        if (skyvane::saveFits(image, argv[2]) != skyvane::FitsError::None) {
            std::fprintf(stderr, "cannot save %s\n", argv[2]);
            return 1;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("%.6f\n", took.count());
    }
    return 0;
}
