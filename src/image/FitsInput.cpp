#include "image/FitsInput.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/PrintableText.h"
#include "image/FitsLibrary.h"
#include "image/ImageGrid.h"

namespace skyvane::fits {

namespace {

// The longest primary header a gzipped file may inflate to before its END card: far more
// cards than any real header holds.
constexpr std::uint64_t HeaderLimitBytes = std::uint64_t{64} << 20;


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

// The string value of a card "KEYWORD = 'value' / comment", trailing blanks dropped;
// false when it has none.
bool CardString(std::string_view card, std::string& value)
{
    if (card.size() < 11 || card.substr(8, 2) != "= ")
        return false;
    const std::size_t open = card.find('\'', 10);
    if (open == std::string_view::npos || card.substr(10, open - 10).find_first_not_of(' ') != std::string_view::npos)
        return false;
    value.clear();
    for (std::size_t i = open + 1; i < card.size(); ++i) {
        if (card[i] == '\'') {
            if (i + 1 < card.size() && card[i + 1] == '\'') {
                value += '\'';
                ++i;
                continue;
            }
            while (!value.empty() && value.back() == ' ')
                value.pop_back();
            return true;
        }
        value += card[i];
    }
    return false;
}

// Whether a card "KEYWORD = T" holds the logical value true.
bool CardTrue(std::string_view card)
{
    if (card.size() < 11 || card.substr(8, 2) != "= ")
        return false;
    const std::size_t at = card.find_first_not_of(' ', 10);
    return at != std::string_view::npos && card[at] == 'T';
}

// What the reader needs to know of one header: the array it declares and whether it holds
// an image.
struct HeaderShape {
    long long bitpix = 0;
    long long axisCount = -1;
    std::vector<long long> axes;
    long long pcount = 0;
    long long gcount = 1;
    std::string extension;     // XTENSION, empty in the primary header
    bool tileCompressed = false; // ZIMAGE = T
    long long imageAxisCount = -1; // ZNAXIS of a tile-compressed image
    long long imageThirdAxis = -1; // ZNAXIS3
};

// The number n of a keyword "<prefix>n" (digits, then blanks); 0 when it is not one.
long long NumberedKeyword(std::string_view keyword, std::string_view prefix)
{
    if (keyword.substr(0, prefix.size()) != prefix)
        return 0;
    long long n = 0;
    std::size_t i = prefix.size();
    for (; i < 8 && keyword[i] >= '0' && keyword[i] <= '9'; ++i)
        n = n * 10 + (keyword[i] - '0');
    const bool numbered = i > prefix.size() && keyword.substr(i).find_first_not_of(' ') == std::string_view::npos;
    return numbered ? n : 0;
}

HeaderShape ParseHeader(std::string_view header)
{
    HeaderShape shape;
    for (std::size_t at = 0; at + CardBytes <= header.size(); at += CardBytes) {
        const std::string_view card = header.substr(at, CardBytes);
        const std::string_view keyword = card.substr(0, 8);
        long long value = 0;
        if (at == 0 && keyword == "XTENSION") {
            if (!CardString(card, shape.extension) || shape.extension.empty())
                shape.extension.assign(1, '?');
        } else if (keyword == "BITPIX  " && shape.bitpix == 0 && CardInteger(card, value)) {
            shape.bitpix = value;
        } else if (keyword == "NAXIS   " && shape.axisCount < 0 && CardInteger(card, value)) {
            if (value < 0 || value > 999)
                return HeaderShape{};
            shape.axisCount = value;
            shape.axes.assign(static_cast<std::size_t>(value), -1);
        } else if (const long long n = NumberedKeyword(keyword, "NAXIS"); n > 0 && shape.axisCount > 0) {
            if (n <= shape.axisCount && shape.axes[static_cast<std::size_t>(n - 1)] < 0 && CardInteger(card, value))
                shape.axes[static_cast<std::size_t>(n - 1)] = value;
        } else if (keyword == "PCOUNT  " && CardInteger(card, value)) {
            shape.pcount = value;
        } else if (keyword == "GCOUNT  " && CardInteger(card, value)) {
            shape.gcount = value;
        } else if (keyword == "ZIMAGE  ") {
            shape.tileCompressed = CardTrue(card);
        } else if (keyword == "ZNAXIS  " && CardInteger(card, value)) {
            shape.imageAxisCount = value;
        } else if (keyword == "ZNAXIS3 " && CardInteger(card, value)) {
            shape.imageThirdAxis = value;
        }
    }
    return shape;
}

// Whether a header describes an image the program reads: two axes, or three of which the
// third has three planes (a colour image); a tile-compressed image by the axes it holds.
bool HoldsImage(const HeaderShape& shape)
{
    if (shape.extension.empty() || shape.extension == "IMAGE")
        return shape.axisCount == 2 || (shape.axisCount == 3 && shape.axes[2] == 3);
    if (shape.extension == "BINTABLE" && shape.tileCompressed)
        return shape.imageAxisCount == 2 || (shape.imageAxisCount == 3 && shape.imageThirdAxis == 3);
    return false;
}

// The bytes of data a header declares: |BITPIX| / 8 times GCOUNT times PCOUNT plus the
// product of the axes (in the primary header just the product), padded to whole blocks.
// 0 when the header does not say (the library will then refuse it or read no data);
// UINT64_MAX when the product does not fit.
std::uint64_t DeclaredDataBytes(const HeaderShape& shape)
{
    const long long bitpix = shape.bitpix;
    if (bitpix != 8 && bitpix != 16 && bitpix != 32 && bitpix != 64 && bitpix != -32 && bitpix != -64)
        return 0;
    if (shape.axisCount <= 0)
        return 0;
    std::uint64_t values = 1;
    for (const long long axis : shape.axes) {
        if (axis < 0)
            return 0;
        if (axis != 0 && values > UINT64_MAX / 16 / static_cast<std::uint64_t>(axis))
            return UINT64_MAX;
        values *= static_cast<std::uint64_t>(axis);
    }
    if (!shape.extension.empty()) {
        if (shape.pcount < 0 || shape.gcount < 0)
            return 0;
        const auto pcount = static_cast<std::uint64_t>(shape.pcount);
        const auto gcount = static_cast<std::uint64_t>(shape.gcount);
        if (pcount > UINT64_MAX / 16 - values || (gcount != 0 && values + pcount > UINT64_MAX / 16 / gcount))
            return UINT64_MAX;
        values = (values + pcount) * gcount;
    }
    return RoundUpToBlock(values * static_cast<std::uint64_t>(bitpix < 0 ? -bitpix : bitpix) / 8);
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

// Inflates the gzip stream of fd (member after member) into memory, header by header up
// to the first one that holds an image (HoldsImage): that header up to the block of its END
// card and, for Extent::Image, the data it declares; the units before it whole, as the
// library reads past them. Nothing beyond that is inflated, so a small file that expands
// without end costs no more than the image it declares, and an image larger than the grid
// may be is refused before it is inflated. A damaged or cut stream, and a primary header
// without END, are refused; a walk that ends in a unit without an image (the stream ends,
// the unit is larger than an image may be, what follows is no header) keeps the units
// before it, where the library then finds no image. Returns 0 or a library status.
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
    // The unit being looked for: its header starts at unitStart; found once the header of
    // an image has been read, and limit is then the end of what is wanted.
    std::uint64_t unitStart = 0;
    std::uint64_t primaryEnd = 0; // the end of the primary header, once read
    std::uint64_t limit = headerLimit;
    bool found = false;
    std::size_t scanned = 0;
    // Ends the walk early in a unit after the primary header: the units before it are kept.
    const auto keepUnitsBefore = [&] {
        out.size = static_cast<std::size_t>(std::min<std::uint64_t>(out.size, std::max(unitStart, primaryEnd)));
        return 0;
    };
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
        while (!found && std::max<std::uint64_t>(scanned, unitStart) + BlockBytes <= out.size) {
            scanned = static_cast<std::size_t>(std::max<std::uint64_t>(scanned, unitStart));
            const bool endCard = HoldsEndCard(out.bytes() + scanned);
            scanned += BlockBytes;
            if (!endCard)
                continue;
            const HeaderShape shape = ParseHeader(std::string_view(out.bytes() + unitStart, scanned - unitStart));
            const std::uint64_t data = DeclaredDataBytes(shape);
            if (unitStart == 0)
                primaryEnd = scanned;
            if (HoldsImage(shape)) {
                found = true;
                limit = scanned;
                if (extent == FitsExtent::Image) {
                    if (data > GridMemoryLimit() || data > SIZE_MAX - scanned - 1) {
                        ReportRefusal(path, "its data are larger than the memory an image may take");
                        return MEMORY_ALLOCATION;
                    }
                    limit += data;
                }
            } else {
                // The data of a unit without an image are passed over, but kept: the
                // library reads the units in order. Units larger than an image may be end
                // the walk: no image is looked for beyond them.
                if (data > GridMemoryLimit() || scanned + data > GridMemoryLimit())
                    return keepUnitsBefore();
                unitStart = scanned + data;
                limit = unitStart + headerLimit;
            }
        }
        if (found && out.size > limit) {
            // The rest is not needed, and not looked at: a fault further on (a damaged
            // check sum at the end, say) does not matter here.
            out.size = static_cast<std::size_t>(limit);
            return 0;
        }
        if (result != Z_OK && result != Z_STREAM_END && !(result == Z_BUF_ERROR && !inputEnded)) {
            if (primaryEnd > 0 && !found && result == Z_BUF_ERROR)
                return keepUnitsBefore();
            ReportRefusal(path, result == Z_BUF_ERROR ? "the compressed data end too early" : "the compressed data are damaged");
            return READ_ERROR;
        }
        if (!found && out.size >= unitStart + headerLimit) {
            if (primaryEnd > 0)
                return keepUnitsBefore(); // what follows is no header
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
            if (primaryEnd > 0 && !found)
                return keepUnitsBefore();
            ReportRefusal(path, "the compressed data end too early");
            return READ_ERROR;
        }
    }
    if (primaryEnd == 0) {
        ReportRefusal(path, "no END card");
        return READ_ERROR;
    }
    if (!found)
        return keepUnitsBefore();
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

// Whether the current unit of an open file holds an image the program reads: an image
// (tile-compressed ones included, as the library presents them) of two axes, or of three
// with three planes.
bool HoldsImage(fitsfile* file, int& status)
{
    int type = ANY_HDU;
    ffghdt(file, &type, &status);
    if (status != 0 || type != IMAGE_HDU)
        return false;
    int axisCount = 0;
    ffgidm(file, &axisCount, &status);
    if (status != 0 || (axisCount != 2 && axisCount != 3))
        return false;
    long axes[3] = {0, 0, 0};
    ffgisz(file, axisCount, axes, &status);
    return status == 0 && (axisCount == 2 || axes[2] == 3);
}

// Moves an open file to the first unit that holds an image, primary or extension. When
// none does (or a later unit cannot be read), the file is left at its primary unit, whose
// axes then tell why nothing can be read. Returns 0 or the library status of a failure
// within the primary unit.
int MoveToImage(fitsfile* file, int& unit, bool& tileCompressed)
{
    unit = 1;
    tileCompressed = false;
    int status = 0;
    if (HoldsImage(file, status))
        return 0;
    if (status != 0)
        return status;
    for (int next = 2;; ++next) {
        int type = ANY_HDU;
        if (ffmahd(file, next, &type, &status) != 0 || HoldsImage(file, status)) {
            if (status == 0) {
                unit = next;
                tileCompressed = fits_is_compressed_image(file, &status) != 0;
                if (status == 0)
                    return 0;
            }
            break;
        }
        if (status != 0)
            break;
    }
    // No image after the primary unit (the end of the file, or a unit the library cannot
    // read): the primary unit it is.
    ffcmsg();
    status = 0;
    int type = ANY_HDU;
    ffmahd(file, 1, &type, &status);
    unit = 1;
    return status;
}

bool ProcFdUsable()
{
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
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
    if (status == 0)
        status = MoveToImage(file_, unit_, tileCompressed_);
    if (status != 0) {
        int closeStatus = 0;
        close(closeStatus);
    }
    return status;
}

void FitsInput::closeLibrary(int& status)
{
    if (file_ != nullptr && memory_ == nullptr) {
        ffclos(file_, &status);
        file_ = nullptr;
    }
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
    unit_ = 1;
    tileCompressed_ = false;
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

} // namespace skyvane::fits
