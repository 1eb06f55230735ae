// printf and sprintf formatting: %c %d %i %e %f %g %s with the flags "-" and "0", a width and a
// precision, never producing more than a given number of bytes.
#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <limits>

#include "base/sat.h"
#include "base/utf8.h"
#include "commands/awk/runtime.h"
#include "commands/util/text.h"

namespace tw {

namespace {

std::unexpected<AwkFormatError> too_large() { return std::unexpected(AwkFormatError{true, {}}); }
std::unexpected<AwkFormatError> format_error(std::string message) {
    return std::unexpected(AwkFormatError{false, std::move(message)});
}

// The digits at `pos`, moving past them; nothing when there is no digit.
std::optional<std::string_view> awk_take_digits(std::string_view format, std::size_t& pos) {
    const std::size_t start = pos;
    while (pos < format.size() && format[pos] >= '0' && format[pos] <= '9') ++pos;
    if (pos == start) return std::nullopt;
    return format.substr(start, pos - start);
}

std::string special_number(double x) {
    if (std::isnan(x)) return "NaN";
    return x < 0 ? "-inf" : "inf";
}

std::string convert(char conversion, const AwkValue& arg, std::uint64_t precision, bool has_precision) {
    switch (conversion) {
    case 'c': {
        std::string piece;
        if (arg.kind == AwkValueKind::Num) {
            // A number is a character code.
            const double x = std::trunc(arg.number);
            char32_t c = 0xFFFD;
            if (x >= 0 && x <= 0x10FFFF && !(x >= 0xD800 && x <= 0xDFFF)) c = static_cast<char32_t>(x);
            utf8_append(piece, c);
        } else if (arg.text.empty()) {
            piece.assign(1, '\0');
        } else {
            piece.assign(arg.text, 0, utf8_sequence_length(arg.text, 0));
        }
        return piece;
    }
    case 'd':
    case 'i': {
        const double x = std::trunc(awk_to_number(arg));
        std::int64_t n = 0;
        if (std::isnan(x)) n = 0;
        else if (x >= 9223372036854775808.0) n = std::numeric_limits<std::int64_t>::max();
        else if (x < -9223372036854775808.0) n = std::numeric_limits<std::int64_t>::min();
        else n = static_cast<std::int64_t>(x);
        return fmt::format("{}", n);
    }
    case 'e':
    case 'f': {
        const double x = awk_to_number(arg);
        if (!std::isfinite(x)) return special_number(x);
        const int digits = static_cast<int>(std::min<std::uint64_t>(precision, std::numeric_limits<int>::max()));
        return conversion == 'e' ? fmt::format("{:.{}e}", x, digits) : fmt::format("{:.{}f}", x, digits);
    }
    case 'g': return awk_format_number(awk_to_number(arg));
    default: {  // 's'
        if (!has_precision) return arg.text;
        std::size_t end = 0;
        std::uint64_t left = precision;
        while (left > 0 && end < arg.text.size()) {
            end += utf8_sequence_length(arg.text, end);
            --left;
        }
        return arg.text.substr(0, end);
    }
    }
}

}  // namespace

Result<std::string, AwkFormatError> awk_format(std::string_view format, std::span<const AwkValue> args,
                                               std::uint64_t max) {
    std::string out;
    std::size_t next_arg = 0;
    std::size_t pos = 0;
    const AwkValue empty{AwkValueKind::Str, 0, {}};
    while (pos < format.size()) {
        if (format[pos] != '%') {
            const std::size_t len = utf8_sequence_length(format, pos);
            if (sat_add(out.size(), len) > max) return too_large();
            out.append(format, pos, len);
            pos += len;
            continue;
        }
        if (pos + 1 < format.size() && format[pos + 1] == '%') {
            if (out.size() >= max) return too_large();
            out += '%';
            pos += 2;
            continue;
        }
        ++pos;
        bool left = false, zero = false;
        for (; pos < format.size(); ++pos) {
            const char f = format[pos];
            if (f == ' ' || f == '+') continue;
            if (f == '-') left = true;
            else if (f == '0') zero = true;
            else if (f == '#') return format_error("unsupported printf flag '#'");
            else break;
        }
        std::optional<std::uint64_t> width;
        if (auto digits = awk_take_digits(format, pos)) {
            width = parse_decimal_u64(*digits);
            if (!width) return format_error("printf width is too large");
        }
        std::uint64_t precision = 6;
        bool has_precision = false;
        if (pos < format.size() && format[pos] == '.') {
            ++pos;
            has_precision = true;
            // A point without digits is precision 0, as in C.
            precision = 0;
            if (auto digits = awk_take_digits(format, pos)) {
                auto p = parse_decimal_u64(*digits);
                if (!p) return format_error("printf precision is too large");
                precision = *p;
            }
        }
        if ((width && *width > max) || (has_precision && precision > max)) return too_large();
        if (pos >= format.size()) return format_error("unterminated printf conversion");
        const std::size_t conv_len = utf8_sequence_length(format, pos);
        const std::string_view conv = format.substr(pos, conv_len);
        pos += conv_len;
        if (conv.size() != 1 || std::string_view("cdiefgs").find(conv.front()) == std::string_view::npos)
            return format_error(fmt::format("unsupported printf conversion '%{}'", conv));
        const AwkValue& arg = next_arg < args.size() ? args[next_arg] : empty;
        if (has_precision) {
            const std::uint64_t text_length = arg.text.size();
            std::uint64_t bound = precision > kU64Max / 4 ? text_length : precision * 4;
            bound = std::min(bound, text_length);
            if (bound > max) return too_large();
        }
        std::string piece = convert(conv.front(), arg, precision, has_precision);
        if (piece.size() > max) return too_large();
        if (width) {
            const std::size_t chars = utf8_char_count(piece);
            if (chars < *width) {
                const std::size_t fill = static_cast<std::size_t>(*width - chars);
                if (sat_add(piece.size(), fill) > max) return too_large();
                if (left) piece.append(fill, ' ');
                else piece.insert(0, fill, zero ? '0' : ' ');
            }
        }
        if (sat_add(out.size(), piece.size()) > max) return too_large();
        out += piece;
        ++next_arg;
    }
    return out;
}

}  // namespace tw
