// env, nohup and nice: each settles how its command runs (the environment and directory, the
// hang-up disposition, a checked but powerless priority) and then hands its own process to the
// command (answering Replaced); without a command env lists the environment and nice prints 0.
#include <charconv>

#include <fmt/format.h>

#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"
#include "shell/program/program.h"
#include "shell/spawn.h"

namespace tw {
namespace {

std::map<std::string, std::string> environment_map(SyscallContext& sys) {
    std::map<std::string, std::string> env;
    for (const std::string& entry : sys.environment()) {
        const std::size_t eq = entry.find('=');
        if (eq == std::string::npos) continue;
        env.insert_or_assign(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return env;
}

// The step after a refusal or a listing: write what is pending, then end.
ProgramStep finish_pending(SyscallContext& sys, PendingBytes& out, PendingBytes& diagnostics, std::uint64_t& budget,
                           std::int32_t status) {
    if (auto step = drain_output(sys, 1, out, budget)) return *step;
    return drain_then_finish(sys, 2, diagnostics, budget, status);
}

// A refusal of env or nice: "{name}: {message}" as the diagnostics, status 125, then what is
// pending is written.
template <typename State>
ProgramStep refuse_pending(State& state, SyscallContext& sys, std::uint64_t& budget, std::string_view name,
                           std::string_view message) {
    state.diagnostics.data = fmt::format("{}: {}\n", name, message);
    state.status = 125;
    return finish_pending(sys, state.out, state.diagnostics, budget, state.status);
}

// Hands the process to argv; the failure's text, if any.
std::optional<std::string> replace_with(SyscallContext& sys, const std::vector<std::string>& argv,
                                        const std::optional<ChildRequest::Configuration>& configuration) {
    auto replaced = sys.setup_child_state(argv, configuration);
    if (!replaced) return error_text(replaced.error());
    return std::nullopt;
}

}  // namespace

ChildRequest::Configuration own_configuration(SyscallContext& sys) {
    ChildRequest::Configuration configuration;
    configuration.directory = sys.getcwd();
    configuration.environment = environment_map(sys);
    return configuration;
}

Result<std::optional<std::int32_t>, std::string> poll_child(SyscallContext& sys, Pid child) {
    auto ended = sys.child_state(child);
    if (!ended) return std::unexpected(fmt::format("cannot wait for child: {}", error_text(ended.error())));
    if (!ended->exited) return std::optional<std::int32_t>();
    auto reaped = sys.reap_child(child);
    if (!reaped) return std::unexpected(fmt::format("cannot reap child: {}", error_text(reaped.error())));
    return std::optional<std::int32_t>(*reaped);
}

ProgramStep step_env(program::Env& state, SyscallContext& sys, std::uint64_t& budget) {
    if (state.started) return finish_pending(sys, state.out, state.diagnostics, budget, state.status);
    state.started = true;
    const auto refuse = [&](std::string_view message) { return refuse_pending(state, sys, budget, "env", message); };

    std::map<std::string, std::string> env = environment_map(sys);
    std::optional<std::string> directory;
    const std::vector<std::string>& args = state.args;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg.empty() || arg[0] != '-') break;
        if (arg == "-i" || arg == "--ignore-environment") {
            env.clear();
        } else if (arg == "-u" || arg == "--unset") {
            if (i + 1 >= args.size()) return refuse("option requires an argument -- 'u'");
            env.erase(args[++i]);
        } else if (arg == "-C" || arg == "--chdir") {
            if (i + 1 >= args.size()) return refuse("option requires an argument -- 'C'");
            const std::string& dir = args[++i];
            const std::string cwd = sys.getcwd();
            auto stat = sys.stat(cwd, dir, true);
            if (dir.empty() || !stat || stat->file_type != 1) return refuse(fmt::format("cannot change directory to '{}'", dir));
            directory = path_join_normalize(cwd, dir);
        } else {
            return refuse(fmt::format("unrecognized option '{}'", arg));
        }
    }
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const std::size_t eq = arg.find('=');
        if (eq == std::string::npos || eq == 0) break;
        env.insert_or_assign(arg.substr(0, eq), arg.substr(eq + 1));
    }

    if (i >= args.size()) {
        // No command: the listing, sorted by name (the map's order).
        for (const auto& [name, value] : env) state.out.data += fmt::format("{}={}\n", name, value);
        state.status = 0;
        return finish_pending(sys, state.out, state.diagnostics, budget, state.status);
    }

    const std::vector<std::string> argv(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    const bool exports_pwd = env.contains("PWD");
    ChildRequest::Configuration configuration;
    configuration.directory = directory;
    configuration.environment = env;
    if (auto failure = replace_with(sys, argv, configuration))
        return refuse(fmt::format("cannot run command: {}", *failure));
    // The command's environment is exactly the one built here: a PWD left out stays unexported.
    if (!exports_pwd) settle_exported_pwd(sys.machine(), sys.getpid(), env);
    return ProgramStep::replaced();
}

ProgramContinuation launch_nohup(std::span<const std::string> args) {
    program::Nohup state;
    if (!args.empty() && args[0] == "--") args = args.subspan(1);
    state.args.assign(args.begin(), args.end());
    return ProgramContinuation{std::move(state)};
}

ProgramStep step_nohup(program::Nohup& state, SyscallContext& sys, std::uint64_t& budget) {
    if (state.started) return drain_then_finish(sys, 2, state.diagnostics, budget, state.status);
    state.started = true;
    const auto refuse = [&](std::string message) {
        state.diagnostics.data = fmt::format("nohup: {}\n", message);
        state.status = 125;
        return drain_then_finish(sys, 2, state.diagnostics, budget, state.status);
    };
    if (state.args.empty()) return refuse("missing operand");
    if (state.args[0].starts_with('-')) return refuse(fmt::format("unrecognized option '{}'", state.args[0]));
    if (auto ignored = sys.set_signal_disposition(Signal::HUP, true); !ignored)
        return refuse(fmt::format("cannot run command: {}", error_text(ignored.error())));
    if (auto failure = replace_with(sys, state.args, std::nullopt))
        return refuse(fmt::format("cannot run command: {}", *failure));
    return ProgramStep::replaced();
}

ProgramStep step_nice(program::Nice& state, SyscallContext& sys, std::uint64_t& budget) {
    if (state.started) return finish_pending(sys, state.out, state.diagnostics, budget, state.status);
    state.started = true;
    const auto refuse = [&](std::string_view message) { return refuse_pending(state, sys, budget, "nice", message); };

    const std::vector<std::string>& args = state.args;
    std::string adjustment = "0";
    std::size_t i = 0;
    if (!args.empty()) {
        const std::string& first = args[0];
        if (first == "-n" || first == "--adjustment") {
            if (args.size() < 2) return refuse("option requires an argument -- 'n'");
            adjustment = args[1];
            i = 2;
        } else if (first.starts_with("--adjustment=")) {
            adjustment = first.substr(13);
            i = 1;
        } else if (first.starts_with("-n")) {
            adjustment = first.substr(2);
            i = 1;
        } else if (first.size() > 1 && first[0] == '-' && first != "--") {
            adjustment = first.substr(1);
            i = 1;
        }
    }
    std::string_view digits(adjustment);
    if (digits.starts_with('+')) digits.remove_prefix(1);
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        (adjustment.starts_with('+') && digits.starts_with('-')))
        return refuse(fmt::format("invalid adjustment '{}'", adjustment));
    // The machine has no priorities: the adjustment is checked and has no further effect.

    if (i < args.size() && args[i] == "--") ++i;
    if (i >= args.size()) {
        state.out.data = "0\n";
        state.status = 0;
        return finish_pending(sys, state.out, state.diagnostics, budget, state.status);
    }
    const std::vector<std::string> argv(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (auto failure = replace_with(sys, argv, std::nullopt))
        return refuse(fmt::format("cannot run command: {}", *failure));
    return ProgramStep::replaced();
}

}  // namespace tw
