// Opening paths: the one open path of the machine. It decides between devices, /proc and /dev
// files, directories and regular files, creates and truncates, and installs the new description
// in the active process. Every limit is checked before the filesystem or a table changes.
#include <fmt/format.h>

#include "kernel/machine.h"
#include "kernel/vfs_path.h"

namespace tw {
namespace {

constexpr std::size_t kMaxDirectoryDescriptors = 64;
constexpr std::int32_t kLowestOpenNumber = 5;
constexpr std::int32_t kHighestOpenNumber = 260;

SyscallError failure(SyscallError::Kind kind) { return SyscallError::of(kind); }
SyscallError file_failure(VfsError e) { return SyscallError::file(std::move(e)); }
SyscallError descriptor_failure(DescriptorError e) { return SyscallError::descriptor(e); }

std::size_t open_directory_count(const DescriptorTable& fds, const OpenDescriptionTable& table) {
    std::size_t n = 0;
    for (const auto& [fd, number] : fds.fds())
        if (auto info = table.file_type(number); info && info->type == FileTypeCode::Directory) ++n;
    return n;
}

}  // namespace

std::optional<DeviceKind> Machine::open_device_path(std::string_view path) {
    const std::string joined = path_join_normalize("/", path);
    if (joined == "/dev/zero") return DeviceKind::Zero;
    if (joined == "/dev/random") return DeviceKind::Random;
    if (joined == "/dev/urandom") return DeviceKind::Urandom;
    return std::nullopt;
}

Result<void, DescriptorError> Machine::install_active_descriptor(std::int32_t fd, std::uint32_t number) {
    const Pid pid = states.active_pid();
    DescriptorTable& fds = states.active_mut().descriptors;
    // What fd held before: its pipe's waiters learn that the end may be gone, and an unlinked
    // file nobody holds any more is forgotten.
    const std::optional<std::uint32_t> previous = fds.description_of(fd);
    const PipeEndpoint previous_end =
        previous ? description_pipe_endpoint(open_descriptions, *previous) : PipeEndpoint{};
    bool previous_orphan = false;
    if (previous)
        if (auto f = open_descriptions.classify_file(*previous); f && *f && (*f)->backing.orphan) previous_orphan = true;

    if (auto r = fds.install(fd, number, open_descriptions); !r) {
        open_descriptions.release_if_unused(number);
        return r;
    }
    if (previous && *previous != number) {
        if (previous_end.is_pipe_end()) wake_pipe_waiters(previous_end.pipe, previous_end.wake_end());
        if (previous_orphan) drop_unreferenced_orphans();
    }
    refresh_open_fds(pid);
    return {};
}

Result<void, SyscallError> Machine::open_at(std::int32_t fd, std::string_view base, std::string_view path,
                                            OpenFlags flags) {
    if (fd < 0 || path.empty() || path.find('\0') != std::string_view::npos || (!flags.read && !flags.write))
        return std::unexpected(failure(SyscallError::Kind::InvalidArgument));
    const ProcessState& active = states.active();
    if (!active.descriptors.is_open(fd) && active.descriptors.count() >= kMaxDescriptorsPerProcess)
        return std::unexpected(descriptor_failure(DescriptorError::DescriptorLimit));
    // The description is made after files may have been created or truncated: refuse first.
    if (!open_descriptions.can_insert()) return std::unexpected(descriptor_failure(DescriptorError::DescriptionLimit));

    auto install = [&](Result<std::uint32_t, DescriptorError> number) -> Result<void, SyscallError> {
        if (!number) return std::unexpected(descriptor_failure(number.error()));
        if (auto r = install_active_descriptor(fd, *number); !r) return std::unexpected(descriptor_failure(r.error()));
        return {};
    };

    const std::string joined = path_join_normalize(base, path);
    if (flags.create && flags.exclusive && vfs.entry_exists(joined))
        return std::unexpected(file_failure(VfsError::exists(path)));
    auto resolved = vfs.resolve_symlinks(joined, true);
    if (!resolved) return std::unexpected(file_failure(std::move(resolved.error())));
    const std::string canonical = std::move(*resolved);

    // Devices.
    const std::optional<DeviceKind> device = open_device_path(canonical);
    if (canonical == "/dev/null" || device) {
        if (flags.create && flags.exclusive) return std::unexpected(file_failure(VfsError::exists(path)));
        if (!device) return install(open_descriptions.insert_device(flags.read, flags.write));
        return install(open_descriptions.insert(target::Device{
            .state = device_start_state(*device), .kind = *device, .readable = flags.read, .writable = flags.write}));
    }

    // Files of /proc and /dev: read-only snapshots of their rendering.
    if (auto pseudo = read_pseudo_file("/", canonical)) {
        if (!flags.read || flags.write || flags.create || flags.truncate)
            return std::unexpected(failure(SyscallError::Kind::Permission));
        if (!*pseudo) return std::unexpected(file_failure(std::move(pseudo->error())));
        return install(open_descriptions.insert_buffer(std::move(**pseudo)));
    }

    const std::uint32_t file_mode = 0666 & ~static_cast<std::uint32_t>(active.umask);
    bool created = false;
    auto node = vfs.lookup(base, path, true);
    if (!node) {
        if (!(flags.write && flags.create) || node.error().kind != VfsError::Kind::NotFound)
            return std::unexpected(file_failure(std::move(node.error())));
        sync_vfs_clock();
        if (auto r = vfs.write_file_mode("/", canonical, {}, file_mode); !r)
            return std::unexpected(file_failure(std::move(r.error())));
        created = true;
    } else if ((*node)->is_dir()) {
        if (flags.write || flags.create || flags.truncate) return std::unexpected(failure(SyscallError::Kind::IsDirectory));
        auto again = vfs.resolve_symlinks(canonical, true);
        if (!again) return std::unexpected(file_failure(std::move(again.error())));
        if (again->size() > Vfs::kMaxPathBytes) return std::unexpected(failure(SyscallError::Kind::InvalidArgument));
        if (open_directory_count(active.descriptors, open_descriptions) >= kMaxDirectoryDescriptors)
            return std::unexpected(descriptor_failure(DescriptorError::DescriptorLimit));
        const std::uint64_t inode = (*node)->node_id;
        auto number = open_descriptions.insert(target::Directory{std::move(*again)});
        if (number) (void)open_descriptions.set_inode(*number, inode);
        return install(number);
    }

    if (!created) {
        if (flags.create && flags.exclusive) return std::unexpected(file_failure(VfsError::exists(path)));
        if (flags.truncate) {
            if (!flags.write) return std::unexpected(failure(SyscallError::Kind::Permission));
            sync_vfs_clock();
            if (auto r = vfs.write_file_mode("/", canonical, {}, file_mode); !r)
                return std::unexpected(file_failure(std::move(r.error())));
        }
    }

    auto final_path = vfs.resolve_symlinks(canonical, true);
    if (!final_path) return std::unexpected(file_failure(std::move(final_path.error())));
    std::uint64_t cursor = 0;
    if (flags.append) {
        auto len = vfs.file_size_at("/", *final_path);
        if (!len) return std::unexpected(file_failure(std::move(len.error())));
        cursor = *len;
    }
    auto opened = vfs.lookup("/", *final_path, true);
    if (!opened) return std::unexpected(file_failure(std::move(opened.error())));
    const std::uint64_t inode = (*opened)->node_id;
    auto number = open_descriptions.insert(target::File{.backing = {},
                                                        .path = *final_path,
                                                        .cursor = cursor,
                                                        .readable = flags.read,
                                                        .writable = flags.write,
                                                        .append = flags.append,
                                                        .created = created});
    if (number) (void)open_descriptions.set_inode(*number, inode);
    return install(number);
}

Result<std::int32_t, SyscallError> Machine::open_lowest(std::string_view base, std::string_view path,
                                                         OpenFlags flags) {
    if (path.empty() || path.find('\0') != std::string_view::npos || (!flags.read && !flags.write))
        return std::unexpected(failure(SyscallError::Kind::InvalidArgument));
    const DescriptorTable& fds = states.active().descriptors;
    if (fds.count() >= kMaxDescriptorsPerProcess)
        return std::unexpected(descriptor_failure(DescriptorError::DescriptorLimit));
    const std::optional<std::int32_t> fd = fds.lowest_free(kLowestOpenNumber, kHighestOpenNumber);
    if (!fd) return std::unexpected(descriptor_failure(DescriptorError::DescriptorLimit));
    if (auto r = open_at(*fd, base, path, flags); !r) return std::unexpected(std::move(r.error()));
    return *fd;
}

}  // namespace tw
