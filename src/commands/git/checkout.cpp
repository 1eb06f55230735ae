// git switch, git checkout and git restore, and the branch switch of the work tree behind them.
#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "commands/git/op_state.h"
#include "commands/git/work_commands.h"
#include "commands/git/worktree_paths.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

std::optional<TreeEntry> entry_of(const GitTree& tree, const std::string& path) {
    auto it = tree.find(path);
    if (it == tree.end()) return std::nullopt;
    return it->second;
}

}  // namespace

// ---- the branch switch of the work tree ----

Result<WorktreeState, std::int32_t> git_load_worktree_state(Syscalls& sys, std::string_view root, Bytes& err) {
    WorktreeState state;
    state.head = git_head_tree(sys, root);
    auto index = git_read_index_or_fatal(sys, root, err);
    if (!index) return std::unexpected(index.error());
    state.index = std::move(*index);
    auto scan = git_scan_worktree(sys, root, err);
    if (!scan) return std::unexpected(scan.error());
    state.scan = std::move(*scan);
    return state;
}

std::vector<std::string> git_tree_changed_paths(const WorktreeState& state, const GitTree& target) {
    std::set<std::string> paths;
    for (const auto& [path, entry] : state.index) paths.insert(path);
    for (const auto& [path, entry] : state.head) paths.insert(path);
    std::vector<std::string> changed;
    for (const std::string& path : paths) {
        auto in_index = entry_of(state.index, path);
        auto in_head = entry_of(state.head, path);
        bool local = in_index ? (entry_of(state.scan, path) != in_index || in_head != in_index) : true;
        if (local && in_head != entry_of(target, path)) changed.push_back(path);
    }
    return changed;
}

std::int32_t git_refuse_untracked_overwrite(const WorktreeState& state, const GitTree& target,
                                            std::string_view operation, std::string_view action, Bytes& err) {
    std::vector<std::string> blocked;
    for (const auto& [path, entry] : target)
        if (state.scan.contains(path) && !state.index.contains(path) && !state.head.contains(path))
            blocked.push_back(path);
    if (blocked.empty()) return 0;
    err += fmt::format("error: The following untracked working tree files would be overwritten by {}:\n", operation);
    for (const std::string& path : blocked) err += fmt::format("\t{}\n", path);
    err += fmt::format("Please move or remove them before you {}.\nAborting\n", action);
    return 1;
}

std::int32_t git_checkout_branch(Syscalls& sys, std::string_view root, std::string_view target, Bytes& err) {
    if (git_read_rebase_state(sys, root)) {
        err += "fatal: cannot switch branch while rebasing\nConsider \"git rebase --abort\" or \"git rebase --continue\".\n";
        return 128;
    }
    if (auto pending = git_pending_operation(sys, root)) {
        std::string_view doing = pending->file == "MERGE_HEAD"         ? "merging"
                                 : pending->file == "CHERRY_PICK_HEAD" ? "cherry-picking"
                                                                       : "reverting";
        std::string_view command = pending->file == "MERGE_HEAD"         ? "merge"
                                   : pending->file == "CHERRY_PICK_HEAD" ? "cherry-pick"
                                                                         : "revert";
        err += fmt::format("fatal: cannot switch branch while {}\nConsider \"git {} --abort\" to give it up.\n", doing,
                           command);
        return 128;
    }
    if (auto branch = git_current_branch(sys, root))
        (void)git_write_file(sys, git_path(root, "PREV_HEAD"), fmt::format("{}\n", *branch));
    auto tree = git_commit_tree_or_fatal(sys, root, target, err);
    if (!tree) return tree.error();
    auto state = git_load_worktree_state(sys, root, err);
    if (!state) return state.error();
    if (auto changed = git_tree_changed_paths(*state, *tree); !changed.empty()) {
        err += "error: Your local changes to the following files would be overwritten by checkout:\n";
        for (const std::string& path : changed) err += fmt::format("\t{}\n", path);
        err += "Please commit your changes or stash them before you switch branches.\nAborting\n";
        return 1;
    }
    if (std::int32_t s = git_refuse_untracked_overwrite(*state, *tree, "checkout", "switch branches", err); s != 0)
        return s;
    // Only the paths whose entry differs between the two commits are touched, so local changes
    // of every other path (deletions included) stay as they are.
    GitTree leaving, arriving;
    for (const auto& [path, entry] : state->head)
        if (entry_of(*tree, path) != entry) leaving.emplace(path, entry);
    for (const auto& [path, entry] : *tree)
        if (entry_of(state->head, path) != entry) arriving.emplace(path, entry);
    if (auto e = git_apply_tree_to_worktree(sys, root, leaving, arriving, true)) {
        err += fmt::format("git switch: {}\n", *e);
        return 1;
    }
    GitTree index = *tree;
    for (const auto& [path, entry] : state->index)
        if (entry_of(state->head, path) != entry) index[path] = entry;
    for (const auto& [path, entry] : state->head)
        if (!state->index.contains(path)) index.erase(path);
    if (auto e = git_write_index(sys, root, index)) {
        git_report_write_failure(err, "the index", *e);
        return 128;
    }
    return 0;
}

namespace {

std::int32_t checkout_existing_branch(Syscalls& sys, std::string_view root, const std::string& name, bool announce,
                                      Bytes& err) {
    auto id = git_read_ref_file(sys, root, fmt::format("refs/heads/{}", name));
    if (!id || name.find("..") != std::string::npos) {
        err += fmt::format("fatal: invalid reference: {}\n", name);
        return 128;
    }
    auto current = git_current_branch(sys, root);
    if (current == name) {
        if (announce) err += fmt::format("Already on '{}'\n", name);
        return 0;
    }
    if (std::int32_t s = git_checkout_branch(sys, root, *id, err); s != 0) return s;
    std::string message = fmt::format("checkout: moving from {} to {}", current.value_or("HEAD"), name);
    if (auto e = git_switch_head_to_branch(sys, root, name, message)) {
        git_report_write_failure(err, "HEAD", *e);
        return 128;
    }
    if (announce) err += fmt::format("Switched to branch '{}'\n", name);
    return 0;
}

}  // namespace

std::int32_t git_checkout_existing_branch(Syscalls& sys, std::string_view root, const std::string& name, Bytes& err) {
    return checkout_existing_branch(sys, root, name, false, err);
}

namespace {

std::int32_t checkout_detached(Syscalls& sys, std::string_view root, const std::string& revision, Bytes& err) {
    auto id = git_resolve_revision(sys, root, revision);
    if (!id) {
        err += fmt::format("fatal: invalid reference: {}\n", revision);
        return 128;
    }
    if (std::int32_t s = git_checkout_branch(sys, root, *id, err); s != 0) return s;
    if (auto e = git_detach_head(sys, root, *id, fmt::format("checkout: moving to {}", revision))) {
        git_report_write_failure(err, "HEAD", *e);
        return 128;
    }
    err += fmt::format("Note: switching to '{}'.\nHEAD is now at {} {}\n", revision, git_abbrev_id(*id),
                       git_commit_subject_of(sys, root, *id));
    return 0;
}

std::int32_t create_and_switch_branch(GitRun& run, std::string_view root, const std::string& name,
                                      const std::optional<std::string>& start, bool force) {
    std::vector<std::string> branch_args;
    if (force) branch_args.emplace_back("-f");
    branch_args.push_back(name);
    if (start) branch_args.push_back(*start);
    if (std::int32_t s = git_cmd_branch(run, branch_args); s != 0) return s;
    Bytes& err = run.io.err;
    if (std::int32_t s = checkout_existing_branch(run.sys, root, name, true, err); s != 0) return s;
    std::string plain = fmt::format("Switched to branch '{}'\n", name);
    if (err.ends_with(plain)) {
        err.resize(err.size() - plain.size());
        err += fmt::format("Switched to a new branch '{}'\n", name);
    }
    return 0;
}

std::optional<std::string> expand_previous_branch(Syscalls& sys, std::string_view root, const std::string& arg) {
    if (arg == "-") return git_read_prev_head(sys, root);
    return arg;
}

std::int32_t checkout_merge_stage(GitRun& run, std::string_view root, bool theirs,
                                  const std::vector<std::string>& paths) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    MergeStages stages = git_read_merge_stages(sys, root);
    if (paths.empty()) {
        git_report_error(err, "usage: git checkout --ours|--theirs PATH...");
        return 129;
    }
    const std::string cwd = sys.getcwd();
    std::vector<std::pair<std::string, std::string>> chosen;
    for (const std::string& typed : paths) {
        std::string path = git_user_path_to_repo_path(cwd, root, typed);
        auto it = stages.find(path);
        const std::optional<std::string>* side = nullptr;
        if (it != stages.end()) side = theirs ? &it->second.theirs : &it->second.ours;
        if (!side || !side->has_value()) {
            err += fmt::format("error: path '{}' does not have their version\n", typed);
            return 1;
        }
        chosen.emplace_back(path, **side);
    }
    for (const auto& [path, id] : chosen) {
        auto blob = git_read_object(sys, root, id);
        if (!blob) {
            err += fmt::format("error: missing blob for '{}'\n", path);
            return 1;
        }
        if (git_write_file(sys, path_join(root, path), std::move(*blob))) {
            err += fmt::format("error: cannot write '{}'\n", path);
            return 1;
        }
    }
    run.io.out += fmt::format("Updated {} path{} from the index\n", chosen.size(), chosen.size() == 1 ? "" : "s");
    return 0;
}

std::vector<std::string> restore_args(const std::optional<std::string>& source, const std::vector<std::string>& paths) {
    std::vector<std::string> args;
    if (source) args = {"--source", *source, "--staged", "--worktree"};
    args.emplace_back("--");
    args.insert(args.end(), paths.begin(), paths.end());
    return args;
}

}  // namespace

// ---- switch ----

std::int32_t git_cmd_switch(GitRun& run, std::span<const std::string> args) {
    Bytes& err = run.io.err;
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    GitArgs cursor(args);
    cursor.expand_short_flags("qcdf");
    bool create = false, force_create = false, detach = false, force = false;
    std::vector<std::string> targets;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            targets.push_back(item.text);
            continue;
        }
        const std::string& o = item.text;
        if (o == "-c" || o == "--create") create = true;
        else if (o == "-C" || o == "--force-create") create = force_create = true;
        else if (o == "-d" || o == "--detach") detach = true;
        else if (o == "-f" || o == "--force" || o == "--discard-changes") force = true;
        else if (o == "-q" || o == "--quiet" || o == "--no-guess" || o == "--no-track") {
        } else {
            git_report_error(err, fmt::format("unsupported switch option: {}", o));
            return 129;
        }
    }
    if (create && (targets.size() == 1 || targets.size() == 2)) {
        std::optional<std::string> start;
        if (targets.size() == 2) start = targets[1];
        return create_and_switch_branch(run, *root, targets[0], start, force || force_create);
    }
    if (targets.size() != 1) {
        git_report_error(err, "usage: git switch [-c] BRANCH [START_POINT]");
        return 129;
    }
    if (detach) return checkout_detached(run.sys, *root, targets[0], err);
    auto name = expand_previous_branch(run.sys, *root, targets[0]);
    if (!name) {
        err += "fatal: no previous branch to switch to\n";
        return 128;
    }
    return checkout_existing_branch(run.sys, *root, *name, true, err);
}

// ---- checkout ----

std::int32_t git_cmd_checkout(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    auto [before, paths] = git_split_at_dashes(args);
    GitArgs cursor(before);
    cursor.expand_short_flags("qbf");
    bool create = false, force = false, detach = false;
    std::optional<bool> theirs;
    std::vector<std::string> targets;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            targets.push_back(item.text);
            continue;
        }
        const std::string& o = item.text;
        if (o == "-b") create = true;
        else if (o == "-B") create = force = true;
        else if (o == "--detach") detach = true;
        else if (o == "-f" || o == "--force") force = true;
        else if (o == "--ours") theirs = false;
        else if (o == "--theirs") theirs = true;
        else if (o == "-q" || o == "--quiet") {
        } else {
            git_report_error(err, fmt::format("unsupported checkout option: {}", o));
            return 129;
        }
    }
    if (theirs) return checkout_merge_stage(run, *root, *theirs, paths.empty() ? targets : paths);
    if (!paths.empty()) {
        std::optional<std::string> source;
        if (!targets.empty()) source = targets[0];
        return git_cmd_restore(run, restore_args(source, paths));
    }
    if (create && (targets.size() == 1 || targets.size() == 2)) {
        std::optional<std::string> start;
        if (targets.size() == 2) start = targets[1];
        return create_and_switch_branch(run, *root, targets[0], start, force);
    }
    if (targets.size() != 1) {
        git_report_error(err, "usage: git checkout [-b] BRANCH | [REVISION] -- PATH...");
        return 129;
    }
    const std::string& target = targets[0];
    if (detach) return checkout_detached(sys, *root, target, err);
    auto name = expand_previous_branch(sys, *root, target);
    if (name && name->find("..") == std::string::npos &&
        git_read_ref_file(sys, *root, fmt::format("refs/heads/{}", *name)))
        return checkout_existing_branch(sys, *root, *name, true, err);
    if (git_resolve_revision(sys, *root, target)) return checkout_detached(sys, *root, target, err);
    if (git_arg_is_worktree_path(sys, *root, target)) return git_cmd_restore(run, restore_args(std::nullopt, {target}));
    err += fmt::format("error: pathspec '{}' did not match any file(s) known to git\n", target);
    return 1;
}

// ---- restore ----

std::int32_t git_cmd_restore(GitRun& run, std::span<const std::string> args) {
    Bytes& err = run.io.err;
    GitArgs cursor(args);
    cursor.with_value_flags("s").expand_short_flags("SWq");
    GitRestoreRequest request;
    std::optional<bool> theirs;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            request.operands.push_back(item.text);
            continue;
        }
        const std::string& o = item.text;
        if (o == "-S" || o == "--staged") request.staged = true;
        else if (o == "-W" || o == "--worktree") request.worktree = true;
        else if (o == "-s" || o == "--source") {
            auto value = cursor.value(item.value);
            if (!value || value->empty()) {
                git_report_error(err, "--source requires a revision");
                return 129;
            }
            request.source = *value;
        } else if (o == "--ours") theirs = false;
        else if (o == "--theirs") theirs = true;
        else if (o == "-q" || o == "--quiet") {
        } else {
            git_report_error(err, fmt::format("unsupported restore option: {}", o));
            return 129;
        }
    }
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    if (theirs) return checkout_merge_stage(run, *root, *theirs, request.operands);
    if (request.operands.empty()) {
        err += "fatal: you must specify path(s) to restore\n";
        return 128;
    }
    if (!request.staged) request.worktree = true;
    return git_restore_paths(run.sys, *root, request, err);
}

}  // namespace tw
