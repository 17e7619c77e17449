#include "image/FitsFile.h"

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
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "shell/Messages.h"

namespace skyvane {

namespace {

constexpr const char* NotTwoDimensional = "Loaded image is not 2-D.\nOnly 2-D images are supported.";
constexpr const char* SizeMismatch = "Image size mismatch.";

// Rows are read in bands of about this many values: small enough that the band stays in
// the core's cache while it is transposed into the columns, large enough that the
// library's per-call cost does not show.
constexpr long BandValues = 32768;
// Below this many pixels a second reading thread costs more than it saves.
constexpr std::int64_t ThreadedPixels = std::int64_t{1} << 20;

fitsfile* AsFits(void* file)
{
    return static_cast<fitsfile*>(file);
}

// Closes an open file, keeping the first non-zero status (the library closes even when
// the status is already set).
void CloseFits(fitsfile*& file, int& status)
{
    if (file != nullptr) {
        ffclos(file, &status);
        file = nullptr;
    }
}

// Opens path read-only and reads the axes of its primary image. Not 2-D: the file is
// closed, "Loaded image is not 2-D..." shown, 1 returned. A library failure closes the file
// and returns the status after printing the library's report. On 0 the file is open and
// axes holds NAXIS1 and NAXIS2.
int OpenTwoDimensional(const std::string& path, fitsfile*& file, long axes[2], MessageSink& messages)
{
    int status = 0;
    ffopentest(CFITSIO_SONAME, &file, path.c_str(), READONLY, &status);
    int axisCount = 0;
    ffgidm(file, &axisCount, &status);
    if (status == 0 && axisCount != 2) {
        CloseFits(file, status);
        messages.showFileError(NotTwoDimensional, path);
        return 1;
    }
    ffgisz(file, 2, axes, &status);
    if (status != 0) {
        CloseFits(file, status);
        ReportFitsError(status);
        return status;
    }
    return 0;
}

// Rows per band for a given width: a multiple of 8 (so that each column receives whole
// 64-byte lines when it is aligned), at least 8, at most the image height.
int BandRows(int width, int height)
{
    const long rows = std::max<long>(8, BandValues / std::max(1, width) / 8 * 8);
    return static_cast<int>(std::min<long>(rows, std::max(1, height)));
}

// A buffer of count values, or nullptr when it cannot be had (never throws, never asks
// for more than the grid limit).
template <typename T>
std::unique_ptr<T[]> TryBuffer(std::int64_t count)
{
    if (count <= 0 || static_cast<std::uint64_t>(count) * sizeof(T) > GridMemoryLimit())
        return nullptr;
    return std::unique_ptr<T[]>(new (std::nothrow) T[static_cast<std::size_t>(count)]);
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
                const int status = reader.readRowSegment(row, x0, count, segment.get());
                if (status != 0)
                    return status;
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
        const int status = reader.readRows(row, rows, band.get());
        if (status != 0)
            return status;
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

// Whether the primary image of path has BITPIX 16, and its scaling (BSCALE and BZERO,
// 1 and 0 when absent). False when either keyword is present but not a number.
bool ReadStoredScaling(const std::string& path, StoredScaling& scaling)
{
    int status = 0;
    fitsfile* file = nullptr;
    ffopentest(CFITSIO_SONAME, &file, path.c_str(), READONLY, &status);
    int bitpix = 0;
    ffgidt(file, &bitpix, &status);
    bool usable = status == 0 && bitpix == SHORT_IMG;
    for (auto [keyword, value] : {std::pair{"BSCALE", &scaling.scale}, std::pair{"BZERO", &scaling.zero}}) {
        int keyStatus = 0;
        if (usable && ffgkyd(file, keyword, value, nullptr, &keyStatus) != 0)
            usable = keyStatus == KEY_NO_EXIST;
    }
    ffcmsg(); // a missing keyword is no error here
    CloseFits(file, status);
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

// Rows [firstRow, endRow) of a BITPIX 16 image, through a handle of its own that reads the
// stored integers (scaling off, so the library only swaps bytes) and converts them while
// transposing: one pass over the grid instead of the library's pass into doubles and a
// second one into the columns. Results are exactly those of reading doubles.
int ReadRowRange16(const std::string& path, int firstRow, int endRow, const StoredScaling& convert, ImageGrid& grid, int& rowsDone)
{
    rowsDone = 0;
    if (endRow <= firstRow || grid.width() <= 0)
        return 0;
    const int width = grid.width();
    const int bandRows = BandRows(width, endRow - firstRow);
    std::unique_ptr<std::int16_t[]> band = TryBuffer<std::int16_t>(static_cast<std::int64_t>(bandRows) * width);
    if (!band)
        return MEMORY_ALLOCATION;
    int status = 0;
    fitsfile* file = nullptr;
    ffopentest(CFITSIO_SONAME, &file, path.c_str(), READONLY, &status);
    ffpscl(file, 1.0, 0.0, &status);
    for (int row = firstRow; row < endRow && status == 0; row += bandRows) {
        const int rows = std::min(bandRows, endRow - row);
        long first[2] = {1, static_cast<long>(row) + 1};
        ffgpxv(file, TSHORT, first, static_cast<LONGLONG>(width) * rows, nullptr, band.get(), nullptr, &status);
        if (status == 0) {
            TransposeBand16(band.get(), row, rows, convert, grid);
            rowsDone += rows;
        }
    }
    CloseFits(file, status);
    ReportFitsError(status);
    return status;
}

// Discards messages: the second reading thread opens a file that the first has already
// checked; if it fails anyway, the library status says so.
class SilentMessages final : public MessageSink {
public:
    void showError(const std::string&) override {}
};

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

// The folder part of a path, with its trailing "/", or "" for a bare file name.
std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string NameOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where a save finally lands: a symbolic link is followed, so that saving through a link
// replaces the file it names rather than the link.
std::string SaveTarget(const std::string& path)
{
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            std::string target = resolved;
            std::free(resolved);
            return target;
        }
    }
    return path;
}

// Reserves a hidden file beside target ("." + name + ".XXXXXX.tmp" in the same folder, so
// the final rename stays on one file system). Returns "" when the folder cannot take it.
std::string ReserveTemporaryFile(const std::string& target)
{
    std::string name = FolderOf(target) + "." + NameOf(target) + ".XXXXXX.tmp";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    const int fd = ::mkstemps(buffer.data(), 4);
    if (fd < 0)
        return {};
    ::close(fd);
    return std::string(buffer.data());
}

// Pushes a finished file to the disk before it replaces the old one.
bool SyncFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

void SyncFolder(const std::string& target)
{
    const std::string folder = FolderOf(target);
    const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd); // best effort: the rename itself has been done
        ::close(fd);
    }
}

// Writes the record's cards and pixels to a new file of this exact name. Returns the
// library status (0 when everything was written and the file closed).
int WriteFitsFile(const std::string& fileName, const ImageRecord& record)
{
    int status = 0;
    fitsfile* file = nullptr;
    const std::string libraryName = "!" + fileName;
    ffinit(&file, libraryName.c_str(), &status);
    if (file == nullptr)
        return status != 0 ? status : FILE_NOT_CREATED;

    const HeaderCards& cards = record.cards;
    for (int i = 0; i < cards.count(); ++i)
        ffprec(file, cards.block().data() + static_cast<std::size_t>(i) * HeaderCards::RecordBytes, &status);

    // The cards alone define the primary array. Have the library parse them now: its
    // pixel writer does not check for a header it cannot parse (no SIMPLE card, say) and
    // then walks an undefined axis count.
    ffrdef(file, &status);

    const ImageGrid& grid = record.grid;
    const int width = grid.width();
    const int height = grid.height();
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
    CloseFits(file, status);
    return status;
}

} // namespace

void ReportFitsError(int status)
{
    if (status != 0)
        ffrprt(stderr, status);
}

// ---------------------------------------------------------------------------------------
// FitsImageReader

FitsImageReader::FitsImageReader(FitsImageReader&& other) noexcept
    : file_(other.file_), size_(other.size_)
{
    other.file_ = nullptr;
    other.size_ = {};
}

FitsImageReader& FitsImageReader::operator=(FitsImageReader&& other) noexcept
{
    if (this != &other) {
        close();
        file_ = other.file_;
        size_ = other.size_;
        other.file_ = nullptr;
        other.size_ = {};
    }
    return *this;
}

FitsImageReader::~FitsImageReader()
{
    close();
}

void FitsImageReader::close()
{
    if (file_ != nullptr) {
        int status = 0;
        fitsfile* file = AsFits(file_);
        CloseFits(file, status);
        file_ = nullptr;
        ReportFitsError(status);
    }
    size_ = {};
}

int FitsImageReader::open(const std::string& path, ImageSize expected, MessageSink& messages)
{
    close();
    fitsfile* file = nullptr;
    long axes[2] = {0, 0};
    if (const int result = OpenTwoDimensional(path, file, axes, messages); result != 0)
        return result;
    int status = 0;
    if (axes[0] != expected.width || axes[1] != expected.height) {
        CloseFits(file, status);
        messages.showFileError(SizeMismatch, path);
        return 1;
    }
    file_ = file;
    size_ = expected;
    return 0;
}

int FitsImageReader::readRows(int firstRow, int rowCount, double* out)
{
    if (file_ == nullptr || firstRow < 0 || rowCount < 0 || static_cast<std::int64_t>(firstRow) + rowCount > size_.height) {
        std::fprintf(stderr, "Rows %d to %d are outside the image\n", firstRow, firstRow + rowCount - 1);
        return BAD_PIX_NUM;
    }
    if (rowCount == 0 || size_.width == 0)
        return 0;
    int status = 0;
    long first[2] = {1, static_cast<long>(firstRow) + 1};
    const LONGLONG count = static_cast<LONGLONG>(size_.width) * rowCount;
    // No null value and no null flag: undefined pixels come through as stored.
    ffgpxv(AsFits(file_), TDOUBLE, first, count, nullptr, out, nullptr, &status);
    ReportFitsError(status);
    return status;
}

bool FitsImageReader::holdsAllData() const
{
    if (file_ == nullptr)
        return false;
    fitsfile* file = AsFits(file_);
    int status = 0;
    int bitpix = 0;
    LONGLONG headStart = 0, dataStart = 0, dataEnd = 0;
    ffgidt(file, &bitpix, &status);
    ffghadll(file, &headStart, &dataStart, &dataEnd, &status);
    if (status != 0 || bitpix == 0)
        return false;
    const std::uint64_t pixelBytes = static_cast<std::uint64_t>(std::abs(bitpix) / 8);
    const std::uint64_t pixels = static_cast<std::uint64_t>(size_.width) * static_cast<std::uint64_t>(size_.height);
    const std::uint64_t available = static_cast<std::uint64_t>(std::max<LONGLONG>(0, file->Fptr->logfilesize - dataStart));
    return pixels <= available / pixelBytes;
}

int FitsImageReader::readRowSegment(int row, int firstColumn, int count, double* out)
{
    if (file_ == nullptr || row < 0 || row >= size_.height || firstColumn < 0 || count < 0 ||
        static_cast<std::int64_t>(firstColumn) + count > size_.width) {
        std::fprintf(stderr, "Columns %d to %d of row %d are outside the image\n", firstColumn, firstColumn + count - 1, row);
        return BAD_PIX_NUM;
    }
    if (count == 0)
        return 0;
    int status = 0;
    long first[2] = {static_cast<long>(firstColumn) + 1, static_cast<long>(row) + 1};
    ffgpxv(AsFits(file_), TDOUBLE, first, count, nullptr, out, nullptr, &status);
    ReportFitsError(status);
    return status;
}

// ---------------------------------------------------------------------------------------
// Reading steps

int readFitsSize(const std::string& path, ImageSize& size, MessageSink& messages)
{
    fitsfile* file = nullptr;
    long axes[2] = {0, 0};
    if (const int result = OpenTwoDimensional(path, file, axes, messages); result != 0)
        return result;
    int status = 0;
    CloseFits(file, status);
    if (status != 0) {
        ReportFitsError(status);
        return status;
    }
    // Extents are 32-bit; a larger (or negative) axis is a corrupt or unusable header.
    if (axes[0] < 0 || axes[0] > INT_MAX || axes[1] < 0 || axes[1] > INT_MAX) {
        std::fprintf(stderr, "Image axes %ld x %ld are out of range\n", axes[0], axes[1]);
        return 1;
    }
    size.width = static_cast<int>(axes[0]);
    size.height = static_cast<int>(axes[1]);
    return 0;
}

namespace {

// readFitsPixels; clearUnread says whether rows that could not be read must be set to 0
// (a grid that already held values) or are 0 already (a freshly sized grid, whose untouched
// pages stay uncommitted: a corrupt header declaring gigantic axes costs no memory).
int ReadPixels(const std::string& path, ImageSize expected, ImageGrid& grid, MessageSink& messages, bool clearUnread)
{
    if (grid.width() != expected.width || grid.height() != expected.height) {
        std::fprintf(stderr, "The grid (%d x %d) does not have the expected size %d x %d\n", grid.width(), grid.height(), expected.width, expected.height);
        return 1;
    }
    FitsImageReader reader;
    int status = reader.open(path, expected, messages);
    if (status != 0)
        return 1;

    const int height = expected.height;
    if (reader.holdsAllData()) {
        grid.expectFullWrite();
    } else if (clearUnread && grid.tryResize(expected.width, expected.height)) {
        // The file cannot fill the grid, so the read will fail part way. Start from fresh
        // zero pages rather than clearing the old values afterwards, which would commit
        // every page of a grid that a corrupt header may have made gigantic.
        clearUnread = false;
    }
    // BITPIX 16 images (the common camera format) take the one-pass road when their rows
    // fit a band. Its first row is checked against the library's own doubles; should they
    // ever differ, everything is read again the ordinary way.
    StoredScaling scaling;
    const bool stored16 = grid.width() <= BandValues && height > 0 && ReadStoredScaling(path, scaling);
    std::vector<double> firstRow;
    if (stored16) {
        firstRow.resize(static_cast<std::size_t>(grid.width()));
        status = reader.readRows(0, 1, firstRow.data());
    }
    auto readRange = [&](FitsImageReader& own, int first, int end, int& done) {
        return stored16 ? ReadRowRange16(path, first, end, scaling, grid, done) : ReadRowRange(own, first, end, grid, done);
    };

    // Two threads, each with a handle of its own, read the two halves of a large image.
    // The library opens a read-only file anew for each handle, so this is safe when it
    // was built reentrant. Every value is read and placed exactly as by one thread.
    const bool twoThreads = fits_is_reentrant() != 0 && grid.pixelCount() >= ThreadedPixels && height >= 2 &&
                            std::thread::hardware_concurrency() >= 2;
    int split = twoThreads ? height / 2 : height;
    int firstDone = 0;
    int secondDone = 0;
    if (status != 0) {
        // the first row could not be read: nothing is in the grid
    } else if (!twoThreads) {
        status = readRange(reader, 0, height, firstDone);
    } else {
        int secondStatus = 0;
        std::thread second([&] {
            FitsImageReader own;
            SilentMessages silent;
            secondStatus = stored16 ? 0 : own.open(path, expected, silent);
            if (secondStatus == 0)
                secondStatus = readRange(own, split, height, secondDone);
        });
        status = readRange(reader, 0, split, firstDone);
        second.join();
        if (status == 0)
            status = secondStatus;
    }
    if (status == 0 && stored16) {
        for (int x = 0; x < grid.width(); ++x) {
            if (std::memcmp(&grid[x][0], &firstRow[static_cast<std::size_t>(x)], sizeof(double)) != 0) {
                std::fprintf(stderr, "Stored 16-bit values convert differently from the library's; reading again\n");
                split = height;
                secondDone = 0;
                status = ReadRowRange(reader, 0, height, grid, firstDone);
                break;
            }
        }
    }
    reader.close();
    if (status != 0) {
        // Rows that were not read hold 0, as in a freshly sized grid, never values of the
        // image the grid held before.
        for (int x = 0; clearUnread && x < grid.width(); ++x) {
            double* column = grid[x];
            std::fill(column + firstDone, column + split, 0.0);
            std::fill(column + split + secondDone, column + height, 0.0);
        }
        return 1;
    }
    return 0;
}

} // namespace

int readFitsPixels(const std::string& path, ImageSize expected, ImageGrid& grid, MessageSink& messages)
{
    return ReadPixels(path, expected, grid, messages, true);
}

int readFitsHeaderCards(const std::string& path, HeaderCards& cards)
{
    int status = 0;
    fitsfile* file = nullptr;
    ffopentest(CFITSIO_SONAME, &file, path.c_str(), READONLY, &status);
    int count = 0;
    ffghsp(file, &count, nullptr, &status);
    HeaderCards read;
    if (status == 0 && count > 0)
        read.block().reserve(static_cast<std::size_t>(count) * HeaderCards::RecordBytes);
    char card[FLEN_CARD] = {};
    for (int j = 1; j <= count && status == 0; ++j) {
        ffgrec(file, j, card, &status);
        if (status == 0)
            read.append(std::string_view(card, ::strnlen(card, HeaderCards::CardLength)));
    }
    CloseFits(file, status);
    if (status != 0) {
        ReportFitsError(status);
        return status;
    }
    cards = std::move(read);
    return 0;
}

// ---------------------------------------------------------------------------------------
// ImageRecord

int ImageRecord::loadFits(const std::string& path, MessageSink& messages)
{
    ImageSize size;
    if (readFitsSize(path, size, messages) != 0) {
        messages.showFileError("Error while reading image size", path);
        return 1;
    }
    // Every value is read from the file (or set to 0 on failure), so a grid of the same
    // size is reused as it is.
    const bool reused = grid.width() == size.width && grid.height() == size.height;
    if (!grid.tryResizeForOverwrite(size.width, size.height)) {
        messages.showFileError("Not enough memory for an image of " + std::to_string(size.width) + " x " + std::to_string(size.height) + " pixels.", path);
        return 1;
    }
    if (ReadPixels(path, size, grid, messages, reused) != 0) {
        messages.showFileError("Error while reading image data", path);
        return 1;
    }
    if (readFitsHeaderCards(path, cards) != 0) {
        messages.showFileError("Error while reading image headers", path);
        return 1;
    }
    return 0;
}

int ImageRecord::saveFits(const std::string& path, MessageSink& messages) const
{
    const std::string target = SaveTarget(path);
    const std::string temporary = ReserveTemporaryFile(target);
    if (temporary.empty()) {
        std::fprintf(stderr, "Cannot create a file beside %s: %s\n", target.c_str(), std::strerror(errno));
        messages.showFileError("Error while writing image file", path);
        return 1;
    }
    const int status = WriteFitsFile(temporary, *this);
    bool written = status == 0;
    if (!written)
        ReportFitsError(status);
    if (written && !SyncFile(temporary)) {
        std::fprintf(stderr, "Cannot flush %s: %s\n", temporary.c_str(), std::strerror(errno));
        written = false;
    }
    if (written && ::rename(temporary.c_str(), target.c_str()) != 0) {
        std::fprintf(stderr, "Cannot replace %s: %s\n", target.c_str(), std::strerror(errno));
        written = false;
    }
    if (!written) {
        ::unlink(temporary.c_str());
        messages.showFileError("Error while writing image file", path);
        return 1;
    }
    SyncFolder(target);
    return 0;
}

} // namespace skyvane
