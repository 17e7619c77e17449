#include "processing/Demosaic.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace skyvane {

namespace {

// Values of one column-major plane, the missing neighbours beyond the border mirrored
// across the edge pixel (which keeps every pixel's filter).
class Plane {
public:
    Plane(const double* values, int width, int height) : values_(values), width_(width), height_(height) {}

    double operator()(int x, int y) const
    {
        return values_[static_cast<std::ptrdiff_t>(mirror(x, width_)) * height_ + mirror(y, height_)];
    }

private:
    static int mirror(int i, int n)
    {
        while (i < 0 || i >= n)
            i = i < 0 ? -i : 2 * (n - 1) - i;
        return i;
    }

    const double* values_;
    int width_;
    int height_;
};

// The same away from the border, where every neighbour read is inside: no mirroring.
class InnerPlane {
public:
    InnerPlane(const double* values, int height) : values_(values), height_(height) {}
    double operator()(int x, int y) const { return values_[static_cast<std::ptrdiff_t>(x) * height_ + y]; }

private:
    const double* values_;
    std::ptrdiff_t height_;
};

// How far from a pixel its estimates read: three pixels for green, one for red and blue.
constexpr int Reach = 3;

// Along a straight edge a row or column crosses, the picture changes this many times less
// than across it; weaker contrasts (a star's flank among them) take the lattice estimate.
constexpr double EdgeContrast = 16.0;

// Green where red or blue was seen. The green pixels form a square lattice turned by 45
// degrees, and (x, y) is the centre of one of its cells: cubic convolution (Keys, a = -1/2)
// along both axes of that lattice, the 4 x 4 nearest green pixels weighted 9/16 and -1/16
// along each axis. On a straight edge along a row or a column, the mean of the two green
// neighbours along it instead, corrected by half the second difference of the pixel's own
// colour along it.
template <typename Values>
double GreenAt(const Values& m, int x, int y)
{
    const double c = m(x, y);
    const double left = m(x - 1, y);
    const double right = m(x + 1, y);
    const double up = m(x, y - 1);
    const double down = m(x, y + 1);
    const double curveH = 2.0 * c - m(x - 2, y) - m(x + 2, y);
    const double curveV = 2.0 * c - m(x, y - 2) - m(x, y + 2);
    const double changeH = std::fabs(left - right) + std::fabs(curveH);
    const double changeV = std::fabs(up - down) + std::fabs(curveV);
    if (changeH > EdgeContrast * changeV)
        return 0.5 * (up + down) + 0.25 * curveV;
    if (changeV > EdgeContrast * changeH)
        return 0.5 * (left + right) + 0.25 * curveH;
    // Lattice offsets du, dv of -3/2, -1/2, 1/2, 3/2 lie at dx = du + dv, dy = du - dv.
    static constexpr double Weight[4] = {-1.0 / 16.0, 9.0 / 16.0, 9.0 / 16.0, -1.0 / 16.0};
    double value = 0.0;
    for (int i = 0; i < 4; ++i) {
        double line = 0.0;
        for (int j = 0; j < 4; ++j)
            line += Weight[j] * m(x + i + j - 3, y + i - j);
        value += Weight[i] * line;
    }
    return value;
}

// Red and blue at (x, y) from the mosaic m and the green plane g.
template <typename Values>
void RedBlueAt(const Values& m, const Values& g, const Mosaic& pattern, int x, int y, double& red, double& blue)
{
    // The colour seen at (u, v) minus green there.
    const auto difference = [&](int u, int v) { return m(u, v) - g(u, v); };
    const FilterColour seen = pattern.colourAt(x, y);
    const double here = g(x, y);
    if (seen == FilterColour::Green) {
        // The row's other colour left and right, the column's above and below.
        const double alongRow = here + 0.5 * (difference(x - 1, y) + difference(x + 1, y));
        const double alongColumn = here + 0.5 * (difference(x, y - 1) + difference(x, y + 1));
        const bool rowIsRed = pattern.colourAt(x + 1, y) == FilterColour::Red;
        red = rowIsRed ? alongRow : alongColumn;
        blue = rowIsRed ? alongColumn : alongRow;
        return;
    }
    // The other colour on the four diagonals.
    const double other =
        here + 0.25 * (difference(x - 1, y - 1) + difference(x + 1, y - 1) + difference(x - 1, y + 1) + difference(x + 1, y + 1));
    if (seen == FilterColour::Red) {
        red = m(x, y);
        blue = other;
    } else {
        blue = m(x, y);
        red = other;
    }
}

// Green where red or blue was seen, inside the border, for the non-green pixels of column x
// from row first to row end (exclusive) in steps of 2: GreenAt with the seven columns it
// reads held as pointers.
void GreenColumn(const double* mosaic, std::ptrdiff_t h, int x, int first, int end, double* green)
{
    const double* col[7];
    for (int d = 0; d < 7; ++d)
        col[d] = mosaic + (x + d - 3) * h;
    const double* c0 = col[3];
    static constexpr double Weight[4] = {-1.0 / 16.0, 9.0 / 16.0, 9.0 / 16.0, -1.0 / 16.0};
    for (int y = first; y < end; y += 2) {
        const double c = c0[y];
        const double left = col[2][y];
        const double right = col[4][y];
        const double up = c0[y - 1];
        const double down = c0[y + 1];
        const double curveH = 2.0 * c - col[1][y] - col[5][y];
        const double curveV = 2.0 * c - c0[y - 2] - c0[y + 2];
        const double changeH = std::fabs(left - right) + std::fabs(curveH);
        const double changeV = std::fabs(up - down) + std::fabs(curveV);
        double value;
        if (changeH > EdgeContrast * changeV) {
            value = 0.5 * (up + down) + 0.25 * curveV;
        } else if (changeV > EdgeContrast * changeH) {
            value = 0.5 * (left + right) + 0.25 * curveH;
        } else {
            value = 0.0;
            for (int i = 0; i < 4; ++i) {
                double line = 0.0;
                for (int j = 0; j < 4; ++j)
                    line += Weight[j] * col[i + j][y + i - j];
                value += Weight[i] * line;
            }
        }
        green[y] = value;
    }
}

// The colour seen minus green, column x, rows lo to hi (exclusive), where the colour is not
// green; green sites are left as they are (never read).
void DifferenceColumn(const double* mosaic, const double* green, std::ptrdiff_t h, int x, int first, int end, double* out)
{
    const double* m = mosaic + x * h;
    const double* g = green + x * h;
    for (int y = first; y < end; y += 2)
        out[y] = m[y] - g[y];
}

} // namespace

void DemosaicPlane(const double* mosaic, int width, int height, const Mosaic& pattern, double* red, double* green, double* blue)
{
    const std::ptrdiff_t h = height;
    if (width < 2 || height < 2) {
        for (std::ptrdiff_t k = 0; k < static_cast<std::ptrdiff_t>(width) * h; ++k)
            red[k] = green[k] = blue[k] = mosaic[k];
        return;
    }
    const auto inner = [&](int x, int y) { return x >= Reach && x < width - Reach && y >= Reach && y < height - Reach; };
    const Plane m(mosaic, width, height);
    const InnerPlane mi(mosaic, height);
    // The first row at or after row Reach whose pixel in column x has not seen green.
    const auto firstNonGreen = [&](int x) { return pattern.colourAt(x, Reach) == FilterColour::Green ? Reach + 1 : Reach; };
    const bool innerColumns = width > 2 * Reach && height > 2 * Reach;
    // Green everywhere first: red and blue read it around them.
    for (int x = 0; x < width; ++x) {
        const bool fast = innerColumns && x >= Reach && x < width - Reach;
        for (int y = 0; y < height; ++y) {
            if (fast && y == Reach) {
                // Inside: the mosaic's values, then green where the pixel did not see it.
                std::copy(mosaic + x * h + Reach, mosaic + x * h + (height - Reach), green + x * h + Reach);
                GreenColumn(mosaic, h, x, firstNonGreen(x), height - Reach, green + x * h);
                y = height - Reach - 1;
                continue;
            }
            const std::ptrdiff_t k = x * h + y;
            if (pattern.colourAt(x, y) == FilterColour::Green)
                green[k] = mosaic[k];
            else
                green[k] = inner(x, y) ? GreenAt(mi, x, y) : GreenAt(m, x, y);
        }
    }
    const Plane g(green, width, height);
    const InnerPlane gi(green, height);
    // Inside, the colour differences of three columns at a time (x - 1, x, x + 1), each
    // computed once for the pixels that read it.
    std::vector<double> differences;
    if (innerColumns)
        differences.assign(static_cast<std::size_t>(3 * h), 0.0);
    const auto differenceColumn = [&](int x) { return differences.data() + ((x + 3) % 3) * h; };
    for (int x = 0; x < width; ++x) {
        const bool fast = innerColumns && x >= Reach && x < width - Reach;
        if (fast) {
            // Rows Reach - 1 to height - Reach of columns x - 1 to x + 1 are read.
            const int lo = Reach - 1;
            const int hi = height - Reach + 1;
            const auto fill = [&](int u) {
                const int start = pattern.colourAt(u, lo) == FilterColour::Green ? lo + 1 : lo;
                DifferenceColumn(mosaic, green, h, u, start, hi, differenceColumn(u));
            };
            if (x == Reach) {
                fill(x - 1);
                fill(x);
            }
            fill(x + 1);
        }
        for (int y = 0; y < height; ++y) {
            if (fast && y == Reach) {
                const double* before = differenceColumn(x - 1);
                const double* here = differenceColumn(x);
                const double* after = differenceColumn(x + 1);
                const double* m0 = mosaic + x * h;
                const double* g0 = green + x * h;
                double* r0 = red + x * h;
                double* b0 = blue + x * h;
                // Which colour the row's neighbours saw, on each parity of rows.
                for (int y0 = Reach; y0 < Reach + 2; ++y0) {
                    const FilterColour seen = pattern.colourAt(x, y0);
                    if (seen == FilterColour::Green) {
                        const bool rowIsRed = pattern.colourAt(x + 1, y0) == FilterColour::Red;
                        double* alongRowOut = rowIsRed ? r0 : b0;
                        double* alongColumnOut = rowIsRed ? b0 : r0;
                        for (int v = y0; v < height - Reach; v += 2) {
                            const double gv = g0[v];
                            alongRowOut[v] = gv + 0.5 * (before[v] + after[v]);
                            alongColumnOut[v] = gv + 0.5 * (here[v - 1] + here[v + 1]);
                        }
                    } else {
                        double* seenOut = seen == FilterColour::Red ? r0 : b0;
                        double* otherOut = seen == FilterColour::Red ? b0 : r0;
                        for (int v = y0; v < height - Reach; v += 2) {
                            seenOut[v] = m0[v];
                            otherOut[v] = g0[v] + 0.25 * (before[v - 1] + after[v - 1] + before[v + 1] + after[v + 1]);
                        }
                    }
                }
                y = height - Reach - 1;
                continue;
            }
            const std::ptrdiff_t k = x * h + y;
            if (inner(x, y))
                RedBlueAt(mi, gi, pattern, x, y, red[k], blue[k]);
            else
                RedBlueAt(m, g, pattern, x, y, red[k], blue[k]);
        }
    }
}

} // namespace skyvane
