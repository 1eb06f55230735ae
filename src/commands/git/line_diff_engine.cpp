#include "commands/git/line_diff_engine.h"

#include <fmt/format.h>
#include <utf8proc.h>

#include "base/utf8.h"
#include "commands/diff/line_diff.h"
#include "commands/util/options.h"

namespace tw {

namespace {

constexpr std::size_t kMaxTableLines = 1000;

bool starts_function_context(std::string_view line) {
    if (line.empty()) return false;
    std::size_t pos = 0;
    const char32_t c = utf8_next_char(line, pos);
    return c == '_' || c == '$' || unicode_is_letter(c);
}

std::string diff_hunk_range(std::size_t start, std::size_t count) {
    if (count == 1) return fmt::format("{}", start);
    return fmt::format("{},{}", start, count);
}

}  // namespace

bool unicode_is_letter(char32_t c) {
    const auto category = utf8proc_category(static_cast<utf8proc_int32_t>(c));
    return category >= UTF8PROC_CATEGORY_LU && category <= UTF8PROC_CATEGORY_LO;
}

bool unicode_is_alphanumeric(char32_t c) {
    const auto category = utf8proc_category(static_cast<utf8proc_int32_t>(c));
    return (category >= UTF8PROC_CATEGORY_LU && category <= UTF8PROC_CATEGORY_LO) ||
           (category >= UTF8PROC_CATEGORY_ND && category <= UTF8PROC_CATEGORY_NO);
}

std::vector<std::string_view> split_diff_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    if (!utf8_valid(text)) return lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        std::size_t end = nl == std::string_view::npos ? text.size() : nl + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

std::string_view line_without_newline(std::string_view line) {
    if (line.ends_with('\n')) line.remove_suffix(1);
    return line;
}

std::vector<LineDiffOp> line_diff(std::span<const std::string_view> old_lines,
                                  std::span<const std::string_view> new_lines) {
    const std::size_t n = old_lines.size();
    const std::size_t m = new_lines.size();
    std::size_t prefix = 0;
    while (prefix < n && prefix < m && old_lines[prefix] == new_lines[prefix]) ++prefix;
    std::size_t suffix = 0;
    while (suffix < n - prefix && suffix < m - prefix && old_lines[n - 1 - suffix] == new_lines[m - 1 - suffix])
        ++suffix;
    const std::span<const std::string_view> old_mid = old_lines.subspan(prefix, n - prefix - suffix);
    const std::span<const std::string_view> new_mid = new_lines.subspan(prefix, m - prefix - suffix);

    std::vector<LineDiffOp> script;
    script.reserve(n + m - prefix - suffix);
    for (std::size_t i = 0; i < prefix; ++i) script.push_back({old_lines[i], LineDiffTag::Keep});
    if (old_mid.size() <= kMaxTableLines && new_mid.size() <= kMaxTableLines) {
        // The middles start with a difference, so the shared table walk (keep equal lines, removal
        // before insertion on a tie) gives exactly this script.
        std::vector<std::string> a(old_mid.begin(), old_mid.end());
        std::vector<std::string> b(new_mid.begin(), new_mid.end());
        for (const DiffEdit& e : tw::line_diff(std::span<const std::string>(a), std::span<const std::string>(b))) {
            switch (e.kind) {
            case DiffOpKind::Equal: script.push_back({old_mid[e.left], LineDiffTag::Keep}); break;
            case DiffOpKind::Delete: script.push_back({old_mid[e.left], LineDiffTag::Delete}); break;
            case DiffOpKind::Insert: script.push_back({new_mid[e.right], LineDiffTag::Insert}); break;
            }
        }
    } else {
        for (std::string_view line : old_mid) script.push_back({line, LineDiffTag::Delete});
        for (std::string_view line : new_mid) script.push_back({line, LineDiffTag::Insert});
    }
    for (std::size_t i = n - suffix; i < n; ++i) script.push_back({old_lines[i], LineDiffTag::Keep});
    return script;
}

std::vector<LineDiffOp> line_diff_whitespace(std::span<const std::string_view> old_lines,
                                             std::span<const std::string_view> new_lines, WhitespaceMode mode) {
    if (mode == WhitespaceMode::None) return line_diff(old_lines, new_lines);
    std::vector<std::string> old_norm;
    std::vector<std::string> new_norm;
    old_norm.reserve(old_lines.size());
    new_norm.reserve(new_lines.size());
    for (std::string_view l : old_lines) old_norm.push_back(diff_normalize_line(l, mode));
    for (std::string_view l : new_lines) new_norm.push_back(diff_normalize_line(l, mode));
    std::vector<std::string_view> old_views(old_norm.begin(), old_norm.end());
    std::vector<std::string_view> new_views(new_norm.begin(), new_norm.end());
    std::vector<LineDiffOp> script = line_diff(old_views, new_views);
    std::size_t oi = 0;
    std::size_t ni = 0;
    for (LineDiffOp& op : script) {
        switch (op.tag) {
        case LineDiffTag::Keep:
            op.line = new_lines[ni++];
            ++oi;
            break;
        case LineDiffTag::Delete: op.line = old_lines[oi++]; break;
        case LineDiffTag::Insert: op.line = new_lines[ni++]; break;
        }
    }
    return script;
}

std::pair<std::uint64_t, std::uint64_t> line_diff_counts(std::optional<std::string_view> old_content,
                                                         std::optional<std::string_view> new_content,
                                                         WhitespaceMode mode) {
    std::vector<std::string_view> a = split_diff_lines(old_content.value_or(std::string_view{}));
    std::vector<std::string_view> b = split_diff_lines(new_content.value_or(std::string_view{}));
    std::uint64_t insertions = 0;
    std::uint64_t deletions = 0;
    for (const LineDiffOp& op : line_diff_whitespace(a, b, mode)) {
        if (op.tag == LineDiffTag::Insert) ++insertions;
        else if (op.tag == LineDiffTag::Delete) ++deletions;
    }
    return {insertions, deletions};
}

std::string build_diff_hunks(const std::vector<LineDiffOp>& script, std::size_t context) {
    const std::size_t e = script.size();
    std::vector<std::size_t> old_no(e);
    std::vector<std::size_t> new_no(e);
    std::vector<std::size_t> changes;
    std::size_t old_line = 1;
    std::size_t new_line = 1;
    for (std::size_t k = 0; k < e; ++k) {
        old_no[k] = old_line;
        new_no[k] = new_line;
        switch (script[k].tag) {
        case LineDiffTag::Keep: ++old_line, ++new_line; break;
        case LineDiffTag::Delete:
            ++old_line;
            changes.push_back(k);
            break;
        case LineDiffTag::Insert:
            ++new_line;
            changes.push_back(k);
            break;
        }
    }
    std::string out;
    std::size_t a = 0;
    while (a < changes.size()) {
        const std::size_t s = changes[a] >= context ? changes[a] - context : 0;
        std::size_t last = changes[a];
        std::size_t b = a + 1;
        while (b < changes.size() && changes[b] - last <= 2 * context + 1) last = changes[b++];
        const std::size_t t = std::min(last + context, e - 1);
        std::size_t old_count = 0;
        std::size_t new_count = 0;
        for (std::size_t k = s; k <= t; ++k) {
            if (script[k].tag != LineDiffTag::Insert) ++old_count;
            if (script[k].tag != LineDiffTag::Delete) ++new_count;
        }
        const std::size_t old_start = old_count != 0 || old_no[s] == 0 ? old_no[s] : old_no[s] - 1;
        const std::size_t new_start = new_count != 0 || new_no[s] == 0 ? new_no[s] : new_no[s] - 1;
        std::string function_context;
        for (std::size_t k = s; k-- > 0;) {
            if (script[k].tag == LineDiffTag::Insert) continue;
            std::string_view line = line_without_newline(script[k].line);
            if (line.empty() || !starts_function_context(line)) continue;
            function_context = fmt::format(" {}", line);
            break;
        }
        out += fmt::format("@@ -{} +{} @@{}\n", diff_hunk_range(old_start, old_count),
                           diff_hunk_range(new_start, new_count), function_context);
        for (std::size_t k = s; k <= t; ++k) {
            const LineDiffOp& op = script[k];
            out += op.tag == LineDiffTag::Keep ? ' ' : op.tag == LineDiffTag::Delete ? '-' : '+';
            out += line_without_newline(op.line);
            out += '\n';
            if (!op.line.ends_with('\n')) out += "\\ No newline at end of file\n";
        }
        a = b;
    }
    return out;
}

}  // namespace tw
