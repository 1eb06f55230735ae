#include "kernel/process.h"

#include <array>

#include <fmt/format.h>

#include "base/panic.h"
#include "base/sat.h"
#include "base/utf8.h"

namespace tw {
namespace {

struct SignalInfo {
    std::string_view name;
    int number;
};
constexpr std::array<SignalInfo, kSignalCount> kSignals = {{
    {"HUP", 1}, {"INT", 2}, {"KILL", 9}, {"USR1", 10}, {"USR2", 12}, {"PIPE", 13},
    {"TERM", 15}, {"CHLD", 17}, {"CONT", 18}, {"STOP", 19}, {"XFSZ", 25},
}};

}  // namespace

std::string_view signal_name(Signal s) { return kSignals[static_cast<std::size_t>(s)].name; }
int signal_number(Signal s) { return kSignals[static_cast<std::size_t>(s)].number; }

std::optional<Signal> signal_parse(std::string_view text) {
    std::string upper(text);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    std::string_view rest = upper;
    if (rest.starts_with("SIG")) rest.remove_prefix(3);
    for (std::size_t i = 0; i < kSignals.size(); ++i)
        if (kSignals[i].name == rest || std::to_string(kSignals[i].number) == rest) return static_cast<Signal>(i);
    return std::nullopt;
}

// ---- ProcessTable ----

const ProcessRecord* ProcessTable::find(Pid pid) const {
    auto it = records_.find(pid);
    return it == records_.end() ? nullptr : &it->second;
}

ProcessRecord* ProcessTable::find_mut(Pid pid) {
    auto it = records_.find(pid);
    return it == records_.end() ? nullptr : &it->second;
}

void ProcessTable::insert(ProcessRecord record) {
    const Pid pid = record.pid;
    records_.insert_or_assign(pid, std::move(record));
}

void ProcessTable::set_term_signal(Pid pid, Signal signal) {
    if (auto* r = find_mut(pid)) r->term_signal = signal;
}

void ProcessTable::mark_exited(Pid pid, std::int32_t status, std::string cwd) {
    if (auto* r = find_mut(pid)) {
        r->cwd = std::move(cwd);
        r->status = ProcessStatus::Exited;
        r->exit_code = status;
    }
}

void ProcessTable::update_context(Pid pid, std::string cwd, std::map<std::string, std::string> environment) {
    if (auto* r = find_mut(pid)) {
        r->cwd = std::move(cwd);
        r->environment = std::move(environment);
    }
}

void ProcessTable::set_open_fds(Pid pid, std::map<std::int32_t, std::string> listing) {
    if (auto* r = find_mut(pid)) r->open_fds = std::move(listing);
}

std::optional<ProcessRecord> ProcessTable::reap(Pid pid) {
    auto it = records_.find(pid);
    if (it == records_.end() || it->second.status != ProcessStatus::Exited) return std::nullopt;
    ProcessRecord record = std::move(it->second);
    records_.erase(it);
    return record;
}

std::vector<Pid> ProcessTable::group_members(Pid group) const {
    std::vector<Pid> out;
    for (const auto& [pid, r] : records_)
        if (r.pgid == group && r.status != ProcessStatus::Exited) out.push_back(pid);
    return out;
}

std::vector<Pid> ProcessTable::running_group_members(Pid group) const {
    std::vector<Pid> out;
    for (const auto& [pid, r] : records_)
        if (r.pgid == group && r.status == ProcessStatus::Running) out.push_back(pid);
    return out;
}

// ---- ProcessState ----

std::uint64_t Trap::fork_size() const {
    if (is_ignore()) return 16;
    return sat_add(sat_add(text.size(), action_size), 24);
}

std::uint64_t variable_entry_size(std::string_view name, std::string_view value) {
    return sat_add(sat_add(name.size(), 48), sat_add(value.size(), 48));
}

std::uint64_t ShellArray::modeled_size() const {
    std::uint64_t total = 0;
    if (const auto* indexed = std::get_if<Indexed>(&value)) {
        for (const auto& [_, v] : indexed->elements) total = sat_add(total, sat_add(v.size(), kIndexedElementOverhead));
    } else {
        for (const auto& [k, v] : std::get<Associative>(value).elements)
            total = sat_add(total, sat_add(sat_add(k.size(), 48), sat_add(v.size(), 48)));
    }
    return total;
}

void ProcessState::store_variable(std::string_view name, std::string value) {
    auto it = variables.find(std::string(name));
    if (it != variables.end()) {
        variables_size = sat_sub(variables_size, variable_entry_size(name, it->second));
        variables_size = sat_add(variables_size, variable_entry_size(name, value));
        it->second = std::move(value);
        return;
    }
    variables_size = sat_add(variables_size, variable_entry_size(name, value));
    variables.emplace(std::string(name), std::move(value));
}

std::map<std::string, std::string> ProcessState::environment_snapshot() const {
    std::map<std::string, std::string> env;
    for (const auto& name : exported_names)
        if (auto it = variables.find(name); it != variables.end()) env.emplace(name, it->second);
    return env;
}

std::uint64_t ProcessState::modeled_size() const {
    std::uint64_t total = sat_add(variables_size, arrays_size);
    total = sat_add(total, positional_size);
    total = sat_add(total, local_saved_size);
    total = sat_add(total, call_saved_size);
    total = sat_add(total, pending_stdin.size());
    // Functions and command traps hold syntax trees of their own.
    total = sat_add(total, language.modeled_size());
    for (const auto& [_, trap] : signal_traps) total = sat_add(total, trap.fork_size());
    if (exit_trap) total = sat_add(total, exit_trap->fork_size());
    if (err_trap) total = sat_add(total, err_trap->fork_size());
    return total;
}

std::uint64_t ProcessState::fork_size() const {
    // Each text counts its bytes plus 24.
    auto text = [](std::string_view t) { return sat_add(t.size(), 24); };
    std::uint64_t total = 0;
    auto add = [&](std::uint64_t n) { total = sat_add(total, n); };

    for (const auto& [name, value] : variables) add(sat_add(text(name), text(value)));
    for (const auto& name : exported_names) add(text(name));
    add(text(cwd));
    for (const auto& dir : dir_stack) add(text(dir));
    for (const auto& param : positional_params) add(text(param));
    add(pending_stdin.size());
    add(sat_mul(descriptors.count(), 16));
    for (const auto& [name, array] : arrays) {
        add(text(name));
        if (const auto* indexed = std::get_if<ShellArray::Indexed>(&array.value)) {
            for (const auto& [_, v] : indexed->elements) add(text(v));
        } else {
            for (const auto& [k, v] : std::get<ShellArray::Associative>(array.value).elements)
                add(sat_add(text(k), text(v)));
        }
    }
    for (const auto& name : readonly_names) add(text(name));
    for (const auto& name : shopt_enabled) add(text(name));
    for (const auto& [name, path] : hashed_commands) add(sat_add(text(name), text(path)));
    if (pending_error && pending_error->message) add(text(*pending_error->message));
    for (const auto& [_, trap] : signal_traps) add(trap.fork_size());
    if (exit_trap) add(exit_trap->fork_size());
    if (err_trap) add(err_trap->fork_size());
    add(language.fork_size());
    for (const auto& scope : local_scopes) {
        for (const auto& [name, saved] : scope) {
            add(text(name));
            if (saved.scalar) add(text(*saved.scalar));
            if (saved.array) {
                if (const auto* indexed = std::get_if<ShellArray::Indexed>(&saved.array->value)) {
                    for (const auto& [_, v] : indexed->elements) add(text(v));
                } else {
                    for (const auto& [k, v] : std::get<ShellArray::Associative>(saved.array->value).elements)
                        add(sat_add(text(k), text(v)));
                }
            }
        }
    }
    // The shell name, the job table and the program are not counted.
    return total;
}

std::string argv_display_line(const std::vector<std::string>& argv) {
    std::string line;
    for (std::size_t i = 0; i < argv.size() && line.size() < kCommandTextLimit; ++i) {
        if (i > 0 && line.size() < kCommandTextLimit) line.push_back(' ');
        const std::size_t room = kCommandTextLimit - line.size();
        const std::string& arg = argv[i];
        line.append(arg, 0, arg.size() <= room ? arg.size() : utf8_floor_boundary(arg, room));
    }
    return line;
}

// ---- ProcessStateTable ----

const ProcessState& ProcessStateTable::active() const {
    if (active_cache_ != nullptr) return *active_cache_;
    auto it = states_.find(active_);
    expect(it != states_.end(), "active process state must exist");
    active_cache_ = const_cast<ProcessState*>(&it->second);
    return it->second;
}

ProcessState& ProcessStateTable::active_mut() {
    if (active_cache_ != nullptr) return *active_cache_;
    auto it = states_.find(active_);
    expect(it != states_.end(), "active process state must exist");
    active_cache_ = &it->second;
    return it->second;
}

const ProcessState* ProcessStateTable::find(Pid pid) const {
    auto it = states_.find(pid);
    return it == states_.end() ? nullptr : &it->second;
}

ProcessState* ProcessStateTable::find_mut(Pid pid) {
    auto it = states_.find(pid);
    return it == states_.end() ? nullptr : &it->second;
}

Result<void, std::string> ProcessStateTable::select(Pid pid) {
    if (!states_.contains(pid)) return std::unexpected(fmt::format("process state does not exist for PID {}", pid));
    if (pid != active_) active_cache_ = nullptr;
    active_ = pid;
    return {};
}

Result<void, std::string> ProcessStateTable::set_program(Pid pid, ProcessContinuation program) {
    auto it = states_.find(pid);
    if (it == states_.end()) return std::unexpected(fmt::format("process state does not exist for PID {}", pid));
    it->second.program = std::move(program);
    return {};
}

std::optional<ProcessContinuation> ProcessStateTable::take_program(Pid pid) {
    auto it = states_.find(pid);
    if (it == states_.end()) return std::nullopt;
    std::optional<ProcessContinuation> program = std::move(it->second.program);
    it->second.program.reset();
    return program;
}

Result<void, std::string> ProcessStateTable::insert(Pid pid, ProcessState state) {
    if (states_.contains(pid)) return std::unexpected(fmt::format("process state already exists for PID {}", pid));
    states_.emplace(pid, std::move(state));
    return {};
}

}  // namespace tw
