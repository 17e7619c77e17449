#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace skyvane {

// The gamma values the display accepts, and the one offered first.
inline constexpr double GammaMinimum = 0.1;
inline constexpr double GammaMaximum = 10.0;
inline constexpr double GammaDefault = 2.2;

// The midtones balance of the automatic stretch: 0.5 leaves the levels as they are, less
// brightens the faint values, more darkens them. Kept away from 0 and 1, where the
// function degenerates into a step.
inline constexpr double MidtonesMinimum = 1e-9;
inline constexpr double MidtonesMaximum = 1.0 - 1e-9;
// Significant digits of the balance where the user reads it (FormatReal).
inline constexpr int MidtonesDigits = 2;

enum class TransferKind { Linear, Logarithm, Gamma, Midtones };

// The midtones transfer function MTF(m, x) = (m - 1) x / ((2m - 1) x - m) for x in 0..1
// and m in (0, 1), evaluated so that its rounded values never decrease with x:
// MTF(m, 0) = 0, MTF(m, m) = 1/2, MTF(m, 1) = 1, rising in between. It is its own
// inverse in the sense that MTF(MTF(y, x), x) = y: the balance m that takes x to y is
// MTF(y, x).
double MidtonesTransfer(double m, double x);

// How the display spreads its 256 grey levels between the two thresholds. The threshold
// mapping gives the product p = (v - lo) x factor (inverted thresholds: (v - hi) x factor),
// limited to 0..255 but not yet truncated; the grey level is then
// g' = trunc(255 x F(p / 255)), and 255 - g' for inverted thresholds:
//   Linear     F(t) = t. Here g' = trunc(p) itself, the plain threshold mapping.
//   Logarithm  F(t) = log10(1 + 1000 t) / log10(1001)
//   Gamma      F(t) = t^(1 / gamma), gamma from 0.1 to 10
//   Midtones   F(t) = MidtonesTransfer(m, t) (1 at t = 1), m from the automatic stretch
struct TransferFunction {
    TransferKind kind = TransferKind::Linear;
    double gamma = 1.0;    // used by Gamma only; 1 for the others
    double midtones = 0.5; // used by Midtones only; 0.5 for the others

    static TransferFunction Linear() { return {}; }
    static TransferFunction Logarithm() { return {TransferKind::Logarithm, 1.0}; }
    // A gamma outside 0.1..10 is limited to that range; not-a-number gives 2.2. Callers that
    // must refuse such values test GammaAccepted first.
    static TransferFunction Gamma(double gamma);
    // m limited to MidtonesMinimum..MidtonesMaximum; not-a-number gives 0.5.
    static TransferFunction Midtones(double m);

    bool isLinear() const { return kind == TransferKind::Linear; }

    // g' for the product p, evaluated directly (the library's log10 and pow, in double):
    // p is first limited to 0..255 (not-a-number counts as 0), the result is 0..255, with
    // g'(0) = 0 and g'(255) = 255 for every function. Linear gives trunc(p).
    int level(double p) const;

    // F(p / 255) itself, 0..1, before it is cut to a grey level: for pictures of more than
    // 256 levels (16-bit exports). p is limited as for level; level(p) is
    // trunc(255 x fraction(p)) limited to 0..255.
    double fraction(double p) const;

    bool operator==(const TransferFunction& other) const;
};

// True for 0.1 <= gamma <= 10 (not-a-number is refused).
bool GammaAccepted(double gamma);

// The transfer function made fast for the rendering. g'(p) is a step function that never
// decreases, so it is fixed by 255 breakpoints: breakpoint k is the smallest double p with
// g'(p) >= k, found by bisection over the doubles with the direct formula itself. A pixel's
// level is the number of breakpoints at or below its p. To count them without a search, the
// doubles from just below the first breakpoint up to 255 are cut into cells by the top bits
// of their representation (exponent and leading mantissa bits, so the cells are finer where
// the breakpoints crowd near 0), fine enough that no cell holds more than one breakpoint
// after its start. Each cell is one 64-bit word: the level at the cell's start in the top
// byte, and below it the low bits of the breakpoint inside the cell, less one (all ones
// when there is none), so a product's level is the cell's level plus one when its own low
// bits exceed that number. No logarithm or power is computed per pixel.
class TransferTable {
public:
    TransferTable(); // linear
    explicit TransferTable(const TransferFunction& function);

    const TransferFunction& function() const { return function_; }
    bool isLinear() const { return function_.isLinear(); }

    // g' for a product p in 0..255 (not a number, not outside the range: the rendering
    // limits p first), equal to function().level(p) for every such double.
    int level(double p) const
    {
        if (cells_.empty())
            return isLinear() ? static_cast<int>(p) : function_.level(p);
        const std::uint64_t bits = Bits(p > floor_ ? p : floor_);
        const std::uint64_t cell = cells_[static_cast<std::size_t>((bits >> shift_) - firstCell_)];
        return static_cast<int>(cell >> LevelShift) + ((bits & lowMask_) > (cell & InsideMask) ? 1 : 0);
    }

    // Breakpoint k (1..255); breakpoint(256) is +infinity. Linear: k itself.
    double breakpoint(int k) const { return breakpoints_[static_cast<std::size_t>(k)]; }

    // The cells, for the vector code of the rendering: a product p (already limited to
    // 0..255) is raised to at least cellFloor(); the representation b of that, shifted right
    // by cellShift(), minus firstCell(), is its cell; the level is cells()[cell] >> 56, plus
    // one when (b & lowMask()) > (cells()[cell] & InsideMask). Empty for the linear function
    // (and, as a safeguard, for a function whose breakpoints no cell size separates; its
    // levels are then evaluated directly).
    static constexpr int LevelShift = 56;
    static constexpr std::uint64_t InsideMask = (std::uint64_t{1} << LevelShift) - 1;
    bool hasCells() const { return !cells_.empty(); }
    double cellFloor() const { return floor_; }
    int cellShift() const { return shift_; }
    std::uint64_t firstCell() const { return firstCell_; }
    std::uint64_t lowMask() const { return lowMask_; }
    const std::uint64_t* cells() const { return cells_.data(); }
    std::size_t cellCount() const { return cells_.size(); }

    static std::uint64_t Bits(double value);

private:
    // Cells of 2^-mantissaBits of a binade; false (and nothing changed) when there would be
    // too many, or when a cell would hold two breakpoints after its start.
    bool tryLayout(int mantissaBits);

    TransferFunction function_;
    std::array<double, 257> breakpoints_{};
    std::vector<std::uint64_t> cells_;
    double floor_ = 0.0;
    int shift_ = 52;
    std::uint64_t firstCell_ = 0;
    std::uint64_t lowMask_ = 0;
};

} // namespace skyvane
