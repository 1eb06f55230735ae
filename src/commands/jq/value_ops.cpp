#include "commands/jq/value_ops.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "base/sat.h"

namespace tw {

namespace {

constexpr JqInt kI64Min = std::numeric_limits<std::int64_t>::min();
constexpr JqInt kI64Max = std::numeric_limits<std::int64_t>::max();
constexpr JqInt kU64Top = std::numeric_limits<std::uint64_t>::max();

std::string int_text(JqInt i) {
    if (i >= kI64Min && i <= kI64Max) return std::to_string(static_cast<std::int64_t>(i));
    return std::to_string(static_cast<std::uint64_t>(i));
}

// Whether the digits of a number text that has no float reading denote a tiny value (an underflow)
// rather than a huge one: the decimal exponent of its first significant digit is negative.
bool underflows(std::string_view text) {
    std::size_t i = 0;
    if (i < text.size() && text[i] == '-') ++i;
    long long exponent = -1;  // of the first significant digit
    bool seen = false;
    long long digits_before_point = 0;
    bool after_point = false;
    long long zeros_after_point = 0;
    for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
        const char c = text[i];
        if (c == '.') {
            after_point = true;
            continue;
        }
        if (!seen && c == '0') {
            if (after_point) ++zeros_after_point;
            continue;
        }
        if (!seen) {
            seen = true;
            if (after_point) exponent = -(zeros_after_point + 1);
        }
        if (!after_point) ++digits_before_point;
    }
    if (!seen) return true;  // zero
    if (digits_before_point > 0) exponent = digits_before_point - 1;
    long long e = 0;
    if (i < text.size()) {
        const char* s = text.data() + i + 1;
        const char* end = text.data() + text.size();
        bool negative = false;
        if (s != end && (*s == '+' || *s == '-')) negative = *s++ == '-';
        for (; s != end; ++s) {
            if (e < 1'000'000'000'000LL) e = e * 10 + (*s - '0');
        }
        if (negative) e = -e;
    }
    return exponent + e < 0;
}

int sign_of(int c) { return (c > 0) - (c < 0); }

}  // namespace

std::optional<JqInt> jq_parse_integer(std::string_view text) {
    if (text.empty()) return std::nullopt;
    const char* first = text.data();
    const char* last = first + text.size();
    std::int64_t s = 0;
    auto r = std::from_chars(first, last, s);
    if (r.ec == std::errc() && r.ptr == last) return JqInt(s);
    if (*first == '-') return std::nullopt;
    std::uint64_t u = 0;
    r = std::from_chars(first, last, u);
    if (r.ec == std::errc() && r.ptr == last) return JqInt(u);
    return std::nullopt;
}

std::optional<double> jq_float_reading(std::string_view text) {
    double v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec == std::errc()) return v;
    if (r.ec == std::errc::result_out_of_range && underflows(text)) return text.starts_with('-') ? -0.0 : 0.0;
    return std::nullopt;
}

std::string jq_float_text(double v) {
    if (v == 0) return std::signbit(v) ? "-0.0" : "0.0";
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    // sci: [-]D[.DDD]e(+|-)XX
    const std::size_t e_at = sci.find('e');
    std::string_view mantissa = sci.substr(0, e_at);
    const int exponent = std::atoi(std::string(sci.substr(e_at + 1)).c_str());
    const bool negative = mantissa.starts_with('-');
    if (negative) mantissa.remove_prefix(1);
    std::string digits;
    for (char c : mantissa)
        if (c != '.') digits += c;
    std::string out = negative ? "-" : "";
    if (exponent < -5 || exponent > 15) {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += exponent < 0 ? "e-" : "e+";
        out += std::to_string(exponent < 0 ? -exponent : exponent);
        return out;
    }
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
        return out;
    }
    const auto int_digits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= int_digits) {
        out += digits;
        out.append(int_digits - digits.size(), '0');
        out += ".0";
    } else {
        out.append(digits, 0, int_digits);
        out += '.';
        out.append(digits, int_digits);
    }
    return out;
}

Result<JsonValue, std::string> jq_integer_to_number(JqInt i) {
    if (i < kI64Min || i > kU64Top) return std::unexpected(std::string("integer exceeds jq's supported 64-bit range"));
    return JsonValue::number(int_text(i));
}

std::string_view jq_type_name(const JsonValue& v) {
    switch (v.kind()) {
    case JsonKind::Null: return "null";
    case JsonKind::False:
    case JsonKind::True: return "boolean";
    case JsonKind::Number: return "number";
    case JsonKind::String: return "string";
    case JsonKind::Array: return "array";
    case JsonKind::Object: return "object";
    }
    return "null";
}

int jq_type_rank(const JsonValue& v) {
    switch (v.kind()) {
    case JsonKind::Null: return 0;
    case JsonKind::False: return 1;
    case JsonKind::True: return 2;
    case JsonKind::Number: return 3;
    case JsonKind::String: return 4;
    case JsonKind::Array: return 5;
    case JsonKind::Object: return 6;
    }
    return 0;
}

namespace {

int compare_numbers(std::string_view a, std::string_view b) {
    const auto fa = jq_float_reading(a);
    const auto fb = jq_float_reading(b);
    if (!fa || !fb) return (fa ? 1 : 0) - (fb ? 1 : 0);
    return (*fa > *fb) - (*fa < *fb);
}

}  // namespace

int jq_compare(const JsonValue& a, const JsonValue& b) {
    const int ra = jq_type_rank(a);
    const int rb = jq_type_rank(b);
    if (ra != rb) return ra < rb ? -1 : 1;
    switch (a.kind()) {
    case JsonKind::Number: return compare_numbers(a.text(), b.text());
    case JsonKind::String: return sign_of(a.text().compare(b.text()));
    case JsonKind::Array: return jq_compare_lists(a.items(), b.items());
    default: return 0;  // null, booleans of one rank, objects
    }
}

int jq_compare_lists(std::span<const JsonValue> a, std::span<const JsonValue> b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i)
        if (const int c = jq_compare(a[i], b[i]); c != 0) return c;
    return (a.size() > b.size()) - (a.size() < b.size());
}

bool jq_values_equal(const JsonValue& a, const JsonValue& b) {
    if (a.kind() != b.kind()) return false;
    switch (a.kind()) {
    case JsonKind::Null:
    case JsonKind::False:
    case JsonKind::True: return true;
    case JsonKind::Number: {
        if (a.text() == b.text()) return true;
        // Integers of up to 15 digits read exactly, so different texts are different values
        // (JSON texts have no leading zeros; -0 is the one other spelling of 0).
        const auto short_integer = [](const std::string& t) {
            return t.size() <= 15 && t != "-0" && t.find_first_of(".eE") == std::string::npos;
        };
        if (short_integer(a.text()) && short_integer(b.text())) return false;
        const auto fa = jq_float_reading(a.text());
        const auto fb = jq_float_reading(b.text());
        return fa && fb && *fa == *fb;
    }
    case JsonKind::String: return a.text() == b.text();
    case JsonKind::Array: {
        const JsonArray& x = a.items();
        const JsonArray& y = b.items();
        if (x.size() != y.size()) return false;
        for (std::size_t i = 0; i < x.size(); ++i)
            if (!jq_values_equal(x[i], y[i])) return false;
        return true;
    }
    case JsonKind::Object: {
        const JsonObject& x = a.members();
        const JsonObject& y = b.members();
        if (x.size() != y.size()) return false;
        for (const auto& [key, value] : x) {
            const JsonValue* other = y.find(key);
            if (other == nullptr || !jq_values_equal(value, *other)) return false;
        }
        return true;
    }
    }
    return false;
}

Result<JsonValue, std::string> jq_add(const JsonValue& a, const JsonValue& b) {
    if (a.is_null()) return b;
    if (b.is_null()) return a;
    if (a.is_number() && b.is_number()) {
        const auto ia = jq_parse_integer(a.text());
        const auto ib = jq_parse_integer(b.text());
        if (ia && ib) return jq_integer_to_number(*ia + *ib);
        const double sum = jq_float_reading(a.text()).value_or(0.0) + jq_float_reading(b.text()).value_or(0.0);
        if (!std::isfinite(sum)) return std::unexpected(std::string("numeric addition overflow"));
        return JsonValue::number(jq_float_text(sum));
    }
    if (a.is_string() && b.is_string()) return JsonValue::string(a.text() + b.text());
    if (a.is_array() && b.is_array()) {
        JsonArray items;
        items.reserve(a.items().size() + b.items().size());
        items.insert(items.end(), a.items().begin(), a.items().end());
        items.insert(items.end(), b.items().begin(), b.items().end());
        return JsonValue::array(std::move(items));
    }
    if (a.is_object() && b.is_object()) {
        JsonObject members = a.members();
        members.bound = 0;
        for (const auto& [key, value] : b.members()) members.set(key, value);
        return JsonValue::object(std::move(members));
    }
    return std::unexpected(fmt::format("cannot add {} and {}", jq_type_name(a), jq_type_name(b)));
}

Result<JsonValue, std::string> jq_negate(const JsonValue& v) {
    if (!v.is_number()) return std::unexpected(std::string("cannot negate non-number"));
    if (const auto i = jq_parse_integer(v.text())) return jq_integer_to_number(-*i);
    const auto f = jq_float_reading(v.text());
    if (!f) return std::unexpected(std::string("numeric negation overflow"));
    return JsonValue::number(jq_float_text(-*f));
}

namespace {

std::uint64_t compact_bound(const JsonValue& v);

std::uint64_t container_content(const JsonValue& v, std::uint64_t indent, std::uint64_t depth) {
    std::uint64_t c = 2;
    if (v.is_array()) {
        for (const JsonValue& e : v.items())
            c = sat_add(c, sat_add(indent == 0 ? compact_bound(e) : jq_value_size_bound(e, indent, depth + 1), 1));
    } else {
        for (const auto& [key, value] : v.members()) {
            const std::uint64_t inner = indent == 0 ? compact_bound(value) : jq_value_size_bound(value, indent, depth + 1);
            c = sat_add(c, sat_add(sat_add(sat_mul(6, key.size()), inner), 5));
        }
    }
    return c;
}

std::uint64_t compact_bound(const JsonValue& v) {
    if (!v.is_array() && !v.is_object()) return jq_value_size_bound(v, 0, 0);
    std::uint64_t& cache = v.bound_cache();
    if (cache == 0) cache = container_content(v, 0, 0);
    return cache;
}

}  // namespace

std::uint64_t jq_value_size_bound(const JsonValue& v, std::uint64_t indent, std::uint64_t depth) {
    switch (v.kind()) {
    case JsonKind::Null: return 4;
    case JsonKind::False:
    case JsonKind::True: return 5;
    case JsonKind::Number: return v.text().size();
    case JsonKind::String: return sat_add(sat_mul(6, v.text().size()), 2);
    case JsonKind::Array:
    case JsonKind::Object: {
        const std::size_t k = v.is_array() ? v.items().size() : v.members().size();
        if (k == 0) return 2;
        if (indent == 0) return compact_bound(v);
        const std::uint64_t c = container_content(v, indent, depth);
        const std::uint64_t lines = sat_add(k, 1);
        const std::uint64_t spaces = sat_mul(indent, sat_add(sat_mul(k, sat_add(depth, 1)), depth));
        return sat_add(c, sat_add(lines, spaces));
    }
    }
    return 0;
}

}  // namespace tw
