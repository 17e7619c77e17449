#include "processing/PatternRegistration.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <new>
#include <numbers>

#include "base/Paths.h"
#include "processing/ColourPlanes.h"
#include "processing/Mosaic.h"
#include "processing/RegistrationWorkers.h"
#include "processing/TransformResampling.h"

namespace skyvane {

namespace {

// value with the given decimals, a point whatever the locale, no "-0".
std::string Fixed(double value, int decimals)
{
    char text[64];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    std::string figure = error == std::errc() ? std::string(text, end) : std::string("nan");
    if (figure.size() > 1 && figure[0] == '-' && figure.find_first_not_of("-0.") == std::string::npos)
        figure.erase(0, 1);
    return figure;
}

// One run: the reference's pattern and what the workers share.
class Run final : public FrameRegistrar {
public:
    Run(const PatternRegistrationRequest& request, AlignedFrameSink& sink, PatternRegistrationResult& result)
        : request_(request), sink_(sink), result_(result)
    {
    }

    // Reads the reference, finds its stars and hands it on. False: result_.status says why not.
    bool prepare()
    {
        PatternFrame& frame = result_.frames[0];
        ImageRecord reference;
        const LoadStatus load = loadFits(reference, frame.path);
        if (!load.loaded()) {
            frame.fate = PatternFate::Unreadable;
            frame.readError = load.error;
            result_.status = load.error == FitsError::NotEnoughMemory ? PatternStatus::NotEnoughMemory : PatternStatus::ReferenceUnreadable;
            return false;
        }
        if (MosaicOfCards(reference.cards)) {
            frame.fate = PatternFate::ColourMosaic;
            result_.status = PatternStatus::ReferenceMosaic;
            return false;
        }
        result_.width = reference.grid.width();
        result_.height = reference.grid.height();
        referencePlanes_ = reference.grid.planes();
        DetectionSettings settings = request_.detection;
        settings.saturation = SaturationLevel(reference.cards);
        // A colour frame is measured on its green plane and moved whole.
        const StarDetection detection = DetectStars(MeasurePlane(reference.grid), settings);
        frame.stars = static_cast<int>(detection.stars.size());
        if (frame.stars < std::max(3, request_.matching.minMatches)) {
            result_.status = PatternStatus::TooFewStars;
            return false;
        }
        pattern_ = std::make_unique<ReferencePattern>(PatternPoints(detection.stars), request_.matching);
        referenceName_ = PathFileName(frame.path);
        if (!sink_.write(0, frame.path, reference, "Skyvane: patternreg reference frame")) {
            result_.status = PatternStatus::WriteFailed;
            return false;
        }
        return true;
    }

    // Frame k (k >= 1), with the worker's own memory.
    void registerFrame(std::size_t k, ImageRecord& record, ImageGrid& aligned) override
    {
        PatternFrame& frame = result_.frames[k];
        try {
            const LoadStatus load = loadFits(record, frame.path);
            if (!load.loaded()) {
                frame.fate = load.error == FitsError::NotEnoughMemory ? PatternFate::NotEnoughMemory : PatternFate::Unreadable;
                frame.readError = load.error;
                return;
            }
            if (MosaicOfCards(record.cards)) {
                frame.fate = PatternFate::ColourMosaic;
                return;
            }
            DetectionSettings settings = request_.detection;
            settings.saturation = SaturationLevel(record.cards);
            std::vector<PatternPoint> points = PatternPoints(DetectStars(MeasurePlane(record.grid), settings).stars);
            // The frame's own work is done; the rest needs the reference's.
            if (!waitForReference())
                return;
            if (record.grid.width() != result_.width || record.grid.height() != result_.height ||
                record.grid.planes() != referencePlanes_) {
                frame.fate = PatternFate::SizeDiffers;
                return;
            }
            const PatternMatch match = pattern_->match(points);
            if (!match.found) {
                frame.fate = PatternFate::NoMatch;
                return;
            }
            frame.toFrame = match.transform;
            DescribeTransform(match.transform, result_.width, result_.height, frame);
            frame.stars = static_cast<int>(match.pairs.size());
            frame.rms = match.rms;
            if (stop_.load())
                return;
            ResampleTransformed(record.grid, match.transform, result_.width, result_.height, aligned, 1);
            record.grid.swap(aligned);
        } catch (const std::bad_alloc&) {
            frame.fate = PatternFate::NotEnoughMemory;
            return;
        }
        if (stop_.load())
            return;
        record.cards.append("HISTORY Skyvane: patternreg dx = " + Fixed(frame.dx, 4) + " dy = " + Fixed(frame.dy, 4));
        std::string rotation = Fixed(frame.rotation, 4);
        if (rotation == "-180.0000")
            rotation = "180.0000";
        record.cards.append("HISTORY Skyvane: patternreg rotation = " + rotation + " scale = " + Fixed(frame.scale, 6) +
                            (frame.mirrored ? " mirrored" : ""));
        if (!sink_.write(k, frame.path, record, "Skyvane: patternreg onto " + referenceName_ + " (Lanczos-3)")) {
            writeFailed_.store(true);
            stop_.store(true);
        }
    }

    // prepare(), for workers that wait for it in waitForReference().
    bool prepareReference() override
    {
        bool ready = false;
        try {
            ready = prepare();
        } catch (...) {
            tellReference(false);
            throw;
        }
        tellReference(ready);
        return ready;
    }

    // Waits until the reference is ready (true) or failed, or the run stops (false).
    bool waitForReference()
    {
        std::unique_lock lock(referenceMutex_);
        referenceChanged_.wait(lock, [this] { return reference_ != Reference::Waiting || stop_.load(); });
        return reference_ == Reference::Ready && !stop_.load();
    }

    void stopAll() override
    {
        stop_.store(true);
        const std::lock_guard lock(referenceMutex_);
        referenceChanged_.notify_all();
    }
    bool stopped() const override { return stop_.load(); }
    bool writeFailed() const override { return writeFailed_.load(); }

private:
    const PatternRegistrationRequest& request_;
    AlignedFrameSink& sink_;
    PatternRegistrationResult& result_;
    std::unique_ptr<ReferencePattern> pattern_;
    std::string referenceName_;
    int referencePlanes_ = 1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> writeFailed_{false};
    enum class Reference { Waiting, Ready, Failed };
    std::mutex referenceMutex_;
    std::condition_variable referenceChanged_;
    Reference reference_ = Reference::Waiting;

    void tellReference(bool ready)
    {
        if (!ready)
            stop_.store(true);
        const std::lock_guard lock(referenceMutex_);
        reference_ = ready ? Reference::Ready : Reference::Failed;
        referenceChanged_.notify_all();
    }
};

} // namespace

DetectionSettings PatternDetection()
{
    DetectionSettings settings;
    settings.cellSample = 256;
    return settings;
}

void DescribeTransform(const SimilarityTransform& toFrame, int width, int height, PatternFrame& frame)
{
    const double cx = 0.5 * (width - 1);
    const double cy = 0.5 * (height - 1);
    double x = 0.0;
    double y = 0.0;
    toFrame.apply(cx, cy, x, y);
    frame.dx = x - cx;
    frame.dy = y - cy;
    const SimilarityTransform onto = toFrame.inverse();
    frame.rotation = onto.angle() * 180.0 / std::numbers::pi;
    if (frame.rotation <= -180.0)
        frame.rotation += 360.0;
    frame.scale = onto.scale();
    frame.mirrored = toFrame.mirrored;
}

PatternRegistrationResult RegisterByPattern(const PatternRegistrationRequest& request, AlignedFrameSink& sink, Feedback& feedback)
{
    // With workers, the reference is the first job: the next frames are read and their
    // stars found while its pattern is made.
    return RegistrationJob<Run, PatternRegistrationResult>(request, sink, ReferenceJob::FirstOfWorkers, feedback);
}

} // namespace skyvane
