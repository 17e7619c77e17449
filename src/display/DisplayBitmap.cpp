#include "display/DisplayBitmap.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <type_traits>
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
    const ImageGrid* image;  // a grey image, or the plane a map kernel works on
    std::array<const ImageGrid*, 3> planes; // a colour image's red, green and blue planes; null for grey
    // The values in single precision, laid out as the image's (for a colour image, its
    // three planes one after the other; for a map kernel, its plane's), each exactly the
    // value it copies: the map kernels read these instead. Null: the doubles are read.
    const float* single;
    // The single-precision values are each the double rounded toward zero, so that the
    // double lies between it and the next single away from zero (SingleCopy::TowardZero).
    bool bracketed;
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
// The levels of a colour picture's three tiles into the bitmap rows: blue, green, red.
using WriteColourTileFunction = void (*)(const RenderJob&, int tx, int tw, int ty, int th, const std::uint8_t* red,
                                         const std::uint8_t* green, const std::uint8_t* blue);

// Where value (x, y) of a plane is kept in a single-precision copy: tile by tile, as the
// renderer reads them (see SinglePrecisionValues), so that the copy is read as one stream.
inline std::int64_t TiledOffset(int width, int height, int x, int y)
{
    const int tx = x - x % TileColumns;
    const int ty = y - y % TileRows;
    const int tw = std::min(TileColumns, width - tx);
    const int th = std::min(TileRows, height - ty);
    return static_cast<std::int64_t>(tx) * height + static_cast<std::int64_t>(ty) * tw + static_cast<std::int64_t>(x - tx) * th + (y - ty);
}

// Column i of the tile at (tx, ty), from row ty on: the doubles of the grid, or the tile's
// piece of the single-precision copy.
template <typename T>
inline const T* TileColumn(const RenderJob& job, int tx, int i, int ty);
template <>
inline const double* TileColumn<double>(const RenderJob& job, int tx, int i, int ty)
{
    return (*job.image)[tx + i] + ty;
}
template <>
inline const float* TileColumn<float>(const RenderJob& job, int tx, int i, int ty)
{
    return job.single + TiledOffset(job.image->width(), job.image->height(), tx + i, ty);
}

// The 64 columns of a tile are 64 separate read streams, more than the processor's own
// prefetcher follows well; asking for each column's piece of the next tile down while
// this one is converted keeps the reads at the memory's pace. (The single-precision copy
// is one stream, which the processor follows by itself.)
inline void PrefetchNextTile(const RenderJob& job, const double* column, int ty)
{
    if (ty + 2 * TileRows <= job.image->height())
        for (int l = 0; l < TileRows; l += 8)
            __builtin_prefetch(column + TileRows + l);
}
inline void PrefetchNextTile(const RenderJob&, const float*, int) {}

// The same two tiles down, for the transfer functions' kernels: measured on a 4096 x 4096
// image, asking this far ahead takes their longer arithmetic off the memory's critical
// path, where the next tile comes too late.
inline void PrefetchTileAfterNext(const RenderJob& job, const double* column, int ty)
{
    if (ty + 3 * TileRows <= job.image->height())
        for (int l = 0; l < TileRows; l += 8)
            __builtin_prefetch(column + 2 * TileRows + l);
}
inline void PrefetchTileAfterNext(const RenderJob&, const float*, int) {}

template <typename T>
void MapTilePlain(const RenderJob& job, int tx, int tw, int ty, int th, std::uint8_t* tile)
{
    const GreyMapping mapping = job.mapping;
    for (int i = 0; i < tw; ++i) {
        const T* column = TileColumn<T>(job, tx, i, ty);
        std::uint8_t* out = tile + i * TileRows;
        PrefetchNextTile(job, column, ty);
        for (int j = 0; j < th; ++j)
            out[j] = mapping(column[j]);
    }
}

template <typename T>
void MapTileTablePlain(const RenderJob& job, int tx, int tw, int ty, int th, std::uint8_t* tile)
{
    const GreyMapping mapping = job.mapping;
    const TransferTable& transfer = *job.transfer;
    for (int i = 0; i < tw; ++i) {
        const T* column = TileColumn<T>(job, tx, i, ty);
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

// Pixels (i, j) of a colour tile with i in [i0, i1) and j in [j0, j1), one by one.
void WriteColourTileRange(const RenderJob& job, int tx, int ty, int i0, int i1, int j0, int j1, const std::uint8_t* red,
                          const std::uint8_t* green, const std::uint8_t* blue)
{
    for (int j = j0; j < j1; ++j) {
        std::uint8_t* row = job.rows + static_cast<std::size_t>(ty + j) * job.stride + 3 * static_cast<std::size_t>(tx);
        for (int i = i0; i < i1; ++i) {
            row[3 * i] = blue[i * TileRows + j];
            row[3 * i + 1] = green[i * TileRows + j];
            row[3 * i + 2] = red[i * TileRows + j];
        }
    }
}

void WriteColourTilePlain(const RenderJob& job, int tx, int tw, int ty, int th, const std::uint8_t* red, const std::uint8_t* green,
                          const std::uint8_t* blue)
{
    WriteColourTileRange(job, tx, ty, 0, tw, 0, th, red, green, blue);
}

void WriteTilePlain(const RenderJob& job, int tx, int tw, int ty, int th, const std::uint8_t* tile)
{
    WriteTileRange(job, tx, ty, 0, tw, 0, th, tile);
}

#if defined(__x86_64__) || defined(__i386__)
#define SKYVANE_RENDER_AVX2 1

// Four values as doubles: loaded, or single-precision values widened (exactly).
__attribute__((target("avx2"), always_inline)) inline __m256d LoadFour(const double* p)
{
    return _mm256_loadu_pd(p);
}
__attribute__((target("avx2"), always_inline)) inline __m256d LoadFour(const float* p)
{
    return _mm256_cvtps_pd(_mm_loadu_ps(p));
}

// Four single-precision values with the next single away from zero (their bit patterns
// plus one), widened: the other end of the interval a value rounded toward zero stands for.
__attribute__((target("avx2"), always_inline)) inline __m256d LoadFourAway(const float* p)
{
    return _mm256_cvtps_pd(_mm_castsi128_ps(_mm_add_epi32(_mm_castps_si128(_mm_loadu_ps(p)), _mm_set1_epi32(1))));
}

// The plain mapping four values at a time. min(255, p) keeps p when p is not a number
// and max(p, 0) then gives 0, exactly as GreyMapping's two comparisons do; the
// conversion truncates toward zero.
struct LinearLevels {
    __m256d base, factor, white, black;

    __attribute__((target("avx2"))) explicit LinearLevels(const RenderJob& job)
        : base(_mm256_set1_pd(job.mapping.base())), factor(_mm256_set1_pd(job.mapping.factor())), white(_mm256_set1_pd(255.0)),
          black(_mm256_setzero_pd())
    {
    }

    __attribute__((target("avx2"), always_inline)) inline __m128i operator()(__m256d v) const
    {
        __m256d p = _mm256_mul_pd(_mm256_sub_pd(v, base), factor);
        p = _mm256_max_pd(_mm256_min_pd(white, p), black);
        return _mm256_cvttpd_epi32(p);
    }
    std::uint8_t scalar(const RenderJob& job, double v) const { return job.mapping(v); }
};

// The transfer function's cells four products at a time: the product exactly as above, its
// cell from the top bits of its representation, one gather of the cells' words, and one
// comparison of the product's low bits with the breakpoint inside the cell.
struct TableLevels {
    LinearLevels linear;
    __m256d cellFloor;
    __m128i shift;
    __m256i firstCell, lowMask, insideMask, allLanes, lowWords;
    const long long* cells;

    __attribute__((target("avx2"))) explicit TableLevels(const RenderJob& job)
        : linear(job), cellFloor(_mm256_set1_pd(job.transfer->cellFloor())), shift(_mm_cvtsi32_si128(job.transfer->cellShift())),
          firstCell(_mm256_set1_epi64x(static_cast<long long>(job.transfer->firstCell()))),
          lowMask(_mm256_set1_epi64x(static_cast<long long>(job.transfer->lowMask()))),
          insideMask(_mm256_set1_epi64x(static_cast<long long>(TransferTable::InsideMask))), allLanes(_mm256_set1_epi64x(-1)),
          lowWords(_mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7)), cells(reinterpret_cast<const long long*>(job.transfer->cells()))
    {
    }

    __attribute__((target("avx2"), always_inline)) inline __m128i operator()(__m256d v) const
    {
        __m256d p = _mm256_mul_pd(_mm256_sub_pd(v, linear.base), linear.factor);
        p = _mm256_max_pd(_mm256_min_pd(linear.white, p), linear.black);
        const __m256i bits = _mm256_castpd_si256(_mm256_max_pd(p, cellFloor));
        const __m256i cell = _mm256_sub_epi64(_mm256_srl_epi64(bits, shift), firstCell);
        // Explicit fill value and mask: the plain gather trips a false warning of g++ 12.
        const __m256i word = _mm256_mask_i64gather_epi64(_mm256_setzero_si256(), cells, cell, allLanes, 8);
        const __m256i reached = _mm256_cmpgt_epi64(_mm256_and_si256(bits, lowMask), _mm256_and_si256(word, insideMask));
        const __m256i g = _mm256_sub_epi64(_mm256_srli_epi64(word, TransferTable::LevelShift), reached);
        return _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(g, lowWords));
    }
    std::uint8_t scalar(const RenderJob& job, double v) const { return job.mapping(v, *job.transfer); }
};

// Sixteen levels (before the inversion) from four groups of four values.
template <typename Levels>
__attribute__((target("avx2"), always_inline)) inline __m128i SixteenLevels(const Levels& levels, __m256d v0, __m256d v1, __m256d v2,
                                                                            __m256d v3)
{
    return _mm_packus_epi16(_mm_packs_epi32(levels(v0), levels(v1)), _mm_packs_epi32(levels(v2), levels(v3)));
}

// A tile's levels, sixteen at a time. From doubles or exact singles, each value's level
// directly. From singles rounded toward zero (Bracketed), the levels of both ends of each
// value's interval: the levels never decrease (or, inverted, never increase) with the
// value, so where the two agree that is the double's level too; where they differ (a value
// within a single's step of a level's edge, seldom) the double itself is mapped.
template <typename Levels, typename T, bool Bracketed>
__attribute__((target("avx2"))) void MapTileLevelsAvx2(const RenderJob& job, int tx, int tw, int ty, int th, std::uint8_t* tile)
{
    const Levels levels(job);
    const __m128i flip = _mm_set1_epi8(static_cast<char>(job.mapping.flip()));
    const int th16 = th - th % 16;
    for (int i = 0; i < tw; ++i) {
        const T* column = TileColumn<T>(job, tx, i, ty);
        const double* doubles = (*job.image)[tx + i] + ty;
        std::uint8_t* out = tile + i * TileRows;
        if constexpr (std::is_same_v<Levels, LinearLevels>)
            PrefetchNextTile(job, column, ty);
        else
            PrefetchTileAfterNext(job, column, ty);
        for (int j = 0; j < th16; j += 16) {
            const T* p = column + j;
            const __m128i words = SixteenLevels(levels, LoadFour(p), LoadFour(p + 4), LoadFour(p + 8), LoadFour(p + 12));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + j), _mm_xor_si128(words, flip));
            if constexpr (Bracketed) {
                const __m128i away = SixteenLevels(levels, LoadFourAway(p), LoadFourAway(p + 4), LoadFourAway(p + 8), LoadFourAway(p + 12));
                const unsigned differ = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(words, away))) & 0xFFFFu;
                if (differ != 0)
                    for (int k = 0; k < 16; ++k)
                        if ((differ >> k) & 1u)
                            out[j + k] = levels.scalar(job, doubles[j + k]);
            }
        }
        for (int j = th16; j < th; ++j)
            out[j] = levels.scalar(job, doubles[j]);
    }
}

// The 16 x 16 block of a tile at column i0, row j0 turned into rows: row[m] holds the
// levels of row j0 + m, columns i0 .. i0 + 15. The 16 column pieces are transposed with
// byte, word, double-word and quad-word interleaves.
__attribute__((target("avx2"), always_inline)) inline void TransposeBlock(const std::uint8_t* tile, int i0, int j0, __m128i row[16])
{
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
    // row[m]: row m, columns 0..15.
    for (int g = 0; g < 16; g += 4)
        for (int s = 0; s < 4; s += 2) {
            row[g + s] = _mm_unpacklo_epi64(d[g + s], d[g + s + 1]);
            row[g + s + 1] = _mm_unpackhi_epi64(d[g + s], d[g + s + 1]);
        }
}

// Blocks of 16 x 16 pixels, transposed into 16 row pieces, each row piece of 16 grey
// levels spread to 48 bytes (blue, green, red) with three byte shuffles.
__attribute__((target("avx2"))) void WriteTileAvx2(const RenderJob& job, int tx, int tw, int ty, int th, const std::uint8_t* tile)
{
    const __m128i spread0 = _mm_setr_epi8(0, 0, 0, 1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4, 5);
    const __m128i spread1 = _mm_setr_epi8(5, 5, 6, 6, 6, 7, 7, 7, 8, 8, 8, 9, 9, 9, 10, 10);
    const __m128i spread2 = _mm_setr_epi8(10, 11, 11, 11, 12, 12, 12, 13, 13, 13, 14, 14, 14, 15, 15, 15);
    const int tw16 = tw - tw % 16;
    const int th16 = th - th % 16;
    for (int i0 = 0; i0 < tw16; i0 += 16) {
        for (int j0 = 0; j0 < th16; j0 += 16) {
            __m128i e[16];
            TransposeBlock(tile, i0, j0, e);
            for (int m = 0; m < 16; ++m) {
                std::uint8_t* out = job.rows + static_cast<std::size_t>(ty + j0 + m) * job.stride + 3 * static_cast<std::size_t>(tx + i0);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(e[m], spread0));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), _mm_shuffle_epi8(e[m], spread1));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), _mm_shuffle_epi8(e[m], spread2));
            }
        }
    }
    WriteTileRange(job, tx, ty, tw16, tw, 0, th, tile);
    WriteTileRange(job, tx, ty, 0, tw16, th16, th, tile);
}

// The same blocks of a colour picture: the three tiles transposed alike, and each row
// piece's blue, green and red levels interleaved into 48 bytes, every output vector made
// of one byte shuffle of each colour.
__attribute__((target("avx2"))) void WriteColourTileAvx2(const RenderJob& job, int tx, int tw, int ty, int th, const std::uint8_t* red,
                                                         const std::uint8_t* green, const std::uint8_t* blue)
{
    // pick[q][c]: where the 16 bytes of output vector q take colour c (0 blue, 1 green, 2 red).
    const __m128i pick[3][3] = {
        {_mm_setr_epi8(0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1, 5),
         _mm_setr_epi8(-1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1),
         _mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1)},
        {_mm_setr_epi8(-1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10, -1),
         _mm_setr_epi8(5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10),
         _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1)},
        {_mm_setr_epi8(-1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1, -1),
         _mm_setr_epi8(-1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1),
         _mm_setr_epi8(10, -1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15)},
    };
    const int tw16 = tw - tw % 16;
    const int th16 = th - th % 16;
    for (int i0 = 0; i0 < tw16; i0 += 16) {
        for (int j0 = 0; j0 < th16; j0 += 16) {
            __m128i b[16];
            __m128i g[16];
            __m128i r[16];
            TransposeBlock(blue, i0, j0, b);
            TransposeBlock(green, i0, j0, g);
            TransposeBlock(red, i0, j0, r);
            for (int m = 0; m < 16; ++m) {
                std::uint8_t* out = job.rows + static_cast<std::size_t>(ty + j0 + m) * job.stride + 3 * static_cast<std::size_t>(tx + i0);
                for (int q = 0; q < 3; ++q) {
                    const __m128i bytes = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(b[m], pick[q][0]), _mm_shuffle_epi8(g[m], pick[q][1])),
                                                       _mm_shuffle_epi8(r[m], pick[q][2]));
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * q), bytes);
                }
            }
        }
    }
    WriteColourTileRange(job, tx, ty, tw16, tw, 0, th, red, green, blue);
    WriteColourTileRange(job, tx, ty, 0, tw16, th16, th, red, green, blue);
}
#endif

struct TileKernels {
    MapTileFunction map;
    MapTileFunction mapSingle;  // the same from the exact single-precision copy
    MapTileFunction mapBracket; // the same from the copy rounded toward zero
    WriteTileFunction write;
    WriteColourTileFunction writeColour;
};

// The plain code reads the doubles where the copy is rounded.
const TileKernels PortableKernels{MapTilePlain<double>, MapTilePlain<float>, MapTilePlain<double>, WriteTilePlain, WriteColourTilePlain};
const TileKernels PortableTableKernels{MapTileTablePlain<double>, MapTileTablePlain<float>, MapTileTablePlain<double>, WriteTilePlain,
                                       WriteColourTilePlain};

const TileKernels& BestKernels(bool table)
{
#ifdef SKYVANE_RENDER_AVX2
    static const TileKernels avx2{MapTileLevelsAvx2<LinearLevels, double, false>, MapTileLevelsAvx2<LinearLevels, float, false>,
                                  MapTileLevelsAvx2<LinearLevels, float, true>, WriteTileAvx2, WriteColourTileAvx2};
    static const TileKernels avx2Table{MapTileLevelsAvx2<TableLevels, double, false>, MapTileLevelsAvx2<TableLevels, float, false>,
                                       MapTileLevelsAvx2<TableLevels, float, true>, WriteTileAvx2, WriteColourTileAvx2};
    if (__builtin_cpu_supports("avx2"))
        return table ? avx2Table : avx2;
#endif
    return table ? PortableTableKernels : PortableKernels;
}

// Converts columns [x0, x1) for all rows. The thread that owns the last column also
// clears the row padding, so every byte of the rows is written once per render. A colour
// picture's planes are mapped alike, each into a tile of its own. The tiles are taken down
// each column of tiles, except for a colour picture with an observer: its reductions fill
// three planes per level, and taking the tiles across the columns, one row of tiles after
// the other, finishes each piece of their rows while it is still in the cache. Either way
// the rows below a tile are written before it.
void RenderColumns(const RenderJob& job, int x0, int x1)
{
    const TileKernels& kernels = *job.kernels;
    const int width = job.image->width();
    const int height = job.image->height();
    const std::size_t padding = job.stride - 3 * static_cast<std::size_t>(width);
    const bool colour = job.planes[0] != nullptr;
    std::array<RenderJob, 3> planeJobs{job, job, job};
    for (std::size_t p = 0; colour && p < 3; ++p) {
        planeJobs[p].image = job.planes[p];
        if (job.single != nullptr)
            planeJobs[p].single = job.single + static_cast<std::ptrdiff_t>(p) * job.image->pixelCount();
    }
    const MapTileFunction map = job.single == nullptr ? kernels.map : job.bracketed ? kernels.mapBracket : kernels.mapSingle;
    alignas(64) std::uint8_t tile[3][TileColumns * TileRows];

    const auto convert = [&](int tx, int ty) {
        const int tw = std::min(TileColumns, x1 - tx);
        const int th = std::min(TileRows, height - ty);
        if (colour) {
            for (std::size_t p = 0; p < 3; ++p)
                map(planeJobs[p], tx, tw, ty, th, tile[p]);
            kernels.writeColour(job, tx, tw, ty, th, tile[0], tile[1], tile[2]);
        } else {
            map(job, tx, tw, ty, th, tile[0]);
            kernels.write(job, tx, tw, ty, th, tile[0]);
        }
        if (tx + tw == width && padding != 0)
            for (int j = 0; j < th; ++j)
                std::memset(job.rows + static_cast<std::size_t>(ty + j + 1) * job.stride - padding, 0, padding);
        if (job.observer != nullptr)
            job.observer->rowsWritten(job.rows, tx, tw, ty, th);
    };
    if (colour && job.observer != nullptr) {
        for (int ty = 0; ty < height; ty += TileRows)
            for (int tx = x0; tx < x1; tx += TileColumns)
                convert(tx, ty);
    } else {
        for (int tx = x0; tx < x1; tx += TileColumns)
            for (int ty = 0; ty < height; ty += TileRows)
                convert(tx, ty);
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
                RenderKernel kernel, PictureObserver* observer, const float* single, SingleCopy copy)
{
    if (image.empty() || rows == nullptr) {
        if (observer != nullptr)
            observer->pictureStarted(0, 0, false);
        return;
    }
    const int width = image.width();
    if (observer != nullptr)
        observer->pictureStarted(width, image.height(), image.colour());
    // A colour image's planes, as grids of their own for the map kernels.
    const std::array<const ImageGrid, 3> views{image.planeView(0), image.planeView(image.colour() ? 1 : 0),
                                              image.planeView(image.colour() ? 2 : 0)};
    std::array<const ImageGrid*, 3> planes{};
    if (image.colour())
        planes = {&views[0], &views[1], &views[2]};
    // A table without cells (never for the functions the display offers) is evaluated
    // directly by the plain code.
    const bool table = !transfer.isLinear();
    const bool vectorTable = table && transfer.hasCells();
    const RenderJob job{&image, planes, single, single != nullptr && copy == SingleCopy::TowardZero, GreyMapping(low, high), table ? &transfer : nullptr, rows, RowsBytes(width, 1),
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

SingleCopy SinglePrecisionValues(const ImageGrid& grid, std::vector<float>& out)
{
    const std::int64_t n = grid.valueCount();
    if (n <= 0 || static_cast<std::uint64_t>(n) * sizeof(float) > GridMemoryLimit()) {
        std::vector<float>().swap(out);
        return SingleCopy::None;
    }
    try {
        out.resize(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {
        std::vector<float>().swap(out);
        return SingleCopy::None;
    }
    // Converted and checked in one pass (vectorised: no early exit). A single farther from
    // zero than its double (rounded up in size, or to an infinity) is taken one step back
    // toward zero: the one below in its bit pattern.
    const int width = grid.width();
    const int height = grid.height();
    bool exact = true;
    for (int p = 0; p < grid.planes(); ++p) {
        const ImageGrid plane = grid.planeView(p);
        float* singles = out.data() + static_cast<std::ptrdiff_t>(p) * plane.pixelCount();
        for (int x = 0; x < width; ++x) {
            const double* column = plane[x];
            for (int ty = 0; ty < height; ty += TileRows) {
                float* to = singles + TiledOffset(width, height, x, ty);
                const int th = std::min(TileRows, height - ty);
                for (int j = 0; j < th; ++j) {
                    const double v = column[ty + j];
                    const float f = static_cast<float>(v);
                    std::uint32_t bits;
                    std::memcpy(&bits, &f, sizeof bits);
                    bits -= std::fabs(static_cast<double>(f)) > std::fabs(v) ? 1u : 0u;
                    std::memcpy(&to[j], &bits, sizeof bits);
                    exact &= static_cast<double>(f) == v || v != v;
                }
            }
        }
    }
    return exact ? SingleCopy::Exact : SingleCopy::TowardZero;
}

bool SinglePrecisionCopy(const ImageGrid& grid, std::vector<float>& out)
{
    if (SinglePrecisionValues(grid, out) == SingleCopy::Exact)
        return true;
    std::vector<float>().swap(out);
    return false;
}

Display::Display(const ThresholdSource& thresholds, DisplaySink& sink) : thresholds_(thresholds), sink_(sink) {}

const float* Display::singlesFor(const ImageGrid& image) const
{
    return image.colour() && static_cast<std::int64_t>(singles_.size()) == image.valueCount() ? singles_.data() : nullptr;
}

void Display::copySingles(const ImageGrid& image)
{
    singlesCopy_ = image.colour() ? SinglePrecisionValues(image, singles_) : SingleCopy::None;
    if (singlesCopy_ == SingleCopy::None)
        std::vector<float>().swap(singles_);
}

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
    bitmap_.colour = image.colour();
    // A colour picture costs three planes of reading; from single precision half that.
    copySingles(image);
    RenderGrey(image, low, high, transfer_, bitmap_.rows.data(), RenderKernel::Best, observer_, singlesFor(image), singlesCopy_);
    return true;
}

bool Display::refreshDisplay(const ImageGrid& image, bool valuesChanged)
{
    // The rows are recomputed in place when the image still has the recorded size. An
    // image of another size, or rows already released by clearDisplay, would make the
    // renderer write outside the rows; the rows are then built anew for the image.
    const int width = bitmap_.width();
    const int height = bitmap_.height();
    if (image.width() != width || image.height() != height || bitmap_.rows.size() != RowsBytes(width, height))
        return buildDisplay(image);
    bitmap_.colour = image.colour();
    if (valuesChanged)
        copySingles(image);
    RenderGrey(image, thresholds_.lowValue(), thresholds_.highValue(), transfer_, bitmap_.rows.data(),
               RenderKernel::Best, observer_, singlesFor(image), singlesCopy_);
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
    std::vector<float>().swap(singles_);
    singlesCopy_ = SingleCopy::None;
    if (observer_ != nullptr)
        observer_->pictureCleared();
    displayed_ = false;
    sink_.bitmapCleared();
}

} // namespace skyvane
