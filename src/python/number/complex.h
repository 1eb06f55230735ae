// The arithmetic of complex numbers: Annex G multiplication, Smith's division with the recovery
// of infinities, integer and general powers. A real operand takes part as a real number, so
// signed zeros of the other operand survive.
#pragma once

#include <cstdint>

#include "python/heap/error.h"

namespace tw::py {

struct Complex {
    double re = 0, im = 0;
    friend bool operator==(const Complex&, const Complex&) = default;
};

struct ComplexOperand {
    enum Kind : std::uint8_t { Real, Complex, NotANumber } kind = NotANumber;
    double re = 0, im = 0;
    static ComplexOperand real(double x) { return {Real, x, 0}; }
    static ComplexOperand complex(double re, double im) { return {Complex, re, im}; }
};

enum class ComplexOp : std::uint8_t { Add = 0, Subtract = 1, Multiply = 2, Divide = 3, Power = 4 };

Complex complex_mul(Complex a, Complex b);
// Smith's division; `zero_divisor` is set (and the result meaningless) for a zero divisor.
Complex complex_div(Complex a, Complex b, bool& zero_divisor);
Complex complex_powi(Complex z, std::uint64_t n);

// The operation on two number operands (neither NotANumber): the complex result or
// ZeroDivisionError / OverflowError with Python's messages.
PyResult<Complex> py_complex_binary_op(ComplexOp op, ComplexOperand a, ComplexOperand b);
// hypot(re, im), or OverflowError "absolute value too large".
PyResult<double> py_complex_abs(double re, double im);

}  // namespace tw::py
