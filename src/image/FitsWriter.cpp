#include "image/FitsWriter.h"

#include <fitsio.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>
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

bool OutsideStoredRange(double value)
{
    return !(value >= 0.0 && value <= 32767.0); // not-a-number included
}

// The stored value of one pixel in a 32-bit floating-point file.
float FloatValue(double value)
{
    if (value > static_cast<double>(std::numeric_limits<float>::max()))
        return std::numeric_limits<float>::infinity();
    if (value < -static_cast<double>(std::numeric_limits<float>::max()))
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

bool HasKeyword(std::string_view card, std::string_view keyword)
{
    if (card.size() < 8 || card.substr(0, keyword.size()) != keyword)
        return false;
    for (std::size_t i = keyword.size(); i < 8; ++i)
        if (card[i] != ' ')
            return false;
    return true;
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

// Converts a band of rows (rows x width, row after row) from the grid's columns into
// the stored values.
template <typename Sample, typename Convert>
void ConvertBand(const ImageGrid& grid, int row, int rows, Sample* band, Convert convert)
{
    const int width = grid.width();
    for (int x = 0; x < width; ++x) {
        const double* column = grid[x] + row;
        for (int r = 0; r < rows; ++r)
            band[static_cast<std::size_t>(r) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] = convert(column[r]);
    }
}

// Writes the pixels of the grid a band of rows at a time, in the sample type given.
template <typename Sample, typename Convert>
void WritePixels(fitsfile* file, const ImageGrid& grid, int dataType, Convert convert, int* status)
{
    const int width = grid.width();
    const int height = grid.height();
    // Converted a band of rows at a time, walking each column contiguously; written
    // row by row at pixel (1, r) as the file's own row length dictates.
    const int bandRows = BandRows(width, height);
    std::unique_ptr<Sample[]> band = TryBuffer<Sample>(static_cast<std::int64_t>(bandRows) * width);
    if (!band) {
        ffpmsg("Not enough memory for the row buffer");
        *status = MEMORY_ALLOCATION;
    }
    for (int row = 0; row < height && *status == 0; row += bandRows) {
        const int rows = std::min(bandRows, height - row);
        ConvertBand(grid, row, rows, band.get(), convert);
        for (int r = 0; r < rows && *status == 0; ++r) {
            long first[2] = {1, static_cast<long>(row) + r + 1};
            ffppx(file, dataType, first, width, band.get() + static_cast<std::size_t>(r) * static_cast<std::size_t>(width), status);
        }
    }
}

// Writes the cards and the record's pixels as a FITS file into bytes. Returns the library
// status (0 when everything was written and the file closed).
int WriteFitsBytes(const ImageRecord& record, const HeaderCards& cards, SampleFormat format, FitsBytes& bytes)
{
    const ImageGrid& grid = record.grid;
    const int width = grid.width();
    const int height = grid.height();
    // Room for the usual case, 16-bit pixels; the library grows the block when the cards
    // ask for more, by a quarter of this at a time.
    const std::uint64_t headerBytes = RoundUpToBlock((static_cast<std::uint64_t>(cards.count()) + 1) * CardBytes);
    const std::uint64_t sampleBytes = format == SampleFormat::Float32 ? 4 : 2;
    const std::uint64_t guess = headerBytes + RoundUpToBlock(static_cast<std::uint64_t>(grid.pixelCount()) * sampleBytes);
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
        if (format == SampleFormat::Float32)
            WritePixels<float>(file, grid, TFLOAT, FloatValue, &status);
        else
            WritePixels<unsigned short>(file, grid, TUSHORT, StoredValue, &status);
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

HeaderCards Float32Cards(const HeaderCards& cards)
{
    HeaderCards result;
    result.block().reserve(cards.block().size());
    for (int i = 0; i < cards.count(); ++i) {
        const std::string_view card = cards.card(i);
        if (HasKeyword(card, "BZERO") || HasKeyword(card, "BSCALE") || HasKeyword(card, "BLANK"))
            continue;
        if (HasKeyword(card, "BITPIX"))
            result.append("BITPIX  =                  -32 / 32-bit floating point");
        else
            result.append(card);
    }
    return result;
}

FitsError saveFits(const ImageRecord& record, const std::string& path)
{
    return saveFits(record, path, SampleFormat::Integer16);
}

FitsError saveFits(const ImageRecord& record, const std::string& path, SampleFormat format, SaveReport* report,
                   Durability durability)
{
    if (report != nullptr) {
        *report = SaveReport{};
        if (format == SampleFormat::Integer16) {
            const double* p = record.grid.data();
            std::int64_t clipped = 0;
            for (std::int64_t i = 0, n = record.grid.pixelCount(); i < n; ++i)
                clipped += OutsideStoredRange(p[i]) ? 1 : 0;
            report->clippedPixels = clipped;
        }
    }
    // The library writes the file into memory; the bytes then replace the target in one
    // step.
    FitsBytes bytes;
    const int status = format == SampleFormat::Float32 ? WriteFitsBytes(record, Float32Cards(record.cards), format, bytes)
                                                       : WriteFitsBytes(record, record.cards, format, bytes);
    if (status != 0) {
        ReportFitsError(status);
        return FitsError::Unwritable;
    }
    const ReplaceOutcome outcome =
        ReplaceFile(path, [&bytes](int fd) { return WriteAll(fd, bytes.data, bytes.size); }, durability == Durability::Synced);
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
