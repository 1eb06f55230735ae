// The text commands of this library, as registry handlers (run to completion).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "shell/command_io.h"

namespace tw {

// Backslash escapes decoded: \\ \a \b \e \f \n \r \t \v, \xH and \xHH, \N \NN \NNN (octal, up to
// 255; larger values give nothing). A code from \x or octal is written as that one byte, so escapes
// can spell any bytes (UTF-8 sequences included). Any other escape, \c included, stays as written;
// a lone backslash at the end stays.
std::string decode_escapes(std::string_view text);

// `echo [-n] [-e] [-E] [-ne] [-en] ARG...`
std::int32_t echo_command(NativeInvocation& invocation, CommandIo& io);
// `printf FORMAT [ARG...]`
std::int32_t printf_command(NativeInvocation& invocation, CommandIo& io);

// The argument at `index` (empty when none is left); `index` grows by one either way.
std::string_view printf_next_argument(std::span<const std::string> arguments, std::size_t& index);
// The decimal digits at `position`, which moves past them: whether there were any, and their
// value saturating at the largest 64-bit number.
struct PrintfNumber {
    bool present = false;
    std::uint64_t value = 0;
};
PrintfNumber printf_read_number(std::string_view format, std::size_t& position);

}  // namespace tw
