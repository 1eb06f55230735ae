// git grep: tracked files (the work-tree contents of the index's paths, or the blobs of a
// commit) searched for lines matching one expression.
#include <fmt/format.h>

#include "base/regex.h"
#include "commands/git/history_commands.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

constexpr std::size_t kMaxGrepFiles = 10000;

std::string escape_literal(std::string_view pattern) {
    std::string out;
    for (char c : pattern) {
        if (std::string_view("\\^$.|?*+()[]{}-#&~ \t\n").find(c) != std::string_view::npos) out += '\\';
        out += c;
    }
    return out;
}

template <typename F>
void for_each_grep_line(std::string_view content, F&& f) {
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t nl = content.find('\n', start);
        std::size_t end = nl == std::string_view::npos ? content.size() : nl;
        std::string_view line = content.substr(start, end - start);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (!f(line)) return;
        start = nl == std::string_view::npos ? content.size() : nl + 1;
    }
}

}  // namespace

std::int32_t git_cmd_grep(GitRun& run, std::span<const std::string> args) {
    Syscalls& sys = run.sys;
    Bytes& out = run.io.out;
    Bytes& err = run.io.err;
    auto found = git_worktree_or_report(run);
    if (!found) return 128;
    const std::string root = *found;
    bool line_numbers = false, ignore_case = false, with_matches = false, without_match = false, count = false;
    bool fixed = false, word = false, invert = false;
    std::optional<std::string> pattern;
    std::vector<std::string> operands;
    auto dash = std::find(args.begin(), args.end(), "--");
    GitArgs cursor(std::span<const std::string>(args.begin(), dash));
    cursor.with_value_flags("e").expand_short_flags("niIlcEFv");
    while (true) {
        GitArgItem item = cursor.next();
        if (item.kind == GitArgItem::Kind::End) break;
        if (item.kind == GitArgItem::Kind::Positional) {
            if (!pattern) pattern = item.text;
            else operands.push_back(item.text);
            continue;
        }
        const std::string& o = item.text;
        if (o == "-n" || o == "--line-number") line_numbers = true;
        else if (o == "-i" || o == "--ignore-case") ignore_case = true;
        else if (o == "-l" || o == "--files-with-matches" || o == "--name-only") with_matches = true;
        else if (o == "-L" || o == "--files-without-match") with_matches = without_match = true;
        else if (o == "-c" || o == "--count") count = true;
        else if (o == "-F" || o == "--fixed-strings") fixed = true;
        else if (o == "-w" || o == "--word-regexp") word = true;
        else if (o == "-v" || o == "--invert-match") invert = true;
        else if (o == "-E" || o == "--extended-regexp" || o == "-I" || o == "--no-color" || o == "--cached") {
        } else if (o == "-e") {
            auto value = cursor.value(item.value);
            if (!value) {
                git_report_error(err, "usage: git grep [-n] [-i] [-l] PATTERN [-- PATH...]");
                return 129;
            }
            // A pattern taken from an operand gives way to -e.
            pattern = *value;
        } else {
            git_report_error(err, fmt::format("unsupported grep option: {}", o));
            return 129;
        }
    }
    if (!pattern) {
        git_report_error(err, "usage: git grep [-n] [-i] [-l] PATTERN [-- PATH...]");
        return 129;
    }
    const bool all_after_dash = operands.empty();
    if (dash != args.end()) operands.insert(operands.end(), dash + 1, args.end());
    std::string expression = fixed ? escape_literal(*pattern) : *pattern;
    if (word) expression = fmt::format("\\b(?:{})\\b", expression);
    RegexOptions regex_options;
    regex_options.caseless = ignore_case;
    auto regex = Regex::compile(expression, regex_options);
    if (!regex) {
        err += fmt::format("fatal: invalid pattern: {}\n", *pattern);
        return 128;
    }
    std::optional<std::string> revision;
    std::optional<std::string> revision_id;
    if (!operands.empty() && !all_after_dash) {
        if (!git_arg_is_worktree_path(sys, root, operands.front())) {
            if (auto id = git_resolve_revision(sys, root, operands.front())) {
                revision = operands.front();
                revision_id = std::move(id);
                operands.erase(operands.begin());
            }
        }
    }
    const std::string cwd = sys.getcwd();
    std::vector<std::string> pathspecs;
    for (const std::string& o : operands) pathspecs.push_back(git_user_path_to_repo_path(cwd, root, o));
    std::string prefix;
    if (auto rel = git_repo_relative_path(root, cwd)) prefix = *rel + "/";
    GitTree files = revision_id ? git_read_commit_tree(sys, root, *revision_id).value_or(GitTree{})
                                : git_read_index(sys, root).value_or(GitTree{});
    bool found_any = false;
    std::size_t walked = 0;
    for (const auto& [path, entry] : files) {
        if (walked++ >= kMaxGrepFiles) break;
        if (!git_pathspec_matches_any(pathspecs, path)) continue;
        if (!prefix.empty() && !path.starts_with(prefix)) continue;
        const std::string shown = path.substr(prefix.size());
        const std::string name = revision ? fmt::format("{}:{}", *revision, shown) : shown;
        std::optional<Bytes> content = revision_id ? git_read_object(sys, root, entry.id)
                                                   : git_read_worktree_file(sys, root, path);
        if (!content) continue;
        if (!sys.charge_cpu(content->size())) return sys.exhausted_status();
        if (git_content_is_binary(*content)) continue;
        auto selected = [&](std::string_view line) { return regex->matches(line).value_or(false) != invert; };
        std::size_t file_count = 0;
        std::size_t line_number = 0;
        for_each_grep_line(*content, [&](std::string_view line) {
            ++line_number;
            if (!selected(line)) return true;
            ++file_count;
            found_any = true;
            if (with_matches || count) return false;
            if (line_numbers) out += fmt::format("{}:{}:", name, line_number);
            else out += fmt::format("{}:", name);
            out += line;
            out += '\n';
            return true;
        });
        if (with_matches) {
            if ((file_count != 0) != without_match) {
                out += fmt::format("{}\n", name);
                found_any = true;
            }
        } else if (count && file_count != 0) {
            std::size_t total = 0;
            for_each_grep_line(*content, [&](std::string_view line) {
                if (selected(line)) ++total;
                return true;
            });
            if (total != 0) out += fmt::format("{}:{}\n", name, total);
        }
    }
    return found_any ? 0 : 1;
}

}  // namespace tw
