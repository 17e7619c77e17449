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

// How the pixels of a file are stored, as its cards say.
struct StoredForm {
    int bitpix = 0;
    double scale = 1.0;
    double zero = 0.0;
    // 16-bit integers with BZERO 32768 or 0 and BSCALE 1: the pixels can be converted here,
    // exactly as the library converts unsigned 16-bit values for such a file.
    bool streamable() const { return bitpix == SHORT_IMG && scale == 1.0 && (zero == 32768.0 || zero == 0.0); }
};

// Writes the record's cards and pixels as a FITS file into bytes. With pixels false only
// the header is rendered and kept (bytes.size ends where the data begin), and form tells
// how the data are to be stored. Returns the library status (0 when everything was written
// and the file closed).
int WriteFitsBytes(const ImageRecord& record, FitsBytes& bytes, bool pixels = true, StoredForm* form = nullptr)
{
    const ImageGrid& grid = record.grid;
    const int width = grid.width();
    const int height = grid.height();
    // Room for the usual case, 16-bit pixels; the library grows the block when the cards
    // ask for more, by a quarter of this at a time. The data of a header-only rendering are
    // never written, so their pages are never touched.
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
    if (status == 0 && form != nullptr) {
        ffgidt(file, &form->bitpix, &status);
        for (auto [keyword, value] : {std::pair{"BSCALE", &form->scale}, std::pair{"BZERO", &form->zero}}) {
            int keyStatus = 0;
            if (ffgkyd(file, keyword, value, nullptr, &keyStatus) != 0 && keyStatus != KEY_NO_EXIST)
                form->bitpix = 0; // not understood here: the library writes the pixels
        }
        ffcmsg(); // a missing keyword is no error here
    }
    if (status == 0 && pixels && width > 0 && height > 0) {
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
    bytes.size = status == 0 ? static_cast<std::size_t>(pixels ? dataEnd : dataStart) : 0;
    return status;
}

// Stored 16-bit values of rows [firstRow, firstRow + rows) of the grid, row after row, as
// the file holds them (big-endian; flip 0x8000 for BZERO 32768, 0 for BZERO 0): the
// unsigned value StoredValue gives, converted as the library converts it for such a file.
// A tile of columns is first converted column by column (contiguous, vectorised), then
// turned into the band's rows while it is in the first-level cache.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("avx2", "default")))
#endif
void StoreRows16(const ImageGrid& grid, int firstRow, int rows, std::uint16_t flip, std::uint16_t* band)
{
    const int width = grid.width();
    constexpr int Tile = 32;
    constexpr int TileRows = 64;
    std::uint16_t tile[Tile * TileRows];
    for (int r0 = 0; r0 < rows; r0 += TileRows) {
        const int tileRows = std::min(TileRows, rows - r0);
        for (int x0 = 0; x0 < width; x0 += Tile) {
            const int columns = std::min(width - x0, Tile);
            for (int c = 0; c < columns; ++c) {
                const double* __restrict column = grid[x0 + c] + firstRow + r0;
                std::uint16_t* __restrict converted = tile + c * TileRows;
                for (int r = 0; r < tileRows; ++r) {
                    double v = column[r];
                    v = v > 0.0 ? v : 0.0; // negatives, zero and not-a-number
                    v = v < 32767.0 ? v : 32767.0;
                    const auto u = static_cast<std::uint16_t>(static_cast<std::uint16_t>(static_cast<int>(v)) ^ flip);
                    converted[r] = static_cast<std::uint16_t>((u >> 8) | (u << 8));
                }
            }
            for (int r = 0; r < tileRows; ++r) {
                std::uint16_t* __restrict out = band + static_cast<std::size_t>(r0 + r) * static_cast<std::size_t>(width) + x0;
                for (int c = 0; c < columns; ++c)
                    out[c] = tile[c * TileRows + r];
            }
        }
    }
}

// Writes the data unit of a streamable form to fd: the pixels a band of rows at a time,
// then zeros to the end of the last block. False with errno set on failure.
bool WritePixels16(int fd, const ImageGrid& grid, const StoredForm& form)
{
    const int width = grid.width();
    const int height = grid.height();
    std::uint64_t written = 0;
    if (width > 0 && height > 0) {
        const std::uint16_t flip = form.zero == 32768.0 ? 0x8000 : 0;
        const int bandRows = static_cast<int>(std::clamp<std::size_t>((std::size_t{256} << 10) / (static_cast<std::size_t>(width) * 2), 1, static_cast<std::size_t>(height)));
        std::unique_ptr<std::uint16_t[]> band = TryBuffer<std::uint16_t>(static_cast<std::int64_t>(bandRows) * width);
        if (!band) {
            errno = ENOMEM;
            return false;
        }
        for (int row = 0; row < height; row += bandRows) {
            const int rows = std::min(bandRows, height - row);
            StoreRows16(grid, row, rows, flip, band.get());
            const std::size_t bytes = static_cast<std::size_t>(rows) * static_cast<std::size_t>(width) * 2;
            if (!WriteAll(fd, band.get(), bytes))
                return false;
            written += bytes;
        }
    }
    static const char zeros[BlockBytes] = {};
    const auto fill = static_cast<std::size_t>(RoundUpToBlock(written) - written);
    return fill == 0 || WriteAll(fd, zeros, fill);
}

} // namespace

FitsError saveFits(const ImageRecord& record, const std::string& path)
{
    // The library writes the file into memory; the bytes then replace the target in one
    // step. The header always comes from the library. The pixels of the usual 16-bit forms
    // are converted here and written a band at a time straight into the new file, without
    // the whole file in memory first; the bytes are those the library writes.
    FitsBytes header;
    FitsBytes whole;
    StoredForm form;
    int status = WriteFitsBytes(record, header, false, &form);
    const bool stream = status == 0 && form.streamable();
    if (status == 0 && !stream)
        status = WriteFitsBytes(record, whole);
    const FitsBytes& bytes = stream ? header : whole;
    if (status != 0) {
        ReportFitsError(status);
        return FitsError::Unwritable;
    }
    const ReplaceOutcome outcome = ReplaceFile(path, [&](int fd) {
        return WriteAll(fd, bytes.data, bytes.size) && (!stream || WritePixels16(fd, record.grid, form));
    });
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
