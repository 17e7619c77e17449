// Saving an image as Skyvane does, timed round by round; the counterpart of save_floor.c.
//
// usage: save_timing IN.fit OUT.fit [ROUNDS [replace]]
// IN is loaded as Image A (not timed). Each round removes OUT (unless "replace" is given,
// when each round replaces the file the previous one wrote), then times ImageRecord::saveFits
// to OUT, which writes the cards and 16-bit pixels, syncs the file and puts it in place,
// and prints the seconds of that round on a line of its own.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include "image/ImageRecord.h"
#include "shell/Messages.h"

namespace {

class PrintedMessages final : public skyvane::MessageSink {
public:
    void showError(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s IN.fit OUT.fit [ROUNDS [replace]]\n", argv[0]);
        return 2;
    }
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 1;
    const bool replace = argc > 4 && std::strcmp(argv[4], "replace") == 0;
    PrintedMessages messages;
    skyvane::ImageRecord image;
    if (image.loadFits(argv[1], messages) != 0)
        return 1;
    for (int r = 0; r < rounds; ++r) {
        if (!replace)
            ::unlink(argv[2]);
        const auto start = std::chrono::steady_clock::now();
        if (image.saveFits(argv[2], messages) != 0)
            return 1;
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("%.6f\n", took.count());
    }
    return 0;
}
