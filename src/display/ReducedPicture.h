#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "display/DisplayBitmap.h"

namespace skyvane {

// The picture reduced by 2, 4, 8, 16 and 32 for zooming out, kept in step with the
// display's rows so that panning and zooming never go back to the image.
//
// Level k (1..5) has factor f = 2^k. Its pixel (i, j), with j counted downwards from the
// picture's top line, is the mean grey level of the picture pixels in columns
// [i f, i f + f) and lines [j f, j f + f) (line L is image row height - 1 - L), as far as
// the picture reaches: blocks at the right and bottom edges average the n pixels they
// actually cover. The mean of the n grey levels with sum s is rounded to the nearest
// integer, halves up: (2 s + n) / (2 n) in integer division. Every mean is taken from the
// exact integer sum of the full-resolution grey levels (sums of sums, never of rounded
// means), so each level equals the direct area mean of the picture. A level is a
// top-down, row-major plane of one byte per pixel, levelWidth(k) bytes per row. A colour
// picture's levels hold three such planes, blue, green and red (the bitmap's byte order),
// each the means of its colour.
//
// As the display's PictureObserver the levels are built while the rows are computed:
// each band of 32 lines is reduced as soon as its rows are written, still in the cache.
class ReducedPicture final : public PictureObserver {
public:
    static constexpr int Levels = 5;     // factors 2 .. 32
    static constexpr int BandLines = 32; // 2^Levels

    // kernel Portable: plain code only (for comparison); Best: the processor's vector
    // instructions where it has them. The levels are the same bytes either way.
    explicit ReducedPicture(RenderKernel kernel = RenderKernel::Best) : kernel_(kernel) {}

    // All levels from the picture's rows in one pass, for a picture computed without this
    // observer. Rows that do not fit the headers' size (released by clearDisplay) leave no
    // picture: width() and height() become 0.
    void build(const DisplayBitmap& bitmap);

    // The size of the full picture the levels belong to; 0 x 0 when there is none.
    int width() const { return width_; }
    int height() const { return height_; }
    // Level k in 1..5 (others: 0 and null): ceil(width / 2^k) x ceil(height / 2^k).
    int levelWidth(int k) const;
    int levelHeight(int k) const;
    const std::uint8_t* levelData(int k) const;
    // Whether the levels are of a colour picture, and channel c (0 blue, 1 green, 2 red)
    // of level k: levelData(k) is channel 0. A grey picture has channel 0 only.
    bool colour() const { return colour_; }
    const std::uint8_t* levelData(int k, int channel) const;
    // Pixel (i, j) of level k, j from the top; no range checks.
    std::uint8_t levelPixel(int k, int i, int j) const
    {
        return levels_[static_cast<std::size_t>(k - 1)][static_cast<std::size_t>(j) * static_cast<std::size_t>(widths_[static_cast<std::size_t>(k - 1)]) +
                                                         static_cast<std::size_t>(i)];
    }

    // PictureObserver: new size (planes kept when it is the same), a piece written (x a
    // multiple of 32; bands whose top line lies in rows [y, y + h) are reduced for columns
    // [x, x + w)), rows released (levels released, size 0 x 0).
    void pictureStarted(int width, int height, bool colour) override;
    void rowsWritten(const std::uint8_t* rows, int x, int w, int y, int h) override;
    void pictureCleared() override;

private:
    void reduceChunk(const std::uint8_t* rows, std::size_t stride, int band, int x, int columns, int lines, int channel);
    bool reduceColourChunk(const std::uint8_t* rows, std::size_t stride, int band, int x, int columns, int lines);

    RenderKernel kernel_;
    bool colour_ = false;
    int width_ = 0;
    int height_ = 0;
    std::array<int, Levels> widths_{};
    std::array<int, Levels> heights_{};
    std::array<std::vector<std::uint8_t>, Levels> levels_;
};

} // namespace skyvane
