// The machinery of word expansion shared by expand.cpp (the scan, field splitting), param_ops.cpp
// (the ${...} forms) and assign.cpp. Other parts of the shell use the functions of expand.h.
//
// A word is scanned into segments. Each segment records whether it undergoes field splitting
// (the result of an unquoted expansion; text written in the word itself is never split), whether
// it is literal when the word is used as a pattern (it was quoted or escaped), whether it is a
// pattern character written unquoted in the word itself (the glob mark of pathname expansion),
// and whether a field must end before it (the elements of "$@" and of array lists).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shell/pathname.h"

namespace tw {

struct Machine;
struct ProcessState;
class ShellPattern;

enum class FieldBreak : std::uint8_t {
    None,
    Quoted,    // a field always ends here ("$@" inside double quotes)
    Unquoted,  // a field ends here when splitting; a single space joins otherwise (unquoted $@)
};

struct Segment {
    std::string text;
    bool split = false;    // an unquoted expansion's result: field splitting applies
    bool literal = false;  // quoted: stands for itself in a pattern
    bool glob = false;     // an unquoted *, ? or [ written in the word
    FieldBreak brk = FieldBreak::None;
};

class SegmentList {
public:
    void append(std::string_view text, bool split, bool literal, bool glob = false);
    // The next segment starts a new field (the stronger of two pending breaks wins).
    void field_break(FieldBreak brk);
    std::size_t size() const { return segs_.size(); }
    const std::vector<Segment>& segments() const { return segs_; }
    bool empty() const { return segs_.empty(); }

    // Every segment's text, breaks as single spaces.
    std::string joined_text() const;
    // As a shell pattern: literal segments escaped.
    std::string pattern_text() const;
    // As the replacement of ${x/p/r}: literal segments with `\` and `&` escaped.
    std::string replacement_text() const;

private:
    std::vector<Segment> segs_;
    FieldBreak pending_ = FieldBreak::None;
};

// How text met by a scan is classified.
struct ScanContext {
    bool split = true;     // unquoted: values and text undergo field splitting
    bool literal = false;  // quoted: values and text stand for themselves in patterns
};

// A parameter's value as the ${...} forms see it: one optional text, or a list of elements
// ("$@", "$*", ${a[@]}, ${a[*]}, ${!p@}, ${!a[@]}).
struct ParamValue {
    bool is_list = false;
    bool star = false;  // a list that joins with the first character of IFS inside double quotes
    std::optional<std::string> scalar;
    std::vector<std::string> items;

    bool is_set() const { return is_list ? !items.empty() : scalar.has_value(); }
    bool is_set_and_not_empty() const;
};

// A parameter as a ${...} names it: a name (a shell name, digits, or one of @ * # ? - $ !) and
// an optional subscript as written.
struct ParamRef {
    std::string name;
    std::optional<std::string> subscript;
    // "name" or "name[subscript]", as messages show it.
    std::string display() const;
};

inline constexpr std::uint64_t kMaxExpansionDepth = 1000;

// CPU work of the text that expansion and assignment handle: one unit per byte copied, scanned or
// matched, and kItemWork more for every separate item (field, element, argument), so that the
// host's work stays in proportion to what a script is charged however long its values grow.
inline constexpr std::uint64_t kItemWork = 64;

// The work of handling every item of a list: its bytes plus kItemWork each (saturating).
std::uint64_t items_work(const std::vector<std::string>& items);

// Memory held on the budget for a temporary buffer while it lives: charged when made (check
// `held()`), given back when destroyed.
class HeldMemory {
public:
    HeldMemory(Machine& m, std::uint64_t bytes);
    ~HeldMemory();
    HeldMemory(const HeldMemory&) = delete;
    HeldMemory& operator=(const HeldMemory&) = delete;
    bool held() const { return held_; }

private:
    Machine& m_;
    std::uint64_t bytes_;
    bool held_;
};

// The modeled bytes of the decoded form of a text the pattern matcher works on (one code point
// and one offset per byte at most).
std::uint64_t pattern_text_bytes(std::string_view text);

// The matching work of one removal, substitution or pattern test. Trying a pattern at many
// places costs time that grows faster than the text: comparisons up to four per byte of the text
// (whose bytes the caller has charged) are covered, and beyond that every four cost one CPU unit.
// Every attempt is cut off where the CPU budget left could no longer pay for it, so a
// pathological pattern over a long text ends at the CPU budget instead of holding the machine.
class MatchWork {
public:
    MatchWork(Machine& m, std::size_t text_bytes);
    // Whether the span matches, the attempt's steps accounted for; nothing once the CPU budget
    // refuses the work.
    std::optional<bool> match(const ShellPattern& p, std::span<const std::uint32_t> chars);

private:
    bool spend(std::uint64_t steps);

    Machine& m_;
    std::uint64_t allowance_;
    std::uint64_t work_ = 0;
    std::uint64_t charged_ = 0;
};

// One expansion of words on the active process of a machine.
class WordExpander {
public:
    explicit WordExpander(Machine& m) : m_(m) {}

    ProcessState& state();
    Machine& machine() { return m_; }

    enum class WordKind : std::uint8_t {
        Plain,       // a command word, a pattern, a subscript
        Assignment,  // an assignment value: a tilde after an unquoted `:` is expanded too
        Operand,     // the word of a ${...} operator outside double quotes: its own text is
                     // part of the expansion's result, so field splitting applies to it as well
    };
    // Scans a whole raw word (tilde, quotes, parameters, arithmetic, glob marks).
    void scan_word(std::string_view word, SegmentList& out, WordKind kind = WordKind::Plain);
    // scan_word for a word whose fields are not split (patterns, subscripts).
    void scan_unsplit(std::string_view word, SegmentList& out);
    // Scans the word of a ${...} operator inside double quotes or a here-document: nothing is
    // split; inner double quotes are removed and make their text literal; with `quotes_in_pattern`
    // single quotes also quote (the pattern operators), otherwise they are ordinary.
    void scan_quoted_operand(std::string_view word, SegmentList& out, bool quotes_in_pattern);
    // Scans a here-document body: only $, `, \ and newline can be escaped; quotes are ordinary.
    void scan_heredoc(std::string_view body, SegmentList& out);
    // Expands the $ forms of an arithmetic text (double quotes removed) into plain text.
    std::string arith_text(std::string_view text);

    // The $ form starting at `i` (text[i] == '$'); answers the index after it.
    std::size_t dollar(std::string_view text, std::size_t i, SegmentList& out, ScanContext ctx);
    // The body of ${...}.
    void braced(std::string_view body, SegmentList& out, ScanContext ctx);

    // Fields of segments: split on IFS when `split`, then pathname expansion.
    std::vector<ExpandedField> fields_of(const SegmentList& segs, bool split);
    std::vector<std::string> expand(std::string_view text, bool split, bool assignment = false);

    // Appends a value, charging it to the memory budget first (a refusal appends nothing).
    void emit_text(std::string_view value, SegmentList& out, ScanContext ctx);
    void emit_value(const ParamValue& value, SegmentList& out, ScanContext ctx);

    // Charges n bytes of expanded text: n bytes to the memory budget and n units of CPU work.
    bool charge(std::uint64_t n);
    // Charges CPU work; false when refused.
    bool work(std::uint64_t units);
    void record_error(std::string message, bool fatal = true);
    std::int64_t arith(std::string_view expression);
    // The value of a plain parameter reference, nounset checked.
    std::string checked(std::string_view name);
    // The stored value of a shell name that is an ordinary scalar variable (no special name, no
    // array), or null.
    const std::string* plain_variable(std::string_view name);
    // A command substitution that reached expansion: the internal error, an empty value.
    void substitution_reached(std::string_view command);

    // The first character of IFS for "$*" joins: IFS unset gives a space, IFS empty nothing.
    std::string star_separator();

    // The ${...} forms (param_ops.cpp).
    // A parameter's value, its bytes charged as CPU work (nothing when refused).
    ParamValue parameter(const ParamRef& ref);
    std::optional<std::string> element(std::string_view name, std::string_view subscript);
    // An indexed subscript evaluated arithmetically (negative counts back); nothing on error.
    std::optional<std::uint64_t> index_of(std::string_view name, std::string_view subscript);
    // Expands a word of an operator without splitting into its text.
    std::string word_text(std::string_view word);
    void apply_operator(const ParamRef& ref, ParamValue value, std::string_view op, SegmentList& out,
                        ScanContext ctx);

private:
    bool stopped() const;
    ParamValue parameter_value(const ParamRef& ref);
    std::size_t scan_double_quoted(std::string_view w, std::size_t i, SegmentList& out);
    // $'...' at `i`: its decoded text as one quoted segment.
    std::size_t ansi_c_quoted(std::string_view w, std::size_t i, SegmentList& out);
    // A backquoted command that reached expansion, at `i`.
    std::size_t backquote(std::string_view w, std::size_t i);
    std::size_t tilde(std::string_view w, std::size_t i, SegmentList& out, bool assignment);
    void operand(std::string_view word, SegmentList& out, ScanContext ctx, bool pattern_operator);
    void substring(const ParamRef& ref, ParamValue value, std::string_view spec, SegmentList& out, ScanContext ctx);
    void transform(const ParamRef& ref, ParamValue value, char how, SegmentList& out, ScanContext ctx);

    Machine& m_;
    std::uint64_t depth_ = 0;
    // Whether the fields being made undergo field splitting (unquoted lists join differently).
    bool splitting_ = true;
};

// ---- small text helpers shared by the expansion sources ----

inline bool param_name_start(char c) { return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool param_name_char(char c) { return param_name_start(c) || (c >= '0' && c <= '9'); }
inline bool ascii_digit(char c) { return c >= '0' && c <= '9'; }

// Byte length of the UTF-8 character at `i` (1 for a byte that starts no valid character).
std::size_t utf8_char_len(std::string_view s, std::size_t i);

// Index just after the quoted construct at `i`: a '...' (a $'...' when preceded by `$`, with
// backslash escapes), a "..." (backslash escapes) or a backslash pair; the end of the text when
// it is not closed.
std::size_t skip_quoted(std::string_view w, std::size_t i);

std::string join_texts(const std::vector<std::string>& items, std::string_view sep);
// The same, taking a single item over without copying it.
std::string join_texts(std::vector<std::string>&& items, std::string_view sep);

// Index of the `}` closing a ${ whose body starts at `start`, quotes and escapes respected and
// nested ${ counted; npos when there is none.
std::size_t closing_brace(std::string_view text, std::size_t start);

// The value of $-: the letters of the options that are on.
std::string shell_option_flags(const ProcessState& state);

// Decodes the body of $'...' (the text between the quotes).
std::string decode_ansi_c(std::string_view body);

// Upper or lower case of every character, or of the first one (full Unicode mapping: one
// character may become several).
std::string convert_case(std::string_view text, bool upper, bool first_only);

}  // namespace tw
