// Loading a 4096 x 4096 unsigned 16-bit FITS image (BITPIX 16, BZERO 32768) into an image
// record, against the floor: one CFITSIO read of all its pixels as doubles into a flat
// row-major buffer that is already allocated. The record is column-major, so loading also
// transposes; the ratio loadFits / reference is printed at the end.
//   build-*/bench/fits_bench --benchmark_min_time=0.5

#include <benchmark/benchmark.h>

#include <fitsio.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "image/FitsReader.h"
#include "image/ImageRecord.h"

namespace {

constexpr int Side = 4096;

// The test image, written once into a folder of its own that is removed at exit.
struct TestImage {
    TestImage()
    {
        char pattern[] = "/tmp/skyvane-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            std::abort();
        folder = pattern;
        path = folder + "/frame.fit";
        int status = 0;
        fitsfile* file = nullptr;
        long axes[2] = {Side, Side};
        fits_create_file(&file, ("!" + path).c_str(), &status);
        fits_create_img(file, USHORT_IMG, 2, axes, &status); // BITPIX 16, BZERO 32768
        std::vector<unsigned short> row(Side);
        for (int y = 0; y < Side && status == 0; ++y) {
            for (int x = 0; x < Side; ++x)
                row[static_cast<std::size_t>(x)] = static_cast<unsigned short>((x * 7 + y * 13 + (x * y) % 251) * 3 % 65536);
            long first[2] = {1, y + 1};
            fits_write_pix(file, TUSHORT, first, Side, row.data(), &status);
        }
        fits_close_file(file, &status);
        if (status != 0) {
            fits_report_error(stderr, status);
            std::abort();
        }
    }
    ~TestImage()
    {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
    std::string folder;
    std::string path;
};

const TestImage& Image()
{
    static TestImage image;
    return image;
}

void BM_CfitsioReadAll(benchmark::State& state)
{
    const std::string& path = Image().path;
    std::vector<double> pixels(static_cast<std::size_t>(Side) * Side);
    for (auto _ : state) {
        int status = 0;
        fitsfile* file = nullptr;
        fits_open_file(&file, path.c_str(), READONLY, &status);
        long first[2] = {1, 1};
        fits_read_pix(file, TDOUBLE, first, static_cast<LONGLONG>(pixels.size()), nullptr, pixels.data(), nullptr, &status);
        fits_close_file(file, &status);
        if (status != 0)
            state.SkipWithError("CFITSIO read failed");
        benchmark::DoNotOptimize(pixels.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(pixels.size()) * 8);
}
BENCHMARK(BM_CfitsioReadAll)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// The same with a buffer allocated for each read, as a program reading one file does.
void BM_CfitsioReadAllFresh(benchmark::State& state)
{
    const std::string& path = Image().path;
    for (auto _ : state) {
        std::vector<double> pixels(static_cast<std::size_t>(Side) * Side);
        int status = 0;
        fitsfile* file = nullptr;
        fits_open_file(&file, path.c_str(), READONLY, &status);
        long first[2] = {1, 1};
        fits_read_pix(file, TDOUBLE, first, static_cast<LONGLONG>(pixels.size()), nullptr, pixels.data(), nullptr, &status);
        fits_close_file(file, &status);
        if (status != 0)
            state.SkipWithError("CFITSIO read failed");
        benchmark::DoNotOptimize(pixels.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t{Side} * Side * 8);
}
BENCHMARK(BM_CfitsioReadAllFresh)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// Reloading a record that holds an image of the same size (its block is reused), as
// loading one operand after another into Image B does. Loaded once before timing.
void BM_LoadFits(benchmark::State& state)
{
    const std::string& path = Image().path;
    static skyvane::ImageRecord record;
    if (!skyvane::loadFits(record, path).loaded())
        state.SkipWithError("loadFits failed");
    for (auto _ : state) {
        if (!skyvane::loadFits(record, path).loaded())
            state.SkipWithError("loadFits failed");
        benchmark::DoNotOptimize(record.grid.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * record.grid.pixelCount() * 8);
}
BENCHMARK(BM_LoadFits)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// Clearing the record first, as opening a file for display does: a new block each time.
void BM_LoadFitsFresh(benchmark::State& state)
{
    const std::string& path = Image().path;
    skyvane::ImageRecord record;
    for (auto _ : state) {
        record.clear();
        if (!skyvane::loadFits(record, path).loaded())
            state.SkipWithError("loadFits failed");
        benchmark::DoNotOptimize(record.grid.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * record.grid.pixelCount() * 8);
}
BENCHMARK(BM_LoadFitsFresh)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// Collects the mean real time of each benchmark to print the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            Sum& sum = sums[run.run_name.function_name];
            sum.time += run.GetAdjustedRealTime();
            sum.count += 1;
        }
    }
    struct Sum {
        double time = 0;
        int count = 0;
    };
    std::map<std::string, Sum> sums;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    Image();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto ratio = [&reporter](const char* what, const char* loadName, const char* referenceName) {
        const auto load = reporter.sums.find(loadName);
        const auto reference = reporter.sums.find(referenceName);
        if (reference == reporter.sums.end() || load == reporter.sums.end())
            return;
        const double l = load->second.time / load->second.count;
        const double r = reference->second.time / reference->second.count;
        std::printf("%s: loadFits %.3f ms / CFITSIO read of all pixels %.3f ms = %.3f\n", what, l, r, l / r);
    };
    ratio("block reused", "BM_LoadFits", "BM_CfitsioReadAll");
    ratio("new block", "BM_LoadFitsFresh", "BM_CfitsioReadAllFresh");
    benchmark::Shutdown();
    return 0;
}
