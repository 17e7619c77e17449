// The "stat" command and the batch tool's opening sequence on one 4096 x 4096 16-bit
// file, against their parts measured alone in the same run:
//   LoadFits            reading the file into Image A
//   StatisticsAlone     ImageMinMax + ImageMeanSigma + ImageMedian, one after the other
//   MedianAlone         ImageMedian, as "stat", Auto and the batch tool use it
//   StatCommand         ExecuteCommand("stat"), reply included
//   OpenSequence        the opening sequence of both programs: load, then the picture
//                       built beside Auto's median, then painted (Auto's redraws wait
//                       for the picture's next use).
//   OpenSequenceAndStat OpenSequence followed by "stat"
// The file is SKYVANE_STAT_FILE when set, otherwise one written once into the temporary
// folder (sky of 1000 with deterministic noise and a few bright spots, BITPIX 16 with
// BZERO 32768).
#include <benchmark/benchmark.h>

#include <fitsio.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "command/Interpreter.h"
#include "context/AppContext.h"
#include "image/FitsReader.h"
#include "processing/Statistics.h"
#include "workbench/Workbench.h"

namespace {

constexpr int kSide = 4096;

class SilentMessages final : public skyvane::Feedback {
public:
    void showError(const std::string&) override { ++count; }
    int count = 0;
};

std::string WriteSample()
{
    const std::string path = (std::filesystem::temp_directory_path() / "skyvane-stat-bench-4096.fit").string();
    if (std::filesystem::exists(path))
        return path;
    std::vector<std::uint16_t> pixels(static_cast<std::size_t>(kSide) * kSide);
    std::mt19937 random(2024);
    std::normal_distribution<double> noise(0.0, 30.0);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        double v = 1000.0 + noise(random);
        if (i % 9973 == 0)
            v = 65535.0;
        pixels[i] = static_cast<std::uint16_t>(v < 0 ? 0 : v);
    }
    const std::string temporary = path + ".part";
    const std::string name = "!" + temporary;
    int status = 0;
    fitsfile* file = nullptr;
    long axes[2] = {kSide, kSide};
    fits_create_file(&file, name.c_str(), &status);
    fits_create_img(file, USHORT_IMG, 2, axes, &status);
    long first[2] = {1, 1};
    fits_write_pix(file, TUSHORT, first, static_cast<LONGLONG>(pixels.size()), pixels.data(), &status);
    fits_close_file(file, &status);
    if (status != 0) {
        fits_report_error(stderr, status);
        std::abort();
    }
    std::filesystem::rename(temporary, path);
    return path;
}

const std::string& SamplePath()
{
    static const std::string path = [] {
        const char* given = std::getenv("SKYVANE_STAT_FILE");
        return given != nullptr && *given != '\0' ? std::string(given) : WriteSample();
    }();
    return path;
}

// The batch tool's state: its redraws are done only when the picture is needed (an
// export), so never here.
struct OpenedImage {
    SilentMessages messages;
    skyvane::NullDisplaySink sink;
    skyvane::NullStatusSink status;
    skyvane::Workbench workbench{messages, sink, status};
    skyvane::AppContext& context = workbench.context();

    void open(const std::string& path) { workbench.openImage(path); }
};

void LoadFits(benchmark::State& state)
{
    SilentMessages messages;
    for (auto _ : state) {
        skyvane::ImageRecord record;
        benchmark::DoNotOptimize(skyvane::loadFits(record, SamplePath()).loaded());
    }
}
BENCHMARK(LoadFits)->Unit(benchmark::kMillisecond)->UseRealTime();

void StatisticsAlone(benchmark::State& state)
{
    SilentMessages messages;
    skyvane::ImageRecord record;
    (void)skyvane::loadFits(record, SamplePath());
    for (auto _ : state) {
        benchmark::DoNotOptimize(skyvane::ImageMinMax(record.grid));
        benchmark::DoNotOptimize(skyvane::ImageMeanSigma(record.grid));
        benchmark::DoNotOptimize(skyvane::ImageMedian(record.grid));
    }
}
BENCHMARK(StatisticsAlone)->Unit(benchmark::kMillisecond)->UseRealTime();

void MedianAlone(benchmark::State& state)
{
    SilentMessages messages;
    skyvane::ImageRecord record;
    (void)skyvane::loadFits(record, SamplePath());
    for (auto _ : state)
        benchmark::DoNotOptimize(skyvane::ImageMedian(record.grid));
}
BENCHMARK(MedianAlone)->Unit(benchmark::kMillisecond)->UseRealTime();

void StatCommand(benchmark::State& state)
{
    OpenedImage opened;
    opened.open(SamplePath());
    for (auto _ : state)
        benchmark::DoNotOptimize(skyvane::ExecuteCommand(opened.context, "stat"));
}
BENCHMARK(StatCommand)->Unit(benchmark::kMillisecond)->UseRealTime();

void OpenSequence(benchmark::State& state)
{
    for (auto _ : state) {
        OpenedImage opened;
        opened.open(SamplePath());
        benchmark::DoNotOptimize(opened.context.display.bitmap().rows.data());
    }
}
BENCHMARK(OpenSequence)->Unit(benchmark::kMillisecond)->UseRealTime();

void OpenSequenceAndStat(benchmark::State& state)
{
    for (auto _ : state) {
        OpenedImage opened;
        opened.open(SamplePath());
        benchmark::DoNotOptimize(skyvane::ExecuteCommand(opened.context, "stat"));
    }
}
BENCHMARK(OpenSequenceAndStat)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
