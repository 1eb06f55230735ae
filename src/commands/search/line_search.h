// Line-oriented matching shared by grep and rg: cutting a text into lines and telling, line by
// line, whether an expression finds a match in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/regex.h"
#include "base/result.h"

namespace tw {

// One line of a text: the bytes [start, end) without the "\n" that ends it and without a "\r"
// just before that "\n"; `next` is where the following line starts.
struct TextLine {
    std::size_t start = 0;
    std::size_t end = 0;
    std::size_t next = 0;

    std::string_view in(std::string_view text) const { return text.substr(start, end - start); }
};

// The lines of a text in order. The last line need not end with "\n"; a final "\n" does not
// start another line, so an empty text has no lines.
class LineCursor {
public:
    explicit LineCursor(std::string_view text) : text_(text) {}
    bool next(TextLine& line);
    // Goes on from `pos`, the start of a line.
    void seek(std::size_t pos) { pos_ = pos; }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

// A decimal unsigned 64-bit count with an optional leading "+"; nothing for any other text
// (empty, signed, fractional, or too large).
std::optional<std::uint64_t> parse_count_value(std::string_view text);

// The expression text that matches `text` literally (every ASCII punctuation character escaped).
std::string regex_escape_literal(std::string_view text);

// Whether every match of `expression` (compiled with `multiline`, without `dotall` or
// `extended`) lies within one line and whether each of its assertions sees the same thing in a
// line on its own as in the whole text: true only when the expression can neither match a "\n"
// nor look past one (no lookaround, no \A \z \Z \G \K, no verbs or inline options, no set that
// could hold a "\n"). The answer errs towards false.
bool expression_stays_in_line(std::string_view expression);

// Tells for the lines of one text, asked in ascending order, whether `regex` finds a match in the
// line on its own. The expression must be compiled with `multiline` (which changes nothing for
// a text without "\n", so line and text searches agree).
//
// When the expression stays within a line and the text has no "\r", one search over a window of
// lines finds the next line that holds a match and the lines before it are answered without a
// search; otherwise each line is searched on its own. Both give the same answers. Under a
// RegexPayScope a search is handed no more bytes than about twice what the previous one
// covered, so the steps searches get for free stay in proportion to the text.
class MatchingLines {
public:
    MatchingLines(const Regex& regex, std::string_view text);

    Result<bool, RegexError> matches(const TextLine& line);

    // While `skips()` holds: the start of the first line at or after `from` (a line start) that
    // holds a match, npos when none does. Afterwards `skips()` may have become false (a search
    // over many lines hit an engine limit); the caller then goes on line by line.
    Result<std::size_t, RegexError> next_match_line(std::size_t from);
    bool skips() const { return whole_text_; }

private:
    Result<bool, RegexError> search_line(const TextLine& line) const;
    // Finds the next line holding a match from the line start `from` on into `next_line_`.
    // False when the search over many lines gave up (and line-by-line search is now in force).
    Result<bool, RegexError> find_from(std::size_t from);

    const Regex& regex_;
    std::string_view text_;
    std::string_view literal_;  // non-empty: the expression matches exactly these bytes
    bool whole_text_ = false;
    bool known_ = false;
    std::size_t next_line_ = 0;  // start of the next line holding a match (npos: none)
    static constexpr std::size_t kMaxWindow = std::size_t{1} << 20;
    std::size_t window_ = std::size_t{64} << 10;  // bytes of the next window, before its last line's end
};

}  // namespace tw
