// The whole simulated computer as one value. The host interface owns exactly one Machine per
// machine object and is the only code that creates one; every kernel, shell and command operation
// takes the Machine (or a system-call handle onto it). Fields are read directly by the parts of the
// system that own them. Copying a Machine copies everything (whole-machine snapshots).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

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

namespace tw {

inline constexpr Pid kFirstShellPid = 1234;
inline constexpr std::uint64_t kBootWallMs = 1735689600000;  // 2025-01-01T00:00:00Z

// A Python package installed with pip: its version and the files it placed.
struct InstalledPackage {
    std::string version;
    std::vector<std::string> files;
};

// What a pseudo filesystem (/proc, /dev) answers for a joined path.
struct PseudoLookup {
    enum class Kind : std::uint8_t { NotPseudo, Node, Error };
    Kind kind = Kind::NotPseudo;
    VfsNode node;                  // Kind::Node
    std::optional<Bytes> content;  // Kind::Node, when the entry has readable content
    std::optional<std::string> link_target;
    enum class ErrorKind : std::uint8_t { Missing, IsDirectory, Unreadable } error = ErrorKind::Missing;
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

    // ---- child processes, signals and the step driver (child.cpp, signals.cpp, step.cpp) ----

    // Creates a child of the active process (the machine's fork) and answers its pid. The child
    // copies the parent's state (a fresh program keeps only the ignore traps, gets its own $$
    // and no EXIT trap), is charged fork size + 256 bytes of memory and starts Ready with no
    // program. With `suspend_parent` the parent blocks on Child(pid) and the next ready task
    // (normally the child) is dispatched and made active. A failure gives the charge back.
    Result<Pid, std::string> create_child_process(std::string_view command, bool fresh_program, bool suspend_parent,
                                                  bool capture_output, GroupMode group_mode);
    // A child that runs argv: creation with the display line of argv, its standard input, its
    // directory and environment, then `launch` installs its program.
    Result<Pid, std::string> prepare_child(const ChildRequest& request, const ArgvLauncher& launch);
    // Sets a child's directory (and exported PWD) and, with an environment, replaces its
    // variables, arrays and exported names by that environment plus PWD.
    Result<void, std::string> init_child_state(Pid pid, const std::optional<std::string>& directory,
                                               const std::optional<std::map<std::string, std::string>>& environment);
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
    // Pushes a trap handler onto a shell continuation; other programs cannot run one.
    Result<void, std::string> run_signal_handler(ProcessContinuation& continuation, const Trap& trap);

    // The step driver. `step_process` runs one step of the active process's continuation, which
    // the caller has taken out of the state.
    ProgramStep step_process(ProcessContinuation& continuation);
    ProgramStep wasm_step(WasmImage& image);
    // Tears down the active process `pid`: captured output, descriptors, record, waits, wakes,
    // the next task, CHLD or reaping, and the memory charges.
    void finish_process(Pid pid, std::int32_t status);
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

    // ---- filesystem, asking /proc and /dev first ----
    PseudoLookup pseudo_lookup(std::string_view joined) const;
    Result<VfsNode, VfsError> node_at(std::string_view base, std::string_view path, bool follow_last) const;
    Result<FileStat, SyscallError> stat_path(std::string_view base, std::string_view path, bool follow_last) const;
    Result<std::string, VfsError> read_link(std::string_view base, std::string_view path) const;
    // Absent: not a pseudo path.
    std::optional<Result<Bytes, VfsError>> read_pseudo_file(std::string_view base, std::string_view path) const;
    Result<Bytes, VfsError> read_file_limited(std::string_view base, std::string_view path, std::uint64_t limit);
    Result<std::vector<std::string>, VfsError> list_dir_names(std::string_view base, std::string_view path) const;
    Result<std::uint64_t, VfsError> file_size_at(std::string_view base, std::string_view path) const;
    Result<std::string, VfsError> walk_path(std::string_view path) const;
    // Removes a node; a regular file still open through a description lives on as an orphan that
    // those descriptions keep using.
    Result<void, SyscallError> remove_path(std::string_view base, std::string_view path);
    // Forgets the orphans no description refers to any more.
    void drop_unreferenced_orphans();
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
