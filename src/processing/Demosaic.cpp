#include "processing/Demosaic.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace skyvane {

namespace {

// Index i of 0 to n - 1 mirrored across the edge pixels (which keeps every pixel's filter).
int Mirror(int i, int n)
{
    while (i < 0 || i >= n)
        i = i < 0 ? -i : 2 * (n - 1) - i;
    return i;
}

// Values of one column-major plane, the missing neighbours beyond the border mirrored
// across the edge pixel.
class Plane {
public:
    Plane(const double* values, int width, int height) : values_(values), width_(width), height_(height) {}

    double operator()(int x, int y) const
    {
        return values_[static_cast<std::ptrdiff_t>(Mirror(x, width_)) * height_ + Mirror(y, height_)];
    }

private:
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

// How far from a pixel its estimates read: three pixels, for green and for red and blue alike.
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

// Cubic convolution (Keys, a = -1/2) half-way between samples: the weights of the samples
// 3, 1, 1 and 3 steps away on either side.
constexpr double Cubic[4] = {-1.0 / 16.0, 9.0 / 16.0, 9.0 / 16.0, -1.0 / 16.0};

// The difference of colour c (which pixel (u, y) or its column saw) and balance times green,
// at (u, y): where c was seen the difference itself, on the column's green pixels cubic
// convolution of the differences at the four nearest pixels of the column that saw c.
template <typename Values>
double ColumnDifference(const Values& m, const Values& g, const Mosaic& pattern, FilterColour c, double balance, int u, int y)
{
    if (pattern.colourAt(u, y) == c)
        return m(u, y) - balance * g(u, y);
    double value = 0.0;
    for (int j = 0; j < 4; ++j)
        value += Cubic[j] * (m(u, y + 2 * j - 3) - balance * g(u, y + 2 * j - 3));
    return value;
}

// Colour c (red or blue) at (x, y), which did not see it, from the mosaic m and the green
// plane g: balance times green plus the colour difference interpolated by cubic convolution
// along the column, if it saw c, or else across the four nearest columns that saw c.
template <typename Values>
double ColourAt(const Values& m, const Values& g, const Mosaic& pattern, FilterColour c, double balance, int x, int y)
{
    const double base = balance * g(x, y);
    if (pattern.colourAt(x, y + 1) == c)
        return base + ColumnDifference(m, g, pattern, c, balance, x, y);
    double value = 0.0;
    for (int j = 0; j < 4; ++j)
        value += Cubic[j] * ColumnDifference(m, g, pattern, c, balance, x + 2 * j - 3, y);
    return base + value;
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

// ColumnDifference for the whole of column x (height h) whose pixels away from green saw a
// colour of the given balance, the column mirrored beyond its ends.
void DifferenceColumn(const double* mosaic, const double* green, std::ptrdiff_t h, int x, int firstSeen, double balance, double* out)
{
    const double* __restrict m = mosaic + x * h;
    const double* __restrict g = green + x * h;
    double* __restrict d = out;
    // All rows first (one pass the compiler vectorises), the green rows then overwritten.
    for (std::ptrdiff_t y = 0; y < h; ++y)
        d[y] = m[y] - balance * g[y];
    const int height = static_cast<int>(h);
    const auto mirrored = [&](int y) {
        double value = 0.0;
        for (int j = 0; j < 4; ++j)
            value += Cubic[j] * d[Mirror(y + 2 * j - 3, height)];
        return value;
    };
    const int firstGreen = 1 - firstSeen;
    int y = firstGreen;
    for (; y < Reach && y < height; y += 2)
        d[y] = mirrored(y);
    for (; y < height - Reach; y += 2)
        d[y] = Cubic[0] * d[y - 3] + Cubic[1] * d[y - 1] + Cubic[2] * d[y + 1] + Cubic[3] * d[y + 3];
    for (; y < height; y += 2)
        d[y] = mirrored(y);
}

// The colour a column did not see, rows first to end (exclusive): balance times green plus
// the cubic convolution of the differences of the four nearest columns that saw it.
void AcrossColumns(const double* __restrict g, const double* __restrict far0, const double* __restrict near0, const double* __restrict near1,
                   const double* __restrict far1, double balance, int first, int end, double* __restrict out)
{
    for (int v = first; v < end; ++v)
        out[v] = balance * g[v] + (Cubic[0] * far0[v] + Cubic[1] * near0[v] + Cubic[2] * near1[v] + Cubic[3] * far1[v]);
}

// What colour c (red or blue) is to green on most of the mosaic (its sky, on a frame of
// stars): the median over the 2 x 2 cells of the pattern, on every step-th cell along both
// axes, of c's pixel over the mean of the two green ones; cells whose green is not above
// zero are left out. 1 where that is not a sensible colour (no sky above zero): plain colour
// differences then.
double ColourBalance(const double* mosaic, int width, int height, const Mosaic& pattern, FilterColour c)
{
    // Some 16000 cells of a large frame tell its sky's colour as well as all of them.
    const int step = std::max(1, std::min(width, height) / 256);
    const std::ptrdiff_t h = height;
    std::vector<double> ratios;
    for (int x = 0; x + 1 < width; x += 2 * step)
        for (int y = 0; y + 1 < height; y += 2 * step) {
            double colour = 0.0;
            double green = 0.0;
            for (int k = 0; k < 4; ++k) {
                const int u = x + (k & 1);
                const int v = y + (k >> 1);
                const FilterColour seen = pattern.colourAt(u, v);
                if (seen == FilterColour::Green)
                    green += 0.5 * mosaic[u * h + v];
                else if (seen == c)
                    colour = mosaic[u * h + v];
            }
            if (green > 0.0)
                ratios.push_back(colour / green);
        }
    if (ratios.empty())
        return 1.0;
    const auto middle = ratios.begin() + static_cast<std::ptrdiff_t>(ratios.size() / 2);
    std::nth_element(ratios.begin(), middle, ratios.end());
    const double balance = *middle;
    return balance >= 1.0 / 16.0 && balance <= 16.0 ? balance : 1.0;
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
    const double redBalance = ColourBalance(mosaic, width, height, pattern, FilterColour::Red);
    const double blueBalance = ColourBalance(mosaic, width, height, pattern, FilterColour::Blue);
    const auto balanceOf = [&](FilterColour c) { return c == FilterColour::Red ? redBalance : blueBalance; };
    // The colour other than green that column x saw.
    const auto columnColour = [&](int x) {
        const FilterColour c = pattern.colourAt(x, 0);
        return c == FilterColour::Green ? pattern.colourAt(x, 1) : c;
    };
    // Away from the first and last Reach columns, whole columns at a time: the colour
    // differences of seven columns (x - 3 to x + 3) held, each computed once.
    constexpr int Ring = 2 * Reach + 2;
    std::vector<double> differences;
    if (innerColumns)
        differences.assign(static_cast<std::size_t>(Ring * h), 0.0);
    const auto differenceColumn = [&](int x) { return differences.data() + (x % Ring) * h; };
    const auto fill = [&](int u) {
        const int firstSeen = pattern.colourAt(u, 0) == FilterColour::Green ? 1 : 0;
        DifferenceColumn(mosaic, green, h, u, firstSeen, balanceOf(columnColour(u)), differenceColumn(u));
    };
    for (int x = 0; x < width; ++x) {
        const bool fast = innerColumns && x >= Reach && x < width - Reach;
        if (fast) {
            if (x == Reach)
                for (int u = 0; u < x + Reach; ++u)
                    fill(u);
            fill(x + Reach);
        }
        const FilterColour own = columnColour(x);
        const FilterColour other = own == FilterColour::Red ? FilterColour::Blue : FilterColour::Red;
        double* ownOut = own == FilterColour::Red ? red + x * h : blue + x * h;
        double* otherOut = own == FilterColour::Red ? blue + x * h : red + x * h;
        if (fast) {
            // Whole columns: their differences hold every row, mirrored at the ends.
            const double* m0 = mosaic + x * h;
            const double* g0 = green + x * h;
            const double* here = differenceColumn(x);
            const int firstSeen = pattern.colourAt(x, 0) == FilterColour::Green ? 1 : 0;
            const double ownBalance = balanceOf(own);
            for (int v = firstSeen; v < height; v += 2)
                ownOut[v] = m0[v];
            for (int v = 1 - firstSeen; v < height; v += 2)
                ownOut[v] = ownBalance * g0[v] + here[v];
            AcrossColumns(g0, differenceColumn(x - 3), differenceColumn(x - 1), differenceColumn(x + 1), differenceColumn(x + 3), balanceOf(other), 0,
                          height, otherOut);
            continue;
        }
        // The first and last columns pixel by pixel, mirrored across the edge.
        for (int y = 0; y < height; ++y) {
            const std::ptrdiff_t k = x * h + y;
            const FilterColour seen = pattern.colourAt(x, y);
            for (const FilterColour c : {FilterColour::Red, FilterColour::Blue}) {
                double* out = c == FilterColour::Red ? red : blue;
                if (seen == c)
                    out[k] = mosaic[k];
                else
                    out[k] = ColourAt(m, g, pattern, c, balanceOf(c), x, y);
            }
        }
    }
}

} // namespace skyvane
