// The shell executor: how a shell process runs its continuation (shell/continuation.h).
//
// A shell process's program is a ShellProgram, one of the kernel's ExtensionProgram kinds. Each
// step pops the top frame and hands it to `Machine::exec_step` (declared in kernel/machine.h),
// then resumes at once the frames that only finish a command (SetPipeStatus, ErrTrapCheck), and
// answers the kernel's ProgramStep from what the frames left in the continuation:
//   replaced -> Replaced; wait_for_child -> WaitChild; yield_now -> Yield; a pending result ->
//   Blocked; frames left -> Yield; none -> the EXIT trap once, then Finished with the status.
//
// To run a parsed program in a process:
//   machine.states.set_program(pid, shell_program(ShellContinuation::for_program(tree)));
// (ExecFrame::program_stack instead of for_program for a shell that must survive its program,
// such as the default shell running an action, or a subshell.)
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/step.h"
#include "shell/ast.h"
#include "shell/continuation.h"
#include "shell/language.h"

namespace tw {

struct Machine;
struct ProcessState;

// A shell continuation as the program of a process.
class ShellProgram final : public ProgramImpl {
public:
    explicit ShellProgram(ShellContinuation continuation) : continuation_(std::move(continuation)) {}

    ProgramStep step(Machine& machine) override;
    std::unique_ptr<ProgramImpl> clone() const override;
    // A continuation dropped unfinished (its process killed) gives back what its frames hold:
    // saved descriptor tables with their references and charges, prefetched input, the holds on
    // substitution captures, and temporary files. Nothing is restored into the dying process.
    void cancel_wait(Machine& machine) override;
    // Pushes the handler (reserving two frames): EndSignalTrap with the current status below,
    // the trap's command on top. Without room the continuation has been ended by the frame
    // limit; the handler mark is cleared and the command dropped.
    Result<void, std::string> run_signal_handler(Machine& machine, const Trap& trap) override;

    ShellContinuation& continuation() { return continuation_; }
    const ShellContinuation& continuation() const { return continuation_; }

private:
    ShellContinuation continuation_;
};

// One step of a shell continuation for the active process (the step driver's contract above).
ProgramStep step_shell(Machine& machine, ShellContinuation& continuation);

// Gives up a continuation that will not run to its end (an abandoned action): its frames are
// aborted with their cleanups (descriptors put back, restore lists restored, depths lowered) and
// the active process's control requests (exit, return, break, continue) and depths are cleared,
// so the shell can run another program afterwards.
void abandon_shell_continuation(Machine& machine, ShellContinuation& continuation);
// Clears the control requests, the loop, source and condition depths and the trap-handler marks
// of a shell that is about to run a new program.
void reset_shell_requests(ProcessState& state);

// ---- program builders used by command launch ----

// A shell running a parsed program; `separate_instance` marks a new shell (bash -c, a script),
// whose last command may replace it, rather than a subshell.
ProcessContinuation shell_program_continuation(ShellCommandPtr program, bool separate_instance);
// A shell that reads its commands from standard input, one complete command at a time.
ProcessContinuation shell_stdin_continuation();
// A shell running already expanded words as one command, as if typed.
ProcessContinuation shell_words_continuation(std::vector<std::string> argv);

// The label of a pipeline stage or background job: the words of a simple command joined with
// single spaces, "<job>" for any other command.
std::string job_text(const ShellCommand& command);

}  // namespace tw
