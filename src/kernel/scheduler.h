// The cooperative scheduler: the state of every task (one per process), the queue of ready tasks
// in dispatch order, the blocked tasks in the order they blocked, and the running task. It never
// runs anything itself; the step drivers dispatch a task, step it and then block, yield, stop or
// finish it. Blocked tasks are woken by whoever changes what they wait for.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "base/result.h"

namespace tw {

using Pid = std::uint32_t;

enum class WaitKind : std::uint8_t {
    ShellSession = 0,
    Timer = 1,
    InputReadable = 2,
    PipeReadable = 3,
    PipeWritable = 4,
    FileLock = 5,
    HostHttp = 6,
    Child = 7,
    ChildActivity = 8,
    ChildDeadline = 9,
    ChildActivityDeadline = 10,
    Any = 11,
};

// "ShellSession", "Timer", ..., "Any".
std::string_view wait_kind_name(WaitKind kind);

// Why a blocked task waits. Times are virtual monotonic nanoseconds.
class WaitReason {
public:
    static WaitReason shell_session(Pid pid) { return {WaitKind::ShellSession, pid, 0}; }
    static WaitReason timer(std::uint64_t deadline_ns) { return {WaitKind::Timer, deadline_ns, 0}; }
    static WaitReason input_readable(std::uint32_t description) {
        return {WaitKind::InputReadable, description, 0};
    }
    static WaitReason pipe_readable(std::uint32_t pipe) { return {WaitKind::PipeReadable, pipe, 0}; }
    static WaitReason pipe_writable(std::uint32_t pipe) { return {WaitKind::PipeWritable, pipe, 0}; }
    static WaitReason file_lock(std::uint64_t inode) { return {WaitKind::FileLock, inode, 0}; }
    static WaitReason host_http(std::uint64_t request_id) { return {WaitKind::HostHttp, request_id, 0}; }
    static WaitReason child(Pid pid) { return {WaitKind::Child, pid, 0}; }
    static WaitReason child_activity(Pid pid) { return {WaitKind::ChildActivity, pid, 0}; }
    static WaitReason child_deadline(Pid pid, std::uint64_t deadline_ns) {
        return {WaitKind::ChildDeadline, pid, deadline_ns};
    }
    static WaitReason child_activity_deadline(Pid pid, std::uint64_t deadline_ns) {
        return {WaitKind::ChildActivityDeadline, pid, deadline_ns};
    }
    static WaitReason any(std::vector<WaitReason> reasons);

    WaitKind kind() const { return kind_; }
    // ShellSession, Child, ChildActivity, ChildDeadline, ChildActivityDeadline.
    Pid pid() const;
    // Timer, ChildDeadline, ChildActivityDeadline.
    std::uint64_t deadline_ns() const;
    // PipeReadable, PipeWritable.
    std::uint32_t pipe() const;
    // InputReadable.
    std::uint32_t description() const;
    // FileLock.
    std::uint64_t inode() const;
    // HostHttp.
    std::uint64_t request_id() const;
    // Any.
    const std::vector<WaitReason>& reasons() const;

    // This (waiting) reason is satisfied by `wake`: it equals it, or it is Any and one of its
    // elements matches, at any depth.
    bool matches(const WaitReason& wake) const;
    // Timer(t), ChildDeadline(_, t) or ChildActivityDeadline(_, t), or Any containing one.
    bool is_due_at(std::uint64_t t) const;
    bool contains_file_lock() const;
    bool contains_timer() const;

    friend bool operator==(const WaitReason&, const WaitReason&) = default;

private:
    WaitReason(WaitKind kind, std::uint64_t a, std::uint64_t b) : kind_(kind), a_(a), b_(b) {}

    friend class Scheduler;

    WaitKind kind_;
    std::uint64_t a_;  // the first payload number (Timer: the deadline)
    std::uint64_t b_;  // the deadline of ChildDeadline and ChildActivityDeadline
    std::vector<WaitReason> any_;
};

// "ChildDeadline(1235, 5000000000)", "Any([PipeReadable(3), Timer(1000)])".
std::string debug_text(const WaitReason& reason);

enum class TaskKind : std::uint8_t { Ready = 0, Running = 1, Blocked = 2, Stopped = 3, Exited = 4 };

class TaskState {
public:
    static TaskState ready() { return TaskState(TaskKind::Ready); }
    static TaskState running() { return TaskState(TaskKind::Running); }
    static TaskState blocked(WaitReason reason);
    static TaskState stopped(std::optional<WaitReason> reason);
    static TaskState exited(std::int32_t status);

    TaskKind kind() const { return kind_; }
    // Blocked: always set. Stopped: the reason it was blocked on when stopped, if any.
    // Every other state: none.
    const std::optional<WaitReason>& reason() const { return reason_; }
    // Exited only.
    std::int32_t exit_status() const;

    // Blocked(r) or Stopped(some r): r. Otherwise null.
    const WaitReason* waiting_reason() const { return reason_ ? &*reason_ : nullptr; }

    friend bool operator==(const TaskState&, const TaskState&) = default;

private:
    explicit TaskState(TaskKind kind) : kind_(kind) {}

    friend class Scheduler;

    TaskKind kind_;
    std::optional<WaitReason> reason_;
    std::int32_t status_ = 0;
};

// "Ready", "Running", "Blocked(Timer(5))", "Stopped(Some(Timer(5)))", "Stopped(None)", "Exited(0)".
std::string debug_text(const TaskState& state);

enum class SchedulerError : std::uint8_t {
    Capacity = 0,
    DuplicateTask = 1,
    UnknownTask = 2,
    NoRunningTask = 3,
    TaskAlreadyRunning = 4,
    InvalidTransition = 5,
};

// The variant name exactly: "NoRunningTask".
std::string_view error_text(SchedulerError error);

class Scheduler {
public:
    static constexpr std::size_t kMaxTasks = 1024;

    // Empty: no tasks, nothing running.
    Scheduler() = default;
    // The boot form: `pid` is the only task, and it is running.
    static Scheduler with_running(Pid pid);

    std::optional<TaskState> task_state(Pid pid) const;
    // The same without a copy; null for an unknown pid.
    const TaskState* find_task(Pid pid) const;

    // A new Ready task at the end of the run queue.
    Result<void, SchedulerError> add_task(Pid pid);
    // Pops the front of the run queue and makes it Running; no task when the queue is empty.
    Result<std::optional<Pid>, SchedulerError> dispatch();
    Result<Pid, SchedulerError> block_running(WaitReason reason);
    Result<Pid, SchedulerError> yield_running();
    // The running task becomes Exited(status) and nothing is running.
    Result<Pid, SchedulerError> finish_running(std::int32_t status);
    Result<void, SchedulerError> wake(Pid pid);
    // Makes one specific Ready task the running one, taking it out of the run queue wherever it
    // stands: TaskAlreadyRunning while a task runs, InvalidTransition unless pid is Ready.
    Result<void, SchedulerError> dispatch_pid(Pid pid);
    // A Ready task leaves the run queue and becomes Blocked(reason) without running (a parked
    // shell session). UnknownTask, or InvalidTransition unless it is Ready.
    Result<void, SchedulerError> block_ready(Pid pid, WaitReason reason);
    // Forgets the task when it has exited; any other state is left untouched.
    void remove_task(Pid pid);
    // Forgets a task that never ran to its end (a child taken apart right after its creation):
    // a Ready, Blocked or Stopped task leaves its queue and the table. A running task is left.
    void discard_task(Pid pid);

    // Ready/Running/Blocked(r) -> Stopped(none)/Stopped(none)/Stopped(some r); a Ready task leaves
    // the run queue, a running one the running slot, a blocked one stays in the blocked queue.
    // Stopped stays as it is. Unknown: UnknownTask; Exited, or Running without holding the
    // running slot: InvalidTransition (nothing changes).
    Result<void, SchedulerError> stop_task(Pid pid);
    // Stopped(none) -> Ready at the end of the run queue; Stopped(some r) -> Blocked(r).
    // Ready, Running and Blocked stay. Unknown: UnknownTask; Exited: InvalidTransition.
    Result<void, SchedulerError> continue_task(Pid pid);

    // Wakes, in blocked-queue order, every blocked or stopped task whose reason matches.
    void wake_blocked(const WaitReason& reason);
    // Tasks waiting on Child(pid) or ChildDeadline(pid, any), also inside Any.
    void wake_child_waiters(Pid pid);
    // Tasks waiting on ChildActivity(pid) or ChildActivityDeadline(pid, any), also inside Any.
    void wake_child_activity_waiters(Pid pid);
    // Tasks whose reason is, or contains, any FileLock.
    void wake_file_lock_waiters();

    const std::deque<Pid>& run_queue() const { return run_queue_; }
    // The blocked tasks in the order they blocked.
    std::vector<Pid> blocked_queue() const;
    std::size_t blocked_count() const { return blocked_.size(); }
    std::optional<Pid> running() const { return running_; }
    const std::map<Pid, TaskState>& tasks() const { return tasks_; }

private:
    // One leaf (non-Any) reason of a blocked task, keyed for lookup by the wakes:
    // (kind, first payload, deadline, block stamp).
    using Leaf = std::tuple<std::uint8_t, std::uint64_t, std::uint64_t, std::uint64_t>;

    void enter_blocked(Pid pid, const WaitReason& reason);
    void leave_blocked(Pid pid, const WaitReason& reason);
    void collect_leaves(const Leaf& lo, const Leaf& hi, std::vector<std::uint64_t>& stamps) const;
    void wake_stamps(std::vector<std::uint64_t>& stamps);

    std::deque<Pid> run_queue_;
    // A pid is here exactly while its task is Blocked(r) or Stopped(some r).
    std::map<std::uint64_t, Pid> blocked_;  // block stamp -> pid, in blocking order
    std::map<Pid, std::uint64_t> blocked_stamp_;
    std::set<Leaf> leaves_;
    std::uint64_t next_stamp_ = 0;
    std::optional<Pid> running_;
    std::map<Pid, TaskState> tasks_;
};

}  // namespace tw
