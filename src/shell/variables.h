// The variable store of a shell process: scalar variables, indexed and associative arrays, the
// export and read-only marks, positional parameters and the special parameters computed on
// lookup ($?, $$, RANDOM, PWD, ...). Everything works on one ProcessState, normally the active
// one. The store reports no errors: callers check read-only names, nounset and subscripts.
//
// Modeled sizes: a scalar counts (name + 48) + (value + 48) bytes, an array (name + 48) plus its
// elements (value + 64 each in an indexed array, (key + 48) + (value + 48) each in an associative
// one). `variables_size` and
// `arrays_size` always equal the sums over the entries (saturating).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "kernel/process.h"
#include "shell/arith.h"

namespace tw {

using SavedVariable = ProcessState::SavedVariable;

// Arithmetic assignments to elements above this index are refused.
inline constexpr std::uint64_t kMaxArithSubscript = 1048576;

// ---- parameters and scalars ----

// The value of a parameter as expansion sees it: special parameters ($? $$ PPID BASHPID RANDOM
// # PWD @ *), positional parameters (0 is the shell name), element 0 of an array (the empty
// text when it has none), then the scalar variable. A RANDOM lookup steps the generator.
std::optional<std::string> lookup_parameter(ProcessState& state, std::string_view name);

// Assigns a scalar, with the special names RANDOM (reseeds, stores nothing), PWD (sets cwd) and
// OPTIND (resets getopts). Removes an array of the same name. Read-only names are not checked.
void set_variable(ProcessState& state, std::string_view name, std::string value);
void set_variable_str(ProcessState& state, std::string_view name, std::string_view value);

// Removes the scalar entry; the removed value, if any.
std::optional<std::string> remove_variable(ProcessState& state, std::string_view name);
void unexport_variable(ProcessState& state, std::string_view name);

// Non-empty; first byte `_` or an ASCII letter, the rest `_`, ASCII letters and digits.
bool is_shell_name(std::string_view text);

// ---- arrays ----

// Modeled size of one array entry: (name + 48) + the array's elements.
std::uint64_t array_entry_size(std::string_view name, const ShellArray& array);

const ShellArray* find_array(const ProcessState& state, std::string_view name);
bool is_array(const ProcessState& state, std::string_view name);
bool is_associative_array(const ProcessState& state, std::string_view name);

// Inserts or replaces a whole array (BASH_REMATCH, `declare -A`, list assignments). A scalar of
// the same name stays (reads consult the arrays first).
void store_array(ProcessState& state, std::string_view name, ShellArray array);
// Removes the array; the removed array, if any.
std::optional<ShellArray> remove_array(ProcessState& state, std::string_view name);

// An indexed subscript: surrounding white space removed, an optional `+`, decimal digits that fit
// in 64 bits. Anything else (negative numbers, names, expressions) gives nothing.
std::optional<std::uint64_t> parse_array_index(std::string_view subscript);

// The element: by key for an associative array, by parse_array_index for an indexed one.
std::optional<std::string> get_array_element(const ProcessState& state, std::string_view name,
                                             std::string_view subscript);
// Values, and indexes in decimal or keys, in the array's order; empty without an array.
std::vector<std::string> array_values(const ProcessState& state, std::string_view name);
std::vector<std::string> array_keys(const ProcessState& state, std::string_view name);
// The number of elements; 0 without an array.
std::uint64_t array_length(const ProcessState& state, std::string_view name);

// Makes an empty indexed array unless an array of that name exists; a scalar's value becomes
// element 0 (the scalar entry stays, so the environment still exports it).
void ensure_indexed_array(ProcessState& state, std::string_view name);
// Stores one element: the subscript is the key of an associative array; otherwise the name becomes
// an indexed array (ensure_indexed_array) and an unreadable subscript stores at index 0.
void set_array_element(ProcessState& state, std::string_view name, std::string_view subscript,
                       std::string value);
// Removes one element as `unset name[subscript]` does: the key of an associative array, or the
// index of an indexed one (an unreadable subscript removes nothing). Whether one was removed.
bool unset_array_element(ProcessState& state, std::string_view name, std::string_view subscript);

// ---- local saves and getopts ----

// (name length + 48) + the saved scalar's (value + 48) + the saved array's size; saturating.
std::uint64_t saved_variable_size(const SavedVariable& saved, std::uint64_t name_length);

// Stores `optind` in decimal as OPTIND, without the special handling of set_variable.
void store_optind(ProcessState& state);
// One option letter of a cluster of `cluster_length` characters consumed.
void advance_getopts_position(ProcessState& state, std::uint64_t cluster_length);

// ---- the arithmetic environment ----

// A negative index counts back from the highest index plus one (of an indexed array; otherwise 1
// when the parameter has a value, else 0). Fails with "{name}[{index}]: bad array subscript".
Result<std::uint64_t, std::string> arith_resolve_subscript(ProcessState& state, std::string_view name,
                                                           std::int64_t index);

// The variables of one shell process as arithmetic reads and writes them; honours nounset and
// refuses read-only names.
class ShellArithEnv final : public ArithEnv {
public:
    explicit ShellArithEnv(ProcessState& state, ResourceMeter* meter = nullptr) : state_(state), meter_(meter) {}
    Result<std::optional<std::string>, std::string> get(std::string_view name) override;
    Result<std::optional<std::string>, std::string> get_element(std::string_view name,
                                                                std::int64_t index) override;
    Result<void, std::string> set(std::string_view name, std::int64_t value) override;
    Result<void, std::string> set_element(std::string_view name, std::int64_t index,
                                          std::int64_t value) override;
    bool is_associative(std::string_view name) override;
    Result<std::optional<std::string>, std::string> get_key(std::string_view name, std::string_view key) override;
    Result<void, std::string> set_key(std::string_view name, std::string_view key, std::int64_t value) override;
    bool charge_work(std::uint64_t units) override;

private:
    ProcessState& state_;
    ResourceMeter* meter_;
};

}  // namespace tw
