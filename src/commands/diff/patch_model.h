// The parsed form of a patch and the engine that applies it: a patch text becomes a list of
// file patches (unified diffs, git diffs among them, or the "*** Begin Patch" envelope form), and
// one file patch turns the old content of a file into its new content. Pure computations on
// texts: nothing here reads files or charges budgets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"

namespace tw {

enum class HunkLineKind : std::uint8_t { Context = 0, Delete = 1, Add = 2 };

// One body line of a hunk: the text after its one-character prefix, terminator included ("\n" or
// "\r\n" as written) unless a "\ No newline at end of file" marker removed it.
struct HunkLine {
    HunkLineKind kind = HunkLineKind::Context;
    std::string text;
    bool operator==(const HunkLine&) const = default;
};

struct Hunk {
    // The 1-based old line of a unified hunk header (0: insertion into an empty file). Absent for
    // envelope hunks, except the single hunk of an added file, which has 0.
    std::optional<std::uint64_t> old_start;
    std::vector<HunkLine> lines;
    bool operator==(const Hunk&) const = default;
};

// The change of one file. Paths are relative, without ".." components.
struct FilePatch {
    std::vector<Hunk> hunks;
    std::optional<std::string> old_path;  // absent: the file is created
    std::optional<std::string> new_path;  // absent: the file is deleted
    bool operator==(const FilePatch&) const = default;
};

inline constexpr std::string_view kNoNewlineMarker = "\\ No newline at end of file";

// Unified diffs with `strip` leading path components removed from the header names.
Result<std::vector<FilePatch>, std::string> patch_parse_unified(std::string_view text, std::uint64_t strip);
// The envelope form; the caller has seen that the text begins with "*** Begin Patch".
Result<std::vector<FilePatch>, std::string> patch_parse_envelope(std::string_view text);
// The new content of one file from its old content (empty for a created file).
Result<std::string, std::string> patch_apply_file(std::string_view content, const FilePatch& patch);

// ---- building blocks ----

// Trimmed; refused when empty, absolute or holding a ".." component; leading "./" removed.
Result<std::string, std::string> patch_check_path(std::string_view text);
// The path of a "--- " or "+++ " header line's content: the name runs to the first tab or the end
// of the line (trailing spaces dropped), so names may hold spaces. Absent for "/dev/null".
Result<std::optional<std::string>, std::string> patch_parse_file_header(std::string_view content,
                                                                         std::string_view prefix, std::uint64_t strip);
// Reads one hunk body from `position` on (advancing it). `counts` are the declared (old, new)
// line counts of a unified hunk; without them the body ends before a line beginning with "@@",
// "diff --git " or "*** ".
Result<Hunk, std::string> patch_parse_hunk_body(std::span<const std::string_view> lines, std::size_t& position,
                                                std::optional<std::pair<std::uint64_t, std::uint64_t>> counts,
                                                std::optional<std::uint64_t> old_start);

// A line without one trailing "\n" and then one trailing "\r".
std::string_view patch_line_content(std::string_view line);

}  // namespace tw
