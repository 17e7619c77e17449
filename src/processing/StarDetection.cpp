#include "processing/StarDetection.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <unordered_map>
#include <utility>

namespace skyvane {

namespace {

constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
const double SigmaToFwhm = 2.0 * std::sqrt(2.0 * std::numbers::ln2);

// Robust figures of a cell: three rounds of clipping at 3 sigma.
constexpr int ClipRounds = 3;
constexpr double ClipSigmas = 3.0;
constexpr std::size_t MinCellPixels = 16;

// A candidate is one bright pixel when that pixel holds more than this share of the light
// of its 3 x 3 square: a star would have to be narrower than about 1 pixel FWHM.
constexpr double SinglePixelShare = 0.7;
// Flat tops: at least this many pixels of the 5 x 5 square within FlatTopShare of the peak,
// on a star whose peak stands more than FlatTopSigmas above the sky. A round star has at
// most four pixels that close to its brightest one.
constexpr int FlatTopPixels = 5;
constexpr double FlatTopShare = 0.01;
constexpr double FlatTopSigmas = 50.0;
// Spikes (see StarCentroid.cpp): more than SpikeSigmas noise sigmas and SpikeRatio times
// the height of the neighbours' median above that median.
constexpr double SpikeSigmas = 5.0;
constexpr double SpikeRatio = 4.0;
// A candidate whose light near its centre is mostly spikes is a cosmic-ray hit.
constexpr double SpikeShare = 0.5;
// Too sharp: narrower across than this share of the frame's typical star.
constexpr double SharpShare = 0.5;
// The typical star is measured on this many of the brightest candidates first.
constexpr std::size_t TypicalSample = 60;
constexpr double FirstGuessSigma = 1.5;
// A group holding more local maxima than this is noise or nebula: only the highest count.
constexpr std::size_t MaxPeaksPerGroup = 40;
constexpr int MaxMomentIterations = 60;

// The median of v (reordered); NaN for none.
double MedianOf(std::vector<double>& v)
{
    if (v.empty())
        return Nan;
    const std::size_t half = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(half), v.end());
    const double upper = v[half];
    if (v.size() % 2 == 1)
        return upper;
    const double lower = *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(half));
    return 0.5 * (lower + upper);
}

// The median of v, the value MedianOf gives, found quickly when it lies within [lo, hi]: one
// pass counts the values below lo and gathers those inside into inside, and a selection
// among these few finds it. Where it does not lie there (or a NaN is seen), MedianOf does
// the work. v is left as it is unless MedianOf is needed.
double MedianNear(std::vector<double>& v, double lo, double hi, std::vector<double>& inside)
{
    const std::size_t n = v.size();
    if (n == 0 || !(lo <= hi))
        return MedianOf(v);
    inside.resize(n);
    std::size_t below = 0;
    std::size_t above = 0;
    std::size_t count = 0;
    double* gathered = inside.data();
    for (const double x : v) {
        gathered[count] = x;
        count += (x >= lo) & (x <= hi) ? 1 : 0;
        below += x < lo ? 1 : 0;
        above += x > hi ? 1 : 0;
    }
    const std::size_t k1 = (n - 1) / 2; // the lower middle rank
    const std::size_t k2 = n / 2;       // the upper one (equal for an odd count)
    if (below + count + above != n || below > k1 || below + count <= k2)
        return MedianOf(v);
    const auto upper = inside.begin() + static_cast<std::ptrdiff_t>(k2 - below);
    std::nth_element(inside.begin(), upper, inside.begin() + static_cast<std::ptrdiff_t>(count));
    const double y = *upper;
    if (k1 == k2)
        return y;
    const double x = *std::max_element(inside.begin(), upper);
    return 0.5 * (x + y);
}

double MedianOf8(std::array<double, 8>& v, int n)
{
    std::nth_element(v.begin(), v.begin() + n / 2, v.begin() + n);
    const double upper = v[static_cast<std::size_t>(n / 2)];
    if (n % 2 == 1)
        return upper;
    const double lower = *std::max_element(v.begin(), v.begin() + n / 2);
    return 0.5 * (lower + upper);
}

struct CellFigures {
    double level = Nan;
    double noise = Nan;
};

// A cell's pixels, at positions relative to the cell's centre.
struct CellPixel {
    double dx = 0.0;
    double dy = 0.0;
    double value = 0.0;
};

// The sky of one cell: its pixels taken as flat about their median, those more than 3 sigma
// off left out, then a plane fitted by least squares to the rest, those more than 3 sigma off
// it left out and the plane fitted again, three times in all; the level is the
// plane at the centre plus the mode of what is left about it, the noise 1.4826 x the
// median absolute deviation about it. A plane rather than a constant, so a gradient across
// the cell counts neither as noise nor as a shift of the level. pixels is reordered.
// hint: the figures of a cell nearby (NaN for none), where the medians are looked for first;
// they are the same whatever it is.
CellFigures RobustFigures(std::vector<CellPixel>& pixels, std::vector<double>& scratch, std::vector<double>& inside,
                          const CellFigures& hint)
{
    // Where each median is looked for first: about the hint's level, then about zero for the
    // residuals and about 0.6745 sigma for their absolute deviations, sigma the last one found.
    double expected = hint.noise;
    CellFigures figures;
    std::size_t kept = pixels.size();
    double c0 = 0.0; // plane: c0 + cx dx + cy dy
    double cx = 0.0;
    double cy = 0.0;
    for (int round = 0; round <= ClipRounds; ++round) {
        if (kept < MinCellPixels)
            return {};
        double n = 0.0, sx = 0.0, sy = 0.0, sv = 0.0, sxx = 0.0, syy = 0.0, sxy = 0.0, sxv = 0.0, syv = 0.0;
        for (std::size_t k = 0; k < kept; ++k) {
            const CellPixel& p = pixels[k];
            n += 1.0;
            sx += p.dx;
            sy += p.dy;
            sv += p.value;
            sxx += p.dx * p.dx;
            syy += p.dy * p.dy;
            sxy += p.dx * p.dy;
            sxv += p.dx * p.value;
            syv += p.dy * p.value;
        }
        // Centred sums: the normal equations of the slopes, then the level.
        const double mx = sx / n, my = sy / n;
        double mv = sv / n;
        const double a11 = sxx - n * mx * mx, a22 = syy - n * my * my, a12 = sxy - n * mx * my;
        const double b1 = sxv - n * mx * mv, b2 = syv - n * my * mv;
        const double det = a11 * a22 - a12 * a12;
        if (round == 0) {
            // Least squares would follow the stars: the first round takes the cell as flat
            // about its median.
            scratch.clear();
            for (std::size_t k = 0; k < kept; ++k)
                scratch.push_back(pixels[k].value);
            mv = MedianNear(scratch, hint.level - 0.5 * hint.noise, hint.level + 0.5 * hint.noise, inside);
            cx = cy = 0.0;
        } else if (det > 0.0) {
            cx = (b1 * a22 - b2 * a12) / det;
            cy = (a11 * b2 - a12 * b1) / det;
        } else {
            cx = cy = 0.0;
        }
        c0 = round == 0 ? mv : mv - cx * mx - cy * my;
        scratch.clear();
        double sum = 0.0;
        for (std::size_t k = 0; k < kept; ++k) {
            scratch.push_back(pixels[k].value - (c0 + cx * pixels[k].dx + cy * pixels[k].dy));
            sum += scratch.back();
        }
        // After the first round the sigma changes little: a narrower look.
        const double reach = round == 0 ? 1.0 : 0.4;
        const double median = MedianNear(scratch, -0.25 * reach * expected, 0.25 * reach * expected, inside);
        const double mean = sum / static_cast<double>(kept);
        for (double& r : scratch)
            r = std::fabs(r - median);
        const double sigma = 1.4826 * MedianNear(scratch, (0.6745 - 0.125 * reach) * expected, (0.6745 + 0.125 * reach) * expected, inside);
        expected = sigma;
        // The faint wings of stars skew what is left towards high values: the mode, as
        // 2.5 median - 1.5 mean, undoes that while the skew is small.
        const double offset = std::fabs(mean - median) < 0.3 * sigma ? 2.5 * median - 1.5 * mean : median;
        figures.level = c0 + offset;
        figures.noise = sigma;
        if (round == ClipRounds || !(sigma > 0.0))
            break;
        const double limit = ClipSigmas * sigma;
        const auto end = std::partition(pixels.begin(), pixels.begin() + static_cast<std::ptrdiff_t>(kept), [&](const CellPixel& p) {
            return std::fabs(p.value - (c0 + cx * p.dx + cy * p.dy) - median) <= limit;
        });
        const std::size_t now = static_cast<std::size_t>(end - pixels.begin());
        if (now == kept)
            break;
        kept = now;
    }
    return figures;
}

// Cells without figures (NaN) take the median of the valid ones among their 8 neighbours,
// or of all valid cells; with smooth, each cell then becomes the median of itself and its
// neighbours. overall: the median of the cells.
void FillCells(std::vector<double>& cells, int nx, int ny, bool smooth, double& overall)
{
    std::vector<double> valid;
    for (const double v : cells)
        if (std::isfinite(v))
            valid.push_back(v);
    overall = valid.empty() ? 0.0 : MedianOf(valid);
    std::vector<double> result(cells.size());
    std::vector<double> near;
    for (int i = 0; i < nx; ++i) {
        for (int j = 0; j < ny; ++j) {
            const double own = cells[static_cast<std::size_t>(i * ny + j)];
            if (std::isfinite(own) && !smooth) {
                result[static_cast<std::size_t>(i * ny + j)] = own;
                continue;
            }
            near.clear();
            for (int a = std::max(0, i - 1); a <= std::min(nx - 1, i + 1); ++a)
                for (int b = std::max(0, j - 1); b <= std::min(ny - 1, j + 1); ++b)
                    if (const double v = cells[static_cast<std::size_t>(a * ny + b)]; std::isfinite(v))
                        near.push_back(v);
            result[static_cast<std::size_t>(i * ny + j)] = near.empty() ? overall : MedianOf(near);
        }
    }
    cells.swap(result);
    valid.assign(cells.begin(), cells.end());
    overall = MedianOf(valid);
}

int CellStart(int cell, int cells, int extent)
{
    return static_cast<int>(static_cast<std::int64_t>(cell) * extent / cells);
}

} // namespace

SkyMap::SkyMap(const ImageGrid& grid, int cellSize, int cellSample)
    : width_(grid.width()), height_(grid.height())
{
    const double sample = std::max(64, cellSample);
    if (grid.empty())
        return;
    cellSize = std::max(8, cellSize);
    cellsX_ = std::max(1, static_cast<int>(std::lround(static_cast<double>(width_) / cellSize)));
    cellsY_ = std::max(1, static_cast<int>(std::lround(static_cast<double>(height_) / cellSize)));
    cellWidth_ = static_cast<double>(width_) / cellsX_;
    cellHeight_ = static_cast<double>(height_) / cellsY_;
    level_.assign(static_cast<std::size_t>(cellsX_) * static_cast<std::size_t>(cellsY_), Nan);
    noise_ = level_;
    std::vector<CellPixel> pixels;
    std::vector<double> scratch;
    std::vector<double> inside;
    CellFigures last; // the last cell measured: where the next one's medians are looked for
    for (int i = 0; i < cellsX_; ++i) {
        const int x0 = CellStart(i, cellsX_, width_);
        const int x1 = CellStart(i + 1, cellsX_, width_);
        const double centreX = (i + 0.5) * cellWidth_ - 0.5;
        for (int j = 0; j < cellsY_; ++j) {
            const int y0 = CellStart(j, cellsY_, height_);
            const int y1 = CellStart(j + 1, cellsY_, height_);
            const double centreY = (j + 0.5) * cellHeight_ - 0.5;
            // About a thousand pixels tell a cell's sky as well as all of them.
            const int stride = std::max(1, static_cast<int>(std::sqrt(static_cast<double>(x1 - x0) * (y1 - y0) / sample)));
            pixels.clear();
            for (int x = x0 + stride / 2; x < x1; x += stride) {
                const double* column = grid[x];
                for (int y = y0 + stride / 2; y < y1; y += stride)
                    if (std::isfinite(column[y]))
                        pixels.push_back({x - centreX, y - centreY, column[y]});
            }
            const CellFigures figures = RobustFigures(pixels, scratch, inside, last);
            if (std::isfinite(figures.level) && figures.noise > 0.0)
                last = figures;
            level_[static_cast<std::size_t>(i * cellsY_ + j)] = figures.level;
            noise_[static_cast<std::size_t>(i * cellsY_ + j)] = figures.noise;
        }
    }
    FillCells(level_, cellsX_, cellsY_, false, medianLevel_);
    FillCells(noise_, cellsX_, cellsY_, true, medianNoise_);
    rowCell_.resize(static_cast<std::size_t>(height_));
    rowWeight_.resize(static_cast<std::size_t>(height_));
    for (int y = 0; y < height_; ++y) {
        int j1 = 0;
        corner(static_cast<double>(y), cellsY_, cellHeight_, rowCell_[static_cast<std::size_t>(y)], j1, rowWeight_[static_cast<std::size_t>(y)]);
    }
}

double SkyMap::cellCoordinate(double p, int cells, double cellExtent) const
{
    const double u = (p + 0.5) / cellExtent - 0.5;
    return std::clamp(u, -0.5, cells - 0.5);
}

// Bilinear between the cell centres, and linear beyond the outer ones, so a gradient holds to
// the frame's edge: along x first, then along y.
void SkyMap::corner(double p, int cells, double extent, int& i0, int& i1, double& f) const
{
    const double u = cellCoordinate(p, cells, extent);
    i0 = std::clamp(static_cast<int>(std::floor(u)), 0, std::max(0, cells - 2));
    i1 = std::min(i0 + 1, cells - 1);
    f = i1 > i0 ? u - i0 : 0.0;
}

double SkyMap::interpolate(const std::vector<double>& cells, double x, double y) const
{
    if (cells.empty())
        return 0.0;
    int i0 = 0, i1 = 0, j0 = 0, j1 = 0;
    double f = 0.0, g = 0.0;
    corner(x, cellsX_, cellWidth_, i0, i1, f);
    corner(y, cellsY_, cellHeight_, j0, j1, g);
    const auto along = [&](int j) { return (1.0 - f) * cells[static_cast<std::size_t>(i0 * cellsY_ + j)] + f * cells[static_cast<std::size_t>(i1 * cellsY_ + j)]; };
    return (1.0 - g) * along(j0) + g * along(j1);
}

double SkyMap::noise(double x, double y) const
{
    return std::max(interpolate(noise_, x, y), 0.5 * medianNoise_);
}

void SkyMap::noiseColumn(int x, double* column) const
{
    fillColumn(noise_, x, column);
    const double floor = 0.5 * medianNoise_;
    for (int y = 0; y < height_; ++y)
        column[y] = std::max(column[y], floor);
}

void SkyMap::fillColumn(const std::vector<double>& cells, int x, double* column) const
{
    if (cells.empty()) {
        std::fill(column, column + height_, 0.0);
        return;
    }
    int i0 = 0, i1 = 0;
    double f = 0.0;
    corner(static_cast<double>(x), cellsX_, cellWidth_, i0, i1, f);
    std::vector<double> along(static_cast<std::size_t>(cellsY_));
    for (int j = 0; j < cellsY_; ++j)
        along[static_cast<std::size_t>(j)] = (1.0 - f) * cells[static_cast<std::size_t>(i0 * cellsY_ + j)] + f * cells[static_cast<std::size_t>(i1 * cellsY_ + j)];
    const std::size_t last = static_cast<std::size_t>(cellsY_ - 1);
    // Row by row, a run of rows between the same two cell centres at a time.
    for (int y = 0; y < height_;) {
        const int cell = rowCell_[static_cast<std::size_t>(y)];
        int end = y + 1;
        while (end < height_ && rowCell_[static_cast<std::size_t>(end)] == cell)
            ++end;
        const std::size_t j0 = static_cast<std::size_t>(cell);
        const double lower = along[j0];
        const double upper = along[std::min(j0 + 1, last)];
        const double* weight = rowWeight_.data();
        for (int r = y; r < end; ++r)
            column[r] = (1.0 - weight[r]) * lower + weight[r] * upper;
        y = end;
    }
}

namespace {

// The frame smoothed by a Gaussian of sigma pixels (separable, taps to 3 sigma, weights
// normalised again where the frame ends), as floats, column-major like the grid.
// Built for processors with and without the wider vectors; the results are the same.
__attribute__((target_clones("avx2", "default"))) std::vector<float> Smooth(const ImageGrid& grid, double sigma, double& noiseFactor)
{
    const int width = grid.width();
    const int height = grid.height();
    const int radius = std::max(1, static_cast<int>(std::ceil(3.0 * sigma)));
    std::vector<double> kernel(static_cast<std::size_t>(2 * radius + 1));
    double sum = 0.0;
    for (int k = -radius; k <= radius; ++k) {
        kernel[static_cast<std::size_t>(k + radius)] = std::exp(-0.5 * k * k / (sigma * sigma));
        sum += kernel[static_cast<std::size_t>(k + radius)];
    }
    double squares = 0.0;
    for (double& w : kernel) {
        w /= sum;
        squares += w * w;
    }
    noiseFactor = squares; // the 2-D kernel's sqrt(sum of squared weights)

    const std::size_t h = static_cast<std::size_t>(height);
    // Column by column: along x, column x from columns x - radius .. x + radius, two rows
    // at a time over all the columns it takes (each row summed tap by tap from zero, as
    // one row alone would be); then along y, in place through a line.
    using Pair = double __attribute__((vector_size(16)));
    std::vector<float> across(static_cast<std::size_t>(width) * h);
    std::vector<double> line(h);
    std::vector<double> down(h);
    std::vector<const double*> sources;
    std::vector<double> taps;
    const double* k = kernel.data() + radius; // k[-radius .. radius]
    const int interiorEnd = std::max(radius, height - radius);
    for (int x = 0; x < width; ++x) {
        double weight = 0.0;
        sources.clear();
        taps.clear();
        for (int t = -radius; t <= radius; ++t) {
            if (x + t < 0 || x + t >= width)
                continue;
            weight += kernel[static_cast<std::size_t>(t + radius)];
            sources.push_back(grid[x + t]);
            taps.push_back(kernel[static_cast<std::size_t>(t + radius)]);
        }
        const std::size_t count = sources.size();
        std::size_t row = 0;
        for (; row + 2 <= h; row += 2) {
            Pair acc = {0.0, 0.0};
            for (std::size_t t = 0; t < count; ++t) {
                Pair values;
                std::memcpy(&values, sources[t] + row, sizeof values);
                acc += taps[t] * values;
            }
            std::memcpy(line.data() + row, &acc, sizeof acc);
        }
        for (; row < h; ++row) {
            double acc = 0.0;
            for (std::size_t t = 0; t < count; ++t)
                acc += taps[t] * sources[t][row];
            line[row] = acc;
        }
        float* column = across.data() + static_cast<std::size_t>(x) * h;
        if (x >= radius && x < width - radius) {
            for (std::size_t y = 0; y < h; ++y)
                column[y] = static_cast<float>(line[y]);
        } else {
            for (std::size_t y = 0; y < h; ++y)
                column[y] = static_cast<float>(line[y] / weight);
        }
        // Along y: the rows within radius of an end with the weights normalised again, the
        // others tap by tap over the whole column (the same operations for each row, in the
        // same order).
        for (int y = 0; y < height; ++y) {
            if (y >= radius && y < height - radius)
                continue;
            double v = 0.0;
            double taken = 0.0;
            const int lo = std::max(0, y - radius);
            const int hi = std::min(height - 1, y + radius);
            for (int r = lo; r <= hi; ++r) {
                const double w = kernel[static_cast<std::size_t>(r - y + radius)];
                v += w * column[r];
                taken += w;
            }
            down[static_cast<std::size_t>(y)] = v / taken;
        }
        double* inner = down.data();
        for (int y = radius; y < interiorEnd; ++y)
            inner[y] = k[0] * column[y];
        for (int r = 1; r <= radius; ++r) {
            const double kr = k[r];
            const float* ahead = column + r;
            const float* behind = column - r;
            for (int y = radius; y < interiorEnd; ++y)
                inner[y] += kr * (static_cast<double>(ahead[y]) + static_cast<double>(behind[y]));
        }
        for (std::size_t y = 0; y < h; ++y)
            column[y] = static_cast<float>(down[y]);
    }
    return across;
}

struct Peak {
    int x = 0;
    int y = 0;
    double height = 0.0; // smoothed, above the sky
};

// What measuring one candidate gave.
enum class Verdict { Star, HotPixel, CosmicRay, Saturated, AtEdge, Nothing };

struct Measured {
    Verdict verdict = Verdict::Nothing;
    DetectedStar star;
    double minorSigma = 0.0;
    double majorSigma = 0.0;
};

class Measurer {
public:
    Measurer(const ImageGrid& grid, const SkyMap& sky, const DetectionSettings& settings)
        : grid_(grid), sky_(sky), settings_(settings)
    {
    }

    // Window radius and the weight's first width.
    void setTypical(double sigma)
    {
        typical_ = sigma;
        radius_ = std::clamp(static_cast<int>(std::ceil(4.0 * sigma)) + 1, 4, 24);
    }

    Measured measure(const Peak& peak)
    {
        Measured result;
        // The brightest frame pixel next to the smoothed peak.
        int qx = -1;
        int qy = -1;
        double top = -std::numeric_limits<double>::infinity();
        for (int i = peak.x - 1; i <= peak.x + 1; ++i) {
            for (int j = peak.y - 1; j <= peak.y + 1; ++j) {
                if (i < 0 || j < 0 || i >= grid_.width() || j >= grid_.height())
                    continue;
                if (grid_[i][j] > top) {
                    top = grid_[i][j];
                    qx = i;
                    qy = j;
                }
            }
        }
        if (qx < 0)
            return result;
        const double background = sky_.level(qx, qy);
        const double noise = sky_.noise(qx, qy);
        if (qx < 1 || qy < 1 || qx >= grid_.width() - 1 || qy >= grid_.height() - 1) {
            result.verdict = Verdict::AtEdge;
            return result;
        }
        double square = 0.0;
        bool saturated = false;
        for (int i = qx - 1; i <= qx + 1; ++i) {
            for (int j = qy - 1; j <= qy + 1; ++j) {
                const double v = grid_[i][j];
                if (!std::isfinite(v)) {
                    result.verdict = Verdict::AtEdge;
                    return result;
                }
                saturated = saturated || v >= settings_.saturation;
                square += v - background;
            }
        }
        const double height = top - background;
        if (!(height > 0.0) || !(square > 0.0))
            return result;
        if (height > SinglePixelShare * square) {
            result.verdict = Verdict::HotPixel;
            return result;
        }
        const int r = radius_;
        if (qx - r < 0 || qy - r < 0 || qx + r >= grid_.width() || qy + r >= grid_.height()) {
            result.verdict = Verdict::AtEdge;
            return result;
        }
        // The stamp, the sky taken off, cleaned of spikes.
        const int side = 2 * r + 1;
        raw_.assign(static_cast<std::size_t>(side * side), 0.0);
        for (int i = 0; i < side; ++i) {
            const double* column = grid_[qx - r + i];
            for (int j = 0; j < side; ++j) {
                const double v = column[qy - r + j];
                if (!std::isfinite(v)) {
                    result.verdict = Verdict::AtEdge;
                    return result;
                }
                raw_[static_cast<std::size_t>(i * side + j)] = v - background;
            }
        }
        clean_ = raw_;
        weightY_.resize(static_cast<std::size_t>(side));
        std::array<double, 8> near{};
        for (int i = 0; i < side; ++i) {
            for (int j = 0; j < side; ++j) {
                const double v = raw_[static_cast<std::size_t>(i * side + j)];
                int n = 0;
                double lowest = v;
                for (int a = std::max(0, i - 1); a <= std::min(side - 1, i + 1); ++a)
                    for (int b = std::max(0, j - 1); b <= std::min(side - 1, j + 1); ++b)
                        if (a != i || b != j) {
                            const double u = raw_[static_cast<std::size_t>(a * side + b)];
                            near[static_cast<std::size_t>(n++)] = u;
                            lowest = std::min(lowest, u);
                        }
                // The median is no lower than the lowest neighbour: most pixels end here.
                if (v - lowest <= SpikeSigmas * noise)
                    continue;
                const double m = MedianOf8(near, n);
                if (v - m > std::max(SpikeSigmas * noise, SpikeRatio * m))
                    clean_[static_cast<std::size_t>(i * side + j)] = m;
            }
        }
        // Most of the light near the peak in spikes: a cosmic-ray hit.
        double rawNear = 0.0;
        double cleanNear = 0.0;
        for (int i = r - 2; i <= r + 2; ++i) {
            for (int j = r - 2; j <= r + 2; ++j) {
                rawNear += std::max(0.0, raw_[static_cast<std::size_t>(i * side + j)]);
                cleanNear += std::max(0.0, clean_[static_cast<std::size_t>(i * side + j)]);
            }
        }
        if (rawNear > 0.0 && cleanNear < (1.0 - SpikeShare) * rawNear) {
            result.verdict = Verdict::CosmicRay;
            return result;
        }
        if (saturated || flatTop(qx, qy, top, height, noise)) {
            result.verdict = Verdict::Saturated;
            return result;
        }
        if (!moments(r, side, noise, result))
            return result;
        result.star.x += qx - r;
        result.star.y += qy - r;
        result.star.peak = height;
        result.star.background = background;
        result.star.noise = noise;
        result.verdict = Verdict::Star;
        return result;
    }

private:
    bool flatTop(int qx, int qy, double top, double height, double noise) const
    {
        if (!(height > FlatTopSigmas * noise))
            return false;
        const double floor = top - FlatTopShare * height;
        int count = 0;
        for (int i = std::max(0, qx - 2); i <= std::min(grid_.width() - 1, qx + 2); ++i)
            for (int j = std::max(0, qy - 2); j <= std::min(grid_.height() - 1, qy + 2); ++j)
                count += grid_[i][j] >= floor ? 1 : 0;
        return count >= FlatTopPixels;
    }

    // Gaussian-weighted moments of the cleaned stamp, the weight's centre and width adapted
    // until they settle. Stamp coordinates: pixel (i, j) of the stamp at (i, j).
    bool moments(int r, int side, double noise, Measured& result) const
    {
        double cx = r;
        double cy = r;
        double sw = typical_;
        const double maxSigma = r / 3.0;
        double minor2 = 0.0;
        double major2 = 0.0;
        bool measuredShape = false;
        for (int iteration = 0; iteration < MaxMomentIterations; ++iteration) {
            const double inv = 1.0 / (2.0 * sw * sw);
            const double reach = 3.0 * sw;
            const int i0 = std::max(0, static_cast<int>(std::floor(cx - reach)));
            const int i1 = std::min(side - 1, static_cast<int>(std::ceil(cx + reach)));
            const int j0 = std::max(0, static_cast<int>(std::floor(cy - reach)));
            const int j1 = std::min(side - 1, static_cast<int>(std::ceil(cy + reach)));
            // The Gaussian weight is separable: one exponential per row and per column.
            for (int j = j0; j <= j1; ++j)
                weightY_[static_cast<std::size_t>(j)] = std::exp(-(j - cy) * (j - cy) * inv);
            double s = 0.0, sx = 0.0, sy = 0.0, sxx = 0.0, syy = 0.0, sxy = 0.0;
            for (int i = i0; i <= i1; ++i) {
                const double dx = i - cx;
                const double wx = std::exp(-dx * dx * inv);
                for (int j = j0; j <= j1; ++j) {
                    const double dy = j - cy;
                    const double w = wx * weightY_[static_cast<std::size_t>(j)] * clean_[static_cast<std::size_t>(i * side + j)];
                    s += w;
                    sx += w * dx;
                    sy += w * dy;
                    sxx += w * dx * dx;
                    syy += w * dy * dy;
                    sxy += w * dx * dy;
                }
            }
            if (!(s > 0.0))
                return false;
            const double mx = sx / s;
            const double my = sy / s;
            const double cxx = sxx / s - mx * mx;
            const double cyy = syy / s - my * my;
            const double cxy = sxy / s - mx * my;
            cx += mx;
            cy += my;
            if (std::fabs(cx - r) > 2.5 || std::fabs(cy - r) > 2.5)
                return false; // wandered off: not a star of its own
            // Eigenvalues of the weighted covariance, then the weight taken out of each.
            const double mean = 0.5 * (cxx + cyy);
            const double spread = std::sqrt(std::max(0.0, 0.25 * (cxx - cyy) * (cxx - cyy) + cxy * cxy));
            const double l1 = mean + spread;
            const double l2 = mean - spread;
            const double w2 = sw * sw;
            const auto unweighted = [w2](double l) { return l <= 0.0 ? 0.0 : (l >= 0.95 * w2 ? 19.0 * w2 : l * w2 / (w2 - l)); };
            major2 = unweighted(l1);
            minor2 = unweighted(l2);
            measuredShape = true;
            const double next = std::clamp(std::sqrt(std::sqrt(major2 * minor2)), 0.5, maxSigma);
            const double move = std::hypot(mx, my);
            const bool settled = move < 1e-4 && std::fabs(next - sw) < 1e-3;
            sw = std::isfinite(next) ? next : sw;
            if (settled)
                break;
        }
        if (!measuredShape)
            return false;
        const double minor = std::sqrt(minor2);
        const double major = std::sqrt(major2);
        const double geometric = std::sqrt(minor * major);
        // Flux within 3 sigma (at least 2 pixels) of the centroid.
        const double aperture = std::min(static_cast<double>(r), std::max(2.0, 3.0 * geometric));
        double flux = 0.0;
        int pixels = 0;
        for (int i = 0; i < side; ++i) {
            for (int j = 0; j < side; ++j) {
                if ((i - cx) * (i - cx) + (j - cy) * (j - cy) <= aperture * aperture) {
                    flux += clean_[static_cast<std::size_t>(i * side + j)];
                    ++pixels;
                }
            }
        }
        if (!(flux > 0.0))
            return false;
        DetectedStar& star = result.star;
        star.x = cx;
        star.y = cy;
        star.flux = flux;
        star.fwhm = SigmaToFwhm * geometric;
        star.roundness = major > 0.0 ? minor / major : 0.0;
        star.snr = noise > 0.0 ? flux / (noise * std::sqrt(static_cast<double>(pixels))) : 0.0;
        const double sigmaForError = std::max(geometric, 0.5);
        star.positionError = std::max(0.005, std::sqrt(8.0 * std::numbers::pi) * sigmaForError * sigmaForError * noise / flux);
        result.minorSigma = minor;
        result.majorSigma = major;
        return true;
    }

    const ImageGrid& grid_;
    const SkyMap& sky_;
    const DetectionSettings& settings_;
    double typical_ = FirstGuessSigma;
    int radius_ = 8;
    std::vector<double> raw_;
    std::vector<double> clean_;
    mutable std::vector<double> weightY_;
};

// The smallest value along the straight line between two pixels of the smoothed frame.
double LowestBetween(const std::vector<float>& smoothed, std::size_t height, const Peak& a, const Peak& b)
{
    const int steps = 2 * std::max(std::abs(a.x - b.x), std::abs(a.y - b.y));
    double lowest = std::numeric_limits<double>::infinity();
    for (int s = 0; s <= steps; ++s) {
        const double t = steps == 0 ? 0.0 : static_cast<double>(s) / steps;
        const int x = static_cast<int>(std::lround(a.x + t * (b.x - a.x)));
        const int y = static_cast<int>(std::lround(a.y + t * (b.y - a.y)));
        lowest = std::min(lowest, static_cast<double>(smoothed[static_cast<std::size_t>(x) * height + static_cast<std::size_t>(y)]));
    }
    return lowest;
}

} // namespace

StarDetection DetectStars(const ImageGrid& grid, const DetectionSettings& settings)
{
    StarDetection detection;
    if (grid.empty())
        return detection;
    detection.sky = SkyMap(grid, settings.cellSize, settings.cellSample);
    const SkyMap& sky = detection.sky;
    if (!(sky.medianNoise() > 0.0))
        return detection;

    const int width = grid.width();
    const int height = grid.height();
    const std::size_t h = static_cast<std::size_t>(height);
    double noiseFactor = 1.0;
    // The smoothed frame less the sky, and a mark per pixel: 1 above the threshold, 2 seen.
    std::vector<float> smoothed = Smooth(grid, std::max(0.3, settings.smoothingSigma), noiseFactor);
    std::vector<std::uint8_t> mark(smoothed.size(), 0);
    {
        std::vector<double> level(h);
        std::vector<double> noise(h);
        for (int x = 0; x < width; ++x) {
            sky.levelColumn(x, level.data());
            sky.noiseColumn(x, noise.data());
            float* column = smoothed.data() + static_cast<std::size_t>(x) * h;
            std::uint8_t* marks = mark.data() + static_cast<std::size_t>(x) * h;
            for (std::size_t y = 0; y < h; ++y) {
                const double above = column[y] - level[y];
                column[y] = static_cast<float>(above);
                marks[y] = above > settings.threshold * noiseFactor * noise[y] ? 1 : 0;
            }
        }
    }
    const auto limitAt = [&](int x, int y) { return settings.threshold * noiseFactor * sky.noise(x, y); };

    // Groups of marked pixels, and the peaks of each.
    std::vector<Peak> peaks;
    std::vector<std::size_t> stack;
    std::vector<std::size_t> group;
    std::vector<Peak> maxima;
    std::vector<Peak> kept;
    for (std::size_t start = 0; start < mark.size(); ++start) {
        // The next pixel above the threshold not yet seen.
        const void* next = std::memchr(mark.data() + start, 1, mark.size() - start);
        if (next == nullptr)
            break;
        start = static_cast<std::size_t>(static_cast<const std::uint8_t*>(next) - mark.data());
        group.clear();
        stack.push_back(start);
        mark[start] = 2;
        while (!stack.empty()) {
            const std::size_t p = stack.back();
            stack.pop_back();
            group.push_back(p);
            const int x = static_cast<int>(p / h);
            const int y = static_cast<int>(p % h);
            for (int i = std::max(0, x - 1); i <= std::min(width - 1, x + 1); ++i) {
                for (int j = std::max(0, y - 1); j <= std::min(height - 1, y + 1); ++j) {
                    const std::size_t q = static_cast<std::size_t>(i) * h + static_cast<std::size_t>(j);
                    if (mark[q] == 1) {
                        mark[q] = 2;
                        stack.push_back(q);
                    }
                }
            }
        }
        if (group.size() > static_cast<std::size_t>(settings.maxComponentPixels))
            continue;
        // Local maxima: higher than every neighbour before it in pixel order, at least as
        // high as every one after it.
        maxima.clear();
        for (const std::size_t p : group) {
            const int x = static_cast<int>(p / h);
            const int y = static_cast<int>(p % h);
            const double v = smoothed[p];
            bool highest = true;
            for (int i = std::max(0, x - 1); i <= std::min(width - 1, x + 1) && highest; ++i) {
                for (int j = std::max(0, y - 1); j <= std::min(height - 1, y + 1); ++j) {
                    const std::size_t q = static_cast<std::size_t>(i) * h + static_cast<std::size_t>(j);
                    if (q == p)
                        continue;
                    const double u = smoothed[q];
                    if (u > v || (u == v && q < p)) {
                        highest = false;
                        break;
                    }
                }
            }
            if (highest)
                maxima.push_back({x, y, v});
        }
        std::sort(maxima.begin(), maxima.end(), [](const Peak& a, const Peak& b) {
            if (a.height != b.height)
                return a.height > b.height;
            return a.x != b.x ? a.x < b.x : a.y < b.y;
        });
        if (maxima.size() > MaxPeaksPerGroup)
            maxima.resize(MaxPeaksPerGroup);
        kept.clear();
        for (const Peak& m : maxima) {
            const double limit = limitAt(m.x, m.y);
            if (!(m.height > limit))
                continue;
            bool separate = true;
            for (const Peak& k : kept) {
                if (m.height - LowestBetween(smoothed, h, m, k) <= limit) {
                    separate = false;
                    break;
                }
            }
            if (separate)
                kept.push_back(m);
        }
        peaks.insert(peaks.end(), kept.begin(), kept.end());
    }
    std::vector<std::size_t>().swap(stack);
    std::vector<std::uint8_t>().swap(mark);

    // The brightest candidates first: they tell the frame's typical star.
    std::sort(peaks.begin(), peaks.end(), [](const Peak& a, const Peak& b) {
        if (a.height != b.height)
            return a.height > b.height;
        return a.x != b.x ? a.x < b.x : a.y < b.y;
    });
    Measurer measurer(grid, sky, settings);
    measurer.setTypical(FirstGuessSigma);
    {
        std::vector<double> sigmas;
        for (std::size_t k = 0; k < peaks.size() && sigmas.size() < TypicalSample; ++k) {
            const Measured m = measurer.measure(peaks[k]);
            if (m.verdict == Verdict::Star && m.minorSigma > 0.0)
                sigmas.push_back(std::sqrt(m.minorSigma * m.majorSigma));
        }
        if (!sigmas.empty())
            measurer.setTypical(std::clamp(MedianOf(sigmas), 0.5, 6.0));
    }

    std::vector<Measured> found;
    found.reserve(peaks.size());
    for (const Peak& peak : peaks) {
        Measured m = measurer.measure(peak);
        switch (m.verdict) {
        case Verdict::Star:
            found.push_back(m);
            break;
        case Verdict::HotPixel:
            ++detection.hotPixels;
            break;
        case Verdict::CosmicRay:
            ++detection.cosmicRays;
            break;
        case Verdict::Saturated:
            ++detection.saturated;
            break;
        case Verdict::AtEdge:
            ++detection.atEdge;
            break;
        case Verdict::Nothing:
            break;
        }
    }

    // Too sharp across: the frame's typical minor axis from its bright stars.
    {
        std::vector<double> minors;
        for (const Measured& m : found)
            if (m.star.snr > 20.0)
                minors.push_back(m.minorSigma);
        if (minors.size() < 5) {
            minors.clear();
            for (const Measured& m : found)
                minors.push_back(m.minorSigma);
        }
        const double typicalMinor = minors.empty() ? 0.0 : MedianOf(minors);
        const std::size_t before = found.size();
        found.erase(std::remove_if(found.begin(), found.end(), [&](const Measured& m) { return m.minorSigma < SharpShare * typicalMinor; }), found.end());
        detection.cosmicRays += static_cast<int>(before - found.size());
    }

    // Brightest first; two candidates that settled on one star count once.
    std::sort(found.begin(), found.end(), [](const Measured& a, const Measured& b) {
        if (a.star.flux != b.star.flux)
            return a.star.flux > b.star.flux;
        return a.star.x != b.star.x ? a.star.x < b.star.x : a.star.y < b.star.y;
    });
    {
        // The stars kept so far by the pixel they stand on.
        std::unordered_map<std::int64_t, std::vector<std::size_t>> byPixel;
        const auto key = [width](int x, int y) { return static_cast<std::int64_t>(y) * (width + 2) + x; };
        for (const Measured& m : found) {
            const int px = static_cast<int>(std::floor(m.star.x));
            const int py = static_cast<int>(std::floor(m.star.y));
            bool twin = false;
            for (int i = px - 1; i <= px + 1 && !twin; ++i) {
                for (int j = py - 1; j <= py + 1 && !twin; ++j) {
                    const auto cell = byPixel.find(key(i, j));
                    if (cell == byPixel.end())
                        continue;
                    for (const std::size_t k : cell->second) {
                        const DetectedStar& s = detection.stars[k];
                        if (std::fabs(s.x - m.star.x) < 1.0 && std::fabs(s.y - m.star.y) < 1.0) {
                            twin = true;
                            break;
                        }
                    }
                }
            }
            if (twin)
                continue;
            byPixel[key(px, py)].push_back(detection.stars.size());
            detection.stars.push_back(m.star);
        }
    }
    if (!detection.stars.empty()) {
        std::vector<double> fwhm;
        std::vector<double> roundness;
        for (const DetectedStar& s : detection.stars) {
            fwhm.push_back(s.fwhm);
            roundness.push_back(s.roundness);
        }
        detection.medianFwhm = MedianOf(fwhm);
        detection.medianRoundness = MedianOf(roundness);
    }
    return detection;
}

} // namespace skyvane
