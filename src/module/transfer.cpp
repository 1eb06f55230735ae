#include "module/transfer.h"

#include "kernel/machine.h"
#include "kernel/vfs_path.h"

namespace tw {
namespace {

constexpr std::uint32_t kMaxContainerMode = 07777;

// A NUL byte cannot be part of a name: a path holding one is refused before the filesystem sees
// it, so that no node gets a name the shell and the commands could never address.
Result<void, VfsError> refuse_nul(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::unexpected(VfsError::invalid("path contains NUL"));
    return {};
}

}  // namespace

Result<void, VfsError> environment_write_file(Machine& machine, std::string_view path, Bytes data,
                                              std::uint32_t mode) {
    if (auto r = refuse_nul(path); !r) return r;
    machine.sync_vfs_clock();
    const std::string cwd = machine.states.active().cwd;
    return machine.vfs.write_file_mode(cwd, path, std::move(data), mode);
}

Result<Bytes, VfsError> environment_read_file(Machine& machine, std::string_view path) {
    if (auto r = refuse_nul(path); !r) return std::unexpected(std::move(r.error()));
    const std::string cwd = machine.states.active().cwd;
    return machine.vfs.read_bytes(cwd, path);
}

Result<void, VfsError> environment_mkdir(Machine& machine, std::string_view path, bool parents) {
    if (auto r = refuse_nul(path); !r) return r;
    machine.sync_vfs_clock();
    const std::string cwd = machine.states.active().cwd;
    return parents ? machine.vfs.create_dir_all(cwd, path) : machine.vfs.mkdir(cwd, path);
}

Result<std::string, std::string> resolve_container_path(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::unexpected(std::string("container path contains NUL"));
    return path_join_normalize(kContainerHome, path);
}

Result<void, std::string> container_write_file(Machine& machine, std::string_view absolute, Bytes data,
                                               std::uint32_t mode) {
    if (mode > kMaxContainerMode) return std::unexpected(std::string("invalid file mode"));
    machine.sync_vfs_clock();
    if (auto r = machine.vfs.write_file(absolute, std::move(data), mode); !r) return std::unexpected(error_text(r.error()));
    return {};
}

Result<Bytes, VfsError> container_read_file(Machine& machine, std::string_view absolute) {
    return machine.vfs.read_bytes("/", absolute);
}

Result<void, std::string> container_mkdir(Machine& machine, std::string_view absolute, std::uint32_t mode) {
    if (mode > kMaxContainerMode) return std::unexpected(std::string("invalid directory mode"));
    machine.sync_vfs_clock();
    const std::string path = path_normalize(absolute);
    if (auto r = Vfs::check_protected_path(path); !r) return std::unexpected(error_text(r.error()));
    if (auto r = machine.vfs.create_dir_all("/", path); !r) return std::unexpected(error_text(r.error()));
    if (auto r = machine.vfs.chmod("/", path, mode); !r) return std::unexpected(error_text(r.error()));
    return {};
}

}  // namespace tw
