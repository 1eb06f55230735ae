#include "kernel/scheduler.h"

#include <algorithm>
#include <limits>

#include <fmt/format.h>

#include "base/panic.h"

namespace tw {

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

bool has_pid(WaitKind k) {
    return k == WaitKind::ShellSession || k == WaitKind::Child || k == WaitKind::ChildActivity ||
           k == WaitKind::ChildDeadline || k == WaitKind::ChildActivityDeadline;
}

void append_debug(std::string& out, const WaitReason& r) {
    out += wait_kind_name(r.kind());
    switch (r.kind()) {
        case WaitKind::Any: {
            out += "([";
            bool first = true;
            for (const auto& e : r.reasons()) {
                if (!first) out += ", ";
                first = false;
                append_debug(out, e);
            }
            out += "])";
            return;
        }
        case WaitKind::ChildDeadline:
        case WaitKind::ChildActivityDeadline:
            out += fmt::format("({}, {})", r.pid(), r.deadline_ns());
            return;
        case WaitKind::ShellSession:
        case WaitKind::Child:
        case WaitKind::ChildActivity: out += fmt::format("({})", r.pid()); return;
        case WaitKind::Timer: out += fmt::format("({})", r.deadline_ns()); return;
        case WaitKind::InputReadable: out += fmt::format("({})", r.description()); return;
        case WaitKind::PipeReadable:
        case WaitKind::PipeWritable: out += fmt::format("({})", r.pipe()); return;
        case WaitKind::FileLock: out += fmt::format("({})", r.inode()); return;
        case WaitKind::HostHttp: out += fmt::format("({})", r.request_id()); return;
    }
}

}  // namespace

// ---- WaitReason ----

std::string_view wait_kind_name(WaitKind kind) {
    switch (kind) {
        case WaitKind::ShellSession: return "ShellSession";
        case WaitKind::Timer: return "Timer";
        case WaitKind::InputReadable: return "InputReadable";
        case WaitKind::PipeReadable: return "PipeReadable";
        case WaitKind::PipeWritable: return "PipeWritable";
        case WaitKind::FileLock: return "FileLock";
        case WaitKind::HostHttp: return "HostHttp";
        case WaitKind::Child: return "Child";
        case WaitKind::ChildActivity: return "ChildActivity";
        case WaitKind::ChildDeadline: return "ChildDeadline";
        case WaitKind::ChildActivityDeadline: return "ChildActivityDeadline";
        case WaitKind::Any: return "Any";
    }
    unreachable("wait kind");
}

WaitReason WaitReason::any(std::vector<WaitReason> reasons) {
    WaitReason r(WaitKind::Any, 0, 0);
    r.any_ = std::move(reasons);
    return r;
}

Pid WaitReason::pid() const {
    expect(has_pid(kind_), "wait reason has no pid");
    return static_cast<Pid>(a_);
}

std::uint64_t WaitReason::deadline_ns() const {
    if (kind_ == WaitKind::Timer) return a_;
    expect(kind_ == WaitKind::ChildDeadline || kind_ == WaitKind::ChildActivityDeadline,
           "wait reason has no deadline");
    return b_;
}

std::uint32_t WaitReason::pipe() const {
    expect(kind_ == WaitKind::PipeReadable || kind_ == WaitKind::PipeWritable,
           "wait reason has no pipe");
    return static_cast<std::uint32_t>(a_);
}

std::uint32_t WaitReason::description() const {
    expect(kind_ == WaitKind::InputReadable, "wait reason has no description");
    return static_cast<std::uint32_t>(a_);
}

std::uint64_t WaitReason::inode() const {
    expect(kind_ == WaitKind::FileLock, "wait reason has no inode");
    return a_;
}

std::uint64_t WaitReason::request_id() const {
    expect(kind_ == WaitKind::HostHttp, "wait reason has no request");
    return a_;
}

const std::vector<WaitReason>& WaitReason::reasons() const {
    expect(kind_ == WaitKind::Any, "wait reason is not Any");
    return any_;
}

bool WaitReason::matches(const WaitReason& wake) const {
    if (*this == wake) return true;
    if (kind_ != WaitKind::Any) return false;
    return std::ranges::any_of(any_, [&](const WaitReason& e) { return e.matches(wake); });
}

bool WaitReason::is_due_at(std::uint64_t t) const {
    switch (kind_) {
        case WaitKind::Timer: return a_ == t;
        case WaitKind::ChildDeadline:
        case WaitKind::ChildActivityDeadline: return b_ == t;
        case WaitKind::Any:
            return std::ranges::any_of(any_, [&](const WaitReason& e) { return e.is_due_at(t); });
        default: return false;
    }
}

bool WaitReason::contains_file_lock() const {
    if (kind_ == WaitKind::FileLock) return true;
    return kind_ == WaitKind::Any &&
           std::ranges::any_of(any_, [](const WaitReason& e) { return e.contains_file_lock(); });
}

bool WaitReason::contains_timer() const {
    if (kind_ == WaitKind::Timer) return true;
    return kind_ == WaitKind::Any &&
           std::ranges::any_of(any_, [](const WaitReason& e) { return e.contains_timer(); });
}

std::string debug_text(const WaitReason& reason) {
    std::string out;
    append_debug(out, reason);
    return out;
}

// ---- TaskState ----

TaskState TaskState::blocked(WaitReason reason) {
    TaskState s(TaskKind::Blocked);
    s.reason_ = std::move(reason);
    return s;
}

TaskState TaskState::stopped(std::optional<WaitReason> reason) {
    TaskState s(TaskKind::Stopped);
    s.reason_ = std::move(reason);
    return s;
}

TaskState TaskState::exited(std::int32_t status) {
    TaskState s(TaskKind::Exited);
    s.status_ = status;
    return s;
}

std::int32_t TaskState::exit_status() const {
    expect(kind_ == TaskKind::Exited, "task has not exited");
    return status_;
}

std::string debug_text(const TaskState& state) {
    switch (state.kind()) {
        case TaskKind::Ready: return "Ready";
        case TaskKind::Running: return "Running";
        case TaskKind::Blocked: return "Blocked(" + debug_text(*state.reason()) + ")";
        case TaskKind::Stopped:
            return state.reason() ? "Stopped(Some(" + debug_text(*state.reason()) + "))"
                                  : std::string("Stopped(None)");
        case TaskKind::Exited: return fmt::format("Exited({})", state.exit_status());
    }
    unreachable("task state");
}

std::string_view error_text(SchedulerError error) {
    switch (error) {
        case SchedulerError::Capacity: return "Capacity";
        case SchedulerError::DuplicateTask: return "DuplicateTask";
        case SchedulerError::UnknownTask: return "UnknownTask";
        case SchedulerError::NoRunningTask: return "NoRunningTask";
        case SchedulerError::TaskAlreadyRunning: return "TaskAlreadyRunning";
        case SchedulerError::InvalidTransition: return "InvalidTransition";
    }
    unreachable("scheduler error");
}

// ---- Scheduler ----

Scheduler Scheduler::with_running(Pid pid) {
    Scheduler s;
    s.tasks_.emplace(pid, TaskState::running());
    s.running_ = pid;
    return s;
}

std::optional<TaskState> Scheduler::task_state(Pid pid) const {
    auto it = tasks_.find(pid);
    if (it == tasks_.end()) return std::nullopt;
    return it->second;
}

const TaskState* Scheduler::find_task(Pid pid) const {
    auto it = tasks_.find(pid);
    return it == tasks_.end() ? nullptr : &it->second;
}

Result<void, SchedulerError> Scheduler::add_task(Pid pid) {
    if (tasks_.contains(pid)) return std::unexpected(SchedulerError::DuplicateTask);
    if (tasks_.size() >= kMaxTasks) return std::unexpected(SchedulerError::Capacity);
    tasks_.emplace(pid, TaskState::ready());
    run_queue_.push_back(pid);
    return {};
}

Result<std::optional<Pid>, SchedulerError> Scheduler::dispatch() {
    if (running_) return std::unexpected(SchedulerError::TaskAlreadyRunning);
    if (run_queue_.empty()) return Result<std::optional<Pid>, SchedulerError>(std::in_place, std::nullopt);
    const Pid pid = run_queue_.front();
    run_queue_.pop_front();
    auto it = tasks_.find(pid);
    if (it == tasks_.end()) return std::unexpected(SchedulerError::UnknownTask);
    if (it->second.kind() != TaskKind::Ready) return std::unexpected(SchedulerError::InvalidTransition);
    it->second = TaskState::running();
    running_ = pid;
    return std::optional<Pid>(pid);
}

Result<void, SchedulerError> Scheduler::dispatch_pid(Pid pid) {
    if (running_) return std::unexpected(SchedulerError::TaskAlreadyRunning);
    auto it = tasks_.find(pid);
    if (it == tasks_.end() || it->second.kind() != TaskKind::Ready)
        return std::unexpected(SchedulerError::InvalidTransition);
    std::erase(run_queue_, pid);
    it->second = TaskState::running();
    running_ = pid;
    return {};
}

Result<void, SchedulerError> Scheduler::block_ready(Pid pid, WaitReason reason) {
    auto it = tasks_.find(pid);
    if (it == tasks_.end()) return std::unexpected(SchedulerError::UnknownTask);
    if (it->second.kind() != TaskKind::Ready) return std::unexpected(SchedulerError::InvalidTransition);
    std::erase(run_queue_, pid);
    enter_blocked(pid, reason);
    it->second = TaskState::blocked(std::move(reason));
    return {};
}

Result<Pid, SchedulerError> Scheduler::block_running(WaitReason reason) {
    if (!running_) return std::unexpected(SchedulerError::NoRunningTask);
    const Pid pid = *running_;
    running_.reset();
    enter_blocked(pid, reason);
    tasks_.insert_or_assign(pid, TaskState::blocked(std::move(reason)));
    return pid;
}

Result<Pid, SchedulerError> Scheduler::yield_running() {
    if (!running_) return std::unexpected(SchedulerError::NoRunningTask);
    const Pid pid = *running_;
    running_.reset();
    tasks_.insert_or_assign(pid, TaskState::ready());
    run_queue_.push_back(pid);
    return pid;
}

Result<Pid, SchedulerError> Scheduler::finish_running(std::int32_t status) {
    if (!running_) return std::unexpected(SchedulerError::NoRunningTask);
    const Pid pid = *running_;
    running_.reset();
    tasks_.insert_or_assign(pid, TaskState::exited(status));
    return pid;
}

Result<void, SchedulerError> Scheduler::wake(Pid pid) {
    auto it = tasks_.find(pid);
    if (it == tasks_.end()) return std::unexpected(SchedulerError::UnknownTask);
    TaskState& state = it->second;
    switch (state.kind()) {
        case TaskKind::Ready: return {};
        case TaskKind::Running:
        case TaskKind::Exited: return std::unexpected(SchedulerError::InvalidTransition);
        case TaskKind::Blocked:
            leave_blocked(pid, *state.reason());
            state = TaskState::ready();
            run_queue_.push_back(pid);
            return {};
        case TaskKind::Stopped:
            if (state.reason()) {
                leave_blocked(pid, *state.reason());
                state = TaskState::stopped(std::nullopt);
            }
            return {};
    }
    unreachable("task state");
}

void Scheduler::remove_task(Pid pid) {
    auto it = tasks_.find(pid);
    if (it != tasks_.end() && it->second.kind() == TaskKind::Exited) tasks_.erase(it);
}

void Scheduler::discard_task(Pid pid) {
    auto it = tasks_.find(pid);
    if (it == tasks_.end() || running_ == pid) return;
    if (it->second.kind() == TaskKind::Ready) std::erase(run_queue_, pid);
    if (const WaitReason* reason = it->second.waiting_reason()) leave_blocked(pid, *reason);
    tasks_.erase(it);
}

Result<void, SchedulerError> Scheduler::stop_task(Pid pid) {
    auto it = tasks_.find(pid);
    if (it == tasks_.end()) return std::unexpected(SchedulerError::UnknownTask);
    TaskState& state = it->second;
    switch (state.kind()) {
        case TaskKind::Ready:
            std::erase(run_queue_, pid);
            state = TaskState::stopped(std::nullopt);
            return {};
        case TaskKind::Running:
            if (running_ != pid) return std::unexpected(SchedulerError::InvalidTransition);
            running_.reset();
            state = TaskState::stopped(std::nullopt);
            return {};
        case TaskKind::Blocked: {
            // Stays in the blocked queue with its reason.
            std::optional<WaitReason> reason = std::move(state.reason_);
            state = TaskState::stopped(std::move(reason));
            return {};
        }
        case TaskKind::Stopped: return {};
        case TaskKind::Exited: return std::unexpected(SchedulerError::InvalidTransition);
    }
    unreachable("task state");
}

Result<void, SchedulerError> Scheduler::continue_task(Pid pid) {
    auto it = tasks_.find(pid);
    if (it == tasks_.end()) return std::unexpected(SchedulerError::UnknownTask);
    TaskState& state = it->second;
    switch (state.kind()) {
        case TaskKind::Exited: return std::unexpected(SchedulerError::InvalidTransition);
        case TaskKind::Stopped:
            if (state.reason()) {
                // Still in the blocked queue.
                std::optional<WaitReason> reason = std::move(state.reason_);
                state = TaskState::blocked(std::move(*reason));
            } else {
                state = TaskState::ready();
                run_queue_.push_back(pid);
            }
            return {};
        case TaskKind::Ready:
        case TaskKind::Running:
        case TaskKind::Blocked: return {};
    }
    unreachable("task state");
}

std::vector<Pid> Scheduler::blocked_queue() const {
    std::vector<Pid> out;
    out.reserve(blocked_.size());
    for (const auto& [stamp, pid] : blocked_) out.push_back(pid);
    return out;
}

// The leaf index: every non-Any reason inside a blocked task's reason, at any depth, keyed with
// the task's block stamp. A waiting reason matches a non-Any wake reason exactly when the wake
// reason is one of its leaves, so the wakes look up only the tasks they concern.
namespace {

template <class F>
void for_each_leaf(const WaitReason& r, F&& f) {
    if (r.kind() == WaitKind::Any) {
        for (const auto& e : r.reasons()) for_each_leaf(e, f);
    } else {
        f(r);
    }
}

}  // namespace

void Scheduler::enter_blocked(Pid pid, const WaitReason& reason) {
    const std::uint64_t stamp = next_stamp_++;
    const bool fresh = blocked_stamp_.emplace(pid, stamp).second;
    expect(fresh, "a running task is not in the blocked queue");
    blocked_.emplace(stamp, pid);
    for_each_leaf(reason, [&](const WaitReason& leaf) {
        leaves_.emplace(static_cast<std::uint8_t>(leaf.kind_), leaf.a_, leaf.b_, stamp);
    });
}

void Scheduler::leave_blocked(Pid pid, const WaitReason& reason) {
    auto it = blocked_stamp_.find(pid);
    expect(it != blocked_stamp_.end(), "blocked task is in the blocked queue");
    const std::uint64_t stamp = it->second;
    blocked_stamp_.erase(it);
    blocked_.erase(stamp);
    for_each_leaf(reason, [&](const WaitReason& leaf) {
        leaves_.erase(Leaf{static_cast<std::uint8_t>(leaf.kind_), leaf.a_, leaf.b_, stamp});
    });
}

// Stamps of the blocked tasks with a leaf in [lo, hi] (the stamp parts of the bounds are ignored).
void Scheduler::collect_leaves(const Leaf& lo, const Leaf& hi, std::vector<std::uint64_t>& stamps) const {
    const Leaf from{std::get<0>(lo), std::get<1>(lo), std::get<2>(lo), 0};
    const Leaf to{std::get<0>(hi), std::get<1>(hi), std::get<2>(hi), kMax};
    for (auto it = leaves_.lower_bound(from); it != leaves_.end() && *it <= to; ++it)
        stamps.push_back(std::get<3>(*it));
}

void Scheduler::wake_stamps(std::vector<std::uint64_t>& stamps) {
    std::ranges::sort(stamps);
    auto [first, last] = std::ranges::unique(stamps);
    stamps.erase(first, last);
    std::vector<Pid> pids;
    pids.reserve(stamps.size());
    for (std::uint64_t s : stamps) {
        auto it = blocked_.find(s);
        expect(it != blocked_.end(), "blocked queue contains a known blocked task");
        pids.push_back(it->second);
    }
    for (Pid pid : pids)
        if (!wake(pid)) panic("blocked queue contains a known blocked task");
}

void Scheduler::wake_blocked(const WaitReason& reason) {
    std::vector<std::uint64_t> stamps;
    if (reason.kind() == WaitKind::Any) {
        // Rare: an Any wake matches only an equal reason or one nested inside an Any; scan.
        for (const auto& [stamp, pid] : blocked_) {
            const TaskState* state = find_task(pid);
            expect(state != nullptr, "blocked queue contains a known blocked task");
            const WaitReason* r = state->waiting_reason();
            if (r && r->matches(reason)) stamps.push_back(stamp);
        }
    } else {
        const Leaf key{static_cast<std::uint8_t>(reason.kind_), reason.a_, reason.b_, 0};
        collect_leaves(key, key, stamps);
    }
    wake_stamps(stamps);
}

namespace {

constexpr std::uint8_t key_of(WaitKind k) { return static_cast<std::uint8_t>(k); }

}  // namespace

void Scheduler::wake_child_waiters(Pid pid) {
    std::vector<std::uint64_t> stamps;
    const Leaf child{key_of(WaitKind::Child), pid, 0, 0};
    collect_leaves(child, child, stamps);
    collect_leaves({key_of(WaitKind::ChildDeadline), pid, 0, 0},
                   {key_of(WaitKind::ChildDeadline), pid, kMax, 0}, stamps);
    wake_stamps(stamps);
}

void Scheduler::wake_child_activity_waiters(Pid pid) {
    std::vector<std::uint64_t> stamps;
    const Leaf activity{key_of(WaitKind::ChildActivity), pid, 0, 0};
    collect_leaves(activity, activity, stamps);
    collect_leaves({key_of(WaitKind::ChildActivityDeadline), pid, 0, 0},
                   {key_of(WaitKind::ChildActivityDeadline), pid, kMax, 0}, stamps);
    wake_stamps(stamps);
}

void Scheduler::wake_file_lock_waiters() {
    std::vector<std::uint64_t> stamps;
    collect_leaves({key_of(WaitKind::FileLock), 0, 0, 0}, {key_of(WaitKind::FileLock), kMax, kMax, 0},
                   stamps);
    wake_stamps(stamps);
}

}  // namespace tw
