#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "image/FitsReader.h"

namespace skyvane {

// How a co-addition matches its frames to the reference (the first frame) before it
// combines them, and how it weighs them. None and none combine the frames as they are,
// bit for bit as the methods always have.
//
// Location: a frame's fitted background, a coarse grid of cells (about 8 across the
// frame), each cell's level a plane fitted with 3-sigma clipping to the cell's pixels (on
// every step-th pixel of every step-th row, about 128 x 128 pixels in all), taken at the
// cell's centre, plus the mode of what is left about it; between the cell centres the
// levels are interpolated bilinearly, beyond the outer ones linearly (SkyMap). Its median
// over the cells is the frame's sky level. The noise is the median over the cells of 1.4826
// x the median absolute deviation about each cell's plane.
// Scale (additive+scale): how bright the frame's stars are against the reference's: the
// median, over up to 50 of the brightest stars of the reference's central 1024 x 1024
// pixels (DetectStars), of the ratio of
// their fluxes above each frame's fitted background in a circle of twice the reference's
// median FWHM (at least 3 pixels) about the reference's star. The frames are taken as
// registered; a frame whose ratio cannot be had (fewer than 5 stars, a ratio beyond
// 1/50 .. 50, ratios scattered by more than a quarter of it (1.4826 x their median
// absolute deviation), or the stars' light centred more than a pixel off the reference's
// stars, as in a frame not registered) keeps a scale of 1.
//  - additive:        v' = v - B(x, y) + Bref(x, y)
//  - multiplicative:  v' = v x R(x, y), R: Bref / B cell by cell (1 where either is not
//                     positive), interpolated as the levels are
//  - additive+scale:  v' = (v - B(x, y)) / scale + Bref(x, y)
// The reference frame is taken as it is. Weights (noise): 1 / noise^2 of each frame as it
// is after normalisation (its noise times 1 / scale, or times the ratio of the reference's
// sky level to its own for multiplicative), normalised to a mean of 1 over the frames
// combined; exactly 1 each when the noises are equal.
enum class Normalisation { None, Additive, Multiplicative, AdditiveScale };
enum class Weighting { None, Noise };

struct StackingChoice {
    Normalisation normalisation = Normalisation::None;
    Weighting weighting = Weighting::None;
    bool plain() const { return normalisation == Normalisation::None && weighting == Weighting::None; }
};

// "none", "additive", "multiplicative", "additive+scale"; "none", "noise". Parsing takes
// exactly these words.
std::string_view NormalisationName(Normalisation normalisation);
bool ParseNormalisation(std::string_view text, Normalisation& normalisation);
std::string_view WeightingName(Weighting weighting);
bool ParseWeighting(std::string_view text, Weighting& weighting);

// What normalisation found out about one frame.
struct FrameFigures {
    std::size_t position = 0; // among the frames given to the co-addition
    double level = 0.0;       // sky level
    double noise = 0.0;       // sky noise
    double scale = 1.0;       // additive+scale: star brightness against the reference
    bool scaleKnown = true;   // false: the stars could not be compared (scale 1)
    double factor = 1.0;      // how normalisation multiplies the frame's noise
    double weight = 1.0;      // among the frames combined (1 without weights)
};

// The normalisation of the frames of one co-addition, once measured: applied to the
// values of each band as they are read. Every pixel's new value depends on its frame and
// place only, never on the band, so results do not depend on the band sizes or threads.
class FrameNormaliser {
public:
    FrameNormaliser();
    ~FrameNormaliser();
    FrameNormaliser(FrameNormaliser&&) noexcept;
    FrameNormaliser& operator=(FrameNormaliser&&) noexcept;

    const StackingChoice& choice() const { return choice_; }
    // values[i] holds pixel offset + i of the rows from firstRow on (width values per row)
    // of the frame given at position; they are normalised in place. Nothing for the
    // reference, nothing without normalisation.
    void apply(std::size_t position, int firstRow, std::size_t offset, std::size_t count, double* values) const;
    // The same values from the frame's stored big-endian 16-bit values (ConvertStored16 with
    // scale and zero), converted and normalised in one pass into out.
    void convertStored16(std::size_t position, int firstRow, std::size_t offset, std::size_t count, const std::uint16_t* bigEndian, double scale,
                         double zero, double* out) const;
    // The same values from the frame's floats (each made a double), converted and
    // normalised in one pass into out.
    void convertFloats(std::size_t position, int firstRow, std::size_t offset, std::size_t count, const float* floats, double* out) const;
    // The same values from the frame's stored big-endian 32-bit floats (ConvertStoredFloats),
    // converted and normalised in one pass into out.
    void convertStoredFloats(std::size_t position, int firstRow, std::size_t offset, std::size_t count, const std::uint32_t* bigEndian,
                             double* out) const;
    // The weights of the frames at these positions (mean 1), empty without weights.
    std::vector<double> weights(const std::vector<std::size_t>& positions) const;
    // The figures of the frame at position (weight 1; see weights()).
    const FrameFigures& figures(std::size_t position) const;

    struct Frame;
    struct Geometry;

private:
    friend struct NormaliserBuilder;
    bool changes(std::size_t position) const;
    template <class In>
    void normalise(std::size_t position, int firstRow, std::size_t offset, std::size_t count, const In& in, double* out) const;
    StackingChoice choice_;
    int width_ = 0;
    std::vector<Frame> frames_; // by position
    std::unique_ptr<Geometry> geometry_;
};

enum class NormalisationStatus {
    Done,                 // normaliser holds every frame's figures but the failed ones
    ReferenceUnreadable,  // the first frame could not be read
    NotEnoughMemory,
    Cancelled,            // report asked to stop
};

struct NormalisationOutcome {
    NormalisationStatus status = NormalisationStatus::Done;
    std::vector<std::size_t> failed; // positions of frames that could not be read, ascending
    FitsError error = FitsError::None; // ReferenceUnreadable: why
};

// Measures the frames (paths[i] at positions[i], the reference first) of the given size for
// choice, threads at once (0: the processor's cores, at most 4), into normaliser. report
// is called on the calling thread between frames and while it waits, with the number of
// frames done; it returns false to stop.
[[nodiscard]] NormalisationOutcome PrepareNormalisation(const std::vector<std::string>& paths, const std::vector<std::size_t>& positions,
                                                        ImageSize size, const StackingChoice& choice, int threads,
                                                        const std::function<bool(std::size_t done)>& report, FrameNormaliser& normaliser);

} // namespace skyvane
