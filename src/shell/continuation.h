// The shell executor's continuation: what remains to be done in a shell process, as a stack of
// small frames. The executor never runs a command tree by recursion: the step driver pops the
// top frame, `Machine::exec_step` does one bounded piece of work for it and pushes the frames that
// describe what follows. Anything that would wait (a pipe, a child, standard input) pushes a
// frame that resumes the work and leaves a wait reason in the continuation instead of blocking.
//
// Frames own their payloads. Parts of the syntax tree are held as `ShellCommandPtr` (shared,
// immutable), so a frame that walks a list, an `if` or a loop keeps the node and an index rather
// than copies of its children.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "base/bytes.h"
#include "kernel/descriptors.h"
#include "kernel/scheduler.h"
#include "kernel/step.h"
#include "shell/assign.h"
#include "shell/ast.h"

namespace tw {

struct Machine;
struct BuiltinContinuation;
struct ShellContinuation;

inline constexpr std::size_t kMaxShellFrames = 4096;

// A copy of the shell's descriptor table taken before a command's redirections, holding its own
// references on the open descriptions, and the memory charged while it is kept.
struct SavedDescriptors {
    DescriptorTable table;
    std::uint64_t charge = 0;
};

// A simple command (or the redirections of a compound one) on its way from the tree to running:
// substitutions are resolved first, then redirections applied, then the words expanded.
struct SimpleState {
    std::vector<Assignment> assignments;
    std::vector<std::string> words;
    std::vector<Redirection> redirections;
    RestoreList restore;  // substitution markers to remove once the words are expanded
    std::vector<std::pair<std::string, std::string>> output_substitutions;  // (path, command text)
    std::vector<std::string> temp_files;
    ShellCommandPtr body;  // the compound command of a redirected command
    std::optional<std::int32_t> substitution_status;
};

// The suspended state of a continuing builtin, owned by value (its type belongs to command
// dispatch; copying the box copies the state).
class BuiltinStateBox {
public:
    BuiltinStateBox();
    explicit BuiltinStateBox(BuiltinContinuation state);
    BuiltinStateBox(const BuiltinStateBox& other);
    BuiltinStateBox& operator=(const BuiltinStateBox& other);
    BuiltinStateBox(BuiltinStateBox&&) noexcept;
    BuiltinStateBox& operator=(BuiltinStateBox&&) noexcept;
    ~BuiltinStateBox();

    BuiltinContinuation* get() { return state_.get(); }
    const BuiltinContinuation* get() const { return state_.get(); }
    // Moves the state out; the box is empty afterwards.
    BuiltinContinuation take();

private:
    std::unique_ptr<BuiltinContinuation> state_;
};

namespace frame {

// Reports the elapsed time of a `time` body.
struct TimeReport {
    std::uint64_t start_ns = 0;
    std::uint64_t start_cpu = 0;  // CPU units used x 1000
    bool posix = false;
};
// Runs one command node.
struct RunCommand {
    ShellCommandPtr command;
};
// Sets PIPESTATUS to the one element `status`.
struct SetPipeStatus {};
// Reads the shell's program from standard input, a line at a time.
struct ReadScriptInput {
    std::string text;
};
// Requests the shell's exit with `status` (after `exec` of a command that does not replace it).
struct MarkExit {};
// Substitutions, then redirections, of a simple or redirected command.
struct PrepareSimple {
    SimpleState state;
};
// Expansion, aliases, prefix assignments, then exec, a function or the command runner.
struct ExpandAndRun {
    std::vector<std::string> words;
    std::vector<Assignment> assignments;
    RestoreList restore;
    std::optional<std::int32_t> substitution_status;
};
struct AwaitCommandSubstitution {
    SimpleState state;
    std::string marker;
    std::optional<std::string> saved;
    Pid child = 0;
    std::uint32_t capture = 0;
};
struct AwaitProcessSubstitution {
    enum class Kind : std::uint8_t { Redirection, Word };
    Kind kind = Kind::Word;
    std::size_t index = 0;
    SimpleState state;
    Pid child = 0;
    std::uint32_t capture = 0;
};
struct RunOutputSubstitutions {
    std::vector<std::pair<std::string, std::string>> entries;
    std::optional<std::int32_t> saved;
};
struct AwaitOutputSubstitution {
    std::vector<std::pair<std::string, std::string>> entries;
    std::int32_t saved = 0;
    Pid child = 0;
};
struct RemoveTempFiles {
    std::vector<std::string> paths;
};
// Substitutions and expansion of a `for` word list, then the loop.
struct ForWords {
    std::string name;
    std::vector<std::string> words;
    RestoreList restore;
    ShellCommandPtr body;
};
struct AwaitForSubstitution {
    ForWords payload;
    Pid child = 0;
    std::uint32_t capture = 0;
    std::string marker;
    std::optional<std::string> saved;
};
// Substitutions, expansion and matching of a `case`. `word` and `patterns` start as the node's
// raw texts and take the rewritten forms once substitutions are resolved.
struct CaseMatch {
    ShellCommandPtr node;  // the Case
    std::string word;
    std::vector<std::vector<std::string>> patterns;  // per arm
    RestoreList restore;
};
struct AwaitCaseSubstitution {
    CaseMatch payload;
    Pid child = 0;
    std::uint32_t capture = 0;
    std::string marker;
    std::optional<std::string> saved;
};
// Evaluates one arithmetic text. Mode 0: the arithmetic command; 1: the initialisation of an
// arithmetic `for`; 2: its condition; 3: its step. `node` is the ArithFor for modes 1 to 3.
struct ArithStep {
    std::string text;
    std::uint32_t mode = 0;
    std::int32_t saved = 0;
    ShellCommandPtr node;
};
struct AwaitArithSubstitution {
    ArithStep payload;
    std::size_t start = 0;
    std::size_t end = 0;
    Pid child = 0;
    std::uint32_t capture = 0;
};
// The errexit check after item `next - 1` of a List node, then item `next`.
struct ListNext {
    ShellCommandPtr node;
    std::size_t next = 0;
};
struct AndOrRest {
    ShellCommandPtr right;
    bool is_and = false;
};
struct NegateStatus {};
// Branch 0 is the `if` itself, branch i > 0 the (i-1)-th elif.
struct IfBranch {
    ShellCommandPtr node;
    std::size_t index = 0;
};
struct IfConditionDone {
    ShellCommandPtr node;
    std::size_t index = 0;
};
// while / until: `node` is the Loop.
struct LoopTest {
    ShellCommandPtr node;
    std::int32_t saved = 0;
};
struct LoopConditionDone {
    ShellCommandPtr node;
    std::int32_t saved = 0;
};
struct LoopBodyDone {
    ShellCommandPtr node;
};
struct ForNext {
    std::string name;
    std::vector<std::string> values;
    ShellCommandPtr body;
    std::size_t next = 0;
    std::int32_t saved = 0;
};
struct ForBodyDone {
    std::string name;
    std::vector<std::string> values;
    ShellCommandPtr body;
    std::size_t next = 0;
};
// The arithmetic `for`: `node` is the ArithFor.
struct ArithForTest {
    ShellCommandPtr node;
    std::int32_t saved = 0;
};
struct ArithForBodyDone {
    ShellCommandPtr node;
};
struct LeaveLoop {};
struct RestoreDescriptors {
    SavedDescriptors saved;
};
// Ends a shell function call.
struct FunctionReturn {
    std::vector<std::string> saved_params;
    std::uint64_t saved_params_size = 0;
    RestoreList restore;
    bool saved_err_trap_enabled = false;
    std::uint64_t call_size = 0;  // what the call added to call_saved_size
};
struct EndEval {
    RestoreList restore;
};
struct EndSource {
    RestoreList restore;
};
struct EndSignalTrap {
    std::int32_t saved = 0;
};
struct EndExitTrap {
    std::int32_t saved = 0;
};
struct ErrTrapCheck {};
struct EndErrTrap {
    std::int32_t saved = 0;
    bool saved_suppress = false;
};
struct ResumeBuiltin {
    RestoreList restore;
    BuiltinStateBox state;
};
// Reads standard input for a command before dispatching it. Mode 0: none; 1: one line ending in
// `delimiter` (backslash continuations unless `raw`); 2: the whole input.
struct PrefetchInput {
    std::vector<std::string> argv;
    RestoreList restore;
    Bytes input;
    std::uint64_t charged = 0;
    std::uint32_t mode = 0;
    char delimiter = '\n';
    bool raw = false;
};
// Copies a command's buffers to descriptors 1 and 2.
struct WriteBuiltinOutput {
    std::string name;
    RestoreList restore;
    Bytes out;
    Bytes err;
    std::uint64_t out_written = 0;
    std::uint64_t err_written = 0;
    std::int32_t status = 0;
};
struct AwaitChild {
    Pid pid = 0;
    bool reap = false;
};
struct AwaitPipeline {
    std::vector<Pid> pids;
    std::vector<std::int32_t> statuses;
    std::size_t next = 0;
    bool pipefail = false;
};

}  // namespace frame

// One frame; the alternatives are in this fixed order.
struct ExecFrame {
    using Node = std::variant<frame::TimeReport, frame::RunCommand, frame::SetPipeStatus, frame::ReadScriptInput,
                              frame::MarkExit, frame::PrepareSimple, frame::ExpandAndRun,
                              frame::AwaitCommandSubstitution, frame::AwaitProcessSubstitution,
                              frame::RunOutputSubstitutions, frame::AwaitOutputSubstitution, frame::RemoveTempFiles,
                              frame::ForWords, frame::AwaitForSubstitution, frame::CaseMatch,
                              frame::AwaitCaseSubstitution, frame::ArithStep, frame::AwaitArithSubstitution,
                              frame::ListNext, frame::AndOrRest, frame::NegateStatus, frame::IfBranch,
                              frame::IfConditionDone, frame::LoopTest, frame::LoopConditionDone, frame::LoopBodyDone,
                              frame::ForNext, frame::ForBodyDone, frame::ArithForTest, frame::ArithForBodyDone,
                              frame::LeaveLoop, frame::RestoreDescriptors, frame::FunctionReturn, frame::EndEval,
                              frame::EndSource, frame::EndSignalTrap, frame::EndExitTrap, frame::ErrTrapCheck,
                              frame::EndErrTrap, frame::ResumeBuiltin, frame::PrefetchInput,
                              frame::WriteBuiltinOutput, frame::AwaitChild, frame::AwaitPipeline>;
    Node node;

    template <class T>
        requires(!std::is_same_v<std::decay_t<T>, ExecFrame>)
    ExecFrame(T payload) : node(std::move(payload)) {}

    template <class T>
    bool is() const {
        return std::holds_alternative<T>(node);
    }

    // A continuation with one RunCommand frame for the command, status 0 and every flag clear.
    static ShellContinuation program_stack(ShellCommandPtr command);
};

// A shell process's stack of frames with its status and control flags.
struct ShellContinuation {
    std::vector<ExecFrame> frames;  // the top is the last element; at most kMaxShellFrames
    std::optional<WaitReason> pending_result;  // reported as Blocked at the end of the step
    std::int32_t status = 0;                   // what $? will read
    bool suppress_errexit = false;  // `status` comes from a tested position
    bool wait_for_child = false;    // this step started a child that the next frame waits for
    bool yield_now = false;         // give up the processor although frames remain
    bool exit_trap_done = false;
    bool started = false;            // the first step takes $? from the process (inherited by a child)
    bool tail_exec_allowed = false;  // a child shell whose last command may replace it
    bool replaced = false;           // the process's program was replaced
    bool exited = false;             // the program ended through exit: the shell itself is done

    // program_stack with tail execution allowed: pipeline stages, background jobs and shells
    // started by a command.
    static ShellContinuation for_program(ShellCommandPtr command);

    // Pushes a frame. At the frame limit writes "tarnwick: shell continuation frame limit
    // exceeded" to descriptor 2, sets status 2, aborts the continuation, drops the frame and
    // answers false.
    bool push(Machine& machine, ExecFrame frame);
    // True when n more frames fit; otherwise as a refused push (message, status 2, abort).
    bool reserve_frames(Machine& machine, std::size_t n);
    // Empties the stack from the top, undoing what the dropped frames hold (restore lists,
    // saved descriptors, depths, the trap marks, temporary files).
    void abort(Machine& machine);
};

// The process-continuation form of a shell continuation, and the way back to it.
ProcessContinuation shell_program(ShellContinuation continuation);
ShellContinuation* shell_continuation_of(ProcessContinuation& program);
const ShellContinuation* shell_continuation_of(const ProcessContinuation& program);

}  // namespace tw
