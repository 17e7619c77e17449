// The first use of an operation in a fresh process against its repeats in the same process.
//
// usage: first_use_timing [--no-thp] [--hint] load FILE ROUNDS
//        first_use_timing [--no-thp] sigclip FOLDER ROUNDS
//   load     opens FILE as Image A and builds and paints its display, as opening a frame
//            does (the thresholds fixed, so that only loading and rendering count)
//   sigclip  sigma clipping (kappa 3, 2 iterations) of the *.fit files of FOLDER into
//            Image A, displayed, as the co-addition command does
//   --no-thp transparent huge pages are refused for this process (prctl), as if no memory
//            were ever marked for them
//   --hint   (load) Image A's grid is marked for transparent huge pages (MADV_HUGEPAGE)
//            before the first load fills it, as the program used to mark every grid it
//            loaded a file into
// Prints one line per round: the round's seconds. Round 1 is the first use; the process
// has touched no image memory before it.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <sys/prctl.h>

#include "display/DisplayBitmap.h"
#include "image/FitsReader.h"
#include "image/ImageRecord.h"
#include "processing/Coaddition.h"

namespace {

using namespace skyvane;

class PrintedNotices final : public CoaddFeedback {
public:
    void notice(const CoaddNotice& notice) override { std::fprintf(stderr, "notice %d: %s\n", static_cast<int>(notice.kind), notice.path.c_str()); }
};

class FixedThresholds final : public ThresholdSource {
public:
    int LowThreshold() const override { return 800; }
    int HighThreshold() const override { return 1400; }
};

} // namespace

int main(int argc, char** argv)
{
    int arg = 1;
    if (arg < argc && std::strcmp(argv[arg], "--no-thp") == 0) {
        if (::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0) {
            std::perror("prctl");
            return 1;
        }
        ++arg;
    }
    bool hint = false;
    if (arg < argc && std::strcmp(argv[arg], "--hint") == 0) {
        hint = true;
        ++arg;
    }
    if (argc - arg != 3) {
        std::fprintf(stderr, "usage: %s [--no-thp] [--hint] load FILE ROUNDS | sigclip FOLDER ROUNDS\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[arg];
    const std::string target = argv[arg + 1];
    const int rounds = std::max(1, std::atoi(argv[arg + 2]));
    if (mode != "load" && mode != "sigclip")
        return 2;

    std::vector<std::string> frames;
    if (mode == "sigclip") {
        for (const auto& entry : std::filesystem::directory_iterator(target))
            if (entry.path().extension() == ".fit")
                frames.push_back(entry.path().string());
        std::sort(frames.begin(), frames.end());
    }
    FixedThresholds thresholds;
    NullDisplaySink sink;
    Display display(thresholds, sink);
    ImageRecord image;
    PrintedNotices notices;
    CoaddOptions options;
    options.parameters = CoaddParameters{CoaddMethod::SigmaClipping, 3.0, 2};
    if (hint && mode == "load") {
        // A fresh block of the file's size, which the first load then fills in place.
        ImageSize size;
        if (readFitsSize(target, size) != FitsError::None || !image.grid.tryResize(size.width, size.height))
            return 1;
        ::madvise(image.grid.data(), static_cast<std::size_t>(image.grid.pixelCount()) * sizeof(double), MADV_HUGEPAGE);
    }

    for (int r = 0; r < rounds; ++r) {
        const auto start = std::chrono::steady_clock::now();
        if (mode == "load") {
            if (!loadFits(image, target).loaded())
                return 1;
        } else {
            CoaddResult result = CombineFrames(frames, options, notices);
            if (result.status != CoaddStatus::Done)
                return 1;
            image.grid.swap(result.grid);
            image.cards = std::move(result.cards);
        }
        if (display.isImageDisplayed())
            display.clearDisplay();
        if (!display.buildDisplay(image.grid))
            return 1;
        display.paintDisplay();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::printf("%.6f\n", took.count());
    }
    return 0;
}
