#include <charconv>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "base/sat.h"
#include "commands/text/layout_commands.h"
#include "commands/text/text_lines.h"
#include "commands/util/io.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

constexpr double kTolerance = 0.000000001;

bool is_integer(double v) { return std::isfinite(v) && std::trunc(v) == v; }

std::int64_t saturating_int(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
    if (v <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);
}

// The shortest decimal text that reads back as `v`, never with an exponent.
std::string shortest_fixed(double v) {
    char buffer[400];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed);
    return std::string(buffer, result.ptr);
}

// The digits after the decimal point of a plain decimal operand; nothing for an operand with an
// exponent or a word (inf, nan).
std::optional<std::size_t> decimals(std::string_view text) {
    for (char c : text)
        if (!(c >= '0' && c <= '9') && c != '.' && c != '-' && c != '+') return std::nullopt;
    const std::size_t point = text.find('.');
    return point == std::string_view::npos ? 0 : text.size() - point - 1;
}

// The text of `v` with `places` decimals.
std::string fixed_text(long double v, std::size_t places) {
    char buffer[512];
    const int n = std::snprintf(buffer, sizeof buffer, "%.*Lf", static_cast<int>(places), v);
    return std::string(buffer, n > 0 ? std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1) : 0);
}

}  // namespace

std::int32_t seq_command(NativeInvocation& invocation, CommandIo& io) {
    const auto args = invocation.args;
    // Every argument with a leading dash must be a (negative) number: seq takes no options.
    for (const std::string& arg : args) {
        if (!arg.empty() && arg[0] == '-' && !parse_decimal_double(arg)) {
            push_message(io.err, "seq", "unimplemented option");
            return 2;
        }
    }
    std::vector<double> numbers;
    for (const std::string& arg : args) {
        auto value = parse_decimal_double(arg);
        if (!value) {
            push_message(io.err, "seq", "invalid floating point argument");
            return 1;
        }
        numbers.push_back(*value);
    }
    double first = 1, increment = 1, last = 0;
    switch (numbers.size()) {
    case 1: last = numbers[0]; break;
    case 2: first = numbers[0]; last = numbers[1]; break;
    case 3: first = numbers[0]; increment = numbers[1]; last = numbers[2]; break;
    default: push_message(io.err, "seq", "missing or extra operand"); return 1;
    }
    if (!(increment > 0) && !(increment < 0)) {
        push_message(io.err, "seq", "zero increment");
        return 1;
    }
    Syscalls& sys = invocation.sys;
    const auto write = [&](const std::string& text) {
        const std::uint64_t remaining = sys.output_remaining();
        if (sat_add(io.out.size(), text.size()) >= remaining) {
            sys.charge_output(sat_add(remaining, 1));
            return false;
        }
        push_line(io.out, text);
        return true;
    };
    // Decimal operands: each value is first + i * increment, written with as many decimals as
    // the first value or the increment has. A value just past the last one still counts when it
    // is written the same as the last one.
    std::optional<std::size_t> places = decimals(args[0]);
    if (numbers.size() == 1) places = 0;
    if (numbers.size() == 3 && places) {
        if (auto step_places = decimals(args[1])) places = std::max(*places, *step_places);
        else places.reset();
    }
    if (places && *places > 0 && std::isfinite(last) && std::isfinite(increment)) {
        const long double base = std::strtold(args[0].c_str(), nullptr);
        const long double step_value = numbers.size() == 3 ? std::strtold(args[1].c_str(), nullptr) : 1.0L;
        const long double end = std::strtold(args.back().c_str(), nullptr);
        const std::string end_text = fixed_text(end, *places);
        for (std::uint64_t i = 0;; ++i) {
            const long double v = base + static_cast<long double>(i) * step_value;
            std::string text = fixed_text(v, *places);
            const bool past = increment > 0 ? v > end : v < end;
            if (past && text != end_text) break;
            if (!sys.charge_cpu(1)) return sys.exhausted_status();
            if (!write(text)) return sys.exhausted_status();
            if (past) break;
        }
        return 0;
    }
    const bool integer_mode = is_integer(first) && is_integer(increment) && is_integer(last);
    const auto in_range = [&](double v) {
        return increment > 0 ? v <= last + kTolerance : v >= last - kTolerance;
    };
    for (double v = first; in_range(v);) {
        if (!sys.charge_cpu(1)) return sys.exhausted_status();
        const std::string text = integer_mode ? fmt::format("{}", saturating_int(v)) : shortest_fixed(v);
        if (!write(text)) return sys.exhausted_status();
        // A finite value too large for the increment to change it would repeat forever:
        // it is printed once and the sequence ends there.
        const double next = v + increment;
        if (next == v && std::isfinite(v)) break;
        v = next;
    }
    return 0;
}

}  // namespace tw
