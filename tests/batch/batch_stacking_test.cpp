#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/ProgramRun.h"
#include "support/SkyNight.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::SkyFrame;
using test::TempDir;

// A night of six registered frames under a changing sky, the third through thin cloud and
// the fifth trailed, stacked by the real batch tool: measured, the best two thirds kept,
// normalised and weighted by commands, combined by winsorised clipping.
TEST(BatchStacking, MeasureKeepBestNormaliseWeightAndCombine)
{
    TempDir night;
    TempDir sandbox;
    const std::vector<test::SyntheticStar> stars = test::RoundStars(60, 200, 200, 16, 21);
    for (int k = 0; k < 6; ++k) {
        SkyFrame frame;
        frame.level = 800.0 + 150.0 * k;
        frame.gradientX = 0.04 * k;
        frame.transparency = k == 2 ? 0.5 : 1.0;
        frame.trail = k == 4 ? 12.0 : 0.0;
        frame.seed = 40 + static_cast<unsigned>(k);
        test::WriteSkyFrame(night.file("n" + std::to_string(k + 1) + ".fit"), 200, 200, stars, frame, {"EXPTIME =                120.0"});
    }
    const test::ProgramRun run = test::RunProgram(SKYVANE_BATCH_PATH,
                                                  {"--workdir", night.path().string(), "-c", "measure [WORK]", "-c", "keepbest [WORK] 67", "-c",
                                                   "normalise additive+scale", "-c", "weight noise", "-c", "winsorclip [WORK] 3 3", "-c",
                                                   "headers", "--lists"},
                                                  {sandbox.path().string(), {}, false});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    std::istringstream lines(run.out);
    std::string line;
    for (int k = 1; k <= 6; ++k) {
        ASSERT_TRUE(std::getline(lines, line));
        EXPECT_EQ(line.rfind("     n" + std::to_string(k) + ".fit  background = ", 0), 0u) << line;
    }
    const auto next = [&] {
        std::getline(lines, line);
        return line;
    };
    EXPECT_EQ(next(), "     6 of 6 frames measured; quality.csv written");
    EXPECT_EQ(next(), "     kept 4 of 6 frames; unselected: n3.fit, n5.fit");
    EXPECT_EQ(next(), "     normalisation: additive+scale");
    EXPECT_EQ(next(), "     weights: noise");
    EXPECT_EQ(next(), "     co-added image has been calculated with winsorised sigma clipping");
    EXPECT_TRUE(std::filesystem::exists(night.file("quality.csv")));
    EXPECT_NE(run.out.find("NCOMBINE=                    4 / number of frames combined"), std::string::npos);
    EXPECT_NE(run.out.find("EXPTIME =                120.0 / [s] mean exposure of the frames combined"), std::string::npos);
    EXPECT_NE(run.out.find("HISTORY Skyvane: normalisation additive+scale, weights noise"), std::string::npos);
    EXPECT_NE(run.out.find("[WORK] = " + night.path().string() + "\n  [x] n1.fit\n  [x] n2.fit\n  [ ] n3.fit\n  [x] n4.fit\n  [ ] n5.fit\n  [x] n6.fit\n"),
              std::string::npos)
        << run.out;
    // The batch tool keeps its choices to its run: no settings file appears.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(sandbox.path()))
        EXPECT_NE(entry.path().filename(), "Skyvane.ini");
}

} // namespace
} // namespace skyvane
