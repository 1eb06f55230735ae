// uname, arch, hostname, whoami/logname, id, groups, nproc, getconf, df and free: the machine's
// identity and its disk and memory budgets.
#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "commands/system/system_commands.h"
#include "commands/util/file_command.h"
#include "commands/util/io.h"
#include "kernel/syscalls.h"

namespace tw {
namespace {

constexpr std::int32_t kUsage = 2;
constexpr std::int32_t kFailed = 1;

std::string_view user_name(std::uint32_t uid) { return uid == 0 ? "root" : "user"; }

bool starts_with_dash(std::string_view arg) { return !arg.empty() && arg.front() == '-'; }

// The commands that take no arguments at all: true after refusing any with "NAME: MESSAGE".
bool refuse_arguments(const NativeInvocation& invocation, CommandIo& io, std::string_view name,
                      std::string_view message) {
    if (invocation.args.empty()) return false;
    push_message(io.err, name, message);
    return true;
}

}  // namespace

std::int32_t uname_command(NativeInvocation& invocation, CommandIo& io) {
    // Fields in print order: s n r v m o.
    static constexpr std::string_view kLetters = "snrvmo";
    std::array<bool, 6> selected{};
    for (const std::string& arg : invocation.args) {
        if (arg == "--all") {
            selected.fill(true);
            continue;
        }
        if (!starts_with_dash(arg)) {
            push_message(io.err, "uname", "extra operand");
            return kFailed;
        }
        const std::string_view letters = std::string_view(arg).substr(1);
        if (letters.empty() || letters.find_first_not_of("amnorsv") != std::string_view::npos) {
            push_message(io.err, "uname", fmt::format("unimplemented option '{}'", arg));
            return kUsage;
        }
        for (char c : letters) {
            if (c == 'a') selected.fill(true);
            else selected[kLetters.find(c)] = true;
        }
    }
    if (selected == std::array<bool, 6>{}) selected[0] = true;
    const std::array<std::string, 6> fields{"Linux", invocation.sys.hostname(), "6.6.0-tarnwick", "#1 SMP", "x86_64",
                                            "GNU/Linux"};
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (!selected[i]) continue;
        if (!line.empty()) line += ' ';
        line += fields[i];
    }
    push_line(io.out, line);
    return 0;
}

std::int32_t arch_command(NativeInvocation& invocation, CommandIo& io) {
    if (refuse_arguments(invocation, io, "arch", "unimplemented option or operand")) return kUsage;
    push_line(io.out, "x86_64");
    return 0;
}

std::int32_t hostname_command(NativeInvocation& invocation, CommandIo& io) {
    const std::string* new_name = nullptr;
    for (const std::string& arg : invocation.args) {
        if (starts_with_dash(arg)) {
            if (arg == "-f") continue;
            push_message(io.err, "hostname", "unimplemented option");
            return kUsage;
        }
        if (!new_name) new_name = &arg;
    }
    if (!new_name) {
        push_line(io.out, invocation.sys.hostname());
        return 0;
    }
    if (auto set = invocation.sys.set_hostname(*new_name); !set) {
        push_failure(io.err, "hostname", set.error());
        return kFailed;
    }
    return 0;
}

std::int32_t whoami_command(NativeInvocation& invocation, CommandIo& io) {
    if (refuse_arguments(invocation, io, "whoami", "unimplemented option or operand")) return kUsage;
    push_line(io.out, user_name(invocation.sys.getuid()));
    return 0;
}

std::int32_t id_command(NativeInvocation& invocation, CommandIo& io) {
    bool user = false, group = false, name = false;
    for (const std::string& arg : invocation.args) {
        if (!starts_with_dash(arg) || arg.size() == 1) {
            push_message(io.err, "id", "unimplemented user operand");
            return kUsage;
        }
        for (char c : std::string_view(arg).substr(1)) {
            if (c == 'u') user = true;
            else if (c == 'g') group = true;
            else if (c == 'n') name = true;
            else {
                push_message(io.err, "id", fmt::format("unimplemented option '-{}'", c));
                return kUsage;
            }
        }
    }
    if (user && group) {
        push_message(io.err, "id", "cannot print only user and only group");
        return kFailed;
    }
    if (name && !user && !group) {
        push_message(io.err, "id", "option '-n' requires '-u' or '-g'");
        return kFailed;
    }
    const std::uint32_t uid = invocation.sys.getuid();
    const std::string_view uname = user_name(uid);
    if (user || group) push_line(io.out, name ? std::string(uname) : std::to_string(uid));
    else push_line(io.out, fmt::format("uid={0}({1}) gid={0}({1}) groups={0}({1})", uid, uname));
    return 0;
}

std::int32_t groups_command(NativeInvocation& invocation, CommandIo& io) {
    if (refuse_arguments(invocation, io, "groups", "unimplemented user operand")) return kUsage;
    push_line(io.out, user_name(invocation.sys.getuid()));
    return 0;
}

std::int32_t nproc_command(NativeInvocation& invocation, CommandIo& io) {
    if (refuse_arguments(invocation, io, "nproc", "unimplemented option")) return kUsage;
    push_line(io.out, "1");
    return 0;
}

std::int32_t getconf_command(NativeInvocation& invocation, CommandIo& io) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 7> kVariables{{
        {"_NPROCESSORS_ONLN", "1"},
        {"NPROCESSORS_ONLN", "1"},
        {"PAGESIZE", "4096"},
        {"PAGE_SIZE", "4096"},
        {"ARG_MAX", "2097152"},
        {"PATH_MAX", "4096"},
        {"OPEN_MAX", "256"},
    }};
    if (invocation.args.empty()) return kFailed;
    const std::string& wanted = invocation.args.front();
    for (const auto& [variable, value] : kVariables) {
        if (variable == wanted) {
            push_line(io.out, value);
            return 0;
        }
    }
    push_message(io.err, "getconf", fmt::format("Unrecognized variable `{}'", wanted));
    return kUsage;
}

std::string human_size(std::uint64_t bytes) {
    static constexpr std::array<std::pair<std::uint64_t, char>, 3> kUnits{{
        {1073741824, 'G'},
        {1048576, 'M'},
        {1024, 'K'},
    }};
    for (const auto& [unit, letter] : kUnits) {
        if (bytes >= unit) return fmt::format("{}{}", bytes / unit, letter);
    }
    return fmt::format("{}B", bytes);
}

std::int32_t df_command(NativeInvocation& invocation, CommandIo& io) {
    bool human = false;
    for (const std::string& arg : invocation.args) {
        if (!starts_with_dash(arg)) continue;
        if (arg == "-h") human = true;
        else if (arg != "-k" && arg != "-P") {
            push_message(io.err, "df", "unimplemented option");
            return kUsage;
        }
    }
    for (const std::string& arg : invocation.args) {
        if (starts_with_dash(arg)) continue;
        if (!stat_operand(invocation.sys, arg, true)) {
            push_message(io.err, "df", fmt::format("{}: No such file or directory", arg));
            return kFailed;
        }
    }
    const std::uint64_t size = invocation.sys.limits().disk;
    const std::uint64_t used = invocation.sys.disk_used();
    const std::uint64_t available = used > size ? 0 : size - used;
    std::uint64_t percent = 100;
    if (size != 0) {
        std::uint64_t scaled = 0;
        if (__builtin_mul_overflow(used, std::uint64_t{100}, &scaled)) scaled = std::numeric_limits<std::uint64_t>::max();
        percent = scaled / size;
    }
    const auto show = [human](std::uint64_t bytes) { return human ? human_size(bytes) : std::to_string(bytes / 1024); };
    push_line(io.out, "Filesystem      Size  Used Avail Use% Mounted on");
    push_line(io.out, fmt::format("tarnwick       {}  {}  {}  {}% /", show(size), show(used), show(available), percent));
    return 0;
}

std::int32_t free_command(NativeInvocation& invocation, CommandIo& io) {
    for (const std::string& arg : invocation.args) {
        if (arg != "-b") {
            push_message(io.err, "free", "unimplemented option or operand");
            return kUsage;
        }
    }
    const std::uint64_t divisor = invocation.args.empty() ? 1024 : 1;
    const std::uint64_t total = invocation.sys.limits().memory;
    const std::uint64_t used = invocation.sys.memory_used();
    const std::uint64_t free = used > total ? 0 : total - used;
    push_line(io.out, "              total        used        free      shared  buff/cache   available");
    push_line(io.out, fmt::format("Mem:     {:>10}  {:>10}  {:>10}           0           0  {:>10}", total / divisor,
                                  used / divisor, free / divisor, free / divisor));
    push_line(io.out, "Swap:             0           0           0");
    return 0;
}

}  // namespace tw
