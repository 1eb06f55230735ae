// The resume step of suspended builtins: a blocking flock, wait and fg on background jobs, the
// queue of commands that dispatch runs as child processes, and the collection of a Python
// program from standard input.
#include <fmt/format.h>

#include "base/sat.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "shell/command_outcome.h"

namespace tw {
namespace {

using BC = BuiltinContinuation;

CommandOutcome resume_flock(Machine& m, BC::Flock state) {
    SyscallContext sys(m);
    auto failure = [&](const SyscallError& e) {
        const DescriptorError* d = e.descriptor_error();
        const std::string text =
            d && *d == DescriptorError::InvalidFd ? std::string("bad file descriptor") : error_text(e);
        return CommandOutcome::done_with_data(1, "flock", {}, fmt::format("flock: {}: {}\n", state.fd, text));
    };
    auto locked = sys.flock(state.fd, state.operation);
    if (!locked) return failure(locked.error());
    if (*locked) return CommandOutcome::done(0);
    if (state.nonblocking) return CommandOutcome::done(1);
    auto inode = sys.descriptor_inode(state.fd);
    if (!inode) return failure(inode.error());
    const std::uint64_t id = *inode;
    return CommandOutcome::block(BC{std::move(state)}, WaitReason::file_lock(id));
}

JobEntry* find_job(ProcessState& s, Pid pid) {
    for (JobEntry& job : s.job_table)
        if (job.pid == pid) return &job;
    return nullptr;
}

void forget_job(Machine& m, ProcessState& s, Pid pid) {
    std::erase_if(s.job_table, [&](const JobEntry& job) { return job.pid == pid; });
    (void)m.processes.reap(pid);
    m.scheduler.remove_task(pid);
}

CommandOutcome resume_wait(Machine& m, BC::Wait state) {
    ProcessState& s = m.states.active_mut();
    while (!state.pids.empty()) {
        const Pid pid = state.pids.front();
        JobEntry* job = find_job(s, pid);
        if (job == nullptr) {
            state.pids.erase(state.pids.begin());
            continue;
        }
        if (job->state != JobEntry::Done) return CommandOutcome::block(BC{std::move(state)}, WaitReason::child(pid));
        const std::int32_t status = static_cast<std::int32_t>(job->exit_status);
        forget_job(m, s, pid);
        if (state.operands_given) state.status = status;
        state.pids.erase(state.pids.begin());
    }
    return CommandOutcome::done(state.status);
}

CommandOutcome resume_foreground(Machine& m, BC::Foreground state) {
    ProcessState& s = m.states.active_mut();
    JobEntry* job = find_job(s, state.pid);
    if (job == nullptr) return CommandOutcome::done(127);
    switch (job->state) {
        case JobEntry::Running: {
            const Pid pid = state.pid;
            return CommandOutcome::block(BC{state}, WaitReason::child(pid));
        }
        case JobEntry::Stopped:
            m.foreground_pgid = m.shell_pgid;
            return CommandOutcome::done(128 + signal_number(job->stop_signal));
        default: {
            const std::int32_t status = static_cast<std::int32_t>(job->exit_status);
            forget_job(m, s, state.pid);
            return CommandOutcome::done(status);
        }
    }
}

CommandOutcome resume_child_queue(Machine& m, BC::ChildQueue state) {
    const ProcessRecord* record = m.processes.find(state.child);
    if (record == nullptr || record->status != ProcessStatus::Exited) {
        const Pid child = state.child;
        return CommandOutcome::block(BC{std::move(state)}, WaitReason::child(child));
    }
    const std::int32_t status = record->exit_code;
    (void)m.processes.reap(state.child);
    m.scheduler.remove_task(state.child);
    if (status != 0 && state.stop_on_failure) return CommandOutcome::done(status);
    if (state.queue.empty()) return CommandOutcome::done(status);
    ChildRequest next = std::move(state.queue.front());
    state.queue.pop_front();
    CommandOutcome outcome =
        m.launch_command_child(std::move(next), std::move(state.queue), status, state.stop_on_failure);
    if (auto* waiting = outcome.as<CommandOutcome::WaitChild>())
        std::get<BC::ChildQueue>(waiting->state.state).completes_entry = state.completes_entry;
    return outcome;
}

CommandOutcome resume_python_stdin(Machine& m, BC::PythonStdin state) {
    auto read = m.read_descriptor(4096);
    if (!read) {
        m.meter.release_memory(state.charged);
        return CommandOutcome::done(1);
    }
    if (read->blocked()) {
        WaitReason reason = std::move(*read->wait);
        return CommandOutcome::block(BC{std::move(state)}, std::move(reason));
    }
    if (!read->data.empty()) {
        if (!m.meter.charge_memory(read->data.size())) {
            m.meter.release_memory(state.charged);
            return CommandOutcome::done(137);
        }
        state.charged = sat_add(state.charged, read->data.size());
        state.input += read->data;
        return CommandOutcome::yield(BC{std::move(state)});
    }
    m.meter.release_memory(state.charged);
    const std::string name = state.argv.empty() ? std::string("python3") : state.argv.front();
    return CommandOutcome::done_with_data(127, name, {}, fmt::format("{}: not implemented in tarnwick\n", name));
}

}  // namespace

CommandOutcome Machine::resume_builtin(BuiltinContinuation state) {
    struct Step {
        Machine& m;
        CommandOutcome operator()(BC::Flock& s) { return resume_flock(m, std::move(s)); }
        CommandOutcome operator()(BC::Wait& s) { return resume_wait(m, std::move(s)); }
        CommandOutcome operator()(BC::Foreground& s) { return resume_foreground(m, std::move(s)); }
        CommandOutcome operator()(BC::ChildQueue& s) { return resume_child_queue(m, std::move(s)); }
        CommandOutcome operator()(BC::PythonStdin& s) { return resume_python_stdin(m, std::move(s)); }
    };
    return std::visit(Step{*this}, state.state);
}

}  // namespace tw
