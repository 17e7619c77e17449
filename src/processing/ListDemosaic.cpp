#include "processing/ListDemosaic.h"

#include <mutex>
#include <new>
#include <vector>

#include "base/Paths.h"
#include "image/FitsWriter.h"
#include "processing/Demosaic.h"
#include "processing/ListFrameRun.h"

namespace skyvane {

namespace {

// A frame and its three planes: two workers keep the memory of a run within a few frames.
constexpr int DefaultWorkers = 2;

ListArithmeticNotice Notice(ListArithmeticNotice::Kind kind, FitsError error, const std::string& path)
{
    ListArithmeticNotice notice;
    notice.kind = kind;
    notice.error = error;
    notice.path = path;
    return notice;
}

} // namespace

ListDemosaicResult RunListDemosaic(const ListDemosaicJob& job, ListArithmeticFeedback& feedback)
{
    using Kind = ListArithmeticNotice::Kind;
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
            slots[i].state = FrameSlot::State::LeftOut;
            slots[i].notice = Notice(Kind::FrameUnusable, error, path);
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
        for (std::size_t i = 0; i < n; ++i) {
            if (slots[i].told)
                feedback.notice(slots[i].notice);
            result.leftOut.push_back(job.framePaths[i]);
        }
        result.status = ListArithmeticStatus::NoUsableFrame;
        return result;
    }
    if (feedback.cancelRequested()) {
        result.status = ListArithmeticStatus::Cancelled;
        return result;
    }

    ListOutput output;
    if (const int error = output.create(job.outputParent, job.outputName, job.framePaths); error != 0) {
        ListArithmeticNotice notice = Notice(Kind::FolderFailed, FitsError::Unwritable, JoinPath(job.outputParent, job.outputName));
        notice.errorNumber = error;
        feedback.notice(notice);
        result.status = ListArithmeticStatus::FolderFailed;
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
        const auto noMemory = [&] {
            slot.state = FrameSlot::State::Fatal;
            slot.notice = Notice(Kind::NotEnoughMemory, FitsError::NotEnoughMemory, path);
            slot.notice.size = size;
            return slot;
        };
        try {
            ImageRecord record;
            const LoadStatus load = loadFits(record, path);
            size = load.size;
            if (load.error == FitsError::NotEnoughMemory)
                return noMemory();
            if (!load.loaded() || record.grid.planes() != 1) {
                slot.state = FrameSlot::State::LeftOut;
                slot.notice = Notice(Kind::FrameUnusable, load.loaded() ? FitsError::SizeMismatch : load.error, path);
                return slot;
            }
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
            if (output.writeFrame(i, record, history) != FitsError::None) {
                slot.state = FrameSlot::State::Fatal;
                slot.notice = Notice(Kind::WriteFailed, FitsError::Unwritable, output.filePath(i));
                return slot;
            }
            keepSpare(record.grid);
            slot.state = FrameSlot::State::Written;
            return slot;
        } catch (const std::bad_alloc&) {
            return noMemory();
        }
    };
    const FrameRunEnd end = RunFrames(std::move(slots), job.threads > 0 ? job.threads : DefaultWorkers, process, feedback);

    for (const std::size_t i : end.leftOut)
        result.leftOut.push_back(job.framePaths[i]);
    if (end.fatal) {
        output.discard();
        result.status = end.fatal->kind == Kind::WriteFailed ? ListArithmeticStatus::WriteFailed : ListArithmeticStatus::NotEnoughMemory;
        return result;
    }
    if (end.cancelled) {
        output.discard();
        result.status = ListArithmeticStatus::Cancelled;
        return result;
    }
    if (output.fileCount() == 0) {
        output.discard();
        result.status = ListArithmeticStatus::NoUsableFrame;
        return result;
    }
    if (const int error = output.keep(); error != 0) {
        ListArithmeticNotice notice = Notice(Kind::FolderFailed, FitsError::Unwritable, output.folder());
        notice.errorNumber = error;
        feedback.notice(notice);
        result.status = ListArithmeticStatus::FolderFailed;
        return result;
    }
    result.output = std::move(output);
    result.status = ListArithmeticStatus::Done;
    return result;
}

} // namespace skyvane
