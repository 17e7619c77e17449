#include "processing/StarCentroid.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <vector>

namespace skyvane {
namespace {

constexpr double Nan = std::numeric_limits<double>::quiet_NaN();
constexpr double ConvergedMove = 0.001; // pixels
constexpr int MaxCentroidIterations = 100;
// A pixel is a spike (cosmic-ray hit, hot pixel) when it stands more than SpikeSigmas
// noise sigmas and SpikeRatio times the height of its neighbours' median above that median.
// Even a star of 1.7 pixels FWHM centred on a pixel has its peak only about 2.4 times
// higher above the background than the median of its neighbours.
constexpr double SpikeSigmas = 5.0;
constexpr double SpikeRatio = 4.0;
const double SigmaToFwhm = 2.0 * std::sqrt(2.0 * std::numbers::ln2);

// The median of the finite values among v[0..n-1] (reordered); NaN when there is none.
double MedianOfFinite(double* v, int n)
{
    int m = 0;
    for (int i = 0; i < n; ++i) {
        if (std::isfinite(v[i]))
            v[m++] = v[i];
    }
    if (m == 0)
        return Nan;
    std::nth_element(v, v + m / 2, v + m);
    const double upper = v[m / 2];
    if (m % 2 == 1)
        return upper;
    const double lower = *std::max_element(v, v + m / 2);
    return 0.5 * (lower + upper);
}

// The 3 x 3 median around pixel (x, y) of the frame, neighbours outside it left out.
double Median9(const ImageGrid& grid, int x, int y)
{
    std::array<double, 9> v{};
    int n = 0;
    for (int i = std::max(0, x - 1); i <= std::min(grid.width() - 1, x + 1); ++i) {
        for (int j = std::max(0, y - 1); j <= std::min(grid.height() - 1, y + 1); ++j)
            v[static_cast<std::size_t>(n++)] = grid[i][j];
    }
    return MedianOfFinite(v.data(), n);
}

// A square cut of the frame around (cx, cy), half-size `half`; NaN where the frame ends.
class Stamp {
public:
    Stamp(const ImageGrid& grid, int cx, int cy, int half) : cx_(cx), cy_(cy), half_(half), side_(2 * half + 1)
    {
        values_.assign(static_cast<std::size_t>(side_) * static_cast<std::size_t>(side_), Nan);
        for (int i = -half; i <= half; ++i) {
            const int x = cx + i;
            if (x < 0 || x >= grid.width())
                continue;
            for (int j = -half; j <= half; ++j) {
                const int y = cy + j;
                if (y >= 0 && y < grid.height())
                    values_[index(i, j)] = grid[x][y];
            }
        }
    }

    int half() const { return half_; }
    int centreX() const { return cx_; }
    int centreY() const { return cy_; }
    // Value at frame pixel (x, y); NaN outside the stamp or the frame.
    double at(int x, int y) const
    {
        const int i = x - cx_;
        const int j = y - cy_;
        if (i < -half_ || i > half_ || j < -half_ || j > half_)
            return Nan;
        return values_[index(i, j)];
    }

    // Replaces each spike by the median of its 8 neighbours.
    void clean(double background, double sigma)
    {
        const std::vector<double> original = values_;
        std::array<double, 8> v{};
        for (int i = -half_; i <= half_; ++i) {
            for (int j = -half_; j <= half_; ++j) {
                const double value = original[index(i, j)];
                if (!std::isfinite(value))
                    continue;
                int n = 0;
                for (int a = std::max(-half_, i - 1); a <= std::min(half_, i + 1); ++a) {
                    for (int b = std::max(-half_, j - 1); b <= std::min(half_, j + 1); ++b) {
                        if (a != i || b != j)
                            v[static_cast<std::size_t>(n++)] = original[index(a, b)];
                    }
                }
                const double m = MedianOfFinite(v.data(), n);
                if (std::isfinite(m) && value - m > std::max(SpikeSigmas * sigma, SpikeRatio * (m - background)))
                    values_[index(i, j)] = m;
            }
        }
    }

private:
    std::size_t index(int i, int j) const { return static_cast<std::size_t>(i + half_) * static_cast<std::size_t>(side_) + static_cast<std::size_t>(j + half_); }

    int cx_;
    int cy_;
    int half_;
    int side_;
    std::vector<double> values_;
};

struct Level {
    double median = Nan;
    double sigma = Nan;
    int count = 0;
};

// Median and normalised median absolute deviation of the finite values of v (reordered).
Level LevelOf(std::vector<double>& v)
{
    Level level;
    level.median = MedianOfFinite(v.data(), static_cast<int>(v.size()));
    if (!std::isfinite(level.median))
        return level;
    std::vector<double> deviation;
    deviation.reserve(v.size());
    for (double value : v) {
        if (std::isfinite(value))
            deviation.push_back(std::fabs(value - level.median));
    }
    level.count = static_cast<int>(deviation.size());
    level.sigma = 1.4826 * MedianOfFinite(deviation.data(), level.count);
    return level;
}

// The pixels of a stamp at distances [inner, outer] from (x, y) (all of them, NaN included,
// so that the caller can see how many lie outside the frame).
std::vector<double> Annulus(const Stamp& stamp, double x, double y, double inner, double outer)
{
    std::vector<double> v;
    const int lo = static_cast<int>(std::floor(-outer));
    const int hi = static_cast<int>(std::ceil(outer));
    const int px = static_cast<int>(std::lround(x));
    const int py = static_cast<int>(std::lround(y));
    for (int i = lo; i <= hi; ++i) {
        for (int j = lo; j <= hi; ++j) {
            const double ddx = px + i - x;
            const double ddy = py + j - y;
            const double r = std::hypot(ddx, ddy);
            if (r >= inner && r <= outer)
                v.push_back(stamp.at(px + i, py + j));
        }
    }
    return v;
}

// Estimates the FWHM from the number of pixels within `radius` of (px, py) above half the
// peak: the area of a disc of diameter FWHM.
double HalfMaximumWidth(const Stamp& stamp, int px, int py, double background, double peak, double radius)
{
    const int r = static_cast<int>(std::ceil(radius));
    int count = 0;
    for (int i = -r; i <= r; ++i) {
        for (int j = -r; j <= r; ++j) {
            if (i * i + j * j > radius * radius)
                continue;
            const double v = stamp.at(px + i, py + j);
            if (std::isfinite(v) && v - background >= 0.5 * peak)
                ++count;
        }
    }
    return std::max(1.0, 2.0 * std::sqrt(count / std::numbers::pi));
}

// The highest value within Chebyshev distance `reach` of (px, py).
double HighestNear(const Stamp& stamp, int px, int py, int reach)
{
    double best = -std::numeric_limits<double>::infinity();
    for (int i = -reach; i <= reach; ++i) {
        for (int j = -reach; j <= reach; ++j) {
            const double v = stamp.at(px + i, py + j);
            if (std::isfinite(v))
                best = std::max(best, v);
        }
    }
    return best;
}

// Overlap of pixel i ([i - 0.5, i + 0.5]) with [a, b].
double Overlap(int i, double a, double b)
{
    return std::max(0.0, std::min(i + 0.5, b) - std::max(i - 0.5, a));
}

struct Analysis {
    StarMeasurement star;
    Stamp stamp; // cleaned
};

// Everything MeasureStar does from the brightest point (px, py) of the search on.
Analysis AnalyseStar(const ImageGrid& grid, int px, int py, double startX, double startY, const StarSettings& settings)
{
    StarMeasurement star;
    star.x = px;
    star.y = py;

    // A first look: background from a wide square ring, FWHM from the half-maximum area.
    Stamp wide(grid, px, py, 20);
    std::vector<double> ring;
    for (int i = -20; i <= 20; ++i) {
        for (int j = -20; j <= 20; ++j) {
            if (std::max(std::abs(i), std::abs(j)) >= 16)
                ring.push_back(wide.at(px + i, py + j));
        }
    }
    const Level first = LevelOf(ring);
    if (first.count < 32)
        return {star, wide};
    wide.clean(first.median, first.sigma);
    const double firstPeak = HighestNear(wide, px, py, 1) - first.median;
    double fwhm = firstPeak > 0.0 ? HalfMaximumWidth(wide, px, py, first.median, firstPeak, 15.0) : 2.0;

    // The measurement proper, sized by that FWHM.
    double half = std::max(2.0, 2.0 * fwhm); // half the box of 4 FWHM
    const double inner = half + 2.0;
    const double outer = inner + std::max(4.0, fwhm);
    const int stampHalf = static_cast<int>(std::ceil(std::max(outer, 2.0 * half + 3.0))) + 1;
    Stamp stamp(grid, px, py, stampHalf);
    std::vector<double> annulus = Annulus(stamp, px, py, inner, outer);
    const std::size_t annulusSize = annulus.size();
    const Level level = LevelOf(annulus);
    if (level.count * 2 < static_cast<int>(annulusSize))
        return {star, stamp};
    star.background = level.median;
    star.sigma = level.sigma;
    stamp.clean(level.median, level.sigma);

    const int reach = static_cast<int>(std::ceil(half));
    const double brightest = HighestNear(stamp, px, py, reach);
    star.peak = HighestNear(stamp, px, py, 1) - level.median;
    if (star.peak > 0.0) {
        fwhm = HalfMaximumWidth(stamp, px, py, level.median, star.peak, inner);
        // The box may move by up to half its width from the peak and must stay in the stamp.
        half = std::clamp(2.0 * fwhm, 2.0, 0.5 * (stampHalf - 1));
    }
    star.fwhm = fwhm;
    const bool saturated = brightest >= settings.saturation;
    if (!saturated && (!(star.peak > 0.0) || star.peak < settings.minPeakSigma * level.sigma)) {
        star.status = StarStatus::TooFaint;
        return {star, stamp};
    }

    // The centroid, box centred on the last estimate.
    double cx = px;
    double cy = py;
    bool settled = false;
    int iteration = 0;
    while (iteration < MaxCentroidIterations) {
        ++iteration;
        const double ax = cx - half;
        const double bx = cx + half;
        const double ay = cy - half;
        const double by = cy + half;
        const int i0 = static_cast<int>(std::floor(ax - 0.5)) + 1;
        const int i1 = static_cast<int>(std::ceil(bx + 0.5)) - 1;
        const int j0 = static_cast<int>(std::floor(ay - 0.5)) + 1;
        const int j1 = static_cast<int>(std::ceil(by + 0.5)) - 1;
        double sum = 0.0;
        double sx = 0.0;
        double sy = 0.0;
        for (int i = i0; i <= i1; ++i) {
            const double wx = Overlap(i, ax, bx);
            for (int j = j0; j <= j1; ++j) {
                const double v = stamp.at(i, j);
                if (!std::isfinite(v))
                    return {star, stamp}; // the box leaves the frame
                const double w = wx * Overlap(j, ay, by) * (v - level.median);
                sum += w;
                sx += w * i;
                sy += w * j;
            }
        }
        if (!(sum > 0.0))
            return {star, stamp};
        const double nx = sx / sum;
        const double ny = sy / sum;
        const double move = std::hypot(nx - cx, ny - cy);
        cx = nx;
        cy = ny;
        star.flux = sum;
        if (std::fabs(cx - px) > half || std::fabs(cy - py) > half)
            return {star, stamp};
        if (move < ConvergedMove) {
            settled = true;
            break;
        }
    }
    star.iterations = iteration;
    if (!settled)
        return {star, stamp};
    const double limit = std::max(0, settings.searchRadius) + 0.5;
    if (std::fabs(cx - startX) > limit || std::fabs(cy - startY) > limit)
        return {star, stamp};
    star.x = cx;
    star.y = cy;
    star.status = saturated ? StarStatus::Saturated : StarStatus::Found;
    return {star, stamp};
}

// The brightest 3 x 3 median within `radius` of (x, y); false when the window is empty.
bool BrightestPoint(const ImageGrid& grid, double x, double y, int radius, int& px, int& py)
{
    if (!std::isfinite(x) || !std::isfinite(y) || x < -0.5 || y < -0.5 || x > grid.width() - 0.5 || y > grid.height() - 0.5)
        return false;
    const int ix = std::clamp(static_cast<int>(std::lround(x)), 0, grid.width() - 1);
    const int iy = std::clamp(static_cast<int>(std::lround(y)), 0, grid.height() - 1);
    radius = std::max(0, radius);
    double best = -std::numeric_limits<double>::infinity();
    for (int i = std::max(0, ix - radius); i <= std::min(grid.width() - 1, ix + radius); ++i) {
        for (int j = std::max(0, iy - radius); j <= std::min(grid.height() - 1, iy + radius); ++j) {
            const double m = Median9(grid, i, j);
            if (m > best) {
                best = m;
                px = i;
                py = j;
            }
        }
    }
    return best > -std::numeric_limits<double>::infinity();
}

// Solves the n x n system a x = b (row-major a) by Gaussian elimination with partial
// pivoting; false when it is singular.
template <std::size_t N>
bool Solve(std::array<double, N * N> a, std::array<double, N> b, std::array<double, N>& x)
{
    for (std::size_t c = 0; c < N; ++c) {
        std::size_t pivot = c;
        for (std::size_t r = c + 1; r < N; ++r) {
            if (std::fabs(a[r * N + c]) > std::fabs(a[pivot * N + c]))
                pivot = r;
        }
        if (!(std::fabs(a[pivot * N + c]) > 0.0))
            return false;
        if (pivot != c) {
            for (std::size_t k = 0; k < N; ++k)
                std::swap(a[c * N + k], a[pivot * N + k]);
            std::swap(b[c], b[pivot]);
        }
        for (std::size_t r = c + 1; r < N; ++r) {
            const double f = a[r * N + c] / a[c * N + c];
            for (std::size_t k = c; k < N; ++k)
                a[r * N + k] -= f * a[c * N + k];
            b[r] -= f * b[c];
        }
    }
    for (std::size_t c = N; c-- > 0;) {
        double s = b[c];
        for (std::size_t k = c + 1; k < N; ++k)
            s -= a[c * N + k] * x[k];
        x[c] = s / a[c * N + c];
    }
    return true;
}

struct Sample {
    double x;
    double y;
    double v;
};

// Parameters: background, amplitude, x0, y0, sigma.
using Gaussian = std::array<double, 5>;

double SquaredResiduals(const std::vector<Sample>& samples, const Gaussian& p)
{
    double chi2 = 0.0;
    for (const Sample& s : samples) {
        const double r2 = (s.x - p[2]) * (s.x - p[2]) + (s.y - p[3]) * (s.y - p[3]);
        const double m = p[0] + p[1] * std::exp(-r2 / (2.0 * p[4] * p[4]));
        chi2 += (s.v - m) * (s.v - m);
    }
    return chi2;
}

// Levenberg-Marquardt fit of a circular Gaussian plus a constant; false when it fails.
bool FitGaussian(const std::vector<Sample>& samples, Gaussian& p)
{
    double lambda = 1e-3;
    double chi2 = SquaredResiduals(samples, p);
    for (int iteration = 0; iteration < 200; ++iteration) {
        std::array<double, 25> jtj{};
        std::array<double, 5> jtr{};
        for (const Sample& s : samples) {
            const double ddx = s.x - p[2];
            const double ddy = s.y - p[3];
            const double r2 = ddx * ddx + ddy * ddy;
            const double s2 = p[4] * p[4];
            const double e = std::exp(-r2 / (2.0 * s2));
            const double m = p[0] + p[1] * e;
            const std::array<double, 5> d = {1.0, e, p[1] * e * ddx / s2, p[1] * e * ddy / s2, p[1] * e * r2 / (s2 * p[4])};
            const double r = s.v - m;
            for (std::size_t a = 0; a < 5; ++a) {
                jtr[a] += d[a] * r;
                for (std::size_t b = 0; b < 5; ++b)
                    jtj[a * 5 + b] += d[a] * d[b];
            }
        }
        bool improved = false;
        while (lambda < 1e12) {
            std::array<double, 25> a = jtj;
            for (std::size_t k = 0; k < 5; ++k)
                a[k * 5 + k] *= 1.0 + lambda;
            std::array<double, 5> step{};
            if (!Solve<5>(a, jtr, step)) {
                lambda *= 10.0;
                continue;
            }
            Gaussian trial = p;
            for (std::size_t k = 0; k < 5; ++k)
                trial[k] += step[k];
            const double c = trial[4] > 0.0 ? SquaredResiduals(samples, trial) : std::numeric_limits<double>::infinity();
            if (c < chi2) {
                const double gain = chi2 - c;
                p = trial;
                chi2 = c;
                lambda = std::max(lambda * 0.1, 1e-12);
                improved = true;
                if (gain <= 1e-12 * chi2)
                    return true;
                break;
            }
            lambda *= 10.0;
        }
        if (!improved)
            return true; // no step lowers the residuals: at the minimum
    }
    return true;
}

} // namespace

StarMeasurement MeasureStar(const ImageGrid& grid, double x, double y, const StarSettings& settings)
{
    int px = 0;
    int py = 0;
    if (!BrightestPoint(grid, x, y, settings.searchRadius, px, py))
        return {};
    return AnalyseStar(grid, px, py, x, y, settings).star;
}

StarProfile MeasureFwhm(const ImageGrid& grid, double x, double y, const StarSettings& settings)
{
    StarProfile profile;
    int px = 0;
    int py = 0;
    if (!BrightestPoint(grid, x, y, settings.searchRadius, px, py))
        return profile;
    const Analysis analysis = AnalyseStar(grid, px, py, x, y, settings);
    const StarMeasurement& star = analysis.star;
    profile.status = star.status;
    if (star.status == StarStatus::Lost)
        return profile;
    const double radius = std::max(4.0, 2.5 * star.fwhm);
    std::vector<Sample> samples;
    const int r = static_cast<int>(std::ceil(radius));
    const int cx = static_cast<int>(std::lround(star.x));
    const int cy = static_cast<int>(std::lround(star.y));
    for (int i = cx - r; i <= cx + r; ++i) {
        for (int j = cy - r; j <= cy + r; ++j) {
            const double v = analysis.stamp.at(i, j);
            if (std::isfinite(v) && std::hypot(i - star.x, j - star.y) <= radius)
                samples.push_back({static_cast<double>(i), static_cast<double>(j), v});
        }
    }
    if (samples.size() < 12)
        return profile;
    Gaussian p = {star.background, std::max(star.peak, 1e-12), star.x, star.y, std::max(0.5, star.fwhm / SigmaToFwhm)};
    if (!FitGaussian(samples, p))
        return profile;
    if (!(p[1] > 0.0) || !(p[4] > 0.1) || p[4] > radius || std::hypot(p[2] - star.x, p[3] - star.y) > std::max(1.0, star.fwhm))
        return profile;
    profile.fitted = true;
    profile.background = p[0];
    profile.amplitude = p[1];
    profile.x = p[2];
    profile.y = p[3];
    profile.fwhm = SigmaToFwhm * p[4];
    return profile;
}

namespace {

struct Candidate {
    int x = 0;
    int y = 0;
    double height = 0.0; // 3 x 3 median above the window's median
};

// Local maxima of the 3 x 3 median within `radius` of (x, y) (a plateau counts once) that
// stand at least `sigmas` times the spread of that median (normalised median absolute
// deviation) above its median over the window.
std::vector<Candidate> FindCandidates(const ImageGrid& grid, double x, double y, int radius, double sigmas)
{
    std::vector<Candidate> found;
    if (!std::isfinite(x) || !std::isfinite(y))
        return found;
    const int ix = static_cast<int>(std::lround(std::clamp(x, -1e9, 1e9)));
    const int iy = static_cast<int>(std::lround(std::clamp(y, -1e9, 1e9)));
    const int x0 = std::max(0, ix - radius);
    const int x1 = std::min(grid.width() - 1, ix + radius);
    const int y0 = std::max(0, iy - radius);
    const int y1 = std::min(grid.height() - 1, iy + radius);
    if (x0 > x1 || y0 > y1)
        return found;
    // The median map with a border of one pixel (NaN beyond the frame).
    const int w = x1 - x0 + 3;
    const int h = y1 - y0 + 3;
    std::vector<double> map(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), Nan);
    auto cell = [&](int i, int j) -> double& { return map[static_cast<std::size_t>(i - x0 + 1) * static_cast<std::size_t>(h) + static_cast<std::size_t>(j - y0 + 1)]; };
    for (int i = x0 - 1; i <= x1 + 1; ++i) {
        for (int j = y0 - 1; j <= y1 + 1; ++j) {
            if (i >= 0 && j >= 0 && i < grid.width() && j < grid.height())
                cell(i, j) = Median9(grid, i, j);
        }
    }
    std::vector<double> inside;
    inside.reserve(static_cast<std::size_t>(x1 - x0 + 1) * static_cast<std::size_t>(y1 - y0 + 1));
    for (int i = x0; i <= x1; ++i) {
        for (int j = y0; j <= y1; ++j)
            inside.push_back(cell(i, j));
    }
    const Level level = LevelOf(inside);
    const double median = level.median;
    const double threshold = median + std::max(0.0, sigmas) * level.sigma;
    for (int i = x0; i <= x1; ++i) {
        for (int j = y0; j <= y1; ++j) {
            const double v = cell(i, j);
            if (!(v > threshold))
                continue;
            bool peak = true;
            for (int a = -1; a <= 1 && peak; ++a) {
                for (int b = -1; b <= 1; ++b) {
                    if (a == 0 && b == 0)
                        continue;
                    const double n = cell(i + a, j + b);
                    // Earlier neighbours in scan order must be lower, later ones not higher.
                    const bool earlier = a < 0 || (a == 0 && b < 0);
                    if (earlier ? !(n < v) : n > v) {
                        if (!std::isnan(n)) {
                            peak = false;
                            break;
                        }
                    }
                }
            }
            if (peak)
                found.push_back({i, j, v - median});
        }
    }
    return found;
}

} // namespace

StarTracker::StarTracker(const StarSettings& settings, int searchRadius) : settings_(settings), searchRadius_(std::max(1, searchRadius)) {}

StarMeasurement StarTracker::start(const ImageGrid& reference, double x, double y)
{
    started_ = false;
    const StarMeasurement star = MeasureStar(reference, x, y, settings_);
    if (star.status != StarStatus::Found)
        return star;
    // The star's height as the search in the frames will see it.
    const std::vector<Candidate> candidates = FindCandidates(reference, star.x, star.y, searchRadius_, settings_.minPeakSigma);
    double best = std::numeric_limits<double>::infinity();
    for (const Candidate& c : candidates) {
        const double d = std::hypot(c.x - star.x, c.y - star.y);
        if (d < best) {
            best = d;
            referenceHeight_ = c.height;
        }
    }
    if (!(best <= 2.0) || !(referenceHeight_ > 0.0))
        return star;
    started_ = true;
    referenceX_ = star.x;
    referenceY_ = star.y;
    referenceFlux_ = star.flux;
    referenceFwhm_ = star.fwhm;
    closeRadius_ = std::max(3.0, 1.5 * star.fwhm);
    lastX_ = star.x;
    lastY_ = star.y;
    return star;
}

StarShift StarTracker::track(const ImageGrid& frame)
{
    StarShift shift;
    if (!started_)
        return shift;
    previousX_ = lastX_;
    previousY_ = lastY_;
    const std::vector<Candidate> candidates = FindCandidates(frame, lastX_, lastY_, searchRadius_, settings_.minPeakSigma);
    // The star is the candidate right where it was last, whatever its height (the sky may
    // have dimmed, the seeing changed); failing that, the nearest one of about the
    // reference star's height.
    const Candidate* chosen = nullptr;
    double nearest = std::numeric_limits<double>::infinity();
    for (const Candidate& c : candidates) {
        const double d = std::hypot(c.x - lastX_, c.y - lastY_);
        if (d <= closeRadius_ && d < nearest) {
            nearest = d;
            chosen = &c;
        }
    }
    if (chosen == nullptr) {
        for (const Candidate& c : candidates) {
            const double d = std::hypot(c.x - lastX_, c.y - lastY_);
            if (c.height >= referenceHeight_ / 3.0 && c.height <= referenceHeight_ * 3.0 && d < nearest) {
                nearest = d;
                chosen = &c;
            }
        }
    }
    if (chosen == nullptr)
        return shift;
    if (chosen->height < referenceHeight_ / 3.0) {
        shift.status = StarStatus::TooFaint;
        shift.star.status = StarStatus::TooFaint;
        shift.star.x = chosen->x;
        shift.star.y = chosen->y;
        return shift;
    }
    StarSettings local = settings_;
    local.searchRadius = 2;
    shift.star = MeasureStar(frame, chosen->x, chosen->y, local);
    shift.status = shift.star.status;
    if (shift.status == StarStatus::Found) {
        const double flux = shift.star.flux / referenceFlux_;
        const double width = shift.star.fwhm / referenceFwhm_;
        if (!(flux >= 1.0 / MatchFluxRatio && flux <= MatchFluxRatio && width >= 1.0 / MatchWidthRatio && width <= MatchWidthRatio)) {
            shift.status = StarStatus::Mismatch;
            shift.star.status = StarStatus::Mismatch;
            return shift;
        }
    }
    if (shift.status == StarStatus::Found || shift.status == StarStatus::Saturated) {
        shift.dx = shift.star.x - referenceX_;
        shift.dy = shift.star.y - referenceY_;
        lastX_ = shift.star.x;
        lastY_ = shift.star.y;
    }
    return shift;
}

void StarTracker::reject()
{
    lastX_ = previousX_;
    lastY_ = previousY_;
}

} // namespace skyvane
