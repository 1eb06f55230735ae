// The two patch parsers: unified diffs and the envelope form.
#include <fmt/format.h>

#include "base/sat.h"
#include "commands/diff/patch_model.h"
#include "commands/util/options.h"
#include "commands/util/text.h"

namespace tw {

namespace {

bool starts_with(std::string_view text, std::string_view prefix) { return text.starts_with(prefix); }

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

// START or START,COUNT (COUNT defaults to 1).
std::optional<std::pair<std::uint64_t, std::uint64_t>> parse_range(std::string_view text) {
    const std::size_t comma = text.find(',');
    if (comma == std::string_view::npos) {
        auto start = parse_decimal_u64(text);
        if (!start) return std::nullopt;
        return std::pair{*start, std::uint64_t{1}};
    }
    auto start = parse_decimal_u64(text.substr(0, comma));
    auto count = parse_decimal_u64(text.substr(comma + 1));
    if (!start || !count) return std::nullopt;
    return std::pair{*start, *count};
}

struct HunkHeader {
    std::uint64_t old_start = 0;
    std::uint64_t old_count = 0;
    std::uint64_t new_count = 0;
};

Result<HunkHeader, std::string> parse_hunk_header(std::string_view content) {
    const auto invalid = [&] { return std::unexpected(fmt::format("invalid hunk header: {}", content)); };
    if (!starts_with(content, "@@ -")) return invalid();
    std::string_view rest = content.substr(4);
    const std::size_t space = rest.find(' ');
    if (space == std::string_view::npos) return invalid();
    const std::string_view old_range = rest.substr(0, space);
    rest = rest.substr(space + 1);
    if (!starts_with(rest, "+")) return invalid();
    rest = rest.substr(1);
    const std::size_t space2 = rest.find(' ');
    if (space2 == std::string_view::npos) return invalid();
    const std::string_view new_range = rest.substr(0, space2);
    auto old_r = parse_range(old_range);
    auto new_r = parse_range(new_range);
    if (!old_r || !new_r) return std::unexpected(fmt::format("invalid range in hunk: {}", content));
    return HunkHeader{old_r->first, old_r->second, new_r->second};
}

// The text after "*** Begin Patch"-style directive prefixes.
std::optional<std::string_view> after(std::string_view content, std::string_view prefix) {
    if (!starts_with(content, prefix)) return std::nullopt;
    return content.substr(prefix.size());
}

}  // namespace

std::string_view patch_line_content(std::string_view line) {
    if (line.ends_with('\n')) line.remove_suffix(1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    return line;
}

Result<std::string, std::string> patch_check_path(std::string_view text) {
    const std::string_view trimmed = trim(text);
    const auto unsafe = [&] { return std::unexpected(fmt::format("unsafe patch path: '{}'", trimmed)); };
    if (trimmed.empty() || trimmed.front() == '/') return unsafe();
    std::size_t start = 0;
    while (start <= trimmed.size()) {
        std::size_t slash = trimmed.find('/', start);
        if (slash == std::string_view::npos) slash = trimmed.size();
        if (trimmed.substr(start, slash - start) == "..") return unsafe();
        start = slash + 1;
    }
    std::string_view rest = trimmed;
    while (starts_with(rest, "./")) rest.remove_prefix(2);
    return std::string(rest);
}

Result<std::optional<std::string>, std::string> patch_parse_file_header(std::string_view content,
                                                                         std::string_view prefix, std::uint64_t strip) {
    if (!starts_with(content, prefix)) return std::unexpected(fmt::format("expected {}file header", prefix));
    std::string_view name = content.substr(prefix.size());
    // The name ends at a tab (before a timestamp) or at the end of the line; it may hold spaces.
    if (const std::size_t tab = name.find('\t'); tab != std::string_view::npos) name = name.substr(0, tab);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (name == "/dev/null") return std::optional<std::string>{};

    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t slash = name.find('/', start);
        if (slash == std::string_view::npos) slash = name.size();
        if (slash > start) parts.push_back(name.substr(start, slash - start));
        start = slash + 1;
    }
    if (parts.size() < sat_add(strip, 1)) return std::unexpected(fmt::format("cannot strip {} components from '{}'", strip, name));
    std::string joined;
    for (std::size_t i = static_cast<std::size_t>(strip); i < parts.size(); ++i) {
        if (!joined.empty()) joined += '/';
        joined.append(parts[i]);
    }
    auto checked = patch_check_path(joined);
    if (!checked) return std::unexpected(std::move(checked.error()));
    return std::optional<std::string>{std::move(*checked)};
}

Result<Hunk, std::string> patch_parse_hunk_body(std::span<const std::string_view> lines, std::size_t& position,
                                                std::optional<std::pair<std::uint64_t, std::uint64_t>> counts,
                                                std::optional<std::uint64_t> old_start) {
    Hunk hunk;
    hunk.old_start = old_start;
    std::uint64_t old_seen = 0;
    std::uint64_t new_seen = 0;
    while (position < lines.size()) {
        const std::string_view line = lines[position];
        const std::string_view content = patch_line_content(line);
        const bool marker = content == kNoNewlineMarker;
        if (counts) {
            if (old_seen == counts->first && new_seen == counts->second && !marker) break;
        } else if (starts_with(content, "@@") || starts_with(content, "diff --git ") || starts_with(content, "*** ")) {
            break;
        }
        if (marker) {
            if (hunk.lines.empty()) return std::unexpected(std::string("orphaned no-newline marker"));
            // Only the "\n" goes: a "\r" before it belongs to the line (a last line "x\r" of a
            // file is written "x\r\n" followed by the marker).
            std::string& last = hunk.lines.back().text;
            if (last.ends_with('\n')) last.pop_back();
            ++position;
            continue;
        }
        const char prefix = line.empty() ? '\n' : line.front();
        HunkLineKind kind;
        switch (prefix) {
        case ' ': kind = HunkLineKind::Context; old_seen = sat_add(old_seen, 1); new_seen = sat_add(new_seen, 1); break;
        case '-': kind = HunkLineKind::Delete; old_seen = sat_add(old_seen, 1); break;
        case '+': kind = HunkLineKind::Add; new_seen = sat_add(new_seen, 1); break;
        default: {
            // The whole first character, also when it takes several bytes.
            std::size_t end = 0;
            utf8_next_char(line, end);
            return std::unexpected(fmt::format("invalid hunk line prefix: {}", line.substr(0, end)));
        }
        }
        hunk.lines.push_back({kind, std::string(line.substr(1))});
        ++position;
    }
    if (counts && (old_seen != counts->first || new_seen != counts->second))
        return std::unexpected(std::string("hunk body does not match its declared line counts"));
    return hunk;
}

Result<std::vector<FilePatch>, std::string> patch_parse_unified(std::string_view text, std::uint64_t strip) {
    const std::vector<std::string_view> lines = split_records(text);
    std::vector<FilePatch> patches;
    std::size_t i = 0;
    while (i < lines.size()) {
        const std::string_view content = patch_line_content(lines[i]);
        if (!starts_with(content, "--- ")) {
            ++i;
            continue;
        }
        FilePatch patch;
        auto old_path = patch_parse_file_header(content, "--- ", strip);
        if (!old_path) return std::unexpected(std::move(old_path.error()));
        if (i + 1 >= lines.size()) return std::unexpected(std::string("missing +++ file header"));
        auto new_path = patch_parse_file_header(patch_line_content(lines[i + 1]), "+++ ", strip);
        if (!new_path) return std::unexpected(std::move(new_path.error()));
        patch.old_path = std::move(*old_path);
        patch.new_path = std::move(*new_path);
        i += 2;
        while (i < lines.size()) {
            const std::string_view body = patch_line_content(lines[i]);
            if (starts_with(body, "--- ") || starts_with(body, "diff --git ")) break;
            if (!starts_with(body, "@@ ")) {
                ++i;
                continue;
            }
            auto header = parse_hunk_header(body);
            if (!header) return std::unexpected(std::move(header.error()));
            ++i;
            auto hunk = patch_parse_hunk_body(lines, i, std::pair{header->old_count, header->new_count},
                                              header->old_start);
            if (!hunk) return std::unexpected(std::move(hunk.error()));
            patch.hunks.push_back(std::move(*hunk));
        }
        if (patch.hunks.empty()) return std::unexpected(std::string("file patch contains no hunks"));
        patches.push_back(std::move(patch));
    }
    if (patches.empty()) return std::unexpected(std::string("no unified file patches found"));
    return patches;
}

Result<std::vector<FilePatch>, std::string> patch_parse_envelope(std::string_view text) {
    const std::vector<std::string_view> lines = split_records(text);
    if (lines.empty()) return std::unexpected(std::string("empty patch"));
    if (patch_line_content(lines.back()) != "*** End Patch")
        return std::unexpected(std::string("missing *** End Patch marker"));
    const std::size_t end = lines.size() - 1;
    const std::span<const std::string_view> all(lines.data(), end);
    std::vector<FilePatch> patches;
    std::size_t i = 1;
    while (i < end) {
        const std::string_view content = patch_line_content(lines[i]);
        if (content.empty()) {
            ++i;
            continue;
        }
        if (auto path = after(content, "*** Add File: ")) {
            ++i;
            Hunk hunk;
            hunk.old_start = 0;
            while (i < end && !starts_with(patch_line_content(lines[i]), "*** ")) {
                if (!starts_with(lines[i], "+"))
                    return std::unexpected(fmt::format("added file '{}' contains a non-addition line", *path));
                hunk.lines.push_back({HunkLineKind::Add, std::string(lines[i].substr(1))});
                ++i;
            }
            auto checked = patch_check_path(*path);
            if (!checked) return std::unexpected(std::move(checked.error()));
            FilePatch patch;
            patch.new_path = std::move(*checked);
            patch.hunks.push_back(std::move(hunk));
            patches.push_back(std::move(patch));
        } else if (auto path = after(content, "*** Delete File: ")) {
            ++i;
            auto checked = patch_check_path(*path);
            if (!checked) return std::unexpected(std::move(checked.error()));
            FilePatch patch;
            patch.old_path = std::move(*checked);
            patches.push_back(std::move(patch));
        } else if (auto path = after(content, "*** Update File: ")) {
            ++i;
            auto checked = patch_check_path(*path);
            if (!checked) return std::unexpected(std::move(checked.error()));
            FilePatch patch;
            while (i < end && !starts_with(patch_line_content(lines[i]), "*** ")) {
                if (!starts_with(patch_line_content(lines[i]), "@@"))
                    return std::unexpected(fmt::format("expected @@ hunk header for '{}'", *checked));
                ++i;
                auto hunk = patch_parse_hunk_body(all, i, std::nullopt, std::nullopt);
                if (!hunk) return std::unexpected(std::move(hunk.error()));
                patch.hunks.push_back(std::move(*hunk));
            }
            if (patch.hunks.empty())
                return std::unexpected(fmt::format("file patch for '{}' contains no hunks", *checked));
            patch.old_path = *checked;
            patch.new_path = std::move(*checked);
            patches.push_back(std::move(patch));
        } else {
            return std::unexpected(fmt::format("unsupported patch directive: {}", content));
        }
    }
    if (patches.empty()) return std::unexpected(std::string("patch contains no file operations"));
    return patches;
}

}  // namespace tw
