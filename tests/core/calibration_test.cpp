// Calibration with a dark and a flat: the flat's normalisation per filter colour, the dark's
// hot pixels and their replacement by neighbours of the same colour, and the command.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "command/Interpreter.h"
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

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

TEST(FlatNormalisation, EachSiteOfAMosaicToItsOwnMeanAGreyFlatToOne)
{
    const int width = 6;
    const int height = 4;
    const double response[4] = {0.85, 1.0, 1.0, 0.65}; // R G / G B
    std::vector<double> flat(static_cast<std::size_t>(width * height));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            flat[static_cast<std::size_t>(y * width + x)] = 20000.0 * response[Mosaic::site(x, y)] * (1.0 - 0.01 * (x + y));
    std::vector<double> mosaic = flat;
    ASSERT_TRUE(NormaliseFlat(mosaic.data(), width, height, true));
    std::vector<double> grey = flat;
    ASSERT_TRUE(NormaliseFlat(grey.data(), width, height, false));
    double siteSums[4] = {0, 0, 0, 0};
    double sum = 0.0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            siteSums[Mosaic::site(x, y)] += mosaic[static_cast<std::size_t>(y * width + x)];
            sum += grey[static_cast<std::size_t>(y * width + x)];
        }
    for (const double siteSum : siteSums)
        EXPECT_NEAR(siteSum / (width * height / 4), 1.0, 1e-12);
    EXPECT_NEAR(sum / (width * height), 1.0, 1e-12);
    // Within a site the shape of the flat stays; across sites the grey one keeps the colours.
    EXPECT_NEAR(mosaic[0] / mosaic[2], flat[0] / flat[2], 1e-12);
    EXPECT_NEAR(grey[0] / grey[1], flat[0] / flat[1], 1e-12);

    std::vector<double> dead(static_cast<std::size_t>(width * height), 1.0);
    for (int x = 0; x < width; x += 2)
        dead[static_cast<std::size_t>(x)] = dead[static_cast<std::size_t>(2 * width + x)] = 0.0; // site 0 all zero
    const std::vector<double> before = dead;
    EXPECT_FALSE(NormaliseFlat(dead.data(), width, height, true));
    EXPECT_EQ(dead, before);
    EXPECT_TRUE(NormaliseFlat(dead.data(), width, height, false));
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

TEST(HotPixels, ReplacedByTheMedianOfTheirNearestNeighboursOfTheSameColour)
{
    const int width = 10;
    const int height = 8;
    std::vector<double> values(static_cast<std::size_t>(width * height));
    Noise noise;
    for (double& value : values)
        value = 1000.0 + 100.0 * noise.next();
    const auto at = [&](int x, int y) { return values[static_cast<std::size_t>(y * width + x)]; };
    // RGGB: (4, 4) is red, (5, 4) green, (0, 0) red in the corner; (4, 2) red next to hot (4, 4)... two apart.
    const std::vector<std::int64_t> hot = {0, 2 * width + 4, 4 * width + 4, 4 * width + 5};
    const std::vector<double> original = values;
    const std::vector<double> red44 = {at(2, 2), at(6, 2), at(2, 4), at(6, 4), at(2, 6), at(4, 6), at(6, 6)}; // (4, 2) is hot
    const std::vector<double> green54 = {at(4, 3), at(6, 3), at(4, 5), at(6, 5), at(3, 4), at(7, 4), at(5, 2), at(5, 6)};
    const std::vector<double> red00 = {at(2, 0), at(0, 2), at(2, 2)};
    const std::vector<double> grey54 = {at(4, 3), at(5, 3), at(6, 3), at(6, 4), at(4, 5), at(5, 5), at(6, 5)}; // (4, 4) is hot

    std::vector<double> mosaic = values;
    ReplaceHotPixels(mosaic.data(), width, 0, height, height, 0, height, hot, Mosaic(Mosaic::Pattern::RGGB));
    EXPECT_EQ(mosaic[4 * width + 4], Median(red44));
    EXPECT_EQ(mosaic[4 * width + 5], Median(green54));
    EXPECT_EQ(mosaic[0], Median(red00));
    std::vector<double> grey = values;
    ReplaceHotPixels(grey.data(), width, 0, height, height, 0, height, hot, std::nullopt);
    EXPECT_EQ(grey[4 * width + 5], Median(grey54));
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (!std::binary_search(hot.begin(), hot.end(), static_cast<std::int64_t>(k))) {
            EXPECT_EQ(mosaic[k], original[k]);
        }
    }

    // Only the rows asked for, from a band that holds rows 2 .. 7.
    std::vector<double> band(values.begin() + 2 * width, values.end());
    ReplaceHotPixels(band.data(), width, 2, 6, height, 4, 1, hot, Mosaic(Mosaic::Pattern::RGGB));
    EXPECT_EQ(band[2 * width + 4], Median(red44));
    EXPECT_EQ(band[4], original[2 * width + 4]); // row 2 not asked for
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
    for (int f = 0; f < 4; ++f) {
        for (double& value : layout.values)
            value = 1000.0 + 50.0 * noise.next();
        job.framePaths.push_back(dir.file("f" + std::to_string(f) + ".fit"));
        test::WriteFitsImage(job.framePaths.back(), layout);
    }
    for (const int after : {0, 1, 2}) {
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
    ImageRecord first;
    ASSERT_TRUE(loadFits(first, dir.file("run-1/f0.fit")).loaded());
    for (std::size_t k = 0; k < dark.size(); k += 977) {
        const int x = static_cast<int>(k % width);
        const int y = static_cast<int>(k / width);
        EXPECT_LT(std::fabs(first.grid[x][y] - 900.0), 400.0) << x << " " << y;
    }
}

} // namespace
} // namespace skyvane
