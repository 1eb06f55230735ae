#include "python/number/parse.h"

#include <charconv>
#include <cmath>
#include <string>

#include <fmt/format.h>

#include "python/number/utf8_text.h"
#include "python/objects/truth.h"

namespace tw::py {

namespace {

bool is_space_code_point(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    return 99;
}

PyError invalid_literal(std::string_view text, std::int64_t base) { return py_int_parse_error(text, std::uint32_t(base)); }

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// Converts a complete literal (optional sign, then digits, point, exponent or a name) correctly
// rounded; nothing when it is not one.
std::optional<double> convert_literal(std::string_view t) {
    bool negative = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        negative = t[0] == '-';
        t.remove_prefix(1);
    }
    if (t.empty() || t[0] == '+' || t[0] == '-') return std::nullopt;
    double v = 0;
    const auto r = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
        // Overflow gives an infinity and underflow a zero, as Python reads them: the decimal
        // magnitude of the leading digit decides which.
        const std::size_t e = t.find_first_of("eE");
        const std::string_view mantissa = t.substr(0, e);
        long long exponent = 0;
        if (e != std::string_view::npos) {
            const std::size_t s = e + 1 + (e + 1 < t.size() && t[e + 1] == '+');
            if (std::from_chars(t.data() + s, t.data() + t.size(), exponent).ec == std::errc::result_out_of_range)
                exponent = t[e + 1] == '-' ? -(1LL << 40) : (1LL << 40);
        }
        const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
        const std::size_t first = mantissa.find_first_not_of("0.");
        const long long lead = first == std::string_view::npos ? 0
                               : first < point                  ? (long long)(point - first)
                                                                : (long long)(point) - (long long)(first) + 1;
        const bool big = first != std::string_view::npos && lead + exponent > 0;
        v = big ? HUGE_VAL : 0.0;
    } else if (r.ec != std::errc() || r.ptr != t.data() + t.size()) {
        return std::nullopt;
    }
    return negative ? -v : v;
}

}  // namespace

std::size_t leading_space(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto [cp, n] = utf8_code_point_at(text, i);
        if (!is_space_code_point(cp)) break;
        i += n;
    }
    return i;
}

std::size_t trailing_space(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0) {
        std::size_t start = end - 1;
        while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
        auto [cp, n] = utf8_code_point_at(text, start);
        if (!is_space_code_point(cp)) break;
        end = start;
    }
    return text.size() - end;
}

bool ascii_prefix_eq_ignore_case(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::size_t ascii_digit_run(std::string_view text, std::size_t position) {
    std::size_t i = position;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i - position;
}

PyResult<tw::BigInt> py_int_parse(std::string_view text, std::int64_t base) {
    if (base != 0 && (base < 2 || base > 36))
        return fail(PyError::value_error("int() base must be >= 2 and <= 36, or 0"));
    std::string_view t = text;
    t.remove_prefix(leading_space(t));
    t.remove_suffix(trailing_space(t));
    bool negative = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        negative = t[0] == '-';
        t.remove_prefix(1);
    }
    if (t.empty()) return fail(invalid_literal(text, base));
    int prefix_base = 0;
    if (t.size() >= 2 && t[0] == '0') {
        const char p = lower(t[1]);
        prefix_base = p == 'b' ? 2 : p == 'o' ? 8 : p == 'x' ? 16 : 0;
    }
    const int effective = base != 0 ? int(base) : prefix_base != 0 ? prefix_base : 10;
    bool removed = false;
    if (prefix_base != 0 && prefix_base == effective) {
        t.remove_prefix(2);
        removed = true;
        if (t.empty()) return fail(invalid_literal(text, base));
    }
    if (t.back() == '_' || t.find("__") != std::string_view::npos || (t.front() == '_' && !removed))
        return fail(invalid_literal(text, base));
    std::string digits;
    digits.reserve(t.size());
    for (char c : t) {
        if (c == '_') continue;
        if (digit_value(c) >= effective) return fail(invalid_literal(text, base));
        digits.push_back(c);
    }
    if (digits.empty()) return fail(invalid_literal(text, base));
    if ((effective & (effective - 1)) != 0 && digits.size() > kIntMaxStrDigits)
        return fail(int_str_digits_limit(kIntMaxStrDigits));
    tw::BigInt out;
    if (mpz_set_str(out.raw(), digits.c_str(), effective) != 0) return fail(invalid_literal(text, base));
    if (negative) mpz_neg(out.raw(), out.raw());
    return out;
}

FloatPrefix py_float_parse(std::string_view text, std::size_t offset) {
    std::size_t i = offset;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const std::string_view rest = text.substr(std::min(i, text.size()));
    for (std::string_view name : {"infinity", "inf", "nan"}) {
        if (rest.size() >= name.size() && ascii_prefix_eq_ignore_case(rest.substr(0, name.size()), name)) {
            const std::size_t end = i + name.size();
            auto v = convert_literal(text.substr(offset, end - offset));
            if (!v) return {};
            return {true, *v, end};
        }
    }
    const std::size_t int_digits = ascii_digit_run(text, i);
    std::size_t end = i + int_digits;
    std::size_t frac_digits = 0;
    if (end < text.size() && text[end] == '.') {
        frac_digits = ascii_digit_run(text, end + 1);
        if (int_digits + frac_digits > 0) end += 1 + frac_digits;
    }
    if (int_digits + frac_digits == 0) return {};
    if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
        std::size_t j = end + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        const std::size_t exp_digits = ascii_digit_run(text, j);
        if (exp_digits > 0) end = j + exp_digits;
    }
    auto v = convert_literal(text.substr(offset, end - offset));
    if (!v) return {};
    return {true, *v, end};
}

std::optional<double> py_float_from_text(std::string_view text) {
    std::string_view t = text;
    t.remove_prefix(leading_space(t));
    t.remove_suffix(trailing_space(t));
    if (t.empty()) return std::nullopt;
    // Underscores are allowed only between two digits.
    std::string clean;
    clean.reserve(t.size());
    for (std::size_t k = 0; k < t.size(); ++k) {
        const char c = t[k];
        if (c == '_') {
            const bool between = k > 0 && k + 1 < t.size() && ascii_digit_run(t, k - 1) > 0 &&
                                 ascii_digit_run(t, k + 1) > 0;
            if (!between) return std::nullopt;
            continue;
        }
        clean.push_back(c);
    }
    const FloatPrefix p = py_float_parse(clean, 0);
    if (!p.found || p.end != clean.size()) return std::nullopt;
    return p.value;
}

}  // namespace tw::py
