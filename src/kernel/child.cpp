// Child creation: the machine's fork, the preparation of a child that runs a command, and
// descriptor installation into another process.
#include <fmt/format.h>

#include "base/panic.h"
#include "base/sat.h"
#include "base/utf8.h"
#include "kernel/machine.h"

namespace tw {
namespace {

constexpr std::uint64_t kRandomStride = 0x9E3779B97F4A7C15ULL;

// The child's state, built from the parent's. Shell state is copied as a whole (the program is
// left behind: it is never copied); the kernel fields and the shell fields that a child does not
// inherit are then set one by one.
ProcessState child_state(ProcessState& parent, Pid pid, const ProcessRecord& record, DescriptorTable descriptors,
                         bool fresh_program, bool capture_output, std::uint64_t process_charge) {
    std::optional<ProcessContinuation> program = std::move(parent.program);
    parent.program.reset();
    ProcessState child = parent;
    parent.program = std::move(program);

    // Kernel fields.
    child.program.reset();
    child.cwd = parent.cwd;
    child.descriptors = std::move(descriptors);
    child.pending_signals.clear();
    child.timed_out = false;
    if (fresh_program) std::erase_if(child.signal_traps, [](const auto& entry) { return !entry.second.is_ignore(); });
    child.in_trap_handler = false;
    child.pending_stdin = parent.pending_stdin;
    child.pending_stdin_pos = parent.pending_stdin_pos;
    child.random_state = parent.random_state ^ (static_cast<std::uint64_t>(pid) * kRandomStride);
    child.process_charge = process_charge;
    child.program_charge = 0;
    child.shell_state_charge = 0;
    child.expansion_charge = 0;
    child.pid = pid;
    child.ppid = parent.pid;
    child.sid = record.sid;
    child.pgid = record.pgid;
    child.shell_pid = fresh_program ? pid : parent.shell_pid;
    child.uid = parent.uid;
    child.umask = parent.umask;
    child.capture_output = capture_output;

    // Shell fields a child starts fresh with. Functions, aliases, the ERR trap, the condition
    // depth and the ERR-handler mark are copied as they are. The EXIT trap belongs to the shell
    // that set it: a subshell, pipeline stage, job or substitution that ran it too would run the
    // shell's cleanup early and add its output to captured text.
    child.pending_error.reset();
    child.call_saved_size = 0;
    child.exit_trap.reset();
    if (fresh_program) child.loop_depth = 0;
    child.err_trap_enabled = parent.err_trap_enabled && parent.options.errtrace;
    child.exit_requested = false;
    child.exit_status = 0;
    child.return_requested = false;
    child.return_status = 0;
    child.pending_break = 0;
    child.pending_continue = 0;
    child.source_depth = 0;
    child.job_table.clear();
    child.next_job_number = 1;

    child.state_size_baseline = child.modeled_size();
    return child;
}

}  // namespace

void Machine::forget_finished_jobs(Pid shell) {
    ProcessState* state = states.find_mut(shell);
    if (state == nullptr) return;
    std::erase_if(state->job_table, [&](const JobEntry& job) {
        if (job.state != JobEntry::Done) return false;
        (void)processes.reap(job.pid);
        scheduler.remove_task(job.pid);
        return true;
    });
}

Result<Pid, std::string> Machine::create_child_process(std::string_view command, bool fresh_program,
                                                       bool suspend_parent, bool capture_output,
                                                       GroupMode group_mode) {
    const Pid parent_pid = states.active_pid();
    ProcessState& parent = states.active_mut();

    // 1-2. Bound the copy before anything is copied, and charge it.
    const std::uint64_t size = parent.fork_size();
    if (size > kForkSizeLimit) return std::unexpected(std::string("shell state exceeds the 32 MiB fork limit"));
    const std::uint64_t charge = sat_add(size, kForkOverhead);
    if (!meter.charge_memory(charge))
        return std::unexpected(std::string("memory limit exceeded while creating child process"));

    // 3-5. The parent's environment and descriptors; its record is refreshed.
    std::map<std::string, std::string> env = parent.environment_snapshot();
    auto inherited = parent.descriptors.inherit(open_descriptions);
    if (!inherited) {
        meter.release_memory(charge);
        return std::unexpected(fmt::format("unable to inherit descriptors: {}", error_text(inherited.error())));
    }
    processes.update_context(parent_pid, parent.cwd, env);

    auto fail = [&](std::string message) -> Result<Pid, std::string> {
        inherited->close_all(open_descriptions);
        meter.release_memory(charge);
        return std::unexpected(std::move(message));
    };

    // 6. A process number. A full table first drops the parent's finished background jobs
    // that nobody waited for: their records would otherwise hold the table for good.
    if (processes.records().size() >= kMaxProcessRecords) forget_finished_jobs(parent_pid);
    if (processes.records().size() >= kMaxProcessRecords || processes.next_pid() >= kPidLimit)
        return fail("logical process limit exceeded");
    const Pid pid = processes.next_pid();
    processes.set_next_pid(pid + 1);
    const ProcessRecord* parent_record = processes.find(parent_pid);
    if (parent_record == nullptr) return fail("logical process limit exceeded");

    // The checks of steps 9 to 11 are made before anything changes, so that a refusal leaves the
    // scheduler and the tables as they were (a parent woken again after blocking would go to
    // the back of the run queue, behind tasks that were ready before it).
    if (suspend_parent && !scheduler.running())
        return fail(fmt::format("unable to suspend parent process: {}", error_text(SchedulerError::NoRunningTask)));
    if (scheduler.find_task(pid) != nullptr)
        return fail(fmt::format("unable to schedule child process: {}", error_text(SchedulerError::DuplicateTask)));
    if (scheduler.tasks().size() >= Scheduler::kMaxTasks)
        return fail(fmt::format("unable to schedule child process: {}", error_text(SchedulerError::Capacity)));
    if (states.find(pid) != nullptr) return fail(fmt::format("process state already exists for PID {}", pid));

    // 7-8. The record.
    ProcessRecord record;
    record.command = std::string(command.substr(0, utf8_floor_boundary(command, kCommandTextLimit)));
    record.cwd = parent.cwd;
    record.status = ProcessStatus::Running;
    record.environment = std::move(env);
    record.pid = pid;
    record.ppid = parent_pid;
    record.uid = parent_record->uid;
    switch (group_mode) {
        case GroupMode::NewGroup:
            record.pgid = pid;
            record.sid = parent_record->sid;
            break;
        case GroupMode::NewSession:
            record.pgid = pid;
            record.sid = pid;
            break;
        case GroupMode::Inherit:
        default:
            record.pgid = parent_record->pgid;
            record.sid = parent_record->sid;
            break;
    }

    // 9-10. Scheduling; both were checked above and cannot fail now.
    if (suspend_parent) expect(scheduler.block_running(WaitReason::child(pid)).has_value(), "parent suspends on its child");
    expect(scheduler.add_task(pid).has_value(), "child task can be added");

    // 11. The state.
    ProcessState child = child_state(parent, pid, record, std::move(*inherited), fresh_program, capture_output, charge);
    processes.insert(std::move(record));
    expect(states.insert(pid, std::move(child)).has_value(), "child state is new");

    // 12.
    refresh_open_fds(pid);

    // 13. A suspended parent hands over to the next ready task, normally the child.
    if (suspend_parent) {
        auto dispatched = scheduler.dispatch();
        if (!dispatched)
            return std::unexpected(fmt::format("unable to dispatch child process: {}", error_text(dispatched.error())));
        if (!*dispatched) return std::unexpected(std::string("child process was not runnable after creation"));
        if (auto r = states.select(**dispatched); !r) return std::unexpected(r.error());
    }
    return pid;
}

Result<Pid, std::string> Machine::prepare_child(const ChildRequest& request, const ArgvLauncher& launch) {
    if (request.argv.empty()) return std::unexpected(std::string("empty argv"));

    std::optional<std::uint32_t> input;
    if (request.input) {
        auto number = open_descriptions.insert_buffer(*request.input);
        if (!number) return std::unexpected(fmt::format("unable to prepare child input: {}", error_text(number.error())));
        input = *number;
    }

    auto child = create_child_process(argv_display_line(request.argv), true, !request.detached, false,
                                      request.group_mode);
    if (!child) {
        if (input) open_descriptions.release_if_unused(*input);
        return std::unexpected(child.error());
    }

    if (input)
        expect(install_descriptor(*child, 0, *input).has_value(), "new child process must accept prepared standard input");
    expect(init_child_state(*child, request.configuration.directory, request.configuration.environment).has_value(),
           "new child process must accept its launch configuration");
    expect(launch(*this, *child, request.argv).has_value(), "new child process must accept an argv continuation");
    return *child;
}

Result<void, std::string> Machine::init_child_state(
    Pid pid, const std::optional<std::string>& directory,
    const std::optional<std::map<std::string, std::string>>& environment) {
    ProcessState* state = states.find_mut(pid);
    if (state == nullptr) return std::unexpected(fmt::format("process state does not exist for PID {}", pid));
    if (directory) {
        state->cwd = *directory;
        state->store_variable("PWD", *directory);
        state->export_variable("PWD");
    }
    if (environment) {
        state->variables.clear();
        state->variables_size = 0;
        state->arrays.clear();
        state->arrays_size = 0;
        state->exported_names.clear();
        for (const auto& [name, value] : *environment) {
            state->store_variable(name, value);
            state->export_variable(name);
        }
        state->store_variable("PWD", state->cwd);
        state->export_variable("PWD");
    }
    processes.update_context(pid, state->cwd, state->environment_snapshot());
    return {};
}

void Machine::reclaim_process_state(Pid pid) {
    std::string cwd;
    if (ProcessState* state = states.find_mut(pid)) {
        const std::uint64_t charges = sat_add(sat_add(state->process_charge, state->program_charge),
                                              sat_add(state->shell_state_charge, state->expansion_charge));
        cwd = state->cwd;
        const std::vector<PipeEndpoint> ends = state->descriptors.pipe_ends(open_descriptions);
        state->descriptors.close_all(open_descriptions);
        states.erase(pid);
        for (const PipeEndpoint& end : ends) wake_pipe_waiters(end.pipe, end.wake_end());
        wake_lock_waiters();
        prune_pipe_charges();
        drop_unreferenced_orphans();
        meter.release_memory(charges);
    }
    forget_process_waits(pid);
    scheduler.discard_task(pid);
    processes.mark_exited(pid, 125, std::move(cwd));
    (void)processes.reap(pid);
}

Result<void, DescriptorError> Machine::install_descriptor(Pid pid, std::int32_t fd, std::uint32_t description) {
    ProcessState* state = states.find_mut(pid);
    if (state == nullptr) return std::unexpected(DescriptorError::InvalidFd);
    if (auto r = state->descriptors.install(fd, description, open_descriptions); !r) return r;
    refresh_open_fds(pid);
    return {};
}

}  // namespace tw
