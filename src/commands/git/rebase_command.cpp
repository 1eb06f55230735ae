// `git rebase`: the commits of the current branch that the upstream lacks are replayed one by one
// on a detached HEAD at the new base, and the branch is moved to the last of them. A conflict
// stops the replay with the remaining commits in REBASE_STATE, for --continue, --skip or --abort.
#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "commands/git/history.h"
#include "commands/git/history_commands.h"
#include "commands/git/merge.h"
#include "commands/git/worktree_paths.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

struct RebaseRun {
    GitRun& run;
    std::string root;
};

std::string commit_label(std::string_view id, const GitCommit& commit) {
    return fmt::format("{} ({})", git_abbrev_id(id), git_commit_subject(commit.message));
}

// Work tree and index to the commit's tree, whatever they held.
std::int32_t checkout_tree(RebaseRun& r, std::string_view id) {
    Syscalls& sys = r.run.sys;
    Bytes& err = r.run.io.err;
    auto tree = git_commit_tree_or_fatal(sys, r.root, id, err);
    if (!tree) return tree.error();
    auto state = git_load_worktree_state(sys, r.root, err);
    if (!state) return state.error();
    if (std::int32_t s = git_refuse_untracked_overwrite(*state, *tree, "checkout", "switch branches", err)) return s;
    return git_force_tree(sys, r.root, *tree, "rebase", err);
}

// Commits `tree` on HEAD as a replay of `commit` (its author, time and message); the new id, or
// the status after the report.
Result<std::string, std::int32_t> commit_step(RebaseRun& r, const GitCommit& commit, const GitTree& tree,
                                              std::string_view action) {
    Syscalls& sys = r.run.sys;
    Bytes& err = r.run.io.err;
    auto head = git_resolve_head(sys, r.root);
    if (!head) return std::unexpected(1);
    NewCommit created{{*head}, commit.author_name, commit.author_email, commit.time, commit.message};
    auto id = git_create_commit(sys, r.root, created, tree);
    if (!id) {
        git_report_write_failure(err, "the commit", id.error());
        return std::unexpected(128);
    }
    if (auto e = git_update_head(sys, r.root, *id,
                                 fmt::format("rebase ({}): {}", action, git_commit_subject(commit.message)))) {
        git_report_write_failure(err, "HEAD", *e);
        return std::unexpected(128);
    }
    return *id;
}

std::int32_t finish(RebaseRun& r, const RebaseState& state) {
    Syscalls& sys = r.run.sys;
    Bytes& err = r.run.io.err;
    auto head = git_resolve_head(sys, r.root);
    if (!head) return 1;
    const std::string ref = fmt::format("refs/heads/{}", state.branch);
    if (git_write_ref(sys, r.root, ref, *head)) {
        err += fmt::format("git rebase: cannot update {}\n", ref);
        return 1;
    }
    if (auto e = git_switch_head_to_branch(sys, r.root, state.branch, fmt::format("rebase (finish): returning to {}", ref))) {
        git_report_write_failure(err, "HEAD", *e);
        return 128;
    }
    git_clear_rebase_state(sys, r.root);
    r.run.io.out += fmt::format("Successfully rebased and updated {}.\n", ref);
    return 0;
}

std::int32_t replay(RebaseRun& r, RebaseState state) {
    Syscalls& sys = r.run.sys;
    Bytes& err = r.run.io.err;
    while (true) {
        if (state.remaining.empty()) return finish(r, state);
        const std::string id = state.remaining.front();
        auto commit = git_read_commit(sys, r.root, id);
        if (!commit) {
            err += fmt::format("fatal: bad object {}\n", id);
            return 128;
        }
        auto head = git_resolve_head(sys, r.root);
        if (!head) return 1;
        std::optional<std::string> parent;
        if (!commit->parents.empty()) parent = commit->parents.front();
        auto base = git_tree_of_optional_commit(sys, r.root, parent, err);
        if (!base) return base.error();
        auto theirs = git_commit_tree_or_fatal(sys, r.root, id, err);
        if (!theirs) return theirs.error();
        auto ours = git_commit_tree_or_fatal(sys, r.root, *head, err);
        if (!ours) return ours.error();
        const std::string label = commit_label(id, *commit);
        auto merged = git_merge_trees(sys, r.root, *base, *ours, *theirs, "HEAD", label);
        if (!merged) {
            git_report_write_failure(err, merged.error().path, merged.error().error);
            return 128;
        }
        if (auto e = git_apply_tree_to_worktree(sys, r.root, *ours, merged->tree, false)) {
            err += fmt::format("git rebase: {}\n", *e);
            return 1;
        }
        if (auto e = git_write_index(sys, r.root, merged->tree)) {
            git_report_write_failure(err, "the index", *e);
            return 128;
        }
        if (!merged->stages.empty()) {
            if (git_write_rebase_state(sys, r.root, state) && git_write_merge_stages(sys, r.root, merged->stages)) {
                for (const auto& [path, ids] : merged->stages)
                    err += fmt::format("CONFLICT (content): Merge conflict in {}\n", path);
                err += fmt::format(
                    "error: could not apply {}\nhint: Resolve all conflicts manually, mark them as resolved with\n"
                    "hint: \"git add/rm <pathspec>\", then run \"git rebase --continue\".\n"
                    "hint: You can instead skip this commit: run \"git rebase --skip\".\n"
                    "hint: To abort and get back to the state before \"git rebase\", run\n"
                    "hint: \"git rebase --abort\".\n",
                    label);
            }
            return 1;
        }
        // A commit whose change the new base already holds is dropped.
        if (merged->tree != *ours) {
            auto created = commit_step(r, *commit, merged->tree, "pick");
            if (!created) return created.error();
        }
        state.remaining.erase(state.remaining.begin());
        if (!git_write_rebase_state(sys, r.root, state)) return 1;
    }
}

std::int32_t no_rebase(RebaseRun& r) {
    r.run.io.err += "fatal: No rebase in progress?\n";
    return 128;
}

std::int32_t rebase_continue(RebaseRun& r) {
    Syscalls& sys = r.run.sys;
    Bytes& err = r.run.io.err;
    auto state = git_read_rebase_state(sys, r.root);
    if (!state) return no_rebase(r);
    if (!git_read_merge_stages(sys, r.root).empty()) {
        err += "error: you have unmerged paths\nhint: Mark them resolved with \"git add/rm <pathspec>\".\n";
        return 1;
    }
    if (state->remaining.empty()) {
        git_clear_rebase_state(sys, r.root);
        return 0;
    }
    auto commit = git_read_commit(sys, r.root, state->remaining.front());
    if (!commit) return 128;
    auto index = git_read_index_or_fatal(sys, r.root, err);
    if (!index) return index.error();
    GitTree head_tree = git_head_tree(sys, r.root);
    if (*index != head_tree) {
        auto id = commit_step(r, *commit, *index, "continue");
        if (!id) return id.error();
        r.run.io.out += fmt::format("[detached HEAD {}] {}\n", git_abbrev_id(*id), git_commit_subject(commit->message));
        git_write_commit_change_summary(sys, r.root, head_tree, *index, r.run.io.out);
    }
    state->remaining.erase(state->remaining.begin());
    git_clear_merge_state(sys, r.root);
    if (!git_write_rebase_state(sys, r.root, *state)) return 1;
    return replay(r, std::move(*state));
}

std::int32_t rebase_skip(RebaseRun& r) {
    Syscalls& sys = r.run.sys;
    auto state = git_read_rebase_state(sys, r.root);
    if (!state) return no_rebase(r);
    auto head = git_resolve_head(sys, r.root);
    if (!head) return 1;
    if (!state->remaining.empty()) state->remaining.erase(state->remaining.begin());
    git_clear_merge_state(sys, r.root);
    if (std::int32_t s = checkout_tree(r, *head)) return s;
    if (!git_write_rebase_state(sys, r.root, *state)) return 1;
    return replay(r, std::move(*state));
}

std::int32_t rebase_abort(RebaseRun& r) {
    Syscalls& sys = r.run.sys;
    Bytes& err = r.run.io.err;
    auto state = git_read_rebase_state(sys, r.root);
    if (!state) return no_rebase(r);
    if (std::int32_t s = checkout_tree(r, state->orig)) return s;
    const std::string ref = fmt::format("refs/heads/{}", state->branch);
    if (auto e = git_write_ref(sys, r.root, ref, state->orig)) {
        git_report_write_failure(err, ref, *e);
        return 128;
    }
    if (auto e = git_switch_head_to_branch(sys, r.root, state->branch, fmt::format("rebase (abort): returning to {}", ref))) {
        git_report_write_failure(err, "HEAD", *e);
        return 128;
    }
    git_clear_rebase_state(sys, r.root);
    return 0;
}

}  // namespace

std::int32_t git_cmd_rebase(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& out = run.io.out;
    Bytes& err = run.io.err;
    auto found = git_worktree_or_report(run);
    if (!found) return 128;
    RebaseRun r{run, *found};
    const std::string& root = r.root;
    std::optional<std::string> onto_name;
    std::vector<std::string> operands;
    GitArgs cursor(args);
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            operands.push_back(item.text);
            continue;
        }
        const std::string& o = item.text;
        if (o == "--continue") return rebase_continue(r);
        if (o == "--skip") return rebase_skip(r);
        if (o == "--abort") return rebase_abort(r);
        if (o == "-q" || o == "--quiet" || o == "--no-verify" || o == "--no-autostash") continue;
        if (o == "--onto") {
            onto_name = cursor.value(item.value);
            if (!onto_name) {
                git_report_error(err, "--onto requires a revision");
                return 129;
            }
        } else if (o == "-i" || o == "--interactive") {
            err += "fatal: interactive rebase is not supported here\n";
            return 128;
        } else {
            git_report_error(err, fmt::format("unsupported rebase option: {}", o));
            return 129;
        }
    }
    if (git_read_rebase_state(sys, root)) {
        err += "fatal: a rebase is already in progress\nhint: try \"git rebase --continue\" or \"git rebase --abort\"\n";
        return 128;
    }
    if (operands.empty() || operands.size() > 2) {
        git_report_error(err, "usage: git rebase [--onto NEWBASE] UPSTREAM [BRANCH]");
        return 129;
    }
    auto upstream = git_resolve_revision(sys, root, operands[0]);
    if (!upstream) {
        err += fmt::format("fatal: invalid upstream '{}'\n", operands[0]);
        return 128;
    }
    std::string onto = *upstream;
    if (onto_name) {
        auto resolved = git_resolve_revision(sys, root, *onto_name);
        if (!resolved) {
            err += fmt::format("fatal: invalid reference '{}'\n", *onto_name);
            return 128;
        }
        onto = *resolved;
    } else {
        onto_name = operands[0];
    }
    auto state = git_load_worktree_state(sys, root, err);
    if (!state) return state.error();
    if (std::vector<std::string> changed = git_local_change_paths(*state); !changed.empty()) {
        bool unstaged = std::any_of(changed.begin(), changed.end(), [&](const std::string& path) {
            auto i = state->index.find(path);
            auto s = state->scan.find(path);
            return (i == state->index.end()) != (s == state->scan.end()) ||
                   (i != state->index.end() && i->second != s->second);
        });
        err += fmt::format("error: cannot rebase: {}\nerror: Please commit or stash them.\n",
                           unstaged ? "You have unstaged changes." : "Your index contains uncommitted changes.");
        return 1;
    }
    if (operands.size() == 2)
        if (std::int32_t s = git_checkout_existing_branch(sys, root, operands[1], err)) return s;
    auto branch = git_current_branch(sys, root);
    if (!branch) {
        err += "fatal: rebasing a detached HEAD is not supported here\n";
        return 128;
    }
    auto head = git_resolve_head(sys, root);
    if (!head) {
        err += "fatal: no commit on the current branch to rebase\n";
        return 128;
    }
    const std::vector<std::string> ancestors = git_ancestors(sys, root, *upstream);
    const std::set<std::string> contained(ancestors.begin(), ancestors.end());
    std::vector<std::string> replayed;
    for (const CommitRecord& record : git_collect_commits(sys, root, *head)) {
        if (contained.contains(record.id)) break;
        replayed.push_back(record.id);
    }
    std::reverse(replayed.begin(), replayed.end());
    if ((onto == *upstream && git_merge_base(sys, root, *head, *upstream) == *upstream) ||
        (replayed.empty() && *head == onto)) {
        out += fmt::format("Current branch {} is up to date.\n", *branch);
        return 0;
    }
    git_save_orig_head(sys, root);
    if (std::int32_t s = checkout_tree(r, onto)) return s;
    if (replayed.empty()) {
        if (auto e = git_update_head(sys, root, onto, fmt::format("rebase (finish): returning to refs/heads/{}", *branch))) {
            git_report_write_failure(err, "HEAD", *e);
            return 128;
        }
        out += fmt::format("Successfully rebased and updated refs/heads/{}.\n", *branch);
        return 0;
    }
    if (auto e = git_detach_head(sys, root, onto, fmt::format("rebase (start): checkout {}", *onto_name))) {
        git_report_write_failure(err, "HEAD", *e);
        return 128;
    }
    RebaseState rebase{*branch, *head, onto, std::move(replayed)};
    if (!git_write_rebase_state(sys, root, rebase)) return 1;
    return replay(r, std::move(rebase));
}

}  // namespace tw
