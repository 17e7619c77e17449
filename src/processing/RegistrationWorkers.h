#pragma once

#include <cstddef>
#include <string>

#include "base/Feedback.h"
#include "image/ImageGrid.h"
#include "image/ImageRecord.h"

namespace skyvane {

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
// telling the first progress and asking whether to stop. Any exception but a worker's
// bad_alloc goes to the caller, with every worker stopped and joined.
RegistrationRunEnd RunRegistration(FrameRegistrar& run, std::size_t count, int threads, ReferenceJob referenceJob,
                                   Feedback& feedback);

// Sets a job's status (an enumeration with these four names) for how its run ended; an
// unusable reference leaves the status it set.
template <typename Status>
void SetRunStatus(RegistrationRunEnd end, Status& status)
{
    switch (end) {
    case RegistrationRunEnd::ReferenceUnusable:
        break;
    case RegistrationRunEnd::Cancelled:
        status = Status::Cancelled;
        break;
    case RegistrationRunEnd::WriteFailed:
        status = Status::WriteFailed;
        break;
    case RegistrationRunEnd::NotEnoughMemory:
        status = Status::NotEnoughMemory;
        break;
    case RegistrationRunEnd::Done:
        status = Status::Done;
        break;
    }
}

} // namespace skyvane
