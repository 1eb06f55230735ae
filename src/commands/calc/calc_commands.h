// The calculators: bc (decimal numbers of any length) and expr (one expression from the words of
// its command line).
#pragma once

#include <cstdint>

#include "shell/command_io.h"

namespace tw {

void bc_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
std::int32_t expr_command(NativeInvocation& invocation, CommandIo& io);

}  // namespace tw
