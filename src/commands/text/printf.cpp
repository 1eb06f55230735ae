#include <charconv>
#include <cstdlib>
#include <algorithm>
#include <cstdint>
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

std::string_view trim_space(std::string_view s) {
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    return s;
}

// One leading "+" is allowed before the digits (and not before a "-").
std::string_view strip_plus(std::string_view text) {
    if (!text.starts_with('+')) return text;
    text.remove_prefix(1);
    if (text.starts_with('+') || text.starts_with('-')) return {};
    return text;
}

// A signed 64-bit decimal with an optional sign; anything else, and a value out of range, is 0.
std::int64_t parse_integer(std::string_view text) {
    text = strip_plus(trim_space(text));
    if (text.empty()) return 0;
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
    if (ec != std::errc() || end != text.data() + text.size()) return 0;
    return value;
}

double parse_float(std::string_view text) {
    text = strip_plus(trim_space(text));
    if (text.empty()) return 0.0;
    double value = 0.0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (end != text.data() + text.size()) return 0.0;
    if (ec == std::errc::result_out_of_range) {
        // Beyond the double range: strtod gives the infinity or the (signed) zero.
        const std::string copy(text);
        return std::strtod(copy.c_str(), nullptr);
    }
    if (ec != std::errc()) return 0.0;
    return value;
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
    Formatter(Syscalls& sys, std::span<const std::string> args, std::string& out)
        : sys_(sys), args_(args), out_(out) {}

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
        const std::int64_t v = parse_integer(next());
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
                else if (c == '#') {}
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
            char32_t conversion = 's';
            if (i < format.size()) conversion = utf8_next_char(format, i);
            if (!convert(conversion, d)) return false;
            if (stopped_) return true;
        }
        return true;
    }

    bool convert(char32_t conversion, const Directive& d) {
        const std::string_view arg = next();
        const std::size_t start = out_.size();
        switch (conversion) {
        case 'd':
        case 'i': {
            const std::int64_t v = parse_integer(arg);
            if (v >= 0) out_ += d.sign;
            fmt::format_to(std::back_inserter(out_), "{}", v);
            break;
        }
        case 'o': fmt::format_to(std::back_inserter(out_), "{:o}", static_cast<std::uint64_t>(parse_integer(arg))); break;
        case 'x': fmt::format_to(std::back_inserter(out_), "{:x}", static_cast<std::uint64_t>(parse_integer(arg))); break;
        case 'X': fmt::format_to(std::back_inserter(out_), "{:X}", static_cast<std::uint64_t>(parse_integer(arg))); break;
        case 'f':
        case 'F': {
            const std::uint64_t precision = d.precision.value_or(6);
            if (!charge(sat_add(precision, 310))) return false;
            append_fixed(out_, parse_float(arg), precision);
            break;
        }
        case 's': out_ += d.precision ? first_chars(arg, *d.precision) : arg; break;
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
    Formatter formatter(invocation.sys, args.subspan(1), io.out);
    const bool ok = formatter.run(format);
    invocation.sys.release_memory(formatter.charged());
    if (!ok) {
        io.out.resize(start);
        return invocation.sys.exhausted_status();
    }
    return 0;
}

}  // namespace tw
