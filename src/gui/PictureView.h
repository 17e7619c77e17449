#pragma once

#include <QImage>
#include <QRegion>
#include <QWidget>

#include "display/DisplayBitmap.h"

namespace skyvane {

// The main window's client area: Image A's picture at (0, 0), pixel for pixel, cut at the
// edges, and the background colour elsewhere. It is where the display paints: the grey
// rows become a top-down RGB32 picture, converted lazily, only where a paint needs it, so
// that a threshold change costs the rendering plus the conversion of the visible part.
// Painting only copies the prepared picture; it never renders pixels.
class PictureView final : public QWidget, public DisplaySink {
    Q_OBJECT
public:
    explicit PictureView(QWidget* parent);

    // Whether a picture is shown (from the display's paint to its clear).
    bool showsPicture() const { return source_ != nullptr; }
    // The whole picture, converted (null when nothing is shown, and when its memory could
    // not be had: each paint then converts only what it shows).
    const QImage& picture();

    // DisplaySink
    void bitmapCreated(const DisplayBitmap& bitmap) override;
    void bitmapChanged(const DisplayBitmap& bitmap) override;
    void bitmapCleared() override;

signals:
    // A paint is about to draw the picture: the last moment to bring it up to date.
    void aboutToPaint();
    // The pointer moved to (x, y) of the view.
    void pointerMoved(int x, int y);
    // The right button was released at (x, y), globalPos on the screen.
    void rightButtonReleased(int x, int y, const QPoint& globalPos);
    // The left button was released at (x, y).
    void leftButtonReleased(int x, int y);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void preparePicture(const DisplayBitmap& bitmap);
    void ensureConverted(const QRect& area);
    void drawPicture(QPainter& painter, const QRect& dirty);

    QImage picture_;
    QRegion converted_;                     // the part of picture_ that is up to date
    const DisplayBitmap* source_ = nullptr; // the rows picture_ is made from
};

} // namespace skyvane
