// The text of a float as Python prints it: the shortest decimal digits that read back to the same
// double, laid out in fixed notation for decimal exponents -4..15 and in exponent notation
// otherwise. Depends on nothing but the standard library, so every floor can use it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tw::py {

// Decimal digits without a point or trailing zeros ("0" only for zero) and the exponent e such
// that the value is d0.d1d2... x 10^e.
struct FloatDigits {
    std::string digits;
    std::int32_t exponent = 0;
};

// The shortest round-trip digits of |x| for a finite nonzero x; among the shortest digit strings
// the correctly rounded one.
FloatDigits float_shortest_digits(double x);
// The digits and exponent of a text in exponent notation ("1.50e-05"); a text without "e" or
// with an exponent that is no 32-bit integer is a broken invariant.
FloatDigits split_exponent_notation(std::string_view text);

// Repr mode: an integral value in fixed notation ends in ".0". Part mode (complex parts): no ".0".
enum class FloatTextMode : std::uint8_t { Repr, Part };

// The text of |x|: "nan", "inf", "0.0" / "0", fixed or exponent notation.
std::string float_text(double x, FloatTextMode mode);
// repr() and str() of a float: "-" when the sign bit is set (not for NaN), then the text.
std::string py_float_repr(double x);
// "-" for a negative non-NaN x, else "+" when `plus`, then the part-mode text.
std::string py_float_repr_signed(double x, bool plus);
// repr() of a complex number: "1j", "(1+2j)", "(-0+1j)".
std::string py_complex_repr(double real, double imag);

}  // namespace tw::py
