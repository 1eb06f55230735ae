// The network commands of this library, as registry handlers.
#pragma once

#include <cstdint>

#include "shell/command_io.h"

namespace tw {

// `curl [-X M] [--url U] [-o F] [-O] [-sSifI] [-d D] [-H H] [-A UA] [-e R] [-b C] [-u U] URL`
// Blocks on HostHttp while a tool call posted to the tool endpoint waits for the host.
void curl_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `wget [-O F] [-q] [-P DIR] [--method M] [--header H] [--body-data D] [--post-data D] URL`
void wget_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
// `net route PATTERN [STATUS [WORD...]]`, `net route-file PATTERN PATH`, `net listen NAME`, `net log`
std::int32_t net_command(NativeInvocation& invocation, CommandIo& io);

}  // namespace tw
