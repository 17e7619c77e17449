#include "gui/PictureView.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <system_error>
#include <thread>

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPaintEngine>
#include <QPainter>
#include <QWheelEvent>

#include "display/ViewportPicture.h"

namespace skyvane {

namespace {

const QColor BackgroundColour(90, 90, 170);
static_assert(qRgb(90, 90, 170) == BackgroundRgb32);

} // namespace

PictureView::PictureView(QWidget* parent) : QWidget(parent)
{
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    setAccessibleName(QStringLiteral("Image"));
}

PictureView::~PictureView() = default;

void PictureView::attachDisplay(Display* display)
{
    if (display_ != nullptr && observing_)
        display_->setPictureObserver(nullptr);
    observing_ = false;
    reducedStale_ = true;
    display_ = display;
    followZoom();
}

// Zoomed out the reductions follow every computation of the rows; otherwise nothing is
// reduced, and the reductions are made again from the rows when next needed.
void PictureView::followZoom()
{
    const bool wanted = display_ != nullptr && view_.zoom < 0;
    if (wanted == observing_)
        return;
    display_->setPictureObserver(wanted ? &reduced_ : nullptr);
    observing_ = wanted;
}

void PictureView::paintEvent(QPaintEvent* event)
{
    emit aboutToPaint();
    QPainter painter(this);
    drawPicture(painter, event->region());
}

void PictureView::mousePressEvent(QMouseEvent* event)
{
    if ((event->button() == Qt::LeftButton || event->button() == Qt::MiddleButton) && showsPicture()) {
        dragging_ = true;
        dragStart_ = event->position().toPoint();
        dragView_ = view_;
    }
}

void PictureView::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint p = event->position().toPoint();
    if (dragging_ && (event->buttons() & (Qt::LeftButton | Qt::MiddleButton))) {
        ViewMapping moved = dragView_;
        moved.offsetX += p.x() - dragStart_.x();
        moved.offsetY += p.y() - dragStart_.y();
        setView(moved);
    }
    emit pointerMoved(p.x(), p.y());
}

void PictureView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton || event->button() == Qt::MiddleButton)
        dragging_ = false;
    if (event->button() == Qt::RightButton) {
        const QPoint p = event->position().toPoint();
        emit rightButtonReleased(p.x(), p.y(), event->globalPosition().toPoint());
    } else if (event->button() == Qt::LeftButton) {
        const QPoint p = event->position().toPoint();
        emit leftButtonReleased(p.x(), p.y());
    }
}

void PictureView::wheelEvent(QWheelEvent* event)
{
    // One step per notch of 15 degrees (120 eighths); finer wheels add up to a step.
    wheelAngle_ += event->angleDelta().y();
    const int steps = wheelAngle_ / 120;
    wheelAngle_ -= steps * 120;
    if (steps != 0)
        zoomAbout(view_.zoom + steps, event->position().toPoint());
    event->accept();
}

void PictureView::keyPressEvent(QKeyEvent* event)
{
    const int tenthX = std::max(1, width() / 10);
    const int tenthY = std::max(1, height() / 10);
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        zoomIn();
        break;
    case Qt::Key_Minus:
        zoomOut();
        break;
    case Qt::Key_F:
        fit();
        break;
    case Qt::Key_1:
    case Qt::Key_Home:
        startView();
        break;
    // An arrow moves the view over the picture: the picture itself moves the other way.
    case Qt::Key_Left:
        panBy(tenthX, 0);
        break;
    case Qt::Key_Right:
        panBy(-tenthX, 0);
        break;
    case Qt::Key_Up:
        panBy(0, tenthY);
        break;
    case Qt::Key_Down:
        panBy(0, -tenthY);
        break;
    default:
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
}

ViewMapping PictureView::limited(ViewMapping view) const
{
    view.zoom = std::clamp(view.zoom, ZoomMinimum, ZoomMaximum);
    const ScreenPoint size = ScaledSize(view.zoom, sourceWidth_, sourceHeight_);
    if (size.x <= 0 || size.y <= 0)
        return view;
    // At least one screen pixel of the picture stays in the area, so the user never loses
    // it, and the offsets stay far inside the range of screen coordinates.
    view.offsetX = std::clamp<std::int64_t>(view.offsetX, 1 - size.x, std::max(width(), 1) - 1);
    view.offsetY = std::clamp<std::int64_t>(view.offsetY, 1 - size.y, std::max(height(), 1) - 1);
    return view;
}

void PictureView::setView(const ViewMapping& view)
{
    const ViewMapping next = limited(view);
    if (next == view_)
        return;
    view_ = next;
    followZoom();
    update();
    emit viewChanged();
}

void PictureView::zoomAbout(int zoom, QPoint point)
{
    if (!showsPicture())
        return;
    setView(ZoomAround(view_, zoom, point.x(), point.y()));
}

void PictureView::zoomIn()
{
    zoomAbout(view_.zoom + 1, QPoint(width() / 2, height() / 2));
}

void PictureView::zoomOut()
{
    zoomAbout(view_.zoom - 1, QPoint(width() / 2, height() / 2));
}

void PictureView::fit()
{
    if (showsPicture())
        setView(FitView(sourceWidth_, sourceHeight_, width(), height()));
}

void PictureView::startView()
{
    setView(ViewMapping{});
}

void PictureView::panBy(int dx, int dy)
{
    if (!showsPicture())
        return;
    ViewMapping moved = view_;
    moved.offsetX += dx;
    moved.offsetY += dy;
    setView(moved);
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

// Converts the part area (top-down picture coordinates) of the bottom-up 24-bit rows into
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
                const std::uint8_t* bgr = src + 3 * x; // blue, green, red (equal for grey)
                dst[x] = 0xFF000000u | (static_cast<std::uint32_t>(bgr[2]) << 16) | (static_cast<std::uint32_t>(bgr[1]) << 8) | bgr[0];
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

void PictureView::drawPicture(QPainter& painter, const QRegion& dirty)
{
    if (!showsPicture()) {
        painter.fillRect(dirty.boundingRect(), BackgroundColour);
        return;
    }
    if (view_.zoom == 0)
        drawOneToOne(painter, dirty.boundingRect());
    else
        drawScaled(painter, dirty);
}

void PictureView::drawOneToOne(QPainter& painter, const QRect& dirty)
{
    // The offsets are limited to the area and the picture's size, so they fit in an int.
    const QPoint origin(static_cast<int>(view_.offsetX), static_cast<int>(view_.offsetY));
    const QRect whole(origin, QSize(source_->width(), source_->height()));
    const QRect onScreen = dirty.intersected(whole);
    if (!onScreen.isEmpty()) {
        const QRect pictureRect = onScreen.translated(-origin);
        if (!picture_.isNull()) {
            ensureConverted(pictureRect);
            painter.drawImage(onScreen.topLeft(), picture_, pictureRect);
        } else {
            // The whole picture did not fit in memory: the part being painted, at most the
            // size of the window, is converted for this paint alone.
            QImage part(pictureRect.size(), QImage::Format_RGB32);
            if (part.isNull())
                painter.fillRect(onScreen, BackgroundColour);
            else {
                ConvertArea(*source_, pictureRect, part, pictureRect.topLeft());
                painter.drawImage(onScreen.topLeft(), part);
            }
        }
    }
    const QRegion rest = QRegion(dirty).subtracted(QRegion(whole));
    for (const QRect& r : rest)
        painter.fillRect(r, BackgroundColour);
}

namespace {

// The image a painter draws into, with the offset of the widget's pixels in it, when the
// painter's pixels are that image's pixels one for one: a 32-bit RGB image (its pixels are
// opaque here, so premultiplied alpha holds the same words) at a device pixel ratio of 1,
// reached by a whole-pixel translation. Null otherwise (a pixmap, a printer, scaling).
QImage* DirectTarget(QPainter& painter, QPoint& offset)
{
    QPaintEngine* engine = painter.paintEngine();
    QPaintDevice* device = engine != nullptr ? engine->paintDevice() : nullptr;
    if (device == nullptr || device->devType() != QInternal::Image)
        return nullptr;
    auto* image = static_cast<QImage*>(device);
    if ((image->format() != QImage::Format_RGB32 && image->format() != QImage::Format_ARGB32_Premultiplied) ||
        image->devicePixelRatio() != 1.0)
        return nullptr;
    const QTransform& transform = painter.deviceTransform();
    if (transform.type() > QTransform::TxTranslate || transform.dx() != std::trunc(transform.dx()) ||
        transform.dy() != std::trunc(transform.dy()))
        return nullptr;
    offset = QPoint(static_cast<int>(transform.dx()), static_cast<int>(transform.dy()));
    return image;
}

// Fills area (widget pixels) of image, where widget pixel (0, 0) is image pixel offset.
void FillArea(const DisplayBitmap& bitmap, const ReducedPicture& reduced, const ViewMapping& view, QImage& image,
              const QRect& area, const QPoint& offset)
{
    const QRect inImage = area.translated(offset).intersected(image.rect());
    if (inImage.isEmpty())
        return;
    const qsizetype bytesPerLine = image.bytesPerLine();
    Rgb32Image target;
    target.pixels = reinterpret_cast<std::uint32_t*>(image.bits() + inImage.y() * bytesPerLine) + inImage.x();
    target.width = inImage.width();
    target.height = inImage.height();
    target.strideBytes = bytesPerLine;
    // The target starts at the area's top-left corner: the view moves by as much.
    ViewMapping shifted = view;
    shifted.offsetX -= inImage.x() - offset.x();
    shifted.offsetY -= inImage.y() - offset.y();
    FillViewport(bitmap, reduced, shifted, target);
}

} // namespace

void PictureView::drawScaled(QPainter& painter, const QRegion& dirty)
{
    if (view_.zoom < 0 && reducedStale_) {
        reduced_.build(*source_);
        reducedStale_ = false;
    }
    // Where the painter's pixels are an image's pixels (the window's backing store), the
    // area is filled right there: one pass over the pixels, not a fill and then a copy.
    QPoint offset;
    if (QImage* direct = DirectTarget(painter, offset)) {
        for (const QRect& r : dirty)
            FillArea(*source_, reduced_, view_, *direct, r.intersected(rect()), offset);
        return;
    }
    if (viewport_.size() != size()) {
        viewport_ = QImage(); // the old one goes first
        viewport_ = QImage(size(), QImage::Format_RGB32);
    }
    const QRect area = dirty.boundingRect().intersected(rect());
    if (viewport_.isNull() || area.isEmpty()) {
        painter.fillRect(dirty.boundingRect(), BackgroundColour);
        return;
    }
    FillArea(*source_, reduced_, view_, viewport_, area, QPoint(0, 0));
    painter.drawImage(area.topLeft(), viewport_, area);
}

const QImage& PictureView::picture()
{
    ensureConverted(picture_.rect());
    return picture_;
}

void PictureView::bitmapCreated(const DisplayBitmap& bitmap)
{
    // A picture of another size starts in the start view; one of the same size (the next
    // frame of a series, a co-addition) keeps the view.
    const bool newSize = bitmap.width() != sourceWidth_ || bitmap.height() != sourceHeight_;
    preparePicture(bitmap);
    if (!observing_)
        reducedStale_ = true;
    if (showsPicture()) {
        sourceWidth_ = bitmap.width();
        sourceHeight_ = bitmap.height();
    }
    if (newSize && view_ != ViewMapping{}) {
        view_ = ViewMapping{};
        followZoom();
    }
    dragging_ = false;
    update();
    // The readout under a pointer resting on the view follows the new picture too.
    emit viewChanged();
}

void PictureView::bitmapChanged(const DisplayBitmap& bitmap)
{
    preparePicture(bitmap);
    if (!observing_)
        reducedStale_ = true;
    update();
    emit viewChanged();
}

void PictureView::bitmapCleared()
{
    picture_ = QImage();
    source_ = nullptr;
    converted_ = QRegion();
    reducedStale_ = true;
    viewport_ = QImage();
    dragging_ = false;
    update();
    emit pictureCleared();
}

} // namespace skyvane
