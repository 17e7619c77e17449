// The display of a 6248 x 4176 floating-point frame (a current 26-megapixel sensor, values
// of a 0..1 stack as single precision gives them): each iteration runs, in rotating
// order so that all see the same machine load,
//   linear     a threshold change with the plain mapping (the edit's text applied, the
//              picture recomputed), the reference;
//   stretch    Auto stretch as the button and the command do it on a frame on display
//              (thresholds from the frame's sky, the midtones function's table, the
//              picture recomputed);
//   first      the same when the frame's sky is not known yet (just computed by a
//              command): the sky's sample measured as well;
//   stretched  a threshold change while the stretch's function is on;
// and reports each one's time and its ratio to the linear change (goal: at most 1.5).
// BM_ImageCounts is what a new image costs once beside them: its world and extent (the
// threshold model follows it) and the histogram's counts (400 bins); a threshold change
// never counts again, it only moves the histogram's markers.

#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <string>

#include "base/Numbers.h"
#include "display/DisplayBitmap.h"
#include "display/DisplayValues.h"
#include "display/ThresholdModel.h"
#include "display/TransferFunction.h"
#include "image/ImageGrid.h"

namespace {

using namespace skyvane;
using Clock = std::chrono::steady_clock;

constexpr int Width = 6248;
constexpr int Height = 4176;

const ImageGrid& Frame()
{
    static ImageGrid image = [] {
        ImageGrid grid;
        grid.resize(Width, Height);
        std::mt19937_64 random(26);
        std::normal_distribution<double> sky(0.082, 0.004);
        std::uniform_real_distribution<double> star(0.1, 1.0);
        double* p = grid.data();
        for (std::int64_t i = 0; i < grid.pixelCount(); ++i)
            p[i] = static_cast<float>(i % 4099 == 0 ? star(random) : sky(random));
        return grid;
    }();
    return image;
}

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_StretchAgainstLinear(benchmark::State& state)
{
    const ImageGrid& image = Frame();
    ThresholdModel thresholds;
    NullDisplaySink sink;
    Display display(thresholds, sink);
    thresholds.followImage(image);
    DisplayStretch stretch;
    if (!thresholds.autoStretch(true, image, stretch))
        state.SkipWithError("no memory for the sky's sample");
    display.buildDisplay(image);
    const std::string lows[2] = {FormatReal(stretch.low, ThresholdDigits), FormatReal(stretch.low * 1.01, ThresholdDigits)};

    constexpr int Kinds = 4; // linear, stretch, first, stretched
    double totals[Kinds] = {};
    int step = 0;
    for (auto _ : state) {
        double seconds[Kinds] = {};
        for (int k = 0; k < Kinds; ++k) {
            const int which = (k + step) % Kinds;
            // The function the step starts from: linear, so that a stretch makes its table anew.
            display.setTransferFunction(which == 3 ? TransferFunction::Midtones(stretch.midtones) : TransferFunction::Linear());
            if (which == 2)
                thresholds.followImage(image); // as after a command: the sky is not known
            const auto start = Clock::now();
            if (which == 1 || which == 2) {
                if (thresholds.autoStretch(true, image, stretch))
                    display.setTransferFunction(TransferFunction::Midtones(stretch.midtones));
            } else {
                thresholds.setLowText(lows[step & 1]);
            }
            display.refreshDisplay(image);
            seconds[which] = Seconds(start);
            benchmark::DoNotOptimize(display.bitmap().rows.data());
            benchmark::ClobberMemory();
        }
        for (int k = 0; k < Kinds; ++k)
            totals[k] += seconds[k];
        state.SetIterationTime(seconds[1]);
        ++step;
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["linear_ms"] = 1000.0 * totals[0] / runs;
    state.counters["stretch_ms"] = 1000.0 * totals[1] / runs;
    state.counters["first_ms"] = 1000.0 * totals[2] / runs;
    state.counters["stretched_ms"] = 1000.0 * totals[3] / runs;
    state.counters["stretch_ratio"] = totals[1] / totals[0];
    state.counters["first_ratio"] = totals[2] / totals[0];
    state.counters["stretched_ratio"] = totals[3] / totals[0];
}

void BM_ImageCounts(benchmark::State& state)
{
    const ImageGrid& image = Frame();
    ThresholdModel thresholds;
    for (auto _ : state) {
        thresholds.followImage(image);
        const ValueHistogram* histogram = thresholds.histogram(400);
        benchmark::DoNotOptimize(histogram);
    }
}

// Wall-clock time: the picture is recomputed on several threads.
BENCHMARK(BM_StretchAgainstLinear)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);
BENCHMARK(BM_ImageCounts)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
