#include "commands/builtins/jobs.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <optional>
#include <set>
#include <variant>
#include <vector>

#include "base/sat.h"
#include "kernel/machine.h"
#include "shell/ast.h"
#include "shell/command_io.h"
#include "shell/command_outcome.h"
#include "shell/language.h"
#include "shell/parser.h"

namespace tw {
namespace {

constexpr std::uint64_t kTrapStateLimit = 1048576;
constexpr std::string_view kSignalList = "HUP INT KILL USR1 USR2 PIPE TERM CHLD CONT STOP";

std::optional<std::uint32_t> parse_u32(std::string_view text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    std::uint32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::int32_t> parse_i32(std::string_view text) {
    std::string_view digits = text;
    if (digits.starts_with('-') || digits.starts_with('+')) digits.remove_prefix(1);
    if (digits.empty() || digits[0] < '0' || digits[0] > '9') return std::nullopt;
    if (text.starts_with('+')) text.remove_prefix(1);
    std::int32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

void line(Bytes& buffer, std::string_view text) {
    buffer += text;
    buffer += '\n';
}

std::string_view state_text(std::uint8_t state) {
    switch (state) {
    case JobEntry::Running: return "Running";
    case JobEntry::Stopped: return "Stopped";
    default: return "Done";
    }
}

// Removes a finished job with its process record and task.
void reap_job(Machine& m, ProcessState& state, std::size_t index) {
    const Pid pid = state.job_table[index].pid;
    state.job_table.erase(state.job_table.begin() + static_cast<std::ptrdiff_t>(index));
    (void)m.processes.reap(pid);
    m.scheduler.remove_task(pid);
}

// Gives the terminal to `group` when a live member of it belongs to the shell's session.
Result<void, std::string> check_foreground_group(Machine& m, Pid group) {
    for (const auto& [pid, record] : m.processes.records()) {
        if (record.status != ProcessStatus::Exited && record.sid == m.shell_pgid && record.pgid == group) {
            m.foreground_pgid = group;
            return {};
        }
    }
    return std::unexpected(fmt::format("process group {} is not live in terminal session {}", group, m.shell_pgid));
}

// ---- kill ----

// A signal as kill and trap name it: "0" is the existence test (no signal).
Result<std::optional<Signal>, std::string> parse_signal_spec(std::string_view text) {
    if (text == "0") return std::optional<Signal>();
    if (std::optional<Signal> signal = signal_parse(text)) return signal;
    return std::unexpected(fmt::format("invalid signal: {}", text));
}

std::int32_t kill_list(std::span<const std::string> args, CommandIo& io) {
    if (args.size() < 2) {
        line(io.out, kSignalList);
        return 0;
    }
    const std::string& operand = args[1];
    std::optional<Signal> signal;
    if (std::optional<std::int32_t> number = parse_i32(operand)) {
        std::int32_t n = *number;
        if (n > 128) n -= 128;
        signal = signal_parse(fmt::format("{}", n));
    } else {
        signal = signal_parse(operand);
    }
    if (!signal) {
        fmt::format_to(std::back_inserter(io.err), "kill: unknown signal {}\n", operand);
        return 1;
    }
    line(io.out, signal_name(*signal));
    return 0;
}

// Sends (or tests) one target; the error line on failure.
Result<void, std::string> kill_target(Machine& m, const std::string& target, std::optional<Signal> signal) {
    const ProcessState& state = m.states.active();
    const auto no_such = [&] { return std::unexpected(fmt::format("kill: {}: no such process or job", target)); };
    bool group = false;
    Pid pid = 0;
    if (target.starts_with('%')) {
        std::optional<std::uint32_t> number = parse_u32(std::string_view(target).substr(1));
        if (!number || *number == 0) return no_such();
        auto job = std::ranges::find(state.job_table, *number, &JobEntry::job_id);
        if (job == state.job_table.end()) return no_such();
        group = true;
        pid = job->pid;
    } else if (target == "0") {
        group = true;
        pid = state.pgid;
    } else if (target.starts_with('-')) {
        std::optional<std::uint32_t> number = parse_u32(std::string_view(target).substr(1));
        if (!number || *number == 0) return no_such();
        group = true;
        pid = *number;
    } else {
        std::optional<std::uint32_t> number = parse_u32(target);
        if (!number || *number == 0) return no_such();
        pid = *number;
    }
    if (!signal) {
        bool exists = false;
        if (group) {
            exists = !m.processes.group_members(pid).empty();
        } else {
            const ProcessRecord* record = m.processes.find(pid);
            exists = record != nullptr && record->status != ProcessStatus::Exited;
        }
        if (!exists) return std::unexpected(fmt::format("kill: {}: no such process", target));
        return {};
    }
    auto sent = group ? m.signal_process_group(pid, *signal) : m.send_signal(pid, *signal);
    if (!sent) return std::unexpected(fmt::format("kill: {}: {}", target, sent.error()));
    return {};
}

// ---- trap ----

enum class TrapSlot : std::uint8_t { Exit, Err, Signal };

struct TrapSelection {
    bool exit = false;
    bool err = false;
    std::set<Signal> signals;
    bool all = false;

    bool has_exit() const { return all || exit; }
    bool has_err() const { return all || err; }
    bool has(Signal s) const { return all || signals.contains(s); }
};

Result<TrapSelection, std::string> parse_trap_signals(std::span<const std::string> names) {
    TrapSelection selection;
    if (names.empty()) selection.all = true;
    for (const std::string& name : names) {
        std::string upper = name;
        for (char& ch : upper)
            if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
        if (name == "0" || upper == "EXIT") {
            selection.exit = true;
        } else if (upper == "ERR") {
            selection.err = true;
        } else if (std::optional<Signal> signal = signal_parse(name)) {
            selection.signals.insert(*signal);
        } else {
            return std::unexpected(fmt::format("invalid signal: {}", name));
        }
    }
    return selection;
}

std::string quote_action(const Trap& trap) {
    std::string out;
    if (trap.is_ignore()) return out;
    for (char ch : trap.text) {
        if (ch == '\'') out += "'\\''";
        else out += ch;
    }
    return out;
}

void trap_print(const ProcessState& state, const TrapSelection& selection, Bytes& out) {
    if (selection.has_exit() && state.exit_trap)
        fmt::format_to(std::back_inserter(out), "trap -- '{}' EXIT\n", quote_action(*state.exit_trap));
    if (selection.has_err() && state.err_trap)
        fmt::format_to(std::back_inserter(out), "trap -- '{}' ERR\n", quote_action(*state.err_trap));
    for (const auto& [signal, trap] : state.signal_traps)
        if (selection.has(signal))
            fmt::format_to(std::back_inserter(out), "trap -- '{}' SIG{}\n", quote_action(trap), signal_name(signal));
}

std::uint64_t trap_size(const Trap& trap) {
    if (trap.is_ignore()) return 16;
    std::uint64_t command = trap.action_size;
    if (!trap.action) command = trap.text.size();
    return sat_add(sat_add(trap.text.size(), command), 32);
}

std::uint64_t traps_size(const std::map<Signal, Trap>& signals, const std::optional<Trap>& exit_trap,
                         const std::optional<Trap>& err_trap) {
    std::uint64_t total = 0;
    for (const auto& entry : signals) total = sat_add(total, trap_size(entry.second));
    if (exit_trap) total = sat_add(total, trap_size(*exit_trap));
    if (err_trap) total = sat_add(total, trap_size(*err_trap));
    return total;
}

// A job spec operand read as a number, with or without %.
std::optional<std::uint32_t> job_number(std::string_view operand) {
    if (operand.starts_with('%')) operand.remove_prefix(1);
    return parse_u32(operand);
}

}  // namespace

Result<std::size_t, std::string> resolve_job_spec(const ProcessState& state, std::string_view command,
                                                  std::span<const std::string> operands) {
    if (operands.size() > 1) return std::unexpected(fmt::format("usage: {} [%JOB]", command));
    const auto& table = state.job_table;
    if (operands.empty() || operands[0] == "%+" || operands[0] == "%%") {
        if (table.empty()) return std::unexpected(std::string("no such job"));
        return table.size() - 1;
    }
    std::optional<std::uint32_t> number = job_number(operands[0]);
    if (!number) return std::unexpected(fmt::format("{}: invalid job", operands[0]));
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i].job_id == *number || table[i].pid == *number) return i;
    return std::unexpected(std::string("no such job"));
}

std::int32_t builtin_jobs(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    const bool pids = args.size() == 1 && args[0] == "-p";
    if (!args.empty() && !pids) {
        io.err += "jobs: only -p is supported\n";
        return 2;
    }
    for (const JobEntry& job : context.machine.states.active().job_table) {
        if (pids) fmt::format_to(std::back_inserter(io.out), "{}\n", job.pid);
        else fmt::format_to(std::back_inserter(io.out), "[{}] {} {}\n", job.job_id, state_text(job.state), job.command);
    }
    return 0;
}

void builtin_fg(CommandOutcome& outcome, BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    Machine& m = context.machine;
    ProcessState& state = m.states.active_mut();
    auto index = resolve_job_spec(state, "fg", args);
    if (!index) {
        fmt::format_to(std::back_inserter(io.err), "fg: {}\n", index.error());
        outcome = CommandOutcome::done(1);
        return;
    }
    const JobEntry job = state.job_table[*index];
    if (job.state == JobEntry::Done) {
        reap_job(m, state, *index);
        outcome = CommandOutcome::done(static_cast<std::int32_t>(job.exit_status));
        return;
    }
    if (auto taken = check_foreground_group(m, job.pid); !taken) {
        fmt::format_to(std::back_inserter(io.err), "fg: {}\n", taken.error());
        outcome = CommandOutcome::done(1);
        return;
    }
    if (job.state == JobEntry::Stopped) {
        if (auto sent = m.signal_process_group(job.pid, Signal::CONT); !sent) {
            m.foreground_pgid = m.shell_pgid;
            fmt::format_to(std::back_inserter(io.err), "fg: {}\n", sent.error());
            outcome = CommandOutcome::done(1);
            return;
        }
    }
    outcome = m.resume_builtin(BuiltinContinuation{BuiltinContinuation::Foreground{job.pid}});
}

std::int32_t builtin_bg(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    Machine& m = context.machine;
    const ProcessState& state = m.states.active();
    auto index = resolve_job_spec(state, "bg", args);
    if (!index) {
        fmt::format_to(std::back_inserter(io.err), "bg: {}\n", index.error());
        return 1;
    }
    const JobEntry job = state.job_table[*index];
    if (job.state == JobEntry::Done) {
        io.err += "bg: job has terminated\n";
        return 1;
    }
    if (auto sent = m.signal_process_group(job.pid, Signal::CONT); !sent) {
        fmt::format_to(std::back_inserter(io.err), "bg: {}\n", sent.error());
        return 1;
    }
    fmt::format_to(std::back_inserter(io.out), "[{}] {} &\n", job.job_id, job.command);
    return 0;
}

void builtin_wait(CommandOutcome& outcome, BuiltinContext& context, std::span<const std::string> args,
                  CommandIo& io) {
    Machine& m = context.machine;
    const ProcessState& state = m.states.active();
    BuiltinContinuation::Wait wait;
    wait.operands_given = !args.empty();
    if (args.empty()) {
        for (const JobEntry& job : state.job_table) wait.pids.push_back(job.pid);
    }
    for (const std::string& operand : args) {
        const bool by_job = operand.starts_with('%');
        std::optional<std::uint32_t> number = job_number(operand);
        if (!number) {
            fmt::format_to(std::back_inserter(io.err), "wait: {}: invalid job id\n", operand);
            outcome = CommandOutcome::done(127);
            return;
        }
        auto job = std::ranges::find_if(state.job_table, [&](const JobEntry& entry) {
            return by_job ? entry.job_id == *number : entry.pid == *number;
        });
        if (job == state.job_table.end()) {
            fmt::format_to(std::back_inserter(io.err), "wait: {}: no such job\n", operand);
            outcome = CommandOutcome::done(127);
            return;
        }
        wait.pids.push_back(job->pid);
    }
    outcome = m.resume_builtin(BuiltinContinuation{std::move(wait)});
}

std::int32_t builtin_disown(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    Machine& m = context.machine;
    ProcessState& state = m.states.active_mut();
    // A finished job is reaped as it leaves the table: nothing could wait for it any more, and
    // its process record would stay behind. A job still running is marked to be reaped when it
    // ends, for the same reason.
    const auto forget = [&](std::size_t index) {
        if (state.job_table[index].state == JobEntry::Done) {
            reap_job(m, state, index);
            return;
        }
        if (ProcessRecord* record = m.processes.find_mut(state.job_table[index].pid)) record->reap_on_exit = true;
        state.job_table.erase(state.job_table.begin() + static_cast<std::ptrdiff_t>(index));
    };
    if (args.size() == 1 && args[0] == "-a") {
        while (!state.job_table.empty()) forget(state.job_table.size() - 1);
        return 0;
    }
    auto index = resolve_job_spec(state, "disown", args);
    if (!index) {
        fmt::format_to(std::back_inserter(io.err), "disown: {}\n", index.error());
        return 1;
    }
    forget(*index);
    return 0;
}

std::int32_t builtin_kill(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    if (!args.empty() && args[0] == "-l") return kill_list(args, io);
    std::optional<Signal> signal = Signal::TERM;
    std::vector<std::string> targets;
    bool options_done = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        std::optional<std::string> spec;
        if (!options_done && word == "--") {
            options_done = true;
            continue;
        }
        if (!options_done && (word == "-s" || word == "--signal")) {
            if (i + 1 >= args.size()) {
                io.err += "kill: -s requires a signal\n";
                return 2;
            }
            spec = args[++i];
        } else if (!options_done && targets.empty() && word.size() >= 2 && word[0] == '-') {
            spec = word.substr(1);
        } else {
            targets.push_back(word);
            continue;
        }
        auto parsed = parse_signal_spec(*spec);
        if (!parsed) {
            fmt::format_to(std::back_inserter(io.err), "kill: {}\n", parsed.error());
            return 2;
        }
        signal = *parsed;
    }
    if (targets.empty()) {
        io.err += "kill: usage: kill [-s SIGNAL] PID|%JOB ...\n";
        return 2;
    }
    std::int32_t status = 0;
    for (const std::string& target : targets) {
        if (auto r = kill_target(context.machine, target, signal); !r) {
            line(io.err, r.error());
            status = 1;
        }
    }
    return status;
}

std::int32_t builtin_trap(BuiltinContext& context, std::span<const std::string> args, CommandIo& io) {
    ProcessState& state = context.machine.states.active_mut();
    if (args.empty()) {
        trap_print(state, TrapSelection{.all = true}, io.out);
        return 0;
    }
    if (args[0] == "-l") {
        if (args.size() > 1) {
            io.err += "trap: -l does not accept operands\n";
            return 2;
        }
        line(io.out, kSignalList);
        return 0;
    }
    if (args[0] == "-p") {
        auto selection = parse_trap_signals(args.subspan(1));
        if (!selection) {
            fmt::format_to(std::back_inserter(io.err), "trap: {}\n", selection.error());
            return 2;
        }
        trap_print(state, *selection, io.out);
        return 0;
    }
    std::span<const std::string> rest = args;
    if (rest[0] == "--") rest = rest.subspan(1);
    if (rest.empty()) {
        io.err += "trap: missing action\n";
        return 2;
    }
    if (rest.size() == 1) {
        io.err += "trap: missing signal operand\n";
        return 2;
    }
    const std::string& action = rest[0];
    auto selection = parse_trap_signals(rest.subspan(1));
    if (!selection) {
        fmt::format_to(std::back_inserter(io.err), "trap: {}\n", selection.error());
        return 2;
    }
    if (selection->signals.contains(Signal::KILL)) {
        io.err += "trap: SIGKILL cannot be caught or ignored\n";
        return 1;
    }
    if (selection->signals.contains(Signal::STOP)) {
        io.err += "trap: SIGSTOP cannot be caught or ignored\n";
        return 1;
    }
    if (selection->signals.contains(Signal::CONT)) {
        io.err += "trap: SIGCONT handlers are not supported\n";
        return 2;
    }

    std::optional<Trap> trap;  // none: remove
    if (action == "-") {
        trap.reset();
    } else if (action.empty()) {
        trap = Trap::ignore();
    } else {
        auto parsed = shell_parse(action);
        if (!parsed) {
            fmt::format_to(std::back_inserter(io.err), "trap: invalid handler: {}\n", error_text(parsed.error()));
            return 2;
        }
        trap = shell_parsed_trap(action, std::move(*parsed));
    }

    std::map<Signal, Trap> signals = state.signal_traps;
    std::optional<Trap> exit_trap = state.exit_trap;
    std::optional<Trap> err_trap = state.err_trap;
    for (Signal s : selection->signals) {
        if (trap) signals.insert_or_assign(s, *trap);
        else signals.erase(s);
    }
    if (selection->exit) exit_trap = trap;
    if (selection->err) err_trap = trap;
    if (traps_size(signals, exit_trap, err_trap) > kTrapStateLimit) {
        io.err += "trap: signal handler state exceeds the 1 MiB limit\n";
        return 2;
    }
    state.signal_traps = std::move(signals);
    state.exit_trap = std::move(exit_trap);
    state.err_trap = std::move(err_trap);
    if (selection->err && trap) state.err_trap_enabled = true;
    return 0;
}

}  // namespace tw
