#include "shell/dispatch.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include <fmt/format.h>

#include "base/sat.h"
#include "base/utf8.h"
#include "commands/registry/registry.h"
#include "kernel/machine.h"
#include "kernel/syscalls.h"
#include "shell/command_io.h"
#include "shell/command_outcome.h"
#include "shell/spawn.h"

namespace tw {

namespace {

// Sorted by bytes, for a binary search.
constexpr auto kBuiltinNames = std::to_array<std::string_view>({
    ".", ":", "[", "[[", "alias", "bg", "break", "cd", "command", "continue", "declare", "dirs", "disown",
    "echo", "eval", "exec", "exit", "export", "false", "fg", "getopts", "hash", "jobs", "kill", "let",
    "local", "mapfile", "popd", "printf", "pushd", "pwd", "read", "readarray", "readonly", "return", "set",
    "shift", "shopt", "source", "test", "trap", "true", "type", "typeset", "ulimit", "umask", "unalias",
    "unset", "wait",
});
static_assert(kBuiltinNames.size() == 49);
static_assert(std::ranges::is_sorted(kBuiltinNames));

constexpr std::string_view kSuspendInNestedDispatch = "native command cannot suspend in nested dispatch\n";

std::optional<std::string_view> path_variable(const ProcessState& state) {
    auto it = state.variables.find("PATH");
    if (it == state.variables.end()) return std::nullopt;
    return std::string_view(it->second);
}

// Re-measures the active process's shell state and charges (or gives back) the change since the
// last measurement.
void recharge_shell_state(Machine& machine, Pid pid) {
    ProcessState* found = machine.states.find_mut(pid);
    if (found == nullptr) return;
    ProcessState& state = *found;
    const std::uint64_t growth = sat_sub(state.modeled_size(), state.state_size_baseline);
    if (growth > state.shell_state_charge) {
        if (!machine.meter.charge_memory(growth - state.shell_state_charge)) return;
    } else {
        machine.meter.release_memory(state.shell_state_charge - growth);
    }
    state.shell_state_charge = growth;
}

ChildRequest child_request(std::vector<std::string> argv, Bytes& input) {
    ChildRequest request;
    request.argv = std::move(argv);
    if (!input.empty()) request.input = std::move(input);
    return request;
}

// The argv that runs a script file found by path, from the file's content; absent when its
// interpreter line is unusable.
std::optional<std::vector<std::string>> script_argv(const Machine& machine, std::string_view cwd,
                                                    std::optional<std::string_view> path_var, BytesView content,
                                                    const std::string& path, std::span<const std::string> args) {
    std::vector<std::string> argv;
    const auto finish = [&]() {
        argv.push_back(path);
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    };
    if (content.starts_with(std::string_view("\0asm", 4))) {
        argv.push_back(path);
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    const BytesView first_line = content.substr(0, content.find('\n'));
    if (first_line == "#!tarnwick-python") {
        argv.emplace_back("/usr/bin/python3.14");
        return finish();
    }
    if (!content.starts_with("#!")) {
        argv.emplace_back("/usr/bin/sh");
        return finish();
    }
    if (!utf8_valid(first_line)) return std::nullopt;
    std::vector<std::string_view> words;
    const BytesView line = first_line.substr(2);
    std::size_t i = 0;
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
    while (i < line.size()) {
        while (i < line.size() && space(line[i])) ++i;
        const std::size_t start = i;
        while (i < line.size() && !space(line[i])) ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    if (words.empty() || !words[0].starts_with('/')) return std::nullopt;
    SearchResult interpreter = search_path(machine.vfs, cwd, path_var, words[0]);
    if (interpreter.kind != SearchResult::Kind::Found) return std::nullopt;
    argv.push_back(std::move(interpreter.path));
    for (std::size_t w = 1; w < words.size(); ++w) argv.emplace_back(words[w]);
    return finish();
}

// An interpreter that is itself a script with an interpreter line is followed through the chain
// (the script's own line was its first), so that the child starts the program at its end.
bool interpreter_chain(Machine& machine, std::vector<std::string>& argv) {
    std::string interpreter = argv.front();
    auto node = machine.vfs.lookup("/", interpreter, true);
    if (!node || !(*node)->is_file()) return true;
    const Bytes* content = (*node)->data();
    if (content == nullptr || !content->starts_with("#!")) return true;
    return resolve_interpreter_chain(machine, interpreter, argv, 1).has_value();
}

}  // namespace

bool is_builtin_name(std::string_view name) {
    // Asked for every command run: one hash in place of a binary search of string compares.
    static const std::unordered_set<std::string_view> names(kBuiltinNames.begin(), kBuiltinNames.end());
    return names.contains(name);
}

bool is_shell_program_name(std::string_view name) { return name == "sh" || name == "bash" || name == "dash" || name == "zsh"; }

bool CommandResolution::needs_own_process() const {
    if (wasm) return true;
    if (!program) return false;
    switch (program->tag()) {
    case NativeProgram::Tag::Resumable:
    case NativeProgram::Tag::Registered: return true;
    case NativeProgram::Tag::Named: return is_shell_program_name(program->text());
    }
    return false;
}

CommandResolution resolve_command_word(const Machine& machine, std::string_view word) {
    const ProcessState& state = machine.states.active();
    CommandResolution resolution;
    resolution.search = search_path(machine.vfs, state.cwd, path_variable(state), word);
    if (resolution.search.kind != SearchResult::Kind::Found) return resolution;
    auto node = machine.vfs.lookup("/", resolution.search.path, true);
    if (!node) return resolution;
    if (const NativeProgram* program = (*node)->program()) resolution.program = *program;
    else if (const Bytes* data = (*node)->data())
        resolution.wasm = data->size() >= 4 && std::string_view(*data).substr(0, 4) == std::string_view("\0asm", 4);
    return resolution;
}

void Machine::finish_active_invocation(const CommandOutcome& outcome) {
    if (!outcome.is_done()) return;
    invocations.finish(states.active_pid(), outcome.status(), meter.cpu_used(), vfs.used());
}

CommandOutcome Machine::launch_command_child(ChildRequest request, std::deque<ChildRequest> rest,
                                             std::int32_t status, bool stop_on_failure) {
    if (request.argv.empty()) return CommandOutcome::done(status);
    auto child = prepare_child(request, command_launcher());
    if (!child) return CommandOutcome::done(125);
    BuiltinContinuation::ChildQueue queue;
    queue.queue = std::move(rest);
    queue.child = *child;
    queue.status = status;
    queue.stop_on_failure = stop_on_failure;
    return CommandOutcome::wait_child(BuiltinContinuation{std::move(queue)});
}

CommandOutcome Machine::dispatch_command(std::span<const std::string> argv, Bytes input, Bytes& out, Bytes& err) {
    if (argv.empty()) return CommandOutcome::done(0);
    const Pid pid = states.active_pid();
    const std::string& word = argv[0];
    const CommandRegistry& registry = CommandRegistry::instance();

    // 1-2. The lookup key and the resolved name.
    std::optional<CommandResolution> resolution;
    const CommandSpec* spec = nullptr;
    std::string_view name;
    if (word.find('/') == std::string::npos && is_builtin_name(word)) {
        name = word;
        spec = registry.get(word);
    } else {
        resolution = resolve_command_word(*this, word);
        if (resolution->needs_own_process()) {
            return launch_command_child(child_request(std::vector<std::string>(argv.begin(), argv.end()), input), {},
                                        0, true);
        }
        if (const std::optional<NativeProgram>& program = resolution->program) {
            name = program->name();
            spec = registry.get(program->tag() == NativeProgram::Tag::Registered ? std::string_view(program->text())
                                                                                 : name);
        }
    }

    if (spec == nullptr) {
        // 12. Path execution: the word names no registry command.
        if (!resolution) resolution = resolve_command_word(*this, word);
        const ProcessState& state = states.active();
        const auto not_found = [&]() {
            unsupported_labels.insert(word);
            invocations.record(pid, argv, CommandTrust::Unsupported, kCommandNotFoundReason, meter.cpu_used(),
                               vfs.used());
            fmt::format_to(std::back_inserter(err), "{}: command not found\n", word);
            CommandOutcome outcome = CommandOutcome::done(127);
            finish_active_invocation(outcome);
            return outcome;
        };
        const SearchResult& search = resolution->search;
        switch (search.kind) {
        case SearchResult::Kind::NotFound: return not_found();
        case SearchResult::Kind::Denied: {
            invocations.record(pid, argv, CommandTrust::Real, std::nullopt, meter.cpu_used(), vfs.used());
            fmt::format_to(std::back_inserter(err), "{}: {}: permission denied\n", word, search.path);
            CommandOutcome outcome = CommandOutcome::done(126);
            finish_active_invocation(outcome);
            return outcome;
        }
        case SearchResult::Kind::Found: break;
        }
        invocations.record(pid, argv, CommandTrust::Real, std::nullopt, meter.cpu_used(), vfs.used());
        // The content is looked at in place; reading it counts as reading the whole file.
        auto node = vfs.lookup("/", search.path, true);
        const Bytes* content = node ? (*node)->data() : nullptr;
        if (content == nullptr) {
            finish_active_invocation(CommandOutcome::done(126));
            return not_found();
        }
        vfs.add_bytes_read(content->size());
        auto child_argv = script_argv(*this, state.cwd, path_variable(state), *content, search.path, argv.subspan(1));
        if (child_argv && !interpreter_chain(*this, *child_argv)) child_argv.reset();
        CommandOutcome outcome = CommandOutcome::done(126);
        if (child_argv) outcome = launch_command_child(child_request(std::move(*child_argv), input), {}, 0, true);
        if (auto* waiting = outcome.as<CommandOutcome::WaitChild>())
            std::get<BuiltinContinuation::ChildQueue>(waiting->state.state).completes_entry = true;
        else fmt::format_to(std::back_inserter(err), "{}: unsupported script interpreter\n", search.path);
        finish_active_invocation(outcome);
        return outcome;
    }

    // 3. Record.
    const bool unsupported = spec->trust == CommandTrust::Unsupported;
    invocations.record(pid, argv, spec->trust,
                       unsupported ? std::optional<std::string_view>(kNotImplementedReason) : std::nullopt,
                       meter.cpu_used(), vfs.used());
    if (unsupported) unsupported_labels.insert(name);

    // 4. Starting values.
    const std::uint64_t cpu_start = meter.cpu_used();
    const std::uint64_t disk_start = vfs.used();
    const std::uint64_t read_start = vfs.bytes_read();

    // 5-6. Charges before the handler runs.
    std::uint64_t cpu_charge = spec->cost;
    for (std::size_t i = 1; i < argv.size(); ++i) cpu_charge = sat_add(cpu_charge, argv[i].size());
    const std::uint64_t input_length = input.size();
    const std::uint64_t memory_charge = sat_add(spec->memory, input_length);
    if (!meter.charge_cpu(cpu_charge) || !meter.charge_memory(memory_charge)) {
        CommandOutcome outcome = CommandOutcome::done(kExhaustedStatus);
        finish_active_invocation(outcome);
        return outcome;
    }

    // 7-8. The call.
    const std::size_t out_start = out.size();
    const std::size_t err_start = err.size();
    const std::uint64_t output_start = meter.output_used();
    sync_vfs_clock();
    CommandIo io{input, out, err};
    const std::span<const std::string> args = argv.subspan(1);
    CommandOutcome outcome = CommandOutcome::done(0);
    if (!spec->has_handler()) {
        fmt::format_to(std::back_inserter(err), "{}: not implemented in tarnwick\n", name);
        outcome = CommandOutcome::done(127);
    } else {
        switch (spec->kind) {
        case CommandKind::Builtin: {
            BuiltinContext context{*this, name};
            outcome = CommandOutcome::done(std::get<BuiltinHandler>(spec->handler)(context, args, io));
            break;
        }
        case CommandKind::ContinuingBuiltin: {
            BuiltinContext context{*this, name};
            std::get<ContinuingBuiltinHandler>(spec->handler)(outcome, context, args, io);
            break;
        }
        case CommandKind::Native: {
            SyscallContext sys(*this, command_launcher());
            NativeInvocation invocation{sys, name, args, nullptr};
            outcome = CommandOutcome::done(std::get<NativeHandler>(spec->handler)(invocation, io));
            break;
        }
        case CommandKind::SuspendableNative: {
            SyscallContext sys(*this, command_launcher());
            NativeInvocation invocation{sys, name, args, nullptr};
            NativeStep step;
            std::get<SuspendableNativeHandler>(spec->handler)(step, invocation, io);
            if (step.is_finished()) {
                outcome = CommandOutcome::done(step.status);
            } else {
                err += kSuspendInNestedDispatch;
                outcome = CommandOutcome::done(125);
            }
            break;
        }
        }
    }

    // 9. Output and I/O: what the call wrote beyond what it already paid for is cut to the
    // output budget and charged.
    const std::uint64_t out_growth = out.size() > out_start ? out.size() - out_start : 0;
    const std::uint64_t err_growth = err.size() > err_start ? err.size() - err_start : 0;
    const std::uint64_t growth = sat_add(out_growth, err_growth);
    const std::uint64_t already_charged = sat_sub(meter.output_used(), output_start);
    const std::uint64_t pending = sat_sub(growth, already_charged);
    const std::uint64_t remaining = sat_sub(meter.limits().output, meter.output_used());
    if (pending > remaining) {
        const std::uint64_t keep = growth - (pending - remaining);
        const std::uint64_t out_keep = std::min(keep, out_growth);
        const std::uint64_t err_keep = std::min(keep - out_keep, err_growth);
        out.resize(out_start + out_keep);
        err.resize(err_start + err_keep);
    }
    (void)meter.charge_cpu(sat_add(sat_add(input_length, growth), sat_sub(vfs.bytes_read(), read_start)));
    if (pending > 0) (void)meter.charge_output(pending);

    // 10. Release and record.
    meter.release_memory(memory_charge);
    recharge_shell_state(*this, pid);
    meter.record_command_usage(name, cpu_start, disk_start, vfs.used());

    // 11. A budget that ran out ends the command, unless it continues elsewhere.
    if (meter.stop_reason() && outcome.tag() != CommandOutcome::Tag::Yield &&
        outcome.tag() != CommandOutcome::Tag::WaitChild)
        outcome = CommandOutcome::done(kExhaustedStatus);
    finish_active_invocation(outcome);
    return outcome;
}

}  // namespace tw
