// Moving and copying subtrees and batch installs. A subtree is a range of the tree (the keys below
// "dir/"), so a move or copy costs what the subtree holds. Each operation checks everything first
// (guards, destinations, path lengths, the whole change of disk usage, the node budget) and then
// applies the change with the tree primitives, which cannot fail; a batch install applies its
// steps in place under an undo log of the nodes they touch and rolls them back on a failure.
#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "base/sat.h"
#include "kernel/machine.h"
#include "kernel/vfs_path.h"
#include "kernel/vfs_tree.h"
#include "kernel/vfs_undo.h"

namespace tw {
namespace {

// True when `path` lies strictly below the directory `dir`.
bool is_below(std::string_view path, std::string_view dir) {
    if (dir == "/") return path != "/";
    return path.size() > dir.size() && path.starts_with(dir) && path[dir.size()] == '/';
}

// The path an entry of the subtree at `source` takes when the subtree moves to `dest`.
std::string relocated(std::string_view entry, std::string_view source, std::string_view dest) {
    std::string out(dest);
    out += entry.substr(source.size());
    return out;
}

// used + delta, kept between 0 and the largest 64-bit value.
std::uint64_t apply_delta(std::uint64_t used, __int128 delta) {
    const __int128 sum = static_cast<__int128>(used) + delta;
    if (sum < 0) return 0;
    if (sum > static_cast<__int128>(std::numeric_limits<std::uint64_t>::max()))
        return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(sum);
}

template <class T>
std::unexpected<VfsError> fail(Result<T, VfsError>&& r) {
    return std::unexpected(std::move(r.error()));
}

std::unexpected<SyscallError> file_error(VfsError e) { return std::unexpected(SyscallError::file(std::move(e))); }

// Where a subtree named `name` goes for the destination text `to`: the resolve_parent target, or
// inside it when that is an existing directory.
Result<std::string, VfsError> tree_destination(const Vfs& vfs, std::string_view base, std::string_view to,
                                               std::string_view name) {
    auto dest = vfs.resolve_parent(base, to);
    if (!dest) return dest;
    if (const VfsNode* n = vfs.node(*dest); n && n->is_dir()) return vfs_child_path(*dest, name);
    return dest;
}

// A node may replace another only of the same sort: a directory never replaces a non-directory
// (whose data would be lost) and a non-directory never replaces a directory (whose entries would
// be left without a parent).
Result<void, VfsError> check_replacement(const VfsNode* existing, const VfsNode& incoming, std::string_view shown) {
    if (!existing) return {};
    if (existing->is_dir() && !incoming.is_dir()) return std::unexpected(VfsError::is_a_dir(shown));
    if (!existing->is_dir() && incoming.is_dir()) return std::unexpected(VfsError::not_a_dir(shown));
    return {};
}

// A description reading the regular file at `canonical` through its path.
bool open_by_path(const OpenDescription& d, std::string_view canonical) {
    const auto* file = std::get_if<target::File>(&d.target);
    return file && !file->backing.orphan && file->path == canonical;
}

// The nodes a batch install touches, saved before the first change to each, so the batch can be
// rolled back exactly.
class UndoLog : public VfsUndoLog {
public:
    using VfsUndoLog::VfsUndoLog;

    void save(const Result<std::string, VfsError>& canonical) {
        if (canonical) save_path(*canonical);
    }
    void save(const Result<std::vector<std::string>, VfsError>& paths) {
        if (paths)
            for (const auto& p : *paths) save_path(p);
    }
};

Result<void, VfsError> install_step(Vfs& vfs, UndoLog& log, std::string_view base, InstallOp& op) {
    switch (op.kind) {
    case InstallOp::Kind::CreateDirAll:
        log.save(vfs.missing_prefixes(path_join_normalize(base, op.path)));
        return vfs.create_dir_all(base, op.path);
    case InstallOp::Kind::RemoveFile:
        log.save(vfs.canonical_path(base, op.path, false));
        return vfs.remove_file(base, op.path);
    case InstallOp::Kind::WriteFile: {
        const std::string path = path_join_normalize(base, op.path);
        log.save(vfs.resolve_parent("/", path));
        log.save(vfs.missing_prefixes(vfs_parent_path(path).value_or("/")));
        return vfs.write_file(path, std::move(op.bytes), op.mode);
    }
    case InstallOp::Kind::CreateSymlink: {
        const std::string link = path_join_normalize(base, op.path);
        if (const auto parent = vfs_parent_path(link)) {
            log.save(vfs.missing_prefixes(*parent));
            if (auto r = vfs.create_dir_all("/", *parent); !r) return r;
        }
        log.save(vfs.canonical_path("/", link, false));
        (void)vfs.remove_file("/", link);
        log.save(vfs.resolve_parent("/", link));
        return vfs.symlink("/", op.target, link);
    }
    }
    return std::unexpected(VfsError::invalid(op.path));
}

}  // namespace

std::uint64_t InstallOp::counted_bytes() const {
    switch (kind) {
    case Kind::WriteFile: return sat_add(path.size(), bytes.size());
    case Kind::CreateSymlink: return sat_add(path.size(), target.size());
    case Kind::CreateDirAll:
    case Kind::RemoveFile: break;
    }
    return path.size();
}

Result<void, VfsError> vfs_copy_file(Vfs& vfs, std::string_view base, std::string_view from, std::string_view to) {
    if (auto r = Vfs::check_protected_path(path_join_normalize(base, to)); !r) return r;
    auto source = vfs.lookup(base, from, true);
    if (!source) return fail(std::move(source));
    const VfsNode& src = **source;

    if (!src.is_native()) {
        const std::uint32_t mode = src.mode;
        auto bytes = vfs.read_bytes(base, from);
        if (!bytes) return fail(std::move(bytes));
        return vfs.write_file_mode(base, to, std::move(*bytes), mode);
    }

    VfsNode copy = VfsNode::native(*src.program(), src.mode, 0, vfs.now_ms());
    vfs.stamp(copy);
    copy.uid = src.uid;
    copy.gid = src.gid;
    auto dest = vfs.resolve_parent(base, to);
    if (!dest) return fail(std::move(dest));
    if (auto r = vfs.lookup_dir(*dest); !r) return r;
    const VfsNode* existing = vfs.node(*dest);
    if (existing && existing->is_dir()) return std::unexpected(VfsError::is_a_dir(to));
    const std::uint64_t new_used =
        sat_add(sat_sub(vfs.used(), existing ? vfs.node_cost(*dest, *existing) : 0), vfs.node_cost(*dest, copy));
    if (new_used > vfs.capacity()) return std::unexpected(VfsError::no_space());
    auto id = vfs.allocate_node_id();
    if (!id) return fail(std::move(id));
    copy.node_id = *id;
    vfs.store_node(std::move(*dest), std::move(copy));
    vfs.raise_peak();
    return {};
}

// ---- Machine operations ----

Result<void, SyscallError> Machine::rename_path(std::string_view base, std::string_view from, std::string_view to) {
    sync_vfs_clock();
    if (auto r = Vfs::check_protected_path(path_join_normalize(base, from)); !r) return file_error(r.error());
    auto resolved = vfs.canonical_path(base, from, false);
    if (!resolved) return file_error(resolved.error());
    const std::string source = std::move(*resolved);
    const VfsNode* moving = vfs.node(source);
    if (!moving) return file_error(VfsError::not_found(from));
    if (source == "/") return file_error(VfsError::invalid(from));

    auto destination = tree_destination(vfs, base, to, vfs_file_name(source));
    if (!destination) return file_error(destination.error());
    const std::string dest = std::move(*destination);
    if (dest == source) return {};  // onto itself: nothing to do
    if (is_below(dest, source)) return file_error(VfsError::invalid(to));
    if (auto r = vfs.lookup_dir(dest); !r) return file_error(r.error());
    const VfsNode* existing = vfs.node(dest);
    if (auto r = check_replacement(existing, *moving, to); !r) return file_error(r.error());
    // Moving onto a directory replaces it only when it is empty; trees are never merged.
    if (existing && existing->is_dir() && !vfs.below(dest).empty()) return file_error(VfsError::not_empty(to));

    // An open regular file that is replaced lives on as an orphan for its descriptions, so its
    // cost stays counted.
    const bool orphan_replaced =
        existing && existing->is_file() &&
        std::ranges::any_of(open_descriptions.descriptions(),
                            [&](const auto& entry) { return open_by_path(entry.second, dest); });

    const std::vector<std::string> entries = vfs.descendants(source);
    __int128 delta = 0;
    for (const auto& entry : entries) {
        const std::string next = relocated(entry, source, dest);
        if (auto r = Vfs::check_path_length(next); !r) return file_error(r.error());
        const VfsNode& n = *vfs.node(entry);
        delta += static_cast<__int128>(vfs.node_cost(next, n)) - static_cast<__int128>(vfs.node_cost(entry, n));
    }
    // Below a destination that is empty or no directory there is nothing; only the destination
    // itself can be replaced.
    if (existing && !orphan_replaced) delta -= static_cast<__int128>(vfs.node_cost(dest, *existing));
    const std::uint64_t new_used = apply_delta(vfs.used(), delta);
    if (new_used > vfs.capacity()) return file_error(VfsError::no_space());

    if (orphan_replaced) {
        auto orphan = vfs.move_to_orphans(dest);
        if (!orphan) return file_error(orphan.error());
        for (const auto& [number, description] : open_descriptions.descriptions()) {
            if (!open_by_path(description, dest)) continue;
            auto d = open_descriptions.get_mut(number);
            std::get<target::File>((*d)->target).backing.orphan = *orphan;
        }
    }

    std::vector<std::pair<std::string, VfsNode>> moved;
    moved.reserve(entries.size());
    for (const auto& entry : entries) moved.emplace_back(relocated(entry, source, dest), *vfs.take_node(entry));
    for (auto& [path, node] : moved) vfs.store_node(std::move(path), std::move(node));
    vfs.raise_peak();

    // Descriptions follow the nodes they have open.
    for (const auto& [number, description] : open_descriptions.descriptions()) {
        std::string* path = nullptr;
        if (auto d = open_descriptions.get_mut(number); d) {
            if (auto* f = std::get_if<target::File>(&(*d)->target); f && !f->backing.orphan) path = &f->path;
            else if (auto* dir = std::get_if<target::Directory>(&(*d)->target)) path = &dir->path;
        }
        if (path && (*path == source || is_below(*path, source))) *path = relocated(*path, source, dest);
    }
    return {};
}

Result<void, SyscallError> Machine::copy_file(std::string_view base, std::string_view from, std::string_view to) {
    sync_vfs_clock();
    // The copy's work: one unit per byte (what is missing is reported by the copy itself).
    if (auto size = vfs.file_size_at(base, from); size && !meter.charge_cpu(*size))
        return std::unexpected(SyscallError::resource_exhausted());
    if (auto r = vfs_copy_file(vfs, base, from, to); !r) return file_error(r.error());
    return {};
}

Result<void, SyscallError> Machine::copy_tree(std::string_view base, std::string_view from, std::string_view to,
                                              bool preserve) {
    sync_vfs_clock();
    auto resolved = vfs.canonical_path(base, from, true);
    if (!resolved) return file_error(resolved.error());
    const std::string source = std::move(*resolved);

    if (!vfs.is_dir_at(base, from)) {
        if (auto size = vfs.file_size_at(base, from); size && !meter.charge_cpu(*size))
            return std::unexpected(SyscallError::resource_exhausted());
        if (auto r = vfs_copy_file(vfs, base, from, to); !r) return file_error(r.error());
        if (!preserve) return {};
        auto meta = vfs.lookup(base, from, true);
        if (!meta) return file_error(meta.error());
        const std::uint32_t mode = (*meta)->mode;
        const std::uint64_t mtime = (*meta)->mtime_ms;
        const std::uint32_t sub_ns = (*meta)->mtime_sub_ns;
        if (auto r = vfs.chmod(base, to, mode); !r) return file_error(r.error());
        if (auto r = vfs.set_times(base, to, mtime, sub_ns); !r) return file_error(r.error());
        return {};
    }

    auto destination = tree_destination(vfs, base, to, vfs_file_name(source));
    if (!destination) return file_error(destination.error());
    const std::string dest = std::move(*destination);
    if (dest == source || is_below(dest, source)) return file_error(VfsError::invalid(to));
    if (auto r = vfs.lookup_dir(dest); !r) return file_error(r.error());

    const std::vector<std::string> entries = vfs.descendants(source);
    __int128 delta = 0;
    std::uint64_t copied_bytes = 0;
    for (const auto& entry : entries) {
        const std::string next = relocated(entry, source, dest);
        if (auto r = Vfs::check_path_length(next); !r) return file_error(r.error());
        const VfsNode& n = *vfs.node(entry);
        const VfsNode* existing = vfs.node(next);
        if (auto r = check_replacement(existing, n, next); !r) return file_error(r.error());
        delta += static_cast<__int128>(vfs.node_cost(next, n));
        if (existing) delta -= static_cast<__int128>(vfs.node_cost(next, *existing));
        if (const Bytes* data = n.data()) copied_bytes = sat_add(copied_bytes, data->size());
    }
    const std::uint64_t new_used = apply_delta(vfs.used(), delta);
    if (new_used > vfs.capacity()) return file_error(VfsError::no_space());
    if (auto r = vfs.check_node_budget(entries.size()); !r) return file_error(r.error());
    // The copy's work: one unit per node and one per byte of file data.
    if (!meter.charge_cpu(sat_add(entries.size(), copied_bytes)))
        return std::unexpected(SyscallError::resource_exhausted());

    std::vector<std::pair<std::string, VfsNode>> copies;
    copies.reserve(entries.size());
    for (const auto& entry : entries) {
        VfsNode copy = *vfs.node(entry);
        copy.node_id = *vfs.allocate_node_id();
        if (!preserve) vfs.stamp(copy);
        copies.emplace_back(relocated(entry, source, dest), std::move(copy));
    }
    for (auto& [path, node] : copies) vfs.store_node(std::move(path), std::move(node));
    vfs.raise_peak();
    return {};
}

Result<void, SyscallError> Machine::install_files(std::string_view base, std::vector<InstallOp> ops) {
    if (ops.size() > kMaxInstallOps) return std::unexpected(SyscallError::of(SyscallError::Kind::InvalidArgument));
    std::uint64_t step_bytes = 0;
    for (const auto& op : ops) step_bytes = sat_add(step_bytes, op.counted_bytes());
    // The charges of building the batch on a whole copy of the filesystem; the steps are applied
    // in place under an undo log instead, so the work follows the size of the change.
    const std::uint64_t copy_cost = sat_mul(vfs.used(), 2);
    if (!meter.charge_memory(copy_cost)) return std::unexpected(SyscallError::of(SyscallError::Kind::ResourceExhausted));
    if (!meter.charge_cpu(sat_add(step_bytes, copy_cost))) {
        meter.release_memory(copy_cost);
        return std::unexpected(SyscallError::of(SyscallError::Kind::ResourceExhausted));
    }

    UndoLog log(vfs);
    sync_vfs_clock();
    for (auto& op : ops) {
        if (auto r = install_step(vfs, log, base, op); !r) {
            log.undo();
            meter.release_memory(copy_cost);
            return file_error(r.error());
        }
    }
    meter.release_memory(copy_cost);
    return {};
}

}  // namespace tw
