#include "image/FitsFile.h"

#include <fitsio.h>
#include <zlib.h>

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
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Feedback.h"
#include "base/PrintableText.h"
#include "base/SafeFile.h"

namespace skyvane {

// A FITS file opened for reading by its name taken literally, never as the library's
// file-name syntax (brackets, parentheses, "-", "stdin", "mem://", "http://"...). Only
// regular files are opened; gzipped ones are inflated within the bounds their header sets
// and read from memory; other compressed formats are refused. Not copyable, not movable
// (the library keeps the address of the memory block).
class FitsInput {
public:
    FitsInput() = default;
    FitsInput(const FitsInput&) = delete;
    FitsInput& operator=(const FitsInput&) = delete;
    ~FitsInput();

    // Opens path read-only; returns 0 or the library status (refusals are said on standard
    // error).
    int open(const std::string& path, FitsExtent extent);
    // Closes the file if open, keeping the first non-zero status (the library closes even
    // when the status is already set).
    void close(int& status);
    fitsfile* file() const { return file_; }
    bool isOpen() const { return file_ != nullptr; }
    bool inMemory() const { return memory_ != nullptr; }

private:
    fitsfile* file_ = nullptr;
    int fd_ = -1;
    void* memory_ = nullptr; // the inflated bytes of a gzipped file
    std::size_t memorySize_ = 0;
};

namespace {

constexpr const char* NotTwoDimensional = "Loaded image is not 2-D.\nOnly 2-D images are supported.";
constexpr const char* SizeMismatch = "Image size mismatch.";

// Rows are read in bands of about this many values: small enough that the band stays in
// the core's cache while it is transposed into the columns, large enough that the
// library's per-call cost does not show.
constexpr long BandValues = 32768;
// Below this many pixels a second reading thread costs more than it saves.
constexpr std::int64_t ThreadedPixels = std::int64_t{1} << 20;

// Where the library's memory-file table is touched (opening and closing a file in memory):
// the library searches and frees its slots without a lock of its own.
std::mutex memoryFileTable;

// FITS files are made of 2880-byte blocks of 80-character cards.
constexpr std::size_t BlockBytes = 2880;
constexpr std::size_t CardBytes = 80;
// The longest primary header a gzipped file may inflate to before its END card: far more
// cards than any real header holds.
constexpr std::uint64_t HeaderLimitBytes = std::uint64_t{64} << 20;

std::uint64_t RoundUpToBlock(std::uint64_t bytes)
{
    return (bytes + BlockBytes - 1) / BlockBytes * BlockBytes;
}

// Says on standard error why a file was refused before the library saw it.
void ReportRefusal(const std::string& path, const char* why)
{
    std::fprintf(stderr, "Cannot read %s: %s\n", PrintableText(path).c_str(), why);
}

// The integer value of a card "KEYWORD = value / comment"; false when it has none.
bool CardInteger(std::string_view card, long long& value)
{
    if (card.size() < 10 || card.substr(8, 2) != "= ")
        return false;
    std::string text(card.substr(10));
    if (const std::size_t slash = text.find('/'); slash != std::string::npos)
        text.resize(slash);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    const char* start = text.c_str();
    while (*start == ' ')
        ++start;
    if (*start == '\0')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(start, &end, 10);
    return errno == 0 && end != nullptr && *end == '\0';
}

// The bytes of data a primary header declares: |BITPIX| / 8 times the product of the
// axes, padded to whole blocks. 0 when the header does not say (the library will then
// refuse it or read no data); UINT64_MAX when the product does not fit.
std::uint64_t DeclaredDataBytes(std::string_view header)
{
    long long bitpix = 0;
    long long axisCount = -1;
    std::vector<long long> axes;
    for (std::size_t at = 0; at + CardBytes <= header.size(); at += CardBytes) {
        const std::string_view card = header.substr(at, CardBytes);
        const std::string_view keyword = card.substr(0, 8);
        long long value = 0;
        if (keyword == "BITPIX  " && bitpix == 0 && CardInteger(card, value)) {
            bitpix = value;
        } else if (keyword == "NAXIS   " && axisCount < 0 && CardInteger(card, value)) {
            if (value < 0 || value > 999)
                return 0;
            axisCount = value;
            axes.assign(static_cast<std::size_t>(value), -1);
        } else if (keyword.substr(0, 5) == "NAXIS" && axisCount > 0) {
            // NAXISn: the axis number in digits, then blanks.
            long long n = 0;
            std::size_t i = 5;
            for (; i < 8 && keyword[i] >= '0' && keyword[i] <= '9'; ++i)
                n = n * 10 + (keyword[i] - '0');
            const bool numbered = i > 5 && keyword.substr(i).find_first_not_of(' ') == std::string_view::npos;
            if (numbered && n >= 1 && n <= axisCount && axes[static_cast<std::size_t>(n - 1)] < 0 && CardInteger(card, value))
                axes[static_cast<std::size_t>(n - 1)] = value;
        }
    }
    if (bitpix != 8 && bitpix != 16 && bitpix != 32 && bitpix != 64 && bitpix != -32 && bitpix != -64)
        return 0;
    if (axisCount <= 0)
        return 0;
    std::uint64_t bytes = static_cast<std::uint64_t>(bitpix < 0 ? -bitpix : bitpix) / 8;
    for (const long long axis : axes) {
        if (axis < 0)
            return 0;
        if (axis != 0 && bytes > UINT64_MAX / 2 / static_cast<std::uint64_t>(axis))
            return UINT64_MAX;
        bytes *= static_cast<std::uint64_t>(axis);
    }
    return RoundUpToBlock(bytes);
}

// Whether a block of header cards holds the END card.
bool HoldsEndCard(const char* block)
{
    for (std::size_t at = 0; at < BlockBytes; at += CardBytes)
        if (std::memcmp(block + at, "END     ", 8) == 0)
            return true;
    return false;
}

// A block of memory grown with realloc, released with free (as the library's memory
// files are).
struct InflatedBytes {
    void* data = nullptr;
    std::size_t size = 0;
    std::size_t capacity = 0;
    ~InflatedBytes() { std::free(data); }
    bool reserve(std::size_t bytes)
    {
        if (bytes <= capacity)
            return true;
        void* grown = std::realloc(data, bytes);
        if (grown == nullptr)
            return false;
        data = grown;
        capacity = bytes;
        return true;
    }
    char* bytes() { return static_cast<char*>(data); }
};

// Inflates the gzip stream of fd (member after member) into memory: the primary header up
// to the block of its END card and, for Extent::Image, the data that header declares.
// Nothing beyond that is inflated, so a small file that expands without end costs no more
// than the image it declares, and an image larger than the grid may be is refused before
// it is inflated. A damaged or cut stream, and a header without END, are refused.
// Returns 0 or a library status.
int InflateGzip(int fd, const std::string& path, FitsExtent extent, InflatedBytes& out)
{
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
        return MEMORY_ALLOCATION;
    struct End {
        z_stream& s;
        ~End() { inflateEnd(&s); }
    } end{stream};

    std::vector<unsigned char> input(std::size_t{1} << 16);
    bool inputEnded = false;
    const auto refill = [&]() -> bool {
        if (stream.avail_in > 0 || inputEnded)
            return true;
        for (;;) {
            const ssize_t got = ::read(fd, input.data(), input.size());
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return false;
            inputEnded = got == 0;
            stream.next_in = input.data();
            stream.avail_in = static_cast<uInt>(got);
            return true;
        }
    };

    const std::uint64_t headerLimit = std::min(HeaderLimitBytes, GridMemoryLimit());
    std::uint64_t limit = headerLimit; // until the END card is found
    bool headerFound = false;
    std::size_t scanned = 0;
    for (;;) {
        if (!refill()) {
            ReportRefusal(path, std::strerror(errno));
            return READ_ERROR;
        }
        // Room up to the limit and one byte more: that byte tells that the stream goes on.
        const std::uint64_t room = limit + 1 - out.size;
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(room, std::max<std::size_t>(out.size, std::size_t{1} << 16)));
        if (out.capacity - out.size < chunk && !out.reserve(out.size + chunk))
            return MEMORY_ALLOCATION;
        stream.next_out = reinterpret_cast<Bytef*>(out.bytes() + out.size);
        const std::size_t offered = static_cast<std::size_t>(std::min<std::uint64_t>(out.capacity - out.size, std::min<std::uint64_t>(room, UINT32_MAX)));
        stream.avail_out = static_cast<uInt>(offered);
        const int result = inflate(&stream, Z_NO_FLUSH);
        out.size += offered - stream.avail_out;

        if (result == Z_MEM_ERROR)
            return MEMORY_ALLOCATION;
        while (!headerFound && scanned + BlockBytes <= out.size) {
            headerFound = HoldsEndCard(out.bytes() + scanned);
            scanned += BlockBytes;
            if (headerFound) {
                limit = scanned;
                if (extent == FitsExtent::Image) {
                    const std::uint64_t data = DeclaredDataBytes(std::string_view(out.bytes(), scanned));
                    if (data > GridMemoryLimit() || data > SIZE_MAX - scanned - 1) {
                        ReportRefusal(path, "its data are larger than the memory an image may take");
                        return MEMORY_ALLOCATION;
                    }
                    limit += data;
                }
            }
        }
        if (out.size > limit) {
            // The rest is not needed, and not looked at: a fault further on (a damaged
            // check sum at the end, say) does not matter here.
            out.size = static_cast<std::size_t>(limit);
            return 0;
        }
        if (result != Z_OK && result != Z_STREAM_END && !(result == Z_BUF_ERROR && !inputEnded)) {
            ReportRefusal(path, result == Z_BUF_ERROR ? "the compressed data end too early" : "the compressed data are damaged");
            return READ_ERROR;
        }
        if (!headerFound && out.size >= headerLimit) {
            ReportRefusal(path, "no END card within its first 64 MiB");
            return READ_ERROR;
        }
        if (result == Z_STREAM_END) {
            // Another member may follow (files joined with cat); anything else is ignored.
            if (!refill()) {
                ReportRefusal(path, std::strerror(errno));
                return READ_ERROR;
            }
            if (stream.avail_in >= 2 && stream.next_in[0] == 0x1F && stream.next_in[1] == 0x8B) {
                inflateReset(&stream);
                continue;
            }
            break;
        }
        if (result == Z_BUF_ERROR && inputEnded && stream.avail_in == 0) {
            ReportRefusal(path, "the compressed data end too early");
            return READ_ERROR;
        }
    }
    if (!headerFound) {
        ReportRefusal(path, "no END card");
        return READ_ERROR;
    }
    // The stream ended before the data it should hold. The library would read the missing
    // part of a memory file as zeros, where a disk file fails: the file is refused.
    if (out.size < limit && extent == FitsExtent::Image) {
        ReportRefusal(path, "it holds less data than its header declares");
        return READ_ERROR;
    }
    return 0;
}

// The first two bytes of the compressed formats the library would expand by itself.
bool IsOtherCompression(const unsigned char magic[2])
{
    return (magic[0] == 0x1F && (magic[1] == 0x1E || magic[1] == 0x9D || magic[1] == 0xA0)) || // pack, LZW, LZH
           (magic[0] == 'P' && magic[1] == 'K') || (magic[0] == 'B' && magic[1] == 'Z');        // zip, bzip2
}

bool ProcFdUsable()
{
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
}

// The names the library was given for the files this thread opened last, with the paths
// they stand for, newest first: its reports name "/proc/self/fd/7", the user wants the
// path. Reports follow the failing call on the same thread.
struct OpenedName {
    std::string name;
    std::string path;
};
thread_local std::vector<OpenedName> openedNames;

void RememberOpenedName(const std::string& name, const std::string& path)
{
    constexpr std::size_t Kept = 8;
    openedNames.insert(openedNames.begin(), OpenedName{name, path});
    if (openedNames.size() > Kept)
        openedNames.pop_back();
}

// A line of the library's report with the names it was given replaced by their paths.
std::string WithPaths(std::string line)
{
    for (const OpenedName& opened : openedNames) {
        const std::size_t at = line.find(opened.name);
        const std::size_t end = at + opened.name.size();
        // Whole names only: "/proc/self/fd/1" must not match the start of ".../fd/12".
        if (at != std::string::npos && (end == line.size() || line[end] < '0' || line[end] > '9')) {
            line.replace(at, opened.name.size(), opened.path);
            break;
        }
    }
    return line;
}

} // namespace

FitsInput::~FitsInput()
{
    int status = 0;
    close(status);
}

int FitsInput::open(const std::string& path, FitsExtent extent)
{
    int status = 0;
    close(status);
    // Only a regular file is read: a FIFO would block forever, a device may act on being
    // opened. Asked by name first, then again of what was opened.
    struct stat named {};
    if (::stat(path.c_str(), &named) != 0) {
        ReportRefusal(path, std::strerror(errno));
        return FILE_NOT_OPENED;
    }
    if (!S_ISREG(named.st_mode)) {
        ReportRefusal(path, S_ISDIR(named.st_mode) ? "it is a folder" : "it is not a regular file");
        return FILE_NOT_OPENED;
    }
    fd_ = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct stat opened {};
    if (fd_ < 0 || ::fstat(fd_, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_ino != named.st_ino ||
        opened.st_dev != named.st_dev) {
        ReportRefusal(path, fd_ < 0 ? std::strerror(errno) : "it was replaced while it was opened");
        close(status);
        return FILE_NOT_OPENED;
    }

    unsigned char magic[2] = {0, 0};
    const bool hasMagic = ::pread(fd_, magic, 2, 0) == 2;
    if (hasMagic && magic[0] == 0x1F && magic[1] == 0x8B) {
        // Gzipped: inflated here within bounds, and read by the library from memory.
        InflatedBytes inflated;
        status = InflateGzip(fd_, path, extent, inflated);
        if (status == 0) {
            memory_ = inflated.data;
            memorySize_ = inflated.size;
            inflated.data = nullptr;
            const char* name = "inflated-gzip-file";
            RememberOpenedName(name, path);
            const std::lock_guard<std::mutex> lock(memoryFileTable);
            ffomem(&file_, name, READONLY, &memory_, &memorySize_, 0, nullptr, &status);
        }
    } else if (hasMagic && IsOtherCompression(magic)) {
        ReportRefusal(path, "it is compressed in a format other than gzip");
        status = FILE_NOT_OPENED;
    } else {
        // The library reopens the file this process holds open, by a name that means
        // nothing to its file-name syntax. Without /proc the path goes as it is, to the
        // call that takes it literally (a leading blank is the one thing it would drop).
        std::string name;
        if (ProcFdUsable()) {
            name = "/proc/self/fd/" + std::to_string(fd_);
            RememberOpenedName(name, path);
        } else {
            name = path.front() == ' ' ? "./" + path : path;
        }
        ffdkopn(&file_, name.c_str(), READONLY, &status);
    }
    if (status != 0) {
        int closeStatus = 0;
        close(closeStatus);
    }
    return status;
}

void FitsInput::close(int& status)
{
    if (file_ != nullptr) {
        if (memory_ != nullptr) {
            const std::lock_guard<std::mutex> lock(memoryFileTable);
            ffclos(file_, &status);
        } else {
            ffclos(file_, &status);
        }
        file_ = nullptr;
    }
    std::free(memory_);
    memory_ = nullptr;
    memorySize_ = 0;
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

namespace {

// Opens path read-only and reads the axes of its primary image. Not 2-D: the file is
// closed, "Loaded image is not 2-D..." shown, 1 returned. A library failure closes the file
// and returns the status after printing the library's report. On 0 the file is open and
// axes holds NAXIS1 and NAXIS2.
int OpenTwoDimensional(const std::string& path, FitsInput& input, FitsExtent extent, long axes[2], Feedback& messages)
{
    int status = input.open(path, extent);
    int axisCount = 0;
    ffgidm(input.file(), &axisCount, &status);
    if (status == 0 && axisCount != 2) {
        input.close(status);
        messages.showFileError(NotTwoDimensional, path);
        return 1;
    }
    ffgisz(input.file(), 2, axes, &status);
    if (status != 0) {
        input.close(status);
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
    FitsInput input;
    int status = input.open(path, FitsExtent::Header);
    int bitpix = 0;
    ffgidt(input.file(), &bitpix, &status);
    bool usable = status == 0 && bitpix == SHORT_IMG;
    for (auto [keyword, value] : {std::pair{"BSCALE", &scaling.scale}, std::pair{"BZERO", &scaling.zero}}) {
        int keyStatus = 0;
        if (usable && ffgkyd(input.file(), keyword, value, nullptr, &keyStatus) != 0)
            usable = keyStatus == KEY_NO_EXIST;
    }
    ffcmsg(); // a missing keyword is no error here
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
    FitsInput input;
    int status = input.open(path, FitsExtent::Image);
    ffpscl(input.file(), 1.0, 0.0, &status);
    for (int row = firstRow; row < endRow && status == 0; row += bandRows) {
        const int rows = std::min(bandRows, endRow - row);
        long first[2] = {1, static_cast<long>(row) + 1};
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

// Discards messages: the second reading thread opens a file that the first has already
// checked; if it fails anyway, the library status says so.
class SilentMessages final : public Feedback {
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

void ReportFitsError(int status)
{
    // The library's report, drained here rather than printed by the library, so that the
    // bytes of hostile files (names, cards) reach the terminal escaped.
    if (status == 0)
        return;
    char text[FLEN_STATUS] = {};
    ffgerr(status, text);
    std::fprintf(stderr, "\nFITSIO status = %d: %s\n", status, PrintableText(text).c_str());
    char message[FLEN_ERRMSG] = {};
    while (ffgmsg(message) > 0)
        std::fprintf(stderr, "%s\n", PrintableText(WithPaths(message)).c_str());
}

// ---------------------------------------------------------------------------------------
// FitsImageReader

FitsImageReader::FitsImageReader() = default;

FitsImageReader::FitsImageReader(FitsImageReader&& other) noexcept
    : input_(std::move(other.input_)), size_(other.size_)
{
    other.size_ = {};
}

FitsImageReader& FitsImageReader::operator=(FitsImageReader&& other) noexcept
{
    if (this != &other) {
        close();
        input_ = std::move(other.input_);
        size_ = other.size_;
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
    if (input_ != nullptr) {
        int status = 0;
        input_->close(status);
        input_.reset();
        ReportFitsError(status);
    }
    size_ = {};
}

bool FitsImageReader::isOpen() const
{
    return input_ != nullptr && input_->isOpen();
}

bool FitsImageReader::inMemory() const
{
    return input_ != nullptr && input_->inMemory();
}

int FitsImageReader::open(const std::string& path, ImageSize expected, Feedback& messages)
{
    close();
    std::unique_ptr<FitsInput> input(new (std::nothrow) FitsInput);
    if (input == nullptr)
        return MEMORY_ALLOCATION;
    long axes[2] = {0, 0};
    if (const int result = OpenTwoDimensional(path, *input, FitsExtent::Image, axes, messages); result != 0)
        return result;
    int status = 0;
    if (axes[0] != expected.width || axes[1] != expected.height) {
        input->close(status);
        messages.showFileError(SizeMismatch, path);
        return 1;
    }
    input_ = std::move(input);
    size_ = expected;
    return 0;
}

int FitsImageReader::readRows(int firstRow, int rowCount, double* out)
{
    if (!isOpen() || firstRow < 0 || rowCount < 0 || static_cast<std::int64_t>(firstRow) + rowCount > size_.height) {
        std::fprintf(stderr, "Rows %d to %d are outside the image\n", firstRow, firstRow + rowCount - 1);
        return BAD_PIX_NUM;
    }
    if (rowCount == 0 || size_.width == 0)
        return 0;
    int status = 0;
    long first[2] = {1, static_cast<long>(firstRow) + 1};
    const LONGLONG count = static_cast<LONGLONG>(size_.width) * rowCount;
    // No null value and no null flag: undefined pixels come through as stored.
    ffgpxv(input_->file(), TDOUBLE, first, count, nullptr, out, nullptr, &status);
    ReportFitsError(status);
    return status;
}

bool FitsImageReader::holdsAllData() const
{
    if (!isOpen())
        return false;
    fitsfile* file = input_->file();
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
    if (!isOpen() || row < 0 || row >= size_.height || firstColumn < 0 || count < 0 ||
        static_cast<std::int64_t>(firstColumn) + count > size_.width) {
        std::fprintf(stderr, "Columns %d to %d of row %d are outside the image\n", firstColumn, firstColumn + count - 1, row);
        return BAD_PIX_NUM;
    }
    if (count == 0)
        return 0;
    int status = 0;
    long first[2] = {static_cast<long>(firstColumn) + 1, static_cast<long>(row) + 1};
    ffgpxv(input_->file(), TDOUBLE, first, count, nullptr, out, nullptr, &status);
    ReportFitsError(status);
    return status;
}

// ---------------------------------------------------------------------------------------
// Reading steps

int readFitsSize(const std::string& path, ImageSize& size, Feedback& messages)
{
    FitsInput input;
    long axes[2] = {0, 0};
    if (const int result = OpenTwoDimensional(path, input, FitsExtent::Header, axes, messages); result != 0)
        return result;
    int status = 0;
    input.close(status);
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
// Returns 0, MEMORY_ALLOCATION when memory for reading could not be had, or 1.
int ReadPixels(const std::string& path, ImageSize expected, ImageGrid& grid, Feedback& messages, bool clearUnread)
{
    if (grid.width() != expected.width || grid.height() != expected.height) {
        std::fprintf(stderr, "The grid (%d x %d) does not have the expected size %d x %d\n", grid.width(), grid.height(), expected.width, expected.height);
        return 1;
    }
    FitsImageReader reader;
    int status = reader.open(path, expected, messages);
    if (status != 0)
        return status == MEMORY_ALLOCATION ? status : 1;

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
    // A gzipped file is read from memory, through this one handle: a second one would
    // inflate it again.
    const bool inMemory = reader.inMemory();
    StoredScaling scaling;
    std::unique_ptr<double[]> firstRow;
    const bool stored16 = !inMemory && grid.width() <= BandValues && height > 0 && ReadStoredScaling(path, scaling) &&
                          (firstRow = TryBuffer<double>(grid.width())) != nullptr;
    if (stored16)
        status = reader.readRows(0, 1, firstRow.get());
    auto readRange = [&](FitsImageReader& own, int first, int end, int& done) {
        return stored16 ? ReadRowRange16(path, first, end, scaling, grid, done) : ReadRowRange(own, first, end, grid, done);
    };

    // Two threads, each with a handle of its own, read the two halves of a large image.
    // The library opens a read-only file anew for each handle, so this is safe when it
    // was built reentrant. Every value is read and placed exactly as by one thread.
    const bool twoThreads = !inMemory && fits_is_reentrant() != 0 && grid.pixelCount() >= ThreadedPixels && height >= 2 &&
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
        const auto readSecondHalf = [&] {
            FitsImageReader own;
            SilentMessages silent;
            secondStatus = stored16 ? 0 : own.open(path, expected, silent);
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
        return status == MEMORY_ALLOCATION ? status : 1;
    }
    return 0;
}

} // namespace

int readFitsPixels(const std::string& path, ImageSize expected, ImageGrid& grid, Feedback& messages)
{
    return ReadPixels(path, expected, grid, messages, true) != 0 ? 1 : 0;
}

int readFitsHeaderCards(const std::string& path, HeaderCards& cards)
{
    FitsInput input;
    int status = input.open(path, FitsExtent::Header);
    int count = 0;
    ffghsp(input.file(), &count, nullptr, &status);
    HeaderCards read;
    try {
        if (status == 0 && count > 0)
            read.block().reserve(static_cast<std::size_t>(count) * HeaderCards::RecordBytes);
        char card[FLEN_CARD] = {};
        for (int j = 1; j <= count && status == 0; ++j) {
            ffgrec(input.file(), j, card, &status);
            if (status == 0)
                read.append(std::string_view(card, ::strnlen(card, HeaderCards::CardLength)));
        }
    } catch (const std::bad_alloc&) {
        ffpmsg("Not enough memory for the header cards");
        status = MEMORY_ALLOCATION;
    }
    input.close(status);
    if (status != 0) {
        ReportFitsError(status);
        return status;
    }
    cards = std::move(read);
    return 0;
}

// ---------------------------------------------------------------------------------------
// ImageRecord

int ImageRecord::loadFits(const std::string& path, Feedback& messages)
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
        messages.showFileError(NotEnoughMemoryText(size.width, size.height), path);
        return 1;
    }
    if (const int status = ReadPixels(path, size, grid, messages, reused); status != 0) {
        // Reading a gzipped file takes memory of the image's size besides the grid.
        messages.showFileError(status == MEMORY_ALLOCATION ? NotEnoughMemoryText(size.width, size.height) : "Error while reading image data", path);
        return 1;
    }
    if (readFitsHeaderCards(path, cards) != 0) {
        messages.showFileError("Error while reading image headers", path);
        return 1;
    }
    return 0;
}

int ImageRecord::saveFits(const std::string& path, Feedback& messages) const
{
    // The library writes the file into memory; the bytes then replace the target in one
    // step. No name reaches the library, so none can be read as an instruction.
    FitsBytes bytes;
    const int status = WriteFitsBytes(*this, bytes);
    if (status != 0) {
        ReportFitsError(status);
        messages.showFileError("Error while writing image file", path);
        return 1;
    }
    const ReplaceOutcome outcome = ReplaceFile(path, [&bytes](int fd) { return WriteAll(fd, bytes.data, bytes.size); });
    if (!outcome.replaced()) {
        std::fprintf(stderr, "Cannot write %s: %s\n", PrintableText(path).c_str(), std::strerror(outcome.error));
        messages.showFileError("Error while writing image file", path);
        return 1;
    }
    if (outcome.otherNames > 0)
        std::fprintf(stderr, "%s had %d other name(s) (hard links); they keep the previous contents\n",
                     PrintableText(path).c_str(), outcome.otherNames);
    return 0;
}

} // namespace skyvane
