#include "kernel/process.h"

#include <array>
#include <charconv>

#include <fmt/format.h>

#include "base/panic.h"
#include "base/sat.h"

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
    if (text.starts_with("SIG")) text.remove_prefix(3);
    int number = -1;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    const bool numeric = ec == std::errc{} && end == text.data() + text.size() && !text.empty();
    for (std::size_t i = 0; i < kSignals.size(); ++i)
        if (numeric ? kSignals[i].number == number : kSignals[i].name == text) return static_cast<Signal>(i);
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

std::uint64_t variable_entry_size(std::string_view name, std::string_view value) {
    return sat_add(sat_add(name.size(), 48), sat_add(value.size(), 48));
}

std::uint64_t ShellArray::modeled_size() const {
    std::uint64_t total = 0;
    if (const auto* indexed = std::get_if<Indexed>(&value)) {
        for (const auto& [_, v] : indexed->elements) total = sat_add(total, sat_add(v.size(), 48));
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
    return sat_add(total, pending_stdin.size());
}

// ---- ProcessStateTable ----

const ProcessState& ProcessStateTable::active() const {
    auto it = states_.find(active_);
    expect(it != states_.end(), "active process state must exist");
    return it->second;
}

ProcessState& ProcessStateTable::active_mut() {
    auto it = states_.find(active_);
    expect(it != states_.end(), "active process state must exist");
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
    active_ = pid;
    return {};
}

Result<void, std::string> ProcessStateTable::insert(Pid pid, ProcessState state) {
    if (states_.contains(pid)) return std::unexpected(fmt::format("process state already exists for PID {}", pid));
    states_.emplace(pid, std::move(state));
    return {};
}

}  // namespace tw
