#include <gtest/gtest.h>

#include <fitsio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <string_view>
#include <utility>
#include <string>
#include <vector>

#include "base/Numbers.h"
#include "command/Interpreter.h"
#include "display/BitmapExport.h"
#include "display/DisplayBitmap.h"
#include "display/ReducedPicture.h"
#include "display/ThresholdModel.h"
#include "display/TransferFunction.h"
#include "display/ViewMapping.h"
#include "display/ViewportPicture.h"
#include "command/Messages.h"
#include "image/FitsReader.h"
#include "image/FitsWriter.h"
#include "image/ImageGrid.h"
#include "image/ImageRecord.h"
#include "image/ValueRange.h"
#include "processing/Coaddition.h"
#include "processing/ColourPlanes.h"
#include "processing/ListArithmetic.h"
#include "processing/Registration.h"
#include "processing/Resampling.h"
#include "processing/Statistics.h"
#include "support/StarField.h"
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

// The planes follow each other in one block, plane 0 where one-plane code looks; a view
// borrows a plane and never resizes it; memory and the value world count every plane.
TEST(ColourGrid, PlanesViewsMemoryAndValues)
{
    ImageGrid grid;
    grid.resize(4, 3, 3);
    EXPECT_EQ(grid.valueCount(), 36);
    EXPECT_EQ(grid.plane(2), grid.data() + 24);
    grid.plane(1)[2 * 3 + 1] = 5.0; // pixel (2, 1) of the green plane
    ImageGrid green = grid.planeView(1);
    EXPECT_EQ(green.planes(), 1);
    EXPECT_EQ(green[2][1], 5.0);
    EXPECT_EQ(grid[2][1], 0.0);
    EXPECT_FALSE(green.tryResize(2, 2));
    EXPECT_EQ(ClassifyValues(grid), ValueWorld::Whole);
    grid.plane(2)[11] = 0.5; // the last value of the blue plane
    EXPECT_EQ(ClassifyValues(grid), ValueWorld::Any);

    EXPECT_EQ(GridBytes(100, 50, 3), 3 * GridBytes(100, 50));
    SetGridMemoryLimit(GridBytes(100, 50) * 2);
    EXPECT_TRUE(grid.tryResize(100, 50));
    EXPECT_FALSE(grid.tryResize(100, 50, 3));
    SetGridMemoryLimit(0);
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
                         [](const ::testing::TestParamInfo<int>& format) {
                             return format.param < 0 ? "Float" + std::to_string(-format.param) : "Int" + std::to_string(format.param);
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
    // each plane's grey file opened as Image A; a "%" in the command names the operand's
    // colour file ("") or the grey file of the plane ("0", "1", "2").
    void ExpectPlaneByPlane(std::string command)
    {
        const std::size_t mark = command.find('%');
        const auto with = [&](const std::string& suffix) {
            return mark == std::string::npos ? command : command.substr(0, mark) + suffix + command.substr(mark + 1);
        };
        open("cube.fit");
        const std::string colourReply = run(with(""));
        ImageGrid colour;
        colour.swap(context().imageA.grid);
        for (int p = 0; p < 3; ++p) {
            open(Names[p]);
            EXPECT_EQ(run(with(std::to_string(p))), colourReply) << command;
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

// With a constant, a grey operand (applied to each plane) and a colour one (plane by plane).
TEST_F(ColourCommands, ArithmeticWorksOnEveryPlaneAsOnAGreyImage)
{
    const Cube other = MakeCube(9, 7, -64, 7);
    WriteCube(work.file("other.fit"), other);
    for (int p = 0; p < 3; ++p)
        WritePlane(work.file("other" + std::to_string(p) + ".fit"), other, p);
    for (const char* command : {"mult 1.5", "add -300.25", "sub 17", "div 3", "sub (other1)", "div (other1)", "mult (other%)", "div (other%)"})
        ExpectPlaneByPlane(command);
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

// A colour operand for a grey image, and files of another size or kind to compose: the
// message names the file, Image A stays.
TEST_F(ColourCommands, MismatchesChangeNothing)
{
    WritePlane(work.file("small.fit"), MakeCube(8, 7, -64), 0);
    open("red.fit");
    const std::vector<std::uint64_t> before = Bits(context().imageA.grid);
    run("sub (cube)");
    for (const char* other : {"small", "cube"})
        EXPECT_EQ(run(std::string("rgbcompose (red) (") + other + ") (blue)"), "     colour image could not be composed !");
    EXPECT_EQ(run("rgbcompose (red) (missing) (blue)"), "     colour image could not be composed !");
    EXPECT_EQ(tc.messages.texts, (std::vector<std::string>{"Image size mismatch.", "Image size mismatch.", "Image size mismatch.",
                                                           "Error while reading image size"}));
    EXPECT_EQ(tc.messages.paths, (std::vector<std::string>{work.file("cube.fit"), work.file("small.fit"), work.file("cube.fit"),
                                                           work.file("missing.fit")}));
    EXPECT_EQ(Bits(context().imageA.grid), before);
    EXPECT_EQ(context().imageA.grid.planes(), 1);
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

// ---------------------------------------------------------------------------------------
// Display

// A colour grid of width x height whose planes spread over 0..3000 differently.
void FillColour(ImageGrid& grid, int width, int height)
{
    grid.resize(width, height, 3);
    for (int p = 0; p < 3; ++p)
        for (int x = 0; x < width; ++x)
            for (int y = 0; y < height; ++y)
                grid.plane(p)[static_cast<std::size_t>(x) * static_cast<std::size_t>(height) + static_cast<std::size_t>(y)] =
                    static_cast<double>((x * (3 + p) + y * (5 + 2 * p) + 977 * p) % 3001) + 0.25 * p;
}

// The rows of a picture: Display's bitmap after a build through thresholds low and high
// and a transfer function.
DisplayBitmap Picture(const ImageGrid& image, int low, int high, const TransferFunction& function, PictureObserver* observer = nullptr)
{
    test::FixedThresholds thresholds(low, high);
    test::RecordingDisplaySink sink;
    Display display(thresholds, sink);
    display.setTransferFunction(function);
    display.setPictureObserver(observer);
    EXPECT_TRUE(display.buildDisplay(image));
    return display.bitmap();
}

// Each colour byte of a colour picture is the grey picture of its plane through the same
// thresholds and transfer function: blue, green, red in the bitmap's byte order; sizes
// that fill no whole tile and one drawn by several threads; both kernels alike.
TEST(ColourDisplay, EachPlaneIsMappedAsItsGreyImageIs)
{
    for (const auto& [width, height] : {std::pair{37, 29}, std::pair{1100, 260}}) {
        ImageGrid colour;
        FillColour(colour, width, height);
        for (const TransferFunction& function : {TransferFunction::Linear(), TransferFunction::Logarithm(), TransferFunction::Gamma(2.2)}) {
            for (const auto& [low, high] : {std::pair{200, 2500}, std::pair{2500, 200}}) {
                const DisplayBitmap picture = Picture(colour, low, high, function);
                EXPECT_TRUE(picture.colour);
                std::vector<std::uint8_t> portable(picture.rows.size(), 0);
                TransferTable table(function);
                RenderGrey(colour, low, high, table, portable.data(), RenderKernel::Portable);
                EXPECT_TRUE(portable == picture.rows) << width << " x " << height << ": the kernels differ";
                for (int p = 0; p < 3; ++p) {
                    const DisplayBitmap grey = Picture(colour.planeView(p), low, high, function);
                    bool same = true;
                    for (int y = 0; y < height && same; ++y)
                        for (int x = 0; x < width && same; ++x) {
                            const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(picture.stride()) + 3 * static_cast<std::size_t>(x);
                            same = picture.rows[at + static_cast<std::size_t>(2 - p)] == grey.rows[at];
                        }
                    EXPECT_TRUE(same) << width << " x " << height << ", plane " << p << ", thresholds " << low << " " << high;
                }
            }
        }
    }
}

// A colour image whose values single precision cannot hold exactly (fractions of thirds,
// values one step of a double beside the edges of the levels, huge and tiny values), and
// one whose values it holds (whole numbers, infinities, not-a-number): the display reads
// the first from its copy rounded toward zero and the second from its exact copy, and
// either way the picture has exactly the levels of the doubles, for every transfer
// function, inverted and equal thresholds, with either kernel.
TEST(ColourDisplay, SinglePrecisionCopiesGiveTheLevelsOfTheDoubles)
{
    constexpr int Width = 70;
    constexpr int Height = 67;
    const double special[] = {0.0, -0.0, 1e300, -1e300, 4e38, -4e38, 1e-320, std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()};
    for (const bool exact : {false, true}) {
        ImageGrid colour;
        colour.resize(Width, Height, 3);
        double* v = colour.data();
        for (std::int64_t i = 0; i < colour.valueCount(); ++i) {
            const double edge = 1000.0 + 10.0 * static_cast<double>(i % 256); // a level's edge for thresholds 1000 and 3550
            switch (exact ? 5 : i % 5) {
            case 0: v[i] = std::nextafter(edge, 0.0); break;
            case 1: v[i] = edge + static_cast<double>(i % 7) / 3.0; break;
            case 2: v[i] = special[i % 7]; break;
            case 3: v[i] = std::nextafter(edge, 1e9); break;
            case 4: v[i] = 1000.0 + static_cast<double>(i % 255 + 1) / 85.0; break; // at a level's edge for 1000 and 1003, between singles
            default: v[i] = i % 11 == 0 ? special[7 + i % 3] : edge + static_cast<double>(i % 3); break;
            }
        }
        std::vector<float> singles;
        EXPECT_EQ(SinglePrecisionCopy(colour, singles), exact);
        std::vector<float> rounded;
        const SingleCopy copy = SinglePrecisionValues(colour, rounded);
        EXPECT_EQ(copy, exact ? SingleCopy::Exact : SingleCopy::TowardZero);
        for (const TransferFunction& function : {TransferFunction::Linear(), TransferFunction::Logarithm(), TransferFunction::Gamma(0.4)}) {
            const TransferTable table(function);
            for (const auto& [low, high] : {std::pair{1000, 3550}, std::pair{3550, 1000}, std::pair{2000, 2000}, std::pair{1000, 1003}}) {
                std::vector<std::uint8_t> doubles(static_cast<std::size_t>(DisplayBitmap::Stride(Width)) * Height, 0);
                RenderGrey(colour, low, high, table, doubles.data(), RenderKernel::Portable);
                EXPECT_TRUE(Picture(colour, low, high, function).rows == doubles) << "thresholds " << low << " " << high << ", exact " << exact;
                if (exact) {
                    std::vector<std::uint8_t> fromSingles(doubles.size(), 0);
                    RenderGrey(colour, low, high, table, fromSingles.data(), RenderKernel::Portable, nullptr, singles.data());
                    EXPECT_TRUE(fromSingles == doubles);
                }
                for (const RenderKernel kernel : {RenderKernel::Best, RenderKernel::Portable}) {
                    std::vector<std::uint8_t> fromRounded(doubles.size(), 0);
                    RenderGrey(colour, low, high, table, fromRounded.data(), kernel, nullptr, rounded.data(), copy);
                    EXPECT_TRUE(fromRounded == doubles) << "thresholds " << low << " " << high << ", exact " << exact;
                }
            }
        }
    }
}

// Zoomed out, each colour of the reductions is the reduction of that colour's picture,
// with either kernel, and the viewport shows the three colours; Auto takes the median of
// the green plane.
TEST(ColourDisplay, ReductionsViewportAndAutoFollowThePlanes)
{
    ImageGrid colour;
    FillColour(colour, 203, 131);
    for (const RenderKernel kernel : {RenderKernel::Best, RenderKernel::Portable}) {
        ReducedPicture reduced(kernel);
        const DisplayBitmap picture = Picture(colour, 100, 2900, TransferFunction::Linear(), &reduced);
        ASSERT_TRUE(reduced.colour());
        for (int p = 0; p < 3; ++p) {
            ReducedPicture grey(kernel);
            grey.build(Picture(colour.planeView(p), 100, 2900, TransferFunction::Linear()));
            for (int k = 1; k <= ReducedPicture::Levels; ++k) {
                const std::size_t bytes = static_cast<std::size_t>(grey.levelWidth(k)) * static_cast<std::size_t>(grey.levelHeight(k));
                EXPECT_TRUE(std::equal(grey.levelData(k), grey.levelData(k) + bytes, reduced.levelData(k, 2 - p))) << p << ", level " << k;
            }
        }
        // Screen pixel (40, 30) at 1:4 with the picture at (3, 2): level 2's pixel (37, 28).
        std::vector<std::uint32_t> words(static_cast<std::size_t>(120) * 90, 0);
        FillViewport(picture, reduced, ViewMapping{-2, 3, 2}, {words.data(), 120, 90, 120 * 4}, BackgroundRgb32, kernel);
        const auto at = static_cast<std::size_t>(28 * reduced.levelWidth(2) + 37);
        EXPECT_EQ(words[30 * 120 + 40], 0xFF000000u | static_cast<std::uint32_t>(reduced.levelData(2, 2)[at]) << 16 |
                                            static_cast<std::uint32_t>(reduced.levelData(2, 1)[at]) << 8 | reduced.levelData(2, 0)[at]);
    }
    ThresholdModel model;
    ASSERT_TRUE(model.autoThresholds(true, colour));
    EXPECT_EQ(model.LowThreshold(), AutoThresholdsFromMedian(ImageMedian(colour.planeView(1))).low);
    EXPECT_NE(model.LowThreshold(), AutoThresholdsFromMedian(ImageMedian(colour.planeView(0))).low);
}

// Zoomed out on a colour picture drawn by several threads, with noise that gives every
// rounding of the means and edge blocks on the right and at the bottom: the picture is the
// one drawn without reductions, and each colour of every level is what the plain code
// reduces from it afterwards.
TEST(ColourDisplay, ReductionsFollowingThreadsAreThePlainReductionsOfThePicture)
{
    ImageGrid colour;
    colour.resize(610, 515, 3);
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> value(50.0, 3100.0);
    for (std::int64_t i = 0; i < colour.valueCount(); ++i)
        colour.data()[i] = value(random);
    ReducedPicture following(RenderKernel::Best);
    const DisplayBitmap picture = Picture(colour, 100, 3000, TransferFunction::Linear(), &following);
    EXPECT_EQ(picture.rows, Picture(colour, 100, 3000, TransferFunction::Linear()).rows);
    ReducedPicture plain(RenderKernel::Portable);
    plain.build(picture);
    ASSERT_TRUE(following.colour());
    ASSERT_TRUE(plain.colour());
    for (int k = 1; k <= ReducedPicture::Levels; ++k) {
        ASSERT_EQ(following.levelWidth(k), plain.levelWidth(k));
        ASSERT_EQ(following.levelHeight(k), plain.levelHeight(k));
        const std::size_t bytes = static_cast<std::size_t>(plain.levelWidth(k)) * static_cast<std::size_t>(plain.levelHeight(k));
        for (int c = 0; c < 3; ++c)
            EXPECT_TRUE(std::equal(plain.levelData(k, c), plain.levelData(k, c) + bytes, following.levelData(k, c))) << "level " << k << ", colour " << c;
    }
}

// ---------------------------------------------------------------------------------------
// Lists: co-addition, list arithmetic, registration

// Keeps the notices of a run.
class Notices final : public CoaddFeedback {
public:
    void notice(const CoaddNotice& notice) override { told.push_back(notice); }
    std::vector<CoaddNotice> told;
};

// Frames of a night: cube k ("c<k>.fit") and its planes as grey files ("p<plane>_<k>.fit").
struct Night {
    TempDir dir;
    std::vector<std::string> colour;
    std::vector<std::string> planes[3];

    Night(int frames, int width, int height, int bitpix)
    {
        for (int k = 0; k < frames; ++k) {
            const Cube cube = MakeCube(width, height, bitpix, 11 * k + 1);
            colour.push_back(dir.file("c" + std::to_string(k) + ".fit"));
            WriteCube(colour.back(), cube);
            for (int p = 0; p < 3; ++p) {
                planes[p].push_back(dir.file("p" + std::to_string(p) + "_" + std::to_string(k) + ".fit"));
                WritePlane(planes[p].back(), cube, p);
            }
        }
    }
};

// Every method, read straight from 16-bit files or through the library, with all frames
// open or reopened for each band: each plane of the colour result is bit for bit the
// co-addition of that plane's grey frames.
TEST(ColourLists, CoadditionCombinesEachPlaneAsGreyFramesOfThatPlane)
{
    for (const int bitpix : {16, -32}) {
        Night night(6, 45, 37, bitpix);
        for (const CoaddParameters& parameters : {CoaddParameters{CoaddMethod::Median, 0.0, 0}, CoaddParameters{CoaddMethod::Mean, 0.0, 0},
                                                   CoaddParameters{CoaddMethod::MinMaxRejection, 0.0, 0},
                                                   CoaddParameters{CoaddMethod::SigmaClipping, 1.5, 3}}) {
            for (const CoaddTuning& tuning : {CoaddTuning{}, CoaddTuning{std::size_t{45} * 8 * 6 * 3, 2, 1, false}}) {
                CoaddOptions options;
                options.parameters = parameters;
                options.tuning = tuning;
                Notices notices;
                const CoaddResult colour = CombineFrames(night.colour, options, notices);
                ASSERT_EQ(colour.status, CoaddStatus::Done);
                ASSERT_EQ(colour.grid.planes(), 3);
                for (int p = 0; p < 3; ++p) {
                    const CoaddResult grey = CombineFrames(night.planes[p], options, notices);
                    ASSERT_EQ(grey.status, CoaddStatus::Done);
                    EXPECT_EQ(Bits(colour.grid.planeView(p)), Bits(grey.grid))
                        << "BITPIX " << bitpix << ", method " << static_cast<int>(parameters.method) << ", plane " << p;
                }
                EXPECT_TRUE(notices.told.empty());
            }
        }
    }
}

TEST(ColourLists, CoadditionLeavesOutFramesOfTheOtherKindByName)
{
    Night night(4, 20, 16, -32);
    CoaddOptions options;
    options.parameters = {CoaddMethod::Mean, 0.0, 0};
    // A grey frame in a colour list, and a colour frame in a grey list.
    std::vector<std::string> mixed = night.colour;
    mixed.insert(mixed.begin() + 2, night.planes[0][2]);
    test::RecordingMessages messages;
    CoaddMessages told(messages);
    const CoaddResult colour = CombineFrames(mixed, options, told);
    ASSERT_EQ(colour.status, CoaddStatus::Done);
    EXPECT_EQ(colour.leftOut, std::vector<std::string>{night.planes[0][2]});
    EXPECT_EQ(messages.texts, std::vector<std::string>{"Image size mismatch."});
    EXPECT_EQ(messages.paths, std::vector<std::string>{night.planes[0][2]});
    Notices notices;
    EXPECT_EQ(Bits(colour.grid.planeView(1)), Bits(CombineFrames(night.colour, options, notices).grid.planeView(1)));

    std::vector<std::string> grey = night.planes[1];
    grey.push_back(night.colour[0]);
    const CoaddResult greyResult = CombineFrames(grey, options, notices);
    ASSERT_EQ(greyResult.status, CoaddStatus::Done);
    EXPECT_EQ(greyResult.grid.planes(), 1);
    EXPECT_EQ(greyResult.leftOut, std::vector<std::string>{night.colour[0]});
}

// List arithmetic never stopped, its notices dropped.
class ListNotices final : public ListArithmeticFeedback {
public:
    void notice(const ListArithmeticNotice&) override {}
    void progress(int, int) override {}
    bool cancelRequested() override { return false; }
};

// The frames divided by an operand into a new folder; the results, loaded (none when the
// run did not end well).
std::vector<ImageRecord> DivideList(const std::vector<std::string>& frames, const std::string& operand, const std::string& name)
{
    ListArithmeticJob job;
    job.operation = ListOperation::Divide;
    job.withImage = true;
    job.operandPath = operand;
    job.framePaths = frames;
    job.outputParent = std::filesystem::path(frames.front()).parent_path().string();
    job.outputName = name;
    ListNotices notices;
    const ListArithmeticResult result = RunListArithmetic(job, notices);
    std::vector<ImageRecord> records(result.status == ListArithmeticStatus::Done ? frames.size() : 0);
    for (std::size_t k = 0; k < records.size(); ++k)
        EXPECT_TRUE(loadFits(records[k], result.output.folder() + "/" + result.output.fileNames()[k]).loaded());
    return records;
}

// Colour frames by a colour operand (plane by plane) and by a grey one (applied to each
// plane): each plane of each result is that plane's grey frame by that plane's operand.
// Grey frames by a colour operand: nothing is written.
TEST(ColourLists, ListArithmeticWorksPlaneByPlane)
{
    Night night(3, 17, 13, -32);
    Night operand(1, 17, 13, -32);
    const std::vector<ImageRecord> byColour = DivideList(night.colour, operand.colour[0], "colour");
    const std::vector<ImageRecord> byGrey = DivideList(night.colour, operand.planes[1][0], "grey");
    ASSERT_EQ(byColour.size(), 3u);
    ASSERT_EQ(byGrey.size(), 3u);
    for (int p = 0; p < 3; ++p) {
        const std::vector<ImageRecord> planeByPlane = DivideList(night.planes[p], operand.planes[p][0], "plane" + std::to_string(p));
        const std::vector<ImageRecord> planeByGrey = DivideList(night.planes[p], operand.planes[1][0], "green" + std::to_string(p));
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(Bits(byColour[k].grid.planeView(p)), Bits(planeByPlane[k].grid)) << "frame " << k << ", plane " << p;
            EXPECT_EQ(Bits(byGrey[k].grid.planeView(p)), Bits(planeByGrey[k].grid)) << "frame " << k << ", plane " << p;
        }
    }
    EXPECT_TRUE(DivideList(night.planes[0], operand.colour[0], "mismatch").empty());
}

// Aligned frames kept in memory.
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

// Colour frames are measured on their green plane, which gives the shifts the grey frames
// of that plane give, and each plane is shifted by that amount.
TEST(ColourLists, RegistrationMeasuresGreenAndShiftsEveryPlaneAlike)
{
    TempDir dir;
    constexpr int Width = 160;
    constexpr int Height = 120;
    // A field, and a bright star with no other within 30 pixels for one star to follow.
    const test::SyntheticStar guide{80.3, 60.7, 1.6, 20000.0};
    std::vector<test::SyntheticStar> stars{guide};
    for (const test::SyntheticStar& star : test::RandomStars(40, Width, Height, 8, 5))
        if (std::hypot(star.x - guide.x, star.y - guide.y) > 30.0)
            stars.push_back(star);
    const double shifts[3][2] = {{0.0, 0.0}, {3.4, -2.2}, {-5.7, 4.1}};
    std::vector<std::string> colour, green;
    for (int k = 0; k < 3; ++k) {
        Cube cube;
        cube.width = Width;
        cube.height = Height;
        for (int p = 0; p < 3; ++p) {
            ImageGrid plane;
            test::DrawStarField(plane, Width, Height, 300.0 + 100.0 * p, stars, shifts[k][0], shifts[k][1], 5.0, static_cast<unsigned>(10 * k + p + 1));
            for (int y = 0; y < Height; ++y)
                for (int x = 0; x < Width; ++x)
                    cube.plane[p].push_back(plane[x][y]);
        }
        colour.push_back(dir.file("c" + std::to_string(k) + ".fit"));
        green.push_back(dir.file("g" + std::to_string(k) + ".fit"));
        WriteCube(colour.back(), cube);
        WritePlane(green.back(), cube, 1);
    }
    for (const RegistrationMethod method : {RegistrationMethod::Correlation, RegistrationMethod::OneStar}) {
        RegistrationRequest request;
        request.method = method;
        // The guide star, where the readout shows it.
        request.readoutX = std::round(guide.x) + 1.0;
        request.readoutY = Height - std::round(guide.y);
        test::RecordingMessages messages;
        KeptFrames colourFrames, greyFrames;
        request.framePaths = colour;
        const RegistrationResult colourResult = RegisterFrames(request, colourFrames, messages);
        request.framePaths = green;
        const RegistrationResult greyResult = RegisterFrames(request, greyFrames, messages);
        ASSERT_EQ(colourResult.status, RegistrationStatus::Done);
        ASSERT_EQ(greyResult.status, RegistrationStatus::Done);
        for (std::size_t k = 0; k < 3; ++k) {
            ASSERT_EQ(colourResult.frames[k].fate, FrameFate::Registered) << k;
            EXPECT_EQ(colourResult.frames[k].dx, greyResult.frames[k].dx) << k;
            EXPECT_EQ(colourResult.frames[k].dy, greyResult.frames[k].dy) << k;
            const ImageGrid& aligned = colourFrames.frames[k];
            ASSERT_EQ(aligned.planes(), 3);
            EXPECT_EQ(Bits(aligned.planeView(1)), Bits(greyFrames.frames[k])) << k;
            ImageRecord frame;
            ASSERT_TRUE(loadFits(frame, colour[k]).loaded());
            for (int p = 0; p < 3; ++p) {
                ImageGrid expected;
                ResampleToReference(frame.grid.planeView(p), colourResult.frames[k].dx, colourResult.frames[k].dy, expected, 1);
                EXPECT_EQ(Bits(aligned.planeView(p)), Bits(expected)) << "frame " << k << ", plane " << p;
            }
        }
        EXPECT_NEAR(colourResult.frames[2].dx, shifts[2][0], 0.05);
    }
    // A grey frame among colour ones is of another kind: left out.
    RegistrationRequest request;
    request.framePaths = {colour[0], green[1], colour[2]};
    test::RecordingMessages messages;
    KeptFrames frames;
    const RegistrationResult mixed = RegisterFrames(request, frames, messages);
    ASSERT_EQ(mixed.status, RegistrationStatus::Done);
    EXPECT_EQ(mixed.frames[1].fate, FrameFate::SizeDiffers);
    EXPECT_EQ(mixed.frames[2].fate, FrameFate::Registered);
}

} // namespace
} // namespace skyvane
