// Registration by star patterns on a night with a meridian flip and field rotation: the
// steps timed frame by frame, and the accuracy of the fitted transforms against the truth.
//
// usage: patternreg_timing NIGHT_DIR [--raw] [--threads N]
//   NIGHT_DIR  as written by `gen_data.py DIR --night --flip K --rotate DEG`: frame_NNN.fit,
//              dark.fit, flat.fit and truth/transforms.csv
//   --raw      register the frames as they are; by default they are calibrated first,
//              (frame - dark) / (flat / mean of flat), in memory
// For each frame, one line: the processor seconds of reading, star detection, matching and resampling;
// the stars detected and paired; the transform's error against the truth: the RMS over the
// reference's stars of the distance between where the fitted and the true transform put
// them (pixels). Then the same figure over the night, and the RMS of the star positions
// measured on the resampled frames against those of the reference (the brightest stars,
// paired within 1 pixel), and the FWHM of isolated bright stars in the median stack of the
// registered frames against the reference alone. Exit status 1 when a frame is not
// registered.

#include <ctime>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "image/FitsReader.h"
#include "image/ImageRecord.h"
#include "processing/PatternMatch.h"
#include "processing/PatternRegistration.h"
#include "processing/Registration.h"
#include "processing/StarDetection.h"
#include "processing/TransformResampling.h"

namespace {

using namespace skyvane;
// The steps are timed in this thread's processor time, which a busy machine inflates far
// less than it does wall time.
struct Clock {
    using time_point = double;
    static double now()
    {
        timespec t{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
    }
};

struct Truth {
    double dx = 0.0;
    double dy = 0.0;
    double degrees = 0.0;
};

double Seconds(double since)
{
    return Clock::now() - since;
}

bool Load(const std::string& path, ImageRecord& record)
{
    if (loadFits(record, path).loaded())
        return true;
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return false;
}

// truth/transforms.csv: a star at FITS pixel (x, y) of frame 1 is at
// c + R(a) ((x, y) - c) + (dx, dy) in frame k, c = ((w + 1) / 2, (h + 1) / 2): the same
// with 0-based pixels and c = ((w - 1) / 2, (h - 1) / 2).
void TruePlace(const Truth& t, int width, int height, double x, double y, double& outX, double& outY)
{
    const double cx = 0.5 * (width - 1);
    const double cy = 0.5 * (height - 1);
    const double a = t.degrees * std::numbers::pi / 180.0;
    outX = cx + std::cos(a) * (x - cx) - std::sin(a) * (y - cy) + t.dx;
    outY = cy + std::sin(a) * (x - cx) + std::cos(a) * (y - cy) + t.dy;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: patternreg_timing NIGHT_DIR [--raw]\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    bool raw = false;
    for (int i = 2; i < argc; ++i)
        raw = raw || std::strcmp(argv[i], "--raw") == 0;

    std::vector<Truth> truth;
    {
        std::ifstream csv(folder / "truth" / "transforms.csv");
        std::string line;
        std::getline(csv, line);
        while (std::getline(csv, line)) {
            int frame = 0;
            int flipped = 0;
            Truth t;
            if (std::sscanf(line.c_str(), "%d,%lf,%lf,%lf,%d", &frame, &t.dx, &t.dy, &t.degrees, &flipped) == 5)
                truth.push_back(t);
        }
    }
    if (truth.size() < 2) {
        std::fprintf(stderr, "no truth/transforms.csv in %s\n", folder.c_str());
        return 2;
    }
    ImageRecord dark;
    ImageRecord flat;
    if (!raw) {
        if (!Load((folder / "dark.fit").string(), dark) || !Load((folder / "flat.fit").string(), flat))
            return 2;
        double sum = 0.0;
        for (int x = 0; x < flat.grid.width(); ++x)
            for (int y = 0; y < flat.grid.height(); ++y)
                sum += flat.grid[x][y];
        const double mean = sum / static_cast<double>(flat.grid.pixelCount());
        for (int x = 0; x < flat.grid.width(); ++x)
            for (int y = 0; y < flat.grid.height(); ++y)
                flat.grid[x][y] /= mean;
    }
    const auto frameRecord = [&](std::size_t k, ImageRecord& record) {
        char name[32];
        std::snprintf(name, sizeof name, "frame_%03zu.fit", k + 1);
        if (!Load((folder / name).string(), record))
            return false;
        if (!raw) {
            for (int x = 0; x < record.grid.width(); ++x)
                for (int y = 0; y < record.grid.height(); ++y) {
                    const double f = flat.grid[x][y];
                    record.grid[x][y] = f > 0.0 ? (record.grid[x][y] - dark.grid[x][y]) / f : 0.0;
                }
        }
        return true;
    };

    ImageRecord reference;
    if (!frameRecord(0, reference))
        return 2;
    const int width = reference.grid.width();
    const int height = reference.grid.height();
    DetectionSettings settings = PatternDetection();
    settings.saturation = raw ? SaturationLevel(reference.cards) : std::numeric_limits<double>::infinity();
    double start = Clock::now();
    const StarDetection onReference = DetectStars(reference.grid, settings);
    const double referenceSeconds = Seconds(start);
    start = Clock::now();
    const ReferencePattern pattern(PatternPoints(onReference.stars));
    const double patternSeconds = Seconds(start);
    std::printf("reference: %dx%d, %zu stars (hot %d, cosmic %d, saturated %d, edge %d), fwhm %.2f, roundness %.2f, "
                "sky %.1f, noise %.2f; detection %.3f s, pattern %.3f s\n",
                width, height, onReference.stars.size(), onReference.hotPixels, onReference.cosmicRays, onReference.saturated,
                onReference.atEdge, onReference.medianFwhm, onReference.medianRoundness, onReference.sky.medianLevel(),
                onReference.sky.medianNoise(), referenceSeconds, patternSeconds);
    std::printf("frame  read_s  detect_s  match_s  resample_s  stars  pairs  rotation  scale  transform_rms_px  stars_rms_px\n");

    // The reference's bright stars, for the positions measured after resampling.
    std::vector<const DetectedStar*> bright;
    for (const DetectedStar& s : onReference.stars)
        if (s.snr > 100.0)
            bright.push_back(&s);

    // Stamps around isolated bright stars of the reference, gathered from every aligned
    // frame: their median stack, laid out side by side, tells whether the registered frames
    // stack sharply (its stars' FWHM against the single reference frame's).
    constexpr int Half = 16;
    constexpr int Side = 2 * Half + 1;
    std::vector<std::pair<int, int>> stampAt;
    for (const DetectedStar& s : onReference.stars) {
        if (stampAt.size() >= 60 || s.snr < 50.0)
            continue;
        const int x = static_cast<int>(std::lround(s.x));
        const int y = static_cast<int>(std::lround(s.y));
        if (x < Half + 8 || y < Half + 8 || x >= width - Half - 8 || y >= height - Half - 8)
            continue;
        bool alone = true;
        for (const DetectedStar& t : onReference.stars)
            if (&t != &s && std::fabs(t.x - s.x) < Half + 4 && std::fabs(t.y - s.y) < Half + 4)
                alone = false;
        if (alone)
            stampAt.emplace_back(x, y);
    }
    std::vector<std::vector<double>> stamps; // per aligned frame: every stamp's pixels
    const auto takeStamps = [&](const ImageGrid& grid) {
        std::vector<double> values;
        for (const auto& [x, y] : stampAt)
            for (int i = -Half; i <= Half; ++i)
                for (int j = -Half; j <= Half; ++j)
                    values.push_back(grid[x + i][y + j]);
        stamps.push_back(std::move(values));
    };
    takeStamps(reference.grid);

    double allTransform = 0.0;
    double allStars = 0.0;
    std::size_t transformCount = 0;
    std::size_t starCount = 0;
    int failed = 0;
    ImageRecord record;
    ImageGrid aligned;
    for (std::size_t k = 1; k < truth.size(); ++k) {
        start = Clock::now();
        if (!frameRecord(k, record))
            return 2;
        const double readSeconds = Seconds(start);
        settings.saturation = raw ? SaturationLevel(record.cards) : std::numeric_limits<double>::infinity();
        start = Clock::now();
        const StarDetection onFrame = DetectStars(record.grid, settings);
        const double detectSeconds = Seconds(start);
        start = Clock::now();
        const PatternMatch match = pattern.match(PatternPoints(onFrame.stars));
        const double matchSeconds = Seconds(start);
        if (!match.found) {
            std::printf("%5zu  no match (%zu stars)\n", k + 1, onFrame.stars.size());
            ++failed;
            continue;
        }
        start = Clock::now();
        ResampleTransformed(record.grid, match.transform, width, height, aligned, 1);
        const double resampleSeconds = Seconds(start);

        double transformSquares = 0.0;
        for (const DetectedStar& s : onReference.stars) {
            double fx = 0.0, fy = 0.0, tx = 0.0, ty = 0.0;
            match.transform.apply(s.x, s.y, fx, fy);
            TruePlace(truth[k], width, height, s.x, s.y, tx, ty);
            transformSquares += (fx - tx) * (fx - tx) + (fy - ty) * (fy - ty);
        }
        allTransform += transformSquares;
        transformCount += onReference.stars.size();

        takeStamps(aligned);
        const StarDetection onAligned = DetectStars(aligned, settings);
        double starSquares = 0.0;
        std::size_t paired = 0;
        for (const DetectedStar* s : bright) {
            for (const DetectedStar& t : onAligned.stars) {
                const double d2 = (s->x - t.x) * (s->x - t.x) + (s->y - t.y) * (s->y - t.y);
                if (d2 < 1.0) {
                    starSquares += d2;
                    ++paired;
                    break;
                }
            }
        }
        allStars += starSquares;
        starCount += paired;
        const SimilarityTransform onto = match.transform.inverse();
        std::printf("%5zu  %6.3f  %8.3f  %7.3f  %10.3f  %5zu  %5zu  %8.3f  %.5f  %16.4f  %12.4f (%zu)\n", k + 1, readSeconds, detectSeconds,
                    matchSeconds, resampleSeconds, onFrame.stars.size(), match.pairs.size(), onto.angle() * 180.0 / std::numbers::pi,
                    onto.scale(), std::sqrt(transformSquares / static_cast<double>(onReference.stars.size())),
                    paired > 0 ? std::sqrt(starSquares / static_cast<double>(paired)) : 0.0, paired);
        std::fflush(stdout);
    }
    std::printf("registered %zu of %zu frames; transform RMS %.4f px over the reference's stars; star positions after "
                "registration RMS %.4f px over %zu bright stars\n",
                truth.size() - static_cast<std::size_t>(failed), truth.size(),
                transformCount > 0 ? std::sqrt(allTransform / static_cast<double>(transformCount)) : 0.0,
                starCount > 0 ? std::sqrt(allStars / static_cast<double>(starCount)) : 0.0, starCount);
    // The stamps side by side, ten to a row: the reference's alone and the median stack.
    if (!stampAt.empty()) {
        const int across = 10;
        const int rows = static_cast<int>((stampAt.size() + across - 1) / across);
        ImageGrid single;
        ImageGrid stacked;
        single.resize(across * Side, rows * Side);
        stacked.resize(across * Side, rows * Side);
        std::vector<double> column(stamps.size());
        const double level = onReference.sky.medianLevel();
        for (int x = 0; x < single.width(); ++x)
            for (int y = 0; y < single.height(); ++y)
                single[x][y] = stacked[x][y] = level;
        for (std::size_t k = 0; k < stampAt.size(); ++k) {
            const int ox = static_cast<int>(k % across) * Side;
            const int oy = static_cast<int>(k / across) * Side;
            for (int i = 0; i < Side; ++i)
                for (int j = 0; j < Side; ++j) {
                    const std::size_t at = k * Side * Side + static_cast<std::size_t>(i * Side + j);
                    for (std::size_t f = 0; f < stamps.size(); ++f)
                        column[f] = stamps[f][at];
                    std::nth_element(column.begin(), column.begin() + static_cast<std::ptrdiff_t>(column.size() / 2), column.end());
                    single[ox + i][oy + j] = stamps[0][at];
                    stacked[ox + i][oy + j] = column[column.size() / 2];
                }
        }
        DetectionSettings loose;
        loose.cellSize = Side;
        const double fwhmSingle = DetectStars(single, loose).medianFwhm;
        const double fwhmStacked = DetectStars(stacked, loose).medianFwhm;
        std::printf("median stack of the registered frames: stars' FWHM %.3f px against %.3f px on the reference alone "
                    "(%+.1f%%, %zu isolated bright stars)\n",
                    fwhmStacked, fwhmSingle, 100.0 * (fwhmStacked / fwhmSingle - 1.0), stampAt.size());
    }
    return failed > 0 ? 1 : 0;
}
