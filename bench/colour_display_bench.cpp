// A threshold change on a colour image against the same change on a grey image of the same
// size (4096 x 4096): the picture's levels recomputed (Display::refreshDisplay), with and
// without the reduced pictures that follow the rows when the view is zoomed out, for whole
// numbers (a camera's frames, which the display reads in single precision) and for
// values with fractions (read as doubles). Each
// iteration times the grey and the colour change one after the other, so both see the same
// machine load, and the benchmark reports colour time / grey time as "ratio" (to stay
// within 2), and the same for the processor time of all threads as "cpu_ratio".

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <random>

#include "display/DisplayBitmap.h"
#include "display/ReducedPicture.h"
#include "image/ImageGrid.h"

namespace {

using namespace skyvane;
using Clock = std::chrono::steady_clock;

constexpr int Side = 4096;

class Thresholds final : public ThresholdSource {
public:
    int LowThreshold() const override { return low; }
    int HighThreshold() const override { return high; }
    int low = 1000;
    int high = 3000;
};

class NoSink final : public DisplaySink {
public:
    void bitmapCreated(const DisplayBitmap&) override {}
    void bitmapChanged(const DisplayBitmap&) override {}
    void bitmapCleared() override {}
};

// Sky-like planes: background near 1500 with noise, in whole numbers as a camera gives
// them (or, with fractions, as after dividing by a flat).
void Fill(ImageGrid& grid, int planes, bool fractions)
{
    grid.resize(Side, Side, planes);
    std::mt19937_64 random(42);
    std::normal_distribution<double> noise(1500.0, 600.0);
    double* p = grid.data();
    for (std::int64_t i = 0; i < grid.valueCount(); ++i)
        p[i] = fractions ? noise(random) : std::round(noise(random));
}

double ProcessSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

struct Shown {
    Thresholds thresholds;
    NoSink sink;
    Display display{thresholds, sink};
    ReducedPicture reduced;
    ImageGrid image;

    Shown(int planes, bool zoomedOut, bool fractions)
    {
        Fill(image, planes, fractions);
        if (zoomedOut)
            display.setPictureObserver(&reduced);
        display.buildDisplay(image);
    }

    // The wall time of one change; cpu gets the processor time of every thread of the
    // process (less disturbed by other programs on a busy machine).
    double change(int step, double& cpu)
    {
        thresholds.low = (step & 1) ? 1200 : 1000;
        const double cpuStart = ProcessSeconds();
        const auto start = Clock::now();
        display.refreshDisplay(image, /*valuesChanged=*/false); // as a threshold change does
        benchmark::DoNotOptimize(display.bitmap().rows.data());
        benchmark::ClobberMemory();
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        cpu += ProcessSeconds() - cpuStart;
        return wall;
    }
};

void BM_ThresholdChangeColourAgainstGrey(benchmark::State& state)
{
    const bool zoomedOut = state.range(0) != 0;
    const bool fractions = state.range(1) != 0;
    Shown grey(1, zoomedOut, fractions);
    Shown colour(3, zoomedOut, fractions);
    double greySeconds = 0.0;
    double colourSeconds = 0.0;
    double greyCpu = 0.0;
    double colourCpu = 0.0;
    int step = 0;
    for (auto _ : state) {
        greySeconds += grey.change(step, greyCpu);
        colourSeconds += colour.change(step, colourCpu);
        ++step;
    }
    state.counters["grey_ms"] = 1e3 * greySeconds / step;
    state.counters["colour_ms"] = 1e3 * colourSeconds / step;
    state.counters["ratio"] = colourSeconds / greySeconds;
    state.counters["cpu_ratio"] = colourCpu / greyCpu;
}
BENCHMARK(BM_ThresholdChangeColourAgainstGrey)
    ->ArgNames({"zoomed_out", "fractions"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

} // namespace
