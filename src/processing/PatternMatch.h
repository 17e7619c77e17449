#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "processing/StarDetection.h"

namespace skyvane {

// A similarity transform of the plane, possibly with a mirror image: the point (x, y)
// goes to
//     x' = a u - b v + tx
//     y' = b u + a v + ty,   with (u, v) = (x, y), or (x, -y) when mirrored,
// that is a turn by angle() counter-clockwise and a scale by scale() after the mirror.
struct SimilarityTransform {
    double a = 1.0;
    double b = 0.0;
    double tx = 0.0;
    double ty = 0.0;
    bool mirrored = false;

    double scale() const;
    double angle() const; // radians, (-pi, pi]
    void apply(double x, double y, double& outX, double& outY) const;
    // The inverse transform (same mirror).
    SimilarityTransform inverse() const;
};

// Points: the stars' positions, with the uncertainty that weighs them in a fit.
struct PatternPoint {
    double x = 0.0;
    double y = 0.0;
    double error = 0.1; // pixels
};

std::vector<PatternPoint> PatternPoints(const std::vector<DetectedStar>& stars);

struct PatternSettings {
    // Triangles are made of this many of the brightest stars of each side.
    int brightest = 30;
    // Two triangles are alike when both their side ratios (middle / longest, shortest /
    // longest) differ by at most this.
    double ratioTolerance = 0.01;
    // Triangles with a shorter side than this (pixels) are not used.
    double shortestSide = 4.0;
    // A star of the frame and one of the reference are the same when the transform puts
    // them at most this far apart (pixels of the reference); once a transform is fitted,
    // the radius shrinks to 4 times the distances of its pairs (at least 1 pixel).
    double matchRadius = 2.0;
    // Scales tried: frame distances over reference distances.
    double minScale = 0.67;
    double maxScale = 1.5;
    // Fewer stars matched than this: no match.
    int minMatches = 6;
};

struct PatternMatch {
    bool found = false;
    // From the reference to the frame: a star at (x, y) in the reference stands at
    // transform(x, y) in the frame.
    SimilarityTransform transform;
    // The pairs the final fit rests on: (reference index, frame index).
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    double rms = 0.0; // of the pairs' distances under the transform, frame pixels
};

// The reference's stars prepared for matching: its triangles indexed by their shape and
// its stars by their place. Built once, it matches any number of frames, from several
// threads at once (match is const).
class ReferencePattern {
public:
    // stars: brightest first (as DetectStars gives them).
    ReferencePattern(std::vector<PatternPoint> stars, const PatternSettings& settings = {});

    std::size_t starCount() const { return stars_.size(); }

    // The transform from the reference to a frame of the given stars (brightest first):
    //  1. every triangle of the frame's brightest stars is looked up among the reference's
    //     alike triangles (side ratios, sorted: the same under turns, flips and mirror
    //     images); each such pair names three stars of each side, and so a transform
    //     (mirrored when the triangles turn opposite ways), rejected unless its scale lies
    //     within the settings;
    //  2. each transform is tried on the frame's brightest stars: the one that brings most
    //     of them within matchRadius of one of the reference's twice as many brightest
    //     stars wins (a sample-and-consensus search, the samples taken from the triangles
    //     rather than at random; the search ends early on a transform that brings most of
    //     them home). It must bring clearly more of them there than chance would bring
    //     under the best of as many transforms (odds below 1 in 1000, taking the stars as
    //     scattered at random over the reference's field);
    //  3. then every star of the frame is paired with the nearest reference star under
    //     the transform, the transform fitted again by weighted least squares over all
    //     pairs, pairs whose distance is far beyond their uncertainty dropped, until the
    //     pairs settle; the pairs must again be clearly more than chance gives.
    // Not found with fewer than minMatches pairs, or fewer than three stars either side.
    PatternMatch match(const std::vector<PatternPoint>& frame) const;

private:
    struct Triangle {
        std::size_t vertex[3]; // opposite the longest, the middle and the shortest side
        double u = 0.0;        // middle / longest
        double v = 0.0;        // shortest / longest
        bool counterClockwise = false;
    };

    static std::vector<Triangle> Triangles(const std::vector<PatternPoint>& stars, std::size_t count, double shortestSide);
    // The reference star nearest (x, y) within radius, among the first limit; -1 when none.
    long nearest(double x, double y, double radius, std::size_t limit) const;
    // How many of the first count frame stars land near a bright reference star under the
    // inverse transform, with their summed distances; -1 as soon as toBeat is out of reach.
    int consensus(const SimilarityTransform& inverse, const std::vector<PatternPoint>& frame, std::size_t count, int toBeat,
                  double& spread) const;

    std::vector<PatternPoint> stars_;
    PatternSettings settings_;
    std::vector<Triangle> triangles_;
    int bins_ = 1;                            // of the ratio index, per axis
    std::vector<std::vector<std::size_t>> byShape_; // triangle ids per bin
    // Stars by place: cells of cellSize_ pixels.
    double cellSize_ = 8.0;
    double originX_ = 0.0;
    double originY_ = 0.0;
    double area_ = 1.0; // of the reference's field, square pixels
    int cellsX_ = 1;
    int cellsY_ = 1;
    std::vector<std::vector<std::size_t>> byPlace_;
};

// The weighted least-squares similarity (mirrored or not, as told) taking the points from
// to the points to; weights: 1 / (error_to^2 + scale^2 error_from^2), the scale from an
// unweighted first fit. Fewer than two pairs: the identity.
SimilarityTransform FitSimilarity(const std::vector<PatternPoint>& from, const std::vector<PatternPoint>& to,
                                  const std::vector<std::pair<std::size_t, std::size_t>>& pairs, bool mirrored);

} // namespace skyvane
