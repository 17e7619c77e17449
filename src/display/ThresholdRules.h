#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "display/DisplayBitmap.h"

namespace skyvane {

inline constexpr int ThresholdMaximum = 32767;
inline constexpr int ThresholdPageStep = 200;

// What a threshold edit's new text does to its trackbar: the first five characters are
// read with ParseInteger; above 32767 the trackbar goes to 32767 and the edit text is
// replaced by "32767"; a negative value leaves the trackbar at 0 and the text as typed.
struct EditThreshold {
    int position = 0;          // the trackbar's new position, 0..32767
    bool replaceText = false;  // the edit's text becomes "32767"
};
EditThreshold ThresholdFromEditText(std::string_view text);

// "Auto": m = median truncated toward zero; low = m - 200 and high = m + 1000, each limited
// to 0..32767 (the limits apply before any conversion to int, so medians of any size are
// safe). A median that is not a number counts as 0.
struct AutoThresholds {
    int low = 0;
    int high = ThresholdMaximum;
};
AutoThresholds AutoThresholdsFromMedian(double median);

// The Thresholds window without a window: two trackbar positions and two edit texts that
// follow the window's rules (the batch tool uses it; the desktop window keeps its values
// in its widgets and uses the rule functions above). Every text change calls `redraw`, as
// the window sends its redraw command; a value above 32767 redraws twice, because putting
// "32767" into the edit is a change of its own. Every text set is applied, also when it
// equals the current one.
class ThresholdModel final : public ThresholdSource {
public:
    explicit ThresholdModel(std::function<void()> redraw = {});

    int LowThreshold() const override { return low_; }
    int HighThreshold() const override { return high_; }
    const std::string& lowText() const { return lowText_; }
    const std::string& highText() const { return highText_; }

    // Text put into the first / second edit (typed or set by the program).
    void setLowText(const std::string& text);
    void setHighText(const std::string& text);
    // "Auto": with an image, the edits get the automatic values; without (or with an image
    // of no pixels), "0" and "32767". Returns false, changing nothing, when the median's
    // memory cannot be had.
    bool autoThresholds(bool imageDisplayed, const ImageGrid& image);
    // "Invert": positions swapped, then the texts swapped (first, then second), each text
    // applied as an edit change.
    void invert();

private:
    void applyText(bool first, const std::string& text);
    std::function<void()> redraw_;
    int low_ = 0;
    int high_ = ThresholdMaximum;
    std::string lowText_ = "0";
    std::string highText_ = "32767";
};

} // namespace skyvane
