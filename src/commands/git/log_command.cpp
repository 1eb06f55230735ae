// git log and git show.
#include <fmt/format.h>

#include <algorithm>

#include "base/regex.h"
#include "base/utf8.h"
#include "commands/git/history.h"
#include "commands/git/history_commands.h"
#include "commands/git/pretty.h"
#include "commands/git/tree_diff.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

using Style = PrettyFormat::Style;

bool uses_separator(const PrettyFormat& pretty) {
    if (pretty.style == Style::Oneline || pretty.style == Style::OnelineAbbrev) return false;
    return pretty.style != Style::Custom || !pretty.terminator;
}

bool is_oneline(const PrettyFormat& pretty) {
    return pretty.style == Style::Oneline || pretty.style == Style::OnelineAbbrev;
}

GitTree tree_or_empty(Syscalls& sys, std::string_view root, std::string_view id) {
    return git_read_commit_tree(sys, root, id).value_or(GitTree{});
}

GitTree first_parent_tree(Syscalls& sys, std::string_view root, const GitCommit& commit) {
    if (commit.parents.empty()) return {};
    return tree_or_empty(sys, root, commit.parents.front());
}

// The diff of a commit against its first parent, in one format.
void git_commit_diff_output(Syscalls& sys, std::string_view root, const CommitRecord& record,
                            const std::vector<std::string>& pathspecs, DiffFormat format, Bytes& out) {
    GitDiffOptions options;
    options.pathspecs = pathspecs;
    options.format = format;
    git_compare_trees(sys, root, first_parent_tree(sys, root, record.commit), tree_or_empty(sys, root, record.id),
                      options, out);
}

struct ChangedPath {
    std::optional<std::string> old_id;
    std::optional<std::string> new_id;
};

std::vector<std::pair<std::string, ChangedPath>> changed_paths(Syscalls& sys, std::string_view root,
                                                               const CommitRecord& record) {
    const GitTree before = first_parent_tree(sys, root, record.commit);
    const GitTree after = tree_or_empty(sys, root, record.id);
    std::vector<std::pair<std::string, ChangedPath>> changed;
    for (const auto& [path, entry] : before) {
        auto it = after.find(path);
        if (it == after.end()) changed.push_back({path, {entry.id, std::nullopt}});
        else if (!(it->second == entry)) changed.push_back({path, {entry.id, it->second.id}});
    }
    for (const auto& [path, entry] : after)
        if (!before.contains(path)) changed.push_back({path, {std::nullopt, entry.id}});
    return changed;
}

std::string blob_text(Syscalls& sys, std::string_view root, const std::optional<std::string>& id) {
    if (!id) return {};
    auto bytes = git_read_object(sys, root, *id);
    if (!bytes || !sys.charge_cpu(bytes->size())) return {};
    return utf8_lossy(*bytes);
}

std::size_t count_occurrences(std::string_view text, std::string_view needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string_view::npos; at = text.find(needle, at + needle.size())) ++n;
    return n;
}

bool git_commit_pickaxe_matches(Syscalls& sys, std::string_view root, const CommitRecord& record,
                                std::string_view needle) {
    if (needle.empty()) return false;
    for (const auto& [path, change] : changed_paths(sys, root, record))
        if (count_occurrences(blob_text(sys, root, change.old_id), needle) !=
            count_occurrences(blob_text(sys, root, change.new_id), needle))
            return true;
    return false;
}

bool git_commit_line_regex_matches(Syscalls& sys, std::string_view root, const CommitRecord& record,
                                   const Regex& pattern) {
    for (const auto& [path, change] : changed_paths(sys, root, record)) {
        std::optional<Bytes> a = change.old_id ? git_read_object(sys, root, *change.old_id) : std::nullopt;
        std::optional<Bytes> b = change.new_id ? git_read_object(sys, root, *change.new_id) : std::nullopt;
        if (!sys.charge_cpu((a ? a->size() : 0) + (b ? b->size() : 0))) return false;
        const std::vector<std::string_view> old_lines = split_diff_lines(a ? std::string_view(*a) : "");
        const std::vector<std::string_view> new_lines = split_diff_lines(b ? std::string_view(*b) : "");
        for (const LineDiffOp& op : line_diff(old_lines, new_lines))
            if (op.tag != LineDiffTag::Keep && pattern.matches(op.line).value_or(false)) return true;
    }
    return false;
}

bool git_commit_touches_paths(Syscalls& sys, std::string_view root, const CommitRecord& record,
                              const std::vector<std::string>& paths) {
    for (const auto& [path, change] : changed_paths(sys, root, record))
        if (git_pathspec_matches_any(paths, path)) return true;
    return false;
}

// The text graph of `git log --graph`: one lane per line of history being followed.
class LogGraph {
public:
    void write(const CommitRecord& record, std::string_view entry, bool starts_with_separator, Bytes& out) {
        auto it = std::find(lanes_.begin(), lanes_.end(), record.id);
        if (it == lanes_.end()) {
            lanes_.push_back(record.id);
            it = lanes_.end() - 1;
        }
        const std::size_t i = static_cast<std::size_t>(it - lanes_.begin());
        const std::size_t count = lanes_.size();
        const std::size_t k = record.commit.parents.size();
        std::string commit_prefix;
        for (std::size_t j = 0; j < count; ++j) commit_prefix += j == i ? "* " : "| ";
        if (k >= 2)
            for (std::size_t j = 0; j + 1 < k; ++j) commit_prefix += "  ";
        std::string continuation;
        for (std::size_t j = 0; j < count; ++j) continuation += "| ";
        lanes_.erase(lanes_.begin() + static_cast<std::ptrdiff_t>(i));
        lanes_.insert(lanes_.begin() + static_cast<std::ptrdiff_t>(i), record.commit.parents.begin(),
                      record.commit.parents.end());
        std::string edges;
        if (k >= 2) {
            for (std::size_t j = 0; j < i; ++j) edges += "| ";
            edges += "|\\\n";
        }
        bool merged = true;
        while (merged) {
            merged = false;
            for (std::size_t m = 1; m < lanes_.size() && !merged; ++m) {
                for (std::size_t j = 0; j < m; ++j) {
                    if (lanes_[j] != lanes_[m]) continue;
                    lanes_.erase(lanes_.begin() + static_cast<std::ptrdiff_t>(m));
                    for (std::size_t x = 0; x < j; ++x) edges += "| ";
                    edges += "|/\n";
                    merged = true;
                    break;
                }
            }
        }
        const std::size_t commit_line = starts_with_separator ? 1 : 0;
        std::size_t index = 0;
        std::size_t start = 0;
        while (start < entry.size()) {
            std::size_t nl = entry.find('\n', start);
            std::string_view line = entry.substr(start, (nl == std::string_view::npos ? entry.size() : nl) - start);
            out += index == commit_line ? commit_prefix : continuation;
            out += line;
            out += '\n';
            ++index;
            if (nl == std::string_view::npos) break;
            start = nl + 1;
        }
        out += edges;
    }

private:
    std::vector<std::string> lanes_;
};

std::int64_t now_seconds(Syscalls& sys) { return static_cast<std::int64_t>(sys.file_time_now() / 1000); }

}  // namespace

std::int32_t git_cmd_log(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& out = run.io.out;
    Bytes& err = run.io.err;
    auto found = git_worktree_or_report(run);
    if (!found) return 128;
    const std::string root = *found;
    const std::string cwd = sys.getcwd();
    const std::int64_t now = now_seconds(sys);

    PrettyFormat pretty;
    std::uint64_t max_count = 10000;
    std::uint64_t skip = 0;
    bool reverse = false, no_merges = false, merges_only = false, abbrev = false, first_parent = false;
    bool all = false, ignore_case = false, decorate = false, patch = false, graph = false;
    std::optional<std::int64_t> since, until;
    std::optional<std::string> author, grep, pickaxe, line_pattern;
    std::optional<DiffFormat> summary;
    std::vector<std::string> revisions;
    std::vector<std::string> paths;

    auto dash = std::find(args.begin(), args.end(), "--");
    GitArgs cursor(std::span<const std::string>(args.begin(), dash));
    cursor.with_value_flags("nSG");
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            if (git_parse_revision_range(sys, root, item.text)) {
                revisions.push_back(item.text);
            } else if (git_arg_is_worktree_path(sys, root, item.text)) {
                paths.push_back(git_user_path_to_repo_path(cwd, root, item.text));
            } else {
                git_report_ambiguous_argument(err, item.text);
                return 128;
            }
            continue;
        }
        const std::string& o = item.text;
        auto date_value = [&](std::optional<std::int64_t>& bound) -> std::int32_t {
            auto value = cursor.value(item.value);
            if (!value) {
                git_report_error(err, fmt::format("{} requires a date", o));
                return 129;
            }
            bound = git_parse_date_arg(*value, now);
            if (!bound) {
                git_report_error(err, fmt::format("unsupported date: {}", *value));
                return 129;
            }
            return 0;
        };
        if (o == "--oneline") {
            pretty = PrettyFormat{Style::OnelineAbbrev};
        } else if (o == "--pretty" || o == "--format") {
            std::string value = item.value.value_or("");
            auto parsed = git_parse_pretty_name(value, o == "--format");
            if (!parsed || (parsed->style == Style::Custom && !git_validate_pretty_format(parsed->format))) {
                git_report_fatal(err, fmt::format("unsupported log format: {}", o));
                return 128;
            }
            pretty = std::move(*parsed);
        } else if (o == "--reverse") {
            reverse = true;
        } else if (o == "--decorate") {
            if (item.value != "no") decorate = true;
        } else if (o == "--no-decorate" || o == "--no-color" || o == "--color") {
        } else if (o == "--no-merges") {
            no_merges = true;
        } else if (o == "--merges") {
            merges_only = true;
        } else if (o == "--abbrev-commit") {
            abbrev = true;
        } else if (o == "--first-parent") {
            first_parent = true;
        } else if (o == "--all") {
            all = true;
        } else if (o == "-n" || o == "--max-count") {
            auto value = cursor.value(item.value);
            auto n = value ? parse_decimal_u64(*value) : std::nullopt;
            if (!n) {
                git_report_error(err, "log count must be a non-negative integer");
                return 129;
            }
            max_count = *n;
        } else if (o == "--skip") {
            auto value = cursor.value(item.value);
            auto n = value ? parse_decimal_u64(*value) : std::nullopt;
            if (!n) {
                git_report_error(err, "--skip requires a non-negative integer");
                return 129;
            }
            skip = *n;
        } else if (o == "-i" || o == "--regexp-ignore-case") {
            ignore_case = true;
        } else if (o == "--since" || o == "--after") {
            if (std::int32_t s = date_value(since)) return s;
        } else if (o == "--until" || o == "--before") {
            if (std::int32_t s = date_value(until)) return s;
        } else if (o == "--grep" || o == "--author") {
            auto value = cursor.value(item.value);
            if (!value) {
                git_report_error(err, fmt::format("{} requires a pattern", o));
                return 129;
            }
            (o == "--grep" ? grep : author) = *value;
        } else if (o == "-S" || o == "-G") {
            auto value = cursor.value(item.value);
            if (!value) {
                git_report_error(err, fmt::format("{} requires a string", o));
                return 129;
            }
            (o == "-S" ? pickaxe : line_pattern) = *value;
        } else if (o == "--graph") {
            graph = true;
        } else if (o == "--no-graph") {
            graph = false;
        } else if (o == "--stat") {
            summary = DiffFormat::Stat;
        } else if (o == "--name-only") {
            summary = DiffFormat::NameOnly;
        } else if (o == "--name-status") {
            summary = DiffFormat::NameStatus;
        } else if (o == "-p" || o == "-u" || o == "--patch") {
            patch = true;
        } else if (auto n = git_parse_dash_count(o)) {
            max_count = *n;
        } else {
            git_report_error(err, fmt::format("unsupported log option: {}", o));
            return 129;
        }
    }
    if (dash != args.end())
        for (auto it = dash + 1; it != args.end(); ++it) paths.push_back(git_user_path_to_repo_path(cwd, root, *it));

    if (all) {
        std::vector<std::string> targets = git_all_ref_targets(sys, root);
        revisions.insert(revisions.end(), targets.begin(), targets.end());
    }
    if (revisions.empty()) revisions.push_back("HEAD");
    auto walked = git_walk_commits(sys, root, revisions, first_parent);
    if (!walked) {
        if (git_resolve_head(sys, root)) {
            std::string joined;
            for (const std::string& r : revisions) joined += (joined.empty() ? "" : " ") + r;
            git_report_ambiguous_argument(err, joined);
        } else {
            err += fmt::format("fatal: your current branch '{}' does not have any commits yet\n",
                               git_current_branch(sys, root).value_or("HEAD"));
        }
        return 128;
    }
    std::vector<CommitRecord> commits = std::move(*walked);
    (void)sys.charge_cpu(commits.size() * 64);

    auto compile = [&](const std::optional<std::string>& pattern) -> std::optional<std::optional<Regex>> {
        if (!pattern) return std::optional<Regex>{};
        RegexOptions options;
        options.caseless = ignore_case;
        auto regex = Regex::compile(*pattern, options);
        if (!regex) {
            err += fmt::format("fatal: invalid pattern: {}\n", *pattern);
            return std::nullopt;
        }
        return std::optional<Regex>(std::move(*regex));
    };
    auto author_re = compile(author);
    if (!author_re) return 128;
    auto grep_re = compile(grep);
    if (!grep_re) return 128;
    auto line_re = compile(line_pattern);
    if (!line_re) return 128;

    std::erase_if(commits, [&](const CommitRecord& r) {
        const std::size_t parents = r.commit.parents.size();
        if (no_merges && parents >= 2) return true;
        if (merges_only && parents <= 1) return true;
        if (*author_re && !(*author_re)->matches(r.commit.author_name).value_or(false) &&
            !(*author_re)->matches(r.commit.author_email).value_or(false))
            return true;
        if (*grep_re && !(*grep_re)->matches(r.commit.message).value_or(false)) return true;
        if (since && !(r.commit.time > *since)) return true;
        if (until && !(r.commit.time <= *until)) return true;
        if (pickaxe && !git_commit_pickaxe_matches(sys, root, r, *pickaxe)) return true;
        if (*line_re && !git_commit_line_regex_matches(sys, root, r, **line_re)) return true;
        if (!paths.empty() && !git_commit_touches_paths(sys, root, r, paths)) return true;
        return false;
    });
    if (commits.size() > skip) commits.erase(commits.begin(), commits.begin() + static_cast<std::ptrdiff_t>(skip));
    else commits.clear();
    if (commits.size() > max_count) commits.resize(static_cast<std::size_t>(max_count));
    if (reverse) std::reverse(commits.begin(), commits.end());

    LogGraph lanes;
    std::optional<GitDecorations> decorations;
    if (decorate || pretty.style == Style::Custom) decorations.emplace(sys, root);
    bool written = false;
    for (const CommitRecord& r : commits) {
        std::string entry;
        const bool separated = written && uses_separator(pretty);
        if (separated) entry += "\n";
        const std::string decoration = decorations ? decorations->text(r.id) : std::string();
        entry += git_log_format_header(abbrev ? git_abbrev_id(r.id) : r.id, r.commit, pretty, decoration, now);
        if (pretty.style == Style::Custom && pretty.terminator) entry += "\n";
        for (std::optional<DiffFormat> part : {summary, patch ? std::optional(DiffFormat::Patch) : std::nullopt}) {
            if (!part) continue;
            if (!is_oneline(pretty)) entry += "\n";
            git_commit_diff_output(sys, root, r, paths, *part, entry);
        }
        if (graph) lanes.write(r, entry, separated, out);
        else out += entry;
        written = true;
    }
    return 0;
}

std::int32_t git_cmd_show(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& out = run.io.out;
    Bytes& err = run.io.err;
    auto found = git_worktree_or_report(run);
    if (!found) return 128;
    const std::string root = *found;
    PrettyFormat pretty;
    bool show_diff = true;
    DiffFormat diff = DiffFormat::Patch;
    std::vector<std::string> objects;
    GitArgs cursor(args);
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            objects.push_back(item.text);
            continue;
        }
        const std::string& o = item.text;
        if (o == "-s" || o == "--no-patch") show_diff = false;
        else if (o == "--stat") diff = DiffFormat::Stat, show_diff = true;
        else if (o == "--name-only") diff = DiffFormat::NameOnly, show_diff = true;
        else if (o == "--name-status") diff = DiffFormat::NameStatus, show_diff = true;
        else if (o == "--oneline") pretty = PrettyFormat{Style::OnelineAbbrev};
        else if (o == "--pretty" || o == "--format") {
            auto parsed = git_parse_pretty_name(item.value.value_or(""), o == "--format");
            if (!parsed || (parsed->style == Style::Custom && !git_validate_pretty_format(parsed->format))) {
                git_report_error(err, fmt::format("unsupported show format: {}", o));
                return 129;
            }
            pretty = std::move(*parsed);
        } else if (o == "--no-color" || o == "--abbrev-commit") {
        } else {
            git_report_error(err, fmt::format("unsupported show option: {}", o));
            return 129;
        }
    }
    if (objects.empty()) objects.push_back("HEAD");
    const std::int64_t now = now_seconds(sys);
    for (const std::string& object : objects) {
        if (object.find(':') != std::string::npos) {
            auto spec = git_resolve_blob_spec(sys, root, object);
            if (!spec) {
                git_report_ambiguous_argument(err, object);
                return 128;
            }
            const auto& [tree, path] = *spec;
            auto it = tree.find(path);
            std::optional<Bytes> blob = it == tree.end() ? std::nullopt : git_read_object(sys, root, it->second.id);
            if (!blob) {
                err += fmt::format("fatal: path '{}' does not exist in '{}'\n", path,
                                   std::string_view(object).substr(0, object.find(':')));
                return 128;
            }
            (void)sys.charge_cpu(blob->size());
            out += *blob;
            continue;
        }
        auto id = git_resolve_revision(sys, root, object);
        auto commit = id ? git_read_commit(sys, root, *id) : std::nullopt;
        if (!commit) {
            git_report_ambiguous_argument(err, object);
            return 128;
        }
        if (auto tag = git_read_file(sys, git_path(root, fmt::format("tags/{}.annotation", object)));
            tag && object.find("..") == std::string::npos) {
            if (auto annotation = git_parse_commit(*tag))
                out += fmt::format("tag {}\nTagger: {} <{}>\nDate:   {}\n\n{}\n\n", object, annotation->author_name,
                                   annotation->author_email, git_format_date_default(annotation->time),
                                   annotation->message);
        }
        CommitRecord record{*id, std::move(*commit)};
        const std::string decoration =
            pretty.style == Style::Custom ? git_decoration_text(sys, root, record.id) : std::string();
        out += git_log_format_header(record.id, record.commit, pretty, decoration, now);
        if (pretty.style == Style::Custom && pretty.terminator) out += "\n";
        if (show_diff) {
            if (!is_oneline(pretty)) out += "\n";
            git_commit_diff_output(sys, root, record, {}, diff, out);
        }
    }
    return 0;
}

}  // namespace tw
