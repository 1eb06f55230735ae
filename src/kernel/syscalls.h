// The system-call interface: the one door through which native commands, resumable programs and
// the WebAssembly host functions reach the machine. `SyscallContext` is a handle on the Machine,
// made for the duration of one call into a command or program; every operation acts for the
// machine's active process (its working directory, descriptors, umask, identity and random state).
//
// The operations are numbered; the order is part of the interface (SyscallNumber). No operation
// suspends: one that cannot proceed answers a value telling the caller what to wait on (a
// WouldBlock outcome, a Pending readiness, a timer key, a pending host request).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/clock.h"
#include "kernel/display.h"
#include "kernel/io.h"
#include "kernel/meter.h"
#include "kernel/net.h"
#include "kernel/process.h"
#include "kernel/scheduler.h"
#include "kernel/syscall_error.h"
#include "kernel/vfs_tree.h"

namespace tw {

struct Machine;
struct SpawnRequest;

// The operation numbers, in interface order.
enum class SyscallNumber : std::uint8_t {
    Getpid, Getppid, Environment, Hostname, SetHostname, Getuid, Getcwd, Chdir, Umask, SetUmask,
    Limits, CpuUsed, DiskUsed, MemoryUsed, RecordCommandUsage, Stat, Fstat, ReadDir, WalkTree, ReadFile,
    WriteFileMode, WriteFile, InstallFiles, Read, ReadDescription, Write, Open, Openat, Dup2,
    DescriptorFileType, Flock, DescriptorInode, DescriptorReadiness, DirectoryPath, Pipe, SpawnProcess,
    Truncate, DescriptorFileTarget, Close, Seek, Chmod, Remove, Mkdir, MkdirAll, Rmdir, Rename, CopyFile,
    CopyTree, Symlink, Chown, SetTimes, LinkTarget, Readlink, ResolveDirectory, FileTimeNow, WallTimeNs,
    MonotonicNs, Sleep, RandomBytes, NextUniqueId, HostToolRequest, AddHttpRoute, AddHttpRouteFile,
    Listen, NetworkLogLen, NetworkLogEntry, ProcessList, Listeners, PrepareChild, SetupChildState, Kill,
    IgnoreSignal, SetSignalDisposition, WaitStatus, ChildState, ReapChild, DisplayOpen, DisplayPresent,
    InputPollKey, DisplayClose, ChargeCpu, ChargeMemory, ReleaseMemory, OutputRemaining, ChargeOutput,
    ExhaustedStatus, RecordUnsupported,
};
inline constexpr std::size_t kSyscallCount = 87;

// "getpid", ..., "record_unsupported".
std::string_view syscall_name(SyscallNumber number);

// ---- Result records ----

// The machine's four budgets.
using Limits = MachineLimits;

// The regular file behind a descriptor: a copy of its File description (backing, path text,
// cursor and the readable, writable, append and created flags).
using FileTarget = target::File;

// How much can be read or written through a descriptor without waiting.
struct DescriptorReadiness {
    enum class State : std::uint8_t { Ready = 0, Closed = 1, Pending = 2 };
    std::uint64_t count = 0;
    State state = State::Ready;
    std::optional<WaitReason> reason;  // Pending only

    static DescriptorReadiness ready(std::uint64_t n) { return {n, State::Ready, std::nullopt}; }
    static DescriptorReadiness closed(std::uint64_t n) { return {n, State::Closed, std::nullopt}; }
    static DescriptorReadiness pending(WaitReason r) { return {0, State::Pending, std::move(r)}; }

    friend bool operator==(const DescriptorReadiness&, const DescriptorReadiness&) = default;
};

// How a child ended, or that it runs.
struct WaitStatus {
    enum class Kind : std::uint8_t { Exited, Signaled, Running };
    Kind kind = Kind::Running;
    std::int32_t code = 0;          // Exited
    Signal signal = Signal::KILL;   // Signaled

    static WaitStatus exited(std::int32_t code) { return {Kind::Exited, code, Signal::KILL}; }
    static WaitStatus signaled(Signal s) { return {Kind::Signaled, 0, s}; }
    static WaitStatus running() { return {}; }

    friend bool operator==(const WaitStatus&, const WaitStatus&) = default;
};

// Whether a child has exited, and its exit code (meaningful only when exited).
struct ChildExit {
    bool exited = false;
    std::int32_t code = 0;
    friend bool operator==(const ChildExit&, const ChildExit&) = default;
};

inline constexpr std::int32_t kExhaustedStatus = 137;
inline constexpr std::size_t kMaxHostnameBytes = 255;
inline constexpr std::uint64_t kPipeMemoryCharge = 65792;  // a 64 KiB buffer plus 256
// Descriptor numbers chosen by open and pipe: the lowest free number in this range.
inline constexpr std::int32_t kFirstChosenFd = 5;
inline constexpr std::int32_t kLastChosenFd = 260;

class SyscallContext {
public:
    // `launch` (the command-launch layer's) installs the program that runs an argv in a process:
    // creating a child for a command (68) and handing the caller's process to a command (69) use
    // it. Without one those two operations answer Process("command launch is not available").
    explicit SyscallContext(Machine& machine, ArgvLauncher launch = {})
        : machine_(machine), launch_(std::move(launch)) {}

    Machine& machine() { return machine_; }

    // ---- process identity and environment ----
    /* 0 */ Pid getpid();
    /* 1 */ Pid getppid();
    // The exported variables as "NAME=VALUE", sorted by name.
    /* 2 */ std::vector<std::string> environment();
    /* 3 */ std::string hostname();
    // Empty, longer than 255 bytes or containing NUL: InvalidArgument.
    /* 4 */ Result<void, SyscallError> set_hostname(std::string_view name);
    /* 5 */ std::uint32_t getuid();
    /* 6 */ std::string getcwd();
    // Stores the physical path (every link replaced by its target) of a directory.
    /* 7 */ Result<void, SyscallError> chdir(std::string_view path);
    /* 8 */ std::uint16_t umask();
    // 0o1000 or more: InvalidArgument.
    /* 9 */ Result<void, SyscallError> set_umask(std::uint16_t mask);

    // ---- budgets ----
    /* 10 */ Limits limits();
    /* 11 */ std::uint64_t cpu_used();
    /* 12 */ std::uint64_t disk_used();
    /* 13 */ std::uint64_t memory_used();
    // Adds the command's CPU and disk use since the starting figures to the run's usage list.
    /* 14 */ void record_command_usage(std::string_view command, std::uint64_t cpu_start, std::uint64_t disk_start);

    // ---- files by path (a path is joined to `base` and normalised) ----
    /* 15 */ Result<FileStat, SyscallError> stat(std::string_view base, std::string_view path, bool follow_last);
    // Metadata of what a descriptor has open: a directory, a file by path, or an unlinked file.
    /* 16 */ Result<FileStat, SyscallError> fstat(std::int32_t fd);
    /* 17 */ Result<std::vector<std::string>, SyscallError> read_dir(std::string_view base, std::string_view path);
    // The path and everything below it, depth first, siblings in byte order; links not entered.
    /* 18 */ Result<std::vector<std::string>, SyscallError> walk_tree(std::string_view base, std::string_view path);
    /* 19 */ Result<Bytes, SyscallError> read_file(std::string_view base, std::string_view path, std::uint64_t limit);
    // 19 without the copy, for a caller that only reads the bytes and changes no file while it
    // holds them: the same checks, errors and counts, answering a view of the stored bytes that
    // stays valid until the next change to the file system.
    Result<LentBytes, SyscallError> lend_file(std::string_view base, std::string_view path, std::uint64_t limit);
    // The parent must exist.
    /* 20 */ Result<void, SyscallError> write_file_mode(std::string_view base, std::string_view path, Bytes bytes,
                                                        std::uint32_t mode);
    // Missing parents are created.
    /* 21 */ Result<void, SyscallError> write_file(std::string_view base, std::string_view path, Bytes bytes,
                                                   std::uint32_t mode);
    // Every step or none.
    /* 22 */ Result<void, SyscallError> install_files(std::string_view base, std::vector<InstallOp> ops);

    // ---- descriptors ----
    /* 23 */ Result<ReadOutcome, SyscallError> read(std::int32_t fd, std::uint64_t max);
    // Reads a file at an offset without moving its cursor.
    /* 24 */ Result<Bytes, SyscallError> read_description(std::int32_t fd, std::uint64_t offset, std::uint64_t max);
    /* 25 */ Result<WriteOutcome, SyscallError> write(std::int32_t fd, BytesView bytes);
    // Opens at the lowest number from 5 to 260 that is not open and answers it.
    /* 26 */ Result<std::int32_t, SyscallError> open(std::string_view base, std::string_view path, OpenFlags flags);
    // Opens at the number the caller chose, replacing what it held.
    /* 27 */ Result<void, SyscallError> openat(std::int32_t fd, std::string_view base, std::string_view path,
                                               OpenFlags flags);
    /* 28 */ Result<void, SyscallError> dup2(std::int32_t source, std::int32_t target);
    // readable, writable, status flags, file-type code.
    /* 29 */ Result<std::array<std::uint8_t, 4>, SyscallError> descriptor_file_type(std::int32_t fd);
    // Operation 0 shared, 1 exclusive, 2 unlock. True: the requested state holds; false: it would
    // have to wait (on FileLock of the descriptor's inode). Costs 4096 units of CPU work.
    /* 30 */ Result<bool, SyscallError> flock(std::int32_t fd, std::uint8_t operation);
    /* 31 */ Result<std::uint64_t, SyscallError> descriptor_inode(std::int32_t fd);
    /* 32 */ Result<DescriptorReadiness, SyscallError> descriptor_readiness(std::int32_t fd, bool for_write);
    /* 33 */ Result<std::string, SyscallError> directory_path(std::int32_t fd);
    // A new pipe: (read descriptor, write descriptor), the two lowest free numbers from 5.
    /* 34 */ Result<std::pair<std::int32_t, std::int32_t>, SyscallError> pipe(bool cloexec, std::uint8_t status_flags);
    /* 35 */ Result<Pid, SyscallError> spawn_process(const SpawnRequest& request);
    /* 36 */ Result<void, SyscallError> truncate(std::int32_t fd, std::uint64_t length);
    /* 37 */ Result<FileTarget, SyscallError> descriptor_file_target(std::int32_t fd);
    /* 38 */ Result<void, SyscallError> close(std::int32_t fd);
    // Whence 0 start, 1 cursor, 2 end; devices answer 0.
    /* 39 */ Result<std::uint64_t, SyscallError> seek(std::int32_t fd, std::int64_t offset, std::uint32_t whence);

    // ---- filesystem changes (each sets the filesystem clock first) ----
    /* 40 */ Result<void, SyscallError> chmod(std::string_view base, std::string_view path, std::uint32_t mode);
    // A regular file still open lives on as an orphan.
    /* 41 */ Result<void, SyscallError> remove(std::string_view base, std::string_view path);
    // Mode 0o777 without the umask bits.
    /* 42 */ Result<void, SyscallError> mkdir(std::string_view base, std::string_view path);
    /* 43 */ Result<void, SyscallError> mkdir_all(std::string_view base, std::string_view path);
    /* 44 */ Result<void, SyscallError> rmdir(std::string_view base, std::string_view path);
    /* 45 */ Result<void, SyscallError> rename(std::string_view base, std::string_view from, std::string_view to);
    /* 46 */ Result<void, SyscallError> copy_file(std::string_view base, std::string_view from, std::string_view to);
    /* 47 */ Result<void, SyscallError> copy_tree(std::string_view base, std::string_view from, std::string_view to,
                                                  bool preserve);
    /* 48 */ Result<void, SyscallError> symlink(std::string_view base, std::string_view target,
                                                std::string_view link_path);
    /* 49 */ Result<void, SyscallError> chown(std::string_view base, std::string_view path,
                                              std::optional<std::uint32_t> owner, std::optional<std::uint32_t> group);
    /* 50 */ Result<void, SyscallError> set_times(std::string_view base, std::string_view path, std::uint64_t mtime_ms);
    // The whole target of a link, pseudo links first.
    /* 51 */ Result<std::string, SyscallError> link_target(std::string_view base, std::string_view path);
    // A link target cut to the buffer size.
    /* 52 */ Result<std::string, SyscallError> readlink(std::string_view base, std::string_view path,
                                                        std::uint64_t buffer_size);
    // The canonical path: with `physical` every link replaced (pseudo links seen), else the
    // filesystem's links resolved (a missing path answered with its canonical text).
    /* 53 */ Result<std::string, SyscallError> resolve_directory(std::string_view base, std::string_view path,
                                                                 bool physical);

    // ---- clocks and randomness ----
    /* 54 */ std::uint64_t file_time_now();
    /* 55 */ Result<__int128, SyscallError> wall_time_ns();
    // Kind 0: wall-clock nanoseconds (InvalidArgument outside 0..2^64-1); any other: monotonic.
    /* 56 */ Result<std::uint64_t, SyscallError> monotonic_ns(std::uint32_t kind);
    // Arms a wake-up for the active process; the caller then waits on Timer(key.time_ns).
    /* 57 */ Result<EventKey, SyscallError> sleep(std::uint64_t duration_ns);
    // One CPU unit per byte, from the active process's generator.
    /* 58 */ Result<void, SyscallError> random_bytes(std::span<char> buffer);
    /* 59 */ std::optional<std::uint64_t> next_unique_id();

    // ---- simulated network ----
    // A registered route's response, a pending host request (tool endpoint) or the failure.
    /* 60 */ Result<HttpReply, HttpFetchError> host_tool_request(const HttpRequest& request);
    /* 61 */ Result<void, HttpRouteError> add_http_route(std::string pattern, std::uint16_t status, Bytes body);
    /* 62 */ Result<void, HttpRouteError> add_http_route_file(std::string pattern, std::string path);
    /* 63 */ void listen(std::string_view name);
    /* 64 */ std::uint64_t network_log_len();
    /* 65 */ std::optional<NetworkRequest> network_log_entry(std::uint64_t index);

    // ---- processes and signals ----
    // Every process record, in pid order (the caller's refreshed first).
    /* 66 */ std::vector<ProcessRecord> process_list();
    /* 67 */ std::vector<std::string> listeners();
    // A child that runs argv; a creation failure's text is Process.
    /* 68 */ Result<Pid, SyscallError> prepare_child(const ChildRequest& request);
    // Runs argv as the program of the calling process (env, nice, nohup, guest exec).
    /* 69 */ Result<void, SyscallError> setup_child_state(const std::vector<std::string>& argv,
                                                          const std::optional<ChildRequest::Configuration>& configuration);
    // Target kind 1: a process group; anything else: one process. Any failure: NoSuchProcess.
    /* 70 */ Result<void, SyscallError> kill(std::uint32_t target_kind, std::uint32_t number, Signal signal);
    /* 71 */ Result<void, SyscallError> ignore_signal(Signal signal);
    /* 72 */ Result<void, SyscallError> set_signal_disposition(Signal signal, bool ignore);
    // For a child of the caller: InvalidArgument without a record, Permission for another's child.
    /* 73 */ Result<WaitStatus, SyscallError> wait_status(Pid pid);
    /* 74 */ Result<ChildExit, SyscallError> child_state(Pid pid);
    /* 75 */ Result<std::int32_t, SyscallError> reap_child(Pid pid);

    // ---- display ----
    /* 76 */ Result<std::uint32_t, DisplayError> display_open(std::uint32_t width, std::uint32_t height,
                                                              std::uint32_t format);
    /* 77 */ Result<void, DisplayError> display_present(std::uint32_t handle, BytesView pixels, std::uint32_t stride);
    /* 78 */ Result<KeyEvent, DisplayError> input_poll_key(std::uint32_t handle);
    /* 79 */ Result<void, DisplayError> display_close(std::uint32_t handle);

    // ---- resource meter ----
    /* 80 */ bool charge_cpu(std::uint64_t units);
    /* 81 */ bool charge_memory(std::uint64_t bytes);
    /* 82 */ void release_memory(std::uint64_t bytes);
    /* 83 */ std::uint64_t output_remaining();
    /* 84 */ bool charge_output(std::uint64_t bytes);
    // 137 whatever the stop reason.
    /* 85 */ std::int32_t exhausted_status() { return kExhaustedStatus; }
    /* 86 */ void record_unsupported(std::string_view label);

private:
    // Charges the work of resolving a path (path_resolution_work); false when refused.
    bool pay_path(std::string_view base, std::string_view path);
    ProcessState& active();
    // The description number behind a descriptor of the active process.
    Result<std::uint32_t, SyscallError> lookup(std::int32_t fd);

    Machine& machine_;
    ArgvLauncher launch_;
};

// Commands and programs receive the interface as this type.
using Syscalls = SyscallContext;

}  // namespace tw
