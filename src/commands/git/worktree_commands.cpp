// git add, git commit and git status.
#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <set>

#include "base/utf8.h"
#include "commands/git/git_command.h"
#include "commands/git/merge.h"
#include "commands/git/op_state.h"
#include "commands/git/worktree_paths.h"
#include "commands/git/pretty.h"
#include "commands/git/tree_diff.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"

namespace tw {

namespace {

constexpr std::size_t kMaxPathspecs = 256;
constexpr std::size_t kMaxCandidates = 100000;
constexpr std::uint64_t kMaxMessageFile = 1 << 20;

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    return (a != 0 && b > UINT64_MAX / a) ? UINT64_MAX : a * b;
}

std::optional<std::string> find_root(GitRun& run) {
    auto root = git_find_worktree(run.sys);
    if (!root) git_report_not_a_repository(run.io.err);
    return root;
}

std::string_view trim_end(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

}  // namespace

// ---- add ----

std::int32_t git_cmd_add(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    GitArgs cursor(args);
    cursor.expand_short_flags("Auvnf");
    bool all = false, update = false, dry_run = false, verbose = false, force = false;
    std::vector<std::string> specs;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            specs.push_back(item.text);
            continue;
        }
        const std::string& o = item.text;
        if (o == "-A" || o == "--all" || o == "--no-ignore-removal") all = true;
        else if (o == "-u" || o == "--update") update = true;
        else if (o == "-n" || o == "--dry-run") dry_run = true;
        else if (o == "-v" || o == "--verbose") verbose = true;
        else if (o == "-f" || o == "--force") force = true;
        else {
            git_report_error(err, fmt::format("unsupported add option: {}", o));
            return 129;
        }
    }
    if (!all && !update && specs.empty()) {
        err += "Nothing specified, nothing added.\nhint: Maybe you wanted to say 'git add .'?\n";
        return 0;
    }
    if (specs.size() > kMaxPathspecs) {
        git_report_fatal(err, "too many pathspecs");
        return 128;
    }
    auto root = find_root(run);
    if (!root) return 128;
    auto index = git_read_index_or_fatal(sys, *root, err);
    if (!index) return index.error();
    auto scan = git_scan_worktree(sys, *root, err);
    if (!scan) return scan.error();
    std::string cwd = sys.getcwd();
    std::set<std::string> candidates;
    if (specs.empty()) {
        for (const auto& [p, e] : *index) candidates.insert(p);
        for (const auto& [p, e] : *scan) candidates.insert(p);
    } else {
        if (!sys.charge_cpu(saturating_mul(index->size() + scan->size(), specs.size()))) return sys.exhausted_status();
        auto resolved = git_resolve_pathspecs(cwd, *root, specs, *index, *scan);
        if (!resolved) {
            git_report_fatal(err, resolved.error());
            return 128;
        }
        candidates.insert(resolved->begin(), resolved->end());
    }
    if (update) std::erase_if(candidates, [&](const std::string& p) { return !index->contains(p); });
    if (!force) {
        auto rules = git_load_ignore_rules(sys, *root);
        std::vector<std::string> refused = git_ignored_operands(specs, cwd, *root, *scan, *index, rules);
        if (!refused.empty()) {
            err += "The following paths are ignored by one of your .gitignore files:\n";
            for (const std::string& p : refused) err += p + "\n";
            err += "hint: Use -f if you really want to add them.\nfatal: no files added\n";
            return 1;
        }
        std::erase_if(candidates,
                      [&](const std::string& p) { return !index->contains(p) && git_is_ignored(rules, p); });
    }
    std::uint64_t memory = saturating_mul(candidates.size(), 64);
    if (candidates.size() > kMaxCandidates || !sys.charge_memory(memory)) return sys.exhausted_status();
    GitStageMode mode = dry_run ? GitStageMode::DryRun : verbose ? GitStageMode::Verbose : GitStageMode::Quiet;
    std::vector<std::string> staged(candidates.begin(), candidates.end());
    std::int32_t status = git_stage_paths(sys, *root, *index, *scan, staged, mode, run.io.out, err);
    sys.release_memory(memory);
    if (status == 0 && !dry_run) git_clear_merge_stages_for(sys, *root, staged);
    return status;
}

// ---- status ----

namespace {

enum class Change : std::uint8_t { Unchanged, Added, Modified, Deleted, Renamed };

char change_letter(Change c, char unchanged) {
    switch (c) {
    case Change::Added: return 'A';
    case Change::Modified: return 'M';
    case Change::Deleted: return 'D';
    case Change::Renamed: return 'R';
    default: return unchanged;
    }
}

struct StatusEntry {
    std::string path;
    std::optional<std::string> origin;
    Change x = Change::Unchanged;
    Change y = Change::Unchanged;
};

const TreeEntry* lookup(const GitTree& tree, const std::string& path) {
    auto it = tree.find(path);
    return it == tree.end() ? nullptr : &it->second;
}

GitChangeKind change_kind(Change c) {
    switch (c) {
    case Change::Added: return GitChangeKind::NewFile;
    case Change::Deleted: return GitChangeKind::Deleted;
    case Change::Renamed: return GitChangeKind::Renamed;
    default: return GitChangeKind::Modified;
    }
}

std::string_view unmerged_label(std::string_view code) {
    if (code == "AA") return "both added";
    if (code == "UD") return "deleted by them";
    if (code == "DU") return "deleted by us";
    if (code == "DD") return "both deleted";
    return "both modified";
}

std::string mode_or_zero(const TreeEntry* e) { return e ? git_entry_mode(*e) : std::string("000000"); }

}  // namespace

std::int32_t git_cmd_status(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& out = run.io.out;
    Bytes& err = run.io.err;
    enum class Form : std::uint8_t { Long, Short, V2 };
    Form form = Form::Long;
    bool v2 = false, branch_header = false, nul = false, ignored = false;
    std::string untracked_mode = "normal";
    std::vector<std::string> paths;
    GitArgs cursor(args);
    cursor.expand_short_flags("sbz");
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            paths.push_back(item.text);
            continue;
        }
        const std::string& o = item.text;
        if (o == "-s" || o == "--short") form = Form::Short;
        else if (o == "--porcelain") {
            std::string v = item.value.value_or("v1");
            if (v == "v1" || v == "1") form = Form::Short;
            else if (v == "v2" || v == "2") v2 = true;
            else {
                git_report_error(err, fmt::format("unsupported porcelain format: {}", v));
                return 129;
            }
        } else if (o == "--long") form = Form::Long;
        else if (o == "-b" || o == "--branch") branch_header = true;
        else if (o == "-z") {
            nul = true;
            form = Form::Short;
        } else if (o.starts_with("-u") && !o.starts_with("--")) {
            untracked_mode = o.size() > 2 ? o.substr(2) : "normal";
        } else if (o == "--untracked-files") {
            untracked_mode = item.value.value_or("normal");
        } else if (o == "--ignored") ignored = true;
        else if (o == "--no-column" || o == "--no-renames" || o == "--no-color" || o == "--ahead-behind") {
        } else {
            git_report_error(err, fmt::format("unsupported status option: {}", o));
            return 129;
        }
        if (untracked_mode != "normal" && untracked_mode != "all" && untracked_mode != "no") {
            git_report_error(err, fmt::format("unsupported untracked-files mode: {}", untracked_mode));
            return 129;
        }
    }
    if (v2) form = Form::V2;
    auto root = find_root(run);
    if (!root) return 128;
    std::string cwd = sys.getcwd();
    std::vector<std::string> specs;
    for (const std::string& p : paths) specs.push_back(git_user_path_to_repo_path(cwd, *root, p));
    GitTree head = git_head_tree(sys, *root);
    auto index = git_read_index_or_fatal(sys, *root, err);
    if (!index) return index.error();
    auto scan = git_scan_worktree(sys, *root, err);
    if (!scan) return scan.error();
    auto rules = git_load_ignore_rules(sys, *root);

    std::set<std::string> all_paths;
    for (const GitTree* t : {&head, &*index, &*scan})
        for (const auto& [p, e] : *t) all_paths.insert(p);
    std::vector<StatusEntry> entries;
    for (const std::string& p : all_paths) {
        const TreeEntry* h = lookup(head, p);
        const TreeEntry* i = lookup(*index, p);
        const TreeEntry* w = lookup(*scan, p);
        StatusEntry e{p};
        if (!h && !i) continue;
        if (!h) {
            e.x = Change::Added;
            e.y = !w ? Change::Deleted : (*i == *w ? Change::Unchanged : Change::Modified);
        } else if (!i) {
            e.x = Change::Deleted;
        } else {
            e.x = *h == *i ? Change::Unchanged : Change::Modified;
            e.y = !w ? Change::Deleted : (*i == *w ? Change::Unchanged : Change::Modified);
        }
        if (e.x != Change::Unchanged || e.y != Change::Unchanged) entries.push_back(std::move(e));
    }
    // Exact renames: a deletion whose HEAD entry equals a new index entry.
    for (std::size_t d = 0; d < entries.size(); ++d) {
        if (entries[d].x != Change::Deleted) continue;
        const TreeEntry* h = lookup(head, entries[d].path);
        for (StatusEntry& a : entries) {
            if (a.x == Change::Added && !a.origin && *lookup(*index, a.path) == *h) {
                a.x = Change::Renamed;
                a.origin = entries[d].path;
                entries[d].path.clear();
                break;
            }
        }
    }
    MergeStages stages = git_read_merge_stages(sys, *root);
    std::erase_if(entries, [&](const StatusEntry& e) {
        return e.path.empty() || stages.contains(e.path) ||
               !(git_pathspec_matches_any(specs, e.path) || (e.origin && git_pathspec_matches_any(specs, *e.origin)));
    });
    std::vector<std::string> untracked, ignored_list;
    if (untracked_mode != "no" || ignored) {
        for (const auto& [p, e] : *scan) {
            if (index->contains(p) || !git_pathspec_matches_any(specs, p)) continue;
            (git_is_ignored(rules, p) ? ignored_list : untracked).push_back(p);
        }
    }
    if (untracked_mode == "no") untracked.clear();
    if (untracked_mode != "all") {
        untracked = git_fold_untracked(untracked, *index);
        ignored_list = git_fold_untracked(ignored_list, *index);
    }
    if (!ignored) ignored_list.clear();
    std::string prefix = git_repo_relative_path(*root, cwd).value_or("");
    if (!prefix.empty()) prefix += "/";
    auto display = [&](const std::string& p) { return git_display_path(prefix, p); };
    auto shown = [&](const StatusEntry& e) { return git_display_rename(prefix, e.origin, e.path); };
    auto branch = git_current_branch(sys, *root);
    auto head_id = git_resolve_head(sys, *root);
    if (form == Form::V2) {
        if (branch_header)
            out += fmt::format("# branch.oid {}\n# branch.head {}\n", head_id.value_or("(initial)"),
                               branch.value_or("(detached)"));
        for (const StatusEntry& e : entries) {
            const TreeEntry* h = lookup(head, e.origin ? *e.origin : e.path);
            const TreeEntry* i = lookup(*index, e.path);
            const TreeEntry* w = i ? lookup(*scan, e.path) : nullptr;
            out += fmt::format("1 {}{} N... {} {} {} {} {} {}\n", change_letter(e.x, '.'), change_letter(e.y, '.'),
                               mode_or_zero(h), mode_or_zero(i), mode_or_zero(w), h ? h->id : kGitZeroId,
                               i ? i->id : kGitZeroId, shown(e));
        }
        auto stage_mode = [](const std::optional<std::string>& id) { return id ? "100644" : "000000"; };
        for (const auto& [path, ids] : stages)
            out += fmt::format("u {} N... {} {} {} 100644 {} {} {} {}\n", git_unmerged_status_code(ids),
                               stage_mode(ids.base), stage_mode(ids.ours), stage_mode(ids.theirs),
                               ids.base.value_or(kGitZeroId), ids.ours.value_or(kGitZeroId),
                               ids.theirs.value_or(kGitZeroId), display(path));
        for (const std::string& p : untracked) out += fmt::format("? {}\n", display(p));
        for (const std::string& p : ignored_list) out += fmt::format("! {}\n", display(p));
        return 0;
    }
    if (form == Form::Short) {
        char end = nul ? '\0' : '\n';
        if (branch_header) {
            if (!branch) out += "## HEAD (no branch)";
            else if (!head_id) out += fmt::format("## No commits yet on {}", *branch);
            else out += fmt::format("## {}", *branch);
            out.push_back(end);
        }
        std::vector<std::pair<std::string, std::string>> records;
        for (const auto& [path, ids] : stages)
            records.emplace_back(display(path), fmt::format("{} {}", git_unmerged_status_code(ids), display(path)));
        for (const StatusEntry& e : entries)
            records.emplace_back(shown(e), fmt::format("{}{} {}", change_letter(e.x, ' '), change_letter(e.y, ' '), shown(e)));
        std::stable_sort(records.begin(), records.end(), [](auto& a, auto& b) { return a.first < b.first; });
        for (auto& [key, record] : records) {
            out += record;
            out.push_back(end);
        }
        for (const std::string& p : untracked) {
            out += "?? " + display(p);
            out.push_back(end);
        }
        for (const std::string& p : ignored_list) {
            out += "!! " + display(p);
            out.push_back(end);
        }
        return 0;
    }
    if (branch) out += fmt::format("On branch {}\n", *branch);
    else out += fmt::format("HEAD detached at {}\n", head_id ? git_abbrev_id(*head_id) : std::string("unknown"));
    if (!head_id) out += "\nNo commits yet\n\n";
    const bool unmerged = !stages.empty();
    if (auto rebase = git_read_rebase_state(sys, *root)) {
        out += fmt::format("You are currently rebasing branch '{}' on '{}'.\n{}"
                           "  (use \"git rebase --skip\" to skip this patch)\n"
                           "  (use \"git rebase --abort\" to check out the original branch)\n\n",
                           rebase->branch, git_abbrev_id(rebase->onto), git_continue_hint(unmerged, "rebase"));
    } else if (auto picked = git_read_state_file(sys, *root, "CHERRY_PICK_HEAD")) {
        out += fmt::format("You are currently cherry-picking commit {}.\n{}"
                           "  (use \"git cherry-pick --skip\" to skip this patch)\n"
                           "  (use \"git cherry-pick --abort\" to cancel the cherry-pick operation)\n\n",
                           git_abbrev_id(*picked), git_continue_hint(unmerged, "cherry-pick"));
    } else if (auto reverted = git_read_state_file(sys, *root, "REVERT_HEAD")) {
        out += fmt::format("You are currently reverting commit {}.\n{}"
                           "  (use \"git revert --skip\" to skip this patch)\n"
                           "  (use \"git revert --abort\" to cancel the revert operation)\n\n",
                           git_abbrev_id(*reverted), git_continue_hint(unmerged, "revert"));
    } else if (unmerged) {
        out += "You have unmerged paths.\n  (fix conflicts and run \"git commit\")\n"
               "  (use \"git merge --abort\" to abort the merge)\n\n";
    }
    bool staged = std::any_of(entries.begin(), entries.end(), [](auto& e) { return e.x != Change::Unchanged; });
    bool unstaged = std::any_of(entries.begin(), entries.end(), [](auto& e) { return e.y != Change::Unchanged; });
    if (staged) {
        out += "Changes to be committed:\n";
        out += head_id ? "  (use \"git restore --staged <file>...\" to unstage)\n"
                       : "  (use \"git rm --cached <file>...\" to unstage)\n";
        for (const StatusEntry& e : entries)
            if (e.x != Change::Unchanged) git_write_change_line(change_kind(e.x), shown(e), out);
        out += "\n";
    }
    if (unmerged) {
        out += "Unmerged paths:\n  (use \"git restore --staged <file>...\" to unstage)\n"
               "  (use \"git add <file>...\" to mark resolution)\n";
        for (const auto& [path, ids] : stages)
            out += fmt::format("\t{:<14}   {}\n", fmt::format("{}:", unmerged_label(git_unmerged_status_code(ids))),
                               display(path));
        out += "\n";
    }
    if (unstaged) {
        out += "Changes not staged for commit:\n  (use \"git add <file>...\" to update what will be committed)\n"
               "  (use \"git restore <file>...\" to discard changes in working directory)\n";
        for (const StatusEntry& e : entries)
            if (e.y != Change::Unchanged) git_write_change_line(change_kind(e.y), display(e.path), out);
        out += "\n";
    }
    if (!untracked.empty()) {
        out += "Untracked files:\n  (use \"git add <file>...\" to include in what will be committed)\n";
        for (const std::string& p : untracked) out += fmt::format("\t{}\n", display(p));
        out += "\n";
    }
    if (!ignored_list.empty()) {
        out += "Ignored files:\n  (use \"git add -f <file>...\" to include in what will be committed)\n";
        for (const std::string& p : ignored_list) out += fmt::format("\t{}\n", display(p));
        out += "\n";
    }
    if (untracked_mode == "no") out += "Untracked files not listed (use -u option to show untracked files)\n";
    if (unmerged) {
        out += "no changes added to commit (use \"git add\" and/or \"git commit -a\")\n";
    } else if (entries.empty() && untracked.empty()) {
        out += "nothing to commit, working tree clean\n";
    } else if (!staged) {
        out += (!entries.empty() || untracked.empty())
                   ? "no changes added to commit (use \"git add\" and/or \"git commit -a\")\n"
                   : "nothing added to commit but untracked files present (use \"git add\" to track)\n";
    }
    return 0;
}

// ---- commit ----

namespace {

// The change summary of `base` against `tree`: the diffstat line and the create, delete, mode
// and rename lines; nothing when no path differs.
std::string commit_summary(Syscalls& sys, std::string_view root, const GitTree& base, const GitTree& tree) {
    GitDiffOptions options;
    options.format = DiffFormat::Shortstat;
    Bytes out;
    git_compare_trees(sys, root, base, tree, options, out);
    if (out.empty()) return out;
    options.format = DiffFormat::Summary;
    git_compare_trees(sys, root, base, tree, options, out);
    return out;
}

}  // namespace

std::int32_t git_cmd_commit(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& out = run.io.out;
    Bytes& err = run.io.err;
    GitArgs cursor(args);
    cursor.with_value_flags("mF").expand_short_flags("amqvns");
    std::vector<std::string> paragraphs;
    std::optional<std::string> file, author;
    bool all = false, amend = false, allow_empty = false, quiet = false, dry_run = false, signoff = false;
    std::vector<std::string> paths;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            paths.push_back(item.text);
            continue;
        }
        const std::string& o = item.text;
        if (o == "-m" || o == "--message") {
            auto v = cursor.value(item.value);
            if (!v) {
                git_report_error(err, "-m requires a message");
                return 129;
            }
            paragraphs.push_back(*v);
        } else if (o == "-F" || o == "--file") {
            file = cursor.value(item.value);
            if (!file) {
                git_report_error(err, "-F requires a file");
                return 129;
            }
        } else if (o == "--author") {
            author = cursor.value(item.value);
            if (!author) {
                git_report_error(err, "--author requires a name");
                return 129;
            }
        } else if (o == "-a" || o == "--all") all = true;
        else if (o == "--amend") amend = true;
        else if (o == "--allow-empty" || o == "--allow-empty-message") allow_empty = true;
        else if (o == "-q" || o == "--quiet") quiet = true;
        else if (o == "--dry-run") dry_run = true;
        else if (o == "-s" || o == "--signoff") signoff = true;
        else if (o == "-n" || o == "--no-verify" || o == "-v" || o == "--verbose" || o == "--no-edit" ||
                 o == "--no-gpg-sign") {
        } else {
            git_report_error(err, fmt::format("unsupported commit option: {}", o));
            return 129;
        }
    }
    auto root = find_root(run);
    if (!root) return 128;
    std::string cwd = sys.getcwd();
    if (all && !paths.empty()) {
        git_report_error(err, "-a cannot be combined with paths");
        return 129;
    }
    if (all) {
        auto index = git_read_index_or_fatal(sys, *root, err);
        if (!index) return index.error();
        auto scan = git_scan_worktree(sys, *root, err);
        if (!scan) return scan.error();
        std::vector<std::string> tracked;
        for (const auto& [p, e] : *index) tracked.push_back(p);
        Bytes ignored_out;
        if (git_stage_paths(sys, *root, *index, *scan, tracked, GitStageMode::Quiet, ignored_out, err) != 0) return 1;
    } else if (!paths.empty()) {
        std::vector<std::string> add_args = {"--"};
        add_args.insert(add_args.end(), paths.begin(), paths.end());
        if (std::int32_t s = git_cmd_add(run, add_args); s != 0) return s;
    }
    auto pending = git_pending_operation(sys, *root);
    if (!git_read_merge_stages(sys, *root).empty()) {
        err += "error: Committing is not possible because you have unmerged files.\n"
               "hint: Fix them up in the work tree, and then use 'git add/rm <file>'\n"
               "hint: as appropriate to mark resolution and make a commit.\n"
               "fatal: Exiting because of an unresolved conflict.\n";
        return 1;
    }
    auto head_id = git_resolve_head(sys, *root);
    std::optional<GitCommit> head_commit;
    if (head_id) head_commit = git_read_commit(sys, *root, *head_id);
    if (amend && !head_commit) {
        err += "fatal: You have nothing to amend.\n";
        return 128;
    }
    std::string message;
    for (std::size_t i = 0; i < paragraphs.size(); ++i) message += (i ? "\n\n" : "") + paragraphs[i];
    if (file) {
        std::optional<Bytes> bytes;
        if (*file == "-") bytes = run.io.in;
        else if (auto r = sys.read_file("/", path_join_normalize(cwd, *file), kMaxMessageFile)) bytes = std::move(*r);
        if (!bytes) {
            err += fmt::format("fatal: could not read log file '{}': No such file or directory\n", *file);
            return 128;
        }
        std::string text(trim_end(utf8_lossy(*bytes)));
        message = message.empty() ? text : fmt::format("{}\n\n{}", message, text);
    } else {
        if (message.empty() && amend) message = head_commit->message;
        if (message.empty() && pending)
            if (auto bytes = git_read_file(sys, git_path(*root, "MERGE_MSG"))) message = trim_end(utf8_lossy(*bytes));
    }
    if (dry_run) {
        auto index = git_read_index_or_fatal(sys, *root, err);
        if (!index) return index.error();
        GitTree head = git_head_tree(sys, *root);
        if (std::int32_t s = git_cmd_status(run, {}); s != 0) return s;
        return *index != head ? 0 : 1;
    }
    if (message.empty() && !allow_empty) {
        git_report_error(err, "a non-empty -m MESSAGE is required");
        return 129;
    }
    auto index = git_read_index_or_fatal(sys, *root, err);
    if (!index) return index.error();
    std::vector<std::string> parents;
    GitTree base;
    if (amend) {
        parents = head_commit->parents;
        if (!parents.empty()) base = git_read_commit_tree(sys, *root, parents.front()).value_or(GitTree{});
    } else if (head_commit) {
        parents = {*head_id};
        if (pending && pending->file == "MERGE_HEAD") parents.push_back(pending->id);
        auto tree = git_commit_tree_or_fatal(sys, *root, *head_id, err);
        if (!tree) return tree.error();
        base = std::move(*tree);
    }
    GitTree tree;
    if (paths.empty()) {
        tree = *index;
    } else {
        std::vector<std::string> specs;
        for (const std::string& p : paths) specs.push_back(git_user_path_to_repo_path(cwd, *root, p));
        tree = base;
        std::erase_if(tree, [&](const auto& kv) { return git_pathspec_matches_any(specs, kv.first); });
        for (const auto& [p, e] : *index)
            if (git_pathspec_matches_any(specs, p)) tree[p] = e;
    }
    if (tree == base && !allow_empty && !pending) {
        git_cmd_status(run, {});
        return 1;
    }
    GitIdentity identity = git_author_identity(sys, *root, run.overrides);
    if (signoff) message += fmt::format("\n\nSigned-off-by: {} <{}>", identity.name, identity.email);
    NewCommit commit;
    commit.parents = parents;
    commit.author_name = identity.name;
    commit.author_email = identity.email;
    if (author) {
        std::size_t lt = author->find(" <");
        std::size_t gt = lt == std::string::npos ? std::string::npos : author->find('>', lt);
        if (gt != std::string::npos) {
            commit.author_name = author->substr(0, lt);
            commit.author_email = author->substr(lt + 2, gt - lt - 2);
        }
    }
    commit.message = message;
    if (amend) {
        commit.time = head_commit->time;
    } else {
        commit.time = git_new_commit_time(sys);
    }
    auto id = git_create_commit(sys, *root, commit, tree);
    if (!id) {
        err += fmt::format("git commit: {}\n", id.error());
        return 1;
    }
    std::string subject = git_commit_subject(message);
    std::string kind = parents.empty() ? "commit (initial)" : amend ? "commit (amend)" : "commit";
    if (auto e = git_update_head(sys, *root, *id, fmt::format("{}: {}", kind, subject))) {
        git_report_write_failure(err, "HEAD", *e);
        return 128;
    }
    if (pending) git_clear_merge_state(sys, *root);
    if (!quiet) {
        auto branch = git_current_branch(sys, *root);
        out += fmt::format("[{} {}{}] {}\n", branch.value_or("detached HEAD"),
                           parents.empty() && !amend ? "(root-commit) " : "", git_abbrev_id(*id), subject);
        if (amend) out += fmt::format(" Date: {}\n", git_format_date_default(commit.time));
        out += commit_summary(sys, *root, base, tree);
    }
    return 0;
}

}  // namespace tw
