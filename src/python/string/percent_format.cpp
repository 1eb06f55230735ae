#include "python/string/percent_format.h"

#include <cmath>

#include <fmt/format.h>

#include "base/sat.h"
#include "python/number/format_spec.h"

namespace tw::py {

namespace {

struct Spec {
    bool left = false, sign = false, space = false, alternate = false, zero = false;
    std::optional<std::uint64_t> width, precision;
};

constexpr std::uint64_t kDigitLimit = 4300;

// Space padding to `width` code points.
void pad_text(std::string& out, std::string_view text, std::uint64_t chars, const Spec& s) {
    const std::uint64_t pad = s.width && *s.width > chars ? *s.width - chars : 0;
    if (!s.left) out.append(pad, ' ');
    out.append(text);
    if (s.left) out.append(pad, ' ');
}

PyResult<std::string> integer_piece(const tw::BigInt& value, char32_t conv, const Spec& s) {
    const int base = conv == 'x' || conv == 'X' ? 16 : conv == 'o' ? 8 : 10;
    if (base == 10) {
        const std::uint64_t bits = value.bit_length();
        if (bits > 14290 || (bits >= 14285 && value.decimal_digits() > kDigitLimit))
            return fail(int_str_digits_limit(kDigitLimit));
    }
    std::string digits(mpz_sizeinbase(value.raw(), base) + 2, '\0');
    mpz_get_str(digits.data(), conv == 'X' ? -base : base, value.raw());
    digits.resize(std::char_traits<char>::length(digits.data()));
    const bool negative = value.sign() < 0;
    if (negative) digits.erase(0, 1);
    if (s.precision && *s.precision > digits.size()) digits.insert(0, *s.precision - digits.size(), '0');
    std::string_view prefix;
    if (s.alternate) prefix = conv == 'x' ? "0x" : conv == 'X' ? "0X" : conv == 'o' ? "0o" : "";
    std::string_view sign = negative ? "-" : s.sign ? "+" : s.space ? " " : "";
    const std::uint64_t used = sign.size() + prefix.size() + digits.size();
    const std::uint64_t pad = s.width && *s.width > used ? *s.width - used : 0;
    std::string out;
    out.reserve(used + pad);
    if (s.left) {
        out.append(sign).append(prefix).append(digits).append(pad, ' ');
    } else if (s.zero) {
        out.append(sign).append(prefix).append(pad, '0').append(digits);
    } else {
        out.append(pad, ' ').append(sign).append(prefix).append(digits);
    }
    return out;
}

}  // namespace

PyResult<std::string> format_float_spec(double value, std::string_view spec) {
    auto text = format_float(value, spec);
    if (!text) return fail(text.error().to_py_error());
    return std::move(*text);
}

PyResult<std::string> str_percent_format(Charges& charges, std::string_view tmpl, std::span<const Value> args,
                                         PercentArguments& host) {
    if (auto c = charges.charge_memory(tmpl.size()); !c) return fail(std::move(c.error()));
    const std::u32string cps = decode_code_points(tmpl);
    std::string out;
    std::size_t next_arg = 0;
    bool key_used = false;
    std::size_t p = 0;
    const std::size_t n = cps.size();
    while (p < n) {
        if (auto c = charges.charge_work(1); !c) return fail(std::move(c.error()));
        if (cps[p] != '%') {
            append_code_point(out, cps[p++]);
            continue;
        }
        if (p + 1 < n && cps[p + 1] == '%') {
            out.push_back('%');
            p += 2;
            continue;
        }
        ++p;
        std::optional<std::string> key;
        if (p < n && cps[p] == '(') {
            std::size_t q = p + 1;
            while (q < n && cps[q] != ')') ++q;
            if (q >= n) return fail(PyError::value_error("incomplete format key"));
            key.emplace();
            for (std::size_t k = p + 1; k < q; ++k) append_code_point(*key, cps[k]);
            p = q + 1;
        }
        Spec s;
        for (; p < n; ++p) {
            if (cps[p] == '-') s.left = true;
            else if (cps[p] == '+') s.sign = true;
            else if (cps[p] == ' ') s.space = true;
            else if (cps[p] == '#') s.alternate = true;
            else if (cps[p] == '0') s.zero = true;
            else break;
        }
        auto read_number = [&]() -> PyResult<std::uint64_t> {
            std::uint64_t v = 0;
            while (p < n && cps[p] >= '0' && cps[p] <= '9') {
                if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, std::uint64_t(cps[p] - '0'), &v))
                    return fail_resource("format width is too large");
                ++p;
            }
            return v;
        };
        if (p < n && cps[p] >= '0' && cps[p] <= '9') {
            auto w = read_number();
            if (!w) return fail(std::move(w.error()));
            s.width = *w;
        }
        if (p < n && cps[p] == '.') {
            ++p;
            auto v = read_number();
            if (!v) return fail(std::move(v.error()));
            s.precision = *v;
        }
        const std::uint64_t reserve = std::max(s.width.value_or(0), s.precision.value_or(0));
        if (auto c = charges.charge_memory(reserve); !c) return fail(std::move(c.error()));
        if (auto c = charges.charge_work(reserve); !c) return fail(std::move(c.error()));
        if (p >= n) return fail(PyError::value_error("incomplete format"));
        const char32_t conv = cps[p];
        if (std::u32string_view(U"sradiuxXofFeEgGc").find(conv) == std::u32string_view::npos) {
            std::string shown;
            append_code_point(shown, conv);
            return fail(PyError::value_error(fmt::format("unsupported format character '{}' (0x{:x}) at index {}", shown,
                                                         std::uint32_t(conv), p)));
        }
        Value arg;
        if (key) {
            if (host.operand_is_str_or_tuple()) return fail(PyError::type_error("format requires a mapping"));
            auto v = host.lookup_key(*key);
            if (!v) return fail(std::move(v.error()));
            arg = *v;
            key_used = true;
        } else {
            if (next_arg >= args.size()) return fail(PyError::type_error("not enough arguments for format string"));
            arg = args[next_arg++];
        }

        std::string piece;
        switch (conv) {
            case 's': case 'r': case 'a': {
                auto text = conv == 's' ? host.to_str(arg) : host.repr(arg);
                if (!text) return fail(std::move(text.error()));
                StrText t = StrText::of(*text);
                if (s.precision && *s.precision < t.chars) t = {t.bytes.substr(0, t.byte_offset(*s.precision)), *s.precision};
                pad_text(piece, t.bytes, t.chars, s);
                break;
            }
            case 'c': {
                std::string one;
                auto iv = host.integer(arg);
                if (!iv) return fail(std::move(iv.error()));
                if (*iv) {
                    auto v = (*iv)->to_i64();
                    if (!v || *v < 0 || *v > 0x10FFFF || (*v >= 0xD800 && *v <= 0xDFFF))
                        return fail(PyError::overflow_error("%c arg not in range(0x110000)"));
                    append_code_point(one, char32_t(*v));
                } else {
                    auto text = host.str_text(arg);
                    if (!text) return fail(std::move(text.error()));
                    if (!*text)
                        return fail(PyError::type_error(
                            fmt::format("%c requires an int or a unicode character, not {}", host.type_name(arg))));
                    const std::uint64_t len = count_code_points(**text);
                    if (len != 1)
                        return fail(PyError::type_error(fmt::format(
                            "%c requires an int or a unicode character, not a string of length {}", len)));
                    one = std::move(**text);
                }
                pad_text(piece, one, 1, s);
                break;
            }
            case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': {
                if (arg.is_int() && (conv == 'd' || conv == 'i' || conv == 'u') && !s.width && !s.precision &&
                    !s.sign && !s.space) {
                    // The common plain "%d" of an inline int.
                    piece = fmt::format_int(arg.as_int()).str();
                    break;
                }
                auto iv = host.integer(arg);
                if (!iv) return fail(std::move(iv.error()));
                std::optional<tw::BigInt> value = std::move(*iv);
                if (!value) {
                    std::string shown;
                    append_code_point(shown, conv);
                    if (conv == 'x' || conv == 'X' || conv == 'o')
                        return fail(PyError::type_error(
                            fmt::format("%{} format: an integer is required, not {}", shown, host.type_name(arg))));
                    auto real = host.real(arg);
                    if (!real) return fail(std::move(real.error()));
                    if (!*real)
                        return fail(PyError::type_error(
                            fmt::format("%{} format: a real number is required, not {}", shown, host.type_name(arg))));
                    const double d = **real;
                    if (std::isnan(d)) return fail(PyError::value_error("cannot convert float NaN to integer"));
                    if (std::isinf(d)) return fail(PyError::overflow_error("cannot convert float infinity to integer"));
                    // Doubles print their integer part exactly.
                    const double t = std::trunc(d);
                    auto b = parse_decimal_bigint(fmt::format("{:.0f}", std::fabs(t)));
                    if (!b) return fail(PyError::unsupported("float to integer conversion failed"));
                    value = t < 0 ? b->negated() : std::move(*b);
                }
                auto text = integer_piece(*value, conv, s);
                if (!text) return fail(std::move(text.error()));
                piece = std::move(*text);
                break;
            }
            default: {  // f F e E g G
                auto real = host.real(arg);
                if (!real) return fail(std::move(real.error()));
                if (!*real)
                    return fail(PyError::type_error(fmt::format("must be real number, not {}", host.type_name(arg))));
                std::string spec;
                if (s.left) spec.push_back('<');
                if (s.sign) spec.push_back('+');
                else if (s.space) spec.push_back(' ');
                if (s.alternate) spec.push_back('#');
                if (s.zero && !s.left) spec.push_back('0');
                if (s.width) spec += std::to_string(*s.width);
                spec += fmt::format(".{}", s.precision.value_or(6));
                spec.push_back(char(conv));
                auto text = format_float_spec(**real, spec);
                if (!text) return fail(std::move(text.error()));
                piece = std::move(*text);
                break;
            }
        }
        if (auto c = charges.charge_memory(piece.size()); !c) return fail(std::move(c.error()));
        out.append(piece);
        ++p;
    }
    if (!key_used && next_arg < args.size())
        return fail(PyError::type_error("not all arguments converted during string formatting"));
    if (auto c = charges.charge_memory(out.size()); !c) return fail(std::move(c.error()));
    return out;
}

}  // namespace tw::py
