#include "display/DisplayBitmap.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace skyvane {

namespace {

// Offsets of the header fields, as a bitmap file has them.
constexpr int FileSizeOffset = 2;
constexpr int WidthOffset = 18;
constexpr int HeightOffset = 22;
constexpr int ImageSizeOffset = 34;

void put16(std::array<std::uint8_t, DisplayBitmap::HeaderBytes>& h, int offset, std::uint16_t value)
{
    h[static_cast<std::size_t>(offset)] = static_cast<std::uint8_t>(value & 0xFFu);
    h[static_cast<std::size_t>(offset) + 1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(std::array<std::uint8_t, DisplayBitmap::HeaderBytes>& h, int offset, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        h[static_cast<std::size_t>(offset + i)] = static_cast<std::uint8_t>((value >> (8 * i)) & 0xFFu);
}

std::uint32_t get32(const std::array<std::uint8_t, DisplayBitmap::HeaderBytes>& h, int offset)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | h[static_cast<std::size_t>(offset + i)];
    return value;
}

// Bytes of the pixel rows of a width x height picture, in 64 bits.
std::size_t RowsBytes(int width, int height)
{
    if (width <= 0 || height <= 0)
        return 0;
    const auto stride = static_cast<std::size_t>(((24 * static_cast<std::int64_t>(width) + 31) / 32) * 4);
    return stride * static_cast<std::size_t>(height);
}

// Rendering in tiles. The grid is column-major and the bitmap row-major, so converting
// column by column writes with a stride jump per pixel and touches a new cache line for
// nearly every byte. A tile of TileColumns x TileRows pixels is converted column by column
// into a small buffer (contiguous reads, vectorised), then written out row by row while
// both the buffer and the tile's output rows are in the first-level cache. Every pixel is
// mapped on its own by the same operations in the same order (difference, product, the
// two limits, truncation), so the bytes are the same whatever the order, the tiling, the
// instruction set or the number of threads.
constexpr int TileColumns = 64;
constexpr int TileRows = 64;

// Below this many pixels a second thread costs more than it saves.
constexpr std::int64_t ThreadedPixels = 1 << 18;

struct TileKernels;

struct RenderJob {
    const ImageGrid* image;
    GreyMapping mapping;
    const TransferTable* transfer; // null for the linear mapping
    std::uint8_t* rows;
    std::size_t stride;
    const TileKernels* kernels;
    PictureObserver* observer;
};

// Grey levels of the tile at (tx, ty), tw x th pixels, into tile[i * TileRows + j].
using MapTileFunction = void (*)(const RenderJob&, int tx, int tw, int ty, int th, std::uint8_t* tile);
// The tile's grey levels into the bitmap rows, three equal bytes per pixel.
using WriteTileFunction = void (*)(const RenderJob&, int tx, int tw, int ty, int th, const std::uint8_t* tile);

// The 64 columns of a tile are 64 separate read streams, more than the processor's own
// prefetcher follows well; asking for each column's piece of the next tile down while
// this one is converted keeps the reads at the memory's pace.
inline void PrefetchNextTile(const RenderJob& job, const double* column, int ty)
{
    if (ty + 2 * TileRows <= job.image->height())
        for (int l = 0; l < TileRows; l += 8)
            __builtin_prefetch(column + TileRows + l);
}

// The same two tiles down, for the transfer functions' kernels: measured on a 4096 x 4096
// image, asking this far ahead takes their longer arithmetic off the memory's critical
// path, where the next tile comes too late.
inline void PrefetchTileAfterNext(const RenderJob& job, const double* column, int ty)
{
    if (ty + 3 * TileRows <= job.image->height())
        for (int l = 0; l < TileRows; l += 8)
            __builtin_prefetch(column + 2 * TileRows + l);
}

void MapTilePlain(const RenderJob& job, int tx, int tw, int ty, int th, std::uint8_t* tile)
{
    const GreyMapping mapping = job.mapping;
    for (int i = 0; i < tw; ++i) {
        const double* column = (*job.image)[tx + i] + ty;
        std::uint8_t* out = tile + i * TileRows;
        PrefetchNextTile(job, column, ty);
        for (int j = 0; j < th; ++j)
            out[j] = mapping(column[j]);
    }
}

void MapTileTablePlain(const RenderJob& job, int tx, int tw, int ty, int th, std::uint8_t* tile)
{
    const GreyMapping mapping = job.mapping;
    const TransferTable& transfer = *job.transfer;
    for (int i = 0; i < tw; ++i) {
        const double* column = (*job.image)[tx + i] + ty;
        std::uint8_t* out = tile + i * TileRows;
        PrefetchTileAfterNext(job, column, ty);
        for (int j = 0; j < th; ++j)
            out[j] = mapping(column[j], transfer);
    }
}

// Pixels (i, j) of the tile with i in [i0, i1) and j in [j0, j1), one by one.
void WriteTileRange(const RenderJob& job, int tx, int ty, int i0, int i1, int j0, int j1, const std::uint8_t* tile)
{
    for (int j = j0; j < j1; ++j) {
        std::uint8_t* row = job.rows + static_cast<std::size_t>(ty + j) * job.stride + 3 * static_cast<std::size_t>(tx);
        for (int i = i0; i < i1; ++i) {
            const std::uint8_t g = tile[i * TileRows + j];
            row[3 * i] = g;
            row[3 * i + 1] = g;
            row[3 * i + 2] = g;
        }
    }
}

void WriteTilePlain(const RenderJob& job, int tx, int tw, int ty, int th, const std::uint8_t* tile)
{
    WriteTileRange(job, tx, ty, 0, tw, 0, th, tile);
}

#if defined(__x86_64__) || defined(__i386__)
#define SKYVANE_RENDER_AVX2 1

// The same mapping four doubles at a time. min(255, p) keeps p when p is not a number
// and max(p, 0) then gives 0, exactly as GreyMapping's two comparisons do; the
// conversion truncates toward zero.
__attribute__((target("avx2"))) void MapTileAvx2(const RenderJob& job, int tx, int tw, int ty, int th, std::uint8_t* tile)
{
    const __m256d base = _mm256_set1_pd(job.mapping.base());
    const __m256d factor = _mm256_set1_pd(job.mapping.factor());
    const __m256d white = _mm256_set1_pd(255.0);
    const __m256d black = _mm256_setzero_pd();
    const __m128i flip = _mm_set1_epi8(static_cast<char>(job.mapping.flip()));
    const int th16 = th - th % 16;
    for (int i = 0; i < tw; ++i) {
        const double* column = (*job.image)[tx + i] + ty;
        std::uint8_t* out = tile + i * TileRows;
        PrefetchNextTile(job, column, ty);
        for (int j = 0; j < th16; j += 16) {
            __m128i level[4];
            for (int k = 0; k < 4; ++k) {
                __m256d p = _mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(column + j + 4 * k), base), factor);
                p = _mm256_max_pd(_mm256_min_pd(white, p), black);
                level[k] = _mm256_cvttpd_epi32(p);
            }
            const __m128i words = _mm_packus_epi16(_mm_packs_epi32(level[0], level[1]), _mm_packs_epi32(level[2], level[3]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), _mm_xor_si128(words, flip));
        }
        for (int j = th16; j < th; ++j)
            out[j] = job.mapping(column[j]);
    }
}

// The transfer function's cells four products at a time: the product exactly as above, its
// cell from the top bits of its representation, one gather of the cells' words, and one
// comparison of the product's low bits with the breakpoint inside the cell.
__attribute__((target("avx2"))) void MapTileTableAvx2(const RenderJob& job, int tx, int tw, int ty, int th, std::uint8_t* tile)
{
    const TransferTable& transfer = *job.transfer;
    const __m256d base = _mm256_set1_pd(job.mapping.base());
    const __m256d factor = _mm256_set1_pd(job.mapping.factor());
    const __m256d white = _mm256_set1_pd(255.0);
    const __m256d black = _mm256_setzero_pd();
    const __m128i flip = _mm_set1_epi8(static_cast<char>(job.mapping.flip()));
    const __m256d cellFloor = _mm256_set1_pd(transfer.cellFloor());
    const __m128i shift = _mm_cvtsi32_si128(transfer.cellShift());
    const __m256i firstCell = _mm256_set1_epi64x(static_cast<long long>(transfer.firstCell()));
    const __m256i lowMask = _mm256_set1_epi64x(static_cast<long long>(transfer.lowMask()));
    const __m256i insideMask = _mm256_set1_epi64x(static_cast<long long>(TransferTable::InsideMask));
    const auto* cells = reinterpret_cast<const long long*>(transfer.cells());
    const __m256i allLanes = _mm256_set1_epi64x(-1);
    const __m256i lowWords = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
    const int th16 = th - th % 16;
    for (int i = 0; i < tw; ++i) {
        const double* column = (*job.image)[tx + i] + ty;
        std::uint8_t* out = tile + i * TileRows;
        PrefetchTileAfterNext(job, column, ty);
        for (int j = 0; j < th16; j += 16) {
            __m128i level[4];
            for (int k = 0; k < 4; ++k) {
                __m256d p = _mm256_mul_pd(_mm256_sub_pd(_mm256_loadu_pd(column + j + 4 * k), base), factor);
                p = _mm256_max_pd(_mm256_min_pd(white, p), black);
                const __m256i bits = _mm256_castpd_si256(_mm256_max_pd(p, cellFloor));
                const __m256i cell = _mm256_sub_epi64(_mm256_srl_epi64(bits, shift), firstCell);
                // Explicit fill value and mask: the plain gather trips a false warning of g++ 12.
                const __m256i word = _mm256_mask_i64gather_epi64(_mm256_setzero_si256(), cells, cell, allLanes, 8);
                const __m256i reached = _mm256_cmpgt_epi64(_mm256_and_si256(bits, lowMask), _mm256_and_si256(word, insideMask));
                const __m256i g = _mm256_sub_epi64(_mm256_srli_epi64(word, TransferTable::LevelShift), reached);
                level[k] = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(g, lowWords));
            }
            const __m128i words = _mm_packus_epi16(_mm_packs_epi32(level[0], level[1]), _mm_packs_epi32(level[2], level[3]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), _mm_xor_si128(words, flip));
        }
        for (int j = th16; j < th; ++j)
            out[j] = job.mapping(column[j], transfer);
    }
}

// Blocks of 16 x 16 pixels: the 16 column pieces are transposed into 16 row pieces with
// byte, word, double-word and quad-word interleaves, and each row piece of 16 grey levels
// is spread to 48 bytes (blue, green, red) with three byte shuffles.
__attribute__((target("avx2"))) void WriteTileAvx2(const RenderJob& job, int tx, int tw, int ty, int th, const std::uint8_t* tile)
{
    const __m128i spread0 = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
    const __m128i spread1 = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
    const __m128i spread2 = _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
    const int tw16 = tw - tw % 16;
    const int th16 = th - th % 16;
    for (int i0 = 0; i0 < tw16; i0 += 16) {
        for (int j0 = 0; j0 < th16; j0 += 16) {
            // a[k]: column i0 + k, rows j0 .. j0 + 15.
            __m128i a[16];
            for (int k = 0; k < 16; ++k)
                a[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(tile + (i0 + k) * TileRows + j0));
            // b[p] (p < 8): rows 0..7 of columns 2p, 2p + 1; b[8 + p]: rows 8..15.
            __m128i b[16];
            for (int p = 0; p < 8; ++p) {
                b[p] = _mm_unpacklo_epi8(a[2 * p], a[2 * p + 1]);
                b[8 + p] = _mm_unpackhi_epi8(a[2 * p], a[2 * p + 1]);
            }
            // c[h + q] (q < 4): rows h/2 .. h/2 + 3 of columns 4q .. 4q + 3; c[h + 4 + q]:
            // the next four rows (h = 0 or 8).
            __m128i c[16];
            for (int h = 0; h < 16; h += 8)
                for (int q = 0; q < 4; ++q) {
                    c[h + q] = _mm_unpacklo_epi16(b[h + 2 * q], b[h + 2 * q + 1]);
                    c[h + 4 + q] = _mm_unpackhi_epi16(b[h + 2 * q], b[h + 2 * q + 1]);
                }
            // d[g + r] (r < 2): rows g .. g + 1 of columns 8r .. 8r + 7; d[g + 2 + r]: the
            // next two rows (g = 0, 4, 8, 12 covers rows 0..15 in order).
            __m128i d[16];
            for (int g = 0; g < 16; g += 4)
                for (int r = 0; r < 2; ++r) {
                    d[g + r] = _mm_unpacklo_epi32(c[g + 2 * r], c[g + 2 * r + 1]);
                    d[g + 2 + r] = _mm_unpackhi_epi32(c[g + 2 * r], c[g + 2 * r + 1]);
                }
            // e[m]: row m, columns 0..15.
            for (int g = 0; g < 16; g += 4)
                for (int s = 0; s < 4; s += 2) {
                    const __m128i low = _mm_unpacklo_epi64(d[g + s], d[g + s + 1]);
                    const __m128i high = _mm_unpackhi_epi64(d[g + s], d[g + s + 1]);
                    const int m = g + s;
                    for (int half = 0; half < 2; ++half) {
                        const __m128i e = half == 0 ? low : high;
                        std::uint8_t* out = job.rows + static_cast<std::size_t>(ty + j0 + m + half) * job.stride +
                                            3 * static_cast<std::size_t>(tx + i0);
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(e, spread0));
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_shuffle_epi8(e, spread1));
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), _mm_shuffle_epi8(e, spread2));
                    }
                }
        }
    }
    WriteTileRange(job, tx, ty, tw16, tw, 0, th, tile);
    WriteTileRange(job, tx, ty, 0, tw16, th16, th, tile);
}
#endif

struct TileKernels {
    MapTileFunction map;
    WriteTileFunction write;
};

const TileKernels PortableKernels{MapTilePlain, WriteTilePlain};
const TileKernels PortableTableKernels{MapTileTablePlain, WriteTilePlain};

const TileKernels& BestKernels(bool table)
{
#ifdef SKYVANE_RENDER_AVX2
    static const TileKernels avx2{MapTileAvx2, WriteTileAvx2};
    static const TileKernels avx2Table{MapTileTableAvx2, WriteTileAvx2};
    if (__builtin_cpu_supports("avx2"))
        return table ? avx2Table : avx2;
#endif
    return table ? PortableTableKernels : PortableKernels;
}

// Converts columns [x0, x1) for all rows. The thread that owns the last column also
// clears the row padding, so every byte of the rows is written once per render.
void RenderColumns(const RenderJob& job, int x0, int x1)
{
    const TileKernels& kernels = *job.kernels;
    const int width = job.image->width();
    const int height = job.image->height();
    const std::size_t padding = job.stride - 3 * static_cast<std::size_t>(width);
    alignas(64) std::uint8_t tile[TileColumns * TileRows];

    for (int tx = x0; tx < x1; tx += TileColumns) {
        const int tw = std::min(TileColumns, x1 - tx);
        for (int ty = 0; ty < height; ty += TileRows) {
            const int th = std::min(TileRows, height - ty);
            kernels.map(job, tx, tw, ty, th, tile);
            kernels.write(job, tx, tw, ty, th, tile);
            if (tx + tw == width && padding != 0)
                for (int j = 0; j < th; ++j)
                    std::memset(job.rows + static_cast<std::size_t>(ty + j + 1) * job.stride - padding, 0, padding);
            if (job.observer != nullptr)
                job.observer->rowsWritten(job.rows, tx, tw, ty, th);
        }
    }
}

} // namespace

DisplayBitmap::DisplayBitmap()
{
    headers[0] = 'B';
    headers[1] = 'M';
    put32(headers, FileSizeOffset, 0);
    put16(headers, 6, 0);                // reserved
    put16(headers, 8, 0);                // reserved
    put32(headers, 10, HeaderBytes);     // pixel data offset
    put32(headers, 14, 40);              // info header size
    put32(headers, WidthOffset, 0);
    put32(headers, HeightOffset, 0);
    put16(headers, 26, 1);               // planes
    put16(headers, 28, 24);              // bits per pixel
    put32(headers, 30, 0);               // compression: none
    put32(headers, ImageSizeOffset, 0);
    put32(headers, 38, 0);               // horizontal resolution
    put32(headers, 42, 0);               // vertical resolution
    put32(headers, 46, 0);               // colours used
    put32(headers, 50, 0);               // important colours
}

int DisplayBitmap::width() const
{
    return static_cast<int>(get32(headers, WidthOffset));
}

int DisplayBitmap::height() const
{
    return static_cast<int>(get32(headers, HeightOffset));
}

GreyMapping::GreyMapping(double low, double high)
{
    // For thresholds of 0..32767 the subtraction is the exact integer difference. The
    // factor is rounded once, before any product, which is why a value at the upper
    // threshold can come out one level short.
    if (high >= low) {
        base_ = low;
        factor_ = 255.0 / (high - low);
        flip_ = 0;
    } else {
        base_ = high;
        factor_ = 255.0 / (low - high);
        flip_ = 255;
    }
}

void RenderGrey(const ImageGrid& image, double low, double high, std::uint8_t* rows, RenderKernel kernel)
{
    static const TransferTable linear;
    RenderGrey(image, low, high, linear, rows, kernel, nullptr);
}

void RenderGrey(const ImageGrid& image, double low, double high, const TransferTable& transfer, std::uint8_t* rows,
                RenderKernel kernel, PictureObserver* observer)
{
    if (image.empty() || rows == nullptr) {
        if (observer != nullptr)
            observer->pictureStarted(0, 0);
        return;
    }
    const int width = image.width();
    if (observer != nullptr)
        observer->pictureStarted(width, image.height());
    // A table without cells (never for the functions the display offers) is evaluated
    // directly by the plain code.
    const bool table = !transfer.isLinear();
    const bool vectorTable = table && transfer.hasCells();
    const RenderJob job{&image, GreyMapping(low, high), table ? &transfer : nullptr, rows, RowsBytes(width, 1),
                        kernel == RenderKernel::Portable || (table && !vectorTable) ? (table ? &PortableTableKernels : &PortableKernels)
                                                                                   : &BestKernels(table),
                        observer};

    unsigned threads = 1;
    if (image.pixelCount() >= ThreadedPixels && width >= 2 * TileColumns)
        threads = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    if (threads == 1) {
        RenderColumns(job, 0, width);
        return;
    }

    // Column bands of whole tiles: each thread writes its own bytes of every row.
    const int tiles = (width + TileColumns - 1) / TileColumns;
    threads = std::min<unsigned>(threads, static_cast<unsigned>(tiles));
    std::vector<std::thread> workers;
    workers.reserve(threads - 1);
    int first = 0;
    for (unsigned t = 0; t < threads; ++t) {
        const int tilesHere = tiles / static_cast<int>(threads) + (static_cast<int>(t) < tiles % static_cast<int>(threads) ? 1 : 0);
        const int last = std::min(width, first + tilesHere * TileColumns);
        if (t + 1 == threads) {
            RenderColumns(job, first, last);
        } else {
            try {
                workers.emplace_back(RenderColumns, std::cref(job), first, last);
            } catch (const std::system_error&) {
                // No thread to be had: this band is converted here instead.
                RenderColumns(job, first, last);
            }
        }
        first = last;
    }
    for (std::thread& worker : workers)
        worker.join();
}

Display::Display(const ThresholdSource& thresholds, DisplaySink& sink) : thresholds_(thresholds), sink_(sink) {}

void Display::setTransferFunction(const TransferFunction& function)
{
    if (!(function == transfer_.function()))
        transfer_ = TransferTable(function);
}

bool Display::prepareRows(int width, int height)
{
    const std::size_t imageSize = RowsBytes(width, height);
    if (preparedRows_.size() == imageSize)
        return true;
    try {
        std::vector<std::uint8_t>(imageSize, 0).swap(preparedRows_);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

bool Display::buildDisplay(const ImageGrid& image)
{
    const double low = thresholds_.lowValue();
    const double high = thresholds_.highValue();
    const int width = std::max(image.width(), 0);
    const int height = std::max(image.height(), 0);
    const std::size_t imageSize = RowsBytes(width, height);

    // New rows, zero-filled, so the padding is zero whatever the renderer does; had before
    // anything changes, so that a failure leaves the picture as it was.
    if (!prepareRows(width, height))
        return false;
    bitmap_.rows.swap(preparedRows_);
    std::vector<std::uint8_t>().swap(preparedRows_);

    put32(bitmap_.headers, WidthOffset, static_cast<std::uint32_t>(width));
    put32(bitmap_.headers, HeightOffset, static_cast<std::uint32_t>(height));
    put32(bitmap_.headers, ImageSizeOffset, static_cast<std::uint32_t>(imageSize));
    put32(bitmap_.headers, FileSizeOffset, static_cast<std::uint32_t>(imageSize + DisplayBitmap::HeaderBytes));
    RenderGrey(image, low, high, transfer_, bitmap_.rows.data(), RenderKernel::Best, observer_);
    return true;
}

bool Display::refreshDisplay(const ImageGrid& image)
{
    // The rows are recomputed in place when the image still has the recorded size. An
    // image of another size, or rows already released by clearDisplay, would make the
    // renderer write outside the rows; the rows are then built anew for the image.
    const int width = bitmap_.width();
    const int height = bitmap_.height();
    if (image.width() != width || image.height() != height || bitmap_.rows.size() != RowsBytes(width, height))
        return buildDisplay(image);
    RenderGrey(image, thresholds_.lowValue(), thresholds_.highValue(), transfer_, bitmap_.rows.data(),
               RenderKernel::Best, observer_);
    return true;
}

void Display::paintDisplay()
{
    // No rows, no platform bitmap: a picture of no pixels cannot be made.
    if (bitmap_.rows.empty())
        return;
    displayed_ = true;
    paintedWidth_ = bitmap_.width();
    paintedHeight_ = bitmap_.height();
    sink_.bitmapCreated(bitmap_);
}

void Display::repaintDisplay()
{
    // Without a platform bitmap there is nothing to copy the rows into.
    if (!displayed_)
        return;
    if (bitmap_.rows.empty()) {
        // The image was rebuilt with no pixels: there is no picture left to show.
        clearDisplay();
        return;
    }
    if (bitmap_.width() != paintedWidth_ || bitmap_.height() != paintedHeight_) {
        paintDisplay();
        return;
    }
    sink_.bitmapChanged(bitmap_);
}

void Display::clearDisplay()
{
    std::vector<std::uint8_t>().swap(bitmap_.rows);
    if (observer_ != nullptr)
        observer_->pictureCleared();
    displayed_ = false;
    sink_.bitmapCleared();
}

} // namespace skyvane
