// The archive and byte-tool commands: their registry handlers.
#pragma once

#include "shell/command_io.h"

namespace tw {

void base64_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);  // base64, base32
void xxd_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);     // xxd, hexdump, od
void strings_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
void gzip_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
void gunzip_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
void zcat_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
void tar_command(NativeStep& step, NativeInvocation& invocation, CommandIo& io);
std::int32_t zip_command(NativeInvocation& invocation, CommandIo& io);
std::int32_t unzip_command(NativeInvocation& invocation, CommandIo& io);
std::int32_t ar_command(NativeInvocation& invocation, CommandIo& io);
std::int32_t ranlib_command(NativeInvocation& invocation, CommandIo& io);

}  // namespace tw
