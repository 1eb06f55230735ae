// realpath, readlink, basename, dirname and mktemp: compute or create path names.
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "commands/files/file_commands.h"
#include "commands/util/file_command.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "kernel/syscalls.h"

namespace tw {
namespace {

// The body shared by realpath (-m: missing components allowed) and readlink (-f: resolve).
std::int32_t resolve_path_command(NativeInvocation& invocation, std::string_view name, CommandIo& io) {
    const bool is_realpath = name == "realpath";
    const CommandArgs args = CommandArgs::parse(invocation.args);
    if (report_unimplemented_option(name, args, is_realpath ? "m" : "f", io.err)) return kFileStatusUsage;
    if (args.operands.empty()) {
        push_message(io.err, name, "missing operand");
        return kFileStatusFailed;
    }
    Syscalls& sys = invocation.sys;
    const std::string cwd = sys.getcwd();
    for (std::string_view operand : args.operands) {
        Result<std::string, SyscallError> resolved;
        if (is_realpath) {
            resolved = sys.resolve_directory(cwd, operand, !args.has_flag('m'));
            if (!resolved) {
                push_failure(io.err, name, resolved.error());
                return kFileStatusFailed;
            }
        } else if (!args.has_flag('f')) {
            resolved = sys.link_target(cwd, operand);
            if (!resolved) {
                push_message(io.err, name, fmt::format("{}: Invalid argument", operand));
                return kFileStatusFailed;
            }
        } else {
            resolved = sys.resolve_directory(cwd, operand, true);
            if (!resolved) return kFileStatusFailed;
        }
        push_line(io.out, *resolved);
    }
    return kFileStatusOk;
}

std::string_view trim_trailing_slashes(std::string_view text) {
    while (!text.empty() && text.back() == '/') text.remove_suffix(1);
    return text;
}

}  // namespace

std::int32_t realpath_command(NativeInvocation& invocation, CommandIo& io) {
    return resolve_path_command(invocation, "realpath", io);
}

std::int32_t readlink_command(NativeInvocation& invocation, CommandIo& io) {
    return resolve_path_command(invocation, "readlink", io);
}

std::int32_t basename_command(NativeInvocation& invocation, CommandIo& io) {
    const auto args = invocation.args;
    if (args.empty()) return kFileStatusFailed;
    const std::string_view text = args[0];
    const std::string_view trimmed = trim_trailing_slashes(text);
    std::string_view result;
    if (trimmed.empty()) {
        result = text.starts_with('/') ? "/" : "";
    } else {
        const std::size_t slash = trimmed.rfind('/');
        result = slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1);
        if (args.size() > 1 && result.size() > args[1].size() && result.ends_with(args[1]))
            result.remove_suffix(args[1].size());
    }
    push_line(io.out, result);
    return kFileStatusOk;
}

std::int32_t dirname_command(NativeInvocation& invocation, CommandIo& io) {
    const auto args = invocation.args;
    if (args.empty()) return kFileStatusFailed;
    const std::string_view trimmed = trim_trailing_slashes(args[0]);
    std::string_view result;
    if (trimmed.empty()) {
        result = "/";
    } else {
        const std::size_t slash = trimmed.rfind('/');
        result = slash == std::string_view::npos ? "." : slash == 0 ? "/" : trimmed.substr(0, slash);
    }
    push_line(io.out, result);
    return kFileStatusOk;
}

std::int32_t mktemp_command(NativeInvocation& invocation, CommandIo& io) {
    const CommandArgs args = CommandArgs::parse(invocation.args);
    if (report_unimplemented_option("mktemp", args, "d", io.err)) return kFileStatusUsage;
    const std::string_view templ = args.operands.empty() ? std::string_view("tmp.XXXXXX") : args.operands.front();
    Syscalls& sys = invocation.sys;
    const auto number = sys.next_unique_id();
    if (!number) {
        push_message(io.err, "mktemp", "exhausted deterministic name space");
        return kFileStatusFailed;
    }
    const std::string digits = fmt::format("{:06}", *number);
    std::string name;
    for (std::size_t i = 0; i < templ.size();) {
        if (templ.substr(i, 6) == "XXXXXX") {
            name += digits;
            i += 6;
        } else {
            name.push_back(templ[i++]);
        }
    }
    const std::string path = name.starts_with('/') ? name : fmt::format("/tmp/{}", name);
    if (auto made = sys.mkdir_all("/", "/tmp"); !made) {
        push_failure(io.err, "mktemp", made.error());
        return kFileStatusFailed;
    }
    Result<void, SyscallError> created;
    if (args.has_flag('d')) {
        created = sys.mkdir("/", path);
    } else if (auto fd = sys.open("/", path, OpenFlags{.write = true, .create = true, .exclusive = true}); !fd) {
        created = std::unexpected(std::move(fd.error()));
    } else {
        created = sys.chmod("/", path, 0600);
        auto closed = sys.close(*fd);
        if (created && !closed) created = std::unexpected(std::move(closed.error()));
    }
    if (!created) {
        push_failure(io.err, "mktemp", created.error());
        return kFileStatusFailed;
    }
    push_line(io.out, path);
    return kFileStatusOk;
}

}  // namespace tw
