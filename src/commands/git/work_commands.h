// The git commands over branches, the work tree and the refs: branch, switch, checkout, restore,
// reset, rm, mv, clean, ls-files, ls-tree, cat-file, tag, config, remote and the ref and history
// plumbing, with the services they share (the branch switch of the work tree, the ref listing and
// the ref format).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/git/git_command.h"

namespace tw {

// The first line of the commit's message; empty when the commit cannot be read.
std::string git_commit_subject_of(Syscalls& sys, std::string_view root, std::string_view id);

// The arguments before the first "--" and those after it (the argument cursor hides the marker).
std::pair<std::span<const std::string>, std::vector<std::string>> git_split_at_dashes(
    std::span<const std::string> args);

// ---- the branch switch of the work tree ----

struct WorktreeState {
    GitTree head;
    GitTree index;
    GitTree scan;
};
// The HEAD tree, the index and a scan, or the status of the first failure (its message written).
Result<WorktreeState, std::int32_t> git_load_worktree_state(Syscalls& sys, std::string_view root, Bytes& err);
// The paths changed locally (in the index or the work tree) whose HEAD entry differs from `target`.
std::vector<std::string> git_tree_changed_paths(const WorktreeState& state, const GitTree& target);
// Refuses (1, after its message) when paths of `target` exist in the scan untracked.
std::int32_t git_refuse_untracked_overwrite(const WorktreeState& state, const GitTree& target,
                                            std::string_view operation, std::string_view action, Bytes& err);
// Switches the work tree and the index from HEAD to the target commit's tree, carrying local
// changes along; 0, or the status after the refusal or failure message. HEAD is not moved.
std::int32_t git_checkout_branch(Syscalls& sys, std::string_view root, std::string_view target, Bytes& err);
// Switches to an existing branch without announcing it; 0 when already on it.
std::int32_t git_checkout_existing_branch(Syscalls& sys, std::string_view root, const std::string& name, Bytes& err);

// ---- refs ----

// Every branch and then every tag with a readable ref file: (refs/heads/NAME or refs/tags/NAME, id).
std::vector<std::pair<std::string, std::string>> git_ref_listing(Syscalls& sys, std::string_view root);
// The format with the atoms of one ref expanded, or nothing for an unknown or unclosed atom.
std::optional<std::string> git_for_each_ref_format(std::string_view format, std::string_view ref,
                                                   std::string_view id);
// A branch or tag name pattern: a glob in which `*` also matches "/", else the name itself.
bool git_ref_pattern_matches(std::string_view pattern, std::string_view name);
std::optional<std::string> git_delete_ref(Syscalls& sys, std::string_view root, std::string_view ref);

// ---- handlers ----

std::int32_t git_cmd_branch(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_switch(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_checkout(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_restore(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_reset(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_rm(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_mv(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_clean(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_ls_files(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_ls_tree(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_cat_file(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_tag(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_config(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_remote(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_symbolic_ref(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_show_ref(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_for_each_ref(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_rev_list(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_reflog(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_merge_base(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_check_ignore(GitRun& run, std::span<const std::string> args);

}  // namespace tw
