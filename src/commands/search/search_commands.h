// The search commands as registry handlers (suspendable: they may wait for standard input).
#pragma once

#include "shell/command_io.h"

namespace tw {

// `grep [OPTIONS] PATTERN [FILE...]`, basic syntax.
void grep_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// The same command starting with extended syntax.
void egrep_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// The same command starting with fixed strings.
void fgrep_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);

// `rg [OPTIONS] PATTERN [PATH...]`: recursive search with file selection.
void rg_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);

}  // namespace tw
