// The executor's core: the continuation's stack discipline (push, reserve, abort), the step
// driver's contract for shell processes, the RunCommand dispatch on the kind of command, and the
// frames of statuses and traps.
#include "shell/exec.h"

#include <fmt/format.h>

#include "base/panic.h"
#include "base/sat.h"
#include "kernel/machine.h"
#include "shell/exec_internal.h"
#include "shell/parser.h"
#include "shell/variables.h"

namespace tw {

using namespace exec_detail;

namespace {

constexpr std::string_view kFrameLimitMessage = "tarnwick: shell continuation frame limit exceeded\n";

// The parsed action of a trap: parsed when set, or parsed now from its text.
ShellCommandPtr trap_action(const Trap& trap) {
    if (trap.is_ignore()) return nullptr;
    if (ShellCommandPtr tree = trap_parsed_tree(trap)) return tree;
    auto parsed = shell_parse(trap.text);
    return parsed ? *parsed : nullptr;
}

}  // namespace

// ---- helpers shared by the executor's files ----

namespace exec_detail {

bool Exec::should_unwind() {
    if (m.meter.stop_reason()) return true;
    const ProcessState& s = st();
    return s.exit_requested || s.return_requested || s.pending_break > 0 || s.pending_continue > 0;
}

bool Exec::has_pending_error() {
    const ProcessState& s = st();
    return s.pending_error && s.pending_error->message;
}

void Exec::report_pending_error() {
    ProcessState& s = st();
    if (!s.pending_error) return;
    PendingError error = std::move(*s.pending_error);
    s.pending_error.reset();
    if (error.message) diag(*error.message);
    c.status = error.status;
    if (error.fatal) {
        ProcessState& again = st();
        again.exit_requested = true;
        again.exit_status = error.status;
    }
}

std::uint32_t depth_up(std::uint32_t depth) { return depth == UINT32_MAX ? depth : depth + 1; }
std::uint32_t depth_down(std::uint32_t depth) { return depth == 0 ? 0 : depth - 1; }

std::uint64_t positional_params_size(const std::vector<std::string>& params) {
    std::uint64_t total = 0;
    for (const std::string& p : params) total = sat_add(total, sat_add(p.size(), 48));
    return total;
}

std::uint64_t restore_list_size(const RestoreList& list) {
    std::uint64_t total = 0;
    for (const RestoreEntry& e : list) {
        total = sat_add(total, sat_add(e.name.size(), 48));
        if (e.value) total = sat_add(total, sat_add(e.value->size(), 48));
    }
    return total;
}

void set_pipestatus(ProcessState& state, const std::int32_t* statuses, std::size_t count) {
    // The common case, one status replacing one status, updates the element in place.
    if (count == 1) {
        auto it = state.arrays.find("PIPESTATUS");
        if (it != state.arrays.end()) {
            if (auto* indexed = std::get_if<ShellArray::Indexed>(&it->second.value);
                indexed && indexed->elements.size() == 1 && indexed->elements.begin()->first == 0) {
                std::string& value = indexed->elements.begin()->second;
                state.arrays_size = sat_sub(state.arrays_size, value.size());
                value = std::to_string(statuses[0]);
                state.arrays_size = sat_add(state.arrays_size, value.size());
                return;
            }
        }
    }
    ShellArray::Indexed indexed;
    for (std::size_t i = 0; i < count; ++i) indexed.elements.emplace(i, std::to_string(statuses[i]));
    store_array(state, "PIPESTATUS", ShellArray{std::move(indexed)});
}

}  // namespace exec_detail

// ---- the continuation ----

ShellContinuation ExecFrame::program_stack(ShellCommandPtr command) {
    ShellContinuation c;
    c.frames.reserve(8);
    c.frames.emplace_back(frame::RunCommand{std::move(command)});
    return c;
}

ShellContinuation ShellContinuation::for_program(ShellCommandPtr command) {
    ShellContinuation c = ExecFrame::program_stack(std::move(command));
    c.tail_exec_allowed = true;
    return c;
}

bool ShellContinuation::push(Machine& machine, ExecFrame frame) {
    if (frames.size() >= kMaxShellFrames) {
        machine.write_stderr_all(kFrameLimitMessage);
        status = 2;
        abort(machine);
        return false;
    }
    frames.push_back(std::move(frame));
    return true;
}

bool ShellContinuation::reserve_frames(Machine& machine, std::size_t n) {
    if (frames.size() + n <= kMaxShellFrames) return true;
    machine.write_stderr_all(kFrameLimitMessage);
    status = 2;
    abort(machine);
    return false;
}

namespace {

// What ShellContinuation::abort undoes for each dropped frame.
struct Cleanup {
    Machine& m;
    ProcessState& st() { return m.states.active_mut(); }
    void restore(const RestoreList& list) {
        if (!list.empty()) restore_variables(st(), list);
    }
    void condition() { st().condition_depth = depth_down(st().condition_depth); }

    void operator()(frame::RunOutputSubstitutions& f) {
        for (const auto& [path, _] : f.entries) remove_files(m, {path});
    }
    void operator()(frame::AwaitOutputSubstitution& f) {
        for (const auto& [path, _] : f.entries) remove_files(m, {path});
    }
    void operator()(frame::RemoveTempFiles& f) { remove_files(m, f.paths); }
    void operator()(frame::AndOrRest&) { condition(); }
    void operator()(frame::NegateStatus&) { condition(); }
    void operator()(frame::IfConditionDone&) { condition(); }
    void operator()(frame::LoopConditionDone&) { condition(); }
    void operator()(frame::LeaveLoop&) { st().loop_depth = depth_down(st().loop_depth); }
    void operator()(frame::RestoreDescriptors& f) { restore_saved_descriptors(m, f.saved); }
    void operator()(frame::FunctionReturn& f) { unwind_function_call(m, f); }
    void operator()(frame::EndEval& f) { restore(f.restore); }
    void operator()(frame::EndSource& f) {
        ProcessState& s = st();
        s.source_depth = depth_down(s.source_depth);
        s.return_requested = false;
        restore(f.restore);
    }
    void operator()(frame::EndSignalTrap&) { st().in_trap_handler = false; }
    void operator()(frame::EndErrTrap&) { st().in_err_trap = false; }
    // Frames that hold prefix assignments, substitution markers or charged input give them
    // back too, so that nothing of a dropped command stays behind.
    void operator()(frame::PrepareSimple& f) {
        remove_substitution_files(m, f.state);
        restore(f.state.restore);
    }
    void operator()(frame::ExpandAndRun& f) { restore(f.restore); }
    void operator()(frame::ForWords& f) { restore(f.restore); }
    void operator()(frame::CaseMatch& f) { restore(f.restore); }
    void operator()(frame::PrefetchInput& f) {
        m.meter.release_memory(f.charged);
        restore(f.restore);
    }
    void operator()(frame::WriteBuiltinOutput& f) { restore(f.restore); }
    void operator()(frame::ResumeBuiltin& f) { restore(f.restore); }
    // A substitution child keeps running; the shell's hold on its capture goes.
    void release_capture(std::uint32_t capture) { (void)m.open_descriptions.release(capture); }
    void operator()(frame::AwaitCommandSubstitution& f) {
        release_capture(f.capture);
        remove_substitution_files(m, f.state);
        restore(f.state.restore);
    }
    void operator()(frame::AwaitProcessSubstitution& f) {
        release_capture(f.capture);
        remove_substitution_files(m, f.state);
        restore(f.state.restore);
    }
    void operator()(frame::AwaitForSubstitution& f) {
        release_capture(f.capture);
        restore(f.payload.restore);
    }
    void operator()(frame::AwaitCaseSubstitution& f) {
        release_capture(f.capture);
        restore(f.payload.restore);
    }
    void operator()(frame::AwaitArithSubstitution& f) { release_capture(f.capture); }
    template <class T>
    void operator()(T&) {}
};

}  // namespace

void ShellContinuation::abort(Machine& machine) {
    Cleanup cleanup{machine};
    while (!frames.empty()) {
        ExecFrame top = std::move(frames.back());
        frames.pop_back();
        std::visit(cleanup, top.node);
    }
}

ProcessContinuation shell_program(ShellContinuation continuation) {
    return ExtensionProgram(std::make_unique<ShellProgram>(std::move(continuation)));
}

ShellContinuation* shell_continuation_of(ProcessContinuation& program) {
    auto* extension = std::get_if<ExtensionProgram>(&program);
    if (extension == nullptr) return nullptr;
    auto* shell = extension->as<ShellProgram>();
    return shell ? &shell->continuation() : nullptr;
}

const ShellContinuation* shell_continuation_of(const ProcessContinuation& program) {
    const auto* extension = std::get_if<ExtensionProgram>(&program);
    if (extension == nullptr) return nullptr;
    const auto* shell = extension->as<ShellProgram>();
    return shell ? &shell->continuation() : nullptr;
}

ProcessContinuation shell_program_continuation(ShellCommandPtr program, bool separate_instance) {
    return shell_program(separate_instance ? ShellContinuation::for_program(std::move(program))
                                           : ExecFrame::program_stack(std::move(program)));
}

ProcessContinuation shell_stdin_continuation() {
    ShellContinuation c;
    c.frames.emplace_back(frame::ReadScriptInput{});
    return shell_program(std::move(c));
}

ProcessContinuation shell_words_continuation(std::vector<std::string> argv) {
    return shell_program(
        ShellContinuation::for_program(make_shell_command(ShellCommand::Words{std::move(argv)})));
}

// ---- the program ----

ProgramStep ShellProgram::step(Machine& machine) { return step_shell(machine, continuation_); }

std::unique_ptr<ProgramImpl> ShellProgram::clone() const { return std::make_unique<ShellProgram>(continuation_); }

namespace {

// What ShellProgram::cancel_wait gives back for each dropped frame.
struct Release {
    Machine& m;
    void operator()(frame::RestoreDescriptors& f) { discard_saved_descriptors(m, f.saved); }
    void operator()(frame::PrefetchInput& f) {
        m.meter.release_memory(f.charged);
        f.charged = 0;
    }
    void operator()(frame::AwaitCommandSubstitution& f) {
        (void)m.open_descriptions.release(f.capture);
        remove_substitution_files(m, f.state);
    }
    void operator()(frame::AwaitProcessSubstitution& f) {
        (void)m.open_descriptions.release(f.capture);
        remove_substitution_files(m, f.state);
    }
    void operator()(frame::AwaitForSubstitution& f) { (void)m.open_descriptions.release(f.capture); }
    void operator()(frame::AwaitCaseSubstitution& f) { (void)m.open_descriptions.release(f.capture); }
    void operator()(frame::AwaitArithSubstitution& f) { (void)m.open_descriptions.release(f.capture); }
    void operator()(frame::PrepareSimple& f) { remove_substitution_files(m, f.state); }
    void operator()(frame::RemoveTempFiles& f) { remove_files(m, f.paths); }
    void operator()(frame::RunOutputSubstitutions& f) {
        for (const auto& [path, _] : f.entries) remove_files(m, {path});
    }
    void operator()(frame::AwaitOutputSubstitution& f) {
        for (const auto& [path, _] : f.entries) remove_files(m, {path});
    }
    template <class T>
    void operator()(T&) {}
};

}  // namespace

void ShellProgram::cancel_wait(Machine& machine) {
    Release release{machine};
    while (!continuation_.frames.empty()) {
        ExecFrame top = std::move(continuation_.frames.back());
        continuation_.frames.pop_back();
        std::visit(release, top.node);
    }
}

Result<void, std::string> ShellProgram::run_signal_handler(Machine& machine, const Trap& trap) {
    ShellContinuation& c = continuation_;
    ShellCommandPtr action = trap_action(trap);
    if (!action || !c.reserve_frames(machine, 2)) {
        machine.states.active_mut().in_trap_handler = false;
        return {};
    }
    c.frames.emplace_back(frame::EndSignalTrap{c.status});
    c.frames.emplace_back(frame::RunCommand{std::move(action)});
    return {};
}

namespace {

bool immediate(const ExecFrame& frame) { return frame.is<frame::SetPipeStatus>() || frame.is<frame::ErrTrapCheck>(); }

}  // namespace

ProgramStep step_shell(Machine& machine, ShellContinuation& c) {
    c.wait_for_child = false;
    c.yield_now = false;
    c.pending_result.reset();
    if (!c.started) {
        // A subshell, pipeline stage or substitution starts with the $? of the shell it was
        // copied from; so does an action with the status of the one before it.
        c.started = true;
        c.status = machine.states.active().last_status;
    }

    if (c.frames.empty()) {
        if (!c.exit_trap_done) {
            c.exit_trap_done = true;
            ProcessState& st = machine.states.active_mut();
            const bool exit_requested = st.exit_requested;
            const std::int32_t exit_status = st.exit_status;
            st.exit_requested = false;
            if (exit_requested) c.exited = true;
            std::optional<Trap> trap = std::move(st.exit_trap);
            st.exit_trap.reset();
            // An exit that was requested decides the status, whatever the unwinding left.
            if (exit_requested) c.status = exit_status;
            if (trap) {
                if (ShellCommandPtr action = trap_action(*trap)) {
                    c.frames.emplace_back(frame::EndExitTrap{c.status});
                    c.frames.emplace_back(frame::RunCommand{std::move(action)});
                    return ProgramStep::yield();
                }
            }
        } else {
            ProcessState& st = machine.states.active_mut();
            if (st.exit_requested) {
                c.status = st.exit_status;
                st.exit_requested = false;
                c.exited = true;
            }
        }
        return ProgramStep::finished(c.status);
    }

    {
        ExecFrame top = std::move(c.frames.back());
        c.frames.pop_back();
        machine.exec_step(c, std::move(top));
    }
    while (!c.frames.empty() && immediate(c.frames.back())) {
        ExecFrame top = std::move(c.frames.back());
        c.frames.pop_back();
        machine.exec_step(c, std::move(top));
    }
    // The process may have changed while the step ran (a child created with the parent
    // suspended is active then); $? belongs to this continuation's process.
    if (!c.wait_for_child) machine.states.active_mut().last_status = c.status;

    if (c.replaced) return ProgramStep::replaced();
    if (c.wait_for_child) return ProgramStep::wait_child();
    if (c.yield_now) return ProgramStep::yield();
    if (c.pending_result) {
        WaitReason reason = std::move(*c.pending_result);
        c.pending_result.reset();
        return ProgramStep::blocked(std::move(reason));
    }
    if (c.frames.empty()) {
        ProcessState& st = machine.states.active_mut();
        if (!c.exit_trap_done && st.exit_trap) return ProgramStep::yield();
        if (st.exit_requested) {
            c.status = st.exit_status;
            st.exit_requested = false;
            c.exited = true;
        }
        c.exit_trap_done = true;
        return ProgramStep::finished(c.status);
    }
    return ProgramStep::yield();
}

void reset_shell_requests(ProcessState& state) {
    state.exit_requested = false;
    state.exit_status = 0;
    state.return_requested = false;
    state.return_status = 0;
    state.pending_break = 0;
    state.pending_continue = 0;
    state.loop_depth = 0;
    state.source_depth = 0;
    state.condition_depth = 0;
    state.in_err_trap = false;
    state.in_trap_handler = false;
    state.pending_error.reset();
}

void abandon_shell_continuation(Machine& machine, ShellContinuation& continuation) {
    continuation.abort(machine);
    continuation.pending_result.reset();
    continuation.wait_for_child = false;
    continuation.yield_now = false;
    reset_shell_requests(machine.states.active_mut());
}

// ---- labels ----

std::string job_text(const ShellCommand& command) {
    const auto* simple = command.as<ShellCommand::Simple>();
    if (simple == nullptr) return "<job>";
    std::string text;
    for (const std::string& word : simple->words) {
        if (!text.empty()) text.push_back(' ');
        text += word;
    }
    return text;
}

// ---- the machine's part ----

void Machine::release_command_memory() {
    ProcessState& st = states.active_mut();
    if (st.expansion_charge == 0) return;
    meter.release_memory(st.expansion_charge);
    st.expansion_charge = 0;
}

bool Machine::recharge_shell_state_memory() {
    ProcessState& st = states.active_mut();
    const std::uint64_t size = st.modeled_size();
    const std::uint64_t growth = size > st.state_size_baseline ? size - st.state_size_baseline : 0;
    if (growth == st.shell_state_charge) return true;
    if (growth > st.shell_state_charge) {
        if (!meter.charge_memory(growth - st.shell_state_charge)) return false;
    } else {
        meter.release_memory(st.shell_state_charge - growth);
    }
    st.shell_state_charge = growth;
    return true;
}

void Machine::write_stderr_all(BytesView bytes) {
    bytes = bytes.substr(0, charge_message_output(bytes.size()));
    while (!bytes.empty()) {
        auto written = write_fd(2, bytes);
        if (!written || written->blocked() || written->written == 0) return;
        bytes.remove_prefix(std::min<std::uint64_t>(written->written, bytes.size()));
    }
}

void Machine::restore_descriptor_table(DescriptorTable saved) {
    ProcessState& st = states.active_mut();
    const std::vector<PipeEndpoint> ends = st.descriptors.pipe_ends(open_descriptions);
    st.descriptors.close_all(open_descriptions);
    st.descriptors = std::move(saved);
    for (const PipeEndpoint& end : ends) wake_pipe_waiters(end.pipe, end.wake_end());
    wake_lock_waiters();
    prune_pipe_charges();
    drop_unreferenced_orphans();
    refresh_open_fds(st.pid);
}

// ---- RunCommand and the frames of statuses and traps ----

namespace exec_detail {
namespace {

void run_command(Exec& x, frame::RunCommand& f) {
    Machine& m = x.m;
    ShellContinuation& c = x.c;
    m.release_command_memory();
    if (!m.meter.charge_cpu(10) || !m.recharge_shell_state_memory()) {
        c.status = 137;
        return;
    }
    if (x.should_unwind()) {
        c.status = x.st().last_status;
        return;
    }
    const ShellCommandPtr& node = f.command;
    const ShellCommand& cmd = *node;
    using SC = ShellCommand;
    if (cmd.is<SC::Simple>() || cmd.is<SC::Subshell>() || cmd.is<SC::Arith>()) {
        if (!x.reserve(3)) return;
        c.frames.emplace_back(frame::ErrTrapCheck{});
        c.frames.emplace_back(frame::SetPipeStatus{});
    } else if (cmd.is<SC::Pipeline>()) {
        if (!x.push(frame::ErrTrapCheck{})) return;
    }

    if (const auto* simple = cmd.as<SC::Simple>()) {
        c.suppress_errexit = false;
        SimpleState state;
        state.assignments = simple->assignments;
        state.words = simple->words;
        state.redirections = simple->redirections;
        c.frames.emplace_back(frame::PrepareSimple{std::move(state)});
    } else if (const auto* words = cmd.as<SC::Words>()) {
        c.suppress_errexit = false;
        run_command_words(x, words->words, {}, true);
    } else if (cmd.is<SC::Pipeline>()) {
        c.suppress_errexit = false;
        start_pipeline(x, node);
    } else if (const auto* both = cmd.as<SC::And>()) {
        if (!x.reserve(2)) return;
        x.st().condition_depth = depth_up(x.st().condition_depth);
        c.frames.emplace_back(frame::AndOrRest{both->right, true});
        c.frames.emplace_back(frame::RunCommand{both->left});
    } else if (const auto* either = cmd.as<SC::Or>()) {
        if (!x.reserve(2)) return;
        x.st().condition_depth = depth_up(x.st().condition_depth);
        c.frames.emplace_back(frame::AndOrRest{either->right, false});
        c.frames.emplace_back(frame::RunCommand{either->left});
    } else if (const auto* list = cmd.as<SC::List>()) {
        // $? keeps its value until the first item ends; only an empty list sets it.
        if (list->items.empty()) c.status = 0;
        x.push(frame::ListNext{node, 0});
    } else if (const auto* background = cmd.as<SC::Background>()) {
        start_background(x, background->body);
    } else if (const auto* subshell = cmd.as<SC::Subshell>()) {
        c.suppress_errexit = false;
        start_subshell(x, subshell->body);
    } else if (const auto* group = cmd.as<SC::BraceGroup>()) {
        x.push(frame::RunCommand{group->body});
    } else if (cmd.is<SC::If>()) {
        x.push(frame::IfBranch{node, 0});
    } else if (const auto* loop = cmd.as<SC::For>()) {
        if (!x.reserve(2)) return;
        x.st().loop_depth = depth_up(x.st().loop_depth);
        c.frames.emplace_back(frame::LeaveLoop{});
        c.frames.emplace_back(frame::ForWords{loop->name, loop->words, {}, loop->body});
    } else if (const auto* arith_for = cmd.as<SC::ArithFor>()) {
        if (!x.reserve(2)) return;
        x.st().loop_depth = depth_up(x.st().loop_depth);
        c.frames.emplace_back(frame::LeaveLoop{});
        c.frames.emplace_back(frame::ArithStep{arith_for->init, 1, 0, node});
    } else if (cmd.is<SC::Loop>()) {
        // A loop whose body never runs ends with 0 (the saved status); $? is untouched until then.
        if (!x.reserve(2)) return;
        x.st().loop_depth = depth_up(x.st().loop_depth);
        c.frames.emplace_back(frame::LeaveLoop{});
        c.frames.emplace_back(frame::LoopTest{node, 0});
    } else if (const auto* case_ = cmd.as<SC::Case>()) {
        frame::CaseMatch match{node, case_->word, {}, {}};
        match.patterns.reserve(case_->arms.size());
        for (const CaseArm& arm : case_->arms) match.patterns.push_back(arm.patterns);
        x.push(std::move(match));
    } else if (const auto* def = cmd.as<SC::FunctionDef>()) {
        define_shell_function(x.st(), def->name, def->body);
        c.status = 0;
    } else if (const auto* arith = cmd.as<SC::Arith>()) {
        c.frames.emplace_back(frame::ArithStep{arith->expression, 0, 0, nullptr});
    } else if (const auto* negate = cmd.as<SC::Not>()) {
        if (!x.reserve(2)) return;
        x.st().condition_depth = depth_up(x.st().condition_depth);
        c.frames.emplace_back(frame::NegateStatus{});
        c.frames.emplace_back(frame::RunCommand{negate->body});
    } else if (const auto* timed = cmd.as<SC::Time>()) {
        if (!x.reserve(2)) return;
        c.frames.emplace_back(frame::TimeReport{m.clock.now_ns(), sat_mul(m.meter.cpu_used(), 1000), timed->posix});
        c.frames.emplace_back(frame::RunCommand{timed->body});
    } else if (const auto* redirected = cmd.as<SC::Redirected>()) {
        SimpleState state;
        state.redirections = redirected->redirections;
        state.body = redirected->body;
        x.push(frame::PrepareSimple{std::move(state)});
    }
}

void err_trap_check(Exec& x) {
    ShellContinuation& c = x.c;
    {
        const ProcessState& s = x.st();
        if (c.status == 0 || s.condition_depth != 0 || c.suppress_errexit || s.in_err_trap || !s.err_trap_enabled ||
            !s.err_trap)
            return;
    }
    if (x.should_unwind()) return;
    ShellCommandPtr action = trap_action(*x.st().err_trap);
    if (!action || !x.reserve(2)) return;
    x.st().in_err_trap = true;
    c.frames.emplace_back(frame::EndErrTrap{c.status, c.suppress_errexit});
    c.frames.emplace_back(frame::RunCommand{std::move(action)});
}

}  // namespace
}  // namespace exec_detail

namespace exec_detail {
namespace {

struct Visitor {
    Exec& x;
    void operator()(frame::RunCommand& f) { run_command(x, f); }
    void operator()(frame::SetPipeStatus&) { set_pipestatus(x.st(), &x.c.status, 1); }
    void operator()(frame::ErrTrapCheck&) { err_trap_check(x); }
    void operator()(frame::EndErrTrap& f) {
        ProcessState& s = x.st();
        s.in_err_trap = false;
        x.c.status = s.exit_requested ? s.exit_status : f.saved;
        x.c.suppress_errexit = f.saved_suppress;
    }
    void operator()(frame::EndSignalTrap& f) {
        x.st().in_trap_handler = false;
        x.c.status = f.saved;
    }
    void operator()(frame::EndExitTrap& f) {
        ProcessState& s = x.st();
        if (s.exit_requested) x.c.exited = true;
        x.c.status = s.exit_requested ? s.exit_status : f.saved;
        s.exit_requested = false;
    }
    template <class T>
    void operator()(T& f) {
        resume(x, f);
    }
};

}  // namespace
}  // namespace exec_detail

void Machine::exec_step(ShellContinuation& continuation, ExecFrame frame) {
    Exec x{*this, continuation};
    std::visit(Visitor{x}, frame.node);
}

}  // namespace tw
