// Word expansion: the raw text of a shell word, as the parser stored it (quotes, backslashes and
// $ forms still in it), becomes the fields a command sees. The steps, in order: brace expansion,
// tilde expansion, one left-to-right scan that removes quotes and expands parameters and
// arithmetic, field splitting on IFS, pathname expansion. Everything works on the active process
// of the machine.
//
// Command substitutions are not run here: the executor runs them first, in child processes,
// and rewrites each one as a reference to a variable holding its output. A $( ) or backquote that
// still reaches expansion is an internal error: `last_status` becomes 125, the line
// "tarnwick: internal error: command substitution reached synchronous expansion: {command}" is
// added to the machine's standard-error bytes, and it expands to nothing.
//
// Failures (nounset, ${x:?}, arithmetic errors, nesting, read-only ${x:=}) are recorded in the
// process's `pending_error` (message "tarnwick: ..." with a newline, status 1, fatal), first
// failure of a command wins; the failing part expands to the empty text (or 0) and the rest of
// the words are still expanded. The executor reports the pending error after expansion.
//
// Every expanded value is charged to the memory budget (`charge_expansion_memory`) before it is
// used; once the resource meter holds a stop reason, the scan of a word ends and the text so far
// is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

struct Machine;

// The fields of one raw word. With `split`: brace expansion, field splitting and pathname
// expansion. Without: none of the three (assignment values, case words, here-strings, [[ ]]
// operands); the result is then one field, except that the elements of "$@" and "${a[@]}" stay
// separate fields, and a word that expands to nothing unquoted ($unset) gives no field.
std::vector<std::string> expand_words(Machine& m, std::string_view text, bool split);

// expand_words without splitting, the fields joined with single spaces.
std::string expand_word_text(Machine& m, std::string_view text);

// An assignment value (x=VALUE): as expand_word_text, and a `~` at the start or after an
// unquoted `:` is expanded too (PATH=~/bin:~/x).
std::string expand_assignment_value(Machine& m, std::string_view text);

// A word used as a shell pattern (case patterns, the right side of [[ == ]] and [[ != ]]):
// expanded without splitting, its quoted and escaped parts escaped for the pattern matcher so they
// match literally (shell/pattern.h), unquoted expansion results left active.
std::string expand_pattern_word(Machine& m, std::string_view text);

// The body of a here-document with an unquoted delimiter: parameters and arithmetic are
// expanded; a backslash escapes only $, `, \ and a newline (which it removes); quotes are
// ordinary characters.
std::string expand_heredoc_body(Machine& m, std::string_view body);

// An arithmetic text ((( )), let, the arithmetic for, $(( ))) with its $ forms expanded and its
// double quotes removed, ready for arith_eval.
std::string expand_arith_text(Machine& m, std::string_view text);

// The value of the $ form at the start of `text` (text[0] == '$') and the characters consumed.
// List forms give their elements joined with single spaces.
struct DollarExpansion {
    std::string value;
    std::size_t consumed = 0;
};
DollarExpansion expand_dollar(Machine& m, std::string_view text);

// When `text` starts with a list form ($@, $*, ${name[@]}, ${name[*]}, ${!name[@]}, with an
// optional :offset:length), its elements and the characters consumed; otherwise nothing.
// `quoted`: inside double quotes, where the `*` forms join into one field.
struct ListExpansion {
    std::vector<std::string> fields;
    std::size_t consumed = 0;
};
std::optional<ListExpansion> expand_list_parameter(Machine& m, std::string_view text, bool quoted);

// Charges n bytes to the memory budget; on success adds them to the process's
// `expansion_charge` (the executor releases it after the command). False when refused.
bool charge_expansion_memory(Machine& m, std::uint64_t n);

// Whether the whole `text` matches the shell `pattern` (`caseless`: letters of either case), the
// work charged: the bytes of both as CPU work, the comparisons as the removal operators count
// them, the decoded text held on the memory budget while matching. Nothing when a charge is
// refused (the meter then holds the stop reason).
std::optional<bool> metered_pattern_match(Machine& m, std::string_view pattern, std::string_view text,
                                          bool caseless = false);

// The value of an arithmetic expression for expansion; 0 after a failure, which is recorded as
// "tarnwick: {rendered error}" in the pending error.
std::int64_t arith_expand(Machine& m, std::string_view text);

// ---- the ${...} forms ----

// The text that ${body} gives (lists joined with single spaces).
std::string lookup_parameter_for_expansion(Machine& m, std::string_view body);

// The result of an operator text (":-word", "#pattern", "/p/r", ":1:2", "^^", ...) applied to a
// parameter with this name and optional value.
std::string expand_parameter_op(Machine& m, std::string_view name, std::optional<std::string> value,
                                std::string_view op_text);

// The value of a plain parameter reference: the empty text when it has none; with nounset on
// (and a name other than @ and *) that records "tarnwick: {name}: unbound variable".
std::string lookup_parameter_checked(Machine& m, std::string_view name);

}  // namespace tw
