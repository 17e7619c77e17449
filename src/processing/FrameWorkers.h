#pragma once

#include <cstddef>
#include <functional>

namespace skyvane {

// The number of threads a job over count frames runs on: threads, or when 0 as many as the
// processor has cores, at most 4; never more than the frames.
int FrameWorkerCount(int threads, std::size_t count);

// Runs work(frame, worker) for every frame from 0 to count - 1 on FrameWorkerCount threads,
// the calling thread worker 0; worker (from 0) names the thread, for memory of its own. Each
// frame is done by one thread, so results do not depend on their number. report(done) is
// called on the calling thread only, before each of its frames and every 10 ms while it
// waits for the others; when it returns false no frame is begun any more. Returns false
// when report stopped the job. work must not throw.
bool ForEachFrame(std::size_t count, int threads, const std::function<void(std::size_t frame, int worker)>& work,
                  const std::function<bool(std::size_t done)>& report);

} // namespace skyvane
