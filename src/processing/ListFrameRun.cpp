#include "processing/ListFrameRun.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/Paths.h"

namespace skyvane {

namespace {

class Run {
public:
    Run(std::vector<FrameSlot> slots, const std::function<FrameSlot(std::size_t)>& process)
        : slots_(std::move(slots)), process_(process)
    {
    }

    // Takes the next frame, if any and the run goes on, and settles its slot. False when
    // there was none to take.
    bool workOne()
    {
        if (stop_.load())
            return false;
        const std::size_t i = next_.fetch_add(1);
        if (i >= slots_.size())
            return false;
        {
            const std::lock_guard<std::mutex> lock(lock_);
            if (slots_[i].state != FrameSlot::State::Pending)
                return true; // settled before the run
        }
        FrameSlot slot = process_(i);
        if (slot.state == FrameSlot::State::Fatal)
            stop_.store(true);
        {
            const std::lock_guard<std::mutex> lock(lock_);
            slots_[i] = std::move(slot);
        }
        changed_.notify_all();
        return true;
    }

    void workerLoop()
    {
        while (workOne()) {
        }
        {
            const std::lock_guard<std::mutex> lock(lock_);
            ++workersDone_;
        }
        changed_.notify_all();
    }

    // Tells the settled frames in order and asks about cancel, until every frame is settled
    // or the run has stopped and its workers are done. With no worker thread the frames
    // are processed here, one between reports.
    void report(ListArithmeticFeedback& feedback, int workers)
    {
        std::size_t reported = 0;
        const std::size_t total = slots_.size();
        while (reported < total) {
            if (!stop_.load() && feedback.cancelRequested()) {
                end_.cancelled = true;
                stop_.store(true);
            }
            if (workers == 0 && !stop_.load())
                (void)workOne();
            std::vector<FrameSlot> settled;
            bool finished = false;
            {
                std::unique_lock<std::mutex> lock(lock_);
                const auto ready = [&] {
                    return slots_[reported].state != FrameSlot::State::Pending || workersDone_ == workers;
                };
                if (workers > 0)
                    changed_.wait_for(lock, std::chrono::milliseconds(50), ready);
                while (reported + settled.size() < total && slots_[reported + settled.size()].state != FrameSlot::State::Pending)
                    settled.push_back(slots_[reported + settled.size()]);
                finished = workersDone_ == workers && (workers > 0 || stop_.load() || next_.load() >= total);
            }
            for (const FrameSlot& slot : settled) {
                const std::size_t i = reported++;
                if (slot.state == FrameSlot::State::LeftOut) {
                    end_.leftOut.push_back(i);
                    if (slot.told && (!stop_.load() || slot.notice.kind != ListArithmeticNotice::Kind::FrameUnusable))
                        feedback.notice(slot.notice);
                } else if (slot.state == FrameSlot::State::Fatal && !end_.fatal) {
                    end_.fatal = slot.notice;
                    feedback.notice(slot.notice);
                }
                if (!stop_.load())
                    feedback.progress(static_cast<int>(reported), static_cast<int>(total));
            }
            if (finished && (stop_.load() || reported >= total))
                break;
        }
        // A fatal frame settled after the reports stopped: find it.
        if (!end_.fatal) {
            const std::lock_guard<std::mutex> lock(lock_);
            for (const FrameSlot& slot : slots_)
                if (slot.state == FrameSlot::State::Fatal) {
                    end_.fatal = slot.notice;
                    feedback.notice(slot.notice);
                    break;
                }
        }
    }

    FrameRunEnd end() const { return end_; }

private:
    std::vector<FrameSlot> slots_;
    const std::function<FrameSlot(std::size_t)>& process_;

    std::mutex lock_;
    std::condition_variable changed_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stop_{false};
    int workersDone_ = 0;
    FrameRunEnd end_;
};

} // namespace

FrameRunEnd RunFrames(std::vector<FrameSlot> slots, int threads, const std::function<FrameSlot(std::size_t)>& process,
                      ListArithmeticFeedback& feedback)
{
    const std::size_t n = slots.size();
    if (n == 0)
        return {};
    Run run(std::move(slots), process);
    int workers = threads;
    if (workers <= 0)
        workers = static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
    workers = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(workers), n));
    std::vector<std::thread> pool;
    for (int i = 0; i < workers; ++i) {
        try {
            pool.emplace_back([&run] { run.workerLoop(); });
        } catch (const std::system_error&) {
            break; // fewer workers; none: the frames are processed by the reporting thread
        }
    }
    run.report(feedback, static_cast<int>(pool.size()));
    for (std::thread& thread : pool)
        thread.join();
    return run.end();
}

ListArithmeticNotice FrameNotice(ListArithmeticNotice::Kind kind, FitsError error, const std::string& path)
{
    ListArithmeticNotice notice;
    notice.kind = kind;
    notice.error = error;
    notice.path = path;
    return notice;
}

FrameSlot UnusableFrame(FitsError error, const std::string& path)
{
    FrameSlot slot;
    slot.state = FrameSlot::State::LeftOut;
    slot.notice = FrameNotice(ListArithmeticNotice::Kind::FrameUnusable, error, path);
    return slot;
}

FrameSlot NoMemoryForFrame(const std::string& path, ImageSize size)
{
    FrameSlot slot;
    slot.state = FrameSlot::State::Fatal;
    slot.notice = FrameNotice(ListArithmeticNotice::Kind::NotEnoughMemory, FitsError::NotEnoughMemory, path);
    slot.notice.size = size;
    return slot;
}

FrameSlot WriteFailed(const ListOutput& output, std::size_t position)
{
    FrameSlot slot;
    slot.state = FrameSlot::State::Fatal;
    slot.notice = FrameNotice(ListArithmeticNotice::Kind::WriteFailed, FitsError::Unwritable, output.filePath(position));
    return slot;
}

FrameSlot RowsWritten(FitsError written, FitsError readError, const std::string& path, ImageSize size, const ListOutput& output,
                      std::size_t position)
{
    switch (written) {
    case FitsError::None: {
        FrameSlot slot;
        slot.state = FrameSlot::State::Written;
        return slot;
    }
    case FitsError::Unreadable:
        if (readError == FitsError::NotEnoughMemory)
            return NoMemoryForFrame(path, size);
        return UnusableFrame(readError != FitsError::None ? readError : FitsError::Unreadable, path);
    default:
        return WriteFailed(output, position);
    }
}

void TellNoUsableFrame(const std::vector<FrameSlot>& slots, const std::vector<std::string>& framePaths,
                       ListArithmeticFeedback& feedback, std::vector<std::string>& leftOut)
{
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (slots[i].told)
            feedback.notice(slots[i].notice);
        leftOut.push_back(framePaths[i]);
    }
}

std::optional<ListArithmeticStatus> BeginListOutput(ListOutput& output, const std::string& parent, const std::string& name,
                                                    const std::vector<std::string>& framePaths, ListArithmeticFeedback& feedback)
{
    if (feedback.cancelRequested())
        return ListArithmeticStatus::Cancelled;
    if (const int error = output.create(parent, name, framePaths); error != 0) {
        ListArithmeticNotice notice = FrameNotice(ListArithmeticNotice::Kind::FolderFailed, FitsError::Unwritable, JoinPath(parent, name));
        notice.errorNumber = error;
        feedback.notice(notice);
        return ListArithmeticStatus::FolderFailed;
    }
    return std::nullopt;
}

ListArithmeticStatus EndListOutput(const FrameRunEnd& end, const std::vector<std::string>& framePaths, ListOutput& output,
                                   ListArithmeticFeedback& feedback, std::vector<std::string>& leftOut)
{
    for (const std::size_t i : end.leftOut)
        leftOut.push_back(framePaths[i]);
    if (end.fatal) {
        output.discard();
        return end.fatal->kind == ListArithmeticNotice::Kind::WriteFailed ? ListArithmeticStatus::WriteFailed
                                                                         : ListArithmeticStatus::NotEnoughMemory;
    }
    if (end.cancelled) {
        output.discard();
        return ListArithmeticStatus::Cancelled;
    }
    if (output.fileCount() == 0) {
        // every frame failed while it was read
        output.discard();
        return ListArithmeticStatus::NoUsableFrame;
    }
    if (const int error = output.keep(); error != 0) {
        ListArithmeticNotice notice = FrameNotice(ListArithmeticNotice::Kind::FolderFailed, FitsError::Unwritable, output.folder());
        notice.errorNumber = error;
        feedback.notice(notice);
        return ListArithmeticStatus::FolderFailed;
    }
    return ListArithmeticStatus::Done;
}

} // namespace skyvane
