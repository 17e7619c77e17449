#include "gui/PictureView.h"

#include <cstdint>
#include <system_error>
#include <thread>

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

namespace skyvane {

namespace {

const QColor BackgroundColour(90, 90, 170);

} // namespace

PictureView::PictureView(QWidget* parent) : QWidget(parent)
{
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleName(QStringLiteral("Image"));
}

void PictureView::paintEvent(QPaintEvent* event)
{
    emit aboutToPaint();
    QPainter painter(this);
    drawPicture(painter, event->rect());
}

void PictureView::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    emit pointerMoved(p.x(), p.y());
}

void PictureView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::RightButton) {
        const QPoint p = event->position().toPoint();
        emit rightButtonReleased(p.x(), p.y(), event->globalPosition().toPoint());
    } else if (event->button() == Qt::LeftButton) {
        const QPoint p = event->position().toPoint();
        emit leftButtonReleased(p.x(), p.y());
    }
}

void PictureView::preparePicture(const DisplayBitmap& bitmap)
{
    // The platform bitmap: a top-down RGB32 picture of the bottom-up grey rows. It is
    // filled lazily, only where a paint needs it, so a threshold change costs the
    // rendering plus the conversion of the visible part, not of the whole image.
    const int w = bitmap.width();
    const int h = bitmap.height();
    converted_ = QRegion();
    if (w <= 0 || h <= 0 || bitmap.rows.size() < static_cast<std::size_t>(bitmap.stride()) * static_cast<std::size_t>(h)) {
        picture_ = QImage();
        source_ = nullptr;
        return;
    }
    source_ = &bitmap;
    if (picture_.width() != w || picture_.height() != h || picture_.format() != QImage::Format_RGB32) {
        picture_ = QImage(); // the old picture goes first, making room for the new one
        // Null when its memory cannot be had; paints then convert what they show.
        picture_ = QImage(w, h, QImage::Format_RGB32);
    }
}

namespace {

// Converts the part area (top-down picture coordinates) of the bottom-up grey rows into
// image, whose pixel (0, 0) stands for the picture's pixel origin. Large areas are done by
// two threads (one when no second thread can be had), each writing its own lines.
void ConvertArea(const DisplayBitmap& bitmap, const QRect& area, QImage& image, const QPoint& origin)
{
    const int h = bitmap.height();
    const int stride = bitmap.stride();
    const std::uint8_t* rows = bitmap.rows.data();
    uchar* const pixels = image.bits();
    const qsizetype bytesPerLine = image.bytesPerLine();
    auto convertRows = [&](int from, int to) {
        for (int y = from; y < to; ++y) {
            const std::uint8_t* src = rows + static_cast<std::size_t>(h - 1 - y) * static_cast<std::size_t>(stride);
            auto* dst = reinterpret_cast<QRgb*>(pixels + (y - origin.y()) * bytesPerLine) - origin.x();
            for (int x = area.left(); x <= area.right(); ++x) {
                const std::uint32_t g = src[3 * x];
                dst[x] = 0xFF000000u | (g << 16) | (g << 8) | g;
            }
        }
    };
    const int top = area.top();
    const int bottom = area.bottom() + 1;
    if (static_cast<std::int64_t>(area.width()) * area.height() < 1 << 20) {
        convertRows(top, bottom);
        return;
    }
    const int middle = top + (bottom - top) / 2;
    std::thread helper;
    try {
        helper = std::thread(convertRows, top, middle);
    } catch (const std::system_error&) {
        convertRows(top, middle);
    }
    convertRows(middle, bottom);
    if (helper.joinable())
        helper.join();
}

} // namespace

void PictureView::ensureConverted(const QRect& area)
{
    if (!source_ || picture_.isNull())
        return;
    const QRegion needed = QRegion(area.intersected(picture_.rect())).subtracted(converted_);
    if (needed.isEmpty())
        return;
    // bits() detaches once here, so the converting threads only write into their own lines.
    (void)picture_.bits();
    for (const QRect& r : needed)
        ConvertArea(*source_, r, picture_, QPoint(0, 0));
    converted_ += needed;
}

void PictureView::drawPicture(QPainter& painter, const QRect& dirty)
{
    if (!showsPicture()) {
        painter.fillRect(dirty, BackgroundColour);
        return;
    }
    const QRect whole(0, 0, source_->width(), source_->height());
    const QRect pictureRect = dirty.intersected(whole);
    if (!pictureRect.isEmpty()) {
        if (!picture_.isNull()) {
            ensureConverted(pictureRect);
            painter.drawImage(pictureRect.topLeft(), picture_, pictureRect);
        } else {
            // The whole picture did not fit in memory: the part being painted, at most the
            // size of the window, is converted for this paint alone.
            QImage part(pictureRect.size(), QImage::Format_RGB32);
            if (part.isNull())
                painter.fillRect(pictureRect, BackgroundColour);
            else {
                ConvertArea(*source_, pictureRect, part, pictureRect.topLeft());
                painter.drawImage(pictureRect.topLeft(), part);
            }
        }
    }
    const QRegion rest = QRegion(dirty).subtracted(QRegion(whole));
    for (const QRect& r : rest)
        painter.fillRect(r, BackgroundColour);
}

const QImage& PictureView::picture()
{
    ensureConverted(picture_.rect());
    return picture_;
}

void PictureView::bitmapCreated(const DisplayBitmap& bitmap)
{
    preparePicture(bitmap);
    update();
}

void PictureView::bitmapChanged(const DisplayBitmap& bitmap)
{
    preparePicture(bitmap);
    update();
}

void PictureView::bitmapCleared()
{
    picture_ = QImage();
    source_ = nullptr;
    converted_ = QRegion();
    update();
}

} // namespace skyvane
