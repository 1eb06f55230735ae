// The shell's pattern matcher: the one implementation of shell glob patterns, used by pathname
// expansion, the removal, substitution and case-modification operators of parameter expansion,
// `case` and `[[ = ]]`.
//
// Syntax (whole-text matching, characters are UTF-8 code points):
//   *          any run of characters, the empty one included
//   ?          any one character
//   [...]      one character of a set: single characters, ranges a-z (by code point), POSIX
//              classes [:alpha:] [:digit:] [:alnum:] [:upper:] [:lower:] [:space:] [:blank:]
//              [:punct:] [:print:] [:graph:] [:cntrl:] [:xdigit:] [:word:], equivalence
//              classes [=c=] and collating symbols [.c.] (both the character itself). A leading
//              `!` or `^` negates the set; a `]` right after the opening (or after the negation)
//              belongs to the set; a backslash makes the next character literal. A `[` without a
//              closing `]` is an ordinary character.
//   \c         the character c itself; a backslash at the very end stands for itself.
// Every other character stands for itself. Quoted parts of a shell word reach the matcher
// escaped (`shell_pattern_escape`), so they match literally.
//
// Bytes that are not valid UTF-8 are matched one by one: each stands for itself, `?` takes one,
// and `*` spans them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tw {

struct PatternOptions {
    bool caseless = false;  // letters match regardless of case (simple Unicode case mapping)
};

// A text as the matcher sees it: its characters (an invalid byte b counts as the character
// 0x110000 + b) and the byte offset of each, with the text's length as the last entry.
struct PatternText {
    std::vector<std::uint32_t> chars;
    std::vector<std::size_t> offsets;  // chars.size() + 1 entries
};
PatternText pattern_text(std::string_view text);
// The number of characters of a text as the matcher counts them, and the byte offset of
// character k (the text's length for k at or past the end), without decoding the whole text.
std::size_t pattern_char_count(std::string_view text);
// Decodes the character at byte `i` as the matcher sees it and advances `i` past it.
std::uint32_t pattern_next_char(std::string_view text, std::size_t& i);
std::size_t pattern_char_offset(std::string_view text, std::size_t k);

// A compiled pattern, for matching the same pattern against many texts.
class ShellPattern {
public:
    // Never fails: every text is a valid pattern.
    static ShellPattern compile(std::string_view pattern, PatternOptions options = {});

    // Whether the whole text matches.
    bool matches(std::string_view text) const;
    // Whether a run of characters (from `pattern_text`) matches as a whole. With `steps`, the
    // number of character comparisons made is added to it (for callers that meter the work).
    // The attempt gives up (false) once it has made more than `max_steps` comparisons; the count
    // added then exceeds `max_steps`.
    bool matches_chars(std::span<const std::uint32_t> chars, std::uint64_t* steps = nullptr,
                       std::uint64_t max_steps = UINT64_MAX) const;
    // Whether the single character matches a pattern of one element (`?`, a set or a literal);
    // false for any longer or shorter pattern.
    bool matches_one(std::uint32_t c) const;

    // True when the pattern holds `*`, `?` or a complete bracket expression.
    bool has_wildcards() const { return has_wildcards_; }
    // The literal text the pattern stands for when it has no wildcards (escapes removed).
    std::string literal_text() const;
    // The number of characters every match has at least, and whether all matches have exactly it.
    std::size_t min_chars() const { return min_chars_; }
    bool fixed_length() const { return !has_star_; }

private:
    // A bracket expression: its single characters and ranges, its POSIX classes as bits.
    struct CharSet {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges;
        std::uint32_t classes = 0;
        bool negated = false;
    };
    struct Token {
        enum class Kind : std::uint8_t { Literal, AnyChar, AnyRun, Set };
        Kind kind = Kind::Literal;
        std::uint32_t value = 0;  // Literal: the character; Set: the index into sets_
    };
    bool token_matches(const Token& token, std::uint32_t c) const;
    bool set_matches(const CharSet& set, std::uint32_t c) const;

    std::vector<Token> tokens_;
    std::vector<CharSet> sets_;
    std::size_t min_chars_ = 0;
    std::size_t tail_start_ = 0;  // the tokens after the last `*`
    bool has_star_ = false;
    bool has_wildcards_ = false;
    bool caseless_ = false;
};

// Whether the whole `text` matches `pattern`.
bool shell_pattern_match(std::string_view pattern, std::string_view text, PatternOptions options = {});

// Whether `pattern` holds an unescaped `*`, `?` or a `[` that opens a complete bracket expression.
bool shell_pattern_has_wildcards(std::string_view pattern);

// `text` with a backslash before every character the matcher treats specially (* ? [ ] \), so
// that the result matches exactly `text`.
std::string shell_pattern_escape(std::string_view text);

// The pattern with its escapes removed: what a pattern without wildcards stands for.
std::string shell_pattern_unescape(std::string_view pattern);

// A regular expression (for the system's regular-expression engine), anchored at both ends, that
// matches what the shell pattern matches: `*` gives "(?s:.*)", `?` gives "(?s:.)", bracket
// expressions become classes (negation included), everything else is quoted.
std::string shell_pattern_regex(std::string_view pattern);

}  // namespace tw
