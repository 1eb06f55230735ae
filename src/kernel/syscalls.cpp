#include "kernel/syscalls.h"
#include "kernel/spawn.h"

#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "base/panic.h"
#include "base/sat.h"
#include "kernel/machine.h"
#include "kernel/vfs_path.h"

namespace tw {
namespace {

constexpr std::array<std::string_view, kSyscallCount> kSyscallNames = {
    "getpid", "getppid", "environment", "hostname", "set_hostname", "getuid", "getcwd", "chdir", "umask",
    "set_umask", "limits", "cpu_used", "disk_used", "memory_used", "record_command_usage", "stat", "fstat",
    "read_dir", "walk_tree", "read_file", "write_file_mode", "write_file", "install_files", "read",
    "read_description", "write", "open", "openat", "dup2", "descriptor_file_type", "flock", "descriptor_inode",
    "descriptor_readiness", "directory_path", "pipe", "spawn_process", "truncate", "descriptor_file_target",
    "close", "seek", "chmod", "remove", "mkdir", "mkdir_all", "rmdir", "rename", "copy_file", "copy_tree",
    "symlink", "chown", "set_times", "link_target", "readlink", "resolve_directory", "file_time_now",
    "wall_time_ns", "monotonic_ns", "sleep", "random_bytes", "next_unique_id", "host_tool_request",
    "add_http_route", "add_http_route_file", "listen", "network_log_len", "network_log_entry", "process_list",
    "listeners", "prepare_child", "setup_child_state", "kill", "ignore_signal", "set_signal_disposition",
    "wait_status", "child_state", "reap_child", "display_open", "display_present", "input_poll_key",
    "display_close", "charge_cpu", "charge_memory", "release_memory", "output_remaining", "charge_output",
    "exhausted_status", "record_unsupported",
};
static_assert(kSyscallNames.size() == static_cast<std::size_t>(SyscallNumber::RecordUnsupported) + 1 &&
              !kSyscallNames.back().empty());

std::unexpected<SyscallError> fail(VfsError e) { return std::unexpected(SyscallError::file(std::move(e))); }
std::unexpected<SyscallError> fail(DescriptorError e) { return std::unexpected(SyscallError::descriptor(e)); }
std::unexpected<SyscallError> fail(SyscallError e) { return std::unexpected(std::move(e)); }

bool has_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

}  // namespace

std::string_view syscall_name(SyscallNumber number) { return kSyscallNames[static_cast<std::size_t>(number)]; }

ProcessState& SyscallContext::active() { return machine_.states.active_mut(); }

Result<std::uint32_t, SyscallError> SyscallContext::lookup(std::int32_t fd) {
    auto number = active().descriptors.lookup(fd);
    if (!number) return fail(number.error());
    return *number;
}

// ---- process identity and environment ----

Pid SyscallContext::getpid() { return active().pid; }
Pid SyscallContext::getppid() { return active().ppid; }

std::vector<std::string> SyscallContext::environment() {
    std::vector<std::string> out;
    for (const auto& [name, value] : active().environment_snapshot()) out.push_back(fmt::format("{}={}", name, value));
    return out;
}

std::string SyscallContext::hostname() { return machine_.hostname; }

Result<void, SyscallError> SyscallContext::set_hostname(std::string_view name) {
    if (name.empty() || name.size() > kMaxHostnameBytes || has_nul(name)) return fail(SyscallError::invalid_argument());
    machine_.hostname = std::string(name);
    return {};
}

std::uint32_t SyscallContext::getuid() { return active().uid; }
std::string SyscallContext::getcwd() { return active().cwd; }

Result<void, SyscallError> SyscallContext::chdir(std::string_view path) {
    if (!pay_path(active().cwd, path)) return fail(SyscallError::resource_exhausted());
    if (path.empty() || has_nul(path)) return fail(SyscallError::invalid_argument());
    const std::string joined = path_join_normalize(active().cwd, path);
    auto node = machine_.node_at(active().cwd, path, true);
    if (!node) return fail(std::move(node.error()));
    if (!node->is_dir()) return fail(VfsError::not_a_dir(joined));
    auto physical = machine_.walk_path(joined);
    if (!physical) return fail(std::move(physical.error()));
    active().cwd = std::move(*physical);
    return {};
}

std::uint16_t SyscallContext::umask() { return active().umask; }

Result<void, SyscallError> SyscallContext::set_umask(std::uint16_t mask) {
    if (mask >= 01000) return fail(SyscallError::invalid_argument());
    active().umask = mask;
    return {};
}

// ---- budgets ----

Limits SyscallContext::limits() { return machine_.meter.limits(); }
std::uint64_t SyscallContext::cpu_used() { return machine_.meter.cpu_used(); }
std::uint64_t SyscallContext::disk_used() { return machine_.vfs.used(); }
std::uint64_t SyscallContext::memory_used() { return machine_.meter.memory_current(); }

void SyscallContext::record_command_usage(std::string_view command, std::uint64_t cpu_start,
                                          std::uint64_t disk_start) {
    machine_.meter.record_command_usage(command, cpu_start, disk_start, machine_.vfs.used());
}

// ---- files by path ----

Result<FileStat, SyscallError> SyscallContext::stat(std::string_view base, std::string_view path, bool follow_last) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    return machine_.stat_path(base, path, follow_last);
}

Result<FileStat, SyscallError> SyscallContext::fstat(std::int32_t fd) {
    if (auto dir = directory_path(fd)) return machine_.stat_path("/", *dir, true);
    auto file = descriptor_file_target(fd);
    if (!file) return fail(std::move(file.error()));
    if (file->backing.orphan) {
        const VfsNode* node = machine_.vfs.orphan(*file->backing.orphan);
        if (!node) return fail(VfsError::unlinked_file(*file->backing.orphan));
        return FileStat::from_node(*node);
    }
    // Through the pseudo filesystem first, then the tree with links followed.
    return machine_.stat_path("/", file->path, true);
}

Result<std::vector<std::string>, SyscallError> SyscallContext::read_dir(std::string_view base, std::string_view path) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    auto names = machine_.list_dir_names(base, path);
    if (!names) return fail(std::move(names.error()));
    return std::move(*names);
}

Result<std::vector<std::string>, SyscallError> SyscallContext::walk_tree(std::string_view base,
                                                                         std::string_view path) {
    const std::string root = path_join_normalize(base, path);
    if (auto node = machine_.node_at("/", root, false); !node) return fail(std::move(node.error()));
    std::vector<std::string> out;
    std::vector<std::string> stack{root};
    while (!stack.empty()) {
        std::string current = std::move(stack.back());
        stack.pop_back();
        if (!pay_path("/", current)) return fail(SyscallError::resource_exhausted());
        auto node = machine_.node_at("/", current, false);
        if (!node) return fail(std::move(node.error()));
        const bool is_dir = node->is_dir();
        if (is_dir) {
            auto names = machine_.list_dir_names("/", current);
            if (!names) return fail(std::move(names.error()));
            std::ranges::sort(*names);
            for (auto it = names->rbegin(); it != names->rend(); ++it)
                stack.push_back(current == "/" ? fmt::format("/{}", *it) : fmt::format("{}/{}", current, *it));
        }
        out.push_back(std::move(current));
    }
    return out;
}

Result<Bytes, SyscallError> SyscallContext::read_file(std::string_view base, std::string_view path,
                                                      std::uint64_t limit) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    auto bytes = machine_.read_file_limited(base, path, limit);
    if (!bytes) return fail(std::move(bytes.error()));
    return std::move(*bytes);
}

Result<LentBytes, SyscallError> SyscallContext::lend_file(std::string_view base, std::string_view path,
                                                          std::uint64_t limit) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    auto bytes = machine_.lend_file_limited(base, path, limit);
    if (!bytes) return fail(std::move(bytes.error()));
    return std::move(*bytes);
}

Result<void, SyscallError> SyscallContext::write_file_mode(std::string_view base, std::string_view path, Bytes bytes,
                                                           std::uint32_t mode) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    machine_.sync_vfs_clock();
    if (auto r = machine_.vfs.write_file_mode(base, path, std::move(bytes), mode); !r) return fail(std::move(r.error()));
    return {};
}

Result<void, SyscallError> SyscallContext::write_file(std::string_view base, std::string_view path, Bytes bytes,
                                                      std::uint32_t mode) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    machine_.sync_vfs_clock();
    const std::string joined = path_join_normalize(base, path);
    if (auto r = machine_.vfs.write_file(joined, std::move(bytes), mode); !r) return fail(std::move(r.error()));
    return {};
}

Result<void, SyscallError> SyscallContext::install_files(std::string_view base, std::vector<InstallOp> ops) {
    return machine_.install_files(base, std::move(ops));
}

// ---- descriptors ----

Result<ReadOutcome, SyscallError> SyscallContext::read(std::int32_t fd, std::uint64_t max) {
    return machine_.read_fd(fd, max);
}

Result<Bytes, SyscallError> SyscallContext::read_description(std::int32_t fd, std::uint64_t offset,
                                                             std::uint64_t max) {
    return machine_.read_description_at(fd, offset, max);
}

Result<WriteOutcome, SyscallError> SyscallContext::write(std::int32_t fd, BytesView bytes) {
    return machine_.write_fd(fd, bytes);
}

Result<std::int32_t, SyscallError> SyscallContext::open(std::string_view base, std::string_view path,
                                                        OpenFlags flags) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    return machine_.open_lowest(base, path, flags);
}

Result<void, SyscallError> SyscallContext::openat(std::int32_t fd, std::string_view base, std::string_view path,
                                                  OpenFlags flags) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    return machine_.open_at(fd, base, path, flags);
}

Result<void, SyscallError> SyscallContext::dup2(std::int32_t source, std::int32_t target) {
    auto& table = machine_.open_descriptions;
    const auto before = active().descriptors.description_of(target);
    const PipeEndpoint replaced = before ? description_pipe_endpoint(table, *before) : PipeEndpoint{};
    auto number = lookup(source);
    if (!number) return fail(std::move(number.error()));
    if (target == source) return {};
    if (auto r = active().descriptors.install(target, *number, table); !r) return fail(r.error());
    machine_.wake_pipe_waiters(replaced.pipe, replaced.wake_end());
    machine_.refresh_open_fds(active().pid);
    return {};
}

Result<std::array<std::uint8_t, 4>, SyscallError> SyscallContext::descriptor_file_type(std::int32_t fd) {
    auto number = lookup(fd);
    if (!number) return fail(std::move(number.error()));
    auto info = machine_.open_descriptions.file_type(*number);
    if (!info) return fail(DescriptorError::InvalidFd);
    return std::array<std::uint8_t, 4>{info->readable, info->writable, info->status_flags,
                                       static_cast<std::uint8_t>(info->type)};
}

Result<bool, SyscallError> SyscallContext::flock(std::int32_t fd, std::uint8_t operation) {
    if (!machine_.meter.charge_cpu(4096)) return fail(SyscallError::resource_exhausted());
    auto inode = descriptor_inode(fd);
    if (!inode) return fail(std::move(inode.error()));
    if (operation > 2) return fail(SyscallError::invalid_argument());
    auto number = lookup(fd);
    if (!number) return fail(std::move(number.error()));
    auto& table = machine_.open_descriptions;
    auto d = table.get_mut(*number);
    if (!d) return fail(d.error());
    OpenDescription& mine = **d;
    auto drop_lock = [&] {
        mine.lock_mode = LockMode::None;
        table.set_locks_changed(true);
    };
    bool granted = true;
    if (operation == 2) {
        if (mine.lock_mode != LockMode::None) drop_lock();
    } else {
        const LockMode wanted = operation == 1 ? LockMode::Exclusive : LockMode::Shared;
        if (mine.lock_mode != wanted || mine.lock_inode != *inode) {
            if (mine.lock_mode != LockMode::None) drop_lock();
            for (const auto& [other_number, other] : table.descriptions()) {
                if (other_number == *number || other.lock_mode == LockMode::None || other.lock_inode != *inode) continue;
                if (other.lock_mode == LockMode::Exclusive || wanted == LockMode::Exclusive) {
                    granted = false;
                    break;
                }
            }
            if (granted) {
                mine.lock_inode = *inode;
                mine.lock_mode = wanted;
            }
        }
    }
    machine_.wake_lock_waiters();
    return granted;
}

Result<std::uint64_t, SyscallError> SyscallContext::descriptor_inode(std::int32_t fd) {
    auto number = lookup(fd);
    if (!number) return fail(std::move(number.error()));
    auto d = machine_.open_descriptions.get(*number);
    if (!d) return fail(d.error());
    if (!(*d)->inode) return fail(DescriptorError::WrongAccess);
    return *(*d)->inode;
}

Result<DescriptorReadiness, SyscallError> SyscallContext::descriptor_readiness(std::int32_t fd, bool for_write) {
    auto number = lookup(fd);
    if (!number) return fail(std::move(number.error()));
    const auto& table = machine_.open_descriptions;
    auto d = table.get(*number);
    if (!d) return fail(d.error());
    const DescriptionTarget& t = (*d)->target;

    if (const auto* file = std::get_if<target::File>(&t)) {
        if (for_write) {
            if (!file->writable) return fail(DescriptorError::WrongAccess);
            return DescriptorReadiness::ready(kU64Max);
        }
        if (!file->readable) return fail(DescriptorError::WrongAccess);
        auto length = file->backing.orphan ? machine_.vfs.orphan_len(*file->backing.orphan)
                                           : machine_.vfs.file_size_at("/", file->path);
        if (!length) return fail(std::move(length.error()));
        return DescriptorReadiness::ready(sat_sub(*length, file->cursor));
    }

    const auto access = table.file_type(*number);
    if (!access || (for_write ? !access->writable : !access->readable)) return fail(DescriptorError::WrongAccess);
    const auto& pipes = table.pipes();
    return std::visit(
        [&](const auto& v) -> DescriptorReadiness {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, target::BufferedInput>) {
                const std::uint64_t unread = sat_sub(v.data.size(), v.cursor);
                if (unread > 0 || v.closed)
                    return v.closed ? DescriptorReadiness::closed(unread) : DescriptorReadiness::ready(unread);
                return DescriptorReadiness::pending(WaitReason::input_readable(*number));
            } else if constexpr (std::is_same_v<T, target::OutputCapture>) {
                return DescriptorReadiness::ready(sat_sub(kMaxBufferedBytes, v.data.size()));
            } else if constexpr (std::is_same_v<T, target::Device>) {
                return DescriptorReadiness::ready(4096);
            } else if constexpr (std::is_same_v<T, target::PipeRead>) {
                auto it = pipes.find(v.pipe);
                if (it == pipes.end()) return DescriptorReadiness::pending(WaitReason::pipe_readable(v.pipe));
                const Pipe& p = it->second;
                if (!p.buffer.empty() || p.writers == 0)
                    return p.writers == 0 ? DescriptorReadiness::closed(p.buffer.size())
                                          : DescriptorReadiness::ready(p.buffer.size());
                return DescriptorReadiness::pending(WaitReason::pipe_readable(v.pipe));
            } else if constexpr (std::is_same_v<T, target::PipeWrite>) {
                auto it = pipes.find(v.pipe);
                if (it == pipes.end()) return DescriptorReadiness::pending(WaitReason::pipe_writable(v.pipe));
                const Pipe& p = it->second;
                if (p.readers == 0) return DescriptorReadiness::closed(0);
                if (p.buffer.size() < p.capacity) return DescriptorReadiness::ready(p.capacity - p.buffer.size());
                return DescriptorReadiness::pending(WaitReason::pipe_writable(v.pipe));
            } else {
                return DescriptorReadiness::ready(0);  // Directory, NullDevice
            }
        },
        t);
}

Result<std::string, SyscallError> SyscallContext::directory_path(std::int32_t fd) {
    auto number = lookup(fd);
    if (!number) return fail(std::move(number.error()));
    auto d = machine_.open_descriptions.get(*number);
    if (!d) return fail(DescriptorError::InvalidFd);
    const auto* dir = std::get_if<target::Directory>(&(*d)->target);
    if (!dir) return fail(DescriptorError::WrongAccess);
    return dir->path;
}

Result<std::pair<std::int32_t, std::int32_t>, SyscallError> SyscallContext::pipe(bool cloexec,
                                                                                  std::uint8_t status_flags) {
    const DescriptorTable& open = active().descriptors;
    if (open.count() >= kMaxDescriptorsPerProcess - 1) return fail(DescriptorError::DescriptorLimit);
    const auto read_fd = open.lowest_free(kFirstChosenFd, kLastChosenFd);
    const auto write_fd = read_fd ? open.lowest_free(*read_fd + 1, kLastChosenFd) : std::nullopt;
    if (!write_fd) return fail(DescriptorError::DescriptorLimit);

    if (!machine_.meter.charge_cpu(1) || !machine_.meter.charge_memory(kPipeMemoryCharge))
        return fail(SyscallError::resource_exhausted());
    auto& table = machine_.open_descriptions;
    auto created = table.create_pipe();
    if (!created) {
        machine_.meter.release_memory(kPipeMemoryCharge);
        return fail(created.error());
    }
    const auto [read_number, write_number] = *created;
    const std::uint32_t pipe_number = std::get<target::PipeRead>((*table.get(read_number))->target).pipe;
    machine_.pipe_charges[pipe_number] = kPipeMemoryCharge;

    DescriptorTable& fds = active().descriptors;
    const bool installed = fds.install(*read_fd, read_number, table).has_value() &&
                           fds.install(*write_fd, write_number, table).has_value() &&
                           fds.set_cloexec(*read_fd, cloexec).has_value() &&
                           fds.set_cloexec(*write_fd, cloexec).has_value();
    expect(installed, "pipe descriptors must install after the checks");
    table.set_fd_flags(read_number, status_flags);
    table.set_fd_flags(write_number, status_flags);
    machine_.refresh_open_fds(active().pid);
    return std::pair{*read_fd, *write_fd};
}

Result<Pid, SyscallError> SyscallContext::spawn_process(const SpawnRequest& request) {
    // Spawning belongs to the command-launch layer, which hands its hooks over in the launcher.
    const LaunchHooks* hooks = launch_ ? launch_.target<LaunchHooks>() : nullptr;
    if (hooks == nullptr || hooks->spawn == nullptr)
        return fail(SyscallError::process("process spawning is not available"));
    return hooks->spawn(machine_, request);
}

Result<void, SyscallError> SyscallContext::truncate(std::int32_t fd, std::uint64_t length) {
    auto file = descriptor_file_target(fd);
    if (!file) return fail(std::move(file.error()));
    if (!file->writable) return fail(SyscallError::permission());
    machine_.sync_vfs_clock();
    auto r = file->backing.orphan ? machine_.vfs.resize_orphan(*file->backing.orphan, length)
                                  : machine_.vfs.resize_file(file->path, length);
    if (!r) return fail(std::move(r.error()));
    return {};
}

Result<FileTarget, SyscallError> SyscallContext::descriptor_file_target(std::int32_t fd) {
    auto number = lookup(fd);
    if (!number) return fail(std::move(number.error()));
    auto file = machine_.open_descriptions.classify_file(*number);
    if (!file) return fail(file.error());
    if (!*file) return fail(DescriptorError::WrongAccess);
    return std::move(**file);
}

Result<void, SyscallError> SyscallContext::close(std::int32_t fd) {
    auto number = lookup(fd);
    if (!number) return fail(std::move(number.error()));
    const PipeEndpoint end = description_pipe_endpoint(machine_.open_descriptions, *number);
    if (!active().descriptors.close(fd, machine_.open_descriptions)) return fail(DescriptorError::InvalidFd);
    machine_.wake_pipe_waiters(end.pipe, end.wake_end());
    machine_.drop_unreferenced_orphans();
    machine_.refresh_open_fds(active().pid);
    return {};
}

Result<std::uint64_t, SyscallError> SyscallContext::seek(std::int32_t fd, std::int64_t offset, std::uint32_t whence) {
    auto number = lookup(fd);
    if (!number) return fail(std::move(number.error()));
    if (whence >= 3) return fail(SyscallError::invalid_argument());
    const auto type = machine_.open_descriptions.file_type(*number);
    if (!type) return fail(DescriptorError::InvalidFd);
    if (type->type == FileTypeCode::CharDevice) return 0;
    auto file = descriptor_file_target(fd);
    if (!file) return fail(std::move(file.error()));
    std::uint64_t base = 0;
    if (whence == 1) base = file->cursor;
    if (whence == 2) {
        auto length = file->backing.orphan ? machine_.vfs.orphan_len(*file->backing.orphan)
                                           : machine_.vfs.file_size_at("/", file->path);
        if (!length) return fail(std::move(length.error()));
        base = *length;
    }
    __int128 position = static_cast<__int128>(base) + offset;
    if (position < 0 || position > static_cast<__int128>(kU64Max)) return fail(SyscallError::invalid_argument());
    const auto cursor = static_cast<std::uint64_t>(position);
    if (auto r = machine_.open_descriptions.set_cursor(*number, cursor); !r) return fail(r.error());
    return cursor;
}

// ---- filesystem changes ----

Result<void, SyscallError> SyscallContext::chmod(std::string_view base, std::string_view path, std::uint32_t mode) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    if (path.empty() || has_nul(path) || mode >= 010000) return fail(SyscallError::invalid_argument());
    machine_.sync_vfs_clock();
    if (auto r = machine_.vfs.chmod(base, path, mode); !r) return fail(std::move(r.error()));
    return {};
}

Result<void, SyscallError> SyscallContext::remove(std::string_view base, std::string_view path) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    return machine_.remove_path(base, path);
}

Result<void, SyscallError> SyscallContext::mkdir(std::string_view base, std::string_view path) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    machine_.sync_vfs_clock();
    if (auto r = machine_.vfs.mkdir(base, path); !r) return fail(std::move(r.error()));
    const std::uint32_t mode = 0777u & ~static_cast<std::uint32_t>(active().umask);
    if (auto r = machine_.vfs.chmod(base, path, mode); !r) return fail(std::move(r.error()));
    return {};
}

Result<void, SyscallError> SyscallContext::mkdir_all(std::string_view base, std::string_view path) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    machine_.sync_vfs_clock();
    if (auto r = machine_.vfs.create_dir_all(base, path); !r) return fail(std::move(r.error()));
    return {};
}

Result<void, SyscallError> SyscallContext::rmdir(std::string_view base, std::string_view path) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    machine_.sync_vfs_clock();
    if (auto r = machine_.vfs.remove_dir(base, path); !r) return fail(std::move(r.error()));
    return {};
}

Result<void, SyscallError> SyscallContext::rename(std::string_view base, std::string_view from, std::string_view to) {
    if (!pay_path(base, from) || !pay_path(base, to)) return fail(SyscallError::resource_exhausted());
    return machine_.rename_path(base, from, to);
}

Result<void, SyscallError> SyscallContext::copy_file(std::string_view base, std::string_view from,
                                                     std::string_view to) {
    if (!pay_path(base, from) || !pay_path(base, to)) return fail(SyscallError::resource_exhausted());
    return machine_.copy_file(base, from, to);
}

Result<void, SyscallError> SyscallContext::copy_tree(std::string_view base, std::string_view from,
                                                     std::string_view to, bool preserve) {
    if (!pay_path(base, from) || !pay_path(base, to)) return fail(SyscallError::resource_exhausted());
    return machine_.copy_tree(base, from, to, preserve);
}

Result<void, SyscallError> SyscallContext::symlink(std::string_view base, std::string_view target,
                                                   std::string_view link_path) {
    if (!pay_path(base, link_path)) return fail(SyscallError::resource_exhausted());
    machine_.sync_vfs_clock();
    if (auto r = machine_.vfs.symlink(base, target, link_path); !r) return fail(std::move(r.error()));
    return {};
}

Result<void, SyscallError> SyscallContext::chown(std::string_view base, std::string_view path,
                                                 std::optional<std::uint32_t> owner,
                                                 std::optional<std::uint32_t> group) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    machine_.sync_vfs_clock();
    if (auto r = machine_.vfs.set_owner(base, path, owner, group); !r) return fail(std::move(r.error()));
    return {};
}

Result<void, SyscallError> SyscallContext::set_times(std::string_view base, std::string_view path,
                                                     std::uint64_t mtime_ms) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    // "Now" (the clock's present millisecond) is the filesystem clock's own time, so a touched
    // node orders after every change made before it.
    const bool now = mtime_ms == machine_.clock.wall_time_ms();
    machine_.sync_vfs_clock();
    Vfs& vfs = machine_.vfs;
    auto r = now ? vfs.set_times(base, path, vfs.now_ms(), static_cast<std::uint32_t>(vfs.now_ns() % 1000000))
                 : vfs.set_times(base, path, mtime_ms);
    if (!r) return fail(std::move(r.error()));
    return {};
}

Result<std::string, SyscallError> SyscallContext::link_target(std::string_view base, std::string_view path) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    auto target = machine_.read_link(base, path);
    if (!target) return fail(std::move(target.error()));
    return std::move(*target);
}

Result<std::string, SyscallError> SyscallContext::readlink(std::string_view base, std::string_view path,
                                                           std::uint64_t buffer_size) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    auto cut = [&](std::string_view target) {
        return std::string(target.substr(0, std::min<std::uint64_t>(target.size(), buffer_size)));
    };
    if (auto pseudo = machine_.read_pseudo_link(base, path)) {
        if (!*pseudo) return fail(std::move(pseudo->error()));
        return cut(**pseudo);
    }
    auto node = machine_.vfs.lookup(base, path, false);
    if (!node) return fail(std::move(node.error()));
    const std::string* target = (*node)->link_target();
    if (!target) return fail(VfsError::invalid(path));
    return cut(*target);
}

Result<std::string, SyscallError> SyscallContext::resolve_directory(std::string_view base, std::string_view path,
                                                                    bool physical) {
    if (!pay_path(base, path)) return fail(SyscallError::resource_exhausted());
    const std::string joined = path_join_normalize(base, path);
    auto resolved = physical ? machine_.walk_path(joined) : machine_.vfs.resolve_symlinks(joined, true);
    if (!resolved) return fail(std::move(resolved.error()));
    return std::move(*resolved);
}

// ---- clocks and randomness ----

std::uint64_t SyscallContext::file_time_now() { return machine_.clock.wall_time_ms(); }

Result<__int128, SyscallError> SyscallContext::wall_time_ns() {
    const Clock& c = machine_.clock;
    __int128 sum;
    if (__builtin_add_overflow(c.wall_base_ns(), static_cast<__int128>(c.now_ns()), &sum) ||
        __builtin_add_overflow(sum, c.wall_offset_ns(), &sum))
        return fail(SyscallError::invalid_argument());
    return sum;
}

Result<std::uint64_t, SyscallError> SyscallContext::monotonic_ns(std::uint32_t kind) {
    if (kind != 0) return machine_.clock.now_ns();
    auto wall = wall_time_ns();
    if (!wall) return fail(std::move(wall.error()));
    if (*wall < 0 || *wall > static_cast<__int128>(kU64Max)) return fail(SyscallError::invalid_argument());
    return static_cast<std::uint64_t>(*wall);
}

Result<EventKey, SyscallError> SyscallContext::sleep(std::uint64_t duration_ns) {
    auto key = machine_.clock.add_timer(active().pid, duration_ns);
    if (!key) return fail(SyscallError::invalid_argument());
    return *key;
}

Result<void, SyscallError> SyscallContext::random_bytes(std::span<char> buffer) {
    if (!machine_.meter.charge_cpu(buffer.size())) return fail(SyscallError::resource_exhausted());
    std::uint64_t& state = active().random_state;
    for (char& byte : buffer) {
        state = state * 6364136223846793005ULL + 1;
        byte = static_cast<char>((state >> 32) & 0xFF);
    }
    return {};
}

std::optional<std::uint64_t> SyscallContext::next_unique_id() {
    if (machine_.unique_counter == kU64Max) return std::nullopt;
    return machine_.unique_counter++;
}

// ---- simulated network ----

Result<HttpReply, HttpFetchError> SyscallContext::host_tool_request(const HttpRequest& request) {
    return machine_.broker.answer(request, machine_.states.active_pid(), machine_.vfs);
}

Result<void, HttpRouteError> SyscallContext::add_http_route(std::string pattern, std::uint16_t status, Bytes body) {
    return machine_.broker.add_static_route(std::move(pattern), status, std::move(body));
}

Result<void, HttpRouteError> SyscallContext::add_http_route_file(std::string pattern, std::string path) {
    return machine_.broker.add_file_route(std::move(pattern), std::move(path));
}

void SyscallContext::listen(std::string_view name) { machine_.broker.listen(name); }
std::uint64_t SyscallContext::network_log_len() { return machine_.broker.network_log().size(); }

std::optional<NetworkRequest> SyscallContext::network_log_entry(std::uint64_t index) {
    const auto& log = machine_.broker.network_log();
    if (index >= log.size()) return std::nullopt;
    return log[index];
}

// ---- processes ----

std::vector<ProcessRecord> SyscallContext::process_list() {
    const ProcessState& me = active();
    machine_.processes.update_context(me.pid, me.cwd, me.environment_snapshot());
    std::vector<ProcessRecord> out;
    out.reserve(machine_.processes.records().size());
    for (const auto& [_, record] : machine_.processes.records()) out.push_back(record);
    return out;
}

std::vector<std::string> SyscallContext::listeners() { return machine_.broker.listener_names(); }

Result<Pid, SyscallError> SyscallContext::prepare_child(const ChildRequest& request) {
    if (!launch_) return fail(SyscallError::process("command launch is not available"));
    auto child = machine_.prepare_child(request, launch_);
    if (!child) return fail(SyscallError::process(std::move(child.error())));
    return *child;
}

Result<void, SyscallError> SyscallContext::setup_child_state(
    const std::vector<std::string>& argv, const std::optional<ChildRequest::Configuration>& configuration) {
    if (argv.empty()) return fail(SyscallError::invalid_argument());
    if (!launch_) return fail(SyscallError::process("command launch is not available"));
    const Pid pid = active().pid;
    if (configuration) {
        if (auto r = machine_.init_child_state(pid, configuration->directory, configuration->environment); !r)
            return fail(SyscallError::process(std::move(r.error())));
    }
    if (auto r = launch_(machine_, pid, argv); !r) return fail(SyscallError::process(std::move(r.error())));
    if (ProcessRecord* record = machine_.processes.find_mut(pid)) record->command = argv_display_line(argv);
    return {};
}

Result<void, SyscallError> SyscallContext::kill(std::uint32_t target_kind, std::uint32_t number, Signal signal) {
    auto r = target_kind == 1 ? machine_.signal_process_group(number, signal) : machine_.send_signal(number, signal);
    if (!r) return fail(SyscallError::no_such_process());
    return {};
}

Result<void, SyscallError> SyscallContext::ignore_signal(Signal signal) {
    return set_signal_disposition(signal, true);
}

Result<void, SyscallError> SyscallContext::set_signal_disposition(Signal signal, bool ignore) {
    if (signal == Signal::KILL || signal == Signal::STOP) return fail(SyscallError::invalid_argument());
    if (ignore) active().signal_traps.insert_or_assign(signal, Trap::ignore());
    else active().signal_traps.erase(signal);
    return {};
}

namespace {

// The record of a child of `parent`: InvalidArgument without a record, Permission for another
// process's child.
Result<const ProcessRecord*, SyscallError> child_record(const Machine& machine, Pid parent, Pid pid) {
    const ProcessRecord* record = machine.processes.find(pid);
    if (!record) return std::unexpected(SyscallError::invalid_argument());
    if (record->ppid != parent) return std::unexpected(SyscallError::permission());
    return record;
}

}  // namespace

Result<WaitStatus, SyscallError> SyscallContext::wait_status(Pid pid) {
    auto record = child_record(machine_, active().pid, pid);
    if (!record) return fail(std::move(record.error()));
    const ProcessRecord& r = **record;
    if (r.status != ProcessStatus::Exited) return WaitStatus::running();
    if (r.term_signal) return WaitStatus::signaled(*r.term_signal);
    return WaitStatus::exited(r.exit_code);
}

Result<ChildExit, SyscallError> SyscallContext::child_state(Pid pid) {
    auto record = child_record(machine_, active().pid, pid);
    if (!record) return fail(std::move(record.error()));
    return ChildExit{(*record)->status == ProcessStatus::Exited, (*record)->exit_code};
}

Result<std::int32_t, SyscallError> SyscallContext::reap_child(Pid pid) {
    auto record = child_record(machine_, active().pid, pid);
    if (!record) return fail(std::move(record.error()));
    if ((*record)->status != ProcessStatus::Exited) return fail(SyscallError::invalid_argument());
    auto reaped = machine_.processes.reap(pid);
    expect(reaped.has_value(), "an exited child record can be reaped");
    machine_.scheduler.remove_task(pid);
    return reaped->exit_code;
}

// ---- display ----

Result<std::uint32_t, DisplayError> SyscallContext::display_open(std::uint32_t width, std::uint32_t height,
                                                                 std::uint32_t format) {
    return machine_.display_open(width, height, format);
}

Result<void, DisplayError> SyscallContext::display_present(std::uint32_t handle, BytesView pixels,
                                                           std::uint32_t stride) {
    return machine_.display_present(handle, pixels, stride);
}

Result<KeyEvent, DisplayError> SyscallContext::input_poll_key(std::uint32_t handle) {
    return machine_.input_poll_key(handle);
}

Result<void, DisplayError> SyscallContext::display_close(std::uint32_t handle) {
    return machine_.display_close(handle);
}

// ---- resource meter ----

bool SyscallContext::charge_cpu(std::uint64_t units) { return machine_.meter.charge_cpu(units); }

bool SyscallContext::pay_path(std::string_view base, std::string_view path) {
    const std::uint64_t work = path_resolution_work(base, path);
    return work == 0 || machine_.meter.charge_cpu(work);
}
bool SyscallContext::charge_memory(std::uint64_t bytes) { return machine_.meter.charge_memory(bytes); }
void SyscallContext::release_memory(std::uint64_t bytes) { machine_.meter.release_memory(bytes); }
std::uint64_t SyscallContext::output_remaining() { return machine_.meter.output_remaining(); }
bool SyscallContext::charge_output(std::uint64_t bytes) { return machine_.meter.charge_output(bytes); }
void SyscallContext::record_unsupported(std::string_view label) { machine_.unsupported_labels.insert(label); }

}  // namespace tw
