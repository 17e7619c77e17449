// The commands of one-shot colour nights: calibrate, debayer and listdebayer, and
// registration leaving mosaics out.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "command/Interpreter.h"
#include "image/FitsReader.h"
#include "processing/Demosaic.h"
#include "processing/Mosaic.h"
#include "support/StarField.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TempDir;

// A width x height image, values row after row.
void WriteImage(const std::string& path, int width, int height, std::vector<double> values, std::vector<std::string> cards = {},
                int bitpix = -32)
{
    test::FitsLayout layout;
    layout.width = width;
    layout.height = height;
    layout.values = std::move(values);
    layout.extraCards = std::move(cards);
    layout.bitpix = bitpix;
    layout.bzero = bitpix == 16 ? 32768.0 : 0.0;
    test::WriteFitsImage(path, layout);
}

// Every value of every plane, each plane row after row.
std::vector<double> Values(const ImageGrid& grid)
{
    std::vector<double> values;
    for (int p = 0; p < grid.planes(); ++p)
        for (int y = 0; y < grid.height(); ++y)
            for (int x = 0; x < grid.width(); ++x)
                values.push_back(grid.plane(p)[static_cast<std::ptrdiff_t>(x) * grid.height() + y]);
    return values;
}

bool HasCard(const HeaderCards& cards, std::string_view start)
{
    for (int i = 0; i < cards.count(); ++i)
        if (cards.card(i).substr(0, start.size()) == start)
            return true;
    return false;
}

double MedianOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : values[n / 2 - 1] + (values[n / 2] - values[n / 2 - 1]) / 2.0;
}

class MosaicCommandTest : public ::testing::Test {
protected:
    void SetUp() override { tw.context.settings.WorkingDirectory = dir.path().string(); }
    std::string run(const std::string& command) { return ExecuteCommand(tw.context, command); }
    void list(const std::string& name, const std::string& folder, const std::vector<std::string>& files)
    {
        const TreeItem item = tw.context.lists.InsertList(name + " = " + dir.file(folder));
        for (const std::string& file : files)
            tw.context.lists.InsertFile(item, file);
    }

    TempDir dir;
    test::TestWorkbench tw;
};

// 8 x 6 mosaic frames (RGGB, 16-bit), a dark without a pattern holding hot pixels on a red
// and a green site, a flat with the filters' response; f3 of another size, f4 of another
// pattern.
class CalibrateTest : public MosaicCommandTest {
protected:
    static constexpr int W = 8;
    static constexpr int H = 6;

    void SetUp() override
    {
        MosaicCommandTest::SetUp();
        std::filesystem::create_directories(dir.file("night"));
        const double response[4] = {0.85, 1.0, 1.0, 0.65};
        for (int k = 0; k < W * H; ++k) {
            dark.push_back(300 + k * 7 % 9);
            flat.push_back(std::round(20000.0 * response[Mosaic::site(k % W, k / W)] * (1.0 - 0.01 * k / W - 0.02 * (k % W))));
            frame.push_back(std::round(dark.back() + flat.back() / 20.0 + k * 31 % 17));
        }
        dark[2 * W + 4] = 3000; // red
        dark[3 * W + 4] = 2500; // green
        WriteImage(dir.file("dark.fit"), W, H, dark);
        WriteImage(dir.file("flat.fit"), W, H, flat, {"BAYERPAT= 'RGGB'"});
        WriteImage(dir.file("small.fit"), 6, 6, std::vector<double>(36, 1.0), {"BAYERPAT= 'RGGB'"});
        WriteImage(dir.file("night/f1.fit"), W, H, frame, {"BAYERPAT= 'RGGB'", "XBAYROFF= 0"}, 16);
        WriteImage(dir.file("night/f3.fit"), 6, 6, std::vector<double>(36, 1.0), {"BAYERPAT= 'RGGB'"});
        WriteImage(dir.file("night/f4.fit"), W, H, frame, {"BAYERPAT= 'GRBG'"});
        list("[NIGHT]", "night", {"f1.fit", "f3.fit", "f4.fit"});
    }

    // (frame - dark) / (flat / the mean of its site), as documented, before the hot pixels.
    std::vector<double> calibrated(bool withFlat) const
    {
        double sums[4] = {0, 0, 0, 0};
        for (int k = 0; k < W * H; ++k)
            sums[Mosaic::site(k % W, k / W)] += flat[static_cast<std::size_t>(k)];
        std::vector<double> result;
        for (int k = 0; k < W * H; ++k) {
            const double normalised = flat[static_cast<std::size_t>(k)] / (sums[Mosaic::site(k % W, k / W)] / (W * H / 4));
            const double difference = frame[static_cast<std::size_t>(k)] - dark[static_cast<std::size_t>(k)];
            result.push_back(withFlat ? difference / normalised : difference);
        }
        return result;
    }

    std::vector<double> dark, flat, frame;
};

TEST_F(CalibrateTest, OnePassHotPixelsFromTheirOwnColourMismatchesLeftOutByName)
{
    EXPECT_EQ(run("calibrate [NIGHT] (dark) (flat)"), "     1 image has been calibrated, 2 hot pixels replaced; new list [PATH]; 2 left out");
    EXPECT_EQ(tw.messages.texts, (std::vector<std::string>{"Image size mismatch.", "Colour mosaic of the image does not match the dark or the flat."}));
    EXPECT_EQ(tw.messages.paths, (std::vector<std::string>{dir.file("night/f3.fit"), dir.file("night/f4.fit")}));
    EXPECT_EQ(tw.context.lists.ListLabel(2), "[PATH] = " + dir.file("night/calibrated"));
    ImageRecord result;
    ASSERT_TRUE(loadFits(result, dir.file("night/calibrated/f1.fit")).loaded());
    EXPECT_TRUE(HasCard(result.cards, "BITPIX  =                  -32"));
    EXPECT_TRUE(HasCard(result.cards, "BAYERPAT= 'RGGB'"));
    EXPECT_TRUE(HasCard(result.cards, "HISTORY Skyvane: calibrate (dark.fit) (flat.fit)"));
    const std::vector<double> expected = calibrated(true);
    const auto value = [&](int x, int y) { return expected[static_cast<std::size_t>(y * W + x)]; };
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            if (x != 4 || (y != 2 && y != 3)) {
                EXPECT_EQ(result.grid[x][y], static_cast<float>(value(x, y))) << x << " " << y;
            }
    // Red (4, 2): the red pixels two away; green (4, 3): the diagonal greens and those two away.
    EXPECT_EQ(result.grid[4][2], static_cast<float>(MedianOf({value(2, 0), value(4, 0), value(6, 0), value(2, 2), value(6, 2), value(2, 4),
                                                              value(4, 4), value(6, 4)})));
    EXPECT_EQ(result.grid[4][3], static_cast<float>(MedianOf({value(3, 2), value(5, 2), value(3, 4), value(5, 4), value(2, 3), value(6, 3),
                                                              value(4, 1), value(4, 5)})));

    // The dark alone, which has no pattern, serves a mosaic of any pattern.
    tw.messages.clear();
    EXPECT_EQ(run("calibrate [NIGHT] (dark)"), "     2 images have been calibrated, 2 hot pixels replaced; new list [PATH2]; 1 left out");
    ASSERT_TRUE(loadFits(result, dir.file("night/calibrated-2/f1.fit")).loaded());
    EXPECT_EQ(result.grid[1][1], static_cast<float>(calibrated(false)[W + 1]));
}

TEST_F(CalibrateTest, MastersThatDoNotFitAreRefusedByNameBeforeAnythingIsWritten)
{
    EXPECT_EQ(run("calibrate [NIGHT] (dark) (small)"), "     dark or flat could not be used, nothing has been written !");
    EXPECT_EQ(tw.messages.texts, std::vector<std::string>{"The flat does not match the dark in size or colour mosaic."});
    EXPECT_EQ(tw.messages.paths, std::vector<std::string>{dir.file("small.fit")});
    EXPECT_EQ(run("calibrate [NIGHT] (missing) (flat)"), "     dark or flat could not be used, nothing has been written !");
    EXPECT_EQ(tw.messages.paths.back(), dir.file("missing.fit"));
    EXPECT_EQ(run("calibrate [NIGHT]"), "     dark image not recognized !");
    EXPECT_EQ(test::FolderEntries(dir.file("night")), (std::vector<std::string>{"f1.fit", "f3.fit", "f4.fit"}));
}

TEST_F(MosaicCommandTest, RegistrationLeavesMosaicsOutByName)
{
    std::filesystem::create_directories(dir.file("stars"));
    const std::vector<test::SyntheticStar> stars = test::RandomStars(25, 96, 96, 8, 7);
    const std::vector<std::string> patterns = {"GBRG", "", "RGGB", ""};
    for (std::size_t k = 0; k < patterns.size(); ++k) {
        ImageGrid grid;
        test::DrawStarField(grid, 96, 96, 500.0, stars, 1.5 * static_cast<double>(k), -0.75 * static_cast<double>(k), 3.0, 11 + static_cast<unsigned>(k));
        std::vector<double> values(96 * 96);
        for (int y = 0; y < 96; ++y)
            for (int x = 0; x < 96; ++x)
                values[static_cast<std::size_t>(y * 96 + x)] = grid[x][y];
        WriteImage(dir.file("stars/frame_00" + std::to_string(k) + ".fit"), 96, 96, values,
                   patterns[k].empty() ? std::vector<std::string>{} : std::vector<std::string>{"BAYERPAT= '" + patterns[k] + "'"});
    }
    list("[MOSAIC]", "stars", {"frame_000.fit", "frame_001.fit"});
    EXPECT_EQ(run("autoreg [MOSAIC]"), "     reference frame is a colour mosaic: debayer first !");
    EXPECT_FALSE(std::filesystem::exists(dir.file("stars/autoreg")));

    list("[STARS]", "stars", {"frame_001.fit", "frame_002.fit", "frame_003.fit"});
    const std::string reply = run("autoreg [STARS]");
    EXPECT_EQ(reply.substr(0, reply.find("\r\n")), "     frame_001.fit  dx = 0.00  dy = 0.00");
    EXPECT_NE(reply.find("\r\n     frame_002.fit  colour mosaic: debayer first\r\n     frame_003.fit  dx = "), std::string::npos) << reply;
    EXPECT_NE(reply.find("\r\n     2 of 3 frames registered: new list [PATH]"), std::string::npos) << reply;
}

// A mosaic of 10 x 8 pixels, row after row: a coloured ramp with a star, as the filters see it.
std::vector<double> MosaicValues(const Mosaic& mosaic)
{
    std::vector<double> values;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 10; ++x) {
            const int p = static_cast<int>(mosaic.colourAt(x, y));
            const double star = 5000.0 * std::exp(-((x - 4.3) * (x - 4.3) + (y - 3.6) * (y - 3.6)) / 3.0);
            values.push_back(std::round(900.0 + 100.0 * p + 7.0 * x + 3.0 * y + star * (0.6 + 0.3 * p)));
        }
    return values;
}

// What DemosaicPlane makes of those values, as Values() lists a grid's.
std::vector<double> Demosaiced(const Mosaic& mosaic)
{
    ImageGrid grey;
    grey.resize(10, 8);
    const std::vector<double> values = MosaicValues(mosaic);
    for (int k = 0; k < 80; ++k)
        grey[k % 10][k / 10] = values[static_cast<std::size_t>(k)];
    ImageGrid colour;
    colour.resize(10, 8, 3);
    DemosaicPlane(grey.data(), 10, 8, mosaic, colour.plane(0), colour.plane(1), colour.plane(2));
    return Values(colour);
}

TEST_F(MosaicCommandTest, DebayerMakesImageAColourAndDropsTheMosaicCards)
{
    const Mosaic rggb(Mosaic::Pattern::RGGB);
    WriteImage(dir.file("m.fit"), 10, 8, MosaicValues(rggb), {"BAYERPAT= 'RGGB'", "XBAYROFF=                    0", "OBSERVER= 'me'"});
    tw.workbench.openImage(dir.file("m.fit"));
    EXPECT_EQ(run("debayer"), "     image has been debayered (RGGB)");
    const ImageRecord& image = tw.context.imageA;
    EXPECT_EQ(Values(image.grid), Demosaiced(rggb));
    EXPECT_FALSE(HasCard(image.cards, "BAYERPAT") || HasCard(image.cards, "XBAYROFF"));
    EXPECT_TRUE(HasCard(image.cards, "NAXIS3  =                    3") && HasCard(image.cards, "OBSERVER= 'me'"));
    EXPECT_EQ(run("debayer"), "     image is no colour mosaic !");

    // A grey frame: only a pattern typed makes it a mosaic; a word that is none changes nothing.
    const Mosaic gbrg(Mosaic::Pattern::GBRG);
    WriteImage(dir.file("plain.fit"), 10, 8, MosaicValues(gbrg));
    tw.workbench.openImage(dir.file("plain.fit"));
    EXPECT_EQ(run("debayer"), "     image is no colour mosaic !");
    EXPECT_EQ(run("debayer RGB"), "     pattern must be RGGB, BGGR, GRBG or GBRG !");
    EXPECT_EQ(tw.context.imageA.grid.planes(), 1);
    EXPECT_EQ(run("debayer gbrg"), "     image has been debayered (GBRG)");
    EXPECT_EQ(Values(tw.context.imageA.grid), Demosaiced(gbrg));
}

TEST_F(MosaicCommandTest, ListDebayerNamesFramesThatAreNoMosaic)
{
    const Mosaic rggb(Mosaic::Pattern::RGGB);
    std::filesystem::create_directories(dir.file("raw"));
    WriteImage(dir.file("raw/f1.fit"), 10, 8, MosaicValues(rggb), {"BAYERPAT= 'BGGR'", "XBAYROFF= 1", "YBAYROFF= 1"}, 16);
    WriteImage(dir.file("raw/f2.fit"), 10, 8, MosaicValues(rggb), {}, 16);
    list("[RAW]", "raw", {"f1.fit", "f2.fit"});
    EXPECT_EQ(run("listdebayer [RAW]"), "     f2.fit  no colour mosaic, left out\r\n     1 image has been debayered; new list [PATH]; 1 left out");
    EXPECT_TRUE(tw.messages.texts.empty());
    ImageRecord result;
    ASSERT_TRUE(loadFits(result, dir.file("raw/debayer/f1.fit")).loaded());
    EXPECT_TRUE(HasCard(result.cards, "HISTORY Skyvane: listdebayer (RGGB)"));
    EXPECT_EQ(result.grid.planes(), 3);
    // A pattern typed serves every frame, whatever its cards say; nothing to debayer writes nothing.
    EXPECT_EQ(run("listdebayer [RAW] RGGB"), "     2 images have been debayered; new list [PATH2]");
    list("[GREY]", "raw/debayer", {"f1.fit"});
    EXPECT_EQ(run("listdebayer [GREY]"), "     f1.fit  no colour mosaic, left out\r\n     no selected image could be debayered !");
    EXPECT_EQ(test::FolderEntries(dir.file("raw/debayer")), std::vector<std::string>{"f1.fit"});
}

} // namespace
} // namespace skyvane
