// The state files of an operation in progress (merge, cherry-pick, revert, rebase) directly under
// `.git`: what is pending, the unmerged paths, the sequencer and the rebase state.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "commands/git/store.h"

namespace tw {

// The blob ids of an unmerged path: base (stage 1), ours (stage 2), theirs (stage 3).
struct MergeStageIds {
    std::optional<std::string> base;
    std::optional<std::string> ours;
    std::optional<std::string> theirs;
    bool operator==(const MergeStageIds&) const = default;
};
using MergeStages = std::map<std::string, MergeStageIds>;

struct PendingOperation {
    std::string file;  // MERGE_HEAD, CHERRY_PICK_HEAD or REVERT_HEAD
    std::string id;
};

struct SequencerState {
    std::optional<std::uint64_t> mainline;
    std::string orig;
    std::vector<std::string> remaining;
    bool revert = false;
    bool no_commit = false;
};

struct RebaseState {
    std::string branch;
    std::string orig;
    std::string onto;
    std::vector<std::string> remaining;
};

// A one-line state file, trimmed; nothing when missing or empty.
std::optional<std::string> git_read_state_file(Syscalls& sys, std::string_view root, std::string_view name);
void git_save_orig_head(Syscalls& sys, std::string_view root);
// MERGE_HEAD, then CHERRY_PICK_HEAD, then REVERT_HEAD.
std::optional<PendingOperation> git_pending_operation(Syscalls& sys, std::string_view root);

MergeStages git_parse_merge_stages(std::string_view text);
std::string git_format_merge_stages(const MergeStages& stages);
MergeStages git_read_merge_stages(Syscalls& sys, std::string_view root);
// Writes the stages, or removes the file when there are none; false when the write failed.
bool git_write_merge_stages(Syscalls& sys, std::string_view root, const MergeStages& stages);
// DD, DU, UD, AA or UU.
std::string git_unmerged_status_code(const MergeStageIds& ids);

std::optional<SequencerState> git_read_sequencer(Syscalls& sys, std::string_view root);
void git_clear_sequencer(Syscalls& sys, std::string_view root);
// Writes the state; a failed write is ignored.
void git_write_sequencer(Syscalls& sys, std::string_view root, const SequencerState& state);
std::optional<RebaseState> git_read_rebase_state(Syscalls& sys, std::string_view root);
bool git_write_rebase_state(Syscalls& sys, std::string_view root, const RebaseState& state);
void git_clear_rebase_state(Syscalls& sys, std::string_view root);
// Removes MERGE_HEAD, CHERRY_PICK_HEAD, REVERT_HEAD, MERGE_STAGES and MERGE_MSG.
void git_clear_merge_state(Syscalls& sys, std::string_view root);

}  // namespace tw
