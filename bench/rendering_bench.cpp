// Recomputing the grey levels of a 4096 x 4096 image (what every threshold change costs)
// against the memory-bandwidth floor: one plain copy of the image's 128 MiB of doubles.
// BM_RefreshAgainstCopy alternates the two in every iteration, so that both see the same
// machine load, and reports refresh time / copy time as "ratio_to_copy"; refreshDisplay
// should stay within 2x of the copy. The other two measure each on its own.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <random>
#include <vector>

#include "display/DisplayBitmap.h"
#include "image/ImageGrid.h"

namespace {

using skyvane::Display;
using skyvane::ImageGrid;

constexpr int Side = 4096;

class Thresholds final : public skyvane::ThresholdSource {
public:
    int LowThreshold() const override { return low; }
    int HighThreshold() const override { return high; }
    int low = 1000;
    int high = 3000;
};

class NoSink final : public skyvane::DisplaySink {
public:
    void bitmapCreated(const skyvane::DisplayBitmap&) override {}
    void bitmapChanged(const skyvane::DisplayBitmap&) override {}
    void bitmapCleared() override {}
};

// A sky-like image: background near 1500 with noise and a spread of brighter values, so
// that the grey levels are neither all black nor all white.
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

// Seconds per memcpy of the image, measured once and shared by the ratio.
double copySeconds = 0.0;

void BM_CopyImageDoubles(benchmark::State& state)
{
    const ImageGrid& image = TestImage();
    const std::size_t bytes = static_cast<std::size_t>(image.pixelCount()) * sizeof(double);
    std::vector<double> target(static_cast<std::size_t>(image.pixelCount()));
    std::memcpy(target.data(), image.data(), bytes); // fault the pages in first
    double total = 0.0;
    std::int64_t runs = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        std::memcpy(target.data(), image.data(), bytes);
        benchmark::ClobberMemory();
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++runs;
    }
    copySeconds = total / static_cast<double>(runs);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes));
}

void BM_RefreshDisplay(benchmark::State& state)
{
    const ImageGrid& image = TestImage();
    Thresholds thresholds;
    NoSink sink;
    Display display(thresholds, sink);
    display.buildDisplay(image);
    double total = 0.0;
    std::int64_t runs = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        display.refreshDisplay(image);
        benchmark::DoNotOptimize(display.bitmap().rows.data());
        benchmark::ClobberMemory();
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++runs;
        // Alternate between the picture and its negative, as Invert does.
        std::swap(thresholds.low, thresholds.high);
    }
    const double seconds = total / static_cast<double>(runs);
    state.SetBytesProcessed(state.iterations() * image.pixelCount() * static_cast<std::int64_t>(sizeof(double)));
    if (copySeconds > 0.0)
        state.counters["ratio_to_copy_run"] = seconds / copySeconds;
}

void BM_RefreshAgainstCopy(benchmark::State& state)
{
    const ImageGrid& image = TestImage();
    const std::size_t bytes = static_cast<std::size_t>(image.pixelCount()) * sizeof(double);
    std::vector<double> target(static_cast<std::size_t>(image.pixelCount()));
    std::memcpy(target.data(), image.data(), bytes);
    Thresholds thresholds;
    NoSink sink;
    Display display(thresholds, sink);
    display.buildDisplay(image);
    double copyTotal = 0.0;
    double refreshTotal = 0.0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        std::memcpy(target.data(), image.data(), bytes);
        benchmark::ClobberMemory();
        const auto middle = std::chrono::steady_clock::now();
        display.refreshDisplay(image);
        benchmark::DoNotOptimize(display.bitmap().rows.data());
        benchmark::ClobberMemory();
        const auto end = std::chrono::steady_clock::now();
        copyTotal += std::chrono::duration<double>(middle - start).count();
        const double refresh = std::chrono::duration<double>(end - middle).count();
        refreshTotal += refresh;
        state.SetIterationTime(refresh);
        std::swap(thresholds.low, thresholds.high);
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["copy_ms"] = 1000.0 * copyTotal / runs;
    state.counters["refresh_ms"] = 1000.0 * refreshTotal / runs;
    state.counters["ratio_to_copy"] = refreshTotal / copyTotal;
}

// Wall-clock time: the refresh uses several threads, so CPU time would overstate it.
BENCHMARK(BM_CopyImageDoubles)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RefreshDisplay)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RefreshAgainstCopy)->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace
