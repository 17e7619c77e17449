#pragma once

#include <string>
#include <vector>

#include "base/Feedback.h"
#include "image/FitsReader.h"
#include "processing/PatternMatch.h"
#include "processing/Registration.h"
#include "processing/StarDetection.h"

namespace skyvane {

// Co-registration by star patterns: the frames of a list aligned onto the first (the
// reference) by a similarity transform (shift, turn, one scale, a mirror image allowed),
// found from the frames' own stars, so that frames turned by a meridian flip, by field
// rotation or taken another night are registered as well as drifting ones. Each frame is
// resampled onto the reference's pixel grid (ResampleTransformed: Lanczos-3, flux kept,
// uncovered pixels set to the frame's median) and handed to an AlignedFrameSink.

// The detection registration uses: the sky of each cell told by about 256 of its pixels,
// which places the stars as well for matching and fitting, in a quarter of the time.
DetectionSettings PatternDetection();

struct PatternRegistrationRequest {
    std::vector<std::string> framePaths;             // the reference first
    DetectionSettings detection = PatternDetection(); // saturation: each frame's SaturationLevel
    PatternSettings matching;
    // Frames worked on at once; 0: two. Results do not depend on it.
    int threads = 0;
};

enum class PatternFate {
    Registered,      // matched and aligned (the reference: the identity)
    Unreadable,      // the file could not be read whole (readError says why)
    SizeDiffers,     // its width, height or plane count is not the reference's
    ColourMosaic,    // a colour mosaic (MosaicOfCards): moving it would mix its filters
    NoMatch,         // its stars could not be matched to the reference's
    NotEnoughMemory, // the frame's memory could not be had
};

struct PatternFrame {
    std::string path;
    PatternFate fate = PatternFate::Registered;
    FitsError readError = FitsError::None;
    // Registered: from the reference to the frame (a star at (x, y) in the reference stands
    // at toFrame(x, y) in the frame).
    SimilarityTransform toFrame;
    // The same as the replies give it. dx, dy: where the reference's centre ((W - 1) / 2,
    // (H - 1) / 2) stands in the frame, less the centre (for a pure shift, the shift the
    // other registrations give); rotation (degrees, counter-clockwise, (-180, 180]) and
    // scale: how the frame must be turned and scaled onto the reference, after turning it
    // upside down (y to -y) when mirrored.
    double dx = 0.0;
    double dy = 0.0;
    double rotation = 0.0;
    double scale = 1.0;
    bool mirrored = false;
    int stars = 0;    // the pairs of stars the transform rests on (the reference: its stars)
    double rms = 0.0; // their distances under the transform, pixels
};

enum class PatternStatus {
    Done,                // frames tells each frame's fate; the registered ones were handed on
    NoFrame,             // no frame was given
    ReferenceUnreadable, // the reference could not be read (frames[0].readError says why)
    ReferenceMosaic,     // the reference is a colour mosaic, to be debayered first
    TooFewStars,         // the reference has fewer stars than a match needs
    NotEnoughMemory,     // memory for the reference or the workers could not be had
    WriteFailed,         // the sink refused a frame
    Cancelled,           // the user asked to stop
};

struct PatternRegistrationResult {
    PatternStatus status = PatternStatus::NoFrame;
    std::vector<PatternFrame> frames; // Done: every frame given, in the order given
    int width = 0;                    // the reference's size
    int height = 0;
};

// The figures of a frame's transform (dx ... mirrored) for a reference of width x height.
void DescribeTransform(const SimilarityTransform& toFrame, int width, int height, PatternFrame& frame);

// Registers the frames onto the first. Reads only the frames and hands the aligned ones
// to sink (the reference as it was read), each with its HISTORY text: for the reference
// "Skyvane: patternreg reference frame", for the others
// "Skyvane: patternreg onto frame_001.fit (Lanczos-3)", two cards before it giving the
// transform ("Skyvane: patternreg dx = 6.0160 dy = -1.2016" and "Skyvane: patternreg
// rotation = 178.8571 scale = 1.000020", with " mirrored" when it is) added to the record's
// cards. Touches nothing else, so it may run on any thread. Tells its progress through
// feedback once per frame ("Registering frame 7 of 20") and looks between frames whether
// the user asked to stop. A frame that cannot be used is left out with its fate; the run
// goes on.
[[nodiscard]] PatternRegistrationResult RegisterByPattern(const PatternRegistrationRequest& request, AlignedFrameSink& sink,
                                                          Feedback& feedback);

} // namespace skyvane
