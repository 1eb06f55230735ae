#include "commands/git/tree_diff.h"

#include <fmt/format.h>

#include <algorithm>

#include "base/sat.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

struct RenamePair {
    std::string from;
    std::string to;
};

struct DiffStatRow {
    std::string name;
    std::uint64_t insertions = 0;
    std::uint64_t deletions = 0;
    bool binary = false;
};

const TreeEntry* find_entry(const GitTree& tree, std::string_view path) {
    auto it = tree.find(std::string(path));
    return it == tree.end() ? nullptr : &it->second;
}

char status_letter(const GitTree& old_tree, const GitTree& new_tree, const GitDiffOptions& options,
                   const std::string& path) {
    if (options.unmerged_paths.contains(path)) return 'U';
    const bool in_old = old_tree.contains(path);
    const bool in_new = new_tree.contains(path);
    if (in_old) return in_new ? 'M' : 'D';
    return in_new ? 'A' : 'M';
}

std::string_view view(const std::optional<Bytes>& content) {
    return content ? std::string_view(*content) : std::string_view{};
}

std::optional<std::string_view> opt_view(const std::optional<Bytes>& content) {
    if (!content) return std::nullopt;
    return std::string_view(*content);
}

bool is_binary(const std::optional<Bytes>& content) { return content && git_content_is_binary(*content); }

std::size_t decimal_digits(std::uint64_t n) {
    std::size_t d = 1;
    while (n >= 10) n /= 10, ++d;
    return d;
}

// The two contents of a changed path; the side holding the work-tree state is read from the work
// tree. Both reads are charged by size.
struct ContentPair {
    std::optional<Bytes> old_content;
    std::optional<Bytes> new_content;
};

}  // namespace

std::string diff_mode_string(const GitTree& tree, std::string_view path) {
    const TreeEntry* entry = find_entry(tree, path);
    if (!entry) return "100644";
    if (entry->symlink) return "120000";
    return entry->executable ? "100755" : "100644";
}

std::optional<Bytes> diff_fetch_content(Syscalls& sys, std::string_view root, const GitTree& tree,
                                        std::string_view path, bool from_worktree) {
    const TreeEntry* entry = find_entry(tree, path);
    if (!entry) return std::nullopt;
    std::optional<Bytes> content = from_worktree ? git_read_regular_file(sys, path_join(root, path))
                                                 : git_read_object(sys, root, entry->id);
    // Once the budget refuses, contents read as absent: the run is ending and no more work is done.
    if (content && !sys.charge_cpu(content->size())) return std::nullopt;
    return content;
}

std::string git_diffstat_summary(std::uint64_t files, std::uint64_t insertions, std::uint64_t deletions) {
    std::string out = fmt::format(" {} file{} changed", files, files == 1 ? "" : "s");
    if (insertions == 0 && deletions == 0) return out + ", 0 insertions(+), 0 deletions(-)\n";
    if (insertions > 0) out += fmt::format(", {} insertion{}(+)", insertions, insertions == 1 ? "" : "s");
    if (deletions > 0) out += fmt::format(", {} deletion{}(-)", deletions, deletions == 1 ? "" : "s");
    return out + "\n";
}

std::uint64_t diff_stat_scale(std::uint64_t max, std::uint64_t width, std::uint64_t value) {
    if (value == 0) return 0;
    if (max <= 1) return 1;
    return (value - 1) * (width == 0 ? 0 : width - 1) / (max - 1) + 1;
}

std::string git_write_unified_diff(std::string_view path, const std::optional<Bytes>& old_content,
                                   const std::optional<Bytes>& new_content, std::string_view old_mode,
                                   std::string_view new_mode, std::size_t context, bool prefix, WhitespaceMode mode) {
    const bool same = old_content == new_content;
    if (same && old_mode == new_mode) return {};
    const std::string_view a = prefix ? "a/" : "";
    const std::string_view b = prefix ? "b/" : "";
    std::string out = fmt::format("diff --git {}{} {}{}\n", a, path, b, path);
    if (old_content && !new_content) out += fmt::format("deleted file mode {}\n", old_mode);
    else if (!old_content && new_content) out += fmt::format("new file mode {}\n", new_mode);
    else if (old_content && new_content && old_mode != new_mode)
        out += fmt::format("old mode {}\nnew mode {}\n", old_mode, new_mode);
    if (same) return out;
    out += fmt::format("index {}..{}", old_content ? git_abbrev_id(git_blob_id(*old_content)) : "0000000",
                       new_content ? git_abbrev_id(git_blob_id(*new_content)) : "0000000");
    if (old_content && new_content) out += fmt::format(" {}", new_mode);
    out += "\n";
    if (is_binary(old_content) || is_binary(new_content)) {
        out += fmt::format("Binary files {} and {} differ\n",
                           old_content ? fmt::format("{}{}", a, path) : std::string("/dev/null"),
                           new_content ? fmt::format("{}{}", b, path) : std::string("/dev/null"));
        return out;
    }
    out += old_content ? fmt::format("--- {}{}\n", a, path) : std::string("--- /dev/null\n");
    out += new_content ? fmt::format("+++ {}{}\n", b, path) : std::string("+++ /dev/null\n");
    const std::vector<std::string_view> old_lines = split_diff_lines(view(old_content));
    const std::vector<std::string_view> new_lines = split_diff_lines(view(new_content));
    std::string hunks = build_diff_hunks(line_diff_whitespace(old_lines, new_lines, mode), context);
    if (hunks.empty()) return {};
    return out + hunks;
}

bool git_compare_trees(Syscalls& sys, std::string_view root, const GitTree& old_in, const GitTree& new_in,
                       const GitDiffOptions& options, Bytes& out) {
    const GitTree& old_tree = options.reverse ? new_in : old_in;
    const GitTree& new_tree = options.reverse ? old_in : new_in;
    const bool old_from_worktree = options.new_from_worktree && options.reverse;
    const bool new_from_worktree = options.new_from_worktree && !options.reverse;
    auto fetch = [&](const std::string& path) {
        return ContentPair{diff_fetch_content(sys, root, old_tree, path, old_from_worktree),
                           diff_fetch_content(sys, root, new_tree, path, new_from_worktree)};
    };

    // Changed paths in path order: the union of both trees, walked together.
    std::vector<std::string> changed;
    auto consider = [&](const std::string& path) {
        if (!git_pathspec_matches_any(options.pathspecs, path)) return;
        const TreeEntry* o = find_entry(old_tree, path);
        const TreeEntry* n = find_entry(new_tree, path);
        if ((o == nullptr) != (n == nullptr) || (o && n && !(*o == *n))) changed.push_back(path);
    };
    auto oi = old_tree.begin();
    auto ni = new_tree.begin();
    while (oi != old_tree.end() || ni != new_tree.end()) {
        if (ni == new_tree.end() || (oi != old_tree.end() && oi->first < ni->first)) {
            consider(oi->first);
            ++oi;
        } else if (oi == old_tree.end() || ni->first < oi->first) {
            consider(ni->first);
            ++ni;
        } else {
            consider(oi->first);
            ++oi, ++ni;
        }
    }

    std::vector<RenamePair> renames;
    {
        std::vector<std::string> added;
        for (const std::string& p : changed)
            if (!old_tree.contains(p)) added.push_back(p);
        std::set<std::string> taken;
        for (const std::string& p : changed) {
            if (new_tree.contains(p)) continue;
            const TreeEntry& gone = old_tree.at(p);
            for (const std::string& q : added) {
                if (taken.contains(q) || !(new_tree.at(q) == gone)) continue;
                taken.insert(q);
                renames.push_back({p, q});
                break;
            }
        }
        if (!renames.empty()) {
            std::set<std::string> paired(taken);
            for (const RenamePair& r : renames) paired.insert(r.from);
            std::erase_if(changed, [&](const std::string& p) { return paired.contains(p); });
        }
    }
    if (options.diff_filter) {
        const std::string& filter = *options.diff_filter;
        std::erase_if(changed, [&](const std::string& p) {
            return filter.find(status_letter(old_tree, new_tree, options, p)) == std::string::npos;
        });
        if (filter.find('R') == std::string::npos) renames.clear();
    }
    if (options.whitespace != WhitespaceMode::None) {
        std::erase_if(changed, [&](const std::string& p) {
            ContentPair c = fetch(p);
            if (!c.old_content || !c.new_content) return false;
            return line_diff_counts(opt_view(c.old_content), opt_view(c.new_content), options.whitespace) ==
                   std::pair<std::uint64_t, std::uint64_t>{0, 0};
        });
    }
    if (changed.empty() && renames.empty()) return false;

    const char terminator = options.nul_terminated ? '\0' : '\n';
    const char separator = options.nul_terminated ? '\0' : '\t';
    const std::string_view a = options.prefix ? "a/" : "";
    const std::string_view b = options.prefix ? "b/" : "";
    switch (options.format) {
    case DiffFormat::NameOnly:
        for (const RenamePair& r : renames) out += r.to + terminator;
        for (const std::string& p : changed) out += p + terminator;
        return false;
    case DiffFormat::NameStatus:
        for (const RenamePair& r : renames) out += fmt::format("R100{}{}{}{}{}", separator, r.from, separator, r.to, terminator);
        for (const std::string& p : changed)
            out += fmt::format("{}{}{}{}", status_letter(old_tree, new_tree, options, p), separator, p, terminator);
        return false;
    case DiffFormat::Patch:
        for (const RenamePair& r : renames)
            out += fmt::format("diff --git {}{} {}{}\nsimilarity index 100%\nrename from {}\nrename to {}\n", a, r.from, b,
                               r.to, r.from, r.to);
        for (const std::string& p : changed) {
            ContentPair c = fetch(p);
            out += git_write_unified_diff(p, c.old_content, c.new_content, diff_mode_string(old_tree, p),
                                          diff_mode_string(new_tree, p), options.context, options.prefix,
                                          options.whitespace);
        }
        return false;
    case DiffFormat::Summary:
        for (const RenamePair& r : renames) out += fmt::format(" rename {} => {} (100%)\n", r.from, r.to);
        for (const std::string& p : changed) {
            const TreeEntry* o = find_entry(old_tree, p);
            const TreeEntry* n = find_entry(new_tree, p);
            if (n && !o) out += fmt::format(" create mode {} {}\n", diff_mode_string(new_tree, p), p);
            else if (o && !n) out += fmt::format(" delete mode {} {}\n", diff_mode_string(old_tree, p), p);
            else if (o && n && o->executable != n->executable)
                out += fmt::format(" mode change {} => {} {}\n", diff_mode_string(old_tree, p),
                                   diff_mode_string(new_tree, p), p);
        }
        return false;
    case DiffFormat::Check: {
        bool problems = false;
        for (const std::string& p : changed) {
            ContentPair c = fetch(p);
            const std::vector<std::string_view> old_lines = split_diff_lines(view(c.old_content));
            const std::vector<std::string_view> new_lines = split_diff_lines(view(c.new_content));
            std::size_t n = 0;
            for (const LineDiffOp& op : line_diff(old_lines, new_lines)) {
                if (op.tag == LineDiffTag::Delete) continue;
                ++n;
                if (op.tag != LineDiffTag::Insert) continue;
                std::string_view line = line_without_newline(op.line);
                if (line.ends_with(' ') || line.ends_with('\t')) {
                    out += fmt::format("{}:{}: trailing whitespace.\n+{}\n", p, n, line);
                    problems = true;
                }
            }
        }
        return problems;
    }
    case DiffFormat::Stat:
    case DiffFormat::Numstat:
    case DiffFormat::Shortstat: break;
    }

    std::vector<DiffStatRow> rows;
    for (const RenamePair& r : renames) rows.push_back({fmt::format("{} => {}", r.from, r.to), 0, 0, false});
    for (const std::string& p : changed) {
        ContentPair c = fetch(p);
        DiffStatRow row{p, 0, 0, is_binary(c.old_content) || is_binary(c.new_content)};
        if (!row.binary)
            std::tie(row.insertions, row.deletions) =
                line_diff_counts(opt_view(c.old_content), opt_view(c.new_content), options.whitespace);
        rows.push_back(std::move(row));
    }
    std::uint64_t total_ins = 0;
    std::uint64_t total_del = 0;
    for (const DiffStatRow& row : rows) total_ins += row.insertions, total_del += row.deletions;
    if (options.format == DiffFormat::Numstat) {
        for (const DiffStatRow& row : rows) {
            if (row.binary) out += fmt::format("-\t-\t{}\n", row.name);
            else out += fmt::format("{}\t{}\t{}\n", row.insertions, row.deletions, row.name);
        }
        return false;
    }
    if (options.format == DiffFormat::Stat) {
        std::uint64_t max = 0;
        std::size_t name_width = 0;
        for (const DiffStatRow& row : rows) {
            max = std::max(max, row.insertions + row.deletions);
            name_width = std::max(name_width, row.name.size());
        }
        const std::size_t digits = decimal_digits(max);
        std::uint64_t graph_width = max;
        if (sat_add(sat_add(max, name_width), digits + 6) > 80) {
            std::int64_t g = 24 - static_cast<std::int64_t>(digits);
            if (g < 0) g = 0;
            if (g < 7) g = 6;
            g = std::min<std::int64_t>(g, static_cast<std::int64_t>(std::min<std::uint64_t>(max, 1000)));
            std::int64_t limit = 80 - (g + static_cast<std::int64_t>(digits) + 6);
            if (limit < 0) limit = 0;
            const auto name_limit = static_cast<std::size_t>(limit);
            if (name_width > name_limit) graph_width = static_cast<std::uint64_t>(g);
            else graph_width = static_cast<std::uint64_t>(std::max<std::int64_t>(
                     0, 74 - static_cast<std::int64_t>(name_width + digits)));
            if (name_width >= name_limit) name_width = name_limit;
        }
        for (const DiffStatRow& row : rows) {
            std::string shown = row.name;
            if (shown.size() > name_width) {
                std::size_t cut = shown.size() - name_width + 3;
                std::string tail = cut > shown.size() ? std::string() : shown.substr(cut);
                if (std::size_t slash = tail.find('/'); slash != std::string::npos) tail = tail.substr(slash);
                shown = "..." + tail;
            }
            std::size_t chars = utf8_char_count(shown);
            std::string padded = shown + std::string(name_width > chars ? name_width - chars : 0, ' ');
            if (row.binary) {
                out += fmt::format(" {} | Bin\n", padded);
                continue;
            }
            std::uint64_t plus = row.insertions;
            std::uint64_t minus = row.deletions;
            if (graph_width < max) {
                plus = diff_stat_scale(max, graph_width, row.insertions);
                minus = diff_stat_scale(max, graph_width, row.deletions);
            }
            std::string graph = std::string(plus, '+') + std::string(minus, '-');
            out += fmt::format(" {} | {:>{}}{}{}\n", padded, row.insertions + row.deletions, digits,
                               graph.empty() ? "" : " ", graph);
        }
    }
    out += git_diffstat_summary(rows.size(), total_ins, total_del);
    return false;
}

}  // namespace tw
