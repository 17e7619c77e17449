#include "image/FitsWriter.h"

#include <fitsio.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
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
#include "image/ValueRange.h"

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

// The stored value of one pixel in a 32-bit floating-point file: rounded to single
// precision; beyond its range, infinity of the value's sign.
float FloatValue(double value)
{
    constexpr double largest = std::numeric_limits<float>::max();
    constexpr float infinity = std::numeric_limits<float>::infinity();
    const double inRange = value > largest ? largest : (value < -largest ? -largest : value); // NaN passes
    const float f = static_cast<float>(inRange);
    return value > largest ? infinity : (value < -largest ? -infinity : f);
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
    // Lets the bytes go, for the file to be written again.
    void release()
    {
        std::free(data);
        data = nullptr;
        capacity = 0;
        size = 0;
    }
};

// How the pixels of a file are stored, as its cards say.
struct StoredForm {
    int bitpix = 0;
    double scale = 1.0;
    double zero = 0.0;
    bool hasBlank = false; // a BLANK card, with its value
    long long blank = 0;
    // 16-bit integers with BZERO 32768 or 0 and BSCALE 1: the pixels can be converted here,
    // exactly as the library converts unsigned 16-bit values for such a file.
    bool streamable() const { return bitpix == SHORT_IMG && scale == 1.0 && (zero == 32768.0 || zero == 0.0); }
};

// Whether the primary array the library has read from the cards has the size given: two
// axes for one plane, three with NAXIS3 = 3 for a colour image. 0, or BAD_NAXIS after
// putting the reason on the library's message stack.
int CheckAxes(fitsfile* file, ImageSize size)
{
    int status = 0;
    int axisCount = 0;
    long axes[3] = {0, 0, 1};
    ffgidm(file, &axisCount, &status);
    if (status == 0 && (axisCount == 2 || axisCount == 3))
        ffgisz(file, axisCount, axes, &status);
    if (status != 0)
        return status;
    const int wanted = size.planes == 1 ? 2 : 3;
    if (axisCount != wanted || axes[0] != size.width || axes[1] != size.height || axes[2] != size.planes) {
        char text[200];
        std::snprintf(text, sizeof text, "The header cards (NAXIS = %d, %ld x %ld x %ld) do not describe the %d x %d x %d image", axisCount,
                      axes[0], axes[1], axes[2], size.width, size.height, size.planes);
        ffpmsg(text);
        return BAD_NAXIS;
    }
    return 0;
}

// Writes cards and the grid's pixels as a FITS file into bytes. With pixels false only
// the header is rendered and kept (bytes.size ends where the data begin), and form tells
// how the data are to be stored. Returns the library status (0 when everything was written
// and the file closed).
int WriteFitsBytes(const HeaderCards& cards, const ImageGrid& grid, FitsBytes& bytes, bool pixels = true, StoredForm* form = nullptr)
{
    const int width = grid.width();
    const int height = grid.height();
    // Room for the usual case, 16-bit pixels; the library grows the block when the cards
    // ask for more, by a quarter of this at a time. The data of a header-only rendering are
    // never written, so their pages are never touched.
    const std::uint64_t headerBytes = RoundUpToBlock((static_cast<std::uint64_t>(cards.count()) + 1) * CardBytes);
    const std::uint64_t guess = headerBytes + RoundUpToBlock(static_cast<std::uint64_t>(grid.valueCount()) * 2);
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
    if (status == 0)
        status = CheckAxes(file, {width, height, grid.planes()});
    if (status == 0 && form != nullptr) {
        ffgidt(file, &form->bitpix, &status);
        for (auto [keyword, value] : {std::pair{"BSCALE", &form->scale}, std::pair{"BZERO", &form->zero}}) {
            int keyStatus = 0;
            if (ffgkyd(file, keyword, value, nullptr, &keyStatus) != 0 && keyStatus != KEY_NO_EXIST)
                form->bitpix = 0; // not understood here: the library writes the pixels
        }
        int keyStatus = 0;
        form->hasBlank = ffgkyjj(file, "BLANK", &form->blank, nullptr, &keyStatus) == 0;
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
        for (int p = 0; p < grid.planes() && status == 0; ++p) {
            const ImageGrid plane = grid.planeView(p);
            for (int row = 0; row < height && status == 0; row += bandRows) {
                const int rows = std::min(bandRows, height - row);
                for (int x = 0; x < width; ++x) {
                    const double* column = plane[x] + row;
                    for (int r = 0; r < rows; ++r)
                        band[static_cast<std::size_t>(r) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] = StoredValue(column[r]);
                }
                for (int r = 0; r < rows && status == 0; ++r) {
                    long first[3] = {1, static_cast<long>(row) + r + 1, static_cast<long>(p) + 1};
                    ffppx(file, TUSHORT, first, width, band.get() + static_cast<std::size_t>(r) * static_cast<std::size_t>(width), &status);
                }
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

// The header of a file: the cards, END, blanks to a whole block.
std::string HeaderBytes(const HeaderCards& cards)
{
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(RoundUpToBlock((static_cast<std::uint64_t>(cards.count()) + 1) * CardBytes)));
    for (int i = 0; i < cards.count(); ++i)
        bytes.append(cards.card(i));
    bytes.append("END");
    bytes.append(CardBytes - 3, ' ');
    bytes.append(static_cast<std::size_t>(RoundUpToBlock(bytes.size())) - bytes.size(), ' ');
    return bytes;
}

// Has the library read the header: it must describe an image of the size given (a 2-D
// image, or a cube of three planes for a colour image), stored as 32-bit floating point.
// The library's status (0 when it does).
int CheckFloat32Header(const std::string& header, ImageSize size)
{
    void* memory = const_cast<char*>(header.data());
    std::size_t length = header.size();
    int status = 0;
    fitsfile* file = nullptr;
    {
        const std::lock_guard<std::mutex> lock(memoryFileTable);
        ffomem(&file, "header", READONLY, &memory, &length, 0, nullptr, &status);
    }
    if (file == nullptr)
        return status != 0 ? status : FILE_NOT_OPENED;
    int bitpix = 0;
    ffgidt(file, &bitpix, &status);
    if (status == 0)
        status = CheckAxes(file, size);
    if (status == 0 && bitpix != FLOAT_IMG) {
        char text[160];
        std::snprintf(text, sizeof text, "The header cards (BITPIX = %d) do not describe a 32-bit floating-point image", bitpix);
        ffpmsg(text);
        status = BAD_BITPIX;
    }
    int closeStatus = 0;
    {
        const std::lock_guard<std::mutex> lock(memoryFileTable);
        ffclos(file, &closeStatus);
    }
    return status;
}

#if defined(__SSE2__)
// Four values (two in a, two in b) as StoreFloats stores them.
inline void StoreFour(__m128d a, __m128d b, std::uint32_t* out)
{
    const __m128d largest = _mm_set1_pd(static_cast<double>(std::numeric_limits<float>::max()));
    const __m128d lowest = _mm_set1_pd(-static_cast<double>(std::numeric_limits<float>::max()));
    const __m128d infinity = _mm_set1_pd(std::numeric_limits<double>::infinity());
    const __m128d minusInfinity = _mm_set1_pd(-std::numeric_limits<double>::infinity());
    const __m128i lowBytes = _mm_set1_epi32(0x00FF00FF);
    const auto toFloats = [&](__m128d x) {
        const __m128d above = _mm_cmpgt_pd(x, largest);
        const __m128d below = _mm_cmplt_pd(x, lowest);
        __m128d y = _mm_or_pd(_mm_and_pd(above, infinity), _mm_andnot_pd(above, x));
        y = _mm_or_pd(_mm_and_pd(below, minusInfinity), _mm_andnot_pd(below, y));
        return _mm_cvtpd_ps(y); // two floats in the low half
    };
    const __m128 f = _mm_movelh_ps(toFloats(a), toFloats(b));
    __m128i bits = _mm_castps_si128(f);
    bits = _mm_or_si128(_mm_slli_epi32(bits, 16), _mm_srli_epi32(bits, 16)); // swap the halves
    bits = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(bits, lowBytes), 8), _mm_and_si128(_mm_srli_epi16(bits, 8), lowBytes));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bits);
}
#endif

// One value as StoreFloats stores it.
inline std::uint32_t StoredFloat(double value)
{
    const float f = FloatValue(value);
    std::uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    return __builtin_bswap32(bits);
}

// n values as the file stores them: FloatValue of each, in the file's byte order
// (big-endian). Four values at a time where the processor has the instructions, with the
// same result: values beyond the float range become infinities of their sign before the
// conversion, the others convert exactly as FloatValue converts them.
void StoreFloats(const double* values, std::size_t n, std::uint32_t* out)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 4 <= n; i += 4)
        StoreFour(_mm_loadu_pd(values + i), _mm_loadu_pd(values + i + 2), out + i);
#endif
    for (; i < n; ++i)
        out[i] = StoredFloat(values[i]);
}

// Stored 16-bit values of rows [firstRow, firstRow + rows) of the grid, row after row, as
// the file holds them (big-endian; flip 0x8000 for BZERO 32768, 0 for BZERO 0): the
// unsigned value StoredValue gives (limited to top, 32767 or 65535), converted as the
// library converts it for such a file.
// A tile of columns is first converted column by column (contiguous, vectorised), then
// turned into the band's rows while it is in the first-level cache.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("avx2", "default")))
#endif
void StoreRows16(const ImageGrid& grid, int firstRow, int rows, std::uint16_t flip, double top, std::uint16_t* band)
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
                    v = v < top ? v : top;
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
// plane after plane, then zeros to the end of the last block. False with errno set on
// failure.
bool WritePixels16(int fd, const ImageGrid& grid, const StoredForm& form, double top)
{
    const int width = grid.width();
    const int height = grid.height();
    std::uint64_t written = 0;
    for (int p = 0; p < grid.planes() && width > 0 && height > 0; ++p) {
        const ImageGrid plane = grid.planeView(p);
        const std::uint16_t flip = form.zero == 32768.0 ? 0x8000 : 0;
        const int bandRows = static_cast<int>(std::clamp<std::size_t>((std::size_t{256} << 10) / (static_cast<std::size_t>(width) * 2), 1, static_cast<std::size_t>(height)));
        std::unique_ptr<std::uint16_t[]> band = TryBuffer<std::uint16_t>(static_cast<std::int64_t>(bandRows) * width);
        if (!band) {
            errno = ENOMEM;
            return false;
        }
        for (int row = 0; row < height; row += bandRows) {
            const int rows = std::min(bandRows, height - row);
            StoreRows16(plane, row, rows, flip, top, band.get());
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

namespace {

// saveFloat32Rows with the bands made by fill(fileRow, rowCount, values, stored): stored
// receives the rows as the file stores them; values is room for them as doubles.
template <typename Fill>
FitsError SaveFloat32Bands(const HeaderCards& cards, ImageSize size, const Fill& fill, const std::string& path, Durability durability)
{
    const std::string header = HeaderBytes(Float32Cards(cards));
    if (const int status = CheckFloat32Header(header, size); status != 0) {
        ReportFitsError(status);
        return FitsError::Unwritable;
    }
    const int width = std::max(size.width, 0);
    const int height = std::max(size.height, 0);
    // Bands of about 128 Ki values: a few system calls per frame, and small.
    const int bandRows = width == 0 ? std::max(height, 1) : std::clamp(131072 / width, 1, std::max(height, 1));
    bool sourceFailed = false;
    const auto write = [&](int fd) {
        if (!WriteAll(fd, header.data(), header.size()))
            return false;
        std::unique_ptr<double[]> values = TryBuffer<double>(static_cast<std::int64_t>(bandRows) * width);
        std::unique_ptr<std::uint32_t[]> stored = TryBuffer<std::uint32_t>(static_cast<std::int64_t>(bandRows) * width);
        if (width > 0 && height > 0 && (!values || !stored)) {
            errno = ENOMEM;
            return false;
        }
        // Plane after plane; a band never spans two planes.
        for (int p = 0; p < size.planes; ++p) {
            for (int row = 0; row < height; row += bandRows) {
                const int rows = std::min(bandRows, height - row);
                const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(width);
                if (!fill(p * height + row, rows, values.get(), stored.get())) {
                    sourceFailed = true;
                    errno = EIO;
                    return false;
                }
                if (!WriteAll(fd, stored.get(), count * sizeof(std::uint32_t)))
                    return false;
            }
        }
        const std::uint64_t dataBytes = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) *
                                        static_cast<std::uint64_t>(std::max(size.planes, 1)) * 4;
        const std::string padding(static_cast<std::size_t>(RoundUpToBlock(dataBytes) - dataBytes), '\0');
        return WriteAll(fd, padding.data(), padding.size());
    };
    const ReplaceOutcome outcome = ReplaceFile(path, write, durability == Durability::Synced);
    if (sourceFailed)
        return FitsError::Unreadable;
    if (!outcome.replaced()) {
        std::fprintf(stderr, "Cannot write %s: %s\n", PrintableText(path).c_str(), std::strerror(outcome.error));
        return FitsError::Unwritable;
    }
    return FitsError::None;
}

// The rows firstRow .. firstRow + rowCount - 1 (in file order) of a grid as the file
// stores them: eight columns at a time, two values of each column in, and each row's
// eight values stored at once (see GridRows).
bool StoreGridRows(const ImageGrid& grid, int firstRow, int rowCount, std::uint32_t* out)
{
    const int width = grid.width();
    const int height = grid.height();
    if (height <= 0)
        return rowCount == 0;
    const ImageGrid plane = grid.planeView(firstRow / height);
    firstRow %= height;
    if (firstRow < 0 || rowCount < 0 || firstRow + rowCount > height)
        return false;
    constexpr int Block = 8;
    const std::size_t stride = static_cast<std::size_t>(width);
    int x0 = 0;
    for (; x0 + Block <= width; x0 += Block) {
        const double* columns[Block];
        for (int j = 0; j < Block; ++j)
            columns[j] = plane[x0 + j] + firstRow;
        std::uint32_t* target = out + x0;
        int r = 0;
#if defined(__SSE2__)
        for (; r + 1 < rowCount; r += 2, target += 2 * stride) {
            __m128d first[Block / 2];
            __m128d second[Block / 2];
            for (int j = 0; j < Block; j += 2) {
                const __m128d left = _mm_loadu_pd(columns[j] + r);
                const __m128d right = _mm_loadu_pd(columns[j + 1] + r);
                first[j / 2] = _mm_unpacklo_pd(left, right);
                second[j / 2] = _mm_unpackhi_pd(left, right);
            }
            StoreFour(first[0], first[1], target);
            StoreFour(first[2], first[3], target + 4);
            StoreFour(second[0], second[1], target + stride);
            StoreFour(second[2], second[3], target + stride + 4);
        }
#endif
        for (; r < rowCount; ++r, target += stride)
            for (int j = 0; j < Block; ++j)
                target[j] = StoredFloat(columns[j][r]);
    }
    for (int x = x0; x < width; ++x) {
        const double* column = plane[x] + firstRow;
        for (int r = 0; r < rowCount; ++r)
            out[static_cast<std::size_t>(r) * stride + static_cast<std::size_t>(x)] = StoredFloat(column[r]);
    }
    return true;
}

} // namespace

FitsError saveFloat32Rows(const HeaderCards& cards, ImageSize size, const RowSource& source, const std::string& path,
                          Durability durability)
{
    const auto fill = [&](int firstRow, int rowCount, double* values, std::uint32_t* stored) {
        if (!source(firstRow, rowCount, values))
            return false;
        StoreFloats(values, static_cast<std::size_t>(rowCount) * static_cast<std::size_t>(std::max(size.width, 0)), stored);
        return true;
    };
    return SaveFloat32Bands(cards, size, fill, path, durability);
}

FitsError saveFloat32Grid(const HeaderCards& cards, const ImageGrid& grid, const std::string& path, Durability durability)
{
    const auto fill = [&](int firstRow, int rowCount, double*, std::uint32_t* stored) { return StoreGridRows(grid, firstRow, rowCount, stored); };
    return SaveFloat32Bands(cards, GridSize(grid), fill, path, durability);
}

RowSource GridRows(const ImageGrid& grid)
{
    return [&grid](int firstRow, int rowCount, double* out) {
        const int width = grid.width();
        const int height = grid.height();
        if (height <= 0)
            return rowCount == 0;
        // Rows of plane firstRow / height, which they never leave.
        const ImageGrid plane = grid.planeView(firstRow / height);
        firstRow %= height;
        if (firstRow < 0 || rowCount < 0 || firstRow + rowCount > height)
            return false;
        // Eight columns at a time: each row of the band then receives a whole cache line at
        // once. Column by column, every value would land in another line of the band, lines
        // a row's length apart, which the cache holds only a few of at a time.
        constexpr int Block = 8;
        const std::size_t stride = static_cast<std::size_t>(width);
        int x0 = 0;
        for (; x0 + Block <= width; x0 += Block) {
            const double* columns[Block];
            for (int j = 0; j < Block; ++j)
                columns[j] = plane[x0 + j] + firstRow;
            double* target = out + x0;
            int r = 0;
#if defined(__SSE2__)
            // Two rows of two columns at a time: two values of each column in, two of each
            // row out.
            for (; r + 1 < rowCount; r += 2, target += 2 * stride)
                for (int j = 0; j < Block; j += 2) {
                    const __m128d left = _mm_loadu_pd(columns[j] + r);
                    const __m128d right = _mm_loadu_pd(columns[j + 1] + r);
                    _mm_storeu_pd(target + j, _mm_unpacklo_pd(left, right));
                    _mm_storeu_pd(target + stride + j, _mm_unpackhi_pd(left, right));
                }
#endif
            for (; r < rowCount; ++r, target += stride)
                for (int j = 0; j < Block; ++j)
                    target[j] = columns[j][r];
        }
        for (int x = x0; x < width; ++x) {
            const double* column = plane[x] + firstRow;
            for (int r = 0; r < rowCount; ++r)
                out[static_cast<std::size_t>(r) * stride + static_cast<std::size_t>(x)] = column[r];
        }
        return true;
    };
}

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

ImageSize GridSize(const ImageGrid& grid)
{
    return {grid.width(), grid.height(), grid.planes()};
}

namespace {

// The card "KEYWORD = value" with an integer value, as the library writes it.
std::string IntegerCard(std::string_view keyword, long long value, std::string_view comment)
{
    char text[HeaderCards::CardLength + 1];
    std::snprintf(text, sizeof text, "%-8.8s= %20lld / %.*s", std::string(keyword).c_str(), value, static_cast<int>(comment.size()),
                  comment.data());
    return text;
}

} // namespace

HeaderCards PlaneCards(const HeaderCards& cards, int planes)
{
    HeaderCards result;
    result.block().reserve(cards.block().size() + HeaderCards::RecordBytes);
    for (int i = 0; i < cards.count(); ++i) {
        const std::string_view card = cards.card(i);
        if (HasKeyword(card, "NAXIS3"))
            continue;
        if (HasKeyword(card, "NAXIS")) {
            result.append(IntegerCard("NAXIS", planes == 3 ? 3 : 2, "number of data axes"));
        } else {
            result.append(card);
            if (HasKeyword(card, "NAXIS2") && planes == 3)
                result.append(IntegerCard("NAXIS3", 3, "planes: red, green, blue"));
        }
    }
    return result;
}

FitsError saveFits(const ImageRecord& record, const std::string& path)
{
    return saveFits(record, path, SampleFormat::Integer16);
}

namespace {

// The value a 16-bit save writes for v: truncated toward zero, limited to 0..top, missing
// as 0 (StoreRows16 and StoredValue, in double).
double WrittenValue(double v, double top)
{
    v = v > 0.0 ? v : 0.0;
    v = v < top ? v : top;
    return static_cast<double>(static_cast<int>(v));
}

HeaderCards WithoutKeyword(const HeaderCards& cards, std::string_view keyword)
{
    HeaderCards result;
    result.block().reserve(cards.block().size());
    for (int i = 0; i < cards.count(); ++i)
        if (!HasKeyword(cards.card(i), keyword))
            result.append(cards.card(i));
    return result;
}

// Whether a written value would be stored as the BLANK of the form, and so read back as
// missing.
bool StoredAsBlank(const ImageGrid& grid, const StoredForm& form, double top)
{
    const double* p = grid.data();
    const double blank = static_cast<double>(form.blank);
    for (std::int64_t i = 0, n = grid.valueCount(); i < n; ++i)
        if ((WrittenValue(p[i], top) - form.zero) / form.scale == blank)
            return true;
    return false;
}

} // namespace

HeaderCards SixteenBitCards(const HeaderCards& cards, bool unsignedZero)
{
    HeaderCards result;
    result.block().reserve(cards.block().size() + 2 * HeaderCards::RecordBytes);
    // BZERO and BSCALE go after the axes, where cameras put them.
    int lastAxis = -1;
    for (int i = 0; i < cards.count(); ++i) {
        const std::string_view keyword = cards.card(i).substr(0, 5);
        if (keyword == "NAXIS")
            lastAxis = i;
    }
    for (int i = 0; i < cards.count(); ++i) {
        const std::string_view card = cards.card(i);
        if (HasKeyword(card, "BZERO") || HasKeyword(card, "BSCALE") || HasKeyword(card, "BLANK"))
            continue;
        if (HasKeyword(card, "BITPIX"))
            result.append("BITPIX  =                   16 / 16-bit integers");
        else
            result.append(card);
        if (i == lastAxis && unsignedZero) {
            result.append("BZERO   =                32768 / offset data range to that of unsigned short");
            result.append("BSCALE  =                    1 / default scaling factor");
        }
    }
    return result;
}

FitsError saveFits(const ImageRecord& record, const std::string& path, SampleFormat format, SaveReport* report,
                   Durability durability)
{
    if (report != nullptr)
        *report = SaveReport{};
    if (format == SampleFormat::Float32)
        return saveFloat32Grid(record.cards, record.grid, path, durability);

    // What the 16-bit file cannot hold as it is: told, and it decides the cards.
    const bool unsignedRange = format == SampleFormat::Unsigned16;
    const double top = unsignedRange ? 65535.0 : 32767.0;
    const ValueCounts counts = CountValues(record.grid, top);
    const bool everyValueKept = counts.missing == 0 && counts.outside == 0 && counts.fractional == 0;
    if (report != nullptr) {
        report->clippedPixels = counts.outside;
        report->cutPixels = counts.fractional;
        report->missingPixels = counts.missing;
    }

    // The library writes the header (and the pixels of unusual forms) into memory; the
    // bytes then replace the target in one step. The pixels of the usual 16-bit forms are
    // converted here and written a band at a time straight into the new file, without the
    // whole file in memory first; the bytes are those the library writes.
    //
    // The record's cards are written as they are when their form stores the written values
    // as they are: integers without scaling (for the unsigned range only 16-bit ones with
    // BZERO 32768), or any form when no value had to change; either as long as the library
    // fills it without overflow. Otherwise the file gets 16-bit cards: a float card over
    // truncated values, a scaling that rounds them, or 8-bit integers too small for them
    // would misstate what is written. A BLANK that a written value would be read back as
    // is left out.
    FitsBytes header;
    StoredForm form;
    int status = WriteFitsBytes(record.cards, record.grid, header, false, &form);
    if (status != 0) {
        ReportFitsError(status);
        return FitsError::Unwritable;
    }
    const bool integers = form.bitpix > 0 && form.scale == 1.0 && form.zero == std::trunc(form.zero);
    const bool ownForm = unsignedRange ? form.bitpix == SHORT_IMG && form.scale == 1.0 && form.zero == 32768.0
                                       : integers || everyValueKept;
    const bool blankClash = form.hasBlank && form.bitpix > 0 && (counts.missing > 0 || StoredAsBlank(record.grid, form, top));
    HeaderCards rewritten;
    const HeaderCards* cards = &record.cards;
    const auto useSixteenBitCards = [&] {
        rewritten = SixteenBitCards(record.cards, unsignedRange);
        cards = &rewritten;
        header.release();
        form = StoredForm{};
        return WriteFitsBytes(*cards, record.grid, header, false, &form);
    };
    if (!ownForm) {
        status = useSixteenBitCards();
    } else if (blankClash) {
        rewritten = WithoutKeyword(record.cards, "BLANK");
        cards = &rewritten;
        header.release();
        status = WriteFitsBytes(*cards, record.grid, header, false, &form);
    }
    FitsBytes whole;
    bool stream = status == 0 && form.streamable();
    if (status == 0 && !stream) {
        status = WriteFitsBytes(*cards, record.grid, whole);
        if (status == NUM_OVERFLOW) {
            // Values beyond what the form's integers hold (an 8-bit file after a
            // multiplication, say): 16-bit cards, streamed.
            ffcmsg();
            whole.release();
            status = useSixteenBitCards();
            stream = status == 0 && form.streamable();
        }
    }
    const FitsBytes& bytes = stream ? header : whole;
    if (status != 0) {
        ReportFitsError(status);
        return FitsError::Unwritable;
    }
    const ReplaceOutcome outcome = ReplaceFile(
        path, [&](int fd) { return WriteAll(fd, bytes.data, bytes.size) && (!stream || WritePixels16(fd, record.grid, form, top)); },
        durability == Durability::Synced);
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
