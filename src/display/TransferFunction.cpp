#include "display/TransferFunction.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>

namespace skyvane {

namespace {

// Cells per table at most (one byte each); the functions the display offers need far fewer.
constexpr std::size_t MaximumCells = std::size_t{1} << 16;

double FromBits(std::uint64_t bits)
{
    return std::bit_cast<double>(bits);
}

} // namespace

double MidtonesTransfer(double m, double x)
{
    // (m - 1) x / ((2m - 1) x - m), divided through by x: each step (m / x, the sum, the
    // quotient) never turns back as x grows, so neither does the rounded result, which
    // the transfer table's breakpoints need. At x = 0, m / x is infinite and the result 0.
    return (1.0 - m) / ((1.0 - 2.0 * m) + m / x);
}

TransferFunction TransferFunction::Midtones(double m)
{
    if (std::isnan(m))
        m = 0.5;
    TransferFunction function{TransferKind::Midtones, 1.0};
    function.midtones = std::clamp(m, MidtonesMinimum, MidtonesMaximum);
    return function;
}

TransferFunction TransferFunction::Gamma(double gamma)
{
    if (std::isnan(gamma))
        gamma = GammaDefault;
    return {TransferKind::Gamma, std::clamp(gamma, GammaMinimum, GammaMaximum)};
}

double TransferFunction::fraction(double p) const
{
    // The same two limits as the threshold mapping: not-a-number becomes 0.
    p = 255.0 < p ? 255.0 : p;
    p = p > 0.0 ? p : 0.0;
    const double t = p / 255.0;
    if (kind == TransferKind::Linear)
        return t;
    if (kind == TransferKind::Midtones && t >= 1.0)
        return 1.0; // the formula's rounding could leave the top a hair below 1
    return kind == TransferKind::Logarithm ? std::log10(1.0 + 1000.0 * t) / std::log10(1001.0)
           : kind == TransferKind::Gamma   ? std::pow(t, 1.0 / gamma)
                                           : MidtonesTransfer(midtones, t);
}

int TransferFunction::level(double p) const
{
    // The same two limits as the threshold mapping: not-a-number becomes 0.
    p = 255.0 < p ? 255.0 : p;
    p = p > 0.0 ? p : 0.0;
    if (kind == TransferKind::Linear)
        return static_cast<int>(p);
    const double f = fraction(p);
    double g = 255.0 * f;
    g = 255.0 < g ? 255.0 : g;
    g = g > 0.0 ? g : 0.0;
    return static_cast<int>(g);
}

bool TransferFunction::operator==(const TransferFunction& other) const
{
    return kind == other.kind && (kind != TransferKind::Gamma || gamma == other.gamma) &&
           (kind != TransferKind::Midtones || midtones == other.midtones);
}

bool GammaAccepted(double gamma)
{
    return gamma >= GammaMinimum && gamma <= GammaMaximum;
}

std::uint64_t TransferTable::Bits(double value)
{
    return std::bit_cast<std::uint64_t>(value);
}

TransferTable::TransferTable() : TransferTable(TransferFunction::Linear()) {}

TransferTable::TransferTable(const TransferFunction& function) : function_(function)
{
    breakpoints_[0] = 0.0;
    breakpoints_[256] = std::numeric_limits<double>::infinity();
    if (function_.isLinear()) {
        for (int k = 1; k <= 255; ++k)
            breakpoints_[static_cast<std::size_t>(k)] = k;
        return;
    }

    // Non-negative doubles are ordered as their representations, so the bisection runs over
    // the integers between the representations of 0 and 255. level(0) = 0 and
    // level(255) = 255, so every breakpoint exists and lies in (0, 255].
    const std::uint64_t top = Bits(255.0);
    std::uint64_t from = Bits(0.0);
    for (int k = 1; k <= 255; ++k) {
        std::uint64_t low = from; // level(low) < k, unless an earlier level was skipped
        std::uint64_t high = top; // level(high) >= k
        if (function_.level(FromBits(low)) >= k) {
            high = low;
        } else {
            while (high - low > 1) {
                const std::uint64_t middle = low + (high - low) / 2;
                if (function_.level(FromBits(middle)) >= k)
                    high = middle;
                else
                    low = middle;
            }
        }
        breakpoints_[static_cast<std::size_t>(k)] = FromBits(high);
        from = high;
    }

    // The coarsest cells that separate the breakpoints.
    for (int mantissaBits = 2; mantissaBits <= 16; ++mantissaBits)
        if (tryLayout(mantissaBits))
            break;
}

bool TransferTable::tryLayout(int mantissaBits)
{
    const int shift = 52 - mantissaBits;
    std::uint64_t first = Bits(breakpoints_[1]) >> shift;
    if (first > 0)
        --first; // the first cell starts below the first breakpoint
    const std::uint64_t last = Bits(255.0) >> shift;
    const std::size_t count = static_cast<std::size_t>(last - first + 1);
    if (count > MaximumCells)
        return false;

    const std::uint64_t lowMask = (std::uint64_t{1} << shift) - 1;
    std::vector<std::uint64_t> cells(count);
    std::size_t atOrBelow = 1; // breakpoints 1 .. atOrBelow - 1 lie at or below the cell's start
    for (std::size_t c = 0; c < count; ++c) {
        const double start = FromBits((first + c) << shift);
        const double next = FromBits((first + c + 1) << shift);
        while (atOrBelow <= 255 && breakpoints_[atOrBelow] <= start)
            ++atOrBelow;
        std::size_t inside = atOrBelow;
        while (inside <= 255 && breakpoints_[inside] < next)
            ++inside;
        std::uint64_t threshold = lowMask; // no breakpoint inside: never exceeded
        if (inside - atOrBelow == 1)
            threshold = (Bits(breakpoints_[atOrBelow]) & lowMask) - 1; // at least 1 above the start
        else if (inside - atOrBelow > 1)
            return false;
        cells[c] = static_cast<std::uint64_t>(atOrBelow - 1) << LevelShift | threshold;
    }
    cells_ = std::move(cells);
    shift_ = shift;
    firstCell_ = first;
    floor_ = FromBits(first << shift);
    lowMask_ = lowMask;
    return true;
}

} // namespace skyvane
