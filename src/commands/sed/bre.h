// Translation of POSIX basic regular expressions into the syntax of the regex facade
// (base/regex.h). Shared by sed (addresses and substitutions without -E), grep (basic patterns)
// and expr (its ":" operator).
#pragma once

#include <string>
#include <string_view>

#include "base/result.h"

namespace tw {

// The expression in the facade's syntax, or the reason it cannot be translated:
// "trailing backslash" or "backreferences are not supported".
//
//   \( \) \| \+ \? \{ \}   the operators ( ) | + ? { } ("\{,N\}" is "{0,N}")
//   ( ) | + ? { }          literal characters
//   \< \>                  word boundaries (\b)
//   \` \'                  start and end of the subject
//   [ ... ]                copied unchanged (a leading ] and [:class:] belong to the set)
//   * \+ \? \{             literal at the start of the expression or of a group or alternative
//   a repetition of a repetition ("a*\?", "a**") repeats the whole repeated item: "(?:a*)?"
//   ^ and $                anchors at the start and end of the expression, group or
//                          alternative, literal elsewhere
//   \N (a digit)           refused
// Every other character, and a backslash before any other character, is copied as it is.
Result<std::string, std::string> bre_to_regex(std::string_view pattern);

// An extended expression with its word anchors \< and \> (outside bracket expressions) made
// the start and end of a word, which the facade would otherwise read as the characters "<" and
// ">".
// Everything else is left as it is.
std::string ere_word_anchors(std::string_view pattern);

}  // namespace tw
