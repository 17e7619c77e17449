#pragma once

#include <cstddef>
#include <new>
#include <string>

#include "base/Feedback.h"
#include "image/ImageGrid.h"
#include "image/ImageRecord.h"

namespace skyvane {

class AlignedFrameSink;

// The run that registration by a star or by correlation and registration by star patterns
// share: the reference prepared, then the other frames registered by workers, each with its
// own memory, while the calling thread tells the progress and passes on the wish to stop.

// One registration's own work, for the run.
class FrameRegistrar {
public:
    virtual ~FrameRegistrar() = default;
    // Reads the reference and hands it on. False: it cannot be used, and the job's result
    // says why.
    virtual bool prepareReference() = 0;
    // Frame k (k >= 1), with the worker's own memory.
    virtual void registerFrame(std::size_t k, ImageRecord& record, ImageGrid& aligned) = 0;
    // Stops every worker: no further frame is begun, and frames under way end soon.
    virtual void stopAll() = 0;
    virtual bool stopped() const = 0;
    virtual bool writeFailed() const = 0;
};

enum class ReferenceJob {
    BeforeWorkers,  // prepared on the calling thread before any worker starts; workers: at
                    // most one per other frame
    FirstOfWorkers, // the workers' first job, the next frames begun while it is made (their
                    // workers wait for it themselves); workers: at most one per frame
};

enum class RegistrationRunEnd {
    ReferenceUnusable, // prepareReference said no; nothing else was told
    Cancelled,
    WriteFailed,
    NotEnoughMemory, // a worker could not get its memory
    Done,            // the last progress told
};

// "Registering frame k of count".
std::string RegistrationProgressText(std::size_t frame, std::size_t count);

// Registers count frames (count >= 1), the first the reference, on threads workers (0: two;
// with one, or no thread to be had, one frame after the other on the calling thread), after
// telling the first progress and asking whether to stop. A worker short of memory stops the
// run (NotEnoughMemory); an exception on the calling thread goes to the caller once every
// worker is stopped and joined.
RegistrationRunEnd RunRegistration(FrameRegistrar& run, std::size_t count, int threads, ReferenceJob referenceJob,
                                   Feedback& feedback);

// A whole registration job: Result's frames named after request.framePaths (none: Result as
// it is made), the job's Run(request, sink, result) run as referenceJob says, and the result's
// status set for how it ended (an unusable reference leaves the status it set; a want of
// memory outside the workers: NotEnoughMemory). Result's status is an enumeration with the
// names Cancelled, WriteFailed, NotEnoughMemory and Done.
template <typename Run, typename Result, typename Request>
Result RegistrationJob(const Request& request, AlignedFrameSink& sink, ReferenceJob referenceJob, Feedback& feedback)
{
    using Status = decltype(Result::status);
    Result result;
    const std::size_t count = request.framePaths.size();
    if (count == 0)
        return result;
    try {
        result.frames.resize(count);
        for (std::size_t k = 0; k < count; ++k)
            result.frames[k].path = request.framePaths[k];
        Run run(request, sink, result);
        switch (RunRegistration(run, count, request.threads, referenceJob, feedback)) {
        case RegistrationRunEnd::ReferenceUnusable:
            break;
        case RegistrationRunEnd::Cancelled:
            result.status = Status::Cancelled;
            break;
        case RegistrationRunEnd::WriteFailed:
            result.status = Status::WriteFailed;
            break;
        case RegistrationRunEnd::NotEnoughMemory:
            result.status = Status::NotEnoughMemory;
            break;
        case RegistrationRunEnd::Done:
            result.status = Status::Done;
            break;
        }
    } catch (const std::bad_alloc&) {
        result.status = Status::NotEnoughMemory;
    }
    return result;
}

} // namespace skyvane
