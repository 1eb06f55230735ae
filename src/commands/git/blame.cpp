// git blame: each line of a file named after the commit that last brought it in, found by walking
// the first-parent history and diffing each version of the file against its parent's.
#include <fmt/format.h>

#include "commands/git/history_commands.h"
#include "commands/git/line_diff_engine.h"
#include "commands/git/pretty.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

constexpr std::size_t kMaxBlameCommits = 2000;

struct BlameRecord {
    std::optional<std::string> id;
    bool boundary = false;
};

struct BlameLineOrigin {
    bool tracked = false;
    std::size_t final_index = 0;
};

using BlameMap = std::vector<BlameLineOrigin>;

BlameMap git_blame_lines(std::string_view old_content, std::string_view new_content, const BlameMap& map,
                         const std::string& id, std::vector<BlameRecord>& records) {
    const std::vector<std::string_view> old_lines = split_diff_lines(old_content);
    const std::vector<std::string_view> new_lines = split_diff_lines(new_content);
    BlameMap parent;
    parent.reserve(old_lines.size());
    std::size_t index = 0;
    for (const LineDiffOp& op : line_diff(old_lines, new_lines)) {
        switch (op.tag) {
        case LineDiffTag::Delete: parent.push_back({false, 0}); break;
        case LineDiffTag::Keep:
            parent.push_back(index < map.size() ? map[index] : BlameLineOrigin{});
            ++index;
            break;
        case LineDiffTag::Insert:
            if (index < map.size() && map[index].tracked && map[index].final_index < records.size() &&
                !records[map[index].final_index].id)
                records[map[index].final_index] = {id, false};
            ++index;
            break;
        }
    }
    return parent;
}

void attribute_rest(const BlameMap& map, const std::string& id, std::vector<BlameRecord>& records) {
    for (const BlameLineOrigin& origin : map)
        if (origin.tracked && origin.final_index < records.size() && !records[origin.final_index].id)
            records[origin.final_index] = {id, true};
}

std::size_t decimal_width(std::size_t n) {
    std::size_t d = 1;
    while (n >= 10) n /= 10, ++d;
    return d;
}

}  // namespace

std::int32_t git_cmd_blame(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& err = run.io.err;
    bool suppress = false, long_ids = false;
    std::optional<std::string> range_text;
    std::vector<std::string> before;
    auto dash = std::find(args.begin(), args.end(), "--");
    GitArgs cursor(std::span<const std::string>(args.begin(), dash));
    cursor.with_value_flags("L").expand_short_flags("slwe");
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            before.push_back(item.text);
            continue;
        }
        const std::string& o = item.text;
        if (o == "-s") suppress = true;
        else if (o == "-l") long_ids = true;
        else if (o == "-w" || o == "-e" || o == "--show-email" || o == "--root") {
        } else if (o == "-L") {
            range_text = cursor.value(item.value);
            if (!range_text) {
                git_report_error(err, "-L requires a line range");
                return 129;
            }
        } else {
            git_report_error(err, fmt::format("unsupported blame option: {}", o));
            return 129;
        }
    }
    auto found = git_worktree_or_report(run);
    if (!found) return 128;
    const std::string root = *found;
    std::optional<std::string> file;
    if (dash != args.end() && dash + 1 != args.end()) {
        file = *(dash + 1);
    } else {
        for (std::size_t i = before.size(); i-- > 0;) {
            if (!git_arg_is_worktree_path(sys, root, before[i])) continue;
            file = before[i];
            before.erase(before.begin() + static_cast<std::ptrdiff_t>(i));
            break;
        }
    }
    if (!file) {
        git_report_error(err, "usage: git blame [-s] [-L RANGE] [REVISION] FILE");
        return 129;
    }
    const bool revision_given = !before.empty();
    const std::string revision = revision_given ? before.front() : std::string("HEAD");
    auto start = git_resolve_revision(sys, root, revision);
    if (!start) {
        git_report_ambiguous_argument(err, revision);
        return 128;
    }
    std::string path = git_user_path_to_repo_path(sys.getcwd(), root, *file);
    const GitTree start_tree = git_read_commit_tree(sys, root, *start).value_or(GitTree{});
    auto entry = start_tree.find(path);
    std::optional<Bytes> blob = entry == start_tree.end() ? std::nullopt : git_read_object(sys, root, entry->second.id);
    if (!blob) {
        err += fmt::format("fatal: no such path {} in {}\n", *file, revision);
        return 128;
    }
    Bytes final_text = *blob;
    bool from_worktree = false;
    if (!revision_given || revision == "HEAD") {
        if (auto wt = git_read_worktree_file(sys, root, path); wt && *wt != *blob) {
            final_text = std::move(*wt);
            from_worktree = true;
        }
    }
    std::vector<std::string_view> final_lines = split_diff_lines(final_text);
    if (!sys.charge_cpu(final_lines.size() * 64)) return sys.exhausted_status();
    std::vector<BlameRecord> records(final_lines.size());
    BlameMap map(final_lines.size());
    for (std::size_t i = 0; i < map.size(); ++i) map[i] = {true, i};
    Bytes current_content = *blob;
    if (from_worktree) map = git_blame_lines(current_content, final_text, map, kGitZeroId, records);

    // A commit or blob of the walk that cannot be read is a damaged store: say which.
    auto unreadable = [&](std::string_view what, std::string_view id) {
        git_report_fatal(err, fmt::format("unable to read {} {}", what, id));
        return 128;
    };
    std::string current = *start;
    std::size_t examined = 0;
    while (true) {
        if (examined >= kMaxBlameCommits) break;
        auto commit = git_read_commit(sys, root, current);
        if (!commit) return unreadable("commit", current);
        if (commit->parents.empty()) {
            attribute_rest(map, current, records);
            break;
        }
        const std::string& parent = commit->parents.front();
        auto parent_tree = git_read_commit_tree(sys, root, parent);
        if (!parent_tree) {
            attribute_rest(map, current, records);
            break;
        }
        auto parent_entry = parent_tree->find(path);
        if (parent_entry == parent_tree->end()) {
            const GitTree current_tree = git_read_commit_tree(sys, root, current).value_or(GitTree{});
            auto mine = current_tree.find(path);
            if (mine != current_tree.end())
                for (auto it = parent_tree->begin(); it != parent_tree->end(); ++it)
                    if (it->second.id == mine->second.id && !current_tree.contains(it->first)) {
                        parent_entry = it;
                        break;
                    }
            if (parent_entry == parent_tree->end()) {
                attribute_rest(map, current, records);
                break;
            }
            path = parent_entry->first;
        }
        auto parent_content = git_read_object(sys, root, parent_entry->second.id);
        if (!parent_content) return unreadable("blob", parent_entry->second.id);
        if (!sys.charge_cpu(parent_content->size() + current_content.size())) return sys.exhausted_status();
        map = git_blame_lines(*parent_content, current_content, map, current, records);
        if (std::none_of(map.begin(), map.end(), [](const BlameLineOrigin& o) { return o.tracked; })) break;
        current = parent;
        current_content = std::move(*parent_content);
        ++examined;
    }
    for (BlameRecord& r : records)
        if (!r.id) r = {current, true};

    const std::size_t total = final_lines.size();
    std::size_t first = 1;
    std::size_t last = total;
    if (range_text) {
        const std::string& text = *range_text;
        auto bad = [&] {
            git_report_error(err, fmt::format("unsupported line range: {}", text));
            return 129;
        };
        std::string_view a = text;
        std::string_view b = text;
        if (std::size_t comma = text.find(','); comma != std::string::npos) {
            a = std::string_view(text).substr(0, comma);
            b = std::string_view(text).substr(comma + 1);
        }
        std::uint64_t s = 1;
        std::uint64_t e = total;
        if (!a.empty()) {
            auto v = parse_decimal_u64(a);
            if (!v) return bad();
            s = *v;
        }
        if (!b.empty()) {
            auto v = parse_decimal_u64(b);
            if (!v) return bad();
            e = *v;
        }
        if (s == 0 || s > e) return bad();
        first = static_cast<std::size_t>(s);
        last = static_cast<std::size_t>(std::min<std::uint64_t>(e, total));
    }
    const std::int64_t now = static_cast<std::int64_t>(sys.file_time_now() / 1000);
    struct Shown {
        std::string id;
        std::string author;
        std::string date;
    };
    std::vector<Shown> shown;
    std::size_t author_width = 0;
    for (std::size_t n = first; n <= last; ++n) {
        const BlameRecord& r = records[n - 1];
        const std::size_t width = long_ids ? 40 : 8;
        std::string id = r.boundary ? "^" + r.id->substr(0, width - 1) : r.id->substr(0, width);
        Shown s{std::move(id), "Not Committed Yet", git_blame_format_date(now, "%Y-%m-%d %H:%M:%S +0000")};
        if (!suppress) {
            if (auto c = git_read_commit(sys, root, *r.id)) {
                s.author = c->author_name;
                s.date = git_blame_format_date(c->time, "%Y-%m-%d %H:%M:%S +0000");
            }
            author_width = std::max(author_width, s.author.size());
        }
        shown.push_back(std::move(s));
    }
    const std::size_t digits = decimal_width(total);
    Bytes& out = run.io.out;
    for (std::size_t n = first; n <= last; ++n) {
        const Shown& s = shown[n - first];
        std::string_view text = line_without_newline(final_lines[n - 1]);
        if (suppress) {
            out += fmt::format("{} {:>{}}) {}\n", s.id, n, digits, text);
        } else {
            out += fmt::format("{} ({}{} {} {:>{}}) {}\n", s.id, s.author,
                               std::string(author_width - s.author.size(), ' '), s.date, n, digits, text);
        }
    }
    return 0;
}

}  // namespace tw
