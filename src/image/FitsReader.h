#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "image/ImageGrid.h"
#include "image/ImageRecord.h"

namespace skyvane {

namespace fits {
class FitsInput;
}

struct ImageSize {
    int width = 0;  // NAXIS1
    int height = 0; // NAXIS2
    int planes = 1; // NAXIS3 of a colour image (3), else 1
    bool operator==(const ImageSize&) const = default;
};

// Why a step with a FITS file failed. The steps show nothing to the user: the caller,
// which knows what the user asked for, turns the error into its message. The library's
// own report of a failure goes to standard error, escaped for the terminal.
enum class FitsError {
    None = 0,
    Unreadable,        // not opened (missing, not a regular file, another compression than
                       // gzip, cut short), or the library failed while reading it
    NotTwoDimensional, // no unit of the file holds an image of two axes or a colour cube
                       // (three axes with NAXIS3 = 3: the red, green and blue planes)
    SizeMismatch,      // its axes differ from the size the caller expects
    NotEnoughMemory,   // memory for the pixels, a row buffer or the inflated bytes of a
                       // gzipped file could not be had
    Unwritable,        // saving: the file could not be written or replaced
};

// Each reading step opens the file read-only, does its work and closes it again, on every
// path.
// A path is a path: it is opened as it is spelt, never read as the FITS library's file-name
// syntax. Only regular files are read (a FIFO, a device or a folder fails the step). A
// gzipped file is read as the FITS file it holds, inflated no further than the header of
// its image and the data that header declares; other compressed formats are refused.
// The image is the first unit that holds one, primary or extension, tile-compressed
// images included (FitsInput.h).

// NAXIS1 and NAXIS2 of the image (of the first unit that holds one), and its planes: 1 for
// a 2-D image, 3 for a cube with NAXIS3 = 3 (NotTwoDimensional when no unit holds either;
// Unreadable for axes beyond the int range).
[[nodiscard]] FitsError readFitsSize(const std::string& path, ImageSize& size);

// Fills a grid that already has the expected size and planes with the image's values as
// doubles (BSCALE/BZERO applied by the library). Missing pixels are not-a-number: those
// of a floating-point image as stored, those of an integer image whose stored value is its
// BLANK.
// NotTwoDimensional, SizeMismatch when the axes differ from expected, Unreadable for a
// grid of another size than expected (nothing is read) and for library errors; rows that
// could not be read are then set to 0 (never left with the values the grid held before).
[[nodiscard]] FitsError readFitsPixels(const std::string& path, ImageSize expected, ImageGrid& grid);

// The header's keyword records (END excluded) into cards, replacing what it held; on
// failure cards are left as they were. The cards of an image in an extension are made
// those of a primary header (SIMPLE for XTENSION, without PCOUNT and GCOUNT; a
// tile-compressed image's as the image it holds), followed, when it has INHERIT = T, by
// the primary header's cards that it does not set itself (except those of the structure
// and the stored values: BITPIX, NAXISn, BSCALE, BZERO, BLANK, check sums...).
[[nodiscard]] FitsError readFitsHeaderCards(const std::string& path, HeaderCards& cards);

// Reads any rows of the image of one open file; used by co-addition to read frames in
// bands of rows. The rows are those of one plane, plane 0 unless another is selected. Not
// copyable; closes the file when destroyed.
class FitsImageReader {
public:
    FitsImageReader();
    FitsImageReader(const FitsImageReader&) = delete;
    FitsImageReader& operator=(const FitsImageReader&) = delete;
    FitsImageReader(FitsImageReader&& other) noexcept;
    FitsImageReader& operator=(FitsImageReader&& other) noexcept;
    ~FitsImageReader();

    // Opens path read-only and checks it as readFitsPixels does (2-D or colour, then the
    // expected size and planes). None when the file is open and fits; otherwise nothing is
    // left open. Plane 0 is selected.
    [[nodiscard]] FitsError open(const std::string& path, ImageSize expected);
    // The plane the reads below read from (0 .. planes - 1; others are ignored).
    void selectPlane(int plane);
    int plane() const { return plane_; }
    // Reads rows firstRow .. firstRow + rowCount - 1 (0-based) as doubles into out, row
    // after row, width values each. Unreadable for rows outside the image and for library
    // errors.
    [[nodiscard]] FitsError readRows(int firstRow, int rowCount, double* out);
    // Reads count values of one row (0-based) from column firstColumn on, for rows too
    // long to buffer whole. Same results as readRows.
    [[nodiscard]] FitsError readRowSegment(int row, int firstColumn, int count, double* out);
    void close();
    bool isOpen() const;
    // Whether the open file was gzipped and is read from memory.
    bool inMemory() const;
    // Whether the open file is long enough for every pixel its header declares (a
    // truncated file is not, and its read will fail part way).
    bool holdsAllData() const;
    ImageSize size() const { return size_; }

    // Switches an open, uncompressed BITPIX 16 file to reading its stored values straight
    // from the file: no library call per read, no library buffers, and reads from several
    // threads at once. Done only when the last row read both ways comes out identical; the
    // library's handle is then closed and only the file itself stays open. False, nothing
    // changed, when the file does not qualify (another BITPIX, gzipped or tile-compressed,
    // a BLANK card, a scaling that is not a positive finite factor and a finite offset, a
    // file too short for its data).
    // readRows gives the same values either way.
    bool readStoredDirectly();
    bool readsDirectly() const { return direct_; }
    // Rows firstRow .. firstRow + rowCount - 1 as the file stores them (big-endian 16-bit
    // integers), only while readsDirectly(). Unreadable for rows outside the image and for
    // a file that has become too short.
    [[nodiscard]] FitsError readStoredRows(int firstRow, int rowCount, std::uint16_t* bigEndian);
    // Whether the open image stores 32-bit floating-point values that are its values as
    // they are (no scaling: BSCALE 1 and BZERO 0 or absent), not tile-compressed, so that
    // readFloatRows gives them as floats, each of which, made a double, is what readRows
    // gives. Checked on the last row, read both ways, when first asked.
    bool readsFloats();
    // Rows firstRow .. firstRow + rowCount - 1 as floats, only when readsFloats(); the
    // rest as readRows.
    [[nodiscard]] FitsError readFloatRows(int firstRow, int rowCount, float* out);
    // Switches an open, uncompressed file of 32-bit floating-point values without scaling
    // (BSCALE 1 and BZERO 0 or absent) to reading its values straight from the file, as
    // readStoredDirectly does for 16-bit ones: readRows and readRowSegment then read
    // exactly the bytes they give, and readStoredFloatRows can be called from several
    // threads at once. Done only when the last row read both ways comes out identical; the
    // library's handle stays open. False, nothing changed, when the file does not qualify
    // (also a gzipped one, or one too short for its data).
    bool readFloatsDirectly();
    bool readsFloatsDirectly() const { return directFloats_; }
    // Rows firstRow .. firstRow + rowCount - 1 as the file stores them (big-endian 32-bit
    // floats), only while readsFloatsDirectly(); ConvertStoredFloats makes them what
    // readRows gives. Unreadable as readStoredRows.
    [[nodiscard]] FitsError readStoredFloatRows(int firstRow, int rowCount, std::uint32_t* bigEndian);
    // The scaling of the stored values: value = stored * scale + zero (BSCALE, BZERO).
    double storedScale() const { return scale_; }
    double storedZero() const { return zero_; }

private:
    // count stored values of valueBytes bytes each from value first on, straight from the file.
    FitsError readStoredBytes(std::int64_t first, std::size_t count, std::size_t valueBytes, void* out);
    FitsError readStoredValues(std::int64_t first, std::size_t count, std::uint16_t* bigEndian);
    FitsError readConverted(std::int64_t first, std::size_t count, double* out);
    // count values through the library from pixel first (1-based column, row, plane),
    // missing pixels of integer images as not-a-number.
    void readValues(long first[3], long long count, double* out, int& status);
    // The index of the selected plane's first value among the data's values.
    std::int64_t planeStart() const;

    std::unique_ptr<fits::FitsInput> input_;
    ImageSize size_;
    int plane_ = 0;
    bool direct_ = false;
    bool directFloats_ = false; // readFloatsDirectly()
    bool integerValues_ = false; // BITPIX > 0: BLANK marks missing pixels
    int floats_ = -1;            // readsFloats(): -1 not yet checked, 0 no, 1 yes
    std::int64_t dataStart_ = 0;
    double scale_ = 1.0;
    double zero_ = 0.0;
};

// Stored big-endian 16-bit values converted to the doubles the library gives for them:
// (double)stored when scale is 1 and zero 0, otherwise stored * scale + zero.
void ConvertStored16(const std::uint16_t* bigEndian, std::size_t count, double scale, double zero, double* out);
// Stored big-endian 32-bit floats made the doubles the library gives for unscaled ones.
void ConvertStoredFloats(const std::uint32_t* bigEndian, std::size_t count, double* out);

// The steps of loading a record, in their order.
enum class LoadStep { Size, Data, Headers };

// How loading a record went: the step that failed and why (error None: loaded).
struct LoadStatus {
    FitsError error = FitsError::None;
    LoadStep step = LoadStep::Size;
    ImageSize size; // the file's size, once the size step has read it
    bool loaded() const { return error == FitsError::None; }
};

// Reads a 2-D FITS image into the record (size, pixels, header cards). On failure:
//  - the size step: the record is unchanged;
//  - the data step with NotEnoughMemory before any pixel is read: the record is unchanged;
//    otherwise the grid has the new size and the rows that could be read (0 elsewhere),
//    the cards are still the previous ones (NotEnoughMemory there: the data of a gzipped
//    file did not fit in memory besides the grid);
//  - the headers step: grid read, cards the previous ones.
// Callers may carry on after a failure. The path is taken literally (see above).
[[nodiscard]] LoadStatus loadFits(ImageRecord& record, const std::string& path);

} // namespace skyvane
