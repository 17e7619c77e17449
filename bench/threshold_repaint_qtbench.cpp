// What moving a threshold costs in the desktop program, against the core's recomputation
// of the grey levels alone, on a 4096 x 4096 Image A.
//
// A threshold change travels: Thresholds window edit (or slider) -> redraw command ->
// refreshDisplay + repaintDisplay -> the main window turns the rows into its platform
// picture -> one paint of the visible client area (here 1600 x 1000, rendered into an
// image as the window system's backing store would receive it). The reference is
// Display::refreshDisplay on the same pixels with no window behind it.
//
// Each benchmark alternates the reference and the measured path in every iteration, so
// both see the same machine load, and reports measured / reference as "ratio". The
// breakdown benchmarks time the pieces of the path one by one.

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
#include <QSlider>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "QtBenchSupport.h"

#include "display/DisplayBitmap.h"
#include "gui/MainWindow.h"
#include "gui/ThresholdsWindow.h"

namespace {

using namespace skyvane;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int Side = 4096;
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

// The program with a sky-like 4096 x 4096 Image A on display (background near 1500 with
// noise, so the grey levels are neither all black nor all white), its client area
// 1600 x 1000, and a core Display of its own over the same pixels for the reference.
struct Program {
    fs::path folder;
    NoDialogs dialogs;
    CountingFeedback messages;
    std::unique_ptr<MainWindow> window;
    Thresholds referenceThresholds;
    NoSink referenceSink;
    std::unique_ptr<skyvane::Display> reference;
    QImage client; // where one paint of the visible client area goes

    Program()
    {
        folder = fs::temp_directory_path() / ("skyvane_repaint_qtbench_" + std::to_string(::getpid()));
        window = bench::ShowProgram(folder, dialogs, messages, ClientWidth, ClientHeight);
        QWidget* view = window->displayView();

        AppContext& context = window->context();
        ImageGrid& grid = context.imageA.grid;
        grid.resize(Side, Side);
        std::mt19937_64 random(42);
        std::normal_distribution<double> noise(1500.0, 600.0);
        double* p = grid.data();
        for (std::int64_t i = 0; i < grid.pixelCount(); ++i)
            p[i] = noise(random);
        context.display.buildDisplay(grid);
        context.display.paintDisplay();
        window->thresholdsWindow()->autoThresholds();
        QApplication::processEvents();

        reference = std::make_unique<skyvane::Display>(referenceThresholds, referenceSink);
        reference->buildDisplay(grid);
        client = QImage(view->size(), QImage::Format_RGB32);
    }

    ~Program()
    {
        window.reset();
        std::error_code ec;
        fs::remove_all(folder, ec);
    }

    const ImageGrid& image() { return window->context().imageA.grid; }
    QWidget* view() { return window->displayView(); }

    // The reference: the grey levels recomputed, nothing else. Thresholds alternate as the
    // program's do, so that no step can reuse the previous result.
    double timeReference(int step)
    {
        referenceThresholds.low = (step & 1) ? 1200 : 1000;
        const auto start = Clock::now();
        reference->refreshDisplay(image());
        benchmark::DoNotOptimize(reference->bitmap().rows.data());
        benchmark::ClobberMemory();
        return Seconds(start, Clock::now());
    }

    // One paint of the visible client area, as the window system asks for it.
    void paintClient()
    {
        view()->render(&client);
        benchmark::DoNotOptimize(client.constBits());
    }

    // Runs the update that the redraw scheduled, outside the timed part, so that the next
    // step starts with nothing pending.
    void settle() { QApplication::processEvents(); }
};

// Made in main() after the QApplication and gone before it.
std::unique_ptr<Program> theProgram;

Program& TheProgram()
{
    if (!theProgram)
        theProgram = std::make_unique<Program>();
    return *theProgram;
}

// Low threshold typed into its edit (one redraw command), then one paint.
void BM_EditChangeAgainstRefresh(benchmark::State& state)
{
    Program& program = TheProgram();
    QLineEdit* edit = program.window->thresholdsWindow()->lowEdit();
    const QString values[2] = {QStringLiteral("1000"), QStringLiteral("1200")};
    double referenceTotal = 0.0, programTotal = 0.0;
    int step = 0;
    for (auto _ : state) {
        referenceTotal += program.timeReference(step);
        const auto start = Clock::now();
        edit->setText(values[step & 1]);
        program.paintClient();
        const double seconds = Seconds(start, Clock::now());
        programTotal += seconds;
        state.SetIterationTime(seconds);
        program.settle();
        if (program.window->thresholdsWindow()->LowThreshold() != values[step & 1].toInt()) {
            state.SkipWithError("the typed threshold did not reach the slider");
            break;
        }
        ++step;
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["refresh_ms"] = 1000.0 * referenceTotal / runs;
    state.counters["program_ms"] = 1000.0 * programTotal / runs;
    state.counters["ratio"] = programTotal / referenceTotal;
}

// One keyboard step of the low slider: the window writes both edits, so the program
// re-renders twice, as its rules say; the ratio is still per step against one refresh.
void BM_SliderStepAgainstRefresh(benchmark::State& state)
{
    Program& program = TheProgram();
    QSlider* slider = program.window->thresholdsWindow()->lowSlider();
    double referenceTotal = 0.0, programTotal = 0.0;
    int step = 0;
    for (auto _ : state) {
        referenceTotal += program.timeReference(step);
        const auto start = Clock::now();
        slider->triggerAction((step & 1) ? QAbstractSlider::SliderPageStepSub : QAbstractSlider::SliderPageStepAdd);
        program.paintClient();
        const double seconds = Seconds(start, Clock::now());
        programTotal += seconds;
        state.SetIterationTime(seconds);
        program.settle();
        ++step;
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["refresh_ms"] = 1000.0 * referenceTotal / runs;
    state.counters["program_ms"] = 1000.0 * programTotal / runs;
    state.counters["ratio"] = programTotal / referenceTotal;
}

// The pieces of the path, each timed in the same iteration: the core refresh of the
// program's own display (no sink work), repaintDisplay (which hands the rows to the main
// window, where they become the platform picture), and the paint.
void BM_Breakdown(benchmark::State& state)
{
    Program& program = TheProgram();
    AppContext& context = program.window->context();
    double referenceTotal = 0.0, refreshTotal = 0.0, convertTotal = 0.0, paintTotal = 0.0;
    int step = 0;
    for (auto _ : state) {
        referenceTotal += program.timeReference(step);
        const auto t0 = Clock::now();
        context.display.refreshDisplay(context.imageA.grid);
        const auto t1 = Clock::now();
        context.display.repaintDisplay();
        const auto t2 = Clock::now();
        program.paintClient();
        const auto t3 = Clock::now();
        refreshTotal += Seconds(t0, t1);
        convertTotal += Seconds(t1, t2);
        paintTotal += Seconds(t2, t3);
        state.SetIterationTime(Seconds(t0, t3));
        program.settle();
        ++step;
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["reference_ms"] = 1000.0 * referenceTotal / runs;
    state.counters["refresh_ms"] = 1000.0 * refreshTotal / runs;
    state.counters["repaint_convert_ms"] = 1000.0 * convertTotal / runs;
    state.counters["paint_ms"] = 1000.0 * paintTotal / runs;
    state.counters["client_w"] = program.client.width();
    state.counters["client_h"] = program.client.height();
}

// Wall-clock time throughout: the refresh and the conversion use several threads.
BENCHMARK(BM_EditChangeAgainstRefresh)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_SliderStepAgainstRefresh)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_Breakdown)->Unit(benchmark::kMillisecond)->UseManualTime();

} // namespace

int main(int argc, char** argv)
{
    return skyvane::bench::RunBenchmarks(argc, argv, [] { theProgram.reset(); });
}
