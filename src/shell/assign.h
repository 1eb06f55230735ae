// Assignments of simple commands: x=1, x+=1, a[i]=v, a=(x y), m=([k]=v), alone or in front of a
// command (LANG=C sort f).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

struct Assignment;
struct Machine;
struct ProcessState;

// Applies one assignment to the active process. `name_text` is everything before the first `=`
// (with a trailing `+` for appending and a [subscript] when written); `value_text` the raw value.
//
// - A read-only name: `pending_error` is replaced by "tarnwick: {name}: readonly variable",
//   status 1, not fatal, and nothing is assigned.
// - A value that is a parenthesised list assigns an array: its elements are the words of the text
//   between the parentheses, each expanded with splitting and pathname expansion; [key]=value
//   elements store at that key (associative) or index (indexed, evaluated arithmetically); other
//   elements go to the index after the last one stored. Without `+` the array is emptied first.
// - Otherwise the value is expanded without splitting (tilde after `=` and `:` included) and
//   assigned: to an element with a subscript (arithmetic index for indexed arrays, negative ones
//   counting back from the end; the key of an associative array), to element 0 when appending to
//   an array, else as a scalar (special names as the variable store defines them).
// Expansion failures land in `pending_error` as word expansion records them.
void run_assignments(Machine& m, std::string_view name_text, std::string_view value_text);

// Whether the word is an assignment of the array kind: NAME[...]=..., NAME=(...) or
// NAME+=(...), NAME a shell name.
bool is_array_assignment_word(std::string_view word);

// The saved value of a name assigned in front of a command.
struct RestoreEntry {
    std::string name;
    std::optional<std::string> value;  // none: the name had no scalar value
    bool unexport = false;             // the name was not exported before: the mark goes again
    bool operator==(const RestoreEntry&) const = default;
};
using RestoreList = std::vector<RestoreEntry>;

// Assignments in front of a command: every value is expanded (without splitting) before any is
// assigned; each name's current scalar value is saved; then the names are assigned in order with
// the special names of the variable store and exported. A `+` after the name appends to the
// current value. A read-only name replaces `pending_error` with "tarnwick: {name}: readonly
// variable" (status 1, not fatal) and stops. When `pending_error` holds a message afterwards
// (that refusal or a failed expansion), the saved values are put back at once and the returned
// list is empty; otherwise the caller runs the command and then calls `restore_variables`.
RestoreList apply_prefix_assignments(Machine& m, std::span<const Assignment> assignments);

// Puts saved values back: a name that had a value gets it again, a name that had none loses its
// scalar, and a name that the assignment exported loses its export mark. Arrays and the effects of
// special names (cwd, RANDOM) stay.
void restore_variables(ProcessState& state, const RestoreList& saved);

}  // namespace tw
