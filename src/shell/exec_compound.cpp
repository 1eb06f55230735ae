// Frames of the control structures: lists and errexit, && || !, pipelines, if, while/until,
// for, the arithmetic for and (( )), case, shell function calls, subshells, background jobs and
// time. Each construct pushes the frame that decides what comes next and then the part to run,
// so the part runs first and the decision is resumed afterwards.
#include <fmt/format.h>

#include "base/panic.h"
#include "base/sat.h"
#include "kernel/machine.h"
#include "shell/arith.h"
#include "shell/exec.h"
#include "shell/exec_internal.h"
#include "shell/expand.h"
#include "shell/variables.h"

namespace tw::exec_detail {

namespace {

using SC = ShellCommand;

// Ends one loop level when a break is pending; lowers a pending continue. True when the loop
// goes on with its next iteration.
bool loop_continues(Exec& x) {
    ProcessState& s = x.st();
    if (s.pending_break > 0) {
        --s.pending_break;
        return false;
    }
    if (s.pending_continue > 0) --s.pending_continue;
    return !x.should_unwind();
}

void lower_condition(Exec& x) { x.st().condition_depth = depth_down(x.st().condition_depth); }

}  // namespace

// ---- lists, && || ! ----

void resume(Exec& x, frame::ListNext& f) {
    ShellContinuation& c = x.c;
    const auto& items = f.node->as<SC::List>()->items;
    if (f.next > 0) {
        if (x.should_unwind()) return;
        ProcessState& s = x.st();
        if (c.status != 0 && s.options.errexit && s.condition_depth == 0 && !c.suppress_errexit) {
            s.exit_requested = true;
            s.exit_status = c.status;
            return;
        }
    }
    if (f.next >= items.size()) return;
    // The last item needs no frame after it: a failing last item does not trigger errexit here.
    const ShellCommandPtr& item = items[f.next];
    if (f.next + 1 < items.size()) {
        if (!x.reserve(2)) return;
        ShellCommandPtr node = std::move(f.node);
        const std::size_t next = f.next + 1;
        c.frames.emplace_back(frame::ListNext{node, next});
        c.frames.emplace_back(frame::RunCommand{node->as<SC::List>()->items[next - 1]});
        return;
    }
    x.push(frame::RunCommand{item});
}

void resume(Exec& x, frame::AndOrRest& f) {
    lower_condition(x);
    ShellContinuation& c = x.c;
    const bool runs = (c.status == 0) == f.is_and;
    if (x.should_unwind()) return;
    if (runs) {
        c.suppress_errexit = false;
        x.push(frame::RunCommand{std::move(f.right)});
    } else {
        c.suppress_errexit = true;
    }
}

void resume(Exec& x, frame::NegateStatus&) {
    lower_condition(x);
    x.c.status = x.c.status == 0 ? 1 : 0;
    x.c.suppress_errexit = true;
}

// ---- if ----

namespace {

std::size_t if_branch_count(const SC::If& node) { return 1 + node.elif_branches.size(); }
const ShellCommandPtr& if_condition(const SC::If& node, std::size_t i) {
    return i == 0 ? node.condition : node.elif_branches[i - 1].condition;
}
const ShellCommandPtr& if_body(const SC::If& node, std::size_t i) {
    return i == 0 ? node.then_branch : node.elif_branches[i - 1].branch;
}

}  // namespace

void resume(Exec& x, frame::IfBranch& f) {
    const auto& node = *f.node->as<SC::If>();
    if (f.index < if_branch_count(node)) {
        if (!x.reserve(2)) return;
        x.st().condition_depth = depth_up(x.st().condition_depth);
        const ShellCommandPtr& condition = if_condition(node, f.index);
        x.c.frames.emplace_back(frame::IfConditionDone{f.node, f.index});
        x.c.frames.emplace_back(frame::RunCommand{condition});
        return;
    }
    if (node.else_branch) {
        x.push(frame::RunCommand{node.else_branch});
    } else {
        x.c.status = 0;
    }
}

void resume(Exec& x, frame::IfConditionDone& f) {
    lower_condition(x);
    if (x.should_unwind()) return;
    const auto& node = *f.node->as<SC::If>();
    if (x.c.status == 0) {
        x.push(frame::RunCommand{if_body(node, f.index)});
    } else {
        x.push(frame::IfBranch{std::move(f.node), f.index + 1});
    }
}

// ---- while and until ----

void resume(Exec& x, frame::LoopTest& f) {
    if (x.should_unwind()) {
        x.c.status = f.saved;
        return;
    }
    if (!x.reserve(2)) return;
    x.st().condition_depth = depth_up(x.st().condition_depth);
    const ShellCommandPtr& condition = f.node->as<SC::Loop>()->condition;
    x.c.frames.emplace_back(frame::LoopConditionDone{f.node, f.saved});
    x.c.frames.emplace_back(frame::RunCommand{condition});
}

void resume(Exec& x, frame::LoopConditionDone& f) {
    lower_condition(x);
    // A break or continue run by the condition itself belongs to this loop.
    ProcessState& s = x.st();
    if (s.pending_break > 0) {
        --s.pending_break;
        return;
    }
    if (s.pending_continue > 0) {
        --s.pending_continue;
        if (x.should_unwind()) {
            x.c.status = f.saved;
            return;
        }
        x.push(frame::LoopTest{std::move(f.node), f.saved});
        return;
    }
    const auto& loop = *f.node->as<SC::Loop>();
    const bool ends = loop.until ? x.c.status == 0 : x.c.status != 0;
    if (ends || x.should_unwind()) {
        x.c.status = f.saved;
        return;
    }
    if (!x.reserve(2)) return;
    const ShellCommandPtr& body = loop.body;
    x.c.frames.emplace_back(frame::LoopBodyDone{f.node});
    x.c.frames.emplace_back(frame::RunCommand{body});
}

void resume(Exec& x, frame::LoopBodyDone& f) {
    if (!loop_continues(x)) return;
    x.push(frame::LoopTest{std::move(f.node), x.c.status});
}

void resume(Exec& x, frame::LeaveLoop&) { x.st().loop_depth = depth_down(x.st().loop_depth); }

// ---- for ----

void resume(Exec& x, frame::ForWords& f) {
    if (start_for_substitution(x, f)) return;
    if (!x.reserve(1)) return;
    std::vector<std::string> values;
    for (const std::string& word : f.words) {
        std::vector<std::string> fields = expand_words(x.m, word, true);
        for (std::string& field : fields) values.push_back(std::move(field));
    }
    if (x.has_pending_error()) {
        restore_variables(x.st(), f.restore);
        x.report_pending_error();
        return;
    }
    restore_variables(x.st(), f.restore);
    x.c.frames.emplace_back(frame::ForNext{std::move(f.name), std::move(values), std::move(f.body), 0, 0});
}

void resume(Exec& x, frame::ForNext& f) {
    if (x.should_unwind() || f.next >= f.values.size()) {
        x.c.status = f.saved;
        return;
    }
    if (!x.reserve(2)) return;
    set_variable(x.st(), f.name, f.values[f.next]);
    ShellCommandPtr body = f.body;
    x.c.frames.emplace_back(frame::ForBodyDone{std::move(f.name), std::move(f.values), std::move(f.body), f.next + 1});
    x.c.frames.emplace_back(frame::RunCommand{std::move(body)});
}

void resume(Exec& x, frame::ForBodyDone& f) {
    if (!loop_continues(x)) return;
    x.push(frame::ForNext{std::move(f.name), std::move(f.values), std::move(f.body), f.next, x.c.status});
}

// ---- (( )) and the arithmetic for ----

void resume(Exec& x, frame::ArithStep& f) {
    if (start_arith_substitution(x, f)) return;
    ShellContinuation& c = x.c;
    std::int64_t value = 1;
    if (!(f.mode == 2 && f.text.find_first_not_of(" \t\n") == std::string::npos)) {
        const std::string text = expand_arith_text(x.m, f.text);
        if (x.has_pending_error()) {
            x.report_pending_error();
            return;
        }
        auto result = arith_eval(x.st(), text, &x.m.meter);
        if (!result && result.error().refused) {
            c.status = 137;
            return;
        }
        if (!result) {
            x.diag(fmt::format("tarnwick: ((: {}\n", render_arith_error(result.error(), text)));
            c.status = 1;
            return;
        }
        value = *result;
    }
    switch (f.mode) {
        case 0: c.status = value == 0 ? 1 : 0; return;
        case 1:
            c.status = 0;
            x.push(frame::ArithForTest{std::move(f.node), 0});
            return;
        case 2: {
            if (value == 0 || x.should_unwind()) {
                c.status = f.saved;
                return;
            }
            if (!x.reserve(2)) return;
            const ShellCommandPtr& body = f.node->as<SC::ArithFor>()->body;
            c.frames.emplace_back(frame::ArithForBodyDone{f.node});
            c.frames.emplace_back(frame::RunCommand{body});
            return;
        }
        default: x.push(frame::ArithForTest{std::move(f.node), f.saved}); return;
    }
}

void resume(Exec& x, frame::ArithForTest& f) {
    if (x.should_unwind()) {
        x.c.status = f.saved;
        return;
    }
    std::string condition = f.node->as<SC::ArithFor>()->condition;
    x.push(frame::ArithStep{std::move(condition), 2, f.saved, std::move(f.node)});
}

void resume(Exec& x, frame::ArithForBodyDone& f) {
    if (!loop_continues(x)) return;
    std::string step = f.node->as<SC::ArithFor>()->step;
    x.push(frame::ArithStep{std::move(step), 3, x.c.status, std::move(f.node)});
}

// ---- case ----

void resume(Exec& x, frame::CaseMatch& f) {
    if (start_case_substitution(x, f)) return;
    if (!x.reserve(1)) return;
    ShellContinuation& c = x.c;
    const auto& node = *f.node->as<SC::Case>();
    const std::string subject = expand_word_text(x.m, f.word);
    if (x.has_pending_error()) {
        restore_variables(x.st(), f.restore);
        x.report_pending_error();
        return;
    }
    const bool caseless = x.st().shopt_enabled.contains("nocasematch");
    // The bodies to run: the first matching arm's, then after `;&` the next arm's without a
    // test, and after `;;&` the next matching arm's. The patterns are all tested before any body
    // runs.
    std::vector<ShellCommandPtr> bodies;
    bool testing = true;
    for (std::size_t arm = 0; arm < f.patterns.size(); ++arm) {
        bool selected = !testing;
        if (testing) {
            for (const std::string& raw : f.patterns[arm]) {
                const std::string pattern = expand_pattern_word(x.m, raw);
                if (x.has_pending_error()) {
                    restore_variables(x.st(), f.restore);
                    x.report_pending_error();
                    return;
                }
                auto matched = metered_pattern_match(x.m, pattern, subject, caseless);
                if (!matched) {
                    restore_variables(x.st(), f.restore);
                    c.status = 137;
                    return;
                }
                if (*matched) {
                    selected = true;
                    break;
                }
            }
        }
        if (!selected) continue;
        if (node.arms[arm].body) bodies.push_back(node.arms[arm].body);
        const CaseTerminator terminator = node.arms[arm].terminator;
        if (terminator == CaseTerminator::Break) break;
        testing = terminator == CaseTerminator::Continue;
    }
    restore_variables(x.st(), f.restore);
    c.status = 0;
    if (bodies.empty()) return;
    if (!x.reserve(bodies.size())) return;
    for (auto it = bodies.rbegin(); it != bodies.rend(); ++it) c.frames.emplace_back(frame::RunCommand{*it});
}

// ---- functions ----

void call_function(Exec& x, const ShellCommandPtr& body, std::vector<std::string> argv, RestoreList restore) {
    ProcessState& s = x.st();
    std::vector<std::string> params;
    params.reserve(argv.size() > 0 ? argv.size() - 1 : 0);
    for (std::size_t i = 1; i < argv.size(); ++i) params.push_back(std::move(argv[i]));
    const std::uint64_t params_size = positional_params_size(params);
    // Handing the arguments over is work in proportion to their modeled size.
    if (!x.m.meter.charge_cpu(params_size)) {
        restore_variables(s, restore);
        x.c.status = 137;
        return;
    }
    std::vector<std::string> caller_params = s.positional_params.take();
    s.positional_params = std::move(params);
    params = std::move(caller_params);
    const std::uint64_t saved_size = s.positional_size;
    s.positional_size = params_size;
    if (!x.reserve(2)) {
        ProcessState& again = x.st();
        again.positional_params = std::move(params);
        again.positional_size = saved_size;
        restore_variables(again, restore);
        return;
    }
    ProcessState& t = x.st();
    const std::uint64_t call_size = sat_add(saved_size, restore_list_size(restore));
    t.call_saved_size = sat_add(t.call_saved_size, call_size);
    t.local_scopes.emplace_back();
    const bool saved_flag = t.err_trap_enabled;
    t.err_trap_enabled = saved_flag && t.options.errtrace;
    x.c.frames.emplace_back(frame::FunctionReturn{std::move(params), saved_size, std::move(restore), saved_flag, call_size});
    x.c.frames.emplace_back(frame::RunCommand{body});
}

void unwind_function_call(Machine& m, frame::FunctionReturn& f) {
    ProcessState& s = m.states.active_mut();
    s.err_trap_enabled = f.saved_err_trap_enabled;
    if (!s.local_scopes.empty()) {
        std::map<std::string, SavedVariable> scope = std::move(s.local_scopes.back());
        s.local_scopes.pop_back();
        for (auto& [name, saved] : scope) {
            s.local_saved_size = sat_sub(s.local_saved_size, saved_variable_size(saved, name.size()));
            remove_variable(s, name);
            remove_array(s, name);
            s.exported_names.erase(name);
            if (saved.scalar) s.store_variable(name, std::move(*saved.scalar));
            if (saved.array) store_array(s, name, std::move(*saved.array));
            if (saved.exported) s.export_variable(name);
        }
    }
    s.call_saved_size = sat_sub(s.call_saved_size, f.call_size);
    s.positional_params = std::move(f.saved_params);
    s.positional_size = f.saved_params_size;
    restore_variables(s, f.restore);
}

void resume(Exec& x, frame::FunctionReturn& f) {
    ProcessState& s = x.st();
    // The body's status, unless a return decides it. The return request is taken before the
    // restore list is restored (which cannot raise one).
    if (s.return_requested) {
        s.return_requested = false;
        x.c.status = s.return_status;
    }
    unwind_function_call(x.m, f);
}

// ---- pipelines ----

namespace {

void release_pipes(Machine& m, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& pipes) {
    for (const auto& [read, write] : pipes) {
        m.open_descriptions.release_if_unused(read);
        m.open_descriptions.release_if_unused(write);
    }
    m.prune_pipe_charges();
}

}  // namespace

void start_pipeline(Exec& x, const ShellCommandPtr& node) {
    Machine& m = x.m;
    ShellContinuation& c = x.c;
    const auto& stages = node->as<SC::Pipeline>()->stages;
    const std::size_t n = stages.size();
    if (n == 0) {
        c.status = 0;
        return;
    }
    if (!x.reserve(1)) return;

    auto fail = [&](std::string_view text) {
        x.diag(fmt::format("tarnwick: pipeline: {}\n", text));
        c.status = 125;
    };

    std::vector<std::pair<std::uint32_t, std::uint32_t>> pipes;
    pipes.reserve(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i) {
        auto pipe = m.open_descriptions.create_pipe();
        if (!pipe) {
            release_pipes(m, pipes);
            fail(error_text(pipe.error()));
            return;
        }
        pipes.push_back(*pipe);
    }

    std::vector<Pid> pids;
    pids.reserve(n);
    auto undo = [&](std::string_view text) {
        for (Pid pid : pids) m.reclaim_process_state(pid);
        release_pipes(m, pipes);
        fail(text);
    };
    for (std::size_t i = 0; i < n; ++i) {
        auto child = m.create_child_process(job_text(*stages[i]), false, false, false, GroupMode::Inherit);
        if (!child) {
            undo(child.error());
            return;
        }
        pids.push_back(*child);
        if (i > 0) {
            if (auto r = m.install_descriptor(*child, 0, pipes[i - 1].first); !r) {
                undo(error_text(r.error()));
                return;
            }
        }
        if (i + 1 < n) {
            if (auto r = m.install_descriptor(*child, 1, pipes[i].second); !r) {
                undo(error_text(r.error()));
                return;
            }
        }
        expect(m.states.set_program(*child, shell_program(ShellContinuation::for_program(stages[i]))).has_value(),
               "new pipeline stage state must exist");
    }

    const Pid first = pids.front();
    c.frames.emplace_back(frame::AwaitPipeline{std::move(pids), {}, 0, x.st().options.pipefail});
    c.pending_result = WaitReason::child(first);
}

void resume(Exec& x, frame::AwaitPipeline& f) {
    Machine& m = x.m;
    while (f.next < f.pids.size()) {
        const Pid pid = f.pids[f.next];
        const ProcessRecord* record = m.processes.find(pid);
        if (record != nullptr && record->status != ProcessStatus::Exited) {
            x.c.pending_result = WaitReason::child(pid);
            x.c.frames.emplace_back(std::move(f));
            return;
        }
        // A record that is gone counts as a failure around the child.
        f.statuses.push_back(record != nullptr ? record->exit_code : 125);
        (void)m.processes.reap(pid);
        m.scheduler.remove_task(pid);
        ++f.next;
    }
    set_pipestatus(x.st(), f.statuses.data(), f.statuses.size());
    std::int32_t status = f.statuses.empty() ? 0 : f.statuses.back();
    if (f.pipefail) {
        status = 0;
        for (std::int32_t s : f.statuses)
            if (s != 0) status = s;
    }
    x.c.status = status;
}

// ---- subshells, background jobs, time ----

void start_subshell(Exec& x, const ShellCommandPtr& body) {
    Machine& m = x.m;
    ShellContinuation& c = x.c;
    if (!x.reserve(1)) return;
    auto child = m.create_child_process("(subshell)", false, true, false, GroupMode::Inherit);
    if (!child) {
        x.diag(fmt::format("tarnwick: {}\n", child.error()));
        c.status = 125;
        return;
    }
    c.frames.emplace_back(frame::AwaitChild{*child, true});
    expect(m.states.set_program(*child, shell_program(ExecFrame::program_stack(body))).has_value(),
           "new child process state must exist");
    c.wait_for_child = true;
}

void resume(Exec& x, frame::AwaitChild& f) {
    Machine& m = x.m;
    const ProcessRecord* record = m.processes.find(f.pid);
    if (record == nullptr) {
        x.diag(fmt::format("tarnwick: child {} disappeared\n", f.pid));
        x.c.status = 125;
        return;
    }
    if (record->status != ProcessStatus::Exited) {
        x.c.pending_result = WaitReason::child(f.pid);
        x.c.frames.emplace_back(f);
        return;
    }
    x.c.status = record->exit_code;
    if (f.reap) {
        (void)m.processes.reap(f.pid);
        m.scheduler.remove_task(f.pid);
    }
}

void start_background(Exec& x, const ShellCommandPtr& body) {
    Machine& m = x.m;
    ShellContinuation& c = x.c;
    {
        // A full job table (or process table) first forgets the jobs that have finished: a
        // script that starts many jobs and never waits must not run out of room for jobs that
        // are long gone. Their processes are reaped with them.
        if (x.st().job_table.size() >= 1024) m.forget_finished_jobs(m.states.active_pid());
        const ProcessState& s = x.st();
        if (s.job_table.size() >= 1024 || s.next_job_number == UINT32_MAX) {
            x.diag("tarnwick: job table limit exceeded\n");
            c.status = 125;
            return;
        }
    }
    const std::string label = job_text(*body);
    auto child = m.create_child_process(label, false, false, true, GroupMode::NewGroup);
    if (!child) {
        x.diag(fmt::format("tarnwick: {}\n", child.error()));
        c.status = 125;
        return;
    }
    expect(m.states.set_program(*child, shell_program(ShellContinuation::for_program(body))).has_value(),
           "new background child state must exist");
    ProcessState& s = x.st();
    JobEntry job;
    job.command = label;
    job.state = JobEntry::Running;
    job.job_id = s.next_job_number;
    job.pid = *child;
    s.job_table.push_back(std::move(job));
    ++s.next_job_number;
    set_variable(s, "!", std::to_string(*child));
    c.status = 0;
}

namespace {

std::string format_time_default(std::uint64_t ns) {
    return fmt::format("{}m{}.{:03}s", ns / 60'000'000'000ULL, (ns / 1'000'000'000ULL) % 60, (ns / 1'000'000ULL) % 1000);
}

std::string format_time_posix(std::uint64_t ns) {
    return fmt::format("{}.{:02}", ns / 1'000'000'000ULL, (ns / 10'000'000ULL) % 100);
}

}  // namespace

void resume(Exec& x, frame::TimeReport& f) {
    Machine& m = x.m;
    const std::uint64_t real = sat_sub(m.clock.now_ns(), f.start_ns);
    const std::uint64_t user = sat_sub(sat_mul(m.meter.cpu_used(), 1000), f.start_cpu);
    std::string text;
    if (f.posix) {
        text = fmt::format("real {}\nuser {}\nsys {}\n", format_time_posix(real), format_time_posix(user),
                           format_time_posix(0));
    } else {
        text = fmt::format("\nreal\t{}\nuser\t{}\nsys\t{}\n", format_time_default(real), format_time_default(user),
                           format_time_default(0));
    }
    m.write_stderr_all(text);
}

}  // namespace tw::exec_detail
