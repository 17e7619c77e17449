#include "display/PictureExport.h"

#include <zlib.h>
// jpeglib.h needs the declarations of stdio.h (FILE, size_t) first.
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

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

// Whether every pixel of row y of the bitmap is grey (blue, green and red alike).
bool RowsGrey(const DisplayBitmap& bitmap, int y)
{
    const std::uint8_t* row = bitmap.rows.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(bitmap.stride());
    unsigned differ = 0;
    for (int x = 0; x < bitmap.width(); ++x)
        differ |= static_cast<unsigned>(row[3 * x] ^ row[3 * x + 1]) | static_cast<unsigned>(row[3 * x] ^ row[3 * x + 2]);
    return differ == 0;
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
// The file is written here: signature, IHDR, the image data, IEND. Each row has filter
// type 0 (none): on the noise of a sky, differences of neighbours only spread the values.
// The rows are compressed in parts of PngPartRows rows by every core at once, each part
// one deflate block of its own Huffman codes, ended on a byte boundary by an empty stored
// block (as a sync flush ends it), so that the parts joined in order are one deflate
// stream, whose check sum is the parts' ones combined. The parts are fixed by the picture
// alone: the file's bytes are the same whatever the number of threads.
//
// The coder is made for pictures: a general-purpose deflate spends most of its time
// looking for repeated strings, which the noise of a sky does not have, and codes the
// literals one by one through its buffers. Here a part's bytes are literals, except runs
// of one value (a flat area, a clipped star), coded as repeats of the previous byte at
// distance 1; the codes are built from the symbols of a sample of the part's rows (limited
// to 15 bits), and one pass writes them through a 64-bit bit buffer.

constexpr int PngPartRows = 256;
constexpr int PngSampleStep = 8; // rows counted for a part's codes: one in this many
constexpr int MinRun = 4;    // runs shorter than this stay literals
constexpr int MaxRun = 258;  // the longest repeat deflate can say
constexpr int LiteralLengthSymbols = 286;
constexpr int EndOfBlock = 256;

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

// The length symbol of a repeat of length 3..258, and its extra bits (RFC 1951, 3.2.5).
struct LengthCode {
    std::uint16_t symbol;
    std::uint8_t extraBits;
    std::uint16_t extra;
};

const std::array<LengthCode, MaxRun + 1>& LengthCodes()
{
    static const std::array<LengthCode, MaxRun + 1> codes = [] {
        static constexpr int Base[29] = {3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
        static constexpr int Extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
        std::array<LengthCode, MaxRun + 1> table{};
        for (int k = 0; k < 29; ++k)
            for (int length = Base[k]; length < (k == 28 ? 259 : Base[k] + (1 << Extra[k])); ++length)
                table[static_cast<std::size_t>(length)] = {static_cast<std::uint16_t>(257 + k), static_cast<std::uint8_t>(Extra[k]),
                                                           static_cast<std::uint16_t>(length - Base[k])};
        return table;
    }();
    return codes;
}

// Code lengths of a Huffman code for the counts, none longer than limit: a symbol never
// counted gets 0. The counts are halved (keeping every used symbol) until the code fits.
// At least two symbols are always given a length, so that the code is complete.
std::vector<std::uint8_t> CodeLengths(std::vector<std::uint32_t> counts, int limit)
{
    const std::size_t n = counts.size();
    std::vector<std::uint8_t> lengths(n, 0);
    int used = 0;
    for (std::uint32_t c : counts)
        used += c != 0 ? 1 : 0;
    for (std::size_t s = 0; used < 2 && s < n; ++s)
        if (counts[s] == 0) {
            counts[s] = 1;
            ++used;
        }
    for (;;) {
        // Nodes: the leaves, then the joined pairs; parent links give the depths.
        struct Node {
            std::uint64_t weight;
            int index;
        };
        std::vector<Node> leaves;
        for (std::size_t s = 0; s < n; ++s)
            if (counts[s] != 0)
                leaves.push_back({counts[s], static_cast<int>(s)});
        std::sort(leaves.begin(), leaves.end(), [](const Node& a, const Node& b) { return a.weight != b.weight ? a.weight < b.weight : a.index < b.index; });
        const std::size_t m = leaves.size();
        std::vector<std::uint64_t> joined(m > 0 ? m - 1 : 0);
        std::vector<int> parent(2 * m, -1); // leaves 0..m-1 (sorted order), joined nodes m..2m-2
        std::size_t nextLeaf = 0, nextJoined = 0;
        const auto takeSmallest = [&](std::size_t made) {
            if (nextLeaf < m && (nextJoined >= made || leaves[nextLeaf].weight <= joined[nextJoined])) {
                const std::size_t at = nextLeaf++;
                return std::pair<std::uint64_t, std::size_t>{leaves[at].weight, at};
            }
            const std::size_t at = nextJoined++;
            return std::pair<std::uint64_t, std::size_t>{joined[at], m + at};
        };
        for (std::size_t k = 0; k + 1 < m; ++k) {
            const auto first = takeSmallest(k);
            const auto second = takeSmallest(k);
            joined[k] = first.first + second.first;
            parent[first.second] = static_cast<int>(m + k);
            parent[second.second] = static_cast<int>(m + k);
        }
        // Depths from the root (the last joined node) down.
        std::vector<int> depth(2 * m, 0);
        for (std::size_t k = m - 1; k-- > 0;)
            depth[m + k] = parent[m + k] < 0 ? 0 : depth[static_cast<std::size_t>(parent[m + k])] + 1;
        int longest = 0;
        for (std::size_t k = 0; k < m; ++k) {
            depth[k] = depth[static_cast<std::size_t>(parent[k])] + 1;
            longest = std::max(longest, depth[k]);
        }
        if (longest <= limit) {
            for (std::size_t k = 0; k < m; ++k)
                lengths[static_cast<std::size_t>(leaves[k].index)] = static_cast<std::uint8_t>(depth[k]);
            return lengths;
        }
        for (std::uint32_t& c : counts)
            if (c != 0)
                c = (c >> 1) | 1u;
    }
}

// The canonical codes of the lengths (RFC 1951, 3.2.2), bit-reversed for writing from the
// lowest bit.
std::vector<std::uint16_t> CanonicalCodes(const std::vector<std::uint8_t>& lengths)
{
    int count[16] = {};
    for (std::uint8_t l : lengths)
        ++count[l];
    count[0] = 0;
    int next[16] = {};
    int code = 0;
    for (int bits = 1; bits < 16; ++bits) {
        code = (code + count[bits - 1]) << 1;
        next[bits] = code;
    }
    std::vector<std::uint16_t> codes(lengths.size(), 0);
    for (std::size_t s = 0; s < lengths.size(); ++s) {
        const int l = lengths[s];
        if (l == 0)
            continue;
        int c = next[l]++;
        int reversed = 0;
        for (int b = 0; b < l; ++b, c >>= 1)
            reversed = (reversed << 1) | (c & 1);
        codes[s] = static_cast<std::uint16_t>(reversed);
    }
    return codes;
}

// Bits written from the lowest up, as deflate packs them, into a buffer large enough for
// all of them (the caller's bound).
class BitWriter {
public:
    explicit BitWriter(std::uint8_t* out) : start_(out), out_(out) {}

    void put(std::uint64_t value, int bits)
    {
        buffer_ |= value << count_;
        count_ += bits;
        if (count_ >= 32) {
            for (int k = 0; k < 4; ++k)
                out_[k] = static_cast<std::uint8_t>(buffer_ >> (8 * k));
            out_ += 4;
            buffer_ >>= 32;
            count_ -= 32;
        }
    }

    // The bits so far, padded with zeros to a whole byte.
    void align()
    {
        while (count_ > 0) {
            *out_++ = static_cast<std::uint8_t>(buffer_);
            buffer_ >>= 8;
            count_ = std::max(0, count_ - 8);
        }
        buffer_ = 0;
    }

    // Appends whole bytes (after align).
    void bytes(std::initializer_list<std::uint8_t> values)
    {
        for (std::uint8_t v : values)
            *out_++ = v;
    }

    std::size_t written() const { return static_cast<std::size_t>(out_ - start_); }

private:
    std::uint8_t* start_;
    std::uint8_t* out_;
    std::uint64_t buffer_ = 0;
    int count_ = 0;
};

// The length of the run of the previous byte starting at data[i] (i > 0), when it is at
// least MinRun long; 0 otherwise. A part's bytes are literals and such runs.
inline std::size_t RunAt(const std::uint8_t* data, std::size_t i, std::size_t size)
{
    if (i + MinRun > size)
        return 0;
    std::uint32_t word;
    std::memcpy(&word, data + i, sizeof word);
    const std::uint8_t previous = data[i - 1];
    if (word != previous * 0x01010101u)
        return 0;
    std::size_t run = MinRun;
    while (run < MaxRun && i + run < size && data[i + run] == previous)
        ++run;
    return run;
}

// One part of the rows, compressed.
struct PngPart {
    std::vector<std::uint8_t> bytes;
    uLong adler = 1;   // check sum of the part's filtered rows
    std::size_t length = 0; // their bytes
    bool grey = true;  // every pixel of the part's rows was grey (for a grey part)
};

// The grey samples of n pixels of a bitmap row (blue of each), and whether each pixel's
// three bytes were equal: plain code, and with byte shuffles, 16 pixels at a time.
unsigned GreySamplesPlain(const std::uint8_t* row, int n, std::uint8_t* out)
{
    unsigned differ = 0;
    for (int x = 0; x < n; ++x) {
        out[x] = row[3 * x];
        differ |= static_cast<unsigned>(row[3 * x] ^ row[3 * x + 1]) | static_cast<unsigned>(row[3 * x] ^ row[3 * x + 2]);
    }
    return differ;
}

#if defined(__x86_64__) || defined(__i386__)
#define SKYVANE_PNG_SSSE3 1
__attribute__((target("ssse3"))) unsigned GreySamplesSsse3(const std::uint8_t* row, int n, std::uint8_t* out)
{
    // take[c][k]: where 16 bytes of colour c (0 blue, 1 green, 2 red) come from in the
    // k-th 16 bytes of the 48; -1 gives 0.
    __m128i take[3][3];
    for (int c = 0; c < 3; ++c)
        for (int k = 0; k < 3; ++k) {
            alignas(16) std::int8_t index[16];
            for (int x = 0; x < 16; ++x) {
                const int at = 3 * x + c - 16 * k;
                index[x] = static_cast<std::int8_t>(at >= 0 && at < 16 ? at : -1);
            }
            take[c][k] = _mm_load_si128(reinterpret_cast<const __m128i*>(index));
        }
    __m128i same = _mm_set1_epi8(-1);
    int x = 0;
    for (; x + 16 <= n; x += 16) {
        const __m128i part[3] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 3 * x)),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 3 * x + 16)),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 3 * x + 32))};
        __m128i colour[3];
        for (int c = 0; c < 3; ++c)
            colour[c] = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(part[0], take[c][0]), _mm_shuffle_epi8(part[1], take[c][1])),
                                     _mm_shuffle_epi8(part[2], take[c][2]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), colour[0]);
        same = _mm_and_si128(same, _mm_and_si128(_mm_cmpeq_epi8(colour[0], colour[1]), _mm_cmpeq_epi8(colour[0], colour[2])));
    }
    const unsigned differ = _mm_movemask_epi8(same) != 0xFFFF ? 1u : 0u;
    return differ | GreySamplesPlain(row + 3 * x, n - x, out + x);
}
#endif

unsigned GreySamples(const std::uint8_t* row, int n, std::uint8_t* out)
{
#ifdef SKYVANE_PNG_SSSE3
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3)
        return GreySamplesSsse3(row, n, out);
#endif
    return GreySamplesPlain(row, n, out);
}

// The part's filtered rows into raw (resized as needed), and whether every pixel was grey
// when grey samples were asked for.
bool FilteredRows(const DisplayBitmap& bitmap, bool grey, int firstRow, int rows, std::vector<std::uint8_t>& raw)
{
    const int width = bitmap.width();
    const std::size_t rowBytes = 1 + static_cast<std::size_t>(width) * (grey ? 1 : 3);
    raw.resize(rowBytes * static_cast<std::size_t>(rows));
    unsigned differ = 0;
    for (int r = 0; r < rows; ++r) {
        std::uint8_t* out = raw.data() + rowBytes * static_cast<std::size_t>(r);
        out[0] = 0; // filter type: none
        if (grey) {
            const std::uint8_t* row =
                bitmap.rows.data() + static_cast<std::size_t>(bitmap.height() - 1 - (firstRow + r)) * static_cast<std::size_t>(bitmap.stride());
            differ |= GreySamples(row, width, out + 1);
        } else {
            PictureRow(bitmap, firstRow + r, false, out + 1);
        }
    }
    return differ == 0;
}

// The room a thread reuses for each of its parts: the filtered rows, the bits.
struct PngRoom {
    std::vector<std::uint8_t> raw;
    std::vector<std::uint8_t> bits;
};

// A part's rows compressed into out.
void CompressPngPart(const DisplayBitmap& bitmap, bool grey, int part, bool last, PngPart& out, PngRoom& room)
{
    std::vector<std::uint8_t>& raw = room.raw;
    const int firstRow = part * PngPartRows;
    const int rows = std::min(PngPartRows, bitmap.height() - firstRow);
    out.grey = FilteredRows(bitmap, grey, firstRow, rows, raw);
    if (grey && !out.grey)
        return;
    const std::uint8_t* data = raw.data();
    const std::size_t size = raw.size();
    out.adler = adler32(1L, data, static_cast<uInt>(size));
    out.length = size;

    // The codes are made from the symbols of every PngSampleStep-th row, the part's own
    // statistics at a fraction of the cost of counting it all; every symbol is counted
    // once more, so that each has a code whatever the other rows hold.
    const auto& lengthCodes = LengthCodes();
    std::vector<std::uint32_t> counts(LiteralLengthSymbols, 1);
    const std::size_t rowBytes = size / static_cast<std::size_t>(rows);
    for (int r = 0; r < rows; r += PngSampleStep) {
        const std::size_t end = rowBytes * static_cast<std::size_t>(r + 1);
        for (std::size_t i = rowBytes * static_cast<std::size_t>(r); i < end;) {
            const std::size_t run = i > 0 ? RunAt(data, i, end) : 0;
            if (run != 0) {
                ++counts[lengthCodes[run].symbol];
                i += run;
            } else {
                ++counts[data[i++]];
            }
        }
    }
    counts[EndOfBlock] = 1;
    const std::vector<std::uint8_t> lengths = CodeLengths(counts, 15);
    const std::vector<std::uint16_t> codes = CanonicalCodes(lengths);
    // Code and length of each symbol in one word: code in the low 16 bits.
    std::array<std::uint32_t, LiteralLengthSymbols> symbols{};
    for (int k = 0; k < LiteralLengthSymbols; ++k)
        symbols[static_cast<std::size_t>(k)] = codes[static_cast<std::size_t>(k)] | static_cast<std::uint32_t>(lengths[static_cast<std::size_t>(k)]) << 16;
    int literalCodes = LiteralLengthSymbols;
    while (literalCodes > 257 && lengths[static_cast<std::size_t>(literalCodes - 1)] == 0)
        --literalCodes;
    // One distance code, for distance 1 (a code of one symbol has one bit).
    const std::uint8_t distanceLength = 1;

    // The code lengths themselves, run-length coded with symbols 16, 17 and 18.
    std::vector<std::uint8_t> all(lengths.begin(), lengths.begin() + literalCodes);
    all.push_back(distanceLength);
    struct LengthToken {
        std::uint8_t symbol, extraBits, extra;
    };
    std::vector<LengthToken> lengthTokens;
    for (std::size_t k = 0; k < all.size();) {
        std::size_t run = 1;
        while (k + run < all.size() && all[k + run] == all[k])
            ++run;
        if (all[k] == 0 && run >= 3) {
            const std::size_t take = std::min<std::size_t>(run, 138);
            if (take >= 11)
                lengthTokens.push_back({18, 7, static_cast<std::uint8_t>(take - 11)});
            else
                lengthTokens.push_back({17, 3, static_cast<std::uint8_t>(take - 3)});
            k += take;
        } else if (all[k] != 0 && run >= 4) {
            lengthTokens.push_back({all[k], 0, 0});
            const std::size_t take = std::min<std::size_t>(run - 1, 6);
            lengthTokens.push_back({16, 2, static_cast<std::uint8_t>(take - 3)});
            k += 1 + take;
        } else {
            lengthTokens.push_back({all[k], 0, 0});
            ++k;
        }
    }
    std::vector<std::uint32_t> lengthCounts(19, 0);
    for (const LengthToken& t : lengthTokens)
        ++lengthCounts[t.symbol];
    const std::vector<std::uint8_t> lengthLengths = CodeLengths(lengthCounts, 7);
    const std::vector<std::uint16_t> lengthCodesOfLengths = CanonicalCodes(lengthLengths);
    static constexpr int Order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    int orderCount = 19;
    while (orderCount > 4 && lengthLengths[static_cast<std::size_t>(Order[orderCount - 1])] == 0)
        --orderCount;

    // At most 15 bits for a literal and 21 for a run of at least MinRun bytes; the code
    // lengths take less than 1 KiB.
    if (room.bits.size() < size * 2 + 1024)
        room.bits.resize(size * 2 + 1024);
    BitWriter bits(room.bits.data());
    bits.put(last ? 1 : 0, 1); // the last block of the stream
    bits.put(2, 2);            // dynamic Huffman codes
    bits.put(static_cast<std::uint64_t>(literalCodes - 257), 5);
    bits.put(0, 5); // one distance code
    bits.put(static_cast<std::uint64_t>(orderCount - 4), 4);
    for (int k = 0; k < orderCount; ++k)
        bits.put(lengthLengths[static_cast<std::size_t>(Order[k])], 3);
    for (const LengthToken& t : lengthTokens) {
        bits.put(lengthCodesOfLengths[t.symbol], lengthLengths[t.symbol]);
        if (t.extraBits != 0)
            bits.put(t.extra, t.extraBits);
    }
    const auto literal = [&](std::uint8_t b) {
        const std::uint32_t symbol = symbols[b];
        bits.put(symbol & 0xFFFFu, static_cast<int>(symbol >> 16));
    };
    std::size_t i = 0;
    while (i < size) {
        const std::size_t run = i > 0 ? RunAt(data, i, size) : 0;
        if (run != 0) {
            const LengthCode& code = lengthCodes[run];
            const std::uint32_t symbol = symbols[code.symbol];
            // The length symbol, its extra bits, distance code 0 (distance 1): at most 21 bits.
            bits.put((symbol & 0xFFFFu) | static_cast<std::uint64_t>(code.extra) << (symbol >> 16),
                     static_cast<int>(symbol >> 16) + code.extraBits + distanceLength);
            i += run;
        } else if (i + 4 <= size) {
            literal(data[i]);
            literal(data[i + 1]);
            literal(data[i + 2]);
            literal(data[i + 3]);
            i += 4;
        } else {
            literal(data[i++]);
        }
    }
    bits.put(codes[EndOfBlock], lengths[EndOfBlock]);
    if (!last) {
        bits.put(0, 3); // an empty stored block, not the last: to a byte boundary
        bits.align();
        bits.bytes({0x00, 0x00, 0xFF, 0xFF});
    } else {
        bits.align();
    }
    out.bytes.assign(room.bits.data(), room.bits.data() + bits.written());
}

enum class Compression { Done, Colour, NoMemory };

// Compresses every part of the picture, on every core; Colour when a grey picture turns
// out to have a pixel of colour.
Compression CompressPng(const DisplayBitmap& bitmap, bool grey, std::vector<PngPart>& compressed)
{
    const int parts = (bitmap.height() + PngPartRows - 1) / PngPartRows;
    try {
        compressed.assign(static_cast<std::size_t>(parts), PngPart{});
    } catch (const std::bad_alloc&) {
        return Compression::NoMemory;
    }
    std::atomic<int> next{0};
    std::atomic<bool> colour{false};
    std::atomic<bool> failed{false};
    const auto work = [&] {
        PngRoom room;
        for (int k = next.fetch_add(1); k < parts && !colour.load() && !failed.load(); k = next.fetch_add(1)) {
            PngPart& part = compressed[static_cast<std::size_t>(k)];
            try {
                CompressPngPart(bitmap, grey, k, k + 1 == parts, part, room);
            } catch (const std::bad_alloc&) {
                failed.store(true);
            }
            if (!part.grey)
                colour.store(true);
        }
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
    return failed.load() ? Compression::NoMemory : colour.load() ? Compression::Colour : Compression::Done;
}

bool WritePng(int fd, const DisplayBitmap& bitmap, bool grey, std::vector<PngPart>& compressed)
{
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
    for (PngPart& part : compressed) {
        out.clear();
        PngChunk(out, "IDAT", part.bytes.data(), part.bytes.size());
        std::vector<std::uint8_t>().swap(part.bytes);
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
    // Compressed before the file is made. A picture is taken for grey when its first,
    // middle and last rows are (the parts check their own rows as they read them), and
    // compressed again in colour when a part finds a pixel that is not.
    std::vector<PngPart> compressed;
    bool grey = RowsGrey(bitmap, 0) && RowsGrey(bitmap, bitmap.height() / 2) && RowsGrey(bitmap, bitmap.height() - 1);
    Compression done = CompressPng(bitmap, grey, compressed);
    if (done == Compression::Colour) {
        grey = false;
        done = CompressPng(bitmap, grey, compressed);
    }
    if (done != Compression::Done) {
        std::fprintf(stderr, "Cannot write %s: %s\n", PrintableText(path).c_str(), std::strerror(ENOMEM));
        return false;
    }
    return Replaced(ReplaceFile(path, [&](int fd) { return WritePng(fd, bitmap, grey, compressed); }), path);
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
