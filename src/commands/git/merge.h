// The merge engine of the machine's git: three trees merged path by path (exact renames followed,
// text merged line by line with conflict markers), and what every merging command does around it:
// the work-tree state, the refusals, and recording a conflicted result.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"
#include "commands/git/git_command.h"
#include "commands/git/op_state.h"
#include "commands/git/store.h"
#include "commands/git/work_commands.h"

namespace tw {

struct MergeRegion {
    std::size_t base_start = 0;
    std::size_t base_end = 0;
    std::vector<std::string> lines;
};

struct MergedTrees {
    GitTree tree;
    MergeStages stages;  // empty when the merge is clean
};
struct MergeFailure {
    std::string path;
    std::string error;
};

Result<MergedTrees, MergeFailure> git_merge_trees(Syscalls& sys, std::string_view root, const GitTree& base,
                                                  const GitTree& ours, const GitTree& theirs,
                                                  std::string_view ours_label, std::string_view theirs_label);
// Exact renames (same blob) from `older` to `newer`, as (old path, new path).
std::vector<std::pair<std::string, std::string>> git_merge_find_renames(const GitTree& older, const GitTree& newer);
std::vector<MergeRegion> git_merge_change_regions(std::span<const std::string_view> base,
                                                  std::span<const std::string_view> side);
// The three-way text merge; the bool is true when a conflict was marked.
std::pair<std::string, bool> git_merge_text(std::string_view base, std::string_view ours, std::string_view theirs,
                                            std::string_view ours_label, std::string_view theirs_label);

struct ConflictRecord {
    std::string state_file;  // MERGE_HEAD, CHERRY_PICK_HEAD or REVERT_HEAD
    std::string id;
    std::string message;
    std::string theirs_label;
    std::string closing;
};
// 1 when everything was recorded, 128 otherwise.
std::int32_t git_record_conflicts(Syscalls& sys, std::string_view root, const ConflictRecord& record,
                                  const MergeStages& stages, Bytes& err);

// Paths whose index entry differs from HEAD's.
std::vector<std::string> git_staged_paths(const WorktreeState& state);
// Paths changed in the index against HEAD or in the work tree against the index (untracked files
// are not changes), in path order.
std::vector<std::string> git_local_change_paths(const WorktreeState& state);
Result<GitTree, std::int32_t> git_tree_of_optional_commit(Syscalls& sys, std::string_view root,
                                                          const std::optional<std::string>& id, Bytes& err);
// The time of a new commit: GIT_AUTHOR_DATE when set and readable, else now.
std::int64_t git_new_commit_time(Syscalls& sys);

std::int32_t git_cmd_merge(GitRun& run, std::span<const std::string> args);
std::int32_t git_continue_operation(GitRun& run, std::string_view root, std::string_view name);
std::int32_t git_abort_operation(GitRun& run, std::string_view root, std::string_view name);

}  // namespace tw

namespace tw {

// Brings the work tree and the index from `head` to `result`: only paths whose entry differs are
// written or removed (other local changes stay), and the index takes `result`'s entries for them.
// 0; 1 after "git {name}: {error}"; 128 after a failed index write.
std::int32_t git_install_tree(Syscalls& sys, std::string_view root, const GitTree& head, const GitTree& index,
                              const GitTree& result, std::string_view name, Bytes& err);
// Rewrites every file of `target` and removes the other files of the index and HEAD, then makes
// `target` the index. 0; 1 after "git {name}: {error}"; 128 after a fatal report.
std::int32_t git_force_tree(Syscalls& sys, std::string_view root, const GitTree& target, std::string_view name,
                            Bytes& err);
// The Stat then Summary comparison of two trees, as after a merge.
void git_write_merge_stat(Syscalls& sys, std::string_view root, const GitTree& from, const GitTree& to, Bytes& out);
// The Shortstat then Summary comparison of two trees, as after a new commit; nothing when equal.
void git_write_commit_change_summary(Syscalls& sys, std::string_view root, const GitTree& from, const GitTree& to,
                                     Bytes& out);

}  // namespace tw

namespace tw {

std::int32_t git_cmd_cherry_pick(GitRun& run, std::span<const std::string> args);
std::int32_t git_cmd_revert(GitRun& run, std::span<const std::string> args);

}  // namespace tw
