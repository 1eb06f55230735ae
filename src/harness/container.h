// The container harness: a machine driven step by step on behalf of a host. The host starts an
// action (shell source run by the machine's default shell), polls it in bounded slices of work,
// feeds or closes its standard input, reads its output as it grows, answers the tool calls its
// programs post to the virtual tool endpoint, cancels and forgets actions, and works on the
// workspace files directly. Every such operation is one HarnessRequest carried out by
// harness_dispatch against a HarnessContainer, answering one HarnessResult (rendered as compact
// JSON by harness_result_json) or a failure text.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "commands/net/http_client.h"
#include "harness/action.h"
#include "harness/metadata.h"
#include "kernel/invocation_log.h"
#include "kernel/machine.h"
#include "kernel/net.h"
#include "kernel/scheduler.h"
#include "kernel/vfs.h"

namespace tw {

inline constexpr std::string_view kWorkDirectory = "/work";
inline constexpr std::size_t kMaxRetainedActions = 64;
inline constexpr std::uint64_t kMaxWorkQuanta = 100000;
inline constexpr std::uint64_t kCancelStepBound = 100000;
inline constexpr std::uint64_t kMaxPayloadBytes = 67108864;
inline constexpr std::uint64_t kMaxPayloadChars = 89478483;  // base64 text of kMaxPayloadBytes
inline constexpr std::uint64_t kMaxFileTransferBytes = 67108864;
inline constexpr std::uint64_t kMaxSymlinkTargetBytes = 67108864;
inline constexpr std::uint64_t kMaxWorkspaceDiffBytes = 67108864;
inline constexpr std::uint64_t kMaxCheckpointDiskBytes = 6291456;

// ---- actions ----

struct ActionState {
    enum class Kind : std::uint8_t { Running, Blocked, Stopped, Complete };
    Kind kind = Kind::Running;
    std::optional<WaitReason> reason;  // Blocked: what it waits for, when known
    std::string signal;                // Stopped: the stopping signal's name
    std::int32_t status = 0;           // Complete

    static ActionState running() { return {}; }
    static ActionState complete(std::int32_t status) { return {Kind::Complete, std::nullopt, {}, status}; }
};

// The lists of one action: live while it runs, captured when it completes.
struct ActionLists {
    std::vector<InvocationEvent> invocations;
    std::uint64_t dropped_invocations = 0;
    std::vector<std::string> commands;
    std::uint64_t dropped_commands = 0;
    std::vector<std::string> unsupported;
    std::uint64_t dropped_unsupported = 0;
    std::vector<NetworkRequest> network_requests;
    std::uint64_t dropped_network_requests = 0;
};

// One retained action.
struct ActionRecord {
    Bytes out;  // every standard-output byte collected so far
    Bytes err;
    ActionLists captured;            // filled at completion
    std::optional<RunOutcome> outcome;  // set at completion
    ActionState state;
    std::optional<StartedAction> launch;  // present exactly while the action runs
    std::uint64_t action_id = 0;
    std::uint64_t out_read = 0;  // how many `out` bytes the host has read
    std::uint64_t err_read = 0;
    RunMarkers marks;  // where the machine's logs stood when the action started
    Pid root_pid = 0;
    Pid first_pid = 1;  // one more than the largest pid when the action started

    bool complete() const { return !launch.has_value(); }
};

// The state behind one container. The workspace baseline (the filesystem at creation or at the
// last checkpoint) is the journal of the machine's filesystem: what changed since, path by path
// (workspace.h).
struct HarnessContainer {
    std::optional<std::uint64_t> foreground_action;
    Machine machine;
    std::map<std::uint64_t, ActionRecord> actions;
    std::uint64_t next_action_id = 0;

    // Takes the machine as it is: the baseline is its filesystem now; the tool endpoint is granted.
    static HarnessContainer wrap(Machine machine);
    // A fresh machine with "/work" (0o755) as the default shell's directory and $PWD.
    static HarnessContainer create(const MachineLimits& limits, bool real_time);
};

// ---- requests ----

namespace request {
struct Execute { std::string source; std::string stdin_base64; };
struct StartAction { std::string source; std::string stdin_base64; bool close_stdin = true; };
struct PollAction { std::uint64_t action_id = 0; std::uint64_t work_quanta = kMaxWorkQuanta; bool wait = true; };
// `result_json` is JSON text (checked by the caller or here).
struct RespondToolCall { std::optional<std::string> error; std::optional<std::string> result_json; std::uint64_t request_id = 0; };
struct AppendStdin { std::string data_base64; std::uint64_t action_id = 0; };
struct CloseStdin { std::uint64_t action_id = 0; };
struct ReadActionOutput { std::uint64_t action_id = 0; };
struct SignalProcess { std::string signal; Pid pid = 0; bool process_group = false; };
struct SignalForeground { std::string signal; };
struct SetForegroundGroup { Pid process_group = 0; };
struct CancelAction { std::uint64_t action_id = 0; };
struct DropAction { std::uint64_t action_id = 0; };
struct SessionLifecycleA {};
struct SessionLifecycleB {};
struct ReadFile { std::string path; };
struct WriteFile { std::string path; std::string data_base64; std::uint32_t mode = 0644; };
struct ReadPathMetadata { std::string path; bool follow_symlinks = false; };
struct MakeDirectory { std::string path; std::uint32_t mode = 0755; bool parents = false; };
struct MakeSymlink { std::string path; std::string target; };
struct ApplyPatch { std::string patch; std::uint64_t strip = 0; };
struct RemovePath { std::string path; };
struct ListPaths { std::string path; };
struct CheckpointWorkspace {};
struct WorkspaceDiff {};
struct RestoreWorkspace {};
struct Inspect {};
}  // namespace request

using HarnessRequest =
    std::variant<request::Execute, request::StartAction, request::PollAction, request::RespondToolCall,
                 request::AppendStdin, request::CloseStdin, request::ReadActionOutput, request::SignalProcess,
                 request::SignalForeground, request::SetForegroundGroup, request::CancelAction, request::DropAction,
                 request::SessionLifecycleA, request::SessionLifecycleB, request::ReadFile, request::WriteFile,
                 request::ReadPathMetadata, request::MakeDirectory, request::MakeSymlink, request::ApplyPatch,
                 request::RemovePath, request::ListPaths, request::CheckpointWorkspace, request::WorkspaceDiff,
                 request::RestoreWorkspace, request::Inspect>;

// ---- results ----

struct ActionView {
    std::uint64_t action_id = 0;
    Pid root_pid = 0;
    std::uint64_t display_generation = 0;
    ActionState state;
    std::optional<RunOutcome> outcome;
    ActionLists lists;
    std::vector<ToolCallView> tool_calls;  // the tool calls this view reports for the first time
};

struct ExecuteResult {
    RunOutcome outcome;
    Bytes out;
    Bytes err;
    ActionLists lists;
    std::vector<std::string> unsupported_commands;
    std::vector<std::string> partial_commands;
};

struct ActionOutput {
    std::uint64_t action_id = 0;
    Bytes out;
    Bytes err;
    bool out_closed = false;
    bool err_closed = false;
};

struct FileResult {
    std::string path;
    Bytes data;
    std::uint32_t mode = 0;
};

struct PathMetadata {
    std::string path;
    VfsNodeKind kind = VfsNodeKind::File;
    std::uint32_t mode = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::uint64_t mtime_ms = 0;
    std::uint64_t size = 0;
    std::optional<std::string> symlink_target;
};

struct PathsResult {
    std::vector<std::string> paths;
};

struct WorkspaceChange {
    enum class Kind : std::uint8_t { Added, Modified, Deleted };
    std::string path;
    Kind change = Kind::Modified;
    std::optional<VfsNode> before;
    std::optional<VfsNode> after;
};

struct WorkspaceDiffResult {
    std::vector<WorkspaceChange> changes;
};

struct ProcessView {
    enum class Status : std::uint8_t { Runnable, Running, Blocked, Stopped, Exited };
    Pid pid = 0;
    Pid ppid = 0;
    Pid process_group = 0;
    Pid session_id = 0;
    std::string command;
    std::string cwd;
    Status status = Status::Running;
    std::optional<WaitReason> reason;  // Blocked
    std::string signal;                // Stopped
    std::int32_t exit_status = 0;      // Exited
};

struct InspectResult {
    std::string cwd;
    RunOutcome outcome;
    std::vector<ActionView> actions;
    std::vector<ProcessView> processes;
    std::optional<Pid> current_pid;
    Pid terminal_session = 0;
    Pid terminal_foreground_group = 0;
    std::uint64_t monotonic_ns = 0;
    __int128 wall_time_ns = 0;
    std::uint64_t pending_events = 0;
    std::uint64_t ready_events = 0;
    ActionLists lists;
};

struct SessionResult {
    std::uint64_t session_id = 0;
};

struct Acknowledged {};

using HarnessResult = std::variant<ExecuteResult, ActionView, ActionOutput, SessionResult, FileResult, PathMetadata,
                                   PathsResult, WorkspaceDiffResult, InspectResult, Acknowledged>;

// ---- operations ----

// Carries out one request. Failures are texts; what a failed request already did stays (each
// kind says what that is), and payload charges are always given back.
Result<HarnessResult, std::string> harness_dispatch(HarnessContainer& container, HarnessRequest request);

// The compact JSON text of a result.
std::string harness_result_json(const HarnessResult& result);
// The view of one action as the host sees it now (tool_calls left empty).
ActionView harness_action_view(const ActionRecord& record, const Machine& machine);

// A path for a harness file request: "workspace path contains NUL"; joined to "/work" when
// relative, normalised; "harness file operations are confined to /work" unless it is /work or
// below.
Result<std::string, std::string> harness_check_work_path(std::string_view path);
// Creates the directory with its missing parents (default mode) and gives the final one `mode`.
// Protected paths (/proc, /dev) are refused.
Result<void, VfsError> harness_mkdir_mode(Vfs& vfs, std::string_view path, std::uint32_t mode);

// The display's last presented frame, as the host sees it.
struct DisplayFrame {
    std::uint64_t generation = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    Bytes pixels;  // 4 bytes a pixel, row after row
};

// The machine's current frame, looked up through any retained action ("action {} does not
// exist"); nothing before a guest presented one.
Result<std::optional<DisplayFrame>, std::string> harness_display_frame(const HarnessContainer& container,
                                                                       std::uint64_t action_id);
// Queues a key event for the foreground action ("action {} is not active"); refusals of the
// display's queue are "InvalidArgument", "QueueFull" or "ResourceExhausted".
Result<void, std::string> harness_inject_key(HarnessContainer& container, std::uint64_t action_id,
                                             std::uint32_t code, bool pressed);

// base64_encode (standard, padded) is the HTTP clients' (commands/net/http_client.h).
// Canonical standard base64: "Invalid input length: {}", "Invalid symbol {}, offset {}.",
// "Invalid last symbol {}, offset {}." or "Invalid padding".
Result<Bytes, std::string> base64_decode(std::string_view text);

// The workspace as JSON entries (type, path, mode, data_base64) for every file and directory
// below /work; refused unless nothing in the container can change it any more.
Result<std::string, std::string> snapshot_workspace(const HarnessContainer& container);

}  // namespace tw
