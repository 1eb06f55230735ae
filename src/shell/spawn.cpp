// Spawning programs: a child created, prepared and launched in one request, or no trace of it;
// and the interpreter lines ("#!") that lead from a script to the program that runs it.
#include "shell/spawn.h"

#include <optional>

#include <fmt/format.h>

#include "base/panic.h"
#include "base/sat.h"
#include "base/utf8.h"
#include "kernel/machine.h"
#include "kernel/spawn.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"
#include "kernel/vfs_undo.h"
#include "shell/launch.h"
#include "shell/variables.h"

namespace tw {
namespace {

constexpr std::uint64_t kProgramTextLimit = 4096;
constexpr std::uint64_t kSpawnMemoryOverhead = 65536;
constexpr std::uint64_t kShebangCpuCost = 32768;
constexpr std::uint64_t kFirstLineLimit = 4096;

// The child's modeled memory: twice the size of what it is given, plus a fixed overhead.
std::uint64_t spawn_memory_base(const SpawnRequest& request) {
    std::uint64_t size = 256;
    for (const std::string& arg : request.argv) size = sat_add(size, sat_add(arg.size(), 32));
    for (const auto& [name, value] : request.environment)
        size = sat_add(size, sat_add(sat_add(name.size(), value.size()), 128));
    return sat_add(sat_mul(2, size), kSpawnMemoryOverhead);
}

bool has_open_action(const SpawnRequest& request) {
    for (const SpawnAction& action : request.actions)
        if (std::holds_alternative<spawn_action::Open>(action)) return true;
    return false;
}

std::optional<std::string_view> path_variable_of(const ProcessState& state) {
    auto it = state.variables.find("PATH");
    if (it == state.variables.end()) return std::nullopt;
    return std::string_view(it->second);
}

// What Open actions change in the filesystem, saved node by node before each change so that a
// failed spawn can put the filesystem back exactly.
class OpenUndo : public VfsUndoLog {
public:
    explicit OpenUndo(Vfs& vfs) : VfsUndoLog(vfs), vfs_(vfs) {}

    // The node an open of `path` (joined to `cwd`) may create or truncate: the last link followed.
    void save(std::string_view cwd, std::string_view path) {
        auto canonical = vfs_.resolve_symlinks(path_join_normalize(cwd, path), true);
        if (canonical) save_path(*canonical);
    }

private:
    Vfs& vfs_;
};

// The descriptor and directory actions, in order, as the active process (the child).
Result<void, SyscallError> apply_actions(Machine& machine, const std::vector<SpawnAction>& actions, OpenUndo& undo) {
    SyscallContext sys(machine);
    for (const SpawnAction& action : actions) {
        Result<void, SyscallError> done;
        if (const auto* close = std::get_if<spawn_action::Close>(&action)) {
            done = sys.close(close->fd);
        } else if (const auto* dup = std::get_if<spawn_action::Dup2>(&action)) {
            done = sys.dup2(dup->from, dup->to);
            if (done) {
                if (auto r = machine.states.active_mut().descriptors.set_cloexec(dup->to, false); !r)
                    done = std::unexpected(SyscallError::descriptor(r.error()));
            }
        } else if (const auto* from = std::get_if<spawn_action::CloseFrom>(&action)) {
            std::vector<std::int32_t> open;
            for (const auto& [fd, number] : machine.states.active().descriptors.fds())
                if (fd >= from->lowest) open.push_back(fd);
            for (std::int32_t fd : open) {
                done = sys.close(fd);
                if (!done) break;
            }
        } else if (const auto* open = std::get_if<spawn_action::Open>(&action)) {
            const std::string cwd = machine.states.active().cwd;
            const std::string path = path_join_normalize(cwd, open->path);
            const bool existed = machine.node_at("/", path, true).has_value();
            undo.save(cwd, open->path);
            done = sys.openat(open->fd, cwd, open->path, open->flags);
            if (done && open->flags.create && !existed) {
                const std::uint32_t mode = open->mode & ~static_cast<std::uint32_t>(machine.states.active().umask) & 07777;
                done = sys.chmod(cwd, open->path, mode);
            }
            if (done) {
                ProcessState& child = machine.states.active_mut();
                if (auto r = child.descriptors.set_cloexec(open->fd, open->cloexec); !r)
                    done = std::unexpected(SyscallError::descriptor(r.error()));
                else if (auto number = child.descriptors.description_of(open->fd))
                    machine.open_descriptions.set_fd_flags(*number, open->status_flags);
            }
        } else if (const auto* chdir = std::get_if<spawn_action::Chdir>(&action)) {
            done = sys.chdir(chdir->path);
        }
        if (!done) return done;
    }
    return {};
}

// The CPU work of searching for `path` from the child.
std::uint64_t search_cost(std::string_view path, const ProcessState& child) {
    if (path.find('/') != std::string_view::npos) return path.size();
    const std::string_view search = path_variable_of(child).value_or(kDefaultSearchPath);
    std::uint64_t entries = 1;
    for (char c : search) entries += c == ':' ? 1 : 0;
    const std::uint64_t per_entry = sat_add(sat_add(path.size(), 16), child.cwd.size());
    return sat_add(search.size(), sat_mul(entries, per_entry));
}

}  // namespace

void settle_exported_pwd(Machine& machine, Pid pid, const std::map<std::string, std::string>& environment) {
    ProcessState* state = machine.states.find_mut(pid);
    if (state == nullptr) return;
    if (auto it = environment.find("PWD"); it != environment.end()) {
        state->store_variable("PWD", it->second);
        state->export_variable("PWD");
    } else {
        unexport_variable(*state, "PWD");
    }
    machine.processes.update_context(pid, state->cwd, state->environment_snapshot());
}

Result<void, SyscallError> resolve_interpreter_chain(Machine& machine, std::string& path,
                                                     std::vector<std::string>& argv, std::uint32_t lines_read) {
    if (!machine.meter.charge_cpu(kShebangCpuCost)) return std::unexpected(SyscallError::resource_exhausted());
    const std::string cwd = machine.states.active().cwd;
    for (std::uint32_t lines = lines_read;; ) {
        if (lines > kMaxInterpreterLines) return std::unexpected(SyscallError::executable_format());
        auto node = machine.vfs.lookup("/", path, true);
        if (!node) return std::unexpected(SyscallError::file(std::move(node.error())));
        if ((*node)->is_native() || file_has_wasm_magic(machine.vfs, path)) return {};
        const Bytes* data = (*node)->data();
        if (data == nullptr) {
            auto read = machine.vfs.read_file("/", path, kFirstLineLimit);
            return std::unexpected(read ? SyscallError::executable_format() : SyscallError::file(std::move(read.error())));
        }
        const std::string_view head = std::string_view(*data).substr(0, kFirstLineLimit);
        const std::size_t newline = head.find('\n');
        if (newline == std::string_view::npos && head.size() == kFirstLineLimit)
            return std::unexpected(SyscallError::executable_format());
        ++lines;
        const std::string_view line = head.substr(0, newline);
        if (!utf8_valid(line) || !line.starts_with("#!")) return std::unexpected(SyscallError::executable_format());

        constexpr std::string_view kBlank = " \t\r\v\f";
        std::string_view rest = line.substr(2);
        const std::size_t start = rest.find_first_not_of(kBlank);
        rest = start == std::string_view::npos ? std::string_view() : rest.substr(start, rest.find_last_not_of(kBlank) - start + 1);
        const std::size_t split = rest.find_first_of(kBlank);
        const std::string_view interpreter = rest.substr(0, split);
        std::optional<std::string_view> argument;
        if (split != std::string_view::npos) {
            std::string_view tail = rest.substr(split);
            tail.remove_prefix(tail.find_first_not_of(kBlank));
            if (!tail.empty()) argument = tail;
        }
        if (!interpreter.starts_with('/')) return std::unexpected(SyscallError::executable_format());

        SearchResult found = search_path(machine.vfs, cwd, kDefaultSearchPath, interpreter);
        switch (found.kind) {
            case SearchResult::Kind::Denied: return std::unexpected(SyscallError::permission());
            case SearchResult::Kind::NotFound: return std::unexpected(SyscallError::file(VfsError::not_found(interpreter)));
            case SearchResult::Kind::Found: break;
        }
        std::vector<std::string> next;
        next.reserve(argv.size() + 2);
        next.push_back(found.path);
        if (argument) next.emplace_back(*argument);
        next.push_back(path);
        if (!argv.empty()) next.insert(next.end(), argv.begin() + 1, argv.end());
        argv = std::move(next);
        path = std::move(found.path);
    }
}

Result<void, SyscallError> Machine::resolve_shebang(std::string& path, std::vector<std::string>& argv) {
    return resolve_interpreter_chain(*this, path, argv, 0);
}

Result<Pid, SyscallError> Machine::spawn_process(const SpawnRequest& request) {
    // 1.
    if (request.argv.empty() || request.program.size() > kProgramTextLimit)
        return std::unexpected(SyscallError::invalid_argument());

    // 2. Charges: the child's base, and the filesystem snapshot while the call lasts.
    const std::uint64_t base = spawn_memory_base(request);
    const bool opens = has_open_action(request);
    const std::uint64_t snapshot_cost = opens ? sat_mul(2, vfs.used()) : 0;
    if (!meter.charge_memory(sat_add(base, snapshot_cost))) return std::unexpected(SyscallError::resource_exhausted());
    if (!meter.charge_cpu(sat_add(request.actions.size(), snapshot_cost))) {
        meter.release_memory(sat_add(base, snapshot_cost));
        return std::unexpected(SyscallError::resource_exhausted());
    }

    // 3. What Open actions change is put back on failure. The charge is that of a copy of the
    // whole filesystem; only the nodes the actions open are saved.
    OpenUndo undo(vfs);

    // 4. The child, active while it is prepared.
    const Pid caller = states.active_pid();
    auto created = create_child_process(argv_display_line(request.argv), true, false, false, GroupMode::Inherit);
    if (!created) {
        meter.release_memory(sat_add(base, snapshot_cost));
        return std::unexpected(SyscallError::process(std::move(created.error())));
    }
    const Pid child = *created;
    expect(states.select(child).has_value(), "prepared child");

    const auto prepare = [&]() -> Result<void, SyscallError> {
        // 5.
        ProcessState& state = states.active_mut();
        state.process_charge = sat_add(state.process_charge, base);

        // 6.
        if (auto r = init_child_state(child, std::nullopt, request.environment); !r)
            return std::unexpected(SyscallError::process(std::move(r.error())));
        settle_exported_pwd(*this, child, request.environment);

        // 7-8.
        if (auto r = apply_actions(*this, request.actions, undo); !r) return r;
        for (std::uint8_t number : request.default_signals)
            if (std::optional<Signal> signal = signal_parse(std::to_string(number)))
                states.active_mut().signal_traps.erase(*signal);

        // 9-10.
        const ProcessState& prepared = states.active();
        const std::string path =
            request.search ? request.program : path_join_normalize(prepared.cwd, request.program);
        if (!meter.charge_cpu(search_cost(path, prepared))) return std::unexpected(SyscallError::resource_exhausted());

        // 11.
        SearchResult found = search_path(vfs, prepared.cwd, path_variable_of(prepared), path);
        switch (found.kind) {
            case SearchResult::Kind::Denied: return std::unexpected(SyscallError::permission());
            case SearchResult::Kind::NotFound: return std::unexpected(SyscallError::file(VfsError::not_found(path)));
            case SearchResult::Kind::Found: break;
        }
        std::string resolved = std::move(found.path);
        std::vector<std::string> argv = request.argv;
        if (auto r = resolve_shebang(resolved, argv); !r) return r;
        const ProcessState& ready = states.active();
        processes.update_context(child, ready.cwd, ready.environment_snapshot());
        if (auto r = launch_command(child, std::move(argv), resolved, true); !r)
            return std::unexpected(SyscallError::process(std::move(r.error())));
        return {};
    };
    Result<void, SyscallError> prepared = prepare();

    // 12. The caller is active again; a failed child leaves no trace.
    expect(states.select(caller).has_value(), "retained calling process");
    if (!prepared) {
        reclaim_process_state(child);
        undo.undo();
    }
    meter.release_memory(snapshot_cost);
    if (!prepared) return std::unexpected(std::move(prepared.error()));
    return child;
}

}  // namespace tw
