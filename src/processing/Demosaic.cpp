#include "processing/Demosaic.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

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
    // Green everywhere first: red and blue read it around them.
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y) {
            const std::ptrdiff_t k = x * h + y;
            if (pattern.colourAt(x, y) == FilterColour::Green)
                green[k] = mosaic[k];
            else
                green[k] = inner(x, y) ? GreenAt(mi, x, y) : GreenAt(m, x, y);
        }
    const Plane g(green, width, height);
    const InnerPlane gi(green, height);
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y) {
            const std::ptrdiff_t k = x * h + y;
            if (inner(x, y))
                RedBlueAt(mi, gi, pattern, x, y, red[k], blue[k]);
            else
                RedBlueAt(m, g, pattern, x, y, red[k], blue[k]);
        }
}

} // namespace skyvane
