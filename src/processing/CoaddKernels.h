#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace skyvane {

// The per-pixel rules of co-addition, applied to many pixels at once. A band holds the
// values of `count` pixels from n frames: frame k's values are frames[k * frameStride + p]
// for p from 0 to count - 1. Pixels are independent, so the kernels work across pixels
// (which the compiler can vectorise) while every pixel goes through exactly the operations,
// in exactly the order, of the one-pixel functions of Coaddition.h; results are
// bit-identical to them.

enum class CoaddMethod { Median, Mean, MinMaxRejection, SigmaClipping, WinsorisedClipping };

struct CoaddParameters {
    CoaddMethod method = CoaddMethod::Mean;
    double kappa = 0.0;  // sigma clipping: clipping range in standard deviations
    int iterations = 0;  // sigma clipping: number of clipping rounds
};

// Least number of frames each method accepts: min-max rejection and winsorised sigma
// clipping need 3, sigma clipping 5.
int MinimumFrameCount(CoaddMethod method);

// One comparator of a sorting network on the slots i < j: the smaller value goes to i,
// the larger to j. When only one of the two results is ever read again the other is not
// written.
struct Comparator {
    enum Kind : std::uint8_t { Both, MinOnly, MaxOnly };
    int i = 0;
    int j = 0;
    Kind kind = Both;
};

// Batcher's odd-even merge sort for n slots, cut down to the comparators that decide the
// values ending in the slots `wanted` (for the median: the middle one or two). After the
// network has run, each wanted slot holds exactly the value that a full sort would put
// there, whatever the input, provided the values are totally ordered (no NaN).
std::vector<Comparator> MedianNetwork(int n);

// The method's value of one pixel from the m values of the frames that have one (missing
// ones left out, frame order kept): the one-pixel functions of Coaddition.h on those
// values, except that min-max rejection of fewer than 3 takes their mean; not-a-number
// (missing) when m is 0. values may be reordered; weights has room for m.
double CombinePresent(const CoaddParameters& parameters, double* values, int m, std::uint8_t* weights);

class WeightedBandCombiner;

// Combines bands for one method and one frame count; keeps its scratch memory between
// bands. One combiner per thread. With weights (one per frame), and for winsorised sigma
// clipping, the rules of WeightedCoadd.h. A pixel that is missing (not-a-number) in some frames
// is combined from the others (CombinePresent); without missing values the bands take the
// paths above alone.
class BandCombiner {
public:
    BandCombiner(const CoaddParameters& parameters, int n, std::vector<double> weights = {});
    ~BandCombiner();

    // out[p] = the method's value of pixel p, for p from 0 to count - 1. frames is not
    // changed.
    void combine(const double* frames, std::size_t frameStride, std::size_t count, double* out);

private:
    void medianBand(const double* frames, std::size_t frameStride, std::size_t count, double* out);
    void meanBand(const double* frames, std::size_t frameStride, std::size_t count, double* out);
    void minMaxRejectionBand(const double* frames, std::size_t frameStride, std::size_t count, double* out);
    void sigmaClippingBand(const double* frames, std::size_t frameStride, std::size_t count, double* out);
    // Pixels whose result is not-a-number because a frame's value is missing: combined again
    // from the present values.
    void combinePresentWhereMissing(const double* frames, std::size_t frameStride, std::size_t count, double* out);
    double presentPixel(const double* frames, std::size_t frameStride, std::size_t p);

    CoaddParameters parameters_;
    int n_;
    std::vector<Comparator> network_;
    std::vector<double> scratch_;  // n x chunk values, or one pixel's n values
    std::vector<double> work_;     // per-pixel accumulators of one chunk
    std::vector<std::uint8_t> flags_;
    std::vector<double> present_;              // one pixel's present values
    std::vector<std::uint8_t> presentWeights_; // and their sigma-clipping weights
    std::unique_ptr<WeightedBandCombiner> weighted_;
};

// The median of n frames of stored 16-bit integers (big-endian, as the files hold them)
// that share one scaling, value = stored * scale + zero with scale > 0: selected on the
// integers, whose order is that of the values, and only the chosen ones converted. Results
// are bit-identical to BandCombiner's median of the converted values (which never hold NaN
// or -0). A sorting network up to the same frame count as BandCombiner, a bitwise
// selection (17 counting passes, linear in n) above it. One combiner per thread.
class StoredMedianCombiner {
public:
    StoredMedianCombiner(int n, double scale, double zero);

    // out[p] = the median value of pixel p, for p from 0 to count - 1; frame k's values are
    // frames[k * frameStride + p].
    void combine(const std::uint16_t* frames, std::size_t frameStride, std::size_t count, double* out);

private:
    int n_;
    double scale_;
    double zero_;
    std::size_t chunk_;
    std::vector<Comparator> network_;
    std::vector<std::int16_t> keys_; // n x chunk, the stored integers in host order
    std::vector<std::int16_t> work_; // 2 x chunk
};

} // namespace skyvane
