#pragma once

#include <cstdint>
#include <vector>

#include <QImage>
#include <QWidget>

#include "display/ThresholdModel.h"

namespace skyvane {

// The histogram of the Thresholds window: the counts of Image A's values over its finite
// range, one bin per column, on a logarithmic count axis (a column's height grows with
// log(1 + count)), with the two thresholds marked: the first (low) in blue, the second
// (high) in red; a threshold beyond the range stands at its edge. A marker dragged with
// the left button follows the pointer and, on release, sets its threshold as an edit
// change of the model: the value under the pointer, as an integer within 0..32767 for an
// image of whole numbers and with ThresholdDigits for any other.
//
// The counts come from the model once per image and width; the columns are drawn into an
// image kept until then, so that a threshold change repaints only the markers over it.
class HistogramView : public QWidget {
    Q_OBJECT
public:
    HistogramView(ThresholdModel& model, QWidget* parent);

    // The followed image changed: the counts are taken anew at the next paint.
    void imageChanged();

    // The column where the first / second threshold stands (or would stand while its
    // marker is dragged); -1 without counts to show.
    int markerColumn(bool first) const;
    // The value a marker dropped on a column sets: the range's ends on the first and last
    // columns, the middle of the column's bin elsewhere.
    double columnValue(int column) const;
    // Whether the columns show counts (an image with finite values).
    bool hasCounts() const { return !columns_.isNull(); }
    // The height of column x in pixels (0 for an empty bin).
    int columnHeight(int x) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // The counts and their columns for the current image and width.
    void takeCounts();
    int columnOfValue(double value) const;
    int plotWidth() const { return width() - 2; }
    int plotHeight() const { return height() - 2; }

    ThresholdModel& model_;
    std::uint64_t generation_ = ~std::uint64_t{0}; // of the counts drawn
    int countedWidth_ = -1;
    QImage columns_;     // the drawn columns, plotWidth() x plotHeight(); null: no counts
    std::vector<int> heights_;
    double low_ = 0.0;   // the values at the left edge of the first and last columns' bins
    double high_ = 0.0;
    int dragged_ = 0;    // 0 none, 1 the first threshold's marker, 2 the second's
    int dragColumn_ = 0;
};

} // namespace skyvane
