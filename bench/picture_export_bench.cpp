// Exporting the picture of a 6248 x 4176 floating-point frame (a current 26-megapixel
// sensor): the bitmap, PNG, JPEG and 16-bit TIFF. BM_PngAgainstBitmap alternates a PNG
// and a bitmap export in every iteration, so that both see the same machine load and disk,
// and reports PNG time / bitmap time as "png_to_bitmap", which should stay within 2x.
// Every export goes through the safe replace, the file's sync to the disk included.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "display/BitmapExport.h"
#include "display/DisplayBitmap.h"
#include "display/PictureExport.h"
#include "image/ImageGrid.h"

namespace {

using skyvane::Display;
using skyvane::ImageGrid;

constexpr int Width = 6248;
constexpr int Height = 4176;

class Thresholds final : public skyvane::ThresholdSource {
public:
    int LowThreshold() const override { return 950; }
    int HighThreshold() const override { return 1400; }
};

class NoSink final : public skyvane::DisplaySink {
public:
    void bitmapCreated(const skyvane::DisplayBitmap&) override {}
    void bitmapChanged(const skyvane::DisplayBitmap&) override {}
    void bitmapCleared() override {}
};

// A night sky: a background near 1000 with noise, stars as small bright spots.
const ImageGrid& Frame()
{
    static ImageGrid image = [] {
        ImageGrid grid;
        grid.resize(Width, Height);
        std::mt19937_64 random(26);
        std::normal_distribution<double> noise(1000.0, 25.0);
        double* p = grid.data();
        for (std::int64_t i = 0; i < grid.pixelCount(); ++i)
            p[i] = noise(random);
        std::uniform_int_distribution<int> column(3, Width - 4);
        std::uniform_int_distribution<int> row(3, Height - 4);
        for (int s = 0; s < 4000; ++s) {
            const int x = column(random);
            const int y = row(random);
            for (int dx = -2; dx <= 2; ++dx)
                for (int dy = -2; dy <= 2; ++dy)
                    grid[x + dx][y + dy] += 20000.0 * std::exp(-(dx * dx + dy * dy) / 2.0);
        }
        return grid;
    }();
    return image;
}

struct Picture {
    Picture()
    {
        display.buildDisplay(Frame());
        display.paintDisplay();
    }
    Thresholds thresholds;
    NoSink sink;
    Display display{thresholds, sink};
};

const skyvane::DisplayBitmap& Bitmap()
{
    static Picture picture;
    return picture.display.bitmap();
}

// Files in the folder the benchmark runs in (the build tree: a real disk, not tmpfs).
std::string Target(const char* name)
{
    return (std::filesystem::current_path() / name).string();
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void BM_PngAgainstBitmap(benchmark::State& state)
{
    const skyvane::DisplayBitmap& bitmap = Bitmap();
    double png = 0.0;
    double bmp = 0.0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (!skyvane::exportPng(bitmap, Target("export_bench.png")))
            state.SkipWithError("PNG export failed");
        png += Seconds(start);
        start = std::chrono::steady_clock::now();
        if (!skyvane::exportBitmap(bitmap, Target("export_bench.bmp")))
            state.SkipWithError("bitmap export failed");
        bmp += Seconds(start);
    }
    state.counters["png_s"] = png / static_cast<double>(state.iterations());
    state.counters["bitmap_s"] = bmp / static_cast<double>(state.iterations());
    state.counters["png_to_bitmap"] = png / bmp;
    state.counters["png_MB"] = static_cast<double>(std::filesystem::file_size(Target("export_bench.png"))) / 1e6;
    std::filesystem::remove(Target("export_bench.png"));
    std::filesystem::remove(Target("export_bench.bmp"));
}

void BM_JpegExport(benchmark::State& state)
{
    const skyvane::DisplayBitmap& bitmap = Bitmap();
    for (auto _ : state)
        if (!skyvane::exportJpeg(bitmap, Target("export_bench.jpg")))
            state.SkipWithError("JPEG export failed");
    std::filesystem::remove(Target("export_bench.jpg"));
}

void BM_Tiff16Export(benchmark::State& state)
{
    const skyvane::PictureMapping mapping{950, 1400, skyvane::TransferFunction::Linear()};
    for (auto _ : state)
        if (!skyvane::exportTiff16(Frame(), mapping, Target("export_bench.tif")))
            state.SkipWithError("TIFF export failed");
    std::filesystem::remove(Target("export_bench.tif"));
}

} // namespace

BENCHMARK(BM_PngAgainstBitmap)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_JpegExport)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Tiff16Export)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
