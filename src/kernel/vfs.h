// The machine's filesystem: one ordered map from normalised absolute path to node, the files
// removed while still open ("orphans"), and the disk accounting every mutation passes through.
//
// Keys compare by bytes and the tree iterates in that order. Beside the tree the filesystem keeps
// an index from each parent path to the sorted names of its children, so a directory listing or an
// emptiness test costs what the directory holds, not what the filesystem holds; a subtree is a
// range of the tree (the keys starting with "dir/").
//
// Disk accounting: each node has a modeled cost (`node_cost`): 256 + length for a file or a
// symbolic link (its target text), 256 for a directory or native stub, except that base-image
// directories and unchanged base-image stubs cost nothing; the root costs nothing; an orphan costs
// 256 + its length. `used()` is kept equal to the sum over the tree and the orphans at every
// moment: every insertion, replacement, removal and resize adjusts it by the change of cost.
// `peak()` is the largest value `used()` had when an operation finished (`raise_peak`).
//
// Errors carry the caller's path text unless an operation says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "command_table/native_program.h"

namespace tw {

enum class VfsNodeKind : std::uint8_t { File = 0, Directory = 1, Symlink = 2, NativeExecutable = 3 };

// "file", "directory", "symlink", "native_executable": the names the host sees.
std::string_view vfs_node_kind_name(VfsNodeKind kind);

struct VfsFile {
    Bytes data;
    bool operator==(const VfsFile&) const = default;
};
struct VfsDirectory {
    bool operator==(const VfsDirectory&) const = default;
};
struct VfsSymlink {
    std::string target;  // stored as given, never normalised
    bool operator==(const VfsSymlink&) const = default;
};
struct VfsNative {
    NativeProgram program;
    bool operator==(const VfsNative&) const = default;
};

// The alternatives are in the order of VfsNodeKind: payload.index() is the kind.
using VfsPayload = std::variant<VfsFile, VfsDirectory, VfsSymlink, VfsNative>;

struct VfsNode {
    VfsPayload payload;
    std::uint64_t node_id = 0;
    std::uint64_t mtime_ms = 0;
    std::uint32_t mode = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    // The nanoseconds of the modification time past mtime_ms (below 1,000,000), so that changes
    // made within one millisecond of the clock still order.
    std::uint32_t mtime_sub_ns = 0;

    // The modification time in nanoseconds since the epoch.
    std::uint64_t mtime_ns() const;

    // Owner and group 0.
    static VfsNode file(Bytes data, std::uint32_t mode, std::uint64_t node_id, std::uint64_t mtime_ms);
    static VfsNode directory(std::uint32_t mode, std::uint64_t node_id, std::uint64_t mtime_ms);
    static VfsNode symlink(std::string target, std::uint32_t mode, std::uint64_t node_id, std::uint64_t mtime_ms);
    static VfsNode native(NativeProgram program, std::uint32_t mode, std::uint64_t node_id, std::uint64_t mtime_ms);

    VfsNodeKind kind() const { return static_cast<VfsNodeKind>(payload.index()); }
    bool is_file() const { return kind() == VfsNodeKind::File; }
    bool is_dir() const { return kind() == VfsNodeKind::Directory; }
    bool is_symlink() const { return kind() == VfsNodeKind::Symlink; }
    bool is_native() const { return kind() == VfsNodeKind::NativeExecutable; }

    // The bytes of a File, else null.
    const Bytes* data() const;
    // The target of a Symlink, else null.
    const std::string* link_target() const;
    // The program of a NativeExecutable, else null.
    const NativeProgram* program() const;

    bool operator==(const VfsNode&) const = default;
};

// The bytes of a file lent for reading without a copy: a view of the bytes the file system
// stores, valid until its next change, or (for a generated file) bytes of their own.
class LentBytes {
public:
    LentBytes() = default;
    static LentBytes borrowed(std::string_view bytes) {
        LentBytes b;
        b.borrowed_ = bytes;
        return b;
    }
    static LentBytes owned(Bytes bytes) {
        LentBytes b;
        b.owned_ = std::move(bytes);
        return b;
    }
    std::string_view view() const { return owned_ ? std::string_view(*owned_) : borrowed_; }
    std::size_t size() const { return view().size(); }

private:
    std::optional<Bytes> owned_;
    std::string_view borrowed_;
};

// The metadata record of a node as system calls and commands see it.
struct FileStat {
    std::optional<std::string> link_target;
    std::uint64_t dev = 0;
    std::uint64_t ino = 0;
    std::uint64_t size = 0;
    std::uint64_t blocks = 0;
    std::uint64_t mtime_ms = 0;
    std::uint32_t mode = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    bool is_native = false;
    std::uint8_t file_type = 0;  // 0 file or native stub, 1 directory, 2 symbolic link
    std::uint64_t mtime_ns = 0;  // the modification time in nanoseconds (mtime_ms is its floor)

    static FileStat from_node(const VfsNode& node);
    bool operator==(const FileStat&) const = default;
};

struct VfsError {
    enum class Kind : std::uint8_t {
        NotFound, NotADir, IsADir, NotEmpty, Exists, Loop, Invalid, NameTooLong, NoSpace, TooLarge, ReadOnly,
    };

    Kind kind = Kind::NotFound;
    std::string path;         // empty for NoSpace
    std::uint64_t limit = 0;  // TooLarge only

    static VfsError not_found(std::string_view path) { return {Kind::NotFound, std::string(path), 0}; }
    static VfsError not_a_dir(std::string_view path) { return {Kind::NotADir, std::string(path), 0}; }
    static VfsError is_a_dir(std::string_view path) { return {Kind::IsADir, std::string(path), 0}; }
    static VfsError not_empty(std::string_view path) { return {Kind::NotEmpty, std::string(path), 0}; }
    static VfsError exists(std::string_view path) { return {Kind::Exists, std::string(path), 0}; }
    static VfsError loop(std::string_view path) { return {Kind::Loop, std::string(path), 0}; }
    static VfsError invalid(std::string_view text) { return {Kind::Invalid, std::string(text), 0}; }
    static VfsError name_too_long(std::string_view path) { return {Kind::NameTooLong, std::string(path), 0}; }
    static VfsError no_space() { return {Kind::NoSpace, {}, 0}; }
    static VfsError too_large(std::string_view path, std::uint64_t limit) { return {Kind::TooLarge, std::string(path), limit}; }
    static VfsError read_only(std::string_view path) { return {Kind::ReadOnly, std::string(path), 0}; }
    // NotFound for a missing orphan: "unlinked file {number}".
    static VfsError unlinked_file(std::uint64_t orphan_id);

    // The fixed text of a kind, without a path ("No such file or directory", ...).
    static std::string_view description(Kind kind);
    // The display text (same as error_text).
    std::string to_message() const;

    bool operator==(const VfsError&) const = default;
};

// "No such file or directory: {path}", ..., "No space left on device",
// "file too large: {path} (limit {limit} bytes)".
std::string error_text(const VfsError& error);

// Admission test for bytes offered as a WebAssembly module: at most 128 MiB, starting "\0asm".
// The error is "wasm module exceeds size limit" or "not a binary Wasm module".
Result<void, std::string> check_wasm_module_bytes(BytesView bytes);

class Vfs {
public:
    using Tree = std::map<std::string, VfsNode, std::less<>>;
    using Orphans = std::map<std::uint64_t, VfsNode>;
    using PathSet = std::set<std::string, std::less<>>;
    using NativeMap = std::map<std::string, NativeProgram, std::less<>>;
    // A run of consecutive tree entries, usable in a range-for.
    struct TreeRange {
        Tree::const_iterator first, last;
        Tree::const_iterator begin() const { return first; }
        Tree::const_iterator end() const { return last; }
        bool empty() const { return first == last; }
    };

    static constexpr std::uint64_t kNodeCost = 256;
    static constexpr std::uint32_t kMaxLinkDepth = 40;
    static constexpr std::size_t kMaxPathBytes = 4096;  // a path this long or longer is refused
    static constexpr std::size_t kMaxNameBytes = 256;   // a component this long or longer is refused
    static constexpr std::uint32_t kDirMode = 0755;
    static constexpr std::uint32_t kSymlinkMode = 0777;
    static constexpr std::uint32_t kTouchedFileMode = 0644;

    // ---- Creation and boot -------------------------------------------------------------------

    // The filesystem of a fresh machine: the root "/" (node 1, mode 0o755, time 0, owner and
    // group 0), next node number 2, next orphan number 1, the given capacity and clock, usage 0.
    Vfs(std::uint64_t capacity, std::uint64_t now_ms);
    Vfs() : Vfs(0, 0) {}

    // A base-image directory: normalises the path, takes a node number (panics with "base image
    // inode capacity" when none is left), stores a 0o755 directory with time now_ms (replacing
    // what is there) and adds the path to base_dirs. It costs nothing.
    void insert_base_dir(std::string_view path);
    // A base-image native stub: normalises the path, takes a node number (same panic), stores a
    // 0o755 stub with time now_ms, replacing any node there, and records path -> program in
    // base_natives unless the path is already a key there (the node always takes `program`).
    void insert_base_entry(std::string_view path, NativeProgram program);

    // The filesystem clock: modification time given to nodes created or changed.
    void set_now_ms(std::uint64_t ms) {
        now_ms_ = ms;
        now_sub_ns_ = 0;
    }
    // The same in nanoseconds.
    void set_now_ns(std::uint64_t ns) {
        now_ms_ = ns / 1000000;
        now_sub_ns_ = static_cast<std::uint32_t>(ns % 1000000);
    }
    std::uint64_t now_ns() const;
    // Moves the filesystem clock for the next change: to `clock_ns` when that is later than the
    // last time given out, else one nanosecond past it. So timestamps strictly increase even when
    // the machine's clock stands still, and equal the clock whenever it has moved on.
    void advance_clock_ns(std::uint64_t clock_ns);
    // Gives a node the filesystem clock's time.
    void stamp(VfsNode& node) const {
        node.mtime_ms = now_ms_;
        node.mtime_sub_ns = now_sub_ns_;
    }

    // ---- State -------------------------------------------------------------------------------

    const Tree& tree() const { return tree_; }
    const Orphans& orphans() const { return orphans_; }
    std::uint64_t next_orphan_id() const { return next_orphan_id_; }
    std::uint64_t next_node_id() const { return next_node_id_; }
    std::uint64_t now_ms() const { return now_ms_; }
    std::uint64_t capacity() const { return capacity_; }
    const PathSet& base_dirs() const { return base_dirs_; }
    const NativeMap& base_natives() const { return base_natives_; }
    std::uint64_t used() const { return used_; }
    std::uint64_t peak() const { return peak_; }
    std::uint64_t bytes_read() const { return bytes_read_; }

    void set_capacity(std::uint64_t capacity) { capacity_ = capacity; }
    // Adds to the count of file bytes read (saturating); reads through descriptors report here.
    void add_bytes_read(std::uint64_t n);
    // Raises peak to used when it is lower; every mutation does this when it finishes.
    void raise_peak();

    // ---- Read-only lookups ------------------------------------------------------------------

    // The canonical path of a normalised path: links in every parent component followed, the
    // last component's link followed only with `follow_last`. A missing component is no error.
    // A chain nested more than 40 links deep fails with Loop (the path being resolved then).
    Result<std::string, VfsError> resolve_symlinks(std::string_view path, bool follow_last) const;
    // Join `path` to `base`, normalise, resolve.
    Result<std::string, VfsError> canonical_path(std::string_view base, std::string_view path, bool follow_last) const;

    // The node stored at a canonical path, no resolution; null when there is none.
    const VfsNode* node(std::string_view canonical) const;
    // The node at `path` (joined to base, resolved); NotFound with the caller's path when none.
    // The pointer stays valid until the next mutation.
    Result<const VfsNode*, VfsError> lookup(std::string_view base, std::string_view path, bool follow_last) const;
    // A copy of the node (a file's bytes included).
    Result<VfsNode, VfsError> metadata(std::string_view base, std::string_view path, bool follow_last) const;
    // Whether an absolute path (normalised, parents resolved, last component not) names a node;
    // a dangling link exists. Any failure answers false.
    bool entry_exists(std::string_view path) const;

    // The bytes of a regular file, links followed. TooLarge (caller's path, limit) beyond `limit`;
    // IsADir for a directory; Invalid "opaque native executable: {path}" for a native stub.
    // Counts the bytes in bytes_read.
    Result<Bytes, VfsError> read_file(std::string_view base, std::string_view path, std::uint64_t limit);
    // read_file without the copy: the stored bytes themselves (same checks, errors and count),
    // valid until the next change to the file system.
    Result<std::string_view, VfsError> file_view(std::string_view base, std::string_view path, std::uint64_t limit);
    Result<Bytes, VfsError> read_bytes(std::string_view base, std::string_view path);
    // The target of a link (links in the parents followed); anything else, missing included, is
    // Invalid with the caller's path.
    Result<std::string, VfsError> read_link(std::string_view base, std::string_view path) const;
    bool is_dir_at(std::string_view base, std::string_view path) const;
    // True for a regular file or a native stub.
    bool is_file_at(std::string_view base, std::string_view path) const;
    // The names in a directory, sorted by bytes. NotFound / NotADir with the caller's path.
    Result<std::vector<std::string>, VfsError> list_child_names(std::string_view base, std::string_view path) const;
    // The length of a regular file, links followed; 0 for a native stub. IsADir / NotFound.
    Result<std::uint64_t, VfsError> file_size_at(std::string_view base, std::string_view path) const;
    // The stat record of a pseudo-filesystem node: device 2, no blocks, directories of size 0.
    static FileStat stat_node(const VfsNode& pseudo);

    // The path itself (when present) and every key below it, in key order. The root has them all.
    std::vector<std::string> descendants(std::string_view canonical) const;
    // The keys strictly below `canonical` ("dir/..."), as a range of the tree.
    TreeRange below(std::string_view canonical) const;

    // ---- Disk accounting and guards ----------------------------------------------------------

    // The modeled cost a node would have at `path` (see the file comment).
    std::uint64_t node_cost(std::string_view path, const VfsNode& node) const;
    // The cost of the node stored at a canonical path, 0 when there is none.
    std::uint64_t existing_node_size(std::string_view canonical) const;
    // The usage computed from scratch over the tree and the orphans (the incremental figure
    // `used()` always equals it).
    std::uint64_t compute_used() const;
    // Stores compute_used() as used; peak is not changed.
    void recompute_used();

    // ReadOnly (the path) for "/proc", "/dev" and anything below them.
    static Result<void, VfsError> check_protected_path(std::string_view normalized);
    // NameTooLong (the path) for 4096 bytes or more, or a component of 256 bytes or more.
    static Result<void, VfsError> check_path_length(std::string_view normalized);
    // NoSpace when n more node numbers would overflow the counter.
    Result<void, VfsError> check_node_budget(std::uint64_t n) const;
    // Answers the next node number and advances the counter; NoSpace when exhausted.
    Result<std::uint64_t, VfsError> allocate_node_id();

    // The prefixes of a directory path that do not exist yet, shallowest first (each resolved
    // through links where possible). NotADir (the prefix) when one exists and is no directory.
    Result<std::vector<std::string>, VfsError> missing_prefixes(std::string_view dir_path) const;
    // 256 for each path not in base_dirs.
    std::uint64_t missing_dirs_size(const std::vector<std::string>& paths) const;
    // Checks the node budget for the whole list, then stores a 0o755 directory (time now_ms) at
    // each path in order.
    Result<void, VfsError> create_missing_dirs(const std::vector<std::string>& paths);

    // ---- Mutations ---------------------------------------------------------------------------

    // The canonical path of a node about to be written or created: join and normalise, refuse
    // protected paths and over-long paths, follow links in the parent (not in the last
    // component). The root is its own target.
    Result<std::string, VfsError> resolve_parent(std::string_view base, std::string_view path) const;
    // Succeeds when the parent of a canonical path (links followed) is an existing directory:
    // NotFound / NotADir with the parent path otherwise.
    Result<void, VfsError> lookup_dir(std::string_view canonical) const;

    // Writes a whole regular file at an absolute path, creating missing parent directories; a
    // link in the last component is replaced, not followed.
    Result<void, VfsError> write_file(std::string_view path, Bytes bytes, std::uint32_t mode);
    // Writes a whole regular file into an existing directory. An existing regular file keeps its
    // mode, owner and group; a link or stub at the path is replaced by a new file with `mode`.
    Result<void, VfsError> write_file_mode(std::string_view base, std::string_view path, Bytes bytes, std::uint32_t mode);
    // Creates the directory and its missing parents; an existing directory is no error.
    Result<void, VfsError> create_dir_all(std::string_view base, std::string_view path);
    // Creates one 0o755 directory inside an existing directory; Exists when anything is there.
    Result<void, VfsError> mkdir(std::string_view base, std::string_view path);
    // Creates a 0o777 link holding `target` unchanged; Exists (caller's link path) when taken.
    Result<void, VfsError> symlink(std::string_view base, std::string_view target, std::string_view link_path);
    // Sets the modification time of the node at the path (a link's own time), or creates an
    // empty 0o644 file with that time (`sub_ns`: the nanoseconds past the millisecond).
    Result<void, VfsError> set_times(std::string_view base, std::string_view path, std::uint64_t mtime_ms,
                                     std::uint32_t sub_ns = 0);
    // Sets the permission bits (masked with 0o7777) of the node, the last link followed.
    Result<void, VfsError> chmod(std::string_view base, std::string_view path, std::uint32_t mode);
    // Sets owner and/or group of the node, the last link followed.
    Result<void, VfsError> set_owner(std::string_view base, std::string_view path, std::optional<std::uint32_t> uid,
                                     std::optional<std::uint32_t> gid);
    // Removes a file, link or native stub (a link itself, never its target).
    Result<void, VfsError> remove_file(std::string_view base, std::string_view path);
    // Removes an empty directory, the last link followed (the link stays). The root is refused
    // with Invalid (the caller's path).
    Result<void, VfsError> remove_dir(std::string_view base, std::string_view path);

    // Regular-file contents by canonical path, for descriptors. The path is joined to "/".
    // Reads follow links: NotFound / IsADir with the path, Invalid "opaque native executable: {}"
    // for a stub; the bytes from min(offset, len) to min(len, offset + count), counted in
    // bytes_read.
    Result<Bytes, VfsError> read_file_range(std::string_view path, std::uint64_t offset, std::uint64_t count);
    // Writes `bytes` at `offset` of the regular file at the path (resolve_parent's guards apply,
    // the last link is not followed), extending with zero bytes as needed; time set to now_ms.
    // NotFound / IsADir with the path, Invalid (the path) for a link or stub or an end beyond
    // 2^64; NoSpace when the growth does not fit.
    Result<void, VfsError> write_file_range(std::string_view path, std::uint64_t offset, BytesView bytes);
    // Resizes the regular file at the path to `length` (zero-filled growth, time set to now_ms).
    // The current length is file_size_at's (links followed: NotFound / IsADir); the node at the
    // resolve_parent target must be a regular file, else Invalid (the path).
    Result<void, VfsError> resize_file(std::string_view path, std::uint64_t length);

    // ---- Files removed while open ------------------------------------------------------------

    // Moves the regular file stored at a canonical path into the orphans under a fresh number and
    // answers the number; cost and usage are unchanged. ReadOnly for a protected path, NotFound
    // when nothing is there, Invalid when it is no regular file, NoSpace when the orphan counter
    // is exhausted.
    Result<std::uint64_t, VfsError> move_to_orphans(std::string_view canonical);
    // The orphan's node, null when it is gone.
    const VfsNode* orphan(std::uint64_t id) const;
    // Its length; NotFound "unlinked file {id}" when it is gone.
    Result<std::uint64_t, VfsError> orphan_len(std::uint64_t id) const;
    // Bytes from min(offset, len) to min(len, offset + count), counted in bytes_read.
    Result<Bytes, VfsError> read_orphan_range(std::uint64_t id, std::uint64_t offset, std::uint64_t count);
    // As write_file_range; an end beyond 2^64 is NoSpace.
    Result<void, VfsError> write_orphan_range(std::uint64_t id, std::uint64_t offset, BytesView bytes);
    // As resize_file, for an orphan.
    Result<void, VfsError> resize_orphan(std::uint64_t id, std::uint64_t length);
    // Forgets every orphan whose number is not in `keep`, giving back its cost.
    void drop_unreferenced_orphans(const std::set<std::uint64_t>& keep);

    // ---- Tree primitives ----------------------------------------------------------------------
    // For the operations built on top of this class (moving and copying subtrees). They keep the
    // child index and `used` exact but never check guards or capacity, and do not touch peak:
    // check first, then apply, then raise_peak().

    // Stores `node` at a canonical path, replacing whatever is there.
    void store_node(std::string path, VfsNode node);
    // Takes the node out of a canonical path; nothing when there is none.
    std::optional<VfsNode> take_node(std::string_view path);
    // Puts back the node counter and the peak saved before a run of changes that has been undone
    // node by node (store_node / take_node), so the run leaves no trace.
    void restore_counters(std::uint64_t next_node_id, std::uint64_t peak) {
        next_node_id_ = next_node_id;
        peak_ = peak;
    }

    // ---- Change journal -------------------------------------------------------------------------
    // While a journal is kept, the first change to each path after it began records what the path
    // held before (a node, or nothing), and the journal holds the orphans and counters of that
    // moment. Comparing with or going back to that moment then costs what changed since, not what
    // the filesystem holds.

    struct Journal {
        // Path -> its node when the journal began (absent: there was none). In key order.
        std::map<std::string, std::optional<VfsNode>, std::less<>> prior;
        Orphans orphans;
        std::uint64_t next_orphan_id = 1;
        std::uint64_t next_node_id = 2;
        std::uint64_t now_ms = 0;
        std::uint64_t peak = 0;
        std::uint64_t bytes_read = 0;
        std::uint32_t now_sub_ns = 0;
    };

    // Starts a journal at the present state, replacing any earlier one.
    void begin_journal();
    void end_journal() { journal_.reset(); }
    const std::optional<Journal>& journal() const { return journal_; }
    // Puts every recorded path, the orphans and the counters back as they were when the journal
    // began (usage follows the restored nodes); the journal goes on from there, empty. Nothing
    // happens without a journal.
    void roll_back_journal();

private:
    // Records the node at a canonical path as its prior state, the first time it changes.
    void note_change(std::string_view path);

    // The growth/capacity/resize rule shared by files and orphans: `node` is a regular file whose
    // cost is counted in used_.
    Result<void, VfsError> resize_data(VfsNode& node, std::uint64_t length);
    Result<void, VfsError> write_data(VfsNode& node, std::uint64_t offset, BytesView bytes);
    Result<std::string, VfsError> resolve_owned(std::string path, bool follow_last) const;
    Result<std::string, VfsError> resolve_link_chain(std::string_view path, bool follow_last) const;
    void index_add(std::string_view path);
    void index_remove(std::string_view path);
    void account_remove(std::uint64_t cost);
    void account_add(std::uint64_t cost);

    Tree tree_;
    Orphans orphans_;
    std::uint64_t next_orphan_id_ = 1;
    std::uint64_t next_node_id_ = 2;
    std::uint64_t now_ms_ = 0;
    std::uint32_t now_sub_ns_ = 0;
    std::uint64_t capacity_ = 0;
    PathSet base_dirs_;
    NativeMap base_natives_;
    std::uint64_t used_ = 0;
    std::uint64_t peak_ = 0;
    std::uint64_t bytes_read_ = 0;

    // Parent path -> the names of its children (every key but "/" is listed under its parent).
    std::map<std::string, PathSet, std::less<>> children_;
    // The paths of the tree's symbolic links. Resolution checks each component against this
    // (usually tiny) set instead of the whole tree, and is the identity while it is empty.
    PathSet symlinks_;
    std::optional<Journal> journal_;
};

}  // namespace tw
