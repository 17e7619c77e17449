#pragma once

#include <memory>
#include <string>

#include "image/ImageGrid.h"
#include "image/ImageRecord.h"

namespace skyvane {

class Feedback;
class FitsInput;

// How much of a gzipped file is inflated to read it: the primary header alone (size,
// header cards), or the header and the data it declares (pixels).
enum class FitsExtent { Header, Image };

struct ImageSize {
    int width = 0;  // NAXIS1
    int height = 0; // NAXIS2
    bool operator==(const ImageSize&) const = default;
};

// Each reading step opens the file read-only, does its work and closes it again, on every
// path. Results: 0 for success, non-zero (1 or the library status) for failure. Every
// message names the file it is about (Feedback::showFileError).
// A path is a path: it is opened as it is spelt, never read as the FITS library's file-name
// syntax. Only regular files are read (a FIFO, a device or a folder fails the step). A
// gzipped file is read as the FITS file it holds, inflated no further than its primary
// header and the data that header declares; other compressed formats are refused.

// NAXIS1 and NAXIS2 of the primary image. Not 2-D: shows "Loaded image is not 2-D.\nOnly
// 2-D images are supported." and returns 1. A file that cannot be opened returns the
// library status without a message.
[[nodiscard]] int readFitsSize(const std::string& path, ImageSize& size, Feedback& messages);

// Fills a grid that already has the expected size with the primary image's values as
// doubles (BSCALE/BZERO applied by the library, undefined pixels not substituted).
// Messages: the 2-D one; "Image size mismatch." when the axes differ from expected.
// Library errors are printed to standard error and give 1; rows that could not be read
// are then set to 0 (never left with the values the grid held before).
[[nodiscard]] int readFitsPixels(const std::string& path, ImageSize expected, ImageGrid& grid, Feedback& messages);

// The header's keyword records (END excluded) into cards, replacing what it held.
[[nodiscard]] int readFitsHeaderCards(const std::string& path, HeaderCards& cards);

// Prints CFITSIO's error report (its message stack) to standard error.
void ReportFitsError(int status);

// Reads any rows of the primary image of one open file; used by co-addition to read
// frames in bands of rows. Not copyable; closes the file when destroyed.
class FitsImageReader {
public:
    FitsImageReader();
    FitsImageReader(const FitsImageReader&) = delete;
    FitsImageReader& operator=(const FitsImageReader&) = delete;
    FitsImageReader(FitsImageReader&& other) noexcept;
    FitsImageReader& operator=(FitsImageReader&& other) noexcept;
    ~FitsImageReader();

    // Opens path read-only and checks it as readFitsPixels does (2-D, then the expected
    // size), with the same messages. Returns 0 when the file is open and fits.
    [[nodiscard]] int open(const std::string& path, ImageSize expected, Feedback& messages);
    // Reads rows firstRow .. firstRow + rowCount - 1 (0-based) as doubles into out, row
    // after row, width values each. Library errors are printed to standard error; returns
    // 0 or the library status.
    [[nodiscard]] int readRows(int firstRow, int rowCount, double* out);
    // Reads count values of one row (0-based) from column firstColumn on, for rows too
    // long to buffer whole. Same results as readRows.
    [[nodiscard]] int readRowSegment(int row, int firstColumn, int count, double* out);
    void close();
    bool isOpen() const;
    // Whether the open file was gzipped and is read from memory.
    bool inMemory() const;
    // Whether the open file is long enough for every pixel its header declares (a
    // truncated file is not, and its read will fail part way).
    bool holdsAllData() const;
    ImageSize size() const { return size_; }

private:
    std::unique_ptr<FitsInput> input_;
    ImageSize size_;
};

} // namespace skyvane
