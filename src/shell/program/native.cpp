// A registry command run as the program of its own process (a pipeline stage, a child). The
// handler runs with the gathered standard input; a suspendable handler that wants more input is
// called again from its start on a later step. Once it has finished, its output and error bytes
// are drained like any program's, and its usage is recorded.
#include <fmt/format.h>

#include "base/sat.h"
#include "kernel/syscalls.h"
#include "shell/program/program.h"

namespace tw {

ProgramContinuation native_state(const NativeCommand& command, std::string name, std::vector<std::string> args) {
    program::Native state;
    state.suspendable = command.suspendable;
    if (command.suspendable) {
        if (const auto* handler = std::get_if<SuspendableNativeHandler>(&command.handler))
            state.suspendable_handler = *handler;
    } else if (const auto* handler = std::get_if<NativeHandler>(&command.handler)) {
        state.handler = *handler;
    }
    if (state.handler == nullptr && state.suspendable_handler == nullptr)
        return error_exit_state(fmt::format("{}: command not implemented\n", name), 127);
    state.name = std::move(name);
    state.args = std::move(args);
    state.cost = command.cost;
    state.memory = command.memory;
    return ProgramContinuation{std::move(state)};
}

namespace {

void release_charges(program::Native& state, SyscallContext& sys) {
    sys.release_memory(std::exchange(state.memory_charged, 0));
    sys.release_memory(std::exchange(state.live.charged, 0));
}

// Moves the output the handler streamed on this step behind what is still to be written of the
// earlier steps' (swapping buffers when those are all written, so both keep their capacity).
void take_streamed(program::Native& state) {
    if (state.live.streamed.empty()) return;
    if (!state.streamed.pending()) {
        state.streamed.data.swap(state.live.streamed);
        state.streamed.written = 0;
    } else {
        state.streamed.data += state.live.streamed;
    }
    state.live.streamed.clear();
}

}  // namespace

void release_program(ProgramContinuation& program, SyscallContext& sys) {
    if (auto* native = std::get_if<program::Native>(&program.state)) release_charges(*native, sys);
    if (auto* xargs = std::get_if<program::Xargs>(&program.state)) release_xargs(*xargs, sys);
    if (auto* make = std::get_if<program::Make>(&program.state)) release_make(*make, sys);
}

ProgramStep step_native(program::Native& state, SyscallContext& sys, std::uint64_t& budget) {
    if (!state.started) {
        state.started = true;
        state.cpu_start = sys.cpu_used();
        state.disk_start = sys.disk_used();
        if (!sys.charge_memory(state.memory)) return ProgramStep::finished(kExhaustedStatus);
        state.memory_charged = state.memory;
        std::uint64_t work = state.cost;
        for (const std::string& arg : state.args) work = sat_add(work, arg.size());
        if (!sys.charge_cpu(work)) {
            release_charges(state, sys);
            return ProgramStep::finished(kExhaustedStatus);
        }
    }

    if (!state.handler_done) {
        // What a streaming handler handed over on its last step is written before it goes on.
        if (auto step = drain_output(sys, 1, state.streamed, budget)) return *step;
        Bytes out;
        Bytes err;
        CommandIo io{state.input, out, err};
        NativeInvocation invocation{sys, state.name, state.args, state.suspendable ? &state.live : nullptr};
        if (!state.suspendable) {
            state.status = state.handler(invocation, io);
        } else {
            NativeStep step;
            state.suspendable_handler(step, invocation, io);
            if (!step.is_finished()) {
                if (out.empty() && err.empty()) {
                    take_streamed(state);
                    if (auto drained = drain_output(sys, 1, state.streamed, budget)) return *drained;
                    return step.kind == NativeStep::Kind::Blocked ? ProgramStep::blocked(std::move(*step.reason))
                                                                  : ProgramStep::yield();
                }
                out.clear();
                err = fmt::format("{}: command suspended after producing output\n", state.name);
                state.status = 125;
            } else {
                state.status = step.status;
            }
        }
        state.handler_done = true;
        release_charges(state, sys);
        take_streamed(state);  // streamed output comes before what the last call wrote
        state.out = PendingBytes{std::move(out), 0};
        state.err = PendingBytes{std::move(err), 0};
    }

    if (auto step = drain_output(sys, 1, state.streamed, budget)) return *step;
    if (auto step = drain_output(sys, 1, state.out, budget)) return *step;
    if (auto step = drain_output(sys, 2, state.err, budget)) return *step;
    if (!state.usage_recorded) {
        state.usage_recorded = true;
        sys.record_command_usage(state.name, state.cpu_start, state.disk_start);
    }
    return ProgramStep::finished(state.status);
}

}  // namespace tw
