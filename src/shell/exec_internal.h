// Shared inside the executor's source files: the context of one frame's resume and the resume
// functions of each group of frames.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/machine.h"
#include "shell/continuation.h"

namespace tw::exec_detail {

// The machine and the continuation one frame is resumed for. The process is the active one.
struct Exec {
    Machine& m;
    ShellContinuation& c;

    ProcessState& st() { return m.states.active_mut(); }
    bool push(ExecFrame frame) { return c.push(m, std::move(frame)); }
    bool reserve(std::size_t n) { return c.reserve_frames(m, n); }
    // A diagnostic of the shell itself on descriptor 2 (the text carries its own newline).
    void diag(std::string_view text) { m.write_stderr_all(text); }
    // A budget is exhausted, or an exit, return, break or continue is pending.
    bool should_unwind();
    // Takes the pending error (cleared): its message to descriptor 2, its status, and a fatal
    // one requests the exit.
    void report_pending_error();
    // Whether expansion recorded a pending error.
    bool has_pending_error();
};

std::uint32_t depth_up(std::uint32_t depth);
std::uint32_t depth_down(std::uint32_t depth);

// The modeled size of positional parameters: each text's length + 48.
std::uint64_t positional_params_size(const std::vector<std::string>& params);
// The modeled size a restore list adds to a function call: name + 48, and value + 48 with one.
std::uint64_t restore_list_size(const RestoreList& list);
// PIPESTATUS as an indexed array of the statuses in decimal.
void set_pipestatus(ProcessState& state, const std::int32_t* statuses, std::size_t count);

// ---- exec_simple.cpp: simple commands, redirections, exec ----
void resume(Exec& x, frame::PrepareSimple& f);
void resume(Exec& x, frame::ExpandAndRun& f);
void resume(Exec& x, frame::RestoreDescriptors& f);
void resume(Exec& x, frame::MarkExit& f);
// Releases the saved table's references and its memory charge without restoring it.
void discard_saved_descriptors(Machine& m, SavedDescriptors& saved);
void restore_saved_descriptors(Machine& m, SavedDescriptors& saved);
// Best-effort removal of files (temporary files of substitutions).
void remove_files(Machine& m, const std::vector<std::string>& paths);
void remove_substitution_files(Machine& m, const SimpleState& state);

// ---- exec_compound.cpp: lists, pipelines, compound commands, functions ----
void resume(Exec& x, frame::ListNext& f);
void resume(Exec& x, frame::AndOrRest& f);
void resume(Exec& x, frame::NegateStatus& f);
void resume(Exec& x, frame::IfBranch& f);
void resume(Exec& x, frame::IfConditionDone& f);
void resume(Exec& x, frame::LoopTest& f);
void resume(Exec& x, frame::LoopConditionDone& f);
void resume(Exec& x, frame::LoopBodyDone& f);
void resume(Exec& x, frame::ForWords& f);
void resume(Exec& x, frame::ForNext& f);
void resume(Exec& x, frame::ForBodyDone& f);
void resume(Exec& x, frame::ArithStep& f);
void resume(Exec& x, frame::ArithForTest& f);
void resume(Exec& x, frame::ArithForBodyDone& f);
void resume(Exec& x, frame::LeaveLoop& f);
void resume(Exec& x, frame::CaseMatch& f);
void resume(Exec& x, frame::FunctionReturn& f);
void resume(Exec& x, frame::AwaitPipeline& f);
void resume(Exec& x, frame::AwaitChild& f);
void resume(Exec& x, frame::TimeReport& f);
void start_pipeline(Exec& x, const ShellCommandPtr& node);
void start_subshell(Exec& x, const ShellCommandPtr& body);
void start_background(Exec& x, const ShellCommandPtr& body);
// Calls the function `body` with argv[1..] as its positional parameters.
void call_function(Exec& x, const ShellCommandPtr& body, std::vector<std::string> argv, RestoreList restore);
// What FunctionReturn undoes, also when the frame is aborted.
void unwind_function_call(Machine& m, frame::FunctionReturn& f);

// ---- exec_run.cpp: running commands and their output ----
void resume(Exec& x, frame::PrefetchInput& f);
void resume(Exec& x, frame::WriteBuiltinOutput& f);
void resume(Exec& x, frame::ResumeBuiltin& f);
void resume(Exec& x, frame::EndEval& f);
void resume(Exec& x, frame::EndSource& f);
void resume(Exec& x, frame::ReadScriptInput& f);
void run_command_words(Exec& x, std::vector<std::string> argv, RestoreList restore, bool record);
// `exec` with its words (the first is "exec") and the prefix assignments' restore list.
void run_exec_builtin(Exec& x, std::vector<std::string> words, RestoreList restore);
// Whether the word runs in a process of its own (a resumable program, a registered native, a
// shell, a WebAssembly file).
bool needs_own_process(Machine& m, std::string_view name);
// Appends the name to the machine's bounded list of commands seen.
void record_command_seen(Machine& m, std::string_view name);

// ---- exec_subst.cpp: command and process substitution ----
void resume(Exec& x, frame::AwaitCommandSubstitution& f);
void resume(Exec& x, frame::AwaitProcessSubstitution& f);
void resume(Exec& x, frame::RunOutputSubstitutions& f);
void resume(Exec& x, frame::AwaitOutputSubstitution& f);
void resume(Exec& x, frame::RemoveTempFiles& f);
void resume(Exec& x, frame::AwaitForSubstitution& f);
void resume(Exec& x, frame::AwaitCaseSubstitution& f);
void resume(Exec& x, frame::AwaitArithSubstitution& f);
// The substitution phase of a simple command: starts the first substitution found (true: a
// frame was pushed or the command failed and was dropped); false when none is left.
bool start_simple_substitution(Exec& x, SimpleState& state);
bool start_for_substitution(Exec& x, frame::ForWords& f);
bool start_case_substitution(Exec& x, frame::CaseMatch& f);
bool start_arith_substitution(Exec& x, frame::ArithStep& f);

}  // namespace tw::exec_detail
