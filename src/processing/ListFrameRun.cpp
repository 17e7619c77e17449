#include "processing/ListFrameRun.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

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

} // namespace skyvane
