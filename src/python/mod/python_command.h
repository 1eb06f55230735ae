// The `python` command: a command line becomes either an immediate answer (a version line, a
// refusal) or a prepared run of a program as module `__main__` in a fresh interpreter, stepped a
// slice at a time. The shell runs it as the program of a child process that it waits for, so a
// program waiting on its standard input blocks that process and never the machine.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/step.h"

namespace tw {
struct Machine;
struct BuiltinContext;
struct CommandIo;
struct CommandOutcome;
}  // namespace tw

namespace tw::py {

class PythonRun;
// Owns a run; the run's type stays inside the command.
struct PythonRunDeleter {
    void operator()(PythonRun* run) const;
};
using PythonRunPtr = std::unique_ptr<PythonRun, PythonRunDeleter>;

// What `python_command` answers: finished with a status (all output already appended), or a
// prepared run for the caller to step.
struct PythonCommandResult {
    std::optional<std::int32_t> finished;
    PythonRunPtr run;  // when not finished
};

struct PythonStep {
    enum class Kind : std::uint8_t { Yield, Blocked, Exited } kind = Kind::Yield;
    std::optional<WaitReason> wait;  // Blocked
    std::int32_t status = 0;         // Exited
};

// Chooses what argv (argv[0] is the command name) asks for. `stdin_bytes` is the standard
// input already gathered: the program for "-" and for no argument. Messages go to `out`/`err`.
PythonCommandResult python_command(Machine& machine, std::span<const std::string> argv, std::string stdin_bytes,
                                   std::string& out, std::string& err);

// One slice of a prepared run. With `may_suspend` the program reads descriptor 0 of the active
// process and may block on it; without, it reads the input given to `python_command` only.
PythonStep step_python_run(PythonRun& run, Machine& machine, bool may_suspend);

// Takes the output the run has written so far.
void take_python_output(PythonRun& run, std::string& out, std::string& err);

// A deep copy of a run (machine snapshots copy every process program).
PythonRunPtr clone_python_run(const PythonRun& run);

// Gives back what the run still holds on the memory budget and drops it.
void release_python_run(PythonRunPtr run, Machine& machine);

// The program of a process that runs `python` with argv (argv[0] is the command name) on the
// process's standard streams. Other commands (`python -m ...` from an installer, `uv run`) start
// python through this.
ProcessContinuation python_process_program(std::vector<std::string> argv);

// Runs `python` with argv to its end without suspending, with `input` as the whole of its
// standard input, appending its output to `out`/`err`; the exit status.
std::int32_t run_python_sync(Machine& machine, std::span<const std::string> argv, std::string& out, std::string& err,
                             std::string input = {});

// A command of the system that `python -m NAME` runs instead of a Python module (the package
// installer, the test runner): it gets the arguments after NAME, appends its output to `out` and
// `err` and answers the exit status. The layers above the interpreter register these, so the
// interpreter itself depends on none of them.
using PythonModuleCommand = std::int32_t (*)(Machine& machine, std::span<const std::string> args, std::string& out,
                                             std::string& err);
// Registers (or replaces) the command for NAME; the table holds a few names at most.
void register_python_module_command(std::string_view name, PythonModuleCommand command);


// The `python` builtin of the shell: starts python_process_program in a child that the shell
// waits for.
void builtin_python(CommandOutcome& outcome, BuiltinContext& context, std::span<const std::string> args,
                    CommandIo& io);

}  // namespace tw::py
