// Comparison of two git trees (commit trees, the index or a work-tree scan) and its output: the
// unified patch, name lists, statistics, the summary and the white-space check. Renames are found
// only when a deleted and an added path hold identical entries.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "commands/git/line_diff_engine.h"
#include "commands/git/store.h"

namespace tw {

enum class DiffFormat : std::uint8_t { Patch, NameOnly, NameStatus, Stat, Numstat, Shortstat, Summary, Check };

struct GitDiffOptions {
    std::vector<std::string> pathspecs;
    std::optional<std::string> diff_filter;  // status letters, upper case
    std::size_t context = 3;
    std::set<std::string> unmerged_paths;
    bool nul_terminated = false;
    bool new_from_worktree = false;  // the new tree's contents are the work-tree files
    bool quiet = false;
    bool prefix = true;
    bool reverse = false;
    WhitespaceMode whitespace = WhitespaceMode::None;
    DiffFormat format = DiffFormat::Patch;
};

// Writes the difference from `old_tree` to `new_tree`; true only when the format is Check and a
// problem line was written.
bool git_compare_trees(Syscalls& sys, std::string_view root, const GitTree& old_tree, const GitTree& new_tree,
                       const GitDiffOptions& options, Bytes& out);
// The patch of one file (possibly empty).
std::string git_write_unified_diff(std::string_view path, const std::optional<Bytes>& old_content,
                                   const std::optional<Bytes>& new_content, std::string_view old_mode,
                                   std::string_view new_mode, std::size_t context, bool prefix, WhitespaceMode mode);
// " N files changed, I insertions(+), D deletions(-)\n"
std::string git_diffstat_summary(std::uint64_t files, std::uint64_t insertions, std::uint64_t deletions);
std::uint64_t diff_stat_scale(std::uint64_t max, std::uint64_t width, std::uint64_t value);
std::string diff_mode_string(const GitTree& tree, std::string_view path);
// The content of `path` in `tree`: the blob from the store, or with `from_worktree` the work-tree
// file; nothing when absent or unreadable.
std::optional<Bytes> diff_fetch_content(Syscalls& sys, std::string_view root, const GitTree& tree,
                                        std::string_view path, bool from_worktree);

}  // namespace tw
