#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>

#include <fmt/format.h>

#include "base/sat.h"
#include "commands/text/text_commands.h"
#include "commands/util/options.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

// Widths and precisions beyond this are refused like a refused memory charge, whatever the
// budget: the padding or the digits would be built in memory before anything is written.
constexpr std::uint64_t kMaxFieldBytes = 64ULL << 20;

// A number argument as C's strtoll/strtoull/strtod read it (leading white space, a sign, "0x"
// hexadecimal and leading-"0" octal for integers); a leading quote gives the code of the next
// character. `valid` is false when text is left over or no digit was read; the value is then
// what the prefix gave, as the shells print it.
template <class T>
struct Parsed {
    T value{};
    bool valid = true;
    bool overflow = false;
};

std::optional<std::uint32_t> quoted_code(std::string_view text) {
    if (text.empty() || (text.front() != '\'' && text.front() != '"')) return std::nullopt;
    if (text.size() == 1) return 0;
    std::size_t pos = 1;
    const std::size_t before = pos;
    const char32_t c = utf8_next_char(text, pos);
    // A byte that starts no valid character gives its own value.
    if (c == 0xFFFD && !text.substr(before).starts_with("\xEF\xBF\xBD")) return static_cast<unsigned char>(text[1]);
    return static_cast<std::uint32_t>(c);
}

template <class T, class F>
Parsed<T> parse_with(std::string_view text, F convert) {
    Parsed<T> r;
    if (text.empty()) return r;
    if (auto code = quoted_code(text)) {
        r.value = static_cast<T>(*code);
        return r;
    }
    const std::string copy(text);
    char* end = nullptr;
    errno = 0;
    r.value = convert(copy.c_str(), &end);
    r.overflow = errno == ERANGE;
    r.valid = end != copy.c_str() && *end == '\0';
    return r;
}

Parsed<std::int64_t> parse_signed(std::string_view text) {
    return parse_with<std::int64_t>(text, [](const char* c, char** e) { return static_cast<std::int64_t>(std::strtoll(c, e, 0)); });
}

Parsed<std::uint64_t> parse_unsigned(std::string_view text) {
    return parse_with<std::uint64_t>(text, [](const char* c, char** e) { return static_cast<std::uint64_t>(std::strtoull(c, e, 0)); });
}

Parsed<double> parse_float(std::string_view text) {
    Parsed<double> r = parse_with<double>(text, [](const char* c, char** e) { return std::strtod(c, e); });
    r.overflow = false;  // a value beyond the range prints as the infinity or the zero
    return r;
}

// The argument of %q: backslashes before the characters the shell would read specially, or the
// $'...' form when the text holds control characters; '' for the empty text.
void append_shell_quoted(std::string& out, std::string_view text) {
    if (text.empty()) {
        out += "''";
        return;
    }
    const bool control = std::ranges::any_of(text, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
    if (control) {
        out += "$'";
        for (char c : text) {
            switch (c) {
            case '\a': out += "\\a"; break;
            case '\b': out += "\\b"; break;
            case '\x1b': out += "\\E"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\v': out += "\\v"; break;
            case '\\': out += "\\\\"; break;
            case '\'': out += "\\'"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                    fmt::format_to(std::back_inserter(out), "\\{:03o}", static_cast<unsigned char>(c));
                else
                    out += c;
            }
        }
        out += '\'';
        return;
    }
    constexpr std::string_view special = " \t\n!\"$&'()*,;<>?[\\]^`{|}";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (special.find(c) != std::string_view::npos || (c == '#' && i == 0) ||
            (c == '~' && (i == 0 || text[i - 1] == ':' || text[i - 1] == '=')))
            out += '\\';
        out += c;
    }
}

// The prefix of `text` holding at most `count` characters.
std::string_view first_chars(std::string_view text, std::uint64_t count) {
    std::size_t pos = 0;
    for (std::uint64_t n = 0; n < count && pos < text.size(); ++n) utf8_next_char(text, pos);
    return text.substr(0, pos);
}

struct Directive {
    bool left = false;
    bool zero = false;
    bool alternate = false;
    std::string_view sign;
    std::optional<std::uint64_t> width;
    std::optional<std::uint64_t> precision;
};

// Appends `value` in fixed notation with `precision` decimals. std::to_chars gives every digit
// exactly, also for precisions in the thousands (where the output must stay decimals-exact).
void append_fixed(std::string& out, double value, std::uint64_t precision) {
    const int digits = static_cast<int>(std::min<std::uint64_t>(precision, std::numeric_limits<int>::max() - 400));
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(digits) + 320);  // sign, 309 integer digits, point
    const auto result = std::to_chars(out.data() + start, out.data() + out.size(), value, std::chars_format::fixed, digits);
    out.resize(result.ec == std::errc{} ? static_cast<std::size_t>(result.ptr - out.data()) : start);
}

class Formatter {
public:
    Formatter(Syscalls& sys, std::span<const std::string> args, std::string& out, std::string& err)
        : sys_(sys), args_(args), out_(out), err_(err) {}

    // Runs the whole command; false when a memory charge was refused.
    bool run(std::string_view format) {
        while (true) {
            const std::size_t before = index_;
            if (!pass(format)) return false;
            if (stopped_) return true;
            if (index_ == before || index_ >= args_.size()) return true;
        }
    }

    std::uint64_t charged() const { return charged_; }
    bool invalid() const { return invalid_; }

private:
    bool charge(std::uint64_t bytes) {
        if (bytes > kMaxFieldBytes) {
            // Refused as a charge no budget can hold, so the run stops as for any refused charge.
            (void)sys_.charge_memory(std::numeric_limits<std::uint64_t>::max());
            return false;
        }
        if (!sys_.charge_memory(bytes)) return false;
        charged_ = sat_add(charged_, bytes);
        return true;
    }

    std::string_view next() { return printf_next_argument(args_, index_); }

    // The next argument as a signed count for "*": (negative flag, magnitude).
    std::pair<bool, std::uint64_t> star() {
        const std::string_view arg = next();
        const std::int64_t v = number(parse_signed(arg), arg);
        if (v < 0) return {true, static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(v)};
        return {false, static_cast<std::uint64_t>(v)};
    }

    bool pass(std::string_view format) {
        std::size_t i = 0;
        while (i < format.size()) {
            const std::size_t percent = format.find('%', i);
            if (percent == std::string_view::npos) {
                out_.append(format.substr(i));
                return true;
            }
            out_.append(format.substr(i, percent - i));
            i = percent + 1;
            if (i < format.size() && format[i] == '%') {
                out_ += '%';
                ++i;
                continue;
            }
            Directive d;
            for (; i < format.size(); ++i) {
                const char c = format[i];
                if (c == '-') d.left = true;
                else if (c == '0') d.zero = true;
                else if (c == '+') d.sign = "+";
                else if (c == ' ') { if (d.sign != "+") d.sign = " "; }
                else if (c == '#') d.alternate = true;
                else break;
            }
            if (i < format.size() && format[i] == '*') {
                ++i;
                auto [negative, magnitude] = star();
                if (negative) d.left = true;
                d.width = magnitude;
            } else {
                const PrintfNumber n = printf_read_number(format, i);
                if (n.present) d.width = n.value;
            }
            if (i < format.size() && format[i] == '.') {
                ++i;
                if (i < format.size() && format[i] == '*') {
                    ++i;
                    auto [negative, magnitude] = star();
                    if (!negative) d.precision = magnitude;
                } else {
                    d.precision = printf_read_number(format, i).value;
                }
            }
            // Length modifiers change nothing here: every integer is 64 bits wide.
            while (i < format.size() && std::string_view("hlLjzt").find(format[i]) != std::string_view::npos) ++i;
            char32_t conversion = 's';
            if (i < format.size()) conversion = utf8_next_char(format, i);
            if (!convert(conversion, d)) return false;
            if (stopped_) return true;
        }
        return true;
    }

    // The value of a parsed number argument; a bad one is reported and makes the status 1.
    template <class T>
    T number(const Parsed<T>& parsed, std::string_view arg) {
        if (!parsed.valid) {
            fmt::format_to(std::back_inserter(err_), "printf: {}: invalid number\n", arg);
            invalid_ = true;
        } else if (parsed.overflow) {
            fmt::format_to(std::back_inserter(err_), "printf: warning: {}: Numerical result out of range\n", arg);
        }
        return parsed.value;
    }

    // Digits of an integer conversion with the precision (a minimum digit count) and '#'.
    void append_integer(std::string_view sign, std::string digits, const Directive& d, std::string_view prefix) {
        if (d.precision) {
            if (*d.precision == 0 && digits == "0") digits.clear();
            if (digits.size() < *d.precision) digits.insert(0, static_cast<std::size_t>(*d.precision) - digits.size(), '0');
        }
        out_ += sign;
        if (!digits.empty() && digits != "0") out_ += prefix;
        out_ += digits;
    }

    bool append_float(char32_t conversion, const Directive& d, std::string_view arg) {
        const std::uint64_t precision = d.precision.value_or(6);
        if (!charge(sat_add(precision, 310))) return false;
        const double value = number(parse_float(arg), arg);
        const std::size_t begin = out_.size();
        if (!std::signbit(value)) out_ += d.sign;
        if (conversion == 'f' || conversion == 'F') {
            append_fixed(out_, value, precision);
        } else {
            const bool general = conversion == 'g' || conversion == 'G';
            const int digits = static_cast<int>(std::min<std::uint64_t>(general && precision == 0 ? 1 : precision,
                                                                        std::numeric_limits<int>::max() - 400));
            const std::size_t start = out_.size();
            out_.resize(start + static_cast<std::size_t>(digits) + 330);
            const auto result = std::to_chars(out_.data() + start, out_.data() + out_.size(), value,
                                              general ? std::chars_format::general : std::chars_format::scientific,
                                              digits);
            out_.resize(result.ec == std::errc{} ? static_cast<std::size_t>(result.ptr - out_.data()) : start);
            if (d.alternate && general && std::isfinite(value)) {
                // '#' keeps the trailing zeros of %g: as many significant digits as the precision.
                std::string_view text = std::string_view(out_).substr(start);
                const std::size_t exp = text.find('e');
                std::string mantissa(text.substr(0, exp));
                const std::string exponent(exp == std::string_view::npos ? "" : text.substr(exp));
                if (mantissa.find('.') == std::string::npos) mantissa += '.';
                std::size_t significant = 0;
                bool leading = true;
                for (char c : mantissa) {
                    if (c < '0' || c > '9') continue;
                    if (c != '0') leading = false;
                    if (!leading) ++significant;
                }
                if (significant == 0) significant = 1;
                if (significant < static_cast<std::size_t>(digits)) mantissa.append(static_cast<std::size_t>(digits) - significant, '0');
                out_.resize(start);
                out_ += mantissa;
                out_ += exponent;
            }
        }
        if (conversion == 'E' || conversion == 'G' || conversion == 'F')
            for (std::size_t k = begin; k < out_.size(); ++k) out_[k] = static_cast<char>(std::toupper(static_cast<unsigned char>(out_[k])));
        return true;
    }

    bool convert(char32_t conversion, const Directive& d) {
        const std::string_view arg = next();
        const std::size_t start = out_.size();
        switch (conversion) {
        case 'd':
        case 'i': {
            const std::int64_t v = number(parse_signed(arg), arg);
            const std::uint64_t magnitude = v < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
            append_integer(v < 0 ? "-" : d.sign, fmt::format("{}", magnitude), d, "");
            break;
        }
        case 'u': append_integer("", fmt::format("{}", number(parse_unsigned(arg), arg)), d, ""); break;
        case 'o': append_integer("", fmt::format("{:o}", number(parse_unsigned(arg), arg)), d, d.alternate ? "0" : ""); break;
        case 'x': append_integer("", fmt::format("{:x}", number(parse_unsigned(arg), arg)), d, d.alternate ? "0x" : ""); break;
        case 'X': append_integer("", fmt::format("{:X}", number(parse_unsigned(arg), arg)), d, d.alternate ? "0X" : ""); break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
            if (!append_float(conversion, d, arg)) return false;
            break;
        case 's': out_ += d.precision ? first_chars(arg, *d.precision) : arg; break;
        case 'q': append_shell_quoted(out_, arg); break;
        case 'c': out_ += first_chars(arg, 1); break;
        case 'b': {
            // The argument up to its first "\c" escape; after it the command stops.
            std::size_t cut = std::string_view::npos;
            for (std::size_t k = 0; k + 1 < arg.size(); ++k) {
                if (arg[k] != '\\') continue;
                if (arg[k + 1] == 'c') {
                    cut = k;
                    break;
                }
                ++k;  // the escaped character is never the start of "\c"
            }
            out_ += decode_escapes(arg.substr(0, cut));
            if (cut != std::string_view::npos) stopped_ = true;
            break;
        }
        default: out_ += arg; break;
        }
        return pad(start, d);
    }

    bool pad(std::size_t start, const Directive& d) {
        const std::uint64_t length = out_.size() - start;
        if (!d.width || length >= *d.width) return true;
        if (!charge(*d.width)) return false;
        const std::size_t fill = static_cast<std::size_t>(*d.width - length);
        if (d.left) {
            out_.append(fill, ' ');
        } else if (d.zero) {
            std::size_t at = start;
            if (length > 0 && (out_[start] == '-' || out_[start] == '+' || out_[start] == ' ')) ++at;
            out_.insert(at, fill, '0');
        } else {
            out_.insert(start, fill, ' ');
        }
        return true;
    }

    Syscalls& sys_;
    std::span<const std::string> args_;
    std::string& out_;
    std::string& err_;
    bool invalid_ = false;
    std::size_t index_ = 0;
    std::uint64_t charged_ = 0;
    bool stopped_ = false;
};

}  // namespace

std::string_view printf_next_argument(std::span<const std::string> arguments, std::size_t& index) {
    const std::size_t i = index++;
    return i < arguments.size() ? std::string_view(arguments[i]) : std::string_view();
}

PrintfNumber printf_read_number(std::string_view format, std::size_t& position) {
    PrintfNumber n;
    while (position < format.size() && format[position] >= '0' && format[position] <= '9') {
        n.present = true;
        n.value = sat_add(sat_mul(n.value, 10), static_cast<std::uint64_t>(format[position] - '0'));
        ++position;
    }
    return n;
}

std::int32_t printf_command(NativeInvocation& invocation, CommandIo& io) {
    // A leading "--" ends the options, of which printf has none.
    std::span<const std::string> args = invocation.args;
    if (!args.empty() && args[0] == "--") args = args.subspan(1);
    if (args.empty()) return 0;
    const std::string format = decode_escapes(args[0]);
    const std::size_t start = io.out.size();
    Formatter formatter(invocation.sys, args.subspan(1), io.out, io.err);
    const bool ok = formatter.run(format);
    invocation.sys.release_memory(formatter.charged());
    if (!ok) {
        io.out.resize(start);
        return invocation.sys.exhausted_status();
    }
    return formatter.invalid() ? 1 : 0;
}

}  // namespace tw
