// `git cherry-pick` and `git revert`: one driver walks the commits to apply, merging each onto
// HEAD, and keeps the rest in SEQUENCER so that a stopped sequence can be resumed or undone.
#include <fmt/format.h>

#include "commands/util/text.h"
#include "commands/git/merge.h"
#include "commands/git/tree_diff.h"
#include "commands/git/worktree_paths.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

struct PickRun {
    GitRun& run;
    std::string root;
    std::string_view name;  // cherry-pick or revert
};

std::int32_t pick_one(PickRun& p, const SequencerState& seq, const std::string& item) {
    Syscalls& sys = p.run.sys;
    Bytes& out = p.run.io.out;
    Bytes& err = p.run.io.err;
    const std::string& root = p.root;
    const std::string_view name = p.name;
    if (git_pending_operation(sys, root)) {
        err += fmt::format("error: a {0} is already in progress\nhint: try \"git {0} --continue\" or \"git {0} --abort\"\n",
                           name);
        return 128;
    }
    auto id = git_resolve_revision(sys, root, item);
    if (!id) {
        err += fmt::format("fatal: bad revision '{}'\n", item);
        return 128;
    }
    auto commit = git_read_commit(sys, root, *id);
    if (!commit) {
        err += fmt::format("fatal: bad object {}\n", item);
        return 128;
    }
    const std::size_t parents = commit->parents.size();
    std::uint64_t n = 1;
    if (parents < 2 && seq.mainline) {
        err += fmt::format("error: mainline was specified but commit {} is not a merge.\nfatal: {} failed\n", *id, name);
        return 128;
    }
    if (parents >= 2) {
        if (!seq.mainline) {
            err += fmt::format("error: commit {} is a merge but no -m option was given.\nfatal: {} failed\n", *id, name);
            return 128;
        }
        n = *seq.mainline;
    }
    if (parents != 0 && parents < n) {
        err += fmt::format("error: commit {} does not have parent {}\nfatal: {} failed\n", *id, n, name);
        return 128;
    }
    std::optional<std::string> parent;
    if (parents != 0) parent = commit->parents[n - 1];
    auto head = git_resolve_head(sys, root);
    if (!head) {
        err += fmt::format("fatal: {} needs a commit to apply onto\n", name);
        return 128;
    }
    auto commit_tree = git_commit_tree_or_fatal(sys, root, *id, err);
    if (!commit_tree) return commit_tree.error();
    auto parent_tree = git_tree_of_optional_commit(sys, root, parent, err);
    if (!parent_tree) return parent_tree.error();
    auto head_tree = git_commit_tree_or_fatal(sys, root, *head, err);
    if (!head_tree) return head_tree.error();
    const GitTree& base = seq.revert ? *commit_tree : *parent_tree;
    const GitTree& theirs = seq.revert ? *parent_tree : *commit_tree;
    auto state = git_load_worktree_state(sys, root, err);
    if (!state) return state.error();
    // Only local changes to paths this pick changes are in the way (earlier -n picks stay staged).
    std::vector<std::string> blocked = git_tree_changed_paths(*state, theirs);
    std::erase_if(blocked, [&](const std::string& path) {
        auto b = base.find(path);
        auto t = theirs.find(path);
        return (b == base.end()) == (t == theirs.end()) && (b == base.end() || b->second == t->second);
    });
    if ((!seq.no_commit && state->index != *head_tree) || !blocked.empty()) {
        err += fmt::format("error: your local changes would be overwritten by {0}.\nhint: commit your changes or stash "
                           "them to proceed.\nfatal: {0} failed\n",
                           name);
        return 128;
    }
    const std::string subject = git_commit_subject(commit->message);
    const std::string message =
        seq.revert ? fmt::format("Revert \"{}\"\n\nThis reverts commit {}.", subject, *id) : commit->message;
    const std::string label = fmt::format("{} ({})", git_abbrev_id(*id), subject);
    auto merged = git_merge_trees(sys, root, base, *head_tree, theirs, "HEAD", label);
    if (!merged) {
        git_report_write_failure(err, merged.error().path, merged.error().error);
        return 128;
    }
    if (std::int32_t s = git_install_tree(sys, root, *head_tree, state->index, merged->tree, name, err)) return s;
    if (!merged->stages.empty()) {
        ConflictRecord record{
            seq.revert ? "REVERT_HEAD" : "CHERRY_PICK_HEAD", *id, message, label,
            fmt::format("error: could not apply {0}\nhint: After resolving the conflicts, mark them with\nhint: "
                        "\"git add/rm <pathspec>\", then run \"git {1} --continue\".\nhint: You can instead skip this "
                        "commit with \"git {1} --skip\".\nhint: To abort and get back to the state before \"git "
                        "{1}\",\nhint: run \"git {1} --abort\".",
                        label, name)};
        return git_record_conflicts(sys, root, record, merged->stages, err);
    }
    if (seq.no_commit) return 0;
    if (merged->tree == *head_tree) {
        err += fmt::format("The previous cherry-pick is now empty, possibly due to conflict resolution.\nfatal: {} "
                           "failed\n",
                           name);
        return 1;
    }
    NewCommit created{{*head}, commit->author_name, commit->author_email, git_new_commit_time(sys), message};
    if (seq.revert) {
        GitIdentity identity = git_author_identity(sys, root, p.run.overrides);
        created.author_name = identity.name;
        created.author_email = identity.email;
    }
    auto new_id = git_create_commit(sys, root, created, merged->tree);
    if (!new_id) {
        git_report_write_failure(err, "the commit", new_id.error());
        return 128;
    }
    const std::string new_subject = git_commit_subject(message);
    if (auto e = git_update_head(sys, root, *new_id, fmt::format("{}: {}", name, new_subject))) {
        git_report_write_failure(err, "HEAD", *e);
        return 128;
    }
    out += fmt::format("[{} {}] {}\n", git_current_branch(sys, root).value_or("detached HEAD"),
                       git_abbrev_id(*new_id), new_subject);
    git_write_commit_change_summary(sys, root, *head_tree, merged->tree, out);
    return 0;
}

std::int32_t run_driver(PickRun& p, SequencerState seq) {
    while (!seq.remaining.empty()) {
        std::string item = seq.remaining.front();
        seq.remaining.erase(seq.remaining.begin());
        if (std::int32_t s = pick_one(p, seq, item); s != 0) {
            git_write_sequencer(p.run.sys, p.root, seq);
            return s;
        }
    }
    git_clear_sequencer(p.run.sys, p.root);
    return 0;
}

std::int32_t abort_sequence(PickRun& p, const SequencerState& seq) {
    Syscalls& sys = p.run.sys;
    Bytes& err = p.run.io.err;
    auto orig_tree = git_commit_tree_or_fatal(sys, p.root, seq.orig, err);
    if (!orig_tree) return orig_tree.error();
    if (std::int32_t s = git_force_tree(sys, p.root, *orig_tree, p.name, err)) return s;
    if (auto e = git_update_head(sys, p.root, seq.orig, fmt::format("{}: aborted", p.name))) {
        git_report_write_failure(err, "HEAD", *e);
        return 128;
    }
    git_clear_merge_state(sys, p.root);
    git_clear_sequencer(sys, p.root);
    return 0;
}

std::int32_t cherry_pick_or_revert(GitRun& run, std::span<const std::string> args, bool revert) {
    const std::string_view name = revert ? "revert" : "cherry-pick";
    Bytes& err = run.io.err;
    auto found = git_worktree_or_report(run);
    if (!found) return 128;
    PickRun p{run, *found, name};
    SequencerState seq;
    seq.revert = revert;
    std::vector<std::string> operands;
    GitArgs cursor(args);
    cursor.with_value_flags("m").expand_short_flags("neq");
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            operands.push_back(item.text);
            continue;
        }
        const std::string& o = item.text;
        if (o == "-m" || o == "--mainline") {
            auto value = cursor.value(item.value);
            auto number = value ? parse_decimal_u64(*value) : std::nullopt;
            if (!number || *number == 0) {
                git_report_error(err, fmt::format("{} -m wants a parent number", name));
                return 129;
            }
            seq.mainline = number;
        } else if (o == "-n" || o == "--no-commit") {
            seq.no_commit = true;
        } else if (o == "-e" || o == "--edit" || o == "--no-edit" || o == "-q" || o == "--quiet") {
            continue;
        } else if (o == "--continue" || o == "--skip") {
            std::int32_t s = o == "--continue" ? git_continue_operation(run, p.root, name)
                                               : git_abort_operation(run, p.root, name);
            if (s != 0) return s;
            if (auto saved = git_read_sequencer(run.sys, p.root)) return run_driver(p, *saved);
            return 0;
        } else if (o == "--abort" || o == "--quit") {
            if (auto saved = git_read_sequencer(run.sys, p.root)) return abort_sequence(p, *saved);
            return git_abort_operation(run, p.root, name);
        } else {
            git_report_error(err, fmt::format("unsupported {} option: {}", name, o));
            return 129;
        }
    }
    if (operands.empty()) {
        git_report_error(err, fmt::format("usage: git {} [-n] [-m PARENT] COMMIT...", name));
        return 129;
    }
    auto head = git_resolve_head(run.sys, p.root);
    if (!head) {
        err += fmt::format("fatal: {} needs a commit to apply onto\n", name);
        return 128;
    }
    for (const std::string& operand : operands) {
        auto id = git_resolve_revision(run.sys, p.root, operand);
        if (!id) {
            err += fmt::format("fatal: bad revision '{}'\n", operand);
            return 128;
        }
        seq.remaining.push_back(*id);
    }
    seq.orig = *head;
    return run_driver(p, std::move(seq));
}

}  // namespace

std::int32_t git_cmd_cherry_pick(GitRun& run, std::span<const std::string> args) {
    return cherry_pick_or_revert(run, args, false);
}
std::int32_t git_cmd_revert(GitRun& run, std::span<const std::string> args) {
    return cherry_pick_or_revert(run, args, true);
}

}  // namespace tw
