// The whole simulated computer as one value. The host interface owns exactly one Machine per
// machine object and is the only code that creates one; every kernel, shell and command operation
// takes the Machine (or a system-call handle onto it). Fields are read directly by the parts of the
// system that own them. Copying a Machine copies everything (whole-machine snapshots).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <span>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/clock.h"
#include "kernel/descriptors.h"
#include "kernel/display.h"
#include "kernel/invocation_log.h"
#include "kernel/labels.h"
#include "kernel/meter.h"
#include "kernel/net.h"
#include "kernel/process.h"
#include "kernel/scheduler.h"
#include "kernel/syscall_error.h"
#include "kernel/vfs.h"
#include "kernel/vfs_tree.h"

namespace tw {

struct CommandOutcome;
struct ShellCommand;
struct BuiltinContinuation;
struct ExecFrame;
struct ShellContinuation;

inline constexpr Pid kFirstShellPid = 1234;
inline constexpr std::uint64_t kBootWallMs = 1735689600000;  // 2025-01-01T00:00:00Z

// A Python package installed with pip: its version and the files it placed.
struct ProgramContinuation;
class SyscallContext;
struct StepReport;
struct StartedAction;
struct ActionResult;
struct SpawnRequest;
struct RunOutcome;

struct InstalledPackage {
    std::string version;
    std::vector<std::string> files;
};

struct Machine {
    Clock clock;
    DisplayDevice display;
    ResourceMeter meter;
    Scheduler scheduler;
    ProcessTable processes;
    ProcessStateTable states;
    std::string hostname;
    HttpBroker broker;
    BoundedLabelSet commands_seen;
    BoundedLabelSet unsupported_labels;
    InvocationLog invocations;
    Bytes stdout_bytes;
    Bytes stderr_bytes;
    std::optional<PacingBaseline> pacing;
    OpenDescriptionTable open_descriptions;
    Vfs vfs;
    Pid shell_pgid = kFirstShellPid;
    Pid foreground_pgid = kFirstShellPid;
    std::map<std::uint32_t, std::uint64_t> pipe_charges;
    std::map<Pid, Pid> python_children;
    std::uint64_t unique_counter = 0;
    std::map<std::string, InstalledPackage> installed_packages;

    // The boot state: clock at 2025-01-01, the base image, the default shell 1234 running.
    static Machine build(const MachineLimits& limits);
    // build, plus the real-time pacing baseline when asked for.
    static Machine create(const MachineLimits& limits, bool real_time);

    // ---- clock ----
    // Moves the filesystem clock for the next change (Vfs::advance_clock_ns) to the wall-clock
    // time; answers its millisecond.
    std::uint64_t sync_vfs_clock();
    Result<void, std::string> sync_real_time_clock();
    Result<void, std::string> advance_time_to(std::uint64_t t);
    Result<void, std::string> poll_clock();
    Result<void, std::string> dispatch_ready_events();
    void cancel_clock_event(std::uint64_t time_ns, std::uint64_t sequence);

    // ---- wakes ----
    void wake_waiters(int kind, std::uint32_t pipe);
    void wake_pipe_waiters(std::uint32_t pipe, int end);
    void wake_lock_waiters();
    void prune_pipe_charges();

    // ---- processes ----
    void refresh_open_fds(Pid pid);

    // ---- descriptor I/O and opening paths (descriptor_io.cpp, open.cpp) ----
    // All of these act for the active process. Reads and writes never block: they answer the
    // WaitReason to wait on, and wake the opposite waiters themselves after moving pipe bytes.

    // Reads up to `max` bytes at the description's cursor (a file's cursor advances). Readable
    // devices are metered: at most half the CPU budget left and 4096 bytes a call, one unit a byte.
    Result<ReadOutcome, SyscallError> read_fd(std::int32_t fd, std::uint64_t max);
    // Reads a File description at `offset` (at most 4 MiB) without moving its cursor.
    Result<Bytes, SyscallError> read_description_at(std::int32_t fd, std::uint64_t offset, std::uint64_t max);
    // Writes through the description. File writes are whole or fail (the file unchanged); pipes
    // may take fewer bytes than offered or answer would-block.
    Result<WriteOutcome, SyscallError> write_fd(std::int32_t fd, BytesView bytes);
    // read_fd on descriptor 0 with failures turned into the message the builtins print.
    Result<ReadOutcome, std::string> read_descriptor(std::uint64_t max);
    // Wakes the tasks waiting for activity of `pid`, then of its parent, and so on up the tree.
    void notify_child_activity(Pid pid);
    // The host's side of an open input buffer: more bytes, or the end of them. Both wake the tasks
    // waiting on InputReadable of the description.
    Result<void, DescriptorError> append_input(std::uint32_t description, BytesView bytes);
    Result<void, DescriptorError> close_input(std::uint32_t description);

    // Opens `path` (joined to `base`) and installs the new description at `fd`, replacing what
    // fd held. Devices, /proc and /dev files, directories and regular files; creates and
    // truncates as the flags say. On failure nothing is installed and no description is left.
    Result<void, SyscallError> open_at(std::int32_t fd, std::string_view base, std::string_view path, OpenFlags flags);
    // open_at at the lowest number from 5 to 260 that is not open; answers the number.
    Result<std::int32_t, SyscallError> open_lowest(std::string_view base, std::string_view path, OpenFlags flags);
    // The device a path names after normalisation (/dev/zero, /dev/random, /dev/urandom).
    static std::optional<DeviceKind> open_device_path(std::string_view path);
    // Installs into the active process's table; on failure the description is discarded if
    // unused. On success the listing is refreshed and the waiters of a replaced pipe end woken.
    Result<void, DescriptorError> install_active_descriptor(std::int32_t fd, std::uint32_t number);

    // ---- child processes, signals and the step driver (child.cpp, signals.cpp, step.cpp) ----

    // Creates a child of the active process (the machine's fork) and answers its pid. The child
    // copies the parent's state (a fresh program keeps only the ignore traps, gets its own $$
    // and no EXIT trap), is charged fork size + 256 bytes of memory and starts Ready with no
    // program. With `suspend_parent` the parent blocks on Child(pid) and the next ready task
    // (normally the child) is dispatched and made active. A failure gives the charge back.
    Result<Pid, std::string> create_child_process(std::string_view command, bool fresh_program, bool suspend_parent,
                                                  bool capture_output, GroupMode group_mode);
    // Removes the finished background jobs of a shell from its job table and reaps them.
    void forget_finished_jobs(Pid shell);
    // A child that runs argv: creation with the display line of argv, its standard input, its
    // directory and environment, then `launch` installs its program.
    Result<Pid, std::string> prepare_child(const ChildRequest& request, const ArgvLauncher& launch);
    // Sets a child's directory (and exported PWD) and, with an environment, replaces its
    // variables, arrays and exported names by that environment plus PWD.
    Result<void, std::string> init_child_state(Pid pid, const std::optional<std::string>& directory,
                                               const std::optional<std::map<std::string, std::string>>& environment);
    // Takes apart a child that has not run yet (a pipeline stage whose siblings could not be
    // made): its descriptors and charges go, its task and state are removed, and its record is
    // marked exited with 125 and reaped.
    void reclaim_process_state(Pid pid);
    // Installs a description as descriptor `fd` of pid; InvalidFd without a state.
    Result<void, DescriptorError> install_descriptor(Pid pid, std::int32_t fd, std::uint32_t description);

    // Signals. Sending acts at once for CONT (and STOP to a process that is not running);
    // everything else waits in the pending set until the process's next step.
    Result<void, std::string> send_signal(Pid pid, Signal signal);
    Result<void, std::string> stop_process(Pid pid, Signal signal);
    Result<void, std::string> continue_process(Pid pid);
    Result<void, std::string> stop_active_process(Signal signal);
    // Every live member of the group, ascending; stops at the first failure.
    Result<void, std::string> signal_process_group(Pid group, Signal signal);
    // Takes the next deliverable signal of the active process and says what the driver does.
    std::optional<SignalDelivery> deliver_pending_signals();
    // Whether a pending signal of the active process would end it or run its trap handler when
    // delivered now (a stop is left out).
    bool has_acting_signal() const;
    // Pushes a trap handler onto a shell continuation; other programs cannot run one.
    Result<void, std::string> run_signal_handler(ProcessContinuation& continuation, const Trap& trap);

    // The step driver. `step_process` runs one step of the active process's continuation, which
    // the caller has taken out of the state.
    ProgramStep step_process(ProcessContinuation& continuation);
    ProgramStep wasm_step(WasmImage& image);
    // Tears down the active process `pid`: captured output, descriptors, record, waits, wakes,
    // the next task, CHLD or reaping, and the memory charges.
    void finish_process(Pid pid, std::int32_t status);
    // Ends `pid` for a terminating signal: its program is dropped, its open invocations complete
    // with 128 + the signal's number, and the process finishes with that status.
    void terminate_by_signal(Pid pid, Signal signal);
    // Gives back what a dropped continuation holds.
    void cancel_program_wait(ProcessContinuation& continuation);
    // Removes the pending and ready timeline events of pid.
    void forget_process_waits(Pid pid);
    // One driven step of the dispatched process pid: selects it, delivers its pending signals
    // and acts on them, then steps its program and handles the answer. The host loop keeps a
    // yielding process running when nothing else is ready.
    Result<void, std::string> drive_process_step(Pid pid, StepDriver driver);
    // Acts on the answer of a step of pid: the continuation is put back, dropped or finished.
    Result<void, std::string> handle_program_step(Pid pid, ProcessContinuation continuation, const ProgramStep& step,
                                                  StepDriver driver);
    // One turn of the other processes while the active process waits for `target`: true once
    // the target has exited. With a deadline before the next event, time moves to the deadline.
    Result<bool, std::string> run_nested(Pid target, std::optional<std::uint64_t> deadline);
    Result<void, std::string> resume_nested_caller(Pid caller);

    // ---- /proc and /dev, display, moving and copying trees (pseudo_fs.cpp, display.cpp, vfs_tree.cpp) ----
    // The target of a pseudo link (rendered without following /proc/self); any other pseudo path
    // is Invalid (the caller's path); absent when it is no pseudo path.
    std::optional<Result<std::string, VfsError>> read_pseudo_link(std::string_view base, std::string_view path) const;

    // The display, acting for the active process (display.h has the rules).
    Result<std::uint32_t, DisplayError> display_open(std::uint32_t width, std::uint32_t height, std::uint32_t format);
    Result<void, DisplayError> display_present(std::uint32_t handle, BytesView pixels, std::uint32_t stride);
    Result<KeyEvent, DisplayError> input_poll_key(std::uint32_t handle);
    Result<void, DisplayError> display_close(std::uint32_t handle);
    // Host side: queues a key event (pressed or released), charging 16 bytes of memory.
    Result<void, DisplayError> inject_key(std::uint32_t code, bool pressed);
    // Closes the display when `pid` holds it (its program ended); the frame stays.
    void release_display(Pid pid);

    // Moves a node with everything below it (the last link of `from` not followed). Into an
    // existing directory at `to`; a directory only replaces an empty directory, a non-directory
    // only a non-directory. Open descriptions of moved files follow them; an open file that is
    // replaced lives on as an orphan. Sets the filesystem clock.
    Result<void, SyscallError> rename_path(std::string_view base, std::string_view from, std::string_view to);
    // Copies one non-directory (links followed); sets the filesystem clock.
    Result<void, SyscallError> copy_file(std::string_view base, std::string_view from, std::string_view to);
    // Copies a file or a whole directory tree; `preserve` keeps modes and times of the source.
    Result<void, SyscallError> copy_tree(std::string_view base, std::string_view from, std::string_view to,
                                         bool preserve);
    // Applies every step or none (InvalidArgument beyond 10,000 steps, ResourceExhausted when the
    // charges are refused, the first failing step's error as File).
    Result<void, SyscallError> install_files(std::string_view base, std::vector<InstallOp> ops);

    // ---- filesystem, asking /proc and /dev first ----
    // The pseudo node of a path (pseudo_fs.h); absent when it is no pseudo path.
    std::optional<Result<VfsNode, VfsError>> pseudo_lookup(std::string_view base, std::string_view path,
                                                           bool follow_last) const;
    Result<VfsNode, VfsError> node_at(std::string_view base, std::string_view path, bool follow_last) const;
    Result<FileStat, SyscallError> stat_path(std::string_view base, std::string_view path, bool follow_last) const;
    Result<std::string, VfsError> read_link(std::string_view base, std::string_view path) const;
    // Absent: not a pseudo path.
    std::optional<Result<Bytes, VfsError>> read_pseudo_file(std::string_view base, std::string_view path) const;
    Result<Bytes, VfsError> read_file_limited(std::string_view base, std::string_view path, std::uint64_t limit);
    // read_file_limited without copying a stored file (see Vfs::file_view).
    Result<LentBytes, VfsError> lend_file_limited(std::string_view base, std::string_view path, std::uint64_t limit);
    Result<std::vector<std::string>, VfsError> list_dir_names(std::string_view base, std::string_view path) const;
    Result<std::uint64_t, VfsError> file_size_at(std::string_view base, std::string_view path) const;
    Result<std::string, VfsError> walk_path(std::string_view path) const;
    // Removes a node; a regular file still open through a description lives on as an orphan that
    // those descriptions keep using.
    Result<void, SyscallError> remove_path(std::string_view base, std::string_view path);
    // Forgets the orphans no description refers to any more.
    void drop_unreferenced_orphans();

    // ---- dispatch and launch (shell/dispatch.cpp, shell/launch.cpp; types in shell/command_outcome.h) ----

    // Runs one expanded command (argv non-empty) inside the step of the active shell process:
    // resolves the word, records the invocation, charges its costs, calls the registry handler
    // with `input` as its standard input and the two buffers as its output, settles the
    // accounting and answers how the command continues. Words that need a process of their own
    // are started as a child (WaitChild).
    CommandOutcome dispatch_command(std::span<const std::string> argv, Bytes input, Bytes& out, Bytes& err);
    // Completes the newest running invocation entry of the active process when the outcome
    // ended the command (Done, DoneWithData); other outcomes are completed later.
    void finish_active_invocation(const CommandOutcome& outcome);
    // Starts `request` as a child of the active process that the active process waits for:
    // WaitChild with a child queue holding `rest`; Done(status) for an empty argv; Done(125)
    // when the child cannot be created.
    CommandOutcome launch_command_child(ChildRequest request, std::deque<ChildRequest> rest, std::int32_t status,
                                        bool stop_on_failure);

    // The machine's exec: makes process `pid` run argv, searching `word` along its PATH, by
    // replacing its continuation. Everything a user can cause becomes a program that reports
    // and exits; the error text is only for a missing process state or a failed install.
    Result<void, std::string> launch_command(Pid pid, std::vector<std::string> argv, std::string_view word,
                                             bool keep_argv0);
    // launch_command with argv[0] as the word.
    Result<void, std::string> launch_argv(Pid pid, const std::vector<std::string>& argv);
    // launch_argv, then the display line of argv becomes the process's command line.
    Result<void, std::string> exec_argv(Pid pid, const std::vector<std::string>& argv);
    // Starts a program in a new child of the active process in one request (shell/spawn.cpp):
    // creation, environment, descriptor and directory actions, trap resets, resolution and
    // launch. Any failure takes the child apart again and restores what its actions changed.
    Result<Pid, SyscallError> spawn_process(const SpawnRequest& request);
    // Follows interpreter lines from `path` until a native stub or a WebAssembly module,
    // prepending each interpreter (and its one optional argument) to argv; at most seven.
    Result<void, SyscallError> resolve_shebang(std::string& path, std::vector<std::string>& argv);
    // What exec does to a process beside the new program: command traps, the EXIT and ERR traps
    // and close-on-exec descriptors go.
    Result<void, std::string> exec_reset(Pid pid);
    // Admits shell source (bash -c, scripts, eval, source): charges for the parse and parses.
    // A refusal answers 137 with nothing written; a syntax error writes
    // "tarnwick: syntax error: ..." to `err` and answers 2.
    Result<std::shared_ptr<const ShellCommand>, std::int32_t> parse_source(std::string_view source, Bytes& err);

    // ---- shell executor (shell/exec*.cpp; the frames are in shell/continuation.h) ----

    // Numbers the marker variables of command substitutions and the temporary files of process
    // substitutions.
    std::uint64_t substitution_counter = 0;

    // Resumes one frame popped from the active process's continuation. Everything it has to say
    // is left in the continuation: new frames, the status, a pending wait reason and the flags
    // (wait_for_child, yield_now, replaced). It never fails: errors become shell diagnostics
    // and statuses.
    void exec_step(ShellContinuation& continuation, ExecFrame frame);
    // Charges the growth of the active process's shell state beyond its baseline, or gives back
    // what is charged beyond the growth. False when a charge is refused (nothing changes then).
    bool recharge_shell_state_memory();
    // Gives back what word expansion charged for the active process's current command.
    void release_command_memory();
    // Makes `saved` the active process's descriptor table; the current one's references go.
    void restore_descriptor_table(DescriptorTable saved);
    // Writes the bytes to descriptor 2 of the active process, charged to the output budget (cut
    // to what the budget has left); stops silently when a write fails, would block or takes
    // nothing.
    void write_stderr_all(BytesView bytes);
    // Charges n bytes of the shell's or the machine's own messages to the output budget, like a
    // command's writes, and answers how many of them may be written: all while they fit, else
    // what the budget had left (the charge then records output_limit_exceeded).
    std::uint64_t charge_message_output(std::uint64_t n);
    // Appends a message of the machine's own to bytes bound for the host, charged and cut as
    // charge_message_output says.
    void append_charged_message(Bytes& out, BytesView text);
    // Advances a suspended builtin (flock, wait, fg, a queue of child commands, Python input
    // collection) by one step for the active process and answers how it continues.
    CommandOutcome resume_builtin(BuiltinContinuation state);

    // ---- resumable programs and the run loop (shell/program/, harness/) ----

    // One step of a resumable program run by the active process, through `sys` (its system-call
    // handle); the continuation is updated in place.
    ProgramStep program_step(ProgramContinuation& continuation, SyscallContext& sys);

    // One step of the whole machine for the action whose process is `root`: selects a task when
    // none runs (moving virtual time only when `allow_advance`), delivers its pending signals,
    // dispatches the due clock events, steps it once and handles the answer. Failures are texts.
    Result<StepReport, std::string> scheduler_step(Pid root, bool allow_advance);
    // Makes the next Ready task the running, active one; true when one was selected. With
    // `allow_advance` and a virtual clock, time jumps to the earliest pending event when nothing is
    // ready.
    Result<bool, std::string> select_next_task(bool allow_advance);
    // Follows the host time in real-time mode, then dispatches the events due now.
    Result<void, std::string> dispatch_due_events();
    // Installs `program` as the active process's program for one action: saves its descriptors,
    // gives it a standard input (buffered: closed and holding `input`; else an open input seeded
    // with it) and two output captures, and lets earlier ready tasks go first.
    Result<StartedAction, std::string> start_action(ProcessContinuation program, BytesView input, bool buffered);
    // Runs `program` as an action of the active process until that process's program ends (or
    // nothing can run any more); its output is appended to `out` and `err`. Answers the status.
    std::int32_t run_until_idle(ProcessContinuation program, BytesView input, Bytes& out, Bytes& err);
    // Runs one source text as an action of the active process (between actions the default
    // shell) with `input` as its standard input.
    ActionResult run_action(std::string_view source, BytesView input);
    // (true, 137) once a budget is exhausted; (true, status) once the active shell has exited.
    std::pair<bool, std::int32_t> terminated_status() const;
    // The outcome block for an action's status.
    RunOutcome action_outcome(std::int32_t status) const;
};

// Bounded capture of generated source for the Python commands.
enum class BoundedAppend : std::uint8_t { LimitExceeded = 0, BudgetRefused = 1, Appended = 2 };
inline constexpr std::uint64_t kCaptureLimit = 1048576;
BoundedAppend bounded_buffer_append(Machine& machine, Bytes& buffer, BytesView bytes);
// Appends "{name}: {subject} exceeds the safety limit ({limit})\n".
void format_safety_limit_error(Bytes& buffer, std::string_view name, std::string_view subject, std::uint64_t limit);
// The exit status for a failed append: 2 with the safety-limit line, or 137 silently.
std::int32_t safety_limit_error(Bytes& err, std::string_view name, BoundedAppend outcome);

}  // namespace tw
