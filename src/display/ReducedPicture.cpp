#include "display/ReducedPicture.h"

#include <algorithm>
#include <cstddef>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SKYVANE_REDUCE_AVX2 1
#endif

namespace skyvane {

namespace {

constexpr int ChunkColumns = ReducedPicture::BandLines; // a chunk is one band's 32 x 32 pixels

// Where level k's pixels of a chunk go: row band * 32 / f + j, column x / f + i.
struct LevelPlanes {
    std::array<std::uint8_t*, ReducedPicture::Levels> data;
    std::array<int, ReducedPicture::Levels> widths;
};

// The exact sums of one chunk's blocks at one level, side x side of them (32 / f); blocks
// outside the picture sum 0.
struct ChunkSums {
    int level = 1;
    int side = 16;
    std::uint32_t sum[16][16] = {};
};

// The means of the chunk's blocks at level `from` and every level above it, each level's
// sums made from four sums of the level below, starting from sums.level (<= from). A block of level k covers n = min(f, columns -
// i f) x min(f, lines - j f) pixels; its mean is (2 s + n) / (2 n).
void WriteLevels(ChunkSums& sums, int from, const LevelPlanes& planes, int band, int x, int columns, int lines)
{
    for (int k = sums.level; k <= ReducedPicture::Levels; ++k) {
        if (k > sums.level) {
            const int side = sums.side / 2;
            for (int j = 0; j < side; ++j)
                for (int i = 0; i < side; ++i)
                    sums.sum[j][i] = sums.sum[2 * j][2 * i] + sums.sum[2 * j][2 * i + 1] + sums.sum[2 * j + 1][2 * i] + sums.sum[2 * j + 1][2 * i + 1];
            sums.side = side;
        }
        if (k < from)
            continue;
        const int f = 1 << k;
        const auto full = static_cast<std::uint32_t>(f * f);
        const int across = (columns + f - 1) / f;
        const int down = (lines + f - 1) / f;
        const std::size_t width = static_cast<std::size_t>(planes.widths[static_cast<std::size_t>(k - 1)]);
        std::uint8_t* plane = planes.data[static_cast<std::size_t>(k - 1)];
        for (int j = 0; j < down; ++j) {
            std::uint8_t* out = plane + static_cast<std::size_t>(band * (ReducedPicture::BandLines / f) + j) * width +
                                static_cast<std::size_t>(x / f);
            const std::uint32_t n1 = static_cast<std::uint32_t>(std::min(f, lines - j * f));
            for (int i = 0; i < across; ++i) {
                const std::uint32_t n = n1 * static_cast<std::uint32_t>(std::min(f, columns - i * f));
                const std::uint32_t sum = sums.sum[j][i];
                // A whole block has n = 4^k pixels: (2 s + n) / (2 n) is then (s + n / 2) >> 2k.
                out[i] = static_cast<std::uint8_t>(n == full ? (sum + full / 2) >> (2 * k) : (2 * sum + n) / (2 * n));
            }
        }
    }
}

// Any chunk, byte by byte. line(l) points at pixel x of picture line band * 32 + l.
template <typename LineOf>
void ReduceChunkPlain(const LevelPlanes& planes, int band, int x, int columns, int lines, LineOf line)
{
    ChunkSums sums;
    for (int l = 0; l < lines; ++l) {
        const std::uint8_t* pixels = line(l);
        std::uint32_t* pair = sums.sum[l / 2];
        for (int c = 0; c < columns; ++c)
            pair[c / 2] += pixels[3 * c];
    }
    WriteLevels(sums, 1, planes, band, x, columns, lines);
}

#ifdef SKYVANE_REDUCE_AVX2
// 16 bytes at p in the low half, the 16 bytes 48 further on in the high half.
__attribute__((target("avx2"))) inline __m256i Halves(const std::uint8_t* p)
{
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48)), 1);
}

// The sums of the 16 neighbour pairs among the 32 pixels at p (96 bytes): pixels 0..15 in
// the low half, 16..31 in the high half, their grey levels picked with three byte shuffles
// and neighbours summed by a multiply-add with ones.
__attribute__((target("avx2"))) inline __m256i PairSums(const std::uint8_t* p)
{
    const __m256i pick0 = _mm256_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                           0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256i pick1 = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1,
                                           -1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1);
    const __m256i pick2 = _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13,
                                           -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13);
    const __m256i a = _mm256_shuffle_epi8(Halves(p), pick0);
    const __m256i b = _mm256_shuffle_epi8(Halves(p + 16), pick1);
    const __m256i c = _mm256_shuffle_epi8(Halves(p + 32), pick2);
    return _mm256_maddubs_epi16(_mm256_or_si256(_mm256_or_si256(a, b), c), _mm256_set1_epi8(1));
}

// A whole chunk of 32 x 32 pixels: per line pair the 16 level-1 sums (written as means at
// once), per two line pairs the 8 level-2 sums (likewise), then levels 3 to 5 from those.
// Sums stay exact: level 1 at most 4 x 255 and two of them at most 2040 in 16 bits, level 2
// in 32 bits.
template <typename LineOf>
__attribute__((target("avx2"))) void ReduceChunkAvx2(const LevelPlanes& planes, int band, int x, LineOf line)
{
    const __m256i two = _mm256_set1_epi16(2);
    const __m256i eight = _mm256_set1_epi32(8);
    const __m256i ones = _mm256_set1_epi16(1);
    const std::size_t width1 = static_cast<std::size_t>(planes.widths[0]);
    const std::size_t width2 = static_cast<std::size_t>(planes.widths[1]);
    std::uint8_t* out1 = planes.data[0] + static_cast<std::size_t>(band * 16) * width1 + static_cast<std::size_t>(x / 2);
    std::uint8_t* out2 = planes.data[1] + static_cast<std::size_t>(band * 8) * width2 + static_cast<std::size_t>(x / 4);
    ChunkSums sums;
    sums.level = 2;
    sums.side = 8;
    for (int q = 0; q < 8; ++q) {
        __m256i pairOfPairs = _mm256_setzero_si256();
        for (int h = 0; h < 2; ++h) {
            const int r = 2 * q + h;
            const __m256i level1 = _mm256_add_epi16(PairSums(line(2 * r)), PairSums(line(2 * r + 1)));
            pairOfPairs = _mm256_add_epi16(pairOfPairs, level1);
            const __m256i means = _mm256_srli_epi16(_mm256_add_epi16(level1, two), 2);
            const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(means, means), 0x08);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out1 + static_cast<std::size_t>(r) * width1), _mm256_castsi256_si128(bytes));
        }
        const __m256i level2 = _mm256_madd_epi16(pairOfPairs, ones);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums.sum[q]), level2);
        const __m256i means = _mm256_srli_epi32(_mm256_add_epi32(level2, eight), 4);
        const __m256i words = _mm256_packus_epi32(means, means);
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words, words), _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out2 + static_cast<std::size_t>(q) * width2), _mm256_castsi256_si128(bytes));
    }
    WriteLevels(sums, 3, planes, band, x, ChunkColumns, ReducedPicture::BandLines);
}

// Where the 16 bytes of a half's load q (of the three PairSums reads) hold colour c of the
// half's 16 pixels: pixel i's byte 3 i + c lies in load (3 i + c) / 16 at (3 i + c) % 16.
struct ColourPicks {
    alignas(32) std::int8_t bytes[3][3][32] = {};
    constexpr ColourPicks()
    {
        for (int c = 0; c < 3; ++c)
            for (int q = 0; q < 3; ++q)
                for (int i = 0; i < 16; ++i) {
                    const int at = 3 * i + c;
                    bytes[c][q][i] = bytes[c][q][16 + i] = static_cast<std::int8_t>(at / 16 == q ? at % 16 : -1);
                }
    }
};
constexpr ColourPicks Picks;

__attribute__((target("avx2"))) inline __m256i ColourPick(int c, int q)
{
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(Picks.bytes[c][q]));
}

// The 16 neighbour-pair sums of each colour of the 32 pixels at p (96 bytes, read once),
// added to sums[c]: pixels 0..15 in the low half, 16..31 in the high half.
__attribute__((target("avx2"))) inline void AddColourPairSums(const std::uint8_t* p, const __m256i (&picks)[3][3], __m256i (&sums)[3])
{
    const __m256i v0 = Halves(p);
    const __m256i v1 = Halves(p + 16);
    const __m256i v2 = Halves(p + 32);
    for (int c = 0; c < 3; ++c) {
        const __m256i levels = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(v0, picks[c][0]), _mm256_shuffle_epi8(v1, picks[c][1])),
                                               _mm256_shuffle_epi8(v2, picks[c][2]));
        sums[c] = _mm256_add_epi16(sums[c], _mm256_maddubs_epi16(levels, _mm256_set1_epi8(1)));
    }
}

// The three colours of a whole chunk in one pass: each line's 96 bytes are read once (as
// PairSums reads them) and the blue, green and red bytes picked from them with byte
// shuffles of their own, then reduced as ReduceChunkAvx2 reduces one colour, the levels 3
// to 5 of whole blocks straight from the level-2 sums. planes[c] are colour c's levels;
// line(l) points at pixel x of picture line band * 32 + l (its blue byte). The bytes read
// are the chunk's own, so none lies beyond the rows.
template <typename LineOf>
__attribute__((target("avx2"))) void ReduceColourChunkAvx2(const std::array<LevelPlanes, 3>& planes, int band, int x, LineOf line)
{
    const __m256i picks[3][3] = {{ColourPick(0, 0), ColourPick(0, 1), ColourPick(0, 2)},
                                 {ColourPick(1, 0), ColourPick(1, 1), ColourPick(1, 2)},
                                 {ColourPick(2, 0), ColourPick(2, 1), ColourPick(2, 2)}};
    const __m256i two = _mm256_set1_epi16(2);
    const __m256i eight = _mm256_set1_epi32(8);
    const __m256i ones = _mm256_set1_epi16(1);
    const std::size_t width1 = static_cast<std::size_t>(planes[0].widths[0]);
    const std::size_t width2 = static_cast<std::size_t>(planes[0].widths[1]);
    const std::size_t first1 = static_cast<std::size_t>(band * 16) * width1 + static_cast<std::size_t>(x / 2);
    const std::size_t first2 = static_cast<std::size_t>(band * 8) * width2 + static_cast<std::size_t>(x / 4);
    alignas(32) std::uint32_t level2[3][8][8];
    for (int q = 0; q < 8; ++q) {
        __m256i pairOfPairs[3] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
        for (int h = 0; h < 2; ++h) {
            const int r = 2 * q + h;
            __m256i level1[3] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
            AddColourPairSums(line(2 * r), picks, level1);
            AddColourPairSums(line(2 * r + 1), picks, level1);
            for (int c = 0; c < 3; ++c) {
                pairOfPairs[c] = _mm256_add_epi16(pairOfPairs[c], level1[c]);
                const __m256i means = _mm256_srli_epi16(_mm256_add_epi16(level1[c], two), 2);
                const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(means, means), 0x08);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(planes[c].data[0] + first1 + static_cast<std::size_t>(r) * width1),
                                 _mm256_castsi256_si128(bytes));
            }
        }
        for (int c = 0; c < 3; ++c) {
            const __m256i sums = _mm256_madd_epi16(pairOfPairs[c], ones);
            _mm256_store_si256(reinterpret_cast<__m256i*>(level2[c][q]), sums);
            const __m256i means = _mm256_srli_epi32(_mm256_add_epi32(sums, eight), 4);
            const __m256i words = _mm256_packus_epi32(means, means);
            const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words, words), _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(planes[c].data[1] + first2 + static_cast<std::size_t>(q) * width2),
                             _mm256_castsi256_si128(bytes));
        }
    }
    // Levels 3 to 5: whole blocks of 4^k pixels, each mean (s + 4^k / 2) >> 2k.
    const std::size_t width3 = static_cast<std::size_t>(planes[0].widths[2]);
    const std::size_t width4 = static_cast<std::size_t>(planes[0].widths[3]);
    const std::size_t width5 = static_cast<std::size_t>(planes[0].widths[4]);
    for (int c = 0; c < 3; ++c) {
        std::uint32_t level3[4][4];
        std::uint8_t* out3 = planes[c].data[2] + static_cast<std::size_t>(band * 4) * width3 + static_cast<std::size_t>(x / 8);
        for (int j = 0; j < 4; ++j) {
            for (int i = 0; i < 4; ++i) {
                level3[j][i] = level2[c][2 * j][2 * i] + level2[c][2 * j][2 * i + 1] + level2[c][2 * j + 1][2 * i] + level2[c][2 * j + 1][2 * i + 1];
                out3[static_cast<std::size_t>(j) * width3 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((level3[j][i] + 32) >> 6);
            }
        }
        std::uint32_t level4[2][2];
        std::uint8_t* out4 = planes[c].data[3] + static_cast<std::size_t>(band * 2) * width4 + static_cast<std::size_t>(x / 16);
        for (int j = 0; j < 2; ++j) {
            for (int i = 0; i < 2; ++i) {
                level4[j][i] = level3[2 * j][2 * i] + level3[2 * j][2 * i + 1] + level3[2 * j + 1][2 * i] + level3[2 * j + 1][2 * i + 1];
                out4[static_cast<std::size_t>(j) * width4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((level4[j][i] + 128) >> 8);
            }
        }
        const std::uint32_t level5 = level4[0][0] + level4[0][1] + level4[1][0] + level4[1][1];
        planes[c].data[4][static_cast<std::size_t>(band) * width5 + static_cast<std::size_t>(x / 32)] = static_cast<std::uint8_t>((level5 + 512) >> 10);
    }
}

bool HasAvx2()
{
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

} // namespace

int ReducedPicture::levelWidth(int k) const
{
    return k >= 1 && k <= Levels ? widths_[static_cast<std::size_t>(k - 1)] : 0;
}

int ReducedPicture::levelHeight(int k) const
{
    return k >= 1 && k <= Levels ? heights_[static_cast<std::size_t>(k - 1)] : 0;
}

const std::uint8_t* ReducedPicture::levelData(int k) const
{
    return k >= 1 && k <= Levels && width_ > 0 ? levels_[static_cast<std::size_t>(k - 1)].data() : nullptr;
}

const std::uint8_t* ReducedPicture::levelData(int k, int channel) const
{
    const std::uint8_t* level = levelData(k);
    if (level == nullptr || channel < 0 || channel > (colour_ ? 2 : 0))
        return nullptr;
    const auto i = static_cast<std::size_t>(k - 1);
    return level + static_cast<std::size_t>(channel) * static_cast<std::size_t>(widths_[i]) * static_cast<std::size_t>(heights_[i]);
}

void ReducedPicture::build(const DisplayBitmap& bitmap)
{
    const int width = bitmap.width();
    const int height = bitmap.height();
    if (width <= 0 || height <= 0 ||
        bitmap.rows.size() != static_cast<std::size_t>(bitmap.stride()) * static_cast<std::size_t>(height)) {
        pictureCleared();
        return;
    }
    pictureStarted(width, height, bitmap.colour);
    rowsWritten(bitmap.rows.data(), 0, width, 0, height);
}

void ReducedPicture::pictureStarted(int width, int height, bool colour)
{
    if (width <= 0 || height <= 0) {
        pictureCleared();
        return;
    }
    if (width == width_ && height == height_ && colour == colour_)
        return; // every byte is written again
    const std::size_t channels = colour ? 3 : 1;
    for (int k = 1; k <= Levels; ++k) {
        const auto i = static_cast<std::size_t>(k - 1);
        const int f = 1 << k;
        widths_[i] = static_cast<int>((static_cast<std::int64_t>(width) + f - 1) / f);
        heights_[i] = static_cast<int>((static_cast<std::int64_t>(height) + f - 1) / f);
        levels_[i].assign(channels * static_cast<std::size_t>(widths_[i]) * static_cast<std::size_t>(heights_[i]), 0);
    }
    width_ = width;
    height_ = height;
    colour_ = colour;
}

void ReducedPicture::pictureCleared()
{
    colour_ = false;
    width_ = 0;
    height_ = 0;
    widths_.fill(0);
    heights_.fill(0);
    for (std::vector<std::uint8_t>& level : levels_)
        std::vector<std::uint8_t>().swap(level);
}

void ReducedPicture::rowsWritten(const std::uint8_t* rows, int x, int w, int y, int h)
{
    if (width_ <= 0 || rows == nullptr || w <= 0 || h <= 0)
        return;
    const std::size_t stride = static_cast<std::size_t>(DisplayBitmap::Stride(width_));
    // Band m covers lines [32 m, 32 m + 32): its top line is image row height - 1 - 32 m.
    // The bands whose top line lies in rows [y, y + h) are complete now.
    const int topRow = height_ - 1 - y;    // band m is done here when 32 m <= topRow
    const int belowRow = topRow - h;       // ... and 32 m > belowRow
    if (topRow < 0)
        return;
    const int firstBand = belowRow < 0 ? 0 : belowRow / BandLines + 1;
    const int lastBand = topRow / BandLines;
    const int end = std::min(x + w, width_);
    for (int band = firstBand; band <= lastBand; ++band) {
        const int lines = std::min(BandLines, height_ - band * BandLines);
        for (int cx = x; cx < end; cx += ChunkColumns) {
            const int columns = std::min(ChunkColumns, end - cx);
            if (colour_ && reduceColourChunk(rows, stride, band, cx, columns, lines))
                continue;
            for (int channel = 0; channel < (colour_ ? 3 : 1); ++channel)
                reduceChunk(rows, stride, band, cx, columns, lines, channel);
        }
    }
}

// A whole chunk of a colour picture, its three colours in one pass where the processor
// has the vector instructions; false (nothing done) otherwise.
bool ReducedPicture::reduceColourChunk(const std::uint8_t* rows, std::size_t stride, int band, int x, int columns, int lines)
{
#ifdef SKYVANE_REDUCE_AVX2
    if (kernel_ != RenderKernel::Best || columns != ChunkColumns || lines != BandLines || !HasAvx2())
        return false;
    std::array<LevelPlanes, 3> planes{};
    for (std::size_t c = 0; c < 3; ++c)
        for (std::size_t i = 0; i < Levels; ++i) {
            planes[c].data[i] = levels_[i].data() + c * static_cast<std::size_t>(widths_[i]) * static_cast<std::size_t>(heights_[i]);
            planes[c].widths[i] = widths_[i];
        }
    // Line l of the band is image row height - 1 - (32 band + l).
    const std::uint8_t* top = rows + static_cast<std::size_t>(height_ - 1 - band * BandLines) * stride + 3 * static_cast<std::size_t>(x);
    ReduceColourChunkAvx2(planes, band, x, [top, stride](int l) { return top - static_cast<std::size_t>(l) * stride; });
    return true;
#else
    (void)rows;
    (void)stride;
    (void)band;
    (void)x;
    (void)columns;
    (void)lines;
    return false;
#endif
}

// Channel c of a chunk: the byte c of each pixel (a grey picture has channel 0 only, its
// three bytes being equal) into channel c's planes of the levels.
void ReducedPicture::reduceChunk(const std::uint8_t* rows, std::size_t stride, int band, int x, int columns, int lines, int channel)
{
    LevelPlanes planes{};
    for (std::size_t i = 0; i < Levels; ++i) {
        planes.data[i] = levels_[i].data() + static_cast<std::size_t>(channel) * static_cast<std::size_t>(widths_[i]) * static_cast<std::size_t>(heights_[i]);
        planes.widths[i] = widths_[i];
    }
    const int height = height_;
    auto line = [&](int l) {
        const int row = height - 1 - (band * BandLines + l);
        return rows + static_cast<std::size_t>(row) * stride + 3 * static_cast<std::size_t>(x) + static_cast<std::size_t>(channel);
    };
#ifdef SKYVANE_REDUCE_AVX2
    // The vector kernel reads the 96 bytes of a chunk's line from its channel's first byte
    // on: for channels 1 and 2 a byte or two beyond the chunk, which at the right edge of the
    // top line (the rows' last bytes) lie beyond the rows unless the padding holds them.
    const bool readsWithin = channel == 0 || x + ChunkColumns < width_ || stride - 3 * static_cast<std::size_t>(width_) >= static_cast<std::size_t>(channel);
    if (kernel_ == RenderKernel::Best && columns == ChunkColumns && lines == BandLines && readsWithin && HasAvx2()) {
        ReduceChunkAvx2(planes, band, x, line);
        return;
    }
#endif
    ReduceChunkPlain(planes, band, x, columns, lines, line);
}

} // namespace skyvane
