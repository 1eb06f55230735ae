// The awk command (also run as gawk, mawk and nawk): options, program sources, assignments and
// inputs, then the BEGIN rules, the record rules over every line of every input, and the END
// rules.
#pragma once

#include "shell/command_io.h"

namespace tw {

// `awk [-F SEP] [-v NAME=VALUE]... [-f PROGRAM]... [PROGRAM] [NAME=VALUE | FILE]...`
void awk_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);

}  // namespace tw
