#include "kernel/machine.h"

#include <algorithm>

#include <fmt/format.h>

#include "base/panic.h"
#include "base/sat.h"
#include "command_table/table.h"
#include "kernel/pseudo_fs.h"
#include "kernel/vfs_path.h"

namespace tw {
namespace {

constexpr std::string_view kBaseDirs[] = {"/root", "/tmp", "/work", "/usr", "/usr/bin", "/bin"};
constexpr std::string_view kShells[] = {"sh", "bash", "dash", "zsh"};

// The boot environment, stored in this order; all but IFS are exported.
struct BootVariable {
    std::string_view name, value;
    bool exported;
};
constexpr BootVariable kBootVariables[] = {
    {"HOME", "/root", true},
    {"PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", true},
    {"PWD", "/", true},
    {"SHELL", "/bin/bash", true},
    {"TERM", "xterm-256color", true},
    {"USER", "root", true},
    {"HOSTNAME", "sandbox", true},
    {"LANG", "C.UTF-8", true},
    {"IFS", " \t\n", false},
};

void insert_stub_pair(Vfs& vfs, std::string_view name, const NativeProgram& program) {
    vfs.insert_base_entry(fmt::format("/usr/bin/{}", name), program);
    vfs.insert_base_entry(fmt::format("/bin/{}", name), program);
}

// The base image: the six directories, then a stub in /usr/bin and /bin for every program,
// shell, native command and builtin name. It is the same for every machine (the boot clock is
// fixed), so it is built once per process and copied.
Vfs build_base_image() {
    Vfs vfs(0, Clock().wall_time_ms());
    for (auto dir : kBaseDirs) vfs.insert_base_dir(dir);
    vfs.raise_peak();

    for (std::size_t k = 0; k < kProgramKindCount; ++k) {
        auto kind = static_cast<ProgramKind>(k);
        insert_stub_pair(vfs, program_kind_name(kind), NativeProgram::resumable(kind));
    }
    for (auto shell : kShells) insert_stub_pair(vfs, shell, NativeProgram::named(std::string(shell)));

    std::vector<NativeStubEntry> entries = native_stub_entries();
    std::ranges::sort(entries, {}, &NativeStubEntry::path);
    for (const auto& entry : entries) {
        const NativeProgram& program = entry.program;
        if (program.tag() == NativeProgram::Tag::Named && program_kind_from_name(program.text())) continue;
        vfs.insert_base_entry(entry.path, program);
        if (std::string_view path = entry.path; path.starts_with("/usr/bin/"))
            vfs.insert_base_entry(fmt::format("/bin/{}", path.substr(9)), program);
    }
    return vfs;
}

const Vfs& base_image() {
    static const Vfs image = build_base_image();
    return image;
}

}  // namespace

Machine Machine::build(const MachineLimits& limits) {
    Machine m;
    m.meter = ResourceMeter(limits);

    // The default shell's variables and exported names.
    ProcessState shell;
    for (const auto& v : kBootVariables) {
        shell.store_variable(v.name, std::string(v.value));
        if (v.exported) shell.export_variable(v.name);
    }

    // Standard descriptions: an empty input, then two output captures, as descriptors 0, 1, 2.
    auto in = m.open_descriptions.insert_buffer({});
    expect(in.has_value(), "stdin descriptor");
    auto out = m.open_descriptions.insert_capture();
    expect(out.has_value(), "stdout descriptor");
    auto err = m.open_descriptions.insert_capture();
    expect(err.has_value(), "stderr descriptor");
    expect(shell.descriptors.install(0, *in, m.open_descriptions).has_value() &&
               shell.descriptors.install(1, *out, m.open_descriptions).has_value() &&
               shell.descriptors.install(2, *err, m.open_descriptions).has_value(),
           "standard descriptor table");

    m.vfs = base_image();
    m.vfs.set_capacity(limits.disk);

    ProcessRecord record;
    record.command = "bash";
    record.cwd = "/";
    record.environment = shell.environment_snapshot();
    record.pid = kFirstShellPid;
    record.ppid = 0;
    record.uid = 0;
    record.pgid = kFirstShellPid;
    record.sid = kFirstShellPid;
    m.processes.insert(std::move(record));
    m.processes.set_next_pid(kFirstShellPid + 1);

    m.hostname = "sandbox";
    m.scheduler = Scheduler::with_running(kFirstShellPid);

    shell.pid = kFirstShellPid;
    shell.ppid = 0;
    shell.shell_pid = kFirstShellPid;
    shell.pgid = kFirstShellPid;
    shell.sid = kFirstShellPid;
    shell.cwd = "/";
    shell.state_size_baseline = shell.modeled_size();
    (void)m.states.insert(kFirstShellPid, std::move(shell));
    (void)m.states.select(kFirstShellPid);
    m.refresh_open_fds(kFirstShellPid);

    m.shell_pgid = kFirstShellPid;
    m.foreground_pgid = kFirstShellPid;
    return m;
}

Machine Machine::create(const MachineLimits& limits, bool real_time) {
    Machine m = build(limits);
    if (real_time)
        m.pacing = PacingBaseline{.virtual_ns = m.clock.now_ns(), .host = std::chrono::steady_clock::now()};
    return m;
}

// ---- clock ----

std::uint64_t Machine::sync_vfs_clock() {
    __int128 wall = static_cast<__int128>(clock.now_ns());
    if (__builtin_add_overflow(wall, clock.wall_base_ns(), &wall) ||
        __builtin_add_overflow(wall, clock.wall_offset_ns(), &wall) || wall < 0)
        wall = 0;
    const auto ns = wall > static_cast<__int128>(kU64Max) ? kU64Max : static_cast<std::uint64_t>(wall);
    vfs.advance_clock_ns(ns);
    return vfs.now_ms();
}

Result<void, std::string> Machine::sync_real_time_clock() { return tw::sync_real_time_clock(clock, pacing); }
Result<void, std::string> Machine::advance_time_to(std::uint64_t t) { return tw::advance_time_to(clock, pacing, t); }
Result<void, std::string> Machine::poll_clock() { return tw::poll_clock(clock, scheduler, pacing); }
Result<void, std::string> Machine::dispatch_ready_events() { return tw::dispatch_ready_events(clock, scheduler); }

void Machine::cancel_clock_event(std::uint64_t time_ns, std::uint64_t sequence) {
    clock.cancel(EventKey{time_ns, sequence});
}

// ---- wakes ----

void Machine::wake_waiters(int kind, std::uint32_t pipe) {
    scheduler.wake_blocked(kind == 2 ? WaitReason::pipe_writable(pipe) : WaitReason::pipe_readable(pipe));
}

void Machine::wake_pipe_waiters(std::uint32_t pipe, int end) {
    if (end == 0) scheduler.wake_blocked(WaitReason::pipe_readable(pipe));
    else if (end == 1) scheduler.wake_blocked(WaitReason::pipe_writable(pipe));
    prune_pipe_charges();
    wake_lock_waiters();
}

void Machine::wake_lock_waiters() {
    if (!open_descriptions.locks_changed()) return;
    open_descriptions.set_locks_changed(false);
    scheduler.wake_file_lock_waiters();
}

void Machine::prune_pipe_charges() {
    for (auto it = pipe_charges.begin(); it != pipe_charges.end();) {
        if (open_descriptions.pipe_exists(it->first)) {
            ++it;
            continue;
        }
        meter.release_memory(it->second);
        it = pipe_charges.erase(it);
    }
}

// ---- processes ----

void Machine::refresh_open_fds(Pid pid) {
    const ProcessState* state = states.find(pid);
    if (!state) return;
    std::map<std::int32_t, std::string> listing;
    for (const auto& [fd, number] : state->descriptors.fds())
        if (open_descriptions.get(number)) listing.emplace(fd, open_descriptions.display_name(number));
    processes.set_open_fds(pid, std::move(listing));
}

// ---- filesystem ----

std::optional<Result<VfsNode, VfsError>> Machine::pseudo_lookup(std::string_view base, std::string_view path,
                                                                bool follow_last) const {
    return PseudoFs::lookup(*this, base, path, follow_last);
}

std::optional<Result<std::string, VfsError>> Machine::read_pseudo_link(std::string_view base,
                                                                       std::string_view path) const {
    auto content = PseudoFs::render(*this, base, path, false);
    if (!content) return std::nullopt;
    if (!*content) return std::unexpected(std::move(content->error()));
    if ((*content)->kind != PseudoContent::Kind::Link) return std::unexpected(VfsError::invalid(path));
    return std::move((*content)->target);
}

Result<VfsNode, VfsError> Machine::node_at(std::string_view base, std::string_view path, bool follow_last) const {
    if (auto pseudo = pseudo_lookup(base, path, follow_last)) return std::move(*pseudo);
    return vfs.metadata(base, path, follow_last);
}

Result<FileStat, SyscallError> Machine::stat_path(std::string_view base, std::string_view path,
                                                  bool follow_last) const {
    if (auto pseudo = pseudo_lookup(base, path, follow_last)) {
        if (!*pseudo) return std::unexpected(SyscallError::file(std::move(pseudo->error())));
        return Vfs::stat_node(**pseudo);
    }
    auto node = vfs.lookup(base, path, follow_last);
    if (!node) return std::unexpected(SyscallError::file(node.error()));
    return FileStat::from_node(**node);
}

Result<std::string, VfsError> Machine::read_link(std::string_view base, std::string_view path) const {
    if (auto pseudo = read_pseudo_link(base, path)) return std::move(*pseudo);
    return vfs.read_link(base, path);
}

std::optional<Result<Bytes, VfsError>> Machine::read_pseudo_file(std::string_view base,
                                                                 std::string_view path) const {
    auto content = PseudoFs::render(*this, base, path, true);
    if (!content) return std::nullopt;
    if (!*content) return std::unexpected(std::move(content->error()));
    switch ((*content)->kind) {
    case PseudoContent::Kind::Bytes: return std::move((*content)->bytes);
    case PseudoContent::Kind::Device: return std::unexpected(VfsError::invalid(path));
    case PseudoContent::Kind::Listing: return std::unexpected(VfsError::is_a_dir(path));
    case PseudoContent::Kind::Link: return std::unexpected(VfsError::not_found(path));
    }
    unreachable("pseudo content kind");
}

Result<Bytes, VfsError> Machine::read_file_limited(std::string_view base, std::string_view path,
                                                   std::uint64_t limit) {
    if (auto pseudo = read_pseudo_file(base, path)) {
        if (*pseudo && (*pseudo)->size() > limit) return std::unexpected(VfsError::too_large(path, limit));
        return std::move(*pseudo);
    }
    return vfs.read_file(base, path, limit);
}

Result<LentBytes, VfsError> Machine::lend_file_limited(std::string_view base, std::string_view path,
                                                       std::uint64_t limit) {
    if (auto pseudo = read_pseudo_file(base, path)) {
        if (!*pseudo) return std::unexpected(std::move(pseudo->error()));
        if ((*pseudo)->size() > limit) return std::unexpected(VfsError::too_large(path, limit));
        return LentBytes::owned(std::move(**pseudo));
    }
    auto view = vfs.file_view(base, path, limit);
    if (!view) return std::unexpected(std::move(view.error()));
    return LentBytes::borrowed(*view);
}

Result<std::vector<std::string>, VfsError> Machine::list_dir_names(std::string_view base,
                                                                   std::string_view path) const {
    if (auto content = PseudoFs::render(*this, base, path, true)) {
        if (!*content) return std::unexpected(std::move(content->error()));
        if ((*content)->kind != PseudoContent::Kind::Listing) return std::unexpected(VfsError::not_a_dir(path));
        std::vector<std::string> names = std::move((*content)->names);
        std::ranges::sort(names);
        return names;
    }
    return vfs.list_child_names(base, path);
}

Result<std::uint64_t, VfsError> Machine::file_size_at(std::string_view base, std::string_view path) const {
    if (auto pseudo = read_pseudo_file(base, path)) {
        if (!*pseudo) return std::unexpected((*pseudo).error());
        return (*pseudo)->size();
    }
    return vfs.file_size_at(base, path);
}

Result<std::string, VfsError> Machine::walk_path(std::string_view path) const {
    std::string current = path_join_normalize("/", path);
    for (int pass = 0; pass < 40; ++pass) {
        std::vector<std::string_view> parts;
        for (std::size_t i = 0; i < current.size();) {
            std::size_t j = current.find('/', i);
            if (j == std::string::npos) j = current.size();
            if (j > i) parts.push_back(std::string_view(current).substr(i, j - i));
            i = j + 1;
        }
        std::string walked = "/";
        std::optional<std::string> rewritten;
        for (std::size_t k = 0; k < parts.size(); ++k) {
            std::string candidate = walked == "/" ? fmt::format("/{}", parts[k]) : fmt::format("{}/{}", walked, parts[k]);
            auto node = node_at("/", candidate, false);
            if (!node) return std::unexpected(node.error());
            if (!node->is_symlink()) {
                walked = std::move(candidate);
                continue;
            }
            auto target = read_link("/", candidate);
            if (!target) return std::unexpected(target.error());
            std::string next = path_join_normalize(vfs_parent_path(candidate).value_or("/"), *target);
            for (std::size_t rest = k + 1; rest < parts.size(); ++rest) fmt::format_to(std::back_inserter(next), "/{}", parts[rest]);
            rewritten = path_normalize(next);
            break;
        }
        if (!rewritten) return walked;
        current = std::move(*rewritten);
    }
    return std::unexpected(VfsError::loop(current));
}

Result<void, SyscallError> Machine::remove_path(std::string_view base, std::string_view path) {
    sync_vfs_clock();
    auto canonical = vfs.canonical_path(base, path, false);
    if (!canonical) return std::unexpected(SyscallError::file(canonical.error()));

    auto is_open_by_path = [&](const OpenDescription& d) {
        const auto* file = std::get_if<target::File>(&d.target);
        return file && !file->backing.orphan && file->path == *canonical;
    };
    const bool open = std::ranges::any_of(open_descriptions.descriptions(),
                                          [&](const auto& entry) { return is_open_by_path(entry.second); });
    const VfsNode* node = open ? vfs.node(*canonical) : nullptr;
    if (!open || (node && !node->is_file())) {
        if (auto r = vfs.remove_file(base, path); !r) return std::unexpected(SyscallError::file(r.error()));
        return {};
    }
    if (!node) return std::unexpected(SyscallError::file(VfsError::not_found(path)));

    auto orphan = vfs.move_to_orphans(*canonical);
    if (!orphan) return std::unexpected(SyscallError::file(orphan.error()));
    for (const auto& [number, description] : open_descriptions.descriptions()) {
        if (!is_open_by_path(description)) continue;
        auto d = open_descriptions.get_mut(number);
        std::get<target::File>((*d)->target).backing.orphan = *orphan;
    }
    return {};
}

std::uint64_t Machine::charge_message_output(std::uint64_t n) {
    const std::uint64_t room = meter.output_remaining();
    (void)meter.charge_output(n);
    return std::min(n, room);
}

void Machine::append_charged_message(Bytes& out, BytesView text) {
    out.append(text.substr(0, charge_message_output(text.size())));
}

void Machine::drop_unreferenced_orphans() {
    std::set<std::uint64_t> keep;
    for (const auto& [_, description] : open_descriptions.descriptions())
        if (const auto* file = std::get_if<target::File>(&description.target); file && file->backing.orphan)
            keep.insert(*file->backing.orphan);
    vfs.drop_unreferenced_orphans(keep);
}

// ---- bounded capture ----

BoundedAppend bounded_buffer_append(Machine& machine, Bytes& buffer, BytesView bytes) {
    std::uint64_t total;
    if (__builtin_add_overflow(std::uint64_t{buffer.size()}, std::uint64_t{bytes.size()}, &total) ||
        total > kCaptureLimit)
        return BoundedAppend::LimitExceeded;
    if (!machine.meter.charge_cpu(bytes.size()) || !machine.meter.charge_memory(sat_mul(bytes.size(), 2)))
        return BoundedAppend::BudgetRefused;
    buffer.append(bytes);
    return BoundedAppend::Appended;
}

void format_safety_limit_error(Bytes& buffer, std::string_view name, std::string_view subject,
                               std::uint64_t limit) {
    fmt::format_to(std::back_inserter(buffer), "{}: {} exceeds the safety limit ({})\n", name, subject, limit);
}

std::int32_t safety_limit_error(Bytes& err, std::string_view name, BoundedAppend outcome) {
    if (outcome == BoundedAppend::LimitExceeded) {
        format_safety_limit_error(err, name, "generated wrapper", kCaptureLimit);
        return 2;
    }
    return 137;
}

}  // namespace tw
