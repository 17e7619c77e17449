#include "processing/ListDemosaic.h"

#include <mutex>
#include <new>
#include <vector>

#include "image/FitsWriter.h"
#include "processing/Demosaic.h"
#include "processing/ListFrameRun.h"

namespace skyvane {

namespace {

// A frame and its three planes: two workers keep the memory of a run within a few frames.
constexpr int DefaultWorkers = 2;

} // namespace

ListDemosaicResult RunListDemosaic(const ListDemosaicJob& job, ListArithmeticFeedback& feedback)
{
    ListDemosaicResult result;
    const std::size_t n = job.framePaths.size();
    result.frames = static_cast<int>(n);
    if (n == 0) {
        result.status = ListArithmeticStatus::NoFrame;
        return result;
    }

    // Every frame's size and mosaic, before anything is made.
    std::vector<FrameSlot> slots(n);
    std::vector<Mosaic> mosaics(n);
    bool usable = false;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string& path = job.framePaths[i];
        ImageSize size;
        FitsError error = readFitsSize(path, size);
        HeaderCards cards;
        if (error == FitsError::None)
            error = readFitsHeaderCards(path, cards);
        if (error != FitsError::None) {
            slots[i] = UnusableFrame(error, path);
            continue;
        }
        const std::optional<Mosaic> mosaic = job.pattern ? job.pattern : MosaicOfCards(cards);
        if (size.planes != 1 || !mosaic) {
            slots[i].state = FrameSlot::State::LeftOut;
            slots[i].told = false;
            result.noMosaic.push_back(path);
            continue;
        }
        mosaics[i] = *mosaic;
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

    // Colour grids whose frame is written, for the next frames: a frame's three planes are
    // written over whole, and a grid taken again spares the system handing out (and
    // clearing) that memory anew for every frame. Never more than one per worker.
    std::mutex sparesMutex;
    std::vector<ImageGrid> spares;
    const auto takeSpare = [&](ImageGrid& grid) {
        const std::lock_guard lock(sparesMutex);
        if (!spares.empty()) {
            grid.swap(spares.back());
            spares.pop_back();
        }
    };
    const auto keepSpare = [&](ImageGrid& grid) {
        const std::lock_guard lock(sparesMutex);
        spares.emplace_back();
        spares.back().swap(grid);
    };

    const std::function<FrameSlot(std::size_t)> process = [&](std::size_t i) {
        const std::string& path = job.framePaths[i];
        FrameSlot slot;
        ImageSize size;
        const auto noMemory = [&] { return NoMemoryForFrame(path, size); };
        try {
            ImageRecord record;
            const LoadStatus load = loadFits(record, path);
            size = load.size;
            if (load.error == FitsError::NotEnoughMemory)
                return noMemory();
            if (!load.loaded() || record.grid.planes() != 1)
                return UnusableFrame(load.loaded() ? FitsError::SizeMismatch : load.error, path);
            const int width = record.grid.width();
            const int height = record.grid.height();
            ImageGrid colour;
            takeSpare(colour);
            if (!colour.tryResizeForOverwrite(width, height, 3))
                return noMemory();
            DemosaicPlane(record.grid.data(), width, height, mosaics[i], colour.plane(0), colour.plane(1), colour.plane(2));
            record.grid.swap(colour);
            colour = ImageGrid(); // the mosaic's memory goes before the write's
            record.cards = PlaneCards(WithoutMosaicCards(record.cards), 3);
            const std::string history = job.history + " (" + std::string(mosaics[i].name()) + ")";
            if (output.writeFrame(i, record, history) != FitsError::None)
                return WriteFailed(output, i);
            keepSpare(record.grid);
            slot.state = FrameSlot::State::Written;
            return slot;
        } catch (const std::bad_alloc&) {
            return noMemory();
        }
    };
    const FrameRunEnd end = RunFrames(std::move(slots), job.threads > 0 ? job.threads : DefaultWorkers, process, feedback);

    result.status = EndListOutput(end, job.framePaths, output, feedback, result.leftOut);
    if (result.status == ListArithmeticStatus::Done)
        result.output = std::move(output);
    return result;
}

} // namespace skyvane
