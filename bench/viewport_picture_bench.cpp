// One zoom or pan step: FillViewport drawing a 1600 x 1000 client area of a 6000 x 4000
// picture at every zoom step from 1:32 to 32:1, against a plain copy of a 1600 x 1000 RGB32
// image (what drawing an unscaled image of that size costs at least). Each iteration runs
// both, in alternating order, and moves the view by a few pixels, as a pan does; "ratio" is
// fill time over copy time (goal: at most 1.5).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "display/DisplayBitmap.h"
#include "display/ReducedPicture.h"
#include "display/ViewMapping.h"
#include "display/ViewportPicture.h"
#include "image/ImageGrid.h"

namespace {

using namespace skyvane;
using Clock = std::chrono::steady_clock;

constexpr int FrameWidth = 6000;
constexpr int FrameHeight = 4000;
constexpr int ClientWidth = 1600;
constexpr int ClientHeight = 1000;

class Thresholds final : public ThresholdSource {
public:
    int LowThreshold() const override { return 1000; }
    int HighThreshold() const override { return 3000; }
};

// The picture of a sky-like frame and its reductions, made once.
struct Picture {
    Thresholds thresholds;
    NullDisplaySink sink;
    Display display{thresholds, sink};
    ReducedPicture reduced;

    Picture()
    {
        ImageGrid image;
        image.resize(FrameWidth, FrameHeight);
        std::mt19937_64 random(42);
        std::normal_distribution<double> noise(1500.0, 600.0);
        for (std::int64_t i = 0; i < image.pixelCount(); ++i)
            image.data()[i] = noise(random);
        display.setPictureObserver(&reduced);
        display.buildDisplay(image);
    }
};

const Picture& ThePicture()
{
    static const Picture picture;
    return picture;
}

void BM_FillAgainstCopy(benchmark::State& state)
{
    const Picture& picture = ThePicture();
    const int zoom = static_cast<int>(state.range(0));
    std::vector<std::uint32_t> target(static_cast<std::size_t>(ClientWidth) * ClientHeight);
    std::vector<std::uint32_t> image(target.size(), 0xFF808080u);
    std::vector<std::uint32_t> copy(target.size());
    const Rgb32Image client{target.data(), ClientWidth, ClientHeight, ClientWidth * 4};
    // The middle of the frame in the middle of the client area, then small pan steps.
    const ScreenPoint size = ScaledSize(zoom, FrameWidth, FrameHeight);
    ViewMapping view{zoom, (ClientWidth - size.x) / 2, (ClientHeight - size.y) / 2};
    double fillTotal = 0.0;
    double copyTotal = 0.0;
    bool fillFirst = false;
    int step = 0;
    for (auto _ : state) {
        for (int k = 0; k < 2; ++k) {
            const auto start = Clock::now();
            if ((k == 0) == fillFirst) {
                FillViewport(picture.display.bitmap(), picture.reduced, view, client);
                benchmark::DoNotOptimize(target.data());
                benchmark::ClobberMemory();
                const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
                fillTotal += seconds;
                state.SetIterationTime(seconds);
            } else {
                std::memcpy(copy.data(), image.data(), image.size() * sizeof(std::uint32_t));
                benchmark::DoNotOptimize(copy.data());
                benchmark::ClobberMemory();
                copyTotal += std::chrono::duration<double>(Clock::now() - start).count();
            }
        }
        fillFirst = !fillFirst;
        ++step;
        view.offsetX += step % 2 == 0 ? 7 : -5;
        view.offsetY += step % 3 == 0 ? 3 : -1;
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["copy_ms"] = 1000.0 * copyTotal / runs;
    state.counters["fill_ms"] = 1000.0 * fillTotal / runs;
    state.counters["ratio"] = fillTotal / copyTotal;
    state.SetLabel("zoom " + ZoomLabel(zoom));
}

BENCHMARK(BM_FillAgainstCopy)->DenseRange(ZoomMinimum, ZoomMaximum)->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace
