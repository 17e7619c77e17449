#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "command/Interpreter.h"
#include "image/FitsReader.h"
#include "image/FitsWriter.h"
#include "processing/StarDetection.h"
#include "processing/TransformResampling.h"
#include "support/StarField.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TempDir;
using test::TestContext;

constexpr int Width = 256;
constexpr int Height = 256;
constexpr double Sky = 1000.0;

// How frame k lies against the reference: turned by degrees about the frame's centre after
// an optional mirror (rows upside down), then shifted. A star at (x, y) in the reference
// stands at place(x, y) in the frame.
struct Truth {
    double degrees = 0.0;
    double dx = 0.0;
    double dy = 0.0;
    bool mirrored = false;

    void place(double x, double y, double& outX, double& outY) const
    {
        const double cx = 0.5 * (Width - 1);
        const double cy = 0.5 * (Height - 1);
        const double a = degrees * std::numbers::pi / 180.0;
        const double u = x - cx;
        const double v = mirrored ? cy - y : y - cy;
        outX = cx + std::cos(a) * u - std::sin(a) * v + dx;
        outY = cy + std::sin(a) * u + std::cos(a) * v + dy;
    }
    // The rotation the reply gives: how the frame is turned onto the reference.
    double rotation() const
    {
        const double r = std::remainder(mirrored ? degrees : -degrees, 360.0);
        return r == -180.0 ? 180.0 : r;
    }
};

const std::vector<Truth> Night = {
    {0.0, 0.0, 0.0, false},     // the reference
    {0.0, 3.41, -2.07, false},  // drift
    {181.5, 4.73, -3.26, false}, // after the meridian flip, the field turned a little
    {-2.5, -1.6, 2.2, false},   // field rotation
    {0.0, 1.25, 0.5, true},     // a mirror image
};

std::vector<test::SyntheticStar> Field(unsigned seed)
{
    return test::RandomStars(150, Width, Height, 4, seed);
}

std::string FrameName(std::size_t k)
{
    return "frame_00" + std::to_string(k + 1) + ".fit";
}

// A 16-bit frame (BZERO 32768) of the field as truth places it, with noise, a hot pixel
// and a cosmic-ray hit; stars that leave the frame are lost, as the sky would lose them.
void WriteFrame(const std::string& path, const std::vector<test::SyntheticStar>& field, const Truth& truth, unsigned seed)
{
    std::vector<test::SyntheticStar> stars;
    for (test::SyntheticStar s : field) {
        truth.place(s.x, s.y, s.x, s.y);
        stars.push_back(s);
    }
    ImageGrid grid;
    test::DrawStarField(grid, Width, Height, Sky, stars, 0.0, 0.0, 8.0, seed);
    grid[37 + static_cast<int>(seed % 50)][201] += 30000.0;
    grid[211][23] += 9000.0;
    test::FitsLayout layout;
    layout.width = Width;
    layout.height = Height;
    layout.bitpix = 16;
    layout.bzero = 32768.0;
    layout.extraCards = {"OBJECT  = 'night'"};
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x)
            layout.values.push_back(std::clamp(std::round(grid[x][y]), 0.0, 65535.0));
    test::WriteFitsImage(path, layout);
}

std::vector<std::string> Lines(const std::string& reply)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = reply.find("\r\n", start);
        lines.push_back(reply.substr(start, end - start));
        if (end == std::string::npos)
            return lines;
        start = end + 2;
    }
}

struct Reported {
    double dx = 0.0;
    double dy = 0.0;
    double rotation = 0.0;
    double scale = 0.0;
    int stars = 0;
    bool mirrored = false;
};

// "     frame_003.fit  dx = 4.73  dy = -3.26  rotation = 178.50  scale = 1.0000  stars = 97"
bool ParseLine(const std::string& line, const std::string& name, Reported& r)
{
    const std::string format = "     " + name + "  dx = %lf  dy = %lf  rotation = %lf  scale = %lf  stars = %d%n";
    int used = 0;
    if (std::sscanf(line.c_str(), format.c_str(), &r.dx, &r.dy, &r.rotation, &r.scale, &r.stars, &used) != 5)
        return false;
    const std::string rest = line.substr(static_cast<std::size_t>(used));
    r.mirrored = rest == "  mirrored";
    return rest.empty() || r.mirrored;
}

bool HasCard(const HeaderCards& cards, const std::string& start)
{
    for (int i = 0; i < cards.count(); ++i)
        if (cards.card(i).substr(0, start.size()) == start)
            return true;
    return false;
}

class PatternRegistrationTest : public ::testing::Test {
protected:
    // The night's frames, and a last one of another field when asked.
    void writeNight(bool strangerToo)
    {
        const std::vector<test::SyntheticStar> field = Field(41);
        for (std::size_t k = 0; k < Night.size(); ++k)
            WriteFrame(dir.file(FrameName(k)), field, Night[k], static_cast<unsigned>(k + 3));
        std::size_t count = Night.size();
        if (strangerToo)
            WriteFrame(dir.file(FrameName(count++)), Field(99), Night[1], 77);
        const TreeItem list = context.lists.ListForFolder(dir.path().string());
        for (std::size_t k = 0; k < count; ++k)
            context.lists.InsertFile(list, FrameName(k));
    }

    TempDir dir;
    TestContext test;
    AppContext& context = test.context;
};

TEST_F(PatternRegistrationTest, FlippedTurnedAndMirroredFramesAreRegisteredAndAStrangerIsLeftOut)
{
    writeNight(true);
    const std::vector<std::string> lines = Lines(ExecuteCommand(context, "patternreg [PATH]"));
    ASSERT_EQ(lines.size(), Night.size() + 2);
    for (std::size_t k = 0; k < Night.size(); ++k) {
        SCOPED_TRACE(lines[k]);
        Reported r;
        ASSERT_TRUE(ParseLine(lines[k], FrameName(k), r));
        EXPECT_NEAR(r.dx, Night[k].dx, 0.011);
        EXPECT_NEAR(r.dy, Night[k].dy, 0.011);
        EXPECT_NEAR(r.rotation, Night[k].rotation(), 0.011);
        EXPECT_NEAR(r.scale, 1.0, 0.0001);
        EXPECT_EQ(r.mirrored, Night[k].mirrored);
        EXPECT_GT(r.stars, 60);
    }
    EXPECT_EQ(lines[Night.size()], "     frame_006.fit  no match, left out");
    EXPECT_EQ(lines.back(), "     5 of 6 frames registered: new list [PATH2]");
    const std::filesystem::path folder = dir.path() / "patternreg";
    EXPECT_EQ(context.lists.ListLabel(2), "[PATH2] = " + folder.string());
    EXPECT_EQ(test::FolderEntries(folder.string()),
              (std::vector<std::string>{"frame_001.fit", "frame_002.fit", "frame_003.fit", "frame_004.fit", "frame_005.fit"}));

    // Every registered frame holds the reference's stars where the reference has them.
    ImageRecord reference;
    ASSERT_TRUE(loadFits(reference, (folder / FrameName(0)).string()).loaded());
    EXPECT_TRUE(HasCard(reference.cards, "HISTORY Skyvane: patternreg reference frame"));
    const StarDetection onReference = DetectStars(reference.grid);
    for (std::size_t k = 1; k < Night.size(); ++k) {
        SCOPED_TRACE(FrameName(k));
        ImageRecord aligned;
        ASSERT_TRUE(loadFits(aligned, (folder / FrameName(k)).string()).loaded());
        EXPECT_TRUE(HasCard(aligned.cards, "BITPIX  =                  -32"));
        EXPECT_TRUE(HasCard(aligned.cards, "OBJECT  = 'night'"));
        EXPECT_TRUE(HasCard(aligned.cards, "HISTORY Skyvane: patternreg dx = "));
        EXPECT_TRUE(HasCard(aligned.cards, "HISTORY Skyvane: patternreg rotation = "));
        EXPECT_TRUE(HasCard(aligned.cards, "HISTORY Skyvane: patternreg onto frame_001.fit (Lanczos-3)"));
        const StarDetection onFrame = DetectStars(aligned.grid);
        double sum = 0.0;
        int count = 0;
        for (const DetectedStar& s : onReference.stars) {
            if (s.snr < 50.0)
                continue;
            for (const DetectedStar& t : onFrame.stars) {
                if (std::hypot(s.x - t.x, s.y - t.y) < 1.0) {
                    sum += (s.x - t.x) * (s.x - t.x) + (s.y - t.y) * (s.y - t.y);
                    ++count;
                }
            }
        }
        ASSERT_GT(count, 30);
        EXPECT_LT(std::sqrt(sum / count), 0.05);
    }
    EXPECT_TRUE(test.messages.texts.empty());
}

TEST_F(PatternRegistrationTest, RunsThatMakeNoListLeaveNoFolder)
{
    // A reference of no stars.
    ImageGrid blank;
    test::DrawStarField(blank, 64, 64, Sky, {}, 0.0, 0.0, 8.0, 1);
    test::FitsLayout layout;
    layout.width = layout.height = 64;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x)
            layout.values.push_back(blank[x][y]);
    test::WriteFitsImage(dir.file("blank.fit"), layout);
    const TreeItem list = context.lists.ListForFolder(dir.path().string());
    context.lists.InsertFile(list, "blank.fit");
    EXPECT_EQ(ExecuteCommand(context, "patternreg [PATH]"), "     too few stars found on the reference frame !");
    test::WriteFileBytes(dir.file("broken.fit"), "not a FITS file");
    context.lists.ChangeListSelection(list, ImageListTree::SelectionChange::Deselect);
    context.lists.InsertFile(list, "broken.fit");
    EXPECT_EQ(ExecuteCommand(context, "patternreg [PATH]"), "     first selected image could not be read !");
    EXPECT_FALSE(test.messages.texts.empty());
    EXPECT_EQ(ExecuteCommand(context, "patternreg [NONE]"), "     list name not recognized !");
    context.lists.ChangeListSelection(list, ImageListTree::SelectionChange::Deselect);
    EXPECT_EQ(ExecuteCommand(context, "patternreg [PATH]"), "     list has no selected image !");
    EXPECT_EQ(context.lists.ListCount(), 1);
    EXPECT_EQ(test::FolderEntries(dir.path().string()), (std::vector<std::string>{"blank.fit", "broken.fit"}));
}

// The reference is worked on beside the next frames, whose stars are found meanwhile: when it
// cannot be used, they are left alone and the run ends as it would with the reference alone.
TEST_F(PatternRegistrationTest, AReferenceThatCannotBeUsedStopsTheFramesWaitingForIt)
{
    writeNight(false);
    ImageGrid blank;
    test::DrawStarField(blank, Width, Height, Sky, {}, 0.0, 0.0, 8.0, 1);
    test::FitsLayout layout;
    layout.width = Width;
    layout.height = Height;
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x)
            layout.values.push_back(blank[x][y]);
    test::WriteFitsImage(dir.file(FrameName(0)), layout);
    EXPECT_EQ(ExecuteCommand(context, "patternreg [PATH]"), "     too few stars found on the reference frame !");
    test::WriteFileBytes(dir.file(FrameName(0)), "not a FITS file");
    EXPECT_EQ(ExecuteCommand(context, "patternreg [PATH]"), "     first selected image could not be read !");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "patternreg"));
    EXPECT_EQ(context.lists.ListCount(), 1);
}

// Colour frames are matched on their green plane and moved whole, every plane by the same
// transform; a colour mosaic is left out, since moving it would mix its filters.
TEST_F(PatternRegistrationTest, ColourFramesMoveWholeAndMosaicsAreLeftOut)
{
    writeNight(false);
    const std::vector<std::string> grey = Lines(ExecuteCommand(context, "patternreg [PATH]"));
    ASSERT_EQ(grey.back(), "     5 of 5 frames registered: new list [PATH2]");

    // The same night in colour: red, green and blue are the grey frame times 1, 2 and 3.
    std::filesystem::create_directory(dir.path() / "colour");
    const std::size_t frames = Night.size();
    for (std::size_t k = 0; k < frames; ++k) {
        ImageRecord frame;
        ASSERT_TRUE(loadFits(frame, dir.file(FrameName(k))).loaded());
        ImageRecord colour;
        colour.grid.resize(Width, Height, 3);
        for (int p = 0; p < 3; ++p) {
            ImageGrid plane = colour.grid.planeView(p);
            for (int x = 0; x < Width; ++x)
                for (int y = 0; y < Height; ++y)
                    plane[x][y] = frame.grid[x][y] * (p + 1);
        }
        colour.cards = PlaneCards(SixteenBitCards(frame.cards, false), 3);
        ASSERT_EQ(saveFits(colour, (dir.path() / "colour" / FrameName(k)).string(), SampleFormat::Float32), FitsError::None);
    }
    // One grey mosaic among them.
    ImageRecord mosaic;
    ASSERT_TRUE(loadFits(mosaic, dir.file(FrameName(1))).loaded());
    mosaic.cards.append("BAYERPAT= 'RGGB'");
    ASSERT_EQ(saveFits(mosaic, (dir.path() / "colour" / "mosaic.fit").string(), SampleFormat::Float32), FitsError::None);
    const TreeItem list = context.lists.ListForFolder((dir.path() / "colour").string());
    for (std::size_t k = 0; k < frames; ++k)
        context.lists.InsertFile(list, FrameName(k));
    context.lists.InsertFile(list, "mosaic.fit");

    const std::vector<std::string> lines = Lines(ExecuteCommand(context, "patternreg [PATH3]"));
    ASSERT_EQ(lines.size(), frames + 2);
    EXPECT_EQ(lines[frames], "     mosaic.fit  colour mosaic: debayer first, left out");
    EXPECT_EQ(lines.back(), "     5 of 6 frames registered: new list [PATH4]");
    for (std::size_t k = 0; k < frames; ++k) {
        SCOPED_TRACE(lines[k]);
        Reported onGrey;
        Reported onColour;
        ASSERT_TRUE(ParseLine(grey[k], FrameName(k), onGrey));
        ASSERT_TRUE(ParseLine(lines[k], FrameName(k), onColour));
        EXPECT_NEAR(onColour.dx, onGrey.dx, 0.001);
        EXPECT_NEAR(onColour.dy, onGrey.dy, 0.001);
        EXPECT_NEAR(onColour.rotation, onGrey.rotation, 0.001);
        ImageRecord aligned;
        ASSERT_TRUE(loadFits(aligned, (dir.path() / "colour" / "patternreg" / FrameName(k)).string()).loaded());
        ASSERT_EQ(aligned.grid.planes(), 3);
        const ImageGrid red = aligned.grid.planeView(0);
        for (int p = 1; p < 3; ++p) {
            const ImageGrid plane = aligned.grid.planeView(p);
            double worst = 0.0;
            for (int x = 0; x < Width; ++x)
                for (int y = 0; y < Height; ++y)
                    worst = std::max(worst, std::fabs(plane[x][y] - (p + 1) * red[x][y]) / (1.0 + std::fabs(plane[x][y])));
            EXPECT_LT(worst, 1e-6) << "plane " << p;
        }
    }
}

// Feedback whose user asks to stop once the run has begun.
class CancellingFeedback final : public Feedback {
public:
    void showError(const std::string& text) override { errors.push_back(text); }
    void showProgress(const std::string& text, double) override { progress.push_back(text); }
    bool cancelRequested() const override { return ++asked > 1; }
    std::vector<std::string> errors;
    std::vector<std::string> progress;
    mutable int asked = 0;
};

TEST_F(PatternRegistrationTest, CancelledRunRemovesItsFolderAndMakesNoList)
{
    writeNight(false);
    CommandRun run = CommandRun::start(context, "patternreg [PATH]");
    ASSERT_TRUE(run.hasLongPart());
    EXPECT_EQ(run.longWork(), "registration");
    CancellingFeedback feedback;
    run.run(feedback);
    EXPECT_EQ(run.finish(context), "     registration cancelled");
    ASSERT_FALSE(feedback.progress.empty());
    EXPECT_EQ(feedback.progress.front(), "Registering frame 1 of 5");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "patternreg"));
    EXPECT_EQ(context.lists.ListCount(), 1);
    EXPECT_TRUE(feedback.errors.empty());
}

TEST(TransformResamplingTest, AWholeTurnCopiesPixelsAndUncoveredPixelsTakeTheMedian)
{
    ImageGrid frame;
    frame.resize(9, 7);
    for (int x = 0; x < 9; ++x)
        for (int y = 0; y < 7; ++y)
            frame[x][y] = 10.0 * x + y;
    // Turned by 180 degrees about the centre (4, 3): out(x, y) = frame(8 - x, 6 - y).
    SimilarityTransform half;
    half.a = -1.0;
    half.tx = 8.0;
    half.ty = 6.0;
    ImageGrid out;
    ResampleTransformed(frame, half, 9, 7, out, 2);
    for (int x = 0; x < 9; ++x)
        for (int y = 0; y < 7; ++y)
            EXPECT_EQ(out[x][y], frame[8 - x][6 - y]);
    // Shifted by half a pixel beyond the last column: that column is uncovered.
    SimilarityTransform shift;
    shift.tx = 0.5;
    ResampleTransformed(frame, shift, 9, 7, out, 1);
    EXPECT_EQ(out[8][3], 43.0); // the frame's median
    EXPECT_NEAR(out[3][3], 38.0, 1e-9); // a ramp is kept between its ends
}

} // namespace
} // namespace skyvane
