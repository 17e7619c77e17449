#include "display/PictureExport.h"

#include <zlib.h>
// jpeglib.h needs the declarations of stdio.h (FILE, size_t) first.
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
#include <tiffio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstddef>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "base/PrintableText.h"
#include "base/SafeFile.h"

namespace skyvane {

namespace {

bool EndsWith(const std::string& text, const char* suffix)
{
    const std::size_t n = std::strlen(suffix);
    if (text.size() < n)
        return false;
    for (std::size_t i = 0; i < n; ++i) {
        char c = text[text.size() - n + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i])
            return false;
    }
    return true;
}

// The rows of a bitmap whose headers they match; false (and a reason on standard error)
// when they do not (released by clearDisplay) or when there is no picture.
bool UsableRows(const DisplayBitmap& bitmap)
{
    const int width = bitmap.width();
    const int height = bitmap.height();
    if (width <= 0 || height <= 0)
        return false;
    return bitmap.rows.size() == static_cast<std::size_t>(DisplayBitmap::Stride(width)) * static_cast<std::size_t>(height);
}

// Whether every pixel of the bitmap is grey (blue, green and red alike).
bool AllGrey(const DisplayBitmap& bitmap)
{
    const int width = bitmap.width();
    const std::size_t stride = static_cast<std::size_t>(bitmap.stride());
    for (int y = 0; y < bitmap.height(); ++y) {
        const std::uint8_t* row = bitmap.rows.data() + static_cast<std::size_t>(y) * stride;
        unsigned differ = 0;
        for (int x = 0; x < width; ++x)
            differ |= static_cast<unsigned>(row[3 * x] ^ row[3 * x + 1]) | static_cast<unsigned>(row[3 * x] ^ row[3 * x + 2]);
        if (differ != 0)
            return false;
    }
    return true;
}

// Row r of the picture as it is seen (top-down), from the bottom-up bitmap, into out:
// width grey samples, or width x 3 samples in red, green, blue order.
void PictureRow(const DisplayBitmap& bitmap, int r, bool grey, std::uint8_t* out)
{
    const int width = bitmap.width();
    const std::uint8_t* row = bitmap.rows.data() + static_cast<std::size_t>(bitmap.height() - 1 - r) * static_cast<std::size_t>(bitmap.stride());
    if (grey) {
        for (int x = 0; x < width; ++x)
            out[x] = row[3 * x];
        return;
    }
    for (int x = 0; x < width; ++x) {
        out[3 * x] = row[3 * x + 2];
        out[3 * x + 1] = row[3 * x + 1];
        out[3 * x + 2] = row[3 * x];
    }
}

// Tells the outcome of a replacement: its reason on failure, the other names of the file.
bool Replaced(const ReplaceOutcome& outcome, const std::string& path)
{
    if (!outcome.replaced()) {
        if (outcome.error != 0)
            std::fprintf(stderr, "Cannot write %s: %s\n", PrintableText(path).c_str(), std::strerror(outcome.error));
        return false;
    }
    if (outcome.otherNames > 0)
        std::fprintf(stderr, "%s had %d other name(s) (hard links); they keep the previous contents\n",
                     PrintableText(path).c_str(), outcome.otherNames);
    return true;
}

// --- PNG -------------------------------------------------------------------------------
//
// The file is written here on zlib: signature, IHDR, the image data, IEND. A large picture
// would take several times as long as its bitmap to compress in one stream, so the rows
// are compressed in parts of PngPartRows rows by every core at once, each part ending on a
// byte boundary (a sync flush) so that the parts joined in order are one deflate stream,
// whose check sum is the parts' ones combined. The parts are fixed by the picture alone:
// the file's bytes are the same whatever the number of threads. Each row has filter type
// 0 (none); the compression is zlib's fastest with run-length matches only, which keeps
// flat areas small and the noise of the sky as quick as it can be.

constexpr int PngPartRows = 256;

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// One chunk: length, type, data, CRC of type and data.
void PngChunk(std::vector<std::uint8_t>& out, const char type[4], const std::uint8_t* data, std::size_t size)
{
    Put32(out, static_cast<std::uint32_t>(size));
    const std::size_t at = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data, data + size);
    Put32(out, static_cast<std::uint32_t>(crc32(0L, out.data() + at, static_cast<uInt>(size + 4))));
}

// One part of the rows, compressed.
struct PngPart {
    std::vector<std::uint8_t> bytes;
    uLong adler = 1;   // check sum of the part's filtered rows
    std::size_t length = 0; // their bytes
    bool done = false;
};

bool CompressPngPart(const DisplayBitmap& bitmap, bool grey, int part, bool last, PngPart& out)
{
    const int firstRow = part * PngPartRows;
    const int rows = std::min(PngPartRows, bitmap.height() - firstRow);
    const std::size_t rowBytes = 1 + static_cast<std::size_t>(bitmap.width()) * (grey ? 1 : 3);
    std::vector<std::uint8_t> row(rowBytes, 0); // the filter type byte stays 0
    z_stream stream{};
    if (deflateInit2(&stream, 1, Z_DEFLATED, -15, 8, Z_RLE) != Z_OK)
        return false;
    const uLong bound = deflateBound(&stream, static_cast<uLong>(rowBytes * static_cast<std::size_t>(rows))) + 16;
    if (bound > UINT32_MAX) { // rows of millions of pixels: more than one call's room
        deflateEnd(&stream);
        return false;
    }
    out.bytes.resize(bound);
    stream.next_out = out.bytes.data();
    stream.avail_out = static_cast<uInt>(out.bytes.size());
    bool fine = true;
    for (int r = 0; r < rows && fine; ++r) {
        PictureRow(bitmap, firstRow + r, grey, row.data() + 1);
        out.adler = adler32(out.adler, row.data(), static_cast<uInt>(rowBytes));
        stream.next_in = row.data();
        stream.avail_in = static_cast<uInt>(rowBytes);
        const int flush = r + 1 < rows ? Z_NO_FLUSH : (last ? Z_FINISH : Z_SYNC_FLUSH);
        const int result = deflate(&stream, flush);
        fine = (result == Z_OK || result == Z_STREAM_END) && stream.avail_in == 0;
    }
    out.length = rowBytes * static_cast<std::size_t>(rows);
    out.bytes.resize(out.bytes.size() - stream.avail_out);
    deflateEnd(&stream);
    return fine;
}

bool WritePng(int fd, const DisplayBitmap& bitmap, bool grey)
{
    const int parts = (bitmap.height() + PngPartRows - 1) / PngPartRows;
    std::vector<PngPart> compressed(static_cast<std::size_t>(parts));
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    const auto work = [&] {
        for (int k = next.fetch_add(1); k < parts && !failed.load(); k = next.fetch_add(1))
            if (!CompressPngPart(bitmap, grey, k, k + 1 == parts, compressed[static_cast<std::size_t>(k)]))
                failed.store(true);
    };
    std::vector<std::thread> helpers;
    const int threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
    for (int t = 1; t < std::min(threads, parts); ++t) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break; // fewer threads: the parts are all taken all the same
        }
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();
    if (failed.load()) {
        errno = ENOMEM;
        return false;
    }

    std::vector<std::uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<std::uint8_t> header;
    Put32(header, static_cast<std::uint32_t>(bitmap.width()));
    Put32(header, static_cast<std::uint32_t>(bitmap.height()));
    header.insert(header.end(), {8, static_cast<std::uint8_t>(grey ? 0 : 2), 0, 0, 0}); // depth, colour type, methods, no interlace
    PngChunk(out, "IHDR", header.data(), header.size());
    const std::uint8_t zlibHeader[2] = {0x78, 0x01}; // deflate, 32 KiB window, fastest
    PngChunk(out, "IDAT", zlibHeader, sizeof zlibHeader);
    if (!WriteAll(fd, out.data(), out.size()))
        return false;
    uLong adler = 1;
    for (const PngPart& part : compressed) {
        out.clear();
        PngChunk(out, "IDAT", part.bytes.data(), part.bytes.size());
        if (!WriteAll(fd, out.data(), out.size()))
            return false;
        adler = adler32_combine(adler, part.adler, static_cast<z_off_t>(part.length));
    }
    out.clear();
    std::vector<std::uint8_t> trailer;
    Put32(trailer, static_cast<std::uint32_t>(adler));
    PngChunk(out, "IDAT", trailer.data(), trailer.size());
    PngChunk(out, "IEND", nullptr, 0);
    return WriteAll(fd, out.data(), out.size());
}

// --- JPEG ------------------------------------------------------------------------------

struct JpegTarget {
    jpeg_destination_mgr manager{};
    int fd = -1;
    int error = 0;
    std::uint8_t buffer[1 << 16];
};

struct JpegFailure {
    jpeg_error_mgr manager{};
    std::jmp_buf jump{};
};

void JpegInit(j_compress_ptr info)
{
    auto* target = reinterpret_cast<JpegTarget*>(info->dest);
    target->manager.next_output_byte = target->buffer;
    target->manager.free_in_buffer = sizeof target->buffer;
}

boolean JpegEmpty(j_compress_ptr info)
{
    auto* target = reinterpret_cast<JpegTarget*>(info->dest);
    if (!WriteAll(target->fd, target->buffer, sizeof target->buffer)) {
        target->error = errno;
        ERREXIT(info, JERR_FILE_WRITE);
    }
    JpegInit(info);
    return TRUE;
}

void JpegTerm(j_compress_ptr info)
{
    auto* target = reinterpret_cast<JpegTarget*>(info->dest);
    const std::size_t used = sizeof target->buffer - target->manager.free_in_buffer;
    if (used > 0 && !WriteAll(target->fd, target->buffer, used)) {
        target->error = errno;
        ERREXIT(info, JERR_FILE_WRITE);
    }
}

void JpegExit(j_common_ptr info)
{
    char message[JMSG_LENGTH_MAX] = {};
    (*info->err->format_message)(info, message);
    std::fprintf(stderr, "JPEG: %s\n", PrintableText(message).c_str());
    std::longjmp(reinterpret_cast<JpegFailure*>(info->err)->jump, 1);
}

void JpegMessage(j_common_ptr) {}

// Writes the picture as a JPEG to fd; as WritePng, the buffers come from the caller.
bool WriteJpeg(int fd, const DisplayBitmap& bitmap, bool grey, std::uint8_t* row, JpegTarget& target)
{
    jpeg_compress_struct info{};
    JpegFailure failure;
    info.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = JpegExit;
    failure.manager.output_message = JpegMessage;
    target.fd = fd;
    target.error = 0;
    if (setjmp(failure.jump) != 0) {
        jpeg_destroy_compress(&info);
        errno = target.error != 0 ? target.error : EIO;
        return false;
    }
    jpeg_create_compress(&info);
    target.manager.init_destination = JpegInit;
    target.manager.empty_output_buffer = JpegEmpty;
    target.manager.term_destination = JpegTerm;
    info.dest = &target.manager;
    info.image_width = static_cast<JDIMENSION>(bitmap.width());
    info.image_height = static_cast<JDIMENSION>(bitmap.height());
    info.input_components = grey ? 1 : 3;
    info.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 95, TRUE);
    // Every colour at full resolution: the picture's stars are a pixel or two across.
    for (int c = 0; c < info.num_components; ++c) {
        info.comp_info[c].h_samp_factor = 1;
        info.comp_info[c].v_samp_factor = 1;
    }
    jpeg_start_compress(&info, TRUE);
    for (int r = 0; r < bitmap.height(); ++r) {
        PictureRow(bitmap, r, grey, row);
        JSAMPROW rows[1] = {row};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

// --- TIFF ------------------------------------------------------------------------------

// The library writes through the descriptor ReplaceFile gives, and must not close it.
tmsize_t TiffRead(thandle_t handle, void* data, tmsize_t size)
{
    return ::read(static_cast<int>(reinterpret_cast<std::intptr_t>(handle)), data, static_cast<std::size_t>(size));
}

tmsize_t TiffWrite(thandle_t handle, void* data, tmsize_t size)
{
    return WriteAll(static_cast<int>(reinterpret_cast<std::intptr_t>(handle)), data, static_cast<std::size_t>(size)) ? size : -1;
}

toff_t TiffSeek(thandle_t handle, toff_t offset, int whence)
{
    const off_t at = ::lseek(static_cast<int>(reinterpret_cast<std::intptr_t>(handle)), static_cast<off_t>(offset), whence);
    return at < 0 ? static_cast<toff_t>(-1) : static_cast<toff_t>(at);
}

int TiffClose(thandle_t)
{
    return 0;
}

toff_t TiffSize(thandle_t handle)
{
    struct stat status {};
    return ::fstat(static_cast<int>(reinterpret_cast<std::intptr_t>(handle)), &status) == 0 ? static_cast<toff_t>(status.st_size) : 0;
}

int TiffMap(thandle_t, void**, toff_t*)
{
    return 0;
}

void TiffUnmap(thandle_t, void*, toff_t) {}

bool WriteTiff16(int fd, const ImageGrid& image, const PictureMapping& mapping, std::vector<std::uint16_t>& row)
{
    TIFF* tiff = TIFFClientOpen("picture", "w", reinterpret_cast<thandle_t>(static_cast<std::intptr_t>(fd)), TiffRead, TiffWrite,
                                TiffSeek, TiffClose, TiffSize, TiffMap, TiffUnmap);
    if (tiff == nullptr) {
        errno = EIO;
        return false;
    }
    const int width = image.width();
    const int height = image.height();
    bool written = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(width)) == 1 &&
                   TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(height)) == 1 &&
                   TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 16) == 1 && TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1) == 1 &&
                   TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) == 1 &&
                   TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
                   TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE) == 1 &&
                   TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) == 1 &&
                   TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff, 0)) == 1 &&
                   TIFFSetField(tiff, TIFFTAG_SOFTWARE, "Skyvane") == 1;
    const GreyMapping grey(mapping.low, mapping.high);
    errno = 0;
    for (int r = 0; written && r < height; ++r) {
        // The picture's top row is the image's last.
        const int y = height - 1 - r;
        for (int x = 0; x < width; ++x)
            row[static_cast<std::size_t>(x)] = GreyLevel16(image[x][y], grey, mapping.transfer);
        written = TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(r), 0) == 1;
    }
    written = written && TIFFWriteDirectory(tiff) == 1;
    TIFFClose(tiff);
    if (!written && errno == 0)
        errno = EIO;
    return written;
}

} // namespace

PictureFormat PictureFormatOfName(const std::string& path)
{
    if (EndsWith(path, ".png"))
        return PictureFormat::Png;
    if (EndsWith(path, ".jpg") || EndsWith(path, ".jpeg"))
        return PictureFormat::Jpeg;
    if (EndsWith(path, ".tif") || EndsWith(path, ".tiff"))
        return PictureFormat::Tiff16;
    return PictureFormat::Bitmap;
}

bool exportPng(const DisplayBitmap& bitmap, const std::string& path)
{
    if (!UsableRows(bitmap))
        return false;
    const bool grey = AllGrey(bitmap);
    return Replaced(ReplaceFile(path, [&](int fd) { return WritePng(fd, bitmap, grey); }), path);
}

bool exportJpeg(const DisplayBitmap& bitmap, const std::string& path)
{
    if (!UsableRows(bitmap))
        return false;
    const bool grey = AllGrey(bitmap);
    std::vector<std::uint8_t> row(static_cast<std::size_t>(bitmap.width()) * (grey ? 1 : 3));
    std::vector<JpegTarget> target(1);
    return Replaced(ReplaceFile(path, [&](int fd) { return WriteJpeg(fd, bitmap, grey, row.data(), target.front()); }), path);
}

std::uint16_t GreyLevel16(double v, const GreyMapping& mapping, const TransferFunction& transfer)
{
    const double level = std::floor(65535.0 * transfer.fraction(mapping.product(v)) + 0.5);
    const auto g = static_cast<std::uint16_t>(std::clamp(level, 0.0, 65535.0));
    return mapping.inverted() ? static_cast<std::uint16_t>(65535 - g) : g;
}

bool exportTiff16(const ImageGrid& image, const PictureMapping& mapping, const std::string& path)
{
    if (image.empty())
        return false;
    std::vector<std::uint16_t> row(static_cast<std::size_t>(image.width()));
    return Replaced(ReplaceFile(path, [&](int fd) { return WriteTiff16(fd, image, mapping, row); }), path);
}

} // namespace skyvane
