// yes: its line (the operands joined by blanks, or "y") for ever, in blocks of up to 4096 bytes.
// It ends only through the draining tail: 141 once the reader has gone, 137 on a budget.
#include "kernel/syscalls.h"
#include "shell/program/program.h"

namespace tw {

ProgramContinuation launch_yes(std::span<const std::string> args) {
    Bytes line;
    if (args.empty()) {
        line = "y";
    } else {
        for (std::size_t i = 0; i < args.size(); ++i) {
            if (i > 0) line.push_back(' ');
            line.append(args[i]);
            if (line.size() >= kProgramStepBytes) break;
        }
        if (line.size() >= kProgramStepBytes) return error_exit_state("yes: arguments exceed 4096 bytes\n", 1);
    }
    line.push_back('\n');
    const std::size_t copies = std::max<std::size_t>(1, kProgramStepBytes / line.size());
    program::Yes state;
    state.block.data.reserve(copies * line.size());
    for (std::size_t i = 0; i < copies; ++i) state.block.data.append(line);
    return ProgramContinuation{std::move(state)};
}

ProgramStep step_yes(program::Yes& state, SyscallContext& sys, std::uint64_t& budget) {
    if (auto step = drain_output(sys, 1, state.block, budget)) return *step;
    state.block.written = 0;
    return ProgramStep::yield();
}

}  // namespace tw
