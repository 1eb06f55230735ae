// The one regular-expression engine of the system. Every tool that matches text (grep, sed, awk,
// rg, the shell's [[ =~ ]], Python's re, find's name tests) compiles its expressions here and
// translates its own dialect into this syntax before compiling.
//
// Compiled code is immutable and shared: copying a Regex copies a reference to the code, and a
// Regex may be used from several host threads at once. Searches through a Regex use match data
// kept per host thread and per expression (sized once, reused by every later search), and each
// MatchCursor has its own, so no matching state is shared between threads and a search in a loop
// allocates nothing beyond the Match it answers.
//
// Every match runs under fixed match, depth and heap limits (and a bounded JIT stack); a match
// that hits one answers a RegexError of the limit's kind, never "no match" and never a hang.
//
// Offsets are byte offsets into the subject. In UTF mode (the default) patterns are UTF-8 and
// subjects may contain invalid UTF-8: such bytes never match anything (not even `.`), but
// matching continues around them instead of failing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/result.h"

namespace tw {

struct RegexOptions {
    bool caseless = false;
    bool multiline = false;       // ^ and $ also match at internal newlines
    bool dotall = false;          // . also matches a newline
    bool extended = false;        // ignore unescaped white space and # comments in the pattern
    bool anchored = false;        // a match must start at the start offset
    bool end_anchored = false;    // a match must end at the end of the subject
    bool dollar_endonly = false;  // $ matches only at the very end, not before a final newline
    bool utf = true;              // UTF-8 pattern and subjects; false = byte mode
    bool ucp = true;              // Unicode properties for \w \d \s \b and POSIX classes (UTF only)
    // The pattern is a fixed string without metacharacters. Only caseless, anchored,
    // end_anchored and utf apply to it; the other options are ignored.
    bool literal = false;
    // A compiled expression never changes, so two compiled with equal options behave alike.
    bool operator==(const RegexOptions&) const = default;
};

struct RegexError {
    // Refused: the search needed more engine work than its RegexPayer would pay for.
    enum class Kind : std::uint8_t { Compile, MatchLimit, DepthLimit, HeapLimit, Other, Refused };
    Kind kind = Kind::Other;
    std::string message;      // the engine's own text, e.g. "missing closing parenthesis"
    std::size_t offset = 0;   // Compile: byte offset in the pattern where the error was found
};

// Compile errors: "<message> at offset <n>"; every other kind: the message alone.
std::string error_text(const RegexError& error);

// Modifiers of one search.
struct MatchFlags {
    bool notbol = false;            // the subject start is not a line start: ^ does not match there
    bool noteol = false;            // the subject end is not a line end: $ does not match there
    bool notempty = false;          // an empty match is not a match
    bool notempty_atstart = false;  // an empty match at the start offset is not a match
};

// A span of bytes in the subject; an unset group has start == end == npos.
struct Span {
    static constexpr std::size_t npos = std::numeric_limits<std::size_t>::max();
    std::size_t start = npos;
    std::size_t end = npos;

    bool matched() const { return start != npos; }
    std::size_t size() const { return matched() ? end - start : 0; }
    bool empty() const { return size() == 0; }
    // The matched bytes of `subject` (empty for an unset group).
    std::string_view in(std::string_view subject) const {
        return matched() ? subject.substr(start, end - start) : std::string_view{};
    }
    bool operator==(const Span&) const = default;
};

struct RegexCode;     // the compiled code and its group-name table (regex.cpp)
struct MatchScratch;  // match data of one search or one cursor (regex.cpp)
struct MatchScratchDeleter {
    void operator()(MatchScratch* scratch) const;
};

class Match {
public:
    Span span() const { return groups_[0]; }
    std::size_t start() const { return groups_[0].start; }
    std::size_t end() const { return groups_[0].end; }
    // The number of capture groups of the expression (group 0, the whole match, not counted).
    std::size_t group_count() const { return groups_.size() - 1; }
    // Group n (0 = whole match); an unset group, or n > group_count(), gives an unset Span.
    Span group(std::size_t n) const { return n < groups_.size() ? groups_[n] : Span{}; }
    // The first set group of that name (names may repeat with (?J) or (?|...)); unset when the
    // name is unknown or none of its groups took part in the match.
    Span named(std::string_view name) const;
    std::string_view text(std::string_view subject, std::size_t n = 0) const {
        return group(n).in(subject);
    }
    // All groups, whole match first.
    const std::vector<Span>& groups() const { return groups_; }

private:
    friend class Regex;
    std::vector<Span> groups_;
    std::shared_ptr<const RegexCode> code_;
};

// How a scan over all matches treats an empty match that touches the end of the previous
// match. In both rules an empty match never repeats at the same position, the scan advances by
// whole characters in UTF mode and by bytes in byte mode, and a non-empty match may start where
// an empty one was found.
enum class EmptyAfterMatch : std::uint8_t {
    Allowed,  // counted: "a*" over "baaac" gives 0-0, 1-4, 4-4, 5-5 (Python 3.7+ re, Perl)
    Skipped,  // not counted: "a*" over "baaac" gives 0-0, 1-4, 5-5 (sed s///g)
};

struct NamedGroup {
    std::string name;
    std::size_t number = 0;
};

// The largest match limit of a search (engine steps, backtracking points).
inline constexpr std::uint32_t kRegexMatchLimit = 10'000'000;

// While it lives, the searches of this host thread run under a lower match limit (never above
// kRegexMatchLimit), for callers that pay for the engine's work step by step: they search with a
// small limit first and raise it only while the work is paid for. Scopes nest.
class RegexMatchLimit {
public:
    explicit RegexMatchLimit(std::uint32_t limit);
    ~RegexMatchLimit();
    RegexMatchLimit(const RegexMatchLimit&) = delete;
    RegexMatchLimit& operator=(const RegexMatchLimit&) = delete;

private:
    std::uint32_t saved_;
};

// Pays for the engine's work of searches in units of CPU work.
class RegexPayer {
public:
    // False refuses the payment (the search then fails with a Refused error).
    virtual bool pay(std::uint64_t units) = 0;

protected:
    ~RegexPayer() = default;
};

// Engine steps that one unit of CPU work pays for.
inline constexpr std::uint64_t kRegexStepsPerUnit = 2;

// While it lives, every search of this host thread is paid for through `payer`. A search first
// runs under a match limit that its subject's bytes pay for: two steps plus one a byte from the
// start offset (a MatchCursor allows each later search two steps a byte of the distance its
// previous search covered, so a scan over many matches gets no more than its bytes). When the
// engine needs more, the limit grows fourfold (never above the thread's limit) and the payer is
// asked for the new limit at kRegexStepsPerUnit steps a unit before the search runs again. The
// caller pays for the bytes it hands to searches; the scope pays for the steps beyond them.
// Scopes nest; the innermost payer pays.
class RegexPayScope {
public:
    explicit RegexPayScope(RegexPayer& payer);
    ~RegexPayScope();
    RegexPayScope(const RegexPayScope&) = delete;
    RegexPayScope& operator=(const RegexPayScope&) = delete;

private:
    RegexPayer* saved_;
};

// A payer that calls `pay` (any callable taking the units and answering whether they were paid).
template <class Pay>
class RegexPayerFn final : public RegexPayer {
public:
    explicit RegexPayerFn(Pay pay) : pay_(std::move(pay)) {}
    bool pay(std::uint64_t units) override { return pay_(units); }

private:
    Pay pay_;
};

class Regex {
public:
    static Result<Regex, RegexError> compile(std::string_view pattern, RegexOptions options = {});

    // The first match at or after byte `start` (nullopt when there is none, or when start is past
    // the end of the subject). The part of the subject before `start` is still seen by
    // lookbehinds and \b.
    Result<std::optional<Match>, RegexError> find(std::string_view subject, std::size_t start = 0,
                                                  MatchFlags flags = {}) const;
    // Where the first match at or after byte `start` begins, as find() would answer it, without
    // building the Match (for scans that only need the position).
    Result<std::optional<std::size_t>, RegexError> find_start(std::string_view subject, std::size_t start = 0) const;
    // Whether the expression is found anywhere in the subject (a search, not a whole match).
    Result<bool, RegexError> matches(std::string_view subject) const;
    // Whether one match covers the whole subject from its first byte to its last.
    Result<std::optional<Match>, RegexError> full_match(std::string_view subject,
                                                        MatchFlags flags = {}) const;
    // Every non-overlapping match from `start` on, at most `max_count` of them.
    Result<std::vector<Match>, RegexError> find_all(
        std::string_view subject, std::size_t start = 0,
        EmptyAfterMatch rule = EmptyAfterMatch::Allowed,
        std::size_t max_count = std::numeric_limits<std::size_t>::max()) const;

    const std::string& pattern() const;
    const RegexOptions& options() const;
    std::size_t group_count() const;
    // Group names with their numbers, sorted by name (a repeated name appears once per number).
    const std::vector<NamedGroup>& named_groups() const;
    // The numbers of the groups called `name`, ascending; empty when there is none.
    std::vector<std::size_t> group_numbers(std::string_view name) const;
    // Whether the code runs through the JIT compiler (informational; results never differ).
    bool jit() const;

    // Same pattern text and options.
    bool operator==(const Regex& other) const;

private:
    friend class MatchCursor;
    explicit Regex(std::shared_ptr<const RegexCode> code) : code_(std::move(code)) {}
    Result<std::optional<Match>, RegexError> run_cached(std::string_view subject, std::size_t start,
                                                        std::uint32_t options) const;
    static Result<std::optional<Match>, RegexError> run(const std::shared_ptr<const RegexCode>& code,
                                                        MatchScratch& scratch,
                                                        std::string_view subject,
                                                        std::size_t start, std::uint32_t options,
                                                        std::uint64_t free_steps);
    std::shared_ptr<const RegexCode> code_;
};

// Iterates the non-overlapping matches of an expression over a subject, one search per call,
// so that callers can stop after the n-th match (sed s///3) or after a count (re.sub count=).
// The subject is not copied: it must outlive the cursor.
class MatchCursor {
public:
    MatchCursor(Regex regex, std::string_view subject, std::size_t start = 0,
                EmptyAfterMatch rule = EmptyAfterMatch::Allowed, MatchFlags flags = {});

    // The next match, nullopt once the subject is exhausted (and on every later call). After an
    // error the cursor stays exhausted as well.
    Result<std::optional<Match>, RegexError> next();
    // The byte offset where the next search starts.
    std::size_t position() const { return position_; }

private:
    Regex regex_;
    std::string_view subject_;
    std::size_t position_;
    EmptyAfterMatch rule_;
    MatchFlags flags_;
    bool last_empty_ = false;  // the previous match was empty (and ended at position_)
    std::uint64_t covered_ = 0;  // bytes from the previous search's start to its match end
    bool first_ = true;
    bool done_ = false;
    std::unique_ptr<MatchScratch, MatchScratchDeleter> scratch_;
};

}  // namespace tw
