#include "processing/FrameWorkers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace skyvane {

int FrameWorkerCount(int threads, std::size_t count)
{
    const int wanted = threads > 0 ? threads : static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u));
    return static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(wanted), std::max<std::size_t>(count, 1)));
}

bool ForEachFrame(std::size_t count, int threads, const std::function<void(std::size_t, int)>& work,
                  const std::function<bool(std::size_t)>& report)
{
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> done{0};
    std::atomic<bool> stop{false};
    const auto take = [&](int worker) {
        const std::size_t k = next.fetch_add(1);
        if (k >= count)
            return false;
        work(k, worker);
        done.fetch_add(1);
        return true;
    };
    std::vector<std::thread> helpers;
    std::mutex lock;
    std::condition_variable finished;
    int helping = 0;
    const int workers = FrameWorkerCount(threads, count);
    for (int i = 1; i < workers; ++i) {
        try {
            helpers.emplace_back([&, i] {
                while (!stop.load() && take(i)) {
                }
                const std::lock_guard<std::mutex> guard(lock);
                --helping;
                finished.notify_one();
            });
            const std::lock_guard<std::mutex> guard(lock);
            ++helping;
        } catch (const std::system_error&) {
            break; // fewer threads: the frames all get done all the same
        }
    }
    while (!stop.load()) {
        if (!report(done.load())) {
            stop.store(true);
            break;
        }
        if (!take(0))
            break;
    }
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(lock);
            if (finished.wait_for(guard, std::chrono::milliseconds(10), [&] { return helping <= 0; }))
                break;
        }
        if (!stop.load() && !report(done.load()))
            stop.store(true);
    }
    for (std::thread& helper : helpers)
        helper.join();
    return !stop.load();
}

} // namespace skyvane
