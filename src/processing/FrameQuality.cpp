#include "processing/FrameQuality.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <new>

#include "base/Numbers.h"
#include "base/Paths.h"
#include "base/SafeFile.h"
#include "image/ImageRecord.h"
#include "processing/FrameWorkers.h"
#include "processing/PatternMatch.h"
#include "processing/Registration.h"

namespace skyvane {

namespace {

constexpr double Nan = std::numeric_limits<double>::quiet_NaN();

// The median of v (reordered); NaN for none.
double Median(std::vector<double>& v)
{
    if (v.empty())
        return Nan;
    const std::size_t half = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(half), v.end());
    const double upper = v[half];
    if (v.size() % 2 == 1)
        return upper;
    const double lower = *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(half));
    return 0.5 * (lower + upper);
}

std::string ProgressText(std::size_t frame, std::size_t count)
{
    return "Measuring frame " + FormatInteger(static_cast<std::int64_t>(frame)) + " of " + FormatInteger(static_cast<std::int64_t>(count));
}

// value with the given decimals, a point whatever the locale.
std::string Fixed(double value, int decimals)
{
    char text[64];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return error == std::errc() ? std::string(text, end) : std::string("nan");
}

// Frame k measured, with its stars kept for pairing; record is the worker's memory for
// the frame, kept from one frame to the next of the same size.
void MeasureOne(MeasuredFrame& frame, std::vector<DetectedStar>& stars, ImageRecord& record)
{
    try {
        frame.load = loadFits(record, frame.path);
        if (!frame.load.loaded()) {
            frame.fate = frame.load.error == FitsError::NotEnoughMemory ? MeasureFate::NotEnoughMemory : MeasureFate::Unreadable;
            return;
        }
        DetectionSettings settings = QualityDetection();
        settings.saturation = SaturationLevel(record.cards);
        const StarDetection detection = DetectStars(record.grid, settings);
        FrameQuality& q = frame.quality;
        q.background = detection.sky.medianLevel();
        q.noise = detection.sky.medianNoise();
        q.fwhm = detection.medianFwhm;
        q.roundness = detection.medianRoundness;
        q.stars = static_cast<int>(detection.stars.size());
        q.transparency = Nan;
        stars = detection.stars;
        frame.fate = MeasureFate::Measured;
    } catch (const std::bad_alloc&) {
        frame.fate = MeasureFate::NotEnoughMemory;
        stars.clear();
    }
}

} // namespace

DetectionSettings QualityDetection()
{
    DetectionSettings settings;
    settings.cellSize = 128;
    settings.cellSample = 256;
    return settings;
}

FrameQuality MeasureQuality(const ImageGrid& grid, std::vector<DetectedStar>* stars)
{
    const StarDetection detection = DetectStars(grid, QualityDetection());
    FrameQuality q;
    q.background = detection.sky.medianLevel();
    q.noise = detection.sky.medianNoise();
    q.fwhm = detection.medianFwhm;
    q.roundness = detection.medianRoundness;
    q.stars = static_cast<int>(detection.stars.size());
    q.transparency = Nan;
    if (stars)
        *stars = detection.stars;
    return q;
}

double RelativeTransparency(const std::vector<DetectedStar>& reference, const std::vector<DetectedStar>& frame)
{
    const PatternSettings settings;
    if (static_cast<int>(reference.size()) < settings.minMatches || static_cast<int>(frame.size()) < settings.minMatches)
        return Nan;
    const ReferencePattern pattern(PatternPoints(reference), settings);
    const PatternMatch match = pattern.match(PatternPoints(frame));
    if (!match.found)
        return Nan;
    std::vector<double> ratios;
    ratios.reserve(match.pairs.size());
    for (const auto& [r, f] : match.pairs) {
        const double a = reference[r].flux;
        const double b = frame[f].flux;
        if (a > 0.0 && b > 0.0 && std::isfinite(a) && std::isfinite(b))
            ratios.push_back(b / a);
    }
    if (static_cast<int>(ratios.size()) < settings.minMatches)
        return Nan;
    return Median(ratios);
}

MeasureResult MeasureFrames(const std::vector<std::string>& paths, Feedback& feedback, int threads)
{
    MeasureResult result;
    const std::size_t count = paths.size();
    if (count == 0)
        return result;
    result.frames.resize(count);
    for (std::size_t k = 0; k < count; ++k)
        result.frames[k].path = paths[k];
    std::vector<std::vector<DetectedStar>> stars(count);

    const int workers = FrameWorkerCount(threads, count);
    std::vector<ImageRecord> records(static_cast<std::size_t>(workers));
    const bool finished = ForEachFrame(
        count, workers, [&](std::size_t k, int worker) { MeasureOne(result.frames[k], stars[k], records[static_cast<std::size_t>(worker)]); },
        [&](std::size_t done) {
            if (feedback.cancelRequested())
                return false;
            feedback.showProgress(ProgressText(std::min(done + 1, count), count), static_cast<double>(done) / static_cast<double>(count));
            return true;
        });
    if (!finished || feedback.cancelRequested()) {
        result.status = MeasureStatus::Cancelled;
        result.frames.clear();
        return result;
    }

    // Transparency against the first frame measured, then the scores.
    const MeasuredFrame* reference = nullptr;
    std::size_t referenceIndex = 0;
    for (std::size_t k = 0; k < count && reference == nullptr; ++k) {
        if (result.frames[k].fate == MeasureFate::Measured) {
            reference = &result.frames[k];
            referenceIndex = k;
        }
    }
    std::vector<double> widths;
    for (std::size_t k = 0; k < count; ++k) {
        MeasuredFrame& frame = result.frames[k];
        if (frame.fate != MeasureFate::Measured)
            continue;
        ++result.measured;
        frame.quality.transparency = k == referenceIndex ? 1.0 : RelativeTransparency(stars[referenceIndex], stars[k]);
        if (frame.quality.fwhm > 0.0)
            widths.push_back(frame.quality.fwhm);
    }
    const double typicalWidth = Median(widths);
    for (MeasuredFrame& frame : result.frames) {
        FrameQuality& q = frame.quality;
        if (frame.fate != MeasureFate::Measured)
            continue;
        q.score = std::isfinite(q.transparency) && q.fwhm > 0.0 ? q.transparency * q.roundness * (typicalWidth / q.fwhm) : 0.0;
    }
    result.status = MeasureStatus::Done;
    return result;
}

bool KeepPercentAccepted(double percent)
{
    return percent > 0.0 && percent <= 100.0;
}

std::vector<bool> ChooseBestFrames(const MeasureResult& result, double percent, int selected)
{
    std::vector<bool> keep(result.frames.size(), false);
    std::vector<std::size_t> order;
    for (std::size_t k = 0; k < result.frames.size(); ++k)
        if (result.frames[k].fate == MeasureFate::Measured)
            order.push_back(k);
    // A hair above the exact share, so that 90 percent of 20 frames is 18 whatever the
    // last bit of the product.
    const double share = std::floor(static_cast<double>(selected) * percent / 100.0 + 1e-9);
    const std::size_t wanted = std::min(order.size(), static_cast<std::size_t>(std::max(1.0, share)));
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return result.frames[a].quality.score > result.frames[b].quality.score;
    });
    for (std::size_t i = 0; i < wanted; ++i)
        keep[order[i]] = true;
    return keep;
}

std::string QualityTable(const MeasureResult& result)
{
    std::string table = "file,background,noise,fwhm,roundness,stars,transparency,score\n";
    for (const MeasuredFrame& frame : result.frames) {
        if (frame.fate != MeasureFate::Measured)
            continue;
        const FrameQuality& q = frame.quality;
        table += PathFileName(frame.path);
        table += ',' + Fixed(q.background, 2) + ',' + Fixed(q.noise, 3) + ',' + Fixed(q.fwhm, 3) + ',' + Fixed(q.roundness, 3) + ',' +
                 FormatInteger(q.stars) + ',' + (std::isfinite(q.transparency) ? Fixed(q.transparency, 4) : std::string()) + ',' +
                 Fixed(q.score, 4) + '\n';
    }
    return table;
}

int WriteQualityTable(const std::string& folder, const MeasureResult& result)
{
    const std::string table = QualityTable(result);
    const ReplaceOutcome outcome =
        ReplaceFile(JoinPath(folder, QualityFileName), [&table](int fd) { return WriteAll(fd, table.data(), table.size()); });
    return outcome.error;
}

} // namespace skyvane
