#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "display/TransferFunction.h"
#include "image/ImageGrid.h"

namespace skyvane {

// What the thresholds are at the moment of a computation: the positions of the
// Thresholds window's two trackbars (or the batch tool's values), 0..32767, and the
// image values they stand for, which the picture is computed with. For an image of whole
// numbers within 0..32767 a position is its value; for an image of any values the
// thresholds are real numbers and the positions only place them on the trackbars.
class ThresholdSource {
public:
    virtual ~ThresholdSource() = default;
    virtual int LowThreshold() const = 0;
    virtual int HighThreshold() const = 0;
    virtual double lowValue() const { return LowThreshold(); }
    virtual double highValue() const { return HighThreshold(); }
};

// The picture as a bitmap file holds it: 14-byte file header, 40-byte info header (both
// little-endian, exactly as written by export), then bottom-up 24-bit rows padded to four
// bytes, each pixel blue, green and red (three equal bytes for a grey image). Row y of the
// bitmap is row y of the image, so row 0 is the bottom line.
struct DisplayBitmap {
    static constexpr int HeaderBytes = 54;

    DisplayBitmap();  // the constant header fields; width, height and sizes 0

    std::array<std::uint8_t, HeaderBytes> headers{};
    std::vector<std::uint8_t> rows; // stride x height bytes, padding bytes zero
    bool colour = false;            // the rows were computed from a colour image

    int width() const;    // from the info header
    int height() const;
    int stride() const { return Stride(width()); }
    // Bytes per row: 3 per pixel, rounded up to a multiple of 4 (counted in 64 bits).
    static int Stride(int width) { return static_cast<int>(((24 * static_cast<std::int64_t>(width) + 31) / 32) * 4); }
};

// The grey level of value v through the thresholds, exactly as the display maps it:
// hi >= lo: factor = 255.0 / (hi - lo) (computed once), g = trunc((v - lo) * factor)
// limited to 0..255; hi < lo: factor = 255.0 / (lo - hi), 255 - limited trunc((v - hi) *
// factor). Limits apply to the true product; not-a-number gives g = 0, so a missing pixel
// shows as the grey of a value at the lower of the two thresholds (black in the normal
// picture, white in its negative), whatever the transfer function. Whole-number
// thresholds give exactly the integer mapping.
class GreyMapping {
public:
    GreyMapping(double low, double high);

    // Defined here so that the renderer's inner loop inlines it. Clamping the product
    // before the conversion is the same as truncating first and clamping after: a
    // product of 255 or more truncates to 255 or more, and one of 0 or less truncates to
    // 0 or less (between 0 and 1 the truncation itself gives 0). It also keeps the
    // conversion defined for products of any size. The two comparisons are written so
    // that they compile to the processor's min and max instructions, whose rules for
    // not-a-number give 0 here. For 0 <= g <= 255,
    // 255 - g == g ^ 255, so the inverted case is one exclusive or.
    std::uint8_t operator()(double v) const { return static_cast<std::uint8_t>(static_cast<int>(product(v)) ^ flip_); }

    // The same level with the levels spread by a transfer function.
    std::uint8_t operator()(double v, const TransferTable& transfer) const
    {
        return static_cast<std::uint8_t>(transfer.level(product(v)) ^ flip_);
    }

    // The product (v - base) x factor limited to 0..255, before truncation.
    double product(double v) const
    {
        double p = (v - base_) * factor_;
        p = 255.0 < p ? 255.0 : p; // not-a-number passes
        p = p > 0.0 ? p : 0.0;     // not-a-number becomes 0
        return p;
    }

    bool inverted() const { return flip_ != 0; }
    double base() const { return base_; }
    double factor() const { return factor_; }
    int flip() const { return flip_; }

private:
    double base_;   // the lower of the two thresholds
    double factor_; // 255.0 / (upper - lower), +infinity when they are equal
    int flip_;      // 0, or 255 when the second threshold is below the first
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

// Something kept in step with the picture's rows (the reduced pictures for zooming out),
// told about each piece of the rows as soon as it is written, while it is still in the
// processor's caches.
class PictureObserver {
public:
    virtual ~PictureObserver() = default;
    // Rows of a width x height picture are about to be computed (0 x 0: there are none),
    // in colour or grey (three equal bytes per pixel). Called on the rendering caller's
    // thread, before any piece.
    virtual void pictureStarted(int width, int height, bool colour) = 0;
    // Columns [x, x + w) of the picture rows [y, y + h) have been written into rows (the
    // whole bottom-up 24-bit rows, DisplayBitmap::Stride(width) bytes each). Called from the
    // rendering threads, each piece once; x is a multiple of 64, the pieces of two threads
    // never share a column, and all rows below y of these columns have been written, by
    // the same thread, before.
    virtual void rowsWritten(const std::uint8_t* rows, int x, int w, int y, int h) = 0;
    // The picture's rows have been released.
    virtual void pictureCleared() = 0;
};

// The display of Image A. "An image is displayed" exactly while the platform bitmap
// exists: from paintDisplay to clearDisplay.
// How a single-precision copy of an image's values stands for the doubles: exactly, or
// each rounded toward zero (the double then lies between the single and the next single
// away from zero).
enum class SingleCopy { None, Exact, TowardZero };

class Display {
public:
    Display(const ThresholdSource& thresholds, DisplaySink& sink);

    // The transfer function of every later build and refresh (linear at first). The table
    // is made here, once, when the function changes; the rows are not recomputed.
    void setTransferFunction(const TransferFunction& function);
    const TransferFunction& transferFunction() const { return transfer_.function(); }
    // Told about every computation of the rows from now on, and about clearDisplay (null:
    // nobody). The observer must outlive its registration.
    void setPictureObserver(PictureObserver* observer) { observer_ = observer; }

    // Size fields from the image, new rows, grey levels computed (threshold values read once).
    // Returns false, changing nothing, when the rows cannot be had (not enough memory).
    bool buildDisplay(const ImageGrid& image);
    // Grey levels recomputed into the existing rows, with the size of the info header
    // (thresholds read once). An image of another size, or rows released by clearDisplay,
    // get a buildDisplay instead: the rows are never written out of bounds. False as
    // buildDisplay; recomputing in place always succeeds. valuesChanged false tells that
    // the image and its values are those of the last build or refresh (a threshold or
    // transfer change), so what was kept of them still holds; anything else passes true.
    bool refreshDisplay(const ImageGrid& image, bool valuesChanged = true);
    // Has the rows of a width x height picture ready, so that the next buildDisplay of an
    // image of that size needs no memory of its own: for callers that must know the
    // picture can be made before they replace the image it shows. False when the rows
    // cannot be had.
    [[nodiscard]] bool prepareRows(int width, int height);
    // The platform bitmap is made from the rows and drawn; an image is displayed now.
    // Without rows (nothing built, or a 0-pixel image) nothing happens.
    void paintDisplay();
    // The rows are copied into the existing platform bitmap and drawn. Nothing happens
    // when no image is displayed; when the rows have been rebuilt with another size since
    // paintDisplay, the sink gets a new bitmap (bitmapCreated) instead, and when
    // they were rebuilt with no pixels the display is cleared.
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
    TransferTable transfer_;
    // A colour image's values in single precision (see RenderGrey): the picture is
    // computed from them, which reads half the memory; made when the picture is built and
    // when the values change, empty otherwise.
    std::vector<float> singles_;
    SingleCopy singlesCopy_ = SingleCopy::None;
    void copySingles(const ImageGrid& image);
    const float* singlesFor(const ImageGrid& image) const;
    PictureObserver* observer_ = nullptr;
    std::vector<std::uint8_t> preparedRows_; // from prepareRows, taken by the next buildDisplay
    bool displayed_ = false;
    int paintedWidth_ = 0;  // size of the platform bitmap made by paintDisplay
    int paintedHeight_ = 0;
};

// Writes the grey levels of image into rows laid out as a bottom-up 24-bit bitmap of the
// image's size (stride from DisplayBitmap::Stride), padding bytes zero. A colour image's
// three planes go through the same mapping alike (linked thresholds and transfer
// function, so a neutral sky stays neutral): each plane's level is that pixel's red, green
// or blue byte.
// The picture is converted in tiles, by as many threads as there are processors for large
// images, with the processor's vector instructions where it has them (kernel Best) or
// with plain code (Portable, for comparison); the bytes are the same in every case.
enum class RenderKernel { Best, Portable };
void RenderGrey(const ImageGrid& image, double low, double high, std::uint8_t* rows, RenderKernel kernel = RenderKernel::Best);
// The same with the grey levels spread by a transfer function (a linear table gives exactly
// the bytes above, by the same code), and an observer (may be null) told of the picture's
// size before and of every piece of the rows once written. single, when not null, holds
// every value of the image (valueCount() of them, laid out as SinglePrecisionValues lays
// them) in single precision, as copy tells (Exact: each equal to the double it copies; TowardZero: as
// SinglePrecisionValues makes them): the levels are computed from it, the same bytes from
// half the memory read.
void RenderGrey(const ImageGrid& image, double low, double high, const TransferTable& transfer, std::uint8_t* rows,
                RenderKernel kernel = RenderKernel::Best, PictureObserver* observer = nullptr, const float* single = nullptr,
                SingleCopy copy = SingleCopy::Exact);

// The values of a grid in single precision, each the double rounded toward zero (not-a-
// number stays not-a-number, a double beyond the singles' range becomes the largest
// single of its sign): Exact when every single equals its double, TowardZero otherwise;
// None, out emptied, when out's memory cannot be had. Laid out plane after plane, each
// plane in the renderer's tiles (bands of 64 columns left to right, each band's tiles of
// 64 rows from row 0, each tile column by column), so that a render reads it in order.
SingleCopy SinglePrecisionValues(const ImageGrid& grid, std::vector<float>& out);

// The values of a grid in single precision, when every one is exactly a single-precision
// number (not-a-number counts as one): true, and out holds valueCount() values (resized
// as needed, laid out as SinglePrecisionValues lays them). False when a value is not, or out's memory cannot be had; out is then
// emptied.
bool SinglePrecisionCopy(const ImageGrid& grid, std::vector<float>& out);

} // namespace skyvane
