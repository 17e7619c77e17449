// The commands of one-shot colour nights: size of a mosaic, calibrate, debayer and
// listdebayer, and registration leaving mosaics out.

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

using test::FitsLayout;
using test::TempDir;

void WriteImage(const std::string& path, int width, int height, std::vector<double> values, std::vector<std::string> cards = {},
                int bitpix = -64)
{
    FitsLayout layout;
    layout.width = width;
    layout.height = height;
    layout.values = std::move(values);
    layout.extraCards = std::move(cards);
    layout.bitpix = bitpix;
    test::WriteFitsImage(path, layout);
}

class MosaicCommandTest : public ::testing::Test {
protected:
    void SetUp() override { tw.context.settings.WorkingDirectory = dir.path().string(); }

    std::string run(const std::string& command) { return ExecuteCommand(tw.context, command); }

    void open(const std::string& path)
    {
        tw.workbench.openImage(path);
        ASSERT_TRUE(tw.context.imagePresent()) << path;
    }

    TempDir dir;
    test::TestWorkbench tw;
};

TEST_F(MosaicCommandTest, SizeNamesTheMosaicAsItLiesOnTheStoredRows)
{
    WriteImage(dir.file("grey.fit"), 4, 2, std::vector<double>(8, 100.0));
    WriteImage(dir.file("rggb.fit"), 4, 2, std::vector<double>(8, 100.0), {"BAYERPAT= 'RGGB'"});
    WriteImage(dir.file("flipped.fit"), 4, 2, std::vector<double>(8, 100.0), {"BAYERPAT= 'RGGB'", "ROWORDER= 'BOTTOM-UP'"});
    open(dir.file("grey.fit"));
    EXPECT_EQ(run("size"), "     width = 4\r\n     height = 2");
    open(dir.file("rggb.fit"));
    EXPECT_EQ(run("size"), "     width = 4\r\n     height = 2\r\n     colour mosaic RGGB");
    open(dir.file("flipped.fit"));
    EXPECT_EQ(run("size"), "     width = 4\r\n     height = 2\r\n     colour mosaic GBRG");
}

// A frame read back: its values row after row, and its cards.
struct Frame {
    int width = 0;
    int height = 0;
    std::vector<double> values;
    HeaderCards cards;
    double at(int x, int y) const { return values[static_cast<std::size_t>(y * width + x)]; }
    bool hasCard(std::string_view start) const
    {
        for (int i = 0; i < cards.count(); ++i)
            if (cards.card(i).substr(0, start.size()) == start)
                return true;
        return false;
    }
};

Frame ReadFrame(const std::string& path)
{
    ImageRecord record;
    EXPECT_TRUE(loadFits(record, path).loaded()) << path;
    Frame frame;
    frame.width = record.grid.width();
    frame.height = record.grid.height();
    for (int y = 0; y < frame.height; ++y)
        for (int x = 0; x < frame.width; ++x)
            frame.values.push_back(record.grid[x][y]);
    frame.cards = record.cards;
    return frame;
}

double MedianOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : values[n / 2 - 1] + (values[n / 2] - values[n / 2 - 1]) / 2.0;
}

// A night of 8 x 6 mosaic frames (RGGB, 16-bit as cameras write them), a dark without a
// pattern holding two hot pixels, a flat with the filters' response, and frames that do
// not fit: another size, another pattern.
class CalibrateTest : public MosaicCommandTest {
protected:
    static constexpr int W = 8;
    static constexpr int H = 6;

    void SetUp() override
    {
        MosaicCommandTest::SetUp();
        std::filesystem::create_directories(dir.file("night"));
        const double response[4] = {0.85, 1.0, 1.0, 0.65};
        dark.resize(W * H);
        flat.resize(W * H);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const std::size_t k = static_cast<std::size_t>(y * W + x);
                dark[k] = 300 + ((x * 7 + y * 13) % 9);
                flat[k] = std::round(20000.0 * response[Mosaic::site(x, y)] * (1.0 - 0.02 * std::abs(x - 3.5) - 0.03 * std::abs(y - 2.5)));
            }
        dark[static_cast<std::size_t>(2 * W + 4)] = 3000; // red site
        dark[static_cast<std::size_t>(3 * W + 4)] = 2500; // green site
        WriteImage(dir.file("dark.fit"), W, H, dark, {}, -32);
        WriteImage(dir.file("flat.fit"), W, H, flat, {"BAYERPAT= 'RGGB'"}, -32);
        WriteImage(dir.file("small.fit"), 6, 6, std::vector<double>(36, 1.0), {"BAYERPAT= 'RGGB'"});
        for (int f = 1; f <= 2; ++f) {
            std::vector<double> frame(W * H);
            for (int k = 0; k < W * H; ++k)
                frame[static_cast<std::size_t>(k)] = std::round(dark[static_cast<std::size_t>(k)] + flat[static_cast<std::size_t>(k)] / 20.0 + 37 * f + (k * 31 % 17));
            frames.push_back(frame);
            test::FitsLayout layout;
            layout.width = W;
            layout.height = H;
            layout.values = frame;
            layout.bitpix = 16;
            layout.bzero = 32768;
            layout.extraCards = {"BAYERPAT= 'RGGB'", "XBAYROFF= 0", "YBAYROFF= 0"};
            test::WriteFitsImage(dir.file("night/f" + std::to_string(f) + ".fit"), layout);
        }
        WriteImage(dir.file("night/f3.fit"), 6, 6, std::vector<double>(36, 1.0), {"BAYERPAT= 'RGGB'"});
        WriteImage(dir.file("night/f4.fit"), W, H, std::vector<double>(W * H, 1.0), {"BAYERPAT= 'GRBG'"});
        const TreeItem list = tw.context.lists.InsertList("[NIGHT] = " + dir.file("night"));
        for (const char* name : {"f1.fit", "f2.fit", "f3.fit", "f4.fit"})
            tw.context.lists.InsertFile(list, name);
    }

    // (frame - dark) / (flat / the mean of its site), as documented; hot pixels not replaced.
    std::vector<double> calibrated(const std::vector<double>& frame, bool withFlat) const
    {
        double sums[4] = {0, 0, 0, 0};
        double counts[4] = {0, 0, 0, 0};
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                sums[Mosaic::site(x, y)] += flat[static_cast<std::size_t>(y * W + x)];
                counts[Mosaic::site(x, y)] += 1;
            }
        std::vector<double> result(W * H);
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                const std::size_t k = static_cast<std::size_t>(y * W + x);
                const double normalised = flat[k] / (sums[Mosaic::site(x, y)] / counts[Mosaic::site(x, y)]);
                result[k] = withFlat ? (frame[k] - dark[k]) / normalised : frame[k] - dark[k];
            }
        return result;
    }

    std::vector<double> dark;
    std::vector<double> flat;
    std::vector<std::vector<double>> frames;
};

TEST_F(CalibrateTest, DarkAndFlatInOnePassHotPixelsFromTheirOwnColourMismatchesLeftOutByName)
{
    EXPECT_EQ(run("calibrate [NIGHT] (dark) (flat)"), "     2 images have been calibrated, 2 hot pixels replaced; new list [PATH]; 2 left out");
    EXPECT_EQ(tw.messages.texts, (std::vector<std::string>{"Image size mismatch.", "Colour mosaic of the image does not match the dark or the flat."}));
    EXPECT_EQ(tw.messages.paths, (std::vector<std::string>{dir.file("night/f3.fit"), dir.file("night/f4.fit")}));
    ASSERT_EQ(tw.context.lists.ListCount(), 2);
    EXPECT_EQ(tw.context.lists.ListLabel(2), "[PATH] = " + dir.file("night/calibrated"));
    EXPECT_EQ(test::FolderEntries(dir.file("night/calibrated")), (std::vector<std::string>{"f1.fit", "f2.fit"}));
    for (int f = 1; f <= 2; ++f) {
        const Frame result = ReadFrame(dir.file("night/calibrated/f" + std::to_string(f) + ".fit"));
        EXPECT_TRUE(result.hasCard("BITPIX  =                  -32"));
        EXPECT_TRUE(result.hasCard("BAYERPAT= 'RGGB'"));
        EXPECT_TRUE(result.hasCard("HISTORY Skyvane: calibrate (dark.fit) (flat.fit)"));
        const std::vector<double> expected = calibrated(frames[static_cast<std::size_t>(f - 1)], true);
        const auto value = [&](int x, int y) { return expected[static_cast<std::size_t>(y * W + x)]; };
        for (int y = 0; y < H; ++y)
            for (int x = 0; x < W; ++x) {
                if ((x == 4 && y == 2) || (x == 4 && y == 3))
                    continue;
                EXPECT_EQ(result.at(x, y), static_cast<float>(value(x, y))) << x << " " << y;
            }
        // Red (4, 2): the red pixels two away; green (4, 3): the diagonal greens and those two away.
        EXPECT_EQ(result.at(4, 2), static_cast<float>(MedianOf({value(2, 0), value(4, 0), value(6, 0), value(2, 2), value(6, 2), value(2, 4),
                                                                value(4, 4), value(6, 4)})));
        EXPECT_EQ(result.at(4, 3), static_cast<float>(MedianOf({value(3, 2), value(5, 2), value(3, 4), value(5, 4), value(2, 3), value(6, 3),
                                                                value(4, 1), value(4, 5)})));
    }

    // The dark alone: frame - dark, the same hot pixels replaced; a dark without a pattern
    // serves a frame of any pattern.
    tw.messages.clear();
    EXPECT_EQ(run("calibrate [NIGHT] (dark)"), "     3 images have been calibrated, 2 hot pixels replaced; new list [PATH2]; 1 left out");
    EXPECT_EQ(tw.messages.paths, std::vector<std::string>{dir.file("night/f3.fit")});
    const Frame darkOnly = ReadFrame(dir.file("night/calibrated-2/f1.fit"));
    const std::vector<double> expected = calibrated(frames[0], false);
    EXPECT_EQ(darkOnly.at(1, 1), static_cast<float>(expected[static_cast<std::size_t>(W + 1)]));
    EXPECT_TRUE(darkOnly.hasCard("HISTORY Skyvane: calibrate (dark.fit)    "));
}

TEST_F(CalibrateTest, MastersThatDoNotFitAreRefusedByNameBeforeAnythingIsWritten)
{
    EXPECT_EQ(run("calibrate [NIGHT] (dark) (small)"), "     dark or flat could not be used, nothing has been written !");
    EXPECT_EQ(tw.messages.texts, std::vector<std::string>{"The flat does not match the dark in size or colour mosaic."});
    EXPECT_EQ(tw.messages.paths, std::vector<std::string>{dir.file("small.fit")});
    tw.messages.clear();
    EXPECT_EQ(run("calibrate [NIGHT] (missing) (flat)"), "     dark or flat could not be used, nothing has been written !");
    EXPECT_EQ(tw.messages.paths.front(), dir.file("missing.fit"));
    EXPECT_EQ(run("calibrate [NIGHT]"), "     dark image not recognized !");
    EXPECT_EQ(run("calibrate [NONE] (dark)"), "     list name not recognized !");
    EXPECT_EQ(test::FolderEntries(dir.file("night")), (std::vector<std::string>{"f1.fit", "f2.fit", "f3.fit", "f4.fit"}));
    EXPECT_EQ(tw.context.lists.ListCount(), 1);
}

// Star fields of 96 x 96; a list [STARS] of frame_001 ... as given, those with a pattern
// carrying BAYERPAT.
void WriteStarFrames(const TempDir& dir, test::TestWorkbench& tw, const std::vector<std::string>& patterns)
{
    std::filesystem::create_directories(dir.file("stars"));
    const TreeItem list = tw.context.lists.InsertList("[STARS] = " + dir.file("stars"));
    const std::vector<test::SyntheticStar> stars = test::RandomStars(25, 96, 96, 8, 7);
    for (std::size_t k = 0; k < patterns.size(); ++k) {
        ImageGrid grid;
        test::DrawStarField(grid, 96, 96, 500.0, stars, 1.5 * static_cast<double>(k), -0.75 * static_cast<double>(k), 3.0, 11 + static_cast<unsigned>(k));
        std::vector<double> values;
        for (int y = 0; y < 96; ++y)
            for (int x = 0; x < 96; ++x)
                values.push_back(grid[x][y]);
        std::vector<std::string> cards;
        if (!patterns[k].empty())
            cards.push_back("BAYERPAT= '" + patterns[k] + "'");
        const std::string name = "frame_00" + std::to_string(k + 1) + ".fit";
        WriteImage(dir.file("stars/" + name), 96, 96, values, cards, -32);
        tw.context.lists.InsertFile(list, name);
    }
}

TEST_F(MosaicCommandTest, RegistrationLeavesMosaicsOutByName)
{
    WriteStarFrames(dir, tw, {"", "RGGB", ""});
    const std::string reply = run("autoreg [STARS]");
    EXPECT_EQ(reply.substr(0, reply.find("\r\n")), "     frame_001.fit  dx = 0.00  dy = 0.00");
    EXPECT_NE(reply.find("\r\n     frame_002.fit  colour mosaic: debayer first\r\n     frame_003.fit  dx = "), std::string::npos) << reply;
    EXPECT_NE(reply.find("\r\n     2 of 3 frames registered: new list [PATH]"), std::string::npos) << reply;
    EXPECT_EQ(test::FolderEntries(dir.file("stars/autoreg")), (std::vector<std::string>{"frame_001.fit", "frame_003.fit"}));

    // A mosaic as the reference: nothing to register onto.
    TempDir other;
    test::TestWorkbench tw2;
    WriteStarFrames(other, tw2, {"GBRG", ""});
    EXPECT_EQ(ExecuteCommand(tw2.context, "autoreg [STARS]"), "     reference frame is a colour mosaic: debayer first !");
    EXPECT_FALSE(std::filesystem::exists(other.file("stars/autoreg")));
}

// A mosaic of 10 x 8 pixels: a coloured ramp with a star, as the filters see it.
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

// The three planes DemosaicPlane makes of row-major mosaic values, row-major each.
std::vector<double> Demosaiced(const std::vector<double>& rowMajor, int width, int height, const Mosaic& mosaic)
{
    std::vector<double> columns(rowMajor.size());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            columns[static_cast<std::size_t>(x * height + y)] = rowMajor[static_cast<std::size_t>(y * width + x)];
    std::vector<double> planes(3 * columns.size());
    const std::size_t n = columns.size();
    DemosaicPlane(columns.data(), width, height, mosaic, planes.data(), planes.data() + n, planes.data() + 2 * n);
    std::vector<double> result;
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                result.push_back(planes[static_cast<std::size_t>(p) * n + static_cast<std::size_t>(x * height + y)]);
    return result;
}

std::vector<double> PlaneValues(const ImageGrid& grid)
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

TEST_F(MosaicCommandTest, DebayerMakesImageAColourAndDropsTheMosaicCards)
{
    const Mosaic rggb(Mosaic::Pattern::RGGB);
    WriteImage(dir.file("m.fit"), 10, 8, MosaicValues(rggb), {"BAYERPAT= 'RGGB'", "XBAYROFF=                    0", "OBSERVER= 'me'"});
    open(dir.file("m.fit"));
    EXPECT_EQ(run("debayer"), "     image has been debayered (RGGB)");
    const ImageRecord& image = tw.context.imageA;
    ASSERT_EQ(image.grid.planes(), 3);
    EXPECT_EQ(PlaneValues(image.grid), Demosaiced(MosaicValues(rggb), 10, 8, rggb));
    EXPECT_FALSE(HasCard(image.cards, "BAYERPAT"));
    EXPECT_FALSE(HasCard(image.cards, "XBAYROFF"));
    EXPECT_TRUE(HasCard(image.cards, "NAXIS3  =                    3"));
    EXPECT_TRUE(HasCard(image.cards, "OBSERVER= 'me'"));
    EXPECT_EQ(run("size"), "     width = 10\r\n     height = 8\r\n     3 planes: red, green, blue");
    EXPECT_EQ(run("debayer"), "     image is no colour mosaic !");
    EXPECT_EQ(run("debayer RGGB"), "     image is no colour mosaic !");

    // A grey frame: only a pattern typed makes it a mosaic; a word that is none changes nothing.
    const Mosaic gbrg(Mosaic::Pattern::GBRG);
    WriteImage(dir.file("plain.fit"), 10, 8, MosaicValues(gbrg));
    open(dir.file("plain.fit"));
    EXPECT_EQ(run("debayer"), "     image is no colour mosaic !");
    EXPECT_EQ(run("debayer RGB"), "     pattern must be RGGB, BGGR, GRBG or GBRG !");
    EXPECT_EQ(tw.context.imageA.grid.planes(), 1);
    EXPECT_EQ(run("debayer gbrg"), "     image has been debayered (GBRG)");
    EXPECT_EQ(PlaneValues(tw.context.imageA.grid), Demosaiced(MosaicValues(gbrg), 10, 8, gbrg));
}

TEST_F(MosaicCommandTest, ListDebayerWritesColourCubesAndNamesFramesThatAreNoMosaic)
{
    const Mosaic rggb(Mosaic::Pattern::RGGB);
    std::filesystem::create_directories(dir.file("raw"));
    WriteImage(dir.file("raw/f1.fit"), 10, 8, MosaicValues(rggb), {"BAYERPAT= 'RGGB'"}, 16);
    WriteImage(dir.file("raw/f2.fit"), 10, 8, MosaicValues(rggb), {}, 16);
    WriteImage(dir.file("raw/f3.fit"), 10, 8, MosaicValues(rggb), {"BAYERPAT= 'BGGR'", "XBAYROFF= 1", "YBAYROFF= 1"}, 16);
    const TreeItem list = tw.context.lists.InsertList("[RAW] = " + dir.file("raw"));
    for (const char* name : {"f1.fit", "f2.fit", "f3.fit"})
        tw.context.lists.InsertFile(list, name);

    EXPECT_EQ(run("listdebayer [RAW]"), "     f2.fit  no colour mosaic, left out\r\n     2 images have been debayered; new list [PATH]; 1 left out");
    EXPECT_TRUE(tw.messages.texts.empty());
    EXPECT_EQ(test::FolderEntries(dir.file("raw/debayer")), (std::vector<std::string>{"f1.fit", "f3.fit"}));
    std::vector<double> expected;
    for (const double value : Demosaiced(MosaicValues(rggb), 10, 8, rggb))
        expected.push_back(static_cast<float>(value));
    for (const char* name : {"f1.fit", "f3.fit"}) {
        ImageRecord result;
        ASSERT_TRUE(loadFits(result, dir.file(std::string("raw/debayer/") + name)).loaded());
        ASSERT_EQ(result.grid.planes(), 3);
        EXPECT_EQ(PlaneValues(result.grid), expected) << name;
        EXPECT_FALSE(HasCard(result.cards, "BAYERPAT"));
        EXPECT_FALSE(HasCard(result.cards, "YBAYROFF"));
        EXPECT_TRUE(HasCard(result.cards, "BITPIX  =                  -32"));
        EXPECT_TRUE(HasCard(result.cards, "HISTORY Skyvane: listdebayer (RGGB)"));
    }

    // A pattern typed serves every frame, whatever its cards say.
    EXPECT_EQ(run("listdebayer [RAW] RGGB"), "     3 images have been debayered; new list [PATH2]");
    EXPECT_EQ(run("listdebayer [RAW] RGB"), "     pattern must be RGGB, BGGR, GRBG or GBRG !");
    // Nothing to debayer: nothing written.
    const TreeItem grey = tw.context.lists.InsertList("[GREY] = " + dir.file("raw/debayer"));
    tw.context.lists.InsertFile(grey, "f1.fit");
    EXPECT_EQ(run("listdebayer [GREY]"), "     f1.fit  no colour mosaic, left out\r\n     no selected image could be debayered !");
    EXPECT_EQ(test::FolderEntries(dir.file("raw/debayer")), (std::vector<std::string>{"f1.fit", "f3.fit"}));
}

} // namespace
} // namespace skyvane
