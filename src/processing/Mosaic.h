#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "image/ImageRecord.h"

namespace skyvane {

// The colour filter array of a one-shot colour camera: every pixel of the frame sits under
// one filter of a 2 x 2 cell that repeats over the sensor, and the frame is one plane (a
// mosaic) until demosaicing makes three of it.

enum class FilterColour { Red = 0, Green = 1, Blue = 2 };

// The filter of every stored pixel. A site is a pixel's place in the 2 x 2 cell,
// (y & 1) * 2 + (x & 1) for column x and stored row y (row 0 the first row of the FITS data
// array): 0 and 1 are the first and second pixel of an even row, 2 and 3 those of an odd
// row. Two grids whose Mosaic is equal have the same filter on every pixel.
class Mosaic {
public:
    // The four arrangements, named by their sites 0 to 3 ("RGGB": red on site 0).
    enum class Pattern { RGGB, BGGR, GRBG, GBRG };

    Mosaic() = default;
    explicit Mosaic(Pattern pattern);

    Pattern pattern() const { return pattern_; }
    // "RGGB", "BGGR", "GRBG" or "GBRG".
    std::string_view name() const;

    static int site(int x, int y) { return ((y & 1) << 1) | (x & 1); }
    FilterColour colourOf(int site) const { return colours_[static_cast<std::size_t>(site)]; }
    FilterColour colourAt(int x, int y) const { return colourOf(site(x, y)); }

    // The mosaic of the same sensor with the cell moved by (dx, dy) pixels: the filter the
    // pixel (x + dx, y + dy) has here is the one pixel (x, y) has there.
    Mosaic shifted(int dx, int dy) const;

    bool operator==(const Mosaic& other) const { return pattern_ == other.pattern_; }

private:
    Pattern pattern_ = Pattern::RGGB;
    std::array<FilterColour, 4> colours_{FilterColour::Red, FilterColour::Green, FilterColour::Green, FilterColour::Blue};
};

// A pattern's name as typed or as a card gives it: the four letters in any case, blanks
// around them ignored. Nothing for anything else.
std::optional<Mosaic> MosaicFromName(std::string_view name);

// The mosaic a 2-D frame's header cards describe, as it lies on the stored rows; nothing when
// the cards name no pattern this program knows (no BAYERPAT card, another filter array, a
// colour cube of NAXIS = 3).
//
// The cards, as capture programs write them:
//   BAYERPAT  the pattern, in the order in which the camera reads its sensor out: the first
//             two letters are the first two pixels of the first row read, the last two those
//             of the row after it;
//   XBAYROFF, YBAYROFF  where in that read-out the cell starts: with XBAYROFF = 1 the first
//             pixel of a row is the second letter of the pattern's row, with YBAYROFF = 1
//             the first row read is the pattern's second row (a frame cut out of the sensor
//             at an odd column or row). Whole numbers; only their parity counts; absent is 0;
//   ROWORDER  the order in which the rows read out were stored: 'TOP-DOWN' (the first row
//             read is the first stored row, row 0 of the FITS data array) or 'BOTTOM-UP'
//             (it is the last stored row: the program turned the frame over to follow the
//             FITS habit of storing the bottom row first). The pattern then starts on the
//             last stored row, row NAXIS2 - 1, and the rows above it alternate from there:
//             on a frame of even height the first stored row is the pattern's second row.
//             Absent, or any other value, counts as TOP-DOWN, which is what most capture
//             programs write (the keyword came late; frames written before it are top-down).
// So a frame of BAYERPAT = 'RGGB' and nothing else has red on its first stored pixel.
// Offsets that are no whole number make the cards name no mosaic.
std::optional<Mosaic> MosaicOfCards(const HeaderCards& cards);

// The cards without those that describe the filter array (BAYERPAT, XBAYROFF, YBAYROFF):
// for a frame that is no longer a mosaic.
HeaderCards WithoutMosaicCards(const HeaderCards& cards);

} // namespace skyvane
