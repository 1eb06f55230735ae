// diff: line comparison of two files or two trees.
#include <algorithm>
#include <set>
#include <vector>

#include <fmt/format.h>

#include "base/sat.h"
#include "base/utf8.h"
#include "commands/diff/diff_commands.h"
#include "commands/diff/line_diff.h"
#include "commands/util/io.h"
#include "commands/util/options.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"
#include "kernel/vfs_path.h"

namespace tw {

namespace {

constexpr std::uint64_t kMaxDiffCells = 1'000'000;

// A file cut into lines: each line without its "\n" (a "\r" before it stays, so CR LF files keep
// their line ends in the output), and whether the last line lacks its "\n".
struct DiffText {
    std::vector<std::string> lines;
    bool missing_final_newline = false;
};

DiffText split_diff_lines(std::string_view bytes) {
    const std::string text = utf8_lossy(bytes);
    DiffText out;
    for_each_piece(text, '\n', [&](std::string_view line, bool terminated) {
        out.lines.emplace_back(line);
        if (!terminated) out.missing_final_newline = true;
    });
    return out;
}

// The keys compared. Without a white-space mode a line's end counts: a CR is part of the line and
// a last line without "\n" differs from the same text with one. Under -b and -w the CR is white
// space and the missing newline is not a difference.
std::vector<std::string> comparison_keys(const DiffText& text, WhitespaceMode mode) {
    std::vector<std::string> keys;
    keys.reserve(text.lines.size());
    for (const std::string& line : text.lines) keys.push_back(diff_normalize_line(line, mode));
    // A line never holds "\n", so the mark sets the unterminated last line apart from every other.
    if (mode == WhitespaceMode::None && text.missing_final_newline) keys.back() += '\n';
    return keys;
}

// Appends a printed line; the last line of a file without its newline is followed by the marker.
void push_diff_line(Bytes& out, std::string_view prefix, std::string_view text, bool no_newline) {
    out += prefix;
    push_line(out, text);
    if (no_newline) push_line(out, "\\ No newline at end of file");
}

std::string_view trim_trailing_slashes(std::string_view text) {
    while (text.size() > 1 && text.back() == '/') text.remove_suffix(1);
    return text;
}

std::int32_t compare_trees(Syscalls& sys, std::string_view left_operand, std::string_view right_operand,
                           const DiffOptions& options, Bytes& out, Bytes& err) {
    const std::string cwd = sys.getcwd();
    auto left = diff_list_tree(sys, path_join_normalize(cwd, left_operand));
    if (!left) {
        push_message(err, "diff", fmt::format("{}: {}", left_operand, error_text(left.error())));
        return 2;
    }
    auto right = diff_list_tree(sys, path_join_normalize(cwd, right_operand));
    if (!right) {
        push_message(err, "diff", fmt::format("{}: {}", right_operand, error_text(right.error())));
        return 2;
    }
    const std::string_view l = trim_trailing_slashes(left_operand);
    const std::string_view r = trim_trailing_slashes(right_operand);
    const auto kind = [](bool dir) { return dir ? "directory" : "regular file"; };

    std::set<std::string> paths;
    for (const auto& [path, _] : *left) paths.insert(path);
    for (const auto& [path, _] : *right) paths.insert(path);

    std::int32_t status = 0;
    // A directory reported as present on one side only hides everything below it.
    std::set<std::string, std::less<>> reported;
    const auto below_reported = [&](std::string_view path) {
        for (std::size_t slash = path.find('/'); slash != std::string_view::npos; slash = path.find('/', slash + 1))
            if (reported.contains(path.substr(0, slash))) return true;
        return false;
    };
    for (const std::string& path : paths) {
        if (!reported.empty() && below_reported(path)) continue;
        const auto lit = left->find(path);
        const auto rit = right->find(path);
        const bool in_left = lit != left->end();
        const bool in_right = rit != right->end();
        if (in_left && in_right) {
            if (lit->second != rit->second) {
                push_line(out, fmt::format("File {}/{} is a {} while file {}/{} is a {}", l, path, kind(lit->second), r,
                                           path, kind(rit->second)));
                status = std::max(status, 1);
            } else if (!lit->second) {
                const std::int32_t s =
                    diff_compare_files(sys, fmt::format("{}/{}", l, path), fmt::format("{}/{}", r, path), options, out, err);
                if (s == 2 || s == kExhaustedStatus) return s;
                status = std::max(status, s);
            }
            continue;
        }
        const bool is_dir = in_left ? lit->second : rit->second;
        if (options.new_file && !is_dir) {
            const std::int32_t s =
                diff_compare_files(sys, fmt::format("{}/{}", l, path), fmt::format("{}/{}", r, path), options, out, err);
            if (s == 2 || s == kExhaustedStatus) return s;
            status = std::max(status, s);
            continue;
        }
        const std::string_view side = in_left ? l : r;
        const std::size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? std::string(side)
                                                           : fmt::format("{}/{}", side, std::string_view(path).substr(0, slash));
        const std::string_view name = slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
        push_line(out, fmt::format("Only in {}: {}", dir, name));
        status = std::max(status, 1);
        if (is_dir) reported.insert(path);
    }
    return status;
}

}  // namespace

std::string diff_normalize_line(std::string_view line, WhitespaceMode whitespace) {
    if (whitespace == WhitespaceMode::None) return std::string(line);
    std::string out;
    out.reserve(line.size());
    bool pending_space = false;
    std::size_t pos = 0;
    while (pos < line.size()) {
        const std::size_t start = pos;
        const char32_t c = utf8_next_char(line, pos);
        if (is_white_space(c)) {
            pending_space = true;
            continue;
        }
        if (pending_space && whitespace == WhitespaceMode::Change && !out.empty()) out += ' ';
        pending_space = false;
        out.append(line.substr(start, pos - start));
    }
    return out;
}

Result<std::map<std::string, bool>, SyscallError> diff_list_tree(Syscalls& sys, std::string_view root) {
    auto listed = sys.walk_tree("/", root);
    if (!listed) return std::unexpected(std::move(listed.error()));
    std::map<std::string, bool> entries;
    const std::string prefix = root == "/" ? std::string("/") : fmt::format("{}/", root);
    for (const std::string& path : *listed) {
        if (!path.starts_with(prefix) || path.size() == prefix.size()) continue;
        auto st = sys.stat("/", path, true);
        if (!st) return std::unexpected(std::move(st.error()));
        entries.emplace(path.substr(prefix.size()), st->file_type == 1);
    }
    return entries;
}

std::int32_t diff_compare_files(Syscalls& sys, std::string_view left, std::string_view right,
                                const DiffOptions& options, Bytes& out, Bytes& err) {
    Bytes contents[2];
    const std::string_view names[2] = {left, right};
    for (int side = 0; side < 2; ++side) {
        auto bytes = command_read_file(sys, names[side]);
        if (bytes) {
            contents[side] = std::move(*bytes);
        } else if (!options.new_file) {
            push_message(err, "diff", fmt::format("{}: {}", names[side], error_text(bytes.error())));
            return 2;
        }
    }
    if (contents[0] == contents[1]) return 0;

    const DiffText a = split_diff_lines(contents[0]);
    const DiffText b = split_diff_lines(contents[1]);
    const std::vector<std::string> ka = comparison_keys(a, options.whitespace);
    const std::vector<std::string> kb = comparison_keys(b, options.whitespace);
    if (ka == kb) return 0;
    if (options.brief) {
        push_line(out, fmt::format("Files {} and {} differ", left, right));
        return 1;
    }

    const std::uint64_t cells = line_diff_cells(ka.size(), kb.size());
    if (cells > kMaxDiffCells) {
        push_message(err, "diff", "inputs are too large for line comparison");
        return 2;
    }
    const std::uint64_t bytes = sat_mul(cells, 8);
    if (!sys.charge_cpu(cells) || !sys.charge_memory(bytes)) return sys.exhausted_status();
    const std::vector<DiffEdit> script = line_diff(ka, kb);
    sys.release_memory(bytes);

    const auto left_last = [&](std::size_t i) { return a.missing_final_newline && i + 1 == a.lines.size(); };
    const auto right_last = [&](std::size_t j) { return b.missing_final_newline && j + 1 == b.lines.size(); };
    if (options.unified) {
        push_line(out, fmt::format("--- {}", left));
        push_line(out, fmt::format("+++ {}", right));
        // An empty side starts at line 0: the new lines go after no line at all.
        push_line(out, fmt::format("@@ -{},{} +{},{} @@", a.lines.empty() ? 0 : 1, a.lines.size(),
                                   b.lines.empty() ? 0 : 1, b.lines.size()));
    }
    for (const DiffEdit& edit : script) {
        switch (edit.kind) {
        case DiffOpKind::Equal:
            if (options.unified) push_diff_line(out, " ", a.lines[edit.left], left_last(edit.left));
            break;
        case DiffOpKind::Delete:
            push_diff_line(out, options.unified ? "-" : "< ", a.lines[edit.left], left_last(edit.left));
            break;
        case DiffOpKind::Insert:
            push_diff_line(out, options.unified ? "+" : "> ", b.lines[edit.right], right_last(edit.right));
            break;
        }
    }
    return 1;
}

std::int32_t diff_command(NativeInvocation& invocation, CommandIo& io) {
    DiffOptions options;
    bool recursive = false;
    std::vector<std::string_view> operands;
    const auto apply_short = [&](char c) {
        switch (c) {
        case 'u': options.unified = true; break;
        case 'r': recursive = true; break;
        case 'q': options.brief = true; break;
        case 'N': options.new_file = true; break;
        case 'w': options.whitespace = WhitespaceMode::All; break;
        case 'b':
            if (options.whitespace != WhitespaceMode::All) options.whitespace = WhitespaceMode::Change;
            break;
        default: break;
        }
    };
    for (const std::string& arg : invocation.args) {
        if (arg == "--") continue;
        static constexpr std::pair<std::string_view, char> kNamed[] = {
            {"-u", 'u'}, {"--unified", 'u'}, {"-r", 'r'}, {"--recursive", 'r'}, {"-q", 'q'}, {"--brief", 'q'},
            {"-N", 'N'}, {"--new-file", 'N'}, {"-w", 'w'}, {"--ignore-all-space", 'w'}, {"-b", 'b'},
            {"--ignore-space-change", 'b'},
        };
        const auto named = std::ranges::find(kNamed, std::string_view(arg), &std::pair<std::string_view, char>::first);
        if (named != std::end(kNamed)) {
            apply_short(named->second);
            continue;
        }
        if (arg.size() >= 3 && arg[0] == '-' &&
            std::ranges::all_of(std::string_view(arg).substr(1), [](char c) { return std::string_view("Nbqruw").contains(c); })) {
            for (char c : std::string_view(arg).substr(1)) apply_short(c);
            continue;
        }
        if (arg.starts_with("-")) {
            push_message(io.err, "diff", fmt::format("unsupported option '{}'", arg));
            return 2;
        }
        operands.push_back(arg);
    }
    if (operands.size() != 2) {
        push_message(io.err, "diff", "missing operand");
        return 2;
    }
    Syscalls& sys = invocation.sys;
    const std::string cwd = sys.getcwd();
    bool any_dir = false;
    for (std::string_view op : operands) {
        auto st = sys.stat(cwd, op, true);
        if (st && st->file_type == 1) any_dir = true;
    }
    if (any_dir) {
        if (!recursive) {
            push_message(io.err, "diff", "directory comparison requires -r");
            return 2;
        }
        return compare_trees(sys, operands[0], operands[1], options, io.out, io.err);
    }
    return diff_compare_files(sys, operands[0], operands[1], options, io.out, io.err);
}

}  // namespace tw
