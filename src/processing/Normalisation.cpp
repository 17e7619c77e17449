#include "processing/Normalisation.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>

#include "image/ImageRecord.h"
#include "processing/FrameQuality.h"
#include "processing/FrameWorkers.h"
#include "processing/Registration.h"
#include "processing/StarDetection.h"

namespace skyvane {

namespace {

// About this many sampled pixels across the shorter side, and cells across the longer one.
constexpr int SampledSide = 128;
constexpr int CellsAcross = 8;
// The background fields interpolated along every row of cells, kept for all frames while
// they take at most this many bytes.
constexpr std::size_t AlongBytes = std::size_t{64} << 20;
// Stars of the reference whose fluxes give a frame's scale.
constexpr std::size_t ScaleStars = 50;
constexpr double ScaleStarSnr = 20.0;
constexpr std::size_t FewestScaleStars = 5;
constexpr double ScaleLimit = 50.0;
constexpr double ScaleSpread = 0.25;
constexpr double ScaleShift = 1.0; // pixels
constexpr int ScaleField = 1024;

double Median(std::vector<double>& v)
{
    const std::size_t half = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(half), v.end());
    const double upper = v[half];
    if (v.size() % 2 == 1)
        return upper;
    const double lower = *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(half));
    return 0.5 * (lower + upper);
}

// A star of the reference whose light is summed in a circle: its centre and the pixels of
// the circle's bounding box.
struct Aperture {
    double x = 0.0;
    double y = 0.0;
    int x0 = 0, x1 = 0, y0 = 0, y1 = 0; // inclusive
};

struct ApertureSum {
    double sum = 0.0;
    double pixels = 0.0;
    // The first moments about the star's place, of the values and of the pixels, for the
    // centroid of the light above the background.
    double sumX = 0.0;
    double sumY = 0.0;
    double pixelsX = 0.0;
    double pixelsY = 0.0;
    bool valid = true; // no missing or infinite pixel in the circle
};

struct ScaleStarSet {
    double radius = 0.0; // of the circles
    std::vector<Aperture> stars;
};

} // namespace

// Where the cells lie in the frame: samples every `step` pixels from `offset` on, cells of
// the sampled grid as SkyMap makes them, and per column and row of the frame the two cells
// it lies between with the weight of the second.
struct FrameNormaliser::Geometry {
    int width = 0;
    int height = 0;
    int step = 1;
    int offset = 0;
    int sampledWidth = 0;
    int sampledHeight = 0;
    int cellSize = 8; // of the sampled grid
    int cellsX = 1;
    int cellsY = 1;
    std::vector<int> column0;
    std::vector<double> columnWeight;
    std::vector<int> row0;
    std::vector<double> rowWeight;

    Geometry(int w, int h) : width(w), height(h)
    {
        step = std::max(1, std::min(w, h) / SampledSide);
        offset = step / 2;
        sampledWidth = std::max(1, (w - offset + step - 1) / step);
        sampledHeight = std::max(1, (h - offset + step - 1) / step);
        cellSize = std::max(8, static_cast<int>(std::lround(static_cast<double>(std::max(w, h)) / CellsAcross / step)));
        // As SkyMap splits the sampled grid.
        cellsX = std::max(1, static_cast<int>(std::lround(static_cast<double>(sampledWidth) / cellSize)));
        cellsY = std::max(1, static_cast<int>(std::lround(static_cast<double>(sampledHeight) / cellSize)));
        column0.resize(static_cast<std::size_t>(w));
        columnWeight.resize(static_cast<std::size_t>(w));
        for (int x = 0; x < w; ++x)
            corner(x, sampledWidth, cellsX, column0[static_cast<std::size_t>(x)], columnWeight[static_cast<std::size_t>(x)]);
        row0.resize(static_cast<std::size_t>(h));
        rowWeight.resize(static_cast<std::size_t>(h));
        for (int y = 0; y < h; ++y)
            corner(y, sampledHeight, cellsY, row0[static_cast<std::size_t>(y)], rowWeight[static_cast<std::size_t>(y)]);
    }

    // The cell coordinate of frame coordinate p (the sampled coordinate (p - offset) / step):
    // cell centre k at k, clamped to [-0.5, cells - 0.5]; the first of the two cells to
    // interpolate between and the second's weight (beyond the outer centres: linear).
    void corner(double p, int sampled, int cells, int& first, double& weight) const
    {
        const double extent = static_cast<double>(sampled) / cells;
        const double u = std::clamp(((p - offset) / step + 0.5) / extent - 0.5, -0.5, cells - 0.5);
        first = std::clamp(static_cast<int>(std::floor(u)), 0, std::max(0, cells - 2));
        weight = cells > 1 ? u - first : 0.0;
    }

    // The cells' field interpolated along x on row of cells j, at columns x0 .. x0 + count - 1.
    void alongRow(const std::vector<double>& cells, int j, std::size_t x0, std::size_t count, double* out) const
    {
        for (std::size_t k = 0; k < count; ++k) {
            const int i = column0[x0 + k];
            const int i1 = std::min(i + 1, cellsX - 1);
            const double f = columnWeight[x0 + k];
            out[k] = (1.0 - f) * cells[static_cast<std::size_t>(i * cellsY + j)] + f * cells[static_cast<std::size_t>(i1 * cellsY + j)];
        }
    }

    // The cells' field at frame position (x, y).
    double at(const std::vector<double>& cells, double x, double y) const
    {
        int i = 0, j = 0;
        double f = 0.0, g = 0.0;
        corner(x, sampledWidth, cellsX, i, f);
        corner(y, sampledHeight, cellsY, j, g);
        const int i1 = std::min(i + 1, cellsX - 1);
        const int j1 = std::min(j + 1, cellsY - 1);
        const auto cell = [&](int a, int b) { return cells[static_cast<std::size_t>(a * cellsY + b)]; };
        return (1.0 - g) * ((1.0 - f) * cell(i, j) + f * cell(i1, j)) + g * ((1.0 - f) * cell(i, j1) + f * cell(i1, j1));
    }
};

struct FrameNormaliser::Frame {
    FrameFigures figures;
    // Applied: v' = factor x v + field (offset), or v' = v x field (multiplicative).
    bool multiplicative = false;
    double factor = 1.0;
    std::vector<double> field; // cells, i * cellsY + j
    // The field interpolated along x at every row of cells, width values each (when kept).
    std::vector<double> along;
};

FrameNormaliser::FrameNormaliser() = default;
FrameNormaliser::~FrameNormaliser() = default;
FrameNormaliser::FrameNormaliser(FrameNormaliser&&) noexcept = default;
FrameNormaliser& FrameNormaliser::operator=(FrameNormaliser&&) noexcept = default;

namespace {

// The values of a band as they are read: doubles already converted (normalised in place).
struct ConvertedValues {
    const double* values;
    double operator()(std::size_t i) const { return values[i]; }
};

// Stored big-endian 16-bit values, converted as ConvertStored16 converts them.
struct StoredValues {
    const std::uint16_t* stored;
    double scale;
    double zero;
    bool scaled;
    double operator()(std::size_t i) const
    {
        const std::uint16_t u = stored[i];
        const double v = static_cast<double>(static_cast<std::int16_t>(static_cast<std::uint16_t>((u >> 8) | (u << 8))));
        return scaled ? v * scale + zero : v;
    }
};

// Floats, each made a double.
struct FloatValues {
    const float* floats;
    double operator()(std::size_t i) const { return static_cast<double>(floats[i]); }
};

// Stored big-endian 32-bit floats, each made a double as ConvertStoredFloats makes it.
struct StoredFloatValues {
    const std::uint32_t* stored;
    double operator()(std::size_t i) const
    {
        const std::uint32_t u = __builtin_bswap32(stored[i]);
        float value;
        std::memcpy(&value, &u, sizeof value);
        return static_cast<double>(value);
    }
};

// One run of a row whose field is kept: the field along the two rows of cells about it
// at the run's columns, and between them the second's weight g.
struct RowRun {
    const double* a0;
    const double* a1;
    double g;
    double factor;
    bool multiplicative;
};

// v[k] = the normalised value of in(k), k from 0 to run - 1: factor x value + field, or
// value x field, with field = (1 - g) x a0[k] + g x a1[k]. Every pixel alone, so the
// compiler can take several at once, each lane doing the IEEE operations of one pixel.
template <class In>
[[gnu::always_inline]] inline void NormaliseRunOf(const In& in, std::size_t run, const RowRun& r, double* v)
{
    const double below = 1.0 - r.g;
    const double g = r.g;
    const double factor = r.factor;
    const double* a0 = r.a0;
    const double* a1 = r.a1;
    if (r.multiplicative) {
        for (std::size_t k = 0; k < run; ++k) {
            const double field = below * a0[k] + g * a1[k];
            v[k] = in(k) * field;
        }
    } else {
        for (std::size_t k = 0; k < run; ++k) {
            const double field = below * a0[k] + g * a1[k];
            v[k] = factor * in(k) + field;
        }
    }
}

// The runs of each kind of input, with a second, AVX2 version chosen at load time where
// the processor has it: only the width of the vector registers changes (no fused
// multiply-add, which AVX2 alone does not enable).
#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define SKYVANE_NORMALISE_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define SKYVANE_NORMALISE_CLONES
#endif

SKYVANE_NORMALISE_CLONES void NormaliseInPlace(std::size_t run, const RowRun& r, double* v)
{
    NormaliseRunOf(ConvertedValues{v}, run, r, v);
}

SKYVANE_NORMALISE_CLONES void NormaliseStored16(const std::uint16_t* stored, double scale, double zero, bool scaled, std::size_t run,
                                                const RowRun& r, double* v)
{
    if (scaled)
        NormaliseRunOf(StoredValues{stored, scale, zero, true}, run, r, v);
    else
        NormaliseRunOf(StoredValues{stored, 1.0, 0.0, false}, run, r, v);
}

SKYVANE_NORMALISE_CLONES void NormaliseFloats(const float* floats, std::size_t run, const RowRun& r, double* v)
{
    NormaliseRunOf(FloatValues{floats}, run, r, v);
}

SKYVANE_NORMALISE_CLONES void NormaliseStoredFloats(const std::uint32_t* stored, std::size_t run, const RowRun& r, double* v)
{
    NormaliseRunOf(StoredFloatValues{stored}, run, r, v);
}

// The run of values i .. i + run - 1 of in into v (ConvertedValues: v is where they are).
void NormaliseRun(const ConvertedValues&, std::size_t, std::size_t run, const RowRun& r, double* v)
{
    NormaliseInPlace(run, r, v);
}

void NormaliseRun(const StoredValues& in, std::size_t i, std::size_t run, const RowRun& r, double* v)
{
    NormaliseStored16(in.stored + i, in.scale, in.zero, in.scaled, run, r, v);
}

void NormaliseRun(const FloatValues& in, std::size_t i, std::size_t run, const RowRun& r, double* v)
{
    NormaliseFloats(in.floats + i, run, r, v);
}

void NormaliseRun(const StoredFloatValues& in, std::size_t i, std::size_t run, const RowRun& r, double* v)
{
    NormaliseStoredFloats(in.stored + i, run, r, v);
}

} // namespace

// out[i] = the normalised value of in(i), in one pass over the values (in may read out).
template <class In>
void FrameNormaliser::normalise(std::size_t position, int firstRow, std::size_t offset, std::size_t count, const In& in, double* out) const
{
    const Frame& frame = frames_[position];
    const Geometry& geometry = *geometry_;
    const std::size_t width = static_cast<std::size_t>(width_);
    const int cellsY = geometry.cellsY;
    std::size_t i = 0;
    while (i < count) {
        const std::size_t p = offset + i;
        const int y = firstRow + static_cast<int>(p / width);
        const std::size_t x0 = p % width;
        const std::size_t run = std::min(count - i, width - x0);
        const int j0 = geometry.row0[static_cast<std::size_t>(y)];
        const int j1 = std::min(j0 + 1, cellsY - 1);
        const double g = geometry.rowWeight[static_cast<std::size_t>(y)];
        double* v = out + i;
        if (frame.along.empty()) {
            // The field made now, as it is kept (along x first, then between the rows).
            for (std::size_t k = 0; k < run; ++k) {
                double a0 = 0.0;
                double a1 = 0.0;
                geometry.alongRow(frame.field, j0, x0 + k, 1, &a0);
                geometry.alongRow(frame.field, j1, x0 + k, 1, &a1);
                const double field = (1.0 - g) * a0 + g * a1;
                const double value = in(i + k);
                v[k] = frame.multiplicative ? value * field : frame.factor * value + field;
            }
            i += run;
            continue;
        }
        // The field along the two rows of cells, at the columns of this run.
        const RowRun r{frame.along.data() + static_cast<std::size_t>(j0) * width + x0, frame.along.data() + static_cast<std::size_t>(j1) * width + x0,
                       g, frame.factor, frame.multiplicative};
        NormaliseRun(in, i, run, r, v);
        i += run;
    }
}

bool FrameNormaliser::changes(std::size_t position) const
{
    return choice_.normalisation != Normalisation::None && position != 0 && position < frames_.size() && width_ > 0 &&
           !frames_[position].field.empty();
}

void FrameNormaliser::apply(std::size_t position, int firstRow, std::size_t offset, std::size_t count, double* values) const
{
    if (changes(position))
        normalise(position, firstRow, offset, count, ConvertedValues{values}, values);
}

void FrameNormaliser::convertStored16(std::size_t position, int firstRow, std::size_t offset, std::size_t count, const std::uint16_t* bigEndian,
                                      double scale, double zero, double* out) const
{
    if (!changes(position)) {
        ConvertStored16(bigEndian, count, scale, zero, out);
        return;
    }
    normalise(position, firstRow, offset, count, StoredValues{bigEndian, scale, zero, !(scale == 1.0 && zero == 0.0)}, out);
}

void FrameNormaliser::convertFloats(std::size_t position, int firstRow, std::size_t offset, std::size_t count, const float* floats, double* out) const
{
    if (!changes(position)) {
        for (std::size_t i = 0; i < count; ++i)
            out[i] = static_cast<double>(floats[i]);
        return;
    }
    normalise(position, firstRow, offset, count, FloatValues{floats}, out);
}

void FrameNormaliser::convertStoredFloats(std::size_t position, int firstRow, std::size_t offset, std::size_t count,
                                          const std::uint32_t* bigEndian, double* out) const
{
    if (!changes(position)) {
        ConvertStoredFloats(bigEndian, count, out);
        return;
    }
    normalise(position, firstRow, offset, count, StoredFloatValues{bigEndian}, out);
}

std::vector<double> FrameNormaliser::weights(const std::vector<std::size_t>& positions) const
{
    if (choice_.weighting == Weighting::None)
        return {};
    std::vector<double> noise;
    for (std::size_t position : positions) {
        const FrameFigures& f = figures(position);
        noise.push_back(f.noise * f.factor);
    }
    double smallest = 0.0;
    for (double s : noise)
        if (s > 0.0 && std::isfinite(s) && (smallest == 0.0 || s < smallest))
            smallest = s;
    std::vector<double> weights(positions.size(), 1.0);
    if (smallest == 0.0)
        return weights; // no frame's noise is known: all weigh alike
    for (double& s : noise)
        if (!(s > 0.0) || !std::isfinite(s))
            s = smallest;
    if (std::all_of(noise.begin(), noise.end(), [&](double s) { return s == noise.front(); }))
        return weights;
    double sum = 0.0;
    for (std::size_t k = 0; k < noise.size(); ++k) {
        weights[k] = 1.0 / (noise[k] * noise[k]);
        sum += weights[k];
    }
    const double mean = sum / static_cast<double>(weights.size());
    for (double& w : weights)
        w /= mean;
    return weights;
}

const FrameFigures& FrameNormaliser::figures(std::size_t position) const
{
    static const FrameFigures none;
    return position < frames_.size() ? frames_[position].figures : none;
}

namespace {

// What measuring one frame gave.
struct FrameSky {
    FitsError error = FitsError::None;
    bool outOfMemory = false;
    double level = 0.0;
    double noise = 0.0;
    std::vector<double> cells;
    std::vector<ApertureSum> sums;
};

// Reads the frame: the sampled pixels into sampled (every step-th pixel of every step-th
// row), and, with stars, the pixels of each star's circle, summing its light. Then the
// sky map of the sampled pixels gives the background cells, level and noise.
FrameSky MeasureFrameSky(const std::string& path, ImageSize size, const FrameNormaliser::Geometry& geometry, const ScaleStarSet* stars,
                         ImageGrid& sampled, std::vector<double>& buffer)
{
    FrameSky sky;
    try {
        FitsImageReader reader;
        if (const FitsError error = reader.open(path, size); error != FitsError::None) {
            sky.error = error;
            return sky;
        }
        // The same values either way, read faster: only the bytes of the rows and circles.
        if (!reader.readStoredDirectly())
            (void)reader.readFloatsDirectly();
        const std::size_t width = static_cast<std::size_t>(size.width);
        if (!sampled.tryResizeForOverwrite(geometry.sampledWidth, geometry.sampledHeight)) {
            sky.outOfMemory = true;
            return sky;
        }
        const auto takeRow = [&](int y, const double* row) {
            if (y < geometry.offset || (y - geometry.offset) % geometry.step != 0)
                return;
            const int j = (y - geometry.offset) / geometry.step;
            for (int i = 0; i < geometry.sampledWidth; ++i)
                sampled[i][j] = row[static_cast<std::size_t>(geometry.offset + i * geometry.step)];
        };
        buffer.resize(width);
        for (int j = 0; j < geometry.sampledHeight; ++j) {
            const int y = geometry.offset + j * geometry.step;
            if (const FitsError error = reader.readRows(y, 1, buffer.data()); error != FitsError::None) {
                sky.error = error;
                return sky;
            }
            takeRow(y, buffer.data());
        }
        if (stars != nullptr) {
            // Each star's circle, a row's stretch at a time.
            sky.sums.assign(stars->stars.size(), {});
            const double r2 = stars->radius * stars->radius;
            for (std::size_t s = 0; s < stars->stars.size(); ++s) {
                const Aperture& a = stars->stars[s];
                ApertureSum& sum = sky.sums[s];
                for (int y = a.y0; y <= a.y1; ++y) {
                    if (const FitsError error = reader.readRowSegment(y, a.x0, a.x1 - a.x0 + 1, buffer.data()); error != FitsError::None) {
                        sky.error = error;
                        return sky;
                    }
                    for (int x = a.x0; x <= a.x1; ++x) {
                        const double dx = x - a.x;
                        const double dy = y - a.y;
                        if (dx * dx + dy * dy > r2)
                            continue;
                        const double v = buffer[static_cast<std::size_t>(x - a.x0)];
                        if (!std::isfinite(v))
                            sum.valid = false;
                        sum.sum += v;
                        sum.pixels += 1.0;
                        sum.sumX += v * dx;
                        sum.sumY += v * dy;
                        sum.pixelsX += dx;
                        sum.pixelsY += dy;
                    }
                }
            }
        }
        const SkyMap map(sampled, geometry.cellSize);
        sky.level = map.medianLevel();
        sky.noise = map.medianNoise();
        const double cellWidth = static_cast<double>(geometry.sampledWidth) / geometry.cellsX;
        const double cellHeight = static_cast<double>(geometry.sampledHeight) / geometry.cellsY;
        sky.cells.resize(static_cast<std::size_t>(geometry.cellsX) * static_cast<std::size_t>(geometry.cellsY));
        for (int i = 0; i < geometry.cellsX; ++i)
            for (int j = 0; j < geometry.cellsY; ++j)
                sky.cells[static_cast<std::size_t>(i * geometry.cellsY + j)] =
                    map.level((i + 0.5) * cellWidth - 0.5, (j + 0.5) * cellHeight - 0.5);
    } catch (const std::bad_alloc&) {
        sky.outOfMemory = true;
    }
    return sky;
}

// The light of each star above the frame's background (NaN where it cannot be had), and
// where the light's centroid lies from the reference's star.
struct StarLight {
    double flux = std::numeric_limits<double>::quiet_NaN();
    double dx = 0.0;
    double dy = 0.0;
};

std::vector<StarLight> Fluxes(const FrameSky& sky, const ScaleStarSet& stars, const FrameNormaliser::Geometry& geometry)
{
    std::vector<StarLight> light(stars.stars.size());
    for (std::size_t s = 0; s < stars.stars.size() && s < sky.sums.size(); ++s) {
        const ApertureSum& sum = sky.sums[s];
        if (!sum.valid || !(sum.pixels > 0.0))
            continue;
        const double background = geometry.at(sky.cells, stars.stars[s].x, stars.stars[s].y);
        light[s].flux = sum.sum - sum.pixels * background;
        if (light[s].flux > 0.0) {
            light[s].dx = (sum.sumX - background * sum.pixelsX) / light[s].flux;
            light[s].dy = (sum.sumY - background * sum.pixelsY) / light[s].flux;
        }
    }
    return light;
}

// The reference's brightest well-measured stars whose circles lie inside the frame, found
// in its central part of at most ScaleField x ScaleField pixels.
FitsError ChooseScaleStars(const std::string& path, ImageSize size, ScaleStarSet& set)
{
    const int width = std::min(size.width, ScaleField);
    const int height = std::min(size.height, ScaleField);
    const int left = (size.width - width) / 2;
    const int top = (size.height - height) / 2;
    FitsImageReader reader;
    if (const FitsError error = reader.open(path, size); error != FitsError::None)
        return error;
    if (!reader.readStoredDirectly())
        (void)reader.readFloatsDirectly();
    HeaderCards cards;
    if (const FitsError error = readFitsHeaderCards(path, cards); error != FitsError::None)
        return error;
    ImageGrid field;
    if (!field.tryResize(width, height))
        return FitsError::NotEnoughMemory;
    // A few rows at a time, so that each column of the field is written a cache line at a
    // time rather than a value per row.
    constexpr int Rows = 8;
    const std::size_t w = static_cast<std::size_t>(width);
    std::vector<double> rows(Rows * w);
    for (int y0 = 0; y0 < height; y0 += Rows) {
        const int n = std::min(Rows, height - y0);
        for (int r = 0; r < n; ++r)
            if (const FitsError error = reader.readRowSegment(top + y0 + r, left, width, rows.data() + static_cast<std::size_t>(r) * w);
                error != FitsError::None)
                return error;
        for (int x = 0; x < width; ++x) {
            double* column = field[x];
            for (int r = 0; r < n; ++r)
                column[y0 + r] = rows[static_cast<std::size_t>(r) * w + static_cast<std::size_t>(x)];
        }
    }
    DetectionSettings settings = QualityDetection();
    settings.saturation = SaturationLevel(cards);
    const StarDetection detection = DetectStars(field, settings);
    set.radius = std::max(3.0, 2.0 * detection.medianFwhm);
    for (const DetectedStar& star : detection.stars) {
        if (set.stars.size() >= ScaleStars)
            break;
        if (star.snr < ScaleStarSnr)
            continue;
        Aperture a;
        a.x = star.x + left;
        a.y = star.y + top;
        a.x0 = static_cast<int>(std::floor(a.x - set.radius));
        a.x1 = static_cast<int>(std::ceil(a.x + set.radius));
        a.y0 = static_cast<int>(std::floor(a.y - set.radius));
        a.y1 = static_cast<int>(std::ceil(a.y + set.radius));
        if (a.x0 < 0 || a.y0 < 0 || a.x1 >= size.width || a.y1 >= size.height)
            continue;
        set.stars.push_back(a);
    }
    return FitsError::None;
}

} // namespace

std::string_view NormalisationName(Normalisation normalisation)
{
    switch (normalisation) {
    case Normalisation::None:
        break;
    case Normalisation::Additive:
        return "additive";
    case Normalisation::Multiplicative:
        return "multiplicative";
    case Normalisation::AdditiveScale:
        return "additive+scale";
    }
    return "none";
}

bool ParseNormalisation(std::string_view text, Normalisation& normalisation)
{
    for (Normalisation n : {Normalisation::None, Normalisation::Additive, Normalisation::Multiplicative, Normalisation::AdditiveScale}) {
        if (text == NormalisationName(n)) {
            normalisation = n;
            return true;
        }
    }
    return false;
}

std::string_view WeightingName(Weighting weighting)
{
    return weighting == Weighting::Noise ? "noise" : "none";
}

bool ParseWeighting(std::string_view text, Weighting& weighting)
{
    for (Weighting w : {Weighting::None, Weighting::Noise}) {
        if (text == WeightingName(w)) {
            weighting = w;
            return true;
        }
    }
    return false;
}

// Builds a FrameNormaliser from the frames' measurements.
struct NormaliserBuilder {
    static void build(FrameNormaliser& normaliser, const StackingChoice& choice, ImageSize size, std::unique_ptr<FrameNormaliser::Geometry> geometry,
                      const std::vector<std::size_t>& positions, std::vector<FrameSky>& skies, const ScaleStarSet* stars)
    {
        normaliser.choice_ = choice;
        normaliser.width_ = size.width;
        const std::size_t last = positions.empty() ? 0 : *std::max_element(positions.begin(), positions.end());
        normaliser.frames_.assign(last + 1, {});
        const FrameSky reference = skies.front();
        std::vector<StarLight> referenceLight;
        if (stars != nullptr)
            referenceLight = Fluxes(reference, *stars, *geometry);
        for (std::size_t k = 0; k < positions.size(); ++k) {
            FrameSky& sky = skies[k];
            if (sky.error != FitsError::None || sky.outOfMemory)
                continue;
            FrameNormaliser::Frame& frame = normaliser.frames_[positions[k]];
            FrameFigures& f = frame.figures;
            f.position = positions[k];
            f.level = sky.level;
            f.noise = sky.noise;
            if (k > 0 && stars != nullptr) {
                const std::vector<StarLight> light = Fluxes(sky, *stars, *geometry);
                std::vector<double> ratios;
                std::vector<double> shiftX;
                std::vector<double> shiftY;
                for (std::size_t s = 0; s < light.size(); ++s) {
                    if (!(referenceLight[s].flux > 0.0) || !(light[s].flux > 0.0))
                        continue;
                    ratios.push_back(light[s].flux / referenceLight[s].flux);
                    shiftX.push_back(light[s].dx - referenceLight[s].dx);
                    shiftY.push_back(light[s].dy - referenceLight[s].dy);
                }
                double scale = 0.0;
                double spread = 0.0;
                double shift = 0.0;
                if (ratios.size() >= FewestScaleStars) {
                    scale = Median(ratios);
                    for (double& r : ratios)
                        r = std::fabs(r - scale);
                    spread = 1.4826 * Median(ratios);
                    shift = std::hypot(Median(shiftX), Median(shiftY));
                }
                // A frame not registered onto the reference: its stars' light lies off the
                // circles' centres, partly or wholly outside them.
                f.scaleKnown = scale >= 1.0 / ScaleLimit && scale <= ScaleLimit && spread <= ScaleSpread * scale && shift <= ScaleShift;
                f.scale = f.scaleKnown ? scale : 1.0;
            }
            switch (choice.normalisation) {
            case Normalisation::None:
                break;
            case Normalisation::Additive:
            case Normalisation::AdditiveScale:
                frame.factor = 1.0 / f.scale;
                f.factor = frame.factor;
                frame.field.resize(sky.cells.size());
                for (std::size_t c = 0; c < sky.cells.size(); ++c)
                    frame.field[c] = reference.cells[c] - frame.factor * sky.cells[c];
                break;
            case Normalisation::Multiplicative:
                frame.multiplicative = true;
                frame.field.resize(sky.cells.size());
                for (std::size_t c = 0; c < sky.cells.size(); ++c)
                    frame.field[c] = sky.cells[c] > 0.0 && reference.cells[c] > 0.0 ? reference.cells[c] / sky.cells[c] : 1.0;
                f.factor = f.level > 0.0 && reference.level > 0.0 ? reference.level / f.level : 1.0;
                break;
            }
        }
        const std::size_t width = static_cast<std::size_t>(size.width);
        const std::size_t cellsY = static_cast<std::size_t>(geometry->cellsY);
        if (choice.normalisation != Normalisation::None && positions.size() * cellsY * width * sizeof(double) <= AlongBytes) {
            for (FrameNormaliser::Frame& frame : normaliser.frames_) {
                if (frame.field.empty())
                    continue;
                frame.along.resize(cellsY * width);
                for (std::size_t j = 0; j < cellsY; ++j)
                    geometry->alongRow(frame.field, static_cast<int>(j), 0, width, frame.along.data() + j * width);
            }
        }
        normaliser.geometry_ = std::move(geometry);
    }
};

NormalisationOutcome PrepareNormalisation(const std::vector<std::string>& paths, const std::vector<std::size_t>& positions, ImageSize size,
                                          const StackingChoice& choice, int threads, const std::function<bool(std::size_t)>& report,
                                          FrameNormaliser& normaliser)
{
    NormalisationOutcome outcome;
    const std::size_t count = paths.size();
    if (count == 0 || size.width <= 0 || size.height <= 0)
        return outcome;
    try {
        auto geometry = std::make_unique<FrameNormaliser::Geometry>(size.width, size.height);
        // The reference's stars, for the scale.
        std::unique_ptr<ScaleStarSet> stars;
        if (choice.normalisation == Normalisation::AdditiveScale) {
            stars = std::make_unique<ScaleStarSet>();
            if (const FitsError error = ChooseScaleStars(paths.front(), size, *stars); error != FitsError::None) {
                outcome.status = error == FitsError::NotEnoughMemory ? NormalisationStatus::NotEnoughMemory : NormalisationStatus::ReferenceUnreadable;
                outcome.error = error;
                return outcome;
            }
        }
        if (!report(0)) {
            outcome.status = NormalisationStatus::Cancelled;
            return outcome;
        }

        std::vector<FrameSky> skies(count);
        const int workers = FrameWorkerCount(threads, count);
        std::vector<ImageGrid> sampled(static_cast<std::size_t>(workers));
        std::vector<std::vector<double>> buffers(static_cast<std::size_t>(workers));
        const bool finished = ForEachFrame(
            count, workers,
            [&](std::size_t k, int worker) {
                skies[k] = MeasureFrameSky(paths[k], size, *geometry, stars.get(), sampled[static_cast<std::size_t>(worker)],
                                           buffers[static_cast<std::size_t>(worker)]);
            },
            report);
        if (!finished) {
            outcome.status = NormalisationStatus::Cancelled;
            return outcome;
        }
        for (std::size_t k = 0; k < count; ++k) {
            if (skies[k].outOfMemory) {
                outcome.status = NormalisationStatus::NotEnoughMemory;
                return outcome;
            }
            if (skies[k].error != FitsError::None) {
                if (k == 0) {
                    outcome.status = NormalisationStatus::ReferenceUnreadable;
                    outcome.error = skies[k].error;
                    return outcome;
                }
                outcome.failed.push_back(positions[k]);
            }
        }
        NormaliserBuilder::build(normaliser, choice, size, std::move(geometry), positions, skies, stars.get());
    } catch (const std::bad_alloc&) {
        outcome.status = NormalisationStatus::NotEnoughMemory;
    }
    return outcome;
}

} // namespace skyvane
