// The file commands of this library, as registry handlers.
#pragma once

#include "shell/command_io.h"

namespace tw {

// `dd [if=PATH] [of=PATH] [bs=|ibs=|obs=SIZE] [count=|skip=|seek=N] [conv=notrunc] [status=none|noxfer]`
void dd_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);

}  // namespace tw
