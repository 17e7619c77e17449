#include <gtest/gtest.h>

#include <fitsio.h>

#include <cstring>
#include <string>
#include <vector>

#include "command/Interpreter.h"
#include "command/Messages.h"
#include "image/FitsReader.h"
#include "image/FitsWriter.h"
#include "image/ImageGrid.h"
#include "image/ImageRecord.h"
#include "image/ValueRange.h"
#include "processing/ColourPlanes.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::TempDir;

// The three planes of a small colour image, each row-major: plane[p][y * width + x].
struct Cube {
    int width = 0;
    int height = 0;
    int bitpix = -64;
    std::vector<double> plane[3];
};

// Distinct values per plane and pixel, whole numbers so that every sample format holds
// them; the green plane has a bright spot for registration.
Cube MakeCube(int width, int height, int bitpix, int seed = 0)
{
    Cube cube;
    cube.width = width;
    cube.height = height;
    cube.bitpix = bitpix;
    for (int p = 0; p < 3; ++p)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                cube.plane[p].push_back(static_cast<double>((x * 7 + y * 13 + p * 101 + seed * 31) % 251 + (bitpix == 8 ? 0 : 1000 * p + 17)));
    return cube;
}

// Writes the cube with CFITSIO as one primary array of NAXIS = 3, NAXIS3 = planes (the
// first `planes` of the cube's planes, repeated when more are asked).
void WriteCube(const std::string& path, const Cube& cube, int planes = 3)
{
    int status = 0;
    fitsfile* file = nullptr;
    long axes[3] = {cube.width, cube.height, planes};
    fits_create_file(&file, ("!" + path).c_str(), &status);
    fits_create_img(file, cube.bitpix, 3, axes, &status);
    for (int p = 0; p < planes; ++p) {
        std::vector<double> values = cube.plane[p % 3];
        long first[3] = {1, 1, p + 1};
        fits_write_pix(file, TDOUBLE, first, static_cast<LONGLONG>(values.size()), values.data(), &status);
    }
    fits_close_file(file, &status);
    ASSERT_EQ(status, 0);
}

// One plane of the cube as a grey file of the same sample format.
void WritePlane(const std::string& path, const Cube& cube, int p)
{
    test::FitsLayout layout;
    layout.width = cube.width;
    layout.height = cube.height;
    layout.bitpix = cube.bitpix;
    layout.values = cube.plane[p];
    test::WriteFitsImage(path, layout);
}

// The bits of every value of a one-plane grid (a plane view or a grid of its own).
std::vector<std::uint64_t> Bits(const ImageGrid& grid)
{
    std::vector<std::uint64_t> bits(static_cast<std::size_t>(grid.pixelCount()));
    std::memcpy(bits.data(), grid.data(), bits.size() * sizeof(double));
    return bits;
}

// The integer value of a keyword of a file's primary header.
long KeywordOf(const std::string& path, const char* keyword)
{
    int status = 0;
    fitsfile* file = nullptr;
    long value = -1;
    fits_open_file(&file, path.c_str(), READONLY, &status);
    fits_read_key(file, TLONG, keyword, &value, nullptr, &status);
    fits_close_file(file, &status);
    return status == 0 ? value : -1;
}

TEST(ColourGrid, PlanesFollowEachOtherAndPlaneZeroIsWhereOnePlaneCodeLooks)
{
    ImageGrid grid;
    grid.resize(4, 3, 3);
    EXPECT_EQ(grid.planes(), 3);
    EXPECT_EQ(grid.pixelCount(), 12);
    EXPECT_EQ(grid.valueCount(), 36);
    EXPECT_EQ(grid.plane(0), grid.data());
    EXPECT_EQ(grid.plane(2), grid.data() + 24);
    grid.plane(1)[2 * 3 + 1] = 5.0; // pixel (2, 1) of the green plane
    const ImageGrid green = grid.planeView(1);
    EXPECT_EQ(green.planes(), 1);
    EXPECT_EQ(green.width(), 4);
    EXPECT_EQ(green[2][1], 5.0);
    EXPECT_EQ(grid[2][1], 0.0);

    // A view never resizes the pixels it borrows; the grid itself still can.
    ImageGrid view = grid.planeView(2);
    EXPECT_FALSE(view.tryResize(2, 2));
    EXPECT_TRUE(view.tryResizeForOverwrite(4, 3));
    grid.resize(2, 2);
    EXPECT_EQ(grid.planes(), 1);
    EXPECT_EQ(grid.valueCount(), 4);
}

TEST(ColourGrid, MemoryCountsEveryPlane)
{
    EXPECT_EQ(GridBytes(100, 50, 3), 3 * GridBytes(100, 50));
    SetGridMemoryLimit(GridBytes(100, 50) * 2);
    ImageGrid grid;
    EXPECT_TRUE(grid.tryResize(100, 50));
    EXPECT_FALSE(grid.tryResize(100, 50, 3));
    EXPECT_EQ(grid.planes(), 1);
    SetGridMemoryLimit(0);
}

TEST(ColourGrid, ValuesAreClassifiedOverEveryPlane)
{
    ImageGrid grid;
    grid.resize(3, 3, 3);
    EXPECT_EQ(ClassifyValues(grid), ValueWorld::Whole);
    grid.plane(2)[8] = 0.5; // the last value of the blue plane
    EXPECT_EQ(ClassifyValues(grid), ValueWorld::Any);
}

class ColourFits : public ::testing::TestWithParam<int> {
protected:
    TempDir dir;
};

// Every plane of a cube loads bit for bit as the grey file of that plane does, in every
// sample format; the header cards are the file's.
TEST_P(ColourFits, EachPlaneLoadsAsItsGreyFileDoes)
{
    const Cube cube = MakeCube(37, 23, GetParam());
    WriteCube(dir.file("cube.fit"), cube);
    ImageRecord colour;
    ASSERT_TRUE(loadFits(colour, dir.file("cube.fit")).loaded());
    ASSERT_EQ(colour.grid.planes(), 3);
    ImageSize size;
    ASSERT_EQ(readFitsSize(dir.file("cube.fit"), size), FitsError::None);
    EXPECT_EQ(size, (ImageSize{37, 23, 3}));
    for (int p = 0; p < 3; ++p) {
        const std::string grey = dir.file("plane" + std::to_string(p) + ".fit");
        WritePlane(grey, cube, p);
        ImageRecord plane;
        ASSERT_TRUE(loadFits(plane, grey).loaded());
        EXPECT_EQ(Bits(colour.grid.planeView(p)), Bits(plane.grid)) << "plane " << p;
    }
    bool naxis3 = false;
    for (int i = 0; i < colour.cards.count(); ++i)
        naxis3 = naxis3 || colour.cards.card(i).substr(0, 8) == "NAXIS3  ";
    EXPECT_TRUE(naxis3);
}

// Saved and opened again, a colour image is the same cube, in both sample formats.
TEST_P(ColourFits, SavedCubesReopenExactly)
{
    const Cube cube = MakeCube(19, 11, GetParam());
    WriteCube(dir.file("cube.fit"), cube);
    ImageRecord colour;
    ASSERT_TRUE(loadFits(colour, dir.file("cube.fit")).loaded());
    for (const SampleFormat format : {SampleFormat::Integer16, SampleFormat::Float32}) {
        const std::string saved = dir.file(format == SampleFormat::Float32 ? "float.fit" : "short.fit");
        ASSERT_EQ(saveFits(colour, saved, format), FitsError::None);
        EXPECT_EQ(KeywordOf(saved, "NAXIS"), 3);
        EXPECT_EQ(KeywordOf(saved, "NAXIS3"), 3);
        ImageRecord again;
        ASSERT_TRUE(loadFits(again, saved).loaded());
        ASSERT_EQ(again.grid.planes(), 3);
        for (int p = 0; p < 3; ++p)
            EXPECT_EQ(Bits(again.grid.planeView(p)), Bits(colour.grid.planeView(p))) << "plane " << p;
    }
}

// A cube large enough to be read by two threads, in bands, 16-bit values read straight
// from the file: still each plane exactly as its grey file.
TEST(ColourFitsCubes, LargeCubesReadByTwoThreadsMatchTheGreyPlanes)
{
    TempDir dir;
    const Cube cube = MakeCube(1030, 1021, 16, 3);
    WriteCube(dir.file("cube.fit"), cube);
    ImageRecord colour;
    ASSERT_TRUE(loadFits(colour, dir.file("cube.fit")).loaded());
    for (int p = 0; p < 3; ++p) {
        WritePlane(dir.file("plane.fit"), cube, p);
        ImageRecord plane;
        ASSERT_TRUE(loadFits(plane, dir.file("plane.fit")).loaded());
        EXPECT_TRUE(Bits(colour.grid.planeView(p)) == Bits(plane.grid)) << "plane " << p;
    }
}

INSTANTIATE_TEST_SUITE_P(SampleFormats, ColourFits, ::testing::Values(16, -32, -64, 8),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param < 0 ? "Float" + std::to_string(-info.param) : "Int" + std::to_string(info.param);
                         });

TEST(ColourFitsCubes, OtherCubesKeepTheTwoDimensionalMessages)
{
    TempDir dir;
    const Cube cube = MakeCube(5, 4, 16);
    for (const int planes : {2, 4}) {
        const std::string path = dir.file("cube" + std::to_string(planes) + ".fit");
        WriteCube(path, cube, planes);
        ImageRecord record;
        const LoadStatus status = loadFits(record, path);
        EXPECT_EQ(status.error, FitsError::NotTwoDimensional) << planes << " planes";
        test::RecordingMessages messages;
        EXPECT_FALSE(loadFitsReporting(record, path, messages));
        EXPECT_EQ(messages.texts, (std::vector<std::string>{"Loaded image is not 2-D.\nOnly 2-D images are supported.",
                                                            "Error while reading image size"}));
    }
}

TEST(ColourFitsCubes, PlaneCardsDescribeTheImageTheyGoWith)
{
    TempDir dir;
    const Cube cube = MakeCube(6, 5, 16);
    WritePlane(dir.file("red.fit"), cube, 0);
    ImageRecord grey;
    ASSERT_TRUE(loadFits(grey, dir.file("red.fit")).loaded());
    ImageRecord colour;
    colour.grid.resize(6, 5, 3);
    colour.cards = PlaneCards(grey.cards, 3);
    ASSERT_EQ(saveFits(colour, dir.file("colour.fit")), FitsError::None);
    EXPECT_EQ(KeywordOf(dir.file("colour.fit"), "NAXIS3"), 3);
    // And back to one plane: NAXIS 2 again, no NAXIS3, the cards otherwise as they were.
    EXPECT_EQ(PlaneCards(colour.cards, 1).block(), grey.cards.block());
}

// ---------------------------------------------------------------------------------------
// Commands

// A working directory with a colour cube "cube.fit" and its planes as grey files
// "red.fit", "green.fit" and "blue.fit" (64-bit floats), and a run whose Image A is
// opened as the main window opens a file.
class ColourCommands : public ::testing::Test {
protected:
    void SetUp() override
    {
        context().settings.WorkingDirectory = work.path().string();
        cube = MakeCube(9, 7, -64);
        WriteCube(work.file("cube.fit"), cube);
        for (int p = 0; p < 3; ++p)
            WritePlane(work.file(Names[p]), cube, p);
    }

    AppContext& context() { return tc.context; }

    void open(const std::string& name)
    {
        ASSERT_TRUE(loadFits(context().imageA, work.file(name)).loaded());
        if (context().display.isImageDisplayed())
            context().display.clearDisplay();
        ASSERT_TRUE(context().display.buildDisplay(context().imageA.grid));
        context().display.paintDisplay();
    }

    std::string run(const std::string& command) { return ExecuteCommand(context(), command); }

    // The command's effect on the colour image, plane by plane, against its effect on
    // each plane's grey file opened as Image A.
    void ExpectPlaneByPlane(const std::string& command)
    {
        open("cube.fit");
        const std::string colourReply = run(command);
        ImageGrid colour;
        colour.swap(context().imageA.grid);
        for (int p = 0; p < 3; ++p) {
            open(Names[p]);
            EXPECT_EQ(run(command), colourReply) << command;
            EXPECT_EQ(Bits(colour.planeView(p)), Bits(context().imageA.grid)) << command << ", plane " << p;
        }
    }

    static constexpr const char* Names[3] = {"red.fit", "green.fit", "blue.fit"};
    TempDir work;
    test::TestContext tc;
    Cube cube;
};

TEST_F(ColourCommands, StatGivesEachFigureOfTheThreePlanesOnItsLine)
{
    std::vector<std::string> lines[3];
    for (int p = 0; p < 3; ++p) {
        open(Names[p]);
        const std::string reply = run("stat");
        for (std::size_t at = 0; at != std::string::npos;) {
            const std::size_t end = reply.find("\r\n", at);
            lines[p].push_back(reply.substr(at, end == std::string::npos ? end : end - at));
            at = end == std::string::npos ? end : end + 2;
        }
    }
    ASSERT_EQ(lines[0].size(), 5u);
    std::string expected;
    for (std::size_t i = 0; i < 5; ++i) {
        // "     mean = 1034.5" of each plane: the name once, the figures joined by " / ".
        const std::size_t figure = lines[0][i].find(" = ") + 3;
        expected += (i > 0 ? "\r\n" : "") + lines[0][i] + " / " + lines[1][i].substr(figure) + " / " + lines[2][i].substr(figure);
    }
    open("cube.fit");
    EXPECT_EQ(run("stat"), expected);
}

TEST_F(ColourCommands, SizeNamesThePlanes)
{
    open("cube.fit");
    EXPECT_EQ(run("size"), "     width = 9\r\n     height = 7\r\n     3 planes: red, green, blue");
    open("red.fit");
    EXPECT_EQ(run("size"), "     width = 9\r\n     height = 7");
}

TEST_F(ColourCommands, ArithmeticWorksOnEveryPlaneAsOnAGreyImage)
{
    for (const char* command : {"mult 1.5", "add -300.25", "sub 17", "div 3"})
        ExpectPlaneByPlane(command);
    // A grey operand is applied to each plane alike.
    WritePlane(work.file("dark.fit"), MakeCube(9, 7, -64, 5), 1);
    for (const char* command : {"sub (dark)", "div (dark)", "mult (dark)", "add (dark)"})
        ExpectPlaneByPlane(command);
}

TEST_F(ColourCommands, AColourOperandWorksPlaneByPlane)
{
    const Cube other = MakeCube(9, 7, -64, 7);
    WriteCube(work.file("other.fit"), other);
    open("cube.fit");
    ASSERT_EQ(run("div (other)"), "     first image has been divided by second image");
    for (int p = 0; p < 3; ++p) {
        WritePlane(work.file("operand.fit"), other, p);
        open(Names[p]);
        run("div (operand)");
        ImageGrid expected;
        expected.swap(context().imageA.grid);
        open("cube.fit");
        run("div (other)");
        EXPECT_EQ(Bits(context().imageA.grid.planeView(p)), Bits(expected)) << "plane " << p;
    }
}

TEST_F(ColourCommands, AColourOperandForAGreyImageChangesNothing)
{
    open("red.fit");
    const std::vector<std::uint64_t> before = Bits(context().imageA.grid);
    run("sub (cube)");
    EXPECT_EQ(tc.messages.texts, std::vector<std::string>{"Image size mismatch."});
    EXPECT_EQ(tc.messages.paths, std::vector<std::string>{work.file("cube.fit")});
    EXPECT_EQ(Bits(context().imageA.grid), before);
    EXPECT_EQ(context().imageA.grid.planes(), 1);
}

TEST_F(ColourCommands, ComposedPlanesAreTheStackedCube)
{
    open("red.fit");
    EXPECT_EQ(run("rgbcompose (red) (green.fit) (" + work.file("blue.fit") + ")"), "     colour image composed");
    EXPECT_TRUE(tc.messages.texts.empty());
    ImageRecord stacked;
    ASSERT_TRUE(loadFits(stacked, work.file("cube.fit")).loaded());
    const ImageGrid& composed = context().imageA.grid;
    ASSERT_EQ(composed.planes(), 3);
    for (int p = 0; p < 3; ++p)
        EXPECT_EQ(Bits(composed.planeView(p)), Bits(stacked.grid.planeView(p))) << "plane " << p;
    EXPECT_TRUE(context().imagePresent());
    // The first file's cards, describing the cube: saved, it is the cube again.
    ASSERT_EQ(saveFits(context().imageA, work.file("saved.fit"), SampleFormat::Float32), FitsError::None);
    ImageRecord saved;
    ASSERT_TRUE(loadFits(saved, work.file("saved.fit")).loaded());
    ASSERT_EQ(saved.grid.planes(), 3);
    for (int p = 0; p < 3; ++p)
        EXPECT_EQ(Bits(saved.grid.planeView(p)), Bits(stacked.grid.planeView(p))) << "plane " << p;
}

TEST_F(ColourCommands, ComposingFilesOfAnotherSizeOrKindChangesNothing)
{
    WritePlane(work.file("small.fit"), MakeCube(8, 7, -64), 0);
    open("red.fit");
    const std::vector<std::uint64_t> before = Bits(context().imageA.grid);
    for (const char* other : {"small", "cube"}) {
        tc.messages.clear();
        EXPECT_EQ(run(std::string("rgbcompose (red) (") + other + ") (blue)"), "     colour image could not be composed !");
        EXPECT_EQ(tc.messages.texts, std::vector<std::string>{"Image size mismatch."}) << other;
        EXPECT_EQ(Bits(context().imageA.grid), before);
    }
    tc.messages.clear();
    EXPECT_EQ(run("rgbcompose (red) (missing) (blue)"), "     colour image could not be composed !");
    EXPECT_EQ(tc.messages.paths.front(), work.file("missing.fit"));
    EXPECT_EQ(Bits(context().imageA.grid), before);
}

TEST_F(ColourCommands, ChannelMakesAGreyImageOfOnePlaneOrTheLuminance)
{
    for (int p = 0; p < 3; ++p) {
        open("cube.fit");
        const std::string word = std::string(Names[p]).substr(0, std::string(Names[p]).find('.'));
        EXPECT_EQ(run("channel " + word), "     image is the " + word + " plane");
        ImageRecord grey;
        ASSERT_TRUE(loadFits(grey, work.file(Names[p])).loaded());
        EXPECT_EQ(context().imageA.grid.planes(), 1);
        EXPECT_EQ(Bits(context().imageA.grid), Bits(grey.grid));
        // Its cards describe one plane: it saves as the grey file it is.
        EXPECT_EQ(saveFits(context().imageA, work.file("plane.fit"), SampleFormat::Float32), FitsError::None);
    }
    open("cube.fit");
    EXPECT_EQ(run("channel luminance"), "     image is the luminance plane");
    const ImageGrid& y = context().imageA.grid;
    for (int x = 0; x < cube.width; ++x)
        for (int row = 0; row < cube.height; ++row) {
            const std::size_t i = static_cast<std::size_t>(row * cube.width + x);
            EXPECT_EQ(y[x][row], 0.2126 * cube.plane[0][i] + 0.7152 * cube.plane[1][i] + 0.0722 * cube.plane[2][i]);
        }
    // On a grey image, or with another word, nothing changes.
    const std::vector<std::uint64_t> before = Bits(y);
    EXPECT_EQ(run("channel red"), "     image has no colour planes !");
    EXPECT_EQ(run("channel purple"), "     channel must be red, green, blue or luminance !");
    EXPECT_EQ(Bits(context().imageA.grid), before);
}

} // namespace
} // namespace skyvane
