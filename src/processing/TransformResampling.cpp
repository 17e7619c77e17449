#include "processing/TransformResampling.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <numbers>
#include <system_error>
#include <thread>
#include <vector>

#include "processing/Resampling.h"

namespace skyvane {

namespace {

constexpr int Taps = 6;    // source index i0 - 2 .. i0 + 3 about the point i0 + f
constexpr int First = -2;  // offset of the first tap
constexpr int Steps = 1024; // table steps per pixel
constexpr int Tile = 64;   // output pixels per side of a tile: the source it reads stays in cache

double Lanczos3(double t)
{
    if (t == 0.0)
        return 1.0;
    if (t <= -3.0 || t >= 3.0)
        return 0.0;
    const double a = std::numbers::pi * t;
    return 3.0 * std::sin(a) * std::sin(a / 3.0) / (a * a);
}

// Normalised weights for fractions k / Steps, k = 0 .. Steps - 1; k = 0 is the one tap.
class KernelTable {
public:
    KernelTable() : weights_(static_cast<std::size_t>(Steps))
    {
        weights_[0] = {0.0, 0.0, 1.0, 0.0, 0.0, 0.0};
        for (int k = 1; k < Steps; ++k) {
            const double f = static_cast<double>(k) / Steps;
            std::array<double, Taps>& w = weights_[static_cast<std::size_t>(k)];
            double sum = 0.0;
            for (int j = 0; j < Taps; ++j) {
                w[static_cast<std::size_t>(j)] = Lanczos3(f - static_cast<double>(j + First));
                sum += w[static_cast<std::size_t>(j)];
            }
            for (double& v : w)
                v /= sum;
        }
    }
    const std::array<double, Taps>& at(int k) const { return weights_[static_cast<std::size_t>(k)]; }

private:
    std::vector<std::array<double, Taps>> weights_;
};

const KernelTable& Table()
{
    static const KernelTable table;
    return table;
}

// The taps of one axis of length n for the source point p (within [0, n - 1]): the first
// source index, the tap range [lo, hi) inside the axis, and the weights, normalised again
// when taps were cut.
struct AxisTaps {
    int start = 0;
    int lo = 0;
    int hi = Taps;
    std::array<double, Taps> w{};
};

void Taps1(int whole, int k, int n, const KernelTable& table, AxisTaps& taps)
{
    taps.start = whole + First;
    taps.w = table.at(k);
    if (k == 0) {
        taps.lo = -First;
        taps.hi = taps.lo + 1;
        return;
    }
    taps.lo = std::max(0, -taps.start);
    taps.hi = std::min(Taps, n - taps.start);
    if (taps.lo == 0 && taps.hi == Taps)
        return;
    double sum = 0.0;
    for (int j = taps.lo; j < taps.hi; ++j)
        sum += taps.w[static_cast<std::size_t>(j)];
    for (int j = taps.lo; j < taps.hi; ++j)
        taps.w[static_cast<std::size_t>(j)] /= sum;
}

// Four and two doubles side by side: each lane is computed as the same scalar operations
// would, whatever vector instructions the processor has.
using Quad = double __attribute__((vector_size(32)));
using Pair = double __attribute__((vector_size(16)));

// The 6 x 6 taps of a source block whose first column starts at c (columns stride apart):
// each of the six rows weighed across the columns by wx, then the six sums weighed by wy.
inline double Interior(const double* c, std::ptrdiff_t stride, const std::array<double, Taps>& wx, const std::array<double, Taps>& wy)
{
    Quad rows0;
    Pair rows4;
    std::memcpy(&rows0, c, sizeof rows0);
    std::memcpy(&rows4, c + 4, sizeof rows4);
    Quad s0 = wx[0] * rows0;
    Pair s4 = wx[0] * rows4;
    for (int i = 1; i < Taps; ++i) {
        c += stride;
        std::memcpy(&rows0, c, sizeof rows0);
        std::memcpy(&rows4, c + 4, sizeof rows4);
        const double w = wx[static_cast<std::size_t>(i)];
        s0 += w * rows0;
        s4 += w * rows4;
    }
    Quad y0;
    Pair y4;
    std::memcpy(&y0, wy.data(), sizeof y0);
    std::memcpy(&y4, wy.data() + 4, sizeof y4);
    const Quad q = y0 * s0;
    const Pair p = y4 * s4;
    return ((q[0] + q[1]) + (q[2] + q[3])) + (p[0] + p[1]);
}

// The source point p (at least 0) as a whole index and a table step (0 .. Steps - 1).
inline void SplitPositive(double p, int& whole, int& k)
{
    whole = static_cast<int>(p);
    k = static_cast<int>((p - static_cast<double>(whole)) * Steps + 0.5);
    if (k == Steps) {
        ++whole;
        k = 0;
    }
}

// Output columns [x0, x1), tile by tile. Built for processors with and without the wider
// vectors; the results are the same.
__attribute__((target_clones("avx2", "default"))) void ResampleColumns(const ImageGrid& frame, const SimilarityTransform& t, double fill, int x0, int x1, ImageGrid& out)
{
    const KernelTable& table = Table();
    const int width = frame.width();
    const int height = frame.height();
    const int outHeight = out.height();
    const double maxX = width - 1;
    const double maxY = height - 1;
    // Source points within these bounds have all 36 taps inside the frame, whatever their
    // rounding to the table's steps, with a pixel to spare.
    const double safeX = width - 6.0;
    const double safeY = height - 6.0;
    const double ySign = t.mirrored ? -1.0 : 1.0;
    // Along a run the source point is stepped in fixed point, 32 bits of fraction: the
    // position of row y is the start's plus y times the step, an integer sum, the same
    // however the run is reached. Half a table step is added once, so that a shift and a
    // mask round to the nearest step.
    constexpr double Unit = 4294967296.0; // 2^32
    constexpr std::int64_t HalfStep = std::int64_t{1} << 21; // 2^32 / Steps / 2
    static_assert(Steps == 1024, "the shifts below are for 1024 steps");
    const std::int64_t stepU = std::llround(-t.b * ySign * Unit);
    const std::int64_t stepV = std::llround(t.a * ySign * Unit);
    AxisTaps tx;
    AxisTaps ty;
    const double* data = frame[0];
    const std::ptrdiff_t stride = height;
    // Any output pixel: the taps cut at the frame's edges, a pixel centre copied.
    const auto anyPixel = [&](double u, double v) {
        if (!(u >= 0.0 && u <= maxX && v >= 0.0 && v <= maxY))
            return fill;
        int wu = 0, ku = 0, wv = 0, kv = 0;
        SplitPositive(u, wu, ku);
        SplitPositive(v, wv, kv);
        if (ku != 0 && kv != 0 && wu + First >= 0 && wu + First + Taps <= width && wv + First >= 0 && wv + First + Taps <= height)
            return Interior(data + (wu + First) * stride + (wv + First), stride, table.at(ku), table.at(kv));
        Taps1(wu, ku, width, table, tx);
        Taps1(wv, kv, height, table, ty);
        double value = 0.0;
        bool firstTap = true;
        for (int i = tx.lo; i < tx.hi; ++i) {
            const double* source = frame[tx.start + i] + ty.start;
            double inner = ty.w[static_cast<std::size_t>(ty.lo)] * source[ty.lo];
            for (int j = ty.lo + 1; j < ty.hi; ++j)
                inner += ty.w[static_cast<std::size_t>(j)] * source[j];
            if (firstTap) {
                value = tx.w[static_cast<std::size_t>(i)] * inner;
                firstTap = false;
            } else {
                value += tx.w[static_cast<std::size_t>(i)] * inner;
            }
        }
        return value;
    };
    for (int tileX = x0; tileX < x1; tileX += Tile) {
        const int tileX1 = std::min(x1, tileX + Tile);
        for (int tileY = 0; tileY < outHeight; tileY += Tile) {
            const int tileY1 = std::min(outHeight, tileY + Tile);
            for (int x = tileX; x < tileX1; ++x) {
                double* column = out[x];
                // t.apply(x, y), written out with the same operations.
                const double ax = t.a * static_cast<double>(x);
                const double bx = t.b * static_cast<double>(x);
                const auto sourceU = [&](int y) { return ax - t.b * (ySign * static_cast<double>(y)) + t.tx; };
                const auto sourceV = [&](int y) { return bx + t.a * (ySign * static_cast<double>(y)) + t.ty; };
                // The source point moves along a straight line, and each operation above
                // keeps the order of its operands: when both ends of the run are safe, every
                // point between them is.
                const double u0 = sourceU(tileY);
                const double v0 = sourceV(tileY);
                const double u1 = sourceU(tileY1 - 1);
                const double v1 = sourceV(tileY1 - 1);
                const bool safe = u0 >= 3.0 && u0 <= safeX && v0 >= 3.0 && v0 <= safeY && u1 >= 3.0 && u1 <= safeX &&
                                  v1 >= 3.0 && v1 <= safeY;
                if (!safe) {
                    for (int y = tileY; y < tileY1; ++y)
                        column[y] = anyPixel(sourceU(y), sourceV(y));
                    continue;
                }
                std::int64_t fixedU = std::llround(u0 * Unit) + HalfStep;
                std::int64_t fixedV = std::llround(v0 * Unit) + HalfStep;
                for (int y = tileY; y < tileY1; ++y, fixedU += stepU, fixedV += stepV) {
                    const int wu = static_cast<int>(fixedU >> 32);
                    const int ku = static_cast<int>(fixedU >> 22) & (Steps - 1);
                    const int wv = static_cast<int>(fixedV >> 32);
                    const int kv = static_cast<int>(fixedV >> 22) & (Steps - 1);
                    // Between pixel centres: all 36 taps, the six rows of the block weighed
                    // across first, then down.
                    column[y] = ku != 0 && kv != 0
                                    ? Interior(data + (wu + First) * stride + (wv + First), stride, table.at(ku), table.at(kv))
                                    : anyPixel(sourceU(y), sourceV(y));
                }
            }
        }
    }
}

// True when every output pixel's source point lies within the frame: the corners decide.
bool AllCovered(const SimilarityTransform& t, int outWidth, int outHeight, int width, int height)
{
    const double xs[2] = {0.0, static_cast<double>(outWidth - 1)};
    const double ys[2] = {0.0, static_cast<double>(outHeight - 1)};
    for (const double x : xs) {
        for (const double y : ys) {
            double u = 0.0;
            double v = 0.0;
            t.apply(x, y, u, v);
            if (!(u >= 0.0 && u <= width - 1 && v >= 0.0 && v <= height - 1))
                return false;
        }
    }
    return true;
}

} // namespace

void ResampleTransformed(const ImageGrid& frame, const SimilarityTransform& toFrame, int width, int height, ImageGrid& out,
                         int threads)
{
    if (frame.empty() || width <= 0 || height <= 0) {
        out.resize(0, 0);
        return;
    }
    if (frame.planes() > 1) {
        // Every plane moved by the same transform, each as a grey frame of its own.
        if (!out.tryResizeForOverwrite(width, height, frame.planes()))
            throw std::bad_alloc();
        for (int p = 0; p < frame.planes(); ++p) {
            ImageGrid plane = out.planeView(p);
            ResampleTransformed(frame.planeView(p), toFrame, width, height, plane, threads);
        }
        return;
    }
    if (!out.tryResizeForOverwrite(width, height))
        throw std::bad_alloc();
    const double fill = AllCovered(toFrame, width, height, frame.width(), frame.height()) ? 0.0 : FrameMedian(frame);
    if (threads <= 0)
        threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    threads = std::clamp(threads, 1, std::max(1, width / Tile));
    const auto columnStart = [&](int part) { return static_cast<int>(static_cast<long long>(width) * part / threads); };
    std::vector<std::thread> helpers;
    for (int part = 1; part < threads; ++part) {
        try {
            helpers.emplace_back(ResampleColumns, std::cref(frame), std::cref(toFrame), fill, columnStart(part), columnStart(part + 1), std::ref(out));
        } catch (const std::system_error&) {
            ResampleColumns(frame, toFrame, fill, columnStart(part), columnStart(part + 1), out);
        }
    }
    ResampleColumns(frame, toFrame, fill, 0, columnStart(1), out);
    for (std::thread& helper : helpers)
        helper.join();
}

} // namespace skyvane
