// Translating the recent history of a host git repository into a machine's own repository store:
// the newest commits reachable from the host's HEAD with their trees and blobs, the branch or
// detached HEAD, the index and a minimal configuration. The host repository is only read, through
// the host's git (module/host_git.h); the machine's store is written through its filesystem.
// Repositories that cannot be translated faithfully are refused with the reason, and every growth
// is bounded by a limit that the messages name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace tw {

struct Machine;

inline constexpr std::size_t kGitImportCommits = 512;
inline constexpr std::size_t kGitImportParents = 64;
inline constexpr std::size_t kGitImportTreeDepth = 64;
inline constexpr std::uint64_t kGitImportTreeEntries = 1000000;
inline constexpr std::size_t kGitImportPathBytes = 4096;

struct GitImportSummary {
    std::string host_head;
    std::string machine_head;
    std::size_t commits = 0;
    std::size_t blobs = 0;
    std::uint64_t tree_entries = 0;
    bool truncated = false;
};

// Imports the history of the host work tree at `host_root` into the repository whose work tree is
// the machine directory `destination` (absolute, normalised; its store is `.git` below it).
Result<GitImportSummary, std::string> git_import_host_history(Machine& machine, std::string_view host_root,
                                                              std::string_view destination);

namespace git_import {

// The ids of a revision walk's output lines, in order; the first invalid line fails.
Result<std::vector<std::string>, std::string> revision_walk(std::string_view output);

// The machine ids of a commit's parents: a selected parent maps to its machine id (it must have
// been imported already), a parent outside the selection is dropped.
Result<std::vector<std::string>, std::string> check_parent_order(const std::vector<std::string>& parents,
                                                                 const std::vector<std::string>& sorted_selection,
                                                                 const std::map<std::string, std::string>& imported,
                                                                 std::string_view commit);

}  // namespace git_import

}  // namespace tw
