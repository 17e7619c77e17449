// Image statistics against plain loops over the same pixels, measured in the same run.
// Compare ImageMinMax with PlainSumPass, ImageMeanSigma with TwoPlainSumPasses and
// ImageMedian with NthElementOnCopy (copy of the pixels + std::nth_element, the plain way
// to the same figure; ImageMedian selects on the values' bits without a copy).
#include "processing/Statistics.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr int kSide = 4096;

const skyvane::ImageGrid& randomImage()
{
    static const skyvane::ImageGrid grid = [] {
        skyvane::ImageGrid g;
        g.resize(kSide, kSide);
        std::mt19937_64 random(12345);
        std::uniform_real_distribution<double> value(0.0, 65535.0);
        for (std::int64_t i = 0; i < g.pixelCount(); ++i) {
            g.data()[i] = value(random);
        }
        return g;
    }();
    return grid;
}

double plainSum(const double* v, std::int64_t n)
{
    double sum = 0.0;
    for (std::int64_t i = 0; i < n; ++i) {
        sum += v[i];
    }
    return sum;
}

void PlainSumPass(benchmark::State& state)
{
    const auto& grid = randomImage();
    for (auto _ : state) {
        benchmark::DoNotOptimize(plainSum(grid.data(), grid.pixelCount()));
    }
}
BENCHMARK(PlainSumPass)->Unit(benchmark::kMillisecond)->UseRealTime();

void TwoPlainSumPasses(benchmark::State& state)
{
    const auto& grid = randomImage();
    for (auto _ : state) {
        benchmark::DoNotOptimize(plainSum(grid.data(), grid.pixelCount()));
        benchmark::ClobberMemory();
        benchmark::DoNotOptimize(plainSum(grid.data(), grid.pixelCount()));
    }
}
BENCHMARK(TwoPlainSumPasses)->Unit(benchmark::kMillisecond)->UseRealTime();

void ImageMinMax(benchmark::State& state)
{
    const auto& grid = randomImage();
    for (auto _ : state) {
        benchmark::DoNotOptimize(skyvane::ImageMinMax(grid));
    }
}
BENCHMARK(ImageMinMax)->Unit(benchmark::kMillisecond)->UseRealTime();

void ImageMeanSigma(benchmark::State& state)
{
    const auto& grid = randomImage();
    for (auto _ : state) {
        benchmark::DoNotOptimize(skyvane::ImageMeanSigma(grid));
    }
}
BENCHMARK(ImageMeanSigma)->Unit(benchmark::kMillisecond)->UseRealTime();

void NthElementOnCopy(benchmark::State& state)
{
    const auto& grid = randomImage();
    const std::int64_t n = grid.pixelCount();
    for (auto _ : state) {
        std::unique_ptr<double[]> copy(new double[static_cast<std::size_t>(n)]);
        std::copy(grid.data(), grid.data() + n, copy.get());
        std::nth_element(copy.get(), copy.get() + n / 2, copy.get() + n);
        benchmark::DoNotOptimize(copy[static_cast<std::size_t>(n / 2)]);
    }
}
BENCHMARK(NthElementOnCopy)->Unit(benchmark::kMillisecond)->UseRealTime();

void ImageMedian(benchmark::State& state)
{
    const auto& grid = randomImage();
    for (auto _ : state) {
        benchmark::DoNotOptimize(skyvane::ImageMedian(grid));
    }
}
BENCHMARK(ImageMedian)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
