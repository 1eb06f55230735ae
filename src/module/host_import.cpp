#include "module/host_import.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <optional>

#include "base/json_text.h"
#include "base/utf8.h"
#include "harness/container.h"
#include "kernel/machine.h"
#include "kernel/vfs_path.h"
#include "module/host_git.h"
#include "module/host_history.h"

namespace tw {
namespace {

constexpr std::array<std::string_view, 5> kBulkyDirectories = {".venv", "venv", "target", "node_modules", "__pycache__"};

// A host path as messages show it.
std::string shown(std::string_view host_path) { return utf8_lossy(host_path); }

std::unexpected<HostImportError> failure(std::string message) {
    return std::unexpected(HostImportError{HostImportError::Kind::Failure, std::move(message)});
}

std::unexpected<HostImportError> conflict(const VfsError& error) {
    return std::unexpected(HostImportError{HostImportError::Kind::Conflict, error_text(error)});
}

// An open host file or directory (the entries below a directory are opened relative to it).
struct HostFd {
    int fd = -1;
    explicit HostFd(int f) : fd(f) {}
    HostFd(const HostFd&) = delete;
    HostFd& operator=(const HostFd&) = delete;
    ~HostFd() {
        if (fd >= 0) ::close(fd);
    }
};

struct WalkEntry {
    std::shared_ptr<HostFd> parent;  // null for the root
    std::string name;                       // within the parent
    std::string host_path;
    std::string relative;                   // empty for the root
};

int open_entry(const WalkEntry& entry, int flags) {
    flags |= O_RDONLY | O_NOFOLLOW | O_CLOEXEC;
    return entry.parent ? ::openat(entry.parent->fd, entry.name.c_str(), flags) : ::open(entry.host_path.c_str(), flags);
}

int inspect_entry(const WalkEntry& entry, struct stat& st) {
    return entry.parent ? ::fstatat(entry.parent->fd, entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW)
                        : ::lstat(entry.host_path.c_str(), &st);
}

struct Listed {
    std::string name;
    bool directory = false;
};

// The entries of an open directory (the descriptor stays open); an errno on failure.
Result<std::vector<Listed>, int> list_directory(int fd) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return std::unexpected(errno);
    DIR* dir = ::fdopendir(copy);
    if (dir == nullptr) {
        const int e = errno;
        ::close(copy);
        return std::unexpected(e);
    }
    std::vector<Listed> entries;
    while (true) {
        errno = 0;
        const dirent* d = ::readdir(dir);
        if (d == nullptr) break;
        const std::string_view name = d->d_name;
        if (name == "." || name == "..") continue;
        entries.push_back({std::string(name), d->d_type == DT_DIR});
    }
    const int e = errno;
    ::closedir(dir);
    if (e != 0) return std::unexpected(e);
    std::sort(entries.begin(), entries.end(), [](const Listed& a, const Listed& b) { return a.name < b.name; });
    return entries;
}

// The whole content of an open regular file, refused past `limit` bytes.
Result<Bytes, int> read_host_file(int fd, std::uint64_t limit, bool& too_large) {
    Bytes content;
    std::string chunk(65536, '\0');
    while (true) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::unexpected(errno);
        if (n == 0) return content;
        if (content.size() + static_cast<std::uint64_t>(n) > limit) {
            too_large = true;
            return content;
        }
        content.append(chunk.data(), static_cast<std::size_t>(n));
    }
}

// The machine path of a walk entry; nothing when a backslash in a host name would make a ".."
// component and so climb out of the destination.
std::optional<std::string> destination_of(std::string_view destination_root, std::string_view relative) {
    if (relative.empty()) return std::string(destination_root);
    std::string rel(relative);
    std::replace(rel.begin(), rel.end(), '\\', '/');
    for (std::size_t start = 0; start <= rel.size();) {
        const std::size_t end = std::min(rel.size(), rel.find('/', start));
        if (std::string_view(rel).substr(start, end - start) == "..") return std::nullopt;
        start = end + 1;
    }
    std::string_view root = destination_root;
    while (root.ends_with('/')) root.remove_suffix(1);
    return path_normalize(fmt::format("{}/{}", root, rel));
}

// Looks at ".git" directly below the root: whether a marker is there.
Result<bool, HostImportError> git_marker(int root_fd, std::string_view root) {
    const std::string marker = fmt::format("{}/.git", root);
    struct stat st {};
    if (::fstatat(root_fd, ".git", &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return false;
        return failure(fmt::format("cannot inspect Git metadata marker {}: {}", shown(marker), host_error_text(errno)));
    }
    if (S_ISLNK(st.st_mode)) return failure(fmt::format("refusing host symlink during Git discovery: {}", shown(marker)));
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
        return failure(fmt::format("Git metadata marker is not a file or directory: {}", shown(marker)));
    return true;
}

struct TreeImport {
    Machine& machine;
    std::string destination_root;
    bool import_git;
    const ReplaceableTools* package_options;
    std::set<std::string> skipped;
    std::uint64_t files = 0;

    Result<void, HostImportError> make_directory(const std::string& destination, std::uint32_t mode) {
        if (package_options != nullptr) {
            auto check = check_package_destination(machine.vfs, destination, nullptr, mode, false);
            if (!check) return conflict(check.error());
            if (*check) return {};
        }
        if (auto r = harness_mkdir_mode(machine.vfs, destination, mode); !r)
            return failure(fmt::format("cannot create {}: {}", destination, error_text(r.error())));
        return {};
    }

    Result<void, HostImportError> visit_directory(const WalkEntry& entry, const std::string& destination,
                                                  std::uint32_t mode, std::vector<WalkEntry>& stack) {
        if (!entry.relative.empty())
            if (auto r = make_directory(destination, mode); !r) return r;
        const int fd = open_entry(entry, O_DIRECTORY);
        if (fd < 0)
            return failure(fmt::format("cannot read directory {}: {}", shown(entry.host_path), host_error_text(errno)));
        auto directory = std::make_shared<HostFd>(fd);
        auto listing = list_directory(fd);
        if (!listing)
            return failure(
                fmt::format("cannot read directory {}: {}", shown(entry.host_path), host_error_text(listing.error())));
        // Pushed last to first, so popped in ascending byte order: depth first, pre-order.
        for (auto it = listing->rbegin(); it != listing->rend(); ++it) {
            if (!utf8_valid(it->name))
                return failure(fmt::format("non-UTF-8 host path below {}", shown(entry.host_path)));
            const bool bulky = import_git && it->directory &&
                               std::find(kBulkyDirectories.begin(), kBulkyDirectories.end(), it->name) !=
                                   kBulkyDirectories.end();
            if (it->name == ".git" || bulky) {
                skipped.insert(it->name);
                continue;
            }
            stack.push_back({directory, it->name, fmt::format("{}/{}", entry.host_path, it->name),
                             entry.relative.empty() ? it->name : fmt::format("{}/{}", entry.relative, it->name)});
        }
        return {};
    }

    Result<void, HostImportError> visit_file(const WalkEntry& entry, const std::string& destination,
                                             const struct stat& st) {
        if (++files > kHostImportFileLimit)
            return failure(fmt::format("project exceeds the {}-file ingestion limit", kHostImportFileLimit));
        const std::uint64_t limit = machine.vfs.capacity();
        const std::string too_large = fmt::format("host file is larger than the configured VFS: {}", shown(entry.host_path));
        if (static_cast<std::uint64_t>(st.st_size) > limit) return failure(too_large);
        const HostFd file(open_entry(entry, O_NONBLOCK));
        if (file.fd < 0) return failure(fmt::format("cannot read {}: {}", shown(entry.host_path), host_error_text(errno)));
        struct stat opened {};
        if (::fstat(file.fd, &opened) != 0)
            return failure(fmt::format("cannot read {}: {}", shown(entry.host_path), host_error_text(errno)));
        // Something else may have taken the file's place since it was inspected.
        if (!S_ISREG(opened.st_mode)) return failure(fmt::format("unsupported host file type: {}", shown(entry.host_path)));
        bool over = false;
        auto content = read_host_file(file.fd, limit, over);
        if (!content)
            return failure(fmt::format("cannot read {}: {}", shown(entry.host_path), host_error_text(content.error())));
        if (over) return failure(too_large);
        const std::uint32_t mode = st.st_mode & 07777;
        if (package_options != nullptr) {
            auto check = check_package_destination(machine.vfs, destination, &*content, mode,
                                                   package_options->contains(destination));
            if (!check) return conflict(check.error());
            if (*check) return {};
        }
        if (auto r = machine.vfs.write_file(destination, std::move(*content), mode); !r)
            return failure(fmt::format("cannot import {}: {}", shown(entry.host_path), error_text(r.error())));
        return {};
    }

    Result<void, HostImportError> walk(const std::string& root) {
        std::vector<WalkEntry> stack{{nullptr, {}, root, {}}};
        while (!stack.empty()) {
            WalkEntry entry = std::move(stack.back());
            stack.pop_back();
            struct stat st {};
            if (inspect_entry(entry, st) != 0)
                return failure(fmt::format("cannot inspect {}: {}", shown(entry.host_path), host_error_text(errno)));
            if (S_ISLNK(st.st_mode)) return failure(fmt::format("refusing host symlink {}", shown(entry.host_path)));
            const std::optional<std::string> destination = destination_of(destination_root, entry.relative);
            if (!destination)
                return failure(fmt::format("host path escapes the destination: {}", shown(entry.host_path)));
            Result<void, HostImportError> visited;
            if (S_ISDIR(st.st_mode)) visited = visit_directory(entry, *destination, st.st_mode & 07777, stack);
            else if (S_ISREG(st.st_mode)) visited = visit_file(entry, *destination, st);
            else return failure(fmt::format("unsupported host file type: {}", shown(entry.host_path)));
            if (!visited) return visited;
        }
        return {};
    }
};

// Everything of the import after the snapshot; on failure the caller puts the snapshot back.
Result<void, HostImportError> import_into(TreeImport& import, const std::string& root, bool marker) {
    Machine& machine = import.machine;
    const std::string& destination = import.destination_root;
    if (import.package_options != nullptr) {
        auto check = check_package_destination(machine.vfs, destination, nullptr, 0755, false);
        if (!check) return conflict(check.error());
    }
    if (!machine.vfs.lookup("/", destination, true))
        if (auto r = harness_mkdir_mode(machine.vfs, destination, 0755); !r)
            return failure(fmt::format("cannot create {}: {}", destination, error_text(r.error())));
    if (auto r = import.walk(root); !r) return r;
    if (!import.import_git && !import.skipped.empty())
        return failure("verified package staging tree contains Git metadata");
    if (import.import_git && marker)
        if (auto r = git_import_host_history(machine, root, destination); !r) return failure(std::move(r.error()));
    return {};
}

}  // namespace

std::string MountMetadata::to_json() const {
    std::string out = fmt::format("{{\"files\":{},\"skipped_directories\":[", files);
    for (std::size_t i = 0; i < skipped_directories.size(); ++i) {
        if (i > 0) out.push_back(',');
        append_json_quoted(out, skipped_directories[i]);
    }
    out += "]}";
    return out;
}

Result<MountMetadata, HostImportError> import_host_tree(Machine& machine, std::string_view host_root,
                                                        std::string_view destination_root, bool import_git,
                                                        const ReplaceableTools* package_options) {
    auto resolved = host_real_path(host_root);
    if (!resolved)
        return failure(fmt::format("cannot resolve host root {}: {}", shown(host_root), host_error_text(resolved.error())));
    const std::string& root = *resolved;
    const int root_fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (root_fd < 0) {
        if (errno == ENOTDIR) return failure(fmt::format("host root is not a directory: {}", shown(root)));
        return failure(fmt::format("cannot resolve host root {}: {}", shown(host_root), host_error_text(errno)));
    }
    const HostFd root_directory(root_fd);
    if (!destination_root.starts_with('/') || destination_root.find('\0') != std::string_view::npos)
        return failure("VFS destination root must be an absolute safe path");
    auto marker = git_marker(root_fd, root);
    if (!marker) return std::unexpected(std::move(marker.error()));
    if (!import_git && *marker) return failure("verified package staging tree contains Git metadata");

    TreeImport import{machine, path_normalize(destination_root), import_git, package_options, {}, 0};
    Vfs snapshot = machine.vfs;
    if (auto r = import_into(import, root, *marker); !r) {
        machine.vfs = std::move(snapshot);
        return std::unexpected(std::move(r.error()));
    }
    return MountMetadata{import.files, std::vector<std::string>(import.skipped.begin(), import.skipped.end())};
}

Result<std::string, std::string> mount_host_tree(Machine& machine, std::string_view host_root,
                                                 std::string_view destination_root) {
    machine.sync_vfs_clock();
    auto result = import_host_tree(machine, host_root, destination_root, true, nullptr);
    if (!result) return std::unexpected(std::move(result.error().message));
    return result->to_json();
}

Result<void, HostImportError> mount_package_tree(Machine& machine, std::string_view host_root,
                                                 std::string_view destination_root,
                                                 const std::vector<std::string>& replace_builtin_tools) {
    machine.sync_vfs_clock();
    if (replace_builtin_tools.size() > kReplaceableToolsBound)
        return failure("package tool replacement list exceeds its bound");
    const ReplaceableTools tools(replace_builtin_tools.begin(), replace_builtin_tools.end());
    auto result = import_host_tree(machine, host_root, destination_root, false, &tools);
    if (!result) return std::unexpected(std::move(result.error()));
    return {};
}

Result<bool, VfsError> check_package_destination(const Vfs& vfs, std::string_view destination, const Bytes* content,
                                                 std::uint32_t mode, bool replace_allowed) {
    auto refuse = [&](std::string_view what) {
        return std::unexpected(VfsError::invalid(fmt::format("{}: {}", what, destination)));
    };
    for (std::optional<std::string_view> up = vfs_parent_path(destination); up; up = vfs_parent_path(*up)) {
        const VfsNode* node = vfs.node(*up);
        if (node != nullptr && !node->is_dir()) return refuse("package destination has a non-directory ancestor");
        if (*up == "/") break;
    }
    auto resolved = vfs.resolve_symlinks(destination, false);
    if (!resolved) return std::unexpected(std::move(resolved.error()));
    if (*resolved != destination) return refuse("package destination follows a link");

    const VfsNode* node = vfs.node(destination);
    if (node == nullptr) return false;
    const bool is_file = content != nullptr;
    bool compatible = false;
    switch (node->kind()) {
        case VfsNodeKind::Directory: compatible = !is_file; break;
        case VfsNodeKind::File:
            compatible = is_file && *node->data() == *content && (mode & 0555 & ~node->mode) == 0;
            break;
        case VfsNodeKind::Symlink: break;
        case VfsNodeKind::NativeExecutable: {
            auto base = vfs.base_natives().find(destination);
            if (is_file && replace_allowed && base != vfs.base_natives().end() && base->second == *node->program())
                return false;
            break;
        }
    }
    if (!compatible) return refuse("package import would overwrite an incompatible VFS node");
    return true;
}

}  // namespace tw
