#include "base/Numbers.h"

#include <gtest/gtest.h>

#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <locale>
#include <random>
#include <string>

namespace skyvane {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kDenormMin = std::numeric_limits<double>::denorm_min();

std::uint64_t bitsOf(double v)
{
    return std::bit_cast<std::uint64_t>(v);
}

TEST(FormatInteger, WritesPlainDecimalDigits)
{
    struct Case {
        std::int64_t value;
        const char* text;
    };
    const Case cases[] = {
        {0, "0"},
        {7, "7"},
        {-1, "-1"},
        {1000000, "1000000"},
        {2147483647, "2147483647"},
        {-2147483647 - 1, "-2147483648"},
        {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
        {std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatInteger(c.value), c.text) << c.value;
    }
}

struct RealCase {
    double value;
    int digits;
    const char* text;
};

TEST(FormatReal, GeneralFormatWithThreeDigitExponent)
{
    const RealCase cases[] = {
        // Fixed form, trailing zeros and bare point removed.
        {12.5, 5, "12.5"},
        {-0.5, 5, "-0.5"},
        {0.0, 5, "0"},
        {1.0, 5, "1"},
        {2.5, 15, "2.5"},
        {1234.5678, 5, "1234.6"},
        {12345.0, 5, "12345"},
        {100000.0, 15, "100000"},
        {0.0001, 5, "0.0001"},
        {0.00012345, 5, "0.00012345"},
        {-3.0, 15, "-3"},
        // Exponential form once the exponent reaches the digit count or falls below -4.
        {100000.0, 5, "1e+005"},
        {123456.7, 5, "1.2346e+005"},
        {-123456.7, 5, "-1.2346e+005"},
        {0.000012345, 5, "1.2345e-005"},
        {0.00001, 5, "1e-005"},
        {1e100, 5, "1e+100"},
        {1e-100, 5, "1e-100"},
        {1.5e-300, 5, "1.5e-300"},
        {1e20, 17, "1e+020"},
        {1e15, 15, "1e+015"},
        {999999999999999.0, 15, "999999999999999"},
        // Rounding that carries into the next power of ten moves the exponent.
        {99999.5, 5, "1e+005"},
        {99999.4, 5, "99999"},
        {9.9999999, 5, "10"},
        {9.9999999, 1, "1e+001"},
        {0.000099999, 4, "0.0001"},
        {0.000099999, 5, "9.9999e-005"},
        {0.99999999, 3, "1"},
        // A precision below 1 counts as one digit.
        {123.0, 0, "1e+002"},
        {123.0, -5, "1e+002"},
        {4.0, 1, "4"},
        // Signed zero.
        {-0.0, 5, "-0"},
        {-0.0, 30, "-0"},
    };
    for (const RealCase& c : cases) {
        EXPECT_EQ(FormatReal(c.value, c.digits), c.text) << c.value << " at " << c.digits;
    }
}

TEST(FormatReal, AtMostSeventeenSignificantDigitsAreGenerated)
{
    const RealCase cases[] = {
        {0.5, 30, "0.5"},
        {0.1, 30, "0.10000000000000001"},
        {0.1, 17, "0.10000000000000001"},
        {0.1, 16, "0.1"},
        {0.1, 15, "0.1"},
        {0.3, 30, "0.29999999999999999"},
        {1.0 / 3.0, 30, "0.33333333333333331"},
        {2.0 / 3.0, 30, "0.66666666666666663"},
        {2.0 / 3.0, 15, "0.666666666666667"},
        // Digits beyond the seventeenth are zeros, in the integer part too.
        {1e20, 30, "100000000000000000000"},
        {123456789012345678901234567890.0, 30, "123456789012345680000000000000"},
        {1e30, 30, "1e+030"},
        {kMax, 5, "1.7977e+308"},
        {kMax, 17, "1.7976931348623157e+308"},
        {kMax, 30, "1.7976931348623157e+308"},
        {-kMax, 30, "-1.7976931348623157e+308"},
        {std::numeric_limits<double>::min(), 30, "2.2250738585072014e-308"},
        {kDenormMin, 5, "4.9407e-324"},
        {kDenormMin, 30, "4.9406564584124654e-324"},
        {kDenormMin, 1, "5e-324"},
        // A denormal carries fewer bits: 1e-310 is stored as 9.99999999999996945e-311.
        {1e-310, 30, "9.9999999999999694e-311"},
        {1e-310, 15, "9.99999999999997e-311"},
        {1e-310, 13, "1e-310"},
        {1000.0, 1000, "1000"},
    };
    for (const RealCase& c : cases) {
        EXPECT_EQ(FormatReal(c.value, c.digits), c.text) << c.value << " at " << c.digits;
    }
}

TEST(FormatReal, HugeDigitCountsStayInFixedFormUpToTheExponent)
{
    EXPECT_EQ(FormatReal(1e308, 400), "1" + std::string(308, '0'));
    EXPECT_EQ(FormatReal(2.5, std::numeric_limits<int>::max()), "2.5");
    EXPECT_EQ(FormatReal(kMax, std::numeric_limits<int>::max()), "17976931348623157" + std::string(292, '0'));
    EXPECT_EQ(FormatReal(1e-5, std::numeric_limits<int>::max()), "1.0000000000000001e-005");
}

TEST(FormatReal, InfinitiesAndNotANumber)
{
    EXPECT_EQ(FormatReal(kInf, 5), "inf");
    EXPECT_EQ(FormatReal(-kInf, 30), "-inf");
    EXPECT_EQ(FormatReal(kNaN, 5), "nan");
    EXPECT_EQ(FormatReal(-kNaN, 15), "nan");
}

TEST(FormatReal, ThirtyDigitsAlwaysReadBackToTheSameDouble)
{
    std::mt19937_64 random(20260512);
    std::uniform_int_distribution<std::uint64_t> anyBits;
    int checked = 0;
    while (checked < 20000) {
        const double v = std::bit_cast<double>(anyBits(random));
        if (!std::isfinite(v)) {
            continue;
        }
        const std::string text30 = FormatReal(v, 30);
        ASSERT_EQ(bitsOf(ParseReal(text30)), bitsOf(v)) << text30;
        ASSERT_EQ(bitsOf(ParseReal(FormatReal(v, 17))), bitsOf(v)) << text30;
        ++checked;
    }
    // Ordinary magnitudes as typed by a user.
    std::uniform_real_distribution<double> ordinary(-1e6, 1e6);
    for (int i = 0; i < 20000; ++i) {
        const double v = ordinary(random);
        ASSERT_EQ(bitsOf(ParseReal(FormatReal(v, 30))), bitsOf(v)) << FormatReal(v, 30);
    }
}

TEST(FormatReal, FifteenDigitsNeedNotReadBackExactly)
{
    // Why the menus compose constants with 30 digits: 0.1 + 0.2 shows as 0.3 with 15.
    const double v = 0.1 + 0.2;
    EXPECT_EQ(FormatReal(v, 15), "0.3");
    EXPECT_NE(ParseReal(FormatReal(v, 15)), v);
    EXPECT_EQ(FormatReal(v, 30), "0.30000000000000004");
    EXPECT_EQ(ParseReal(FormatReal(v, 30)), v);
}

struct ParseCase {
    const char* text;
    double value;
};

TEST(ParseReal, ReadsTheLongestNumberAtTheStart)
{
    const ParseCase cases[] = {
        {"3.5abc", 3.5},
        {" 42", 42.0},
        {"-.5", -0.5},
        {"1E-2", 0.01},
        {"2D1", 20.0},
        {"1d3", 1000.0},
        {"1D-1", 0.1},
        {"1e3", 1000.0},
        {"abc", 0.0},
        {"", 0.0},
        {"+8", 8.0},
        {"\t\n\v\f\r 7", 7.0},
        {"1e", 1.0},
        {"1e+", 1.0},
        {"1d-x", 1.0},
        {"1.", 1.0},
        {"1.e2", 100.0},
        {".5", 0.5},
        {".", 0.0},
        {".e2", 0.0},
        {"-", 0.0},
        {"+-3", 0.0},
        {"- 3", 0.0},
        {"1,5", 1.0},
        {"0x10", 0.0},
        {"inf", 0.0},
        {"nan", 0.0},
        {"007.25", 7.25},
        {"12 34", 12.0},
        {"0.10000000000000001", 0.1},
        {"0.30000000000000004", 0.1 + 0.2},
        {"1.7976931348623157e308", kMax},
        {"4.9406564584124654e-324", kDenormMin},
        {"3e-324", kDenormMin},
        {"2.5e-320", 2.5e-320},
        {"0e999999", 0.0},
        {"0.000e-999999", 0.0},
        {"0.0000000000000000000000000000001e31", 1.0},
        {"100000000000000000000000000000e-29", 1.0},
    };
    for (const ParseCase& c : cases) {
        EXPECT_EQ(bitsOf(ParseReal(c.text)), bitsOf(c.value)) << '"' << c.text << '"';
    }
}

TEST(ParseReal, OutOfRangeGivesInfinityOrZero)
{
    const ParseCase cases[] = {
        {"1e400", kInf},
        {"-1e400", -kInf},
        {"1.7976931348623159e308", kInf},
        {"1e99999999999999999999", kInf},
        {"-1D99999999999999999999", -kInf},
        {"1e-400", 0.0},
        {"2e-324", 0.0},
        {"1e-99999999999999999999", 0.0},
        {"-1e-400", -0.0},
    };
    for (const ParseCase& c : cases) {
        EXPECT_EQ(bitsOf(ParseReal(c.text)), bitsOf(c.value)) << '"' << c.text << '"';
    }
    // A long run of digits is still one number.
    EXPECT_EQ(ParseReal("1" + std::string(400, '0')), kInf);
    EXPECT_EQ(ParseReal("1" + std::string(300, '0')), 1e300);
    EXPECT_EQ(ParseReal("0." + std::string(400, '0') + "1e401"), 1.0);
}

TEST(ParseReal, NegativeZeroKeepsItsSign)
{
    EXPECT_TRUE(std::signbit(ParseReal("-0")));
    EXPECT_TRUE(std::signbit(ParseReal("  -0.000")));
    EXPECT_FALSE(std::signbit(ParseReal("0")));
}

TEST(ParseInteger, ReadsDigitsUpToTheFirstOtherCharacter)
{
    struct Case {
        const char* text;
        std::int32_t value;
    };
    const Case cases[] = {
        {"12.9", 12},
        {"-7x", -7},
        {"x7", 0},
        {"", 0},
        {" +15", 15},
        {"\t\r\n42", 42},
        {"007", 7},
        {"-0", 0},
        {"- 5", 0},
        {"+", 0},
        {"1e5", 1},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        // Beyond the 32-bit range the value saturates instead of wrapping.
        {"2147483648", 2147483647},
        {"-2147483649", -2147483647 - 1},
        {"4294967297", 2147483647},
        {"99999999999999999999999999", 2147483647},
        {"-99999999999999999999999999", -2147483647 - 1},
        {"00000000000000000000000012", 12},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseInteger(c.text), c.value) << '"' << c.text << '"';
    }
}

// Sets a German locale (decimal comma) for the whole process and restores "C" afterwards.
class GermanLocale : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* set = std::setlocale(LC_ALL, "de_DE.UTF-8");
        ASSERT_NE(set, nullptr) << "the de_DE.UTF-8 locale is not installed";
        std::locale::global(std::locale("de_DE.UTF-8"));
        // Proof that the locale is in force: the C library now writes a comma.
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.1f", 2.5);
        ASSERT_STREQ(buffer, "2,5");
    }
    void TearDown() override
    {
        std::locale::global(std::locale::classic());
        std::setlocale(LC_ALL, "C");
    }
};

TEST_F(GermanLocale, NumbersStillUseTheDecimalPoint)
{
    EXPECT_EQ(FormatReal(2.5, 15), "2.5");
    EXPECT_EQ(FormatReal(2.5, 5), "2.5");
    EXPECT_EQ(FormatReal(-1234.5678, 5), "-1234.6");
    EXPECT_EQ(FormatReal(123456.7, 5), "1.2346e+005");
    EXPECT_EQ(FormatReal(0.1, 30), "0.10000000000000001");
    EXPECT_EQ(FormatInteger(1234567), "1234567");
    EXPECT_EQ(ParseReal("2.5"), 2.5);
    EXPECT_EQ(ParseReal("2,5"), 2.0);
    EXPECT_EQ(ParseReal("-1.25e3"), -1250.0);
    EXPECT_EQ(ParseReal("2D1"), 20.0);
    EXPECT_EQ(ParseInteger("1.234"), 1);
    EXPECT_EQ(ParseReal(FormatReal(0.1 + 0.2, 30)), 0.1 + 0.2);
}

} // namespace
} // namespace skyvane
