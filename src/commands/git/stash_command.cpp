// `git stash`: the uncommitted work tree and index saved as two trees beside a list file
// (.git/stash-list, newest first), and brought back with a three-way merge.
#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "base/utf8.h"
#include "commands/git/history_commands.h"
#include "commands/git/merge.h"
#include "commands/git/tree_diff.h"
#include "commands/git/worktree_paths.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

struct StashEntry {
    std::uint64_t id = 0;
    std::string base;
    std::string branch;
    std::string message;
};

std::string stash_list_path(std::string_view root) { return git_path(root, "stash-list"); }

std::string stash_file_path(std::string_view root, std::uint64_t id, std::string_view kind) {
    return git_path(root, fmt::format("stash/{}.{}", id, kind));
}

std::vector<StashEntry> read_stash_list(Syscalls& sys, std::string_view root) {
    std::vector<StashEntry> entries;
    auto bytes = git_read_file(sys, stash_list_path(root));
    if (!bytes) return entries;
    const std::string text = utf8_lossy(*bytes);
    for (std::string_view line : split_lines(text)) {
        std::vector<std::string_view> fields;
        while (fields.size() < 3) {
            std::size_t tab = line.find('\t');
            if (tab == std::string_view::npos) break;
            fields.push_back(line.substr(0, tab));
            line.remove_prefix(tab + 1);
        }
        if (fields.size() < 2) continue;
        // The fourth field (the message) may itself hold tabs; without a third tab the rest of
        // the line is the branch and the message is empty.
        std::string_view branch = fields.size() == 3 ? fields[2] : line;
        std::string_view message = fields.size() == 3 ? line : std::string_view();
        auto id = parse_decimal_u64(fields[0]);
        if (!id) continue;
        entries.push_back({*id, std::string(fields[1]), std::string(branch), std::string(message)});
    }
    return entries;
}

bool save_stash_list(Syscalls& sys, std::string_view root, const std::vector<StashEntry>& entries) {
    std::string text;
    for (const StashEntry& e : entries) text += fmt::format("{}\t{}\t{}\t{}\n", e.id, e.base, e.branch, e.message);
    return !git_write_file(sys, stash_list_path(root), std::move(text));
}

std::optional<GitTree> read_stash_tree(Syscalls& sys, std::string_view root, std::uint64_t id, std::string_view kind) {
    auto bytes = git_read_file(sys, stash_file_path(root, id, kind));
    if (!bytes) return std::nullopt;
    return git_parse_tree(*bytes);
}

// "N" or "stash@{N}"; no argument is the newest stash.
std::optional<std::size_t> parse_stash_ref(const std::optional<std::string>& arg) {
    if (!arg) return 0;
    std::string_view text = *arg;
    if (text.starts_with("stash@{") && text.ends_with("}")) text = text.substr(7, text.size() - 8);
    auto n = parse_decimal_u64(text);
    if (!n || *n > SIZE_MAX) return std::nullopt;
    return static_cast<std::size_t>(*n);
}

// A stored message is one line: line breaks become spaces.
std::string one_line(std::string text) {
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

const TreeEntry* find_entry(const GitTree& tree, const std::string& path) {
    auto it = tree.find(path);
    return it == tree.end() ? nullptr : &it->second;
}

bool same_entry(const TreeEntry* a, const TreeEntry* b) { return a == b || (a && b && *a == *b); }

struct StashRun {
    GitRun& run;
    std::string root;
    std::optional<std::string> message;
    bool include_untracked = false;
    bool patch = false;
};

std::int32_t stash_push(StashRun& s) {
    Syscalls& sys = s.run.sys;
    Bytes& err = s.run.io.err;
    const std::string& root = s.root;
    auto head = git_resolve_head(sys, root);
    if (!head) {
        err += "fatal: You do not have the initial commit yet\n";
        return 128;
    }
    if (MergeStages stages = git_read_merge_stages(sys, root); !stages.empty()) {
        for (const auto& [path, ids] : stages) err += fmt::format("{}: needs merge\n", path);
        err += "error: could not write index\n";
        return 1;
    }
    auto state = git_load_worktree_state(sys, root, err);
    if (!state) return state.error();
    if (!s.include_untracked)
        std::erase_if(state->scan, [&](const auto& item) {
            return !state->index.contains(item.first) && !state->head.contains(item.first);
        });
    if (state->scan == state->head && state->index == state->head) {
        s.run.io.out += "No local changes to save\n";
        return 0;
    }
    for (const auto& [path, entry] : state->scan) {
        // Contents of the index and HEAD are in the store already.
        if (same_entry(&entry, find_entry(state->index, path)) || same_entry(&entry, find_entry(state->head, path)))
            continue;
        // A file that cannot be saved is not reset either: the push stops before any change.
        auto content = git_read_worktree_file(sys, root, path);
        if (!content) {
            git_report_write_failure(err, "the object", fmt::format("cannot read '{}'", path));
            return 128;
        }
        if (auto id = git_write_blob(sys, root, *content); !id) {
            git_report_write_failure(err, "the object", id.error());
            return 128;
        }
    }
    const std::string branch = git_current_branch(sys, root).value_or("HEAD");
    std::string message =
        s.message ? fmt::format("On {}: {}", branch, *s.message)
                  : fmt::format("WIP on {}: {} {}", branch, git_abbrev_id(*head), git_commit_subject_of(sys, root, *head));
    message = one_line(std::move(message));
    std::vector<StashEntry> entries = read_stash_list(sys, root);
    std::uint64_t id = 1;
    for (const StashEntry& e : entries) id = std::max(id, e.id + 1);
    if (auto e = git_write_file(sys, stash_file_path(root, id, "work"), git_format_tree(state->scan))) {
        git_report_write_failure(err, "the stash entry", *e);
        return 128;
    }
    if (auto e = git_write_file(sys, stash_file_path(root, id, "index"), git_format_tree(state->index))) {
        git_report_write_failure(err, "the stash entry", *e);
        return 128;
    }
    entries.insert(entries.begin(), StashEntry{id, *head, branch, message});
    if (!save_stash_list(sys, root, entries)) return 1;
    GitTree old_tree = state->head;
    for (const GitTree* t : {&state->index, &state->scan})
        for (const auto& [path, entry] : *t) old_tree[path] = entry;
    if (auto e = git_apply_tree_to_worktree(sys, root, old_tree, state->head, true)) {
        err += fmt::format("git stash: {}\n", *e);
        return 1;
    }
    if (auto e = git_write_index(sys, root, state->head)) {
        git_report_write_failure(err, "the index", *e);
        return 128;
    }
    s.run.io.out += fmt::format("Saved working directory and index state {}\n", message);
    return 0;
}

// The entry at a validated position, or the status after the message.
Result<std::size_t, std::int32_t> stash_position(StashRun& s, const std::optional<std::string>& arg,
                                                 std::string_view usage, std::size_t count) {
    auto position = parse_stash_ref(arg);
    if (!position) {
        git_report_error(s.run.io.err, usage);
        return std::unexpected(129);
    }
    if (*position >= count) {
        s.run.io.err += fmt::format("fatal: stash@{{{}}} is not a valid reference\n", *position);
        return std::unexpected(128);
    }
    return *position;
}

std::int32_t stash_drop_at(StashRun& s, std::vector<StashEntry> entries, std::size_t position) {
    Syscalls& sys = s.run.sys;
    const StashEntry entry = entries[position];
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(position));
    auto tree_id = [&](std::string_view kind) {
        auto tree = read_stash_tree(sys, s.root, entry.id, kind);
        return tree ? git_tree_object_id(*tree) : std::string();
    };
    const std::string hash = git_sha1_hex(fmt::format("stash {} {} {}", entry.base, tree_id("work"), tree_id("index")));
    if (!save_stash_list(sys, s.root, entries)) return 1;
    s.run.io.out += fmt::format("Dropped refs/stash@{{{}}} ({})\n", position, hash);
    return 0;
}

std::int32_t stash_show(StashRun& s, const std::optional<std::string>& arg) {
    Syscalls& sys = s.run.sys;
    std::vector<StashEntry> entries = read_stash_list(sys, s.root);
    auto position = stash_position(s, arg, "usage: git stash show [-p] [stash@{N}]", entries.size());
    if (!position) return position.error();
    const StashEntry& entry = entries[*position];
    auto work = read_stash_tree(sys, s.root, entry.id, "work");
    if (!work) {
        s.run.io.err += "fatal: the stash entry is unreadable\n";
        return 128;
    }
    GitTree base = git_read_commit_tree(sys, s.root, entry.base).value_or(GitTree{});
    GitDiffOptions options;
    options.format = s.patch ? DiffFormat::Patch : DiffFormat::Stat;
    git_compare_trees(sys, s.root, base, *work, options, s.run.io.out);
    return 0;
}

std::int32_t stash_apply(StashRun& s, const std::optional<std::string>& arg, bool pop) {
    Syscalls& sys = s.run.sys;
    Bytes& err = s.run.io.err;
    const std::string& root = s.root;
    std::vector<StashEntry> entries = read_stash_list(sys, root);
    auto position = stash_position(s, arg, "usage: git stash pop [stash@{N}]", entries.size());
    if (!position) return position.error();
    const StashEntry& entry = entries[*position];
    auto work = read_stash_tree(sys, root, entry.id, "work");
    auto index_part = read_stash_tree(sys, root, entry.id, "index");
    if (!work || !index_part) {
        err += "fatal: the stash entry is unreadable\n";
        return 128;
    }
    auto base = git_commit_tree_or_fatal(sys, root, entry.base, err);
    if (!base) return base.error();
    auto scan = git_scan_worktree(sys, root, err);
    if (!scan) return scan.error();
    // The merge reads our side from the store: local contents new to it are recorded first.
    for (const auto& [path, e] : *scan) {
        if (same_entry(&e, find_entry(*base, path)) || same_entry(&e, find_entry(*work, path))) continue;
        auto content = git_read_worktree_file(sys, root, path);
        if (!content || !git_write_blob(sys, root, *content)) {
            err += fmt::format("git stash: cannot record '{}'\n", path);
            return 1;
        }
    }
    auto index = git_read_index_or_fatal(sys, root, err);
    if (!index) return index.error();
    std::set<std::string> paths;
    for (const GitTree* t : {&*work, &*base})
        for (const auto& [path, e] : *t) paths.insert(path);
    std::vector<std::string> local;
    for (const std::string& path : paths)
        if (!same_entry(find_entry(*work, path), find_entry(*base, path)) &&
            !same_entry(find_entry(*scan, path), find_entry(*index, path)))
            local.push_back(path);
    if (!local.empty()) {
        err += "error: Your local changes to the following files would be overwritten by merge:\n";
        for (const std::string& path : local) err += fmt::format("\t{}\n", path);
        err += "Please commit your changes or stash them before you merge.\nAborting\n"
               "The stash entry is kept in case you need it again.\n";
        return 1;
    }
    auto merged = git_merge_trees(sys, root, *base, *scan, *work, "Updated upstream", "Stashed changes");
    if (!merged) {
        git_report_write_failure(err, merged.error().path, merged.error().error);
        return 128;
    }
    if (auto e = git_apply_tree_to_worktree(sys, root, *scan, merged->tree, false)) {
        err += fmt::format("git stash: {}\n", *e);
        return 1;
    }
    auto current = git_read_index_or_fatal(sys, root, err);
    if (!current) return current.error();
    for (const auto& [path, e] : merged->tree)
        if (!current->contains(path) && index_part->contains(path)) (*current)[path] = e;
    if (auto e = git_write_index(sys, root, *current)) {
        git_report_write_failure(err, "the index", *e);
        return 128;
    }
    if (!merged->stages.empty()) {
        for (const auto& [path, ids] : merged->stages) err += fmt::format("CONFLICT (content): Merge conflict in {}\n", path);
        if (!git_write_merge_stages(sys, root, merged->stages)) {
            err += "fatal: unable to record the conflicted state\n";
            return 128;
        }
        err += "The stash entry is kept in case you need it again.\n";
        return 1;
    }
    (void)git_cmd_status(s.run, {});
    if (!pop) return 0;
    return stash_drop_at(s, std::move(entries), *position);
}

}  // namespace

std::int32_t git_cmd_stash(GitRun& run, std::span<const std::string> args) {
    Bytes& err = run.io.err;
    auto found = git_worktree_or_report(run);
    if (!found) return 128;
    StashRun s{run, *found};
    bool quiet = false;
    std::vector<std::string> positionals;
    GitArgs cursor(args);
    cursor.with_value_flags("m").expand_short_flags("qum");
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            positionals.push_back(item.text);
            continue;
        }
        const std::string& o = item.text;
        if (o == "-u" || o == "--include-untracked") s.include_untracked = true;
        else if (o == "-q" || o == "--quiet") quiet = true;
        else if (o == "-p" || o == "--patch") s.patch = true;
        else if (o == "--no-keep-index") continue;
        else if (o == "-m" || o == "--message") {
            auto value = cursor.value(item.value);
            if (!value) {
                git_report_error(err, "-m requires a message");
                return 129;
            }
            s.message = *value;
        } else {
            git_report_error(err, fmt::format("unsupported stash option: {}", o));
            return 129;
        }
    }
    const std::string command = positionals.empty() ? "push" : positionals.front();
    std::optional<std::string> reference;
    if (positionals.size() > 1) reference = positionals[1];
    const std::size_t out_mark = run.io.out.size();
    std::int32_t status = 0;
    if (command == "push" || command == "save") {
        status = stash_push(s);
    } else if (command == "list") {
        std::vector<StashEntry> entries = read_stash_list(run.sys, s.root);
        for (std::size_t i = 0; i < entries.size(); ++i)
            run.io.out += fmt::format("stash@{{{}}}: {}\n", i, entries[i].message);
    } else if (command == "show") {
        if (reference && reference->starts_with("-")) reference.reset();
        status = stash_show(s, reference);
    } else if (command == "pop" || command == "apply") {
        status = stash_apply(s, reference, command == "pop");
    } else if (command == "drop") {
        std::vector<StashEntry> entries = read_stash_list(run.sys, s.root);
        auto position = stash_position(s, reference, "usage: git stash drop [stash@{N}]", entries.size());
        status = position ? stash_drop_at(s, std::move(entries), *position) : position.error();
    } else if (command == "clear") {
        status = save_stash_list(run.sys, s.root, {}) ? 0 : 1;
    } else {
        git_report_error(err, fmt::format("unsupported stash command: {}", command));
        return 129;
    }
    if (quiet) run.io.out.resize(out_mark);
    return status;
}

}  // namespace tw
