#include "python/objects/float_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

#include "base/panic.h"

namespace tw::py {

namespace {

// Exponent-notation text of x: shortest round trip when `precision` is negative, else rounded
// correctly to that many digits after the point.
std::string_view scientific(std::array<char, 64>& buf, double x, int precision) {
    auto r = precision < 0 ? std::to_chars(buf.data(), buf.data() + buf.size(), x, std::chars_format::scientific)
                           : std::to_chars(buf.data(), buf.data() + buf.size(), x, std::chars_format::scientific,
                                           precision);
    if (r.ec != std::errc()) tw::panic("float formatting overflowed its buffer");
    return {buf.data(), std::size_t(r.ptr - buf.data())};
}

}  // namespace

FloatDigits split_exponent_notation(std::string_view text) {
    auto e = text.find('e');
    if (e == std::string_view::npos) tw::panic("exponent notation");
    FloatDigits out;
    for (char c : text.substr(0, e))
        if (c != '.') out.digits.push_back(c);
    while (!out.digits.empty() && out.digits.back() == '0') out.digits.pop_back();
    if (out.digits.empty()) out.digits = "0";
    std::string_view exp = text.substr(e + 1);
    if (!exp.empty() && exp.front() == '+') exp.remove_prefix(1);
    auto [p, ec] = std::from_chars(exp.data(), exp.data() + exp.size(), out.exponent);
    if (ec != std::errc() || p != exp.data() + exp.size()) tw::panic("integer exponent");
    return out;
}

FloatDigits float_shortest_digits(double x) {
    x = std::fabs(x);
    std::array<char, 64> buf;
    FloatDigits shortest = split_exponent_notation(scientific(buf, x, -1));
    int n = int(shortest.digits.size());
    std::array<char, 64> buf2;
    std::string_view rounded = scientific(buf2, x, n - 1);
    double back = 0;
    auto r = std::from_chars(rounded.data(), rounded.data() + rounded.size(), back);
    if (r.ec == std::errc() && back == x) return split_exponent_notation(rounded);
    return shortest;
}

std::string float_text(double x, FloatTextMode mode) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return "inf";
    if (x == 0) return mode == FloatTextMode::Repr ? "0.0" : "0";
    FloatDigits d = float_shortest_digits(x);
    const std::string& D = d.digits;
    const std::int64_t e = d.exponent;
    const std::int64_t L = std::int64_t(D.size());
    std::string out;
    if (e >= -4 && e <= 15) {
        if (e >= 0 && L > e + 1) {
            out.append(D, 0, std::size_t(e + 1));
            out.push_back('.');
            out.append(D, std::size_t(e + 1));
        } else if (e >= 0) {
            out = D;
            out.append(std::size_t(e + 1 - L), '0');
            if (mode == FloatTextMode::Repr) out += ".0";
        } else {
            out = "0.";
            out.append(std::size_t(-e - 1), '0');
            out += D;
        }
        return out;
    }
    out.push_back(D[0]);
    if (L > 1) {
        out.push_back('.');
        out.append(D, 1);
    }
    out.push_back('e');
    out.push_back(e >= 0 ? '+' : '-');
    std::uint64_t mag = std::uint64_t(e >= 0 ? e : -e);
    if (mag < 10) out.push_back('0');
    out += std::to_string(mag);
    return out;
}

std::string py_float_repr(double x) {
    std::string text = float_text(x, FloatTextMode::Repr);
    return (!std::isnan(x) && std::signbit(x)) ? "-" + text : text;
}

std::string py_float_repr_signed(double x, bool plus) {
    std::string text = float_text(x, FloatTextMode::Part);
    if (!std::isnan(x) && std::signbit(x)) return "-" + text;
    return plus ? "+" + text : text;
}

std::string py_complex_repr(double real, double imag) {
    if (real == 0 && !std::signbit(real)) return py_float_repr_signed(imag, false) + "j";
    return "(" + py_float_repr_signed(real, false) + py_float_repr_signed(imag, true) + "j)";
}

}  // namespace tw::py
