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
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

} // namespace skyvane::fits
