// The top-level run loop: one step of the whole machine, task selection with virtual time, the
// installation and teardown of an action, and the outcome block.
#include "harness/action.h"

#include <fmt/format.h>

#include "base/json_text.h"
#include "base/panic.h"
#include "base/sat.h"
#include "base/utf8.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "python/mod/python_repl.h"
#include "shell/continuation.h"
#include "shell/exec.h"
#include "shell/launch.h"
#include "shell/parser.h"

namespace tw {
namespace {

std::string scheduler_failure(SchedulerError e) { return std::string(error_text(e)); }

void mark_host_capture(OpenDescriptionTable& table, std::uint32_t number) {
    if (auto d = table.get_mut(number))
        if (auto* capture = std::get_if<target::OutputCapture>(&(*d)->target)) capture->host = true;
}

// The exit status of a shell whose process has ended for good (exit, or a terminating signal)
// while its state stays for the host to inspect.
std::optional<std::int32_t> shell_exit_status(const Machine& machine, Pid pid) {
    const ProcessRecord* record = machine.processes.find(pid);
    if (record == nullptr || record->status != ProcessStatus::Exited) return std::nullopt;
    return record->exit_code;
}

void mark_shell_exited(Machine& machine, Pid pid, std::int32_t status) {
    const ProcessState* state = machine.states.find(pid);
    machine.processes.mark_exited(pid, status, state != nullptr ? state->cwd : std::string("/"));
}

// Drops the program of the active process `pid`, which lives on: a shell continuation is aborted
// with its cleanups (descriptors its frames saved, restore lists, depths, requests), and whatever
// the program holds is given back.
void drop_live_program(Machine& machine, Pid pid) {
    std::optional<ProcessContinuation> program = machine.states.take_program(pid);
    if (!program) return;
    if (ShellContinuation* shell = shell_continuation_of(*program)) abandon_shell_continuation(machine, *shell);
    machine.cancel_program_wait(*program);
}

// Completes the invocation-log entries still open for pid.
void finish_invocations(Machine& machine, Pid pid, std::int32_t status) {
    machine.invocations.finish_all(pid, status, machine.meter.cpu_used(), machine.vfs.used());
}

// The action's process has ended its program: it stays alive, idle and without program.
StepReport finish_root(Machine& machine, Pid root, std::int32_t status) {
    finish_invocations(machine, root, status);
    release_shell_state_memory(machine);
    return StepReport::root_finished(status);
}

}  // namespace

// ---- helpers ----

void release_shell_state_memory(Machine& machine) {
    ProcessState& state = machine.states.active_mut();
    const std::uint64_t charged = std::exchange(state.shell_state_charge, 0);
    machine.meter.release_memory(charged);
}

void collect_action_output(Machine& machine, std::uint32_t out_capture, std::uint32_t err_capture, Bytes& out,
                           Bytes& err) {
    out.append(machine.stdout_bytes);
    machine.stdout_bytes.clear();
    err.append(machine.stderr_bytes);
    machine.stderr_bytes.clear();
    if (auto bytes = machine.open_descriptions.take_captured_bytes(out_capture)) out.append(*bytes);
    if (auto bytes = machine.open_descriptions.take_captured_bytes(err_capture)) err.append(*bytes);
    // A capture that reached its bound says so once, after what it kept.
    bool cut = false;
    for (std::uint32_t number : {out_capture, err_capture}) {
        auto d = machine.open_descriptions.get_mut(number);
        if (!d) continue;
        if (auto* capture = std::get_if<target::OutputCapture>(&(*d)->target); capture && capture->cut) {
            capture->cut = false;
            cut = true;
        }
    }
    if (cut) err.append(kOutputCutMessage);
}

void restore_action_descriptors(Machine& machine, DescriptorTable saved) {
    ProcessState& state = machine.states.active_mut();
    DescriptorTable current = std::exchange(state.descriptors, std::move(saved));
    const std::vector<PipeEndpoint> ends = current.pipe_ends(machine.open_descriptions);
    current.close_all(machine.open_descriptions);
    for (const PipeEndpoint& end : ends) machine.wake_pipe_waiters(end.pipe, end.wake_end());
    machine.prune_pipe_charges();
    machine.wake_lock_waiters();
    machine.drop_unreferenced_orphans();
    machine.refresh_open_fds(state.pid);
}

void abandon_action(Machine& machine, Pid root) {
    Scheduler& scheduler = machine.scheduler;
    if (std::optional<Pid> running = scheduler.running(); running && *running != root) {
        // A process left without a program (the failed step's) could never run again and would
        // fail every later action: it ends here.
        const ProcessState* state = machine.states.find(*running);
        if (state != nullptr && !state->program && machine.states.select(*running)) {
            machine.finish_process(*running, 125);
            if (std::optional<Pid> next = scheduler.running(); next && *next != root) (void)scheduler.yield_running();
        } else {
            (void)scheduler.yield_running();
        }
    }
    if (const TaskState* task = scheduler.find_task(root)) {
        if (task->kind() == TaskKind::Blocked) (void)scheduler.wake(root);
        else if (task->kind() == TaskKind::Stopped) (void)scheduler.continue_task(root);
    }
    // Bring the root to the front without running anything: the tasks passed over go to the back
    // of the queue in their order.
    for (std::size_t round = scheduler.run_queue().size(); round > 0 && scheduler.running() != root; --round) {
        auto dispatched = scheduler.dispatch();
        if (!dispatched || !*dispatched) break;
        if (**dispatched != root) (void)scheduler.yield_running();
    }
    expect(scheduler.running() == root, "the action's process must be able to run again");
    expect(machine.states.select(root).has_value(), "the action's process must keep its state");
    if (ProcessRecord* record = machine.processes.find_mut(root); record && record->status == ProcessStatus::Stopped)
        record->status = ProcessStatus::Running;

    drop_live_program(machine, root);
    finish_invocations(machine, root, 125);
    release_shell_state_memory(machine);
}

Result<std::shared_ptr<const ShellCommand>, std::pair<std::int32_t, std::string>> parse_action(
    Machine& machine, std::string_view source) {
    using Failure = std::pair<std::int32_t, std::string>;
    const std::uint64_t length = source.size();
    const std::uint64_t memory = sat_add(sat_mul(2, length), 8192);
    if (!machine.meter.charge_memory(memory)) return std::unexpected(Failure{kExhaustedStatus, {}});
    if (!machine.meter.charge_cpu(length)) {
        machine.meter.release_memory(memory);
        machine.states.active_mut().last_status = kExhaustedStatus;
        return std::unexpected(Failure{kExhaustedStatus, {}});
    }
    auto parsed = shell_parse(source);
    machine.meter.release_memory(memory);
    if (!parsed) {
        machine.states.active_mut().last_status = 2;
        return std::unexpected(Failure{2, fmt::format("tarnwick: syntax error: {}\n", error_text(parsed.error()))});
    }
    return std::move(*parsed);
}

// ---- the outcome ----

RunOutcome Machine::action_outcome(std::int32_t status) const {
    RunOutcome outcome;
    outcome.stop_reason = meter.stop_reason();
    outcome.exit_status = outcome.stop_reason ? kExhaustedStatus : status;
    outcome.limits = meter.limits();
    outcome.usage = Usage{
        .cpu_used = meter.cpu_used(),
        .memory_current = meter.memory_current(),
        .memory_peak = meter.memory_peak(),
        .disk_current = vfs.used(),
        .disk_peak = vfs.peak(),
        .output_bytes = meter.output_used(),
    };
    outcome.command_usage = meter.command_usage();
    return outcome;
}

std::pair<bool, std::int32_t> Machine::terminated_status() const {
    if (meter.stop_reason()) return {true, kExhaustedStatus};
    if (std::optional<std::int32_t> status = shell_exit_status(*this, states.active_pid())) return {true, *status};
    return {false, 0};
}

void append_json_string(std::string& out, std::string_view text) {
    // Texts that reach the host are UTF-8; bytes that are not (an argument built from raw bytes)
    // are shown as U+FFFD so that the JSON stays readable as text.
    if (!utf8_valid(text)) {
        const std::string lossy = utf8_lossy(text);
        append_json_string(out, lossy);
        return;
    }
    append_json_quoted(out, text);
}

std::string outcome_json(const RunOutcome& o) {
    std::string out;
    auto it = std::back_inserter(out);
    fmt::format_to(it, "{{\"exit_status\":{},\"stop_reason\":", o.exit_status);
    if (o.stop_reason) append_json_string(out, stop_reason_name(*o.stop_reason));
    else out += "null";
    fmt::format_to(it, ",\"limits\":{{\"cpu\":{},\"memory\":{},\"disk\":{},\"output\":{}}}", o.limits.cpu,
                   o.limits.memory, o.limits.disk, o.limits.output);
    fmt::format_to(it,
                   ",\"usage\":{{\"cpu_used\":{},\"memory_current\":{},\"memory_peak\":{},\"disk_current\":{},"
                   "\"disk_peak\":{},\"output_bytes\":{}}}",
                   o.usage.cpu_used, o.usage.memory_current, o.usage.memory_peak, o.usage.disk_current,
                   o.usage.disk_peak, o.usage.output_bytes);
    out += ",\"command_usage\":[";
    for (std::size_t i = 0; i < o.command_usage.size(); ++i) {
        if (i > 0) out.push_back(',');
        out += "{\"command\":";
        append_json_string(out, o.command_usage[i].command);
        fmt::format_to(it, ",\"cpu\":{},\"disk_delta\":{}}}", o.command_usage[i].cpu, o.command_usage[i].disk_delta);
    }
    fmt::format_to(it, "],\"cost_model_version\":{}}}", o.cost_model_version);
    return out;
}

// ---- selecting and stepping ----

Result<void, std::string> Machine::dispatch_due_events() { return poll_clock(); }

Result<bool, std::string> Machine::select_next_task(bool allow_advance) {
    if (auto r = sync_real_time_clock(); !r) return std::unexpected(r.error());
    if (auto r = dispatch_ready_events(); !r) return std::unexpected(r.error());
    while (true) {
        auto dispatched = scheduler.dispatch();
        if (!dispatched) return std::unexpected(scheduler_failure(dispatched.error()));
        if (*dispatched) {
            if (auto r = states.select(**dispatched); !r) return std::unexpected(r.error());
            return true;
        }
        // Nothing is ready: in virtual time, jump to the next event. Events that wake nobody
        // (their waits ended otherwise) are passed over to the next one. Time stands still while
        // a tool call's answer waits to be collected.
        if (!allow_advance || pacing || broker.has_answered_host_request()) return false;
        const std::optional<EventKey> next = clock.next_pending();
        if (!next) return false;
        if (auto r = clock.advance_to(next->time_ns); !r) return std::unexpected(error_text(r.error()));
        if (auto r = dispatch_ready_events(); !r) return std::unexpected(r.error());
    }
}

Result<StepReport, std::string> Machine::scheduler_step(Pid root, bool allow_advance) {
    wake_lock_waiters();
    if (!scheduler.running()) {
        auto selected = select_next_task(allow_advance);
        if (!selected) return std::unexpected(std::move(selected.error()));
        if (!*selected) return StepReport::idle();
    }
    const Pid pid = *scheduler.running();
    if (states.active_pid() != pid)
        if (auto r = states.select(pid); !r) return std::unexpected(r.error());

    if (std::optional<SignalDelivery> delivery = deliver_pending_signals()) {
        switch (delivery->kind) {
            case SignalDelivery::Kind::Terminate: {
                if (pid != root) {
                    terminate_by_signal(pid, delivery->signal);
                    return StepReport::progress();
                }
                processes.set_term_signal(pid, delivery->signal);
                const std::int32_t status = 128 + signal_number(delivery->signal);
                drop_live_program(*this, pid);
                mark_shell_exited(*this, pid, status);
                return finish_root(*this, root, status);
            }
            case SignalDelivery::Kind::Stop: {
                if (auto r = stop_active_process(delivery->signal); !r) return std::unexpected(r.error());
                auto selected = select_next_task(false);
                if (!selected) return std::unexpected(std::move(selected.error()));
                return *selected ? StepReport::progress() : StepReport::idle();
            }
            case SignalDelivery::Kind::RunTrap: {
                std::optional<ProcessContinuation> program = states.take_program(pid);
                if (!program) return std::unexpected(fmt::format("active signaled process {} has no program", pid));
                if (auto r = run_signal_handler(*program, delivery->trap); !r) return std::unexpected(r.error());
                if (auto r = states.set_program(pid, std::move(*program)); !r) return std::unexpected(r.error());
                break;
            }
        }
    }

    if (auto r = dispatch_due_events(); !r) return std::unexpected(r.error());

    std::optional<ProcessContinuation> program = states.take_program(pid);
    if (!program) return std::unexpected(fmt::format("active process {} has no program", pid));
    const ProgramStep step = step_process(*program);

    if (step.kind == ProgramStep::Kind::Finished && pid == root) {
        const ShellContinuation* shell = shell_continuation_of(*program);
        // A signal the shell sent itself in its last step (`kill $$`, a trap raising its own
        // signal again) is acted on in this action: the next step delivers it.
        if (shell && !shell->exited && !meter.stop_reason() && has_acting_signal()) {
            if (auto r = states.set_program(pid, std::move(*program)); !r) return std::unexpected(r.error());
            return StepReport::progress();
        }
        // The shell itself is done when its program ended through exit.
        if (shell && shell->exited) mark_shell_exited(*this, pid, step.status);
        return finish_root(*this, root, step.status);
    }
    if (auto r = handle_program_step(pid, std::move(*program), step, StepDriver::Host); !r)
        return std::unexpected(r.error());

    if (const std::optional<Pid> running = scheduler.running()) {
        if (states.active_pid() != *running)
            if (auto r = states.select(*running); !r) return std::unexpected(r.error());
        return StepReport::progress();
    }
    const bool blocked = step.kind == ProgramStep::Kind::Blocked;
    auto selected = select_next_task(blocked && allow_advance);
    if (!selected) return std::unexpected(std::move(selected.error()));
    return *selected || !blocked ? StepReport::progress() : StepReport::idle();
}

// ---- actions ----

Result<StartedAction, std::string> Machine::start_action(ProcessContinuation program, BytesView input, bool buffered) {
    StartedAction started;
    started.root = states.active_pid();
    started.buffered = buffered;

    auto saved = states.active().descriptors.inherit(open_descriptions);
    if (!saved) return std::unexpected(fmt::format("unable to save descriptors: {}", error_name(saved.error())));
    started.saved = std::move(*saved);

    if (input.size() > kMaxBufferedBytes) {
        restore_action_descriptors(*this, std::move(started.saved));
        return std::unexpected(std::string(kActionStdinTooLarge));
    }
    auto install_failed = [&](DescriptorError e) {
        restore_action_descriptors(*this, std::move(started.saved));
        return std::unexpected(fmt::format("unable to install action descriptors: {}", error_name(e)));
    };
    Result<std::uint32_t, DescriptorError> in = buffered ? open_descriptions.insert_buffer(Bytes(input))
                                                         : open_descriptions.insert_open_input();
    if (!in) return install_failed(in.error());
    if (!buffered && !input.empty()) {
        if (auto r = open_descriptions.append_input(*in, input); !r) {
            open_descriptions.release_if_unused(*in);
            return install_failed(r.error());
        }
    }
    started.input = *in;
    if (auto r = install_active_descriptor(0, *in); !r) return install_failed(r.error());
    auto out = open_descriptions.insert_capture();
    if (!out) return install_failed(out.error());
    mark_host_capture(open_descriptions, *out);
    started.out_capture = *out;
    if (auto r = install_active_descriptor(1, *out); !r) return install_failed(r.error());
    auto err = open_descriptions.insert_capture();
    if (!err) return install_failed(err.error());
    mark_host_capture(open_descriptions, *err);
    started.err_capture = *err;
    if (auto r = install_active_descriptor(2, *err); !r) return install_failed(r.error());

    ProcessState& state = states.active_mut();
    if (state.program) {
        write_stderr_all("tarnwick: attempted to replace an active shell continuation\n");
        restore_action_descriptors(*this, std::move(started.saved));
        return std::unexpected(std::string("unable to start shell continuation (status 125)"));
    }
    state.program = std::move(program);

    // Tasks made ready before this action (background jobs) go first.
    if (!scheduler.run_queue().empty()) {
        expect(scheduler.running() == started.root, "active process must own the running scheduler slot");
        expect(scheduler.yield_running().has_value(), "active process must own the running scheduler slot");
        auto next = scheduler.dispatch();
        expect(next.has_value(), "runnable queue must contain valid tasks");
        expect(next->has_value(), "a runnable task was checked above");
        expect(states.select(**next).has_value(), "scheduled task must own process state");
    }
    return started;
}

std::int32_t Machine::run_until_idle(ProcessContinuation program, BytesView input, Bytes& out, Bytes& err) {
    auto started = start_action(std::move(program), input, true);
    if (!started) {
        append_charged_message(err, fmt::format("\ntarnwick: {}\n", started.error()));
        return 125;
    }
    const Pid root = started->root;

    std::int32_t status = 125;
    std::string failure;
    while (true) {
        auto report = scheduler_step(root, true);
        if (!report) {
            failure = fmt::format("tarnwick: scheduler: {}\n", report.error());
            break;
        }
        if (report->kind == StepReport::Kind::Progress) continue;
        if (report->kind == StepReport::Kind::RootFinished) {
            status = report->status;
            break;
        }
        // Idle. In real time the next event comes by itself: wait for it.
        if (pacing) {
            if (const std::optional<EventKey> next = clock.next_pending()) {
                const std::uint64_t now = host_elapsed_ns(*pacing);
                if (next->time_ns > now) {
                    const std::uint64_t wait = next->time_ns - now;
                    HostClock::system().sleep(wait / 1000000000, static_cast<std::uint32_t>(wait % 1000000000));
                }
                continue;
            }
        }
        failure = "tarnwick: all processes are blocked without an event\n";
        break;
    }

    // The action's process is made usable again before its descriptors are restored, so that
    // the next action on it starts from a clean slate.
    if (!failure.empty()) abandon_action(*this, root);
    if (states.active_pid() != root) (void)states.select(root);
    collect_action_output(*this, started->out_capture, started->err_capture, out, err);
    append_charged_message(err, failure);
    restore_action_descriptors(*this, std::move(started->saved));
    return status;
}

ActionResult Machine::run_action(std::string_view source, BytesView input) {
    ActionResult result;
    if (auto [terminated, status] = terminated_status(); terminated) {
        result.outcome = action_outcome(status);
        return result;
    }
    if (std::optional<std::int32_t> repl = py::run_python_repl_action(*this, source, result.out, result.err)) {
        result.outcome = action_outcome(*repl);
        return result;
    }
    std::int32_t status = 0;
    auto parsed = parse_action(*this, source);
    if (!parsed) {
        append_charged_message(result.err, parsed.error().second);
        status = parsed.error().first;
    } else {
        // The shell's first step takes $? from the previous action's status.
        status = run_until_idle(shell_program_continuation(std::move(*parsed), false), input, result.out, result.err);
        states.active_mut().last_status = status;
    }
    if (std::optional<std::int32_t> exited = shell_exit_status(*this, states.active_pid())) status = *exited;
    result.outcome = action_outcome(status);
    return result;
}

}  // namespace tw
