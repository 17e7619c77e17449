#include "processing/Resampling.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <new>
#include <numbers>
#include <system_error>
#include <thread>
#include <vector>

#include "processing/Statistics.h"

// Why Lanczos-3 rather than bicubic: stars on our frames are often only 2 to 3 pixels
// across (FWHM). Bicubic convolution (a = -0.5) damps such detail noticeably, and by an
// amount that depends on the fractional shift, so every frame of a list would come out
// with a slightly different star width and a co-addition would be blurred by the mix.
// Lanczos-3 passes those frequencies almost untouched (its response stays near 1 much
// further towards the Nyquist limit), so registered frames keep the width of the
// original. The price is 6 instead of 4 taps per axis, still cheap as the kernel is
// separable and the shift, hence the weights, is the same for every pixel; some ringing
// next to very sharp features (saturated cores, cosmic-ray hits); and, as the kernel does
// not reproduce a straight ramp exactly, a star may move by up to 0.02 pixel (its first
// moment; a fitted position less), far below what registration is measured to.

namespace skyvane {
namespace {

constexpr int Taps = 6;   // taps i0 - 2 .. i0 + 3 around the source point i0 + f
constexpr int First = -2; // offset of the first tap

double Lanczos3(double t)
{
    if (t == 0.0)
        return 1.0;
    if (t <= -3.0 || t >= 3.0)
        return 0.0;
    const double a = std::numbers::pi * t;
    return 3.0 * std::sin(a) * std::sin(a / 3.0) / (a * a);
}

// The interpolation along one axis of length n: for output index i the source point is
// i + shift, and the taps are input indices firstTap(i) + j for j in [tapLo, tapHi).
// Output i is covered when the source point lies in [0, n - 1]. A whole shift has the one
// tap of weight 1, so that it copies values exactly.
class AxisKernel {
public:
    AxisKernel(int n, double shift) : n_(n)
    {
        if (!std::isfinite(shift) || std::fabs(shift) > static_cast<double>(n))
            return; // nothing covered
        const double whole = std::floor(shift);
        offset_ = static_cast<int>(whole);
        const double fraction = shift - whole;
        // i + offset_ + fraction in [0, n - 1]
        firstCovered_ = std::max(0, -offset_);
        endCovered_ = std::max(firstCovered_, std::min(n, (fraction == 0.0 ? n : n - 1) - offset_));
        weights_.fill(0.0);
        if (fraction == 0.0) {
            tapLo_ = -First;
            tapHi_ = tapLo_ + 1;
            weights_[static_cast<std::size_t>(tapLo_)] = 1.0;
        } else {
            double sum = 0.0;
            for (int j = 0; j < Taps; ++j) {
                weights_[static_cast<std::size_t>(j)] = Lanczos3(fraction - static_cast<double>(j + First));
                sum += weights_[static_cast<std::size_t>(j)];
            }
            for (double& w : weights_)
                w /= sum;
        }
    }

    int firstCovered() const { return firstCovered_; }
    int endCovered() const { return endCovered_; }
    bool whole() const { return tapHi_ - tapLo_ == 1; }
    // Input index of tap 0 of output i (may lie outside the axis).
    int firstTap(int i) const { return i + offset_ + First; }
    // True when all taps of output i lie inside the axis.
    bool interior(int i) const { return firstTap(i) + tapLo_ >= 0 && firstTap(i) + tapHi_ <= n_; }
    const std::array<double, Taps>& weights() const { return weights_; }

    // The taps of output i that lie inside the axis, [lo, hi), and their weights, normalised
    // again when some taps fall outside.
    void weightsAt(int i, std::array<double, Taps>& w, int& lo, int& hi) const
    {
        const int t0 = firstTap(i);
        lo = std::max(tapLo_, -t0);
        hi = std::min(tapHi_, n_ - t0);
        w = weights_;
        if (lo == tapLo_ && hi == tapHi_)
            return;
        double sum = 0.0;
        for (int j = lo; j < hi; ++j)
            sum += weights_[static_cast<std::size_t>(j)];
        for (int j = lo; j < hi; ++j)
            w[static_cast<std::size_t>(j)] = weights_[static_cast<std::size_t>(j)] / sum;
    }

private:
    int n_ = 0;
    int offset_ = 0;
    int firstCovered_ = 0;
    int endCovered_ = 0;
    int tapLo_ = 0;
    int tapHi_ = Taps;
    std::array<double, Taps> weights_{};
};

// One output value of the vertical pass at an edge: taps inside only, weights normalised.
double EdgeValue(const AxisKernel& k, int y, const double* line)
{
    std::array<double, Taps> w{};
    int lo = 0;
    int hi = 0;
    k.weightsAt(y, w, lo, hi);
    const int s = k.firstTap(y);
    double v = w[static_cast<std::size_t>(lo)] * line[s + lo];
    for (int j = lo + 1; j < hi; ++j)
        v += w[static_cast<std::size_t>(j)] * line[s + j];
    return v;
}

// Output columns [x0, x1). Each column: the horizontal pass into line (room for one value
// per input row; only the rows the vertical taps reach are filled), then the vertical pass
// into the column. Every value is a sum over the taps in order, so a column comes out the
// same whichever thread computes it, and whichever of the instruction sets below runs it
// (each value is the same products added in the same order; no fused multiply-add).
// Allocates nothing.
[[gnu::always_inline]] inline void ResampleColumnsBody(const ImageGrid& frame, const AxisKernel& kx, const AxisKernel& ky, double fill, int x0, int x1, double* line, ImageGrid& out)
{
    const int height = frame.height();
    const int yBegin = ky.firstCovered();
    const int yEnd = ky.endCovered();
    if (yBegin >= yEnd) {
        for (int x = x0; x < x1; ++x)
            std::fill(out[x], out[x] + height, fill);
        return;
    }
    // Input rows that the vertical taps of the covered outputs reach.
    const int rowLo = std::max(0, ky.firstTap(yBegin));
    const int rowHi = std::min(height, ky.firstTap(yEnd - 1) + Taps);
    int interiorBegin = yBegin;
    while (interiorBegin < yEnd && !ky.interior(interiorBegin))
        ++interiorBegin;
    int interiorEnd = interiorBegin;
    while (interiorEnd < yEnd && ky.interior(interiorEnd))
        ++interiorEnd;
    const std::array<double, Taps>& wy = ky.weights();

    for (int x = x0; x < x1; ++x) {
        double* column = out[x];
        if (x < kx.firstCovered() || x >= kx.endCovered()) {
            std::fill(column, column + height, fill);
            continue;
        }
        // Horizontal pass.
        std::array<double, Taps> wx{};
        int lo = 0;
        int hi = 0;
        kx.weightsAt(x, wx, lo, hi);
        const int t0 = kx.firstTap(x);
        if (hi - lo == 1) {
            const double* c = frame[t0 + lo];
            std::copy(c + rowLo, c + rowHi, line + rowLo);
        } else if (hi - lo == Taps) {
            const double w0 = wx[0], w1 = wx[1], w2 = wx[2], w3 = wx[3], w4 = wx[4], w5 = wx[5];
            const double* c0 = frame[t0];
            const double* c1 = frame[t0 + 1];
            const double* c2 = frame[t0 + 2];
            const double* c3 = frame[t0 + 3];
            const double* c4 = frame[t0 + 4];
            const double* c5 = frame[t0 + 5];
            for (int r = rowLo; r < rowHi; ++r) {
                double v = w0 * c0[r];
                v += w1 * c1[r];
                v += w2 * c2[r];
                v += w3 * c3[r];
                v += w4 * c4[r];
                v += w5 * c5[r];
                line[r] = v;
            }
        } else {
            const double w0 = wx[static_cast<std::size_t>(lo)];
            const double* c0 = frame[t0 + lo];
            for (int r = rowLo; r < rowHi; ++r)
                line[r] = w0 * c0[r];
            for (int j = lo + 1; j < hi; ++j) {
                const double w = wx[static_cast<std::size_t>(j)];
                const double* c = frame[t0 + j];
                for (int r = rowLo; r < rowHi; ++r)
                    line[r] += w * c[r];
            }
        }

        // Vertical pass.
        std::fill(column, column + yBegin, fill);
        std::fill(column + yEnd, column + height, fill);
        for (int y = yBegin; y < interiorBegin; ++y)
            column[y] = EdgeValue(ky, y, line);
        if (ky.whole()) {
            const int s = ky.firstTap(0) - First;
            std::copy(line + (interiorBegin + s), line + (interiorEnd + s), column + interiorBegin);
        } else {
            const double w0 = wy[0], w1 = wy[1], w2 = wy[2], w3 = wy[3], w4 = wy[4], w5 = wy[5];
            const int s = ky.firstTap(0);
            for (int y = interiorBegin; y < interiorEnd; ++y) {
                const double* q = line + (y + s);
                double v = w0 * q[0];
                v += w1 * q[1];
                v += w2 * q[2];
                v += w3 * q[3];
                v += w4 * q[4];
                v += w5 * q[5];
                column[y] = v;
            }
        }
        for (int y = interiorEnd; y < yEnd; ++y)
            column[y] = EdgeValue(ky, y, line);
    }
}

void ResampleColumnsPlain(const ImageGrid& frame, const AxisKernel& kx, const AxisKernel& ky, double fill, int x0, int x1, double* line,
                          ImageGrid& out)
{
    ResampleColumnsBody(frame, kx, ky, fill, x0, x1, line, out);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same loops four values at a time where the processor has the wider registers.
__attribute__((target("avx2"))) void ResampleColumnsAvx2(const ImageGrid& frame, const AxisKernel& kx, const AxisKernel& ky, double fill,
                                                         int x0, int x1, double* line, ImageGrid& out)
{
    ResampleColumnsBody(frame, kx, ky, fill, x0, x1, line, out);
}

void ResampleColumns(const ImageGrid& frame, const AxisKernel& kx, const AxisKernel& ky, double fill, int x0, int x1, double* line, ImageGrid& out)
{
    static const bool wide = __builtin_cpu_supports("avx2");
    if (wide)
        ResampleColumnsAvx2(frame, kx, ky, fill, x0, x1, line, out);
    else
        ResampleColumnsPlain(frame, kx, ky, fill, x0, x1, line, out);
}
#else
void ResampleColumns(const ImageGrid& frame, const AxisKernel& kx, const AxisKernel& ky, double fill, int x0, int x1, double* line, ImageGrid& out)
{
    ResampleColumnsPlain(frame, kx, ky, fill, x0, x1, line, out);
}
#endif

} // namespace

// The median of the frame's present pixels, the same value PresentMedian gives (ImageMedian
// when none is missing): the middle value (the mean of the two middle values for an even
// count). A sample of the pixels brackets it, one pass counts the pixels below the bracket
// and gathers those inside, and a selection among these few finds it. Where the bracket
// misses (or a NaN is seen), PresentMedian does the work.
double FrameMedian(const ImageGrid& frame)
{
    const std::int64_t n = frame.pixelCount();
    if (n < (std::int64_t{1} << 16))
        return PresentMedian(frame);
    const int step = std::max(1, static_cast<int>(std::sqrt(static_cast<double>(n) / 16384.0)));
    std::vector<double> sample;
    for (int x = step / 2; x < frame.width(); x += step) {
        const double* c = frame[x];
        for (int y = step / 2; y < frame.height(); y += step)
            sample.push_back(c[y]);
    }
    const std::int64_t m = static_cast<std::int64_t>(sample.size());
    // The population median lies between these sample ranks but for odds of about 1e-6.
    const std::int64_t spread = static_cast<std::int64_t>(2.5 * std::sqrt(static_cast<double>(m))) + 2;
    const std::int64_t loRank = std::max<std::int64_t>(0, m / 2 - spread);
    const std::int64_t hiRank = std::min<std::int64_t>(m - 1, m / 2 + spread);
    std::nth_element(sample.begin(), sample.begin() + loRank, sample.end());
    const double lo = sample[static_cast<std::size_t>(loRank)];
    std::nth_element(sample.begin() + loRank, sample.begin() + hiRank, sample.end());
    const double hi = sample[static_cast<std::size_t>(hiRank)];
    if (!(lo <= hi))
        return PresentMedian(frame); // a NaN in the sample

    // One pass without branches on the values (they would be mispredicted).
    std::int64_t below = 0;
    std::int64_t unordered = 0; // NaN
    std::size_t count = 0;
    const std::size_t height = static_cast<std::size_t>(frame.height());
    std::vector<double> inside(static_cast<std::size_t>(n / std::max<std::int64_t>(1, m / (4 * spread + 4))) + 2 * height);
    for (int x = 0; x < frame.width(); ++x) {
        if (count + height > inside.size())
            inside.resize(2 * inside.size());
        const double* c = frame[x];
        double* slot = inside.data();
        for (std::size_t y = 0; y < height; ++y) {
            const double v = c[y];
            below += v < lo;
            unordered += v != v;
            slot[count] = v;
            count += (v >= lo) & (v <= hi);
        }
    }
    inside.resize(count);
    const std::int64_t k1 = (n - 1) / 2; // the lower middle rank
    const std::int64_t k2 = n / 2;       // the upper one (equal for an odd count)
    if (unordered > 0 || below > k1 || below + static_cast<std::int64_t>(count) <= k2)
        return PresentMedian(frame);
    const auto upper = inside.begin() + (k2 - below);
    std::nth_element(inside.begin(), upper, inside.end());
    const double y = *upper;
    if (k1 == k2)
        return y;
    const double x = *std::max_element(inside.begin(), upper);
    return (y + x) * 0.5;
}

void ResampleToReference(const ImageGrid& frame, double dx, double dy, ImageGrid& out, int threads)
{
    const int width = frame.width();
    const int height = frame.height();
    if (frame.empty()) {
        out.resize(0, 0);
        return;
    }
    if (&out == &frame) {
        ImageGrid result;
        ResampleToReference(frame, dx, dy, result, threads);
        out.swap(result);
        return;
    }
    if (frame.planes() > 1) {
        // Every plane shifted by the same amount, each as a grey frame of its own.
        if (!out.tryResizeForOverwrite(width, height, frame.planes()))
            throw std::bad_alloc();
        out.commitPages();
        for (int p = 0; p < frame.planes(); ++p) {
            ImageGrid plane = out.planeView(p);
            ResampleToReference(frame.planeView(p), dx, dy, plane, threads);
        }
        return;
    }
    if (!out.tryResizeForOverwrite(width, height))
        throw std::bad_alloc();
    out.commitPages();
    const AxisKernel kx(width, dx);
    const AxisKernel ky(height, dy);
    const bool allCovered = kx.firstCovered() == 0 && kx.endCovered() == width && ky.firstCovered() == 0 && ky.endCovered() == height;
    const double fill = allCovered ? 0.0 : FrameMedian(frame);

    if (threads <= 0)
        threads = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    threads = std::clamp(threads, 1, std::max(1, width / 16));
    const auto columnStart = [&](int part) { return static_cast<int>(static_cast<long long>(width) * part / threads); };
    std::vector<std::vector<double>> lines(static_cast<std::size_t>(threads), std::vector<double>(static_cast<std::size_t>(height)));
    std::vector<std::thread> helpers;
    for (int part = 1; part < threads; ++part) {
        double* line = lines[static_cast<std::size_t>(part)].data();
        try {
            helpers.emplace_back(ResampleColumns, std::cref(frame), std::cref(kx), std::cref(ky), fill, columnStart(part), columnStart(part + 1), line, std::ref(out));
        } catch (const std::system_error&) {
            // No thread to be had: do that part here. Each column is computed the same way
            // wherever it runs.
            ResampleColumns(frame, kx, ky, fill, columnStart(part), columnStart(part + 1), line, out);
        }
    }
    ResampleColumns(frame, kx, ky, fill, 0, columnStart(1), lines[0].data(), out);
    for (std::thread& helper : helpers)
        helper.join();
}

} // namespace skyvane
