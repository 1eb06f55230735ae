// The operand readers and message helpers of dd.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "base/result.h"

namespace tw {

class SyscallContext;
using Syscalls = SyscallContext;

// A decimal number that fits in 64 bits, with an optional leading "+"; else "invalid number TEXT".
Result<std::uint64_t, std::string> dd_parse_number(std::string_view text);
// A positive size with an optional last letter c (1), b (512), k or K (1024), M (2^20) or G (2^30).
Result<std::uint64_t, std::string> dd_parse_size(std::string_view text);
// Charges `amount` to the memory budget; "memory limit exceeded" when refused.
Result<void, std::string> dd_charge_memory(Syscalls& sys, bool (Syscalls::*charge)(std::uint64_t), std::uint64_t amount);
// Appends "dd: MESSAGE" and a newline.
void dd_report_error(Bytes& err, std::string_view message);
// A text shown in a message: in double quotes, with backslash escapes for quotes, backslashes and
// control characters.
std::string dd_quote(std::string_view text);

}  // namespace tw
