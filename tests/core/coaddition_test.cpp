#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "command/Interpreter.h"
#include "command/Messages.h"
#include "image/FitsReader.h"
#include "processing/Coaddition.h"
#include "processing/CoaddKernels.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::FitsLayout;
using test::TempDir;
using test::TestContext;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

const std::string HeaderPolicyText = "Header option not yet implemented, headers from first image will be used";
const std::string NotTwoDText = "Loaded image is not 2-D.\nOnly 2-D images are supported.";

// The same double, bit for bit, where the bits are fixed: IEEE arithmetic does not fix the
// sign or payload of a NaN made from two NaN operands (the processor takes one of them,
// and the compiler may order commutative operands either way), so any two NaN count alike.
bool SameBits(double a, double b)
{
    if (std::isnan(a) && std::isnan(b))
        return true;
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A FITS image of `width` x `height` doubles, row-major values.
void WriteFrame(const std::string& path, int width, int height, std::vector<double> values, std::vector<std::string> cards = {})
{
    FitsLayout layout;
    layout.width = width;
    layout.height = height;
    layout.values = std::move(values);
    layout.extraCards = std::move(cards);
    test::WriteFitsImage(path, layout);
}

void WriteConstantFrame(const std::string& path, int width, int height, double value, std::vector<std::string> cards = {})
{
    WriteFrame(path, width, height, std::vector<double>(static_cast<std::size_t>(width) * height, value), std::move(cards));
}

// The paths of files in a folder, in the order given.
std::vector<std::string> FramePaths(const TempDir& folder, const std::vector<std::string>& names)
{
    std::vector<std::string> paths;
    for (const std::string& name : names)
        paths.push_back(folder.file(name));
    return paths;
}

// A co-addition of frames whose notices go to messages as the program tells them.
CoaddResult Combine(const std::vector<std::string>& paths, CoaddParameters parameters, test::RecordingMessages& messages,
                    const CoaddTuning& tuning = {})
{
    CoaddOptions options;
    options.parameters = parameters;
    options.tuning = tuning;
    CoaddMessages feedback(messages);
    return CombineFrames(paths, options, feedback);
}

// The cards of a co-added result: the first frame's as they were, then NCOMBINE and the
// HISTORY cards of the run.
void ExpectFirstFrameCardsThenProvenance(const HeaderCards& cards, const HeaderCards& first, int combined)
{
    ASSERT_GT(cards.count(), first.count());
    EXPECT_TRUE(std::equal(first.block().begin(), first.block().end(), cards.block().begin()));
    EXPECT_EQ(std::string(cards.card(first.count())).substr(0, 30), "NCOMBINE=                    " + std::to_string(combined));
    for (int i = first.count() + 1; i < cards.count(); ++i)
        EXPECT_EQ(cards.card(i).substr(0, 8), "HISTORY ");
}

// Cuts a file down to `keep` bytes.
void Truncate(const std::string& path, std::uintmax_t keep)
{
    std::filesystem::resize_file(path, keep);
}

struct CoaddTest : ::testing::Test {
    TempDir dir;
    TestContext tc;
    AppContext& context = tc.context;

    // A list "[tag] = dir" of the given files; unselected ones are deselected.
    int MakeList(const std::vector<std::string>& names, const std::vector<bool>& selected = {}, const std::string& tag = "PATH")
    {
        const TreeItem list = context.lists.InsertList("[" + tag + "] = " + dir.path().string());
        for (std::size_t i = 0; i < names.size(); ++i) {
            const TreeItem file = context.lists.InsertFile(list, names[i]);
            if (i < selected.size() && !selected[i])
                context.lists.DeselectFile(file);
        }
        return context.lists.ListPositionOfItem(list);
    }

    // Puts a recognisable image into Image A, so that "untouched" can be checked.
    void FillImageA()
    {
        context.imageA.grid.resize(2, 3);
        context.imageA.grid[1][2] = 42.0;
        context.imageA.cards.append("OLDCARD = 'kept'");
    }

    void ExpectImageAUntouched()
    {
        ASSERT_EQ(context.imageA.grid.width(), 2);
        ASSERT_EQ(context.imageA.grid.height(), 3);
        EXPECT_EQ(context.imageA.grid[1][2], 42.0);
        ASSERT_EQ(context.imageA.cards.count(), 1);
        EXPECT_EQ(std::string(context.imageA.cards.card(0)), std::string("OLDCARD = 'kept'").append(64, ' '));
        EXPECT_EQ(tc.displaySink.created, 0);
        EXPECT_EQ(tc.displaySink.cleared, 0);
    }
};

// ---------------------------------------------------------------------------------------
// The rules of each method on one pixel, through files and through the pixel functions.

struct PixelCase {
    const char* name;
    CoaddMethod method;
    std::vector<double> values;
    double kappa;
    int iterations;
    double expected;
};

// The one-pixel functions on the values of the frames that have one (missing values, NaN,
// left out): nothing present stays missing, min-max rejection of fewer than three values
// is their mean.
double PixelRule(const PixelCase& c)
{
    std::vector<double> present;
    for (const double v : c.values)
        if (!std::isnan(v))
            present.push_back(v);
    const int n = static_cast<int>(present.size());
    if (n == 0)
        return NaN;
    std::vector<double> scratch(present.size());
    std::vector<std::uint8_t> weights(present.size());
    switch (c.method) {
    case CoaddMethod::Median:
        return MedianPixel(present.data(), n, scratch.data());
    case CoaddMethod::Mean:
        return MeanPixel(present.data(), n);
    case CoaddMethod::MinMaxRejection:
        return n < 3 ? MeanPixel(present.data(), n) : MinMaxRejectionPixel(present.data(), n);
    case CoaddMethod::SigmaClipping:
        return SigmaClippingPixel(present.data(), n, c.kappa, c.iterations, weights.data());
    case CoaddMethod::WinsorisedClipping:
        break;
    }
    return NaN;
}

TEST_F(CoaddTest, EdgeCasesOfEachMethod)
{
    const std::vector<PixelCase> cases = {
        {"median of an even count is the mean of the middle two", CoaddMethod::Median, {4, 1, 3, 2}, 0, 0, 2.5},
        {"median of an odd count", CoaddMethod::Median, {5, 1, 4}, 0, 0, 4},
        {"median of one image", CoaddMethod::Median, {7.25}, 0, 0, 7.25},
        {"mean of one image", CoaddMethod::Mean, {-3.5}, 0, 0, -3.5},
        {"mean, not sum", CoaddMethod::Mean, {1, 2, 6}, 0, 0, 3},
        {"min-max drops one minimum and one maximum", CoaddMethod::MinMaxRejection, {1, 5, 5, 9}, 0, 0, 5},
        {"min-max of equal values", CoaddMethod::MinMaxRejection, {3, 3, 3}, 0, 0, 3},
        {"min-max drops only one of equal extremes", CoaddMethod::MinMaxRejection, {1, 1, 4, 9, 9}, 0, 0, 14.0 / 3.0},
        {"sigma clip rejects the outlier", CoaddMethod::SigmaClipping, {10, 10, 10, 10, 100}, 1.5, 1, 10},
        {"kappa 0 keeps the value equal to the mean", CoaddMethod::SigmaClipping, {1, 2, 3, 4, 5}, 0, 1, 3},
        {"kappa 0, no value equals the mean: plain mean", CoaddMethod::SigmaClipping, {1, 2, 3, 4, 10}, 0, 1, 4},
        {"negative kappa rejects everything: plain mean", CoaddMethod::SigmaClipping, {1, 2, 3, 4, 10}, -1, 3, 4},
        {"negative kappa keeps all of equal values", CoaddMethod::SigmaClipping, {6, 6, 6, 6, 6}, -2, 1, 6},
        {"no iteration is the plain mean", CoaddMethod::SigmaClipping, {10, 10, 10, 10, 100}, 1.5, 0, 28},
        {"negative iterations are the plain mean", CoaddMethod::SigmaClipping, {10, 10, 10, 10, 100}, 1.5, -4, 28},
        {"each round clips around the kept values", CoaddMethod::SigmaClipping, {0, 0, 0, 0, 0, 0, 0, 0, 1, 50}, 1, 2, 0},
        {"an infinite extreme never enters the min-max sum", CoaddMethod::MinMaxRejection, {Inf, 110, 120, 130, 140}, 0, 0, 130},
        {"min-max with infinities of both signs", CoaddMethod::MinMaxRejection, {120, -Inf, 100, Inf, 110}, 0, 0, 110},
        {"min-max keeps an infinity that is no extreme", CoaddMethod::MinMaxRejection, {Inf, 1, Inf, 2, Inf}, 0, 0, Inf},
        {"sigma clipping rejects an infinite value", CoaddMethod::SigmaClipping, {Inf, 110, 120, 130, 140}, 3, 1, 125},
        {"then clips the finite values as usual", CoaddMethod::SigmaClipping, {10, -Inf, 10, 10, 10, 100, Inf}, 1.5, 1, 10},
        {"every value infinite: the plain mean", CoaddMethod::SigmaClipping, {Inf, Inf, Inf, Inf, Inf}, 2, 1, Inf},
        {"no round clips nothing, infinite or not", CoaddMethod::SigmaClipping, {Inf, 110, 120, 130, 140}, 3, 0, Inf},
        {"median of the frames that have a value", CoaddMethod::Median, {4, NaN, 1, 3}, 0, 0, 3},
        {"mean leaves the missing value out", CoaddMethod::Mean, {1, NaN, 6}, 0, 0, 3.5},
        {"min-max rejection among the present values", CoaddMethod::MinMaxRejection, {1, 5, NaN, 5, 9}, 0, 0, 5},
        {"min-max rejection of two present values: their mean", CoaddMethod::MinMaxRejection, {2, NaN, NaN, 4}, 0, 0, 3},
        {"sigma clip among the present values", CoaddMethod::SigmaClipping, {10, NaN, 10, 10, 10, 100}, 1.5, 1, 10},
        {"missing in every frame stays missing", CoaddMethod::Mean, {NaN, NaN, NaN}, 0, 0, NaN},
    };
    for (const PixelCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(SameBits(PixelRule(c), c.expected));

        // The same values as 1 x 2 frames (both pixels alike) in a list of their own.
        TempDir frameDir;
        std::vector<std::string> names;
        for (std::size_t k = 0; k < c.values.size(); ++k) {
            names.push_back("f" + std::to_string(k) + ".fit");
            WriteConstantFrame(frameDir.file(names.back()), 1, 2, c.values[k]);
        }
        test::RecordingMessages messages;
        const CoaddResult result = Combine(FramePaths(frameDir, names), {c.method, c.kappa, c.iterations}, messages);
        ASSERT_EQ(result.status, CoaddStatus::Done);
        ASSERT_EQ(result.grid.width(), 1);
        ASSERT_EQ(result.grid.height(), 2);
        EXPECT_TRUE(SameBits(result.grid[0][0], c.expected));
        EXPECT_TRUE(SameBits(result.grid[0][1], c.expected));
        EXPECT_TRUE(messages.texts.empty());
    }
}

TEST_F(CoaddTest, EntryPointsRunTheirMethod)
{
    const std::vector<double> values = {10, 10, 10, 10, 100, 4};
    std::vector<std::string> names;
    for (std::size_t k = 0; k < values.size(); ++k) {
        names.push_back("e" + std::to_string(k) + ".fit");
        WriteConstantFrame(dir.file(names.back()), 2, 1, values[k]);
    }
    MakeList(names);
    EXPECT_EQ(ExecuteCommand(context, "median [PATH]"), "     median image has been calculated");
    EXPECT_EQ(context.imageA.grid[1][0], 10.0);
    EXPECT_EQ(ExecuteCommand(context, "mean [PATH]"), "     mean image has been calculated");
    EXPECT_EQ(context.imageA.grid[1][0], 24.0);
    EXPECT_EQ(ExecuteCommand(context, "minmaxrej [PATH]"), "     co-added image has been calculated with min-max rejection");
    EXPECT_EQ(context.imageA.grid[1][0], 10.0);
    EXPECT_EQ(ExecuteCommand(context, "sigmaclip [PATH] 1.5 1"), "     co-added image has been calculated with sigma clipping");
    EXPECT_EQ(context.imageA.grid[1][0], 8.8);
    EXPECT_TRUE(tc.messages.texts.empty());
}

// ---------------------------------------------------------------------------------------
// Which files take part, size and header cards, messages.

TEST_F(CoaddTest, UnselectedFilesAreIgnoredAndFirstSelectedGivesSizeAndCards)
{
    WriteConstantFrame(dir.file("skip.fit"), 5, 5, 1000.0, {"OBSERVER= 'nobody'"});
    WriteConstantFrame(dir.file("one.fit"), 4, 3, 2.0, {"OBSERVER= 'first'", "EXPTIME =                 30.0"});
    WriteConstantFrame(dir.file("two.fit"), 4, 3, 6.0, {"OBSERVER= 'second'"});
    MakeList({"skip.fit", "one.fit", "two.fit"}, {false, true, true});

    ASSERT_EQ(ExecuteCommand(context, "mean [PATH]"), "     mean image has been calculated");
    ASSERT_EQ(context.imageA.grid.width(), 4);
    ASSERT_EQ(context.imageA.grid.height(), 3);
    for (int x = 0; x < 4; ++x)
        for (int y = 0; y < 3; ++y)
            EXPECT_EQ(context.imageA.grid[x][y], 4.0);

    // The first frame's cards, then the cards that tell how the result was made.
    HeaderCards expected;
    ASSERT_EQ(readFitsHeaderCards(dir.file("one.fit"), expected), FitsError::None);
    ExpectFirstFrameCardsThenProvenance(context.imageA.cards, expected, 2);
    bool sawFirst = false;
    for (int i = 0; i < context.imageA.cards.count(); ++i)
        sawFirst = sawFirst || context.imageA.cards.card(i).substr(0, 19) == "OBSERVER= 'first'  ";
    EXPECT_TRUE(sawFirst);
    EXPECT_TRUE(tc.messages.texts.empty());
}

TEST_F(CoaddTest, HeaderPolicyOtherThanFirstImageWarnsAndUsesFirstImage)
{
    WriteConstantFrame(dir.file("one.fit"), 2, 2, 1.0, {"OBSERVER= 'first'"});
    WriteConstantFrame(dir.file("two.fit"), 2, 2, 3.0, {"OBSERVER= 'second'"});
    MakeList({"one.fit", "two.fit"});
    context.settings.HeadersCombo3 = 2;
    ASSERT_EQ(ExecuteCommand(context, "median [PATH]"), "     median image has been calculated");
    EXPECT_EQ(tc.messages.texts, std::vector<std::string>{HeaderPolicyText});
    HeaderCards expected;
    ASSERT_EQ(readFitsHeaderCards(dir.file("one.fit"), expected), FitsError::None);
    ExpectFirstFrameCardsThenProvenance(context.imageA.cards, expected, 2);
    EXPECT_EQ(context.imageA.grid[1][1], 2.0);
}

TEST_F(CoaddTest, ResultIsDisplayedWithoutTouchingThresholds)
{
    WriteConstantFrame(dir.file("one.fit"), 3, 2, 100.0);
    MakeList({"one.fit"});
    ASSERT_EQ(ExecuteCommand(context, "mean [PATH]"), "     mean image has been calculated");
    EXPECT_TRUE(context.display.isImageDisplayed());
    EXPECT_EQ(tc.displaySink.cleared, 0);
    EXPECT_EQ(tc.displaySink.created, 1);
    EXPECT_EQ(context.display.bitmap().width(), 3);
    EXPECT_EQ(context.display.bitmap().height(), 2);

    // Already displayed: the old picture is cleared first, then the new one built.
    WriteConstantFrame(dir.file("one.fit"), 5, 4, 100.0);
    tc.thresholds.low = 50;
    tc.thresholds.high = 150;
    ASSERT_EQ(ExecuteCommand(context, "mean [PATH]"), "     mean image has been calculated");
    EXPECT_EQ(tc.displaySink.cleared, 1);
    EXPECT_EQ(tc.displaySink.created, 2);
    EXPECT_EQ(context.display.bitmap().width(), 5);
    EXPECT_EQ(context.display.bitmap().rows.at(0), GreyMapping(50, 150)(100.0));
    EXPECT_EQ(tc.thresholds.low, 50);
    EXPECT_EQ(tc.thresholds.high, 150);
}

// A later file that is not usable is reported and left out; N counts the frames used.
TEST_F(CoaddTest, UnusableLaterFilesAreReportedAndLeftOut)
{
    struct Case {
        const char* name;
        void (*make)(const std::string& path);
        std::string message;
    };
    const std::vector<Case> cases = {
        {"another size", [](const std::string& p) { WriteConstantFrame(p, 3, 2, 600.0); }, "Image size mismatch."},
        {"three axes", [](const std::string& p) {
             test::WriteFileBytes(p, test::RawFitsHeader({"SIMPLE  =                    T", "BITPIX  =                  -64", "NAXIS   =                    3",
                                                            "NAXIS1  =                    2", "NAXIS2  =                    2", "NAXIS3  =                    1"})
                                         + std::string(2880, '\0'));
         },
         NotTwoDText},
        {"truncated data", [](const std::string& p) {
             WriteConstantFrame(p, 2, 2, 600.0);
             Truncate(p, 2880 + 16);
         },
         "Error while reading image data"},
        {"missing file", [](const std::string&) {}, "Error while reading image data"},
        {"not a FITS file", [](const std::string& p) { test::WriteFileBytes(p, "hello"); }, "Error while reading image data"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir frames;
        WriteConstantFrame(frames.file("a.fit"), 2, 2, 1.0);
        WriteConstantFrame(frames.file("b.fit"), 2, 2, 2.0);
        c.make(frames.file("bad.fit"));
        WriteConstantFrame(frames.file("c.fit"), 2, 2, 6.0);
        test::RecordingMessages messages;
        const CoaddResult result = Combine(FramePaths(frames, {"a.fit", "b.fit", "bad.fit", "c.fit"}), {CoaddMethod::Mean, 0, 0}, messages);
        ASSERT_EQ(result.status, CoaddStatus::Done);
        EXPECT_EQ(messages.texts, std::vector<std::string>{c.message});
        EXPECT_EQ(messages.paths, std::vector<std::string>{frames.file("bad.fit")});
        EXPECT_EQ(result.frames, 4);
        EXPECT_EQ(result.leftOut, std::vector<std::string>{frames.file("bad.fit")});
        for (int x = 0; x < 2; ++x)
            for (int y = 0; y < 2; ++y)
                EXPECT_EQ(result.grid[x][y], 3.0);
    }
}

TEST_F(CoaddTest, ListWithoutSelectedFileIsRefused)
{
    WriteConstantFrame(dir.file("a.fit"), 2, 2, 1.0);
    FillImageA();
    MakeList({}, {}, "EMPTY");
    EXPECT_EQ(ExecuteCommand(context, "median [EMPTY]"), "     list has no selected image !");
    MakeList({"a.fit"}, {false}, "NONE");
    EXPECT_EQ(ExecuteCommand(context, "mean [NONE]"), "     list has no selected image !");
    EXPECT_EQ(ExecuteCommand(context, "sigmaclip [NONE] 3 2"), "     list has no selected image !");
    test::RecordingMessages messages;
    EXPECT_EQ(Combine({}, {CoaddMethod::Mean, 0, 0}, messages).status, CoaddStatus::NoFrame);
    EXPECT_TRUE(messages.texts.empty());
    EXPECT_TRUE(tc.messages.texts.empty());
    ExpectImageAUntouched();
}

TEST_F(CoaddTest, UnreadableFirstFileStopsTheRun)
{
    struct Case {
        const char* name;
        void (*make)(const std::string& path);
        std::vector<std::string> messages;
    };
    const std::vector<Case> cases = {
        {"missing", [](const std::string&) {}, {"Error while reading image size"}},
        {"three axes", [](const std::string& p) {
             test::WriteFileBytes(p, test::RawFitsHeader({"SIMPLE  =                    T", "BITPIX  =                  -64", "NAXIS   =                    3",
                                                            "NAXIS1  =                    2", "NAXIS2  =                    2", "NAXIS3  =                    1"})
                                         + std::string(2880, '\0'));
         },
         {NotTwoDText, "Error while reading image size"}},
        {"truncated", [](const std::string& p) {
             WriteConstantFrame(p, 2, 2, 5.0);
             Truncate(p, 2880 + 8);
         },
         {"Error while reading image data"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir frames;
        c.make(frames.file("first.fit"));
        WriteConstantFrame(frames.file("b.fit"), 2, 2, 2.0);
        TestContext local;
        local.context.imageA.grid.resize(2, 3);
        local.context.imageA.grid[1][2] = 42.0;
        const TreeItem list = local.context.lists.InsertList("[PATH] = " + frames.path().string());
        local.context.lists.InsertFile(list, "first.fit");
        local.context.lists.InsertFile(list, "b.fit");
        EXPECT_EQ(ExecuteCommand(local.context, "median [PATH]"), "     first selected image could not be read !");
        EXPECT_EQ(local.messages.texts, c.messages);
        EXPECT_EQ(local.context.imageA.grid.width(), 2);
        EXPECT_EQ(local.context.imageA.grid[1][2], 42.0);
        EXPECT_EQ(local.displaySink.created, 0);
    }
}

TEST_F(CoaddTest, TooFewImagesLeaveImageAUntouched)
{
    for (const char* name : {"a.fit", "b.fit", "c.fit", "d.fit"})
        WriteConstantFrame(dir.file(name), 2, 2, 1.0);
    WriteConstantFrame(dir.file("wrong.fit"), 1, 1, 1.0);
    FillImageA();
    context.settings.HeadersCombo3 = 1;

    MakeList({"a.fit", "b.fit"}, {}, "TWO");
    EXPECT_EQ(ExecuteCommand(context, "minmaxrej [TWO]"), "     min-max rejection requires at least 3 images!");
    MakeList({"a.fit", "b.fit", "c.fit", "d.fit"}, {}, "FOUR");
    EXPECT_EQ(ExecuteCommand(context, "sigmaclip [FOUR] 3 2"), "     sigma clipping requires at least 5 images!");
    EXPECT_TRUE(tc.messages.texts.empty());
    // Three selected, but only two usable.
    MakeList({"a.fit", "wrong.fit", "b.fit"}, {}, "THREE");
    EXPECT_EQ(ExecuteCommand(context, "minmaxrej [THREE]"), "     min-max rejection requires at least 3 images!");
    EXPECT_EQ(tc.messages.texts, std::vector<std::string>{"Image size mismatch."});
    ExpectImageAUntouched();
}

TEST_F(CoaddTest, NoMemoryForTheResultIsReportedAndLeavesImageAUntouched)
{
    for (const char* name : {"a.fit", "b.fit", "c.fit", "d.fit", "e.fit"})
        WriteConstantFrame(dir.file(name), 64, 64, 1.0);
    FillImageA();
    MakeList({"a.fit", "b.fit", "c.fit", "d.fit", "e.fit"});
    struct LimitGuard {
        ~LimitGuard() { SetGridMemoryLimit(0); }
    } guard;
    SetGridMemoryLimit(64 * 64 * 8 - 1); // one byte short of the result grid

    EXPECT_EQ(ExecuteCommand(context, "sigmaclip [PATH] 3 2"), "     not enough memory for the co-added image !");
    EXPECT_EQ(tc.messages.texts, std::vector<std::string>{"Not enough memory for an image of 64 x 64 pixels."});
    EXPECT_EQ(tc.messages.paths, std::vector<std::string>{""});
    EXPECT_EQ(ExecuteCommand(context, "median [PATH]"), "     not enough memory for the co-added image !");
    ExpectImageAUntouched();
}

// A file cut short while the header warning is on screen passes the check before the
// warning and fails while it is read: it is reported, and the combination starts again
// without it. Losing the first file ends the run without a result.
class TruncatingMessages final : public Feedback {
public:
    void showError(const std::string& text) override
    {
        texts.push_back(text);
        if (text == HeaderPolicyText)
            Truncate(victim, 2880);
    }
    void showFileError(const std::string& text, const std::string& path) override
    {
        texts.push_back(text);
        paths.push_back(path);
    }
    std::vector<std::string> texts;
    std::vector<std::string> paths;
    std::string victim;
};

TEST_F(CoaddTest, FileFailingPartWayIsLeftOutAndTheRunRestarts)
{
    // 64-bit frames go through the library; 16-bit ones are read straight from the file.
    const std::vector<CoaddTuning> tunings = {{}, {1, 1, 200}, {std::size_t{64} * 64 * 8 * 2, 2, 1}};
    for (const CoaddTuning& tuning : tunings) {
        for (const auto& [firstFails, bitpix] : {std::pair{false, -64}, std::pair{true, -64}, std::pair{false, 16}, std::pair{true, 16}}) {
            SCOPED_TRACE(std::string(firstFails ? "first file" : "later file") + ", band bytes " + std::to_string(tuning.bandBytes) +
                         ", BITPIX " + std::to_string(bitpix));
            TempDir frames;
            for (const auto& [name, value] : {std::pair{"a.fit", 2.0}, std::pair{"b.fit", 100.0}, std::pair{"c.fit", 6.0}}) {
                FitsLayout layout;
                layout.width = 64;
                layout.height = 64;
                layout.bitpix = bitpix;
                layout.bzero = bitpix == 16 ? 32768.0 : 0.0;
                layout.values.assign(64 * 64, value);
                test::WriteFitsImage(frames.file(name), layout);
            }
            TruncatingMessages messages;
            messages.victim = frames.file(firstFails ? "a.fit" : "b.fit");
            CoaddOptions options;
            options.parameters = {CoaddMethod::Mean, 0, 0};
            options.headerNotice = true;
            options.tuning = tuning;
            CoaddMessages feedback(messages);

            const CoaddResult result = CombineFrames(FramePaths(frames, {"a.fit", "b.fit", "c.fit"}), options, feedback);
            EXPECT_EQ(messages.texts, (std::vector<std::string>{HeaderPolicyText, "Error while reading image data"}));
            EXPECT_EQ(messages.paths, std::vector<std::string>{messages.victim});
            EXPECT_EQ(result.leftOut, firstFails ? std::vector<std::string>{} : std::vector<std::string>{messages.victim});
            if (firstFails) {
                EXPECT_EQ(result.status, CoaddStatus::FirstFrameUnreadable);
                EXPECT_TRUE(result.grid.empty());
            } else {
                EXPECT_EQ(result.status, CoaddStatus::Done);
                ASSERT_EQ(result.grid.width(), 64);
                int wrong = 0;
                for (int x = 0; x < 64; ++x)
                    for (int y = 0; y < 64; ++y)
                        wrong += result.grid[x][y] != 4.0;
                EXPECT_EQ(wrong, 0);
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// Bands, threads and the one-pixel rules agree bit for bit.

// Values with many ties, both zeros, infinities and NaN, so that selection order and
// special values matter.
double RandomValue(std::mt19937_64& rng, bool specials)
{
    const int kind = static_cast<int>(rng() % 20);
    if (specials) {
        switch (kind) {
        case 0:
            return NaN;
        case 1:
            return -0.0;
        case 2:
            return 0.0;
        case 3:
            return (rng() % 2) ? Inf : -Inf;
        default:
            break;
        }
    }
    if (kind < 10)
        return static_cast<double>(rng() % 7);
    return std::ldexp(static_cast<double>(rng() % 2000001) - 1000000.0, -static_cast<int>(rng() % 20));
}

double ReferencePixel(CoaddMethod method, const std::vector<double>& v, double kappa, int iterations)
{
    PixelCase c{"", method, v, kappa, iterations, 0};
    return PixelRule(c);
}

TEST_F(CoaddTest, MultiBandResultsMatchThePixelRulesBitForBit)
{
    constexpr int width = 7;
    constexpr int height = 23;
    std::mt19937_64 rng(20240611);
    struct Method {
        CoaddMethod method;
        double kappa;
        int iterations;
    };
    const std::vector<Method> methods = {
        {CoaddMethod::Median, 0, 0}, {CoaddMethod::Mean, 0, 0}, {CoaddMethod::MinMaxRejection, 0, 0}, {CoaddMethod::SigmaClipping, 1.2, 3}};
    for (const int n : {1, 5, 8, 20}) {
        // frames[k] row-major values; files f<k>.fit.
        TempDir frames;
        std::vector<std::vector<double>> values(static_cast<std::size_t>(n));
        for (int k = 0; k < n; ++k) {
            for (int i = 0; i < width * height; ++i)
                values[static_cast<std::size_t>(k)].push_back(RandomValue(rng, true));
            WriteFrame(frames.file("f" + std::to_string(k) + ".fit"), width, height, values[static_cast<std::size_t>(k)]);
        }
        std::vector<std::string> paths;
        for (int k = 0; k < n; ++k)
            paths.push_back(frames.file("f" + std::to_string(k) + ".fit"));
        test::RecordingMessages messages;

        // One row per band on one thread, a few rows per band on two threads with every
        // frame reopened per band, everything in one band.
        const std::vector<CoaddTuning> tunings = {{1, 1, 200}, {static_cast<std::size_t>(2 * 3 * n * width * 8), 2, 2}, {std::size_t{1} << 24, 2, 200}};
        for (const Method& m : methods) {
            if (n < MinimumFrameCount(m.method))
                continue;
            for (const CoaddTuning& tuning : tunings) {
                SCOPED_TRACE("n " + std::to_string(n) + ", method " + std::to_string(static_cast<int>(m.method)) + ", band bytes " + std::to_string(tuning.bandBytes));
                const CoaddResult result = Combine(paths, {m.method, m.kappa, m.iterations}, messages, tuning);
                ASSERT_EQ(result.status, CoaddStatus::Done);
                ASSERT_EQ(result.grid.width(), width);
                ASSERT_EQ(result.grid.height(), height);
                int mismatches = 0;
                for (int x = 0; x < width; ++x) {
                    for (int y = 0; y < height; ++y) {
                        std::vector<double> pixel;
                        for (int k = 0; k < n; ++k)
                            pixel.push_back(values[static_cast<std::size_t>(k)][static_cast<std::size_t>(y * width + x)]);
                        const double expected = ReferencePixel(m.method, pixel, m.kappa, m.iterations);
                        if (!SameBits(result.grid[x][y], expected))
                            ++mismatches;
                    }
                }
                EXPECT_EQ(mismatches, 0);
            }
        }
        EXPECT_TRUE(messages.texts.empty());
    }
}

// ---------------------------------------------------------------------------------------
// Progress and the user's wish to stop.

// Records what a co-addition tells, and asks it to stop once it has told `stopAfter`
// progress reports (never when negative).
class StoppingFeedback final : public CoaddFeedback {
public:
    explicit StoppingFeedback(int stopAt) : stopAfter(stopAt) {}
    void notice(const CoaddNotice&) override { ++notices; }
    void progress(const std::string& text, double fraction) override
    {
        EXPECT_FALSE(cancelRequested()) << "progress after the wish to stop: " << text;
        texts.push_back(text);
        fractions.push_back(fraction);
    }
    bool cancelRequested() const override { return stopAfter >= 0 && static_cast<int>(texts.size()) >= stopAfter; }

    int stopAfter;
    int notices = 0;
    std::vector<std::string> texts;
    std::vector<double> fractions;
};

TEST_F(CoaddTest, ProgressTellsEachFrameThenEachBand)
{
    constexpr int n = 6;
    TempDir frames;
    std::vector<std::string> names;
    for (int k = 0; k < n; ++k) {
        names.push_back("f" + std::to_string(k) + ".fit");
        WriteConstantFrame(frames.file(names.back()), 3, 10, k);
    }
    CoaddOptions options;
    options.parameters = {CoaddMethod::Mean, 0, 0};
    // One thread, four rows of every frame per band: bands of rows 1-4, 5-8, 9-10.
    options.tuning = {static_cast<std::size_t>(4 * n * 3 * 8), 1, 200};
    StoppingFeedback feedback(-1);
    const CoaddResult result = CombineFrames(FramePaths(frames, names), options, feedback);
    ASSERT_EQ(result.status, CoaddStatus::Done);
    EXPECT_EQ(result.grid[2][9], 2.5);

    std::vector<std::string> told;
    for (const std::string& text : feedback.texts)
        if (told.empty() || told.back() != text)
            told.push_back(text);
    EXPECT_EQ(told, (std::vector<std::string>{"Reading frame 1 of 6", "Reading frame 2 of 6", "Reading frame 3 of 6", "Reading frame 4 of 6",
                                              "Reading frame 5 of 6", "Reading frame 6 of 6", "Combining rows 1 to 4 of 10",
                                              "Combining rows 5 to 8 of 10", "Combining rows 9 to 10 of 10"}));
    EXPECT_EQ(feedback.fractions.front(), 0.0);
    EXPECT_TRUE(std::is_sorted(feedback.fractions.begin(), feedback.fractions.end()));
    EXPECT_LT(feedback.fractions.back(), 1.0);
}

// Asked to stop while the frames are checked, between bands, within a band, or just as
// the last band is done (one thread, where the reports come in a fixed order), or as the
// bands start on two threads: the run makes nothing, tells no more, and every frame it
// opened is closed.
TEST_F(CoaddTest, WishToStopEndsTheRunWithNothingMade)
{
    constexpr int n = 8;
    TempDir frames;
    std::vector<std::string> names;
    for (int k = 0; k < n; ++k) {
        names.push_back("f" + std::to_string(k) + ".fit");
        WriteConstantFrame(frames.file(names.back()), 4, 12, k);
    }
    CoaddOptions options;
    options.parameters = {CoaddMethod::Median, 0, 0};
    const CoaddTuning oneThread{static_cast<std::size_t>(2 * n * 4 * 8), 1, 200}; // two rows per band
    options.tuning = oneThread;
    StoppingFeedback whole(-1);
    ASSERT_EQ(CombineFrames(FramePaths(frames, names), options, whole).status, CoaddStatus::Done);
    const int reports = static_cast<int>(whole.texts.size());
    ASSERT_EQ(reports, n + 6 * n); // every frame checked, then every frame of six bands

    const int filesBefore = test::OpenFileCount();
    const CoaddTuning twoThreads{static_cast<std::size_t>(2 * 2 * n * 4 * 8), 2, 200};
    for (const auto& [tuning, stopAfter] : std::vector<std::pair<CoaddTuning, int>>{
             {oneThread, 0}, {oneThread, 3}, {oneThread, n}, {oneThread, n + 5}, {oneThread, reports}, {twoThreads, n}}) {
        SCOPED_TRACE("stop after " + std::to_string(stopAfter) + " reports, " + std::to_string(tuning.threads) + " threads");
        options.tuning = tuning;
        StoppingFeedback feedback(stopAfter);
        const CoaddResult result = CombineFrames(FramePaths(frames, names), options, feedback);
        EXPECT_EQ(result.status, CoaddStatus::Cancelled);
        EXPECT_TRUE(result.grid.empty());
        EXPECT_EQ(result.cards.count(), 0);
        EXPECT_EQ(static_cast<int>(feedback.texts.size()), stopAfter);
        EXPECT_EQ(feedback.notices, 0);
        EXPECT_EQ(test::OpenFileCount(), filesBefore);
    }

    // 16-bit frames, read straight from their files, stop as well, on one thread and on two.
    TempDir stored;
    std::vector<std::string> paths;
    for (int k = 0; k < n; ++k) {
        FitsLayout layout;
        layout.width = 4;
        layout.height = 12;
        layout.bitpix = 16;
        layout.values.assign(4 * 12, 100.0 + k);
        paths.push_back(stored.file("s" + std::to_string(k) + ".fit"));
        test::WriteFitsImage(paths.back(), layout);
    }
    for (const int threads : {1, 2}) {
        options.tuning = {std::size_t{1} << 20, threads, 200};
        StoppingFeedback feedback(n + 1);
        const CoaddResult result = CombineFrames(paths, options, feedback);
        EXPECT_EQ(result.status, CoaddStatus::Cancelled) << threads;
        EXPECT_TRUE(result.grid.empty());
        EXPECT_EQ(static_cast<int>(feedback.texts.size()), n + 1);
        EXPECT_EQ(feedback.texts.back(), "Combining rows 1 to 12 of 12");
        EXPECT_EQ(test::OpenFileCount(), filesBefore);
    }
}

// Uncompressed 16-bit frames are read straight from their files and their median selected
// on the stored integers: every method must give, bit for bit, what reading them through
// the library gives, for shared and mixed scalings, frame counts on both sides of the
// median's sorting-network limit, several bands on two threads, and a frame cut short.
TEST_F(CoaddTest, SixteenBitFramesReadDirectlyGiveTheLibrarysResults)
{
    constexpr int width = 13;
    constexpr int height = 9;
    struct Scaling {
        double bscale, bzero;
        bool mixed; // each frame its own BZERO
    };
    std::mt19937_64 rng(16);
    for (const Scaling scaling : {Scaling{1.0, 32768.0, false}, Scaling{0.37, 100.25, false}, Scaling{1.0, 10.0, true}, Scaling{1.0, 0.0, false}}) {
        for (const int n : {2, 5, 20, 131}) {
            if (n == 131 && scaling.bscale != 1.0)
                continue;
            SCOPED_TRACE("n " + std::to_string(n) + ", BSCALE " + std::to_string(scaling.bscale) + ", BZERO " + std::to_string(scaling.bzero));
            TempDir frames;
            std::vector<std::string> paths;
            for (int k = 0; k < n; ++k) {
                FitsLayout layout;
                layout.width = width;
                layout.height = height;
                layout.bitpix = 16;
                layout.bscale = scaling.bscale;
                layout.bzero = scaling.bzero + (scaling.mixed ? 0.5 * (k % 3) : 0.0);
                for (int i = 0; i < width * height; ++i) {
                    const auto stored = static_cast<double>(rng() % 4 == 0 ? static_cast<int>(rng() % 5) : static_cast<int>(rng() % 65536) - 32768);
                    layout.values.push_back(stored * layout.bscale + layout.bzero);
                }
                paths.push_back(frames.file("f" + std::to_string(1000 + k) + ".fit"));
                test::WriteFitsImage(paths.back(), layout);
            }
            if (n == 20) // cut short: told and left out, whichever way it is read
                Truncate(paths[7], 2880 + 100);
            for (const CoaddParameters& parameters : {CoaddParameters{CoaddMethod::Median, 0, 0}, CoaddParameters{CoaddMethod::Mean, 0, 0},
                                                      CoaddParameters{CoaddMethod::MinMaxRejection, 0, 0}, CoaddParameters{CoaddMethod::SigmaClipping, 1.5, 2}}) {
                if (n < MinimumFrameCount(parameters.method))
                    continue;
                std::vector<double> results[2];
                for (const bool direct : {false, true}) {
                    const CoaddTuning tuning{static_cast<std::size_t>(n) * width * 8 * 3 * 2, 2, 200, direct};
                    test::RecordingMessages messages;
                    const CoaddResult result = Combine(paths, parameters, messages, tuning);
                    ASSERT_EQ(result.status, CoaddStatus::Done);
                    EXPECT_EQ(messages.texts, n == 20 ? std::vector<std::string>{"Error while reading image data"} : std::vector<std::string>{});
                    EXPECT_EQ(result.leftOut, n == 20 ? std::vector<std::string>{paths[7]} : std::vector<std::string>{});
                    results[direct].assign(result.grid.data(), result.grid.data() + result.grid.pixelCount());
                }
                ASSERT_EQ(results[0].size(), static_cast<std::size_t>(width * height));
                EXPECT_TRUE(std::memcmp(results[0].data(), results[1].data(), results[0].size() * sizeof(double)) == 0)
                    << "method " << static_cast<int>(parameters.method);
            }
        }
    }
}

// BLANK pixels of 16-bit frames are missing: each method combines the frames that have a
// value, whether the others are read straight from their files or through the library; a
// stored value equal to BLANK in a frame without a BLANK card is a value.
TEST_F(CoaddTest, BlankPixelsOfSixteenBitFramesAreLeftOut)
{
    constexpr int width = 3;
    constexpr int height = 2;
    constexpr int n = 5;
    std::vector<std::vector<double>> pixels(width * height); // per pixel, the frames' values
    TempDir frames;
    std::vector<std::string> paths;
    for (int k = 0; k < n; ++k) {
        FitsLayout layout;
        layout.width = width;
        layout.height = height;
        layout.bitpix = 16;
        if (k > 0)
            layout.extraCards = {"BLANK   =                   -1 / missing pixels"};
        for (int i = 0; i < width * height; ++i) {
            const bool blank = (i == 0 && (k == 2 || k == 4)) || i == 5;
            const double value = blank ? -1.0 : 100.0 * k + 7.0 * i + (k == 3 ? 1000.0 : 0.0);
            layout.values.push_back(value);
            pixels[static_cast<std::size_t>(i)].push_back(blank && k > 0 ? NaN : value);
        }
        paths.push_back(frames.file("b" + std::to_string(k) + ".fit"));
        test::WriteFitsImage(paths.back(), layout);
    }
    for (const CoaddParameters& parameters : {CoaddParameters{CoaddMethod::Median, 0, 0}, CoaddParameters{CoaddMethod::Mean, 0, 0},
                                              CoaddParameters{CoaddMethod::MinMaxRejection, 0, 0}, CoaddParameters{CoaddMethod::SigmaClipping, 1.0, 2}}) {
        SCOPED_TRACE(static_cast<int>(parameters.method));
        test::RecordingMessages messages;
        const CoaddResult result = Combine(paths, parameters, messages);
        ASSERT_EQ(result.status, CoaddStatus::Done);
        for (int i = 0; i < width * height; ++i) {
            const PixelCase c{"", parameters.method, pixels[static_cast<std::size_t>(i)], parameters.kappa, parameters.iterations, 0};
            EXPECT_TRUE(SameBits(result.grid[i % width][i / width], PixelRule(c))) << "pixel " << i;
        }
        EXPECT_EQ(result.grid[2][1], -1.0); // only the first frame has a value there
    }
}

// The band kernels against the one-pixel rules and against plain textbook versions, for
// many frame counts (sorting networks of every size, and the selection beyond them).
TEST(CoaddKernels, BandCombinerMatchesPixelRulesForEveryFrameCount)
{
    std::mt19937_64 rng(77);
    constexpr std::size_t count = 301; // not a multiple of any chunk
    std::vector<int> counts;
    for (int n = 1; n <= 70; ++n)
        counts.push_back(n);
    for (int n : {100, 128, 129, 200})
        counts.push_back(n);
    for (const int n : counts) {
        for (const bool specials : {false, true}) {
            const std::size_t stride = count + 5;
            std::vector<double> band(stride * static_cast<std::size_t>(n), 12345.0);
            for (int k = 0; k < n; ++k)
                for (std::size_t p = 0; p < count; ++p)
                    band[static_cast<std::size_t>(k) * stride + p] = RandomValue(rng, specials);
            const std::vector<double> original = band;
            struct Method {
                CoaddMethod method;
                double kappa;
                int iterations;
            };
            for (const Method& m : {Method{CoaddMethod::Median, 0, 0}, Method{CoaddMethod::Mean, 0, 0}, Method{CoaddMethod::MinMaxRejection, 0, 0},
                                    Method{CoaddMethod::SigmaClipping, 2.0, 2}, Method{CoaddMethod::SigmaClipping, 0.5, 5}, Method{CoaddMethod::SigmaClipping, 3.0, 0}}) {
                if (n < MinimumFrameCount(m.method))
                    continue;
                SCOPED_TRACE("n " + std::to_string(n) + ", method " + std::to_string(static_cast<int>(m.method)) + (specials ? ", specials" : ""));
                BandCombiner combiner({m.method, m.kappa, m.iterations}, n);
                std::vector<double> out(count, -1.0);
                combiner.combine(band.data(), stride, count, out.data());
                EXPECT_EQ(std::memcmp(band.data(), original.data(), band.size() * sizeof(double)), 0) << "input changed";
                int mismatches = 0;
                int textbookMismatches = 0;
                for (std::size_t p = 0; p < count; ++p) {
                    std::vector<double> v;
                    for (int k = 0; k < n; ++k)
                        v.push_back(band[static_cast<std::size_t>(k) * stride + p]);
                    if (!SameBits(out[p], ReferencePixel(m.method, v, m.kappa, m.iterations)))
                        ++mismatches;
                    if (m.method == CoaddMethod::Median && !specials) {
                        std::sort(v.begin(), v.end());
                        const std::size_t h = v.size() / 2;
                        const double sorted = v.size() % 2 ? v[h] : (v[h] + v[h - 1]) * 0.5;
                        if (!SameBits(out[p], sorted))
                            ++textbookMismatches;
                    }
                }
                EXPECT_EQ(mismatches, 0);
                EXPECT_EQ(textbookMismatches, 0);
            }
        }
    }
}

// A comparator network picks the right element for every input when it does so for every
// input of zeros and ones; checked exhaustively up to 16 slots.
TEST(CoaddKernels, MedianNetworkIsExactOnEveryZeroOneInput)
{
    for (int n = 2; n <= 16; ++n) {
        const std::vector<Comparator> network = MedianNetwork(n);
        for (unsigned bits = 0; bits < (1u << n); ++bits) {
            std::vector<int> v(static_cast<std::size_t>(n));
            int ones = 0;
            for (int i = 0; i < n; ++i) {
                v[static_cast<std::size_t>(i)] = (bits >> i) & 1u;
                ones += v[static_cast<std::size_t>(i)];
            }
            for (const Comparator& c : network) {
                int& a = v[static_cast<std::size_t>(c.i)];
                int& b = v[static_cast<std::size_t>(c.j)];
                const int lo = std::min(a, b);
                const int hi = std::max(a, b);
                if (c.kind != Comparator::MaxOnly)
                    a = lo;
                if (c.kind != Comparator::MinOnly)
                    b = hi;
            }
            // Sorted, slot s holds 1 exactly when s >= n - ones.
            const int upper = n / 2;
            ASSERT_EQ(v[static_cast<std::size_t>(upper)], upper >= n - ones ? 1 : 0) << "n " << n << " input " << bits;
            if (n % 2 == 0) {
                ASSERT_EQ(v[static_cast<std::size_t>(upper - 1)], upper - 1 >= n - ones ? 1 : 0) << "n " << n << " input " << bits;
            }
        }
    }
}

TEST(CoaddKernels, MinimumFrameCounts)
{
    EXPECT_EQ(MinimumFrameCount(CoaddMethod::Median), 1);
    EXPECT_EQ(MinimumFrameCount(CoaddMethod::Mean), 1);
    EXPECT_EQ(MinimumFrameCount(CoaddMethod::MinMaxRejection), 3);
    EXPECT_EQ(MinimumFrameCount(CoaddMethod::SigmaClipping), 5);
}

} // namespace
} // namespace skyvane
