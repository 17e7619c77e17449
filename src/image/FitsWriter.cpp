#include "image/FitsWriter.h"

#include <fitsio.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "base/PrintableText.h"
#include "base/SafeFile.h"
#include "image/FitsLibrary.h"

namespace skyvane {

using namespace fits;

namespace {

// The stored value of one pixel in a saved file: truncated toward zero, limited to
// 0..32767, not-a-number as 0.
unsigned short StoredValue(double value)
{
    if (!(value > 0.0)) // negatives, zero and not-a-number
        return 0;
    if (value >= 32767.0)
        return 32767;
    return static_cast<unsigned short>(static_cast<int>(value));
}

// The bytes of a FITS file that the library writes into memory (never under a name of
// its own), released with free as its memory files are.
struct FitsBytes {
    void* data = nullptr;
    std::size_t capacity = 0; // what the library allocated
    std::size_t size = 0;     // the file: up to the end of the primary data unit
    FitsBytes() = default;
    FitsBytes(const FitsBytes&) = delete;
    FitsBytes& operator=(const FitsBytes&) = delete;
    ~FitsBytes() { std::free(data); }
};

// Writes the record's cards and pixels as a FITS file into bytes. Returns the library
// status (0 when everything was written and the file closed).
int WriteFitsBytes(const ImageRecord& record, FitsBytes& bytes)
{
    const ImageGrid& grid = record.grid;
    const int width = grid.width();
    const int height = grid.height();
    // Room for the usual case, 16-bit pixels; the library grows the block when the cards
    // ask for more, by a quarter of this at a time.
    const std::uint64_t headerBytes = RoundUpToBlock((static_cast<std::uint64_t>(record.cards.count()) + 1) * CardBytes);
    const std::uint64_t guess = headerBytes + RoundUpToBlock(static_cast<std::uint64_t>(grid.pixelCount()) * 2);
    if (guess > SIZE_MAX / 2)
        return MEMORY_ALLOCATION;
    bytes.capacity = static_cast<std::size_t>(guess);
    bytes.data = std::malloc(bytes.capacity);
    if (bytes.data == nullptr)
        return MEMORY_ALLOCATION;
    const std::size_t step = std::max<std::size_t>(BlockBytes, static_cast<std::size_t>(RoundUpToBlock(guess / 4)));

    int status = 0;
    fitsfile* file = nullptr;
    {
        const std::lock_guard<std::mutex> lock(memoryFileTable);
        ffimem(&file, &bytes.data, &bytes.capacity, step, std::realloc, &status);
    }
    if (file == nullptr)
        return status != 0 ? status : FILE_NOT_CREATED;

    const HeaderCards& cards = record.cards;
    for (int i = 0; i < cards.count(); ++i)
        ffprec(file, cards.block().data() + static_cast<std::size_t>(i) * HeaderCards::RecordBytes, &status);

    // The cards alone define the primary array. Have the library parse them now: its
    // pixel writer does not check for a header it cannot parse (no SIMPLE card, say) and
    // then walks an undefined axis count.
    ffrdef(file, &status);

    // Pixels are written at the file's own row length, so cards describing another size
    // would scramble the rows or leave data past the declared array: refuse them.
    int axisCount = 0;
    long axes[2] = {0, 0};
    ffgidm(file, &axisCount, &status);
    if (status == 0 && axisCount == 2)
        ffgisz(file, 2, axes, &status);
    if (status == 0 && (axisCount != 2 || axes[0] != width || axes[1] != height)) {
        char text[160];
        std::snprintf(text, sizeof text, "The header cards (NAXIS = %d, %ld x %ld) do not describe the %d x %d image", axisCount, axes[0], axes[1], width, height);
        ffpmsg(text);
        status = BAD_NAXIS;
    }
    if (status == 0 && width > 0 && height > 0) {
        // Converted a band of rows at a time, walking each column contiguously; written
        // row by row at pixel (1, r) as the file's own row length dictates.
        const int bandRows = BandRows(width, height);
        std::unique_ptr<unsigned short[]> band = TryBuffer<unsigned short>(static_cast<std::int64_t>(bandRows) * width);
        if (!band) {
            ffpmsg("Not enough memory for the row buffer");
            status = MEMORY_ALLOCATION;
        }
        for (int row = 0; row < height && status == 0; row += bandRows) {
            const int rows = std::min(bandRows, height - row);
            for (int x = 0; x < width; ++x) {
                const double* column = grid[x] + row;
                for (int r = 0; r < rows; ++r)
                    band[static_cast<std::size_t>(r) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] = StoredValue(column[r]);
            }
            for (int r = 0; r < rows && status == 0; ++r) {
                long first[2] = {1, static_cast<long>(row) + r + 1};
                ffppx(file, TUSHORT, first, width, band.get() + static_cast<std::size_t>(r) * static_cast<std::size_t>(width), &status);
            }
        }
    }
    // The file ends with the primary data unit, padded to whole blocks; the block the
    // library allocated may be larger.
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    ffghadll(file, &headStart, &dataStart, &dataEnd, &status);
    {
        const std::lock_guard<std::mutex> lock(memoryFileTable);
        ffclos(file, &status);
    }
    if (status == 0 && (dataEnd < 0 || static_cast<std::uint64_t>(dataEnd) > bytes.capacity)) {
        ffpmsg("The written file is larger than its memory");
        status = MEMORY_ALLOCATION;
    }
    bytes.size = status == 0 ? static_cast<std::size_t>(dataEnd) : 0;
    return status;
}

} // namespace

FitsError saveFits(const ImageRecord& record, const std::string& path)
{
    // The library writes the file into memory; the bytes then replace the target in one
    // step.
    FitsBytes bytes;
    const int status = WriteFitsBytes(record, bytes);
    if (status != 0) {
        ReportFitsError(status);
        return FitsError::Unwritable;
    }
    const ReplaceOutcome outcome = ReplaceFile(path, [&bytes](int fd) { return WriteAll(fd, bytes.data, bytes.size); });
    if (!outcome.replaced()) {
        std::fprintf(stderr, "Cannot write %s: %s\n", PrintableText(path).c_str(), std::strerror(outcome.error));
        return FitsError::Unwritable;
    }
    if (outcome.otherNames > 0)
        std::fprintf(stderr, "%s had %d other name(s) (hard links); they keep the previous contents\n",
                     PrintableText(path).c_str(), outcome.otherNames);
    return FitsError::None;
}

} // namespace skyvane
