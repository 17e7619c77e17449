// Calibration with a dark and a flat: the flat's normalisation per filter colour, the dark's
// hot pixels and their replacement by neighbours of the same colour, and the command.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "image/FitsReader.h"
#include "processing/Calibration.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::FitsLayout;
using test::TempDir;

// Deterministic values around 0 of about unit spread.
struct Noise {
    unsigned state = 12345;
    double next()
    {
        double sum = 0.0;
        for (int k = 0; k < 4; ++k) {
            state = state * 1103515245u + 12345u;
            sum += static_cast<double>((state >> 8) & 0xFFFF) / 65536.0 - 0.5;
        }
        return sum * 1.7;
    }
};

TEST(FlatNormalisation, EachSiteOfAMosaicToItsOwnMeanAGreyFlatToOne)
{
    const int width = 6;
    const int height = 4;
    const double response[4] = {0.85, 1.0, 1.0, 0.65}; // R G / G B
    std::vector<double> flat;
    for (int k = 0; k < width * height; ++k)
        flat.push_back(20000.0 * response[Mosaic::site(k % width, k / width)] * (1.0 - 0.01 * (k % width + k / width)));
    std::vector<double> mosaic = flat;
    std::vector<double> grey = flat;
    ASSERT_TRUE(NormaliseFlat(mosaic.data(), width, height, true));
    ASSERT_TRUE(NormaliseFlat(grey.data(), width, height, false));
    double siteSums[4] = {0, 0, 0, 0};
    double sum = 0.0;
    for (int k = 0; k < width * height; ++k) {
        siteSums[Mosaic::site(k % width, k / width)] += mosaic[static_cast<std::size_t>(k)];
        sum += grey[static_cast<std::size_t>(k)];
    }
    for (const double siteSum : siteSums)
        EXPECT_NEAR(siteSum / (width * height / 4), 1.0, 1e-12);
    EXPECT_NEAR(sum / (width * height), 1.0, 1e-12);
    // Within a site the flat keeps its shape; the grey normalisation keeps the colours.
    EXPECT_NEAR(mosaic[0] / mosaic[2], flat[0] / flat[2], 1e-12);
    EXPECT_NEAR(grey[0] / grey[1], flat[0] / flat[1], 1e-12);
    // A site without light: the flat cannot be used, and is left as it was.
    for (int k = 0; k < width * height; ++k)
        flat[static_cast<std::size_t>(k)] = Mosaic::site(k % width, k / width) == 0 ? 0.0 : 1.0;
    const std::vector<double> before = flat;
    EXPECT_FALSE(NormaliseFlat(flat.data(), width, height, true));
    EXPECT_EQ(flat, before);
}

TEST(HotPixels, FiveRobustDeviationsAboveTheMedian)
{
    const int width = 20;
    const int height = 16;
    std::vector<double> dark(static_cast<std::size_t>(width * height));
    Noise noise;
    for (double& value : dark)
        value = 300.0 + 4.0 * noise.next();
    // Hot: far above; a cold pixel and a modest one stay, as does a missing value.
    const std::vector<std::int64_t> hot = {5, 3 * width + 7, 3 * width + 8, 15 * width + 19};
    for (const std::int64_t k : hot)
        dark[static_cast<std::size_t>(k)] = 2000.0;
    dark[static_cast<std::size_t>(40)] = -2000.0;
    dark[static_cast<std::size_t>(41)] = 308.0;
    dark[static_cast<std::size_t>(42)] = std::nan("");
    EXPECT_EQ(FindHotPixels(dark.data(), width, height), hot);

    // A dark of whole numbers, most of them equal: the mean deviation measures the spread.
    std::vector<double> flatDark(static_cast<std::size_t>(width * height), 100.0);
    for (std::size_t k = 0; k < flatDark.size(); k += 3)
        flatDark[k] = 101.0;
    flatDark[77] = 140.0;
    EXPECT_EQ(FindHotPixels(flatDark.data(), width, height), std::vector<std::int64_t>{77});
    EXPECT_TRUE(FindHotPixels(std::vector<double>(12, 5.0).data(), 4, 3).empty());
}

TEST(HotPixels, WholeNumbersAreCountedToWhatSelectingThemGives)
{
    // The same dark of whole numbers and moved by a quarter, which is no longer counted:
    // the same hot pixels, for an odd and an even number of finite values.
    for (const int missing : {0, 1}) {
        const int width = 30;
        const int height = 21;
        std::vector<double> dark(static_cast<std::size_t>(width * height));
        Noise noise;
        for (double& value : dark)
            value = std::round(300.0 + 3.0 * noise.next());
        const std::vector<std::int64_t> hot = {4, 2 * width + 9, 20 * width + 29};
        for (const std::int64_t k : hot)
            dark[static_cast<std::size_t>(k)] = 340.0;
        if (missing == 1)
            dark[11] = std::nan("");
        std::vector<double> moved = dark;
        for (double& value : moved)
            value += 0.25;
        EXPECT_EQ(FindHotPixels(dark.data(), width, height), hot);
        EXPECT_EQ(FindHotPixels(moved.data(), width, height), hot);
    }
}

// Asks to stop once it has been asked `after` times; keeps what it was told.
class StoppingFeedback final : public ListArithmeticFeedback {
public:
    explicit StoppingFeedback(int after) : after_(after) {}
    void notice(const ListArithmeticNotice& notice) override { notices.push_back(notice.kind); }
    void progress(int, int) override {}
    bool cancelRequested() override { return ++asked_ > after_; }
    std::vector<ListArithmeticNotice::Kind> notices;

private:
    int after_;
    int asked_ = 0;
};

TEST(CalibrationRun, AStoppedRunLeavesNothingAndEveryFrameIsCalibratedWhateverTheWorkers)
{
    TempDir dir;
    const int width = 300;
    const int height = 700; // several bands of rows
    Noise noise;
    std::vector<double> dark(static_cast<std::size_t>(width * height));
    for (double& value : dark)
        value = 100.0 + noise.next();
    for (std::size_t k = 0; k < dark.size(); k += 977)
        dark[k] = 5000.0;
    FitsLayout layout;
    layout.width = width;
    layout.height = height;
    layout.values = dark;
    test::WriteFitsImage(dir.file("dark.fit"), layout);
    CalibrationJob job;
    job.darkPath = dir.file("dark.fit");
    job.outputParent = dir.path().string();
    std::vector<double> first;
    for (int f = 0; f < 4; ++f) {
        for (double& value : layout.values)
            value = 1000.0 + 50.0 * noise.next();
        if (f == 0)
            first = layout.values;
        job.framePaths.push_back(dir.file("f" + std::to_string(f) + ".fit"));
        test::WriteFitsImage(job.framePaths.back(), layout);
    }
    // Asked before the first frame, and again before the first report: a later ask may
    // come after the last frame, so only these two are sure to stop the run.
    for (const int after : {0, 1}) {
        job.outputName = "stopped";
        StoppingFeedback feedback(after);
        EXPECT_EQ(RunCalibration(job, feedback).status, ListArithmeticStatus::Cancelled) << after;
        EXPECT_FALSE(std::filesystem::exists(dir.file("stopped"))) << after;
    }
    // One worker or four: the same files, the hot pixels replaced across the bands' edges.
    std::vector<std::vector<unsigned char>> written[2];
    for (const int threads : {1, 4}) {
        job.threads = threads;
        job.outputName = "run-" + std::to_string(threads);
        StoppingFeedback feedback(1000000);
        const CalibrationResult result = RunCalibration(job, feedback);
        ASSERT_EQ(result.status, ListArithmeticStatus::Done);
        EXPECT_EQ(result.hotPixels, static_cast<std::int64_t>((dark.size() + 976) / 977));
        EXPECT_TRUE(feedback.notices.empty());
        for (int f = 0; f < 4; ++f)
            written[threads == 1 ? 0 : 1].push_back(test::ReadFileBytes(dir.file(job.outputName + "/f" + std::to_string(f) + ".fit")));
    }
    EXPECT_EQ(written[0], written[1]);
    // A grey frame's hot pixel: the median of its 8 neighbours (those inside the frame).
    ImageRecord result;
    ASSERT_TRUE(loadFits(result, dir.file("run-1/f0.fit")).loaded());
    const auto calibrated = [&](int x, int y) { return first[static_cast<std::size_t>(y * width + x)] - dark[static_cast<std::size_t>(y * width + x)]; };
    for (std::size_t k = 0; k < dark.size(); k += 977) {
        const int x = static_cast<int>(k % width);
        const int y = static_cast<int>(k / width);
        std::vector<double> around;
        for (int v = std::max(0, y - 1); v <= std::min(height - 1, y + 1); ++v)
            for (int u = std::max(0, x - 1); u <= std::min(width - 1, x + 1); ++u)
                if (u != x || v != y)
                    around.push_back(calibrated(u, v));
        std::sort(around.begin(), around.end());
        const std::size_t n = around.size();
        const double median = n % 2 == 1 ? around[n / 2] : around[n / 2 - 1] + (around[n / 2] - around[n / 2 - 1]) / 2.0;
        EXPECT_EQ(result.grid[x][y], static_cast<float>(median)) << x << " " << y;
    }
}

} // namespace
} // namespace skyvane
