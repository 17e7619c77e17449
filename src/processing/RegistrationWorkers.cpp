#include "processing/RegistrationWorkers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "base/Numbers.h"

namespace skyvane {

std::string RegistrationProgressText(std::size_t frame, std::size_t count)
{
    return "Registering frame " + FormatInteger(static_cast<std::int64_t>(frame)) + " of " +
           FormatInteger(static_cast<std::int64_t>(count));
}

RegistrationRunEnd RunRegistration(FrameRegistrar& run, std::size_t count, int threads, ReferenceJob referenceJob,
                                   Feedback& feedback)
{
    feedback.showProgress(RegistrationProgressText(1, count), 0.0);
    if (feedback.cancelRequested())
        return RegistrationRunEnd::Cancelled;
    const bool referenceFirst = referenceJob == ReferenceJob::BeforeWorkers;
    if (referenceFirst && !run.prepareReference())
        return RegistrationRunEnd::ReferenceUnusable;

    // The jobs, from first on: the reference (job 0) unless it is made already, then the frames.
    const std::size_t first = referenceFirst ? 1 : 0;
    std::size_t workers = threads > 0 ? static_cast<std::size_t>(threads) : 2;
    workers = std::min(workers, count - first);
    std::atomic<std::size_t> next{first};
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    std::size_t done = first;
    bool failed = false;            // a worker could not get its memory
    bool referenceUnusable = false; // the workers' reference could not be used
    auto work = [&] {
        try {
            ImageRecord record;
            ImageGrid aligned;
            for (;;) {
                const std::size_t k = next.fetch_add(1);
                if (k >= count || run.stopped())
                    break;
                if (k == 0) {
                    if (!run.prepareReference()) {
                        const std::lock_guard lock(doneMutex);
                        referenceUnusable = true;
                    }
                } else {
                    run.registerFrame(k, record, aligned);
                }
                const std::lock_guard lock(doneMutex);
                ++done;
                doneChanged.notify_all();
            }
        } catch (const std::bad_alloc&) {
            run.stopAll();
            const std::lock_guard lock(doneMutex);
            failed = true;
        }
        const std::lock_guard lock(doneMutex);
        doneChanged.notify_all();
    };

    std::vector<std::thread> helpers;
    helpers.reserve(workers);
    if (workers > 1) {
        for (std::size_t i = 0; i < workers; ++i) {
            try {
                helpers.emplace_back(work);
            } catch (const std::system_error&) {
                break; // fewer workers; with none, the frames are done below
            }
        }
    }
    bool cancelled = false;
    if (helpers.empty()) {
        // One at a time, on this thread.
        if (!referenceFirst && !run.prepareReference())
            return RegistrationRunEnd::ReferenceUnusable;
        ImageRecord record;
        ImageGrid aligned;
        for (std::size_t k = 1; k < count && !run.stopped(); ++k) {
            feedback.showProgress(RegistrationProgressText(k + 1, count), static_cast<double>(k) / static_cast<double>(count));
            if (feedback.cancelRequested()) {
                cancelled = true;
                break;
            }
            run.registerFrame(k, record, aligned);
        }
    } else {
        // The workers register; this thread tells the progress and passes on the wish
        // to stop. Whatever happens here, the workers are stopped and joined.
        try {
            std::size_t told = 0;
            std::unique_lock lock(doneMutex);
            for (;;) {
                if (done != told) {
                    told = done;
                    lock.unlock();
                    feedback.showProgress(RegistrationProgressText(std::min(told + 1, count), count),
                                          static_cast<double>(told) / static_cast<double>(count));
                    lock.lock();
                }
                if (done >= count || run.stopped())
                    break;
                lock.unlock();
                if (!cancelled && feedback.cancelRequested()) {
                    cancelled = true;
                    run.stopAll();
                }
                lock.lock();
                doneChanged.wait_for(lock, std::chrono::milliseconds(50));
            }
        } catch (...) {
            run.stopAll();
            for (std::thread& helper : helpers)
                helper.join();
            throw;
        }
        for (std::thread& helper : helpers)
            helper.join();
    }
    // An unusable reference has told why (unless its memory could not be had).
    if (referenceUnusable && !failed)
        return RegistrationRunEnd::ReferenceUnusable;
    // A wish to stop that comes as the last frames are done still stops the run: the user
    // is not handed a list after asking for none.
    if (!cancelled && !run.stopped() && feedback.cancelRequested())
        cancelled = true;
    if (cancelled)
        return RegistrationRunEnd::Cancelled;
    if (run.writeFailed())
        return RegistrationRunEnd::WriteFailed;
    if (failed)
        return RegistrationRunEnd::NotEnoughMemory;
    feedback.showProgress(RegistrationProgressText(count, count), 1.0);
    return RegistrationRunEnd::Done;
}

} // namespace skyvane
