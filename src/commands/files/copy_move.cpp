// cp, mv and ln: copy, move and make symbolic links.
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "commands/files/file_commands.h"
#include "commands/util/file_command.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "kernel/syscalls.h"

namespace tw {
namespace {

bool is_exhausted(const SyscallError& error) { return error.kind == SyscallError::Kind::ResourceExhausted; }

// The destination rule of cp and mv: the last operand is a directory to copy or move into when
// stat (links followed) says so.
struct Destination {
    std::string_view text;
    bool is_directory = false;

    std::string target_for(std::string_view source) const {
        return is_directory ? target_in_directory(text, source) : std::string(text);
    }
};

// The sources and destination of cp or mv after the operand checks: fewer than two operands, or
// several sources for a destination that is no directory, end the command with 1 at once.
struct Transfer {
    std::span<const std::string_view> sources;
    Destination destination;
};

std::optional<Transfer> transfer_operands(Syscalls& sys, std::string_view cwd, std::string_view command,
                                          std::span<const std::string_view> operands, Bytes& err) {
    if (operands.size() < 2) {
        push_message(err, command, "missing destination operand");
        return std::nullopt;
    }
    auto st = sys.stat(cwd, operands.back(), true);
    Transfer t{operands.first(operands.size() - 1), {operands.back(), st && stat_is_directory(*st)}};
    if (t.sources.size() > 1 && !t.destination.is_directory) {
        push_message(err, command, fmt::format("target '{}' is not a directory", t.destination.text));
        return std::nullopt;
    }
    return t;
}

// cp without -r of one source: the bytes and mode, and with -p the source's mode and time. A
// file copied with -p goes through the tree copy, which keeps the time to the nanosecond (a time
// set in milliseconds would lose the order of changes made within one millisecond); a directory
// goes to the single-file copy, which refuses it.
Result<void, SyscallError> copy_one(Syscalls& sys, std::string_view cwd, std::string_view source,
                                    const std::string& target, bool preserve) {
    if (!preserve) return sys.copy_file(cwd, source, target);
    auto st = sys.stat(cwd, source, true);
    if (st && !stat_is_directory(*st)) return sys.copy_tree(cwd, source, target, true);
    return sys.copy_file(cwd, source, target);
}

}  // namespace

std::int32_t cp_command(NativeInvocation& invocation, CommandIo& io) {
    const CommandArgs args = CommandArgs::parse(invocation.args);
    if (report_unimplemented_option("cp", args, "rRafp", io.err)) return kFileStatusUsage;
    const bool recursive = args.has_flag('r') || args.has_flag('R') || args.has_flag('a');
    const bool preserve = args.has_flag('p') || args.has_flag('a');
    Syscalls& sys = invocation.sys;
    const std::string cwd = sys.getcwd();
    const auto transfer = transfer_operands(sys, cwd, "cp", args.operands, io.err);
    if (!transfer) return kFileStatusFailed;
    const auto [sources, destination] = *transfer;
    std::int32_t status = kFileStatusOk;
    for (std::string_view source : sources) {
        const std::string target = destination.target_for(source);
        Result<void, SyscallError> copied;
        if (recursive) {
            if (auto st = sys.stat(cwd, source, false); st && stat_is_symlink(*st)) {
                push_message(io.err, "cp", "unimplemented recursive copy of symbolic links");
                status = kFileStatusUsage;
                continue;
            }
            // A directory copied into a directory goes through the tree call's own "inside the
            // target" rule, which merges into an existing copy rather than nesting a new one.
            auto source_stat = sys.stat(cwd, source, true);
            const bool into = destination.is_directory && source_stat && stat_is_directory(*source_stat);
            copied = sys.copy_tree(cwd, source, into ? destination.text : std::string_view(target), preserve);
        } else {
            copied = copy_one(sys, cwd, source, target, preserve);
        }
        if (copied) continue;
        if (is_exhausted(copied.error())) return sys.exhausted_status();
        push_cannot(io.err, "cp", "copy", source, copied.error());
        status = kFileStatusFailed;
    }
    return status;
}

std::int32_t mv_command(NativeInvocation& invocation, CommandIo& io) {
    const CommandArgs args = CommandArgs::parse(invocation.args);
    if (report_unimplemented_option("mv", args, "f", io.err)) return kFileStatusUsage;
    Syscalls& sys = invocation.sys;
    const std::string cwd = sys.getcwd();
    const auto transfer = transfer_operands(sys, cwd, "mv", args.operands, io.err);
    if (!transfer) return kFileStatusFailed;
    const auto [sources, destination] = *transfer;
    std::int32_t status = kFileStatusOk;
    for (std::string_view source : sources) {
        auto moved = sys.rename(cwd, source, destination.target_for(source));
        if (moved) continue;
        if (is_exhausted(moved.error())) return sys.exhausted_status();
        push_cannot(io.err, "mv", "move", source, moved.error());
        status = kFileStatusFailed;
    }
    return status;
}

std::int32_t ln_command(NativeInvocation& invocation, CommandIo& io) {
    const CommandArgs args = CommandArgs::parse(invocation.args);
    if (report_unimplemented_option("ln", args, "sf", io.err)) return kFileStatusUsage;
    if (args.operands.size() < 2) {
        push_message(io.err, "ln", "missing operand");
        return kFileStatusFailed;
    }
    if (!args.has_flag('s')) {
        push_message(io.err, "ln", "unimplemented hard links");
        return kFileStatusUsage;
    }
    Syscalls& sys = invocation.sys;
    if (auto made = sys.symlink(sys.getcwd(), args.operands[0], args.operands[1]); !made) {
        push_failure(io.err, "ln", made.error());
        return kFileStatusFailed;
    }
    return kFileStatusOk;
}

}  // namespace tw
