// History of the machine's git: the ancestry walks over the commit store (ancestor set, merge
// base, first-parent chain), revision ranges and the topological walk behind log and shortlog.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "commands/git/store.h"

namespace tw {

// Every history walk stops after this many commits, without a message.
inline constexpr std::size_t kGitWalkLimit = 10000;

struct CommitRecord {
    std::string id;
    GitCommit commit;
};

// The ids reachable from `start` (itself included) in discovery order, at most kGitWalkLimit.
// Unreadable commits stay in the set but add no parents.
std::vector<std::string> git_ancestors(Syscalls& sys, std::string_view root, std::string_view start);
// The first commit reachable from `b` (depth first, parents in order) that is an ancestor of `a`.
std::optional<std::string> git_merge_base(Syscalls& sys, std::string_view root, std::string_view a,
                                          std::string_view b);
// The first-parent chain from `start`, newest first, at most kGitWalkLimit records; it ends at a
// root, a repeated id or an unreadable commit.
std::vector<CommitRecord> git_collect_commits(Syscalls& sys, std::string_view root, std::string_view start);

struct RevisionRange {
    std::vector<std::string> include;
    std::set<std::string> exclude;
};

// One revision argument: REV, ^REV, A..B or A...B. Nothing when a side does not resolve or A...B
// has no merge base.
std::optional<RevisionRange> git_parse_revision_range(Syscalls& sys, std::string_view root, std::string_view text);
// Newest first, never a commit before one that lists it as a parent; equal times keep the order
// of discovery (breadth first from the starts). Unreadable commits are left out.
std::vector<CommitRecord> git_topo_walk(Syscalls& sys, std::string_view root, const std::vector<std::string>& starts);
// The commits of all the arguments, or nothing when one of them does not parse.
std::optional<std::vector<CommitRecord>> git_walk_commits(Syscalls& sys, std::string_view root,
                                                          const std::vector<std::string>& args, bool first_parent);
// The target of every branch, then of every tag.
std::vector<std::string> git_all_ref_targets(Syscalls& sys, std::string_view root);

}  // namespace tw
