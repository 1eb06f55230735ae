// Hunk application: exact matching of each hunk's old side, forward from where the previous hunk
// ended, with no fuzz and no tolerance for white space or line ends.
#include <algorithm>
#include <cstdint>
#include <limits>

#include <fmt/format.h>

#include "base/sat.h"
#include "base/utf8.h"
#include "commands/diff/patch_model.h"
#include "commands/util/text.h"

namespace tw {

namespace {

bool matches_at(const std::vector<std::string_view>& lines, const std::vector<std::string_view>& old,
                std::uint64_t p, bool anchored_start, bool anchored_end) {
    const std::uint64_t n = lines.size();
    if (p > n || old.size() > n - p) return false;
    if (anchored_end && p + old.size() != n) return false;
    if (anchored_start && p != 0) return false;
    for (std::size_t k = 0; k < old.size(); ++k)
        if (lines[p + k] != old[k]) return false;
    return true;
}

}  // namespace

Result<std::string, std::string> patch_apply_file(std::string_view content, const FilePatch& patch) {
    if (!utf8_valid(content)) return std::unexpected(std::string("patched files must be UTF-8 text"));
    // The lines are views into `content` or into the patch's hunk texts, both of which outlive them.
    std::vector<std::string_view> lines = split_records(content);
    std::uint64_t cursor = 0;
    std::int64_t delta = 0;
    for (const Hunk& hunk : patch.hunks) {
        std::vector<std::string_view> old_side;
        std::vector<std::string_view> new_side;
        for (const HunkLine& line : hunk.lines) {
            if (line.kind != HunkLineKind::Add) old_side.push_back(line.text);
            if (line.kind != HunkLineKind::Delete) new_side.push_back(line.text);
        }
        std::size_t trailing = 0;
        for (auto it = hunk.lines.rbegin(); it != hunk.lines.rend() && it->kind == HunkLineKind::Context; ++it)
            ++trailing;
        // Missing context at an end of a hunk means the hunk sits at that end of the file. A hunk
        // without any context (as a diff with no context lines writes it) says nothing about the
        // ends and is placed by its line number alone.
        const bool has_context = std::ranges::any_of(
            hunk.lines, [](const HunkLine& line) { return line.kind == HunkLineKind::Context; });
        const bool anchored_end = hunk.old_start.has_value() && has_context && trailing == 0;
        const bool anchored_start = hunk.old_start.has_value() && has_context && *hunk.old_start <= 1;
        // With an empty old side the header names the line after which the new lines go.
        const bool insertion = hunk.old_start.has_value() && old_side.empty();

        std::optional<std::uint64_t> found;
        std::uint64_t first = cursor;
        if (hunk.old_start) {
            const std::uint64_t line = insertion ? *hunk.old_start : sat_sub(*hunk.old_start, 1);
            const std::int64_t base =
                static_cast<std::int64_t>(std::min<std::uint64_t>(line, std::numeric_limits<std::int64_t>::max()));
            const std::int64_t candidate = sat_add(base, delta);
            if (candidate < 0) return std::unexpected(std::string("hunk position underflow"));
            first = static_cast<std::uint64_t>(candidate);
        }
        if (matches_at(lines, old_side, first, anchored_start, anchored_end)) {
            found = first;
        } else if (insertion && lines.empty()) {
            // Into an empty file the lines can go to one place only, whatever the header says
            // ("-1,0" as well as "-0,0").
            found = 0;
        } else if (!insertion) {
            // A positioned insertion matches anywhere, so it is never searched for.
            const std::uint64_t last = lines.size() >= old_side.size() ? lines.size() - old_side.size() : 0;
            for (std::uint64_t p = cursor; p <= last; ++p) {
                if (matches_at(lines, old_side, p, anchored_start, anchored_end)) {
                    found = p;
                    break;
                }
            }
        }
        if (!found) {
            if (hunk.old_start) return std::unexpected(fmt::format("patch failed at line {}", *hunk.old_start));
            return std::unexpected(std::string("hunk context was not found exactly"));
        }
        const std::uint64_t p = *found;
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(p),
                    lines.begin() + static_cast<std::ptrdiff_t>(p + old_side.size()));
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(p), new_side.begin(), new_side.end());
        delta = sat_add(delta, signed_delta(new_side.size(), old_side.size()));
        cursor = p + new_side.size();
    }
    std::string out;
    std::size_t total = 0;
    for (std::string_view line : lines) total += line.size();
    out.reserve(total);
    for (std::string_view line : lines) out.append(line);
    return out;
}

}  // namespace tw
