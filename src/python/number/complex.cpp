#include "python/number/complex.h"

#include <cmath>

namespace tw::py {

namespace {

double box(double x) { return std::copysign(std::isinf(x) ? 1.0 : 0.0, x); }
double nan_to_zero(double x) { return std::isnan(x) ? std::copysign(0.0, x) : x; }

PyError zero_to_negative_or_complex() {
    return PyError::zero_division_error("zero to a negative or complex power");
}

}  // namespace

Complex complex_mul(Complex z, Complex w) {
    double a = z.re, b = z.im, c = w.re, d = w.im;
    const double ac = a * c, bd = b * d, ad = a * d, bc = b * c;
    double x = ac - bd, y = ad + bc;
    if (std::isnan(x) && std::isnan(y)) {
        bool recalc = false;
        if (std::isinf(a) || std::isinf(b)) {
            a = box(a), b = box(b);
            c = nan_to_zero(c), d = nan_to_zero(d);
            recalc = true;
        }
        if (std::isinf(c) || std::isinf(d)) {
            c = box(c), d = box(d);
            a = nan_to_zero(a), b = nan_to_zero(b);
            recalc = true;
        }
        if (!recalc && (std::isinf(ac) || std::isinf(bd) || std::isinf(ad) || std::isinf(bc))) {
            a = nan_to_zero(a), b = nan_to_zero(b), c = nan_to_zero(c), d = nan_to_zero(d);
            recalc = true;
        }
        if (recalc) {
            x = INFINITY * (a * c - b * d);
            y = INFINITY * (a * d + b * c);
        }
    }
    return {x, y};
}

Complex complex_div(Complex z, Complex w, bool& zero_divisor) {
    zero_divisor = false;
    const double a = z.re, b = z.im, c = w.re, d = w.im;
    const double abs_c = std::fabs(c), abs_d = std::fabs(d);
    Complex r;
    if (abs_c >= abs_d) {
        if (abs_c == 0.0) {
            zero_divisor = true;
            return {};
        }
        const double ratio = d / c, den = c + d * ratio;
        r = {(a + b * ratio) / den, (b - a * ratio) / den};
    } else if (abs_d >= abs_c) {
        const double ratio = c / d, den = c * ratio + d;
        r = {(a * ratio + b) / den, (b * ratio - a) / den};
    } else {
        r = {NAN, NAN};
    }
    if (std::isnan(r.re) && std::isnan(r.im)) {
        if ((std::isinf(a) || std::isinf(b)) && std::isfinite(c) && std::isfinite(d)) {
            const double x = box(a), y = box(b);
            r = {INFINITY * (x * c + y * d), INFINITY * (y * c - x * d)};
        } else if ((std::isinf(c) || std::isinf(d)) && std::isfinite(a) && std::isfinite(b)) {
            const double x = box(c), y = box(d);
            r = {0.0 * (a * x + b * y), 0.0 * (b * x - a * y)};
        }
    }
    return r;
}

Complex complex_powi(Complex z, std::uint64_t n) {
    Complex result{1.0, 0.0};
    Complex power = z;
    while (n > 0) {
        if (n & 1) result = complex_mul(result, power);
        n >>= 1;
        if (n > 0) power = complex_mul(power, power);
    }
    return result;
}

PyResult<double> py_complex_abs(double re, double im) {
    const double r = std::hypot(re, im);
    if (std::isinf(r) && std::isfinite(re) && std::isfinite(im))
        return fail(PyError::overflow_error("absolute value too large"));
    return r;
}

PyResult<Complex> py_complex_binary_op(ComplexOp op, ComplexOperand a, ComplexOperand b) {
    const bool ar = a.kind == ComplexOperand::Real, br = b.kind == ComplexOperand::Real;
    switch (op) {
        case ComplexOp::Add:
            if (ar && br) return Complex{a.re + b.re, 0.0};
            if (ar) return Complex{a.re + b.re, b.im};
            if (br) return Complex{a.re + b.re, a.im};
            return Complex{a.re + b.re, a.im + b.im};
        case ComplexOp::Subtract:
            if (ar && br) return Complex{a.re - b.re, 0.0};
            if (ar) return Complex{a.re - b.re, -b.im};
            if (br) return Complex{a.re - b.re, a.im};
            return Complex{a.re - b.re, a.im - b.im};
        case ComplexOp::Multiply:
            if (ar && br) return complex_mul({a.re, 0}, {b.re, 0});
            if (ar) return Complex{b.re * a.re, b.im * a.re};
            if (br) return Complex{a.re * b.re, a.im * b.re};
            return complex_mul({a.re, a.im}, {b.re, b.im});
        case ComplexOp::Divide: {
            if (br) {
                if (b.re == 0.0) return fail(PyError::zero_division_error("division by zero"));
                if (!ar) return Complex{a.re / b.re, a.im / b.re};
            }
            bool zero = false;
            const Complex r = complex_div({a.re, ar ? 0.0 : a.im}, {b.re, br ? 0.0 : b.im}, zero);
            if (zero) return fail(PyError::zero_division_error("division by zero"));
            return r;
        }
        case ComplexOp::Power: break;
    }
    const Complex z{a.re, ar ? 0.0 : a.im};
    const double er = b.re, ei = br ? 0.0 : b.im;
    Complex r;
    if (ei == 0.0 && er == std::floor(er) && std::fabs(er) <= 100.0) {
        const auto n = std::int64_t(er);
        if (n >= 1) {
            r = complex_powi(z, std::uint64_t(n));
        } else {
            bool zero = false;
            r = complex_div({1.0, 0.0}, complex_powi(z, std::uint64_t(-n)), zero);
            if (zero) return fail(zero_to_negative_or_complex());
        }
    } else if (z.re != 0.0 || z.im != 0.0 || std::isnan(z.re) || std::isnan(z.im)) {
        const double vabs = std::hypot(z.re, z.im);
        double len = std::pow(vabs, er);
        const double at = std::atan2(z.im, z.re);
        double phase = at * er;
        if (ei != 0.0) {
            len /= std::exp(at * ei);
            phase += ei * std::log(vabs);
        }
        r = {len * std::cos(phase), len * std::sin(phase)};
    } else {
        if (ei != 0.0 || er < 0) return fail(zero_to_negative_or_complex());
        r = {0.0, 0.0};
    }
    if (std::isinf(r.re) || std::isinf(r.im)) return fail(PyError::overflow_error("complex exponentiation"));
    return r;
}

}  // namespace tw::py
