#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "command/Interpreter.h"
#include "image/FitsReader.h"
#include "processing/StarCentroid.h"
#include "support/StarField.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TempDir;
using test::TestContext;

constexpr int Width = 256;
constexpr int Height = 256;
constexpr double Sky = 1000.0;

// The night's drift: frame k's shift against frame 1, to 52 pixels in x over the run and
// up to 13 between frames.
struct Shift {
    double dx;
    double dy;
};
const std::vector<Shift> Drift = {{0.0, 0.0}, {13.37, -8.61}, {26.12, -17.43}, {39.81, -26.02}, {52.64, -34.77}};

// The star one star follows, with no other star within 75 pixels of it, so a frame without
// it has none to confuse it with.
const test::SyntheticStar Guide{100.3, 141.7, 1.6, 30000.0};

std::vector<test::SyntheticStar> Field()
{
    std::vector<test::SyntheticStar> stars;
    for (const test::SyntheticStar& s : test::RandomStars(120, Width, Height, 6, 41))
        if (std::hypot(s.x - Guide.x, s.y - Guide.y) > 75.0)
            stars.push_back(s);
    return stars;
}

// How a frame differs from the reference beyond its drift.
struct Look {
    double turn = 0.0;         // the field turned by this many degrees about the frame's centre
    double guideSigma = Guide.sigma;
    bool stars = true;         // false: only sky and noise (thick cloud)
    bool dead = false;         // 20 pixels of column 60 stored as BLANK (missing)
};

// Frames as 16-bit integers with BZERO 32768 (saturation at 65535), each with a cosmic-ray
// hit and the same hot pixel. guide: how the guide star appears (0: absent; otherwise its
// amplitude).
void WriteFrame(const std::string& path, Shift shift, double guide, unsigned seed, const Look& look = {})
{
    std::vector<test::SyntheticStar> stars = Field();
    if (guide > 0.0) {
        test::SyntheticStar s = Guide;
        s.amplitude = guide;
        s.sigma = look.guideSigma;
        stars.push_back(s);
    }
    if (!look.stars)
        stars.clear();
    const double a = look.turn * M_PI / 180.0;
    const double c = 0.5 * (Width - 1);
    for (test::SyntheticStar& s : stars) {
        const double x = s.x - c;
        const double y = s.y - c;
        s.x = c + std::cos(a) * x - std::sin(a) * y;
        s.y = c + std::sin(a) * x + std::cos(a) * y;
    }
    ImageGrid grid;
    test::DrawStarField(grid, Width, Height, Sky, stars, shift.dx, shift.dy, 8.0, seed);
    grid[37 + static_cast<int>(seed % 50)][201] += 30000.0; // a cosmic-ray hit
    grid[211][23] += 9000.0;                                 // a hot pixel
    for (int y = 100; look.dead && y < 120; ++y)
        grid[60][y] = 0.0; // stored as -32768, the BLANK below
    test::FitsLayout layout;
    layout.width = Width;
    layout.height = Height;
    layout.bitpix = 16;
    layout.bzero = 32768.0;
    layout.extraCards = {"OBJECT  = 'drift'"};
    if (look.dead)
        layout.extraCards.push_back("BLANK   =               -32768");
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x)
            layout.values.push_back(std::clamp(std::round(grid[x][y]), 0.0, 65535.0));
    test::WriteFitsImage(path, layout);
}

std::string FrameName(std::size_t k)
{
    return "frame_00" + std::to_string(k + 1) + ".fit";
}

// A list [PATH] of the folder's frames, all selected.
void MakeList(AppContext& context, const std::filesystem::path& folder, std::size_t frames)
{
    const TreeItem list = context.lists.ListForFolder(folder.string());
    for (std::size_t k = 0; k < frames; ++k)
        context.lists.InsertFile(list, FrameName(k));
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

// "     frame_002.fit  dx = 13.37  dy = -8.61" -> the two numbers.
bool ParseShiftLine(const std::string& line, const std::string& name, Shift& shift)
{
    const std::string head = "     " + name + "  dx = ";
    if (line.rfind(head, 0) != 0)
        return false;
    std::istringstream in(line.substr(head.size()));
    std::string dyWord, equals;
    in >> shift.dx >> dyWord >> equals >> shift.dy;
    return !in.fail() && dyWord == "dy" && equals == "=";
}

bool HasCard(const HeaderCards& cards, const std::string& start)
{
    for (int i = 0; i < cards.count(); ++i)
        if (cards.card(i).substr(0, start.size()) == start)
            return true;
    return false;
}

class RegistrationTest : public ::testing::Test {
protected:
    void writeNight(const std::vector<double>& guides)
    {
        for (std::size_t k = 0; k < guides.size(); ++k)
            WriteFrame(dir.file(FrameName(k)), Drift[k], guides[k], static_cast<unsigned>(k + 3));
        MakeList(context, dir.path(), guides.size());
    }

    // The guide star where the pointer readout shows it on frame 1.
    std::string starCommand() const
    {
        return "starreg [PATH] " + std::to_string(std::lround(Guide.x) + 1) + " " + std::to_string(Height - std::lround(Guide.y));
    }

    TempDir dir;
    TestContext test;
    AppContext& context = test.context;
};

TEST_F(RegistrationTest, BothMethodsRecoverTheDriftAndMakeANewListOfAlignedFrames)
{
    writeNight({30000.0, 30000.0, 30000.0, 30000.0, 30000.0});
    for (const std::string& command : {std::string("autoreg [PATH]"), starCommand()}) {
        SCOPED_TRACE(command);
        const std::string folderName = command.substr(0, 7);
        const std::vector<std::string> lines = Lines(ExecuteCommand(context, command));
        ASSERT_EQ(lines.size(), Drift.size() + 1) << ExecuteCommand(context, "stat");
        for (std::size_t k = 0; k < Drift.size(); ++k) {
            Shift measured{};
            ASSERT_TRUE(ParseShiftLine(lines[k], FrameName(k), measured)) << lines[k];
            EXPECT_NEAR(measured.dx, Drift[k].dx, 0.03) << k;
            EXPECT_NEAR(measured.dy, Drift[k].dy, 0.03) << k;
        }
        const int list = context.lists.ListCount();
        const std::string tag = command[0] == 'a' ? "[PATH2]" : "[PATH3]";
        EXPECT_EQ(lines.back(), "     5 of 5 frames registered: new list " + tag);
        const std::filesystem::path folder = dir.path() / folderName;
        EXPECT_EQ(context.lists.ListLabel(list), tag + " = " + folder.string());
        ASSERT_EQ(context.lists.FileCount(list), 5);
        for (int k = 1; k <= 5; ++k) {
            EXPECT_EQ(context.lists.FileLabel(list, k), FrameName(static_cast<std::size_t>(k - 1)));
            EXPECT_TRUE(context.lists.IsFileSelected(context.lists.FileItem(list, k)));
        }
        // Aligned frames: 32-bit floats with the input's cards and the shift; the guide star
        // stands where it stood on frame 1, and so does every other star.
        for (std::size_t k = 0; k < Drift.size(); ++k) {
            ImageRecord aligned;
            ASSERT_TRUE(loadFits(aligned, (folder / FrameName(k)).string()).loaded());
            EXPECT_TRUE(HasCard(aligned.cards, "BITPIX  =                  -32"));
            EXPECT_TRUE(HasCard(aligned.cards, "OBJECT  = 'drift'"));
            EXPECT_TRUE(HasCard(aligned.cards, "HISTORY Skyvane: " + folderName + " shifted by dx = ")) << k;
            const StarMeasurement star = MeasureStar(aligned.grid, Guide.x, Guide.y);
            ASSERT_EQ(star.status, StarStatus::Found);
            EXPECT_NEAR(star.x, Guide.x, 0.05);
            EXPECT_NEAR(star.y, Guide.y, 0.05);
            EXPECT_NEAR(star.flux / (2.0 * M_PI * Guide.sigma * Guide.sigma * Guide.amplitude), 1.0, 0.03);
        }
    }
    // The inputs are as they were.
    EXPECT_EQ(test::FolderEntries(dir.path().string()),
              (std::vector<std::string>{"autoreg", "frame_001.fit", "frame_002.fit", "frame_003.fit", "frame_004.fit",
                                        "frame_005.fit", "starreg"}));
    EXPECT_TRUE(test.messages.texts.empty());
}

TEST_F(RegistrationTest, FramesWhereTheStarIsLostSaturatedOrUnreadableAreNamedAndLeftOut)
{
    // Frame 3 has no guide star, frame 5 has it saturated, frame 6 is no FITS file.
    writeNight({30000.0, 30000.0, 0.0, 30000.0, 70000.0});
    test::WriteFileBytes(dir.file(FrameName(5)), "not a FITS file");
    context.lists.InsertFile(context.lists.ListItem(1), FrameName(5));

    const std::vector<std::string> lines = Lines(ExecuteCommand(context, starCommand()));
    ASSERT_EQ(lines.size(), 7u);
    Shift measured{};
    EXPECT_TRUE(ParseShiftLine(lines[1], FrameName(1), measured));
    EXPECT_EQ(lines[2], "     frame_003.fit  star lost, left out");
    // The star is found again after the frame that lost it.
    ASSERT_TRUE(ParseShiftLine(lines[3], FrameName(3), measured)) << lines[3];
    EXPECT_NEAR(measured.dx, Drift[3].dx, 0.03);
    EXPECT_EQ(lines[4], "     frame_005.fit  star saturated, left out");
    EXPECT_EQ(lines[5], "     frame_006.fit  could not be read, left out");
    EXPECT_EQ(lines[6], "     3 of 6 frames registered: new list [PATH2]");
    EXPECT_EQ(test::FolderEntries((dir.path() / "starreg").string()),
              (std::vector<std::string>{"frame_001.fit", "frame_002.fit", "frame_004.fit"}));
    EXPECT_EQ(context.lists.FileCount(2), 3);

    // Cases that make no list at all, and leave no folder.
    EXPECT_EQ(ExecuteCommand(context, "starreg [PATH] 141 114"), "     star is too faint on the reference frame !");
    EXPECT_EQ(ExecuteCommand(context, "starreg [PATH] 400 -3"), "     no star found at this position on the reference frame !");
    EXPECT_EQ(ExecuteCommand(context, "starreg [PATH] 101"), "     star position not recognized !");
    EXPECT_EQ(ExecuteCommand(context, "starreg [PATH] 101 x"), "     star position not recognized !");
    EXPECT_EQ(ExecuteCommand(context, "autoreg [NONE]"), "     list name not recognized !");
    context.lists.ChangeListSelection(context.lists.ListItem(1), ImageListTree::SelectionChange::Deselect);
    EXPECT_EQ(ExecuteCommand(context, "autoreg [PATH]"), "     list has no selected image !");
    EXPECT_EQ(context.lists.ListCount(), 2);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "starreg-2"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "autoreg"));
}

TEST_F(RegistrationTest, FramesThatNoTranslationAlignsAreNamedAndLeftOut)
{
    // Frame 3 holds no star, frame 4 is turned by a meridian flip, frame 5 by 1.5 degrees of
    // field rotation, and frame 6 shows a wide star where the guide star stood.
    const std::vector<Shift> shifts = {{0.0, 0.0}, {13.37, -8.61}, {0.0, 0.0}, {5.21, 3.13}, {-6.42, 9.91}, {26.12, -17.43}};
    const std::vector<Look> looks = {{}, {}, {0.0, Guide.sigma, false}, {180.0}, {1.5}, {0.0, 5.0}};
    for (std::size_t k = 0; k < shifts.size(); ++k)
        WriteFrame(dir.file(FrameName(k)), shifts[k], 30000.0, static_cast<unsigned>(k + 3), looks[k]);
    MakeList(context, dir.path(), shifts.size());
    const std::string advice = "     frames without a reliable match may be turned or flipped: Star pattern registration aligns those";

    std::vector<std::string> lines = Lines(ExecuteCommand(context, "autoreg [PATH]"));
    ASSERT_EQ(lines.size(), 8u);
    for (std::size_t k : {0u, 1u, 5u}) {
        Shift measured{};
        ASSERT_TRUE(ParseShiftLine(lines[k], FrameName(k), measured)) << lines[k];
        EXPECT_NEAR(measured.dx, shifts[k].dx, 0.03) << k;
        EXPECT_NEAR(measured.dy, shifts[k].dy, 0.03) << k;
    }
    EXPECT_EQ(lines[2], "     frame_003.fit  no reliable match, left out");
    EXPECT_EQ(lines[3], "     frame_004.fit  no reliable match, left out");
    EXPECT_EQ(lines[4], "     frame_005.fit  no reliable match, left out");
    EXPECT_EQ(lines[6], "     3 of 6 frames registered: new list [PATH2]");
    EXPECT_EQ(lines[7], advice);
    EXPECT_EQ(test::FolderEntries((dir.path() / "autoreg").string()),
              (std::vector<std::string>{"frame_001.fit", "frame_002.fit", "frame_006.fit"}));

    // One star finds the guide star in the turned frame (it stands near the centre), but
    // the frame does not hold together under that shift; the wide star is another object.
    lines = Lines(ExecuteCommand(context, starCommand()));
    ASSERT_EQ(lines.size(), 8u);
    Shift measured{};
    EXPECT_TRUE(ParseShiftLine(lines[1], FrameName(1), measured)) << lines[1];
    EXPECT_EQ(lines[2].substr(lines[2].size() - 10), ", left out");
    EXPECT_EQ(lines[3].substr(lines[3].size() - 10), ", left out");
    EXPECT_EQ(lines[4], "     frame_005.fit  no reliable match, left out");
    EXPECT_EQ(lines[5], "     frame_006.fit  no reliable match, left out");
    EXPECT_EQ(lines[6], "     2 of 6 frames registered: new list [PATH3]");
    EXPECT_EQ(lines[7], advice);
}

// Missing pixels of a frame (BLANK) do not disturb its registration and stay missing where
// the aligned frame takes its values from them; the rest of the frame is filled as usual.
TEST_F(RegistrationTest, MissingPixelsTravelWithTheirFrame)
{
    for (std::size_t k = 0; k < Drift.size(); ++k)
        WriteFrame(dir.file(FrameName(k)), Drift[k], 30000.0, static_cast<unsigned>(k + 3), Look{.dead = k == 2});
    MakeList(context, dir.path(), Drift.size());
    const std::vector<std::string> lines = Lines(ExecuteCommand(context, "autoreg [PATH]"));
    ASSERT_EQ(lines.back(), "     5 of 5 frames registered: new list [PATH2]");
    Shift measured{};
    ASSERT_TRUE(ParseShiftLine(lines[2], FrameName(2), measured)) << lines[2];
    EXPECT_NEAR(measured.dx, Drift[2].dx, 0.03);
    EXPECT_NEAR(measured.dy, Drift[2].dy, 0.03);
    for (std::size_t k = 0; k < Drift.size(); ++k) {
        ImageRecord aligned;
        ASSERT_TRUE(loadFits(aligned, (dir.path() / "autoreg" / FrameName(k)).string()).loaded());
        // out(x, y) = frame(x + dx, y + dy): column 60, rows 100..119 land near x = 60 - dx,
        // y = 100 - dy .. 119 - dy, and reach a few pixels around by the kernel.
        int missing = 0;
        int astray = 0;
        for (int x = 0; x < Width; ++x) {
            for (int y = 0; y < Height; ++y) {
                if (!std::isnan(aligned.grid[x][y]))
                    continue;
                ++missing;
                const double fx = x + measured.dx;
                const double fy = y + measured.dy;
                astray += std::fabs(fx - 60.0) > 3.5 || fy < 96.5 || fy > 122.5 ? 1 : 0;
            }
        }
        EXPECT_EQ(missing > 0, k == 2) << k;
        EXPECT_EQ(astray, 0) << k;
    }
    EXPECT_TRUE(test.messages.texts.empty());
}

// Feedback whose user asks to stop after the first frame has been reported.
class CancellingFeedback final : public Feedback {
public:
    void showError(const std::string& text) override { errors.push_back(text); }
    void showProgress(const std::string& text, double fraction) override
    {
        progress.push_back(text);
        fractions.push_back(fraction);
    }
    bool cancelRequested() const override { return ++asked > 1; }
    std::vector<std::string> errors;
    std::vector<std::string> progress;
    std::vector<double> fractions;
    mutable int asked = 0;
};

TEST_F(RegistrationTest, CancelledRunRemovesItsFolderAndMakesNoList)
{
    writeNight({30000.0, 30000.0, 30000.0, 30000.0, 30000.0});
    CommandRun run = CommandRun::start(context, "autoreg [PATH]");
    ASSERT_TRUE(run.hasLongPart());
    CancellingFeedback feedback;
    run.run(feedback);
    EXPECT_EQ(run.finish(context), "     registration cancelled");
    ASSERT_FALSE(feedback.progress.empty());
    EXPECT_EQ(feedback.progress.front(), "Registering frame 1 of 5");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "autoreg"));
    EXPECT_EQ(context.lists.ListCount(), 1);
    EXPECT_TRUE(feedback.errors.empty());
}

} // namespace
} // namespace skyvane
