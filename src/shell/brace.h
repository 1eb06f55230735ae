// Brace expansion, the first step of word expansion: a raw word (quotes still in it) becomes a
// list of raw words by expanding comma lists (a{b,c}d) and sequences ({1..5}, {a..e}, {1..9..2}).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

inline constexpr int kBraceMaxLevel = 8;             // nesting levels expanded
inline constexpr std::size_t kBraceMaxWords = 1024;  // words one expansion may produce
inline constexpr std::size_t kBraceMaxItems = 1024;  // values one sequence may produce

// The words of `word`; never empty (a word without anything to expand is its own result).
//
// A brace expression is a `{` outside quotes, not escaped and not part of a `${...}`, with its
// matching `}` (nested braces counted, quoted and escaped braces ignored), whose body is either a
// list of two or more parts separated by top-level commas, or a sequence start..end[..step]
// of integers or single characters. A `{` that opens no brace expression is ordinary text and
// the search goes on after it. Each alternative is put between the prefix and the suffix and
// expanded again, up to kBraceMaxLevel levels.
//
// Integer sequences are zero-padded only when an end is written with a leading zero (01, -05):
// every value is then written with the width of the wider end as written, sign included.
std::vector<std::string> expand_braces(std::string_view word, int level = 0);

}  // namespace tw
