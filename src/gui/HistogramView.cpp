#include "gui/HistogramView.h"

#include <algorithm>
#include <cmath>

#include <QMouseEvent>
#include <QPainter>

#include "base/Numbers.h"

namespace skyvane {

namespace {

// How near to a marker, in pixels, a press takes it.
constexpr int MarkerReach = 5;

const QColor ColumnColour(96, 96, 96);
const QColor FirstMarkerColour(0, 70, 200);
const QColor SecondMarkerColour(200, 30, 30);

} // namespace

HistogramView::HistogramView(ThresholdModel& model, QWidget* parent) : QWidget(parent), model_(model)
{
    setAccessibleName(QStringLiteral("Histogram"));
    setMouseTracking(false);
}

void HistogramView::imageChanged()
{
    update();
}

void HistogramView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    update();
}

void HistogramView::takeCounts()
{
    if (generation_ == model_.imageGeneration() && countedWidth_ == plotWidth())
        return;
    generation_ = model_.imageGeneration();
    countedWidth_ = plotWidth();
    columns_ = QImage();
    heights_.clear();
    const int bins = plotWidth();
    const int tall = plotHeight();
    if (bins < 2 || tall < 2)
        return;
    const ValueHistogram* histogram = model_.histogram(bins);
    if (histogram == nullptr || histogram->counts.empty())
        return;
    low_ = histogram->low;
    high_ = histogram->high;
    const std::int64_t most = *std::max_element(histogram->counts.begin(), histogram->counts.end());
    const double scale = most > 0 ? tall / std::log1p(static_cast<double>(most)) : 0.0;
    columns_ = QImage(bins, tall, QImage::Format_ARGB32_Premultiplied);
    columns_.fill(Qt::transparent);
    QPainter painter(&columns_);
    painter.setPen(ColumnColour);
    heights_.resize(static_cast<std::size_t>(bins));
    for (int x = 0; x < bins; ++x) {
        const std::int64_t count = histogram->counts[static_cast<std::size_t>(x)];
        // Any bin that holds a value shows at least one pixel.
        int h = static_cast<int>(std::lround(std::log1p(static_cast<double>(count)) * scale));
        h = count > 0 ? std::clamp(h, 1, tall) : 0;
        heights_[static_cast<std::size_t>(x)] = h;
        if (h > 0)
            painter.drawLine(x, tall - 1, x, tall - h);
    }
}

int HistogramView::columnOfValue(double value) const
{
    const int bins = static_cast<int>(heights_.size());
    if (bins == 0)
        return -1;
    // The bin the value falls into, as the counts place it.
    const double scale = high_ > low_ ? bins / (high_ - low_) : 0.0;
    double b = (value - low_) * scale;
    b = b < bins - 1 ? b : bins - 1;
    b = b > 0.0 ? b : 0.0;
    return static_cast<int>(b);
}

double HistogramView::columnValue(int column) const
{
    const int bins = static_cast<int>(heights_.size());
    if (bins == 0)
        return 0.0;
    column = std::clamp(column, 0, bins - 1);
    // The ends stand for the extreme values themselves, every other column for its bin's
    // middle.
    if (column == 0)
        return low_;
    if (column == bins - 1)
        return high_;
    return low_ + (high_ - low_) * (column + 0.5) / bins;
}

int HistogramView::markerColumn(bool first) const
{
    if (columns_.isNull())
        return -1;
    if (dragged_ == (first ? 1 : 2))
        return dragColumn_;
    return columnOfValue(first ? model_.lowValue() : model_.highValue());
}

int HistogramView::columnHeight(int x) const
{
    return x >= 0 && x < static_cast<int>(heights_.size()) ? heights_[static_cast<std::size_t>(x)] : 0;
}

void HistogramView::paintEvent(QPaintEvent*)
{
    takeCounts();
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    painter.setPen(palette().mid().color());
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    if (columns_.isNull())
        return;
    painter.drawImage(1, 1, columns_);
    for (const bool first : {true, false}) {
        painter.setPen(QPen(first ? FirstMarkerColour : SecondMarkerColour, 1));
        const int x = 1 + markerColumn(first);
        painter.drawLine(x, 1, x, height() - 2);
        // A small handle at the top to take hold of.
        painter.fillRect(QRect(x - 2, 1, 5, 5), first ? FirstMarkerColour : SecondMarkerColour);
    }
}

void HistogramView::mousePressEvent(QMouseEvent* event)
{
    takeCounts();
    if (event->button() != Qt::LeftButton || columns_.isNull()) {
        QWidget::mousePressEvent(event);
        return;
    }
    const int column = static_cast<int>(event->position().x()) - 1;
    const int toFirst = std::abs(column - markerColumn(true));
    const int toSecond = std::abs(column - markerColumn(false));
    if (std::min(toFirst, toSecond) > MarkerReach)
        return;
    dragged_ = toFirst <= toSecond ? 1 : 2;
    dragColumn_ = std::clamp(column, 0, plotWidth() - 1);
    update();
}

void HistogramView::mouseMoveEvent(QMouseEvent* event)
{
    if (dragged_ == 0)
        return;
    dragColumn_ = std::clamp(static_cast<int>(event->position().x()) - 1, 0, plotWidth() - 1);
    update();
}

void HistogramView::mouseReleaseEvent(QMouseEvent* event)
{
    if (dragged_ == 0 || event->button() != Qt::LeftButton)
        return;
    const bool first = dragged_ == 1;
    dragColumn_ = std::clamp(static_cast<int>(event->position().x()) - 1, 0, plotWidth() - 1);
    dragged_ = 0;
    const double value = columnValue(dragColumn_);
    const std::string text = model_.world() == ValueWorld::Whole
                                 ? FormatInteger(std::clamp<long>(std::lround(value), 0, ThresholdMaximum))
                                 : FormatReal(value, ThresholdDigits);
    // The same change as typing the value into the threshold's edit.
    if (first)
        model_.setLowText(text);
    else
        model_.setHighText(text);
    update();
}

} // namespace skyvane
