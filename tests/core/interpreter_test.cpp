#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "base/LongWork.h"
#include "command/Interpreter.h"
#include "image/FitsReader.h"
#include "lists/ImageListTree.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

using test::FitsLayout;
using test::TempDir;
using test::TestContext;
using test::WriteFitsImage;

constexpr double Inf = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

// Writes a width x height 64-bit float image; values row-major (row 0 first).
void WriteImage(const std::string& path, int width, int height, std::vector<double> values, std::vector<std::string> cards = {})
{
    FitsLayout layout;
    layout.width = width;
    layout.height = height;
    layout.values = std::move(values);
    layout.extraCards = std::move(cards);
    WriteFitsImage(path, layout);
}

void WriteConstantImage(const std::string& path, int width, int height, double value)
{
    WriteImage(path, width, height, std::vector<double>(static_cast<std::size_t>(width * height), value));
}

// Pixel values of a grid, row-major like the FITS data, for comparisons.
std::vector<double> RowMajor(const ImageGrid& grid)
{
    std::vector<double> values;
    for (int y = 0; y < grid.height(); ++y)
        for (int x = 0; x < grid.width(); ++x)
            values.push_back(grid[x][y]);
    return values;
}

std::string Card(std::string text)
{
    text.resize(80, ' ');
    return text;
}

// A working directory with an image "a.fit" (3 x 2, values 1..6 row-major) that is
// opened as Image A the way the main window opens a file.
class InterpreterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        context().settings.WorkingDirectory = work.path().string();
        WriteImage(work.file("a.fit"), 3, 2, {1, 2, 3, 4, 5, 6}, {"OBSERVER= 'A'", "EXPTIME =                  1.0"});
    }

    AppContext& context() { return tc.context; }

    void open(const std::string& path)
    {
        ASSERT_TRUE(loadFits(context().imageA, path).loaded());
        context().display.buildDisplay(context().imageA.grid);
        context().display.paintDisplay();
    }

    std::string run(const std::string& command) { return ExecuteCommand(context(), command); }

    TempDir work;
    TestContext tc;
};

// ---------------------------------------------------------------------------------------
// Recognition: every row of the table, the minimum lengths, and texts that match no row.

struct RecognitionCase {
    const char* command;
    const char* reply;
};

class RecognitionTest : public InterpreterTest, public ::testing::WithParamInterface<RecognitionCase> {};

TEST_P(RecognitionTest, ReplyWithImageDisplayed)
{
    // Image B for the image commands: same size, all 2.
    WriteConstantImage(work.file("b.fit"), 3, 2, 2.0);
    // The WORK list: five images of the same size, for every list method.
    TempDir listFolder;
    for (int i = 1; i <= 5; ++i)
        WriteConstantImage(listFolder.file("f" + std::to_string(i) + ".fit"), 3, 2, i);
    context().lists.CreateStartupList(listFolder.path().string());
    open(work.file("a.fit"));

    EXPECT_EQ(run(GetParam().command), GetParam().reply) << "command \"" << GetParam().command << "\"";
    EXPECT_TRUE(tc.messages.texts.empty()) << tc.messages.texts.front();
}

INSTANTIATE_TEST_SUITE_P(Table, RecognitionTest, ::testing::Values(
    RecognitionCase{"stat", "     min = 1\r\n     max = 6\r\n     median = 3.5\r\n     mean = 3.5\r\n     sigma = 1.7078"},
    RecognitionCase{"size", "     width = 3\r\n     height = 2"},
    RecognitionCase{"clear", "     clear display"},
    RecognitionCase{"add (b)", "     two images have been added"},
    RecognitionCase{"mult (b)", "     two images have been multiplied"},
    RecognitionCase{"div (b)", "     first image has been divided by second image"},
    RecognitionCase{"sub (b)", "     image difference has been calculated"},
    RecognitionCase{"median [WORK]", "     median image has been calculated"},
    RecognitionCase{"mean [WORK]", "     mean image has been calculated"},
    RecognitionCase{"minmaxrej [WORK]", "     co-added image has been calculated with min-max rejection"},
    RecognitionCase{"sigmaclip [WORK] 3 5", "     co-added image has been calculated with sigma clipping"},
    RecognitionCase{"mult 2", "     image has been multiplied by constant"},
    RecognitionCase{"add 2", "     offset has been added to image"},
    RecognitionCase{"div 2", "     image has been divided by constant"},
    RecognitionCase{"sub 2", "     constant has been subtracted from image"},
    // Minimum lengths: the literal alone is not enough.
    RecognitionCase{"add (", "     offset has been added to image"}, // "add " with the constant "("
    RecognitionCase{"mult (", "     image has been multiplied by constant"},
    RecognitionCase{"div (", "     image has been divided by constant"},
    RecognitionCase{"sub (", "     constant has been subtracted from image"},
    RecognitionCase{"median [", "     unknown command !"},
    RecognitionCase{"mean [", "     unknown command !"},
    RecognitionCase{"minmaxrej [", "     unknown command !"},
    RecognitionCase{"sigmaclip [", "     unknown command !"},
    RecognitionCase{"mult ", "     unknown command !"},
    RecognitionCase{"add ", "     unknown command !"},
    RecognitionCase{"div ", "     unknown command !"},
    RecognitionCase{"sub ", "     unknown command !"},
    // Case, blanks and near misses.
    RecognitionCase{"stat ", "     unknown command !"},
    RecognitionCase{" stat", "     unknown command !"},
    RecognitionCase{"Stat", "     unknown command !"},
    RecognitionCase{"STAT", "     unknown command !"},
    RecognitionCase{"size\r", "     unknown command !"},
    RecognitionCase{"headers ", "     unknown command !"},
    RecognitionCase{"clear\n", "     unknown command !"},
    RecognitionCase{"add", "     unknown command !"},
    RecognitionCase{"add(b)", "     unknown command !"},
    RecognitionCase{"Add 2", "     unknown command !"},
    RecognitionCase{"median[WORK]", "     unknown command !"},
    RecognitionCase{"median  [WORK]", "     unknown command !"},
    RecognitionCase{"hello", "     unknown command !"},
    RecognitionCase{" ", "     unknown command !"},
    // Lists that are not there.
    RecognitionCase{"median [ WORK ]", "     list name not recognized !"},
    RecognitionCase{"median [work]", "     list name not recognized !"},
    RecognitionCase{"mean [x", "     list name not recognized !"},
    RecognitionCase{"minmaxrej [PATH]", "     list name not recognized !"},
    RecognitionCase{"sigmaclip [W] 3 5", "     list name not recognized !"}));

// The presence gate: nothing displayed yet, then after "clear".
TEST_F(InterpreterTest, WithoutImageEveryCommandButTheListCommandsRepliesNoImage)
{
    WriteConstantImage(work.file("b.fit"), 3, 2, 2.0);
    const std::vector<std::string> gated = {"stat", "size", "headers", "clear", "add (b)", "mult (b)", "div (b)", "sub (b)",
                                            "mult 2", "add 2", "div 2", "sub 2", "add (", "mult ("};
    for (const std::string& command : gated)
        EXPECT_EQ(run(command), "     no image !") << command;
    EXPECT_EQ(run("Stat"), "     unknown command !");
    EXPECT_EQ(run("median [NONE]"), "     list name not recognized !");
    EXPECT_TRUE(context().imageB.grid.empty()) << "no image command may load Image B without Image A";
    EXPECT_FALSE(context().display.isImageDisplayed());
    EXPECT_TRUE(tc.messages.texts.empty());
}

TEST_F(InterpreterTest, ClearEmptiesImageAndStatusAndGatesUntilAListCommandDisplaysAgain)
{
    WriteConstantImage(work.file("b.fit"), 3, 2, 2.0);
    TempDir listFolder;
    WriteConstantImage(listFolder.file("one.fit"), 4, 1, 7.0);
    context().lists.CreateStartupList(listFolder.path().string());
    open(work.file("a.fit"));
    tc.status.parts = {"x", "y", "z"};

    EXPECT_EQ(run("clear"), "     clear display");
    EXPECT_EQ(tc.status.parts, (std::vector<std::string>{"", "", ""}));
    EXPECT_FALSE(context().display.isImageDisplayed());
    EXPECT_EQ(tc.displaySink.cleared, 1);
    EXPECT_TRUE(context().imageA.grid.empty());
    EXPECT_TRUE(context().imageA.cards.empty());

    for (const char* command : {"size", "stat", "headers", "clear", "add (b)", "div (b)", "add 1", "sub 1", "mult 2", "div 2"})
        EXPECT_EQ(run(command), "     no image !") << command;

    // A list command still runs and displays its result; the gate opens again.
    EXPECT_EQ(run("median [WORK]"), "     median image has been calculated");
    EXPECT_TRUE(context().display.isImageDisplayed());
    EXPECT_EQ(run("size"), "     width = 4\r\n     height = 1");
    EXPECT_TRUE(tc.messages.texts.empty());
}

TEST_F(InterpreterTest, ImageOfNoPixelCountsAsNoImage)
{
    open(work.file("a.fit"));
    context().imageA.clear(); // displayed, but 0 x 0
    EXPECT_EQ(run("stat"), "     no image !");
    EXPECT_EQ(run("size"), "     no image !");
    EXPECT_EQ(run("add 1"), "     no image !");
}

// ---------------------------------------------------------------------------------------
// Statistics, size, headers.

TEST_F(InterpreterTest, StatFormatsFiveSignificantDigitsAndChangesNothing)
{
    WriteImage(work.file("big.fit"), 2, 2, {12.5, 123456.7, 0.000012345, -3});
    open(work.file("big.fit"));
    const int changedBefore = tc.displaySink.changed;
    // median = (0.000012345 + 12.5) / 2, mean = 123466.200012345 / 4
    EXPECT_EQ(run("stat"), "     min = -3\r\n     max = 1.2346e+005\r\n     median = 6.25\r\n     mean = 30867\r\n     sigma = 53457");
    EXPECT_EQ(RowMajor(context().imageA.grid), (std::vector<double>{12.5, 123456.7, 0.000012345, -3}));
    EXPECT_EQ(tc.displaySink.changed, changedBefore);
}

TEST_F(InterpreterTest, StatOfALargeImage)
{
    // 300 x 300 pixels holding 0..999, 90 times each: the median runs on a second thread.
    test::WriteFitsFunction(work.file("large.fit"), 300, 300, [](int x, int y) { return static_cast<double>((x + 300 * y) % 1000); });
    open(work.file("large.fit"));
    EXPECT_EQ(run("stat"), "     min = 0\r\n     max = 999\r\n     median = 499.5\r\n     mean = 499.5\r\n     sigma = 288.67");
}

// The median of an image holding a NaN takes a copy of its pixels (more than the
// allocator's per-thread heaps of 64 MiB hold here): when it cannot be had, the user is
// told and the image stays as it was.
TEST_F(InterpreterTest, StatShortOfMemoryTellsAndChangesNothing)
{
    if (!test::AddressSpaceLimitsWork())
        GTEST_SKIP() << "address space limits do not work under AddressSanitizer";
    ImageGrid& grid = context().imageA.grid;
    ASSERT_TRUE(grid.tryResize(4500, 4500)); // 162 MB
    for (int x = 0; x < 4500; ++x)
        std::fill(grid[x], grid[x] + 4500, 5.0);
    grid[1][1] = std::numeric_limits<double>::quiet_NaN(); // the median then takes a copy of the pixels
    ASSERT_TRUE(context().display.buildDisplay(grid));
    context().display.paintDisplay();
    const test::ChildEnd end = test::RunWithAddressSpaceLimit(std::uint64_t{32} << 20, [&] {
        const bool told = run("stat") == "     not enough memory !" &&
                          tc.messages.texts == std::vector<std::string>{"Not enough memory for an image of 4500 x 4500 pixels."};
        return told && grid[4499][4499] == 5.0 && run("size") == "     width = 4500\r\n     height = 4500" ? 0 : 1;
    });
    EXPECT_TRUE(end.exited && end.code == 0) << "code " << end.code << ", signal " << end.signal;
    EXPECT_NE(run("stat").find("     median = 5\r\n"), std::string::npos) << "with room the same command answers";
}

// Missing pixels (NaN, BLANK of an integer file) are left out of every figure and counted:
// the figures are those of an image of the present pixels alone, in pixel order.
TEST_F(InterpreterTest, StatCountsOnlyPresentPixelsAndTellsTheMissingOnes)
{
    // Pixel order is columns outer, rows inner: 12.5, 123456.7, NaN | NaN, 0.000012345, -3.
    WriteImage(work.file("holes.fit"), 2, 3, {12.5, NaN, 123456.7, 0.000012345, NaN, -3});
    WriteImage(work.file("present.fit"), 1, 4, {12.5, 123456.7, 0.000012345, -3});
    open(work.file("present.fit"));
    const std::string present = run("stat");
    open(work.file("holes.fit"));
    EXPECT_EQ(run("stat"), present + "\r\n     missing = 2");

    FitsLayout blank;
    blank.width = 2;
    blank.height = 2;
    blank.bitpix = 16;
    blank.values = {5, -1, 7, 9};
    blank.extraCards = {"BLANK   =                   -1"};
    WriteFitsImage(work.file("blank.fit"), blank);
    WriteImage(work.file("five.fit"), 1, 3, {5, 7, 9});
    open(work.file("five.fit"));
    const std::string three = run("stat");
    open(work.file("blank.fit"));
    EXPECT_EQ(run("stat"), three + "\r\n     missing = 1");
}

TEST_F(InterpreterTest, StatWritesInfinityAndNotANumber)
{
    WriteImage(work.file("inf.fit"), 3, 1, {1, Inf, 2});
    open(work.file("inf.fit"));
    EXPECT_EQ(run("stat"), "     min = 1\r\n     max = inf\r\n     median = 2\r\n     mean = inf\r\n     sigma = nan");
}

TEST_F(InterpreterTest, SizeIsColumnsThenRows)
{
    WriteConstantImage(work.file("wide.fit"), 7, 3, 1.0);
    open(work.file("wide.fit"));
    EXPECT_EQ(run("size"), "     width = 7\r\n     height = 3");
}

TEST_F(InterpreterTest, HeadersListsWholeCardsAndOnlyTheFirstIsIndented)
{
    open(work.file("a.fit"));
    HeaderCards& cards = context().imageA.cards;
    cards.clear();
    cards.append("SIMPLE  =                    T");
    cards.append("OBSERVER= 'A'");
    cards.append("END-LIKE");
    EXPECT_EQ(run("headers"), "     " + Card("SIMPLE  =                    T") + "\r\n" + Card("OBSERVER= 'A'") + "\r\n" + Card("END-LIKE"));

    cards.clear();
    cards.append("ONLY");
    EXPECT_EQ(run("headers"), "     " + Card("ONLY"));

    cards.clear();
    EXPECT_EQ(run("headers"), "     image has no header records");
}

TEST_F(InterpreterTest, HeadersOfAFileHoldItsCardsInFileOrder)
{
    open(work.file("a.fit"));
    const std::string reply = run("headers");
    ASSERT_EQ(reply.substr(0, 5), "     ");
    EXPECT_EQ(reply.substr(5, 80), Card("SIMPLE  =                    T / file does conform to FITS standard"));
    EXPECT_NE(reply.find("\r\n" + Card("OBSERVER= 'A'")), std::string::npos);
    EXPECT_EQ(reply.substr(reply.size() - 80), Card("EXPTIME =                  1.0"));
    EXPECT_EQ(reply.find("END     "), std::string::npos);
}

// ---------------------------------------------------------------------------------------
// Constant commands.

struct ConstantCase {
    const char* command;
    std::vector<double> expected; // a.fit's 1..6 after the command
};

class ConstantTest : public InterpreterTest, public ::testing::WithParamInterface<ConstantCase> {};

TEST_P(ConstantTest, PixelsAndDisplay)
{
    open(work.file("a.fit"));
    const std::vector<std::uint8_t> rowsBefore = context().display.bitmap().rows;
    run(GetParam().command);
    EXPECT_EQ(RowMajor(context().imageA.grid), GetParam().expected) << GetParam().command;
    EXPECT_EQ(tc.displaySink.changed, 1) << "repaintDisplay once";
    // The picture follows the pixels through the fixed thresholds 0..32767: everything
    // here is tiny, so every grey level stays 0 except where a pixel became huge.
    std::vector<std::uint8_t> expectedRows(context().display.bitmap().rows.size(), 0);
    RenderGrey(context().imageA.grid, 0, 32767, expectedRows.data());
    EXPECT_EQ(context().display.bitmap().rows, expectedRows);
}

INSTANTIATE_TEST_SUITE_P(Table, ConstantTest, ::testing::Values(
    ConstantCase{"add 2 3", {3, 4, 5, 6, 7, 8}},
    ConstantCase{"add abc", {1, 2, 3, 4, 5, 6}},
    ConstantCase{"add (", {1, 2, 3, 4, 5, 6}},
    ConstantCase{"add  2", {3, 4, 5, 6, 7, 8}}, // ParseReal skips the leading blank
    ConstantCase{"add 1d1", {11, 12, 13, 14, 15, 16}},
    ConstantCase{"sub -1", {2, 3, 4, 5, 6, 7}},
    ConstantCase{"sub 0.5", {0.5, 1.5, 2.5, 3.5, 4.5, 5.5}},
    ConstantCase{"mult (", {0, 0, 0, 0, 0, 0}},
    ConstantCase{"mult -2", {-2, -4, -6, -8, -10, -12}},
    ConstantCase{"mult 10000", {10000, 20000, 30000, 40000, 50000, 60000}},
    ConstantCase{"div 4", {0.25, 0.5, 0.75, 1, 1.25, 1.5}},
    ConstantCase{"div 3", {1 * (1.0 / 3), 2 * (1.0 / 3), 3 * (1.0 / 3), 4 * (1.0 / 3), 5 * (1.0 / 3), 6 * (1.0 / 3)}}));

TEST_F(InterpreterTest, DivideByZeroMultipliesByInfinity)
{
    WriteImage(work.file("signs.fit"), 3, 1, {2, -3, 0});
    open(work.file("signs.fit"));
    EXPECT_EQ(run("div 0"), "     image has been divided by constant");
    const ImageGrid& grid = context().imageA.grid;
    EXPECT_EQ(grid[0][0], Inf);
    EXPECT_EQ(grid[1][0], -Inf);
    EXPECT_TRUE(std::isnan(grid[2][0]));
    const std::string stat = run("stat");
    EXPECT_EQ(stat.substr(0, stat.find('\r')), "     min = -inf");
}

// ---------------------------------------------------------------------------------------
// Image-with-image commands.

TEST_F(InterpreterTest, ImageCommandsCombinePixelByPixel)
{
    WriteImage(work.file("b.fit"), 3, 2, {2, 0, 4, -1, 5, 0.5});
    context().settings.ZeroDivisionValue = 99;
    struct Case {
        const char* command;
        std::vector<double> expected;
    };
    const Case cases[] = {
        {"add (b)", {3, 2, 7, 3, 10, 6.5}},
        {"sub (b)", {-1, 2, -1, 5, 0, 5.5}},
        {"mult (b)", {2, 0, 12, -4, 25, 3}},
        {"div (b)", {0.5, 99, 0.75, -4, 1, 12}},
        {"div (b.fit)", {0.5, 99, 0.75, -4, 1, 12}},
        {"add (b", {3, 2, 7, 3, 10, 6.5}}, // closing parenthesis missing
        {"add (b) and more", {3, 2, 7, 3, 10, 6.5}},
    };
    for (const Case& c : cases) {
        tc.displaySink.changed = 0;
        open(work.file("a.fit"));
        run(c.command);
        EXPECT_EQ(RowMajor(context().imageA.grid), c.expected) << c.command;
        EXPECT_EQ(tc.displaySink.changed, 1) << c.command;
        EXPECT_EQ(RowMajor(context().imageB.grid), (std::vector<double>{2, 0, 4, -1, 5, 0.5})) << "Image B keeps the file";
    }
    EXPECT_TRUE(tc.messages.texts.empty());
}

TEST_F(InterpreterTest, ImagePathsResolveAgainstTheWorkingDirectoryWithBlanksKept)
{
    // (CFITSIO drops trailing blanks of a name it opens, so only the leading one is tried
    // on disk; ResolveImagePath keeps both, see below.)
    WriteConstantImage(work.file(" b.fit"), 3, 2, 10.0);
    WriteConstantImage(work.file("c.fits"), 3, 2, 20.0);
    TempDir other;
    WriteConstantImage(other.file("d.fit"), 3, 2, 30.0);
    open(work.file("a.fit"));

    EXPECT_EQ(run("add ( b.fit)"), "     two images have been added");
    EXPECT_EQ(context().imageA.grid[0][0], 11);
    EXPECT_EQ(run("add (c.fits)"), "     two images have been added");
    EXPECT_EQ(context().imageA.grid[0][0], 31);
    EXPECT_EQ(run("add (" + other.file("d.fit") + ")"), "     two images have been added");
    EXPECT_EQ(context().imageA.grid[0][0], 61);
    EXPECT_TRUE(tc.messages.texts.empty());
}

TEST_F(InterpreterTest, SizeMismatchShowsTheMessageAndStillGivesTheNormalReply)
{
    WriteConstantImage(work.file("small.fit"), 2, 2, 5.0);
    open(work.file("a.fit"));
    const std::vector<char> cardsBefore = context().imageA.cards.block();
    const std::vector<std::uint8_t> rowsBefore = context().display.bitmap().rows;
    context().settings.HeadersCombo1 = 1;

    EXPECT_EQ(run("mult (small)"), "     two images have been multiplied");
    EXPECT_EQ(tc.messages.texts, (std::vector<std::string>{"Size of loaded image is not compatible with displayed image."}));
    EXPECT_EQ(tc.messages.paths, (std::vector<std::string>{work.file("small.fit")}));
    EXPECT_EQ(RowMajor(context().imageA.grid), (std::vector<double>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(context().imageA.cards.block(), cardsBefore) << "no header option without a combination";
    EXPECT_EQ(context().display.bitmap().rows, rowsBefore);
    EXPECT_EQ(tc.displaySink.changed, 0);
}

TEST_F(InterpreterTest, UnreadableImageBLeavesImageAUnchanged)
{
    WriteConstantImage(work.file("b.fit"), 3, 2, 2.0);
    open(work.file("a.fit"));
    ASSERT_EQ(run("add (b)"), "     two images have been added");
    ASSERT_EQ(context().imageA.grid[0][0], 3);

    // Image B still holds b.fit; the missing file must not add b.fit a second time.
    EXPECT_EQ(run("add (missing)"), "     two images have been added");
    ASSERT_FALSE(tc.messages.texts.empty());
    EXPECT_EQ(tc.messages.texts.back(), "Error while reading image size");
    EXPECT_EQ(RowMajor(context().imageA.grid), (std::vector<double>{3, 4, 5, 6, 7, 8}));
}

TEST_F(InterpreterTest, HeaderOptionDecidesWhoseCardsImageAKeeps)
{
    WriteImage(work.file("b.fit"), 3, 2, {1, 1, 1, 1, 1, 1}, {"FROMB   = 'yes'"});
    HeaderCards cardsOfB;
    ASSERT_EQ(readFitsHeaderCards(work.file("b.fit"), cardsOfB), FitsError::None);
    HeaderCards cardsOfA;
    ASSERT_EQ(readFitsHeaderCards(work.file("a.fit"), cardsOfA), FitsError::None);

    struct Case {
        int option;
        const HeaderCards* cards;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {-1, &cardsOfA, {}},
        {0, &cardsOfA, {}},
        {1, &cardsOfB, {}},
        {2, &cardsOfA, {"Header option not yet implemented, Image A headers will be used"}},
        {7, &cardsOfA, {"Header option not yet implemented, Image A headers will be used"}},
    };
    for (const Case& c : cases) {
        tc.messages.texts.clear();
        open(work.file("a.fit"));
        context().settings.HeadersCombo1 = c.option;
        EXPECT_EQ(run("sub (b)"), "     image difference has been calculated");
        EXPECT_EQ(RowMajor(context().imageA.grid), (std::vector<double>{0, 1, 2, 3, 4, 5})) << "option " << c.option;
        EXPECT_EQ(context().imageA.cards.block(), c.cards->block()) << "option " << c.option;
        EXPECT_EQ(tc.messages.texts, c.messages) << "option " << c.option;
    }
}

// ---------------------------------------------------------------------------------------
// List commands.

class ListCommandTest : public InterpreterTest {
protected:
    // A list labelled "[name] = folder" holding the given files, all selected.
    void addList(const std::string& name, const TempDir& folder, const std::vector<std::string>& files)
    {
        const TreeItem list = context().lists.InsertList("[" + name + "] = " + folder.path().string());
        for (const std::string& file : files)
            context().lists.InsertFile(list, file);
    }

    // A folder with n images of 2 x 1 pixels, image i holding values[i] everywhere.
    void writeFrames(const TempDir& folder, const std::vector<double>& values)
    {
        for (std::size_t i = 0; i < values.size(); ++i)
            WriteConstantImage(folder.file("f" + std::to_string(i) + ".fit"), 2, 1, values[i]);
    }
    std::vector<std::string> frameNames(std::size_t n)
    {
        std::vector<std::string> names;
        for (std::size_t i = 0; i < n; ++i)
            names.push_back("f" + std::to_string(i) + ".fit");
        return names;
    }

    TempDir frames;
};

TEST_F(ListCommandTest, EachMethodReplacesImageAWithItsResult)
{
    writeFrames(frames, {1, 9, 4, 2, 100});
    addList("L", frames, frameNames(5));
    open(work.file("a.fit"));

    EXPECT_EQ(run("median [L]"), "     median image has been calculated");
    EXPECT_EQ(RowMajor(context().imageA.grid), (std::vector<double>{4, 4}));
    EXPECT_EQ(run("mean [L]"), "     mean image has been calculated");
    EXPECT_EQ(RowMajor(context().imageA.grid), (std::vector<double>{23.2, 23.2}));
    EXPECT_EQ(run("minmaxrej [L]"), "     co-added image has been calculated with min-max rejection");
    EXPECT_EQ(RowMajor(context().imageA.grid), (std::vector<double>{5, 5}));
    EXPECT_TRUE(context().display.isImageDisplayed());
    EXPECT_TRUE(tc.messages.texts.empty());
}

TEST_F(ListCommandTest, NameIsTheBracketedTextExactly)
{
    TempDir other;
    writeFrames(frames, {3});
    WriteConstantImage(other.file("f0.fit"), 2, 1, 8.0);
    addList("my list", frames, frameNames(1));
    addList("x", other, {"f0.fit"});

    EXPECT_EQ(run("median [my list]"), "     median image has been calculated");
    EXPECT_EQ(context().imageA.grid[0][0], 3);
    EXPECT_EQ(run("median [x"), "     median image has been calculated"); // no "]": x to the end
    EXPECT_EQ(context().imageA.grid[0][0], 8);
    EXPECT_EQ(run("mean [x] trailing text"), "     mean image has been calculated");
    EXPECT_EQ(run("median [my  list]"), "     list name not recognized !");
    EXPECT_EQ(run("median [my list ]"), "     list name not recognized !");
    EXPECT_EQ(run("median [X]"), "     list name not recognized !");
    EXPECT_EQ(run("median []"), "     list name not recognized !");
}

TEST_F(ListCommandTest, TwoListsOfOneNameTheLaterIsUsed)
{
    TempDir second;
    writeFrames(frames, {1});
    WriteConstantImage(second.file("f0.fit"), 2, 1, 2.0);
    addList("TWIN", frames, frameNames(1));
    addList("OTHER", frames, frameNames(1));
    addList("TWIN", second, {"f0.fit"});
    EXPECT_EQ(FindListByName(context().lists, "TWIN"), 3);
    EXPECT_EQ(run("mean [TWIN]"), "     mean image has been calculated");
    EXPECT_EQ(RowMajor(context().imageA.grid), (std::vector<double>{2, 2}));
}

TEST_F(ListCommandTest, TooFewImagesForRejection)
{
    writeFrames(frames, {1, 2, 3, 4});
    addList("TWO", frames, frameNames(2));
    addList("FOUR", frames, frameNames(4));
    open(work.file("a.fit"));
    EXPECT_EQ(run("minmaxrej [TWO]"), "     min-max rejection requires at least 3 images!");
    EXPECT_EQ(run("sigmaclip [FOUR] 3 5"), "     sigma clipping requires at least 5 images!");
    EXPECT_EQ(RowMajor(context().imageA.grid), (std::vector<double>{1, 2, 3, 4, 5, 6})) << "Image A untouched";
    EXPECT_EQ(run("minmaxrej [FOUR]"), "     co-added image has been calculated with min-max rejection");
    EXPECT_EQ(RowMajor(context().imageA.grid), (std::vector<double>{2.5, 2.5}));
}

TEST_F(ListCommandTest, SigmaClipReadsKappaAndIterationsAsTokensTwoAndThree)
{
    // Seven frames with one far outlier: with kappa 1.5 and 3 iterations the outlier goes;
    // with kappa 0 and 0 iterations (no numbers given) nothing is clipped.
    writeFrames(frames, {10, 11, 9, 10, 11, 9, 1000});
    addList("S", frames, frameNames(7));

    const auto resultOf = [this](const std::string& command) {
        EXPECT_EQ(run(command), "     co-added image has been calculated with sigma clipping") << command;
        return RowMajor(context().imageA.grid);
    };
    const std::vector<double> none = resultOf("sigmaclip [S] 0 0");
    EXPECT_EQ(resultOf("sigmaclip [S]"), none);
    EXPECT_EQ(resultOf("sigmaclip [S] abc xyz"), none);
    EXPECT_EQ(resultOf("sigmaclip [S]  1.5 3"), resultOf("sigmaclip [S] 0 1")) << "two blanks: token 2 is empty, token 3 is 1.5";
    const std::vector<double> clipped = resultOf("sigmaclip [S] 1.5 3");
    EXPECT_EQ(clipped, (std::vector<double>{10, 10}));
    EXPECT_NE(clipped, none);
    EXPECT_EQ(resultOf("sigmaclip [S] 1.5 3 extra"), clipped);
}

TEST_F(ListCommandTest, FramesLeftOutAreCountedAndNamedOnASecondLine)
{
    writeFrames(frames, {2, 4});
    // One frame left out: its name. Six left out: the first five, then "...".
    addList("One", frames, {"f0.fit", "gone.fit", "f1.fit"});
    addList("Many", frames, {"f0.fit", "b1.fit", "b2.fit", "f1.fit", "b3.fit", "b4.fit", "b5.fit", "b6.fit"});
    EXPECT_EQ(run("mean [One]"), "     mean image has been calculated\r\n"
                                 "     2 of 3 frames combined; left out: gone.fit");
    EXPECT_EQ(RowMajor(context().imageA.grid), (std::vector<double>{3, 3}));
    EXPECT_EQ(run("median [Many]"), "     median image has been calculated\r\n"
                                    "     2 of 8 frames combined; left out: b1.fit, b2.fit, b3.fit, b4.fit, b5.fit, ...");
    // Every frame used: the reply is the one line.
    addList("All", frames, {"f0.fit", "f1.fit"});
    EXPECT_EQ(run("mean [All]"), "     mean image has been calculated");
    // Refused for too few frames once the unreadable ones are out: no count.
    EXPECT_EQ(run("minmaxrej [One]"), "     min-max rejection requires at least 3 images!");
}

// A front end that runs the long part of a command in place, as the user asks it to stop
// after `stopAfter` progress reports (never when negative); it records what it was given.
class StoppingRunner final : public LongWorkRunner, public Feedback {
public:
    explicit StoppingRunner(Feedback& messages) : messages_(messages) {}
    void runLongWork(std::string_view name, const std::function<void(Feedback&)>& work) override
    {
        names.emplace_back(name);
        reports = 0;
        work(*this);
    }
    void showError(const std::string& text) override { messages_.showError(text); }
    void showProgress(const std::string&, double) override { ++reports; }
    bool cancelRequested() const override { return stopAfter >= 0 && reports >= stopAfter; }

    int stopAfter = -1;
    int reports = 0;
    std::vector<std::string> names;

private:
    Feedback& messages_;
};

// A co-addition the user stops leaves Image A, its cards and its picture as they were, and
// says so; the work goes through the front end's runner, named by the command's row.
TEST_F(ListCommandTest, StoppedCoadditionChangesNothingAndSaysSo)
{
    writeFrames(frames, {1, 9, 4, 2, 100});
    addList("L", frames, frameNames(5));
    open(work.file("a.fit"));
    StoppingRunner runner(tc.messages);
    context().longWork = &runner;
    const test::RecordSnapshot before = test::TakeSnapshot(context().imageA);
    const int created = tc.displaySink.created;
    const int changed = tc.displaySink.changed;
    for (const int stopAfter : {0, 2, 6}) {
        runner.stopAfter = stopAfter;
        for (const char* command : {"median [L]", "mean [L]", "minmaxrej [L]", "sigmaclip [L] 3 5"})
            EXPECT_EQ(run(command), "     co-addition cancelled") << command << ", stop after " << stopAfter;
    }
    EXPECT_EQ(test::TakeSnapshot(context().imageA), before);
    EXPECT_EQ(tc.displaySink.created, created);
    EXPECT_EQ(tc.displaySink.changed, changed);
    EXPECT_TRUE(context().imagePresent());
    EXPECT_TRUE(tc.messages.texts.empty());
    EXPECT_EQ(runner.names, std::vector<std::string>(12, "co-addition"));

    // Not stopped, the same road gives the result; commands without a long part never
    // reach the runner.
    runner.stopAfter = -1;
    EXPECT_EQ(run("median [L]"), "     median image has been calculated");
    EXPECT_EQ(RowMajor(context().imageA.grid), (std::vector<double>{4, 4}));
    EXPECT_GT(runner.reports, 0);
    EXPECT_EQ(run("stat"), "     min = 4\r\n     max = 4\r\n     median = 4\r\n     mean = 4\r\n     sigma = 0");
    EXPECT_EQ(runner.names.size(), 13u);
}

TEST_F(ListCommandTest, ListWithoutSelectedFileChangesNothing)
{
    writeFrames(frames, {1, 2});
    addList("L", frames, frameNames(2));
    for (int k = 1; k <= 2; ++k)
        context().lists.DeselectFile(context().lists.FileItem(1, k));
    open(work.file("a.fit"));
    for (const char* command : {"median [L]", "mean [L]", "minmaxrej [L]", "sigmaclip [L] 3 5"})
        EXPECT_EQ(run(command), "     list has no selected image !") << command;
    EXPECT_EQ(RowMajor(context().imageA.grid), (std::vector<double>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(tc.messages.texts.empty());
}

TEST_F(ListCommandTest, UnreadableFirstSelectedFile)
{
    test::WriteFileBytes(frames.file("bad.fit"), "this is not a FITS file");
    writeFrames(frames, {1});
    addList("L", frames, {"bad.fit", "f0.fit"});
    open(work.file("a.fit"));
    EXPECT_EQ(run("mean [L]"), "     first selected image could not be read !");
    EXPECT_FALSE(tc.messages.texts.empty());
    EXPECT_EQ(RowMajor(context().imageA.grid), (std::vector<double>{1, 2, 3, 4, 5, 6}));
}

// ---------------------------------------------------------------------------------------
// Text functions.

TEST(InterpreterText, EnclosedArguments)
{
    struct Case {
        const char* text;
        const char* parenthesis;
        const char* bracket;
    };
    const Case cases[] = {
        {"add (a.fit)", "a.fit", "add (a.fit)"},
        {"add ( a.fit )", " a.fit ", "add ( a.fit )"},
        {"add (a.fit", "a.fit", "add (a.fit"},
        {"add a.fit)", "add a.fit", "add a.fit)"},
        {"(a)(b)", "a", "(a)(b)"},
        {"x)(y)", "y", "x)(y)"},
        {"median [WORK] 3 5", "median [WORK] 3 5", "WORK"},
        {"median [ WORK ]", "median [ WORK ]", " WORK "},
        {"[a][b]", "[a][b]", "a"},
        {"median [", "median [", ""},
        {"[]", "[]", ""},
        {"", "", ""},
        {"[PATH2] = /data/x (old)", "old", "PATH2"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParenthesisArgument(c.text), c.parenthesis) << c.text;
        EXPECT_EQ(BracketArgument(c.text), c.bracket) << c.text;
    }
}

TEST(InterpreterText, CommandTokens)
{
    struct Case {
        const char* text;
        int n;
        const char* token;
    };
    const Case cases[] = {
        {"sigmaclip [PATH2] 3 5", 0, "sigmaclip"},
        {"sigmaclip [PATH2] 3 5", 1, "[PATH2]"},
        {"sigmaclip [PATH2] 3 5", 2, "3"},
        {"sigmaclip [PATH2] 3 5", 3, "5"},
        {"sigmaclip [PATH2] 3 5", 4, "5"}, // fewer tokens: the last one
        {"sigmaclip [PATH2] 3 5", 9, "5"},
        {"sigmaclip [WORK]", 2, "[WORK]"},
        {"sigmaclip [WORK]", 3, "[WORK]"},
        {"a  b", 1, ""},
        {"a  b", 2, "b"},
        {"a b ", 2, ""},
        {"a b ", 3, ""},
        {" a", 0, ""},
        {" a", 1, "a"},
        {"", 0, ""},
        {"", 2, ""},
        {"one", 0, "one"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CommandToken(c.text, c.n), c.token) << "\"" << c.text << "\" token " << c.n;
}

TEST(InterpreterText, ResolveImagePath)
{
    struct Case {
        const char* argument;
        const char* path;
    };
    const Case cases[] = {
        {"flat", "/work dir/flat.fit"},
        {"flat.fits", "/work dir/flat.fits"},
        {"flat.", "/work dir/flat."},
        {" b.fit ", "/work dir/ b.fit "},
        {" b ", "/work dir/ b .fit"},
        {"", "/work dir/.fit"},
        {"sub/flat.fit", "sub/flat.fit"},
        {"sub/flat", "sub/flat"},
        {"sub\\flat.fit", "sub\\flat.fit"},
        {"/abs/flat", "/abs/flat"},
        {"D:\\obs\\flat.fit", "D:\\obs\\flat.fit"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ResolveImagePath(c.argument, "/work dir"), c.path) << c.argument;
    EXPECT_EQ(ResolveImagePath("flat", ""), "/flat.fit");
}

TEST(InterpreterText, FindListByNameWalksEveryList)
{
    ImageListTree lists;
    EXPECT_EQ(FindListByName(lists, "WORK"), 0);
    EXPECT_EQ(FindListByName(lists, ""), 0);
    lists.InsertList("[WORK] = /a");
    lists.InsertList("[PATH] = /b");
    lists.InsertList("[WORK] = /c");
    lists.InsertList("[PATH2] = /d [x]");
    lists.InsertList("no brackets");
    EXPECT_EQ(FindListByName(lists, "WORK"), 3);
    EXPECT_EQ(FindListByName(lists, "PATH"), 2);
    EXPECT_EQ(FindListByName(lists, "PATH2"), 4);
    EXPECT_EQ(FindListByName(lists, "x"), 0);
    EXPECT_EQ(FindListByName(lists, "no brackets"), 5);
    EXPECT_EQ(FindListByName(lists, "work"), 0);
    EXPECT_EQ(FindListByName(lists, "WORK "), 0);
}

} // namespace
} // namespace skyvane
