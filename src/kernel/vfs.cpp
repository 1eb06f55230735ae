// Nodes, errors, the stat record, symbolic-link resolution, the read-only operations, the child
// index and the accounting primitives of the filesystem.
#include "kernel/vfs.h"

#include <algorithm>

#include <fmt/format.h>

#include "base/panic.h"
#include "base/sat.h"
#include "kernel/vfs_path.h"

namespace tw {
namespace {

constexpr std::uint64_t kWasmModuleLimit = 134'217'728;  // 128 MiB

// A resolution may expand links nested at most 40 deep; independently of that it may do at most
// this much work inside link targets (components visited plus links expanded), so that links
// whose targets name further links several times over cannot make one lookup take exponential
// time. Ordinary paths stay far below it; going over fails with Loop.
constexpr std::uint64_t kMaxLinkWork = 1u << 16;

}  // namespace

// ---- Nodes, stat, errors -------------------------------------------------------------------

std::string_view vfs_node_kind_name(VfsNodeKind kind) {
    switch (kind) {
    case VfsNodeKind::File: return "file";
    case VfsNodeKind::Directory: return "directory";
    case VfsNodeKind::Symlink: return "symlink";
    case VfsNodeKind::NativeExecutable: return "native_executable";
    }
    unreachable("node kind");
}

VfsNode VfsNode::file(Bytes data, std::uint32_t mode, std::uint64_t node_id, std::uint64_t mtime_ms) {
    return VfsNode{VfsFile{std::move(data)}, node_id, mtime_ms, mode, 0, 0};
}

VfsNode VfsNode::directory(std::uint32_t mode, std::uint64_t node_id, std::uint64_t mtime_ms) {
    return VfsNode{VfsDirectory{}, node_id, mtime_ms, mode, 0, 0};
}

VfsNode VfsNode::symlink(std::string target, std::uint32_t mode, std::uint64_t node_id, std::uint64_t mtime_ms) {
    return VfsNode{VfsSymlink{std::move(target)}, node_id, mtime_ms, mode, 0, 0};
}

VfsNode VfsNode::native(NativeProgram program, std::uint32_t mode, std::uint64_t node_id, std::uint64_t mtime_ms) {
    return VfsNode{VfsNative{std::move(program)}, node_id, mtime_ms, mode, 0, 0};
}

std::uint64_t VfsNode::mtime_ns() const { return sat_add(sat_mul(mtime_ms, 1000000), mtime_sub_ns); }

const Bytes* VfsNode::data() const {
    const auto* f = std::get_if<VfsFile>(&payload);
    return f ? &f->data : nullptr;
}

const std::string* VfsNode::link_target() const {
    const auto* l = std::get_if<VfsSymlink>(&payload);
    return l ? &l->target : nullptr;
}

const NativeProgram* VfsNode::program() const {
    const auto* n = std::get_if<VfsNative>(&payload);
    return n ? &n->program : nullptr;
}

FileStat FileStat::from_node(const VfsNode& node) {
    FileStat st;
    st.dev = node.node_id != 0 ? 1 : 0;
    st.ino = node.node_id;
    st.mtime_ms = node.mtime_ms;
    st.mtime_ns = node.mtime_ns();
    st.mode = node.mode;
    st.uid = node.uid;
    st.gid = node.gid;
    switch (node.kind()) {
    case VfsNodeKind::File:
        st.size = node.data()->size();
        // 8 blocks of 512 bytes per started 4096 bytes.
        st.blocks = (sat_add(st.size, 4095) / 512) & ~std::uint64_t{7};
        st.file_type = 0;
        break;
    case VfsNodeKind::Directory:
        st.size = 4096;
        st.blocks = 8;
        st.file_type = 1;
        break;
    case VfsNodeKind::Symlink:
        st.link_target = *node.link_target();
        st.size = st.link_target->size();
        st.file_type = 2;
        break;
    case VfsNodeKind::NativeExecutable:
        st.is_native = true;
        st.file_type = 0;
        break;
    }
    return st;
}

FileStat Vfs::stat_node(const VfsNode& pseudo) {
    FileStat st = FileStat::from_node(pseudo);
    st.dev = 2;
    st.blocks = 0;
    if (pseudo.is_dir()) st.size = 0;
    return st;
}

VfsError VfsError::unlinked_file(std::uint64_t orphan_id) {
    return not_found(fmt::format("unlinked file {}", orphan_id));
}

std::string_view VfsError::description(Kind kind) {
    switch (kind) {
    case Kind::NotFound: return "No such file or directory";
    case Kind::NotADir: return "Not a directory";
    case Kind::IsADir: return "Is a directory";
    case Kind::NotEmpty: return "Directory not empty";
    case Kind::Exists: return "File exists";
    case Kind::Loop: return "Too many levels of symbolic links";
    case Kind::Invalid: return "Invalid argument";
    case Kind::NameTooLong: return "File name too long";
    case Kind::NoSpace: return "No space left on device";
    case Kind::TooLarge: return "File too large";
    case Kind::ReadOnly: return "Read-only filesystem";
    }
    unreachable("vfs error kind");
}

std::string error_text(const VfsError& error) {
    using Kind = VfsError::Kind;
    switch (error.kind) {
    case Kind::NoSpace: return "No space left on device";
    case Kind::TooLarge: return fmt::format("file too large: {} (limit {} bytes)", error.path, error.limit);
    default: return fmt::format("{}: {}", VfsError::description(error.kind), error.path);
    }
}

std::string VfsError::to_message() const { return error_text(*this); }

Result<void, std::string> check_wasm_module_bytes(BytesView bytes) {
    if (bytes.size() > kWasmModuleLimit) return std::unexpected(std::string("wasm module exceeds size limit"));
    if (!bytes.starts_with(std::string_view("\0asm", 4))) return std::unexpected(std::string("not a binary Wasm module"));
    return {};
}

// ---- Creation and boot -----------------------------------------------------------------------

std::uint64_t Vfs::now_ns() const { return sat_add(sat_mul(now_ms_, 1000000), now_sub_ns_); }

void Vfs::advance_clock_ns(std::uint64_t clock_ns) {
    const std::uint64_t last = now_ns();
    set_now_ns(clock_ns > last ? clock_ns : sat_add(last, 1));
}

Vfs::Vfs(std::uint64_t capacity, std::uint64_t now_ms) : now_ms_(now_ms), capacity_(capacity) {
    tree_.emplace("/", VfsNode::directory(kDirMode, 1, 0));
    used_ = compute_used();
    peak_ = used_;
}

void Vfs::insert_base_dir(std::string_view path) {
    std::string norm = path_normalize(path);
    auto id = allocate_node_id();
    if (!id) panic("base image inode capacity");
    // Take the old node out before the path becomes exempt, so its cost leaves `used` as counted.
    take_node(norm);
    base_dirs_.insert(norm);
    store_node(std::move(norm), VfsNode::directory(kDirMode, *id, now_ms_));
}

void Vfs::insert_base_entry(std::string_view path, NativeProgram program) {
    std::string norm = path_normalize(path);
    auto id = allocate_node_id();
    if (!id) panic("base image inode capacity");
    take_node(norm);
    base_natives_.try_emplace(norm, program);
    store_node(std::move(norm), VfsNode::native(std::move(program), kDirMode, *id, now_ms_));
}

void Vfs::add_bytes_read(std::uint64_t n) { bytes_read_ = sat_add(bytes_read_, n); }

void Vfs::raise_peak() {
    if (used_ > peak_) peak_ = used_;
}

// ---- Child index and primitives ------------------------------------------------------------

void Vfs::index_add(std::string_view path) {
    const auto parent = vfs_parent_path(path);
    if (!parent) return;  // the root
    auto it = children_.find(*parent);
    if (it == children_.end()) it = children_.emplace(std::string(*parent), PathSet{}).first;
    it->second.emplace(vfs_file_name(path));
}

void Vfs::index_remove(std::string_view path) {
    const auto parent = vfs_parent_path(path);
    if (!parent) return;
    auto it = children_.find(*parent);
    if (it == children_.end()) return;
    if (auto name = it->second.find(vfs_file_name(path)); name != it->second.end()) it->second.erase(name);
    if (it->second.empty()) children_.erase(it);
}

void Vfs::account_remove(std::uint64_t cost) { used_ = sat_sub(used_, cost); }
void Vfs::account_add(std::uint64_t cost) { used_ = sat_add(used_, cost); }

void Vfs::store_node(std::string path, VfsNode node) {
    note_change(path);
    const std::uint64_t cost = node_cost(path, node);
    const bool link = node.is_symlink();
    auto it = tree_.lower_bound(path);
    if (it != tree_.end() && it->first == path) {
        account_remove(node_cost(it->first, it->second));
        if (it->second.is_symlink() && !link) symlinks_.erase(it->first);
        it->second = std::move(node);
    } else {
        it = tree_.emplace_hint(it, std::move(path), std::move(node));
        index_add(it->first);
    }
    if (link) symlinks_.insert(it->first);
    account_add(cost);
}

std::optional<VfsNode> Vfs::take_node(std::string_view path) {
    auto it = tree_.find(path);
    if (it == tree_.end()) return std::nullopt;
    note_change(path);
    account_remove(node_cost(it->first, it->second));
    if (it->second.is_symlink()) symlinks_.erase(it->first);
    index_remove(it->first);
    VfsNode node = std::move(it->second);
    tree_.erase(it);
    return node;
}

void Vfs::note_change(std::string_view path) {
    if (!journal_) return;
    auto& prior = journal_->prior;
    auto it = prior.lower_bound(path);
    if (it != prior.end() && it->first == path) return;
    const VfsNode* now = node(path);
    prior.emplace_hint(it, std::string(path), now != nullptr ? std::optional<VfsNode>(*now) : std::nullopt);
}

void Vfs::begin_journal() {
    journal_ = Journal{
        .prior = {},
        .orphans = orphans_,
        .next_orphan_id = next_orphan_id_,
        .next_node_id = next_node_id_,
        .now_ms = now_ms_,
        .peak = peak_,
        .bytes_read = bytes_read_,
        .now_sub_ns = now_sub_ns_,
    };
}

void Vfs::roll_back_journal() {
    if (!journal_) return;
    Journal journal = std::move(*journal_);
    journal_.reset();  // the rollback itself is not recorded
    for (auto& [path, node] : journal.prior) {
        if (node) store_node(path, std::move(*node));
        else (void)take_node(path);
    }
    for (const auto& [id, orphan] : orphans_) account_remove(sat_add(kNodeCost, orphan.data() ? orphan.data()->size() : 0));
    for (const auto& [id, orphan] : journal.orphans)
        account_add(sat_add(kNodeCost, orphan.data() ? orphan.data()->size() : 0));
    orphans_ = journal.orphans;
    next_orphan_id_ = journal.next_orphan_id;
    next_node_id_ = journal.next_node_id;
    now_ms_ = journal.now_ms;
    now_sub_ns_ = journal.now_sub_ns;
    peak_ = journal.peak;
    bytes_read_ = journal.bytes_read;
    journal.prior.clear();
    journal_ = std::move(journal);
}

// ---- Accounting and guards -------------------------------------------------------------------

std::uint64_t Vfs::node_cost(std::string_view path, const VfsNode& node) const {
    if (path == "/") return 0;
    switch (node.kind()) {
    case VfsNodeKind::File: return sat_add(kNodeCost, node.data()->size());
    case VfsNodeKind::Symlink: return sat_add(kNodeCost, node.link_target()->size());
    case VfsNodeKind::Directory: return base_dirs_.contains(path) ? 0 : kNodeCost;
    case VfsNodeKind::NativeExecutable: {
        auto it = base_natives_.find(path);
        return it != base_natives_.end() && it->second == *node.program() ? 0 : kNodeCost;
    }
    }
    unreachable("node kind");
}

std::uint64_t Vfs::existing_node_size(std::string_view canonical) const {
    const VfsNode* n = node(canonical);
    return n ? node_cost(canonical, *n) : 0;
}

std::uint64_t Vfs::compute_used() const {
    const auto raw = [](const VfsNode& n) -> std::uint64_t {
        if (const Bytes* d = n.data()) return sat_add(kNodeCost, d->size());
        if (const std::string* t = n.link_target()) return sat_add(kNodeCost, t->size());
        return kNodeCost;
    };
    std::uint64_t total = 0;
    for (const auto& [path, n] : tree_)
        if (path != "/") total = sat_add(total, raw(n));
    std::uint64_t dirs = 0;
    for (const auto& p : base_dirs_)
        if (const VfsNode* n = node(p); n && n->is_dir()) ++dirs;
    std::uint64_t natives = 0;
    for (const auto& [p, program] : base_natives_)
        if (const VfsNode* n = node(p); n && n->is_native() && *n->program() == program) ++natives;
    std::uint64_t orphan_total = 0;
    for (const auto& [id, n] : orphans_) orphan_total = sat_add(orphan_total, raw(n));
    return sat_add(sat_sub(sat_sub(total, sat_mul(kNodeCost, dirs)), sat_mul(kNodeCost, natives)), orphan_total);
}

void Vfs::recompute_used() { used_ = compute_used(); }

Result<void, VfsError> Vfs::check_protected_path(std::string_view p) {
    for (std::string_view root : {std::string_view("/proc"), std::string_view("/dev")}) {
        if (p.starts_with(root) && (p.size() == root.size() || p[root.size()] == '/'))
            return std::unexpected(VfsError::read_only(p));
    }
    return {};
}

Result<void, VfsError> Vfs::check_path_length(std::string_view p) {
    if (p.size() >= kMaxPathBytes) return std::unexpected(VfsError::name_too_long(p));
    std::size_t start = 0;
    while (start <= p.size()) {
        std::size_t end = p.find('/', start);
        if (end == std::string_view::npos) end = p.size();
        if (end - start >= kMaxNameBytes) return std::unexpected(VfsError::name_too_long(p));
        start = end + 1;
    }
    return {};
}

Result<void, VfsError> Vfs::check_node_budget(std::uint64_t n) const {
    std::uint64_t sum;
    if (__builtin_add_overflow(next_node_id_, n, &sum)) return std::unexpected(VfsError::no_space());
    return {};
}

Result<std::uint64_t, VfsError> Vfs::allocate_node_id() {
    if (auto r = check_node_budget(1); !r) return std::unexpected(r.error());
    return next_node_id_++;
}

// ---- Resolution --------------------------------------------------------------------------------

// Resolution walks the components left to right, keeping the canonical text reached so far. A
// link met where it must be followed is replaced by its target joined to the canonical parent,
// which is walked in turn as a nested frame one level deeper; when that frame ends, the walk of
// the enclosing frame continues from its result. A frame of level 41 fails with Loop naming its
// path. This is the recursive definition (resolve the parent, then the last component, following
// a link with count + 1) done with an explicit stack, so long paths cannot exhaust the C++ stack.
Result<std::string, VfsError> Vfs::resolve_link_chain(std::string_view path, bool follow_last) const {
    struct Frame {
        std::string text;  // unused for the outermost frame, which walks `path`
        std::size_t pos;
        std::uint32_t level;
        bool follow_last;
    };
    std::vector<Frame> frames;
    frames.push_back(Frame{{}, 0, 0, follow_last});
    std::string cur = "/";
    cur.reserve(path.size() + 16);
    std::uint64_t work = 0;

    while (!frames.empty()) {
        Frame& f = frames.back();
        const std::string_view text = frames.size() == 1 ? path : std::string_view(f.text);
        std::size_t start = text.find_first_not_of('/', f.pos);
        if (start == std::string_view::npos) {
            frames.pop_back();
            continue;
        }
        std::size_t end = text.find('/', start);
        if (end == std::string_view::npos) end = text.size();
        f.pos = end;
        const bool last = text.find_first_not_of('/', end) == std::string_view::npos;
        if (f.level > 0 && ++work > kMaxLinkWork) return std::unexpected(VfsError::loop(text));

        const std::size_t parent_len = cur.size();
        if (cur.size() > 1) cur += '/';
        cur.append(text, start, end - start);
        if (last && !f.follow_last) continue;
        if (!symlinks_.contains(cur)) continue;
        auto it = tree_.find(cur);
        if (it == tree_.end() || !it->second.is_symlink()) unreachable("symbolic link set out of step with the tree");

        const std::string_view parent = parent_len == 1 ? std::string_view("/") : std::string_view(cur).substr(0, parent_len);
        std::string next = path_join_normalize(parent, *it->second.link_target());
        const std::uint32_t level = f.level + 1;  // `f` may dangle after the push below
        if (level > kMaxLinkDepth || ++work > kMaxLinkWork) return std::unexpected(VfsError::loop(next));
        frames.push_back(Frame{std::move(next), 0, level, true});
        cur.resize(1);  // back to "/": every canonical text starts with it
    }
    return cur;
}

Result<std::string, VfsError> Vfs::resolve_owned(std::string path, bool follow_last) const {
    if (symlinks_.empty()) return path;
    return resolve_link_chain(path, follow_last);
}

Result<std::string, VfsError> Vfs::resolve_symlinks(std::string_view path, bool follow_last) const {
    if (symlinks_.empty()) return std::string(path);
    return resolve_link_chain(path, follow_last);
}

Result<std::string, VfsError> Vfs::canonical_path(std::string_view base, std::string_view path, bool follow_last) const {
    return resolve_owned(path_join_normalize(base, path), follow_last);
}

// ---- Read-only operations --------------------------------------------------------------------

const VfsNode* Vfs::node(std::string_view canonical) const {
    auto it = tree_.find(canonical);
    return it == tree_.end() ? nullptr : &it->second;
}

Result<const VfsNode*, VfsError> Vfs::lookup(std::string_view base, std::string_view path, bool follow_last) const {
    auto canon = canonical_path(base, path, follow_last);
    if (!canon) return std::unexpected(std::move(canon.error()));
    const VfsNode* n = node(*canon);
    if (!n) return std::unexpected(VfsError::not_found(path));
    return n;
}

Result<VfsNode, VfsError> Vfs::metadata(std::string_view base, std::string_view path, bool follow_last) const {
    auto n = lookup(base, path, follow_last);
    if (!n) return std::unexpected(std::move(n.error()));
    return **n;
}

bool Vfs::entry_exists(std::string_view path) const {
    auto canon = canonical_path("/", path, false);
    return canon && node(*canon) != nullptr;
}

Result<Bytes, VfsError> Vfs::read_file(std::string_view base, std::string_view path, std::uint64_t limit) {
    auto view = file_view(base, path, limit);
    if (!view) return std::unexpected(std::move(view.error()));
    return Bytes(*view);
}

Result<std::string_view, VfsError> Vfs::file_view(std::string_view base, std::string_view path,
                                                  std::uint64_t limit) {
    auto n = lookup(base, path, true);
    if (!n) return std::unexpected(std::move(n.error()));
    const VfsNode& node = **n;
    switch (node.kind()) {
    case VfsNodeKind::File: {
        const Bytes& data = *node.data();
        if (data.size() > limit) return std::unexpected(VfsError::too_large(path, limit));
        add_bytes_read(data.size());
        return std::string_view(data);
    }
    case VfsNodeKind::Directory: return std::unexpected(VfsError::is_a_dir(path));
    case VfsNodeKind::NativeExecutable:
        return std::unexpected(VfsError::invalid(fmt::format("opaque native executable: {}", path)));
    case VfsNodeKind::Symlink: break;
    }
    unreachable("resolved path names a symbolic link");
}

Result<Bytes, VfsError> Vfs::read_bytes(std::string_view base, std::string_view path) {
    return read_file(base, path, kU64Max);
}

Result<std::string, VfsError> Vfs::read_link(std::string_view base, std::string_view path) const {
    auto canon = canonical_path(base, path, false);
    if (!canon) return std::unexpected(std::move(canon.error()));
    const VfsNode* n = node(*canon);
    if (!n || !n->is_symlink()) return std::unexpected(VfsError::invalid(path));
    return *n->link_target();
}

bool Vfs::is_dir_at(std::string_view base, std::string_view path) const {
    auto n = lookup(base, path, true);
    return n && (*n)->is_dir();
}

bool Vfs::is_file_at(std::string_view base, std::string_view path) const {
    auto n = lookup(base, path, true);
    return n && ((*n)->is_file() || (*n)->is_native());
}

Result<std::vector<std::string>, VfsError> Vfs::list_child_names(std::string_view base, std::string_view path) const {
    auto canon = canonical_path(base, path, true);
    if (!canon) return std::unexpected(std::move(canon.error()));
    const VfsNode* n = node(*canon);
    if (!n) return std::unexpected(VfsError::not_found(path));
    if (!n->is_dir()) return std::unexpected(VfsError::not_a_dir(path));
    std::vector<std::string> names;
    if (auto it = children_.find(*canon); it != children_.end()) names.assign(it->second.begin(), it->second.end());
    return names;
}

Result<std::uint64_t, VfsError> Vfs::file_size_at(std::string_view base, std::string_view path) const {
    auto n = lookup(base, path, true);
    if (!n) return std::unexpected(std::move(n.error()));
    switch ((*n)->kind()) {
    case VfsNodeKind::File: return (*n)->data()->size();
    case VfsNodeKind::NativeExecutable: return 0;
    case VfsNodeKind::Directory: return std::unexpected(VfsError::is_a_dir(path));
    case VfsNodeKind::Symlink: break;
    }
    unreachable("resolved path names a symbolic link");
}

Vfs::TreeRange Vfs::below(std::string_view canonical) const {
    if (canonical == "/") {
        auto first = tree_.upper_bound(std::string_view("/"));
        return {first, tree_.end()};
    }
    // Keys below "p" are those in ["p/", "p0"): '0' is the byte after '/'.
    std::string lo(canonical);
    lo += '/';
    std::string hi(canonical);
    hi += static_cast<char>('/' + 1);
    return {tree_.lower_bound(lo), tree_.lower_bound(hi)};
}

std::vector<std::string> Vfs::descendants(std::string_view canonical) const {
    std::vector<std::string> keys;
    if (canonical == "/") {
        keys.reserve(tree_.size());
        for (const auto& entry : tree_) keys.push_back(entry.first);
        return keys;
    }
    if (node(canonical)) keys.emplace_back(canonical);
    for (const auto& entry : below(canonical)) keys.push_back(entry.first);
    return keys;
}

// ---- Orphans (read side) ---------------------------------------------------------------------

const VfsNode* Vfs::orphan(std::uint64_t id) const {
    auto it = orphans_.find(id);
    return it == orphans_.end() ? nullptr : &it->second;
}

Result<std::uint64_t, VfsError> Vfs::orphan_len(std::uint64_t id) const {
    const VfsNode* n = orphan(id);
    if (!n) return std::unexpected(VfsError::unlinked_file(id));
    if (!n->is_file()) unreachable("orphan is always a file");
    return n->data()->size();
}

namespace {

Bytes slice(const Bytes& data, std::uint64_t offset, std::uint64_t count) {
    const std::uint64_t len = data.size();
    const std::uint64_t start = std::min(offset, len);
    const std::uint64_t end = std::min(len, sat_add(start, count));
    return data.substr(start, end - start);
}

}  // namespace

Result<Bytes, VfsError> Vfs::read_orphan_range(std::uint64_t id, std::uint64_t offset, std::uint64_t count) {
    const VfsNode* n = orphan(id);
    if (!n) return std::unexpected(VfsError::unlinked_file(id));
    if (!n->is_file()) unreachable("orphan is always a file");
    Bytes out = slice(*n->data(), offset, count);
    add_bytes_read(out.size());
    return out;
}

Result<Bytes, VfsError> Vfs::read_file_range(std::string_view path, std::uint64_t offset, std::uint64_t count) {
    auto n = lookup("/", path, true);
    if (!n) return std::unexpected(std::move(n.error()));
    switch ((*n)->kind()) {
    case VfsNodeKind::File: {
        Bytes out = slice(*(*n)->data(), offset, count);
        add_bytes_read(out.size());
        return out;
    }
    case VfsNodeKind::Directory: return std::unexpected(VfsError::is_a_dir(path));
    case VfsNodeKind::NativeExecutable:
        return std::unexpected(VfsError::invalid(fmt::format("opaque native executable: {}", path)));
    case VfsNodeKind::Symlink: break;
    }
    unreachable("resolved path names a symbolic link");
}

}  // namespace tw
