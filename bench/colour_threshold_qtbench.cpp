// A threshold change in the desktop program on a colour Image A against the same change on
// a grey Image A of the same size (4096 x 4096), the whole way: the low threshold typed into
// its edit (one redraw command), the picture recomputed and handed to the main window, and
// one paint of the visible client area (1600 x 1000, rendered into an image as the window
// system's backing store would receive it). Two programs, one per image, alternate in every
// iteration so that both see the same machine load; "ratio" is colour time / grey time (to
// stay within 2). Whole numbers (a camera's frames) and values with fractions (after a
// division by a flat); at the start view and with the whole picture fitted to the window
// (zoomed out, so that reduced pictures follow the change).

#include <chrono>
#include <cmath>
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

#include "gui/MainWindow.h"
#include "gui/PictureView.h"
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

// One program with a sky-like Image A of `planes` planes on display.
struct Program {
    fs::path folder;
    NoDialogs dialogs;
    CountingFeedback messages;
    std::unique_ptr<MainWindow> window;
    QImage client;

    Program(int planes, bool fractions, bool zoomedOut)
    {
        folder = fs::temp_directory_path() / ("skyvane_colour_qtbench_" + std::to_string(::getpid()) + "_" + std::to_string(planes));
        window = bench::ShowProgram(folder, dialogs, messages, ClientWidth, ClientHeight);
        QWidget* view = window->displayView();

        AppContext& context = window->context();
        ImageGrid& grid = context.imageA.grid;
        grid.resize(Side, Side, planes);
        std::mt19937_64 random(42);
        std::normal_distribution<double> noise(1500.0, 600.0);
        double* p = grid.data();
        for (std::int64_t i = 0; i < grid.valueCount(); ++i)
            p[i] = fractions ? noise(random) : std::round(noise(random));
        context.display.buildDisplay(grid);
        context.display.paintDisplay();
        window->thresholdsWindow()->autoThresholds();
        if (zoomedOut)
            static_cast<PictureView*>(window->displayView())->fit();
        QApplication::processEvents();
        client = QImage(view->size(), QImage::Format_RGB32);
    }

    ~Program()
    {
        window.reset();
        std::error_code ec;
        fs::remove_all(folder, ec);
    }

    double change(int step)
    {
        QLineEdit* edit = window->thresholdsWindow()->lowEdit();
        const auto start = Clock::now();
        edit->setText((step & 1) ? QStringLiteral("1200") : QStringLiteral("1000"));
        window->displayView()->render(&client);
        benchmark::DoNotOptimize(client.constBits());
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        QApplication::processEvents();
        return seconds;
    }
};

void BM_EditChangeColourAgainstGrey(benchmark::State& state)
{
    const bool fractions = state.range(0) != 0;
    const bool zoomedOut = state.range(1) != 0;
    Program grey(1, fractions, zoomedOut);
    Program colour(3, fractions, zoomedOut);
    double greySeconds = 0.0;
    double colourSeconds = 0.0;
    int step = 0;
    for (auto _ : state) {
        greySeconds += grey.change(step);
        colourSeconds += colour.change(step);
        ++step;
    }
    state.counters["grey_ms"] = 1e3 * greySeconds / step;
    state.counters["colour_ms"] = 1e3 * colourSeconds / step;
    state.counters["ratio"] = colourSeconds / greySeconds;
}
BENCHMARK(BM_EditChangeColourAgainstGrey)
    ->ArgNames({"fractions", "zoomed_out"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    return skyvane::bench::RunBenchmarks(argc, argv);
}
