#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/Feedback.h"
#include "image/FitsReader.h"
#include "image/ImageRecord.h"

namespace skyvane {

// Co-registration: the frames of a list aligned onto the first one (the reference) by a
// translation, each resampled onto the reference's pixel grid (ResampleToReference,
// Lanczos-3, flux kept, uncovered pixels set to the frame's median). Colour frames are
// measured on their green plane and all three planes shifted by the same amount.

enum class RegistrationMethod {
    OneStar,     // one star's centroid followed from frame to frame (StarTracker)
    Correlation, // the peak of the frame's cross-correlation with the reference
};

struct RegistrationRequest {
    RegistrationMethod method = RegistrationMethod::Correlation;
    std::vector<std::string> framePaths; // the reference first
    // One star: where the star stands on the reference, as the pointer readout gives it
    // over the displayed reference: X is the column counted from 1, Y the line of the
    // picture counted from 1 downwards from its top, which shows image row height - Y
    // (rows counted from 0, row 0 the first FITS row, drawn at the bottom).
    double readoutX = 0.0;
    double readoutY = 0.0;
    // Frames worked on at once (each read, measured, resampled and handed on by its own
    // worker); 0: two. Results do not depend on it.
    int threads = 0;
};

// What became of one frame.
enum class FrameFate {
    Registered,      // measured and aligned (the reference: with dx = dy = 0)
    Unreadable,      // the file could not be read whole (readError says why)
    SizeDiffers,     // its width, height or kind (grey or colour) is not the reference's
    StarSaturated,   // the star reaches the saturation level in this frame
    StarTooFaint,    // the star is too faint in this frame
    StarLost,        // the star was not found in this frame
    NoCorrelation,   // the frame holds nothing to correlate with the reference
    NoReliableMatch, // the frame does not match the reference by a translation: its
                     // correlation peak does not stand out or its parts disagree on the shift
                     // (a turned or flipped frame, or one that shares no stars), or the star
                     // found differs from the reference star in flux or width
    NotEnoughMemory, // the memory for the frame (of the reference's size) could not be had
    ColourMosaic,    // a colour mosaic (MosaicOfCards): shifting it would mix its filters
};

struct RegisteredFrame {
    std::string path;
    FrameFate fate = FrameFate::Registered;
    FitsError readError = FitsError::None;
    double dx = 0.0; // Registered: the frame's shift against the reference (a star at
    double dy = 0.0; // (x, y) in the reference stands at (x + dx, y + dy) in the frame)
};

enum class RegistrationStatus {
    Done,                // frames tells each frame's fate; the registered ones were handed on
    NoFrame,             // no frame was given
    ReferenceUnreadable, // the reference could not be read (frames[0].readError says why)
    ReferenceMosaic,     // the reference is a colour mosaic
    StarSaturated,       // the star on the reference: saturated,
    StarTooFaint,        // too faint,
    StarLost,            // or not found near the given position
    NoStructure,         // the reference holds nothing to correlate
    NotEnoughMemory,     // memory for the reference or the workers could not be had
    WriteFailed,         // the output refused a frame (frames up to it may have been handed on)
    Cancelled,           // the user asked to stop (frames up to then may have been handed on)
};

struct RegistrationResult {
    RegistrationStatus status = RegistrationStatus::NoFrame;
    std::vector<RegisteredFrame> frames; // Done: every frame given, in the order given
    int width = 0;                       // the reference's size (also when it could not
    int height = 0;                      // be read for want of memory)
};

// Where the aligned frames go. write() is called for the reference first, then for the
// other registered frames in any order, possibly from several worker threads at once.
// position is the frame's place in the order given; the record holds the aligned pixels and
// the frame's own header cards; history is the text of a HISTORY card that gives the shift
// ("Skyvane: autoreg shifted by dx = 3.2712 dy = -1.1203 (Lanczos-3) onto frame_001.fit").
// The record may be changed. False: the frame could not be kept, and the run stops
// (WriteFailed).
class AlignedFrameSink {
public:
    virtual ~AlignedFrameSink() = default;
    virtual bool write(std::size_t position, const std::string& framePath, ImageRecord& aligned, std::string_view history) = 0;
};

// The saturation level of a frame from its header cards: SATURATE when given, else the
// highest value its integer BITPIX can hold (BSCALE and BZERO applied); infinity for
// floating-point frames.
double SaturationLevel(const HeaderCards& cards);

// Registers the frames onto the first. Reads only the frames and hands the aligned ones
// to sink: touches nothing else, so it may run on any thread. Tells its progress through
// feedback once per frame ("Registering frame 7 of 20") and looks between frames whether
// the user asked to stop. A frame that cannot be used (unreadable, another size, a colour
// mosaic, the star saturated, too faint or lost, nothing to correlate, no reliable match) is left out with
// its fate; the run goes on. One star follows the star from frame to frame in the order
// given, each frame searched around the star's last position (drifts of 50 pixels between
// frames and more over the night are followed); saturation per frame is SaturationLevel
// of the reference's cards. Correlation searches every shift under which a frame still
// shares a quarter of its width and height with the reference. Either way a frame's shift
// must hold across the frame (CrossCorrelator: measure for correlation, check for one
// star), or the frame is left out as NoReliableMatch.
[[nodiscard]] RegistrationResult RegisterFrames(const RegistrationRequest& request, AlignedFrameSink& sink,
                                                Feedback& feedback);

} // namespace skyvane
