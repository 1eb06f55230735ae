// The repository store of the machine's git: object ids, the text formats of trees and commits,
// HEAD, refs and the reflog, the index, work-tree scans, pathspecs, ignore rules and the
// configuration. Every file is read and written whole through the system-call interface, always
// with absolute paths.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "base/result.h"
#include "kernel/vfs_tree.h"

namespace tw {

class SyscallContext;
using Syscalls = SyscallContext;

// ---- object ids and store files ----

std::string git_sha1_hex(std::string_view bytes);
std::string git_blob_id(std::string_view content);
std::string git_abbrev_id(std::string_view id);
inline const std::string kGitZeroId(40, '0');

std::string path_join(std::string_view dir, std::string_view name);
std::string git_path(std::string_view root, std::string_view name);
// The whole file (at most the memory limit), or nothing on any failure.
std::optional<Bytes> git_read_file(Syscalls& sys, std::string_view path);
// Nothing on success, else the error's display text.
std::optional<std::string> git_write_file(Syscalls& sys, std::string_view path, Bytes bytes);

struct TreeEntry {
    std::string id;
    bool executable = false;
    bool symlink = false;
    bool operator==(const TreeEntry&) const = default;
};
using GitTree = std::map<std::string, TreeEntry>;

std::string git_entry_mode(const TreeEntry& entry);
std::string git_format_tree(const GitTree& tree);
std::optional<GitTree> git_parse_tree(std::string_view bytes);
std::string git_tree_object_id(const GitTree& tree);

struct GitCommit {
    std::vector<std::string> parents;
    std::string author_name;
    std::string author_email;
    std::int64_t time = 0;
    std::string message;
};
using NewCommit = GitCommit;

std::optional<GitCommit> git_parse_commit(std::string_view bytes);
std::optional<GitCommit> git_read_commit(Syscalls& sys, std::string_view root, std::string_view id);
std::optional<GitTree> git_read_commit_tree(Syscalls& sys, std::string_view root, std::string_view id);
std::optional<Bytes> git_read_object(Syscalls& sys, std::string_view root, std::string_view id);
// The id, or the error text of the first failed write.
Result<std::string, std::string> git_create_commit(Syscalls& sys, std::string_view root, const NewCommit& commit,
                                                   const GitTree& tree);
Result<std::string, std::string> git_write_blob(Syscalls& sys, std::string_view root, std::string_view content);
std::string git_commit_subject(std::string_view message);
bool git_content_is_binary(std::string_view bytes);

// ---- HEAD, refs, reflog, revisions ----

struct ReflogEntry {
    std::string old_id;
    std::string new_id;
    std::string message;
};

std::optional<std::string> git_find_worktree(Syscalls& sys);
std::optional<std::string> git_read_ref_file(Syscalls& sys, std::string_view root, std::string_view name);
std::optional<std::string> git_read_head(Syscalls& sys, std::string_view root);
std::optional<std::string> git_head_symref(Syscalls& sys, std::string_view root);
std::optional<std::string> git_current_branch(Syscalls& sys, std::string_view root);
std::optional<std::string> git_resolve_head(Syscalls& sys, std::string_view root);
GitTree git_head_tree(Syscalls& sys, std::string_view root);
std::optional<std::string> git_write_ref(Syscalls& sys, std::string_view root, std::string_view name,
                                         std::string_view id);
std::optional<std::string> git_update_head(Syscalls& sys, std::string_view root, std::string_view id,
                                           std::string_view message);
void git_reflog_append(Syscalls& sys, std::string_view root, const std::optional<std::string>& old_id,
                       std::string_view new_id, std::string_view message);
std::vector<ReflogEntry> git_reflog_parse(std::string_view text);
// Newest first.
std::vector<ReflogEntry> git_reflog_read(Syscalls& sys, std::string_view root);
std::vector<std::string> git_list_refs(Syscalls& sys, std::string_view root, std::string_view kind);
std::optional<std::string> git_resolve_revision(Syscalls& sys, std::string_view root, std::string_view spec);

// ---- work-tree paths, index, scan ----

bool path_is_within(std::string_view root, std::string_view path);
std::optional<std::string> git_repo_relative_path(std::string_view root, std::string_view path);
bool git_path_is_in_git_dir(std::string_view root, std::string_view path);
std::string git_user_path_to_repo_path(std::string_view cwd, std::string_view root, std::string_view text);
std::optional<Bytes> git_read_regular_file(Syscalls& sys, std::string_view path);

// The index, or nothing when the file exists and is malformed (an unreadable file is empty).
std::optional<GitTree> git_read_index(Syscalls& sys, std::string_view root);
// The index, or the status 128 after "fatal: index file corrupt".
Result<GitTree, std::int32_t> git_read_index_or_fatal(Syscalls& sys, std::string_view root, Bytes& err);
std::optional<std::string> git_write_index(Syscalls& sys, std::string_view root, const GitTree& tree);
std::optional<std::pair<GitTree, std::string>> git_resolve_blob_spec(Syscalls& sys, std::string_view root,
                                                                     std::string_view spec);

// The work tree as blob ids. Fails with 137 (refused budget, too many files, no message) or with
// 128 after "fatal: unable to read '{}': {}" for a file that exists but cannot be read.
Result<GitTree, std::int32_t> git_scan_worktree(Syscalls& sys, std::string_view root, Bytes& err);

// ---- pathspecs and ignore rules ----

bool git_glob_match(std::string_view pattern, std::string_view text);
bool git_pathspec_match(std::string_view spec, std::string_view path);
bool git_pathspec_matches_any(const std::vector<std::string>& specs, std::string_view path);

struct IgnoreRule {
    std::string base;
    std::string pattern;
    std::string source;
    std::string text;
    std::uint32_t line = 0;
    bool negated = false;
    bool directory_only = false;
    bool has_slash = false;
};
void git_parse_ignore_rules(std::vector<IgnoreRule>& rules, std::string_view base, std::string_view source,
                            std::string_view text);
std::vector<IgnoreRule> git_load_ignore_rules(Syscalls& sys, std::string_view root);
const IgnoreRule* git_ignore_match(const std::vector<IgnoreRule>& rules, std::string_view path);
bool git_is_ignored(const std::vector<IgnoreRule>& rules, std::string_view path);

// ---- path resolution and staging ----

Result<std::vector<std::string>, std::string> git_resolve_pathspecs(std::string_view cwd, std::string_view root,
                                                                    const std::vector<std::string>& operands,
                                                                    const GitTree& a, const GitTree& b);
enum class GitStageMode : std::uint8_t { Quiet, Verbose, DryRun };
std::int32_t git_stage_paths(Syscalls& sys, std::string_view root, GitTree& index, const GitTree& scan,
                             const std::vector<std::string>& paths, GitStageMode mode, Bytes& out, Bytes& err);

// ---- configuration and identity ----

using GitConfig = std::map<std::string, std::vector<std::string>>;
using GitConfigOverrides = std::map<std::string, std::string>;

GitConfig git_config_parse_text(std::string_view text);
GitConfig git_config_parse(Syscalls& sys, std::string_view path);
std::string git_global_config_path(Syscalls& sys);
GitConfig git_load_global_config(Syscalls& sys);
// The repository's `.git/config`; with an empty root, /.git/config.
GitConfig git_load_repo_config(Syscalls& sys, std::string_view root);
// The global file, then the repository's keys, then the command-line pairs, each replacing whole keys.
GitConfig git_load_config(Syscalls& sys, std::string_view root, const GitConfigOverrides& overrides);
std::string git_write_config(const GitConfig& config);
std::optional<std::string> git_config_last(const GitConfig& config, std::string_view key);

struct GitIdentity {
    std::string name;
    std::string email;
};
inline constexpr std::string_view kGitDefaultName = "tarnwick";
inline constexpr std::string_view kGitDefaultEmail = "tarnwick@localhost";
GitIdentity git_author_identity(Syscalls& sys, std::string_view root, const GitConfigOverrides& overrides);
std::optional<std::string> git_env_value(Syscalls& sys, std::string_view name);

// ---- file kinds (symbolic links followed) ----

enum class GitFileKind : std::uint8_t { Missing, Regular, Directory, Other };
GitFileKind fs_file_kind(Syscalls& sys, std::string_view path);
bool fs_is_directory(Syscalls& sys, std::string_view path);
// A regular file; built-in executables are not.
bool fs_is_regular_file(Syscalls& sys, std::string_view path);
bool fs_path_exists(Syscalls& sys, std::string_view path);
// The permission bits of the node itself (links not followed), or 0644 when it cannot be examined.
std::uint32_t git_file_mode_or_default(Syscalls& sys, std::string_view path);

// ---- further store services ----

// The entries below `prefix`, in tree order, each with the rest of its path after the prefix.
std::vector<std::pair<std::string, TreeEntry>> git_subtree_entries(const GitTree& tree, std::string_view prefix);
// From the file names of the commit store, the ids (".commit" removed) that start with `prefix`.
std::vector<std::string> git_commit_ids_with_prefix(const std::vector<std::string>& names, std::string_view prefix);
// The commit's tree, or 128 after "fatal: unable to read tree of commit {}".
Result<GitTree, std::int32_t> git_commit_tree_or_fatal(Syscalls& sys, std::string_view root, std::string_view id,
                                                       Bytes& err);
std::optional<GitCommit> git_read_tag_annotation(Syscalls& sys, std::string_view root, std::string_view name);

// HEAD moves; each gives the write error text on failure (and then writes no reflog entry).
// Switching to an unborn branch writes no reflog entry.
std::optional<std::string> git_switch_head_to_branch(Syscalls& sys, std::string_view root, std::string_view name,
                                                     std::string_view message);
std::optional<std::string> git_detach_head(Syscalls& sys, std::string_view root, std::string_view id,
                                           std::string_view message);
std::vector<std::string> git_list_branches(Syscalls& sys, std::string_view root);
std::optional<std::string> git_read_prev_head(Syscalls& sys, std::string_view root);
// Whether a new branch or tag name is acceptable.
bool git_ref_name_is_valid(std::string_view name);
// Removes a file below `.git`; the error text on failure.
std::optional<std::string> git_remove_git_file(Syscalls& sys, std::string_view root, std::string_view name);

// (remote name, last url) for each remote.NAME.url key, in key order.
std::vector<std::pair<std::string, std::string>> git_remote_urls(const GitConfig& config);
std::optional<std::string> git_first_operand(std::span<const std::string> args);
// `prefix`, the value (as "true"/"false" in boolean mode) and a newline.
void git_config_output_line(std::string_view prefix, std::string_view value, bool boolean, Bytes& out);
std::optional<std::string> git_save_config(Syscalls& sys, std::string_view root, const GitConfig& config);
std::map<std::string, std::string> git_environment(Syscalls& sys);
// The variable when set and not empty, else the key's last configured value, else `fallback`.
std::string git_identity_field(const std::map<std::string, std::string>& environment, const GitConfig& config,
                               std::string_view variable, std::string_view key, std::string_view fallback);

std::optional<Bytes> git_read_worktree_file(Syscalls& sys, std::string_view root, std::string_view path);
// Pending writes for a batch of `SyscallContext::install_files`.
std::pair<std::string, InstallOp> git_prepare_blob_write(std::string_view root, std::string_view content);
InstallOp git_prepare_index_write(std::string_view root, const GitTree& tree);
// After `removed` was deleted, removes its emptied parent directories up to the work-tree root.
void git_prune_empty_dirs(Syscalls& sys, std::string_view root, std::string_view removed);

// N for an argument "-N" (decimal digits that fit 64 bits), else nothing.
std::optional<std::uint64_t> git_parse_dash_count(std::string_view arg);
// Whether an argument names a work-tree path: an existing file of any kind, a path outside the
// work tree, or a path or directory prefix present in the index.
bool git_arg_is_worktree_path(Syscalls& sys, std::string_view root, std::string_view argument);

}  // namespace tw
