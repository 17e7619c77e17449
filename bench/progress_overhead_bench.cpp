// What telling progress and looking for the user's wish to stop costs a co-addition: the
// same runs with a feedback that does nothing and with one that does what the desktop
// program's does on the working thread (the latest text and fraction kept under a lock, a
// flag that lets one update wait at a time, the wish to stop read from an atomic flag),
// taking turns in one benchmark so that both meet the same machine. Counters:
//   ratio      total time reporting / total time quiet
//   ratio_min  fastest reporting run / fastest quiet run (less sensitive to other load)
//   calls      progress reports and looks per run; ns_per_call what one costs alone;
//   bound_pct  calls x ns_per_call against the quiet run, in percent
// Data: 300 frames of 64 x 64 (many frames, little work each: the hardest case for the
// overhead) written to a temporary folder, and the frames of SKYVANE_COADD_DATA (default
// /work/benchdata/S, 20 frames of 2048 x 2048) when that folder holds any.
//
// Keep runs short on a shared machine: --benchmark_filter and --benchmark_min_time.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include <fitsio.h>

#include "base/Feedback.h"
#include "command/Messages.h"
#include "processing/Coaddition.h"

namespace {

using namespace skyvane;
using Clock = std::chrono::steady_clock;

class QuietFeedback final : public Feedback {
public:
    void showError(const std::string&) override { std::abort(); }
};

class ReportingFeedback final : public Feedback {
public:
    void showError(const std::string&) override { std::abort(); }
    void showProgress(const std::string& text, double fraction) override
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            text_ = text;
            fraction_ = fraction;
        }
        if (!posted_.exchange(true))
            posted_.store(false); // the GUI thread would take it and clear the flag later
        ++calls;
    }
    bool cancelRequested() const override
    {
        ++calls;
        return cancel_.load(std::memory_order_relaxed);
    }
    mutable long calls = 0;

private:
    std::mutex lock_;
    std::string text_;
    double fraction_ = 0.0;
    std::atomic<bool> posted_{false};
    std::atomic<bool> cancel_{false};
};

std::vector<std::string> FramePaths(const std::filesystem::path& folder)
{
    std::vector<std::string> paths;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.path().extension() == ".fit")
            paths.push_back(entry.path().string());
    std::sort(paths.begin(), paths.end());
    return paths;
}

// A temporary folder that goes with the program.
struct ScratchFolder {
    ScratchFolder() : path(std::filesystem::temp_directory_path() / ("skyvane_progress_bench_" + std::to_string(::getpid())))
    {
        std::filesystem::create_directories(path);
    }
    ~ScratchFolder()
    {
        std::error_code error;
        std::filesystem::remove_all(path, error);
    }
    std::filesystem::path path;
};

const std::vector<std::string>& SmallFrames()
{
    static const ScratchFolder scratch;
    static const std::vector<std::string> paths = [] {
        const std::filesystem::path& folder = scratch.path;
        std::vector<short> pixels(64 * 64);
        for (int k = 0; k < 300; ++k) {
            for (std::size_t i = 0; i < pixels.size(); ++i)
                pixels[i] = static_cast<short>((i * 7 + static_cast<std::size_t>(k) * 13) % 1000);
            char name[32];
            std::snprintf(name, sizeof name, "f%03d.fit", k);
            std::string path = "!"; // the library's mark for "replace"
            path += (folder / name).string();
            int status = 0;
            fitsfile* file = nullptr;
            long axes[2] = {64, 64};
            fits_create_file(&file, path.c_str(), &status);
            fits_create_img(file, SHORT_IMG, 2, axes, &status);
            fits_write_img(file, TSHORT, 1, static_cast<LONGLONG>(pixels.size()), pixels.data(), &status);
            fits_close_file(file, &status);
            if (status != 0)
                std::abort();
        }
        return FramePaths(folder);
    }();
    return paths;
}

const std::vector<std::string>& LargeFrames()
{
    static const std::vector<std::string> paths = [] {
        const char* chosen = std::getenv("SKYVANE_COADD_DATA");
        return FramePaths(chosen != nullptr ? chosen : "/work/benchdata/S");
    }();
    return paths;
}

double RunSeconds(const std::vector<std::string>& paths, Feedback& feedback)
{
    CoaddOptions options;
    options.parameters = {CoaddMethod::Median, 0.0, 0};
    CoaddMessages messages(feedback);
    const auto start = Clock::now();
    const CoaddResult result = CombineFrames(paths, options, messages);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (result.status != CoaddStatus::Done)
        std::abort();
    return seconds;
}

// What one report and one look cost alone.
double NanosecondsPerCall()
{
    ReportingFeedback feedback;
    const std::string text = "Combining rows 1025 to 1536 of 4096";
    constexpr int n = 1000000;
    const auto start = Clock::now();
    for (int i = 0; i < n; ++i) {
        feedback.showProgress(text, i * 1e-6);
        benchmark::DoNotOptimize(feedback.cancelRequested());
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / (2.0 * n);
}

void Compare(benchmark::State& state, const std::vector<std::string>& paths)
{
    if (paths.empty()) {
        state.SkipWithError("no frames");
        return;
    }
    double quiet = 0.0;
    double reporting = 0.0;
    double quietMin = std::numeric_limits<double>::max();
    double reportingMin = std::numeric_limits<double>::max();
    long calls = 0;
    for (auto _ : state) {
        QuietFeedback q;
        const double a = RunSeconds(paths, q);
        ReportingFeedback r;
        const double b = RunSeconds(paths, r);
        quiet += a;
        reporting += b;
        quietMin = std::min(quietMin, a);
        reportingMin = std::min(reportingMin, b);
        calls = r.calls;
        state.SetIterationTime(a + b);
    }
    const double perCall = NanosecondsPerCall();
    state.counters["ratio"] = reporting / quiet;
    state.counters["ratio_min"] = reportingMin / quietMin;
    state.counters["calls"] = static_cast<double>(calls);
    state.counters["ns_per_call"] = perCall;
    state.counters["bound_pct"] = 100.0 * static_cast<double>(calls) * perCall * 1e-9 / quietMin;
    state.SetLabel(std::to_string(paths.size()) + " frames, median");
}

void BM_ProgressOverheadSmallFrames(benchmark::State& state)
{
    Compare(state, SmallFrames());
}

void BM_ProgressOverheadLargeFrames(benchmark::State& state)
{
    Compare(state, LargeFrames());
}

BENCHMARK(BM_ProgressOverheadSmallFrames)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_ProgressOverheadLargeFrames)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace
