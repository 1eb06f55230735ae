// Choosing and showing work-tree paths for the index-changing and status commands: restoring
// paths from a tree, bringing the work tree from one tree to another, the unmerged records of
// staged paths, and the selections and display pieces of status, clean, rm and mv.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "commands/git/store.h"

namespace tw {

// ---- restoring ----

struct GitRestoreRequest {
    std::optional<std::string> source;  // a revision; none: HEAD when staged, else the index
    std::vector<std::string> operands;
    bool staged = false;
    bool worktree = false;
};
// 0, 1 after "git restore: {}", or 128 after a fatal report.
std::int32_t git_restore_paths(Syscalls& sys, std::string_view root, const GitRestoreRequest& request, Bytes& err);

// Changes the work tree from `old_tree` to `new_tree` in one all-or-nothing batch: files of the
// old tree the new one lacks are removed, and every entry of the new tree is written (without
// force, an entry equal in both trees whose file exists is left alone). The error text on failure.
std::optional<std::string> git_apply_tree_to_worktree(Syscalls& sys, std::string_view root, const GitTree& old_tree,
                                                      const GitTree& new_tree, bool force);

// Removes `paths` from the recorded unmerged paths.
void git_clear_merge_stages_for(Syscalls& sys, std::string_view root, const std::vector<std::string>& paths);

// The operands, as repository paths, that name an untracked file of the scan that is ignored.
std::vector<std::string> git_ignored_operands(const std::vector<std::string>& operands, std::string_view cwd,
                                              std::string_view root, const GitTree& scan, const GitTree& index,
                                              const std::vector<IgnoreRule>& rules);

// ---- selections and display ----

// Untracked paths folded into their outermost directory (with a trailing "/") that holds no
// tracked path; ordered, without duplicates.
std::vector<std::string> git_fold_untracked(const std::vector<std::string>& untracked, const GitTree& tracked);
// The scan paths `git clean` may remove.
std::vector<std::string> git_clean_candidates(const GitTree& scan, const GitTree& index,
                                              const std::vector<IgnoreRule>& rules, bool include_ignored,
                                              const std::vector<std::string>& operands);
struct GitCheckedOperand {
    std::string absolute;
    std::string path;
};
// An rm or mv operand inside the work tree (and not in `.git`), or the error text.
Result<GitCheckedOperand, std::string> git_checked_worktree_operand(std::string_view cwd, std::string_view root,
                                                                   std::string_view operand);
std::vector<std::string> git_paths_under(const GitTree& index, std::string_view dir);
std::vector<std::string> git_rm_selection(const GitTree& index, std::string_view path);

// `prefix` is the current directory relative to the root with a trailing "/", or empty.
std::string git_display_path(std::string_view prefix, std::string_view path);
std::string git_display_rename(std::string_view prefix, const std::optional<std::string>& origin,
                               std::string_view path);

enum class GitChangeKind : std::uint8_t { NewFile, Modified, Deleted, Renamed };
void git_write_change_line(GitChangeKind kind, std::string_view path, Bytes& out);
std::string git_continue_hint(bool conflicts_remain, std::string_view operation);

}  // namespace tw
