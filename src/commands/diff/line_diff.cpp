#include "commands/diff/line_diff.h"

#include "base/sat.h"

namespace tw {

std::uint64_t line_diff_cells(std::size_t n, std::size_t m) { return sat_mul(sat_add(n, 1), sat_add(m, 1)); }

std::vector<DiffEdit> line_diff(std::span<const std::string> left, std::span<const std::string> right) {
    std::vector<DiffEdit> script;
    script.reserve(left.size() + right.size());
    // A common prefix is taken as it stands: the trace keeps equal keys before anything else, and
    // the table below it only depends on what follows.
    std::size_t prefix = 0;
    while (prefix < left.size() && prefix < right.size() && left[prefix] == right[prefix]) {
        script.push_back({DiffOpKind::Equal, prefix, prefix});
        ++prefix;
    }
    const std::size_t n = left.size() - prefix;
    const std::size_t m = right.size() - prefix;
    const std::span<const std::string> a = left.subspan(prefix);
    const std::span<const std::string> b = right.subspan(prefix);

    // T[i][j]: the length of the longest common subsequence of a[i..] and b[j..].
    const std::size_t width = m + 1;
    std::vector<std::uint32_t> table((n + 1) * width, 0);
    const auto at = [&](std::size_t i, std::size_t j) -> std::uint32_t& { return table[i * width + j]; };
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t j = m; j-- > 0;) {
            if (a[i] == b[j]) at(i, j) = at(i + 1, j + 1) + 1;
            else at(i, j) = std::max(at(i + 1, j), at(i, j + 1));
        }
    }
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < n || j < m) {
        if (i < n && j < m && a[i] == b[j]) {
            script.push_back({DiffOpKind::Equal, prefix + i, prefix + j});
            ++i;
            ++j;
        } else if (j == m || (i < n && at(i, j + 1) <= at(i + 1, j))) {
            script.push_back({DiffOpKind::Delete, prefix + i, prefix + j});
            ++i;
        } else {
            script.push_back({DiffOpKind::Insert, prefix + i, prefix + j});
            ++j;
        }
    }
    return script;
}

}  // namespace tw
