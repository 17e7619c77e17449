#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/FitsReader.h"
#include "processing/Arithmetic.h"
#include "processing/ListOutput.h"

namespace skyvane {

// Arithmetic on the frames of an image list: every frame combined with a constant or with
// one image (the operand), exactly as the Image commands combine Image A (colour frames
// plane by plane, with a colour operand's same plane or a grey operand's one plane), the
// results written by a ListOutput.

enum class ListOperation { Add, Subtract, Multiply, Divide };

// What a run is asked to do.
struct ListArithmeticJob {
    ListOperation operation = ListOperation::Add;
    bool withImage = false;      // the operand is the image at operandPath, else constant
    double constant = 0.0;
    std::string operandPath;
    double zeroDivisionValue = 0.0; // division by an image: the value where it is 0
    std::vector<std::string> framePaths; // in list order
    std::string outputParent;    // the list's folder
    std::string outputName;      // the output folder's name (ListOutput::create)
    std::string history;         // the text of the HISTORY card of every result
    int threads = 0;             // workers: 0 for one per core (at most 4)
};

// Something a run tells while it runs, on the thread that called RunListArithmetic, in
// frame order.
struct ListArithmeticNotice {
    enum class Kind {
        OperandUnreadable, // the operand could not be loaded (load says which step, why)
        OperandMismatch,   // no readable frame has the operand's size
        FrameUnusable,     // a frame cannot be read whole (error), or has another size than
                           // the operand, or is grey where it is colour (SizeMismatch): left out
        FolderFailed,      // the output folder could not be made, or put in place at the
                           // end (errorNumber; path: the folder)
        WriteFailed,       // a result could not be written (path: the result's file)
        NotEnoughMemory,   // no memory for a frame of size (path: the frame)
        // Calibration (Calibration.h):
        OperandsMismatch,  // the flat (path) differs from the dark in size or mosaic
        FlatUnusable,      // a mean of the flat (path) is no positive number
        MosaicMismatch,    // a frame's colour mosaic is not the dark's or the flat's: left out
    };
    Kind kind = Kind::FrameUnusable;
    FitsError error = FitsError::None;
    LoadStatus load;
    int errorNumber = 0;
    std::string path;
    ImageSize size;
};

// Where a run reports: notices, its progress after each frame (done of total frames),
// and whether the user wants it to stop, asked before each frame.
class ListArithmeticFeedback {
public:
    virtual ~ListArithmeticFeedback() = default;
    virtual void notice(const ListArithmeticNotice& notice) = 0;
    virtual void progress(int done, int total) = 0;
    virtual bool cancelRequested() = 0;
};

enum class ListArithmeticStatus {
    Done,            // output holds the results (kept); leftOut the frames left out
    NoFrame,         // no frame was given
    NoUsableFrame,   // every frame was left out: nothing kept, no folder
    OperandRefused,  // unreadable or mismatched operand: nothing written
    FolderFailed,    // nothing kept
    WriteFailed,     // stopped; what was written is removed
    NotEnoughMemory, // stopped; what was written is removed
    Cancelled,       // stopped; what was written is removed
};

struct ListArithmeticResult {
    ListArithmeticStatus status = ListArithmeticStatus::NoFrame;
    int frames = 0;                   // frames given
    std::vector<std::string> leftOut; // frames left out, in list order
    ListOutput output;                // Done: the folder and the files written, kept
};

// Runs the job. The operand is loaded and checked first; then every frame's size is read
// (an unreadable frame, or one of another size than the operand, is told and left out);
// then the output folder is made and the frames are processed by the workers, each
// holding one band of rows of one frame at a time (the operand is held whole, shared,
// read only). Each band is read, combined per pixel by the functions of Arithmetic.h (so
// the result is the Image command's on that frame, whatever the number of workers) and
// written out, after the frame's cards and the HISTORY card; a frame failing part way is
// told and left out, and nothing of it is kept. A
// write that fails, no memory, or cancel stop the run and remove everything written.
// Touches nothing but the files: may run on any thread.
[[nodiscard]] ListArithmeticResult RunListArithmetic(const ListArithmeticJob& job, ListArithmeticFeedback& feedback);

// The per-pixel step on n values of a frame: Arithmetic.h's functions, as the Image
// commands use them (subtract c adds -c, divide by c multiplies by 1 / c). operand, when
// not null, holds the operand image's values of the same pixels.
void ApplyListOperation(ListOperation operation, double* values, std::int64_t n, double constant, const double* operand,
                        double zeroDivisionValue);

} // namespace skyvane
