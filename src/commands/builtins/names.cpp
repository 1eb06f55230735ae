#include "commands/builtins/names.h"

#include <fmt/format.h>

#include <iterator>
#include <limits>
#include <vector>

#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "shell/ast.h"
#include "shell/command_io.h"
#include "shell/command_outcome.h"
#include "shell/dispatch.h"
#include "shell/language.h"
#include "shell/launch.h"
#include "shell/parser.h"

namespace tw {
namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

bool valid_alias_name(std::string_view name) {
    return !name.empty() && name.find_first_of(" \t\n\f\r$/`") == std::string_view::npos;
}

std::string budget_kib(std::uint64_t budget) {
    return budget == kUnlimited ? std::string("unlimited") : fmt::format("{}", budget / 1024);
}

}  // namespace

std::optional<std::string> lookup_command_path(const Machine& m, std::string_view name) {
    const ProcessState& state = m.states.active();
    std::string_view path_var;
    if (auto it = state.variables.find("PATH"); it != state.variables.end()) path_var = it->second;
    SearchResult found = search_path(m.vfs, state.cwd, path_var, name);
    if (found.kind != SearchResult::Kind::Found) return std::nullopt;
    return std::move(found.path);
}

std::int32_t describe_command(const Machine& m, std::span<const std::string> names, std::string& out,
                              bool verbose, bool with_builtins) {
    std::int32_t status = 0;
    const ProcessState& state = m.states.active();
    for (const std::string& name : names) {
        if (name.starts_with('-')) continue;
        if (shell_language(state).functions.contains(name)) {
            fmt::format_to(std::back_inserter(out), "{} is a function\n", name);
        } else if (with_builtins && is_builtin_name(name)) {
            if (verbose) {
                fmt::format_to(std::back_inserter(out), "{} is a shell builtin\n", name);
            } else {
                out += name;
                out += '\n';
            }
        } else if (std::optional<std::string> path = lookup_command_path(m, name)) {
            if (verbose) {
                fmt::format_to(std::back_inserter(out), "{} is {}\n", name, *path);
            } else {
                out += *path;
                out += '\n';
            }
        } else {
            status = 1;
        }
    }
    return status;
}

std::int32_t builtin_alias(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    auto& aliases = shell_language(context.machine.states.active_mut()).aliases;
    if (args.empty()) {
        // The table is ordered by name bytes already.
        for (const auto& [name, alias] : aliases) io.out += alias_line(name, alias.text);
        return 0;
    }
    std::int32_t status = 0;
    for (const std::string& operand : args) {
        const std::size_t eq = operand.find('=');
        if (eq == std::string::npos) {
            auto it = aliases.find(operand);
            if (it == aliases.end()) {
                fmt::format_to(std::back_inserter(io.err), "alias: {}: not found\n", operand);
                status = 1;
            } else {
                io.out += alias_line(operand, it->second.text);
            }
            continue;
        }
        std::string name = operand.substr(0, eq);
        std::string value = operand.substr(eq + 1);
        if (!valid_alias_name(name)) {
            fmt::format_to(std::back_inserter(io.err), "alias: invalid alias name: {}\n", name);
            status = 1;
            continue;
        }
        std::optional<std::vector<std::string>> words = alias_value_words(value);
        if (!words) {
            fmt::format_to(std::back_inserter(io.err), "alias: {}: only simple-command aliases are supported\n", name);
            status = 2;
            continue;
        }
        if (aliases.size() >= kMaxAliases && !aliases.contains(name)) {
            io.err += "alias: alias limit exceeded\n";
            return 1;
        }
        aliases.insert_or_assign(std::move(name), AliasRecord{std::move(value), std::move(*words)});
    }
    return status;
}

std::int32_t builtin_unalias(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    auto& aliases = shell_language(context.machine.states.active_mut()).aliases;
    if (args.size() == 1 && args[0] == "-a") {
        aliases.clear();
        return 0;
    }
    if (args.empty()) {
        io.err += "unalias: usage: unalias [-a] name ...\n";
        return 2;
    }
    std::int32_t status = 0;
    for (const std::string& name : args) {
        if (aliases.erase(name) == 0) {
            fmt::format_to(std::back_inserter(io.err), "unalias: {}: not found\n", name);
            status = 1;
        }
    }
    return status;
}

std::int32_t builtin_hash(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    Machine& m = context.machine;
    ProcessState& state = m.states.active_mut();
    if (args.size() == 1 && args[0] == "-r") {
        state.hashed_commands.clear();
        return 0;
    }
    std::int32_t status = 0;
    if (!args.empty() && args[0] == "-t") {
        for (const std::string& name : args.subspan(1)) {
            auto it = state.hashed_commands.find(name);
            if (it == state.hashed_commands.end()) {
                fmt::format_to(std::back_inserter(io.err), "hash: {}: not found\n", name);
                status = 1;
            } else {
                io.out += it->second;
                io.out += '\n';
            }
        }
        return status;
    }
    if (args.empty()) {
        for (const auto& [name, path] : state.hashed_commands)
            fmt::format_to(std::back_inserter(io.out), "{}\t{}\n", path, name);
        return 0;
    }
    for (const std::string& name : args) {
        if (std::optional<std::string> path = lookup_command_path(m, name)) {
            m.states.active_mut().hashed_commands.insert_or_assign(name, std::move(*path));
        } else {
            fmt::format_to(std::back_inserter(io.err), "hash: {}: not found\n", name);
            status = 1;
        }
    }
    return status;
}

std::int32_t builtin_type(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    return describe_command(context.machine, args, io.out, true, true);
}

std::int32_t builtin_which(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    return describe_command(context.machine, args, io.out, false, false);
}

void builtin_command(CommandOutcome& outcome, BuiltinContext& context, std::span<const std::string> args,
                     CommandIo& io) {
    if (args.empty()) {
        outcome = CommandOutcome::done(0);
        return;
    }
    if (args[0] == "-v" || args[0] == "-V") {
        const bool verbose = args[0] == "-V";
        outcome = CommandOutcome::done(describe_command(context.machine, args.subspan(1), io.out, verbose, true));
        return;
    }
    std::span<const std::string> words = args[0] == "--" ? args.subspan(1) : args;
    if (words.empty()) {
        outcome = CommandOutcome::done(0);
        return;
    }
    outcome = CommandOutcome::run_program(
        make_shell_command(ShellCommand::Words{std::vector<std::string>(words.begin(), words.end())}));
}

std::int32_t builtin_ulimit(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    const std::string option = args.empty() ? std::string("-f") : args[0];
    if (args.size() > 1 || (option != "-a" && option != "-f" && option != "-n" && option != "-t" && option != "-v")) {
        io.err += "ulimit: setting limits and this option are not supported\n";
        return 2;
    }
    const MachineLimits limits = context.machine.meter.limits();
    const std::string disk = budget_kib(limits.disk);
    const std::string cpu = fmt::format("{}", limits.cpu);
    const std::string memory = budget_kib(limits.memory);
    if (option == "-f") {
        io.out += disk + '\n';
    } else if (option == "-n") {
        io.out += "1024\n";
    } else if (option == "-t") {
        io.out += cpu + '\n';
    } else if (option == "-v") {
        io.out += memory + '\n';
    } else {
        fmt::format_to(std::back_inserter(io.out),
                       "file size               (blocks, -f) {}\n"
                       "open files                      (-n) 1024\n"
                       "cpu time               (seconds, -t) {}\n"
                       "virtual memory           (kbytes, -v) {}\n",
                       disk, cpu, memory);
    }
    return 0;
}

std::int32_t builtin_umask(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    SyscallContext sys(context.machine);
    if (args.empty()) {
        fmt::format_to(std::back_inserter(io.out), "{:04o}\n", sys.umask());
        return 0;
    }
    if (args.size() == 1 && args[0] == "-S") {
        const std::uint16_t mask = sys.umask();
        auto allowed = [&](int shift) {
            std::string text;
            if ((mask & (04 << shift)) == 0) text += 'r';
            if ((mask & (02 << shift)) == 0) text += 'w';
            if ((mask & (01 << shift)) == 0) text += 'x';
            return text;
        };
        fmt::format_to(std::back_inserter(io.out), "u={},g={},o={}\n", allowed(6), allowed(3), allowed(0));
        return 0;
    }
    if (args.size() > 1) {
        io.err += "umask: usage: umask [-S] [octal-mask]\n";
        return 2;
    }
    std::string_view digits = args[0];
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    std::uint32_t mask = 0;
    bool valid = !digits.empty() && digits.size() <= 3;
    for (char c : digits) {
        if (c < '0' || c > '7') valid = false;
        else mask = mask * 8 + static_cast<std::uint32_t>(c - '0');
    }
    if (!valid || mask > 0777 || !sys.set_umask(static_cast<std::uint16_t>(mask))) {
        fmt::format_to(std::back_inserter(io.err), "umask: {}: invalid octal mask\n", args[0]);
        return 1;
    }
    return 0;
}

}  // namespace tw
