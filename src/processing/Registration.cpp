#include "processing/Registration.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>

#include "base/Numbers.h"
#include "base/Paths.h"
#include "processing/ColourPlanes.h"
#include "processing/CrossCorrelation.h"
#include "processing/Mosaic.h"
#include "processing/RegistrationWorkers.h"
#include "processing/Resampling.h"
#include "processing/StarCentroid.h"

namespace skyvane {

namespace {

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

// The number of a "KEYWORD = value / comment" card, when the keyword is there and its
// value is a plain number.
std::optional<double> CardNumber(const HeaderCards& cards, std::string_view keyword)
{
    for (int i = 0; i < cards.count(); ++i) {
        const std::string_view card = cards.card(i);
        if (TrimBlanks(card.substr(0, 8)) != keyword || card.substr(8, 2) != "= ")
            continue;
        std::string_view value = card.substr(10);
        if (const std::size_t slash = value.find('/'); slash != std::string_view::npos)
            value = value.substr(0, slash);
        value = TrimBlanks(value);
        if (!value.empty() && value.front() == '+')
            value.remove_prefix(1);
        double number = 0.0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
        if (error == std::errc() && end == value.data() + value.size() && std::isfinite(number))
            return number;
        return std::nullopt;
    }
    return std::nullopt;
}

// Four decimals for the HISTORY card: finer than any measure, short enough for a card.
std::string ShiftText(double value)
{
    return FormatReal(std::round(value * 1e4) / 1e4, 10);
}

std::string HistoryText(const RegistrationRequest& request, const std::string& referencePath, double dx, double dy)
{
    std::string card = "Skyvane: ";
    card += request.method == RegistrationMethod::OneStar ? "starreg" : "autoreg";
    card += " shifted by dx = " + ShiftText(dx) + " dy = " + ShiftText(dy) + " (Lanczos-3) onto ";
    card += PathFileName(referencePath);
    return card;
}

FrameFate StarFate(StarStatus status)
{
    switch (status) {
    case StarStatus::Found:
        return FrameFate::Registered;
    case StarStatus::Saturated:
        return FrameFate::StarSaturated;
    case StarStatus::TooFaint:
        return FrameFate::StarTooFaint;
    case StarStatus::Mismatch:
        return FrameFate::NoReliableMatch;
    case StarStatus::Lost:
        break;
    }
    return FrameFate::StarLost;
}

// One registration run: the reference's measures and what the workers share.
class Run final : public FrameRegistrar {
public:
    Run(const RegistrationRequest& request, AlignedFrameSink& sink, RegistrationResult& result)
        : request_(request), sink_(sink), result_(result)
    {
    }

    // Reads the reference, prepares its measure and hands it on. False: result_.status says
    // why not.
    bool prepareReference() override
    {
        ImageRecord reference;
        const LoadStatus load = loadFits(reference, request_.framePaths[0]);
        if (!load.loaded()) {
            result_.frames[0].fate = FrameFate::Unreadable;
            result_.frames[0].readError = load.error;
            result_.width = load.size.width; // for the message, when its size was read
            result_.height = load.size.height;
            result_.status = load.error == FitsError::NotEnoughMemory ? RegistrationStatus::NotEnoughMemory
                                                                       : RegistrationStatus::ReferenceUnreadable;
            return false;
        }
        if (MosaicOfCards(reference.cards)) {
            result_.frames[0].fate = FrameFate::ColourMosaic;
            result_.status = RegistrationStatus::ReferenceMosaic;
            return false;
        }
        result_.width = reference.grid.width();
        result_.height = reference.grid.height();
        referencePlanes_ = reference.grid.planes();
        // A colour frame is measured on its green plane and shifted whole.
        const ImageGrid measured = MeasurePlane(reference.grid);
        if (request_.method == RegistrationMethod::OneStar) {
            StarSettings settings;
            settings.saturation = SaturationLevel(reference.cards);
            tracker_.emplace(settings);
            const double x = request_.readoutX - 1.0;
            const double y = static_cast<double>(result_.height) - request_.readoutY;
            const StarMeasurement star = tracker_->start(measured, x, y);
            if (star.status != StarStatus::Found) {
                result_.status = star.status == StarStatus::Saturated ? RegistrationStatus::StarSaturated
                                 : star.status == StarStatus::TooFaint ? RegistrationStatus::StarTooFaint
                                                                       : RegistrationStatus::StarLost;
                return false;
            }
            // The star's shift is checked against the whole frame, as a correlation's is:
            // a turned or flipped frame can show another star where the star was.
            correlator_ = std::make_unique<CrossCorrelator>(measured);
        } else {
            correlator_ = std::make_unique<CrossCorrelator>(measured);
            // The reference against itself: a reference without structure is told now,
            // not as every frame's failure.
            if (correlator_->measure(measured).status != ShiftStatus::Measured) {
                result_.status = RegistrationStatus::NoStructure;
                return false;
            }
        }
        if (!sink_.write(0, request_.framePaths[0], reference, HistoryText(request_, request_.framePaths[0], 0.0, 0.0))) {
            result_.status = RegistrationStatus::WriteFailed;
            return false;
        }
        return true;
    }

    // Frame k (k >= 1), with the worker's own memory. Frames are taken in increasing order;
    // one star measures them in exactly that order.
    void registerFrame(std::size_t k, ImageRecord& record, ImageGrid& aligned) override
    {
        RegisteredFrame& frame = result_.frames[k];
        bool usable = false;
        try {
            const LoadStatus load = loadFits(record, frame.path);
            if (!load.loaded()) {
                frame.fate = load.error == FitsError::NotEnoughMemory ? FrameFate::NotEnoughMemory : FrameFate::Unreadable;
                // A frame of another size is left out for its size, not for its memory.
                if (load.error == FitsError::NotEnoughMemory && !(load.size == ImageSize{result_.width, result_.height}))
                    frame.fate = FrameFate::SizeDiffers;
                frame.readError = load.error;
            } else if (record.grid.width() != result_.width || record.grid.height() != result_.height ||
                       record.grid.planes() != referencePlanes_) {
                frame.fate = FrameFate::SizeDiffers;
            } else if (MosaicOfCards(record.cards)) {
                frame.fate = FrameFate::ColourMosaic;
            } else {
                usable = true;
            }
            if (correlator_ && !tracker_ && usable) {
                const CorrelationShift shift = correlator_->measure(MeasurePlane(record.grid));
                if (shift.status == ShiftStatus::Measured) {
                    frame.dx = shift.dx;
                    frame.dy = shift.dy;
                } else {
                    frame.fate = shift.status == ShiftStatus::SizeMismatch ? FrameFate::SizeDiffers
                                 : shift.status == ShiftStatus::NoMatch    ? FrameFate::NoReliableMatch
                                                                           : FrameFate::NoCorrelation;
                    usable = false;
                }
            }
        } catch (const std::bad_alloc&) {
            frame.fate = FrameFate::NotEnoughMemory;
            usable = false;
        }
        if (tracker_) {
            // The star is followed frame after frame: this frame's turn comes after the
            // previous one's, whether or not that one could be read.
            std::unique_lock lock(turnMutex_);
            turnChanged_.wait(lock, [&] { return nextTurn_ == k || stop_.load(); });
            if (stop_.load())
                return;
            if (usable) {
                const StarShift shift = tracker_->track(MeasurePlane(record.grid));
                frame.fate = StarFate(shift.status);
                frame.dx = shift.dx;
                frame.dy = shift.dy;
                usable = frame.fate == FrameFate::Registered;
                if (usable) {
                    try {
                        if (!correlator_->check(MeasurePlane(record.grid), frame.dx, frame.dy).agrees)
                            frame.fate = FrameFate::NoReliableMatch;
                    } catch (const std::bad_alloc&) {
                        frame.fate = FrameFate::NotEnoughMemory;
                    }
                    if (frame.fate != FrameFate::Registered) {
                        tracker_->reject();
                        usable = false;
                    }
                }
            }
            ++nextTurn_;
            turnChanged_.notify_all();
        }
        if (!usable)
            return;
        try {
            if (record.grid.planes() == 1) {
                ResampleToReference(record.grid, frame.dx, frame.dy, aligned, 1);
                record.grid.swap(aligned);
            } else {
                // A colour frame a plane at a time, each put back in its place: the worker
                // holds one plane more than the frame rather than a second frame.
                const std::size_t planeValues = static_cast<std::size_t>(result_.width) * static_cast<std::size_t>(result_.height);
                for (int p = 0; p < record.grid.planes(); ++p) {
                    ResampleToReference(record.grid.planeView(p), frame.dx, frame.dy, aligned, 1);
                    std::copy(aligned.data(), aligned.data() + planeValues, record.grid.plane(p));
                }
            }
        } catch (const std::bad_alloc&) {
            frame.fate = FrameFate::NotEnoughMemory;
            return;
        }
        if (stop_.load())
            return;
        if (!sink_.write(k, frame.path, record, HistoryText(request_, request_.framePaths[0], frame.dx, frame.dy))) {
            writeFailed_.store(true);
            stopAll();
        }
    }

    void stopAll() override
    {
        {
            const std::lock_guard lock(turnMutex_);
            stop_.store(true);
        }
        turnChanged_.notify_all();
    }

    bool stopped() const override { return stop_.load(); }
    bool writeFailed() const override { return writeFailed_.load(); }

private:
    const RegistrationRequest& request_;
    AlignedFrameSink& sink_;
    RegistrationResult& result_;
    int referencePlanes_ = 1;
    std::optional<StarTracker> tracker_;
    std::unique_ptr<CrossCorrelator> correlator_;
    std::mutex turnMutex_;
    std::condition_variable turnChanged_;
    std::size_t nextTurn_ = 1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> writeFailed_{false};
};

} // namespace

double SaturationLevel(const HeaderCards& cards)
{
    if (const std::optional<double> saturate = CardNumber(cards, "SATURATE"))
        return *saturate;
    const std::optional<double> bitpix = CardNumber(cards, "BITPIX");
    const double scale = CardNumber(cards, "BSCALE").value_or(1.0);
    const double zero = CardNumber(cards, "BZERO").value_or(0.0);
    double highest = 0.0;
    if (bitpix == 8.0)
        highest = 255.0;
    else if (bitpix == 16.0)
        highest = 32767.0;
    else if (bitpix == 32.0)
        highest = 2147483647.0;
    else
        return std::numeric_limits<double>::infinity();
    if (!(scale > 0.0))
        return std::numeric_limits<double>::infinity();
    return highest * scale + zero;
}

RegistrationResult RegisterFrames(const RegistrationRequest& request, AlignedFrameSink& sink, Feedback& feedback)
{
    return RegistrationJob<Run, RegistrationResult>(request, sink, ReferenceJob::BeforeWorkers, feedback);
}

} // namespace skyvane
