// pwd: the current directory and a newline. (true and false are Exit continuations that finish on
// their first step; they need no code of their own.)
#include "kernel/syscalls.h"
#include "shell/program/program.h"

namespace tw {

ProgramStep step_pwd(program::Pwd& state, SyscallContext& sys, std::uint64_t& budget) {
    if (!state.line) {
        state.line.emplace();
        state.line->data = sys.getcwd();
        state.line->data.push_back('\n');
    }
    return drain_then_finish(sys, 1, *state.line, budget, 0);
}

}  // namespace tw
