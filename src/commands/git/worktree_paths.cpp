#include "commands/git/worktree_paths.h"

#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "base/utf8.h"
#include "commands/git/git_command.h"
#include "commands/git/op_state.h"
#include "kernel/syscall_error.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"

namespace tw {

namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

GitTree restricted(const GitTree& tree, const std::vector<std::string>& paths) {
    GitTree out;
    for (const std::string& p : paths)
        if (auto it = tree.find(p); it != tree.end()) out.insert(*it);
    return out;
}

bool has_path_below(const GitTree& tree, const std::string& dir) {
    auto it = tree.lower_bound(dir);
    return it != tree.end() && it->first.starts_with(dir);
}

}  // namespace

// ---- restoring ----

std::optional<std::string> git_apply_tree_to_worktree(Syscalls& sys, std::string_view root, const GitTree& old_tree,
                                                      const GitTree& new_tree, bool force) {
    std::uint64_t charge = saturating_add(sys.disk_used(), 4096);
    if (!sys.charge_memory(charge)) return std::string("memory limit exceeded");
    std::vector<InstallOp> batch;
    std::vector<std::string> removed;
    for (const auto& [path, entry] : old_tree) {
        if (new_tree.contains(path)) continue;
        removed.push_back(path_join(root, path));
        if (fs_is_regular_file(sys, removed.back())) batch.push_back(InstallOp::remove_file(removed.back()));
    }
    for (const auto& [path, entry] : new_tree) {
        std::string absolute = path_join(root, path);
        auto old = old_tree.find(path);
        if (!force && old != old_tree.end() && old->second == entry && fs_is_regular_file(sys, absolute)) continue;
        auto content = git_read_object(sys, root, entry.id);
        if (!content) {
            sys.release_memory(charge);
            return fmt::format("missing blob {} for {}", entry.id, path);
        }
        if (entry.symlink) batch.push_back(InstallOp::create_symlink(absolute, utf8_lossy(*content)));
        else batch.push_back(InstallOp::write_file(absolute, std::move(*content), entry.executable ? 0755 : 0644));
    }
    if (auto done = sys.install_files("/", std::move(batch)); !done) {
        sys.release_memory(charge);
        return error_text(done.error());
    }
    for (const std::string& path : removed) git_prune_empty_dirs(sys, root, path);
    sys.release_memory(charge);
    return std::nullopt;
}

void git_clear_merge_stages_for(Syscalls& sys, std::string_view root, const std::vector<std::string>& paths) {
    MergeStages stages = git_read_merge_stages(sys, root);
    if (stages.empty()) return;
    for (const std::string& p : paths) stages.erase(p);
    (void)git_write_merge_stages(sys, root, stages);
}

std::int32_t git_restore_paths(Syscalls& sys, std::string_view root, const GitRestoreRequest& request, Bytes& err) {
    auto index = git_read_index_or_fatal(sys, root, err);
    if (!index) return index.error();
    GitTree source;
    if (request.source) {
        auto id = git_resolve_revision(sys, root, *request.source);
        if (!id) {
            git_report_fatal(err, "unknown restore source");
            return 128;
        }
        auto tree = git_commit_tree_or_fatal(sys, root, *id, err);
        if (!tree) return tree.error();
        source = std::move(*tree);
    } else {
        source = request.staged ? git_head_tree(sys, root) : *index;
    }
    const GitTree tracked_before = *index;
    const std::string cwd = sys.getcwd();
    if (request.staged) {
        auto paths = git_resolve_pathspecs(cwd, root, request.operands, *index, source);
        if (!paths) {
            git_report_fatal(err, paths.error());
            return 128;
        }
        for (const std::string& p : *paths) {
            if (auto it = source.find(p); it != source.end()) (*index)[p] = it->second;
            else index->erase(p);
        }
        if (auto e = git_write_index(sys, root, *index)) {
            git_report_write_failure(err, "the index", *e);
            return 128;
        }
        git_clear_merge_stages_for(sys, root, *paths);
        if (!request.worktree) return 0;
    }
    auto scan = git_scan_worktree(sys, root, err);
    if (!scan) return scan.error();
    const GitTree& wanted = request.staged ? *index : source;
    auto paths = git_resolve_pathspecs(cwd, root, request.operands, wanted, *scan);
    if (!paths) {
        git_report_fatal(err, paths.error());
        return 128;
    }
    // Untracked files matched by a pathspec such as "." are never touched.
    std::erase_if(*paths, [&](const std::string& p) {
        return !wanted.contains(p) && !tracked_before.contains(p) && !source.contains(p);
    });
    if (auto e = git_apply_tree_to_worktree(sys, root, restricted(*scan, *paths), restricted(wanted, *paths), true)) {
        err += fmt::format("git restore: {}\n", *e);
        return 1;
    }
    return 0;
}

std::vector<std::string> git_ignored_operands(const std::vector<std::string>& operands, std::string_view cwd,
                                              std::string_view root, const GitTree& scan, const GitTree& index,
                                              const std::vector<IgnoreRule>& rules) {
    std::vector<std::string> selected;
    for (const std::string& operand : operands) {
        std::string rel = git_user_path_to_repo_path(cwd, root, operand);
        if (scan.contains(rel) && !index.contains(rel) && git_is_ignored(rules, rel)) selected.push_back(rel);
    }
    return selected;
}

// ---- selections and display ----

std::vector<std::string> git_fold_untracked(const std::vector<std::string>& untracked, const GitTree& tracked) {
    std::set<std::string> result;
    for (const std::string& p : untracked) {
        std::string shown = p;
        for (std::size_t slash = p.find('/'); slash != std::string::npos; slash = p.find('/', slash + 1)) {
            std::string dir = p.substr(0, slash + 1);
            if (!has_path_below(tracked, dir)) {
                shown = std::move(dir);
                break;
            }
        }
        result.insert(std::move(shown));
    }
    return {result.begin(), result.end()};
}

std::vector<std::string> git_clean_candidates(const GitTree& scan, const GitTree& index,
                                              const std::vector<IgnoreRule>& rules, bool include_ignored,
                                              const std::vector<std::string>& operands) {
    std::vector<std::string> selected;
    for (const auto& [path, entry] : scan) {
        if (index.contains(path)) continue;
        if (!include_ignored && git_is_ignored(rules, path)) continue;
        bool named = operands.empty() || std::any_of(operands.begin(), operands.end(), [&](const std::string& o) {
                         return path == o || (path.size() > o.size() && path.starts_with(o) && path[o.size()] == '/');
                     });
        if (named) selected.push_back(path);
    }
    return selected;
}

Result<GitCheckedOperand, std::string> git_checked_worktree_operand(std::string_view cwd, std::string_view root,
                                                                   std::string_view operand) {
    std::string absolute = path_join_normalize(cwd, operand);
    if (!path_is_within(root, absolute) || git_path_is_in_git_dir(root, absolute))
        return std::unexpected(fmt::format("pathspec '{}' is outside the working tree", operand));
    auto rel = git_repo_relative_path(root, absolute);
    if (!rel) return std::unexpected(fmt::format("pathspec '{}' does not name a file", operand));
    return GitCheckedOperand{std::move(absolute), std::move(*rel)};
}

std::vector<std::string> git_paths_under(const GitTree& index, std::string_view dir) {
    std::vector<std::string> paths;
    for (auto it = index.lower_bound(std::string(dir)); it != index.end() && it->first.starts_with(dir); ++it)
        paths.push_back(it->first);
    return paths;
}

std::vector<std::string> git_rm_selection(const GitTree& index, std::string_view path) {
    std::vector<std::string> paths;
    if (index.contains(std::string(path))) paths.emplace_back(path);
    for (std::string& p : git_paths_under(index, fmt::format("{}/", path))) paths.push_back(std::move(p));
    return paths;
}

std::string git_display_path(std::string_view prefix, std::string_view path) {
    if (prefix.empty()) return std::string(path);
    if (path.starts_with(prefix)) return std::string(path.substr(prefix.size()));
    std::string shown;
    for (char c : prefix)
        if (c == '/') shown += "../";
    return shown + std::string(path);
}

std::string git_display_rename(std::string_view prefix, const std::optional<std::string>& origin,
                               std::string_view path) {
    if (!origin) return git_display_path(prefix, path);
    return fmt::format("{} -> {}", git_display_path(prefix, *origin), git_display_path(prefix, path));
}

void git_write_change_line(GitChangeKind kind, std::string_view path, Bytes& out) {
    std::string_view label = kind == GitChangeKind::NewFile    ? "new file:"
                             : kind == GitChangeKind::Modified ? "modified:"
                             : kind == GitChangeKind::Deleted  ? "deleted:"
                                                               : "renamed:";
    out += fmt::format("\t{:<11} {}\n", label, path);
}

std::string git_continue_hint(bool conflicts_remain, std::string_view operation) {
    return conflicts_remain ? fmt::format("  (fix conflicts and run \"git {} --continue\")\n", operation)
                            : fmt::format("  (all conflicts fixed: run \"git {} --continue\")\n", operation);
}

}  // namespace tw
