#include "display/ThresholdModel.h"

#include <algorithm>
#include <cmath>
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

void ThresholdModel::scroll(bool first, int position)
{
    (first ? low_ : high_) = std::clamp(position, 0, ThresholdMaximum);
    changed();
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
    applyText(first, FormatInteger(first ? low_ : high_));
}

bool ThresholdModel::autoThresholds(bool imagePresent, const ImageGrid& image)
{
    if (!imagePresent || image.empty()) {
        setLowText("0");
        setHighText(FormatInteger(ThresholdMaximum));
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

void ThresholdModel::invert()
{
    std::swap(low_, high_);
    changed();
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
