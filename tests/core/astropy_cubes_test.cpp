// Colour cubes as another program writes them (tests/corpus/astropy, made by make_cubes.py
// there with astropy): opened, shown, co-added, registered, saved and opened again, each
// plane exactly as the grey path treats the same plane written as a grey file; composed
// from three grey files, the cube astropy stacked from them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "command/Interpreter.h"
#include "display/DisplayBitmap.h"
#include "image/FitsReader.h"
#include "image/FitsWriter.h"
#include "image/ImageGrid.h"
#include "image/ImageRecord.h"
#include "processing/Coaddition.h"
#include "processing/Registration.h"
#include "processing/Resampling.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

const char* const Colours[3] = {"red", "green", "blue"};

std::string Fixture(const std::string& name)
{
    return (std::filesystem::path(SKYVANE_CORPUS_DIR) / "astropy" / name).string();
}

ImageRecord Load(const std::string& path)
{
    ImageRecord record;
    EXPECT_TRUE(loadFits(record, path).loaded()) << path;
    return record;
}

std::vector<std::uint64_t> Bits(const ImageGrid& grid)
{
    std::vector<std::uint64_t> bits(static_cast<std::size_t>(grid.pixelCount()));
    std::memcpy(bits.data(), grid.data(), bits.size() * sizeof(double));
    return bits;
}

DisplayBitmap Picture(const ImageGrid& image, int low, int high)
{
    test::FixedThresholds thresholds(low, high);
    test::RecordingDisplaySink sink;
    Display display(thresholds, sink);
    EXPECT_TRUE(display.buildDisplay(image));
    return display.bitmap();
}

// The cubes of 32-bit floats and of 16-bit integers: each plane loads as its grey file; the
// picture's red, green and blue bytes are the grey pictures of the planes; saved in each
// sample format that holds the values, the cube opens again bit for bit.
TEST(AstropyCubes, OpenShowSaveAndReopenAsTheGreyPlanes)
{
    test::TempDir dir;
    struct Case {
        std::string cube;
        std::string plane; // with %s for the colour
        int low, high;
        std::vector<SampleFormat> formats;
    };
    for (const Case& c : {Case{"rgb.fits", "%s.fits", 100, 900, {SampleFormat::Float32}},
                          Case{"night1.fits", "night1_%s.fits", 700, 3000, {SampleFormat::Float32, SampleFormat::Integer16}}}) {
        const ImageRecord colour = Load(Fixture(c.cube));
        ASSERT_EQ(colour.grid.planes(), 3) << c.cube;
        const DisplayBitmap picture = Picture(colour.grid, c.low, c.high);
        for (int p = 0; p < 3; ++p) {
            std::string name = c.plane;
            name.replace(name.find("%s"), 2, Colours[p]);
            const ImageRecord grey = Load(Fixture(name));
            EXPECT_EQ(Bits(colour.grid.planeView(p)), Bits(grey.grid)) << c.cube << ", " << name;
            const DisplayBitmap greyPicture = Picture(grey.grid, c.low, c.high);
            ASSERT_EQ(picture.rows.size(), greyPicture.rows.size());
            int differ = 0;
            for (std::size_t at = 0; at + 2 < picture.rows.size(); at += 3)
                differ += picture.rows[at + static_cast<std::size_t>(2 - p)] != greyPicture.rows[at] ? 1 : 0;
            EXPECT_EQ(differ, 0) << c.cube << ", " << name; // the row padding (none at these widths) aside
        }
        for (const SampleFormat format : c.formats) {
            ASSERT_EQ(saveFits(colour, dir.file("saved.fits"), format), FitsError::None) << c.cube;
            const ImageRecord again = Load(dir.file("saved.fits"));
            ASSERT_EQ(again.grid.planes(), 3);
            for (int p = 0; p < 3; ++p)
                EXPECT_EQ(Bits(again.grid.planeView(p)), Bits(colour.grid.planeView(p))) << c.cube << ", plane " << p;
        }
    }
}

class NoNotices final : public CoaddFeedback {
public:
    void notice(const CoaddNotice&) override { ++told; }
    int told = 0;
};

class KeptFrames final : public AlignedFrameSink {
public:
    bool write(std::size_t position, const std::string&, ImageRecord& aligned, std::string_view) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        frames[position].swap(aligned.grid);
        return true;
    }
    std::mutex mutex;
    std::map<std::size_t, ImageGrid> frames;
};

// The night of three cubes: co-added by each method, each plane is the co-addition of that
// plane's grey files; registered, the shifts are those of the green planes' grey files, and
// every plane is moved by them.
TEST(AstropyCubes, CoaddAndRegisterEachPlaneAsItsGreyFrames)
{
    std::vector<std::string> cubes;
    std::vector<std::string> planes[3];
    for (int k = 1; k <= 3; ++k) {
        cubes.push_back(Fixture("night" + std::to_string(k) + ".fits"));
        for (int p = 0; p < 3; ++p)
            planes[p].push_back(Fixture("night" + std::to_string(k) + "_" + Colours[p] + ".fits"));
    }
    for (const CoaddMethod method : {CoaddMethod::Mean, CoaddMethod::Median, CoaddMethod::MinMaxRejection}) {
        CoaddOptions options;
        options.parameters = {method, 0.0, 0};
        NoNotices notices;
        const CoaddResult colour = CombineFrames(cubes, options, notices);
        ASSERT_EQ(colour.status, CoaddStatus::Done);
        ASSERT_EQ(colour.grid.planes(), 3);
        for (int p = 0; p < 3; ++p) {
            const CoaddResult grey = CombineFrames(planes[p], options, notices);
            ASSERT_EQ(grey.status, CoaddStatus::Done);
            EXPECT_EQ(Bits(colour.grid.planeView(p)), Bits(grey.grid)) << "method " << static_cast<int>(method) << ", plane " << p;
        }
        EXPECT_EQ(notices.told, 0);
    }

    RegistrationRequest request;
    request.method = RegistrationMethod::Correlation;
    test::RecordingMessages messages;
    KeptFrames colourFrames, greyFrames;
    request.framePaths = cubes;
    const RegistrationResult colour = RegisterFrames(request, colourFrames, messages);
    request.framePaths = planes[1];
    const RegistrationResult grey = RegisterFrames(request, greyFrames, messages);
    ASSERT_EQ(colour.status, RegistrationStatus::Done);
    ASSERT_EQ(grey.status, RegistrationStatus::Done);
    for (std::size_t k = 0; k < 3; ++k) {
        ASSERT_EQ(colour.frames[k].fate, FrameFate::Registered) << k;
        EXPECT_EQ(colour.frames[k].dx, grey.frames[k].dx) << k;
        EXPECT_EQ(colour.frames[k].dy, grey.frames[k].dy) << k;
        const ImageGrid& aligned = colourFrames.frames[k];
        ASSERT_EQ(aligned.planes(), 3);
        EXPECT_EQ(Bits(aligned.planeView(1)), Bits(greyFrames.frames[k])) << k;
        const ImageRecord frame = Load(cubes[k]);
        for (int p = 0; p < 3; ++p) {
            ImageGrid expected;
            ResampleToReference(frame.grid.planeView(p), colour.frames[k].dx, colour.frames[k].dy, expected, 1);
            EXPECT_EQ(Bits(aligned.planeView(p)), Bits(expected)) << "frame " << k << ", plane " << p;
        }
    }
    // The frames were written shifted by (1.6, -1.3) and (-2.4, 0.7) pixels.
    EXPECT_NEAR(colour.frames[1].dx, 1.6, 0.3);
    EXPECT_NEAR(colour.frames[2].dy, 0.7, 0.3);
}

// rgbcompose of the three grey files is the cube astropy stacked from them, and saved it
// stays that cube.
TEST(AstropyCubes, ComposedGreyFilesAreTheCubeAstropyStacked)
{
    test::TestContext tc;
    tc.context.settings.WorkingDirectory = (std::filesystem::path(SKYVANE_CORPUS_DIR) / "astropy").string();
    ASSERT_TRUE(loadFits(tc.context.imageA, Fixture("green.fits")).loaded());
    EXPECT_EQ(ExecuteCommand(tc.context, "rgbcompose (red.fits) (green.fits) (blue.fits)"), "     colour image composed");
    EXPECT_TRUE(tc.messages.texts.empty());
    const ImageRecord stacked = Load(Fixture("rgb.fits"));
    const ImageGrid& composed = tc.context.imageA.grid;
    ASSERT_EQ(composed.planes(), 3);
    for (int p = 0; p < 3; ++p)
        EXPECT_EQ(Bits(composed.planeView(p)), Bits(stacked.grid.planeView(p))) << "plane " << p;
    test::TempDir dir;
    ASSERT_EQ(saveFits(tc.context.imageA, dir.file("composed.fits"), SampleFormat::Float32), FitsError::None);
    const ImageRecord saved = Load(dir.file("composed.fits"));
    for (int p = 0; p < 3; ++p)
        EXPECT_EQ(Bits(saved.grid.planeView(p)), Bits(stacked.grid.planeView(p))) << "plane " << p;
}

} // namespace
} // namespace skyvane
