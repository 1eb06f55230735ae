// git rm, git mv, git reset, git clean, git ls-files, git ls-tree and git cat-file.
#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "base/utf8.h"
#include "commands/git/op_state.h"
#include "commands/git/work_commands.h"
#include "commands/git/worktree_paths.h"
#include "kernel/syscall_error.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"

namespace tw {

namespace {

constexpr std::size_t kMaxRmPaths = 256;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

std::optional<std::string> id_in(const GitTree& tree, const std::string& path) {
    auto it = tree.find(path);
    if (it == tree.end()) return std::nullopt;
    return it->second.id;
}

// The blob id of a work-tree path as it is now: a link's target text, a regular file's content,
// or nothing. Fails with the exhausted status when the read cannot be paid for.
Result<std::optional<std::string>, std::int32_t> worktree_blob_id(Syscalls& sys, const std::string& absolute) {
    auto st = sys.stat("/", absolute, false);
    if (!st) return std::optional<std::string>{};
    if (st->file_type == 2) return std::optional<std::string>{git_blob_id(st->link_target.value_or(""))};
    if (!fs_is_regular_file(sys, absolute)) return std::optional<std::string>{};
    if (!sys.charge_memory(st->size)) return std::unexpected(sys.exhausted_status());
    if (!sys.charge_cpu(st->size)) {
        sys.release_memory(st->size);
        return std::unexpected(sys.exhausted_status());
    }
    auto bytes = sys.read_file("/", absolute, st->size);
    sys.release_memory(st->size);
    if (!bytes) return std::optional<std::string>{};
    return std::optional<std::string>{git_blob_id(*bytes)};
}

}  // namespace

// ---- rm ----

std::int32_t git_cmd_rm(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    GitArgs cursor(args);
    cursor.expand_short_flags("rfq");
    bool cached = false, force = false, recursive = false, quiet = false, ignore_unmatch = false;
    std::vector<std::string> operands;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        const std::string& o = item.text;
        if (item.kind == GitArgItem::Kind::Positional) operands.push_back(o);
        else if (o == "--cached") cached = true;
        else if (o == "-f" || o == "--force") force = true;
        else if (o == "-r") recursive = true;
        else if (o == "-q" || o == "--quiet") quiet = true;
        else if (o == "--ignore-unmatch") ignore_unmatch = true;
        else {
            git_report_error(err, fmt::format("unsupported rm option: {}", o));
            return 129;
        }
    }
    if (operands.empty() || operands.size() > kMaxRmPaths) {
        git_report_error(err, "git rm requires between 1 and 256 file paths");
        return 129;
    }
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    auto index = git_read_index_or_fatal(sys, *root, err);
    if (!index) return index.error();
    GitTree head = git_head_tree(sys, *root);
    MergeStages stages = git_read_merge_stages(sys, *root);
    const std::string cwd = sys.getcwd();
    std::vector<std::string> removed;
    std::set<std::string> seen;
    for (const std::string& operand : operands) {
        auto checked = git_checked_worktree_operand(cwd, *root, operand);
        if (!checked) {
            git_report_fatal(err, checked.error());
            return 128;
        }
        const std::string& path = checked->path;
        std::vector<std::string> matches = git_rm_selection(*index, path);
        if (matches.empty()) {
            if (ignore_unmatch) continue;
            err += fmt::format("fatal: pathspec '{}' did not match any files\n", operand);
            return 128;
        }
        if ((matches.size() > 1 || matches.front() != path) && !recursive) {
            err += fmt::format("fatal: not removing '{}' recursively without -r\n", operand);
            return 128;
        }
        if (matches.size() == 1 && matches.front() == path && !cached &&
            !fs_is_regular_file(sys, checked->absolute)) {
            err += fmt::format("fatal: pathspec '{}' is missing\n", operand);
            return 128;
        }
        for (const std::string& match : matches) {
            if (!force && !stages.contains(match)) {
                auto current = worktree_blob_id(sys, path_join(*root, match));
                if (!current) return current.error();
                auto staged = id_in(*index, match);
                bool clean_worktree = *current == staged;
                bool clean_index = staged == id_in(head, match);
                if (cached ? !(clean_worktree || clean_index) : !(clean_worktree && clean_index)) {
                    err += fmt::format(
                        "error: the following file has local modifications:\n    {}\n"
                        "(use --cached to keep the file, or -f to force removal)\n",
                        match);
                    return 1;
                }
            }
            if (seen.insert(match).second) removed.push_back(match);
        }
    }
    std::uint64_t charge = saturating_add(sys.disk_used(), 4096);
    if (!sys.charge_memory(charge)) return sys.exhausted_status();
    std::vector<InstallOp> batch;
    for (const std::string& path : removed) {
        std::string absolute = path_join(*root, path);
        if (!cached && fs_is_regular_file(sys, absolute)) batch.push_back(InstallOp::remove_file(absolute));
        index->erase(path);
    }
    batch.push_back(git_prepare_index_write(*root, *index));
    auto done = sys.install_files("/", std::move(batch));
    sys.release_memory(charge);
    if (!done) {
        err += fmt::format("git rm: {}\n", error_text(done.error()));
        return 1;
    }
    if (!cached)
        for (const std::string& path : removed) git_prune_empty_dirs(sys, *root, path_join(*root, path));
    if (!stages.empty()) git_clear_merge_stages_for(sys, *root, removed);
    if (!quiet)
        for (const std::string& path : removed) run.io.out += fmt::format("rm '{}'\n", path);
    return 0;
}

// ---- mv ----

std::int32_t git_cmd_mv(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    GitArgs cursor(args);
    cursor.expand_short_flags("fkv");
    bool force = false;
    std::vector<std::string> operands;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        const std::string& o = item.text;
        if (item.kind == GitArgItem::Kind::Positional) operands.push_back(o);
        else if (o == "-f" || o == "--force") force = true;
        else if (o == "-k" || o == "-v" || o == "--verbose") {
        } else {
            git_report_error(err, fmt::format("unsupported mv option: {}", o));
            return 129;
        }
    }
    if (operands.size() < 2) {
        git_report_error(err, "usage: git mv SOURCE... DESTINATION");
        return 129;
    }
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    const std::string cwd = sys.getcwd();
    auto destination = git_checked_worktree_operand(cwd, *root, operands.back());
    if (!destination) {
        git_report_fatal(err, destination.error());
        return 128;
    }
    bool into_directory = fs_is_directory(sys, destination->absolute);
    if (operands.size() > 2 && !into_directory) {
        git_report_error(err, "destination must be a directory when moving several sources");
        return 129;
    }
    auto index = git_read_index_or_fatal(sys, *root, err);
    if (!index) return index.error();
    struct Move {
        std::string from_absolute, from, to_absolute, to;
    };
    std::vector<Move> moves;
    std::set<std::string> claimed;
    for (std::size_t i = 0; i + 1 < operands.size(); ++i) {
        const std::string& operand = operands[i];
        auto source = git_checked_worktree_operand(cwd, *root, operand);
        if (!source) {
            git_report_fatal(err, source.error());
            return 128;
        }
        const std::string& s = source->path;
        bool directory = fs_is_directory(sys, source->absolute);
        std::vector<std::string> listed = directory ? git_paths_under(*index, s + "/") : std::vector<std::string>{s};
        if (listed.empty() || !std::all_of(listed.begin(), listed.end(), [&](const std::string& p) {
                return index->contains(p);
            })) {
            err += fmt::format("fatal: bad source, source={}, destination={}\n", operand, destination->path);
            return 128;
        }
        std::string base = s.substr(s.rfind('/') == std::string::npos ? 0 : s.rfind('/') + 1);
        for (const std::string& p : listed) {
            std::string target;
            if (p == s) {
                target = into_directory ? fmt::format("{}/{}", destination->path, base) : destination->path;
            } else {
                std::string rest = p.substr(s.size() + 1);
                target = into_directory ? fmt::format("{}/{}/{}", destination->path, base, rest)
                                        : fmt::format("{}/{}", destination->path, rest);
            }
            std::string target_absolute = path_join(*root, target);
            if (!force && (fs_path_exists(sys, target_absolute) || index->contains(target) || claimed.contains(target))) {
                err += fmt::format("fatal: destination exists, source={}, destination={}\n", operand, target);
                return 128;
            }
            claimed.insert(target);
            moves.push_back({path_join(*root, p), p, std::move(target_absolute), std::move(target)});
        }
    }
    std::uint64_t charge = saturating_add(sys.disk_used(), 4096);
    if (!sys.charge_memory(charge)) return sys.exhausted_status();
    auto fail = [&](std::string_view text) {
        sys.release_memory(charge);
        err += fmt::format("git mv: {}\n", text);
        return 1;
    };
    std::vector<InstallOp> batch;
    for (const Move& move : moves) {
        auto st = sys.stat("/", move.from_absolute, false);
        if (!st) return fail(error_text(st.error()));
        bool link = st->file_type == 2;
        std::optional<Bytes> content;
        if (link) content = Bytes(st->link_target.value_or(""));
        else content = git_read_worktree_file(sys, *root, move.from);
        if (!content) return fail(fmt::format("cannot read '{}'", move.from));
        if (!sys.charge_cpu(content->size())) return fail("cpu limit exceeded");
        auto [id, blob] = git_prepare_blob_write(*root, *content);
        batch.push_back(std::move(blob));
        batch.push_back(InstallOp::remove_file(move.from_absolute));
        if (auto parent = vfs_parent_path(move.to_absolute)) batch.push_back(InstallOp::create_dir_all(std::string(*parent)));
        if (link) batch.push_back(InstallOp::create_symlink(move.to_absolute, utf8_lossy(*content)));
        else batch.push_back(InstallOp::write_file(move.to_absolute, std::move(*content), st->mode & 07777));
        TreeEntry entry = index->at(move.from);
        entry.id = std::move(id);
        index->erase(move.from);
        (*index)[move.to] = entry;
    }
    batch.push_back(git_prepare_index_write(*root, *index));
    auto done = sys.install_files("/", std::move(batch));
    sys.release_memory(charge);
    if (!done) {
        err += fmt::format("git mv: {}\n", error_text(done.error()));
        return 1;
    }
    for (const Move& move : moves) git_prune_empty_dirs(sys, *root, move.from_absolute);
    return 0;
}

// ---- reset ----

std::int32_t git_cmd_reset(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& out = run.io.out;
    Bytes& err = run.io.err;
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    enum class Mode : std::uint8_t { Soft, Mixed, Hard };
    Mode mode = Mode::Mixed;
    auto [before, after] = git_split_at_dashes(args);
    GitArgs cursor(before);
    cursor.expand_short_flags("q");
    std::optional<std::string> revision;
    std::vector<std::string> paths;
    auto take_path = [&](const std::string& text) {
        if (!git_arg_is_worktree_path(sys, *root, text)) {
            git_report_ambiguous_argument(err, text);
            return false;
        }
        paths.push_back(text);
        return true;
    };
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        const std::string& o = item.text;
        if (item.kind == GitArgItem::Kind::Positional) {
            if (!revision && git_resolve_revision(sys, *root, o)) revision = o;
            else if (!take_path(o)) return 128;
        } else if (o == "--soft") mode = Mode::Soft;
        else if (o == "--mixed") mode = Mode::Mixed;
        else if (o == "--hard") mode = Mode::Hard;
        else if (o == "-q" || o == "--quiet") {
        } else {
            git_report_error(err, fmt::format("unsupported reset option: {}", o));
            return 129;
        }
    }
    for (const std::string& p : after)
        if (!take_path(p)) return 128;
    std::string text = revision.value_or("HEAD");
    auto id = git_resolve_revision(sys, *root, text);
    if (!id) {
        if (text == "HEAD") return git_write_index(sys, *root, GitTree{}) ? 1 : 0;
        git_report_ambiguous_argument(err, text);
        return 128;
    }
    auto target = git_commit_tree_or_fatal(sys, *root, *id, err);
    if (!target) return target.error();
    if (!paths.empty()) {
        if (mode != Mode::Mixed) {
            git_report_error(err, "a pathspec cannot be combined with --soft or --hard");
            return 129;
        }
        GitRestoreRequest request{text, paths, true, false};
        return git_restore_paths(sys, *root, request, err);
    }
    git_save_orig_head(sys, *root);
    git_clear_merge_state(sys, *root);
    if (mode == Mode::Hard) {
        GitTree current = git_head_tree(sys, *root);
        auto index = git_read_index_or_fatal(sys, *root, err);
        if (!index) return index.error();
        for (const auto& [path, entry] : *index) current[path] = entry;
        if (auto e = git_apply_tree_to_worktree(sys, *root, current, *target, true)) {
            err += fmt::format("git reset: {}\n", *e);
            return 1;
        }
    }
    if (mode != Mode::Soft) {
        if (auto e = git_write_index(sys, *root, *target)) {
            git_report_write_failure(err, "the index", *e);
            return 128;
        }
    }
    if (auto e = git_update_head(sys, *root, *id, fmt::format("reset: moving to {}", text))) {
        git_report_write_failure(err, "HEAD", *e);
        return 128;
    }
    if (mode == Mode::Mixed) {
        Bytes scan_err;
        if (auto scan = git_scan_worktree(sys, *root, scan_err)) {
            std::string listing;
            for (const auto& [path, entry] : *target) {
                auto it = scan->find(path);
                if (it == scan->end() || it->second != entry) listing += fmt::format("M\t{}\n", path);
            }
            if (!listing.empty()) out += "Unstaged changes after reset:\n" + listing;
        }
    } else if (mode == Mode::Hard) {
        out += fmt::format("HEAD is now at {} {}\n", git_abbrev_id(*id), git_commit_subject_of(sys, *root, *id));
    }
    return 0;
}

// ---- clean ----

std::int32_t git_cmd_clean(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    GitArgs cursor(args);
    cursor.expand_short_flags("fdnxq");
    bool force = false, dry_run = false, directories = false, ignored = false;
    std::vector<std::string> operands;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        const std::string& o = item.text;
        if (item.kind == GitArgItem::Kind::Positional) operands.push_back(o);
        else if (o == "-f" || o == "--force") force = true;
        else if (o == "-n" || o == "--dry-run") dry_run = true;
        else if (o == "-d") directories = true;
        else if (o == "-x") ignored = true;
        else if (o == "-q" || o == "--quiet") {
        } else {
            git_report_error(err, fmt::format("unsupported clean option: {}", o));
            return 129;
        }
    }
    if (!force && !dry_run) {
        err += "fatal: clean.requireForce is true and -f not given: refusing to clean\n";
        return 128;
    }
    auto index = git_read_index_or_fatal(sys, *root, err);
    if (!index) return index.error();
    auto scan = git_scan_worktree(sys, *root, err);
    if (!scan) return scan.error();
    auto rules = git_load_ignore_rules(sys, *root);
    // Without paths, a clean run in a subdirectory stays inside it.
    if (operands.empty())
        if (auto below = git_repo_relative_path(*root, sys.getcwd()); below && !git_path_is_in_git_dir(*root, sys.getcwd()))
            operands.push_back(*below);
    std::vector<std::string> candidates = git_clean_candidates(*scan, *index, rules, ignored, operands);
    std::vector<std::string> entries = git_fold_untracked(candidates, *index);
    if (!directories) std::erase_if(entries, [](const std::string& e) { return e.ends_with("/"); });
    std::sort(entries.begin(), entries.end());
    for (const std::string& entry : entries) {
        if (dry_run) {
            run.io.out += fmt::format("Would remove {}\n", entry);
            continue;
        }
        std::string absolute = path_join(*root, entry.ends_with("/") ? entry.substr(0, entry.size() - 1) : entry);
        bool removed = true;
        if (!entry.ends_with("/")) {
            removed = sys.remove("/", absolute).has_value();
        } else if (auto below = sys.walk_tree("/", absolute)) {
            std::reverse(below->begin(), below->end());
            for (const std::string& path : *below) {
                if (auto st = sys.stat("/", path, false); st && st->file_type == 1) {
                    // A directory that still holds kept (ignored) files stays.
                    auto names = sys.read_dir("/", path);
                    if (names && names->empty() && !sys.rmdir("/", path)) {
                        removed = false;
                        break;
                    }
                    continue;
                }
                // Ignored files inside an untracked directory are kept unless -x is given.
                auto rel = git_repo_relative_path(*root, path);
                if (!ignored && rel && git_is_ignored(rules, *rel)) continue;
                if (!sys.remove("/", path)) {
                    removed = false;
                    break;
                }
            }
        } else {
            removed = false;
        }
        if (removed) run.io.out += fmt::format("Removing {}\n", entry);
        else err += fmt::format("warning: failed to remove {}\n", entry);
    }
    return 0;
}

// ---- ls-files ----

std::int32_t git_cmd_ls_files(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& out = run.io.out;
    Bytes& err = run.io.err;
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    GitArgs cursor(args);
    cursor.expand_short_flags("cmdosuziv");
    bool cached = false, modified = false, deleted = false, others = false, stage = false, unmerged = false;
    bool exclude_standard = false, only_ignored = false, tagged = false, error_unmatch = false, nul = false;
    std::vector<std::string> specs;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        const std::string& o = item.text;
        if (item.kind == GitArgItem::Kind::Positional) specs.push_back(o);
        else if (o == "-c" || o == "--cached") cached = true;
        else if (o == "-m" || o == "--modified") modified = true;
        else if (o == "-d" || o == "--deleted") deleted = true;
        else if (o == "-o" || o == "--others") others = true;
        else if (o == "-s" || o == "--stage") stage = true;
        else if (o == "-u" || o == "--unmerged") unmerged = true;
        else if (o == "--exclude-standard") exclude_standard = true;
        else if (o == "-i" || o == "--ignored") only_ignored = true;
        else if (o == "-v") tagged = true;
        else if (o == "--error-unmatch") error_unmatch = true;
        else if (o == "--full-name") {
        } else if (o == "-z") nul = true;
        else {
            git_report_error(err, fmt::format("unsupported ls-files option: {}", o));
            return 129;
        }
    }
    if (only_ignored && !(exclude_standard && (others || cached))) {
        git_report_error(err, "--ignored requires --exclude-standard and --others or --cached");
        return 129;
    }
    const char end = nul ? '\0' : '\n';
    if (unmerged) {
        for (const auto& [path, ids] : git_read_merge_stages(sys, *root)) {
            if (!git_pathspec_matches_any(specs, path)) continue;
            const std::optional<std::string>* sides[] = {&ids.base, &ids.ours, &ids.theirs};
            for (int s = 0; s < 3; ++s) {
                if (!sides[s]->has_value()) continue;
                if (tagged) out += "M ";
                out += fmt::format("100644 {} {}\t{}", **sides[s], s + 1, path);
                out.push_back(end);
            }
        }
        return 0;
    }
    GitTree index = git_read_index(sys, *root).value_or(GitTree{});
    GitTree scan;
    if (modified || deleted || others) {
        auto scanned = git_scan_worktree(sys, *root, err);
        if (!scanned) return scanned.error();
        scan = std::move(*scanned);
    }
    std::vector<IgnoreRule> rules;
    if (exclude_standard && (only_ignored || others)) rules = git_load_ignore_rules(sys, *root);
    auto is_ignored = [&](const std::string& p) { return !rules.empty() && git_is_ignored(rules, p); };
    std::set<std::string> listed;
    if (cached || !(modified || deleted || others))
        for (const auto& [path, entry] : index)
            if (!only_ignored || is_ignored(path)) listed.insert(path);
    for (const auto& [path, entry] : index) {
        auto it = scan.find(path);
        if (modified && it != scan.end() && it->second != entry) listed.insert(path);
        if (deleted && it == scan.end()) listed.insert(path);
    }
    if (others)
        for (const auto& [path, entry] : scan)
            if (!index.contains(path) && is_ignored(path) == only_ignored) listed.insert(path);
    std::string prefix;
    if (auto below = git_repo_relative_path(*root, sys.getcwd())) prefix = *below + "/";
    bool any = false;
    for (const std::string& path : listed) {
        if (!path.starts_with(prefix)) continue;
        std::string shown = path.substr(prefix.size());
        if (!git_pathspec_matches_any(specs, shown)) continue;
        any = true;
        auto entry = index.find(path);
        if (tagged) out += entry != index.end() ? "H " : "? ";
        if (stage)
            out += entry != index.end() ? fmt::format("{} {} 0\t", git_entry_mode(entry->second), entry->second.id)
                                        : std::string("100644  0\t");
        out += shown;
        out.push_back(end);
    }
    if (error_unmatch && !any) {
        err += "error: pathspec did not match any files\n";
        return 1;
    }
    return 0;
}

// ---- ls-tree ----

std::int32_t git_cmd_ls_tree(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& out = run.io.out;
    Bytes& err = run.io.err;
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    GitArgs cursor(args);
    cursor.expand_short_flags("rd");
    bool recursive = false, dirs_only = false, names_only = false;
    std::vector<std::string> operands;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        const std::string& o = item.text;
        if (item.kind == GitArgItem::Kind::Positional) operands.push_back(o);
        else if (o == "-r") recursive = true;
        else if (o == "-d") dirs_only = true;
        else if (o == "--name-only" || o == "--name-status") names_only = true;
        else if (o == "--full-name") {
        } else {
            git_report_error(err, fmt::format("unsupported ls-tree option: {}", o));
            return 129;
        }
    }
    if (operands.empty()) {
        git_report_error(err, "usage: git ls-tree [-r] [--name-only] REVISION [PATH...]");
        return 129;
    }
    auto id = git_resolve_revision(sys, *root, operands[0]);
    if (!id) {
        git_report_ambiguous_argument(err, operands[0]);
        return 128;
    }
    GitTree tree = git_read_commit_tree(sys, *root, *id).value_or(GitTree{});
    std::string prefix = operands.size() > 1 ? operands[1] : std::string();
    while (prefix.ends_with("/")) prefix.pop_back();
    std::map<std::string, std::optional<TreeEntry>> listing;  // no entry: a directory
    for (const auto& [path, entry] : tree) {
        std::string_view rest = path;
        if (!prefix.empty()) {
            if (!(path.size() > prefix.size() + 1 && path.starts_with(prefix) && path[prefix.size()] == '/')) continue;
            rest.remove_prefix(prefix.size() + 1);
        }
        std::size_t slash = rest.find('/');
        if (slash == std::string_view::npos || recursive) {
            listing[path] = entry;
        } else {
            std::string dir(rest.substr(0, slash));
            listing[prefix.empty() ? dir : fmt::format("{}/{}", prefix, dir)] = std::nullopt;
        }
    }
    for (const auto& [name, entry] : listing) {
        if (dirs_only && entry) continue;
        if (names_only) {
            out += name + "\n";
        } else if (entry) {
            out += fmt::format("{} blob {}\t{}\n", git_entry_mode(*entry), entry->id, name);
        } else {
            GitTree sub;
            for (auto& [rest, e] : git_subtree_entries(tree, name + "/")) sub.emplace(std::move(rest), e);
            out += fmt::format("040000 tree {}\t{}\n", git_tree_object_id(sub), name);
        }
    }
    return 0;
}

// ---- cat-file ----

std::int32_t git_cmd_cat_file(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& out = run.io.out;
    Bytes& err = run.io.err;
    auto root = git_worktree_or_report(run);
    if (!root) return 128;
    GitArgs cursor(args);
    std::optional<char> mode;
    std::optional<std::string> object;
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        const std::string& o = item.text;
        if (item.kind == GitArgItem::Kind::Positional) object = o;
        else if (o == "-p" || o == "-t" || o == "-s" || o == "-e") mode = o[1];
        else {
            git_report_error(err, fmt::format("unsupported cat-file option: {}", o));
            return 129;
        }
    }
    if (!mode || !object) {
        git_report_error(err, "usage: git cat-file (-p|-t|-s|-e) OBJECT");
        return 129;
    }
    std::optional<std::string> candidate;
    if (object->find(':') != std::string::npos) {
        if (auto spec = git_resolve_blob_spec(sys, *root, *object); spec && !spec->second.empty())
            candidate = id_in(spec->first, git_user_path_to_repo_path(*root, *root, spec->second));
    } else if (object->size() == 40 && std::all_of(object->begin(), object->end(), [](char c) {
                   return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
               })) {
        candidate = *object;
    }
    if (candidate) {
        if (auto blob = git_read_object(sys, *root, *candidate)) {
            if (*mode == 't') out += "blob\n";
            else if (*mode == 's') out += fmt::format("{}\n", blob->size());
            else if (*mode == 'p') out += *blob;
            return 0;
        }
    }
    auto id = object->find(':') == std::string::npos ? git_resolve_revision(sys, *root, *object) : std::nullopt;
    auto commit = id ? git_read_commit(sys, *root, *id) : std::nullopt;
    if (!commit) {
        err += fmt::format("fatal: Not a valid object name {}\n", *object);
        return 128;
    }
    auto tree = git_read_commit_tree(sys, *root, *id);
    std::string text = fmt::format("tree {}\n", git_tree_object_id(tree.value_or(GitTree{})));
    for (const std::string& parent : commit->parents) text += fmt::format("parent {}\n", parent);
    std::string identity = fmt::format("{} <{}> {} +0000", commit->author_name, commit->author_email, commit->time);
    text += fmt::format("author {}\ncommitter {}\n\n{}\n", identity, identity, commit->message);
    std::string_view tag_name = *object;
    if (tag_name.starts_with("refs/tags/")) tag_name.remove_prefix(10);
    bool tag = tag_name.find("..") == std::string_view::npos && git_read_tag_annotation(sys, *root, tag_name);
    if (*mode == 't') out += tag ? "tag\n" : "commit\n";
    else if (*mode == 's') out += fmt::format("{}\n", text.size());
    else if (*mode == 'p') out += text;
    return 0;
}

}  // namespace tw
