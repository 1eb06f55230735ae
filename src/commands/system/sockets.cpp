// lsof (the paths open on each process's descriptors) and ss/netstat (the listener names of the
// virtual network).
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "commands/system/process_entry.h"
#include "commands/system/system_commands.h"
#include "commands/util/io.h"
#include "kernel/syscalls.h"

namespace tw {

std::int32_t lsof_command(NativeInvocation& invocation, CommandIo& io) {
    std::optional<std::uint32_t> pid_filter;
    std::optional<std::string_view> path_filter;
    const auto args = invocation.args;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-p") {
            pid_filter = i + 1 < args.size() ? parse_process_id(args[++i]) : std::nullopt;
            if (!pid_filter) {
                push_message(io.err, "lsof", "-p requires a PID");
                return 2;
            }
        } else if (!arg.empty() && arg.front() == '-') {
            push_message(io.err, "lsof", fmt::format("unsupported option {}", arg));
            return 2;
        } else {
            path_filter = arg;
        }
    }
    push_line(io.out, "COMMAND PID USER FD TYPE DEVICE SIZE/OFF NODE NAME");
    bool printed = false;
    for (const ProcessListEntry& e : invocation.sys.process_list()) {
        if (pid_filter && e.pid != *pid_filter) continue;
        std::string_view name = process_command_name(e);
        if (name.empty()) name = "?";
        for (const auto& [fd, path] : e.open_fds) {
            if (path_filter && path != *path_filter) continue;
            push_line(io.out, fmt::format("{} {} root {}u REG 0,0 0 0 {}", name, e.pid, fd, path));
            printed = true;
        }
    }
    return printed || (!pid_filter && !path_filter) ? 0 : 1;
}

std::int32_t socket_listing_command(NativeInvocation& invocation, CommandIo& io) {
    for (const std::string& arg : invocation.args) {
        if (arg.empty() || arg.front() != '-') {
            push_message(io.err, "socket listing", "operands are not supported");
            return 2;
        }
        const std::string_view letters = std::string_view(arg).substr(arg.find_first_not_of('-') == std::string::npos
                                                                          ? arg.size()
                                                                          : arg.find_first_not_of('-'));
        if (letters.find_first_not_of("alnptu") != std::string_view::npos) {
            push_message(io.err, "socket listing", "unsupported option");
            return 2;
        }
    }
    std::vector<std::string> names = invocation.sys.listeners();
    std::sort(names.begin(), names.end());
    push_line(io.out, "State  Recv-Q Send-Q Local Address:Port Peer Address:Port Process");
    for (const std::string& name : names)
        push_line(io.out, fmt::format("LISTEN 0      128    {:<18} 0.0.0.0:*         -", name));
    return 0;
}

}  // namespace tw
