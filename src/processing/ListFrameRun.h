#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "processing/ListArithmetic.h"

namespace skyvane {

// The run of a job that makes one result of each frame of a list (list arithmetic,
// calibration, demosaicing): the frames taken in turn by workers, what became of each told
// in list order, the progress after each, and the user's wish to stop asked between them.

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

// What such a job does before and after its run, the same for each.

// A notice of kind about path (a frame, an operand, the output folder or a result).
ListArithmeticNotice FrameNotice(ListArithmeticNotice::Kind kind, FitsError error, const std::string& path);

// The slot of a frame left out as unusable (FrameUnusable, error); of one for whose size no
// memory was to be had (fatal: NotEnoughMemory, naming the frame and its size); of one whose
// result, output's file position, could not be written (fatal: WriteFailed).
FrameSlot UnusableFrame(FitsError error, const std::string& path);
FrameSlot NoMemoryForFrame(const std::string& path, ImageSize size);
FrameSlot WriteFailed(const ListOutput& output, std::size_t position);

// The slot of a frame written a band of rows at a time (ListOutput::writeFrame with rows),
// written its answer: Written; Unreadable, the rows failed with readError: the frame left out
// (fatal when it was memory); any other, WriteFailed.
FrameSlot RowsWritten(FitsError written, FitsError readError, const std::string& path, ImageSize size, const ListOutput& output,
                      std::size_t position);

// Every frame was left out before the run: tells their notices (those told) in list order and
// adds every frame to leftOut.
void TellNoUsableFrame(const std::vector<FrameSlot>& slots, const std::vector<std::string>& framePaths,
                       ListArithmeticFeedback& feedback, std::vector<std::string>& leftOut);

// Before the run: asks whether to stop, then makes output (ListOutput::create of framePaths
// in parent, as name). Nothing when the run may begin; else the job's status, Cancelled, or
// FolderFailed, told, naming parent/name.
std::optional<ListArithmeticStatus> BeginListOutput(ListOutput& output, const std::string& parent, const std::string& name,
                                                    const std::vector<std::string>& framePaths, ListArithmeticFeedback& feedback);

// After the run: adds the frames it left out to leftOut, and discards output when the run
// stopped (a fatal frame: WriteFailed or NotEnoughMemory; Cancelled) or wrote nothing
// (every frame failed while it was read: NoUsableFrame), or puts it in place (Done; a
// failure: FolderFailed, told, and nothing kept). Returns the job's status.
ListArithmeticStatus EndListOutput(const FrameRunEnd& end, const std::vector<std::string>& framePaths, ListOutput& output,
                                   ListArithmeticFeedback& feedback, std::vector<std::string>& leftOut);

} // namespace skyvane
