// What the Thresholds window's histogram adds to a threshold change, on a 6248 x 4176
// floating-point Image A (a 0..1 stack in single precision) in the desktop program.
//
// A threshold change: the low edit's text set (the model applies it and asks for a
// redraw), the picture recomputed and one paint of the 1600 x 1000 client area. The
// histogram then repaints its markers over the columns it drew once for the image. Each
// iteration times both; "ratio" is (change + histogram) / change (goal: at most 1.1).
// BM_HistogramCounts is what the histogram costs once per image: the counts taken and
// the columns drawn at its first paint after Image A changed.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "QtBenchSupport.h"

#include "gui/HistogramView.h"
#include "gui/MainWindow.h"
#include "gui/ThresholdsWindow.h"
#include "workbench/Workbench.h"

namespace {

using namespace skyvane;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int Width = 6248;
constexpr int Height = 4176;
constexpr int ClientWidth = 1600;
constexpr int ClientHeight = 1000;

using bench::CountingFeedback;
using bench::NoDialogs;

double Seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

struct Program {
    fs::path folder;
    NoDialogs dialogs;
    CountingFeedback messages;
    std::unique_ptr<MainWindow> window;
    QImage client;

    Program()
    {
        folder = fs::temp_directory_path() / ("skyvane_histogram_qtbench_" + std::to_string(::getpid()));
        window = bench::ShowProgram(folder, dialogs, messages, ClientWidth, ClientHeight);
        QWidget* view = window->displayView();

        AppContext& context = window->context();
        ImageGrid& grid = context.imageA.grid;
        grid.resize(Width, Height);
        std::mt19937_64 random(26);
        std::normal_distribution<double> sky(0.082, 0.004);
        std::uniform_real_distribution<double> star(0.1, 1.0);
        double* p = grid.data();
        for (std::int64_t i = 0; i < grid.pixelCount(); ++i)
            p[i] = static_cast<float>(i % 4099 == 0 ? star(random) : sky(random));
        context.display.buildDisplay(grid);
        context.display.paintDisplay();
        window->workbench().imageChanged();
        QApplication::processEvents();
        client = QImage(view->size(), QImage::Format_RGB32);
    }

    ~Program()
    {
        window.reset();
        std::error_code ec;
        fs::remove_all(folder, ec);
    }

    HistogramView* histogram() { return window->thresholdsWindow()->histogram(); }

    void paintClient()
    {
        window->displayView()->render(&client);
        benchmark::DoNotOptimize(client.constBits());
    }
};

std::unique_ptr<Program> theProgram;

Program& TheProgram()
{
    if (!theProgram)
        theProgram = std::make_unique<Program>();
    return *theProgram;
}

void BM_ThresholdChangeWithHistogram(benchmark::State& state)
{
    Program& program = TheProgram();
    HistogramView* histogram = program.histogram();
    if (histogram == nullptr) {
        state.SkipWithError("the Thresholds window has no histogram");
        return;
    }
    histogram->repaint(); // the counts, once for the image
    QLineEdit* edit = program.window->thresholdsWindow()->lowEdit();
    const QString values[2] = {QStringLiteral("0.07"), QStringLiteral("0.075")};
    double changeTotal = 0.0, histogramTotal = 0.0;
    int step = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        edit->setText(values[step & 1]);
        program.paintClient();
        const auto t1 = Clock::now();
        histogram->repaint();
        const auto t2 = Clock::now();
        changeTotal += Seconds(t0, t1);
        histogramTotal += Seconds(t1, t2);
        state.SetIterationTime(Seconds(t0, t2));
        QApplication::processEvents();
        ++step;
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["change_ms"] = 1000.0 * changeTotal / runs;
    state.counters["histogram_ms"] = 1000.0 * histogramTotal / runs;
    state.counters["ratio"] = (changeTotal + histogramTotal) / changeTotal;
}

void BM_HistogramCounts(benchmark::State& state)
{
    Program& program = TheProgram();
    HistogramView* histogram = program.histogram();
    if (histogram == nullptr) {
        state.SkipWithError("the Thresholds window has no histogram");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        program.window->workbench().imageChanged();
        state.ResumeTiming();
        histogram->repaint();
    }
}

BENCHMARK(BM_ThresholdChangeWithHistogram)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);
BENCHMARK(BM_HistogramCounts)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    return skyvane::bench::RunBenchmarks(argc, argv, [] { theProgram.reset(); });
}
