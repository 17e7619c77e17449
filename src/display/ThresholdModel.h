#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>

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

// The two display thresholds as the Thresholds window holds them: two trackbar positions
// and the two edit texts beside them, and the rules that tie them together. The one
// implementation of those rules: the desktop window shows this model and hands it every
// change the user makes; the batch tool sets it directly. Every text change applies the
// edit rule and asks for a redraw (the window's redraw command); a value above 32767
// redraws twice, because putting "32767" into the edit is a change of its own. Every text
// set is applied, also when it equals the current one. While a mouse button is held on a
// trackbar, edit changes only change the text.
class ThresholdModel final : public ThresholdSource {
public:
    // Told after every change, so that a view shows the positions and texts.
    class View {
    public:
        virtual ~View() = default;
        virtual void thresholdsChanged() = 0;
    };

    explicit ThresholdModel(std::function<void()> redraw = {});

    void setRedraw(std::function<void()> redraw) { redraw_ = std::move(redraw); }
    void setView(View* view) { view_ = view; }

    int LowThreshold() const override { return low_; }
    int HighThreshold() const override { return high_; }
    const std::string& lowText() const { return lowText_; }
    const std::string& highText() const { return highText_; }

    // Text put into the first / second edit (typed or set by the program).
    void setLowText(const std::string& text);
    void setHighText(const std::string& text);
    // The user moved the first / second trackbar to position: then both edits get the
    // numbers of the two positions, each applied as an edit change.
    void scrollLow(int position);
    void scrollHigh(int position);
    // The left mouse button went down on a trackbar: until it is released, edit changes
    // move no trackbar and ask for no redraw.
    void pressTrackbar();
    // ... and was released over the first (or second) trackbar: a redraw, then that
    // trackbar's edit gets its position's number, applied as an edit change.
    void releaseTrackbar(bool first);
    bool trackbarPressed() const { return pressed_; }
    // "Auto": with an image, the edits get the automatic values (from the median of a
    // colour image's green plane); without (or with an image of no pixels), "0" and "32767". Returns false, changing nothing, when the median's
    // memory cannot be had.
    [[nodiscard]] bool autoThresholds(bool imagePresent, const ImageGrid& image);
    // "Invert": positions swapped, then the texts swapped (first, then second), each text
    // applied as an edit change.
    void invert();

private:
    void applyText(bool first, const std::string& text);
    void scroll(bool first, int position);
    void changed();
    std::function<void()> redraw_;
    View* view_ = nullptr;
    int low_ = 0;
    int high_ = ThresholdMaximum;
    std::string lowText_ = "0";
    std::string highText_ = "32767";
    bool pressed_ = false;
};

} // namespace skyvane
