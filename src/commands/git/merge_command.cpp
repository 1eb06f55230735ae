// `git merge`, and the `--continue` and `--abort` shared by the merging commands.
#include <fmt/format.h>

#include "commands/git/history.h"
#include "commands/git/history_commands.h"
#include "commands/git/merge.h"
#include "commands/git/tree_diff.h"
#include "commands/git/worktree_paths.h"
#include "kernel/syscalls.h"

namespace tw {

std::int32_t git_install_tree(Syscalls& sys, std::string_view root, const GitTree& head, const GitTree& index,
                              const GitTree& result, std::string_view name, Bytes& err) {
    GitTree old_part, new_part;
    GitTree new_index = index;
    std::set<std::string> paths;
    for (const GitTree* t : {&head, &result})
        for (const auto& [p, e] : *t) paths.insert(p);
    for (const std::string& p : paths) {
        auto h = head.find(p);
        auto r = result.find(p);
        bool same = h != head.end() && r != result.end() && h->second == r->second;
        if (same || (h == head.end() && r == result.end())) continue;
        if (h != head.end()) old_part[p] = h->second;
        if (r != result.end()) {
            new_part[p] = r->second;
            new_index[p] = r->second;
        } else {
            new_index.erase(p);
        }
    }
    if (auto e = git_apply_tree_to_worktree(sys, root, old_part, new_part, false)) {
        err += fmt::format("git {}: {}\n", name, *e);
        return 1;
    }
    if (auto e = git_write_index(sys, root, new_index)) {
        git_report_write_failure(err, "the index", *e);
        return 128;
    }
    return 0;
}

std::int32_t git_force_tree(Syscalls& sys, std::string_view root, const GitTree& target, std::string_view name,
                            Bytes& err) {
    auto index = git_read_index_or_fatal(sys, root, err);
    if (!index) return index.error();
    GitTree old_tree = *index;
    for (const auto& [p, e] : git_head_tree(sys, root)) old_tree.emplace(p, e);
    if (auto e = git_apply_tree_to_worktree(sys, root, old_tree, target, true)) {
        err += fmt::format("git {}: {}\n", name, *e);
        return 1;
    }
    if (auto e = git_write_index(sys, root, target)) {
        git_report_write_failure(err, "the index", *e);
        return 128;
    }
    return 0;
}

void git_write_merge_stat(Syscalls& sys, std::string_view root, const GitTree& from, const GitTree& to, Bytes& out) {
    GitDiffOptions options;
    options.format = DiffFormat::Stat;
    git_compare_trees(sys, root, from, to, options, out);
    options.format = DiffFormat::Summary;
    git_compare_trees(sys, root, from, to, options, out);
}

void git_write_commit_change_summary(Syscalls& sys, std::string_view root, const GitTree& from, const GitTree& to,
                                     Bytes& out) {
    if (from == to) return;
    GitDiffOptions options;
    options.format = DiffFormat::Shortstat;
    git_compare_trees(sys, root, from, to, options, out);
    options.format = DiffFormat::Summary;
    git_compare_trees(sys, root, from, to, options, out);
}

std::int32_t git_cmd_merge(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& out = run.io.out;
    Bytes& err = run.io.err;
    auto found = git_worktree_or_report(run);
    if (!found) return 128;
    const std::string& root = *found;
    bool no_ff = false, ff_only = false;
    std::optional<std::string> message;
    std::vector<std::string> operands;
    GitArgs cursor(args);
    cursor.with_value_flags("m").expand_short_flags("q");
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            operands.push_back(item.text);
            continue;
        }
        const std::string& o = item.text;
        if (o == "--no-ff") no_ff = true;
        else if (o == "--ff-only") ff_only = true;
        else if (o == "--ff" || o == "--no-edit" || o == "-q" || o == "--quiet") continue;
        else if (o == "--abort") return git_abort_operation(run, root, "merge");
        else if (o == "--continue") return git_continue_operation(run, root, "merge");
        else if (o == "-m" || o == "--message") {
            if (auto v = cursor.value(item.value)) message = *v;
        } else {
            git_report_error(err, fmt::format("unsupported merge option: {}", o));
            return 129;
        }
    }
    if (operands.size() != 1) {
        git_report_error(err, "usage: git merge [--no-ff|--ff-only] BRANCH");
        return 129;
    }
    const std::string& operand = operands.front();
    auto theirs = git_resolve_revision(sys, root, operand);
    if (!theirs) {
        err += fmt::format("merge: {} - not something we can merge\n", operand);
        return 1;
    }
    auto ours = git_resolve_head(sys, root);
    if (!ours) {
        err += "fatal: no commit on the current branch to merge into\n";
        return 128;
    }
    std::vector<std::string> ancestors = git_ancestors(sys, root, *ours);
    if (std::find(ancestors.begin(), ancestors.end(), *theirs) != ancestors.end()) {
        out += "Already up to date.\n";
        return 0;
    }
    auto theirs_tree = git_commit_tree_or_fatal(sys, root, *theirs, err);
    if (!theirs_tree) return theirs_tree.error();
    auto state = git_load_worktree_state(sys, root, err);
    if (!state) return state.error();
    if (!git_tree_changed_paths(*state, *theirs_tree).empty()) {
        err += "error: Your local changes would be overwritten by merge.\n";
        return 1;
    }
    if (std::int32_t s = git_refuse_untracked_overwrite(*state, *theirs_tree, "merge", "merge", err)) return s;
    git_save_orig_head(sys, root);
    auto base = git_merge_base(sys, root, *ours, *theirs);
    if (base == ours && !no_ff) {
        if (std::int32_t s = git_checkout_branch(sys, root, *theirs, err)) return s;
        if (auto e = git_update_head(sys, root, *theirs, fmt::format("merge {}: Fast-forward", operand))) {
            git_report_write_failure(err, "HEAD", *e);
            return 128;
        }
        out += fmt::format("Updating {}..{}\nFast-forward\n", git_abbrev_id(*ours), git_abbrev_id(*theirs));
        git_write_merge_stat(sys, root, state->head, *theirs_tree, out);
        return 0;
    }
    if (ff_only) {
        err += "fatal: Not possible to fast-forward, aborting.\n";
        return 128;
    }
    // The index is replaced by the merge result: staged work would be lost, so it is refused.
    if (!git_staged_paths(*state).empty()) {
        err += "error: Your local changes would be overwritten by merge.\n";
        return 1;
    }
    auto base_tree = git_tree_of_optional_commit(sys, root, base, err);
    if (!base_tree) return base_tree.error();
    auto ours_tree = git_commit_tree_or_fatal(sys, root, *ours, err);
    if (!ours_tree) return ours_tree.error();
    if (!message) {
        auto branch = git_current_branch(sys, root);
        message = branch && *branch != "main" ? fmt::format("Merge branch '{}' into {}", operand, *branch)
                                              : fmt::format("Merge branch '{}'", operand);
    }
    auto merged = git_merge_trees(sys, root, *base_tree, *ours_tree, *theirs_tree, "HEAD", operand);
    if (!merged) {
        git_report_write_failure(err, merged.error().path, merged.error().error);
        return 128;
    }
    if (std::int32_t s = git_install_tree(sys, root, *ours_tree, state->index, merged->tree, "merge", err)) return s;
    if (!merged->stages.empty()) {
        ConflictRecord record{"MERGE_HEAD", *theirs, *message, operand,
                              "Automatic merge failed; fix conflicts and then commit the result."};
        return git_record_conflicts(sys, root, record, merged->stages, err);
    }
    GitIdentity identity = git_author_identity(sys, root, run.overrides);
    NewCommit commit{{*ours, *theirs}, identity.name, identity.email, git_new_commit_time(sys), *message};
    auto id = git_create_commit(sys, root, commit, merged->tree);
    if (!id) {
        git_report_write_failure(err, "the merge commit", id.error());
        return 128;
    }
    if (auto e = git_update_head(sys, root, *id, fmt::format("merge {}", operand))) {
        git_report_write_failure(err, "HEAD", *e);
        return 128;
    }
    out += "Merge made by the 'ort' strategy.\n";
    git_write_merge_stat(sys, root, *ours_tree, merged->tree, out);
    return 0;
}

std::int32_t git_continue_operation(GitRun& run, std::string_view root, std::string_view name) {
    if (!git_pending_operation(run.sys, root)) {
        run.io.err += fmt::format("fatal: There is no {} in progress ({} --continue).\n", name, name);
        return 128;
    }
    if (!git_read_merge_stages(run.sys, root).empty()) {
        run.io.err += "error: Committing is not possible because you have unmerged files.\n";
        return 1;
    }
    std::vector<std::string> commit_args = {"--no-edit"};
    return git_cmd_commit(run, commit_args);
}

std::int32_t git_abort_operation(GitRun& run, std::string_view root, std::string_view name) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    if (!git_pending_operation(sys, root)) {
        err += fmt::format("fatal: There is no {} in progress ({} --abort).\n", name, name);
        return 128;
    }
    if (std::int32_t s = git_force_tree(sys, root, git_head_tree(sys, root), name, err)) return s;
    git_clear_merge_state(sys, root);
    return 0;
}

}  // namespace tw
