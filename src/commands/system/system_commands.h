// The system commands of this library, as registry handlers.
#pragma once

#include <cstdint>
#include <string>

#include "shell/command_io.h"

namespace tw {

// `uname [-amnorsv] [--all]`
std::int32_t uname_command(NativeInvocation& invocation, CommandIo& io);
// `arch`
std::int32_t arch_command(NativeInvocation& invocation, CommandIo& io);
// `hostname [-f] [NAME]`
std::int32_t hostname_command(NativeInvocation& invocation, CommandIo& io);
// `whoami`, also `logname`
std::int32_t whoami_command(NativeInvocation& invocation, CommandIo& io);
// `id [-ugn]`
std::int32_t id_command(NativeInvocation& invocation, CommandIo& io);
// `groups`
std::int32_t groups_command(NativeInvocation& invocation, CommandIo& io);
// `nproc`
std::int32_t nproc_command(NativeInvocation& invocation, CommandIo& io);
// `getconf NAME`
std::int32_t getconf_command(NativeInvocation& invocation, CommandIo& io);
// `df [-hkP] [PATH...]`
std::int32_t df_command(NativeInvocation& invocation, CommandIo& io);
// `free [-b]`
std::int32_t free_command(NativeInvocation& invocation, CommandIo& io);

// `ps [aux] [-e] [-f] [-o COLUMNS] [-p PIDS] [PID...]`
std::int32_t ps_command(NativeInvocation& invocation, CommandIo& io);
// `pgrep [-fxla] PATTERN`
std::int32_t pgrep_command(NativeInvocation& invocation, CommandIo& io);
// `pkill [-fx] [-SIGNAL | -s SIGNAL] PATTERN`
std::int32_t pkill_command(NativeInvocation& invocation, CommandIo& io);
// `killall [-SIGNAL | -s SIGNAL] NAME...`
std::int32_t killall_command(NativeInvocation& invocation, CommandIo& io);
// `lsof [-p PID] [PATH]`
std::int32_t lsof_command(NativeInvocation& invocation, CommandIo& io);
// `ss` and `netstat`: the listener names of the virtual network.
std::int32_t socket_listing_command(NativeInvocation& invocation, CommandIo& io);

// `date [-u] [+FORMAT]`
std::int32_t date_command(NativeInvocation& invocation, CommandIo& io);
// `sync`: every write is already complete.
std::int32_t sync_command(NativeInvocation& invocation, CommandIo& io);

// A byte count as df -h shows it: "5G", "10M", "3K" or "1023B", the quotient truncated.
std::string human_size(std::uint64_t bytes);

}  // namespace tw
