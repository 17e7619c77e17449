// A threshold change with a transfer function against the same change with the linear
// mapping, on a 4096 x 4096 image: Display::refreshDisplay with Logarithm or Gamma 2.2
// (and the extremes 0.1 and 10) against refreshDisplay with Linear. Each iteration runs both,
// in alternating order, so that both see the same machine load; "ratio" is the function's
// time over the linear time (goal: at most 1.2). BM_MakeTable is what choosing a function
// costs once (breakpoints by bisection, cell table).

#include <benchmark/benchmark.h>

#include <chrono>
#include <random>
#include <utility>

#include "display/DisplayBitmap.h"
#include "display/TransferFunction.h"
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

// A sky-like image: background near 1500 with noise, so the products spread over 0..255.
const ImageGrid& TestImage()
{
    static ImageGrid image = [] {
        ImageGrid grid;
        grid.resize(Side, Side);
        std::mt19937_64 random(42);
        std::normal_distribution<double> noise(1500.0, 600.0);
        double* p = grid.data();
        for (std::int64_t i = 0; i < grid.pixelCount(); ++i)
            p[i] = noise(random);
        return grid;
    }();
    return image;
}

TransferFunction FunctionOf(int index)
{
    switch (index) {
    case 0: return TransferFunction::Logarithm();
    case 1: return TransferFunction::Gamma(2.2);
    case 2: return TransferFunction::Gamma(0.1);
    default: return TransferFunction::Gamma(10.0);
    }
}

void BM_RefreshAgainstLinear(benchmark::State& state)
{
    const ImageGrid& image = TestImage();
    Thresholds thresholds;
    NullDisplaySink sink;
    Display linear(thresholds, sink);
    Display curved(thresholds, sink);
    curved.setTransferFunction(FunctionOf(static_cast<int>(state.range(0))));
    linear.buildDisplay(image);
    curved.buildDisplay(image);
    double linearTotal = 0.0;
    double curvedTotal = 0.0;
    bool curvedFirst = false;
    for (auto _ : state) {
        double seconds[2] = {0.0, 0.0};
        for (int k = 0; k < 2; ++k) {
            const bool runCurved = (k == 0) == curvedFirst;
            Display& display = runCurved ? curved : linear;
            const auto start = Clock::now();
            display.refreshDisplay(image);
            benchmark::DoNotOptimize(display.bitmap().rows.data());
            benchmark::ClobberMemory();
            seconds[runCurved ? 1 : 0] = std::chrono::duration<double>(Clock::now() - start).count();
        }
        linearTotal += seconds[0];
        curvedTotal += seconds[1];
        state.SetIterationTime(seconds[1]);
        curvedFirst = !curvedFirst;
        std::swap(thresholds.low, thresholds.high); // the picture and its negative, as Invert
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["linear_ms"] = 1000.0 * linearTotal / runs;
    state.counters["function_ms"] = 1000.0 * curvedTotal / runs;
    state.counters["ratio"] = curvedTotal / linearTotal;
    state.SetLabel(state.range(0) == 0 ? "logarithm" : state.range(0) == 1 ? "gamma 2.2" : state.range(0) == 2 ? "gamma 0.1" : "gamma 10");
}

void BM_MakeTable(benchmark::State& state)
{
    const TransferFunction function = FunctionOf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        TransferTable table(function);
        benchmark::DoNotOptimize(table.cells());
    }
}

// Wall-clock time: the refresh uses several threads.
BENCHMARK(BM_RefreshAgainstLinear)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_MakeTable)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

} // namespace
