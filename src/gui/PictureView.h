#pragma once

#include <QImage>
#include <QPoint>
#include <QRegion>
#include <QWidget>

#include "display/DisplayBitmap.h"
#include "display/ReducedPicture.h"
#include "display/ViewMapping.h"

namespace skyvane {

// The main window's client area: Image A's picture through the view (zoom and position),
// and the background colour elsewhere. The start view is the picture at (0, 0), pixel for
// pixel, cut at the edges. It is where the display paints: at 1:1 the grey rows become a
// top-down RGB32 picture, converted lazily, only where a paint needs it, so that a
// threshold change costs the rendering plus the conversion of the visible part. Zoomed in
// and out a paint fills the area it covers from the rows or from the reduced pictures,
// which are kept while zoomed out in step with the rows as the display computes them.
// Painting never renders pixels from the image.
//
// The user moves the view: the wheel zooms about the pointer; with the focus, + and -
// zoom about the centre, F fits the picture, 1 and Home return to the start view, and the
// arrow keys pan by a tenth of the area; dragging with the left or middle button pans.
class PictureView final : public QWidget, public DisplaySink {
    Q_OBJECT
public:
    explicit PictureView(QWidget* parent);
    ~PictureView() override;

    // The display whose rows this view shows: while zoomed out the view is its picture
    // observer, so that the reductions are made as the rows are computed. Null: none (to
    // be set before the display goes).
    void attachDisplay(Display* display);

    // Whether a picture is shown (from the display's paint to its clear).
    bool showsPicture() const { return source_ != nullptr; }
    // The whole picture at 1:1, converted (null when nothing is shown, and when its memory
    // could not be had: each paint then converts only what it shows).
    const QImage& picture();

    // Where the picture lies. Every change keeps at least one screen pixel of the picture
    // inside the area, repaints and emits viewChanged.
    const ViewMapping& view() const { return view_; }
    void setView(const ViewMapping& view);
    void zoomAbout(int zoom, QPoint point);
    void zoomIn();
    void zoomOut();
    void fit();
    void startView();
    void panBy(int dx, int dy);

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
    // The view changed (zoom or position), or the picture in it did: what the pointer
    // readout shows under a resting pointer may have changed.
    void viewChanged();
    // The picture is gone.
    void pictureCleared();
    // The left button was released at (x, y).
    void leftButtonReleased(int x, int y);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void preparePicture(const DisplayBitmap& bitmap);
    void ensureConverted(const QRect& area);
    void drawPicture(QPainter& painter, const QRegion& dirty);
    void drawOneToOne(QPainter& painter, const QRect& dirty);
    void drawScaled(QPainter& painter, const QRegion& dirty);
    void followZoom();
    ViewMapping limited(ViewMapping view) const;

    QImage picture_;
    QRegion converted_;                     // the part of picture_ that is up to date
    const DisplayBitmap* source_ = nullptr; // the rows picture_ is made from
    int sourceWidth_ = 0;                   // the size of the last picture shown
    int sourceHeight_ = 0;

    ViewMapping view_;
    Display* display_ = nullptr;
    ReducedPicture reduced_;
    bool observing_ = false;    // reduced_ is the display's picture observer
    bool reducedStale_ = true;  // the rows changed while reduced_ was not observing them
    QImage viewport_;           // what a zoomed paint fills when it cannot fill the target

    QPoint dragStart_;
    ViewMapping dragView_;
    bool dragging_ = false;
    int wheelAngle_ = 0; // eighths of a degree not yet turned into zoom steps
};

} // namespace skyvane
