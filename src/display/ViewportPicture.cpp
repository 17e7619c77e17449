#include "display/ViewportPicture.h"

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define SKYVANE_VIEWPORT_AVX2 1
#endif

namespace skyvane {

namespace {

inline std::uint32_t Word(std::uint8_t grey)
{
    return 0xFF000000u | static_cast<std::uint32_t>(grey) * 0x010101u;
}

inline std::uint32_t Word(std::uint8_t blue, std::uint8_t green, std::uint8_t red)
{
    return 0xFF000000u | static_cast<std::uint32_t>(red) << 16 | static_cast<std::uint32_t>(green) << 8 | blue;
}

// n pixels of 24-bit rows (blue, green, red), n pixels of one-byte grey, and n words each
// repeated z times.
struct RowKernels {
    void (*from24)(const std::uint8_t* source, int n, std::uint32_t* out);
    void (*from8)(const std::uint8_t* source, int n, std::uint32_t* out);
    void (*repeat)(const std::uint32_t* words, int n, int z, std::uint32_t* out);
};

void From24Plain(const std::uint8_t* source, int n, std::uint32_t* out)
{
    for (int i = 0; i < n; ++i)
        out[i] = Word(source[3 * i], source[3 * i + 1], source[3 * i + 2]);
}

// n pixels of a colour level: its blue, green and red planes.
void FromChannels(const std::uint8_t* blue, const std::uint8_t* green, const std::uint8_t* red, int n, std::uint32_t* out)
{
    for (int i = 0; i < n; ++i)
        out[i] = Word(blue[i], green[i], red[i]);
}

void From8Plain(const std::uint8_t* source, int n, std::uint32_t* out)
{
    for (int i = 0; i < n; ++i)
        out[i] = Word(source[i]);
}

void RepeatPlain(const std::uint32_t* words, int n, int z, std::uint32_t* out)
{
    for (int i = 0; i < n; ++i)
        for (int t = 0; t < z; ++t)
            out[static_cast<std::size_t>(i) * static_cast<std::size_t>(z) + static_cast<std::size_t>(t)] = words[i];
}

const RowKernels PlainKernels{From24Plain, From8Plain, RepeatPlain};

#ifdef SKYVANE_VIEWPORT_AVX2
// Eight pixels at a time: the 24 bytes of eight pixels as two halves of 12 (each read as 16,
// so the loop stops two pixels before the end and never reads past the pixels it is given),
// one byte shuffle placing each pixel's blue, green and red, the alpha byte or-ed in.
__attribute__((target("avx2"))) void From24Avx2(const std::uint8_t* source, int n, std::uint32_t* out)
{
    const __m256i spread = _mm256_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1,
                                            0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    int i = 0;
    for (; i + 10 <= n; i += 8) {
        const std::uint8_t* p = source + 3 * static_cast<std::size_t>(i);
        const __m256i bytes = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                                                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)), 1);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_or_si256(_mm256_shuffle_epi8(bytes, spread), alpha));
    }
    From24Plain(source + 3 * static_cast<std::size_t>(i), n - i, out + i);
}

__attribute__((target("avx2"))) void From8Avx2(const std::uint8_t* source, int n, std::uint32_t* out)
{
    const __m256i spread = _mm256_setr_epi8(0, 0, 0, -1, 1, 1, 1, -1, 2, 2, 2, -1, 3, 3, 3, -1,
                                            4, 4, 4, -1, 5, 5, 5, -1, 6, 6, 6, -1, 7, 7, 7, -1);
    const __m256i alpha = _mm256_set1_epi32(static_cast<int>(0xFF000000u));
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i bytes = _mm256_broadcastq_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(source + i)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_or_si256(_mm256_shuffle_epi8(bytes, spread), alpha));
    }
    From8Plain(source + i, n - i, out + i);
}

__attribute__((target("avx2"))) void RepeatAvx2(const std::uint32_t* words, int n, int z, std::uint32_t* out)
{
    int i = 0;
    if (z == 2) {
        const __m256i twice = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
        for (; i + 4 <= n; i += 4) {
            const __m256i four = _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words + i)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i), _mm256_permutevar8x32_epi32(four, twice));
        }
    } else if (z == 4) {
        const __m256i fourTimes = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1);
        for (; i + 2 <= n; i += 2) {
            const __m256i two = _mm256_castsi128_si256(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(words + i)));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i), _mm256_permutevar8x32_epi32(two, fourTimes));
        }
    } else if (z % 8 == 0) {
        for (; i < n; ++i) {
            const __m256i word = _mm256_set1_epi32(static_cast<int>(words[i]));
            std::uint32_t* run = out + static_cast<std::size_t>(i) * static_cast<std::size_t>(z);
            for (int t = 0; t < z; t += 8)
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(run + t), word);
        }
    }
    RepeatPlain(words + i, n - i, z, out + static_cast<std::size_t>(i) * static_cast<std::size_t>(z));
}

const RowKernels& BestKernels()
{
    static const RowKernels avx2{From24Avx2, From8Avx2, RepeatAvx2};
    static const bool has = __builtin_cpu_supports("avx2");
    return has ? avx2 : PlainKernels;
}
#else
const RowKernels& BestKernels()
{
    return PlainKernels;
}
#endif

void FillWords(std::uint32_t* out, std::int64_t n, std::uint32_t word)
{
    if (n > 0)
        std::fill_n(out, n, word);
}

} // namespace

void FillViewport(const DisplayBitmap& bitmap, const ReducedPicture& reduced, const ViewMapping& view, const Rgb32Image& target,
                  std::uint32_t background, RenderKernel kernel)
{
    if (target.pixels == nullptr || target.width <= 0 || target.height <= 0)
        return;
    const RowKernels& kernels = kernel == RenderKernel::Portable ? PlainKernels : BestKernels();
    const auto words = static_cast<std::size_t>(target.strideBytes) / sizeof(std::uint32_t);
    auto targetRow = [&](int y) { return target.pixels + static_cast<std::size_t>(y) * words; };
    const int zoom = std::clamp(view.zoom, ZoomMinimum, ZoomMaximum);

    // The source: the display's bottom-up 24-bit rows at 1:1 and zoomed in, the reduced
    // picture's top-down one-byte rows zoomed out.
    const int width = bitmap.width();
    const int height = bitmap.height();
    bool drawable = width > 0 && height > 0 &&
                    bitmap.rows.size() == static_cast<std::size_t>(bitmap.stride()) * static_cast<std::size_t>(height);
    int sourceWidth = width;
    int sourceHeight = height;
    if (zoom < 0) {
        drawable = drawable && reduced.width() == width && reduced.height() == height && reduced.levelData(-zoom) != nullptr;
        sourceWidth = reduced.levelWidth(-zoom);
        sourceHeight = reduced.levelHeight(-zoom);
    }
    if (!drawable) {
        for (int y = 0; y < target.height; ++y)
            FillWords(targetRow(y), target.width, background);
        return;
    }
    auto sourceLine = [&](std::int64_t line) -> const std::uint8_t* {
        if (zoom < 0)
            return reduced.levelData(-zoom) + static_cast<std::size_t>(line) * static_cast<std::size_t>(sourceWidth);
        return bitmap.rows.data() + static_cast<std::size_t>(height - 1 - line) * static_cast<std::size_t>(bitmap.stride());
    };

    // The screen columns [left, right) that the picture covers; the first of them shows
    // source column first, of which `phase` screen pixels lie left of the target.
    const std::int64_t z = zoom > 0 ? std::int64_t{1} << zoom : 1;
    const std::int64_t left = std::clamp<std::int64_t>(view.offsetX, 0, target.width);
    const std::int64_t right = std::clamp<std::int64_t>(view.offsetX + sourceWidth * z, 0, target.width);
    const std::int64_t span = right - left;
    const std::int64_t first = (left - view.offsetX) / z;
    const std::int64_t phase = (left - view.offsetX) % z;
    // Zoomed in, one line's source pixels and their repetitions.
    const std::int64_t count = zoom > 0 && span > 0 ? (phase + span + z - 1) / z : 0;
    std::vector<std::uint32_t> sourceWords(static_cast<std::size_t>(count));

    std::int64_t previousLine = -1; // the source line of the row above, when it showed one
    for (int y = 0; y < target.height; ++y) {
        std::uint32_t* out = targetRow(y);
        const std::int64_t offset = y - view.offsetY;
        const std::int64_t line = offset >= 0 ? offset / z : -((-offset + z - 1) / z);
        if (line < 0 || line >= sourceHeight || span <= 0) {
            FillWords(out, target.width, background);
            previousLine = -1;
            continue;
        }
        if (line == previousLine) {
            std::memcpy(out, targetRow(y - 1), static_cast<std::size_t>(target.width) * sizeof(std::uint32_t));
            continue;
        }
        FillWords(out, left, background);
        FillWords(out + right, target.width - right, background);
        const std::uint8_t* source = sourceLine(line);
        if (zoom == 0) {
            kernels.from24(source + 3 * first, static_cast<int>(span), out + left);
        } else if (zoom < 0 && reduced.colour()) {
            const std::size_t plane = static_cast<std::size_t>(sourceWidth) * static_cast<std::size_t>(sourceHeight);
            FromChannels(source + first, source + plane + first, source + 2 * plane + first, static_cast<int>(span), out + left);
        } else if (zoom < 0) {
            kernels.from8(source + first, static_cast<int>(span), out + left);
        } else {
            // The first source pixel may be cut by the left edge and the last by the right.
            kernels.from24(source + 3 * first, static_cast<int>(count), sourceWords.data());
            std::uint32_t* run = out + left;
            std::int64_t done = 0;
            std::int64_t next = 0;
            if (phase > 0) {
                done = std::min(z - phase, span);
                FillWords(run, done, sourceWords[0]);
                next = 1;
            }
            const std::int64_t whole = (span - done) / z;
            kernels.repeat(sourceWords.data() + next, static_cast<int>(whole), static_cast<int>(z), run + done);
            done += whole * z;
            if (done < span)
                FillWords(run + done, span - done, sourceWords[static_cast<std::size_t>(next + whole)]);
        }
        previousLine = line;
    }
}

} // namespace skyvane
