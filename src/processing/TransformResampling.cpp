#include "processing/TransformResampling.h"

#include <algorithm>
#include <array>
#include <cmath>
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

// The source point p as a whole index and a table step (0 .. Steps - 1).
void Split(double p, int& whole, int& k)
{
    const double floor = std::floor(p);
    whole = static_cast<int>(floor);
    k = static_cast<int>((p - floor) * Steps + 0.5);
    if (k == Steps) {
        ++whole;
        k = 0;
    }
}

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

// Two doubles side by side: each lane is computed as the same scalar operations would.
using Pair = double __attribute__((vector_size(16)));

Pair LoadPair(const double* p)
{
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The 6 x 6 taps of a source block whose first column is c0 and first row r0: each of the
// six rows weighed across the columns by wx, then the six sums weighed by wy.
inline double Interior(const ImageGrid& frame, int c0, int r0, const std::array<double, Taps>& wx, const std::array<double, Taps>& wy)
{
    const double* c = frame[c0] + r0;
    Pair s01 = wx[0] * LoadPair(c);
    Pair s23 = wx[0] * LoadPair(c + 2);
    Pair s45 = wx[0] * LoadPair(c + 4);
    for (int i = 1; i < Taps; ++i) {
        c = frame[c0 + i] + r0;
        const double w = wx[static_cast<std::size_t>(i)];
        s01 += w * LoadPair(c);
        s23 += w * LoadPair(c + 2);
        s45 += w * LoadPair(c + 4);
    }
    const Pair y01 = {wy[0], wy[1]};
    const Pair y23 = {wy[2], wy[3]};
    const Pair y45 = {wy[4], wy[5]};
    const Pair sum = y01 * s01 + y23 * s23 + y45 * s45;
    return sum[0] + sum[1];
}

// Output columns [x0, x1), tile by tile.
void ResampleColumns(const ImageGrid& frame, const SimilarityTransform& t, double fill, int x0, int x1, ImageGrid& out)
{
    const KernelTable& table = Table();
    const int width = frame.width();
    const int height = frame.height();
    const int outHeight = out.height();
    const double maxX = width - 1;
    const double maxY = height - 1;
    AxisTaps tx;
    AxisTaps ty;
    for (int tileX = x0; tileX < x1; tileX += Tile) {
        const int tileX1 = std::min(x1, tileX + Tile);
        for (int tileY = 0; tileY < outHeight; tileY += Tile) {
            const int tileY1 = std::min(outHeight, tileY + Tile);
            for (int x = tileX; x < tileX1; ++x) {
                double* column = out[x];
                // t.apply(x, y), written out with the same operations.
                const double ax = t.a * static_cast<double>(x);
                const double bx = t.b * static_cast<double>(x);
                for (int y = tileY; y < tileY1; ++y) {
                    const double w = t.mirrored ? -static_cast<double>(y) : static_cast<double>(y);
                    const double u = ax - t.b * w + t.tx;
                    const double v = bx + t.a * w + t.ty;
                    if (!(u >= 0.0 && u <= maxX && v >= 0.0 && v <= maxY)) {
                        column[y] = fill;
                        continue;
                    }
                    int wu = 0, ku = 0, wv = 0, kv = 0;
                    Split(u, wu, ku);
                    Split(v, wv, kv);
                    if (ku != 0 && kv != 0 && wu + First >= 0 && wu + First + Taps <= width && wv + First >= 0 &&
                        wv + First + Taps <= height) {
                        // Inside, between pixel centres: all 36 taps, the six rows of the
                        // block weighed across first (two rows at a time), then down.
                        column[y] = Interior(frame, wu + First, wv + First, table.at(ku), table.at(kv));
                        continue;
                    }
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
                    column[y] = value;
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
