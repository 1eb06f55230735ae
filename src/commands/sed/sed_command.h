// The sed command: options, script assembly, reading of the input and in-place editing. The
// work itself is the engine's (engine.h).
#pragma once

#include "shell/command_io.h"

namespace tw {

// `sed [-n] [-E|-r] [-s] [-z] [-i] [-e SCRIPT]... [-f FILE]... [SCRIPT] [FILE...]`
void sed_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);

}  // namespace tw
