// `git apply`: statistics of a patch, application to the work tree through the patch engine, to
// the index alone (--cached) or to both (--index), and the reversed patch (-R).
#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "commands/diff/patch_command.h"
#include "commands/diff/patch_model.h"
#include "commands/git/history_commands.h"
#include "commands/git/tree_diff.h"
#include "commands/util/text.h"
#include "kernel/syscall_error.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"

namespace tw {

namespace {

struct ApplyFlags {
    bool index = false;
    bool cached = false;
    bool reverse = false;
    std::optional<std::string> statistics;
    std::vector<std::string> remaining;
};

struct ApplyStatRow {
    std::string name;
    std::uint64_t added = 0;
    std::uint64_t removed = 0;
};

// The patch named by the first argument that is not an option, else the standard input.
std::optional<Bytes> read_patch(GitRun& run, const std::vector<std::string>& remaining) {
    auto named = std::find_if(remaining.begin(), remaining.end(), [](const std::string& a) { return !a.starts_with("-"); });
    if (named == remaining.end()) return run.io.in;
    std::string path = path_join_normalize(run.sys.getcwd(), *named);
    auto bytes = run.sys.read_file("/", path, kMaxPatchBytes);
    if (!bytes) {
        run.io.err += fmt::format("error: can't open patch '{}': No such file or directory\n", *named);
        return std::nullopt;
    }
    return std::move(*bytes);
}

// The name of a "--- " or "+++ " header: up to the first tab, without its first component.
std::string header_name(std::string_view rest) {
    rest = rest.substr(0, rest.find('\t'));
    if (auto slash = rest.find('/'); slash != std::string_view::npos) rest.remove_prefix(slash + 1);
    return std::string(rest);
}

std::vector<ApplyStatRow> patch_stat_rows(std::string_view text) {
    std::vector<ApplyStatRow> rows;
    std::optional<std::string> old_name;
    // Lines count toward the file opened last; a file without a name on either side opens none,
    // and its lines count for nothing.
    bool counting = false;
    for (std::string_view line : split_lines(text)) {
        if (line.starts_with("--- ")) {
            old_name = header_name(line.substr(4));
            continue;
        }
        if (line.starts_with("+++ ")) {
            std::string name = header_name(line.substr(4));
            // A deleted file is named by its "--- " line.
            if (name == "dev/null") name = old_name && *old_name != "dev/null" ? *old_name : std::string();
            old_name.reset();
            counting = !name.empty();
            if (counting) rows.push_back({std::move(name), 0, 0});
            continue;
        }
        if (!counting || line.starts_with("+++") || line.starts_with("---")) continue;
        if (line.starts_with("+")) ++rows.back().added;
        else if (line.starts_with("-")) ++rows.back().removed;
    }
    return rows;
}

std::int32_t apply_statistics(GitRun& run, const ApplyFlags& flags) {
    auto text = read_patch(run, flags.remaining);
    if (!text) return 128;
    const std::vector<ApplyStatRow> rows = patch_stat_rows(*text);
    Bytes& out = run.io.out;
    if (*flags.statistics == "--numstat") {
        for (const ApplyStatRow& r : rows) out += fmt::format("{}\t{}\t{}\n", r.added, r.removed, r.name);
    } else if (*flags.statistics == "--stat") {
        std::size_t width = 0;
        std::uint64_t added = 0, removed = 0;
        for (const ApplyStatRow& r : rows) width = std::max(width, r.name.size());
        for (const ApplyStatRow& r : rows) {
            out += fmt::format(" {:<{}} | {:>4} {}{}\n", r.name, width, r.added + r.removed, std::string(r.added, '+'),
                               std::string(r.removed, '-'));
            added += r.added;
            removed += r.removed;
        }
        out += git_diffstat_summary(rows.size(), added, removed);
    }
    return 0;
}

// The patch turned around: old and new names, hunk ranges and added and removed lines swapped.
std::string reverse_patch(std::string_view text) {
    std::vector<std::string_view> lines = split_lines(text);
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        if (line.starts_with("--- ") && i + 1 < lines.size() && lines[i + 1].starts_with("+++ ")) {
            out += fmt::format("--- {}\n+++ {}\n", lines[i + 1].substr(4), line.substr(4));
            ++i;
        } else if (line.starts_with("@@ ")) {
            std::string_view rest = line.substr(3);
            std::size_t close = rest.find(" @@");
            std::size_t space = close == std::string_view::npos ? close : rest.substr(0, close).find(' ');
            if (space == std::string_view::npos) {
                out += line;
                out += '\n';
                continue;
            }
            std::string_view old_range = rest.substr(0, space);
            std::string_view new_range = rest.substr(space + 1, close - space - 1);
            while (old_range.starts_with('-')) old_range.remove_prefix(1);
            while (new_range.starts_with('+')) new_range.remove_prefix(1);
            out += fmt::format("@@ -{} +{} @@{}\n", new_range, old_range, rest.substr(close + 3));
        } else if (line.starts_with("+")) {
            out += fmt::format("-{}\n", line.substr(1));
        } else if (line.starts_with("-")) {
            out += fmt::format("+{}\n", line.substr(1));
        } else {
            out += line;
            out += '\n';
        }
    }
    return out;
}

std::string without_patch_prefix(std::string_view message) {
    if (message.starts_with("patch: ")) message.remove_prefix(7);
    return std::string(message);
}

// The path's entry becomes the blob, with the flags of its previous index entry (plain flags when
// it had none).
void set_keeping_flags(GitTree& updated, const GitTree& index, const std::string& path, std::string id) {
    TreeEntry entry;
    if (auto previous = index.find(path); previous != index.end()) entry = previous->second;
    entry.id = std::move(id);
    updated[path] = std::move(entry);
}

struct IndexChange {
    std::string path;
    std::optional<std::string> content;  // absent: removed
};

Result<std::vector<IndexChange>, std::string> cached_changes(GitRun& run, std::string_view root, std::string_view text,
                                                             std::uint64_t strip, const GitTree& base) {
    const std::string cwd = run.sys.getcwd();
    auto parsed = text.starts_with("*** Begin Patch") ? patch_parse_envelope(text) : patch_parse_unified(text, strip);
    if (!parsed) return std::unexpected(parsed.error());
    std::vector<IndexChange> changes;
    for (const FilePatch& patch : *parsed) {
        if (!patch.old_path && !patch.new_path)
            return std::unexpected(std::string("patch has neither source nor destination"));
        std::string old_content;
        if (patch.old_path) {
            const std::string& source = *patch.old_path;
            auto path = git_repo_relative_path(root, path_join_normalize(cwd, source));
            if (!path) return std::unexpected(fmt::format("{}: outside the repository", source));
            auto entry = base.find(*path);
            if (entry == base.end()) return std::unexpected(fmt::format("{}: no such file", source));
            auto blob = git_read_object(run.sys, root, entry->second.id);
            if (!blob) return std::unexpected(fmt::format("{}: object missing", source));
            old_content.assign(blob->begin(), blob->end());
        }
        if (!run.sys.charge_cpu(old_content.size())) return std::unexpected(std::string("resource limit exceeded"));
        auto updated = patch_apply_file(old_content, patch);
        if (!updated) return std::unexpected(updated.error());
        if (!patch.new_path) {
            if (!patch.hunks.empty() && !updated->empty())
                return std::unexpected(
                    fmt::format("deletion patch for '{}' does not remove all content", *patch.old_path));
            changes.push_back({*patch.old_path, std::nullopt});
            continue;
        }
        changes.push_back({*patch.new_path, std::move(*updated)});
        if (patch.old_path && *patch.old_path != *patch.new_path) changes.push_back({*patch.old_path, std::nullopt});
    }
    return changes;
}

std::int32_t apply_cached(GitRun& run, const ApplyFlags& flags) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    auto found = git_worktree_or_report(run);
    if (!found) return 128;
    const std::string& root = *found;
    auto index = git_read_index_or_fatal(sys, root, err);
    if (!index) return index.error();
    auto text = read_patch(run, flags.remaining);
    if (!text) return 128;
    std::optional<std::uint64_t> strip;
    bool check = false;
    for (const std::string& arg : flags.remaining) {
        if (arg == "--check") check = true;
        if (!strip && arg.starts_with("-p")) strip = parse_decimal_u64(std::string_view(arg).substr(2));
    }
    if (!sys.charge_cpu(text->size())) return sys.exhausted_status();
    GitTree base = git_head_tree(sys, root);
    for (const auto& [path, entry] : *index) base[path] = entry;
    auto changes = cached_changes(run, root, *text, strip.value_or(1), base);
    if (!changes) {
        err += fmt::format("error: {}\nerror: patch does not apply\n", without_patch_prefix(changes.error()));
        return 1;
    }
    const std::string cwd = sys.getcwd();
    GitTree updated = *index;
    std::vector<InstallOp> ops;
    for (const IndexChange& change : *changes) {
        auto path = git_repo_relative_path(root, path_join_normalize(cwd, change.path));
        if (!path) {
            err += fmt::format("error: {}: outside the repository\n", change.path);
            return 1;
        }
        if (!change.content) {
            updated.erase(*path);
            continue;
        }
        auto [id, op] = git_prepare_blob_write(root, *change.content);
        ops.push_back(std::move(op));
        set_keeping_flags(updated, *index, *path, std::move(id));
    }
    // A check tells whether the patch applies and changes nothing.
    if (check) return 0;
    ops.push_back(git_prepare_index_write(root, updated));
    if (auto installed = sys.install_files("/", std::move(ops)); !installed) {
        err += fmt::format("git apply: {}\n", error_text(installed.error()));
        return 1;
    }
    return 0;
}

std::int32_t apply_via_patch_command(GitRun& run, const std::vector<std::string>& remaining) {
    bool check = false;
    std::string strip = "-p1";
    std::vector<std::string> operands;
    for (const std::string& arg : remaining) {
        if (arg == "--check") check = true;
        else if (arg == "-v" || arg == "--verbose" || arg == "--3way" || arg == "--whitespace=nowarn" || arg == "-")
            continue;
        else if (arg.starts_with("-p")) strip = arg;
        else if (arg.starts_with("--unsafe-paths")) continue;
        else if (arg.starts_with("-")) {
            run.io.err += fmt::format("git: unsupported apply option: {}\n", arg);
            return 2;
        } else {
            operands.push_back(arg);
        }
    }
    // The patch files are read here, so that an unreadable one is reported like git does; their
    // texts reach the patch engine as one input.
    Bytes input;
    for (const std::string& operand : operands) {
        auto text = read_patch(run, {operand});
        if (!text) return 128;
        input += *text;
    }
    Bytes& patch_input = operands.empty() ? run.io.in : input;
    std::vector<std::string> patch_args = {strip};
    Bytes collected;
    CommandIo io{patch_input, run.io.out, collected};
    std::uint32_t status = patch_command_run(run.sys, patch_args, io, false, run.sys.getcwd(), check);
    if (status == 0) {
        run.io.err += collected;
        return 0;
    }
    for (std::string_view line : split_lines(collected))
        run.io.err += fmt::format("error: {}\n", without_patch_prefix(line));
    run.io.err += "error: patch does not apply\n";
    return static_cast<std::int32_t>(status);
}

std::int32_t apply_index(GitRun& run, const ApplyFlags& flags) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    auto found = git_worktree_or_report(run);
    if (!found) return 128;
    const std::string& root = *found;
    auto before = git_scan_worktree(sys, root, err);
    if (!before) return before.error();
    if (std::int32_t s = apply_via_patch_command(run, flags.remaining)) return s;
    auto after = git_scan_worktree(sys, root, err);
    if (!after) return after.error();
    auto index = git_read_index_or_fatal(sys, root, err);
    if (!index) return index.error();
    std::set<std::string> paths;
    for (const GitTree* t : {&*before, &*after})
        for (const auto& [p, e] : *t) paths.insert(p);
    GitTree updated = *index;
    for (const std::string& path : paths) {
        auto b = before->find(path);
        auto a = after->find(path);
        bool same = b != before->end() && a != after->end() && b->second == a->second;
        if (same) continue;
        if (a == after->end()) {
            updated.erase(path);
            continue;
        }
        auto content = git_read_worktree_file(sys, root, path);
        if (!content) continue;
        auto id = git_write_blob(sys, root, *content);
        if (!id) {
            err += fmt::format("git apply: {}\n", id.error());
            return 1;
        }
        set_keeping_flags(updated, *index, path, std::move(*id));
    }
    if (auto e = git_write_index(sys, root, updated)) {
        git_report_write_failure(err, "the index", *e);
        return 128;
    }
    return 0;
}

}  // namespace

std::int32_t git_cmd_apply(GitRun& run, std::span<const std::string> args) {
    ApplyFlags flags;
    for (const std::string& arg : args) {
        if (arg == "--index") flags.index = true;
        else if (arg == "--cached") flags.cached = flags.index = true;
        else if (arg == "-R" || arg == "--reverse") flags.reverse = true;
        else if (arg == "--stat" || arg == "--numstat" || arg == "--summary") flags.statistics = arg;
        else flags.remaining.push_back(arg);
    }
    if (flags.statistics) return apply_statistics(run, flags);
    if (flags.reverse) {
        auto text = read_patch(run, flags.remaining);
        if (!text) return 128;
        run.io.in = Bytes(reverse_patch(*text));
        std::erase_if(flags.remaining, [](const std::string& a) { return !a.starts_with("-"); });
    }
    if (flags.cached) return apply_cached(run, flags);
    if (flags.index) return apply_index(run, flags);
    return apply_via_patch_command(run, flags.remaining);
}

}  // namespace tw
