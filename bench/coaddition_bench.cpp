// Co-addition from files to a saved result, against the straightforward way of doing it
// measured in the same run: every frame loaded whole into one stack, then the one-pixel
// rules pixel by pixel (one thread).
//
// Frames: the folder named by SKYVANE_COADD_DATA (default /work/benchdata/S, 20 frames of
// 2048 x 2048); when it holds no "*.fit" file, 20 synthetic frames of that size are written
// to a temporary folder first. Each banded run also reports, as peak_MiB, the peak
// resident memory of one whole combination run in a child process of its own.
//
// Keep runs short on a shared machine: --benchmark_min_time=0.1s or --benchmark_filter.

#include <benchmark/benchmark.h>

#include <fitsio.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/Feedback.h"
#include "command/Interpreter.h"
#include "context/AppContext.h"
#include "display/DisplayBitmap.h"
#include "image/FitsReader.h"
#include "image/FitsWriter.h"
#include "processing/Coaddition.h"

namespace {

using namespace skyvane;

class CountingFeedback final : public Feedback {
public:
    void showError(const std::string&) override { ++count; }
    int count = 0;
};

class FixedThresholds final : public ThresholdSource {
public:
    int LowThreshold() const override { return 0; }
    int HighThreshold() const override { return 32767; }
};

// An application context with quiet sinks and the data folder as its [WORK] list.
struct BenchContext {
    explicit BenchContext(const std::string& folder) { context.lists.CreateStartupList(folder); }
    CountingFeedback messages;
    FixedThresholds thresholds;
    NullDisplaySink display;
    NullStatusSink status;
    AppContext context{messages, thresholds, display, status};
};

std::filesystem::path OutputFolder()
{
    static const std::filesystem::path folder = [] {
        std::filesystem::path p = std::filesystem::temp_directory_path() / ("skyvane_coadd_bench_" + std::to_string(::getpid()));
        std::filesystem::create_directories(p);
        return p;
    }();
    return folder;
}

// 16-bit frames with BZERO 32768 like the reference set: sky, noise and a few hot pixels.
void WriteSyntheticFrames(const std::filesystem::path& folder, int count, int size)
{
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 30.0);
    std::vector<unsigned short> row(static_cast<std::size_t>(size));
    for (int k = 0; k < count; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "frame_%03d.fit", k + 1);
        std::string path = "!";
        path += (folder / name).string();
        int status = 0;
        fitsfile* file = nullptr;
        long axes[2] = {size, size};
        fits_create_file(&file, path.c_str(), &status);
        fits_create_img(file, USHORT_IMG, 2, axes, &status);
        for (int y = 0; y < size; ++y) {
            for (int x = 0; x < size; ++x) {
                double v = 1000.0 + 0.01 * x + noise(rng);
                if (rng() % 5000 == 0)
                    v = 60000.0;
                row[static_cast<std::size_t>(x)] = static_cast<unsigned short>(std::clamp(v, 0.0, 65535.0));
            }
            long first[2] = {1, y + 1};
            fits_write_pix(file, TUSHORT, first, size, row.data(), &status);
        }
        fits_close_file(file, &status);
        if (status != 0)
            std::abort();
    }
}

const std::string& DataFolder()
{
    static const std::string folder = [] {
        const char* chosen = std::getenv("SKYVANE_COADD_DATA");
        std::filesystem::path p = chosen != nullptr ? chosen : "/work/benchdata/S";
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(p, error)) {
            if (entry.path().extension() == ".fit")
                return p.string();
        }
        p = OutputFolder() / "frames";
        std::filesystem::create_directories(p);
        WriteSyntheticFrames(p, 20, 2048);
        return p.string();
    }();
    return folder;
}

CoaddParameters ParametersFor(int method)
{
    switch (method) {
    case 0:
        return {CoaddMethod::Median, 0.0, 0};
    case 1:
        return {CoaddMethod::Mean, 0.0, 0};
    case 2:
        return {CoaddMethod::SigmaClipping, 3.0, 2};
    default:
        return {CoaddMethod::MinMaxRejection, 0.0, 0};
    }
}

const char* MethodName(int method)
{
    static const char* names[] = {"median", "mean", "sigma clipping 3/2", "min-max rejection"};
    return names[method];
}

// The command that co-adds the [WORK] list by a method.
std::string CommandFor(const CoaddParameters& parameters)
{
    switch (parameters.method) {
    case CoaddMethod::Median:
        return "median [WORK]";
    case CoaddMethod::Mean:
        return "mean [WORK]";
    case CoaddMethod::SigmaClipping:
        return "sigmaclip [WORK] 3 2";
    case CoaddMethod::WinsorisedClipping:
        return "winsorclip [WORK] 3 2";
    case CoaddMethod::MinMaxRejection:
        break;
    }
    return "minmaxrej [WORK]";
}

// One whole run as the program does it: the command combines the [WORK] list into Image A
// and shows it; the result is saved.
void RunBanded(const std::string& folder, const CoaddParameters& parameters, const std::string& output)
{
    BenchContext bench(folder);
    const std::string reply = ExecuteCommand(bench.context, CommandFor(parameters));
    if (reply.find("has been calculated") == std::string::npos || bench.messages.count != 0)
        std::abort();
    if (saveFits(bench.context.imageA, output) != FitsError::None)
        std::abort();
}

// Peak resident memory (MiB) of one whole run in a child process.
double ChildPeakMiB(const std::string& folder, const CoaddParameters& parameters, const std::string& output)
{
    const pid_t child = ::fork();
    if (child == 0) {
        RunBanded(folder, parameters, output);
        std::_Exit(0);
    }
    int status = 0;
    struct rusage usage {};
    if (child < 0 || ::wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1.0;
    return static_cast<double>(usage.ru_maxrss) / 1024.0; // ru_maxrss is in KiB
}

void BM_CoaddBanded(benchmark::State& state)
{
    const int method = static_cast<int>(state.range(0));
    const CoaddParameters parameters = ParametersFor(method);
    const std::string& folder = DataFolder();
    const std::string output = (OutputFolder() / "banded.fit").string();
    for (auto _ : state)
        RunBanded(folder, parameters, output);
    state.counters["peak_MiB"] = ChildPeakMiB(folder, parameters, output);
    state.SetLabel(MethodName(method));
}

// The straightforward way: every frame loaded whole, kept as a stack, combined pixel by
// pixel with the one-pixel rules, on one thread.
void BM_CoaddWholeStackReference(benchmark::State& state)
{
    const int method = static_cast<int>(state.range(0));
    const CoaddParameters parameters = ParametersFor(method);
    const std::string& folder = DataFolder();
    const std::string output = (OutputFolder() / "reference.fit").string();
    for (auto _ : state) {
        BenchContext bench(folder);
        const std::vector<std::string> paths = SelectedFilePaths(bench.context.lists, 1);
        const int n = static_cast<int>(paths.size());
        // The stack: the n values of each pixel side by side, pixels column-major.
        ImageRecord frame;
        std::vector<double> stack;
        int width = 0;
        int height = 0;
        const auto at = [&](int x, int y) {
            return (static_cast<std::size_t>(x) * static_cast<std::size_t>(height) + static_cast<std::size_t>(y)) * static_cast<std::size_t>(n);
        };
        for (int k = 0; k < n; ++k) {
            if (!loadFits(frame, paths[static_cast<std::size_t>(k)]).loaded())
                std::abort();
            if (k == 0) {
                width = frame.grid.width();
                height = frame.grid.height();
                stack.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * static_cast<std::size_t>(n));
            }
            for (int x = 0; x < width; ++x)
                for (int y = 0; y < height; ++y)
                    stack[at(x, y) + static_cast<std::size_t>(k)] = frame.grid[x][y];
        }
        ImageRecord& a = bench.context.imageA;
        a.grid.resize(width, height);
        if (readFitsHeaderCards(paths.front(), a.cards) != FitsError::None)
            std::abort();
        std::vector<double> scratch(static_cast<std::size_t>(n));
        std::vector<std::uint8_t> weights(static_cast<std::size_t>(n));
        for (int x = 0; x < width; ++x) {
            for (int y = 0; y < height; ++y) {
                const double* v = stack.data() + at(x, y);
                switch (parameters.method) {
                case CoaddMethod::Median:
                    a.grid[x][y] = MedianPixel(v, n, scratch.data());
                    break;
                case CoaddMethod::Mean:
                    a.grid[x][y] = MeanPixel(v, n);
                    break;
                case CoaddMethod::SigmaClipping:
                    a.grid[x][y] = SigmaClippingPixel(v, n, parameters.kappa, parameters.iterations, weights.data());
                    break;
                case CoaddMethod::MinMaxRejection:
                    a.grid[x][y] = MinMaxRejectionPixel(v, n);
                    break;
                case CoaddMethod::WinsorisedClipping:
                    std::abort(); // not among the methods timed here
                }
            }
        }
        if (saveFits(a, output) != FitsError::None)
            std::abort();
    }
    state.SetLabel(MethodName(method));
}

BENCHMARK(BM_CoaddBanded)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_CoaddWholeStackReference)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace
