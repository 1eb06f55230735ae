// Mutations of the filesystem: creating, writing, resizing and removing nodes, files removed while
// open, and the guards and capacity checks they share. Every check happens before anything
// changes; `used` follows each change through store_node / take_node, and a finished mutation
// raises the peak.
#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "base/panic.h"
#include "base/sat.h"
#include "kernel/vfs.h"
#include "kernel/vfs_path.h"

namespace tw {
namespace {

template <class T>
std::unexpected<VfsError> fail(Result<T, VfsError>&& r) {
    return std::unexpected(std::move(r.error()));
}

// A new node given the filesystem clock's time.
VfsNode stamped(const Vfs& vfs, VfsNode node) {
    vfs.stamp(node);
    return node;
}

}  // namespace

// ---- Targets -----------------------------------------------------------------------------------

Result<std::string, VfsError> Vfs::resolve_parent(std::string_view base, std::string_view path) const {
    std::string norm = path_join_normalize(base, path);
    if (auto r = check_protected_path(norm); !r) return fail(std::move(r));
    if (auto r = check_path_length(norm); !r) return fail(std::move(r));
    // The root is its own target (a "/" + "/" text would name a node that cannot exist).
    if (norm == "/") return norm;
    const std::string_view parent = vfs_parent_path(norm).value_or("/");
    auto resolved = resolve_symlinks(parent, true);
    if (!resolved) return fail(std::move(resolved));
    std::string target = vfs_child_path(*resolved, vfs_file_name(norm));
    // A link in the parent may lead into the pseudo filesystem's directories; nodes stored there
    // could never be seen or removed again, so the canonical target passes the guard as well.
    if (auto r = check_protected_path(target); !r) return fail(std::move(r));
    return target;
}

Result<void, VfsError> Vfs::lookup_dir(std::string_view canonical) const {
    const std::string_view parent = vfs_parent_path(canonical).value_or("/");
    auto resolved = resolve_symlinks(parent, true);
    if (!resolved) return fail(std::move(resolved));
    const VfsNode* n = node(*resolved);
    if (!n) return std::unexpected(VfsError::not_found(parent));
    if (!n->is_dir()) return std::unexpected(VfsError::not_a_dir(parent));
    return {};
}

Result<std::vector<std::string>, VfsError> Vfs::missing_prefixes(std::string_view dir_path) const {
    std::vector<std::string> missing;
    std::set<std::string, std::less<>> listed;
    std::string cur = "/";
    std::size_t i = 0;
    while (i < dir_path.size()) {
        if (dir_path[i] == '/') {
            ++i;
            continue;
        }
        std::size_t j = dir_path.find('/', i);
        if (j == std::string_view::npos) j = dir_path.size();
        std::string cand = vfs_child_path(cur, dir_path.substr(i, j - i));
        i = j;
        // `cur` is already canonical (or unresolvable, in which case resolving below fails the
        // same way), so only a link at the candidate itself can change it.
        const VfsNode* n = node(cand);
        if (n && n->is_symlink()) {
            if (auto resolved = resolve_symlinks(cand, true)) {
                cand = std::move(*resolved);
                n = node(cand);
            }
        }
        if (!n) {
            // The pseudo filesystem's directories are not in the tree; never create them.
            if (auto r = check_protected_path(cand); !r) return fail(std::move(r));
            if (listed.insert(cand).second) missing.push_back(cand);
        } else if (!n->is_dir()) {
            return std::unexpected(VfsError::not_a_dir(cand));
        }
        cur = std::move(cand);
    }
    return missing;
}

std::uint64_t Vfs::missing_dirs_size(const std::vector<std::string>& paths) const {
    std::uint64_t total = 0;
    for (const auto& p : paths)
        if (!base_dirs_.contains(p)) total = sat_add(total, kNodeCost);
    return total;
}

Result<void, VfsError> Vfs::create_missing_dirs(const std::vector<std::string>& paths) {
    if (auto r = check_node_budget(paths.size()); !r) return r;
    for (const auto& p : paths) {
        auto id = allocate_node_id();
        if (!id) return fail(std::move(id));
        store_node(p, stamped(*this, VfsNode::directory(kDirMode, *id, now_ms_)));
    }
    return {};
}

// ---- Whole-file writes -------------------------------------------------------------------------

Result<void, VfsError> Vfs::write_file(std::string_view path, Bytes bytes, std::uint32_t mode) {
    std::string norm = path_normalize(path);
    if (auto r = check_protected_path(norm); !r) return r;
    if (auto r = check_path_length(norm); !r) return r;

    const std::string_view parent = vfs_parent_path(norm).value_or("/");
    std::string target;
    if (norm == "/") {
        target = norm;
    } else {
        auto resolved = resolve_symlinks(parent, true);
        if (!resolved) return fail(std::move(resolved));
        target = vfs_child_path(*resolved, vfs_file_name(norm));
        if (auto r = check_protected_path(target); !r) return r;
    }
    if (const VfsNode* n = node(target); n && n->is_dir()) return std::unexpected(VfsError::is_a_dir(target));

    auto missing = missing_prefixes(parent);
    if (!missing) return fail(std::move(missing));

    std::uint64_t new_used = sat_sub(used_, existing_node_size(target));
    new_used = sat_add(new_used, missing_dirs_size(*missing));
    new_used = sat_add(new_used, sat_add(kNodeCost, bytes.size()));
    if (new_used > capacity_) return std::unexpected(VfsError::no_space());

    if (auto r = check_node_budget(sat_add(missing->size(), 1)); !r) return r;
    if (auto r = create_missing_dirs(*missing); !r) {
        raise_peak();
        return r;
    }
    auto id = allocate_node_id();
    if (!id) {
        raise_peak();
        return fail(std::move(id));
    }
    store_node(std::move(target), stamped(*this, VfsNode::file(std::move(bytes), mode, *id, now_ms_)));
    raise_peak();
    return {};
}

Result<void, VfsError> Vfs::write_file_mode(std::string_view base, std::string_view path, Bytes bytes,
                                            std::uint32_t mode) {
    auto target = resolve_parent(base, path);
    if (!target) return fail(std::move(target));
    if (auto r = lookup_dir(*target); !r) return r;
    auto it = tree_.find(*target);
    if (it != tree_.end() && it->second.is_dir()) return std::unexpected(VfsError::is_a_dir(path));

    const std::uint64_t old_cost = it == tree_.end() ? 0 : node_cost(it->first, it->second);
    const std::uint64_t new_used = sat_add(sat_sub(used_, old_cost), sat_add(kNodeCost, bytes.size()));
    if (new_used > capacity_) return std::unexpected(VfsError::no_space());

    if (it != tree_.end() && it->second.is_file()) {
        note_change(it->first);
        auto& file = std::get<VfsFile>(it->second.payload);
        account_remove(old_cost);
        account_add(sat_add(kNodeCost, bytes.size()));
        file.data = std::move(bytes);
        stamp(it->second);
    } else {
        auto id = allocate_node_id();
        if (!id) return fail(std::move(id));
        store_node(std::move(*target), stamped(*this, VfsNode::file(std::move(bytes), mode, *id, now_ms_)));
    }
    raise_peak();
    return {};
}

// ---- Directories and links ---------------------------------------------------------------------

Result<void, VfsError> Vfs::create_dir_all(std::string_view base, std::string_view path) {
    std::string norm = path_join_normalize(base, path);
    if (auto r = check_protected_path(norm); !r) return r;
    if (auto r = check_path_length(norm); !r) return r;
    auto missing = missing_prefixes(norm);
    if (!missing) return fail(std::move(missing));
    const std::uint64_t new_used = sat_add(used_, missing_dirs_size(*missing));
    if (new_used > capacity_) return std::unexpected(VfsError::no_space());
    auto r = create_missing_dirs(*missing);
    raise_peak();
    return r;
}

Result<void, VfsError> Vfs::mkdir(std::string_view base, std::string_view path) {
    auto target = resolve_parent(base, path);
    if (!target) return fail(std::move(target));
    if (node(*target)) return std::unexpected(VfsError::exists(path));
    if (auto r = lookup_dir(*target); !r) return r;
    auto id = allocate_node_id();
    if (!id) return fail(std::move(id));
    VfsNode dir = stamped(*this, VfsNode::directory(kDirMode, *id, now_ms_));
    // The node number stays taken when the directory does not fit.
    if (sat_add(used_, node_cost(*target, dir)) > capacity_) return std::unexpected(VfsError::no_space());
    store_node(std::move(*target), std::move(dir));
    raise_peak();
    return {};
}

Result<void, VfsError> Vfs::symlink(std::string_view base, std::string_view target_text, std::string_view link_path) {
    auto target = resolve_parent(base, link_path);
    if (!target) return fail(std::move(target));
    if (node(*target)) return std::unexpected(VfsError::exists(link_path));
    if (auto r = lookup_dir(*target); !r) return r;
    auto id = allocate_node_id();
    if (!id) return fail(std::move(id));
    // As for mkdir, the node number stays taken when the link does not fit.
    if (sat_add(used_, sat_add(kNodeCost, target_text.size())) > capacity_) return std::unexpected(VfsError::no_space());
    store_node(std::move(*target),
               stamped(*this, VfsNode::symlink(std::string(target_text), kSymlinkMode, *id, now_ms_)));
    raise_peak();
    return {};
}

// ---- Attributes ----------------------------------------------------------------------------------

Result<void, VfsError> Vfs::set_times(std::string_view base, std::string_view path, std::uint64_t mtime_ms,
                                      std::uint32_t sub_ns) {
    auto target = resolve_parent(base, path);
    if (!target) return fail(std::move(target));
    if (auto it = tree_.find(*target); it != tree_.end()) {
        note_change(it->first);
        it->second.mtime_ms = mtime_ms;
        it->second.mtime_sub_ns = sub_ns;
        return {};
    }
    if (auto r = lookup_dir(*target); !r) return r;
    if (sat_add(used_, kNodeCost) > capacity_) return std::unexpected(VfsError::no_space());
    auto id = allocate_node_id();
    if (!id) return fail(std::move(id));
    VfsNode touched = VfsNode::file({}, kTouchedFileMode, *id, mtime_ms);
    touched.mtime_sub_ns = sub_ns;
    store_node(std::move(*target), std::move(touched));
    raise_peak();
    return {};
}

Result<void, VfsError> Vfs::chmod(std::string_view base, std::string_view path, std::uint32_t mode) {
    std::string norm = path_join_normalize(base, path);
    if (auto r = check_protected_path(norm); !r) return r;
    auto canon = resolve_owned(std::move(norm), true);
    if (!canon) return fail(std::move(canon));
    auto it = tree_.find(*canon);
    if (it == tree_.end()) return std::unexpected(VfsError::not_found(path));
    note_change(it->first);
    it->second.mode = mode & 07777;
    return {};
}

Result<void, VfsError> Vfs::set_owner(std::string_view base, std::string_view path, std::optional<std::uint32_t> uid,
                                      std::optional<std::uint32_t> gid) {
    std::string norm = path_join_normalize(base, path);
    if (auto r = check_protected_path(norm); !r) return r;
    auto canon = resolve_owned(std::move(norm), true);
    if (!canon) return fail(std::move(canon));
    auto it = tree_.find(*canon);
    if (it == tree_.end()) return std::unexpected(VfsError::not_found(path));
    note_change(it->first);
    if (uid) it->second.uid = *uid;
    if (gid) it->second.gid = *gid;
    return {};
}

// ---- Removal -------------------------------------------------------------------------------------

Result<void, VfsError> Vfs::remove_file(std::string_view base, std::string_view path) {
    std::string norm = path_join_normalize(base, path);
    if (auto r = check_protected_path(norm); !r) return r;
    auto canon = resolve_owned(std::move(norm), false);
    if (!canon) return fail(std::move(canon));
    const VfsNode* n = node(*canon);
    if (!n) return std::unexpected(VfsError::not_found(path));
    if (n->is_dir()) return std::unexpected(VfsError::is_a_dir(path));
    take_node(*canon);
    raise_peak();
    return {};
}

Result<void, VfsError> Vfs::remove_dir(std::string_view base, std::string_view path) {
    std::string norm = path_join_normalize(base, path);
    if (auto r = check_protected_path(norm); !r) return r;
    auto canon = resolve_owned(std::move(norm), true);
    if (!canon) return fail(std::move(canon));
    const VfsNode* n = node(*canon);
    if (!n) return std::unexpected(VfsError::not_found(path));
    if (!n->is_dir()) return std::unexpected(VfsError::not_a_dir(path));
    // Without its root nothing would resolve any more.
    if (*canon == "/") return std::unexpected(VfsError::invalid(path));
    if (auto it = children_.find(*canon); it != children_.end() && !it->second.empty())
        return std::unexpected(VfsError::not_empty(path));
    take_node(*canon);
    raise_peak();
    return {};
}

// ---- Ranges and resizing -------------------------------------------------------------------------

Result<void, VfsError> Vfs::resize_data(VfsNode& node, std::uint64_t length) {
    Bytes& data = std::get<VfsFile>(node.payload).data;
    const std::uint64_t current = data.size();
    const std::uint64_t growth = length > current ? length - current : 0;
    const std::uint64_t new_used = sat_add(used_, growth);
    if (new_used > capacity_ || (growth > 0 && length > data.max_size())) return std::unexpected(VfsError::no_space());
    data.resize(length, '\0');
    stamp(node);
    used_ = sat_sub(new_used, current > length ? current - length : 0);
    raise_peak();
    return {};
}

Result<void, VfsError> Vfs::write_data(VfsNode& node, std::uint64_t offset, BytesView bytes) {
    Bytes& data = std::get<VfsFile>(node.payload).data;
    const std::uint64_t end = offset + bytes.size();  // the callers checked for overflow
    const std::uint64_t current = data.size();
    const std::uint64_t growth = end > current ? end - current : 0;
    const std::uint64_t new_used = sat_add(used_, growth);
    if (new_used > capacity_ || (growth > 0 && end > data.max_size())) return std::unexpected(VfsError::no_space());
    if (end > current) data.resize(end, '\0');
    if (!bytes.empty()) std::memcpy(data.data() + offset, bytes.data(), bytes.size());
    stamp(node);
    used_ = new_used;
    raise_peak();
    return {};
}

Result<void, VfsError> Vfs::write_file_range(std::string_view path, std::uint64_t offset, BytesView bytes) {
    std::uint64_t end;
    if (__builtin_add_overflow(offset, bytes.size(), &end)) return std::unexpected(VfsError::invalid(path));
    auto target = resolve_parent("/", path);
    if (!target) return fail(std::move(target));
    auto it = tree_.find(*target);
    if (it == tree_.end()) return std::unexpected(VfsError::not_found(path));
    if (it->second.is_dir()) return std::unexpected(VfsError::is_a_dir(path));
    if (!it->second.is_file()) return std::unexpected(VfsError::invalid(path));
    note_change(it->first);
    return write_data(it->second, offset, bytes);
}

Result<void, VfsError> Vfs::resize_file(std::string_view path, std::uint64_t length) {
    auto target = resolve_parent("/", path);
    if (!target) return fail(std::move(target));
    if (auto size = file_size_at("/", path); !size) return fail(std::move(size));
    auto it = tree_.find(*target);
    // After a rename a link, stub or directory may sit where the open file was.
    if (it == tree_.end() || !it->second.is_file()) return std::unexpected(VfsError::invalid(path));
    note_change(it->first);
    return resize_data(it->second, length);
}

// ---- Files removed while open --------------------------------------------------------------------

Result<std::uint64_t, VfsError> Vfs::move_to_orphans(std::string_view canonical) {
    if (auto r = check_protected_path(canonical); !r) return fail(std::move(r));
    const VfsNode* n = node(canonical);
    if (!n) return std::unexpected(VfsError::not_found(canonical));
    if (!n->is_file()) return std::unexpected(VfsError::invalid(canonical));
    if (next_orphan_id_ == kU64Max) return std::unexpected(VfsError::no_space());
    const std::uint64_t id = next_orphan_id_++;
    VfsNode file = *take_node(canonical);
    account_add(sat_add(kNodeCost, file.data()->size()));
    orphans_.emplace(id, std::move(file));
    raise_peak();
    return id;
}

Result<void, VfsError> Vfs::write_orphan_range(std::uint64_t id, std::uint64_t offset, BytesView bytes) {
    std::uint64_t end;
    if (__builtin_add_overflow(offset, bytes.size(), &end)) return std::unexpected(VfsError::no_space());
    auto it = orphans_.find(id);
    if (it == orphans_.end()) return std::unexpected(VfsError::unlinked_file(id));
    if (!it->second.is_file()) unreachable("orphan is always a file");
    return write_data(it->second, offset, bytes);
}

Result<void, VfsError> Vfs::resize_orphan(std::uint64_t id, std::uint64_t length) {
    auto it = orphans_.find(id);
    if (it == orphans_.end()) return std::unexpected(VfsError::unlinked_file(id));
    if (!it->second.is_file()) unreachable("orphan is always a file");
    return resize_data(it->second, length);
}

void Vfs::drop_unreferenced_orphans(const std::set<std::uint64_t>& keep) {
    for (auto it = orphans_.begin(); it != orphans_.end();) {
        if (keep.contains(it->first)) {
            ++it;
            continue;
        }
        const Bytes* data = it->second.data();
        account_remove(sat_add(kNodeCost, data ? data->size() : 0));
        it = orphans_.erase(it);
    }
    raise_peak();
}

}  // namespace tw
