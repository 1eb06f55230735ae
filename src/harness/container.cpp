// The container's request dispatcher and its action kinds: starting, polling, feeding, reading,
// cancelling and dropping actions, the tool-call answer, signals and the whole-machine view.
#include "harness/container.h"

#include <algorithm>
#include <limits>

#include <fmt/format.h>

#include "base/panic.h"
#include "base/sat.h"
#include "harness/container_files.h"
#include "kernel/tool_endpoint.h"
#include "shell/continuation.h"
#include "shell/exec.h"
#include "shell/variables.h"

namespace tw {
namespace {

using Failure = std::string;

Failure no_action(std::uint64_t id) { return fmt::format("action {} does not exist", id); }
Failure action_complete(std::uint64_t id) { return fmt::format("action {} is complete", id); }

ActionLists lists_since(const Machine& machine, const RunMarkers& marks) {
    RunMetadata metadata = RunMetadata::build(machine, RunOutcome{}, marks);
    return ActionLists{
        .invocations = std::move(metadata.invocations),
        .dropped_invocations = metadata.dropped_invocations,
        .commands = std::move(metadata.commands),
        .dropped_commands = metadata.dropped_commands,
        .unsupported = std::move(metadata.unsupported),
        .dropped_unsupported = metadata.dropped_unsupported,
        .network_requests = std::move(metadata.network_requests),
        .dropped_network_requests = metadata.dropped_network_requests,
    };
}

// Completes a record whose launch the caller has already taken out.
void finish_action(ActionRecord& record, const Machine& machine, std::int32_t status) {
    if (auto [terminated, final_status] = machine.terminated_status(); terminated) status = final_status;
    record.state = ActionState::complete(status);
    record.outcome = machine.action_outcome(status);
    record.captured = lists_since(machine, record.marks);
    record.launch.reset();
}

// The state of an action whose poll found nothing to run.
ActionState idle_state(const Machine& machine, Pid root) {
    ActionState state;
    state.kind = ActionState::Kind::Blocked;
    const TaskState* task = machine.scheduler.find_task(root);
    if (task == nullptr) return state;
    if (task->kind() == TaskKind::Blocked) {
        WaitReason reason = *task->reason();
        // A shell waiting for its child shows what the child waits for.
        for (int depth = 0; depth < 8 && reason.kind() == WaitKind::Child; ++depth) {
            const TaskState* child = machine.scheduler.find_task(reason.pid());
            if (child == nullptr || child->kind() != TaskKind::Blocked) break;
            reason = *child->reason();
        }
        state.reason = std::move(reason);
    } else if (task->kind() == TaskKind::Stopped) {
        state.kind = ActionState::Kind::Stopped;
        const ProcessRecord* record = machine.processes.find(root);
        state.signal = record != nullptr && record->status == ProcessStatus::Stopped
                           ? std::string(signal_name(record->stop_signal))
                           : std::string("STOP");
    }
    return state;
}

// ---- actions ----

Result<ActionView, Failure> start_session_action(HarnessContainer& c, std::string_view source, BytesView input,
                                                 bool close_stdin) {
    if (c.foreground_action) return std::unexpected(std::string("session already has an active foreground action"));
    if (c.actions.size() >= kMaxRetainedActions)
        return std::unexpected(fmt::format("session retained-action limit exceeded ({})", kMaxRetainedActions));
    if (c.next_action_id == std::numeric_limits<std::uint64_t>::max())
        return std::unexpected(std::string("action identifier space exhausted"));
    const std::uint64_t id = c.next_action_id++;
    Machine& machine = c.machine;

    ActionRecord record;
    record.action_id = id;
    record.root_pid = machine.states.active_pid();
    const auto& records = machine.processes.records();
    record.first_pid = records.empty() ? 1 : std::max<Pid>(records.rbegin()->first, records.rbegin()->first + 1);
    record.marks = RunMarkers::note(machine);

    auto retain = [&](ActionRecord done) {
        ActionView view = harness_action_view(done, machine);
        c.actions.emplace(id, std::move(done));
        return view;
    };

    if (auto [terminated, status] = machine.terminated_status(); terminated) {
        finish_action(record, machine, status);
        return retain(std::move(record));
    }
    auto parsed = parse_action(machine, source);
    if (!parsed) {
        machine.append_charged_message(record.err, parsed.error().second);
        finish_action(record, machine, parsed.error().first);
        return retain(std::move(record));
    }
    ProcessContinuation program = shell_program_continuation(std::move(*parsed), false);
    // $? of the new action starts as the shell's last status.
    if (ShellContinuation* shell = shell_continuation_of(program)) shell->status = machine.states.active().last_status;
    auto started = machine.start_action(std::move(program), input, close_stdin);
    if (!started) return std::unexpected(std::move(started.error()));
    record.launch = std::move(*started);
    c.foreground_action = id;
    return retain(std::move(record));
}

// Ends a running action whose root finished with `status`: output collected, the shell's
// descriptors restored, the record completed, the pending tool requests forgotten.
void complete_running(HarnessContainer& c, ActionRecord& record, StartedAction launch, std::int32_t status) {
    Machine& machine = c.machine;
    collect_action_output(machine, launch.out_capture, launch.err_capture, record.out, record.err);
    if (machine.states.active_pid() != launch.root) (void)machine.states.select(launch.root);
    restore_action_descriptors(machine, std::move(launch.saved));
    // $? of the next action is this one's status.
    machine.states.active_mut().last_status = status;
    finish_action(record, machine, status);
    c.foreground_action.reset();
    machine.broker.discard_host_requests();
}

Result<ActionView, Failure> poll_action(HarnessContainer& c, std::uint64_t id, std::uint64_t quanta, bool wait) {
    if (quanta == 0 || quanta > kMaxWorkQuanta)
        return std::unexpected(fmt::format("work_quanta must be between 1 and {}", kMaxWorkQuanta));
    auto it = c.actions.find(id);
    if (it == c.actions.end()) return std::unexpected(no_action(id));
    ActionRecord& record = it->second;
    Machine& machine = c.machine;
    if (record.complete()) return harness_action_view(record, machine);

    StartedAction launch = std::move(*record.launch);
    record.launch.reset();
    record.state = ActionState::running();
    const std::uint64_t generation = machine.display.generation;

    std::optional<std::int32_t> finished;
    for (std::uint64_t step = 0; step < quanta; ++step) {
        auto report = machine.scheduler_step(launch.root, wait);
        if (!report) {
            record.launch = std::move(launch);
            return std::unexpected(std::move(report.error()));
        }
        const bool waiting = machine.broker.has_waiting_host_request();
        purge_tool_requests(machine, record.root_pid, record.first_pid);
        if (report->kind == StepReport::Kind::Progress) {
            if (machine.display.generation != generation) break;
            continue;
        }
        if (report->kind == StepReport::Kind::Idle) {
            // Requests of processes that left the action were holding nothing: go on.
            if (waiting && !machine.broker.has_waiting_host_request()) continue;
            record.state = idle_state(machine, launch.root);
            break;
        }
        finished = report->status;
        break;
    }

    if (finished) {
        complete_running(c, record, std::move(launch), *finished);
    } else {
        collect_action_output(machine, launch.out_capture, launch.err_capture, record.out, record.err);
        record.launch = std::move(launch);
    }
    ActionView view = harness_action_view(record, machine);
    view.tool_calls = machine.broker.report_tool_calls();
    return view;
}

Result<HarnessResult, Failure> append_stdin(HarnessContainer& c, request::AppendStdin& r) {
    auto payload = harness_decode_payload(c.machine, r.data_base64);
    if (!payload) return std::unexpected(std::move(payload.error()));
    auto result = [&]() -> Result<HarnessResult, Failure> {
        auto it = c.actions.find(r.action_id);
        if (it == c.actions.end()) return std::unexpected(no_action(r.action_id));
        ActionRecord& record = it->second;
        if (record.complete()) return std::unexpected(action_complete(r.action_id));
        if (record.launch->buffered) return std::unexpected(std::string("action stdin is closed"));
        if (auto appended = c.machine.append_input(record.launch->input, payload->bytes); !appended)
            return std::unexpected(fmt::format("unable to append action stdin: {}", error_name(appended.error())));
        return Acknowledged{};
    }();
    c.machine.meter.release_memory(payload->charge);
    return result;
}

Result<void, Failure> close_stdin(Machine& machine, StartedAction& launch) {
    if (launch.buffered) return {};
    if (auto closed = machine.close_input(launch.input); !closed)
        return std::unexpected(fmt::format("unable to close action stdin: {}", error_name(closed.error())));
    launch.buffered = true;
    return {};
}

Result<HarnessResult, Failure> read_output(HarnessContainer& c, std::uint64_t id) {
    auto it = c.actions.find(id);
    if (it == c.actions.end()) return std::unexpected(no_action(id));
    ActionRecord& record = it->second;
    if (!record.complete())
        collect_action_output(c.machine, record.launch->out_capture, record.launch->err_capture, record.out,
                              record.err);
    ActionOutput output;
    output.action_id = id;
    output.out = record.out.substr(std::min<std::uint64_t>(record.out_read, record.out.size()));
    output.err = record.err.substr(std::min<std::uint64_t>(record.err_read, record.err.size()));
    record.out_read = record.out.size();
    record.err_read = record.err.size();
    output.out_closed = output.err_closed = record.complete();
    return output;
}

Result<HarnessResult, Failure> cancel_action(HarnessContainer& c, std::uint64_t id) {
    auto it = c.actions.find(id);
    if (it == c.actions.end()) return std::unexpected(no_action(id));
    ActionRecord& record = it->second;
    if (record.complete()) return std::unexpected(action_complete(id));
    Machine& machine = c.machine;

    StartedAction launch = std::move(*record.launch);
    record.launch.reset();
    auto fail = [&](Failure text) -> Result<HarnessResult, Failure> {
        record.launch = std::move(launch);
        return std::unexpected(std::move(text));
    };

    const Pid root = record.root_pid;
    const ProcessRecord* root_record = machine.processes.find(root);
    if (root_record == nullptr) return fail(fmt::format("action {} root process does not exist", id));
    const Pid group = root_record->pgid;
    (void)close_stdin(machine, launch);
    for (Pid member : machine.processes.group_members(group))
        if (member != root)
            if (auto sent = machine.send_signal(member, Signal::INT); !sent) return fail(std::move(sent.error()));

    std::optional<std::int32_t> finished;
    bool root_signalled = false;
    for (std::uint64_t step = 0; step < kCancelStepBound && !finished; ++step) {
        if (!root_signalled) {
            const std::vector<Pid> members = machine.processes.group_members(group);
            if (std::ranges::none_of(members, [&](Pid pid) { return pid != root; })) {
                root_signalled = true;
                if (auto sent = machine.send_signal(root, Signal::INT); !sent) return fail(std::move(sent.error()));
            }
        }
        auto report = machine.scheduler_step(launch.root, false);
        if (!report) return fail(std::move(report.error()));
        if (report->kind == StepReport::Kind::Idle)
            return fail(fmt::format("action {} cancellation blocked without a modeled event", id));
        if (report->kind == StepReport::Kind::RootFinished) finished = report->status;
    }
    if (!finished) return fail(fmt::format("action {} cancellation exceeded its work bound", id));

    const std::int32_t status = *finished;
    collect_action_output(machine, launch.out_capture, launch.err_capture, record.out, record.err);
    if (machine.states.active_pid() != launch.root) (void)machine.states.select(launch.root);
    restore_action_descriptors(machine, std::move(launch.saved));
    // The interrupt ended the action, not the session: the shell lives on.
    if (ProcessRecord* shell = machine.processes.find_mut(root);
        shell != nullptr && shell->status == ProcessStatus::Exited && shell->exit_code == status) {
        shell->status = ProcessStatus::Running;
        shell->term_signal.reset();
    }
    machine.states.active_mut().last_status = status;
    finish_action(record, machine, status);
    c.foreground_action.reset();
    machine.broker.discard_host_requests();
    return harness_action_view(record, machine);
}

Result<HarnessResult, Failure> execute(HarnessContainer& c, request::Execute& r) {
    auto payload = harness_decode_payload(c.machine, r.stdin_base64);
    if (!payload) return std::unexpected(std::move(payload.error()));
    auto result = [&]() -> Result<HarnessResult, Failure> {
        if (c.machine.broker.host_tools_enabled())
            return std::unexpected(std::string("use start_execute and poll_action with host tools"));
        auto started = start_session_action(c, r.source, payload->bytes, true);
        if (!started) return std::unexpected(std::move(started.error()));
        const std::uint64_t id = started->action_id;
        while (c.foreground_action == id) {
            auto polled = poll_action(c, id, kMaxWorkQuanta, true);
            if (!polled) return std::unexpected(std::move(polled.error()));
            // Without a real clock nothing can move a blocked action on between polls.
            if (polled->state.kind != ActionState::Kind::Running && polled->state.kind != ActionState::Kind::Complete &&
                !c.machine.pacing)
                return std::unexpected(fmt::format("action {} is blocked without a modeled event", id));
        }
        auto node = c.actions.extract(id);
        if (node.empty()) return std::unexpected(fmt::format("action {} disappeared before completion", id));
        ActionRecord& record = node.mapped();
        if (!record.outcome) return std::unexpected(fmt::format("action {} completed without an outcome", id));
        ExecuteResult reply;
        reply.outcome = std::move(*record.outcome);
        reply.out = std::move(record.out);
        reply.err = std::move(record.err);
        reply.unsupported_commands = invocation_names_with_trust(record.captured.invocations, CommandTrust::Unsupported);
        reply.partial_commands = invocation_names_with_trust(record.captured.invocations, CommandTrust::Partial);
        reply.lists = std::move(record.captured);
        return reply;
    }();
    c.machine.meter.release_memory(payload->charge);
    return result;
}

// ---- signals and the terminal ----

Result<Signal, Failure> parse_signal(std::string_view text) {
    if (std::optional<Signal> signal = signal_parse(text)) return *signal;
    return std::unexpected(fmt::format("unsupported signal '{}'", text));
}

Result<HarnessResult, Failure> acknowledged(Result<void, std::string> done) {
    if (!done) return std::unexpected(std::move(done.error()));
    return Acknowledged{};
}

Pid terminal_session(const Machine& machine) {
    const ProcessRecord* shell = machine.processes.find(kFirstShellPid);
    return shell != nullptr ? shell->sid : kFirstShellPid;
}

Result<HarnessResult, Failure> set_foreground_group(Machine& machine, Pid group) {
    const Pid session = terminal_session(machine);
    const bool live = std::ranges::any_of(machine.processes.records(), [&](const auto& entry) {
        const ProcessRecord& r = entry.second;
        return r.pgid == group && r.sid == session && r.status != ProcessStatus::Exited;
    });
    if (!live) return std::unexpected(fmt::format("process group {} is not live in terminal session {}", group, session));
    machine.foreground_pgid = group;
    return Acknowledged{};
}

// ---- the whole machine ----

ProcessView process_view(const Machine& machine, const ProcessRecord& record) {
    ProcessView view{.pid = record.pid, .ppid = record.ppid, .process_group = record.pgid, .session_id = record.sid,
                     .command = record.command, .cwd = record.cwd};
    const TaskState* task = machine.scheduler.find_task(record.pid);
    if (record.status == ProcessStatus::Exited) {
        view.status = ProcessView::Status::Exited;
        view.exit_status = record.exit_code;
    } else if (task != nullptr && task->kind() == TaskKind::Exited) {
        view.status = ProcessView::Status::Exited;
        view.exit_status = task->exit_status();
    } else if (record.status == ProcessStatus::Stopped) {
        view.status = ProcessView::Status::Stopped;
        view.signal = signal_name(record.stop_signal);
    } else if (task == nullptr || task->kind() == TaskKind::Running) {
        view.status = ProcessView::Status::Running;
    } else if (task->kind() == TaskKind::Ready) {
        view.status = ProcessView::Status::Runnable;
    } else if (task->kind() == TaskKind::Blocked) {
        view.status = ProcessView::Status::Blocked;
        view.reason = *task->reason();
    } else {
        view.status = ProcessView::Status::Stopped;
        view.signal = "STOP";
    }
    return view;
}

InspectResult inspect(const HarnessContainer& c) {
    const Machine& machine = c.machine;
    InspectResult result;
    result.cwd = machine.states.active().cwd;
    result.outcome = machine.action_outcome(machine.states.active().last_status);
    for (const auto& [id, record] : c.actions) result.actions.push_back(harness_action_view(record, machine));
    for (const auto& [pid, record] : machine.processes.records()) result.processes.push_back(process_view(machine, record));
    result.current_pid = machine.scheduler.running();
    result.terminal_session = terminal_session(machine);
    result.terminal_foreground_group = machine.foreground_pgid;
    result.monotonic_ns = machine.clock.now_ns();
    __int128 wall = 0;
    if (__builtin_add_overflow(machine.clock.wall_base_ns(), static_cast<__int128>(machine.clock.now_ns()), &wall) ||
        __builtin_add_overflow(wall, machine.clock.wall_offset_ns(), &wall))
        wall = Clock::kBootWallNs;
    result.wall_time_ns = wall;
    result.pending_events = machine.clock.pending().size();
    result.ready_events = machine.clock.ready().size();
    result.lists = lists_since(machine, RunMarkers{});
    return result;
}

}  // namespace

Result<Payload, std::string> harness_decode_payload(Machine& machine, std::string_view text) {
    if (text.size() > kMaxPayloadChars)
        return std::unexpected(fmt::format("payload exceeds the {}-byte transfer limit", kMaxPayloadBytes));
    // A machine whose meter has stopped runs nothing more and refuses every charge; its requests
    // (a start that reports the final status, a file written for the host) still decode.
    const std::uint64_t charge = machine.meter.stop_reason() ? 0 : text.size() / 4 * 3 + 3;
    if (charge > 0 && !machine.meter.charge_memory(charge))
        return std::unexpected(std::string("memory limit exceeded while decoding request bytes"));
    auto bytes = base64_decode(text);
    if (!bytes) {
        machine.meter.release_memory(charge);
        return std::unexpected(fmt::format("invalid base64 data: {}", bytes.error()));
    }
    return Payload{std::move(*bytes), charge};
}

// ---- the container ----

HarnessContainer HarnessContainer::wrap(Machine machine) {
    HarnessContainer container;
    container.machine = std::move(machine);
    container.machine.vfs.begin_journal();
    container.machine.broker.set_host_tools_enabled(true);
    return container;
}

HarnessContainer HarnessContainer::create(const MachineLimits& limits, bool real_time) {
    Machine machine = Machine::create(limits, real_time);
    (void)harness_mkdir_mode(machine.vfs, kWorkDirectory, 0755);
    ProcessState& shell = machine.states.active_mut();
    shell.cwd = std::string(kWorkDirectory);
    set_variable_str(shell, "PWD", kWorkDirectory);
    return wrap(std::move(machine));
}

ActionView harness_action_view(const ActionRecord& record, const Machine& machine) {
    ActionView view;
    view.action_id = record.action_id;
    view.root_pid = record.root_pid;
    view.display_generation = machine.display.generation;
    view.state = record.state;
    view.outcome = record.outcome;
    view.lists = record.complete() ? record.captured : lists_since(machine, record.marks);
    return view;
}

Result<std::optional<DisplayFrame>, std::string> harness_display_frame(const HarnessContainer& c,
                                                                       std::uint64_t action_id) {
    if (!c.actions.contains(action_id)) return std::unexpected(no_action(action_id));
    const DisplayDevice& display = c.machine.display;
    if (!display.frame) return std::optional<DisplayFrame>();
    return DisplayFrame{display.generation, display.width, display.height, *display.frame};
}

Result<void, std::string> harness_inject_key(HarnessContainer& c, std::uint64_t action_id, std::uint32_t code,
                                             bool pressed) {
    if (c.foreground_action != action_id) return std::unexpected(fmt::format("action {} is not active", action_id));
    if (auto queued = c.machine.inject_key(code, pressed); !queued) {
        switch (queued.error()) {
            case DisplayError::InvalidArgument: return std::unexpected(std::string("InvalidArgument"));
            case DisplayError::BadHandle: return std::unexpected(std::string("InvalidHandle"));
            case DisplayError::Busy: return std::unexpected(std::string("Busy"));
            case DisplayError::QueueFull: return std::unexpected(std::string("QueueFull"));
            case DisplayError::Exhausted: return std::unexpected(std::string("ResourceExhausted"));
        }
    }
    return {};
}

Result<HarnessResult, std::string> harness_dispatch(HarnessContainer& c, HarnessRequest request) {
    Machine& machine = c.machine;
    return std::visit(
        [&](auto& r) -> Result<HarnessResult, std::string> {
            using T = std::decay_t<decltype(r)>;
            if constexpr (std::is_same_v<T, request::Execute>) {
                return execute(c, r);
            } else if constexpr (std::is_same_v<T, request::StartAction>) {
                auto payload = harness_decode_payload(machine, r.stdin_base64);
                if (!payload) return std::unexpected(std::move(payload.error()));
                auto view = start_session_action(c, r.source, payload->bytes, r.close_stdin);
                machine.meter.release_memory(payload->charge);
                if (!view) return std::unexpected(std::move(view.error()));
                return std::move(*view);
            } else if constexpr (std::is_same_v<T, request::PollAction>) {
                auto view = poll_action(c, r.action_id, r.work_quanta, r.wait);
                if (!view) return std::unexpected(std::move(view.error()));
                return std::move(*view);
            } else if constexpr (std::is_same_v<T, request::RespondToolCall>) {
                std::optional<std::string_view> result, error;
                if (r.result_json) result = *r.result_json;
                if (r.error) error = *r.error;
                return acknowledged(respond_tool_call(machine, r.request_id, result, error));
            } else if constexpr (std::is_same_v<T, request::AppendStdin>) {
                return append_stdin(c, r);
            } else if constexpr (std::is_same_v<T, request::CloseStdin>) {
                auto it = c.actions.find(r.action_id);
                if (it == c.actions.end()) return std::unexpected(no_action(r.action_id));
                if (it->second.complete()) return std::unexpected(action_complete(r.action_id));
                return acknowledged(close_stdin(machine, *it->second.launch));
            } else if constexpr (std::is_same_v<T, request::ReadActionOutput>) {
                return read_output(c, r.action_id);
            } else if constexpr (std::is_same_v<T, request::SignalProcess>) {
                auto signal = parse_signal(r.signal);
                if (!signal) return std::unexpected(std::move(signal.error()));
                return acknowledged(r.process_group ? machine.signal_process_group(r.pid, *signal)
                                                    : machine.send_signal(r.pid, *signal));
            } else if constexpr (std::is_same_v<T, request::SignalForeground>) {
                auto signal = parse_signal(r.signal);
                if (!signal) return std::unexpected(std::move(signal.error()));
                return acknowledged(machine.signal_process_group(machine.foreground_pgid, *signal));
            } else if constexpr (std::is_same_v<T, request::SetForegroundGroup>) {
                return set_foreground_group(machine, r.process_group);
            } else if constexpr (std::is_same_v<T, request::CancelAction>) {
                return cancel_action(c, r.action_id);
            } else if constexpr (std::is_same_v<T, request::DropAction>) {
                auto it = c.actions.find(r.action_id);
                if (it == c.actions.end()) return std::unexpected(no_action(r.action_id));
                if (!it->second.complete()) return std::unexpected(fmt::format("action {} is still active", r.action_id));
                c.actions.erase(it);
                return Acknowledged{};
            } else if constexpr (std::is_same_v<T, request::SessionLifecycleA> ||
                                 std::is_same_v<T, request::SessionLifecycleB>) {
                return std::unexpected(std::string("session lifecycle operations require a HarnessManager"));
            } else if constexpr (std::is_same_v<T, request::Inspect>) {
                return inspect(c);
            } else {
                return dispatch_file_request(c, r);
            }
        },
        request);
}

}  // namespace tw
