#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "image/ImageGrid.h"
#include "image/ImageRecord.h"
#include "processing/Arithmetic.h"
#include "support/TestSupport.h"

namespace skyvane {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

// A width x height grid filled column by column from values.
void Fill(ImageGrid& grid, int width, int height, const std::vector<double>& values)
{
    grid.resize(width, height);
    std::size_t i = 0;
    for (int x = 0; x < width; ++x)
        for (int y = 0; y < height; ++y)
            grid[x][y] = values.at(i++);
}

std::vector<double> Pixels(const ImageGrid& grid)
{
    std::vector<double> values;
    for (int x = 0; x < grid.width(); ++x)
        for (int y = 0; y < grid.height(); ++y)
            values.push_back(grid[x][y]);
    return values;
}

// Equal bit for bit, so that -0.0, 0.0 and the not-a-numbers are told apart.
bool SameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

::testing::AssertionResult SamePixels(const std::vector<double>& actual, const std::vector<double>& expected)
{
    if (actual.size() != expected.size())
        return ::testing::AssertionFailure() << actual.size() << " pixels, expected " << expected.size();
    for (std::size_t i = 0; i < actual.size(); ++i) {
        const bool bothNaN = std::isnan(actual[i]) && std::isnan(expected[i]);
        if (!bothNaN && !SameBits(actual[i], expected[i]))
            return ::testing::AssertionFailure() << "pixel " << i << " is " << actual[i] << ", expected " << expected[i];
    }
    return ::testing::AssertionSuccess();
}

TEST(ConstantArithmetic, AddSubtractMultiplyDivide)
{
    ImageGrid grid;
    Fill(grid, 2, 2, {10.0, -1.0, 0.0, 1e308});
    AddConstant(grid, -2.5); // "sub 2.5"
    EXPECT_TRUE(SamePixels(Pixels(grid), {7.5, -3.5, -2.5, 1e308}));

    Fill(grid, 3, 1, {6.0, -0.5, 1e308});
    MultiplyConstant(grid, 2.0);
    EXPECT_TRUE(SamePixels(Pixels(grid), {12.0, -1.0, Inf}));

    Fill(grid, 1, 3, {10.0, 1.0, -7.0});
    MultiplyConstant(grid, 1.0 / 4.0); // "div 4"
    EXPECT_TRUE(SamePixels(Pixels(grid), {2.5, 0.25, -1.75}));

    Fill(grid, 1, 2, {1e308, -1e308});
    AddConstant(grid, 1e308);
    EXPECT_TRUE(SamePixels(Pixels(grid), {Inf, 0.0}));
}

TEST(ConstantArithmetic, DivideByThreeIsMultiplicationByTheNearestThird)
{
    std::vector<double> values;
    for (int i = 1; i <= 200; ++i)
        values.push_back(i);
    ImageGrid grid;
    Fill(grid, 20, 10, values);
    const double third = 1.0 / 3.0;
    MultiplyConstant(grid, third);
    int differFromDivision = 0;
    const std::vector<double> result = Pixels(grid);
    for (std::size_t i = 0; i < values.size(); ++i) {
        volatile double v = values[i]; // keep the compiler from folding either form
        EXPECT_TRUE(SameBits(result[i], third * v)) << values[i];
        if (!SameBits(result[i], v / 3.0))
            ++differFromDivision;
    }
    // The multiplication is what "div 3" means, and it is not a division by 3: some
    // values land one bit away from the quotient.
    EXPECT_GT(differFromDivision, 0);
}

TEST(ConstantArithmetic, DivideByZeroConstantGivesInfinitiesAndNaN)
{
    ImageGrid grid;
    Fill(grid, 3, 1, {5.0, -5.0, 0.0});
    volatile double zero = 0.0; // "div 0": 1 / c is not tested for c = 0
    MultiplyConstant(grid, 1.0 / zero);
    const std::vector<double> result = Pixels(grid);
    EXPECT_EQ(result[0], Inf);
    EXPECT_EQ(result[1], -Inf);
    EXPECT_TRUE(std::isnan(result[2]));
}

struct CombineCase {
    ImageOperation operation;
    double a;
    double b;
    double expected;
    const char* why;
};

TEST(CombineWithImageB, EveryOperationPixelByPixel)
{
    const double zero = -99.5; // the zero-division value
    const CombineCase cases[] = {
        {ImageOperation::Add, 6.0, 2.0, 8.0, "b + a"},
        {ImageOperation::Multiply, 6.0, 2.0, 12.0, "b x a"},
        {ImageOperation::Divide, 6.0, 2.0, 3.0, "a / b"},
        {ImageOperation::Subtract, 6.0, 2.0, 4.0, "a - b"},
        {ImageOperation::Divide, 4.0, 0.0, zero, "b is 0"},
        {ImageOperation::Divide, 0.0, 0.0, zero, "0 / 0 is the zero value, not not-a-number"},
        {ImageOperation::Divide, 4.0, -0.0, zero, "b is -0"},
        {ImageOperation::Divide, 4.0, NaN, NaN, "b is missing: so is the quotient"},
        {ImageOperation::Divide, NaN, 2.0, NaN, "a not-a-number is divided"},
        {ImageOperation::Divide, NaN, 0.0, NaN, "a missing pixel stays missing even where b is 0"},
        {ImageOperation::Divide, 1.0, Inf, 0.0, "infinity is an ordinary divisor"},
        {ImageOperation::Divide, 1.0, 3.0, 1.0 / 3.0, "plain quotient"},
        {ImageOperation::Divide, 1e308, 1e-308, Inf, "quotient overflows"},
        {ImageOperation::Divide, -1.0, 4.9e-324, -Inf, "tiniest divisor is not zero"},
        {ImageOperation::Add, 4.0, NaN, NaN, "add has no special case"},
        {ImageOperation::Multiply, 4.0, NaN, NaN, "multiply has no special case"},
        {ImageOperation::Subtract, 4.0, NaN, NaN, "subtract has no special case"},
        {ImageOperation::Multiply, 4.0, 0.0, 0.0, "multiply by zero"},
        {ImageOperation::Multiply, -4.0, 0.0, -0.0, "sign of a zero product"},
        {ImageOperation::Add, 1e308, 1e308, Inf, "sum overflows"},
        {ImageOperation::Subtract, -1e308, 1e308, -Inf, "difference overflows"},
        {ImageOperation::Subtract, 2.0, 6.0, -4.0, "a - b, not b - a"},
    };
    for (const CombineCase& c : cases) {
        ImageGrid a;
        ImageGrid b;
        Fill(a, 1, 1, {c.a});
        Fill(b, 1, 1, {c.b});
        CombineWithImageB(c.operation, a, b, zero);
        EXPECT_TRUE(SamePixels(Pixels(a), {c.expected})) << c.why;
        EXPECT_TRUE(SamePixels(Pixels(b), {c.b})) << "Image B is only read: " << c.why;
    }
}

TEST(CombineWithImageB, PairsPixelsAtTheSameColumnAndRow)
{
    ImageGrid a;
    ImageGrid b;
    // 3 columns x 2 rows; a pixel at (x, y) = 10 x + y, b pixel = 100 x + 1000 y.
    Fill(a, 3, 2, {0, 1, 10, 11, 20, 21});
    Fill(b, 3, 2, {0, 1000, 100, 1100, 200, 1200});
    CombineWithImageB(ImageOperation::Subtract, a, b, 0.0);
    EXPECT_EQ(a[0][1], 1.0 - 1000.0);
    EXPECT_EQ(a[2][0], 20.0 - 200.0);
    EXPECT_EQ(a[2][1], 21.0 - 1200.0);
    EXPECT_EQ(a[1][1], 11.0 - 1100.0);

    Fill(a, 3, 2, {0, 1, 10, 11, 20, 21});
    CombineWithImageB(ImageOperation::Divide, a, b, 7.0);
    EXPECT_TRUE(SamePixels(Pixels(a), {7.0, 1.0 / 1000.0, 10.0 / 100.0, 11.0 / 1100.0, 20.0 / 200.0, 21.0 / 1200.0}));
}

TEST(CombineWithImageB, SizeMismatchLeavesImageAUnchanged)
{
    ImageGrid a;
    ImageGrid b;
    Fill(a, 2, 3, {1, 2, 3, 4, 5, 6});
    Fill(b, 3, 2, {1, 1, 1, 1, 1, 1}); // same pixel count, other shape
    CombineWithImageB(ImageOperation::Add, a, b, 0.0);
    EXPECT_TRUE(SamePixels(Pixels(a), {1, 2, 3, 4, 5, 6}));
    ImageGrid small;
    Fill(small, 1, 1, {1});
    CombineWithImageB(ImageOperation::Divide, a, small, 0.0);
    EXPECT_TRUE(SamePixels(Pixels(a), {1, 2, 3, 4, 5, 6}));
}

TEST(Arithmetic, EmptyGridsAreLeftUnchanged)
{
    const int shapes[][2] = {{0, 0}, {0, 5}, {5, 0}};
    for (const auto& shape : shapes) {
        ImageGrid a;
        ImageGrid b;
        a.resize(shape[0], shape[1]);
        b.resize(shape[0], shape[1]);
        AddConstant(a, 1.0);
        MultiplyConstant(a, 2.0);
        for (ImageOperation op : {ImageOperation::Add, ImageOperation::Multiply, ImageOperation::Divide, ImageOperation::Subtract})
            CombineWithImageB(op, a, b, 1.0);
        EXPECT_EQ(a.width(), shape[0]);
        EXPECT_EQ(a.height(), shape[1]);
        EXPECT_EQ(a.pixelCount(), 0);
    }
    // An empty Image B against a non-empty Image A is a size mismatch: A stays as it was.
    ImageGrid a;
    ImageGrid empty;
    Fill(a, 2, 1, {3.0, 4.0});
    CombineWithImageB(ImageOperation::Divide, a, empty, 9.0);
    EXPECT_TRUE(SamePixels(Pixels(a), {3.0, 4.0}));
}

ImageRecord RecordWithCards(const std::vector<std::string>& cards)
{
    ImageRecord record;
    record.grid.resize(1, 1);
    for (const std::string& card : cards)
        record.cards.append(card);
    return record;
}

std::vector<std::string> Cards(const ImageRecord& record)
{
    std::vector<std::string> cards;
    for (int i = 0; i < record.cards.count(); ++i)
        cards.emplace_back(record.cards.card(i));
    return cards;
}

TEST(ApplyHeaderOption, OneCopiesImageBsCards)
{
    const std::vector<std::string> aCards = {"SIMPLE  =                    T", "BITPIX  =                  -64", "OBJECT  = 'A'"};
    const std::vector<std::vector<std::string>> bCardSets = {
        {"SIMPLE  =                    T"},
        {"SIMPLE  =                    T", "BITPIX  =                   16", "NAXIS   =                    2", "OBJECT  = 'B'", "HISTORY b"},
        {},
    };
    for (const auto& bCards : bCardSets) {
        ImageRecord a = RecordWithCards(aCards);
        const ImageRecord b = RecordWithCards(bCards);
        EXPECT_EQ(ApplyHeaderOption(1, a, b), HeaderOptionResult::Copied);
        EXPECT_EQ(a.cards.count(), static_cast<int>(bCards.size()));
        EXPECT_EQ(Cards(a), Cards(b));
        EXPECT_EQ(a.cards.block(), b.cards.block()) << "same 81-byte records";
    }
}

TEST(ApplyHeaderOption, OtherOptionsKeepImageAsCards)
{
    const std::vector<std::string> aCards = {"SIMPLE  =                    T", "OBJECT  = 'A'"};
    struct Case {
        int option;
        bool message;
    } cases[] = {{0, false}, {-1, false}, {-2147483647 - 1, false}, {2, true}, {3, true}, {2147483647, true}};
    for (const Case& c : cases) {
        ImageRecord a = RecordWithCards(aCards);
        const ImageRecord b = RecordWithCards({"OBJECT  = 'B'"});
        const std::vector<char> before = a.cards.block();
        EXPECT_EQ(ApplyHeaderOption(c.option, a, b), c.message ? HeaderOptionResult::NotImplemented : HeaderOptionResult::Kept)
            << "option " << c.option;
        EXPECT_EQ(a.cards.block(), before) << "option " << c.option;
    }
}

} // namespace
} // namespace skyvane
