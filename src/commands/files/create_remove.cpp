// mkdir, rmdir, rm and touch: create and remove nodes one operand at a time.
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "commands/files/file_commands.h"
#include "commands/util/file_command.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"

namespace tw {
namespace {

// Removes the tree at `operand` bottom-up, charging one work unit per node. The error of the
// first failing step; a refused charge is ResourceExhausted.
Result<void, SyscallError> remove_tree(Syscalls& sys, std::string_view cwd, std::string_view operand) {
    auto walk = sys.walk_tree(cwd, operand);
    if (!walk) return std::unexpected(std::move(walk.error()));
    for (auto it = walk->rbegin(); it != walk->rend(); ++it) {
        if (!sys.charge_cpu(1)) return std::unexpected(SyscallError::resource_exhausted());
        auto st = sys.stat("/", *it, false);
        if (!st) return std::unexpected(std::move(st.error()));
        auto removed = stat_is_directory(*st) ? sys.rmdir("/", *it) : sys.remove("/", *it);
        if (!removed) return removed;
    }
    return {};
}

}  // namespace

std::int32_t mkdir_command(NativeInvocation& invocation, CommandIo& io) {
    const CommandArgs args = CommandArgs::parse(invocation.args);
    if (report_unimplemented_option("mkdir", args, "p", io.err)) return kFileStatusUsage;
    if (args.operands.empty()) {
        push_message(io.err, "mkdir", "missing operand");
        return kFileStatusFailed;
    }
    Syscalls& sys = invocation.sys;
    const bool parents = args.has_flag('p');
    const std::string cwd = sys.getcwd();
    std::int32_t status = kFileStatusOk;
    for (std::string_view operand : args.operands) {
        auto made = parents ? sys.mkdir_all(cwd, operand) : sys.mkdir(cwd, operand);
        if (!made) {
            push_cannot(io.err, "mkdir", "create directory", operand, made.error());
            status = kFileStatusFailed;
        }
    }
    return status;
}

std::int32_t rmdir_command(NativeInvocation& invocation, CommandIo& io) {
    const CommandArgs args = CommandArgs::parse(invocation.args);
    if (report_unimplemented_option("rmdir", args, "", io.err)) return kFileStatusUsage;
    if (args.operands.empty()) {
        push_message(io.err, "rmdir", "missing operand");
        return kFileStatusFailed;
    }
    Syscalls& sys = invocation.sys;
    const std::string cwd = sys.getcwd();
    std::int32_t status = kFileStatusOk;
    for (std::string_view operand : args.operands) {
        if (auto removed = sys.rmdir(cwd, operand); !removed) {
            push_message(io.err, "rmdir",
                         fmt::format("failed to remove '{}': {}", operand, error_text(removed.error())));
            status = kFileStatusFailed;
        }
    }
    return status;
}

std::int32_t rm_command(NativeInvocation& invocation, CommandIo& io) {
    const CommandArgs args = CommandArgs::parse(invocation.args);
    if (report_unimplemented_option("rm", args, "rRf", io.err)) return kFileStatusUsage;
    const bool recursive = args.has_flag('r') || args.has_flag('R');
    const bool force = args.has_flag('f');
    if (args.operands.empty()) {
        if (force) return kFileStatusOk;
        push_message(io.err, "rm", "missing operand");
        return kFileStatusFailed;
    }
    Syscalls& sys = invocation.sys;
    const std::string cwd = sys.getcwd();
    std::int32_t status = kFileStatusOk;
    for (std::string_view operand : args.operands) {
        Result<void, SyscallError> removed;
        if (recursive) {
            if (path_join_normalize(cwd, operand) == "/") {
                push_message(io.err, "rm", "refusing to remove virtual root '/'");
                status = kFileStatusFailed;
                continue;
            }
            removed = remove_tree(sys, cwd, operand);
        } else {
            removed = sys.remove(cwd, operand);
        }
        if (removed) continue;
        if (removed.error().kind == SyscallError::Kind::ResourceExhausted) return sys.exhausted_status();
        if (force) continue;
        push_cannot(io.err, "rm", "remove", operand, removed.error());
        status = kFileStatusFailed;
    }
    return status;
}

std::int32_t touch_command(NativeInvocation& invocation, CommandIo& io) {
    for (const std::string& arg : invocation.args) {
        if (arg.starts_with('-') && arg != "--") {
            push_message(io.err, "touch", "unimplemented option");
            return kFileStatusUsage;
        }
    }
    const CommandArgs args = CommandArgs::parse(invocation.args);
    if (args.operands.empty()) {
        push_message(io.err, "touch", "missing file operand");
        return kFileStatusFailed;
    }
    Syscalls& sys = invocation.sys;
    const std::string cwd = sys.getcwd();
    const std::uint64_t now = sys.file_time_now();
    std::int32_t status = kFileStatusOk;
    for (std::string_view operand : args.operands) {
        if (auto touched = sys.set_times(cwd, operand, now); !touched) {
            push_failure(io.err, "touch", touched.error());
            status = kFileStatusFailed;
        }
    }
    return status;
}

}  // namespace tw
