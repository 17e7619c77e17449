#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "image/ImageGrid.h"

namespace skyvane {

class MessageSink;

// What the thresholds are at the moment of a computation: the positions of the
// Thresholds window's two trackbars (or the batch tool's values), 0..32767.
class ThresholdSource {
public:
    virtual ~ThresholdSource() = default;
    virtual int LowThreshold() const = 0;
    virtual int HighThreshold() const = 0;
};

// The picture as a bitmap file holds it: 14-byte file header, 40-byte info header (both
// little-endian, exactly as written by export), then bottom-up 24-bit grey rows padded to
// four bytes. Row y of the bitmap is row y of the image, so row 0 is the bottom line.
struct DisplayBitmap {
    static constexpr int HeaderBytes = 54;

    DisplayBitmap();  // the constant header fields; width, height and sizes 0

    std::array<std::uint8_t, HeaderBytes> headers{};
    std::vector<std::uint8_t> rows; // stride x height bytes, padding bytes zero

    int width() const;    // from the info header
    int height() const;
    int stride() const { return Stride(width()); }
    static int Stride(int width) { return ((24 * width + 31) / 32) * 4; }
};

// The grey level of value v through the thresholds, exactly as the display maps it:
// hi >= lo: factor = 255.0 / (hi - lo) (computed once), g = trunc((v - lo) * factor)
// limited to 0..255; hi < lo: factor = 255.0 / (lo - hi), 255 - limited trunc((v - hi) *
// factor). Limits apply to the true product; not-a-number gives g = 0.
class GreyMapping {
public:
    GreyMapping(int low, int high);
    std::uint8_t operator()(double v) const;

private:
    double base_;
    double factor_;
    bool inverted_;
};

// Where the picture is shown: the desktop program makes a platform image of the rows and
// draws it; the batch tool and tests just remember it.
class DisplaySink {
public:
    virtual ~DisplaySink() = default;
    // paintDisplay: a new platform bitmap from the headers and rows; draw it.
    virtual void bitmapCreated(const DisplayBitmap& bitmap) = 0;
    // repaintDisplay: the rows changed, same size; update the platform bitmap and draw it.
    virtual void bitmapChanged(const DisplayBitmap& bitmap) = 0;
    // clearDisplay: the platform bitmap is gone; fill the client area with the background.
    virtual void bitmapCleared() = 0;
};

class NullDisplaySink final : public DisplaySink {
public:
    void bitmapCreated(const DisplayBitmap&) override {}
    void bitmapChanged(const DisplayBitmap&) override {}
    void bitmapCleared() override {}
};

// The display of Image A. "An image is displayed" exactly while the platform bitmap
// exists: from paintDisplay to clearDisplay.
class Display {
public:
    Display(const ThresholdSource& thresholds, DisplaySink& sink);

    // Size fields from the image, new rows, grey levels computed (thresholds read once).
    void buildDisplay(const ImageGrid& image);
    // Grey levels recomputed into the existing rows, with the size of the info header;
    // the image must still have that size.
    void refreshDisplay(const ImageGrid& image);
    // The platform bitmap is made from the rows and drawn; an image is displayed now.
    void paintDisplay();
    // The rows are copied into the existing platform bitmap and drawn.
    void repaintDisplay();
    // Rows and platform bitmap released, nothing displayed; the header keeps its last size.
    void clearDisplay();

    bool isImageDisplayed() const { return displayed_; }
    const DisplayBitmap& bitmap() const { return bitmap_; }
    const ThresholdSource& thresholds() const { return thresholds_; }

private:
    const ThresholdSource& thresholds_;
    DisplaySink& sink_;
    DisplayBitmap bitmap_;
    bool displayed_ = false;
};

// Writes the grey levels of image into rows laid out as a bottom-up 24-bit bitmap of the
// image's size (stride from DisplayBitmap::Stride), padding bytes zero.
void RenderGrey(const ImageGrid& image, int low, int high, std::uint8_t* rows);

} // namespace skyvane
