// git diff: the index, the work tree and commit trees compared, and --no-index for two files.
#include <fmt/format.h>

#include "commands/git/history.h"
#include "commands/git/history_commands.h"
#include "commands/git/op_state.h"
#include "commands/git/tree_diff.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"

namespace tw {

namespace {

enum class OptionResult : std::uint8_t { Handled, Refused };

OptionResult git_parse_diff_options(GitDiffOptions& options, GitArgs& cursor, const GitArgItem& item) {
    const std::string& o = item.text;
    if (o == "--name-only") options.format = DiffFormat::NameOnly;
    else if (o == "--name-status") options.format = DiffFormat::NameStatus;
    else if (o == "--stat") options.format = DiffFormat::Stat;
    else if (o == "--numstat") options.format = DiffFormat::Numstat;
    else if (o == "--shortstat") options.format = DiffFormat::Shortstat;
    else if (o == "--summary") options.format = DiffFormat::Summary;
    else if (o == "--check") options.format = DiffFormat::Check;
    else if (o == "-p" || o == "-u" || o == "--patch") options.format = DiffFormat::Patch;
    else if (o == "--no-prefix") options.prefix = false;
    else if (o == "-R") options.reverse = true;
    else if (o == "-w" || o == "--ignore-all-space") options.whitespace = WhitespaceMode::All;
    else if (o == "-b" || o == "--ignore-space-change") options.whitespace = WhitespaceMode::Change;
    else if (o == "--diff-filter") {
        auto value = cursor.value(item.value);
        if (!value) return OptionResult::Refused;
        std::string upper = *value;
        for (char& c : upper)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        options.diff_filter = std::move(upper);
    } else if (o == "-U" || o == "--unified") {
        auto value = cursor.value(item.value);
        auto n = value ? parse_decimal_u64(*value) : std::nullopt;
        if (!n) return OptionResult::Refused;
        options.context = static_cast<std::size_t>(std::min<std::uint64_t>(*n, 1u << 30));
    } else if (o == "--no-color" || o == "--color" || o == "--no-ext-diff" || o == "--no-renames" || o == "-M" ||
               o == "--find-renames" || o == "--find-copies-harder") {
    } else {
        return OptionResult::Refused;
    }
    return OptionResult::Handled;
}

std::optional<std::pair<std::string, std::string>> git_split_revision_range(std::string_view text, bool& symmetric) {
    for (std::string_view dots : {std::string_view("..."), std::string_view("..")}) {
        std::size_t at = text.find(dots);
        if (at == std::string_view::npos) continue;
        symmetric = dots.size() == 3;
        return std::make_pair(std::string(text.substr(0, at)), std::string(text.substr(at + dots.size())));
    }
    return std::nullopt;
}

GitTree git_diff_revision_tree(Syscalls& sys, std::string_view root, std::string_view revision) {
    auto id = git_resolve_revision(sys, root, revision);
    if (!id) return {};
    auto tree = git_read_commit_tree(sys, root, *id);
    return tree ? std::move(*tree) : GitTree{};
}

// The work-tree scan restricted to the index's paths: untracked files never take part.
// On failure `status` holds the scan's status (the exhausted status, or 128 after its message).
std::optional<GitTree> git_diff_worktree_tree(Syscalls& sys, std::string_view root, const GitTree& index, Bytes& err,
                                              std::int32_t& status) {
    auto scan = git_scan_worktree(sys, root, err);
    if (!scan) {
        status = scan.error();
        return std::nullopt;
    }
    std::erase_if(*scan, [&](const auto& entry) { return !index.contains(entry.first); });
    return std::move(*scan);
}

bool git_diff_path_differs(Syscalls& sys, std::string_view root, const GitTree& old_tree, const GitTree& new_tree,
                           const GitDiffOptions& options, const std::string& path) {
    if (!git_pathspec_matches_any(options.pathspecs, path)) return false;
    auto o = old_tree.find(path);
    auto n = new_tree.find(path);
    const bool o_has = o != old_tree.end();
    const bool n_has = n != new_tree.end();
    if (o_has == n_has && (!o_has || o->second == n->second)) return false;
    if (options.whitespace == WhitespaceMode::None) return true;
    const bool old_wt = options.new_from_worktree && options.reverse;
    const bool new_wt = options.new_from_worktree && !options.reverse;
    const GitTree& a = options.reverse ? new_tree : old_tree;
    const GitTree& b = options.reverse ? old_tree : new_tree;
    auto ca = diff_fetch_content(sys, root, a, path, old_wt);
    auto cb = diff_fetch_content(sys, root, b, path, new_wt);
    if (!ca || !cb) return true;
    return line_diff_counts(std::string_view(*ca), std::string_view(*cb), options.whitespace) !=
           std::pair<std::uint64_t, std::uint64_t>{0, 0};
}

// The index with every unmerged path shown as our side of the merge (absent when we have none);
// the paths are recorded as unmerged.
GitTree index_with_ours_stages(Syscalls& sys, std::string_view root, const GitTree& index,
                               std::set<std::string>& unmerged) {
    GitTree adjusted = index;
    for (const auto& [path, ids] : git_read_merge_stages(sys, root)) {
        unmerged.insert(path);
        if (!ids.ours) {
            adjusted.erase(path);
            continue;
        }
        TreeEntry& entry = adjusted[path];
        entry.id = *ids.ours;
    }
    return adjusted;
}

std::int32_t git_diff_run(Syscalls& sys, std::string_view root, const GitTree& old_tree, const GitTree& new_tree,
                          const GitDiffOptions& options, bool exit_code, Bytes& out) {
    bool differs = false;
    for (const auto& [path, entry] : old_tree)
        if (git_diff_path_differs(sys, root, old_tree, new_tree, options, path)) {
            differs = true;
            break;
        }
    if (!differs)
        for (const auto& [path, entry] : new_tree)
            if (git_diff_path_differs(sys, root, old_tree, new_tree, options, path)) {
                differs = true;
                break;
            }
    if (options.quiet) return differs ? 1 : 0;
    if (git_compare_trees(sys, root, old_tree, new_tree, options, out)) return 2;
    return exit_code && differs ? 1 : 0;
}

std::int32_t diff_no_index(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    GitDiffOptions options;
    GitArgs cursor(args);
    cursor.with_value_flags("UM");
    std::vector<std::string> paths;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            paths.push_back(item.text);
        } else if (item.text != "--no-index" &&
                   git_parse_diff_options(options, cursor, item) == OptionResult::Refused) {
            git_report_error(err, fmt::format("unsupported diff option: {}", item.text));
            return 129;
        }
    }
    if (paths.size() != 2) {
        git_report_error(err, "usage: git diff --no-index PATH PATH");
        return 129;
    }
    const std::string cwd = sys.getcwd();
    auto read = [&](const std::string& p) -> std::optional<Bytes> {
        auto bytes = sys.read_file("/", path_join_normalize(cwd, p), sys.limits().memory);
        if (!bytes) return std::nullopt;
        return std::move(*bytes);
    };
    auto a = read(paths[0]);
    auto b = read(paths[1]);
    if (!a || !b) {
        err += fmt::format("fatal: cannot read '{}' or '{}': No such file or directory\n", paths[0], paths[1]);
        return 128;
    }
    if (*a == *b) return 0;
    (void)sys.charge_cpu(a->size() + b->size());
    std::string text = git_write_unified_diff(paths[0], a, b, "100644", "100644", options.context, options.prefix,
                                              options.whitespace);
    auto replace_first = [&](const std::string& from, const std::string& to) {
        if (std::size_t at = text.find(from); at != std::string::npos) text.replace(at, from.size(), to);
    };
    replace_first(fmt::format("diff --git a/{} b/{}", paths[0], paths[0]),
                  fmt::format("diff --git a/{} b/{}", paths[0], paths[1]));
    replace_first(fmt::format("+++ b/{}", paths[0]), fmt::format("+++ b/{}", paths[1]));
    if (text.empty()) return 0;
    run.io.out += text;
    return 1;
}

}  // namespace

std::int32_t git_cmd_diff(GitRun& run, std::span<const std::string> args) {
    if (std::find(args.begin(), args.end(), "--no-index") != args.end()) return diff_no_index(run, args);
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    auto found = git_worktree_or_report(run);
    if (!found) return 128;
    const std::string root = *found;
    const std::string cwd = sys.getcwd();
    GitDiffOptions options;
    bool cached = false;
    bool exit_code = false;
    std::vector<std::string> revisions;
    bool range_given = false;
    // Everything after the first "--" is a path; the cursor reads what comes before it.
    auto dash = std::find(args.begin(), args.end(), "--");
    GitArgs cursor(std::span<const std::string>(args.begin(), dash));
    cursor.with_value_flags("UM");
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Option) {
            const std::string& o = item.text;
            if (o == "-z") options.nul_terminated = true;
            else if (o == "--cached" || o == "--staged") cached = true;
            else if (o == "--quiet") options.quiet = true;
            else if (o == "--exit-code") exit_code = true;
            else if (git_parse_diff_options(options, cursor, item) == OptionResult::Refused) {
                git_report_error(err, fmt::format("unsupported diff option: {}", o));
                return 129;
            }
            continue;
        }
        const std::string& text = item.text;
        bool symmetric = false;
        auto is_range = [&] {
            auto r = git_split_revision_range(text, symmetric);
            return r && git_resolve_revision(sys, root, r->first.empty() ? "HEAD" : r->first) &&
                   git_resolve_revision(sys, root, r->second.empty() ? "HEAD" : r->second);
        };
        if (revisions.size() < 2 && git_resolve_revision(sys, root, text)) {
            revisions.push_back(text);
        } else if (revisions.empty() && is_range()) {
            revisions.push_back(text);
            range_given = true;
        } else if (git_arg_is_worktree_path(sys, root, text)) {
            options.pathspecs.push_back(git_user_path_to_repo_path(cwd, root, text));
        } else {
            git_report_ambiguous_argument(err, text);
            return 128;
        }
    }
    if (dash != args.end())
        for (auto it = dash + 1; it != args.end(); ++it)
            options.pathspecs.push_back(git_user_path_to_repo_path(cwd, root, *it));
    if (options.nul_terminated &&
        (options.format == DiffFormat::Stat || options.format == DiffFormat::Numstat ||
         options.format == DiffFormat::Shortstat || options.format == DiffFormat::Summary ||
         options.format == DiffFormat::Check)) {
        git_report_error(err, "-z is supported with --name-only, --name-status, or patch output");
        return 129;
    }
    GitTree index = git_read_index(sys, root).value_or(GitTree{});
    GitTree old_tree;
    GitTree new_tree;
    if (range_given) {
        bool symmetric = false;
        auto sides = git_split_revision_range(revisions.front(), symmetric);
        auto a = git_resolve_revision(sys, root, sides->first.empty() ? "HEAD" : sides->first);
        auto b = git_resolve_revision(sys, root, sides->second.empty() ? "HEAD" : sides->second);
        if (!a || !b) {
            git_report_fatal(err, "unknown revision range");
            return 128;
        }
        if (symmetric) {
            auto base = git_merge_base(sys, root, *a, *b);
            if (!base) {
                git_report_fatal(err, "the revisions have no common ancestor");
                return 128;
            }
            a = base;
        }
        old_tree = git_read_commit_tree(sys, root, *a).value_or(GitTree{});
        new_tree = git_read_commit_tree(sys, root, *b).value_or(GitTree{});
    } else if (revisions.size() == 2) {
        old_tree = git_diff_revision_tree(sys, root, revisions[0]);
        new_tree = git_diff_revision_tree(sys, root, revisions[1]);
    } else {
        if (!revisions.empty()) old_tree = git_diff_revision_tree(sys, root, revisions[0]);
        else if (cached) old_tree = git_head_tree(sys, root);
        else old_tree = index_with_ours_stages(sys, root, index, options.unmerged_paths);
        if (cached) {
            new_tree = index;
        } else {
            std::int32_t scan_failure = 0;
            auto scan = git_diff_worktree_tree(sys, root, index, err, scan_failure);
            if (!scan) return scan_failure;
            new_tree = std::move(*scan);
            options.new_from_worktree = true;
        }
    }
    return git_diff_run(sys, root, old_tree, new_tree, options, exit_code, run.io.out);
}

}  // namespace tw
