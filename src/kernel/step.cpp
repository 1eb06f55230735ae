// The process step driver: one step of a process's program, the handling of its answer, the
// teardown of a finished process, and the nested scheduler that lets a program wait for a child
// while the rest of the machine keeps running.
#include <fmt/format.h>

#include "base/panic.h"
#include "base/sat.h"
#include "base/utf8.h"
#include "kernel/io.h"
#include "kernel/machine.h"

namespace tw {
namespace {

struct PipeEnd {
    std::uint32_t pipe;
    bool write_end;
};

}  // namespace

std::string debug_text(const ProgramStep& step) {
    switch (step.kind) {
        case ProgramStep::Kind::Yield: return "Yield";
        case ProgramStep::Kind::Blocked: return fmt::format("Blocked({})", debug_text(*step.reason));
        case ProgramStep::Kind::WaitChild: return "WaitChild";
        case ProgramStep::Kind::Replaced: return "Replaced";
        case ProgramStep::Kind::Finished: return fmt::format("Finished({})", step.status);
    }
    unreachable("program step");
}

// ---- WebAssembly hooks ----

GuestStepOutcome WasmImage::step_threads(Machine& machine) {
    GuestStepOutcome outcome;
    outcome.kind = GuestStepOutcome::Kind::Finished;
    outcome.status = 126;
    outcome.diagnostic = "WebAssembly programs are not supported";
    return outcome;
}

void WasmImage::release_resources(Machine& machine) {
    if (local_charge == 0) return;
    machine.meter.release_memory(local_charge);
    local_charge = 0;
}

ProgramStep Machine::wasm_step(WasmImage& image) {
    GuestStepOutcome outcome = image.step_threads(*this);
    switch (outcome.kind) {
        case GuestStepOutcome::Kind::Continue: return ProgramStep::yield();
        case GuestStepOutcome::Kind::Blocked: return ProgramStep::blocked(std::move(*outcome.reason));
        case GuestStepOutcome::Kind::BudgetExhausted:
            image.release_resources(*this);
            return ProgramStep::finished(137);
        case GuestStepOutcome::Kind::Finished:
            image.release_resources(*this);
            return ProgramStep::finished(outcome.status);
    }
    unreachable("guest step outcome");
}

// ---- programs defined above the kernel ----

Result<void, std::string> ProgramImpl::run_signal_handler(Machine& machine, const Trap& trap) {
    return std::unexpected(std::string("native process cannot run a shell signal handler"));
}

// ---- stepping ----

ProgramStep Machine::step_process(ProcessContinuation& continuation) {
    struct Stepper {
        Machine& machine;
        ProgramStep operator()(CallbackProgram& program) const {
            expect(static_cast<bool>(program.step), "callback program has a step function");
            return program.step(machine);
        }
        ProgramStep operator()(WasmImage& image) const { return machine.wasm_step(image); }
        ProgramStep operator()(ExtensionProgram& program) const {
            expect(program.impl != nullptr, "extension program is present");
            return program.impl->step(machine);
        }
    };
    return std::visit(Stepper{*this}, continuation);
}

void Machine::cancel_program_wait(ProcessContinuation& continuation) {
    struct Canceller {
        Machine& machine;
        void operator()(CallbackProgram&) const {}
        void operator()(WasmImage& image) const { image.release_resources(machine); }
        void operator()(ExtensionProgram& program) const {
            if (program.impl) program.impl->cancel_wait(machine);
        }
    };
    std::visit(Canceller{*this}, continuation);
}

void Machine::forget_process_waits(Pid pid) { clock.forget_target(pid); }

Result<void, std::string> Machine::handle_program_step(Pid pid, ProcessContinuation continuation,
                                                       const ProgramStep& step, StepDriver driver) {
    switch (step.kind) {
        case ProgramStep::Kind::Yield: {
            if (auto r = states.set_program(pid, std::move(continuation)); !r) return r;
            if (driver == StepDriver::Host && scheduler.run_queue().empty()) return {};
            if (auto r = scheduler.yield_running(); !r) return std::unexpected(std::string(error_text(r.error())));
            return {};
        }
        case ProgramStep::Kind::Blocked: {
            if (auto r = states.set_program(pid, std::move(continuation)); !r) return r;
            if (auto r = scheduler.block_running(*step.reason); !r)
                return std::unexpected(std::string(error_text(r.error())));
            return {};
        }
        case ProgramStep::Kind::WaitChild: return states.set_program(pid, std::move(continuation));
        case ProgramStep::Kind::Replaced: cancel_program_wait(continuation); return {};
        case ProgramStep::Kind::Finished:
            invocations.finish_all(pid, step.status, meter.cpu_used(), vfs.used());
            finish_process(pid, step.status);
            return {};
    }
    unreachable("program step");
}

void Machine::terminate_by_signal(Pid pid, Signal signal) {
    processes.set_term_signal(pid, signal);
    const std::int32_t status = 128 + signal_number(signal);
    if (std::optional<ProcessContinuation> program = states.take_program(pid)) cancel_program_wait(*program);
    invocations.finish_all(pid, status, meter.cpu_used(), vfs.used());
    finish_process(pid, status);
}

Result<void, std::string> Machine::drive_process_step(Pid pid, StepDriver driver) {
    if (auto r = states.select(pid); !r) return r;

    if (std::optional<SignalDelivery> delivery = deliver_pending_signals()) {
        switch (delivery->kind) {
            case SignalDelivery::Kind::Terminate: terminate_by_signal(pid, delivery->signal); return {};
            case SignalDelivery::Kind::Stop: return stop_active_process(delivery->signal);
            case SignalDelivery::Kind::RunTrap: {
                std::optional<ProcessContinuation> program = states.take_program(pid);
                if (!program) break;  // reported below
                if (auto r = run_signal_handler(*program, delivery->trap); !r) return r;  // dropped
                if (auto r = states.set_program(pid, std::move(*program)); !r) return r;
                break;
            }
        }
    }

    std::optional<ProcessContinuation> program = states.take_program(pid);
    if (!program)
        return std::unexpected(driver == StepDriver::Host ? fmt::format("active process {} has no program", pid)
                                                          : fmt::format("scheduled process {} has no program", pid));
    const ProgramStep step = step_process(*program);
    return handle_program_step(pid, std::move(*program), step, driver);
}

// ---- finishing ----

void Machine::finish_process(Pid pid, std::int32_t status) {
    ProcessState* state = states.find_mut(pid);
    expect(state != nullptr, "active process state must exist");

    // 1.
    const std::uint64_t charges = sat_add(sat_add(state->process_charge, state->program_charge),
                                          sat_add(state->shell_state_charge, state->expansion_charge));
    const Pid ppid = state->ppid;
    const std::string cwd = state->cwd;

    // 2. Captured output goes to the run's output.
    if (state->capture_output) {
        const std::optional<std::uint32_t> out = state->descriptors.description_of(1);
        const std::optional<std::uint32_t> err = state->descriptors.description_of(2);
        if (out)
            if (auto text = open_descriptions.take_captured_output(*out)) append_bounded_output(stdout_bytes, *text);
        if (err && err != out)
            if (auto text = open_descriptions.take_captured_output(*err)) append_bounded_output(stderr_bytes, *text);
    }

    // 3. Close every descriptor. Every pipe end the process held is noted first, so that the
    // tasks waiting on any of those pipes learn that an end may be gone.
    std::vector<PipeEnd> pipe_ends;
    for (const auto& [fd, number] : state->descriptors.fds()) {
        auto description = open_descriptions.get(number);
        if (!description) continue;
        if (const auto* read = std::get_if<target::PipeRead>(&(*description)->target))
            pipe_ends.push_back({read->pipe, false});
        else if (const auto* write = std::get_if<target::PipeWrite>(&(*description)->target))
            pipe_ends.push_back({write->pipe, true});
    }
    state->descriptors.close_all(open_descriptions);
    wake_lock_waiters();
    prune_pipe_charges();
    drop_unreferenced_orphans();
    for (const PipeEnd& end : pipe_ends)
        scheduler.wake_blocked(end.write_end ? WaitReason::pipe_readable(end.pipe) : WaitReason::pipe_writable(end.pipe));

    // 4-5.
    processes.set_open_fds(pid, {});
    processes.mark_exited(pid, status, cwd);
    if (processes.running_group_members(foreground_pgid).empty()) foreground_pgid = shell_pgid;

    // 6-8.
    forget_process_waits(pid);
    if (scheduler.running() == pid) (void)scheduler.finish_running(status);
    scheduler.wake_child_waiters(pid);
    scheduler.wake_child_activity_waiters(pid);

    // 9-12. The next task takes over.
    auto next = scheduler.dispatch();
    states.erase(pid);
    ProcessState* parent = states.find_mut(ppid);
    if (parent != nullptr) {
        for (JobEntry& job : parent->job_table) {
            if (job.pid != pid) continue;
            job.state = JobEntry::Done;
            job.exit_status = static_cast<std::uint32_t>(status);
            break;
        }
    }
    if (next && *next) expect(states.select(**next).has_value(), "scheduled process state must exist");

    // 13.
    const ProcessRecord* record = processes.find(pid);
    const bool detached = record != nullptr && record->reap_on_exit;
    if (parent != nullptr) (void)send_signal(ppid, Signal::CHLD);
    if ((parent == nullptr || detached) && !python_children.contains(pid)) {
        (void)processes.reap(pid);
        scheduler.remove_task(pid);
    }

    // 14.
    meter.release_memory(charges);
}

// ---- nested runs ----

Result<bool, std::string> Machine::run_nested(Pid target, std::optional<std::uint64_t> deadline) {
    auto target_exited = [&] {
        const ProcessRecord* record = processes.find(target);
        return record != nullptr && record->status == ProcessStatus::Exited;
    };
    if (target_exited()) return true;

    const Pid caller = states.active_pid();
    if (auto r = scheduler.block_running(WaitReason::child(target)); !r)
        return std::unexpected(fmt::format("unable to suspend process {}: {}", caller, error_text(r.error())));

    auto dispatched = scheduler.dispatch();
    if (!dispatched) return std::unexpected(std::string(error_text(dispatched.error())));

    if (!*dispatched) {
        const std::optional<EventKey> next = clock.next_pending();
        if (!next) {
            if (auto r = resume_nested_caller(caller); !r) return std::unexpected(r.error());
            return std::unexpected(std::string("all child processes are blocked without a pending event"));
        }
        if (deadline && next->time_ns > *deadline) {
            if (auto r = advance_time_to(*deadline); !r) return std::unexpected(r.error());
            if (auto r = resume_nested_caller(caller); !r) return std::unexpected(r.error());
            return false;
        }
        if (auto r = advance_time_to(next->time_ns); !r) return std::unexpected(r.error());
        if (auto r = dispatch_ready_events(); !r) return std::unexpected(r.error());
        dispatched = scheduler.dispatch();
        if (!dispatched) return std::unexpected(std::string(error_text(dispatched.error())));
    }

    if (*dispatched) {
        const Pid p = **dispatched;
        if (auto r = states.select(p); !r) return std::unexpected(r.error());
        if (auto r = poll_clock(); !r) return std::unexpected(r.error());
        if (auto r = drive_process_step(p, StepDriver::Nested); !r) return std::unexpected(r.error());
    }

    if (auto r = resume_nested_caller(caller); !r) return std::unexpected(r.error());
    return target_exited();
}

Result<void, std::string> Machine::resume_nested_caller(Pid caller) {
    if (const std::optional<Pid> running = scheduler.running()) {
        if (*running == caller) return states.select(caller);
        if (auto r = scheduler.yield_running(); !r) return std::unexpected(std::string(error_text(r.error())));
    }
    if (const TaskState* task = scheduler.find_task(caller); task && task->kind() == TaskKind::Blocked) {
        if (auto r = scheduler.wake(caller); !r) return std::unexpected(std::string(error_text(r.error())));
    }
    // Pass over the tasks ahead of the caller, each to the back of the queue; they do not run.
    // One round is enough: a caller that is not in the queue (stopped meanwhile) is lost.
    for (std::size_t round = scheduler.run_queue().size(); round > 0; --round) {
        auto dispatched = scheduler.dispatch();
        if (!dispatched) return std::unexpected(std::string(error_text(dispatched.error())));
        if (!*dispatched) break;
        if (**dispatched == caller) return states.select(caller);
        if (auto r = scheduler.yield_running(); !r) return std::unexpected(std::string(error_text(r.error())));
    }
    return std::unexpected(std::string("nested scheduler lost its caller"));
}

}  // namespace tw
