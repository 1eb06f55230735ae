// The line comparison shared by `diff` (and later the git diff family): a longest-common-
// subsequence edit script over two sequences of comparison keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tw {

enum class DiffOpKind : std::uint8_t { Equal = 0, Delete = 1, Insert = 2 };

// One step of an edit script. `left` is the left line of an Equal or Delete step, `right` the
// right line of an Equal or Insert step (the other index is where the step stands on that side).
struct DiffEdit {
    DiffOpKind kind = DiffOpKind::Equal;
    std::size_t left = 0;
    std::size_t right = 0;
    bool operator==(const DiffEdit&) const = default;
};

// The number of table cells the comparison of n and m lines costs: (n+1)(m+1), saturating.
std::uint64_t line_diff_cells(std::size_t n, std::size_t m);

// The edit script turning `left` into `right`, keys compared as byte strings. The script follows
// the suffix LCS table from the first lines on: equal keys are kept, and where removing and adding
// tie, the removal comes first. Every left line appears once as Equal or Delete and every right
// line once as Equal or Insert, both in order. The caller bounds the size (line_diff_cells).
std::vector<DiffEdit> line_diff(std::span<const std::string> left, std::span<const std::string> right);

}  // namespace tw
