// A threshold change while zoomed out: Display::refreshDisplay with the reduced pictures
// rebuilt as the rows are written (the display's picture observer), against refreshDisplay
// alone, on 4096 x 4096 and 6000 x 4000 images. Each iteration runs both, in alternating
// order, so that both see the same machine load; "ratio" is refresh-with-reductions over
// refresh alone (goal: at most 1.3). BM_BuildAfterwards is the reductions made from the
// finished rows in a separate pass, for comparison ("ratio": build time over a refresh).

#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <utility>

#include "display/DisplayBitmap.h"
#include "display/ReducedPicture.h"
#include "image/ImageGrid.h"

namespace {

using namespace skyvane;
using Clock = std::chrono::steady_clock;

class Thresholds final : public ThresholdSource {
public:
    int LowThreshold() const override { return low; }
    int HighThreshold() const override { return high; }
    int low = 1000;
    int high = 3000;
};

// A sky-like image: background near 1500 with noise.
const ImageGrid& TestImage(int width, int height)
{
    static std::map<std::pair<int, int>, std::unique_ptr<ImageGrid>> images;
    std::unique_ptr<ImageGrid>& image = images[{width, height}];
    if (!image) {
        image = std::make_unique<ImageGrid>();
        image->resize(width, height);
        std::mt19937_64 random(42);
        std::normal_distribution<double> noise(1500.0, 600.0);
        for (std::int64_t i = 0; i < image->pixelCount(); ++i)
            image->data()[i] = noise(random);
    }
    return *image;
}

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_RefreshWithReductions(benchmark::State& state)
{
    const ImageGrid& image = TestImage(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    Thresholds thresholds;
    NullDisplaySink sink;
    Display plain(thresholds, sink);
    Display zoomed(thresholds, sink);
    ReducedPicture reduced;
    zoomed.setPictureObserver(&reduced);
    plain.buildDisplay(image);
    zoomed.buildDisplay(image);
    double plainTotal = 0.0;
    double zoomedTotal = 0.0;
    bool zoomedFirst = false;
    for (auto _ : state) {
        for (int k = 0; k < 2; ++k) {
            const bool runZoomed = (k == 0) == zoomedFirst;
            Display& display = runZoomed ? zoomed : plain;
            const auto start = Clock::now();
            display.refreshDisplay(image);
            benchmark::DoNotOptimize(display.bitmap().rows.data());
            benchmark::DoNotOptimize(reduced.levelData(1));
            benchmark::ClobberMemory();
            const double seconds = Seconds(start);
            if (runZoomed) {
                zoomedTotal += seconds;
                state.SetIterationTime(seconds);
            } else {
                plainTotal += seconds;
            }
        }
        zoomedFirst = !zoomedFirst;
        std::swap(thresholds.low, thresholds.high);
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["refresh_ms"] = 1000.0 * plainTotal / runs;
    state.counters["with_reductions_ms"] = 1000.0 * zoomedTotal / runs;
    state.counters["ratio"] = zoomedTotal / plainTotal;
}

void BM_BuildAfterwards(benchmark::State& state)
{
    const ImageGrid& image = TestImage(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    Thresholds thresholds;
    NullDisplaySink sink;
    Display display(thresholds, sink);
    display.buildDisplay(image);
    ReducedPicture reduced;
    double refreshTotal = 0.0;
    double buildTotal = 0.0;
    for (auto _ : state) {
        auto start = Clock::now();
        display.refreshDisplay(image);
        benchmark::ClobberMemory();
        refreshTotal += Seconds(start);
        start = Clock::now();
        reduced.build(display.bitmap());
        benchmark::DoNotOptimize(reduced.levelData(1));
        benchmark::ClobberMemory();
        const double seconds = Seconds(start);
        buildTotal += seconds;
        state.SetIterationTime(seconds);
    }
    state.counters["ratio"] = buildTotal / refreshTotal;
}

// Wall-clock time: the refresh uses several threads.
BENCHMARK(BM_RefreshWithReductions)->Args({4096, 4096})->Args({6000, 4000})->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_BuildAfterwards)->Args({4096, 4096})->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace
