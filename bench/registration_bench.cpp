// Registration of a night's drifting frames: the shifts measured by one star and by
// cross-correlation against the true shifts, the sharpness of the co-added result, and the
// time and memory of registering 20 frames of 2048 x 2048.
//
// Frames: the folder named by SKYVANE_NIGHT_DATA (default /work/benchdata/night), as written
// by `gen_data.py DIR --night` (frame_NNN.fit, dark.fit, flat.fit, truth/shifts.csv);
// bench/registration_night.sh writes it when missing and runs this program. Calibration:
// (frame - dark) / (flat / mean of flat). Without the folder every benchmark is skipped.
//
// BM_RegistrationAccuracy prints a report and gives, as counters, the RMS per axis (pixels,
// frames 2..N against the truth) of both methods on calibrated and on raw frames, and the
// mean FWHM of the 20 brightest unsaturated stars of frame 1 in frame 1, in the median of
// the registered frames and in the median of the unregistered ones. One star: the
// brightest unsaturated isolated star of frame 1, picked automatically (the report adds
// the next nine). SKYVANE_FINE_SIZE and SKYVANE_CLIP set the correlation's fineSize and
// clipSigma, for trying settings.
//
// Time, with the calibrated frames stored as 32-bit float files (CPU: of all threads):
//  - BM_MeasureAndResampleInMemory: the 20 frames already in memory; the reference
//    prepared, every frame measured and resampled, two worker threads;
//  - BM_AutoRegister: the same from the files, read by each worker (argument 1: and the
//    results written as 32-bit floats); BM_ReadFloor, the reference in the same run, only
//    reads (and writes) the same frames the same way. peak_MiB: peak resident memory of
//    one such run in a process of its own;
//  - the single steps on one frame: BM_PrepareReference, BM_MeasureShift, BM_Resample (1 and
//    2 threads) and, for scale, BM_FrameMedian (ImageMedian of the frame).
// Keep runs short on a shared machine: --benchmark_filter, --benchmark_min_time=0.2s.

#include <benchmark/benchmark.h>

#include <fitsio.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "image/FitsReader.h"
#include "image/ImageRecord.h"
#include "processing/CrossCorrelation.h"
#include "processing/Resampling.h"
#include "processing/StarCentroid.h"
#include "processing/Statistics.h"

extern "C" char** environ;

namespace {

using namespace skyvane;

struct TrueShift {
    double dx = 0.0;
    double dy = 0.0;
};

struct Night {
    bool present = false;
    std::filesystem::path folder;
    std::vector<std::string> frames;
    std::vector<TrueShift> truth;
    ImageGrid dark;
    ImageGrid flat; // normalised to mean 1
};

void Load(const std::string& path, ImageGrid& grid)
{
    ImageRecord record;
    if (!loadFits(record, path).loaded())
        std::abort();
    grid = std::move(record.grid);
}

const Night& TheNight()
{
    static const Night night = [] {
        Night n;
        const char* chosen = std::getenv("SKYVANE_NIGHT_DATA");
        n.folder = chosen != nullptr ? chosen : "/work/benchdata/night";
        std::ifstream csv(n.folder / "truth" / "shifts.csv");
        std::string line;
        std::getline(csv, line);
        while (std::getline(csv, line)) {
            int frame = 0;
            TrueShift s;
            if (std::sscanf(line.c_str(), "%d,%lf,%lf", &frame, &s.dx, &s.dy) == 3)
                n.truth.push_back(s);
        }
        for (std::size_t k = 1; k <= n.truth.size(); ++k) {
            char name[32];
            std::snprintf(name, sizeof name, "frame_%03zu.fit", k);
            n.frames.push_back((n.folder / name).string());
            if (!std::filesystem::exists(n.frames.back()))
                return Night{};
        }
        if (n.frames.size() < 2 || !std::filesystem::exists(n.folder / "dark.fit") || !std::filesystem::exists(n.folder / "flat.fit"))
            return Night{};
        Load((n.folder / "dark.fit").string(), n.dark);
        Load((n.folder / "flat.fit").string(), n.flat);
        double sum = 0.0;
        for (int x = 0; x < n.flat.width(); ++x)
            for (int y = 0; y < n.flat.height(); ++y)
                sum += n.flat[x][y];
        const double mean = sum / static_cast<double>(n.flat.pixelCount());
        for (int x = 0; x < n.flat.width(); ++x)
            for (int y = 0; y < n.flat.height(); ++y)
                n.flat[x][y] /= mean;
        n.present = true;
        return n;
    }();
    return night;
}

void Calibrate(const ImageGrid& raw, const Night& night, ImageGrid& out)
{
    out.resize(raw.width(), raw.height());
    for (int x = 0; x < raw.width(); ++x) {
        for (int y = 0; y < raw.height(); ++y) {
            const double f = night.flat[x][y];
            out[x][y] = f > 0.0 ? (raw[x][y] - night.dark[x][y]) / f : 0.0;
        }
    }
}

// Writes a grid as 32-bit floats (BITPIX -32), rows gathered from the columns in blocks.
void WriteFloat(const std::string& path, const ImageGrid& grid)
{
    const int width = grid.width();
    const int height = grid.height();
    int status = 0;
    fitsfile* file = nullptr;
    long axes[2] = {width, height};
    const std::string name = "!" + path;
    fits_create_file(&file, name.c_str(), &status);
    fits_create_img(file, FLOAT_IMG, 2, axes, &status);
    constexpr int Block = 32;
    std::vector<float> rows(static_cast<std::size_t>(width) * Block);
    for (int y0 = 0; y0 < height && status == 0; y0 += Block) {
        const int n = std::min(Block, height - y0);
        for (int x = 0; x < width; ++x) {
            const double* c = grid[x] + y0;
            for (int r = 0; r < n; ++r)
                rows[static_cast<std::size_t>(r) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] = static_cast<float>(c[r]);
        }
        fits_write_img(file, TFLOAT, static_cast<LONGLONG>(y0) * width + 1, static_cast<LONGLONG>(n) * width, rows.data(), &status);
    }
    fits_close_file(file, &status);
    if (status != 0)
        std::abort();
}

// A temporary folder of this run, removed at exit (by the process that made it).
struct WorkDirectory {
    WorkDirectory()
    {
        path = std::filesystem::temp_directory_path() / ("skyvane_registration_bench_" + std::to_string(::getpid()));
        std::filesystem::create_directories(path);
    }
    ~WorkDirectory()
    {
        std::error_code error;
        if (owner == ::getpid())
            std::filesystem::remove_all(path, error);
    }
    std::filesystem::path path;
    pid_t owner = ::getpid();
};

const std::filesystem::path& WorkFolder()
{
    static const WorkDirectory folder;
    return folder.path;
}

// ---------------------------------------------------------------------------------------
// Stars of frame 1 for the one-star method and the FWHM figure.

struct Star {
    double x = 0.0;
    double y = 0.0;
    double peak = 0.0;
};

// Bright, unsaturated (raw peak below 50000), isolated (no other detection within 24
// pixels) stars at least `margin` pixels inside the frame, brightest first.
std::vector<Star> PickStars(const ImageGrid& calibrated, const ImageGrid& raw, int margin, std::size_t wanted)
{
    // Detections: pixels that are the highest within 4 pixels and well above the sky.
    std::vector<double> sample;
    for (int x = 0; x < calibrated.width(); x += 7)
        for (int y = 0; y < calibrated.height(); y += 7)
            sample.push_back(calibrated[x][y]);
    std::nth_element(sample.begin(), sample.begin() + static_cast<std::ptrdiff_t>(sample.size() / 2), sample.end());
    const double sky = sample[sample.size() / 2];
    std::vector<Star> detections;
    for (int x = 4; x < calibrated.width() - 4; ++x) {
        for (int y = 4; y < calibrated.height() - 4; ++y) {
            const double v = calibrated[x][y];
            if (v < sky + 1000.0)
                continue;
            bool highest = true;
            for (int i = -4; i <= 4 && highest; ++i)
                for (int j = -4; j <= 4; ++j)
                    if ((i != 0 || j != 0) && calibrated[x + i][y + j] >= v) {
                        highest = false;
                        break;
                    }
            if (highest)
                detections.push_back({static_cast<double>(x), static_cast<double>(y), v});
        }
    }
    std::vector<Star> stars;
    for (const Star& d : detections) {
        if (d.x < margin || d.y < margin || d.x >= calibrated.width() - margin || d.y >= calibrated.height() - margin)
            continue;
        bool isolated = true;
        for (const Star& e : detections)
            if (&e != &d && std::hypot(e.x - d.x, e.y - d.y) < 24.0 && e.peak > 0.05 * d.peak)
                isolated = false;
        double rawPeak = 0.0;
        for (int i = -3; i <= 3; ++i)
            for (int j = -3; j <= 3; ++j)
                rawPeak = std::max(rawPeak, raw[static_cast<int>(d.x) + i][static_cast<int>(d.y) + j]);
        if (!isolated || rawPeak >= 50000.0)
            continue;
        StarMeasurement m = MeasureStar(calibrated, d.x, d.y);
        if (m.status != StarStatus::Found || std::hypot(m.x - d.x, m.y - d.y) > 2.0)
            continue; // a cosmic-ray hit, not a star
        stars.push_back({m.x, m.y, m.peak});
    }
    std::sort(stars.begin(), stars.end(), [](const Star& a, const Star& b) { return a.peak > b.peak; });
    if (stars.size() > wanted)
        stars.resize(wanted);
    return stars;
}

constexpr int StampHalf = 20;

// A (2h+1)^2 cut of the grid around (x, y), row-major per star, for the median stacks.
void CutStamp(const ImageGrid& grid, const Star& s, std::vector<double>& out)
{
    const int cx = static_cast<int>(std::lround(s.x));
    const int cy = static_cast<int>(std::lround(s.y));
    for (int i = -StampHalf; i <= StampHalf; ++i)
        for (int j = -StampHalf; j <= StampHalf; ++j)
            out.push_back(grid[cx + i][cy + j]);
}

struct Sharpness {
    double fwhm = 0.0;      // mean over the stars found and fitted
    double amplitude = 0.0; // mean fitted peak above the background, same stars
    int stars = 0;
};

// The stars' FWHM in the median of stamps: stamps[k] holds frame k's stamps of all stars
// one after another. A star counts when MeasureFwhm finds it (Found) and fits it.
Sharpness MedianStampFwhm(const std::vector<std::vector<double>>& stamps, const std::vector<Star>& stars)
{
    const int side = 2 * StampHalf + 1;
    const std::size_t per = static_cast<std::size_t>(side) * side;
    Sharpness result;
    std::vector<double> values(stamps.size());
    for (std::size_t s = 0; s < stars.size(); ++s) {
        ImageGrid g;
        g.resize(side, side);
        for (int i = 0; i < side; ++i) {
            for (int j = 0; j < side; ++j) {
                for (std::size_t k = 0; k < stamps.size(); ++k)
                    values[k] = stamps[k][s * per + static_cast<std::size_t>(i) * side + static_cast<std::size_t>(j)];
                std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
                double m = values[values.size() / 2];
                if (values.size() % 2 == 0)
                    m = 0.5 * (m + *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2)));
                g[i][j] = m;
            }
        }
        const Star& star = stars[s];
        const double fx = star.x - std::round(star.x) + StampHalf;
        const double fy = star.y - std::round(star.y) + StampHalf;
        StarSettings settings;
        settings.searchRadius = 3;
        const StarProfile p = MeasureFwhm(g, fx, fy, settings);
        if (p.fitted && p.status == StarStatus::Found) {
            result.fwhm += p.fwhm;
            result.amplitude += p.amplitude;
            ++result.stars;
        }
    }
    if (result.stars > 0) {
        result.fwhm /= result.stars;
        result.amplitude /= result.stars;
    }
    return result;
}

struct Rms {
    double sx = 0.0;
    double sy = 0.0;
    int n = 0;
    int missed = 0;
    void add(double ex, double ey)
    {
        sx += ex * ex;
        sy += ey * ey;
        ++n;
    }
    double x() const { return n > 0 ? std::sqrt(sx / n) : NAN; }
    double y() const { return n > 0 ? std::sqrt(sy / n) : NAN; }
};

const char* StatusName(StarStatus s)
{
    switch (s) {
    case StarStatus::Found:
        return "found";
    case StarStatus::Saturated:
        return "saturated";
    case StarStatus::TooFaint:
        return "too faint";
    case StarStatus::Lost:
        return "lost";
    case StarStatus::Mismatch:
        return "mismatch";
    }
    return "?";
}

void BM_RegistrationAccuracy(benchmark::State& state)
{
    const Night& night = TheNight();
    if (!night.present) {
        state.SkipWithError("no night frames: run bench/registration_night.sh or set SKYVANE_NIGHT_DATA");
        return;
    }
    const std::size_t n = night.frames.size();
    for (auto _ : state) {
        ImageGrid raw1, cal1;
        Load(night.frames[0], raw1);
        Calibrate(raw1, night, cal1);
        const std::vector<Star> tracked = PickStars(cal1, raw1, 100, 10);
        const std::vector<Star> fwhmStars = PickStars(cal1, raw1, StampHalf + 20, 20);
        if (tracked.empty() || fwhmStars.empty()) {
            state.SkipWithError("no usable star in frame 1");
            return;
        }
        StarSettings rawSettings;
        rawSettings.saturation = 65000.0;
        StarSettings calSettings;
        calSettings.saturation = 50000.0;

        CorrelationSettings cs;
        if (const char* e = std::getenv("SKYVANE_FINE_SIZE"))
            cs.fineSize = std::atoi(e);
        if (const char* e = std::getenv("SKYVANE_CLIP"))
            cs.clipSigma = std::atof(e);
        const CrossCorrelator correlateCal(cal1, cs);
        const CrossCorrelator correlateRaw(raw1, cs);
        std::vector<StarTracker> calTrackers(tracked.size(), StarTracker(calSettings));
        std::vector<StarTracker> rawTrackers(tracked.size(), StarTracker(rawSettings));
        for (std::size_t s = 0; s < tracked.size(); ++s) {
            if (calTrackers[s].start(cal1, tracked[s].x, tracked[s].y).status != StarStatus::Found)
                std::fprintf(stderr, "star %zu does not start on the calibrated frame\n", s);
            if (rawTrackers[s].start(raw1, tracked[s].x, tracked[s].y).status != StarStatus::Found)
                std::fprintf(stderr, "star %zu does not start on the raw frame\n", s);
        }
        Rms corrCal, corrRaw;
        std::vector<Rms> starCal(tracked.size()), starRaw(tracked.size());
        std::vector<std::vector<double>> stampsCorr(n), stampsStar(n), stampsNone(n);
        double correlateSeconds = 0.0;
        double trackSeconds = 0.0;
        int trackCount = 0;
        ImageGrid raw, cal, shifted;
        std::map<std::string, int> lostReasons;
        for (std::size_t k = 0; k < n; ++k) {
            if (k == 0) {
                raw = std::move(raw1);
                cal = std::move(cal1);
            } else {
                Load(night.frames[k], raw);
                Calibrate(raw, night, cal);
            }
            const TrueShift& t = night.truth[k];
            const auto t0 = std::chrono::steady_clock::now();
            const CorrelationShift c = correlateCal.measure(cal);
            correlateSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            const CorrelationShift cr = correlateRaw.measure(raw);
            if (k > 0) {
                if (c.status == ShiftStatus::Measured)
                    corrCal.add(c.dx - t.dx, c.dy - t.dy);
                else
                    ++corrCal.missed;
                if (cr.status == ShiftStatus::Measured)
                    corrRaw.add(cr.dx - t.dx, cr.dy - t.dy);
                else
                    ++corrRaw.missed;
            }
            StarShift first;
            for (std::size_t s = 0; s < tracked.size(); ++s) {
                if (k == 0)
                    continue;
                const auto t1 = std::chrono::steady_clock::now();
                const StarShift a = calTrackers[s].track(cal);
                trackSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();
                ++trackCount;
                const StarShift b = rawTrackers[s].track(raw);
                if (s == 0)
                    first = a;
                if (a.status == StarStatus::Found)
                    starCal[s].add(a.dx - t.dx, a.dy - t.dy);
                else {
                    ++starCal[s].missed;
                    ++lostReasons[std::string("calibrated ") + StatusName(a.status)];
                }
                if (b.status == StarStatus::Found)
                    starRaw[s].add(b.dx - t.dx, b.dy - t.dy);
                else {
                    ++starRaw[s].missed;
                    ++lostReasons[std::string("raw ") + StatusName(b.status)];
                }
            }
            for (const Star& s : fwhmStars)
                CutStamp(cal, s, stampsNone[k]);
            ResampleToReference(cal, c.dx, c.dy, shifted, 2);
            for (const Star& s : fwhmStars)
                CutStamp(shifted, s, stampsCorr[k]);
            if (k == 0 || first.status == StarStatus::Found) {
                ResampleToReference(cal, first.dx, first.dy, shifted, 2);
                for (const Star& s : fwhmStars)
                    CutStamp(shifted, s, stampsStar[k]);
            }
            std::printf("frame %2zu  true %8.3f %8.3f  correlation %8.3f %8.3f (contrast %5.1f)  star %8.3f %8.3f %s\n", k + 1, t.dx, t.dy, c.dx, c.dy, c.contrast,
                        k == 0 ? 0.0 : first.dx, k == 0 ? 0.0 : first.dy, k == 0 ? "" : StatusName(first.status));
        }
        std::erase_if(stampsStar, [](const std::vector<double>& v) { return v.empty(); });

        const std::vector<std::vector<double>> frame1(1, stampsNone[0]);
        const Sharpness sharp1 = MedianStampFwhm(frame1, fwhmStars);
        const Sharpness sharpCorr = MedianStampFwhm(stampsCorr, fwhmStars);
        const Sharpness sharpStar = MedianStampFwhm(stampsStar, fwhmStars);
        const Sharpness sharpNone = MedianStampFwhm(stampsNone, fwhmStars);

        // The one-star figures: the brightest star picked, plus the spread over the others.
        std::vector<double> perStar;
        for (const Rms& r : starCal)
            perStar.push_back(std::max(r.x(), r.y()));
        std::printf("\nOne star (brightest unsaturated isolated star of frame 1 at %.1f, %.1f, peak %.0f):\n", tracked[0].x, tracked[0].y, tracked[0].peak);
        std::printf("  calibrated RMS x %.4f y %.4f px (%d frames, %d left out)\n", starCal[0].x(), starCal[0].y(), starCal[0].n, starCal[0].missed);
        std::printf("  raw        RMS x %.4f y %.4f px (%d frames, %d left out)\n", starRaw[0].x(), starRaw[0].y(), starRaw[0].n, starRaw[0].missed);
        std::printf("  the %zu brightest such stars, calibrated, worse axis RMS per star:", tracked.size());
        for (std::size_t s = 0; s < tracked.size(); ++s)
            std::printf(" %.3f", perStar[s]);
        std::printf("\n  raw, worse axis RMS per star:");
        for (const Rms& r : starRaw)
            std::printf(" %.3f", std::max(r.x(), r.y()));
        std::printf("\n");
        for (const auto& [reason, count] : lostReasons)
            std::printf("  left out (all %zu stars): %s %d\n", tracked.size(), reason.c_str(), count);
        std::printf("Cross-correlation:\n");
        std::printf("  calibrated RMS x %.4f y %.4f px (%d frames, %d failed)\n", corrCal.x(), corrCal.y(), corrCal.n, corrCal.missed);
        std::printf("  raw        RMS x %.4f y %.4f px (%d frames, %d failed)\n", corrRaw.x(), corrRaw.y(), corrRaw.n, corrRaw.missed);
        std::printf("  measure time per calibrated frame %.1f ms (one thread); one-star track %.2f ms per frame\n", 1e3 * correlateSeconds / static_cast<double>(n), 1e3 * trackSeconds / std::max(1, trackCount));
        std::printf("Mean FWHM and peak (Gaussian fit) of the %zu brightest unsaturated stars of frame 1:\n", fwhmStars.size());
        auto line = [&](const char* what, const Sharpness& x) {
            std::printf("  %-36s FWHM %.3f px (ratio %.3f), peak %.0f (ratio %.3f), %d of %zu stars found\n", what, x.fwhm, x.fwhm / sharp1.fwhm, x.amplitude, x.amplitude / sharp1.amplitude, x.stars,
                        fwhmStars.size());
        };
        line("frame 1 (calibrated)", sharp1);
        line("median, correlation-registered", sharpCorr);
        line("median, star-registered", sharpStar);
        line("median, unregistered", sharpNone);
        std::fflush(stdout);

        state.counters["corr_cal_x"] = corrCal.x();
        state.counters["corr_cal_y"] = corrCal.y();
        state.counters["corr_raw_x"] = corrRaw.x();
        state.counters["corr_raw_y"] = corrRaw.y();
        state.counters["star_cal_x"] = starCal[0].x();
        state.counters["star_cal_y"] = starCal[0].y();
        state.counters["star_raw_x"] = starRaw[0].x();
        state.counters["star_raw_y"] = starRaw[0].y();
        state.counters["fwhm_frame1"] = sharp1.fwhm;
        state.counters["fwhm_registered"] = sharpCorr.fwhm;
        state.counters["fwhm_unregistered"] = sharpNone.fwhm;
    }
}

// ---------------------------------------------------------------------------------------
// Timing: the calibrated frames as 32-bit float files, registered on two threads.

const std::vector<std::string>& CalibratedFrames()
{
    static const std::vector<std::string> paths = [] {
        std::vector<std::string> p;
        const Night& night = TheNight();
        const std::filesystem::path folder = WorkFolder() / "calibrated";
        std::filesystem::create_directories(folder);
        ImageGrid raw, cal;
        for (std::size_t k = 0; k < night.frames.size(); ++k) {
            Load(night.frames[k], raw);
            Calibrate(raw, night, cal);
            p.push_back((folder / std::filesystem::path(night.frames[k]).filename()).string());
            WriteFloat(p.back(), cal);
        }
        return p;
    }();
    return paths;
}

// Registers the frames against the first, results into folder `out`: two workers take
// frames in turn.
void RegisterFrames(const std::vector<std::string>& paths, const std::filesystem::path& out, bool write, bool process)
{
    ImageGrid reference;
    Load(paths[0], reference);
    std::unique_ptr<CrossCorrelator> correlator;
    if (process)
        correlator = std::make_unique<CrossCorrelator>(reference);
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        // One record per worker, loaded again for every frame: its block is kept.
        ImageRecord record;
            ImageGrid shifted;
        for (;;) {
            const std::size_t k = next.fetch_add(1);
            if (k >= paths.size())
                return;
            const ImageGrid* result = &record.grid;
            if (k == 0 && !process) {
                result = &reference;
            } else if (k == 0) {
                ResampleToReference(reference, 0.0, 0.0, shifted, 1);
                result = &shifted;
            } else {
                if (!loadFits(record, paths[k]).loaded())
                    std::abort();
                if (process) {
                    const CorrelationShift c = correlator->measure(record.grid);
                    if (c.status != ShiftStatus::Measured)
                        std::abort();
                    ResampleToReference(record.grid, c.dx, c.dy, shifted, 1);
                    result = &shifted;
                }
            }
            if (write)
                WriteFloat((out / std::filesystem::path(paths[k]).filename()).string(), *result);
        }
    };
    std::thread helper(work);
    work();
    helper.join();
}

std::vector<std::string> FitFiles(const std::filesystem::path& folder)
{
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() == ".fit")
            paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Peak resident memory of this process since it started (VmHWM), in KiB; -1 if unknown.
long PeakKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        long kib = 0;
        if (std::sscanf(line.c_str(), "VmHWM: %ld kB", &kib) == 1)
            return kib;
    }
    return -1;
}

// The child process of ChildPeakMiB starts this program again with SKYVANE_REGISTRATION_RUN
// set ("<process 0/1><write 0/1> <input folder>"): it registers, writes its peak resident
// memory to the file named by SKYVANE_REGISTRATION_PEAK and exits, and nothing else runs,
// so that the peak is that of the registration alone.
const int childRun = [] {
    const char* run = std::getenv("SKYVANE_REGISTRATION_RUN");
    if (run == nullptr)
        return 0;
    const std::string text = run;
    if (text.size() < 4)
        std::_Exit(2);
    const bool process = text[0] == '1';
    const bool write = text[1] == '1';
    const std::filesystem::path input = text.substr(3);
    const std::filesystem::path out = input.parent_path() / ("registered_child_" + std::to_string(::getpid()));
    std::filesystem::create_directories(out);
    RegisterFrames(FitFiles(input), out, write, process);
    std::error_code error;
    std::filesystem::remove_all(out, error);
    if (const char* peak = std::getenv("SKYVANE_REGISTRATION_PEAK")) {
        std::ofstream file(peak);
        file << PeakKiB() << "\n";
    }
    std::_Exit(0);
}();

// Peak resident memory (MiB) of one registration in a process of its own. The child reads
// its own peak: the peak that wait4 reports would include this process's size, which a
// child carries from fork or spawn into its new program.
double ChildPeakMiB(const std::filesystem::path& input, bool write, bool process)
{
    const std::string peakFile = (WorkFolder() / "peak.txt").string();
    std::vector<std::string> variables;
    for (char** e = environ; *e != nullptr; ++e) {
        if (std::strncmp(*e, "SKYVANE_REGISTRATION_", 21) != 0)
            variables.emplace_back(*e);
    }
    variables.push_back(std::string("SKYVANE_REGISTRATION_RUN=") + (process ? "1" : "0") + (write ? "1" : "0") + " " + input.string());
    variables.push_back("SKYVANE_REGISTRATION_PEAK=" + peakFile);
    std::vector<char*> envp;
    for (std::string& v : variables)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    char self[] = "/proc/self/exe";
    char* argv[] = {self, nullptr};
    pid_t child = 0;
    if (::posix_spawn(&child, self, nullptr, nullptr, argv, envp.data()) != 0)
        return -1.0;
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1.0;
    std::ifstream file(peakFile);
    long kib = -1;
    file >> kib;
    return kib > 0 ? static_cast<double>(kib) / 1024.0 : -1.0;
}

void RunTiming(benchmark::State& state, bool process)
{
    if (!TheNight().present) {
        state.SkipWithError("no night frames: run bench/registration_night.sh or set SKYVANE_NIGHT_DATA");
        return;
    }
    const std::vector<std::string>& paths = CalibratedFrames();
    const bool write = state.range(0) != 0;
    const std::filesystem::path out = WorkFolder() / "registered";
    std::filesystem::create_directories(out);
    for (auto _ : state)
        RegisterFrames(paths, out, write, process);
    state.counters["frames"] = static_cast<double>(paths.size());
    state.counters["peak_MiB"] = ChildPeakMiB(std::filesystem::path(paths[0]).parent_path(), write, process);
    state.SetLabel(write ? "with writing" : "without writing");
}

void BM_AutoRegister(benchmark::State& state)
{
    RunTiming(state, true);
}

void BM_ReadFloor(benchmark::State& state)
{
    RunTiming(state, false);
}

// Single operations on one 2048 x 2048 calibrated frame.
struct TwoFrames {
    ImageGrid reference;
    ImageGrid frame;
};

const TwoFrames& SampleFrames()
{
    static const TwoFrames frames = [] {
        TwoFrames f;
        const std::vector<std::string>& paths = CalibratedFrames();
        Load(paths[0], f.reference);
        Load(paths[paths.size() / 2], f.frame);
        return f;
    }();
    return frames;
}

void BM_PrepareReference(benchmark::State& state)
{
    if (!TheNight().present) {
        state.SkipWithError("no night frames");
        return;
    }
    const TwoFrames& f = SampleFrames();
    for (auto _ : state) {
        CrossCorrelator correlator(f.reference);
        benchmark::DoNotOptimize(&correlator);
    }
}

void BM_MeasureShift(benchmark::State& state)
{
    if (!TheNight().present) {
        state.SkipWithError("no night frames");
        return;
    }
    const TwoFrames& f = SampleFrames();
    const CrossCorrelator correlator(f.reference);
    for (auto _ : state) {
        const CorrelationShift c = correlator.measure(f.frame);
        benchmark::DoNotOptimize(c.dx);
    }
}

void BM_Resample(benchmark::State& state)
{
    if (!TheNight().present) {
        state.SkipWithError("no night frames");
        return;
    }
    const TwoFrames& f = SampleFrames();
    ImageGrid out;
    for (auto _ : state)
        ResampleToReference(f.frame, 3.37, -1.71, out, static_cast<int>(state.range(0)));
    state.SetLabel(std::to_string(state.range(0)) + " thread(s)");
}

void BM_FrameMedian(benchmark::State& state)
{
    if (!TheNight().present) {
        state.SkipWithError("no night frames");
        return;
    }
    const TwoFrames& f = SampleFrames();
    for (auto _ : state)
        benchmark::DoNotOptimize(ImageMedian(f.frame));
}

// The 20 calibrated frames in memory: the reference prepared, then every frame measured and
// resampled, on two worker threads taking frames in turn (reading and writing left out).
void BM_MeasureAndResampleInMemory(benchmark::State& state)
{
    if (!TheNight().present) {
        state.SkipWithError("no night frames");
        return;
    }
    static const std::vector<ImageGrid> frames = [] {
        std::vector<ImageGrid> f;
        for (const std::string& path : CalibratedFrames()) {
            f.emplace_back();
            Load(path, f.back());
        }
        return f;
    }();
    for (auto _ : state) {
        const CrossCorrelator correlator(frames[0]);
        std::atomic<std::size_t> next{0};
        auto work = [&] {
            ImageGrid shifted;
            for (std::size_t k = next.fetch_add(1); k < frames.size(); k = next.fetch_add(1)) {
                const CorrelationShift c = correlator.measure(frames[k]);
                ResampleToReference(frames[k], c.dx, c.dy, shifted, 1);
                benchmark::DoNotOptimize(shifted.data());
            }
        };
        std::thread helper(work);
        work();
        helper.join();
    }
    state.counters["frames"] = static_cast<double>(frames.size());
}

BENCHMARK(BM_MeasureAndResampleInMemory)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(5);
BENCHMARK(BM_FrameMedian)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PrepareReference)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MeasureShift)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Resample)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_RegistrationAccuracy)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_ReadFloor)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(3);
BENCHMARK(BM_AutoRegister)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(3);

} // namespace
