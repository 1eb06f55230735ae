#include "commands/builtins/control.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <optional>

#include "base/utf8.h"
#include "kernel/machine.h"
#include "kernel/vfs_path.h"
#include "shell/command_io.h"
#include "shell/command_outcome.h"
#include "shell/test_eval.h"

namespace tw {
namespace {

// A signed 32-bit decimal number: an optional sign, digits, nothing else.
std::optional<std::int32_t> parse_status(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty() || text == "-") return std::nullopt;
    std::int32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// An unsigned 32-bit decimal count with an optional leading `+`.
std::optional<std::uint32_t> parse_count(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
    std::uint32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::int32_t low_byte(std::int32_t status) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(status) & 0xFF); }

std::int32_t loop_control(BuiltinContext& context, std::span<const std::string> args, CommandIo& io, bool is_break) {
    const std::string_view name = is_break ? "break" : "continue";
    ProcessState& state = context.machine.states.active_mut();
    if (state.loop_depth == 0) {
        fmt::format_to(std::back_inserter(io.err), "{}: only meaningful in a loop\n", name);
        return 1;
    }
    std::uint32_t count = 1;
    if (args.size() > 1) {
        fmt::format_to(std::back_inserter(io.err), "{}: too many arguments\n", name);
        return 1;
    }
    if (args.size() == 1) {
        std::optional<std::uint32_t> parsed = parse_count(args[0]);
        if (!parsed || *parsed == 0) {
            // A bad count is an error that leaves every enclosing loop, so a loop whose only
            // way out is this command still ends.
            if (parse_status(args[0]) || parsed)
                fmt::format_to(std::back_inserter(io.err), "{}: {}: loop count out of range\n", name, args[0]);
            else
                fmt::format_to(std::back_inserter(io.err), "{}: {}: numeric argument required\n", name, args[0]);
            state.pending_break = state.loop_depth;
            return 1;
        }
        count = *parsed;
    }
    // More levels than there are loops leave (or continue) the outermost one.
    count = std::min(count, state.loop_depth);
    (is_break ? state.pending_break : state.pending_continue) = count;
    return 0;
}

}  // namespace

std::int32_t builtin_true(BuiltinContext&, std::span<const std::string>, CommandIo&) { return 0; }
std::int32_t builtin_false(BuiltinContext&, std::span<const std::string>, CommandIo&) { return 1; }

std::int32_t builtin_exit(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    ProcessState& state = context.machine.states.active_mut();
    if (args.size() > 1) {
        io.err += "exit: too many arguments\n";
        return 1;
    }
    std::int32_t status = state.last_status;
    if (args.size() == 1) {
        if (std::optional<std::int32_t> parsed = parse_status(args[0])) {
            status = low_byte(*parsed);
        } else {
            fmt::format_to(std::back_inserter(io.err), "exit: {}: numeric argument required\n", args[0]);
            status = 2;
        }
    }
    state.exit_requested = true;
    state.exit_status = status;
    return status;
}

std::int32_t builtin_return(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    ProcessState& state = context.machine.states.active_mut();
    if (state.local_scopes.empty() && state.source_depth == 0) {
        io.err += "return: can only be used in a function\n";
        return 1;
    }
    if (args.size() > 1) {
        io.err += "return: too many arguments\n";
        return 1;
    }
    std::int32_t status = state.last_status;
    if (args.size() == 1) {
        std::optional<std::int32_t> parsed = parse_status(args[0]);
        if (!parsed) {
            fmt::format_to(std::back_inserter(io.err), "return: {}: numeric argument required\n", args[0]);
            return 2;
        }
        status = low_byte(*parsed);
    }
    state.return_requested = true;
    state.return_status = status;
    return status;
}

std::int32_t builtin_break(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    return loop_control(context, args, io, true);
}

std::int32_t builtin_continue(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    return loop_control(context, args, io, false);
}

std::int32_t builtin_test(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    return test_evaluate(context.machine, context.name, args, io.err);
}

std::int32_t builtin_exec(BuiltinContext&, std::span<const std::string> args, CommandIo& io) {
    if (args.empty()) return 0;
    io.err += "exec: indirect invocation is not supported in tarnwick\n";
    return 2;
}

void builtin_source(CommandOutcome& outcome, BuiltinContext& context, std::span<const std::string> args,
                    CommandIo& io) {
    Machine& m = context.machine;
    if (args.empty()) {
        io.err += "source: filename argument required\n";
        outcome = CommandOutcome::done(2);
        return;
    }
    const std::string cwd = m.states.active().cwd;
    const std::string& operand = args[0];
    std::optional<Bytes> bytes;
    if (auto pseudo = m.read_pseudo_file(cwd, operand)) {
        if (*pseudo) bytes = std::move(**pseudo);
    } else if (auto file = m.vfs.read_bytes(cwd, operand)) {
        bytes = std::move(*file);
    }
    if (!bytes) {
        fmt::format_to(std::back_inserter(io.err), "source: {}: No such file or directory\n", operand);
        outcome = CommandOutcome::done(1);
        return;
    }
    auto program = m.parse_source(utf8_lossy(*bytes), io.err);
    outcome = program ? CommandOutcome::run_sourced(std::move(*program)) : CommandOutcome::done(program.error());
}

}  // namespace tw
