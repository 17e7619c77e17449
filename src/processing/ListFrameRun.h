#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "processing/ListArithmetic.h"

namespace skyvane {

// The run of a job that makes one result of each frame of a list (calibration,
// demosaicing): the frames taken in turn by workers, what became of each told in list
// order, the progress after each, and the user's wish to stop asked between them.

// What became of one frame.
struct FrameSlot {
    enum class State { Pending, Written, LeftOut, Fatal };
    State state = State::Pending;
    ListArithmeticNotice notice; // LeftOut and Fatal: what to tell
    bool told = true;            // LeftOut: whether the notice goes to the feedback (a job
                                 // may name the frame in its reply instead)
};

struct FrameRunEnd {
    bool cancelled = false;                    // the user asked to stop
    std::optional<ListArithmeticNotice> fatal; // the first fatal frame's notice, told
    std::vector<std::size_t> leftOut;          // the frames left out, in list order
};

// Runs process(i) for every frame whose slot is Pending (the others were settled before the
// run: their notices are told in their turn), on up to `threads` workers at once (0: one
// per core, at most 4; no worker thread to be had: one after the other on this thread).
// process may be called from several threads at once; it returns the frame's slot (Written,
// LeftOut, or Fatal, which stops the run: no further frame is begun). The calling thread
// tells the settled frames in list order through feedback (notices of left-out frames
// while the run goes on, the fatal notice, progress after each frame) and asks it before
// each frame whether to stop; a stopped run begins no further frame and waits for the
// frames under way. Returns once every worker has ended.
FrameRunEnd RunFrames(std::vector<FrameSlot> slots, int threads, const std::function<FrameSlot(std::size_t)>& process,
                      ListArithmeticFeedback& feedback);

} // namespace skyvane
