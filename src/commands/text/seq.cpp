#include <charconv>
#include <cmath>
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
    const bool integer_mode = is_integer(first) && is_integer(increment) && is_integer(last);
    Syscalls& sys = invocation.sys;
    const auto in_range = [&](double v) {
        return increment > 0 ? v <= last + kTolerance : v >= last - kTolerance;
    };
    for (double v = first; in_range(v);) {
        if (!sys.charge_cpu(1)) return sys.exhausted_status();
        const std::string text = integer_mode ? fmt::format("{}", saturating_int(v)) : shortest_fixed(v);
        const std::uint64_t remaining = sys.output_remaining();
        if (sat_add(io.out.size(), text.size()) >= remaining) {
            sys.charge_output(sat_add(remaining, 1));
            return sys.exhausted_status();
        }
        push_line(io.out, text);
        // A finite value too large for the increment to change it would repeat forever:
        // it is printed once and the sequence ends there.
        const double next = v + increment;
        if (next == v && std::isfinite(v)) break;
        v = next;
    }
    return 0;
}

}  // namespace tw
