// Glob matching for the shell's pattern tests (test, [ and [[ with =, == and !=) and find's
// -name, -iname and -path.
#pragma once

#include <string_view>

namespace tw {

// Whether the whole `candidate` matches the glob `pattern`.
//
// A pattern holding none of `*`, `?` and `[` matches only a candidate equal to it byte for byte
// (ignoring case when `caseless`). Any other pattern becomes a regular expression anchored at both
// ends: `*` becomes ".*", `?` becomes ".", each of `$ ( ) + . \ ^ |` gets a backslash, and every
// other character, brackets and their contents included, is copied as it is; so [a-z] and [^x]
// are sets, [!x] is the set of "!" and "x", `*` and `?` match "/" but not a newline, and `{2}`
// is a repeat count. A pattern whose expression does not compile matches nothing, and so does a
// candidate on which the match hits the engine's limits.
//
// `?` stands for one character of UTF-8 text; a candidate that is not valid UTF-8 is matched
// byte by byte instead, so that `*` still spans every byte of it.
bool glob_to_regex(std::string_view pattern, std::string_view candidate, bool caseless = false);

}  // namespace tw
