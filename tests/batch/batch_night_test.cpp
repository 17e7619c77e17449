// A first night with the real programs: the sample's raw night taken to a stacked picture
// by the README's own commands, and list arithmetic that refuses an operand that is no
// number.

#include <gtest/gtest.h>

#include <fitsio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "image/FitsReader.h"
#include "support/ProgramRun.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TempDir;

test::ProgramRun RunBatch(const TempDir& sandbox, const std::vector<std::string>& args)
{
    return test::RunProgram(SKYVANE_BATCH_PATH, args, {sandbox.path().string(), {}, false});
}

void WriteImage(const std::string& path, std::vector<double> values)
{
    test::FitsLayout layout;
    layout.width = static_cast<int>(values.size());
    layout.height = 1;
    layout.values = std::move(values);
    test::WriteFitsImage(path, layout);
}

TEST(BatchListOperand, ListCommandsRefuseAnOperandThatIsNoNumberAndWriteNothing)
{
    TempDir sandbox;
    const std::string folder = sandbox.file("frames");
    std::filesystem::create_directories(folder);
    WriteImage(folder + "/a.fit", {1, 2, 3});
    WriteImage(folder + "/b.fit", {4, 5, 6});
    const std::vector<std::string> refused = {"listadd [WORK]", "listadd [WORK] ", "listsub [WORK] abc", "listmult [WORK] nan",
                                              "listdiv [WORK] 0x10", "listadd [WORK] inf", "listsub [WORK] 1e999", "listmult [WORK] 5 6",
                                              "listdiv [WORK] 2x", "listadd [WORK] -", "listsub [WORK] 1e"};
    std::vector<std::string> args = {"--workdir", folder};
    std::string replies;
    for (const std::string& command : refused) {
        args.insert(args.end(), {"-c", command});
        replies += "     not a number !\n";
    }
    args.insert(args.end(), {"--lists"});
    const test::ProgramRun r = RunBatch(sandbox, args);
    EXPECT_EQ(r.out, replies + "[WORK] = " + folder + "\n  [x] a.fit\n  [x] b.fit\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test::FolderEntries(folder), (std::vector<std::string>{"a.fit", "b.fit"}));

    // A number with blanks around it, a sign and an exponent is one number; an image
    // command keeps reading a number where it finds one, 0 where it finds none.
    const test::ProgramRun taken = RunBatch(sandbox, {"--workdir", folder, "-c", "listsub [WORK]  -1.5E+1 ", "--open", folder + "/a.fit",
                                                      "-c", "add abc", "-c", "add 0x10", "-c", "stat"});
    EXPECT_EQ(taken.out, "     2 images have been subtracted; new list [PATH]\n"
                         "     offset has been added to image\n     offset has been added to image\n"
                         "     min = 1\n     max = 3\n     median = 2\n     mean = 2\n     sigma = 0.8165\n");
    EXPECT_EQ(taken.status, 0) << taken.err;
    EXPECT_TRUE(std::filesystem::is_directory(folder + "/sub--15"));
}

#ifdef SKYVANE_SAMPLE_PATH

// One keyword of a FITS file, as a number.
double Keyword(const std::string& path, const char* key)
{
    fitsfile* file = nullptr;
    int status = 0;
    double value = NAN;
    fits_open_diskfile(&file, path.c_str(), READONLY, &status);
    fits_read_key(file, TDOUBLE, key, &value, nullptr, &status);
    int closeStatus = 0;
    if (file)
        fits_close_file(file, &closeStatus);
    EXPECT_EQ(status, 0) << path << " " << key;
    return value;
}

struct Pixels {
    long width = 0;
    long height = 0;
    std::vector<double> values; // row-major
    double at(long x, long y) const { return values[static_cast<std::size_t>(y * width + x)]; }
};

Pixels ReadPixels(const std::string& path)
{
    Pixels image;
    fitsfile* file = nullptr;
    int status = 0;
    fits_open_diskfile(&file, path.c_str(), READONLY, &status);
    long axes[2] = {0, 0};
    int bitpix = 0;
    int naxis = 0;
    fits_get_img_param(file, 2, &bitpix, &naxis, axes, &status);
    image.width = axes[0];
    image.height = axes[1];
    image.values.resize(static_cast<std::size_t>(axes[0] * axes[1]));
    long first[2] = {1, 1};
    fits_read_pix(file, TDOUBLE, first, static_cast<LONGLONG>(image.values.size()), nullptr, image.values.data(), nullptr, &status);
    int closeStatus = 0;
    if (file)
        fits_close_file(file, &closeStatus);
    EXPECT_EQ(status, 0) << path;
    return image;
}

// The median of a box of 21 x 21 pixels around (x, y): the sky there, whatever stars.
double SkyAround(const Pixels& image, long x, long y)
{
    std::vector<double> box;
    for (long v = y - 10; v <= y + 10; ++v)
        for (long u = x - 10; u <= x + 10; ++u)
            box.push_back(image.at(u, v));
    std::nth_element(box.begin(), box.begin() + static_cast<long>(box.size() / 2), box.end());
    return box[box.size() / 2];
}

// A block of the README's first night: the indented lines of the block-th block (from 0)
// after "## First night".
std::string FirstNightCommands(int block = 0)
{
    std::ifstream in(std::string(SKYVANE_SOURCE_DIR) + "/README.md");
    std::string line;
    bool inSection = false;
    bool inBlock = false;
    std::string commands;
    while (std::getline(in, line)) {
        if (line.rfind("## ", 0) == 0) {
            if (inSection)
                break;
            inSection = line == "## First night";
            continue;
        }
        if (!inSection)
            continue;
        if (line.rfind("    ", 0) == 0) {
            inBlock = true;
            if (block == 0)
                commands += line.substr(4) + "\n";
        } else if (inBlock) {
            inBlock = false;
            if (block-- == 0)
                break;
        }
    }
    return commands;
}

// The README's commands, exactly as written, in a folder laid out as the README's: the
// programs in build/, the sample made into build/sample.
TEST(BatchFirstNight, TheReadmeCommandsTakeTheSampleNightToAStackedPicture)
{
    const std::string commands = FirstNightCommands();
    ASSERT_NE(commands.find("skyvane-batch"), std::string::npos) << commands;
    TempDir root;
    std::filesystem::create_directories(root.file("build"));
    std::filesystem::create_symlink(SKYVANE_BATCH_PATH, root.file("build/skyvane-batch"));
    std::filesystem::create_symlink(SKYVANE_SAMPLE_PATH, root.file("build/skyvane-sample"));
    const test::ProgramRun r = test::RunProgram("/bin/sh", {"-e", "-c", commands}, {root.path().string(), root.path().string(), false});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    const std::string night = root.file("build/sample/night");
    std::vector<std::string> lights;
    for (const auto& entry : std::filesystem::directory_iterator(night + "/lights"))
        if (entry.is_regular_file())
            lights.push_back(entry.path().filename().string());
    std::sort(lights.begin(), lights.end());
    ASSERT_EQ(lights.size(), 8u);
    for (int k = 1; k <= 8; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "star_%02d.fit", k);
        EXPECT_TRUE(std::filesystem::is_regular_file(root.file(std::string("build/sample/") + name))) << "the demo's frames stay";
    }

    // The replies, in order; each frame's measured drift is its true drift.
    std::istringstream replies(r.out.substr(r.out.find("     8 images have been subtracted")));
    std::string line;
    std::getline(replies, line);
    EXPECT_EQ(line, "     8 images have been subtracted; new list [PATH]");
    std::getline(replies, line);
    EXPECT_EQ(line, "     8 images have been divided; new list [PATH2]");
    for (const std::string& light : lights) {
        ASSERT_TRUE(std::getline(replies, line));
        double dx = NAN, dy = NAN;
        ASSERT_EQ(std::sscanf(line.c_str(), ("     " + light + "  dx = %lf  dy = %lf").c_str(), &dx, &dy), 2) << line;
        const std::string raw = night + "/lights/" + light;
        EXPECT_NEAR(dx, Keyword(raw, "XSHIFT"), 0.1) << light;
        EXPECT_NEAR(dy, Keyword(raw, "YSHIFT"), 0.1) << light;
    }
    std::getline(replies, line);
    EXPECT_EQ(line, "     8 of 8 frames registered: new list [PATH3]");
    std::getline(replies, line);
    EXPECT_EQ(line, "     median image has been calculated");
    EXPECT_FALSE(std::getline(replies, line));

    // Calibration: the dark takes the hot pixels away, the flat brings the corners up.
    const Pixels raw = ReadPixels(night + "/lights/" + lights.front());
    const Pixels dark = ReadPixels(night + "/dark.fit");
    const Pixels calibrated = ReadPixels(night + "/lights/sub-dark/div-flat/" + lights.front());
    ASSERT_EQ(calibrated.width, raw.width);
    const long w = raw.width;
    const long h = raw.height;
    const double darkLevel = SkyAround(dark, w / 2, h / 2);
    const auto rawSky = [&](long x, long y) { return SkyAround(raw, x, y) - darkLevel; };
    EXPECT_LT(rawSky(12, 12) / rawSky(w / 2, h / 2), 0.8) << "the raw corners are dark";
    EXPECT_NEAR(SkyAround(calibrated, 12, 12) / SkyAround(calibrated, w / 2, h / 2), 1.0, 0.03);
    // A hot pixel stands far above its eight neighbours in the raw frame, and no longer
    // once calibrated (a star may lie under it: the neighbours rise with it).
    const auto aboveNeighbours = [](const Pixels& image, long x, long y) {
        double highest = -HUGE_VAL;
        for (long v = y - 1; v <= y + 1; ++v)
            for (long u = x - 1; u <= x + 1; ++u)
                if (u != x || v != y)
                    highest = std::max(highest, image.at(u, v));
        return image.at(x, y) - highest;
    };
    int hot = 0;
    for (long y = 1; y + 1 < h; ++y)
        for (long x = 1; x + 1 < w; ++x)
            if (dark.at(x, y) > darkLevel + 1000.0) {
                ++hot;
                EXPECT_GT(aboveNeighbours(raw, x, y), 900.0) << "hot in the raw frame at " << x << ", " << y;
                EXPECT_LT(aboveNeighbours(calibrated, x, y), 150.0) << "at " << x << ", " << y;
            }
    EXPECT_GT(hot, 0);

    // The picture: a 24-bit bitmap of the frames' size.
    const std::uintmax_t row = (static_cast<std::uintmax_t>(w) * 3 + 3) / 4 * 4;
    EXPECT_EQ(std::filesystem::file_size(night + "/stacked.bmp"), 54 + row * static_cast<std::uintmax_t>(h));
}

// The colour night's block, on the sample: calibrated as a mosaic, debayered, registered
// on the true drift and stacked into a colour picture.
TEST(BatchFirstNight, TheReadmeTakesTheColourNightToAColourPicture)
{
    const std::string commands = FirstNightCommands(1);
    ASSERT_NE(commands.find("listdebayer"), std::string::npos) << commands;
    TempDir root;
    std::filesystem::create_directories(root.file("build"));
    std::filesystem::create_symlink(SKYVANE_BATCH_PATH, root.file("build/skyvane-batch"));
    const test::ProgramRun sample = test::RunProgram(SKYVANE_SAMPLE_PATH, {root.file("build/sample")}, {root.path().string(), root.path().string(), false});
    ASSERT_EQ(sample.status, 0) << sample.err;
    const test::ProgramRun r = test::RunProgram("/bin/sh", {"-e", "-c", commands}, {root.path().string(), root.path().string(), false});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    const std::string night = root.file("build/sample/colour-night");
    std::istringstream replies(r.out);
    std::string line;
    std::getline(replies, line);
    EXPECT_EQ(line, "     8 images have been calibrated, 12 hot pixels replaced; new list [PATH]");
    std::getline(replies, line);
    EXPECT_EQ(line, "     8 images have been debayered; new list [PATH2]");
    for (int k = 1; k <= 8; ++k) {
        char light[32];
        std::snprintf(light, sizeof light, "light_%02d.fit", k);
        ASSERT_TRUE(std::getline(replies, line));
        double dx = NAN, dy = NAN;
        ASSERT_EQ(std::sscanf(line.c_str(), ("     " + std::string(light) + "  dx = %lf  dy = %lf").c_str(), &dx, &dy), 2) << line;
        const std::string raw = night + "/lights/" + light;
        EXPECT_NEAR(dx, Keyword(raw, "XSHIFT"), 0.1) << light;
        EXPECT_NEAR(dy, Keyword(raw, "YSHIFT"), 0.1) << light;
    }
    std::getline(replies, line);
    EXPECT_EQ(line, "     8 of 8 frames registered: new list [PATH3]");
    std::getline(replies, line);
    EXPECT_EQ(line, "     median image has been calculated");

    // Every registered frame is a colour image without the mosaic's cards.
    ImageRecord registered;
    ASSERT_TRUE(loadFits(registered, night + "/lights/calibrated/debayer/autoreg/light_08.fit").loaded());
    EXPECT_EQ(registered.grid.planes(), 3);
    EXPECT_EQ(registered.grid.width(), 320);
    for (int i = 0; i < registered.cards.count(); ++i)
        EXPECT_NE(registered.cards.card(i).substr(0, 8), "BAYERPAT");
    // The picture: a PNG of the frames' size, in colour (PNG colour type 2).
    const std::vector<unsigned char> png = test::ReadFileBytes(night + "/stacked.png");
    ASSERT_GT(png.size(), 26u);
    EXPECT_EQ(std::string(png.begin() + 12, png.begin() + 16), "IHDR");
    EXPECT_EQ((png[16] << 24) | (png[17] << 16) | (png[18] << 8) | png[19], 320);
    EXPECT_EQ((png[20] << 24) | (png[21] << 16) | (png[22] << 8) | png[23], 240);
    EXPECT_EQ(png[25], 2);
}

#endif

} // namespace
} // namespace skyvane
