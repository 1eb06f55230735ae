// sleep and usleep: one timer on the machine's clock, then the end. In virtual-clock mode the
// wait costs no host time: the scheduler moves the clock to the deadline when nothing else runs.
// Also the duration syntax that timeout shares.
#include <array>
#include <charconv>
#include <limits>

#include <fmt/format.h>

#include "kernel/syscalls.h"
#include "shell/program/program.h"

namespace tw {
namespace {

using u128 = unsigned __int128;

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

struct Unit {
    std::string_view suffix;
    std::uint64_t ns;
};

// Tested in this order: the first suffix that ends the text is the unit.
constexpr std::array<Unit, 8> kUnits = {{
    {"ns", 1},
    {"us", 1'000},
    {"\xC2\xB5s", 1'000},  // µs
    {"ms", 1'000'000},
    {"s", 1'000'000'000},
    {"m", 60'000'000'000},
    {"h", 3'600'000'000'000},
    {"d", 86'400'000'000'000},
}};

bool all_digits(std::string_view text) { return text.find_first_not_of("0123456789") == std::string_view::npos; }

// floor(fraction digits × unit ÷ 10^digits), exactly: the digits times the unit are multiplied
// out in decimal, then the last `digits` decimal places are dropped. The result is below `unit`.
std::uint64_t fraction_ns(std::string_view digits, std::uint64_t unit) {
    // Little-endian decimal digits of digits × unit.
    std::vector<std::uint64_t> product(digits.size() + 21, 0);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        const std::uint64_t d = static_cast<std::uint64_t>(digits[digits.size() - 1 - i] - '0');
        u128 carry = static_cast<u128>(d) * unit;
        for (std::size_t k = i; carry != 0; ++k) {
            carry += product[k];
            product[k] = static_cast<std::uint64_t>(carry % 10);
            carry /= 10;
        }
    }
    std::uint64_t value = 0;
    for (std::size_t k = product.size(); k-- > digits.size();) value = value * 10 + product[k];
    return value;
}

std::string trim(std::string_view text) {
    constexpr std::string_view kBlank = " \t\n\r\v\f";
    const std::size_t start = text.find_first_not_of(kBlank);
    if (start == std::string_view::npos) return {};
    const std::size_t end = text.find_last_not_of(kBlank);
    return std::string(text.substr(start, end - start + 1));
}

ProgramContinuation refused_sleep(std::string message) {
    program::Sleep state;
    state.diagnostics.data = std::move(message);
    state.status = 1;
    return ProgramContinuation{std::move(state)};
}

}  // namespace

Result<std::uint64_t, std::string> parse_duration(std::string_view text) {
    const auto invalid = [&] { return std::unexpected(fmt::format("invalid duration {}", text)); };
    const auto too_large = [&] { return std::unexpected(fmt::format("duration is too large: {}", text)); };

    std::string rest = trim(text);
    std::uint64_t unit = 1'000'000'000;
    for (const Unit& u : kUnits) {
        if (rest.ends_with(u.suffix)) {
            unit = u.ns;
            rest.resize(rest.size() - u.suffix.size());
            break;
        }
    }
    std::string_view number(rest);
    if (number.starts_with('+')) number.remove_prefix(1);
    if (number.empty() || number.starts_with('-')) return invalid();

    const std::size_t dot = number.find('.');
    std::string_view whole = number.substr(0, dot);
    std::string_view fraction = dot == std::string_view::npos ? std::string_view() : number.substr(dot + 1);
    if (fraction.find('.') != std::string_view::npos) return invalid();
    if (!all_digits(whole) || !all_digits(fraction) || (whole.empty() && fraction.empty())) return invalid();

    u128 total = 0;
    for (char c : whole) {
        // Past 64 bits the integer part alone is too large, so the 128-bit total cannot overflow.
        total = total * 10 + static_cast<u128>(c - '0');
        if (total > kU64Max) return too_large();
    }
    total *= unit;  // below 2^64 × 2^47
    if (fraction.size() > 38) fraction = fraction.substr(0, 38);
    if (!fraction.empty()) total += fraction_ns(fraction, unit);
    if (total > kU64Max) return too_large();
    return static_cast<std::uint64_t>(total);
}

ProgramContinuation launch_sleep(std::span<const std::string> args) {
    if (args.empty()) return refused_sleep("sleep: missing operand\n");
    program::Sleep state;
    for (const std::string& arg : args) {
        auto ns = parse_duration(arg);
        if (!ns || *ns > kU64Max - state.total_ns)
            return refused_sleep(fmt::format("sleep: invalid time interval '{}'\n", arg));
        state.total_ns += *ns;
    }
    return ProgramContinuation{std::move(state)};
}

ProgramContinuation launch_usleep(std::span<const std::string> args) {
    if (args.empty()) return refused_sleep("usleep: missing operand\n");
    const std::string& arg = args[0];
    std::uint64_t micros = 0;
    auto [end, error] = std::from_chars(arg.data(), arg.data() + arg.size(), micros);
    if (arg.empty() || error != std::errc() || end != arg.data() + arg.size() || micros > kU64Max / 1000)
        return refused_sleep(fmt::format("usleep: invalid time interval '{}'\n", arg));
    program::Sleep state;
    state.total_ns = micros * 1000;
    return ProgramContinuation{std::move(state)};
}

ProgramStep step_sleep(program::Sleep& state, SyscallContext& sys, std::uint64_t& budget) {
    if (state.diagnostics.pending() || state.status != 0)
        return drain_then_finish(sys, 2, state.diagnostics, budget, state.status);
    if (!state.timer_set) {
        if (state.total_ns == 0) return ProgramStep::finished(0);
        auto key = sys.sleep(state.total_ns);
        if (!key) {
            state.diagnostics.data = fmt::format("sleep: {}\n", error_text(key.error()));
            state.status = 1;
            return drain_then_finish(sys, 2, state.diagnostics, budget, state.status);
        }
        state.timer_set = true;
        state.deadline = key->time_ns;
        return ProgramStep::blocked(WaitReason::timer(state.deadline));
    }
    auto now = sys.monotonic_ns(1);
    if (now && *now >= state.deadline) return ProgramStep::finished(0);
    return ProgramStep::blocked(WaitReason::timer(state.deadline));
}

}  // namespace tw
