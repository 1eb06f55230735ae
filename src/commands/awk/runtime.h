// The awk runtime: values, variables, arrays, the current record, and the operations of the
// evaluator, the builtin functions, the formatter and the statement executor over them.
//
// Evaluation is metered: every expression node and every statement costs one work unit, scans
// cost what they scan, and what the program stores is charged to the memory budget. A failure is
// an AwkFlow (Error with a message, or Exhausted) that ends the program.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/regex.h"
#include "commands/awk/ast.h"
#include "shell/command_io.h"

namespace tw {

// ---- values ----

// Str: a text. Num: a number, which always carries its text form. Uninit: the value of an unset
// variable, a missing element or a field past the last: it is the empty text and the number 0
// at once, so it compares equal to both 0 and "".
enum class AwkValueKind : std::uint8_t { Str = 0, Num = 1, Uninit = 2 };

struct AwkValue {
    AwkValueKind kind = AwkValueKind::Uninit;
    double number = 0;  // Num only
    std::string text;

    static AwkValue from_number(double x);
    static AwkValue from_text(std::string text) { return {AwkValueKind::Str, 0, std::move(text)}; }
    // Makes this value the number x (reusing the text's storage).
    void set_number(double x);
    void set_text(std::string_view t) {
        kind = AwkValueKind::Str;
        text.assign(t);
    }
    void set_uninit() {
        kind = AwkValueKind::Uninit;
        text.clear();
    }
};

// Room for the text form of any number.
inline constexpr std::size_t kAwkNumberChars = 400;
// The text form of a number into `buf` (kAwkNumberChars bytes); its length.
std::size_t awk_number_chars(double x, char* buf);
// The text form of a number: integers without a point (up to 1e18 as 64-bit integers, beyond
// that the exact value of the double), other numbers as the shortest digits that read back
// exactly, never with an exponent; "NaN", "inf", "-inf".
std::string awk_format_number(double x);
// The same, appended to `out`.
void awk_append_number(std::string& out, double x);

// The number of a text as a whole, blanks around it allowed (nothing for any other text).
std::optional<double> awk_parse_number(std::string_view text);
// The number of the longest numeric prefix of a text after leading white space (0 when none).
double awk_text_to_number(std::string_view text);

// The number of a value when it has one: a Num, the number 0 of Uninit, or a text that is a
// number as a whole.
std::optional<double> awk_numeric_value(const AwkValue& v);
// The value as a number: a text converts by its longest numeric prefix.
double awk_to_number(const AwkValue& v);
bool awk_truthy(const AwkValue& v);
// -1, 0 or 1; `unordered` is set when a numeric comparison involved NaN.
int awk_compare(const AwkValue& a, const AwkValue& b, bool& unordered);

bool awk_is_readonly_special(std::string_view name);

// The byte length of the white-space character (Unicode White_Space) at t[i], 0 for any other.
std::size_t awk_space_length(std::string_view t, std::size_t i);

// NAME=VALUE: the name and the rest after the first "=", when the name is an awk name.
std::optional<std::pair<std::string, std::string>> awk_split_assignment(std::string_view text);

// ---- flows ----

enum class AwkFlowKind : std::uint8_t { Normal, Break, Continue, Next, NextFile, Exit, Error, Exhausted };

struct AwkFlow {
    AwkFlowKind kind = AwkFlowKind::Normal;
    std::int32_t code = 0;  // Exit
    std::string message;    // Error
};

enum class AwkPhase : std::uint8_t { Begin = 0, Record = 1, End = 2 };

// ---- the runtime state ----

struct AwkStringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
using AwkArray = std::unordered_map<std::string, AwkValue, AwkStringHash, std::equal_to<>>;

// How a record is cut into fields: at runs of white space, at one byte, at a fixed text, or at
// the matches of a pattern.
struct AwkSplitter {
    enum class Mode : std::uint8_t { Blank, Byte, Literal, Pattern };
    Mode mode = Mode::Blank;
    std::string source;  // the separator text this splitter was made from
    char byte = 0;
    std::optional<Regex> pattern;
};

class AwkRuntime {
public:
    AwkRuntime(Syscalls& sys, CommandIo& io, const AwkProgram& program, std::string fs);
    ~AwkRuntime();
    AwkRuntime(const AwkRuntime&) = delete;
    AwkRuntime& operator=(const AwkRuntime&) = delete;

    Syscalls& sys;
    CommandIo& io;
    const AwkProgram& program;

    std::string filename;
    std::string fs;
    std::string ofs = " ";
    std::string ors = "\n";
    std::uint64_t nr = 0;
    std::uint64_t fnr = 0;

    std::uint64_t tracked_memory = 0;
    std::uint64_t record_memory = 0;

    // The failure of the last operation that answered false; for a statement that answered Exit,
    // its code.
    AwkFlow failure;

    // ---- variables and arrays ----
    // The value of an ordinary scalar (its text made when it was left for later).
    const AwkValue& scalar(std::uint32_t slot) {
        if (var_set_[slot] == kNumberPending) settle_scalar(slot);
        return vars_[slot];
    }
    // The number of an ordinary scalar, without making its text.
    double scalar_number(std::uint32_t slot) const {
        return var_set_[slot] == kNumberPending ? vars_[slot].number : awk_to_number(vars_[slot]);
    }
    bool scalar_set(std::uint32_t slot) const { return var_set_[slot] != 0; }
    // The array of a slot, or null when it does not exist.
    AwkArray* array(std::uint32_t slot) { return arrays_[slot].get(); }
    AwkArray& make_array(std::uint32_t slot);
    void drop_array(std::uint32_t slot) { arrays_[slot].reset(); }
    // The slot of a scalar name, when the program uses it.
    std::optional<std::uint32_t> scalar_slot_of(std::string_view name) const;

    // Stores into an ordinary scalar without memory accounting (command-line assignments).
    void preset_scalar(std::uint32_t slot, AwkValue value);

    // ---- the record and its fields ----
    // The text of $0.
    std::string_view record() const { return record_; }
    // Makes `text` the record: borrowed (it must outlive the record: an input's line) or copied.
    void set_record_text(std::string_view text, bool borrowed);
    // The number of fields of the current record (splitting it when that has not happened).
    bool nf(std::uint64_t& out);
    // Field i (1 based) of the split record; i <= number of fields.
    std::string_view field(std::uint64_t i) const { return fields_[i - 1]; }
    bool split_current();
    std::size_t field_count() const { return nfields_; }
    // Replaces field n (1 based; fields up to n are added empty) and rebuilds $0 with OFS.
    void replace_field(std::size_t n, std::string_view text);
    void clear_fields() { nfields_ = 0; }

    // Splitter for the FS of the current record; rebuilt when FS changed since.
    const AwkSplitter& record_splitter() const { return record_splitter_; }
    bool prepare_record_splitter();
    // A splitter for an arbitrary separator text (split's third argument).
    bool make_splitter(std::string_view separator, AwkSplitter& out);

    // ---- regular expressions ----
    // The compiled literal of a slot (compiled and charged on first use).
    const Regex* literal_regex(std::uint32_t slot);
    // A pattern given as text.
    const Regex* dynamic_regex(std::string_view source);

    // ---- failures ----
    bool fail_error(std::string message) {
        failure = AwkFlow{AwkFlowKind::Error, 0, std::move(message)};
        return false;
    }
    bool fail_exhausted() {
        failure = AwkFlow{AwkFlowKind::Exhausted, 0, {}};
        return false;
    }
    // A search that failed: refused by the CPU budget, or stopped by the engine's own limits.
    bool fail_match(const RegexError& error);
    bool charge_cpu(std::uint64_t units);
    // Moves the tracked memory from `old_cost` to `new_cost`.
    bool adjust_memory(std::uint64_t old_cost, std::uint64_t new_cost);

    // The slots of RSTART and RLENGTH, which match assigns, when the program names them.
    std::optional<std::uint32_t> rstart_slot, rlength_slot;

    // Scratch values for print arguments.
    std::vector<AwkValue> print_scratch;

private:
    friend bool awk_assign_scalar(AwkRuntime& rt, std::uint32_t slot, const AwkValue& value);
    friend bool awk_store_scalar_number(AwkRuntime& rt, std::uint32_t slot, double x);

    // Scalars: 0 unset, 1 set, kNumberPending set to an integral number whose text is made when
    // first read (a counter or a sum updated for every record is seldom printed in between).
    static constexpr std::uint8_t kNumberPending = 2;
    void settle_scalar(std::uint32_t slot);
    std::uint64_t scalar_cost(std::uint32_t slot) const;
    std::vector<AwkValue> vars_;
    std::vector<std::uint8_t> var_set_;
    std::vector<std::unique_ptr<AwkArray>> arrays_;
    std::vector<std::optional<Regex>> literals_;
    // Patterns given as text (and separators), kept for their next use.
    std::unordered_map<std::string, Regex, AwkStringHash, std::equal_to<>> dynamic_;
    const Regex* remember_dynamic(std::string_view source, Regex regex);

    std::string_view record_;
    std::string record_storage_;             // the record when it is not borrowed
    std::vector<std::string_view> fields_;   // the first nfields_ are the fields, views into record_
    std::size_t nfields_ = 0;
    bool split_done_ = true;
    AwkSplitter record_splitter_;
    bool splitter_ready_ = false;
};

// ---- variables ----

// The value of a scalar slot (special variables included) into `out`; reading NF may split the
// record, which can fail.
bool awk_read_scalar(AwkRuntime& rt, std::uint32_t slot, AwkValue& out);
// Assigns a scalar slot: FS, OFS and ORS take the text, the read-only specials refuse.
bool awk_assign_scalar(AwkRuntime& rt, std::uint32_t slot, const AwkValue& value);
// The same for a number, formatted in place.
bool awk_store_scalar_number(AwkRuntime& rt, std::uint32_t slot, double x);
// The key of a list of subscripts (texts joined by 0x1C).
bool awk_subscript_key(AwkRuntime& rt, std::span<const AwkExprPtr> subscripts, std::string& key);
bool awk_set_array_element(AwkRuntime& rt, std::uint32_t slot, std::string_view key, const AwkValue& value);
// The modeled size of an element or a scalar.
std::uint64_t awk_entry_cost(std::size_t name_length, std::size_t text_length);

// ---- records and fields ----

// Makes `text` the current record. A line of an input is borrowed (the input outlives the run)
// and not charged again; any other text is copied and its length charged.
bool awk_set_record(AwkRuntime& rt, std::string_view text, bool input_line);
bool awk_get_field(AwkRuntime& rt, std::uint64_t index, AwkValue& out);
bool awk_assign_field(AwkRuntime& rt, std::uint64_t index, std::string_view text);
std::uint64_t awk_field_index(const AwkValue& v);
std::uint64_t awk_field_index(double x);
// Cuts `text` with a splitter: the pieces, views into `text`, go to the first `count` entries of
// `storage` (which grows as needed).
bool awk_split_text(AwkRuntime& rt, const AwkSplitter& s, std::string_view text,
                    std::vector<std::string_view>& storage, std::size_t& count);

// ---- evaluation ----

bool awk_evaluate(AwkRuntime& rt, const AwkExpr& e, AwkValue& out);
// The same when only the number of the value is wanted.
bool awk_evaluate_number(AwkRuntime& rt, const AwkExpr& e, double& out);
// The same when the value is not wanted at all (expression statements, for clauses).
bool awk_evaluate_effect(AwkRuntime& rt, const AwkExpr& e);
bool awk_read_lvalue(AwkRuntime& rt, const AwkExpr& target, AwkValue& out);
bool awk_assign_lvalue(AwkRuntime& rt, const AwkExpr& target, const AwkValue& value);
// A pattern operand: the source of a literal, else the text of the value.
bool awk_pattern_text(AwkRuntime& rt, const AwkExpr& e, std::string& out);
bool awk_call_builtin(AwkRuntime& rt, const AwkExpr& call, AwkValue& out);

// ---- formatting ----

// The formatted text; the error is a message, or empty for "too large" (beyond `max` bytes).
struct AwkFormatError {
    bool too_large = false;
    std::string message;
};
Result<std::string, AwkFormatError> awk_format(std::string_view format, std::span<const AwkValue> args,
                                               std::uint64_t max);

// ---- statements and phases ----

AwkFlowKind awk_execute(AwkRuntime& rt, const AwkStmt& s);
AwkFlowKind awk_execute_block(AwkRuntime& rt, std::span<const AwkStmtPtr> statements);
AwkFlow awk_run_rules(AwkRuntime& rt, AwkPhase phase);
std::int32_t awk_report_error(AwkRuntime& rt, const AwkFlow& flow, std::string_view context);

}  // namespace tw
