// The history plumbing (rev-list, reflog, merge-base) and check-ignore.
#include <fmt/format.h>

#include <algorithm>

#include "base/utf8.h"
#include "commands/git/history.h"
#include "commands/git/work_commands.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

std::optional<std::uint64_t> parse_count(const std::optional<std::string>& text) {
    if (!text || text->empty() || text->size() > 19 ||
        !std::all_of(text->begin(), text->end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoull(*text);
}

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

}  // namespace

// ---- rev-list ----

std::int32_t git_cmd_rev_list(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    GitArgs cursor(args);
    cursor.with_value_flags("n");
    bool count = false, all = false;
    std::uint64_t limit = kGitWalkLimit;
    std::vector<std::string> revisions;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        const std::string& o = item.text;
        if (item.kind == GitArgItem::Kind::Positional) {
            revisions.push_back(o);
            continue;
        }
        std::optional<std::uint64_t> n;
        if (o == "--count") count = true;
        else if (o == "--all") all = true;
        else if (o == "-n" || o == "--max-count") {
            n = parse_count(cursor.value(item.value));
            if (!n) {
                git_report_error(err, "rev-list count must be a non-negative integer");
                return 129;
            }
            limit = *n;
        } else if (auto dash = git_parse_dash_count(o)) {
            limit = *dash;
        } else {
            git_report_error(err, fmt::format("unsupported rev-list option: {}", o));
            return 129;
        }
    }
    if (all)
        for (std::string& id : git_all_ref_targets(sys, *root)) revisions.push_back(std::move(id));
    if (revisions.empty()) revisions.emplace_back("HEAD");
    auto commits = git_walk_commits(sys, *root, revisions, false);
    if (!commits) {
        git_report_ambiguous_argument(err, joined(revisions));
        return 128;
    }
    std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(limit, commits->size()));
    if (count) {
        run.io.out += fmt::format("{}\n", kept);
        return 0;
    }
    for (std::size_t i = 0; i < kept; ++i) run.io.out += (*commits)[i].id + "\n";
    return 0;
}

// ---- reflog ----

std::int32_t git_cmd_reflog(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    GitArgs cursor(args);
    cursor.with_value_flags("n");
    std::optional<std::uint64_t> limit;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        const std::string& o = item.text;
        if (item.kind == GitArgItem::Kind::Positional) {
            if (o != "show" && o != "HEAD") {
                git_report_error(err, fmt::format("only HEAD is logged, not {}", o));
                return 129;
            }
        } else if (o == "--oneline" || o == "--no-abbrev") {
        } else if (o == "-n" || o == "--max-count") {
            limit = parse_count(cursor.value(item.value));
            if (!limit) {
                git_report_error(err, "-n requires a count");
                return 129;
            }
        } else if (auto dash = git_parse_dash_count(o)) {
            limit = *dash;
        } else {
            git_report_error(err, fmt::format("unsupported reflog option: {}", o));
            return 129;
        }
    }
    std::vector<ReflogEntry> entries = git_reflog_read(sys, *root);
    for (std::size_t i = 0; i < entries.size() && (!limit || i < *limit); ++i)
        run.io.out += fmt::format("{} HEAD@{{{}}}: {}\n", git_abbrev_id(entries[i].new_id), i, entries[i].message);
    return 0;
}

// ---- merge-base ----

std::int32_t git_cmd_merge_base(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    GitArgs cursor(args);
    bool is_ancestor = false;
    std::vector<std::string> revisions;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) revisions.push_back(item.text);
        else if (item.text == "--is-ancestor") is_ancestor = true;
        else {
            git_report_error(err, fmt::format("unsupported merge-base option: {}", item.text));
            return 129;
        }
    }
    if (revisions.size() != 2) {
        git_report_error(err, "usage: git merge-base [--is-ancestor] REVISION REVISION");
        return 129;
    }
    auto a = git_resolve_revision(sys, *root, revisions[0]);
    auto b = git_resolve_revision(sys, *root, revisions[1]);
    if (!a || !b) {
        git_report_ambiguous_argument(err, joined(revisions));
        return 128;
    }
    if (is_ancestor) {
        auto ancestors = git_ancestors(sys, *root, *b);
        return std::find(ancestors.begin(), ancestors.end(), *a) != ancestors.end() ? 0 : 1;
    }
    auto base = git_merge_base(sys, *root, *a, *b);
    if (!base) return 1;
    run.io.out += *base + "\n";
    return 0;
}

// ---- check-ignore ----

std::int32_t git_cmd_check_ignore(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& out = run.io.out;
    Bytes& err = run.io.err;
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    GitArgs cursor(args);
    cursor.expand_short_flags("vqn");
    bool verbose = false, quiet = false, non_matching = false, from_stdin = false;
    std::vector<std::string> paths;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        const std::string& o = item.text;
        if (item.kind == GitArgItem::Kind::Positional) paths.push_back(o);
        else if (o == "-v" || o == "--verbose") verbose = true;
        else if (o == "-q" || o == "--quiet") quiet = true;
        else if (o == "-n" || o == "--non-matching") non_matching = true;
        else if (o == "--stdin") from_stdin = true;
        else if (o == "--no-index") {
        } else {
            git_report_error(err, fmt::format("unsupported check-ignore option: {}", o));
            return 129;
        }
    }
    if (from_stdin) {
        std::string input = utf8_lossy(run.io.in);
        for (std::string_view line : split_lines(input)) paths.emplace_back(line);
    }
    if (paths.empty()) {
        git_report_error(err, "usage: git check-ignore PATH...");
        return 129;
    }
    if (non_matching && !verbose) {
        git_report_error(err, "check-ignore: -n requires -v");
        return 129;
    }
    auto rules = git_load_ignore_rules(sys, *root);
    const std::string cwd = sys.getcwd();
    bool any = false;
    for (const std::string& typed : paths) {
        const IgnoreRule* rule = git_ignore_match(rules, git_user_path_to_repo_path(cwd, *root, typed));
        if (rule && !rule->negated) {
            any = true;
            if (quiet) continue;
            if (verbose) out += fmt::format("{}:{}:{}\t{}\n", rule->source, rule->line, rule->text, typed);
            else out += typed + "\n";
        } else if (non_matching && verbose && !quiet) {
            out += fmt::format("::\t{}\n", typed);
        }
    }
    return any ? 0 : 1;
}

}  // namespace tw
