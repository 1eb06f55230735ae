// timeout: runs its command as a child in a process group of its own and watches it against a
// deadline on the machine's clock; when the deadline passes the group gets the configured signal
// (and KILL after the optional grace period).
#include <fmt/format.h>

#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "shell/program/program.h"

namespace tw {
namespace {

constexpr std::uint32_t kTargetProcess = 0;
constexpr std::uint32_t kTargetGroup = 1;

ProgramStep finish(program::Timeout& state, SyscallContext& sys, std::uint64_t& budget) {
    state.finishing = true;
    return drain_then_finish(sys, 2, state.diagnostics, budget, state.status);
}

ProgramStep refuse(program::Timeout& state, SyscallContext& sys, std::uint64_t& budget, std::string_view message) {
    state.diagnostics.append(fmt::format("timeout: {}\n", message));
    state.status = 125;
    return finish(state, sys, budget);
}

ProgramStep wait_answer(const program::Timeout& state) {
    if (state.deadline) return ProgramStep::blocked(WaitReason::child_deadline(*state.child, *state.deadline));
    return ProgramStep::blocked(WaitReason::child(*state.child));
}

// Arms a deadline `duration_ns` from now; the failure's text otherwise.
std::optional<std::string> arm(program::Timeout& state, SyscallContext& sys, std::uint64_t duration_ns) {
    auto key = sys.sleep(duration_ns);
    if (!key) return error_text(key.error());
    state.deadline = key->time_ns;
    return std::nullopt;
}

// The processes the deadline's signal goes to are marked as timed out.
void mark_timed_out(const program::Timeout& state, SyscallContext& sys) {
    Machine& machine = sys.machine();
    const std::vector<Pid> targets =
        state.foreground ? std::vector<Pid>{*state.child} : machine.processes.group_members(*state.child);
    for (Pid pid : targets)
        if (ProcessState* target = machine.states.find_mut(pid)) target->timed_out = true;
}

void send(program::Timeout& state, SyscallContext& sys, Signal signal) {
    // A child that is already gone is found ended on the next look.
    (void)sys.kill(state.foreground ? kTargetProcess : kTargetGroup, *state.child, signal);
}

// The options, the duration and the command; the refusal's message otherwise.
std::optional<std::string> parse_options(program::Timeout& state, std::size_t& command_start) {
    const std::vector<std::string>& args = state.args;
    const auto set_signal = [&](std::string_view text) -> std::optional<std::string> {
        const std::optional<Signal> signal = signal_parse(text);
        if (!signal || *signal == Signal::CHLD || *signal == Signal::CONT || *signal == Signal::STOP)
            return fmt::format("unsupported signal '{}'", text);
        state.signal = *signal;
        return std::nullopt;
    };
    const auto set_kill_after = [&](std::string_view text) -> std::optional<std::string> {
        auto ns = parse_duration(text);
        if (!ns) return ns.error();
        state.kill_after_ns = *ns;
        return std::nullopt;
    };
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--preserve-status") {
            state.preserve_status = true;
        } else if (arg == "--foreground") {
            state.foreground = true;
        } else if (arg == "-s" || arg == "--signal") {
            if (i + 1 >= args.size()) return std::string("option requires a signal");
            if (auto e = set_signal(args[++i])) return e;
        } else if (arg.starts_with("--signal=")) {
            if (auto e = set_signal(std::string_view(arg).substr(9))) return e;
        } else if (arg == "-k" || arg == "--kill-after") {
            if (i + 1 >= args.size()) return std::string("option requires an argument -- 'k'");
            if (auto e = set_kill_after(args[++i])) return e;
        } else if (arg.starts_with("--kill-after=")) {
            if (auto e = set_kill_after(std::string_view(arg).substr(13))) return e;
        } else if (arg.starts_with('-') && arg.size() > 1) {
            return fmt::format("unsupported option '{}'", arg);
        } else {
            break;
        }
    }
    if (i >= args.size()) return std::string("missing operand");
    auto duration = parse_duration(args[i]);
    if (!duration) return duration.error();
    state.duration_ns = *duration;
    if (i + 1 >= args.size()) return std::string("missing command");
    command_start = i + 1;
    return std::nullopt;
}

}  // namespace

ProgramStep step_timeout(program::Timeout& state, SyscallContext& sys, std::uint64_t& budget) {
    if (state.finishing) return finish(state, sys, budget);

    if (!state.options_done) {
        state.options_done = true;
        std::size_t command_start = 0;
        if (auto refusal = parse_options(state, command_start)) return refuse(state, sys, budget, *refusal);
        ChildRequest request;
        request.argv.assign(state.args.begin() + static_cast<std::ptrdiff_t>(command_start), state.args.end());
        request.configuration = own_configuration(sys);
        request.detached = true;  // timeout waits with a deadline, not on the child alone
        // Its own group, which the signal goes to; with --foreground the child stays in the
        // caller's group and only the child is signalled.
        request.group_mode = state.foreground ? GroupMode::Inherit : GroupMode::NewGroup;
        auto child = sys.prepare_child(request);
        if (!child) return refuse(state, sys, budget, fmt::format("cannot run command: {}", error_text(child.error())));
        state.child = *child;
        state.args.clear();
        if (state.duration_ns > 0) {
            if (auto failure = arm(state, sys, state.duration_ns)) {
                (void)sys.kill(kTargetProcess, *state.child, Signal::KILL);
                state.diagnostics.append(fmt::format("timeout: {}\n", *failure));
                state.status = 125;
            }
        }
        return wait_answer(state);
    }

    auto ended = poll_child(sys, *state.child);
    if (!ended) return refuse(state, sys, budget, ended.error());
    if (!*ended) {
        auto now = sys.monotonic_ns(1);
        if (state.deadline && now && *now >= *state.deadline) {
            state.deadline.reset();
            if (!state.timed_out) {
                state.timed_out = true;
                mark_timed_out(state, sys);
                send(state, sys, state.signal);
                if (state.kill_after_ns) {
                    if (auto failure = arm(state, sys, *state.kill_after_ns)) {
                        state.diagnostics.append(fmt::format("timeout: {}\n", *failure));
                        state.status = 125;
                    }
                }
            } else if (!state.killed) {
                state.killed = true;
                send(state, sys, Signal::KILL);
            }
        }
        return wait_answer(state);
    }

    if (state.status != 125) {
        if (state.preserve_status || !state.timed_out) state.status = **ended;
        else state.status = state.killed ? 137 : 124;
    }
    return finish(state, sys, budget);
}

}  // namespace tw
