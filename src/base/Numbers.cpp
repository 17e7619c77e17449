#include "base/Numbers.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>

namespace skyvane {

// Everything here goes through std::to_chars / std::from_chars or plain character code:
// they never consult the process locale, so a German desktop still writes and reads "2.5".

std::string FormatInteger(std::int64_t value)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

namespace {

// At most this many significant digits are generated from a double; 17 always round-trip.
constexpr int kMaxGeneratedDigits = 17;

// Removes trailing zeros of a fraction, and the decimal point when nothing is left of it.
void trimFraction(std::string& text)
{
    if (text.find('.') == std::string::npos) {
        return;
    }
    while (!text.empty() && text.back() == '0') {
        text.pop_back();
    }
    if (!text.empty() && text.back() == '.') {
        text.pop_back();
    }
}

} // namespace

std::string FormatReal(double value, int digits)
{
    if (std::isnan(value)) {
        return "nan";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    // A precision below 1 means one significant digit, as in the general format.
    if (digits < 1) {
        digits = 1;
    }
    const int generated = digits < kMaxGeneratedDigits ? digits : kMaxGeneratedDigits;

    // Correctly rounded scientific form: [-]d.ddd...e[+-]xx. The exponent it carries is
    // already the one after rounding (99999.5 at 5 digits comes out as 1.0000e+05).
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                      std::chars_format::scientific, generated - 1);
    const std::string_view scientific(buffer, static_cast<std::size_t>(result.ptr - buffer));

    const bool negative = scientific.front() == '-'; // also for -0
    const std::size_t ePos = scientific.find('e');
    std::string mantissaDigits; // the `generated` significant digits, no point
    for (std::size_t i = negative ? 1 : 0; i < ePos; ++i) {
        if (scientific[i] != '.') {
            mantissaDigits.push_back(scientific[i]);
        }
    }
    int exponent = 0;
    {
        const char* first = scientific.data() + ePos + 1;
        const char* last = scientific.data() + scientific.size();
        const bool negativeExponent = *first == '-';
        ++first; // to_chars always writes the exponent's sign
        std::from_chars(first, last, exponent);
        if (negativeExponent) {
            exponent = -exponent;
        }
    }

    std::string text;
    if (negative) {
        text.push_back('-');
    }

    if (exponent < -4 || exponent >= digits) {
        text.push_back(mantissaDigits[0]);
        if (mantissaDigits.size() > 1) {
            text.push_back('.');
            text.append(mantissaDigits, 1, std::string::npos);
            trimFraction(text);
        }
        text.push_back('e');
        text.push_back(exponent < 0 ? '-' : '+');
        const std::string magnitude = FormatInteger(exponent < 0 ? -exponent : exponent);
        if (magnitude.size() < 3) {
            text.append(3 - magnitude.size(), '0');
        }
        text += magnitude;
        return text;
    }

    if (exponent < 0) {
        // 0.000ddd: -exponent - 1 zeros after the point, then the digits.
        text += "0.";
        text.append(static_cast<std::size_t>(-exponent - 1), '0');
        text += mantissaDigits;
    } else {
        // exponent + 1 integer digits; digits beyond the generated ones are zeros.
        const std::size_t integerDigits = static_cast<std::size_t>(exponent) + 1;
        if (integerDigits >= mantissaDigits.size()) {
            text += mantissaDigits;
            text.append(integerDigits - mantissaDigits.size(), '0');
        } else {
            text.append(mantissaDigits, 0, integerDigits);
            text.push_back('.');
            text.append(mantissaDigits, integerDigits, std::string::npos);
        }
    }
    trimFraction(text);
    return text;
}

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::size_t skipBlanks(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    return i;
}

} // namespace

double ParseReal(std::string_view text)
{
    std::size_t i = skipBlanks(text);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }

    // Collect the number in the one spelling std::from_chars accepts: digits, ".", digits,
    // "e", exponent. Leading zeros of the integer part are dropped so that the magnitude
    // estimate below sees the first significant digit.
    std::string integerPart;
    std::string fractionPart;
    const std::size_t integerStart = i;
    while (i < text.size() && isDigit(text[i])) {
        if (!(integerPart.empty() && text[i] == '0')) {
            integerPart.push_back(text[i]);
        }
        ++i;
    }
    const bool hadIntegerDigits = i > integerStart;
    bool hadFractionDigits = false;
    if (i < text.size() && text[i] == '.') {
        std::size_t j = i + 1;
        while (j < text.size() && isDigit(text[j])) {
            fractionPart.push_back(text[j]);
            ++j;
        }
        hadFractionDigits = j > i + 1;
        if (hadIntegerDigits || hadFractionDigits) {
            i = j;
        }
    }
    if (!hadIntegerDigits && !hadFractionDigits) {
        return 0.0;
    }

    // The exponent counts only when digits follow its letter and optional sign. Its value
    // is capped: anything beyond a few thousand already means infinity or zero, and the
    // cap keeps the text short and the arithmetic from overflowing.
    constexpr std::int64_t kExponentCap = 100000;
    std::int64_t exponent = 0;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E' || text[i] == 'd' || text[i] == 'D')) {
        std::size_t j = i + 1;
        bool negativeExponent = false;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) {
            negativeExponent = text[j] == '-';
            ++j;
        }
        if (j < text.size() && isDigit(text[j])) {
            while (j < text.size() && isDigit(text[j])) {
                if (exponent < kExponentCap) {
                    exponent = exponent * 10 + (text[j] - '0');
                }
                ++j;
            }
            if (negativeExponent) {
                exponent = -exponent;
            }
        }
    }

    // Where the first significant digit stands, as a power of ten (roughly): used only to
    // tell overflow from underflow when from_chars reports the value out of range.
    std::int64_t magnitude = 0;
    if (!integerPart.empty()) {
        magnitude = static_cast<std::int64_t>(integerPart.size()) - 1;
    } else {
        const std::size_t firstNonZero = fractionPart.find_first_not_of('0');
        if (firstNonZero == std::string::npos) {
            return negative ? -0.0 : 0.0;
        }
        magnitude = -static_cast<std::int64_t>(firstNonZero) - 1;
    }
    magnitude += exponent;

    std::string normal = integerPart.empty() ? std::string("0") : integerPart;
    if (!fractionPart.empty()) {
        normal.push_back('.');
        normal += fractionPart;
    }
    normal.push_back('e');
    normal += FormatInteger(exponent);

    double value = 0.0;
    const auto result = std::from_chars(normal.data(), normal.data() + normal.size(), value,
                                        std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (result.ec != std::errc()) {
        value = 0.0;
    }
    return negative ? -value : value;
}

bool StartsWithNumber(std::string_view text)
{
    std::size_t i = skipBlanks(text);
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
    }
    return i < text.size() && isDigit(text[i]);
}

bool ParseWholeReal(std::string_view text, double& value)
{
    std::size_t i = skipBlanks(text);
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    std::size_t digits = 0;
    while (i < text.size() && isDigit(text[i])) {
        ++i;
        ++digits;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && isDigit(text[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) {
        return false;
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E' || text[i] == 'd' || text[i] == 'D')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        if (i == text.size() || !isDigit(text[i])) {
            return false; // a letter ParseReal would stop at
        }
        while (i < text.size() && isDigit(text[i])) {
            ++i;
        }
    }
    if (skipBlanks(text.substr(i)) != text.size() - i) {
        return false;
    }
    const double parsed = ParseReal(text);
    if (!std::isfinite(parsed)) {
        return false;
    }
    value = parsed;
    return true;
}

std::int32_t ParseInteger(std::string_view text)
{
    std::size_t i = skipBlanks(text);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate the magnitude in 64 bits and stop growing once it is past the 32-bit
    // range: the result saturates at INT32_MIN / INT32_MAX instead of wrapping.
    constexpr std::int64_t kLimit = std::int64_t{1} << 31;
    std::int64_t magnitude = 0;
    while (i < text.size() && isDigit(text[i])) {
        if (magnitude <= kLimit) {
            magnitude = magnitude * 10 + (text[i] - '0');
        }
        ++i;
    }
    std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max()) {
        value = std::numeric_limits<std::int32_t>::max();
    } else if (value < std::numeric_limits<std::int32_t>::min()) {
        value = std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(value);
}

} // namespace skyvane
