#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace skyvane {

// How numbers become text and text becomes numbers, everywhere in the program. None of
// these depend on the process locale: the decimal point is always ".".

// Optional "-", then the decimal digits without leading zeros; no grouping, no "+".
std::string FormatInteger(std::int64_t value);

// General format with `digits` significant digits and an exponent of at least three
// digits: exponential form when the decimal exponent after rounding is below -4 or at
// least `digits` (1.2346e+005), fixed form otherwise; trailing zeros of the fraction and a
// bare decimal point removed. At most 17 significant digits are generated (the 17th
// rounded); further requested digits are zeros. Negative values and -0 start with "-".
// Infinities and not-a-number are written "inf", "-inf" and "nan".
std::string FormatReal(double value, int digits);

// Leading white space, optional sign, digits with an optional fraction, an optional
// exponent introduced by e, E, d or D; reading stops at the first character that does not
// fit. No number at the start gives 0; too large gives +-infinity, too small 0.
double ParseReal(std::string_view text);

// Whether text starts with a number as ParseReal reads it (after blanks and a sign, a digit
// or a point followed by a digit). Where it does not, ParseReal gives 0 for want of a number.
bool StartsWithNumber(std::string_view text);

// Whether the whole text is one number as ParseReal reads it, with nothing but blanks
// before and after it, and of finite value; if so, value is that number. "", "abc",
// "nan", "inf", "0x10", "5 6" and "1e999" are not.
bool ParseWholeReal(std::string_view text, double& value);

// Leading white space, optional sign, decimal digits up to the first other character;
// 0 when there is no digit. Values beyond the 32-bit range saturate at its limits.
std::int32_t ParseInteger(std::string_view text);

} // namespace skyvane
