#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/FitsReader.h"
#include "image/ImageGrid.h"
#include "image/ImageRecord.h"
#include "processing/CoaddKernels.h"
#include "processing/Normalisation.h"

namespace skyvane {

// How a combination is carried out; none of it changes a result. The frames are read in
// bands of rows: `bandBytes` is the memory for the bands of all worker threads together (at
// least one row of every frame per thread), `threads` the number of workers (0: as many as
// the processor has cores, at most 4), and up to `maxOpenFrames` frames stay open for the
// whole run; with more, each band opens and closes every frame again. Uncompressed 16-bit
// frames are read straight from their files while `readDirectly` (the library only checks
// them; they stay open up to the process's limit on open files); false reads every frame
// through the library.
struct CoaddTuning {
    std::size_t bandBytes = std::size_t{32} << 20;
    int threads = 0;
    int maxOpenFrames = 200;
    bool readDirectly = true;
};

// What a co-addition is asked to do.
struct CoaddOptions {
    CoaddParameters parameters;  // method, and the clipping range and rounds of sigma clipping
    StackingChoice choice;       // normalisation and weights (Normalisation.h); none and none
                                 // combine the frames as they are
    bool headerNotice = false;   // the header option asks for other cards than the first
                                 // frame's: HeadersOfFirstFrame is told before combining
    CoaddTuning tuning;
};

// Something a co-addition tells while it runs, at the moment it happens.
struct CoaddNotice {
    enum class Kind {
        FirstFrameSize,      // the first frame's size could not be read (error says why)
        FirstFrameHeaders,   // the first frame's header cards could not be read
        FrameUnusable,       // a frame is not 2-D, has another size or kind (grey or colour)
                             // than the first, or cannot be read whole (error says which):
                             // left out, or for the first frame the end
        HeadersOfFirstFrame, // the result takes the first frame's cards whatever the header
                             // option asks (once per run, before the frames are combined)
        NotEnoughMemory,     // no memory for the result or the bands (size)
        ScaleUnknown,        // additive+scale: the stars of these frames could not be
                             // compared with the first frame's; they are combined unscaled
                             // (once per run, frames names them)
    };
    Kind kind = Kind::FrameUnusable;
    FitsError error = FitsError::None;
    std::string path; // the frame of a frame notice
    std::vector<std::string> frames; // ScaleUnknown: the frames
    ImageSize size;   // the result's size
};

// Where a co-addition reports while it runs: the one object a long step gets besides its
// plain inputs. A frame notice arrives before the frame is left out, and the run goes on
// when notice returns. progress tells what the run does now ("Reading frame 37 of 300",
// "Combining rows 1025 to 1536 of 4096") and the fraction done, 0 to 1; the run asks
// cancelRequested between frames and between bands, and stops when it answers true. All
// three are called on the thread that called CombineFrames only.
class CoaddFeedback {
public:
    virtual ~CoaddFeedback() = default;
    virtual void notice(const CoaddNotice& notice) = 0;
    virtual void progress(const std::string& text, double fraction)
    {
        (void)text;
        (void)fraction;
    }
    virtual bool cancelRequested() const { return false; }
};

enum class CoaddStatus {
    Done = 0,             // grid and cards hold the result
    TooFewImages,         // fewer usable frames than min-max rejection (3) or sigma
                          // clipping (5) needs
    NoFrame,              // no frame was given
    FirstFrameUnreadable, // the first frame could not be read (told as a notice)
    NotEnoughMemory,      // no memory for the result or the bands (told as a notice)
    Cancelled,            // the feedback asked the run to stop: nothing was made
};

// What a co-addition made.
struct CoaddResult {
    CoaddStatus status = CoaddStatus::NoFrame;
    ImageGrid grid;                   // the combined image: the first frame's size and planes
    HeaderCards cards;                // the first frame's header cards
    int frames = 0;                   // the frames given
    std::vector<std::string> leftOut; // the frames left out, in the order given (Done)
    std::vector<std::string> combined; // the frames combined, in the order given (Done)
    // With normalisation or weights: what they found of each frame combined, in the same
    // order, with its weight.
    std::vector<FrameFigures> figures;
};

// Combines the frames pixel by pixel by options.parameters.method, after matching them to
// the first and with the weights options.choice asks for: the frames are measured first
// (PrepareNormalisation; progress "Measuring the sky of frame 7 of 20"), a frame that
// cannot be read then is told and left out, and each band's values are normalised as they
// are read. Colour frames are combined plane by plane, each plane exactly as grey frames
// of that plane would be. The first frame fixes the size, the kind (grey or colour) and
// the header cards of the result and must be readable. Every frame is opened
// and checked before any is used: a later frame that is not 2-D, has another size, cannot
// be opened or is too short for its data is told (FrameUnusable) and left out, so the
// number of frames combined counts only frames used whole. A frame that still fails
// part-way is told the same way and the combination starts again without it, so no
// frame is ever half used. Frames are read in bands of rows, so memory stays near the
// result plus one band of all frames per worker thread. Per pixel the arithmetic is
// exactly that of the one-pixel functions below (a NaN made from two NaN operands may carry
// either operand's sign), over the frames that have a value there: a pixel missing
// (not-a-number) in some frames is combined from the others (CombinePresent), one missing
// in every frame stays missing. Reads only the frames: touches nothing else, so it may
// run on any thread.
[[nodiscard]] CoaddResult CombineFrames(const std::vector<std::string>& framePaths, const CoaddOptions& options,
                                        CoaddFeedback& feedback);

// One pixel's values v[0..n-1] (n >= 1). scratch/weights have room for n and may be
// overwritten; v itself is not changed by the mean, min-max and sigma rules. Infinite
// values: min-max rejection never lets an extreme enter its sum (inf, 110, 120, 130, 140
// give 130), and sigma clipping with at least one round rejects them before the first
// (the result is that of the finite values alone). With a NaN value both give NaN.
double MedianPixel(const double* v, int n, double* scratch);
double MeanPixel(const double* v, int n);
double MinMaxRejectionPixel(const double* v, int n); // n >= 3
double SigmaClippingPixel(const double* v, int n, double kappa, int iterations, std::uint8_t* weights); // n >= 1

} // namespace skyvane
