#include "commands/files/dd_operands.h"

#include <fmt/format.h>

#include "commands/util/io.h"
#include "commands/util/options.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

Result<std::uint64_t, std::string> dd_parse_number(std::string_view text) {
    std::string_view digits = text;
    if (digits.starts_with('+')) digits.remove_prefix(1);
    const auto invalid = [&] { return std::unexpected(fmt::format("invalid number {}", dd_quote(text))); };
    if (digits.empty()) return invalid();
    std::uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return invalid();
        if (__builtin_mul_overflow(value, 10, &value) || __builtin_add_overflow(value, c - '0', &value)) return invalid();
    }
    return value;
}

Result<std::uint64_t, std::string> dd_parse_size(std::string_view text) {
    std::uint64_t multiplier = 1;
    std::string_view number = text;
    if (!text.empty()) {
        switch (text.back()) {
        case 'c': multiplier = 1; break;
        case 'b': multiplier = 512; break;
        case 'k':
        case 'K': multiplier = 1024; break;
        case 'M': multiplier = 1ULL << 20; break;
        case 'G': multiplier = 1ULL << 30; break;
        default: multiplier = 0; break;
        }
        if (multiplier != 0) number.remove_suffix(1);
        else multiplier = 1;
    }
    auto value = dd_parse_number(number);
    if (!value) return std::unexpected(std::move(value.error()));
    std::uint64_t size = 0;
    if (__builtin_mul_overflow(*value, multiplier, &size))
        return std::unexpected(fmt::format("invalid number {}", dd_quote(text)));
    if (size == 0) return std::unexpected(std::string("block size must be greater than zero"));
    return size;
}

Result<void, std::string> dd_charge_memory(Syscalls& sys, bool (Syscalls::*charge)(std::uint64_t), std::uint64_t amount) {
    if (!(sys.*charge)(amount)) return std::unexpected(std::string("memory limit exceeded"));
    return {};
}

void dd_report_error(Bytes& err, std::string_view message) { push_message(err, "dd", message); }

std::string dd_quote(std::string_view text) { return debug_quote(text); }

}  // namespace tw
