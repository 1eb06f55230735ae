#include "module/environment.h"

#include <fmt/format.h>

#include "harness/action.h"
#include "harness/metadata.h"
#include "kernel/machine.h"
#include "shell/launch.h"

namespace tw {
namespace {

constexpr Pid kDefaultShell = kFirstShellPid;

std::string scheduler_text(SchedulerError error) { return std::string(error_text(error)); }

bool process_exited(const Machine& machine, Pid pid) {
    const ProcessRecord* record = machine.processes.find(pid);
    return record != nullptr && record->status == ProcessStatus::Exited;
}

HostRunResult finish_run(Machine& machine, ActionResult result, const RunMarkers& markers) {
    RunMetadata metadata = RunMetadata::build(machine, std::move(result.outcome), markers);
    return HostRunResult{.metadata = metadata.to_json(), .out = std::move(result.out), .err = std::move(result.err)};
}

// Makes the default shell the running, active process again after a session's action.
Result<void, std::string> return_to_default_shell(Machine& machine) {
    Scheduler& scheduler = machine.scheduler;
    if (std::optional<Pid> running = scheduler.running(); running && *running != kDefaultShell)
        if (auto r = scheduler.yield_running(); !r)
            return std::unexpected(fmt::format("unable to yield to default shell: {}", scheduler_text(r.error())));
    if (!scheduler.running()) {
        if (auto r = scheduler.wake(kDefaultShell); !r)
            return std::unexpected(fmt::format("unable to wake default shell: {}", scheduler_text(r.error())));
        if (auto r = scheduler.dispatch_pid(kDefaultShell); !r)
            return std::unexpected(fmt::format("unable to select default shell: {}", scheduler_text(r.error())));
    }
    return machine.states.select(kDefaultShell);
}

}  // namespace

bool default_shell_idle(const Machine& machine) {
    if (machine.states.active_pid() != kDefaultShell) return false;
    if (machine.scheduler.running() != kDefaultShell) return false;
    const ProcessState* shell = machine.states.find(kDefaultShell);
    return shell != nullptr && !shell->program.has_value();
}

HostRunResult host_run(Machine& machine, std::string_view source, BytesView input) {
    const RunMarkers markers = RunMarkers::note(machine);
    return finish_run(machine, machine.run_action(source, input), markers);
}

HostRunResult host_run_python(Machine& machine, std::string_view source, std::span<const std::string> argv,
                              BytesView input) {
    const RunMarkers markers = RunMarkers::note(machine);
    std::vector<std::string> words{"python3.14", "-c", std::string(source)};
    words.insert(words.end(), argv.begin(), argv.end());
    ActionResult result;
    const std::int32_t status =
        machine.run_until_idle(shell_words_continuation(std::move(words)), input, result.out, result.err);
    result.outcome = machine.action_outcome(status);
    return finish_run(machine, std::move(result), markers);
}

Result<Pid, std::string> create_shell_session(Machine& machine) {
    if (!default_shell_idle(machine) || process_exited(machine, kDefaultShell))
        return std::unexpected(std::string("shell sessions can be created only from an idle default shell"));
    auto child = machine.create_child_process("bash", true, false, false, GroupMode::Inherit);
    if (!child) return std::unexpected(std::move(child.error()));
    const Pid pid = *child;
    const TaskState* task = machine.scheduler.find_task(pid);
    if (task == nullptr || task->kind() != TaskKind::Ready)
        return std::unexpected(
            fmt::format("unable to park shell session {}: {}", pid, scheduler_text(SchedulerError::InvalidTransition)));
    if (auto r = machine.scheduler.block_ready(pid, WaitReason::shell_session(pid)); !r)
        return std::unexpected(fmt::format("unable to park shell session {}: {}", pid, scheduler_text(r.error())));
    return pid;
}

Result<HostRunResult, std::string> run_shell_session(Machine& machine, Pid pid, std::string_view source,
                                                     BytesView input) {
    const RunMarkers markers = RunMarkers::note(machine);
    if (!default_shell_idle(machine)) return std::unexpected(std::string("default shell is not idle"));
    if (pid == kDefaultShell) return finish_run(machine, machine.run_action(source, input), markers);

    Scheduler& scheduler = machine.scheduler;
    const TaskState* task = scheduler.find_task(pid);
    const WaitReason own_session = WaitReason::shell_session(pid);
    if (task == nullptr || task->kind() != TaskKind::Blocked || *task->reason() != own_session)
        return std::unexpected(fmt::format("shell session {} is not idle", pid));

    if (auto r = scheduler.block_running(WaitReason::shell_session(kDefaultShell)); !r)
        return std::unexpected(fmt::format("unable to park default shell: {}", scheduler_text(r.error())));
    if (auto r = scheduler.wake(pid); !r)
        return std::unexpected(fmt::format("unable to wake shell session {}: {}", pid, scheduler_text(r.error())));
    if (auto r = scheduler.dispatch_pid(pid); !r)
        return std::unexpected(fmt::format("unable to select shell session {}: {}", pid, scheduler_text(r.error())));
    if (auto r = machine.states.select(pid); !r) return std::unexpected(std::move(r.error()));

    ActionResult result = machine.run_action(source, input);

    // The session goes back to its parking place, or away when its shell has exited.
    if (machine.states.active_pid() != pid)
        if (auto r = machine.states.select(pid); !r) return std::unexpected(std::move(r.error()));
    if (process_exited(machine, pid)) {
        const ProcessRecord* record = machine.processes.find(pid);
        machine.finish_process(pid, record->exit_code);
        // Nobody waits for a session: it is reaped at once, so that sessions that come and go
        // do not fill the process table with exited entries.
        (void)machine.processes.reap(pid);
        machine.scheduler.remove_task(pid);
    } else if (scheduler.running() == pid) {
        if (auto r = scheduler.block_running(own_session); !r)
            return std::unexpected(fmt::format("unable to park shell session {}: {}", pid, scheduler_text(r.error())));
    } else {
        return std::unexpected(fmt::format("unable to park shell session {}: {}", pid,
                                           scheduler_text(SchedulerError::NoRunningTask)));
    }
    if (auto r = return_to_default_shell(machine); !r) return std::unexpected(std::move(r.error()));
    return finish_run(machine, std::move(result), markers);
}

bool machine_terminated(const Machine& machine) { return machine.terminated_status().first; }

Result<void, std::string> register_http_route(Machine& machine, HttpRoute route) {
    if (auto r = machine.broker.add_route(std::move(route)); !r) return std::unexpected(error_text(r.error()));
    return {};
}

}  // namespace tw
