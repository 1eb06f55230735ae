#include "python/number/format_spec.h"

#include <cmath>
#include <cstdio>
#include <string>

#include <fmt/format.h>

#include "python/objects/float_text.h"
#include "base/utf8.h"
#include "python/number/number.h"
#include "python/number/parse.h"
#include "python/number/utf8_text.h"

namespace tw::py {

namespace {

std::string utf8_of(char32_t c) {
    std::string s;
    utf8_append(s, c);
    return s;
}

std::uint64_t code_points(std::string_view t) {
    std::uint64_t n = 0;
    for (unsigned char c : t) n += (c & 0xC0) != 0x80;
    return n;
}

FormatError value_error(std::string m) { return {std::move(m), "ValueError"}; }

FormatError unknown_code(char32_t type, std::string_view type_name) {
    return value_error(fmt::format("Unknown format code '{}' for object of type '{}'", utf8_of(type), type_name));
}

FormatError grouping_error(FormatSpec::Grouping g, char32_t type) {
    return value_error(fmt::format("Cannot specify '{}' with '{}'.", g == FormatSpec::Comma ? ',' : '_', utf8_of(type)));
}

bool is_align(char32_t c) { return c == '<' || c == '>' || c == '^' || c == '='; }

FormatSpec::Align align_of(char32_t c) {
    return c == '<' ? FormatSpec::Left : c == '>' ? FormatSpec::Right : c == '^' ? FormatSpec::Center
                                                                                 : FormatSpec::AfterSign;
}

std::string fill_run(char32_t fill, std::uint64_t n) {
    if (fill < 0x80) return std::string(n, char(fill));
    const std::string one = utf8_of(fill);
    std::string out;
    out.reserve(one.size() * n);
    for (std::uint64_t i = 0; i < n; ++i) out += one;
    return out;
}

// Separators between groups of `interval` characters counted from the right.
std::string group_digits(std::string_view digits, char sep, std::size_t interval) {
    if (digits.size() <= interval) return std::string(digits);
    std::string out;
    out.reserve(digits.size() + digits.size() / interval);
    const std::size_t lead = digits.size() % interval;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (i - lead) % interval == 0 && i >= lead) out.push_back(sep);
        out.push_back(digits[i]);
    }
    return out;
}

// Sign, prefix, zero padding, grouping and alignment of a rendered number.
std::string layout_number(const FormatSpec& spec, bool negative, std::string_view prefix, std::string digits,
                          std::string_view rest, std::size_t interval) {
    std::string sign;
    if (negative) sign = "-";
    else if (spec.sign == FormatSpec::Plus) sign = "+";
    else if (spec.sign == FormatSpec::Space) sign = " ";
    const char32_t fill = spec.fill ? *spec.fill : spec.zero ? U'0' : U' ';
    const FormatSpec::Align align = spec.align ? *spec.align : spec.zero ? FormatSpec::AfterSign : FormatSpec::Right;
    const char sep = spec.grouping == FormatSpec::Comma ? ',' : '_';
    const std::uint64_t fixed = sign.size() + prefix.size() + code_points(rest);
    const bool grouped = spec.grouping != FormatSpec::NoGrouping && !digits.empty();
    if (fill == U'0' && align == FormatSpec::AfterSign) {
        const std::uint64_t target = spec.width > fixed ? spec.width - fixed : 0;
        const std::uint64_t have = code_points(digits);
        if (!grouped) {
            if (have < target) digits.insert(0, target - have, '0');
        } else {
            std::uint64_t n = have;
            while (n + (n - 1) / interval < target) ++n;
            digits.insert(0, n - have, '0');
        }
    }
    if (grouped) digits = group_digits(digits, sep, interval);
    const std::uint64_t used = fixed + code_points(digits);
    const std::uint64_t pad = spec.width > used ? spec.width - used : 0;
    std::string out;
    switch (align) {
        case FormatSpec::Left: out = sign + std::string(prefix) + digits + std::string(rest) + fill_run(fill, pad); break;
        case FormatSpec::Right: out = fill_run(fill, pad) + sign + std::string(prefix) + digits + std::string(rest); break;
        case FormatSpec::Center:
            out = fill_run(fill, pad / 2) + sign + std::string(prefix) + digits + std::string(rest) +
                  fill_run(fill, pad - pad / 2);
            break;
        case FormatSpec::AfterSign:
            out = sign + std::string(prefix) + fill_run(fill, pad) + digits + std::string(rest);
            break;
    }
    return out;
}

// Pads a whole text to the format's requested width.
std::string pad_text(const FormatSpec& spec, std::string text, FormatSpec::Align default_align, char32_t fill) {
    const std::uint64_t n = code_points(text);
    if (spec.width <= n) return text;
    const std::uint64_t pad = spec.width - n;
    switch (spec.align ? *spec.align : default_align) {
        case FormatSpec::Left: return text + fill_run(fill, pad);
        case FormatSpec::Center: return fill_run(fill, pad / 2) + text + fill_run(fill, pad - pad / 2);
        default: return fill_run(fill, pad) + text;
    }
}

std::string printf_text(const char* format, int precision, double x) {
    const int n = std::snprintf(nullptr, 0, format, precision, x);
    std::string out(std::size_t(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), format, precision, x);
    out.resize(std::size_t(n));
    return out;
}

// The decimal exponent of |x| rendered with `decimals` decimals in scientific notation.
int scientific_exponent(double x, int decimals) {
    const std::string t = printf_text("%.*e", decimals, x);
    return std::stoi(t.substr(t.find('e') + 1));
}

void strip_fraction_zeros(std::string& t) {
    const std::size_t point = t.find('.');
    if (point == std::string::npos) return;
    std::size_t e = t.find_first_of("eE");
    if (e == std::string::npos) e = t.size();
    std::size_t end = e;
    while (end > point + 1 && t[end - 1] == '0') --end;
    if (end == point + 1) end = point;
    t.erase(end, e - end);
}

void ensure_point(std::string& t) {
    if (t.find('.') != std::string::npos) return;
    std::size_t e = t.find_first_of("eE%");
    if (e == std::string::npos) e = t.size();
    t.insert(e, ".");
}

// The text of |x| by the float rules (no sign, no layout).
std::string render_magnitude(double x, const FormatSpec& spec, std::optional<char32_t> type, bool part_mode) {
    const double a = std::fabs(x);
    const bool upper = type && (*type == 'E' || *type == 'F' || *type == 'G');
    if (std::isinf(a) || std::isnan(a)) {
        std::string t = std::isnan(a) ? (upper ? "NAN" : "nan") : (upper ? "INF" : "inf");
        if (type == U'%') t += '%';
        return t;
    }
    const int precision = spec.has_precision ? int(spec.precision) : 6;
    if (!type && !spec.has_precision) {
        std::string t = float_shortest_text(a, part_mode);
        if (spec.alternate) ensure_point(t);
        return t;
    }
    const char32_t ty = type ? *type : U'r';
    std::string t;
    switch (ty) {
        case 'f':
        case 'F':
            t = printf_text("%.*f", precision, a);
            if (spec.alternate) ensure_point(t);
            break;
        case 'e':
        case 'E':
            t = printf_text(ty == 'e' ? "%.*e" : "%.*E", precision, a);
            if (spec.alternate) ensure_point(t);
            break;
        case '%':
            t = printf_text("%.*f", precision, a * 100);
            if (spec.alternate) ensure_point(t);
            t += '%';
            break;
        default: {
            // g, G, n, and no type with a precision.
            const int p = precision == 0 ? 1 : precision;
            const int x10 = a == 0 ? 0 : scientific_exponent(a, p - 1);
            const bool bare = ty == U'r';
            const bool fixed = bare ? (x10 >= -4 && x10 < p - 1) : (x10 >= -4 && x10 < p);
            if (fixed) t = printf_text("%.*f", p - 1 - x10, a);
            else t = printf_text(ty == 'G' ? "%.*E" : "%.*e", p - 1, a);
            if (spec.alternate) {
                ensure_point(t);
            } else {
                strip_fraction_zeros(t);
                if (bare && fixed && t.find('.') == std::string::npos) t += ".0";
            }
            break;
        }
    }
    return t;
}

// Splits a rendered magnitude into leading integer digits and the rest, grouping the fraction.
std::pair<std::string, std::string> split_number(const std::string& t, FormatSpec::Grouping fraction) {
    std::size_t i = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    std::string digits = t.substr(0, i), rest = t.substr(i);
    if (fraction != FormatSpec::NoGrouping && !rest.empty() && rest[0] == '.') {
        std::size_t j = 1;
        while (j < rest.size() && rest[j] >= '0' && rest[j] <= '9') ++j;
        std::string grouped = ".";
        const char sep = fraction == FormatSpec::Comma ? ',' : '_';
        for (std::size_t k = 1; k < j; ++k) {
            if (k > 1 && (k - 1) % 3 == 0) grouped.push_back(sep);
            grouped.push_back(rest[k]);
        }
        rest = grouped + rest.substr(j);
    }
    return {digits, rest};
}

// Whether a rendered finite number rounded to zero (every digit before the exponent is 0).
bool all_zero_digits(const std::string& t) {
    bool digit = false;
    for (char c : t) {
        if (c == 'e' || c == 'E' || c == '%') break;
        if (c >= '1' && c <= '9') return false;
        if (c == '0') digit = true;
        if (c >= 'a' && c <= 'z') return false;  // inf, nan
    }
    return digit;
}

bool float_type_ok(char32_t t, bool percent) {
    return t == 'e' || t == 'E' || t == 'f' || t == 'F' || t == 'g' || t == 'G' || t == 'n' || (percent && t == '%');
}

FormatResult<std::string> float_with_spec(double x, const FormatSpec& spec, std::string_view type_name) {
    if (spec.type && !float_type_ok(*spec.type, true)) return std::unexpected(unknown_code(*spec.type, type_name));
    if (spec.type == U'n' && spec.fraction_grouping != FormatSpec::NoGrouping)
        return std::unexpected(grouping_error(spec.fraction_grouping, 'n'));
    const std::string t = render_magnitude(x, spec, spec.type, false);
    bool negative = std::signbit(x) && !std::isnan(x);
    if (negative && spec.z && all_zero_digits(t)) negative = false;
    auto [digits, rest] = split_number(t, spec.fraction_grouping);
    return layout_number(spec, negative, "", std::move(digits), rest, 3);
}

FormatResult<std::uint64_t> parse_count(const std::u32string& s, std::size_t& i) {
    std::uint64_t v = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, std::uint64_t(s[i] - '0'), &v) ||
            v > kMaxFormatWidth)
            return std::unexpected(value_error("Too many decimal digits in format string"));
        ++i;
    }
    return v;
}

FormatResult<FormatSpec::Grouping> parse_grouping(const std::u32string& s, std::size_t& i) {
    if (i >= s.size() || (s[i] != ',' && s[i] != '_')) return FormatSpec::NoGrouping;
    const char32_t g = s[i++];
    if (i < s.size() && (s[i] == ',' || s[i] == '_') && s[i] != g)
        return std::unexpected(value_error("Cannot specify both ',' and '_'."));
    return g == ',' ? FormatSpec::Comma : FormatSpec::Underscore;
}

}  // namespace

std::string float_shortest_text(double x, bool part_mode) {
    return float_text(x, part_mode ? FloatTextMode::Part : FloatTextMode::Repr);
}

FormatResult<FormatSpec> FormatSpec::parse(std::string_view text, std::string_view type_name,
                                           std::optional<char32_t> default_type) {
    const std::u32string s = utf8_code_points(text);
    FormatSpec spec;
    std::size_t i = 0;
    if (s.size() >= 2 && is_align(s[1])) {
        spec.fill = s[0];
        spec.align = align_of(s[1]);
        i = 2;
    } else if (!s.empty() && is_align(s[0])) {
        spec.align = align_of(s[0]);
        i = 1;
    }
    if (i < s.size() && (s[i] == '+' || s[i] == '-' || s[i] == ' ')) {
        spec.sign = s[i] == '+' ? Plus : s[i] == '-' ? Minus : Space;
        ++i;
    }
    if (i < s.size() && s[i] == 'z') spec.z = true, ++i;
    if (i < s.size() && s[i] == '#') spec.alternate = true, ++i;
    if (i < s.size() && s[i] == '0' && !spec.fill) spec.zero = true, ++i;
    auto width = parse_count(s, i);
    if (!width) return std::unexpected(width.error());
    spec.width = *width;
    auto grouping = parse_grouping(s, i);
    if (!grouping) return std::unexpected(grouping.error());
    spec.grouping = *grouping;
    if (i < s.size() && s[i] == '.') {
        ++i;
        const std::size_t start = i;
        auto precision = parse_count(s, i);
        if (!precision) return std::unexpected(precision.error());
        if (i == start) return std::unexpected(value_error("Format specifier missing precision"));
        spec.has_precision = true;
        spec.precision = *precision;
        auto fraction = parse_grouping(s, i);
        if (!fraction) return std::unexpected(fraction.error());
        spec.fraction_grouping = *fraction;
    }
    if (s.size() - i > 1)
        return std::unexpected(
            value_error(fmt::format("Invalid format specifier '{}' for object of type '{}'", text, type_name)));
    spec.type = i < s.size() ? std::optional(s[i]) : default_type;
    if (spec.grouping != NoGrouping) {
        const char32_t t = spec.type.value_or(0);
        const bool ok = t == 0 || t == 'd' || t == 'e' || t == 'f' || t == 'g' || t == 'E' || t == 'F' ||
                        t == 'G' || t == '%' ||
                        (spec.grouping == Underscore && (t == 'b' || t == 'o' || t == 'x' || t == 'X'));
        if (!ok) return std::unexpected(grouping_error(spec.grouping, t));
    }
    return spec;
}

FormatResult<std::string> format_integer(const tw::BigInt& value, std::string_view text, std::string_view type_name) {
    auto parsed = FormatSpec::parse(text, type_name, U'd');
    if (!parsed) return std::unexpected(parsed.error());
    const FormatSpec& spec = *parsed;
    const char32_t type = *spec.type;
    if (float_type_ok(type, true) && type != 'n') {
        auto d = bigint_to_double(value.raw());
        if (!d) return std::unexpected(FormatError{"int too large to convert to float", "OverflowError"});
        return float_with_spec(*d, spec, type_name);
    }
    int base;
    switch (type) {
        case 'b': base = 2; break;
        case 'o': base = 8; break;
        case 'x':
        case 'X': base = 16; break;
        case 'd':
        case 'n':
        case 'c': base = 10; break;
        default: return std::unexpected(unknown_code(type, type_name));
    }
    if (spec.has_precision) return std::unexpected(value_error("Precision not allowed in integer format specifier"));
    if (spec.z)
        return std::unexpected(value_error("Negative zero coercion (z) not allowed in integer format specifier"));
    const bool negative = value.sign() < 0;
    if (type == 'c') {
        if (spec.sign) return std::unexpected(value_error("Sign not allowed with integer format specifier 'c'"));
        if (spec.alternate)
            return std::unexpected(value_error("Alternate form (#) not allowed with integer format specifier 'c'"));
        const auto cp = value.to_i64();
        if (!cp || *cp < 0 || *cp >= 0x110000 || (*cp >= 0xD800 && *cp <= 0xDFFF))
            return std::unexpected(FormatError{"%c arg not in range(0x110000)", "OverflowError"});
        FormatSpec plain = spec;
        return layout_number(plain, false, "", utf8_of(char32_t(*cp)), "", 3);
    }
    if (base == 10 && py_int_decimal_digits_bound(value.bit_length()) > kIntMaxStrDigits &&
        value.decimal_digits() > kIntMaxStrDigits)
        return std::unexpected(
            FormatError{std::string(int_str_digits_limit(kIntMaxStrDigits).message()), "ValueError"});
    std::string digits(mpz_sizeinbase(value.raw(), base) + 2, '\0');
    mpz_get_str(digits.data(), type == 'X' ? -16 : base, value.raw());
    digits.resize(std::char_traits<char>::length(digits.c_str()));
    if (negative) digits.erase(0, 1);
    std::string_view prefix;
    if (spec.alternate) {
        switch (type) {
            case 'b': prefix = "0b"; break;
            case 'o': prefix = "0o"; break;
            case 'x': prefix = "0x"; break;
            case 'X': prefix = "0X"; break;
            default: break;
        }
    }
    return layout_number(spec, negative, prefix, std::move(digits), "", base == 10 ? 3 : 4);
}

FormatResult<std::string> format_float(double value, std::string_view text) {
    auto spec = FormatSpec::parse(text, "float", std::nullopt);
    if (!spec) return std::unexpected(spec.error());
    return float_with_spec(value, *spec, "float");
}

FormatResult<std::string> format_complex(double re, double im, std::string_view text) {
    auto parsed = FormatSpec::parse(text, "complex", std::nullopt);
    if (!parsed) return std::unexpected(parsed.error());
    FormatSpec spec = *parsed;
    if (spec.type && !float_type_ok(*spec.type, false)) return std::unexpected(unknown_code(*spec.type, "complex"));
    if (spec.type == U'n' && spec.fraction_grouping != FormatSpec::NoGrouping)
        return std::unexpected(grouping_error(spec.fraction_grouping, 'n'));
    if (spec.zero || spec.fill == U'0')
        return std::unexpected(value_error("Zero padding is not allowed in complex format specifier"));
    if (spec.align == FormatSpec::AfterSign)
        return std::unexpected(value_error("'=' alignment flag is not allowed in complex format specifier"));
    const bool bare = !spec.type;
    std::optional<char32_t> type = spec.type;
    if (bare && spec.has_precision) type = U'g';
    const bool show_real = !(bare && re == 0.0 && !std::signbit(re));
    auto part = [&](double x, bool force_sign) {
        std::string t = render_magnitude(x, spec, type, bare && !spec.has_precision);
        bool negative = std::signbit(x) && !std::isnan(x);
        if (negative && spec.z && all_zero_digits(t)) negative = false;
        if (spec.fraction_grouping != FormatSpec::NoGrouping) {
            auto [d, r] = split_number(t, spec.fraction_grouping);
            t = d + r;
        }
        if (spec.grouping != FormatSpec::NoGrouping) {
            auto [d, r] = split_number(t, FormatSpec::NoGrouping);
            t = group_digits(d, spec.grouping == FormatSpec::Comma ? ',' : '_', 3) + r;
        }
        std::string sign = negative ? "-" : force_sign || spec.sign == FormatSpec::Plus ? "+"
                                        : spec.sign == FormatSpec::Space               ? " "
                                                                                        : "";
        return sign + t;
    };
    std::string out;
    if (show_real) {
        out = part(re, false) + part(im, true) + "j";
        if (bare) out = "(" + out + ")";
    } else {
        out = part(im, false) + "j";
    }
    return pad_text(spec, std::move(out), FormatSpec::Right, spec.fill.value_or(U' '));
}

FormatResult<std::string> py_format_str(std::string_view text, std::string_view spec_text) {
    auto parsed = FormatSpec::parse(spec_text, "str", U's');
    if (!parsed) return std::unexpected(parsed.error());
    const FormatSpec& spec = *parsed;
    if (*spec.type != 's') return std::unexpected(unknown_code(*spec.type, "str"));
    if (spec.sign) return std::unexpected(value_error("Sign not allowed in string format specifier"));
    if (spec.z) return std::unexpected(value_error("Negative zero coercion (z) not allowed in string format specifier"));
    if (spec.alternate) return std::unexpected(value_error("Alternate form (#) not allowed in string format specifier"));
    if (spec.align == FormatSpec::AfterSign)
        return std::unexpected(value_error("'=' alignment not allowed in string format specifier"));
    std::string out(text);
    if (spec.has_precision && code_points(out) > spec.precision) {
        std::size_t i = 0, kept = 0;
        while (i < out.size() && kept < spec.precision) {
            ++i;
            while (i < out.size() && (static_cast<unsigned char>(out[i]) & 0xC0) == 0x80) ++i;
            ++kept;
        }
        out.resize(i);
    }
    const char32_t fill = spec.fill ? *spec.fill : spec.zero ? U'0' : U' ';
    return pad_text(spec, std::move(out), FormatSpec::Left, fill);
}

}  // namespace tw::py
