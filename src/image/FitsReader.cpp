#include "image/FitsReader.h"

#include <fitsio.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "image/FitsInput.h"
#include "image/FitsLibrary.h"

namespace skyvane {

using namespace fits;

namespace {

// Below this many pixels a second reading thread costs more than it saves.
constexpr std::int64_t ThreadedPixels = std::int64_t{1} << 20;

// The error of a failed library call: memory or anything else.
FitsError ErrorOfStatus(int status)
{
    if (status == 0)
        return FitsError::None;
    return status == MEMORY_ALLOCATION ? FitsError::NotEnoughMemory : FitsError::Unreadable;
}

// Opens path read-only at the first unit of the file that holds an image of two axes or a
// colour cube (three axes, NAXIS3 = 3: red, green and blue), and reads its axes. None such:
// the file is closed, NotTwoDimensional returned. A library failure closes the file and
// returns its error after printing the library's report. On None the file is open and axes
// holds NAXIS1, NAXIS2 and the planes (1 for a 2-D image).
FitsError OpenTwoDimensional(const std::string& path, FitsInput& input, FitsExtent extent, long axes[3])
{
    int status = input.open(path, extent);
    int axisCount = 0;
    ffgidm(input.file(), &axisCount, &status);
    axes[2] = 1;
    if (status == 0 && axisCount == 3)
        ffgisz(input.file(), 3, axes, &status);
    if (status == 0 && (axisCount != 2 && !(axisCount == 3 && axes[2] == 3))) {
        input.close(status);
        return FitsError::NotTwoDimensional;
    }
    ffgisz(input.file(), 2, axes, &status);
    if (status != 0) {
        input.close(status);
        ReportFitsError(status);
        return ErrorOfStatus(status);
    }
    return FitsError::None;
}

// A library status for an error, for the row loops that pass statuses along.
int StatusOf(FitsError error)
{
    if (error == FitsError::None)
        return 0;
    return error == FitsError::NotEnoughMemory ? MEMORY_ALLOCATION : READ_ERROR;
}

// Copies a band of rows (row-major, width values per row) into the columns of the grid,
// rows firstRow onward. Column by column, so each column receives a contiguous run while
// the band, small enough to stay in cache, is read with a stride. The grid is far larger
// than the cache and is not read again here, so its values are stored around the cache
// (non-temporal stores): that spares reading every line of the grid before writing it.
void TransposeBand(const double* band, int firstRow, int rows, ImageGrid& grid)
{
    const int width = grid.width();
    const std::ptrdiff_t stride = width;
    for (int x = 0; x < width; ++x) {
        double* column = grid[x] + firstRow;
        const double* source = band + x;
        int r = 0;
#if defined(__SSE2__)
        if (reinterpret_cast<std::uintptr_t>(column) % 16 != 0 && r < rows) {
            column[r] = source[r * stride];
            ++r;
        }
        for (; r + 1 < rows; r += 2)
            _mm_stream_pd(column + r, _mm_set_pd(source[(r + 1) * stride], source[r * stride]));
#endif
        for (; r < rows; ++r)
            column[r] = source[r * stride];
    }
#if defined(__SSE2__)
    _mm_sfence(); // the streamed values are visible to every thread before the band is reused
#endif
}

// Reads rows [firstRow, endRow) of an open file into the grid, band by band. Returns 0 or
// the library status; *rowsDone tells how many rows from firstRow are in the grid.
int ReadRowRange(FitsImageReader& reader, int firstRow, int endRow, ImageGrid& grid, int& rowsDone)
{
    rowsDone = 0;
    if (endRow <= firstRow || grid.width() <= 0)
        return 0;
    if (grid.width() > BandValues) {
        // Rows longer than a band (a corrupt or freak header): read each row in segments,
        // so the buffer stays small whatever NAXIS1 says.
        std::unique_ptr<double[]> segment(new (std::nothrow) double[BandValues]);
        if (!segment)
            return MEMORY_ALLOCATION;
        for (int row = firstRow; row < endRow; ++row) {
            for (int x0 = 0; x0 < grid.width(); x0 += static_cast<int>(BandValues)) {
                const int count = static_cast<int>(std::min<long>(BandValues, grid.width() - x0));
                if (reader.readRowSegment(row, x0, count, segment.get()) != FitsError::None)
                    return READ_ERROR;
                for (int x = 0; x < count; ++x)
                    grid[x0 + x][row] = segment[static_cast<std::size_t>(x)];
            }
            ++rowsDone;
        }
        return 0;
    }
    const int bandRows = BandRows(grid.width(), endRow - firstRow);
    std::unique_ptr<double[]> band = TryBuffer<double>(static_cast<std::int64_t>(bandRows) * grid.width());
    if (!band) {
        std::fprintf(stderr, "Not enough memory for a row buffer of %d x %d values\n", grid.width(), bandRows);
        return MEMORY_ALLOCATION;
    }
    for (int row = firstRow; row < endRow; row += bandRows) {
        const int rows = std::min(bandRows, endRow - row);
        if (reader.readRows(row, rows, band.get()) != FitsError::None)
            return READ_ERROR;
        TransposeBand(band.get(), row, rows, grid);
        rowsDone += rows;
    }
    return 0;
}

// The library's conversion of stored 16-bit integers to doubles: the value itself when
// BSCALE is 1 and BZERO 0, otherwise stored * BSCALE + BZERO, in that order, in double.
struct StoredScaling {
    double scale = 1.0;
    double zero = 0.0;
    double operator()(std::int16_t stored) const
    {
        if (scale == 1.0 && zero == 0.0)
            return static_cast<double>(stored);
        return static_cast<double>(stored) * scale + zero;
    }
};

// The image's BSCALE and BZERO (1 and 0 where absent). False when a card is there but
// cannot be read as a number.
bool ReadScaling(fitsfile* file, double& scale, double& zero)
{
    for (auto [keyword, value] : {std::pair{"BSCALE", &scale}, std::pair{"BZERO", &zero}}) {
        int keyStatus = 0;
        if (ffgkyd(file, keyword, value, nullptr, &keyStatus) != 0 && keyStatus != KEY_NO_EXIST) {
            ffcmsg();
            return false;
        }
    }
    ffcmsg(); // a missing keyword is no error here
    return true;
}

// Whether the image's header has a BLANK card: its stored value marks missing pixels,
// which only the library's reading turns into not-a-number.
// Where the data of the file's current image start, when the file on disk holds all
// dataBytes of them.
bool StoredDataStart(fitsfile* file, int descriptor, std::uint64_t dataBytes, LONGLONG& dataStart)
{
    int status = 0;
    LONGLONG headStart = 0, dataEnd = 0;
    ffghadll(file, &headStart, &dataStart, &dataEnd, &status);
    struct stat opened {};
    return status == 0 && ::fstat(descriptor, &opened) == 0 && dataStart >= 0 &&
           static_cast<std::uint64_t>(opened.st_size) >= static_cast<std::uint64_t>(dataStart) + dataBytes;
}

bool DeclaresBlank(fitsfile* file)
{
    long long blank = 0;
    int keyStatus = 0;
    const bool declared = ffgkyjj(file, "BLANK", &blank, nullptr, &keyStatus) == 0 || keyStatus != KEY_NO_EXIST;
    ffcmsg();
    return declared;
}

// Whether the image of path has BITPIX 16 without BLANK, and its scaling (BSCALE and BZERO,
// 1 and 0 when absent). False when either keyword is present but not a number.
bool ReadStoredScaling(const std::string& path, StoredScaling& scaling)
{
    FitsInput input;
    int status = input.open(path, FitsExtent::Header);
    int bitpix = 0;
    ffgidt(input.file(), &bitpix, &status);
    bool usable = status == 0 && bitpix == SHORT_IMG && !input.tileCompressed();
    usable = usable && ReadScaling(input.file(), scaling.scale, scaling.zero) && !DeclaresBlank(input.file());
    ffcmsg();
    input.close(status);
    return usable && status == 0;
}

// As TransposeBand, for stored 16-bit values converted on the way.
void TransposeBand16(const std::int16_t* band, int firstRow, int rows, const StoredScaling& convert, ImageGrid& grid)
{
    const int width = grid.width();
    const std::ptrdiff_t stride = width;
    for (int x = 0; x < width; ++x) {
        double* column = grid[x] + firstRow;
        const std::int16_t* source = band + x;
        int r = 0;
#if defined(__SSE2__)
        if (reinterpret_cast<std::uintptr_t>(column) % 16 != 0 && r < rows) {
            column[r] = convert(source[r * stride]);
            ++r;
        }
        for (; r + 1 < rows; r += 2)
            _mm_stream_pd(column + r, _mm_set_pd(convert(source[(r + 1) * stride]), convert(source[r * stride])));
#endif
        for (; r < rows; ++r)
            column[r] = convert(source[r * stride]);
    }
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// Rows [firstRow, endRow) of a plane of a BITPIX 16 image, into a grid of one plane, through a handle of its own that reads the
// stored integers (scaling off, so the library only swaps bytes) and converts them while
// transposing: one pass over the grid instead of the library's pass into doubles and a
// second one into the columns. Results are exactly those of reading doubles.
int ReadRowRange16(const std::string& path, int plane, int firstRow, int endRow, const StoredScaling& convert, ImageGrid& grid, int& rowsDone)
{
    rowsDone = 0;
    if (endRow <= firstRow || grid.width() <= 0)
        return 0;
    const int width = grid.width();
    const int bandRows = BandRows(width, endRow - firstRow);
    std::unique_ptr<std::int16_t[]> band = TryBuffer<std::int16_t>(static_cast<std::int64_t>(bandRows) * width);
    if (!band)
        return MEMORY_ALLOCATION;
    FitsInput input;
    int status = input.open(path, FitsExtent::Image);
    ffpscl(input.file(), 1.0, 0.0, &status);
    for (int row = firstRow; row < endRow && status == 0; row += bandRows) {
        const int rows = std::min(bandRows, endRow - row);
        long first[3] = {1, static_cast<long>(row) + 1, static_cast<long>(plane) + 1};
        ffgpxv(input.file(), TSHORT, first, static_cast<LONGLONG>(width) * rows, nullptr, band.get(), nullptr, &status);
        if (status == 0) {
            TransposeBand16(band.get(), row, rows, convert, grid);
            rowsDone += rows;
        }
    }
    input.close(status);
    ReportFitsError(status);
    return status;
}

// Whether a file's image is stored as 32-bit floating point without scaling (BSCALE 1 or
// absent, BZERO 0 or absent) and is not tile-compressed: then each value read as a double
// is the stored value, converted, and nothing else (the library checks floating-point
// values for no undefined ones here; see readValues).
bool StoredFloatUnscaled(const std::string& path)
{
    FitsInput input;
    int status = input.open(path, FitsExtent::Header);
    int bitpix = 0;
    ffgidt(input.file(), &bitpix, &status);
    bool usable = status == 0 && bitpix == FLOAT_IMG && !input.tileCompressed();
    for (const auto& [keyword, expected] : {std::pair{"BSCALE", 1.0}, std::pair{"BZERO", 0.0}}) {
        int keyStatus = 0;
        double value = expected;
        if (usable && ffgkyd(input.file(), keyword, &value, nullptr, &keyStatus) != 0)
            usable = keyStatus == KEY_NO_EXIST;
        usable = usable && value == expected;
    }
    ffcmsg(); // a missing keyword is no error here
    input.close(status);
    return usable && status == 0;
}

// As TransposeBand, for stored 32-bit floating-point values converted on the way.
void TransposeBand32(const float* band, int firstRow, int rows, ImageGrid& grid)
{
    const int width = grid.width();
    const std::ptrdiff_t stride = width;
    for (int x = 0; x < width; ++x) {
        double* column = grid[x] + firstRow;
        const float* source = band + x;
        int r = 0;
#if defined(__SSE2__)
        if (reinterpret_cast<std::uintptr_t>(column) % 16 != 0 && r < rows) {
            column[r] = static_cast<double>(source[r * stride]);
            ++r;
        }
        for (; r + 1 < rows; r += 2)
            _mm_stream_pd(column + r, _mm_set_pd(static_cast<double>(source[(r + 1) * stride]), static_cast<double>(source[r * stride])));
#endif
        for (; r < rows; ++r)
            column[r] = static_cast<double>(source[r * stride]);
    }
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// As ReadRowRange16, for an image StoredFloatUnscaled qualifies: the library reads the
// stored floats (it only swaps bytes), converted to doubles while transposing.
int ReadRowRange32(const std::string& path, int plane, int firstRow, int endRow, ImageGrid& grid, int& rowsDone)
{
    rowsDone = 0;
    if (endRow <= firstRow || grid.width() <= 0)
        return 0;
    const int width = grid.width();
    const int bandRows = BandRows(width, endRow - firstRow);
    std::unique_ptr<float[]> band = TryBuffer<float>(static_cast<std::int64_t>(bandRows) * width);
    if (!band)
        return MEMORY_ALLOCATION;
    FitsInput input;
    int status = input.open(path, FitsExtent::Image);
    for (int row = firstRow; row < endRow && status == 0; row += bandRows) {
        const int rows = std::min(bandRows, endRow - row);
        long first[3] = {1, static_cast<long>(row) + 1, static_cast<long>(plane) + 1};
        ffgpxv(input.file(), TFLOAT, first, static_cast<LONGLONG>(width) * rows, nullptr, band.get(), nullptr, &status);
        if (status == 0) {
            TransposeBand32(band.get(), row, rows, grid);
            rowsDone += rows;
        }
    }
    input.close(status);
    ReportFitsError(status);
    return status;
}

} // namespace

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("avx2", "default")))
#endif
void ConvertStored16(const std::uint16_t* bigEndian, std::size_t count, double scale, double zero, double* out)
{
    if (scale == 1.0 && zero == 0.0) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint16_t u = bigEndian[i];
            out[i] = static_cast<double>(static_cast<std::int16_t>(static_cast<std::uint16_t>((u >> 8) | (u << 8))));
        }
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint16_t u = bigEndian[i];
            out[i] = static_cast<double>(static_cast<std::int16_t>(static_cast<std::uint16_t>((u >> 8) | (u << 8)))) * scale + zero;
        }
    }
}

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("avx2", "default")))
#endif
void ConvertStoredFloats(const std::uint32_t* bigEndian, std::size_t count, double* out)
{
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t u = __builtin_bswap32(bigEndian[i]);
        float value;
        std::memcpy(&value, &u, sizeof value);
        out[i] = static_cast<double>(value);
    }
}

// ---------------------------------------------------------------------------------------
// FitsImageReader

FitsImageReader::FitsImageReader() = default;

FitsImageReader::FitsImageReader(FitsImageReader&& other) noexcept
    : input_(std::move(other.input_)), size_(other.size_), plane_(other.plane_), direct_(other.direct_), directFloats_(other.directFloats_),
      integerValues_(other.integerValues_), floats_(other.floats_), dataStart_(other.dataStart_), scale_(other.scale_), zero_(other.zero_)
{
    other.size_ = {};
    other.direct_ = false;
    other.directFloats_ = false;
}

FitsImageReader& FitsImageReader::operator=(FitsImageReader&& other) noexcept
{
    if (this != &other) {
        close();
        input_ = std::move(other.input_);
        size_ = other.size_;
        plane_ = other.plane_;
        direct_ = other.direct_;
        directFloats_ = other.directFloats_;
        integerValues_ = other.integerValues_;
        floats_ = other.floats_;
        dataStart_ = other.dataStart_;
        scale_ = other.scale_;
        zero_ = other.zero_;
        other.size_ = {};
        other.direct_ = false;
        other.directFloats_ = false;
    }
    return *this;
}

FitsImageReader::~FitsImageReader()
{
    close();
}

void FitsImageReader::close()
{
    if (input_ != nullptr) {
        int status = 0;
        input_->close(status);
        input_.reset();
        ReportFitsError(status);
    }
    size_ = {};
    plane_ = 0;
    direct_ = false;
    directFloats_ = false;
    integerValues_ = false;
    floats_ = -1;
    scale_ = 1.0;
    zero_ = 0.0;
}

void FitsImageReader::selectPlane(int plane)
{
    if (plane >= 0 && plane < size_.planes)
        plane_ = plane;
}

std::int64_t FitsImageReader::planeStart() const
{
    return static_cast<std::int64_t>(plane_) * size_.width * size_.height;
}

void FitsImageReader::readValues(long first[3], long long count, double* out, int& status)
{
    // Undefined pixels of integer images (BLANK) become not-a-number. Floating-point values
    // come through as stored, not-a-number and infinities alike: the library's check for
    // undefined values would take infinities for them too.
    double notANumber = std::numeric_limits<double>::quiet_NaN();
    double* missing = integerValues_ ? &notANumber : nullptr;
    if (input_->tileCompressed()) {
        ffgpxv(input_->file(), TDOUBLE, first, count, missing, out, nullptr, &status);
        return;
    }
    // By element number: the library's reading by pixel position fails on a null value
    // that is not a number.
    const LONGLONG element = planeStart() + (static_cast<LONGLONG>(first[1]) - 1) * size_.width + first[0];
    int anyMissing = 0;
    ffgpv(input_->file(), TDOUBLE, element, count, missing, out, &anyMissing, &status);
}

bool FitsImageReader::isOpen() const
{
    return input_ != nullptr && (direct_ || input_->isOpen());
}

bool FitsImageReader::inMemory() const
{
    return input_ != nullptr && input_->inMemory();
}

bool FitsImageReader::readStoredDirectly()
{
    if (!isOpen() || direct_ || inMemory() || input_->tileCompressed() || size_.width <= 0 || size_.height <= 0)
        return false;
    fitsfile* file = input_->file();
    int status = 0;
    int bitpix = 0;
    ffgidt(file, &bitpix, &status);
    if (status != 0 || bitpix != SHORT_IMG)
        return false;
    double scale = 1.0;
    double zero = 0.0;
    if (!ReadScaling(file, scale, zero))
        return false;
    if (DeclaresBlank(file))
        return false;
    // Only an increasing map from stored integers to finite values: then the order of the
    // stored integers is the order of the values.
    if (!(scale > 0.0) || !std::isfinite(scale) || !std::isfinite(zero) || !std::isfinite(-32768.0 * scale + zero) ||
        !std::isfinite(32767.0 * scale + zero))
        return false;
    const std::uint64_t dataBytes = static_cast<std::uint64_t>(size_.width) * static_cast<std::uint64_t>(size_.height) *
                                    static_cast<std::uint64_t>(size_.planes) * 2;
    LONGLONG dataStart = 0;
    if (!StoredDataStart(file, input_->descriptor(), dataBytes, dataStart))
        return false;

    // The last row both ways: the library's doubles and the direct conversion must agree
    // bit for bit.
    const std::size_t width = static_cast<std::size_t>(size_.width);
    std::unique_ptr<double[]> viaLibrary(new (std::nothrow) double[width]);
    std::unique_ptr<double[]> direct(new (std::nothrow) double[width]);
    std::unique_ptr<std::uint16_t[]> stored(new (std::nothrow) std::uint16_t[width]);
    if (!viaLibrary || !direct || !stored || readRows(size_.height - 1, 1, viaLibrary.get()) != FitsError::None)
        return false;
    direct_ = true;
    dataStart_ = dataStart;
    scale_ = scale;
    zero_ = zero;
    if (readStoredRows(size_.height - 1, 1, stored.get()) == FitsError::None) {
        ConvertStored16(stored.get(), width, scale, zero, direct.get());
        if (std::memcmp(viaLibrary.get(), direct.get(), width * sizeof(double)) == 0) {
            input_->closeLibrary(status);
            ReportFitsError(status);
            return true;
        }
    }
    direct_ = false;
    scale_ = 1.0;
    zero_ = 0.0;
    return false;
}

bool FitsImageReader::readsFloats()
{
    if (floats_ >= 0)
        return floats_ == 1;
    if (!isOpen() || direct_ || input_->tileCompressed() || size_.width <= 0 || size_.height <= 0)
        return false;
    floats_ = 0;
    fitsfile* file = input_->file();
    int status = 0;
    int bitpix = 0;
    ffgidt(file, &bitpix, &status);
    if (status != 0 || bitpix != FLOAT_IMG)
        return false;
    double scale = 1.0;
    double zero = 0.0;
    if (!ReadScaling(file, scale, zero))
        return false;
    if (scale != 1.0 || zero != 0.0)
        return false;
    // The last row both ways: the library's doubles and the floats made doubles must agree
    // bit for bit.
    const std::size_t width = static_cast<std::size_t>(size_.width);
    std::unique_ptr<double[]> viaLibrary(new (std::nothrow) double[width]);
    std::unique_ptr<float[]> asFloats(new (std::nothrow) float[width]);
    if (!viaLibrary || !asFloats || readRows(size_.height - 1, 1, viaLibrary.get()) != FitsError::None)
        return false;
    floats_ = 1;
    if (readFloatRows(size_.height - 1, 1, asFloats.get()) == FitsError::None) {
        bool same = true;
        for (std::size_t i = 0; i < width && same; ++i) {
            const double made = static_cast<double>(asFloats[i]);
            same = std::memcmp(&made, &viaLibrary[i], sizeof made) == 0;
        }
        if (same)
            return true;
    }
    floats_ = 0;
    return false;
}

FitsError FitsImageReader::readFloatRows(int firstRow, int rowCount, float* out)
{
    if (floats_ != 1 || !isOpen() || firstRow < 0 || rowCount < 0 || static_cast<std::int64_t>(firstRow) + rowCount > size_.height) {
        std::fprintf(stderr, "Rows %d to %d are outside the image\n", firstRow, firstRow + rowCount - 1);
        return FitsError::Unreadable;
    }
    if (rowCount == 0 || size_.width == 0)
        return FitsError::None;
    int status = 0;
    const LONGLONG element = planeStart() + static_cast<LONGLONG>(firstRow) * size_.width + 1;
    const LONGLONG count = static_cast<LONGLONG>(size_.width) * rowCount;
    int anyMissing = 0;
    // No value stands for a missing one: the floats come as stored.
    ffgpv(input_->file(), TFLOAT, element, count, nullptr, out, &anyMissing, &status);
    ReportFitsError(status);
    return ErrorOfStatus(status);
}

FitsError FitsImageReader::readStoredRows(int firstRow, int rowCount, std::uint16_t* bigEndian)
{
    if (!direct_ || firstRow < 0 || rowCount < 0 || static_cast<std::int64_t>(firstRow) + rowCount > size_.height) {
        std::fprintf(stderr, "Rows %d to %d are outside the image\n", firstRow, firstRow + rowCount - 1);
        return FitsError::Unreadable;
    }
    return readStoredValues(planeStart() + static_cast<std::int64_t>(firstRow) * size_.width,
                            static_cast<std::size_t>(rowCount) * static_cast<std::size_t>(size_.width), bigEndian);
}

bool FitsImageReader::readFloatsDirectly()
{
    if (directFloats_)
        return true;
    if (!isOpen() || direct_ || inMemory() || input_->tileCompressed() || size_.width <= 0 || size_.height <= 0)
        return false;
    fitsfile* file = input_->file();
    int status = 0;
    int bitpix = 0;
    ffgidt(file, &bitpix, &status);
    if (status != 0 || bitpix != FLOAT_IMG)
        return false;
    double scale = 1.0;
    double zero = 0.0;
    if (!ReadScaling(file, scale, zero) || scale != 1.0 || zero != 0.0)
        return false;
    const std::uint64_t dataBytes = static_cast<std::uint64_t>(size_.width) * static_cast<std::uint64_t>(size_.height) *
                                    static_cast<std::uint64_t>(size_.planes) * 4;
    LONGLONG dataStart = 0;
    if (!StoredDataStart(file, input_->descriptor(), dataBytes, dataStart))
        return false;

    // The last row both ways: the library's doubles and the direct conversion must agree
    // bit for bit.
    const std::size_t width = static_cast<std::size_t>(size_.width);
    std::unique_ptr<double[]> viaLibrary(new (std::nothrow) double[width]);
    std::unique_ptr<double[]> direct(new (std::nothrow) double[width]);
    std::unique_ptr<std::uint32_t[]> stored(new (std::nothrow) std::uint32_t[width]);
    if (!viaLibrary || !direct || !stored || readRows(size_.height - 1, 1, viaLibrary.get()) != FitsError::None)
        return false;
    directFloats_ = true;
    dataStart_ = dataStart;
    if (readStoredFloatRows(size_.height - 1, 1, stored.get()) == FitsError::None) {
        ConvertStoredFloats(stored.get(), width, direct.get());
        if (std::memcmp(viaLibrary.get(), direct.get(), width * sizeof(double)) == 0)
            return true;
    }
    directFloats_ = false;
    return false;
}

FitsError FitsImageReader::readStoredFloatRows(int firstRow, int rowCount, std::uint32_t* bigEndian)
{
    if (!directFloats_ || firstRow < 0 || rowCount < 0 || static_cast<std::int64_t>(firstRow) + rowCount > size_.height) {
        std::fprintf(stderr, "Rows %d to %d are outside the image\n", firstRow, firstRow + rowCount - 1);
        return FitsError::Unreadable;
    }
    return readStoredBytes(planeStart() + static_cast<std::int64_t>(firstRow) * size_.width,
                           static_cast<std::size_t>(rowCount) * static_cast<std::size_t>(size_.width), sizeof(std::uint32_t), bigEndian);
}

FitsError FitsImageReader::readStoredValues(std::int64_t first, std::size_t count, std::uint16_t* bigEndian)
{
    return readStoredBytes(first, count, sizeof(std::uint16_t), bigEndian);
}

FitsError FitsImageReader::readStoredBytes(std::int64_t first, std::size_t count, std::size_t valueBytes, void* out)
{
    auto* bytes = static_cast<char*>(out);
    std::size_t left = count * valueBytes;
    auto at = static_cast<off_t>(dataStart_ + first * static_cast<std::int64_t>(valueBytes));
    while (left > 0) {
        const ssize_t got = ::pread(input_->descriptor(), bytes, left, at);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            std::fprintf(stderr, "Cannot read stored pixels: %s\n", got < 0 ? std::strerror(errno) : "the file ends before its data");
            return FitsError::Unreadable;
        }
        bytes += got;
        left -= static_cast<std::size_t>(got);
        at += got;
    }
    return FitsError::None;
}

// Direct reads into doubles, a piece at a time through a small buffer of stored values.
FitsError FitsImageReader::readConverted(std::int64_t first, std::size_t count, double* out)
{
    constexpr std::size_t Piece = 8192;
    if (directFloats_) {
        std::uint32_t stored[Piece];
        for (std::size_t done = 0; done < count;) {
            const std::size_t n = std::min(Piece, count - done);
            if (const FitsError error = readStoredBytes(first + static_cast<std::int64_t>(done), n, sizeof(std::uint32_t), stored);
                error != FitsError::None)
                return error;
            ConvertStoredFloats(stored, n, out + done);
            done += n;
        }
        return FitsError::None;
    }
    std::uint16_t stored[Piece];
    for (std::size_t done = 0; done < count;) {
        const std::size_t n = std::min(Piece, count - done);
        if (const FitsError error = readStoredValues(first + static_cast<std::int64_t>(done), n, stored); error != FitsError::None)
            return error;
        ConvertStored16(stored, n, scale_, zero_, out + done);
        done += n;
    }
    return FitsError::None;
}

FitsError FitsImageReader::open(const std::string& path, ImageSize expected)
{
    close();
    std::unique_ptr<FitsInput> input(new (std::nothrow) FitsInput);
    if (input == nullptr)
        return FitsError::NotEnoughMemory;
    long axes[3] = {0, 0, 1};
    if (const FitsError error = OpenTwoDimensional(path, *input, FitsExtent::Image, axes); error != FitsError::None)
        return error;
    int status = 0;
    if (axes[0] != expected.width || axes[1] != expected.height || axes[2] != expected.planes) {
        input->close(status);
        return FitsError::SizeMismatch;
    }
    int bitpix = 0;
    ffgidt(input->file(), &bitpix, &status);
    integerValues_ = status == 0 && bitpix > 0;
    ffcmsg();
    input_ = std::move(input);
    size_ = expected;
    plane_ = 0;
    return FitsError::None;
}

FitsError FitsImageReader::readRows(int firstRow, int rowCount, double* out)
{
    if (!isOpen() || firstRow < 0 || rowCount < 0 || static_cast<std::int64_t>(firstRow) + rowCount > size_.height) {
        std::fprintf(stderr, "Rows %d to %d are outside the image\n", firstRow, firstRow + rowCount - 1);
        return FitsError::Unreadable;
    }
    if (rowCount == 0 || size_.width == 0)
        return FitsError::None;
    if (direct_ || directFloats_)
        return readConverted(planeStart() + static_cast<std::int64_t>(firstRow) * size_.width,
                             static_cast<std::size_t>(size_.width) * static_cast<std::size_t>(rowCount), out);
    int status = 0;
    long first[3] = {1, static_cast<long>(firstRow) + 1, static_cast<long>(plane_) + 1};
    const LONGLONG count = static_cast<LONGLONG>(size_.width) * rowCount;
    readValues(first, count, out, status);
    ReportFitsError(status);
    return ErrorOfStatus(status);
}

bool FitsImageReader::holdsAllData() const
{
    if (!isOpen())
        return false;
    if (direct_)
        return true; // checked when the direct reading began
    fitsfile* file = input_->file();
    int status = 0;
    int bitpix = 0;
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    ffgidt(file, &bitpix, &status);
    ffghadll(file, &headStart, &dataStart, &dataEnd, &status);
    if (status != 0 || bitpix == 0)
        return false;
    if (input_->tileCompressed())
        return dataEnd <= file->Fptr->logfilesize; // the tiles, whatever they expand to
    const std::uint64_t pixelBytes = static_cast<std::uint64_t>(std::abs(bitpix) / 8);
    const std::uint64_t pixels = static_cast<std::uint64_t>(size_.width) * static_cast<std::uint64_t>(size_.height) *
                                 static_cast<std::uint64_t>(size_.planes);
    const std::uint64_t available = static_cast<std::uint64_t>(std::max<LONGLONG>(0, file->Fptr->logfilesize - dataStart));
    return pixels <= available / pixelBytes;
}

FitsError FitsImageReader::readRowSegment(int row, int firstColumn, int count, double* out)
{
    if (!isOpen() || row < 0 || row >= size_.height || firstColumn < 0 || count < 0 ||
        static_cast<std::int64_t>(firstColumn) + count > size_.width) {
        std::fprintf(stderr, "Columns %d to %d of row %d are outside the image\n", firstColumn, firstColumn + count - 1, row);
        return FitsError::Unreadable;
    }
    if (count == 0)
        return FitsError::None;
    if (direct_ || directFloats_)
        return readConverted(planeStart() + static_cast<std::int64_t>(row) * size_.width + firstColumn, static_cast<std::size_t>(count), out);
    int status = 0;
    long first[3] = {static_cast<long>(firstColumn) + 1, static_cast<long>(row) + 1, static_cast<long>(plane_) + 1};
    readValues(first, count, out, status);
    ReportFitsError(status);
    return ErrorOfStatus(status);
}

// ---------------------------------------------------------------------------------------
// Reading steps

FitsError readFitsSize(const std::string& path, ImageSize& size)
{
    FitsInput input;
    long axes[3] = {0, 0, 1};
    if (const FitsError error = OpenTwoDimensional(path, input, FitsExtent::Header, axes); error != FitsError::None)
        return error;
    int status = 0;
    input.close(status);
    if (status != 0) {
        ReportFitsError(status);
        return ErrorOfStatus(status);
    }
    // Extents are 32-bit; a larger (or negative) axis is a corrupt or unusable header.
    if (axes[0] < 0 || axes[0] > INT_MAX || axes[1] < 0 || axes[1] > INT_MAX) {
        std::fprintf(stderr, "Image axes %ld x %ld are out of range\n", axes[0], axes[1]);
        return FitsError::Unreadable;
    }
    size.width = static_cast<int>(axes[0]);
    size.height = static_cast<int>(axes[1]);
    size.planes = static_cast<int>(axes[2]);
    return FitsError::None;
}

namespace {

// readFitsPixels; clearUnread says whether rows that could not be read must be set to 0
// (a grid that already held values) or are 0 already (a freshly sized grid, whose untouched
// pages stay uncommitted: a corrupt header declaring gigantic axes costs no memory).
FitsError ReadPixels(const std::string& path, ImageSize expected, ImageGrid& grid, bool clearUnread)
{
    if (grid.width() != expected.width || grid.height() != expected.height || grid.planes() != expected.planes) {
        std::fprintf(stderr, "The grid (%d x %d x %d) does not have the expected size %d x %d x %d\n", grid.width(), grid.height(),
                     grid.planes(), expected.width, expected.height, expected.planes);
        return FitsError::Unreadable;
    }
    FitsImageReader reader;
    if (const FitsError error = reader.open(path, expected); error != FitsError::None)
        return error;
    int status = 0;

    const int height = expected.height;
    if (!reader.holdsAllData() && clearUnread && grid.tryResize(expected.width, expected.height, expected.planes)) {
        // The file cannot fill the grid, so the read will fail part way. Start from fresh
        // zero pages rather than clearing the old values afterwards, which would commit
        // every page of a grid that a corrupt header may have made gigantic.
        clearUnread = false;
    }
    if (reader.holdsAllData())
        grid.commitPages();
    // BITPIX 16 images (the common camera format) take the one-pass road when their rows
    // fit a band. Its first row is checked against the library's own doubles; should they
    // ever differ, everything is read again the ordinary way.
    // A gzipped file is read from memory, through this one handle: a second one would
    // inflate it again.
    const bool inMemory = reader.inMemory();
    // Unscaled 32-bit floating-point images (the frames list jobs write) likewise.
    StoredScaling scaling;
    std::unique_ptr<double[]> firstRow;
    const bool fitsBand = !inMemory && grid.width() <= BandValues && height > 0;
    const bool stored16 = fitsBand && ReadStoredScaling(path, scaling);
    const bool stored32 = fitsBand && !stored16 && StoredFloatUnscaled(path);
    const bool onePass = (stored16 || stored32) && (firstRow = TryBuffer<double>(grid.width())) != nullptr;
    if (onePass)
        status = StatusOf(reader.readRows(0, 1, firstRow.get()));

    // Two threads, each with a handle of its own, read the two halves of a large image.
    // The library opens a read-only file anew for each handle, so this is safe when it
    // was built reentrant. Every value is read and placed exactly as by one thread.
    const bool twoThreads = !inMemory && fits_is_reentrant() != 0 && grid.pixelCount() >= ThreadedPixels && height >= 2 &&
                            std::thread::hardware_concurrency() >= 2;
    // The planes one after the other (a grey image has one), each read as a 2-D image. On
    // failure, plane is the one that failed.
    int plane = 0;
    int split = twoThreads ? height / 2 : height;
    int firstDone = 0;
    int secondDone = 0;
    for (; status == 0 && plane < expected.planes; ++plane) {
        ImageGrid view = grid.planeView(plane);
        reader.selectPlane(plane);
        firstDone = 0;
        secondDone = 0;
        auto readRange = [&](FitsImageReader& own, int first, int end, int& done) {
            if (onePass)
                return stored16 ? ReadRowRange16(path, plane, first, end, scaling, view, done)
                                : ReadRowRange32(path, plane, first, end, view, done);
            return ReadRowRange(own, first, end, view, done);
        };
        if (!twoThreads) {
            status = readRange(reader, 0, height, firstDone);
        } else {
            int secondStatus = 0;
            const auto readSecondHalf = [&] {
                FitsImageReader own;
                // The first handle has checked the file; should this one fail anyway, its
                // error ends the read.
                secondStatus = onePass ? 0 : StatusOf(own.open(path, expected));
                own.selectPlane(plane);
                if (secondStatus == 0)
                    secondStatus = readRange(own, split, height, secondDone);
            };
            std::thread second;
            try {
                second = std::thread(readSecondHalf);
            } catch (const std::system_error&) {
                // No thread to be had (short of memory, say): the second half is read here.
            }
            status = readRange(reader, 0, split, firstDone);
            if (second.joinable())
                second.join();
            else if (status == 0)
                readSecondHalf();
            if (status == 0)
                status = secondStatus;
        }
        if (status != 0)
            break;
    }
    if (status == 0 && onePass) {
        for (int x = 0; x < grid.width(); ++x) {
            if (std::memcmp(&grid[x][0], &firstRow[static_cast<std::size_t>(x)], sizeof(double)) != 0) {
                std::fprintf(stderr, stored16 ? "Stored 16-bit values convert differently from the library's; reading again\n"
                                              : "Stored floating-point values convert differently from the library's; reading again\n");
                split = height;
                secondDone = 0;
                for (plane = 0; plane < expected.planes; ++plane) {
                    ImageGrid view = grid.planeView(plane);
                    reader.selectPlane(plane);
                    if ((status = ReadRowRange(reader, 0, height, view, firstDone)) != 0)
                        break;
                }
                break;
            }
        }
    }
    reader.close();
    if (status != 0) {
        // Rows that were not read hold 0, as in a freshly sized grid, never values of the
        // image the grid held before.
        for (int p = plane; clearUnread && p < expected.planes; ++p) {
            ImageGrid view = grid.planeView(p);
            const bool failedPlane = p == plane;
            for (int x = 0; x < grid.width(); ++x) {
                double* column = view[x];
                std::fill(column + (failedPlane ? firstDone : 0), column + split, 0.0);
                std::fill(column + (failedPlane ? split + secondDone : split), column + height, 0.0);
            }
        }
        return status == MEMORY_ALLOCATION ? FitsError::NotEnoughMemory : FitsError::Unreadable;
    }
    return FitsError::None;
}

} // namespace

FitsError readFitsPixels(const std::string& path, ImageSize expected, ImageGrid& grid)
{
    return ReadPixels(path, expected, grid, true);
}

namespace {

// Appends the cards of the unit the file stands at, as the file holds them (END excluded).
// Returns the library status.
int AppendStoredCards(fitsfile* file, HeaderCards& cards, int& status)
{
    int count = 0;
    ffghsp(file, &count, nullptr, &status);
    if (status == 0 && count > 0)
        cards.block().reserve(cards.block().size() + static_cast<std::size_t>(count) * HeaderCards::RecordBytes);
    char card[FLEN_CARD] = {};
    for (int j = 1; j <= count && status == 0; ++j) {
        ffgrec(file, j, card, &status);
        if (status == 0)
            cards.append(std::string_view(card, ::strnlen(card, HeaderCards::CardLength)));
    }
    return status;
}

// Appends the cards of a tile-compressed image as the image's own header (the library
// turns the table's cards into those of the image it holds). Returns the library status.
int AppendImageCards(fitsfile* file, HeaderCards& cards, int& status)
{
    char* header = nullptr;
    int count = 0;
    {
        // The library makes the image's header in a memory file of its own.
        const std::lock_guard<std::mutex> lock(memoryFileTable);
        ffcnvthdr2str(file, 0, nullptr, 0, &header, &count, &status);
    }
    if (status == 0 && header != nullptr) {
        const std::size_t length = ::strnlen(header, static_cast<std::size_t>(count) * HeaderCards::CardLength);
        for (std::size_t at = 0; at + HeaderCards::CardLength <= length; at += HeaderCards::CardLength) {
            const std::string_view card(header + at, HeaderCards::CardLength);
            if (card.substr(0, 8) != "END     ")
                cards.append(card);
        }
    }
    if (header != nullptr)
        fffree(header, &status);
    return status;
}

// The keyword of a card, without trailing blanks.
std::string_view CardKeyword(std::string_view card)
{
    std::string_view keyword = card.substr(0, 8);
    while (!keyword.empty() && keyword.back() == ' ')
        keyword.remove_suffix(1);
    return keyword;
}

bool HoldsValue(std::string_view card)
{
    return card.size() >= 10 && card.substr(8, 2) == "= ";
}

// Keywords that describe a unit's structure or its stored values, which a unit never takes
// from the primary header.
bool IsStructural(std::string_view keyword)
{
    static constexpr std::string_view Names[] = {"SIMPLE", "XTENSION", "BITPIX", "NAXIS", "EXTEND", "PCOUNT", "GCOUNT", "GROUPS",
                                                 "BSCALE", "BZERO",    "BLANK",  "CHECKSUM", "DATASUM", "INHERIT", "END"};
    for (const std::string_view name : Names)
        if (keyword == name)
            return true;
    return keyword.size() > 5 && keyword.substr(0, 5) == "NAXIS" && keyword.find_first_not_of("0123456789", 5) == std::string_view::npos;
}

// The cards of an image stored in an extension, made into those of a primary header (the
// form every record holds and a save writes): XTENSION becomes SIMPLE, PCOUNT and GCOUNT
// go. With INHERIT = T the cards of the primary header follow the unit's own, except those
// of the structure and the stored values and those the unit sets itself.
int ExtensionCards(fitsfile* file, bool tileCompressed, HeaderCards& cards, int& status)
{
    HeaderCards own;
    if (tileCompressed)
        AppendImageCards(file, own, status);
    else
        AppendStoredCards(file, own, status);
    if (status != 0)
        return status;
    bool inherit = false;
    for (int i = 0; i < own.count(); ++i) {
        const std::string_view card = own.card(i);
        const std::string_view keyword = CardKeyword(card);
        if (i == 0 && keyword == "XTENSION") {
            cards.append("SIMPLE  =                    T / file does conform to FITS standard");
        } else if (keyword == "PCOUNT" || keyword == "GCOUNT") {
            continue;
        } else if (keyword == "INHERIT" && HoldsValue(card)) {
            const std::size_t at = card.find_first_not_of(' ', 10);
            inherit = at != std::string_view::npos && card[at] == 'T';
        } else {
            cards.append(card);
        }
    }
    if (!inherit)
        return status;
    int type = ANY_HDU;
    ffmahd(file, 1, &type, &status);
    HeaderCards primary;
    AppendStoredCards(file, primary, status);
    for (int i = 0; i < primary.count() && status == 0; ++i) {
        const std::string_view card = primary.card(i);
        const std::string_view keyword = CardKeyword(card);
        if (IsStructural(keyword))
            continue;
        bool present = false;
        for (int j = 0; j < own.count() && !present; ++j)
            present = own.card(j) == card || (HoldsValue(card) && HoldsValue(own.card(j)) && CardKeyword(own.card(j)) == keyword);
        if (!present)
            cards.append(card);
    }
    return status;
}

} // namespace

FitsError readFitsHeaderCards(const std::string& path, HeaderCards& cards)
{
    FitsInput input;
    int status = input.open(path, FitsExtent::Header);
    HeaderCards read;
    try {
        if (status == 0 && input.unit() == 1)
            AppendStoredCards(input.file(), read, status);
        else if (status == 0)
            ExtensionCards(input.file(), input.tileCompressed(), read, status);
    } catch (const std::bad_alloc&) {
        ffpmsg("Not enough memory for the header cards");
        status = MEMORY_ALLOCATION;
    }
    input.close(status);
    if (status != 0) {
        ReportFitsError(status);
        return ErrorOfStatus(status);
    }
    cards = std::move(read);
    return FitsError::None;
}

// ---------------------------------------------------------------------------------------
// Loading a record

LoadStatus loadFits(ImageRecord& record, const std::string& path)
{
    LoadStatus status;
    status.step = LoadStep::Size;
    if ((status.error = readFitsSize(path, status.size)) != FitsError::None)
        return status;
    const ImageSize size = status.size;
    ImageGrid& grid = record.grid;
    // Every value is read from the file (or set to 0 on failure), so a grid of the same
    // size is reused as it is.
    status.step = LoadStep::Data;
    const bool reused = grid.width() == size.width && grid.height() == size.height && grid.planes() == size.planes;
    if (!grid.tryResizeForOverwrite(size.width, size.height, size.planes)) {
        status.error = FitsError::NotEnoughMemory;
        return status;
    }
    // Reading a gzipped file takes memory of the image's size besides the grid.
    if ((status.error = ReadPixels(path, size, grid, reused)) != FitsError::None)
        return status;
    status.step = LoadStep::Headers;
    status.error = readFitsHeaderCards(path, record.cards);
    return status;
}

} // namespace skyvane
