#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "display/DisplayBitmap.h"
#include "display/DisplayValues.h"
#include "image/ValueRange.h"

namespace skyvane {

inline constexpr int ThresholdMaximum = 32767;
inline constexpr int ThresholdPageStep = 200;
// Significant digits of a real threshold where the program writes it (FormatReal): the
// edits of an image of any values, the stretch's reply.
inline constexpr int ThresholdDigits = 6;

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
//
// The rules above are those of an image of whole numbers within 0..32767 (ValueWorld::
// Whole), where a position is the threshold itself. For an image of any values (told by
// followImage) the thresholds are real numbers in the image's units:
//  - an edit's whole text is read with ParseReal (no number: 0; beyond the doubles: the
//    largest double of its sign) and is the threshold, however far outside the image's
//    values; its trackbar goes to the nearest position;
//  - the trackbars span the image's finite values: position 0 stands for the smallest,
//    32767 for the largest, evenly in between (valueAt, positionOf);
//  - a trackbar moved writes the value of its position into its own edit (FormatReal,
//    ThresholdDigits) and asks for one redraw; the other edit keeps its threshold;
//  - Invert exchanges the positions and the whole texts;
//  - Auto puts the thresholds at median - 200 and median + 1000 of the image's finite
//    values, without limits.
class ThresholdModel final : public ThresholdSource {
public:
    // Told after every change, so that a view shows the positions and texts; and when the
    // followed image changed (its span and histogram may be new).
    class View {
    public:
        virtual ~View() = default;
        virtual void thresholdsChanged() = 0;
        virtual void imageChanged() {}
    };

    explicit ThresholdModel(std::function<void()> redraw = {});

    void setRedraw(std::function<void()> redraw) { redraw_ = std::move(redraw); }
    void setView(View* view) { view_ = view; }

    int LowThreshold() const override { return low_; }
    int HighThreshold() const override { return high_; }
    // The thresholds the picture is computed with: the positions of an image of whole
    // numbers, the edits' real numbers of an image of any values.
    double lowValue() const override { return world_ == ValueWorld::Whole ? low_ : lowValue_; }
    double highValue() const override { return world_ == ValueWorld::Whole ? high_ : highValue_; }
    const std::string& lowText() const { return lowText_; }
    const std::string& highText() const { return highText_; }

    // Image A, whose picture the thresholds make, was loaded, computed or cleared: its
    // world is decided again (ClassifyValues) and, for an image of any values, its finite
    // values found for the trackbars to span. An image of whole numbers after another
    // changes nothing at all. Thresholds carry over: into the real world as the values of
    // their positions (texts rewritten, no redraw: the values stay); out of it truncated
    // and limited to 0..32767, set as edit texts (with their redraws). The grid must stay
    // where it is until the next call: the histogram is counted from it when asked for.
    void followImage(const ImageGrid& image);
    ValueWorld world() const { return world_; }
    // The value a position stands for, and the position nearest to a value (an image of
    // whole numbers: the position is the value, limited to 0..32767).
    double valueAt(int position) const;
    int positionOf(double value) const;
    // The finite values of the followed image: the trackbars' span for an image of any
    // values, the histogram's range. Found when first needed.
    const ValueExtent& extent();
    // Counts of the followed image's values in bins over its extent, counted once per
    // image and number of bins; null without a followed image or when the counts' memory
    // cannot be had. Valid until the next followImage or histogram call.
    const ValueHistogram* histogram(int bins);
    // Grows with every followImage, so that a view knows its counts are old.
    std::uint64_t imageGeneration() const { return generation_; }

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
    // "Auto stretch": the edits get the stretch's thresholds (StretchThresholds of the
    // image's sky level and maximum; for an image of whole numbers truncated and limited to
    // 0..32767 as Auto's, for any other written with ThresholdDigits), and stretch gets the
    // thresholds so set with the balance that puts the median at a quarter of full grey
    // between them. The followed image's sky level and extent are found once per image. Without an image (or without a finite value), "0" and "32767" and the
    // balance 0.5. Returns false, changing nothing, when the sample's memory cannot be had.
    [[nodiscard]] bool autoStretch(bool imagePresent, const ImageGrid& image, DisplayStretch& stretch);
    // "Invert": positions swapped, then the texts swapped (first, then second), each text
    // applied as an edit change.
    void invert();

private:
    void applyText(bool first, const std::string& text);
    // An edit change of the real world; position < 0: the one nearest to the value.
    void applyValueText(bool first, const std::string& text, int position);
    void scroll(bool first, int position);
    void changed();
    // The extent of image: the followed image's, kept, or found now for another.
    ValueExtent extentOf(const ImageGrid& image);
    std::function<void()> redraw_;
    View* view_ = nullptr;
    int low_ = 0;
    int high_ = ThresholdMaximum;
    std::string lowText_ = "0";
    std::string highText_ = "32767";
    bool pressed_ = false;

    ValueWorld world_ = ValueWorld::Whole;
    double lowValue_ = 0.0; // the thresholds of the real world
    double highValue_ = ThresholdMaximum;
    double spanLow_ = 0.0;  // the values of positions 0 and 32767 there
    double spanHigh_ = ThresholdMaximum;
    const ImageGrid* image_ = nullptr; // the followed image
    std::uint64_t generation_ = 0;
    bool extentKnown_ = false;
    ValueExtent extent_;
    bool skyKnown_ = false;
    SkyLevel sky_;
    ValueHistogram histogram_;
    int histogramBins_ = 0; // 0: not counted for this image
};

} // namespace skyvane
