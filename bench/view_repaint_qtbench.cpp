// What moving the view and spreading the grey levels cost in the desktop program, on a
// 6000 x 4000 Image A shown in a 1600 x 1000 client area.
//
//  - One zoom or pan step (the view changed, then one paint of the whole client area,
//    rendered into an image as the window system's backing store would receive it) against
//    drawing an unscaled 1600 x 1000 QImage into the same kind of image: the least any
//    paint of that area can cost.
//  - A threshold change (typed into the Thresholds window's edit, then one paint) with the
//    Logarithm or Gamma equalisation against the same change with Linear.
//  - A threshold change while zoomed out against the core's refreshDisplay alone.
//
// Each benchmark alternates the reference and the measured path in every iteration, so both
// see the same machine load, and reports measured / reference as "ratio".

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QPainter>

#include <unistd.h>

#include <benchmark/benchmark.h>

#include "QtBenchSupport.h"

#include "display/DisplayBitmap.h"
#include "display/TransferFunction.h"
#include "display/ViewMapping.h"
#include "gui/MainWindow.h"
#include "gui/PictureView.h"
#include "gui/ThresholdsWindow.h"

namespace {

using namespace skyvane;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int ImageWidth = 6000;
constexpr int ImageHeight = 4000;
constexpr int ClientWidth = 1600;
constexpr int ClientHeight = 1000;

using bench::CountingFeedback;
using bench::NoDialogs;

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

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// The program with a sky-like Image A on display (background near 1500 with noise and a
// few hundred stars), its client area 1600 x 1000; an unscaled picture of the client's
// size for the drawing reference, and a core Display over the same pixels for the
// refresh reference.
struct Program {
    fs::path folder;
    NoDialogs dialogs;
    CountingFeedback messages;
    std::unique_ptr<MainWindow> window;
    QImage client;      // where one paint of the client area goes
    QImage unscaled;    // the drawing reference's picture
    Thresholds referenceThresholds;
    NoSink referenceSink;
    std::unique_ptr<skyvane::Display> reference;

    Program()
    {
        folder = fs::temp_directory_path() / ("skyvane_view_qtbench_" + std::to_string(::getpid()));
        window = bench::ShowProgram(folder, dialogs, messages, ClientWidth, ClientHeight);
        QWidget* area = window->displayView();

        AppContext& context = window->context();
        ImageGrid& grid = context.imageA.grid;
        grid.resize(ImageWidth, ImageHeight);
        std::mt19937_64 random(42);
        std::normal_distribution<double> noise(1500.0, 300.0);
        double* p = grid.data();
        for (std::int64_t i = 0; i < grid.pixelCount(); ++i)
            p[i] = noise(random);
        std::uniform_int_distribution<int> column(2, ImageWidth - 3), row(2, ImageHeight - 3);
        for (int star = 0; star < 500; ++star) {
            const int x = column(random), y = row(random);
            for (int dx = -2; dx <= 2; ++dx)
                for (int dy = -2; dy <= 2; ++dy)
                    grid[x + dx][y + dy] += 20000.0 / (1 + dx * dx + dy * dy);
        }
        context.display.buildDisplay(grid);
        context.display.paintDisplay();
        window->thresholdsWindow()->autoThresholds();
        QApplication::processEvents();

        client = QImage(area->size(), QImage::Format_RGB32);
        unscaled = QImage(area->size(), QImage::Format_RGB32);
        unscaled.fill(Qt::gray);
        for (int y = 0; y < unscaled.height(); ++y)
            unscaled.setPixel(y % unscaled.width(), y, qRgb(y % 256, y % 256, y % 256));
        reference = std::make_unique<skyvane::Display>(referenceThresholds, referenceSink);
        reference->buildDisplay(grid);
    }

    ~Program()
    {
        window.reset();
        std::error_code ec;
        fs::remove_all(folder, ec);
    }

    PictureView* view() { return window->pictureView(); }

    // The least a paint of the client area costs: the unscaled picture drawn into it.
    double timeDrawing()
    {
        const auto start = Clock::now();
        {
            QPainter painter(&client);
            painter.drawImage(0, 0, unscaled);
        }
        benchmark::DoNotOptimize(client.constBits());
        benchmark::ClobberMemory();
        return Seconds(start, Clock::now());
    }

    // The grey levels recomputed by the core, nothing else.
    double timeRefresh(int step)
    {
        referenceThresholds.low = (step & 1) ? 1200 : 1000;
        const auto start = Clock::now();
        reference->refreshDisplay(window->context().imageA.grid);
        benchmark::DoNotOptimize(reference->bitmap().rows.data());
        benchmark::ClobberMemory();
        return Seconds(start, Clock::now());
    }

    // One paint of the client area, as the window system asks for it.
    void paintClient()
    {
        view()->render(&client);
        benchmark::DoNotOptimize(client.constBits());
    }

    // A view change and the paint it calls for.
    double timeStep(const ViewMapping& next)
    {
        const auto start = Clock::now();
        view()->setView(next);
        paintClient();
        return Seconds(start, Clock::now());
    }

    // A threshold typed into the low edit and the paint it calls for.
    double timeThresholdChange(int step)
    {
        QLineEdit* edit = window->thresholdsWindow()->lowEdit();
        const auto start = Clock::now();
        edit->setText((step & 1) ? QStringLiteral("1200") : QStringLiteral("1000"));
        paintClient();
        return Seconds(start, Clock::now());
    }

    void settle() { QApplication::processEvents(); }
};

std::unique_ptr<Program> theProgram;

Program& TheProgram()
{
    if (!theProgram)
        theProgram = std::make_unique<Program>();
    return *theProgram;
}

void Report(benchmark::State& state, double referenceTotal, double measuredTotal, const char* referenceName, const char* measuredName)
{
    const double runs = static_cast<double>(state.iterations());
    state.counters[referenceName] = 1000.0 * referenceTotal / runs;
    state.counters[measuredName] = 1000.0 * measuredTotal / runs;
    state.counters["ratio"] = measuredTotal / referenceTotal;
}

// View steps against the unscaled drawing: the two views of a step alternate, so every
// step changes what is shown. Arguments: zoom of the first view, zoom of the second (a
// zoom step about the centre), or the same zoom twice (a pan step of a tenth of the area).
void BM_ViewStepAgainstDrawing(benchmark::State& state)
{
    Program& program = TheProgram();
    PictureView* view = program.view();
    const int from = static_cast<int>(state.range(0));
    const int to = static_cast<int>(state.range(1));
    const std::int64_t cx = view->width() / 2, cy = view->height() / 2;
    // Both views look at the middle of the picture.
    ViewMapping first = ZoomAround(ViewMapping{0, cx - ImageWidth / 2, cy - ImageHeight / 2}, from, cx, cy);
    ViewMapping second = from == to ? ViewMapping{first.zoom, first.offsetX - view->width() / 10, first.offsetY}
                                    : ZoomAround(first, to, cx, cy);
    program.timeStep(first);
    program.timeStep(second); // the 1:1 picture of both views converted before timing
    program.settle();
    double referenceTotal = 0.0, measuredTotal = 0.0;
    int step = 0;
    for (auto _ : state) {
        referenceTotal += program.timeDrawing();
        const double seconds = program.timeStep((step & 1) ? second : first);
        measuredTotal += seconds;
        state.SetIterationTime(seconds);
        program.settle();
        ++step;
    }
    Report(state, referenceTotal, measuredTotal, "draw_ms", "step_ms");
    program.view()->startView();
    program.settle();
}

// A threshold change with Logarithm (0) or Gamma 2.2 (1) against the same change with
// Linear, at 1:1. The function is switched between the two timed parts, outside them.
void BM_EqualisedThresholdChangeAgainstLinear(benchmark::State& state)
{
    Program& program = TheProgram();
    skyvane::Display& display = program.window->context().display;
    const TransferFunction spread = state.range(0) == 0 ? TransferFunction::Logarithm() : TransferFunction::Gamma(2.2);
    double referenceTotal = 0.0, measuredTotal = 0.0;
    int step = 0;
    for (auto _ : state) {
        display.setTransferFunction(TransferFunction::Linear());
        referenceTotal += program.timeThresholdChange(step);
        program.settle();
        display.setTransferFunction(spread);
        const double seconds = program.timeThresholdChange(step + 1);
        measuredTotal += seconds;
        state.SetIterationTime(seconds);
        program.settle();
        step += 2;
    }
    display.setTransferFunction(TransferFunction::Linear());
    Report(state, referenceTotal, measuredTotal, "linear_ms", "equalised_ms");
}

// A threshold change zoomed out to 1:4 (the reductions made as the rows are computed,
// then one paint) against the core's refreshDisplay alone.
void BM_ZoomedThresholdChangeAgainstRefresh(benchmark::State& state)
{
    Program& program = TheProgram();
    program.view()->zoomAbout(-2, QPoint(0, 0));
    program.paintClient();
    program.settle();
    double referenceTotal = 0.0, measuredTotal = 0.0;
    int step = 0;
    for (auto _ : state) {
        referenceTotal += program.timeRefresh(step);
        const double seconds = program.timeThresholdChange(step);
        measuredTotal += seconds;
        state.SetIterationTime(seconds);
        program.settle();
        ++step;
    }
    program.view()->startView();
    program.settle();
    Report(state, referenceTotal, measuredTotal, "refresh_ms", "zoomed_change_ms");
}

// Wall-clock time throughout: the refresh uses several threads.
BENCHMARK(BM_ViewStepAgainstDrawing)
    ->ArgNames({"from", "to"})
    ->Args({0, 0})
    ->Args({-1, -1})
    ->Args({2, 2})
    ->Args({0, -1})
    ->Args({-1, -2})
    ->Args({-4, -5})
    ->Args({0, 1})
    ->Args({1, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(BM_EqualisedThresholdChangeAgainstLinear)->ArgName("gamma")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_ZoomedThresholdChangeAgainstRefresh)->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace

int main(int argc, char** argv)
{
    return skyvane::bench::RunBenchmarks(argc, argv, [] { theProgram.reset(); });
}
