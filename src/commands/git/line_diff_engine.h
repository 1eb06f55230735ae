// The line comparison of the git history commands: edit scripts over whole lines (newline
// included), optionally under a white-space mode, and their unified hunks. The middle left after
// trimming the common prefix and suffix is compared through the shared LCS table of the diff
// command when both sides hold at most 1000 lines, else replaced wholesale.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/diff/diff_commands.h"

namespace tw {

enum class LineDiffTag : std::uint8_t { Keep = 0, Delete = 1, Insert = 2 };

// One entry of an edit script; the line is a slice of one of the two texts.
struct LineDiffOp {
    std::string_view line;
    LineDiffTag tag = LineDiffTag::Keep;
    bool operator==(const LineDiffOp&) const = default;
};

// Unicode letters (the L categories), and letters or numbers (the L and N categories).
bool unicode_is_letter(char32_t c);
bool unicode_is_alphanumeric(char32_t c);

// The lines of `text`, each with its "\n" (only the last may lack it); none when the text is not
// valid UTF-8.
std::vector<std::string_view> split_diff_lines(std::string_view text);
std::string_view line_without_newline(std::string_view line);
// The edit script from `old_lines` to `new_lines`, lines compared as whole byte strings.
std::vector<LineDiffOp> line_diff(std::span<const std::string_view> old_lines,
                                  std::span<const std::string_view> new_lines);
// The same with lines compared under a white-space mode; a kept line carries the new text.
std::vector<LineDiffOp> line_diff_whitespace(std::span<const std::string_view> old_lines,
                                             std::span<const std::string_view> new_lines, WhitespaceMode mode);
// (insertions, deletions) between two contents; an absent one counts as empty.
std::pair<std::uint64_t, std::uint64_t> line_diff_counts(std::optional<std::string_view> old_content,
                                                         std::optional<std::string_view> new_content,
                                                         WhitespaceMode mode);
// The unified hunks of a script with `context` lines around each change; empty without changes.
std::string build_diff_hunks(const std::vector<LineDiffOp>& script, std::size_t context);

}  // namespace tw
