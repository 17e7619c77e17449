#include "processing/CrossCorrelation.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <numbers>
#include <vector>

namespace skyvane {
namespace {

// Structure larger than this (in pixels) is filtered out of the correlation: sky gradients,
// vignetting, the taper of the window. Stars are far smaller.
constexpr double HighPassScale = 32.0;
// The fine correlation uses frequencies up to this many cycles per pixel. Beyond it the
// stars' spectrum has fallen below the noise.
constexpr double FineCutoff = 0.35;
// Fraction of each side tapered by the window (half a Hann period per side).
constexpr double TaperFraction = 0.1;
constexpr int SmallestSide = 16;
// Pixels below the sky by more than this many sigmas are clipped (dust, dead columns).
constexpr double LowClipSigmas = 5.0;
// Before binning for the coarse search, pixels are clipped this many sigmas above the sky,
// so that a cosmic-ray hit adds at most that much to its bin.
constexpr double CoarseClipSigmas = 100.0;
// A bin's value counts up to this many sigmas when the fine region is placed, and the
// region keeps this many pixels off the frame's edges where it can.
constexpr double StarScoreSigmas = 20.0;
constexpr int EdgeMargin = 64;

// The coarse search looks at every shift under which the frames still share this fraction
// of their width and of their height, on the bins binned again so that the longer side has
// at most SearchSide of them (a zero-padded transform of the whole frame at full coarse
// resolution would cost several times the rest of the measure).
constexpr double MinOverlapFraction = 0.25;
constexpr int SearchSide = 256;

// The judgement of a match. A translation is accepted only when both hold:
//  1. Significance: the coarse peak (each lag's value divided by the noise its overlap
//     lets through) stands at least MinSignificance robust sigmas (1.4826 x the median
//     absolute deviation, around the median, of the search's surface outside the peak)
//     above the coarse correlation. Measured: frames of pure noise 4.0 to 5.5 against a
//     reference of noise or of stars, at 512 x 512 and at 2048 x 2048 (the highest of some
//     hundred thousand lags of noise); star fields that match 70 to 160 (512 x 512, 300 stars,
//     raw or calibrated, drifts up to 64% of the side, a trailed frame, one through cloud),
//     130 to 960 (512 x 512, 3 to 100 stars), 27 (a dense field of 128 x 128) and 260 to
//     730 (2048 x 2048). A frame turned by 180 degrees reaches 12 to 34 (512) and 105 to
//     190 (2048): two bright stars falling on two others stand out as far, so the
//     significance alone cannot tell. Neither can it for a frame of noise from a sensor
//     with hot pixels: they match the reference's at no shift (40 to 50 on 256 x 192 with
//     two of them), and only the tiles, median-filtered, see past them.
//  2. Agreement: tiles (a third of the overlap's shorter side, between MinTileSide and
//     MaxTileSide pixels), at most 3 x 3 of them spread over the overlap, each holding a
//     star of at least TileStarSigmas sky sigmas in the reference once windowed, are
//     correlated at full resolution with the frame where the shift puts them (clipped at
//     TileClipSigmas). A tile agrees when its highest value within a quarter of the tile
//     of the shift stands at least TileMinSignificance robust sigmas above the tile's
//     correlation and lies within TileTolerance pixels of the shift of the whole frame. At
//     least two thirds of the tiles holding a star must agree, and at least three (all of
//     them when fewer are checked). Measured: tiles of frames that match stand 6 to 650
//     sigmas out and within 0.2 pixel (those of a trailed frame within 1.3: 8 of 9 agree),
//     but for a raw frame's vignetted corner (3 to 6); a frame turned by 0.4 degree (512)
//     or 0.14 degree (2048) puts its outer tiles 1 to 4 pixels off, and by 1 to 2 degrees
//     (512) 3 to 14 pixels: at most 2 of 9 agree; a frame turned by 180 degrees agrees only in
//     the one or two tiles of the stars that made its peak (0 to 2 of 6 to 9); tiles of
//     noise stand 2 to 4 out. When no tile holds a star (a faint field), the significance
//     alone decides.
constexpr double MinSignificance = 8.0;
constexpr double TileMinSignificance = 5.0;
constexpr double TileTolerance = 1.0;
constexpr double TileStarSigmas = 10.0;
constexpr double TileClipSigmas = 50.0;
constexpr int MinTileSide = 32;
constexpr int MaxTileSide = 256;

std::mutex& PlannerLock()
{
    static std::mutex lock;
    return lock;
}

// Memory with the alignment FFTW's plans were made for.
template <class T>
class FftwArray {
public:
    explicit FftwArray(std::size_t n) : data_(static_cast<T*>(fftwf_malloc(std::max<std::size_t>(n, 1) * sizeof(T))))
    {
        if (data_ == nullptr)
            throw std::bad_alloc();
    }
    ~FftwArray() { fftwf_free(data_); }
    FftwArray(const FftwArray&) = delete;
    FftwArray& operator=(const FftwArray&) = delete;
    T* get() const { return data_; }

private:
    T* data_;
};

using Complex = fftwf_complex;

bool IsSmooth(int n)
{
    for (int p : {2, 3, 5, 7}) {
        while (n % p == 0)
            n /= p;
    }
    return n == 1;
}

// The largest even size at most n (n >= 2) that FFTW transforms fast.
int SmoothAtMost(int n)
{
    int m = n - n % 2;
    while (m > 2 && !IsSmooth(m))
        m -= 2;
    return m;
}

// The smallest even size at least n that FFTW transforms fast.
int SmoothAtLeast(int n)
{
    int m = n + n % 2;
    while (!IsSmooth(m))
        m += 2;
    return m;
}

// One r2c and one c2r plan for an nx x ny real array (ny contiguous), out of place.
class PlanPair {
public:
    PlanPair(int nx, int ny) : nx_(nx), ny_(ny)
    {
        FftwArray<float> real(realSize());
        FftwArray<Complex> spectrum(spectrumSize());
        std::lock_guard<std::mutex> guard(PlannerLock());
        forward_ = fftwf_plan_dft_r2c_2d(nx, ny, real.get(), spectrum.get(), FFTW_ESTIMATE);
        backward_ = fftwf_plan_dft_c2r_2d(nx, ny, spectrum.get(), real.get(), FFTW_ESTIMATE);
        if (forward_ == nullptr || backward_ == nullptr) {
            destroy();
            throw std::bad_alloc();
        }
    }
    ~PlanPair()
    {
        std::lock_guard<std::mutex> guard(PlannerLock());
        destroy();
    }
    PlanPair(const PlanPair&) = delete;
    PlanPair& operator=(const PlanPair&) = delete;

    int nx() const { return nx_; }
    int ny() const { return ny_; }
    int halfY() const { return ny_ / 2 + 1; }
    std::size_t realSize() const { return static_cast<std::size_t>(nx_) * static_cast<std::size_t>(ny_); }
    std::size_t spectrumSize() const { return static_cast<std::size_t>(nx_) * static_cast<std::size_t>(halfY()); }
    void forward(float* in, Complex* out) const { fftwf_execute_dft_r2c(forward_, in, out); }
    // Destroys in.
    void backward(Complex* in, float* out) const { fftwf_execute_dft_c2r(backward_, in, out); }

private:
    void destroy()
    {
        if (forward_ != nullptr)
            fftwf_destroy_plan(forward_);
        if (backward_ != nullptr)
            fftwf_destroy_plan(backward_);
        forward_ = nullptr;
        backward_ = nullptr;
    }

    int nx_;
    int ny_;
    fftwf_plan forward_ = nullptr;
    fftwf_plan backward_ = nullptr;
};

struct SkyLevel {
    double sky = 0.0;
    double sigma = 0.0;
};

// The median and the normalised median absolute deviation of about 16000 pixels spread
// evenly over the grid; NaN pixels are skipped.
SkyLevel EstimateSky(const ImageGrid& grid)
{
    const double n = static_cast<double>(grid.pixelCount());
    const int step = std::max(1, static_cast<int>(std::sqrt(n / 16384.0)));
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(grid.width() / step + 1) * static_cast<std::size_t>(grid.height() / step + 1));
    for (int x = step / 2; x < grid.width(); x += step) {
        const double* column = grid[x];
        for (int y = step / 2; y < grid.height(); y += step) {
            if (!std::isnan(column[y]))
                samples.push_back(column[y]);
        }
    }
    SkyLevel level;
    if (samples.empty())
        return level;
    const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
    std::nth_element(samples.begin(), middle, samples.end());
    level.sky = *middle;
    for (double& v : samples)
        v = std::fabs(v - level.sky);
    std::nth_element(samples.begin(), middle, samples.end());
    level.sigma = 1.4826 * *middle;
    if (!std::isfinite(level.sky))
        level.sky = 0.0;
    if (!std::isfinite(level.sigma))
        level.sigma = 0.0;
    return level;
}

// Sorts three values per row: lo <= mid <= hi; c holds rows -1 .. n (c[-1], c[n] exist).
void SortTriples(const float* c, int n, float* lo, float* mid, float* hi)
{
    for (int y = 0; y < n; ++y) {
        const float a = c[y - 1];
        const float b = c[y];
        const float d = c[y + 1];
        const float ab0 = std::min(a, b);
        const float ab1 = std::max(a, b);
        lo[y] = std::min(ab0, d);
        hi[y] = std::max(ab1, d);
        mid[y] = std::max(ab0, std::min(ab1, d));
    }
}

// Rows y0 - 1 .. y0 + n of column x of the grid as floats into out[-1 .. n], the frame's
// edge rows repeated beyond it; NaN as `nan`.
void LoadColumn(const ImageGrid& grid, int x, int y0, int n, float nan, float* out)
{
    const double* c = grid[x];
    const int height = grid.height();
    auto value = [&](int y) {
        const float f = static_cast<float>(c[y]);
        return f == f ? f : nan;
    };
    const int first = std::clamp(y0 - 1, 0, height);
    const int end = std::clamp(y0 + n + 1, first, height);
    for (int y = y0 - 1; y < std::min(first, y0 + n + 1); ++y)
        out[y - y0] = value(0);
    for (int y = first; y < end; ++y) {
        const float f = static_cast<float>(c[y]);
        out[y - y0] = f == f ? f : nan;
    }
    for (int y = std::max(end, y0 - 1); y <= y0 + n; ++y)
        out[y - y0] = value(height - 1);
}

// The region [x0, x0 + nx) x [y0, y0 + ny) of the grid's 3 x 3 median (the frame's edge
// pixels repeated beyond it, also where the region leaves the frame), minus the sky,
// clipped to [low, high], into out[i * ny + j]. NaN pixels count as sky.
void FilterRegion(const ImageGrid& grid, int x0, int y0, int nx, int ny, const SkyLevel& level, float low, float high, float* out)
{
    const std::size_t n = static_cast<std::size_t>(ny);
    std::vector<float> store((n + 2) + 9 * n);
    float* column = store.data() + 1;
    float* triples[3][3];
    for (int s = 0; s < 3; ++s) {
        for (int t = 0; t < 3; ++t)
            triples[s][t] = store.data() + (n + 2) + n * static_cast<std::size_t>(3 * s + t);
    }
    const float sky = static_cast<float>(level.sky);
    const int width = grid.width();
    // Column i of the region uses frame columns x0 + i - 1 .. x0 + i + 1, each in the slot
    // of its region index mod 3 (the frame's edge columns standing in beyond it).
    auto load = [&](int i) {
        const int x = std::clamp(x0 + i, 0, width - 1);
        LoadColumn(grid, x, y0, ny, sky, column);
        const int slot = ((i % 3) + 3) % 3;
        SortTriples(column, ny, triples[slot][0], triples[slot][1], triples[slot][2]);
    };
    load(-1);
    load(0);
    for (int i = 0; i < nx; ++i) {
        load(i + 1);
        const int left = ((i - 1) % 3 + 3) % 3;
        const int centre = i % 3;
        const int right = (i + 1) % 3;
        const float* l0 = triples[left][0];
        const float* l1 = triples[centre][0];
        const float* l2 = triples[right][0];
        const float* m0 = triples[left][1];
        const float* m1 = triples[centre][1];
        const float* m2 = triples[right][1];
        const float* h0 = triples[left][2];
        const float* h1 = triples[centre][2];
        const float* h2 = triples[right][2];
        float* o = out + static_cast<std::size_t>(i) * n;
        for (int y = 0; y < ny; ++y) {
            const float a = std::max(std::max(l0[y], l1[y]), l2[y]);
            const float b0 = std::min(m0[y], m1[y]);
            const float b1 = std::max(m0[y], m1[y]);
            const float b = std::max(b0, std::min(b1, m2[y]));
            const float c = std::min(std::min(h0[y], h1[y]), h2[y]);
            const float e0 = std::min(a, b);
            const float e1 = std::max(a, b);
            const float median = std::max(e0, std::min(e1, c));
            o[y] = std::min(std::max(median - sky, low), high);
        }
    }
}

// out[i * ny + j] = in[i * ny + j] x wx(i) wy(j) (in may be out); returns the sum of squares.
double ApplyWindow(const float* in, int nx, int ny, const std::vector<float>& wx, const std::vector<float>& wy, float* out)
{
    double energy = 0.0;
    for (int i = 0; i < nx; ++i) {
        const std::size_t row = static_cast<std::size_t>(i) * static_cast<std::size_t>(ny);
        const float wi = wx[static_cast<std::size_t>(i)];
        for (int j = 0; j < ny; ++j) {
            out[row + j] = in[row + j] * (wi * wy[static_cast<std::size_t>(j)]);
            energy += static_cast<double>(out[row + j]) * out[row + j];
        }
    }
    return energy;
}

// A Tukey window over [begin, end) of n samples, 0 outside.
std::vector<float> TukeyWindow(int n, int begin, int end)
{
    std::vector<float> w(static_cast<std::size_t>(n), 0.0f);
    const int length = end - begin;
    const int taper = std::max(1, static_cast<int>(TaperFraction * length));
    for (int i = 0; i < length; ++i) {
        const int edge = std::min(i, length - 1 - i);
        const double v = edge >= taper ? 1.0 : 0.5 * (1.0 - std::cos(std::numbers::pi * (edge + 0.5) / taper));
        w[static_cast<std::size_t>(begin + i)] = static_cast<float>(v);
    }
    return w;
}

std::vector<float> TukeyWindow(int n)
{
    return TukeyWindow(n, 0, n);
}

// The frame in bins of bin x bin pixels: bins[bx * binsY + by] = mean of the bin's pixels
// minus the sky, each clipped to [low, high] first (NaN as sky). Pixels beyond the last
// whole bin are left out.
void BinFrame(const ImageGrid& grid, int bin, int binsX, int binsY, const SkyLevel& level, float low, float high, std::vector<float>& bins)
{
    bins.assign(static_cast<std::size_t>(binsX) * static_cast<std::size_t>(binsY), 0.0f);
    const int rows = binsY * bin;
    std::vector<float> sum(static_cast<std::size_t>(rows));
    const float sky = static_cast<float>(level.sky);
    const float scale = 1.0f / static_cast<float>(bin * bin);
    for (int bx = 0; bx < binsX; ++bx) {
        std::fill(sum.begin(), sum.end(), 0.0f);
        for (int i = 0; i < bin; ++i) {
            const double* c = grid[bx * bin + i];
            for (int y = 0; y < rows; ++y) {
                const float f = static_cast<float>(c[y]) - sky;
                sum[static_cast<std::size_t>(y)] += f == f ? std::min(std::max(f, low), high) : 0.0f;
            }
        }
        float* out = bins.data() + static_cast<std::size_t>(bx) * static_cast<std::size_t>(binsY);
        for (int by = 0; by < binsY; ++by) {
            const float* p = sum.data() + by * bin;
            float s = p[0];
            for (int j = 1; j < bin; ++j)
                s += p[j];
            out[by] = s * scale;
        }
    }
}

// The binned frame, windowed, into the (zero-padded) real array of the coarse plan.
// Returns the sum of squares (0: nothing to correlate).
double FillCoarse(const std::vector<float>& bins, int binsX, int binsY, const std::vector<float>& wx, const std::vector<float>& wy, const PlanPair& plan, float* real)
{
    std::fill(real, real + plan.realSize(), 0.0f);
    double energy = 0.0;
    for (int bx = 0; bx < binsX; ++bx) {
        const float* b = bins.data() + static_cast<std::size_t>(bx) * static_cast<std::size_t>(binsY);
        float* r = real + static_cast<std::size_t>(bx) * static_cast<std::size_t>(plan.ny());
        const float w = wx[static_cast<std::size_t>(bx)];
        for (int by = 0; by < binsY; ++by) {
            r[by] = b[by] * (w * wy[static_cast<std::size_t>(by)]);
            energy += static_cast<double>(r[by]) * r[by];
        }
    }
    return energy;
}

// bins (binsX x binsY) in bins of factor x factor: their means; bins beyond the last whole
// one left out.
std::vector<float> Rebin(const std::vector<float>& bins, int binsX, int binsY, int factor)
{
    if (factor == 1)
        return bins;
    const int outX = binsX / factor;
    const int outY = binsY / factor;
    std::vector<float> out(static_cast<std::size_t>(outX) * static_cast<std::size_t>(outY), 0.0f);
    const float scale = 1.0f / static_cast<float>(factor * factor);
    for (int bx = 0; bx < outX; ++bx) {
        for (int by = 0; by < outY; ++by) {
            float sum = 0.0f;
            for (int i = 0; i < factor; ++i) {
                const float* column = bins.data() + static_cast<std::size_t>(bx * factor + i) * static_cast<std::size_t>(binsY);
                for (int j = 0; j < factor; ++j)
                    sum += column[by * factor + j];
            }
            out[static_cast<std::size_t>(bx) * static_cast<std::size_t>(outY) + static_cast<std::size_t>(by)] = sum * scale;
        }
    }
    return out;
}

// Where the fine region (nx x ny pixels) goes in the reference: the window richest in
// stars, judged on the bins (each bin's value capped at `cap`, then squared, so that many
// stars count for more than one bright one), with a mild preference for the centre. Gives
// the region's first pixel.
void PlaceFineRegion(const std::vector<float>& bins, int binsX, int binsY, int bin, float cap, int width, int height, int nx, int ny, int& x0, int& y0)
{
    x0 = (width - nx) / 2;
    y0 = (height - ny) / 2;
    const int wbx = nx / bin;
    const int wby = ny / bin;
    if (wbx >= binsX && wby >= binsY)
        return;
    // Summed-area table of the scores.
    const std::size_t stride = static_cast<std::size_t>(binsY) + 1;
    std::vector<double> table((static_cast<std::size_t>(binsX) + 1) * stride, 0.0);
    for (int bx = 0; bx < binsX; ++bx) {
        for (int by = 0; by < binsY; ++by) {
            const double v = std::clamp(bins[static_cast<std::size_t>(bx) * static_cast<std::size_t>(binsY) + static_cast<std::size_t>(by)], 0.0f, cap);
            table[(bx + 1) * stride + by + 1] = v * v + table[bx * stride + by + 1] + table[(bx + 1) * stride + by] - table[bx * stride + by];
        }
    }
    auto sum = [&](int bx, int by) {
        const int ex = std::min(binsX, bx + wbx);
        const int ey = std::min(binsY, by + wby);
        return table[ex * stride + ey] - table[bx * stride + ey] - table[ex * stride + by] + table[bx * stride + by];
    };
    const int stepX = std::max(1, wbx / 8);
    const int stepY = std::max(1, wby / 8);
    const int lastX = std::max(0, binsX - wbx);
    const int lastY = std::max(0, binsY - wby);
    // Keep off the edges where there is room, so that a drifting frame still holds the
    // whole region.
    const int marginX = std::min(EdgeMargin / bin, lastX / 2);
    const int marginY = std::min(EdgeMargin / bin, lastY / 2);
    const double cx = 0.5 * lastX;
    const double cy = 0.5 * lastY;
    const double far = std::max(1.0, std::hypot(cx, cy));
    double best = -1.0;
    for (int bx = marginX; bx <= lastX - marginX; bx += stepX) {
        for (int by = marginY; by <= lastY - marginY; by += stepY) {
            const double score = sum(bx, by) * (1.0 - 0.25 * std::hypot(bx - cx, by - cy) / far);
            if (score > best) {
                best = score;
                x0 = std::clamp(bx * bin, 0, width - nx);
                y0 = std::clamp(by * bin, 0, height - ny);
            }
        }
    }
}

// Signed frequency index of array index i of an n-point transform.
int Frequency(int i, int n)
{
    return i <= n / 2 ? i : i - n;
}

// conj(F) times the spectral weight: the high-pass, the cut-off (cycles per pixel, 0 for
// none) and 0 on the Nyquist rows. pixelsPerSample: the bin size. Also gives, per row i,
// the end of the nonzero part (rowEnd), for the sums over the spectrum.
void WeightReference(Complex* spectrum, const PlanPair& plan, double pixelsPerSample, double cutoff, std::vector<int>* rowEnd)
{
    const int nx = plan.nx();
    const int half = plan.halfY();
    const double f0 = pixelsPerSample / HighPassScale; // cycles per sample
    const double fc = cutoff * pixelsPerSample;
    if (rowEnd != nullptr)
        rowEnd->assign(static_cast<std::size_t>(nx), 0);
    for (int i = 0; i < nx; ++i) {
        const int kx = Frequency(i, nx);
        const double fx = static_cast<double>(kx) / nx;
        Complex* row = spectrum + static_cast<std::size_t>(i) * static_cast<std::size_t>(half);
        for (int j = 0; j < half; ++j) {
            const double fy = static_cast<double>(j) / plan.ny();
            const double f2 = fx * fx + fy * fy;
            double w = 1.0 - std::exp(-f2 / (f0 * f0));
            if ((nx % 2 == 0 && i == nx / 2) || (plan.ny() % 2 == 0 && j == plan.ny() / 2))
                w = 0.0;
            if (cutoff > 0.0 && f2 > fc * fc)
                w = 0.0;
            row[j][0] = static_cast<float>(row[j][0] * w);
            row[j][1] = static_cast<float>(-row[j][1] * w);
            if (w != 0.0 && rowEnd != nullptr)
                (*rowEnd)[static_cast<std::size_t>(i)] = j + 1;
        }
    }
}

// The spectral weights of WeightReference (without the row ends), for weighting many
// spectra of one plan alike: ApplyWeights(spectrum, weights) is WeightReference(spectrum,
// plan, pixelsPerSample, cutoff, nullptr) to the bit.
std::vector<double> SpectralWeights(const PlanPair& plan, double pixelsPerSample, double cutoff)
{
    const int nx = plan.nx();
    const int half = plan.halfY();
    const double f0 = pixelsPerSample / HighPassScale;
    const double fc = cutoff * pixelsPerSample;
    std::vector<double> weights(plan.spectrumSize());
    for (int i = 0; i < nx; ++i) {
        const double fx = static_cast<double>(Frequency(i, nx)) / nx;
        for (int j = 0; j < half; ++j) {
            const double fy = static_cast<double>(j) / plan.ny();
            const double f2 = fx * fx + fy * fy;
            double w = 1.0 - std::exp(-f2 / (f0 * f0));
            if ((nx % 2 == 0 && i == nx / 2) || (plan.ny() % 2 == 0 && j == plan.ny() / 2))
                w = 0.0;
            if (cutoff > 0.0 && f2 > fc * fc)
                w = 0.0;
            weights[static_cast<std::size_t>(i) * static_cast<std::size_t>(half) + static_cast<std::size_t>(j)] = w;
        }
    }
    return weights;
}

void ApplyWeights(Complex* spectrum, const std::vector<double>& weights)
{
    for (std::size_t k = 0; k < weights.size(); ++k) {
        spectrum[k][0] = static_cast<float>(spectrum[k][0] * weights[k]);
        spectrum[k][1] = static_cast<float>(-spectrum[k][1] * weights[k]);
    }
}

// spectrum := spectrum x weighted reference, bin by bin.
void MultiplySpectra(Complex* spectrum, const Complex* reference, std::size_t n)
{
    for (std::size_t k = 0; k < n; ++k) {
        const float a = spectrum[k][0];
        const float b = spectrum[k][1];
        const float c = reference[k][0];
        const float d = reference[k][1];
        spectrum[k][0] = a * c - b * d;
        spectrum[k][1] = a * d + b * c;
    }
}

struct Peak {
    int x = 0; // lags
    int y = 0;
    double value = 0.0;
    double subX = 0.0; // parabola offsets in [-0.5, 0.5]
    double subY = 0.0;
    double second = 0.0; // the highest local maximum farther than 2 lags from the peak
};

double ParabolaOffset(double left, double centre, double right)
{
    const double d = left - 2.0 * centre + right;
    if (!(d < 0.0))
        return 0.0;
    return std::clamp(0.5 * (left - right) / d, -0.5, 0.5);
}

// The highest value of a circular nx x ny correlation over lags [lx0, lx1] x [ly0, ly1].
Peak FindPeak(const float* corr, int nx, int ny, int lx0, int lx1, int ly0, int ly1)
{
    auto at = [&](int lx, int ly) {
        const int i = ((lx % nx) + nx) % nx;
        const int j = ((ly % ny) + ny) % ny;
        return static_cast<double>(corr[static_cast<std::size_t>(i) * static_cast<std::size_t>(ny) + static_cast<std::size_t>(j)]);
    };
    Peak peak;
    peak.value = -std::numeric_limits<double>::infinity();
    for (int lx = lx0; lx <= lx1; ++lx) {
        for (int ly = ly0; ly <= ly1; ++ly) {
            const double v = at(lx, ly);
            if (v > peak.value) {
                peak.value = v;
                peak.x = lx;
                peak.y = ly;
            }
        }
    }
    peak.subX = ParabolaOffset(at(peak.x - 1, peak.y), peak.value, at(peak.x + 1, peak.y));
    peak.subY = ParabolaOffset(at(peak.x, peak.y - 1), peak.value, at(peak.x, peak.y + 1));
    // The highest other local maximum.
    peak.second = -std::numeric_limits<double>::infinity();
    for (int lx = lx0; lx <= lx1; ++lx) {
        for (int ly = ly0; ly <= ly1; ++ly) {
            if (std::abs(lx - peak.x) <= 2 && std::abs(ly - peak.y) <= 2)
                continue;
            const double v = at(lx, ly);
            if (!(v > peak.second))
                continue;
            bool local = true;
            for (int a = -1; a <= 1 && local; ++a) {
                for (int b = -1; b <= 1; ++b) {
                    if ((a != 0 || b != 0) && at(lx + a, ly + b) > v) {
                        local = false;
                        break;
                    }
                }
            }
            if (local)
                peak.second = v;
        }
    }
    return peak;
}

// How many robust sigmas `peak` stands above the values of a correlation surface:
// (peak - median) / (1.4826 median absolute deviation) of value(lx, ly) over the lags
// [lx0, lx1] x [ly0, ly1] farther than `exclusion` lags (in x or y) from the peak at
// (px, py), taken on a regular grid of at most about 16000 of them. 0 when too few remain;
// infinity when the others are all equal and the peak stands above them.
template <class Value>
double Significance(Value value, int lx0, int lx1, int ly0, int ly1, int px, int py, int exclusion, double peak)
{
    const double lags = static_cast<double>(lx1 - lx0 + 1) * static_cast<double>(ly1 - ly0 + 1);
    const int step = std::max(1, static_cast<int>(std::sqrt(lags / 16384.0)));
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>((lx1 - lx0) / step + 1) * static_cast<std::size_t>((ly1 - ly0) / step + 1));
    for (int lx = lx0; lx <= lx1; lx += step) {
        for (int ly = ly0; ly <= ly1; ly += step) {
            if (std::abs(lx - px) > exclusion || std::abs(ly - py) > exclusion)
                samples.push_back(value(lx, ly));
        }
    }
    if (samples.size() < 8)
        return 0.0;
    const auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
    std::nth_element(samples.begin(), middle, samples.end());
    const double median = *middle;
    for (double& v : samples)
        v = std::fabs(v - median);
    std::nth_element(samples.begin(), middle, samples.end());
    const double sigma = 1.4826 * *middle;
    if (!(sigma > 0.0))
        return peak > median ? std::numeric_limits<double>::infinity() : 0.0;
    return (peak - median) / sigma;
}

// 1 / sqrt(sum over i of w(i)^2 w(i + lag)^2) for lag = -reach .. reach (index lag + reach):
// how the white noise that the two windows let through grows with their overlap, for
// weighting the lags of a linear correlation alike. 0 where the windows do not overlap.
std::vector<double> OverlapWeights(const std::vector<float>& w, int reach)
{
    const int n = static_cast<int>(w.size());
    std::vector<double> weights(static_cast<std::size_t>(2 * reach + 1), 0.0);
    for (int lag = -reach; lag <= reach; ++lag) {
        double sum = 0.0;
        for (int i = std::max(0, -lag); i < std::min(n, n - lag); ++i) {
            const double a = w[static_cast<std::size_t>(i)];
            const double b = w[static_cast<std::size_t>(i + lag)];
            sum += a * a * b * b;
        }
        weights[static_cast<std::size_t>(lag + reach)] = sum > 0.0 ? 1.0 / std::sqrt(sum) : 0.0;
    }
    return weights;
}

// The correlation r(u, v) = sum over the spectrum of Re(C(k) exp(2 pi i (kx u / nx +
// ky v / ny))), the exact interpolation of the circular correlation between its samples,
// with its gradient and Hessian. C is the weighted half spectrum (bins with ky > 0 count
// twice for their mirror images).
struct Curvature {
    double value = 0.0;
    double gu = 0.0;
    double gv = 0.0;
    double huu = 0.0;
    double huv = 0.0;
    double hvv = 0.0;
};

Curvature EvaluateCorrelation(const Complex* c, const PlanPair& plan, const std::vector<int>& rowEnd, double u, double v)
{
    const int nx = plan.nx();
    const int ny = plan.ny();
    const int half = plan.halfY();
    const double twoPi = 2.0 * std::numbers::pi;
    std::vector<double> eyr(static_cast<std::size_t>(half));
    std::vector<double> eyi(static_cast<std::size_t>(half));
    std::vector<double> w0(static_cast<std::size_t>(half));
    std::vector<double> w1(static_cast<std::size_t>(half));
    std::vector<double> w2(static_cast<std::size_t>(half));
    for (int j = 0; j < half; ++j) {
        const double phase = twoPi * static_cast<double>(j) * v / ny;
        eyr[static_cast<std::size_t>(j)] = std::cos(phase);
        eyi[static_cast<std::size_t>(j)] = std::sin(phase);
        const double w = j == 0 ? 1.0 : 2.0;
        w0[static_cast<std::size_t>(j)] = w;
        w1[static_cast<std::size_t>(j)] = w * j;
        w2[static_cast<std::size_t>(j)] = w * j * j;
    }
    double value = 0.0, gu = 0.0, gv = 0.0, huu = 0.0, huv = 0.0, hvv = 0.0;
    for (int i = 0; i < nx; ++i) {
        const int end = rowEnd[static_cast<std::size_t>(i)];
        if (end == 0)
            continue;
        const Complex* row = c + static_cast<std::size_t>(i) * static_cast<std::size_t>(half);
        double s0r = 0.0, s0i = 0.0, s1r = 0.0, s1i = 0.0, s2r = 0.0, s2i = 0.0;
        for (int j = 0; j < end; ++j) {
            const double cr = row[j][0];
            const double ci = row[j][1];
            const double er = eyr[static_cast<std::size_t>(j)];
            const double ei = eyi[static_cast<std::size_t>(j)];
            const double tr = cr * er - ci * ei;
            const double ti = cr * ei + ci * er;
            const double a0 = w0[static_cast<std::size_t>(j)];
            const double a1 = w1[static_cast<std::size_t>(j)];
            const double a2 = w2[static_cast<std::size_t>(j)];
            s0r += a0 * tr;
            s0i += a0 * ti;
            s1r += a1 * tr;
            s1i += a1 * ti;
            s2r += a2 * tr;
            s2i += a2 * ti;
        }
        const double kx = Frequency(i, nx);
        const double phase = twoPi * kx * u / nx;
        const double er = std::cos(phase);
        const double ei = std::sin(phase);
        const double z0r = er * s0r - ei * s0i;
        const double z0i = er * s0i + ei * s0r;
        const double z1r = er * s1r - ei * s1i;
        const double z1i = er * s1i + ei * s1r;
        const double z2r = er * s2r - ei * s2i;
        value += z0r;
        gu += kx * z0i;
        gv += z1i;
        huu += kx * kx * z0r;
        huv += kx * z1r;
        hvv += z2r;
    }
    Curvature k;
    const double ax = twoPi / nx;
    const double ay = twoPi / ny;
    k.value = value;
    k.gu = -ax * gu;
    k.gv = -ay * gv;
    k.huu = -ax * ax * huu;
    k.huv = -ax * ay * huv;
    k.hvv = -ay * ay * hvv;
    return k;
}

// The maximum of the interpolated correlation near (u, v): Newton steps where the surface
// is concave, short steps uphill where it is not, each at most half a sample and halved
// until it gains; stops when a step is shorter than 1e-5 sample. Returns false (u, v
// unchanged) when it does not settle within 40 steps or ends more than `reach` samples from
// the start.
bool RefinePeak(const Complex* c, const PlanPair& plan, const std::vector<int>& rowEnd, double reach, double& u, double& v)
{
    double pu = u;
    double pv = v;
    Curvature here = EvaluateCorrelation(c, plan, rowEnd, pu, pv);
    for (int iteration = 0; iteration < 40; ++iteration) {
        const double det = here.huu * here.hvv - here.huv * here.huv;
        double su = 0.0;
        double sv = 0.0;
        if (here.huu < 0.0 && det > 0.0) {
            su = -(here.hvv * here.gu - here.huv * here.gv) / det;
            sv = -(here.huu * here.gv - here.huv * here.gu) / det;
        } else {
            const double g = std::hypot(here.gu, here.gv);
            if (!(g > 0.0))
                return false;
            su = 0.25 * here.gu / g;
            sv = 0.25 * here.gv / g;
        }
        double length = std::hypot(su, sv);
        if (!std::isfinite(length))
            return false;
        if (length > 0.5) {
            su *= 0.5 / length;
            sv *= 0.5 / length;
            length = 0.5;
        }
        if (length < 1e-5) {
            if (std::fabs(pu - u) > reach || std::fabs(pv - v) > reach)
                return false;
            u = pu;
            v = pv;
            return true;
        }
        Curvature next = EvaluateCorrelation(c, plan, rowEnd, pu + su, pv + sv);
        while (next.value < here.value && length >= 1e-5) {
            su *= 0.5;
            sv *= 0.5;
            length *= 0.5;
            next = EvaluateCorrelation(c, plan, rowEnd, pu + su, pv + sv);
        }
        pu += su;
        pv += sv;
        here = next;
    }
    return false;
}

// Every row of a half spectrum taking part in the sums.
std::vector<int> FullRows(const PlanPair& plan)
{
    return std::vector<int>(static_cast<std::size_t>(plan.nx()), plan.halfY());
}

} // namespace

struct CrossCorrelator::State {
    int width = 0;
    int height = 0;
    bool usable = false; // the reference has structure and a usable size
    CorrelationSettings settings;
    int bin = 1;
    int binsX = 0;
    int binsY = 0;
    int fineX0 = 0; // the reference's fine region
    int fineY0 = 0;
    std::unique_ptr<PlanPair> coarse;
    std::unique_ptr<PlanPair> fine;
    std::vector<float> coarseWx, coarseWy, fineWx, fineWy;
    std::unique_ptr<FftwArray<Complex>> coarseReference;
    std::unique_ptr<FftwArray<Complex>> fineReference;
    std::vector<int> coarseRowEnd;
    std::vector<int> fineRowEnd;
    std::vector<float> fineFiltered; // the reference's fine region, filtered, not windowed
    // The coarse search: the bins binned again by searchBin (SearchSide), zero-padded for
    // the lags up to searchX and searchY of these (no wrap-around), and the weights that
    // make those lags comparable. Its peak is then found again and refined on the
    // unpadded correlation of the bins.
    int searchBin = 1;
    int searchBinsX = 0;
    int searchBinsY = 0;
    int searchX = 0;
    int searchY = 0;
    std::unique_ptr<PlanPair> search;
    std::unique_ptr<FftwArray<Complex>> searchReference;
    std::vector<float> searchWx, searchWy;
    std::vector<double> searchWeightX, searchWeightY;
    // The whole reference as the fine step filters it, for the tiles; and its sky sigma.
    std::vector<float> referenceFiltered;
    double referenceSigma = 0.0;

    struct Clip {
        float low;
        float coarseHigh;
        float fineHigh;
    };
    Clip clipFor(const SkyLevel& level) const
    {
        const float none = std::numeric_limits<float>::max();
        Clip clip{-none, none, none};
        if (level.sigma > 0.0) {
            clip.low = static_cast<float>(-LowClipSigmas * level.sigma);
            clip.coarseHigh = static_cast<float>(CoarseClipSigmas * level.sigma);
            if (settings.clipSigma > 0.0) {
                clip.fineHigh = static_cast<float>(settings.clipSigma * level.sigma);
                clip.coarseHigh = std::min(clip.coarseHigh, clip.fineHigh);
            }
        }
        return clip;
    }

    struct SearchPeak {
        int x = 0; // lags in bins
        int y = 0;
        double value = 0.0; // weighted
        double significance = 0.0;
        double contrast = 0.0;
    };
    // The highest weighted value of the padded correlation `corr` over the search lags,
    // how far it stands out, and its contrast to the highest other local maximum.
    SearchPeak findSearchPeak(const float* corr) const
    {
        const int nx = search->nx();
        const int ny = search->ny();
        auto at = [&](int lx, int ly) {
            const int i = lx < 0 ? lx + nx : lx;
            const int j = ly < 0 ? ly + ny : ly;
            return static_cast<double>(corr[static_cast<std::size_t>(i) * static_cast<std::size_t>(ny) + static_cast<std::size_t>(j)]) *
                   searchWeightX[static_cast<std::size_t>(lx + searchX)] * searchWeightY[static_cast<std::size_t>(ly + searchY)];
        };
        SearchPeak peak;
        peak.value = -std::numeric_limits<double>::infinity();
        for (int lx = -searchX; lx <= searchX; ++lx) {
            for (int ly = -searchY; ly <= searchY; ++ly) {
                const double v = at(lx, ly);
                if (v > peak.value) {
                    peak.value = v;
                    peak.x = lx;
                    peak.y = ly;
                }
            }
        }
        if (!(peak.value > 0.0))
            return peak;
        peak.significance = Significance(at, -searchX, searchX, -searchY, searchY, peak.x, peak.y, 2, peak.value);
        double second = -std::numeric_limits<double>::infinity();
        for (int lx = -searchX; lx <= searchX; ++lx) {
            for (int ly = -searchY; ly <= searchY; ++ly) {
                if (std::abs(lx - peak.x) <= 2 && std::abs(ly - peak.y) <= 2)
                    continue;
                const double v = at(lx, ly);
                if (!(v > second))
                    continue;
                bool local = true;
                for (int a = -1; a <= 1 && local; ++a) {
                    for (int b = -1; b <= 1; ++b) {
                        const int x = lx + a;
                        const int y = ly + b;
                        if ((a != 0 || b != 0) && x >= -searchX && x <= searchX && y >= -searchY && y <= searchY && at(x, y) > v) {
                            local = false;
                            break;
                        }
                    }
                }
                if (local)
                    second = v;
            }
        }
        peak.contrast = second > 0.0 ? peak.value / second : std::numeric_limits<double>::infinity();
        return peak;
    }

    // The tiles of the judgement (see MinSignificance) for the frame at shift (dx, dy).
    ShiftCheck checkTiles(const ImageGrid& frame, const SkyLevel& level, const Clip& clip, double dx, double dy) const
    {
        ShiftCheck verdict;
        if (!std::isfinite(dx) || !std::isfinite(dy) || std::fabs(dx) >= width || std::fabs(dy) >= height)
            return verdict;
        const int rx = static_cast<int>(std::lround(dx));
        const int ry = static_cast<int>(std::lround(dy));
        // The overlap, in the reference's pixels.
        const int ax0 = std::max(0, -rx);
        const int ay0 = std::max(0, -ry);
        const int overlapX = std::min(width, width - rx) - ax0;
        const int overlapY = std::min(height, height - ry) - ay0;
        if (overlapX < SmallestSide || overlapY < SmallestSide)
            return verdict;
        const int shorter = std::min(overlapX, overlapY);
        const int side = SmoothAtMost(std::min({std::max(shorter / 3, MinTileSide), shorter, MaxTileSide}));
        const int tilesX = std::clamp(overlapX / side, 1, 3);
        const int tilesY = std::clamp(overlapY / side, 1, 3);
        const int cellX = overlapX / tilesX;
        const int cellY = overlapY / tilesY;
        const int reach = std::max(2, side / 4);
        const float star = referenceSigma > 0.0 ? static_cast<float>(TileStarSigmas * referenceSigma) : std::numeric_limits<float>::max();
        // Clipped lower than the fine step, so that a cosmic-ray streak that survives the
        // median in one tile and one in the other cannot outweigh the tile's stars.
        const float referenceHigh = referenceSigma > 0.0 ? static_cast<float>(TileClipSigmas * referenceSigma) : std::numeric_limits<float>::max();
        const float frameHigh = level.sigma > 0.0 ? std::min(clip.fineHigh, static_cast<float>(TileClipSigmas * level.sigma)) : clip.fineHigh;
        const PlanPair plan(side, side);
        const std::vector<float> window = TukeyWindow(side);
        const std::vector<double> weights = SpectralWeights(plan, 1.0, FineCutoff);
        FftwArray<float> real(plan.realSize());
        FftwArray<Complex> reference(plan.spectrumSize());
        FftwArray<Complex> cross(plan.spectrumSize());
        const std::size_t n = static_cast<std::size_t>(side);
        for (int a = 0; a < tilesX; ++a) {
            for (int b = 0; b < tilesY; ++b) {
                const int x0 = ax0 + a * cellX + (cellX - side) / 2;
                const int y0 = ay0 + b * cellY + (cellY - side) / 2;
                for (int i = 0; i < side; ++i) {
                    const float* column = referenceFiltered.data() + static_cast<std::size_t>(x0 + i) * static_cast<std::size_t>(height) + static_cast<std::size_t>(y0);
                    float* out = real.get() + static_cast<std::size_t>(i) * n;
                    for (int j = 0; j < side; ++j)
                        out[j] = std::min(column[j], referenceHigh);
                }
                ApplyWindow(real.get(), side, side, window, window, real.get());
                // A star the window leaves bright enough: one at the tile's edge counts for
                // too little in the correlation to show where it is.
                if (!(*std::max_element(real.get(), real.get() + plan.realSize()) >= star))
                    continue;
                ++verdict.tilesChecked;
                plan.forward(real.get(), reference.get());
                ApplyWeights(reference.get(), weights);
                FilterRegion(frame, x0 + rx, y0 + ry, side, side, level, clip.low, frameHigh, real.get());
                if (ApplyWindow(real.get(), side, side, window, window, real.get()) <= 0.0)
                    continue;
                plan.forward(real.get(), cross.get());
                MultiplySpectra(cross.get(), reference.get(), plan.spectrumSize());
                plan.backward(cross.get(), real.get());
                const Peak peak = FindPeak(real.get(), side, side, -reach, reach, -reach, reach);
                const float* corr = real.get();
                auto at = [&](int lx, int ly) {
                    const int i = lx < 0 ? lx + side : lx;
                    const int j = ly < 0 ? ly + side : ly;
                    return static_cast<double>(corr[static_cast<std::size_t>(i) * n + static_cast<std::size_t>(j)]);
                };
                const int all = side / 2 - 1;
                const double significance = Significance(at, -all, all, -all, all, peak.x, peak.y, 2, peak.value);
                const double offX = peak.x + peak.subX - (dx - rx);
                const double offY = peak.y + peak.subY - (dy - ry);
                if (significance >= TileMinSignificance && std::hypot(offX, offY) <= TileTolerance)
                    ++verdict.tilesAgreeing;
            }
        }
        verdict.agrees = 3 * verdict.tilesAgreeing >= 2 * verdict.tilesChecked && verdict.tilesAgreeing >= std::min(verdict.tilesChecked, 3);
        return verdict;
    }
};

CrossCorrelator::CrossCorrelator(const ImageGrid& reference, const CorrelationSettings& settings) : state_(std::make_unique<State>())
{
    State& s = *state_;
    s.settings = settings;
    s.width = reference.width();
    s.height = reference.height();
    if (s.width < SmallestSide || s.height < SmallestSide)
        return;
    const int coarseSize = std::max(SmallestSide, settings.coarseSize);
    s.bin = std::max(1, (std::max(s.width, s.height) + coarseSize - 1) / coarseSize);
    s.binsX = s.width / s.bin;
    s.binsY = s.height / s.bin;
    s.coarse = std::make_unique<PlanPair>(SmoothAtLeast(s.binsX), SmoothAtLeast(s.binsY));
    const int fineSize = std::max(SmallestSide, settings.fineSize);
    s.fine = std::make_unique<PlanPair>(SmoothAtMost(std::min(fineSize, s.width)), SmoothAtMost(std::min(fineSize, s.height)));
    s.coarseWx = TukeyWindow(s.binsX);
    s.coarseWy = TukeyWindow(s.binsY);
    s.fineWx = TukeyWindow(s.fine->nx());
    s.fineWy = TukeyWindow(s.fine->ny());

    // The search: every lag that leaves MinOverlapFraction of each side shared (or maxShift).
    s.searchBin = std::max(1, (std::max(s.binsX, s.binsY) + SearchSide - 1) / SearchSide);
    s.searchBinsX = s.binsX / s.searchBin;
    s.searchBinsY = s.binsY / s.searchBin;
    auto searchReach = [&](int bins) {
        int reach = bins - static_cast<int>(std::ceil(MinOverlapFraction * bins));
        if (settings.maxShift > 0.0)
            reach = std::min(reach, static_cast<int>(std::min(settings.maxShift, 1e9) / (s.bin * s.searchBin)));
        return std::max(0, reach);
    };
    s.searchX = searchReach(s.searchBinsX);
    s.searchY = searchReach(s.searchBinsY);
    s.search = std::make_unique<PlanPair>(SmoothAtLeast(s.searchBinsX + s.searchX), SmoothAtLeast(s.searchBinsY + s.searchY));
    s.searchWx = TukeyWindow(s.searchBinsX);
    s.searchWy = TukeyWindow(s.searchBinsY);
    s.searchWeightX = OverlapWeights(s.searchWx, s.searchX);
    s.searchWeightY = OverlapWeights(s.searchWy, s.searchY);

    const SkyLevel level = EstimateSky(reference);
    const State::Clip clip = s.clipFor(level);
    std::vector<float> bins;
    BinFrame(reference, s.bin, s.binsX, s.binsY, level, clip.low, clip.coarseHigh, bins);
    const float cap = level.sigma > 0.0 ? static_cast<float>(StarScoreSigmas * level.sigma) : std::numeric_limits<float>::max();
    PlaceFineRegion(bins, s.binsX, s.binsY, s.bin, cap, s.width, s.height, s.fine->nx(), s.fine->ny(), s.fineX0, s.fineY0);

    FftwArray<float> real(std::max({s.coarse->realSize(), s.fine->realSize(), s.search->realSize()}));
    s.coarseReference = std::make_unique<FftwArray<Complex>>(s.coarse->spectrumSize());
    s.fineReference = std::make_unique<FftwArray<Complex>>(s.fine->spectrumSize());
    s.searchReference = std::make_unique<FftwArray<Complex>>(s.search->spectrumSize());
    const double coarseEnergy = FillCoarse(bins, s.binsX, s.binsY, s.coarseWx, s.coarseWy, *s.coarse, real.get());
    s.coarse->forward(real.get(), s.coarseReference->get());
    WeightReference(s.coarseReference->get(), *s.coarse, s.bin, 0.0, nullptr);
    s.coarseRowEnd = FullRows(*s.coarse);
    FillCoarse(Rebin(bins, s.binsX, s.binsY, s.searchBin), s.searchBinsX, s.searchBinsY, s.searchWx, s.searchWy, *s.search, real.get());
    s.search->forward(real.get(), s.searchReference->get());
    WeightReference(s.searchReference->get(), *s.search, s.bin * s.searchBin, 0.0, nullptr);
    s.fineFiltered.resize(s.fine->realSize());
    FilterRegion(reference, s.fineX0, s.fineY0, s.fine->nx(), s.fine->ny(), level, clip.low, clip.fineHigh, s.fineFiltered.data());
    const double fineEnergy = ApplyWindow(s.fineFiltered.data(), s.fine->nx(), s.fine->ny(), s.fineWx, s.fineWy, real.get());
    s.fine->forward(real.get(), s.fineReference->get());
    WeightReference(s.fineReference->get(), *s.fine, 1.0, FineCutoff, &s.fineRowEnd);
    s.referenceFiltered.resize(reference.pixelCount());
    FilterRegion(reference, 0, 0, s.width, s.height, level, clip.low, clip.fineHigh, s.referenceFiltered.data());
    s.referenceSigma = level.sigma;
    s.usable = coarseEnergy > 0.0 && fineEnergy > 0.0;
}

CrossCorrelator::~CrossCorrelator() = default;

CorrelationShift CrossCorrelator::measure(const ImageGrid& frame) const
{
    const State& s = *state_;
    CorrelationShift result;
    if (frame.width() != s.width || frame.height() != s.height) {
        result.status = ShiftStatus::SizeMismatch;
        return result;
    }
    if (!s.usable)
        return result;
    const SkyLevel level = EstimateSky(frame);
    const State::Clip clip = s.clipFor(level);

    // Coarse: the whole frame, binned. The unpadded correlation, then the padded one of the
    // search; the integer peak of the search, then the interpolated maximum.
    const PlanPair& coarse = *s.coarse;
    const PlanPair& fine = *s.fine;
    const PlanPair& search = *s.search;
    FftwArray<float> real(std::max(coarse.realSize(), fine.realSize()));
    FftwArray<Complex> spectrum(std::max(coarse.spectrumSize(), fine.spectrumSize()));
    FftwArray<Complex> cross(std::max(coarse.spectrumSize(), fine.spectrumSize()));
    std::vector<float> bins;
    BinFrame(frame, s.bin, s.binsX, s.binsY, level, clip.low, clip.coarseHigh, bins);
    if (FillCoarse(bins, s.binsX, s.binsY, s.coarseWx, s.coarseWy, coarse, real.get()) <= 0.0)
        return result;
    coarse.forward(real.get(), spectrum.get());
    MultiplySpectra(spectrum.get(), s.coarseReference->get(), coarse.spectrumSize());
    std::memcpy(cross.get(), spectrum.get(), coarse.spectrumSize() * sizeof(Complex));
    coarse.backward(spectrum.get(), real.get());
    double u = 0.0;
    double v = 0.0;
    {
        FftwArray<float> searchReal(search.realSize());
        FftwArray<Complex> searchSpectrum(search.spectrumSize());
        FillCoarse(Rebin(bins, s.binsX, s.binsY, s.searchBin), s.searchBinsX, s.searchBinsY, s.searchWx, s.searchWy, search, searchReal.get());
        bins = std::vector<float>();
        search.forward(searchReal.get(), searchSpectrum.get());
        MultiplySpectra(searchSpectrum.get(), s.searchReference->get(), search.spectrumSize());
        search.backward(searchSpectrum.get(), searchReal.get());
        const State::SearchPeak found = s.findSearchPeak(searchReal.get());
        if (!(found.value > 0.0))
            return result;
        result.contrast = found.contrast;
        result.significance = found.significance;
        // The same peak on the bins: the highest value of their correlation within a search
        // bin of it (the wrap-around of that unpadded correlation only adds the little
        // that the frames' other parts share at the opposite lag).
        const int r = s.searchBin + 1;
        const int cx = found.x * s.searchBin;
        const int cy = found.y * s.searchBin;
        const Peak peak = FindPeak(real.get(), coarse.nx(), coarse.ny(), cx - r, cx + r, cy - r, cy + r);
        u = peak.x + peak.subX;
        v = peak.y + peak.subY;
        RefinePeak(cross.get(), coarse, s.coarseRowEnd, 1.0, u, v);
    }
    const double coarseX = s.bin * u;
    const double coarseY = s.bin * v;
    result.status = ShiftStatus::Measured;
    result.dx = coarseX;
    result.dy = coarseY;

    // Fine: the reference's fine region and the frame's region where the coarse shift puts
    // it, at full resolution. Where that region leaves the frame, both are windowed over the
    // part they share, so that every star is weighted alike in both.
    auto refine = [&] {
        const int offsetX = static_cast<int>(std::lround(coarseX));
        const int offsetY = static_cast<int>(std::lround(coarseY));
        const int x0 = s.fineX0 + offsetX;
        const int y0 = s.fineY0 + offsetY;
        const int ia = std::max(0, -x0);
        const int ib = std::min(fine.nx(), s.width - x0);
        const int ja = std::max(0, -y0);
        const int jb = std::min(fine.ny(), s.height - y0);
        if (ib - ia < SmallestSide || jb - ja < SmallestSide)
            return; // too little left in common: the coarse shift is all there is
        const bool whole = ia == 0 && ib == fine.nx() && ja == 0 && jb == fine.ny();
        const std::vector<float> partX = whole ? std::vector<float>() : TukeyWindow(fine.nx(), ia, ib);
        const std::vector<float> partY = whole ? std::vector<float>() : TukeyWindow(fine.ny(), ja, jb);
        const std::vector<float>& wx = whole ? s.fineWx : partX;
        const std::vector<float>& wy = whole ? s.fineWy : partY;
        const Complex* reference = s.fineReference->get();
        std::unique_ptr<FftwArray<Complex>> partReference;
        if (!whole) {
            if (ApplyWindow(s.fineFiltered.data(), fine.nx(), fine.ny(), wx, wy, real.get()) <= 0.0)
                return;
            partReference = std::make_unique<FftwArray<Complex>>(fine.spectrumSize());
            fine.forward(real.get(), partReference->get());
            WeightReference(partReference->get(), fine, 1.0, FineCutoff, nullptr);
            reference = partReference->get();
        }
        FilterRegion(frame, x0, y0, fine.nx(), fine.ny(), level, clip.low, clip.fineHigh, real.get());
        if (ApplyWindow(real.get(), fine.nx(), fine.ny(), wx, wy, real.get()) <= 0.0)
            return;
        fine.forward(real.get(), cross.get());
        MultiplySpectra(cross.get(), reference, fine.spectrumSize());
        double fu = coarseX - offsetX;
        double fv = coarseY - offsetY;
        const double reach = s.bin + 1.0;
        if (!RefinePeak(cross.get(), fine, s.fineRowEnd, reach, fu, fv)) {
            // The coarse shift was too rough to climb from: start from the best pixel of the
            // fine correlation near it instead.
            std::memcpy(spectrum.get(), cross.get(), fine.spectrumSize() * sizeof(Complex));
            fine.backward(spectrum.get(), real.get());
            const int r = s.bin + 2;
            const Peak finePeak = FindPeak(real.get(), fine.nx(), fine.ny(), -r, r, -r, r);
            fu = finePeak.x + finePeak.subX;
            fv = finePeak.y + finePeak.subY;
            RefinePeak(cross.get(), fine, s.fineRowEnd, 1.0, fu, fv);
        }
        result.dx = offsetX + fu;
        result.dy = offsetY + fv;
    };
    refine();

    // The judgement (see MinSignificance).
    const ShiftCheck tiles = s.checkTiles(frame, level, clip, result.dx, result.dy);
    result.tilesChecked = tiles.tilesChecked;
    result.tilesAgreeing = tiles.tilesAgreeing;
    if (!(result.significance >= MinSignificance) || !tiles.agrees)
        result.status = ShiftStatus::NoMatch;
    return result;
}

ShiftCheck CrossCorrelator::check(const ImageGrid& frame, double dx, double dy) const
{
    const State& s = *state_;
    if (frame.width() != s.width || frame.height() != s.height)
        return {};
    if (!s.usable) {
        ShiftCheck nothing;
        nothing.agrees = true;
        return nothing;
    }
    const SkyLevel level = EstimateSky(frame);
    return s.checkTiles(frame, level, s.clipFor(level), dx, dy);
}

} // namespace skyvane
