#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "image/FitsReader.h"
#include "image/ImageRecord.h"

namespace skyvane {

// Writes the record's header cards, then its pixels truncated toward zero and limited to
// 0..32767 as unsigned 16-bit values (missing pixels, not-a-number, as 0); a colour image as
// one cube, its planes in order (red, green, blue). The library
// writes the file in memory, and ReplaceFile puts it in place of the target only when
// everything was written: a failed or killed save never destroys an existing file and
// leaves nothing behind; a symbolic link is followed; permissions are kept. The cards
// define the output's data type and scaling when they store the written values as they
// are: integers without scaling (BSCALE 1, a whole BZERO), or any form when no value had to
// be changed, as long as the library can store them all; otherwise they become 16-bit
// cards (SixteenBitCards), so that the file's type is what was written. A BLANK card is left out
// when a written value would be read back as missing. Cards that do not describe an image
// of the grid's size (2-D, or NAXIS3 = 3 for a colour grid) fail the save (the rows would be scrambled), as does an empty
// record (no cards). Returns None, or Unwritable after printing the reason to standard
// error. No name reaches the library, so none can be read as an instruction.
[[nodiscard]] FitsError saveFits(const ImageRecord& record, const std::string& path);

// How the pixels of a saved file are stored.
enum class SampleFormat {
    Integer16,  // as above: truncated and limited to 0..32767
    Float32,    // BITPIX -32, every value kept to single precision (beyond its range:
                // infinity of the value's sign; not-a-number stays not-a-number). The
                // BITPIX card is set to -32 and BZERO, BSCALE and BLANK are left out, so the
                // file holds the values themselves; every other card is written as it is.
    Unsigned16, // BITPIX 16 with BZERO 32768, as cameras write: truncated and limited to
                // 0..65535, missing pixels as 0; cards of another form become those.
};

// What a 16-bit save did besides writing the file: how many pixels it could not store as
// they were. All 0: the file holds every value.
struct SaveReport {
    // Present values outside 0..32767 (0..65535 for Unsigned16), infinities included,
    // stored as the nearest limit.
    std::int64_t clippedPixels = 0;
    // Values within the range that were not whole numbers, truncated toward zero.
    std::int64_t cutPixels = 0;
    // Missing pixels (not-a-number), stored as 0.
    std::int64_t missingPixels = 0;
    bool changed() const { return clippedPixels > 0 || cutPixels > 0 || missingPixels > 0; }
};

// The cards of a 16-bit file made from cards of another form: BITPIX 16, without BZERO,
// BSCALE and BLANK; with unsignedZero, BZERO 32768 and BSCALE 1 after the axes.
HeaderCards SixteenBitCards(const HeaderCards& cards, bool unsignedZero);

// How far a save waits for the disk.
enum class Durability {
    Synced,   // the file and its name are on the disk when the save returns
    Unsynced, // left to the system (ReplaceFile with sync false): for new result files whose
              // loss in a power failure costs only their recomputation
};

// saveFits in the given format, with the same safe replacement and the same checks.
[[nodiscard]] FitsError saveFits(const ImageRecord& record, const std::string& path, SampleFormat format,
                                 SaveReport* report = nullptr, Durability durability = Durability::Synced);

// The cards of a Float32 save: BITPIX -32, without BZERO, BSCALE and BLANK.
HeaderCards Float32Cards(const HeaderCards& cards);

// Rows of an image produced on demand: fills out with rows firstRow .. firstRow + rowCount
// - 1 (0-based, in file order), width values each, row after row. False when they cannot
// be had. In file order the rows of a colour image's planes follow each other: row r is
// row r % height of plane r / height; one request never spans two planes.
using RowSource = std::function<bool(int firstRow, int rowCount, double* out)>;

// Writes a 32-bit floating-point file (values stored as Float32 does) of an image of the
// given size whose rows come from source a band at a time, so that only one band is held,
// never the image. The header is Float32Cards(cards) and must describe an image of that
// size and planes (checked by the library before anything is written). Same safe replacement as
// saveFits. None; Unreadable when the source failed (nothing is left; the source has told
// why); Unwritable after printing the reason to standard error.
[[nodiscard]] FitsError saveFloat32Rows(const HeaderCards& cards, ImageSize size, const RowSource& source,
                                        const std::string& path, Durability durability = Durability::Synced);

// saveFloat32Rows of every row of a grid (GridRows), each value converted as it is moved
// into its row.
[[nodiscard]] FitsError saveFloat32Grid(const HeaderCards& cards, const ImageGrid& grid, const std::string& path,
                                        Durability durability = Durability::Synced);

// The rows of a grid, every plane, for saveFloat32Rows.
RowSource GridRows(const ImageGrid& grid);
// A grid's size and planes.
ImageSize GridSize(const ImageGrid& grid);

// The cards of an image of `planes` planes (1 or 3) made from an image described by cards:
// NAXIS becomes 2 or 3, NAXIS3 = 3 follows NAXIS2 for a colour image and is left out for
// a grey one; every other card stays as it is.
HeaderCards PlaneCards(const HeaderCards& cards, int planes);

} // namespace skyvane
