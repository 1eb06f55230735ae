// The file requests of the container: all of them work inside "/work". A path is checked as
// text (normalised, then /work or below) and then once more after the links on its way are
// followed, so that a link such as /work/l -> /etc cannot carry a request out of /work.
#include "harness/container_files.h"

#include <fmt/format.h>

#include "base/sat.h"
#include "base/utf8.h"
#include "commands/diff/patch_command.h"
#include "commands/diff/patch_model.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"
#include "shell/variables.h"

namespace tw {
namespace {

using Failure = std::string;

constexpr std::string_view kConfined = "harness file operations are confined to /work";
constexpr std::uint32_t kMaxMode = 07777;

bool inside_work(std::string_view path) {
    return path == kWorkDirectory || (path.starts_with(kWorkDirectory) && path.size() > kWorkDirectory.size() &&
                                      path[kWorkDirectory.size()] == '/');
}

// harness_check_work_path, then the same rule for the path with its links followed (the last
// component's only with `follow_last`).
Result<std::string, Failure> confined_path(const Vfs& vfs, std::string_view path, bool follow_last) {
    auto checked = harness_check_work_path(path);
    if (!checked) return checked;
    auto resolved = vfs.resolve_symlinks(*checked, follow_last);
    if (!resolved) return std::unexpected(error_text(resolved.error()));
    if (!inside_work(*resolved)) return std::unexpected(std::string(kConfined));
    return checked;
}

Result<void, Failure> check_mode(std::uint32_t mode) {
    if (mode > kMaxMode) return std::unexpected(fmt::format("invalid file mode 0o{:o}", mode));
    return {};
}

Result<HarnessResult, Failure> vfs_done(Result<void, VfsError> done) {
    if (!done) return std::unexpected(error_text(done.error()));
    return Acknowledged{};
}

std::uint64_t transfer_size(const VfsNode& node) {
    if (const Bytes* data = node.data()) return data->size();
    if (const std::string* target = node.link_target()) return target->size();
    return 0;
}

// Every path a patch names must stay inside /work, links followed.
Result<void, Failure> check_patch_paths(const Vfs& vfs, std::string_view text, std::uint64_t strip) {
    if (!utf8_valid(text)) return {};  // the patch engine refuses it with its own message
    const bool envelope = text.starts_with("*** Begin Patch");
    auto parsed = envelope ? patch_parse_envelope(text) : patch_parse_unified(text, strip);
    if (!parsed) return {};  // likewise
    for (const FilePatch& patch : *parsed) {
        for (const std::optional<std::string>* name : {&patch.old_path, &patch.new_path}) {
            if (!name->has_value()) continue;
            if ((*name)->find('\0') != std::string::npos) return std::unexpected(std::string(kConfined));
            const std::string path = path_join_normalize(kWorkDirectory, **name);
            if (!inside_work(path)) return std::unexpected(std::string(kConfined));
            auto resolved = vfs.resolve_symlinks(path, true);
            if (!resolved || !inside_work(*resolved)) return std::unexpected(std::string(kConfined));
        }
    }
    return {};
}

// Removes a node and everything below it, deepest first.
Result<void, Failure> remove_tree(Machine& machine, std::string_view path) {
    auto canonical = machine.vfs.resolve_symlinks(path, false);
    if (!canonical) return std::unexpected(error_text(canonical.error()));
    if (machine.vfs.node(*canonical) == nullptr) return std::unexpected(error_text(VfsError::not_found(path)));
    machine.sync_vfs_clock();
    const std::vector<std::string> doomed = machine.vfs.descendants(*canonical);
    for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) {
        const VfsNode* node = machine.vfs.node(*it);
        if (node == nullptr) continue;
        if (node->is_dir()) {
            if (auto r = machine.vfs.remove_dir("/", *it); !r) return std::unexpected(error_text(r.error()));
        } else if (auto r = machine.remove_path("/", *it); !r) {
            return std::unexpected(error_text(r.error()));
        }
    }
    machine.drop_unreferenced_orphans();
    return {};
}

bool same_content(const VfsNode& a, const VfsNode& b) {
    return a.mode == b.mode && a.payload == b.payload;
}

}  // namespace

Result<std::string, std::string> harness_check_work_path(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::unexpected(std::string("workspace path contains NUL"));
    std::string normalized = path.starts_with('/') ? path_normalize(path) : path_join_normalize(kWorkDirectory, path);
    if (!inside_work(normalized)) return std::unexpected(std::string(kConfined));
    return normalized;
}

Result<void, VfsError> harness_mkdir_mode(Vfs& vfs, std::string_view path, std::uint32_t mode) {
    const std::string normalized = path_normalize(path);
    if (auto r = Vfs::check_protected_path(normalized); !r) return r;
    if (auto r = vfs.create_dir_all("/", normalized); !r) return r;
    return vfs.chmod("/", normalized, mode);
}

Result<HarnessResult, Failure> dispatch_file_request(HarnessContainer& c, request::ReadFile& r) {
    Vfs& vfs = c.machine.vfs;
    auto path = confined_path(vfs, r.path, true);
    if (!path) return std::unexpected(std::move(path.error()));
    auto size = vfs.file_size_at("/", *path);
    if (!size) return std::unexpected(error_text(size.error()));
    if (*size > kMaxFileTransferBytes)
        return std::unexpected(fmt::format("file exceeds the {}-byte transfer limit", kMaxFileTransferBytes));
    auto node = vfs.metadata("/", *path, true);
    if (!node) return std::unexpected(error_text(node.error()));
    if (!node->is_file()) return std::unexpected(fmt::format("not a regular file: {}", *path));
    return FileResult{.path = *path, .data = std::move(std::get<VfsFile>(node->payload).data), .mode = node->mode};
}

Result<HarnessResult, Failure> dispatch_file_request(HarnessContainer& c, request::WriteFile& r) {
    if (auto ok = check_mode(r.mode); !ok) return std::unexpected(std::move(ok.error()));
    auto path = confined_path(c.machine.vfs, r.path, false);
    if (!path) return std::unexpected(std::move(path.error()));
    auto payload = harness_decode_payload(c.machine, r.data_base64);
    if (!payload) return std::unexpected(std::move(payload.error()));
    auto written = c.machine.vfs.write_file(*path, std::move(payload->bytes), r.mode);
    c.machine.meter.release_memory(payload->charge);
    return vfs_done(std::move(written));
}

Result<HarnessResult, Failure> dispatch_file_request(HarnessContainer& c, request::ReadPathMetadata& r) {
    auto path = confined_path(c.machine.vfs, r.path, r.follow_symlinks);
    if (!path) return std::unexpected(std::move(path.error()));
    auto node = c.machine.vfs.metadata("/", *path, r.follow_symlinks);
    if (!node) return std::unexpected(error_text(node.error()));
    PathMetadata metadata{.path = *path, .kind = node->kind(), .mode = node->mode, .uid = node->uid, .gid = node->gid,
                          .mtime_ms = node->mtime_ms, .size = transfer_size(*node), .symlink_target = std::nullopt};
    if (const std::string* target = node->link_target()) metadata.symlink_target = *target;
    return metadata;
}

Result<HarnessResult, Failure> dispatch_file_request(HarnessContainer& c, request::MakeDirectory& r) {
    if (auto ok = check_mode(r.mode); !ok) return std::unexpected(std::move(ok.error()));
    auto path = confined_path(c.machine.vfs, r.path, true);
    if (!path) return std::unexpected(std::move(path.error()));
    c.machine.sync_vfs_clock();
    Vfs& vfs = c.machine.vfs;
    if (r.parents) return vfs_done(harness_mkdir_mode(vfs, *path, r.mode));
    if (auto made = vfs.mkdir("/", *path); !made) return vfs_done(std::move(made));
    return vfs_done(vfs.chmod("/", *path, r.mode));
}

Result<HarnessResult, Failure> dispatch_file_request(HarnessContainer& c, request::MakeSymlink& r) {
    if (r.target.find('\0') != std::string::npos) return std::unexpected(std::string("symlink target contains NUL"));
    if (r.target.size() > kMaxSymlinkTargetBytes)
        return std::unexpected(std::string("symlink target exceeds the transfer limit"));
    auto path = confined_path(c.machine.vfs, r.path, false);
    if (!path) return std::unexpected(std::move(path.error()));
    c.machine.sync_vfs_clock();
    return vfs_done(c.machine.vfs.symlink("/", r.target, *path));
}

Result<HarnessResult, Failure> dispatch_file_request(HarnessContainer& c, request::ApplyPatch& r) {
    if (auto ok = check_patch_paths(c.machine.vfs, r.patch, r.strip); !ok) return std::unexpected(std::move(ok.error()));
    SyscallContext sys(c.machine);
    const std::string args[] = {fmt::format("-p{}", r.strip)};
    Bytes in = std::move(r.patch);
    Bytes out;
    Bytes err;
    CommandIo io{in, out, err};
    const std::uint32_t status = patch_command_run(sys, args, io, false, kWorkDirectory, false);
    if (status == 0) return Acknowledged{};
    std::string message = utf8_lossy(err);
    const auto first = message.find_first_not_of(" \t\n\r\f\v");
    if (first == std::string::npos) return std::unexpected(std::string());
    const auto last = message.find_last_not_of(" \t\n\r\f\v");
    return std::unexpected(message.substr(first, last - first + 1));
}

Result<HarnessResult, Failure> dispatch_file_request(HarnessContainer& c, request::RemovePath& r) {
    auto path = confined_path(c.machine.vfs, r.path, false);
    if (!path) return std::unexpected(std::move(path.error()));
    if (auto removed = remove_tree(c.machine, *path); !removed) return std::unexpected(std::move(removed.error()));
    return Acknowledged{};
}

Result<HarnessResult, Failure> dispatch_file_request(HarnessContainer& c, request::ListPaths& r) {
    const Vfs& vfs = c.machine.vfs;
    auto path = confined_path(vfs, r.path, true);
    if (!path) return std::unexpected(std::move(path.error()));
    if (!vfs.is_dir_at("/", *path)) return std::unexpected(fmt::format("not a directory: {}", *path));
    auto canonical = vfs.resolve_symlinks(*path, true);
    if (!canonical) return std::unexpected(error_text(canonical.error()));
    PathsResult result;
    for (const auto& [key, node] : vfs.below(*canonical)) result.paths.push_back(key);
    return result;
}

// ---- the workspace: checkpoint, diff, restore ----
//
// The baseline is the journal of the machine's filesystem (Vfs::begin_journal): for every path
// changed since the checkpoint it holds the path's node at the checkpoint (or that it had none).
// A path the journal does not name is unchanged, so the diff and the restore visit only what
// changed.

Result<HarnessResult, Failure> dispatch_file_request(HarnessContainer& c, request::CheckpointWorkspace&) {
    Vfs& vfs = c.machine.vfs;
    if (vfs.used() > kMaxCheckpointDiskBytes)
        return std::unexpected(fmt::format("workspace exceeds the {}-byte checkpoint limit", kMaxCheckpointDiskBytes));
    vfs.begin_journal();
    return Acknowledged{};
}

Result<HarnessResult, Failure> dispatch_file_request(HarnessContainer& c, request::WorkspaceDiff&) {
    const Vfs& vfs = c.machine.vfs;
    WorkspaceDiffResult result;
    if (!vfs.journal()) return result;
    const auto& prior = vfs.journal()->prior;
    std::uint64_t total = 0;
    for (auto it = prior.lower_bound(kWorkDirectory); it != prior.end() && it->first.starts_with(kWorkDirectory); ++it) {
        const std::string& path = it->first;
        if (!inside_work(path)) continue;
        const std::optional<VfsNode>& before = it->second;
        const VfsNode* after = vfs.node(path);
        if (before && after && same_content(*before, *after)) continue;
        if (!before && !after) continue;
        const std::uint64_t sizes[] = {before ? transfer_size(*before) : 0, after ? transfer_size(*after) : 0};
        for (std::uint64_t size : sizes)
            if (__builtin_add_overflow(total, size, &total))
                return std::unexpected(std::string("workspace diff is too large"));
        if (total > kMaxWorkspaceDiffBytes)
            return std::unexpected(fmt::format("workspace diff exceeds the {}-byte transfer limit", kMaxWorkspaceDiffBytes));
        WorkspaceChange change;
        change.path = path;
        change.change = !before ? WorkspaceChange::Kind::Added
                                : (!after ? WorkspaceChange::Kind::Deleted : WorkspaceChange::Kind::Modified);
        change.before = before;
        if (after) change.after = *after;
        result.changes.push_back(std::move(change));
    }
    return result;
}

Result<HarnessResult, Failure> dispatch_file_request(HarnessContainer& c, request::RestoreWorkspace&) {
    Machine& machine = c.machine;
    machine.vfs.roll_back_journal();
    ProcessState& active = machine.states.active_mut();
    if (!machine.vfs.is_dir_at("/", active.cwd)) {
        active.cwd = std::string(kWorkDirectory);
        set_variable_str(active, "PWD", kWorkDirectory);
    }
    return Acknowledged{};
}

// ---- the workspace snapshot ----

Result<std::string, std::string> snapshot_workspace(const HarnessContainer& c) {
    constexpr std::string_view kNotQuiescent = "workspace snapshot requires a quiescent container";
    constexpr std::size_t kMaxEntries = 200000;
    constexpr std::uint64_t kMaxFileBytes = 67108864;
    constexpr std::uint64_t kMaxTotalBytes = 134217728;
    const Machine& machine = c.machine;
    if (c.foreground_action || machine.broker.has_waiting_host_request())
        return std::unexpected(std::string(kNotQuiescent));
    const Pid active = machine.states.active_pid();
    for (const auto& [pid, record] : machine.processes.records())
        if (pid != active && record.status != ProcessStatus::Exited) return std::unexpected(std::string(kNotQuiescent));

    const std::string prefix = std::string(kWorkDirectory) + "/";
    std::vector<std::string> entries;
    std::uint64_t total = 0;
    for (const auto& [path, node] : machine.vfs.below(kWorkDirectory)) {
        if (entries.size() >= kMaxEntries) return std::unexpected(std::string("workspace snapshot has too many entries"));
        std::string entry;
        const std::string_view relative = std::string_view(path).substr(prefix.size());
        if (const Bytes* data = node.data()) {
            if (data->size() > kMaxFileBytes)
                return std::unexpected(std::string("workspace snapshot file exceeds transfer limit"));
            total = sat_add(total, data->size());
            if (total > kMaxTotalBytes) return std::unexpected(std::string("workspace snapshot is too large"));
            entry = "{\"type\":\"file\",\"path\":";
            append_json_string(entry, relative);
            fmt::format_to(std::back_inserter(entry), ",\"mode\":{},\"data_base64\":\"", node.mode);
            entry += base64_encode(*data);
            entry += "\"}";
        } else if (node.is_dir()) {
            entry = "{\"type\":\"directory\",\"path\":";
            append_json_string(entry, relative);
            fmt::format_to(std::back_inserter(entry), ",\"mode\":{}}}", node.mode);
        } else {
            return std::unexpected(fmt::format("unsupported workspace package entry: {}", path));
        }
        entries.push_back(std::move(entry));
    }
    std::string out = "[";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) out.push_back(',');
        out += entries[i];
    }
    out.push_back(']');
    return out;
}

}  // namespace tw
