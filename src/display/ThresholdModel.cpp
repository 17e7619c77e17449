#include "display/ThresholdModel.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "base/Numbers.h"
#include "processing/Statistics.h"

namespace skyvane {

namespace {

// An edit is read through a buffer of five characters and a terminator.
constexpr std::size_t EditReadLength = 5;

// The first `count` characters of UTF-8 text as an edit counts them (in UTF-16 units; a
// character beyond the first plane takes two), never cutting a character in half.
std::string_view FirstCharacters(std::string_view text, std::size_t count)
{
    std::size_t at = 0;
    std::size_t units = 0;
    while (at < text.size()) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t bytes = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        const std::size_t width = bytes == 4 ? 2 : 1;
        if (units + width > count)
            break;
        units += width;
        at = std::min(text.size(), at + bytes);
    }
    return text.substr(0, at);
}

// Limits to 0..32767 in double, before any conversion to int, so that medians far
// outside the int range (or infinite) cannot make the conversion undefined.
int LimitThreshold(double value)
{
    if (value >= ThresholdMaximum)
        return ThresholdMaximum;
    if (value < 0.0)
        return 0;
    return static_cast<int>(value);
}

// A real threshold from an edit's text: ParseReal's number, beyond the doubles the largest
// one of its sign, so that every later difference stays a number.
double ThresholdValueOfText(std::string_view text)
{
    constexpr double Largest = std::numeric_limits<double>::max();
    return std::clamp(ParseReal(text), -Largest, Largest);
}

std::string RealThresholdText(double value)
{
    return FormatReal(value, ThresholdDigits);
}

} // namespace

EditThreshold ThresholdFromEditText(std::string_view text)
{
    const std::int32_t value = ParseInteger(FirstCharacters(text, EditReadLength));
    EditThreshold result;
    if (value > ThresholdMaximum) {
        result.position = ThresholdMaximum;
        result.replaceText = true;
    } else if (value < 0) {
        result.position = 0; // the trackbar's minimum; the edit keeps what was typed
    } else {
        result.position = static_cast<int>(value);
    }
    return result;
}

AutoThresholds AutoThresholdsFromMedian(double median)
{
    // A median that is not a number (an image of not-a-number pixels) counts as 0.
    const double m = std::isnan(median) ? 0.0 : std::trunc(median);
    AutoThresholds result;
    result.low = LimitThreshold(m - 200.0);
    result.high = LimitThreshold(m + 1000.0);
    return result;
}

ThresholdModel::ThresholdModel(std::function<void()> redraw) : redraw_(std::move(redraw)) {}

void ThresholdModel::setLowText(const std::string& text)
{
    applyText(true, text);
}

void ThresholdModel::setHighText(const std::string& text)
{
    applyText(false, text);
}

void ThresholdModel::applyText(bool first, const std::string& text)
{
    if (world_ == ValueWorld::Any) {
        applyValueText(first, text, -1);
        return;
    }
    std::string& edit = first ? lowText_ : highText_;
    int& position = first ? low_ : high_;
    edit = text;
    if (pressed_) {
        changed();
        return;
    }
    const EditThreshold change = ThresholdFromEditText(text);
    if (change.replaceText) {
        // Replacing the text is itself an edit change: it moves the trackbar to 32767 and
        // requests a redraw before this change requests its own.
        applyText(first, "32767");
    } else {
        position = change.position;
    }
    changed();
    if (redraw_)
        redraw_();
}

void ThresholdModel::scrollLow(int position)
{
    scroll(true, position);
}

void ThresholdModel::scrollHigh(int position)
{
    scroll(false, position);
}

void ThresholdModel::applyValueText(bool first, const std::string& text, int position)
{
    (first ? lowText_ : highText_) = text;
    if (pressed_) {
        changed();
        return;
    }
    const double value = ThresholdValueOfText(text);
    (first ? lowValue_ : highValue_) = value;
    (first ? low_ : high_) = position >= 0 ? position : positionOf(value);
    changed();
    if (redraw_)
        redraw_();
}

void ThresholdModel::scroll(bool first, int position)
{
    int& moved = first ? low_ : high_;
    moved = std::clamp(position, 0, ThresholdMaximum);
    changed();
    if (world_ == ValueWorld::Any) {
        applyValueText(first, RealThresholdText(valueAt(moved)), moved);
        return;
    }
    setLowText(FormatInteger(low_));
    setHighText(FormatInteger(high_));
}

void ThresholdModel::pressTrackbar()
{
    pressed_ = true;
}

void ThresholdModel::releaseTrackbar(bool first)
{
    pressed_ = false;
    if (redraw_)
        redraw_();
    const int position = first ? low_ : high_;
    if (world_ == ValueWorld::Any)
        applyValueText(first, RealThresholdText(valueAt(position)), position);
    else
        applyText(first, FormatInteger(position));
}

bool ThresholdModel::autoThresholds(bool imagePresent, const ImageGrid& image)
{
    if (!imagePresent || image.empty()) {
        setLowText("0");
        setHighText(FormatInteger(ThresholdMaximum));
        return true;
    }
    if (world_ == ValueWorld::Any) {
        double median = 0.0;
        try {
            median = FiniteMedian(image.planeView(image.colour() ? 1 : 0));
        } catch (const std::bad_alloc&) {
            return false;
        }
        if (std::isnan(median))
            median = 0.0; // no finite value: as a median of 0
        setLowText(RealThresholdText(median - 200.0));
        setHighText(RealThresholdText(median + 1000.0));
        return true;
    }
    // A colour image: the median of its green plane (the thresholds apply to every plane).
    const std::optional<double> median = TryImageMedian(image.planeView(image.colour() ? 1 : 0));
    if (!median)
        return false;
    const AutoThresholds values = AutoThresholdsFromMedian(*median);
    setLowText(FormatInteger(values.low));
    setHighText(FormatInteger(values.high));
    return true;
}

bool ThresholdModel::autoStretch(bool imagePresent, const ImageGrid& image, DisplayStretch& stretch)
{
    SkyLevel sky;
    if (imagePresent && !image.empty()) {
        // The followed image's sky is measured once, like its extent.
        if (&image == image_ && skyKnown_) {
            sky = sky_;
        } else {
            try {
                sky = MeasureSky(image);
            } catch (const std::bad_alloc&) {
                return false;
            }
            if (&image == image_) {
                sky_ = sky;
                skyKnown_ = true;
            }
        }
    }
    if (sky.samples == 0) {
        setLowText("0");
        setHighText(FormatInteger(ThresholdMaximum));
        stretch = DisplayStretch{lowValue(), highValue(), 0.5};
        return true;
    }
    const DisplayStretch wanted = StretchThresholds(sky, extentOf(image).max);
    if (world_ == ValueWorld::Whole) {
        setLowText(FormatInteger(LimitThreshold(wanted.low)));
        setHighText(FormatInteger(LimitThreshold(wanted.high)));
    } else {
        setLowText(RealThresholdText(wanted.low));
        setHighText(RealThresholdText(wanted.high));
    }
    // The balance for the thresholds as they were set, which the texts may have rounded.
    stretch.low = lowValue();
    stretch.high = highValue();
    stretch.midtones = StretchMidtones(sky.median, stretch.low, stretch.high);
    return true;
}

void ThresholdModel::followImage(const ImageGrid& image)
{
    image_ = &image;
    ++generation_;
    extentKnown_ = false;
    skyKnown_ = false;
    histogramBins_ = 0;
    ValueHistogram().counts.swap(histogram_.counts);
    const ValueWorld was = world_;
    world_ = ClassifyValues(image);
    if (world_ == ValueWorld::Any) {
        const ValueExtent& values = extent();
        spanLow_ = values.min;
        // A span of one value (or none) still gives the trackbars a direction.
        spanHigh_ = values.max > values.min ? values.max : values.min + 1.0;
        if (was == ValueWorld::Whole) {
            lowValue_ = low_;
            highValue_ = high_;
            lowText_ = RealThresholdText(lowValue_);
            highText_ = RealThresholdText(highValue_);
        }
        low_ = positionOf(lowValue_);
        high_ = positionOf(highValue_);
        changed();
    } else if (was == ValueWorld::Any) {
        setLowText(FormatInteger(LimitThreshold(lowValue_)));
        setHighText(FormatInteger(LimitThreshold(highValue_)));
    }
    if (view_ != nullptr)
        view_->imageChanged();
}

double ThresholdModel::valueAt(int position) const
{
    position = std::clamp(position, 0, ThresholdMaximum);
    if (world_ == ValueWorld::Whole)
        return position;
    if (position == ThresholdMaximum)
        return spanHigh_;
    return spanLow_ + (spanHigh_ - spanLow_) * position / ThresholdMaximum;
}

int ThresholdModel::positionOf(double value) const
{
    if (world_ == ValueWorld::Whole)
        return LimitThreshold(value);
    // Limited in double before the conversion: values of any size stay defined.
    const double t = (value - spanLow_) / (spanHigh_ - spanLow_) * ThresholdMaximum;
    if (!(t > 0.0))
        return 0;
    if (t >= ThresholdMaximum)
        return ThresholdMaximum;
    return static_cast<int>(std::lround(t));
}

const ValueExtent& ThresholdModel::extent()
{
    if (!extentKnown_) {
        extent_ = image_ != nullptr ? FindValueExtent(*image_) : ValueExtent{};
        extentKnown_ = true;
    }
    return extent_;
}

ValueExtent ThresholdModel::extentOf(const ImageGrid& image)
{
    if (&image == image_)
        return extent();
    return FindValueExtent(image);
}

const ValueHistogram* ThresholdModel::histogram(int bins)
{
    if (image_ == nullptr || bins < 1)
        return nullptr;
    if (histogramBins_ != bins) {
        try {
            histogram_ = CountValues(*image_, extent(), bins);
        } catch (const std::bad_alloc&) {
            histogramBins_ = 0;
            return nullptr;
        }
        histogramBins_ = bins;
    }
    return &histogram_;
}

void ThresholdModel::invert()
{
    std::swap(low_, high_);
    changed();
    if (world_ == ValueWorld::Any) {
        // Whole texts, each with the position it trades with.
        const std::string first = lowText_;
        const std::string second = highText_;
        applyValueText(true, second, low_);
        applyValueText(false, first, high_);
        return;
    }
    // The texts are read as the window reads its edits: at most five characters.
    const std::string first(FirstCharacters(lowText_, EditReadLength));
    const std::string second(FirstCharacters(highText_, EditReadLength));
    setLowText(second);
    setHighText(first);
}

void ThresholdModel::changed()
{
    if (view_ != nullptr)
        view_->thresholdsChanged();
}

} // namespace skyvane
