#include "display/DisplayBitmap.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

namespace skyvane {

namespace {

// Offsets of the header fields, as a bitmap file has them.
constexpr int FileSizeOffset = 2;
constexpr int WidthOffset = 18;
constexpr int HeightOffset = 22;
constexpr int ImageSizeOffset = 34;

void put16(std::array<std::uint8_t, DisplayBitmap::HeaderBytes>& h, int offset, std::uint16_t value)
{
    h[static_cast<std::size_t>(offset)] = static_cast<std::uint8_t>(value & 0xFFu);
    h[static_cast<std::size_t>(offset) + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(std::array<std::uint8_t, DisplayBitmap::HeaderBytes>& h, int offset, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        h[static_cast<std::size_t>(offset + i)] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFFu);
}

std::uint32_t get32(const std::array<std::uint8_t, DisplayBitmap::HeaderBytes>& h, int offset)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | h[static_cast<std::size_t>(offset + i)];
    return value;
}

// Bytes of the pixel rows of a width x height picture, in 64 bits.
std::size_t RowsBytes(int width, int height)
{
    if (width <= 0 || height <= 0)
        return 0;
    const auto stride = static_cast<std::size_t>(((24 * static_cast<std::int64_t>(width) + 31) / 32) * 4);
    return stride * static_cast<std::size_t>(height);
}

// Rendering in tiles. The grid is column-major and the bitmap row-major, so converting
// column by column writes with a stride jump per pixel and touches a new cache line for
// nearly every byte. A tile of TileColumns x TileRows pixels is converted column by column
// into a small buffer (contiguous reads, vectorisable), then written out row by row while
// both the buffer and the tile's output rows are in the first-level cache. Every pixel is
// mapped on its own, so the result is the same as in any other order.
constexpr int TileColumns = 64;
constexpr int TileRows = 64;

// Below this many pixels a second thread costs more than it saves.
constexpr std::int64_t ThreadedPixels = 1 << 18;

struct RenderJob {
    const ImageGrid* image;
    GreyMapping mapping;
    std::uint8_t* rows;
    std::size_t stride;
};

// Converts columns [x0, x1) for all rows. The thread that owns the last column also
// clears the row padding, so every byte of the rows is written exactly once per render.
void RenderColumns(const RenderJob& job, int x0, int x1)
{
    const int width = job.image->width();
    const int height = job.image->height();
    const GreyMapping mapping = job.mapping;
    const std::size_t stride = job.stride;
    const std::size_t padding = stride - 3 * static_cast<std::size_t>(width);
    alignas(64) std::uint8_t tile[TileColumns * TileRows];

    for (int tx = x0; tx < x1; tx += TileColumns) {
        const int tw = std::min(TileColumns, x1 - tx);
        const bool lastColumns = tx + tw == width;
        for (int ty = 0; ty < height; ty += TileRows) {
            const int th = std::min(TileRows, height - ty);
            for (int i = 0; i < tw; ++i) {
                const double* column = (*job.image)[tx + i] + ty;
                std::uint8_t* out = tile + i * TileRows;
                for (int j = 0; j < th; ++j)
                    out[j] = mapping(column[j]);
            }
            for (int j = 0; j < th; ++j) {
                std::uint8_t* row = job.rows + static_cast<std::size_t>(ty + j) * stride + 3 * static_cast<std::size_t>(tx);
                const std::uint8_t* in = tile + j;
                for (int i = 0; i < tw; ++i) {
                    const std::uint8_t g = in[i * TileRows];
                    row[3 * i] = g;
                    row[3 * i + 1] = g;
                    row[3 * i + 2] = g;
                }
                if (lastColumns && padding != 0)
                    std::memset(row + 3 * static_cast<std::size_t>(tw), 0, padding);
            }
        }
    }
}

} // namespace

DisplayBitmap::DisplayBitmap()
{
    headers[0] = 'B';
    headers[1] = 'M';
    put32(headers, FileSizeOffset, 0);
    put16(headers, 6, 0);                // reserved
    put16(headers, 8, 0);                // reserved
    put32(headers, 10, HeaderBytes);     // pixel data offset
    put32(headers, 14, 40);              // info header size
    put32(headers, WidthOffset, 0);
    put32(headers, HeightOffset, 0);
    put16(headers, 26, 1);               // planes
    put16(headers, 28, 24);              // bits per pixel
    put32(headers, 30, 0);               // compression: none
    put32(headers, ImageSizeOffset, 0);
    put32(headers, 38, 0);               // horizontal resolution
    put32(headers, 42, 0);               // vertical resolution
    put32(headers, 46, 0);               // colours used
    put32(headers, 50, 0);               // important colours
}

int DisplayBitmap::width() const
{
    return static_cast<int>(get32(headers, WidthOffset));
}

int DisplayBitmap::height() const
{
    return static_cast<int>(get32(headers, HeightOffset));
}

GreyMapping::GreyMapping(int low, int high)
{
    // Subtraction in double so that no pair of ints can overflow; for thresholds of
    // 0..32767 it is the exact integer difference. The factor is rounded once, before any
    // product, which is why a value at the upper threshold can come out one level short.
    if (high >= low) {
        base_ = low;
        factor_ = 255.0 / (static_cast<double>(high) - static_cast<double>(low));
        flip_ = 0;
    } else {
        base_ = high;
        factor_ = 255.0 / (static_cast<double>(low) - static_cast<double>(high));
        flip_ = 255;
    }
}

void RenderGrey(const ImageGrid& image, int low, int high, std::uint8_t* rows)
{
    if (image.empty() || rows == nullptr)
        return;
    const int width = image.width();
    const RenderJob job{&image, GreyMapping(low, high), rows, RowsBytes(width, 1)};

    unsigned threads = 1;
    if (image.pixelCount() >= ThreadedPixels && width >= 2 * TileColumns)
        threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    if (threads == 1) {
        RenderColumns(job, 0, width);
        return;
    }

    // Column bands of whole tiles: each thread writes its own bytes of every row.
    const int tiles = (width + TileColumns - 1) / TileColumns;
    threads = std::min<unsigned>(threads, static_cast<unsigned>(tiles));
    std::vector<std::thread> workers;
    workers.reserve(threads - 1);
    int first = 0;
    for (unsigned t = 0; t < threads; ++t) {
        const int tilesHere = tiles / static_cast<int>(threads) + (static_cast<int>(t) < tiles % static_cast<int>(threads) ? 1 : 0);
        const int last = std::min(width, first + tilesHere * TileColumns);
        if (t + 1 == threads)
            RenderColumns(job, first, last);
        else
            workers.emplace_back(RenderColumns, std::cref(job), first, last);
        first = last;
    }
    for (std::thread& worker : workers)
        worker.join();
}

Display::Display(const ThresholdSource& thresholds, DisplaySink& sink) : thresholds_(thresholds), sink_(sink) {}

void Display::buildDisplay(const ImageGrid& image)
{
    const int low = thresholds_.LowThreshold();
    const int high = thresholds_.HighThreshold();
    const int width = std::max(image.width(), 0);
    const int height = std::max(image.height(), 0);
    const std::size_t imageSize = RowsBytes(width, height);

    put32(bitmap_.headers, WidthOffset, static_cast<std::uint32_t>(width));
    put32(bitmap_.headers, HeightOffset, static_cast<std::uint32_t>(height));
    put32(bitmap_.headers, ImageSizeOffset, static_cast<std::uint32_t>(imageSize));
    put32(bitmap_.headers, FileSizeOffset, static_cast<std::uint32_t>(imageSize + DisplayBitmap::HeaderBytes));

    // New rows, zero-filled, so the padding is zero whatever the renderer does.
    std::vector<std::uint8_t>(imageSize, 0).swap(bitmap_.rows);
    RenderGrey(image, low, high, bitmap_.rows.data());
}

void Display::refreshDisplay(const ImageGrid& image)
{
    // The rows are recomputed in place when the image still has the recorded size. An
    // image of another size, or rows already released by clearDisplay, would make the
    // renderer write outside the rows; the rows are then built anew for the image.
    const int width = bitmap_.width();
    const int height = bitmap_.height();
    if (image.width() != width || image.height() != height || bitmap_.rows.size() != RowsBytes(width, height)) {
        buildDisplay(image);
        return;
    }
    RenderGrey(image, thresholds_.LowThreshold(), thresholds_.HighThreshold(), bitmap_.rows.data());
}

void Display::paintDisplay()
{
    // No rows, no platform bitmap: a picture of no pixels cannot be made.
    if (bitmap_.rows.empty())
        return;
    displayed_ = true;
    paintedWidth_ = bitmap_.width();
    paintedHeight_ = bitmap_.height();
    sink_.bitmapCreated(bitmap_);
}

void Display::repaintDisplay()
{
    // Without a platform bitmap there is nothing to copy the rows into.
    if (!displayed_)
        return;
    if (bitmap_.rows.empty()) {
        // The image was rebuilt with no pixels: there is no picture left to show.
        clearDisplay();
        return;
    }
    if (bitmap_.width() != paintedWidth_ || bitmap_.height() != paintedHeight_) {
        paintDisplay();
        return;
    }
    sink_.bitmapChanged(bitmap_);
}

void Display::clearDisplay()
{
    std::vector<std::uint8_t>().swap(bitmap_.rows);
    displayed_ = false;
    sink_.bitmapCleared();
}

} // namespace skyvane
