#include "processing/Coaddition.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include <sys/resource.h>

#include "image/FitsReader.h"
#include "processing/Statistics.h"

namespace skyvane {

namespace {

// One frame of the combination. While frames stay open, the lock makes sure one thread at
// a time reads through the frame's file handle (the library is reentrant across handles,
// not within one).
struct Frame {
    std::string path;
    std::size_t position = 0; // among the frames given, from 0
    FitsImageReader reader;
    std::mutex lock;
};

// How many frames may stay open at once as files read directly (one descriptor each):
// the process's limit on open files less a reserve for everything else the program has
// open, or reads while the frames are checked (the library holds two per frame).
int OpenFileBudget()
{
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    constexpr rlim_t Reserve = 64;
    if (limit.rlim_cur == RLIM_INFINITY)
        return INT_MAX;
    return limit.rlim_cur > Reserve ? static_cast<int>(std::min<rlim_t>(limit.rlim_cur - Reserve, INT_MAX)) : 0;
}

// Opens a frame (2-D or colour, and the expected size and planes) and reads its last row
// (of its last plane), so that a file too short for its data is found before any of it is
// used. None when the frame is usable.
// A frame that qualifies is switched to direct reading (readStoredDirectly) and stays open
// when directOpen allows; any other stays open while keepOpen says so.
FitsError CheckFrame(Frame& frame, ImageSize size, std::vector<double>& row, bool keepOpen, bool directOpen)
{
    if (const FitsError error = frame.reader.open(frame.path, size); error != FitsError::None)
        return error;
    FitsError error = FitsError::None;
    if (size.width > 0 && size.height > 0) {
        row.resize(static_cast<std::size_t>(size.width));
        frame.reader.selectPlane(size.planes - 1);
        error = frame.reader.readRows(size.height - 1, 1, row.data());
        frame.reader.selectPlane(0);
    }
    const bool direct = error == FitsError::None && directOpen && frame.reader.readStoredDirectly();
    if (error != FitsError::None || (!direct && !keepOpen))
        frame.reader.close();
    return error;
}

CoaddNotice FrameNotice(CoaddNotice::Kind kind, FitsError error, const std::string& path)
{
    CoaddNotice notice;
    notice.kind = kind;
    notice.error = error;
    notice.path = path;
    return notice;
}

struct BandOutcome {
    std::vector<int> failedFrames; // indices into the frame list, ascending
    bool outOfMemory = false;
    bool cancelled = false;
};

// What the calling thread tells and asks while the bands are combined: the fraction of the
// run done before them and the share of the run they take, and through feedback the
// progress and the wish to stop.
struct BandReport {
    CoaddFeedback& feedback;
    double doneBefore = 0.0;
    double share = 1.0;
};

// The share of a run that checking the frames takes: opening a frame costs about as much
// as reading a few rows, and the check reads one row of every frame, the bands all rows.
double CheckShare(int height)
{
    constexpr double OpenRows = 16.0;
    return (1.0 + OpenRows) / (1.0 + OpenRows + std::max(height, 1));
}

std::string RowsText(int firstRow, int bandRows, int height)
{
    return "Combining rows " + std::to_string(firstRow + 1) + " to " + std::to_string(firstRow + bandRows) + " of " + std::to_string(height);
}

// Writes a band's combined values (rows x width, row after row) into the columns of the
// result, eight columns at a time, so that each column is written contiguously and each
// row of values is read one cache line at a time.
void StoreBand(const double* values, int firstRow, int bandRows, int width, ImageGrid& result)
{
    for (int x0 = 0; x0 < width; x0 += 8) {
        const int x1 = std::min(width, x0 + 8);
        for (int r = 0; r < bandRows; ++r) {
            const double* source = values + static_cast<std::size_t>(r) * static_cast<std::size_t>(width);
            for (int x = x0; x < x1; ++x)
                result[x][firstRow + r] = source[x];
        }
    }
}

// Runs work(worker, caller) for every worker of the pool: the first on the calling thread
// (caller true), the others on threads of their own (fewer when threads cannot be had; the
// work still all gets done). While those finish, poll() runs on the calling thread every
// 10 ms, so that progress is told and a wish to stop is seen meanwhile.
template <typename Pool, typename Work, typename Poll>
void RunWorkers(Pool& pool, const Work& work, const Poll& poll)
{
    std::vector<std::thread> threads;
    std::mutex helpersLock;
    std::condition_variable helperDone;
    int helpersWorking = 0;
    for (std::size_t i = 1; i < pool.size(); ++i) {
        try {
            threads.emplace_back([&, i] {
                work(*pool[i], false);
                std::lock_guard<std::mutex> guard(helpersLock);
                --helpersWorking;
                helperDone.notify_one();
            });
            std::lock_guard<std::mutex> guard(helpersLock);
            ++helpersWorking;
        } catch (const std::system_error&) {
            break;
        }
    }
    work(*pool[0], true);
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(helpersLock);
            if (helperDone.wait_for(guard, std::chrono::milliseconds(10), [&] { return helpersWorking <= 0; }))
                break;
        }
        poll();
    }
    for (std::thread& thread : threads)
        thread.join();
}

// What is done to the frames' values besides the method: normalisation as they are read,
// weights in the combination.
struct BandAdjustment {
    const FrameNormaliser* normaliser = nullptr; // none: the values as they are read
    std::vector<double> weights;                 // one per frame of the run; empty: none
    bool active() const { return normaliser != nullptr || !weights.empty(); }
};

// The buffers of one worker thread.
struct Worker {
    Worker(const CoaddParameters& parameters, int n, const std::vector<double>& weights) : combiner(parameters, n, weights) {}
    BandCombiner combiner;
    std::vector<double> band;   // n frames x frameStride values
    std::vector<double> values; // rows x width combined values, row after row
    std::vector<float> floats;  // one frame's part of a band, read as floats
    std::vector<std::uint32_t> storedFloats; // or as the file stores them
};

// Reads every frame's plane `plane` in bands of rows and combines each band into result
// (a grid of one plane of the frames' size). Bands are independent, so the workers take
// them in turn; each pixel is computed by exactly one worker with the same arithmetic, so
// the result does not depend on the number of workers.
BandOutcome CombineBands(std::vector<std::unique_ptr<Frame>>& frames, bool framesOpen, ImageSize size, int plane, const CoaddParameters& parameters, const BandAdjustment& adjust, const CoaddTuning& tuning, BandReport report, ImageGrid& result)
{
    BandOutcome outcome;
    const int n = static_cast<int>(frames.size());
    const int width = size.width;
    const int height = size.height;
    if (width <= 0 || height <= 0)
        return outcome;
    for (const std::unique_ptr<Frame>& frame : frames)
        frame->reader.selectPlane(plane);

    int workers = tuning.threads;
    if (workers <= 0)
        workers = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
    const std::size_t rowBytes = static_cast<std::size_t>(n) * static_cast<std::size_t>(width) * sizeof(double);
    const std::size_t perWorker = tuning.bandBytes / static_cast<std::size_t>(workers);
    const int rows = static_cast<int>(std::clamp<std::size_t>(perWorker / rowBytes, 1, static_cast<std::size_t>(height)));
    const int bands = (height + rows - 1) / rows;
    workers = std::min(workers, bands);
    // Frame slots a whole number of cache lines apart, but not a multiple of 4 KiB, so that
    // the same pixel of all frames does not compete for one set of the first-level cache.
    std::size_t frameStride = (static_cast<std::size_t>(rows) * static_cast<std::size_t>(width) + 7) & ~std::size_t{7};
    if (frameStride % 512 == 0)
        frameStride += 8;

    // Frames kept open that store floats as their values are read as floats and made
    // doubles as they are normalised, in one pass (the same doubles the library gives):
    // straight from the file where they can be (big-endian, turned as they are converted),
    // otherwise through the library.
    enum FloatReading : char { NoFloats, LibraryFloats, StoredFloats };
    std::vector<char> readFloats(static_cast<std::size_t>(n), NoFloats);
    bool anyFloats = false;
    bool anyStoredFloats = false;
    if (adjust.normaliser != nullptr && framesOpen) {
        for (int k = 0; k < n; ++k) {
            FitsImageReader& reader = frames[static_cast<std::size_t>(k)]->reader;
            char& reading = readFloats[static_cast<std::size_t>(k)];
            if (reader.readsDirectly())
                continue;
            if (reader.readFloatsDirectly())
                reading = StoredFloats;
            else if (reader.readsFloats())
                reading = LibraryFloats;
            anyFloats = anyFloats || reading == LibraryFloats;
            anyStoredFloats = anyStoredFloats || reading == StoredFloats;
        }
    }

    std::vector<std::unique_ptr<Worker>> pool;
    try {
        for (int i = 0; i < workers; ++i) {
            auto worker = std::make_unique<Worker>(parameters, n, adjust.weights);
            worker->band.resize(frameStride * static_cast<std::size_t>(n));
            worker->values.resize(static_cast<std::size_t>(rows) * static_cast<std::size_t>(width));
            if (anyFloats)
                worker->floats.resize(static_cast<std::size_t>(rows) * static_cast<std::size_t>(width));
            if (anyStoredFloats)
                worker->storedFloats.resize(static_cast<std::size_t>(rows) * static_cast<std::size_t>(width));
            pool.push_back(std::move(worker));
        }
    } catch (const std::bad_alloc&) {
        if (pool.empty()) {
            outcome.outOfMemory = true;
            return outcome;
        }
    }

    constexpr std::size_t CombinePieceValues = std::size_t{1} << 18;
    const std::size_t piece = std::max<std::size_t>(64, CombinePieceValues / static_cast<std::size_t>(n) / 64 * 64);
    std::atomic<int> nextBand{0};
    std::atomic<int> bandsDone{0};
    std::atomic<bool> stop{false};
    std::mutex failureLock;

    // Only the calling thread reports and asks whether to stop: between its bands, between
    // the frames of its band, and while it waits for the other workers. They look at stop
    // as often.
    double lastFraction = -1.0;
    const auto reportFrame = [&](const std::string& text, int k) {
        if (report.feedback.cancelRequested()) {
            outcome.cancelled = true;
            stop.store(true);
            return false;
        }
        const double done = static_cast<double>(bandsDone.load(std::memory_order_relaxed)) * n + k;
        const double fraction = report.doneBefore + report.share * done / (static_cast<double>(bands) * n);
        if (k == 0 || fraction - lastFraction >= 0.001) {
            report.feedback.progress(text, fraction);
            lastFraction = fraction;
        }
        return true;
    };

    auto work = [&](Worker& worker, bool caller) {
        for (;;) {
            if (stop.load(std::memory_order_relaxed))
                return;
            const int b = nextBand.fetch_add(1);
            if (b >= bands)
                return;
            const int firstRow = b * rows;
            const int bandRows = std::min(rows, height - firstRow);
            const std::string text = caller ? RowsText(firstRow, bandRows, height) : std::string();
            for (int k = 0; k < n; ++k) {
                if (caller ? !reportFrame(text, k) : stop.load(std::memory_order_relaxed))
                    return;
                double* slot = worker.band.data() + static_cast<std::size_t>(k) * frameStride;
                Frame& frame = *frames[static_cast<std::size_t>(k)];
                FitsError error = FitsError::None;
                const std::size_t values = static_cast<std::size_t>(bandRows) * static_cast<std::size_t>(width);
                if (readFloats[static_cast<std::size_t>(k)] == StoredFloats) {
                    error = frame.reader.readStoredFloatRows(firstRow, bandRows, worker.storedFloats.data()); // no shared state
                    if (error == FitsError::None) {
                        adjust.normaliser->convertStoredFloats(frame.position, firstRow, 0, values, worker.storedFloats.data(), slot);
                        continue;
                    }
                } else if (readFloats[static_cast<std::size_t>(k)] == LibraryFloats) {
                    {
                        std::lock_guard<std::mutex> guard(frame.lock);
                        error = frame.reader.readFloatRows(firstRow, bandRows, worker.floats.data());
                    }
                    if (error == FitsError::None) {
                        adjust.normaliser->convertFloats(frame.position, firstRow, 0, values, worker.floats.data(), slot);
                        continue;
                    }
                } else if (frame.reader.readsDirectly()) {
                    error = frame.reader.readRows(firstRow, bandRows, slot); // no shared state
                } else if (framesOpen) {
                    std::lock_guard<std::mutex> guard(frame.lock);
                    error = frame.reader.readRows(firstRow, bandRows, slot);
                } else {
                    // Checked before; a failure now is told by the caller.
                    FitsImageReader reader;
                    error = reader.open(frame.path, size);
                    reader.selectPlane(plane);
                    if (error == FitsError::None)
                        error = reader.readRows(firstRow, bandRows, slot);
                }
                if (error != FitsError::None) {
                    std::lock_guard<std::mutex> guard(failureLock);
                    outcome.failedFrames.push_back(k);
                    stop.store(true);
                    return;
                }
                if (adjust.normaliser != nullptr)
                    adjust.normaliser->apply(frame.position, firstRow, 0, values, slot);
            }
            const std::size_t count = static_cast<std::size_t>(bandRows) * static_cast<std::size_t>(width);
            // In pieces of about CombinePieceValues values, so that a wish to stop is seen
            // soon even when one band is much work (sigma clipping with many rounds); each
            // pixel is computed alone, so the pieces do not change a result.
            for (std::size_t p0 = 0; p0 < count; p0 += piece) {
                if (caller ? report.feedback.cancelRequested() : stop.load(std::memory_order_relaxed)) {
                    if (caller) {
                        outcome.cancelled = true;
                        stop.store(true);
                    }
                    return;
                }
                worker.combiner.combine(worker.band.data() + p0, frameStride, std::min(piece, count - p0), worker.values.data() + p0);
            }
            StoreBand(worker.values.data(), firstRow, bandRows, width, result);
            bandsDone.fetch_add(1, std::memory_order_relaxed);
        }
    };

    RunWorkers(pool, work, [&] {
        const int latest = std::clamp(nextBand.load(), 1, bands) - 1; // the band taken last
        if (!stop.load())
            (void)reportFrame(RowsText(latest * rows, std::min(rows, height - latest * rows), height), 0);
    });

    std::sort(outcome.failedFrames.begin(), outcome.failedFrames.end());
    outcome.failedFrames.erase(std::unique(outcome.failedFrames.begin(), outcome.failedFrames.end()), outcome.failedFrames.end());
    return outcome;
}

// The buffers of one worker thread of CombineStoredBands.
struct StoredWorker {
    StoredWorker(const CoaddParameters& parameters, int n, const std::vector<double>& weights, double scale, double zero)
        : combiner(parameters, n, weights), median(n, scale, zero)
    {
    }
    BandCombiner combiner;
    StoredMedianCombiner median;
    std::vector<std::uint16_t> stored; // n frames x frameValues, as the files hold them
    std::vector<double> converted;     // n frames x chunk values
    std::vector<double> values;        // rows x width combined values
};

// CombineBands for frames that are all read directly (readsDirectly: stored 16-bit
// values). Each frame's part of a band is fetched with one read of 16 to 64 KiB, and the
// stored values are converted to doubles a small chunk of pixels at a time, right before
// the chunk is combined, so that the values the combiner reads are still in the
// first-level cache and the band in memory is a quarter of its doubles; the median of
// frames that share one scaling is selected on the stored integers themselves. The
// values, their order and the per-pixel arithmetic are those of CombineBands.
BandOutcome CombineStoredBands(std::vector<std::unique_ptr<Frame>>& frames, ImageSize size, int plane, const CoaddParameters& parameters, const BandAdjustment& adjust, const CoaddTuning& tuning, BandReport report, ImageGrid& result)
{
    BandOutcome outcome;
    const int n = static_cast<int>(frames.size());
    const int width = size.width;
    const int height = size.height;
    if (width <= 0 || height <= 0 || n <= 0)
        return outcome;
    for (const std::unique_ptr<Frame>& frame : frames)
        frame->reader.selectPlane(plane);

    int workers = tuning.threads;
    if (workers <= 0)
        workers = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
    // Rows per band: each frame's part is read in one call of 16 to 64 KiB (the call costs
    // little next to the copy), within a quarter of the band memory (the stored values take
    // a quarter of the doubles' room; a smaller band stays in the shared cache while it is
    // combined).
    const std::size_t rowStored = static_cast<std::size_t>(width) * sizeof(std::uint16_t);
    const std::size_t perWorker = tuning.bandBytes / 4 / static_cast<std::size_t>(workers);
    const std::size_t fewest = std::max<std::size_t>(1, ((std::size_t{16} << 10) + rowStored - 1) / rowStored);
    const std::size_t most = std::max<std::size_t>(fewest, ((std::size_t{64} << 10) + rowStored - 1) / rowStored);
    const std::size_t byMemory = perWorker / (static_cast<std::size_t>(n) * rowStored);
    const int rows = static_cast<int>(std::min<std::size_t>(std::clamp(byMemory, fewest, most), static_cast<std::size_t>(height)));
    const int bands = (height + rows - 1) / rows;
    // Workers take runs of bands that cover whole 4 KiB pages of the result's columns, so
    // that two workers never write (and fault in) the same page at once.
    const int bandsPerRun = std::max(1, (512 + rows - 1) / rows);
    const int runs = (bands + bandsPerRun - 1) / bandsPerRun;
    workers = std::min(workers, runs);
    const std::size_t frameValues = static_cast<std::size_t>(rows) * static_cast<std::size_t>(width);
    const std::size_t chunk = n <= 32 ? 128 : 64;
    const std::size_t checkEvery = std::max<std::size_t>(1, (std::size_t{1} << 18) / static_cast<std::size_t>(n) / chunk) * chunk;

    const FitsImageReader& first = frames.front()->reader;
    const bool storedMedian = parameters.method == CoaddMethod::Median && n <= INT16_MAX && !adjust.active() &&
                              std::all_of(frames.begin(), frames.end(), [&first](const std::unique_ptr<Frame>& f) {
                                  return f->reader.storedScale() == first.storedScale() && f->reader.storedZero() == first.storedZero();
                              });

    std::vector<std::unique_ptr<StoredWorker>> pool;
    try {
        for (int i = 0; i < workers; ++i) {
            auto worker = std::make_unique<StoredWorker>(parameters, n, adjust.weights, first.storedScale(), first.storedZero());
            worker->stored.resize(frameValues * static_cast<std::size_t>(n));
            worker->converted.resize(chunk * static_cast<std::size_t>(n));
            worker->values.resize(frameValues);
            pool.push_back(std::move(worker));
        }
    } catch (const std::bad_alloc&) {
        if (pool.empty()) {
            outcome.outOfMemory = true;
            return outcome;
        }
    }

    std::atomic<int> nextRun{0};
    std::atomic<int> bandsDone{0};
    std::atomic<bool> stop{false};
    std::mutex failureLock;

    // Only the calling thread reports and asks whether to stop, before each of its bands
    // (they are small) and while it waits for the other workers; they look at stop as often.
    double lastFraction = -1.0;
    const auto reportBand = [&](int firstRow, int bandRows) {
        if (report.feedback.cancelRequested()) {
            outcome.cancelled = true;
            stop.store(true);
            return false;
        }
        const double fraction = report.doneBefore + report.share * bandsDone.load(std::memory_order_relaxed) / bands;
        if (fraction - lastFraction >= 0.001) {
            report.feedback.progress(RowsText(firstRow, bandRows, height), fraction);
            lastFraction = fraction;
        }
        return true;
    };

    auto work = [&](StoredWorker& worker, bool caller) {
        for (;;) {
            const int run = nextRun.fetch_add(1);
            if (run >= runs)
                return;
            for (int b = run * bandsPerRun; b < std::min(bands, (run + 1) * bandsPerRun); ++b) {
                const int firstRow = b * rows;
                const int bandRows = std::min(rows, height - firstRow);
                if (caller ? !reportBand(firstRow, bandRows) : stop.load(std::memory_order_relaxed))
                    return;
                // Read: every frame's part of the band.
                for (int k = 0; k < n; ++k) {
                    std::uint16_t* slot = worker.stored.data() + static_cast<std::size_t>(k) * frameValues;
                    if (frames[static_cast<std::size_t>(k)]->reader.readStoredRows(firstRow, bandRows, slot) != FitsError::None) {
                        std::lock_guard<std::mutex> guard(failureLock);
                        outcome.failedFrames.push_back(k);
                        stop.store(true);
                        return;
                    }
                }
                // Combine the band.
                const std::size_t count = static_cast<std::size_t>(bandRows) * static_cast<std::size_t>(width);
                if (storedMedian) {
                    worker.median.combine(worker.stored.data(), frameValues, count, worker.values.data());
                } else {
                    for (std::size_t p0 = 0; p0 < count; p0 += chunk) {
                        // A wish to stop is looked for every checkEvery values, so that it is
                        // seen soon even when a band is much work (sigma clipping with many
                        // rounds); each pixel is computed alone, so this changes no result.
                        if (p0 % checkEvery == 0 && p0 > 0 && (caller ? report.feedback.cancelRequested() : stop.load(std::memory_order_relaxed))) {
                            if (caller) {
                                outcome.cancelled = true;
                                stop.store(true);
                            }
                            return;
                        }
                        const std::size_t c = std::min(chunk, count - p0);
                        for (int k = 0; k < n; ++k) {
                            const FitsImageReader& reader = frames[static_cast<std::size_t>(k)]->reader;
                            const std::uint16_t* stored = worker.stored.data() + static_cast<std::size_t>(k) * frameValues + p0;
                            double* converted = worker.converted.data() + static_cast<std::size_t>(k) * chunk;
                            if (adjust.normaliser != nullptr)
                                adjust.normaliser->convertStored16(frames[static_cast<std::size_t>(k)]->position, firstRow, p0, c, stored,
                                                                   reader.storedScale(), reader.storedZero(), converted);
                            else
                                ConvertStored16(stored, c, reader.storedScale(), reader.storedZero(), converted);
                        }
                        worker.combiner.combine(worker.converted.data(), chunk, c, worker.values.data() + p0);
                    }
                }
                StoreBand(worker.values.data(), firstRow, bandRows, width, result);
                bandsDone.fetch_add(1, std::memory_order_relaxed);
            }
        }
    };

    RunWorkers(pool, work, [&] {
        const int latest = std::clamp(nextRun.load() * bandsPerRun, 1, bands) - 1; // about the band taken last
        if (!stop.load())
            (void)reportBand(latest * rows, std::min(rows, height - latest * rows));
    });

    std::sort(outcome.failedFrames.begin(), outcome.failedFrames.end());
    outcome.failedFrames.erase(std::unique(outcome.failedFrames.begin(), outcome.failedFrames.end()), outcome.failedFrames.end());
    return outcome;
}

} // namespace

CoaddResult CombineFrames(const std::vector<std::string>& framePaths, const CoaddOptions& options, CoaddFeedback& feedback)
{
    const std::vector<std::string>& paths = framePaths;
    const CoaddParameters& parameters = options.parameters;
    const CoaddTuning& tuning = options.tuning;
    CoaddResult result;
    result.frames = static_cast<int>(paths.size());
    if (paths.empty()) {
        result.status = CoaddStatus::NoFrame;
        return result;
    }

    // The first frame fixes the size and the header cards of the result; without it there
    // is nothing to combine into.
    ImageSize size;
    if (const FitsError error = readFitsSize(paths.front(), size); error != FitsError::None) {
        feedback.notice(FrameNotice(CoaddNotice::Kind::FirstFrameSize, error, paths.front()));
        result.status = CoaddStatus::FirstFrameUnreadable;
        return result;
    }
    HeaderCards cards;
    if (const FitsError error = readFitsHeaderCards(paths.front(), cards); error != FitsError::None) {
        feedback.notice(FrameNotice(CoaddNotice::Kind::FirstFrameHeaders, error, paths.front()));
        result.status = CoaddStatus::FirstFrameUnreadable;
        return result;
    }
    const auto notEnoughMemory = [&] {
        CoaddNotice notice;
        notice.kind = CoaddNotice::Kind::NotEnoughMemory;
        notice.size = size;
        feedback.notice(notice);
        result.status = CoaddStatus::NotEnoughMemory;
        return std::move(result);
    };

    // Every frame is checked before any is used: a file that is not 2-D, has another size
    // or is too short for its data is told and left out, so N counts only frames that are
    // combined whole.
    const bool keepOpen = static_cast<int>(paths.size()) <= tuning.maxOpenFrames;
    // Frames read directly hold one file each; the budget keeps room for the two files of
    // the frame being checked.
    const int directBudget = OpenFileBudget() - 2;
    int directOpen = 0;
    std::vector<std::unique_ptr<Frame>> frames;
    std::vector<std::size_t> leftOut; // positions of the frames left out
    std::vector<double> row;
    const double checkShare = CheckShare(size.height);
    const auto cancelled = [&] {
        result.status = CoaddStatus::Cancelled;
        return std::move(result);
    };
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (feedback.cancelRequested())
            return cancelled();
        feedback.progress("Reading frame " + std::to_string(i + 1) + " of " + std::to_string(paths.size()),
                          checkShare * static_cast<double>(i) / static_cast<double>(paths.size()));
        auto frame = std::make_unique<Frame>();
        frame->path = paths[i];
        frame->position = i;
        const FitsError error = CheckFrame(*frame, size, row, keepOpen, tuning.readDirectly && directOpen < directBudget);
        if (frame->reader.readsDirectly())
            ++directOpen;
        if (error != FitsError::None) {
            feedback.notice(FrameNotice(CoaddNotice::Kind::FrameUnusable, error, paths[i]));
            if (i == 0) {
                result.status = CoaddStatus::FirstFrameUnreadable;
                return result;
            }
            leftOut.push_back(i);
            continue;
        }
        frames.push_back(std::move(frame));
    }

    // Normalisation and weights: every frame measured first.
    FrameNormaliser normaliser;
    double doneBefore = checkShare;
    if (!options.choice.plain() && !frames.empty()) {
        constexpr double MeasureShare = 0.1;
        std::vector<std::string> usable;
        std::vector<std::size_t> positions;
        for (const std::unique_ptr<Frame>& frame : frames) {
            usable.push_back(frame->path);
            positions.push_back(frame->position);
        }
        const std::size_t count = frames.size();
        const NormalisationOutcome prepared = PrepareNormalisation(
            usable, positions, size, options.choice, tuning.threads,
            [&](std::size_t done) {
                if (feedback.cancelRequested())
                    return false;
                feedback.progress("Measuring the sky of frame " + std::to_string(std::min(done + 1, count)) + " of " + std::to_string(count),
                                  checkShare + MeasureShare * static_cast<double>(done) / static_cast<double>(count));
                return true;
            },
            normaliser);
        switch (prepared.status) {
        case NormalisationStatus::Done:
            break;
        case NormalisationStatus::Cancelled:
            return cancelled();
        case NormalisationStatus::NotEnoughMemory:
            return notEnoughMemory();
        case NormalisationStatus::ReferenceUnreadable:
            feedback.notice(FrameNotice(CoaddNotice::Kind::FrameUnusable, prepared.error, paths.front()));
            result.status = CoaddStatus::FirstFrameUnreadable;
            return result;
        }
        CoaddNotice unscaled;
        unscaled.kind = CoaddNotice::Kind::ScaleUnknown;
        for (auto it = frames.begin(); it != frames.end();) {
            const std::size_t position = (*it)->position;
            if (std::binary_search(prepared.failed.begin(), prepared.failed.end(), position)) {
                feedback.notice(FrameNotice(CoaddNotice::Kind::FrameUnusable, FitsError::Unreadable, (*it)->path));
                leftOut.push_back(position);
                it = frames.erase(it);
                continue;
            }
            if (!normaliser.figures(position).scaleKnown)
                unscaled.frames.push_back((*it)->path);
            ++it;
        }
        if (!unscaled.frames.empty())
            feedback.notice(unscaled);
        doneBefore = checkShare + MeasureShare;
    }

    bool headerNoticeTold = false;
    for (;;) {
        if (static_cast<int>(frames.size()) < MinimumFrameCount(parameters.method)) {
            result.status = CoaddStatus::TooFewImages;
            return result;
        }
        if (options.headerNotice && !headerNoticeTold) {
            CoaddNotice notice;
            notice.kind = CoaddNotice::Kind::HeadersOfFirstFrame;
            feedback.notice(notice);
            headerNoticeTold = true;
        }

        ImageGrid combined;
        if (!combined.tryResize(size.width, size.height, size.planes))
            return notEnoughMemory();
        BandAdjustment adjust;
        if (!options.choice.plain()) {
            std::vector<std::size_t> positions;
            for (const std::unique_ptr<Frame>& frame : frames)
                positions.push_back(frame->position);
            if (options.choice.normalisation != Normalisation::None)
                adjust.normaliser = &normaliser;
            adjust.weights = normaliser.weights(positions);
        }
        const bool allDirect = std::all_of(frames.begin(), frames.end(), [](const std::unique_ptr<Frame>& f) { return f->reader.readsDirectly(); });
        // Plane by plane (a grey image has one): each plane of the result is the frames'
        // same plane combined exactly as grey frames are, with the same adjustment.
        BandOutcome outcome;
        for (int p = 0; p < size.planes; ++p) {
            const BandReport report{feedback, doneBefore + (1.0 - doneBefore) * p / size.planes, (1.0 - doneBefore) / size.planes};
            ImageGrid plane = combined.planeView(p);
            outcome = allDirect ? CombineStoredBands(frames, size, p, parameters, adjust, tuning, report, plane)
                                : CombineBands(frames, keepOpen, size, p, parameters, adjust, tuning, report, plane);
            if (outcome.outOfMemory || outcome.cancelled || !outcome.failedFrames.empty())
                break;
        }
        if (outcome.outOfMemory)
            return notEnoughMemory();
        // A wish to stop that came as the last band was done still stops the run: the user
        // was told nothing had been made yet.
        if (outcome.cancelled || feedback.cancelRequested())
            return cancelled();
        if (outcome.failedFrames.empty()) {
            std::sort(leftOut.begin(), leftOut.end());
            for (std::size_t position : leftOut)
                result.leftOut.push_back(paths[position]);
            for (std::size_t k = 0; k < frames.size(); ++k) {
                result.combined.push_back(frames[k]->path);
                if (options.choice.plain())
                    continue;
                FrameFigures figures = normaliser.figures(frames[k]->position);
                figures.weight = k < adjust.weights.size() ? adjust.weights[k] : 1.0;
                result.figures.push_back(figures);
            }
            result.grid.swap(combined);
            result.cards = std::move(cards);
            result.status = CoaddStatus::Done;
            return result;
        }

        // A frame failed part-way: it is told and the combination starts again without it,
        // so that no frame is ever half used.
        for (int f : outcome.failedFrames)
            feedback.notice(FrameNotice(CoaddNotice::Kind::FrameUnusable, FitsError::Unreadable, frames[static_cast<std::size_t>(f)]->path));
        if (outcome.failedFrames.front() == 0) {
            result.status = CoaddStatus::FirstFrameUnreadable;
            return result;
        }
        for (auto it = outcome.failedFrames.rbegin(); it != outcome.failedFrames.rend(); ++it) {
            leftOut.push_back(frames[static_cast<std::size_t>(*it)]->position);
            frames.erase(frames.begin() + *it);
        }
    }
}

double MedianPixel(const double* v, int n, double* scratch)
{
    std::copy(v, v + n, scratch);
    return medianOf(scratch, n);
}

double MeanPixel(const double* v, int n)
{
    double a = 0.0;
    for (int k = 0; k < n; ++k)
        a = v[k] + a;
    return a / n;
}

namespace {

// Min-max rejection whose plain sum did not stay finite although no value is NaN: an
// infinite value, or finite values past the range of doubles. The sum is taken again
// without the extremes, in frame order, leaving out the first minimum and the first
// maximum (of values all equal, the first two), so that an infinite extreme never enters
// it.
double MinMaxRejectionWithoutExtremes(const double* v, int n, int low, int high)
{
    if (low == high)
        high = low == 0 ? 1 : 0;
    double a = 0.0;
    for (int k = 0; k < n; ++k) {
        if (k != low && k != high)
            a = v[k] + a;
    }
    return a / (n - 2);
}

// Sigma clipping of values some of which are infinite. An infinite value stands beyond
// every clipping range: it is rejected before the first round, and the rounds run on the
// finite values as SigmaClippingPixel runs them on all (a rejected value adds nothing to
// a sum, where the weight 0 would make inf x 0 = NaN). So the result is the one of the
// finite values alone. With no finite value at all, the plain mean of the values.
double SigmaClippingOfFiniteValues(const double* v, int n, double kappa, int iterations, std::uint8_t* weights)
{
    int m = 0;
    for (int k = 0; k < n; ++k) {
        weights[k] = std::isinf(v[k]) ? 0 : 1;
        m += weights[k];
    }
    if (m == 0)
        return MeanPixel(v, n);
    double first = 0.0;
    for (int it = 0; it < iterations; ++it) {
        double sum = 0.0;
        for (int k = 0; k < n; ++k) {
            if (weights[k] != 0)
                sum = v[k] + sum;
        }
        const double mean = sum / m;
        if (it == 0)
            first = mean;
        double squares = 0.0;
        for (int k = 0; k < n; ++k) {
            if (weights[k] != 0)
                squares = (v[k] - mean) * (v[k] - mean) + squares;
        }
        const double sigma = std::sqrt(squares / m);
        for (int k = 0; k < n; ++k) {
            if (std::fabs(v[k] - mean) > kappa * sigma)
                weights[k] = 0;
        }
        m = 0;
        for (int k = 0; k < n; ++k)
            m += weights[k];
    }
    if (m == 0)
        return first;
    double a = 0.0;
    for (int k = 0; k < n; ++k) {
        if (weights[k] != 0)
            a = v[k] + a;
    }
    return a / m;
}

} // namespace

double MinMaxRejectionPixel(const double* v, int n)
{
    double a = v[0];
    double lo = v[0];
    double hi = v[0];
    int low = 0;
    int high = 0;
    for (int k = 1; k < n; ++k) {
        a = v[k] + a;
        if (v[k] > hi) {
            hi = v[k];
            high = k;
        }
        if (v[k] < lo) {
            lo = v[k];
            low = k;
        }
    }
    a = a - lo - hi;
    const double result = a / (n - 2);
    if (std::isfinite(result))
        return result;
    for (int k = 0; k < n; ++k) {
        if (std::isnan(v[k]))
            return result; // NaN in, NaN out
    }
    return MinMaxRejectionWithoutExtremes(v, n, low, high);
}

double SigmaClippingPixel(const double* v, int n, double kappa, int iterations, std::uint8_t* weights)
{
    if (iterations > 0) {
        for (int k = 0; k < n; ++k) {
            if (std::isinf(v[k]))
                return SigmaClippingOfFiniteValues(v, n, kappa, iterations, weights);
        }
    }
    for (int k = 0; k < n; ++k)
        weights[k] = 1;
    int m = n;
    double first = 0.0;
    for (int it = 0; it < iterations; ++it) {
        double sum = 0.0;
        for (int k = 0; k < n; ++k)
            sum = weights[k] * v[k] + sum;
        const double mean = sum / m;
        if (it == 0)
            first = mean;
        double squares = 0.0;
        for (int k = 0; k < n; ++k)
            squares = weights[k] * ((v[k] - mean) * (v[k] - mean)) + squares;
        const double sigma = std::sqrt(squares / m);
        for (int k = 0; k < n; ++k) {
            if (std::fabs(v[k] - mean) > kappa * sigma)
                weights[k] = 0;
        }
        m = 0;
        for (int k = 0; k < n; ++k)
            m += weights[k];
    }
    if (m == 0)
        return first;
    double a = 0.0;
    for (int k = 0; k < n; ++k)
        a = weights[k] * v[k] + a;
    return a / m;
}

} // namespace skyvane
