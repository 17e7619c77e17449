#include "processing/Calibration.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>

#include "image/FitsWriter.h"
#include "processing/ListFrameRun.h"

namespace skyvane {

namespace {

constexpr double HotSigmas = 5.0;
constexpr int HaloRows = 2; // the farthest neighbour of a hot pixel is two rows away

// The median of values (reordered); the mean of the two middle ones for an even count.
double Median(std::vector<double>& values)
{
    const std::size_t n = values.size();
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(values.begin(), middle, values.end());
    const double upper = *middle;
    if (n % 2 == 1)
        return upper;
    const double lower = *std::max_element(values.begin(), middle);
    return lower + (upper - lower) / 2.0;
}

// The value of ranks n / 2 and, for an even n, n / 2 - 1 of values counted in bins (bin k
// holding the value low + k * unit), as Median gives it: the mean of the two for an even n.
double MedianOfCounts(const std::vector<std::uint64_t>& counts, std::uint64_t n, double low, double unit)
{
    const std::uint64_t upperRank = n / 2;
    const std::uint64_t lowerRank = n % 2 == 1 ? upperRank : upperRank - 1;
    double lower = 0.0;
    std::uint64_t seen = 0;
    for (std::size_t k = 0; k < counts.size(); ++k) {
        const std::uint64_t before = seen;
        seen += counts[k];
        const double value = low + static_cast<double>(k) * unit;
        if (before <= lowerRank && lowerRank < seen)
            lower = value;
        if (before <= upperRank && upperRank < seen)
            return n % 2 == 1 ? value : lower + (value - lower) / 2.0;
    }
    return lower;
}

// For a frame whose finite values are whole numbers less than 2^22 apart (a dark of 16-bit
// integers): the median of those values and the median of their absolute deviations from
// it, the values Median finds, by counting them in two passes over the frame. False for any
// other frame, and for one without a finite value.
bool CountedMedians(const double* values, std::int64_t n, double& median, double& deviation)
{
    constexpr double MostApart = 4194304.0;     // 2^22
    constexpr double Largest = 1099511627776.0; // 2^40: every difference and sum below is exact
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    std::uint64_t count = 0;
    for (std::int64_t k = 0; k < n; ++k) {
        const double value = values[k];
        if (!std::isfinite(value))
            continue;
        low = value < low ? value : low;
        high = value > high ? value : high;
        ++count;
    }
    if (count == 0 || !(std::fabs(low) <= Largest && std::fabs(high) <= Largest && high - low <= MostApart) ||
        low != static_cast<double>(static_cast<std::int64_t>(low)))
        return false;
    const std::size_t bins = static_cast<std::size_t>(high - low) + 1;
    // Four sets of counts taken in turn, so that runs of equal values do not wait on one
    // counter; added up afterwards.
    std::vector<std::uint32_t> counts(4 * bins, 0);
    for (std::int64_t k = 0; k < n; ++k) {
        const double value = values[k];
        if (!std::isfinite(value))
            continue;
        const double offset = value - low;
        const auto whole = static_cast<std::int64_t>(offset);
        if (static_cast<double>(whole) != offset)
            return false;
        ++counts[static_cast<std::size_t>(k & 3) * bins + static_cast<std::size_t>(whole)];
    }
    std::vector<std::uint64_t> total(bins, 0);
    for (std::size_t b = 0; b < bins; ++b)
        total[b] = std::uint64_t{counts[b]} + counts[bins + b] + counts[2 * bins + b] + counts[3 * bins + b];
    median = MedianOfCounts(total, count, low, 1.0);
    // The deviations in halves: |2 v - 2 median| is a whole number for every v.
    const double twiceMedian = 2.0 * median;
    std::vector<std::uint64_t> deviations(2 * bins + 1, 0);
    for (std::size_t b = 0; b < bins; ++b)
        if (total[b] != 0)
            deviations[static_cast<std::size_t>(std::fabs(2.0 * (low + static_cast<double>(b)) - twiceMedian))] += total[b];
    deviation = MedianOfCounts(deviations, count, 0.0, 0.5);
    return true;
}

// A master (dark or flat) held whole: its values row after row, its cards' mosaic.
struct Master {
    std::unique_ptr<double[]> values;
    ImageSize size;
    std::optional<Mosaic> mosaic;
};

// Reads a master as loadFits reads an image (its steps and errors), into row-major values.
bool LoadMaster(const std::string& path, Master& master, LoadStatus& load)
{
    load = LoadStatus{};
    load.step = LoadStep::Size;
    if ((load.error = readFitsSize(path, load.size)) != FitsError::None)
        return false;
    if (load.size.planes != 1) { // a colour image: calibration is done on the mosaic
        load.error = FitsError::NotTwoDimensional;
        return false;
    }
    load.step = LoadStep::Data;
    const std::uint64_t bytes = GridBytes(load.size.width, load.size.height);
    if (bytes <= GridMemoryLimit())
        master.values.reset(new (std::nothrow) double[std::max<std::size_t>(1, static_cast<std::size_t>(bytes / sizeof(double)))]);
    if (!master.values) {
        load.error = FitsError::NotEnoughMemory;
        return false;
    }
    FitsImageReader reader;
    load.error = reader.open(path, load.size);
    if (load.error == FitsError::None) {
        (void)reader.readStoredDirectly(); // 16-bit masters: the same values, converted faster
        load.error = reader.readRows(0, load.size.height, master.values.get());
    }
    if (load.error != FitsError::None)
        return false;
    load.step = LoadStep::Headers;
    HeaderCards cards;
    if ((load.error = readFitsHeaderCards(path, cards)) != FitsError::None)
        return false;
    master.size = load.size;
    master.mosaic = MosaicOfCards(cards);
    return true;
}

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define SKYVANE_CALIBRATION_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define SKYVANE_CALIBRATION_CLONES
#endif

// CalibratedValue over count values in place, in a loop the compiler can run several
// values at a time (each value computed as CalibratedValue computes it).
SKYVANE_CALIBRATION_CLONES
void CalibrateValues(double* values, const double* dark, const double* flat, std::int64_t count, double zeroDivisionValue)
{
    if (flat == nullptr) {
        for (std::int64_t k = 0; k < count; ++k)
            values[k] = values[k] - dark[k];
        return;
    }
    for (std::int64_t k = 0; k < count; ++k) {
        const double divisor = flat[k];
        const double quotient = (values[k] - dark[k]) / divisor;
        values[k] = (divisor == 0.0 || divisor != divisor) ? zeroDivisionValue : quotient;
    }
}

// The calibrated rows of one frame, a band at a time, for its writer. Keeps the last rows
// it made, so that the rows a band shares with the next (the hot pixels' neighbours) are
// read and calibrated once.
class FrameRows {
public:
    FrameRows(FitsImageReader& reader, const CalibrationJob& job, const Master& dark, const Master* flat,
              const std::vector<std::int64_t>& hot, const std::optional<Mosaic>& mosaic)
        : reader_(reader), job_(job), dark_(dark), flat_(flat), hot_(hot), mosaic_(mosaic), width_(dark.size.width),
          height_(dark.size.height)
    {
    }

    bool rows(int firstRow, int rowCount, double* out)
    {
        const int low = std::max(0, firstRow - HaloRows);
        const int high = std::min(height_, firstRow + rowCount + HaloRows);
        if (!fill(low, high))
            return false;
        // In place: hot neighbours are left out, so a replaced value is never read again,
        // in this band or the next.
        ReplaceHotPixels(values_.data(), width_, first_, rows_, height_, firstRow, rowCount, hot_, mosaic_);
        const std::int64_t width = width_;
        const double* band = values_.data() + (firstRow - first_) * width;
        std::copy(band, band + rowCount * width, out);
        return true;
    }

    FitsError readError() const { return readError_; }

private:
    // Makes values_ hold the calibrated rows low .. high - 1.
    bool fill(int low, int high)
    {
        const std::int64_t width = width_;
        // Rows already made: those of the last band from low on.
        int kept = 0;
        if (rows_ > 0 && low >= first_ && low < first_ + rows_) {
            kept = std::min(first_ + rows_, high) - low;
            std::copy(values_.begin() + (low - first_) * width, values_.begin() + (low - first_ + kept) * width, values_.begin());
        }
        values_.resize(static_cast<std::size_t>((high - low) * width));
        first_ = low;
        rows_ = kept;
        const int fresh = high - low - kept;
        if (fresh > 0) {
            double* target = values_.data() + kept * width;
            if ((readError_ = reader_.readRows(low + kept, fresh, target)) != FitsError::None) {
                rows_ = 0;
                return false;
            }
            const std::int64_t start = (low + kept) * width;
            const std::int64_t count = fresh * width;
            CalibrateValues(target, dark_.values.get() + start, flat_ != nullptr ? flat_->values.get() + start : nullptr, count,
                            job_.zeroDivisionValue);
        }
        rows_ = high - low;
        return true;
    }

    FitsImageReader& reader_;
    const CalibrationJob& job_;
    const Master& dark_;
    const Master* flat_;
    const std::vector<std::int64_t>& hot_;
    const std::optional<Mosaic>& mosaic_;
    int width_;
    int height_;
    std::vector<double> values_;
    int first_ = 0;
    int rows_ = 0;
    FitsError readError_ = FitsError::None;
};

} // namespace

std::vector<std::int64_t> FindHotPixels(const double* values, int width, int height)
{
    const std::int64_t n = static_cast<std::int64_t>(width) * height;
    const auto finiteValues = [&] {
        std::vector<double> finite;
        finite.reserve(static_cast<std::size_t>(std::max<std::int64_t>(n, 0)));
        for (std::int64_t k = 0; k < n; ++k)
            if (std::isfinite(values[k]))
                finite.push_back(values[k]);
        return finite;
    };
    std::vector<std::int64_t> hot;
    // Whole numbers (a dark of 16-bit integers) are counted; other values selected.
    double median = 0.0;
    double deviation = 0.0;
    std::vector<double> finite;
    if (!CountedMedians(values, n, median, deviation)) {
        finite = finiteValues();
        if (finite.empty())
            return hot;
        median = Median(finite);
        for (double& value : finite)
            value = std::fabs(value - median);
        deviation = Median(finite);
    }
    double sigma = 1.4826 * deviation;
    if (!(sigma > 0.0)) {
        // The mean deviation, summed in the order in which selecting the two medians leaves
        // the deviations.
        finite = finiteValues();
        (void)Median(finite);
        for (double& value : finite)
            value = std::fabs(value - median);
        (void)Median(finite);
        double sum = 0.0;
        for (const double d : finite)
            sum += d;
        sigma = 1.2533 * (sum / static_cast<double>(finite.size()));
    }
    if (!(sigma > 0.0))
        return hot; // every value the same: nothing stands out
    const double limit = median + HotSigmas * sigma;
    for (std::int64_t k = 0; k < n; ++k)
        if (values[k] > limit)
            hot.push_back(k);
    return hot;
}

bool NormaliseFlat(double* values, int width, int height, bool mosaic)
{
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    std::int64_t counts[4] = {0, 0, 0, 0};
    for (int y = 0; y < height; ++y) {
        const double* row = values + static_cast<std::int64_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            if (!std::isfinite(row[x]))
                continue;
            const int site = mosaic ? Mosaic::site(x, y) : 0;
            sums[site] += row[x];
            ++counts[site];
        }
    }
    double means[4] = {0.0, 0.0, 0.0, 0.0};
    for (int site = 0; site < 4; ++site) {
        const bool present = mosaic ? ((site & 1) < width && (site >> 1) < height) : site == 0;
        if (!present)
            continue;
        means[site] = counts[site] > 0 ? sums[site] / static_cast<double>(counts[site]) : 0.0;
        if (!(means[site] > 0.0) || !std::isfinite(means[site]))
            return false;
    }
    for (int y = 0; y < height; ++y) {
        double* row = values + static_cast<std::int64_t>(y) * width;
        for (int x = 0; x < width; ++x)
            row[x] /= means[mosaic ? Mosaic::site(x, y) : 0];
    }
    return true;
}

void ReplaceHotPixels(double* values, int width, int valuesFirstRow, int valuesRows, int height, int firstRow, int rowCount,
                      const std::vector<std::int64_t>& hot, const std::optional<Mosaic>& mosaic)
{
    struct Offset {
        int dx, dy;
    };
    static constexpr Offset Grey[8] = {{-1, -1}, {0, -1}, {1, -1}, {-1, 0}, {1, 0}, {-1, 1}, {0, 1}, {1, 1}};
    static constexpr Offset Green[8] = {{-1, -1}, {1, -1}, {-1, 1}, {1, 1}, {-2, 0}, {2, 0}, {0, -2}, {0, 2}};
    static constexpr Offset RedBlue[8] = {{-2, -2}, {0, -2}, {2, -2}, {-2, 0}, {2, 0}, {-2, 2}, {0, 2}, {2, 2}};
    const std::int64_t w = width;
    const auto begin = std::lower_bound(hot.begin(), hot.end(), static_cast<std::int64_t>(firstRow) * w);
    const auto end = std::lower_bound(hot.begin(), hot.end(), static_cast<std::int64_t>(firstRow + rowCount) * w);
    // Hot neighbours are left out, so a replaced value is never read: each hot pixel is
    // replaced as soon as its median is known.
    std::vector<double> neighbours;
    for (auto it = begin; it != end; ++it) {
        const int x = static_cast<int>(*it % w);
        const int y = static_cast<int>(*it / w);
        const Offset* offsets = Grey;
        if (mosaic)
            offsets = mosaic->colourAt(x, y) == FilterColour::Green ? Green : RedBlue;
        neighbours.clear();
        for (int k = 0; k < 8; ++k) {
            const int nx = x + offsets[k].dx;
            const int ny = y + offsets[k].dy;
            if (nx < 0 || nx >= width || ny < 0 || ny >= height || ny < valuesFirstRow || ny >= valuesFirstRow + valuesRows)
                continue;
            const std::int64_t index = static_cast<std::int64_t>(ny) * w + nx;
            if (std::binary_search(hot.begin(), hot.end(), index))
                continue;
            const double value = values[(static_cast<std::int64_t>(ny) - valuesFirstRow) * w + nx];
            if (std::isfinite(value))
                neighbours.push_back(value);
        }
        if (neighbours.empty())
            continue;
        values[(static_cast<std::int64_t>(y) - valuesFirstRow) * w + x] = Median(neighbours);
    }
}

CalibrationResult RunCalibration(const CalibrationJob& job, ListArithmeticFeedback& feedback)
{
    using Kind = ListArithmeticNotice::Kind;
    CalibrationResult result;
    const std::size_t n = job.framePaths.size();
    result.frames = static_cast<int>(n);
    if (n == 0) {
        result.status = ListArithmeticStatus::NoFrame;
        return result;
    }

    // The masters first: a run that cannot use them writes nothing.
    Master dark;
    Master flat;
    const bool withFlat = !job.flatPath.empty();
    for (Master* master : {&dark, &flat}) {
        if (master == &flat && !withFlat)
            break;
        const std::string& path = master == &dark ? job.darkPath : job.flatPath;
        LoadStatus load;
        if (!LoadMaster(path, *master, load)) {
            ListArithmeticNotice notice = FrameNotice(Kind::OperandUnreadable, load.error, path);
            notice.load = load;
            feedback.notice(notice);
            result.status = load.error == FitsError::NotEnoughMemory ? ListArithmeticStatus::NotEnoughMemory
                                                                      : ListArithmeticStatus::OperandRefused;
            return result;
        }
    }
    if (withFlat && (!(flat.size == dark.size) || (dark.mosaic && !(flat.mosaic == dark.mosaic)))) {
        ListArithmeticNotice notice = FrameNotice(Kind::OperandsMismatch, FitsError::SizeMismatch, job.flatPath);
        notice.size = dark.size;
        feedback.notice(notice);
        result.status = ListArithmeticStatus::OperandRefused;
        return result;
    }
    if (withFlat && !NormaliseFlat(flat.values.get(), flat.size.width, flat.size.height, flat.mosaic.has_value())) {
        feedback.notice(FrameNotice(Kind::FlatUnusable, FitsError::None, job.flatPath));
        result.status = ListArithmeticStatus::OperandRefused;
        return result;
    }
    const std::vector<std::int64_t> hot = FindHotPixels(dark.values.get(), dark.size.width, dark.size.height);
    result.hotPixels = static_cast<std::int64_t>(hot.size());

    // Every frame's size and mosaic: frames that cannot be used are known before anything
    // is made.
    std::vector<FrameSlot> slots(n);
    std::vector<std::optional<Mosaic>> mosaics(n);
    bool usable = false;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string& path = job.framePaths[i];
        ImageSize size;
        FitsError error = readFitsSize(path, size);
        HeaderCards cards;
        if (error == FitsError::None && !(size == dark.size))
            error = FitsError::SizeMismatch;
        if (error == FitsError::None)
            error = readFitsHeaderCards(path, cards);
        if (error != FitsError::None) {
            slots[i] = UnusableFrame(error, path);
            continue;
        }
        mosaics[i] = MosaicOfCards(cards);
        const bool darkFits = !dark.mosaic || dark.mosaic == mosaics[i];
        const bool flatFits = !withFlat || flat.mosaic == mosaics[i];
        if (!darkFits || !flatFits) {
            slots[i].state = FrameSlot::State::LeftOut;
            slots[i].notice = FrameNotice(Kind::MosaicMismatch, FitsError::None, path);
            continue;
        }
        usable = true;
    }
    if (!usable) {
        TellNoUsableFrame(slots, job.framePaths, feedback, result.leftOut);
        result.status = ListArithmeticStatus::NoUsableFrame;
        return result;
    }

    ListOutput output;
    if (const auto status = BeginListOutput(output, job.outputParent, job.outputName, job.framePaths, feedback)) {
        result.status = *status;
        return result;
    }

    const std::function<FrameSlot(std::size_t)> process = [&](std::size_t i) {
        const std::string& path = job.framePaths[i];
        try {
            FitsImageReader reader;
            if (const FitsError error = reader.open(path, dark.size); error != FitsError::None)
                return error == FitsError::NotEnoughMemory ? NoMemoryForFrame(path, dark.size) : UnusableFrame(error, path);
            (void)reader.readStoredDirectly(); // 16-bit frames: the same values, converted faster
            HeaderCards cards;
            if (const FitsError error = readFitsHeaderCards(path, cards); error != FitsError::None)
                return UnusableFrame(error, path);
            FrameRows rows(reader, job, dark, withFlat ? &flat : nullptr, hot, mosaics[i]);
            const RowSource source = [&rows](int firstRow, int rowCount, double* out) { return rows.rows(firstRow, rowCount, out); };
            const FitsError written = output.writeFrame(i, std::move(cards), dark.size, source, job.history);
            return RowsWritten(written, rows.readError(), path, dark.size, output, i);
        } catch (const std::bad_alloc&) {
            return NoMemoryForFrame(path, dark.size);
        }
    };
    const FrameRunEnd end = RunFrames(std::move(slots), job.threads, process, feedback);

    result.status = EndListOutput(end, job.framePaths, output, feedback, result.leftOut);
    if (result.status == ListArithmeticStatus::Done)
        result.output = std::move(output);
    return result;
}

} // namespace skyvane
