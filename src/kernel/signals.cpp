// Signals: sending, stopping and continuing processes, process groups, and the delivery of
// pending signals between steps. A signal never interrupts a step.
#include <fmt/format.h>

#include "kernel/machine.h"

namespace tw {
namespace {

// The first job entry for pid in every shell's job table.
void update_jobs(ProcessStateTable& states, Pid pid, std::uint8_t state, std::optional<Signal> stop_signal) {
    for (const auto& [owner, _] : states.states()) {
        auto& table = states.find_mut(owner)->job_table;
        for (JobEntry& job : table) {
            if (job.pid != pid) continue;
            job.state = state;
            if (stop_signal) job.stop_signal = *stop_signal;
            break;
        }
    }
}

}  // namespace

Result<void, std::string> Machine::send_signal(Pid pid, Signal signal) {
    const ProcessRecord* record = processes.find(pid);
    if (record == nullptr || record->status == ProcessStatus::Exited)
        return std::unexpected(fmt::format("process {} does not exist", pid));

    switch (signal) {
        case Signal::KILL:
            if (record->status == ProcessStatus::Stopped)
                if (auto r = continue_process(pid); !r) return r;
            break;
        case Signal::STOP:
            // A running process is stopped when its signals are next delivered.
            if (scheduler.running() != pid) return stop_process(pid, Signal::STOP);
            break;
        case Signal::CONT: return continue_process(pid);
        default: break;
    }

    ProcessState* state = states.find_mut(pid);
    if (state == nullptr) return std::unexpected(fmt::format("process {} has no execution context", pid));
    state->pending_signals.insert(signal);

    if (signal != Signal::KILL && signal != Signal::STOP) {
        auto trap = state->signal_traps.find(signal);
        const bool ignored = trap == state->signal_traps.end() ? signal == Signal::CHLD : trap->second.is_ignore();
        if (ignored) return {};  // stays pending; delivery discards it
    }

    if (const TaskState* task = scheduler.find_task(pid); task && task->kind() == TaskKind::Blocked) {
        if (auto r = scheduler.wake(pid); !r)
            return std::unexpected(fmt::format("unable to wake process {}: {}", pid, error_text(r.error())));
    }
    return {};
}

Result<void, std::string> Machine::stop_process(Pid pid, Signal signal) {
    if (auto r = scheduler.stop_task(pid); !r)
        return std::unexpected(fmt::format("unable to stop process {}: {}", pid, error_text(r.error())));
    if (ProcessRecord* record = processes.find_mut(pid); record && record->status != ProcessStatus::Exited) {
        record->status = ProcessStatus::Stopped;
        record->stop_signal = signal;
    }
    update_jobs(states, pid, JobEntry::Stopped, signal);
    scheduler.wake_child_waiters(pid);
    scheduler.wake_child_activity_waiters(pid);
    if (processes.running_group_members(foreground_pgid).empty()) foreground_pgid = shell_pgid;
    return {};
}

Result<void, std::string> Machine::continue_process(Pid pid) {
    if (auto r = scheduler.continue_task(pid); !r)
        return std::unexpected(fmt::format("unable to continue process {}: {}", pid, error_text(r.error())));
    if (ProcessRecord* record = processes.find_mut(pid); record && record->status == ProcessStatus::Stopped)
        record->status = ProcessStatus::Running;
    if (const ProcessState* state = states.find(pid); state && !state->pending_signals.empty()) {
        if (const TaskState* task = scheduler.find_task(pid); task && task->kind() == TaskKind::Blocked) {
            if (auto r = scheduler.wake(pid); !r)
                return std::unexpected(fmt::format("unable to wake continued process {}: {}", pid, error_text(r.error())));
        }
    }
    update_jobs(states, pid, JobEntry::Running, std::nullopt);
    return {};
}

Result<void, std::string> Machine::stop_active_process(Signal signal) {
    return stop_process(states.active_pid(), signal);
}

Result<void, std::string> Machine::signal_process_group(Pid group, Signal signal) {
    const std::vector<Pid> members = processes.group_members(group);
    if (members.empty()) return std::unexpected(fmt::format("process group {} does not exist", group));
    for (Pid member : members)
        if (auto r = send_signal(member, signal); !r) return r;
    return {};
}

std::optional<SignalDelivery> Machine::deliver_pending_signals() {
    const Pid pid = states.active_pid();
    while (true) {
        ProcessState& state = states.active_mut();
        std::set<Signal>& pending = state.pending_signals;
        std::optional<Signal> chosen;
        if (state.in_trap_handler) {
            // Only KILL and STOP reach a process while its trap handler runs.
            if (pending.contains(Signal::KILL)) chosen = Signal::KILL;
            else if (pending.contains(Signal::STOP)) chosen = Signal::STOP;
        } else if (!pending.empty()) {
            chosen = *pending.begin();  // the lowest number
        }
        if (!chosen) return std::nullopt;
        const Signal signal = *chosen;
        pending.erase(signal);

        if (signal == Signal::KILL) {
            forget_process_waits(pid);
            return SignalDelivery{SignalDelivery::Kind::Terminate, signal, {}};
        }
        if (signal == Signal::STOP) return SignalDelivery{SignalDelivery::Kind::Stop, signal, {}};

        auto trap = state.signal_traps.find(signal);
        if (trap != state.signal_traps.end()) {
            if (trap->second.is_ignore()) continue;
            state.in_trap_handler = true;
            return SignalDelivery{SignalDelivery::Kind::RunTrap, signal, trap->second};
        }
        if (signal == Signal::CHLD || signal == Signal::CONT) continue;
        forget_process_waits(pid);
        return SignalDelivery{SignalDelivery::Kind::Terminate, signal, {}};
    }
}

bool Machine::has_acting_signal() const {
    const ProcessState& state = states.active();
    for (Signal signal : state.pending_signals) {
        if (signal == Signal::KILL) return true;
        if (signal == Signal::STOP || state.in_trap_handler) continue;
        auto trap = state.signal_traps.find(signal);
        if (trap != state.signal_traps.end()) {
            if (!trap->second.is_ignore()) return true;
            continue;
        }
        if (signal != Signal::CHLD && signal != Signal::CONT) return true;
    }
    return false;
}

Result<void, std::string> Machine::run_signal_handler(ProcessContinuation& continuation, const Trap& trap) {
    // Only a shell continuation can run a handler; it is one of the programs defined above the
    // kernel, which answer for themselves.
    if (auto* program = std::get_if<ExtensionProgram>(&continuation); program && program->impl)
        return program->impl->run_signal_handler(*this, trap);
    return std::unexpected(std::string("native process cannot run a shell signal handler"));
}

}  // namespace tw
