#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "command/Interpreter.h"
#include "processing/FrameQuality.h"
#include "support/SkyNight.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::SkyFrame;
using test::TempDir;

constexpr int Width = 256;
constexpr int Height = 256;
const double SigmaToFwhm = 2.0 * std::sqrt(2.0 * std::log(2.0));

std::vector<std::string> Lines(const std::string& text, const std::string& breakText)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(breakText, start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos)
            return lines;
        start = end + breakText.size();
    }
}

std::string FileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A sky of known level, gradient and noise under round stars of known width: the figures
// come back within a few percent, and the noise is taken about the fitted background,
// not over the frame (the whole frame's spread is many times the noise).
TEST(FrameQualityTest, SkyAndStarsOfAKnownFrameAreMeasured)
{
    const std::vector<test::SyntheticStar> stars = test::RoundStars(60, Width, Height, 12, 7);
    SkyFrame sky;
    sky.level = 1000.0;
    sky.gradientX = 0.3;
    sky.gradientY = -0.2;
    ImageGrid grid;
    test::DrawSkyFrame(grid, Width, Height, stars, sky);
    const double noise = std::sqrt(25.0 + 1000.0);

    const FrameQuality q = MeasureQuality(grid);
    EXPECT_NEAR(q.background, 1000.0, 10.0);
    EXPECT_NEAR(q.noise, noise, 0.05 * noise);
    EXPECT_NEAR(q.fwhm, 1.5 * SigmaToFwhm, 0.05 * 1.5 * SigmaToFwhm);
    EXPECT_GT(q.roundness, 0.9);
    EXPECT_GE(q.stars, 50);
    EXPECT_TRUE(std::isnan(q.transparency));

    std::vector<double> all(grid.data(), grid.data() + grid.pixelCount());
    std::nth_element(all.begin(), all.begin() + all.size() / 2, all.end());
    const double median = all[all.size() / 2];
    for (double& v : all)
        v = std::fabs(v - median);
    std::nth_element(all.begin(), all.begin() + all.size() / 2, all.end());
    EXPECT_GT(1.4826 * all[all.size() / 2], 2.0 * noise);

    // Stars trailed by 12 pixels along x: stretched, far less round, wider.
    sky.trail = 12.0;
    test::DrawSkyFrame(grid, Width, Height, stars, sky);
    const FrameQuality trailed = MeasureQuality(grid);
    EXPECT_LT(trailed.roundness, 0.6);
    EXPECT_GT(trailed.fwhm, 1.4 * q.fwhm);
}

// The night of the tests below: frame 3 through thin cloud (half the starlight, a brighter
// sky), frame 6 trailed, frame 5 under a sky twice as bright as the first, the others
// between; the gradient turns.
struct QualityNight : ::testing::Test {
    TempDir dir;
    test::TestContext tc;
    AppContext& context = tc.context;
    std::vector<std::string> names;

    void SetUp() override
    {
        const std::vector<test::SyntheticStar> stars = test::RoundStars(70, Width, Height, 16, 11);
        const double levels[] = {1000.0, 800.0, 1500.0, 900.0, 2000.0, 1100.0, 1200.0, 950.0};
        for (int k = 0; k < 8; ++k) {
            SkyFrame frame;
            frame.level = levels[k];
            frame.gradientX = 0.05 * k;
            frame.gradientY = 0.1 - 0.03 * k;
            frame.transparency = k == 2 ? 0.5 : 1.0;
            frame.trail = k == 5 ? 12.0 : 0.0;
            frame.seed = 100 + static_cast<unsigned>(k);
            names.push_back("f" + std::to_string(k + 1) + ".fit");
            test::WriteSkyFrame(dir.file(names.back()), Width, Height, stars, frame);
        }
    }

    int MakeList()
    {
        const TreeItem list = context.lists.InsertList("[PATH] = " + dir.path().string());
        for (const std::string& name : names)
            context.lists.InsertFile(list, name);
        return context.lists.ListPositionOfItem(list);
    }
};

TEST_F(QualityNight, MeasureRepliesPerFrameAndWritesTheTable)
{
    MakeList();
    const std::string reply = ExecuteCommand(context, "measure [PATH]");
    const std::vector<std::string> lines = Lines(reply, "\r\n");
    ASSERT_EQ(lines.size(), 9u) << reply;
    for (std::size_t k = 0; k < 8; ++k) {
        EXPECT_EQ(lines[k].rfind("     " + names[k] + "  background = ", 0), 0u) << lines[k];
        EXPECT_NE(lines[k].find("  noise = "), std::string::npos);
        EXPECT_NE(lines[k].find("  fwhm = "), std::string::npos);
        EXPECT_NE(lines[k].find("  roundness = "), std::string::npos);
        EXPECT_NE(lines[k].find("  stars = "), std::string::npos);
    }
    EXPECT_EQ(lines[8], "     8 of 8 frames measured; quality.csv written");
    EXPECT_TRUE(tc.messages.texts.empty());

    const std::vector<std::string> table = Lines(FileText(dir.file("quality.csv")), "\n");
    ASSERT_EQ(table.size(), 10u); // heading, eight frames, nothing after the last line feed
    EXPECT_EQ(table[0], "file,background,noise,fwhm,roundness,stars,transparency,score");
    EXPECT_EQ(table[1].rfind("f1.fit,", 0), 0u);
    EXPECT_EQ(table[9], "");
    // The reference's transparency is 1, the cloudy frame's about a half.
    EXPECT_NE(table[1].find(",1.0000,"), std::string::npos);
    const std::string cloudy = table[3];
    const std::size_t end = cloudy.rfind(',');
    const double transparency = std::stod(cloudy.substr(cloudy.rfind(',', end - 1) + 1));
    EXPECT_NEAR(transparency, 0.5, 0.05);
}

// keepbest drops the cloudy and the trailed frame, not the frame of the brightest sky, and
// unselects them in the list; frames can be selected again by hand.
TEST_F(QualityNight, KeepBestUnselectsTheCloudyAndTheTrailedFrame)
{
    const int n = MakeList();
    EXPECT_EQ(ExecuteCommand(context, "keepbest [PATH] 75"), "     kept 6 of 8 frames; unselected: f3.fit, f6.fit");
    for (int k = 1; k <= 8; ++k)
        EXPECT_EQ(context.lists.IsFileSelected(context.lists.FileItem(n, k)), k != 3 && k != 6) << k;
    EXPECT_TRUE(std::filesystem::exists(dir.file("quality.csv")));

    // Selected again by hand, a frame takes part as before.
    context.lists.SelectFile(context.lists.FileItem(n, 3));
    EXPECT_EQ(SelectedFilePaths(context.lists, n).size(), 7u);
    const std::string reply = ExecuteCommand(context, "keepbest [PATH] 100");
    EXPECT_EQ(reply, "     kept 7 of 7 frames");
}

TEST_F(QualityNight, RefusedAndUnreadableInput)
{
    const int n = MakeList();
    EXPECT_EQ(ExecuteCommand(context, "keepbest [PATH] 0"), "     percentage must be more than 0 and at most 100 !");
    EXPECT_EQ(ExecuteCommand(context, "keepbest [PATH] 101"), "     percentage must be more than 0 and at most 100 !");
    EXPECT_EQ(ExecuteCommand(context, "keepbest [PATH] abc"), "     percentage must be more than 0 and at most 100 !");
    EXPECT_EQ(ExecuteCommand(context, "keepbest [PATH]"), "     percentage must be more than 0 and at most 100 !");
    EXPECT_EQ(ExecuteCommand(context, "measure [NOPE]"), "     list name not recognized !");
    EXPECT_EQ(SelectedFilePaths(context.lists, n).size(), 8u);
    EXPECT_FALSE(std::filesystem::exists(dir.file("quality.csv")));

    // A frame that cannot be read is told, left out of the table and unselected by keepbest
    // (the share is of the frames selected: six, of which the trailed one scores lowest).
    test::WriteFileBytes(dir.file("f4.fit"), "not a FITS file");
    const std::string reply = ExecuteCommand(context, "keepbest [PATH] 75");
    EXPECT_EQ(reply, "     kept 6 of 8 frames; unselected: f4.fit, f6.fit");
    ASSERT_FALSE(tc.messages.texts.empty());
    EXPECT_EQ(tc.messages.paths.back(), dir.file("f4.fit"));
    EXPECT_EQ(Lines(FileText(dir.file("quality.csv")), "\n").size(), 9u);

    // Nothing that can be measured: the selection stays as it was.
    context.lists.ChangeListSelection(context.lists.ListItem(n), ImageListTree::SelectionChange::Deselect);
    EXPECT_EQ(ExecuteCommand(context, "measure [PATH]"), "     list has no selected image !");
    context.lists.SelectFile(context.lists.FileItem(n, 4));
    EXPECT_EQ(ExecuteCommand(context, "keepbest [PATH] 50"), "     no selected image could be read !");
    EXPECT_TRUE(context.lists.IsFileSelected(context.lists.FileItem(n, 4)));
}

MeasureResult Scored(const std::vector<double>& scores)
{
    MeasureResult result;
    result.status = MeasureStatus::Done;
    for (std::size_t k = 0; k < scores.size(); ++k) {
        MeasuredFrame frame;
        frame.path = "/f" + std::to_string(k);
        if (std::isnan(scores[k]))
            frame.fate = MeasureFate::Unreadable;
        frame.quality.score = scores[k];
        result.frames.push_back(frame);
    }
    return result;
}

// The share is of the frames selected, rounded down, at least one; equal scores keep the
// earlier frame; a frame not measured is never kept.
TEST(FrameQualityTest, BestFramesByScore)
{
    const double none = std::nan("");
    const MeasureResult result = Scored({0.9, 0.5, 0.9, 0.1, none});
    EXPECT_EQ(ChooseBestFrames(result, 60.0, 5), (std::vector<bool>{true, true, true, false, false}));
    EXPECT_EQ(ChooseBestFrames(result, 30.0, 5), (std::vector<bool>{true, false, false, false, false}));
    EXPECT_EQ(ChooseBestFrames(result, 1.0, 5), (std::vector<bool>{true, false, false, false, false}));
    EXPECT_EQ(ChooseBestFrames(result, 100.0, 5), (std::vector<bool>{true, true, true, true, false}));
    EXPECT_EQ(ChooseBestFrames(Scored({0.2, 0.9, 0.2, 0.9}), 50.0, 4), (std::vector<bool>{false, true, false, true}));
    const MeasureResult twenty = Scored(std::vector<double>(20, 1.0));
    const std::vector<bool> kept = ChooseBestFrames(twenty, 90.0, 20);
    EXPECT_EQ(std::count(kept.begin(), kept.end(), true), 18);
}

} // namespace
} // namespace skyvane
