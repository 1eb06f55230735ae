#include "commands/search/line_search.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "base/utf8.h"

namespace tw {

bool LineCursor::next(TextLine& line) {
    if (pos_ >= text_.size()) return false;
    const char* base = text_.data();
    const void* nl = std::memchr(base + pos_, '\n', text_.size() - pos_);
    line.start = pos_;
    if (nl == nullptr) {
        line.end = text_.size();
        line.next = text_.size();
    } else {
        const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(nl) - base);
        line.end = (at > pos_ && base[at - 1] == '\r') ? at - 1 : at;
        line.next = at + 1;
    }
    pos_ = line.next;
    return true;
}

std::optional<std::uint64_t> parse_count_value(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::string regex_escape_literal(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        const bool punct = b > 0x20 && b < 0x7F && !(b >= '0' && b <= '9') && !(b >= 'a' && b <= 'z') &&
                           !(b >= 'A' && b <= 'Z');
        if (punct) out += '\\';
        out += c;
    }
    return out;
}

namespace {

bool is_ascii_alnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Named sets that never hold a "\n".
bool posix_class_stays_in_line(std::string_view name) {
    static constexpr std::string_view kNames[] = {"alpha", "digit", "alnum", "upper", "lower", "punct",
                                                  "xdigit", "word", "blank", "graph", "print"};
    for (std::string_view n : kNames)
        if (n == name) return true;
    return false;
}

}  // namespace

bool expression_stays_in_line(std::string_view e) {
    bool in_class = false;
    std::size_t class_body = 0;  // where the current set's members begin (a "]" there is a member)
    for (std::size_t i = 0; i < e.size(); ++i) {
        const auto c = static_cast<unsigned char>(e[i]);
        if (c < 0x20 && c != '\t') return false;
        if (c == '\\') {
            if (i + 1 >= e.size()) return false;
            const auto n = static_cast<unsigned char>(e[++i]);
            if (n >= 0x80) continue;  // an escaped non-ASCII character stands for itself
            if (!is_ascii_alnum(n)) {
                if (n < 0x20) return false;
                continue;  // escaped punctuation stands for itself
            }
            if (n >= '1' && n <= '9') {
                // A one-digit back reference outside a set; anything else may be an octal code.
                if (in_class) return false;
                if (i + 1 < e.size() && e[i + 1] >= '0' && e[i + 1] <= '9') return false;
                continue;
            }
            switch (n) {
            case 'd': case 'w': case 'h': case 'V': case 't': continue;
            case 'b': continue;  // a word boundary, or a backspace inside a set
            case 'B': case 'N':
                if (in_class) return false;
                continue;
            default: return false;
            }
        }
        if (in_class) {
            if (c == ']' && i > class_body) {
                in_class = false;
            } else if (c == '[' && i + 1 < e.size() && e[i + 1] == ':') {
                const std::size_t close = e.find(":]", i + 2);
                if (close == std::string_view::npos) return false;
                if (!posix_class_stays_in_line(e.substr(i + 2, close - i - 2))) return false;
                i = close + 1;
            }
            continue;
        }
        if (c == '[') {
            if (i + 1 < e.size() && e[i + 1] == '^') return false;
            in_class = true;
            class_body = i + 1;
        } else if (c == '(') {
            if (i + 1 < e.size() && e[i + 1] == '*') return false;
            if (i + 1 < e.size() && e[i + 1] == '?') {
                if (i + 2 >= e.size() || e[i + 2] != ':') return false;
            }
        }
    }
    return !in_class;
}

namespace {

// The bytes that `pattern`, compiled with `options`, matches exactly, if it is such a fixed text:
// letters, digits, characters beyond ASCII and punctuation that is no metacharacter, perhaps in
// one non-capturing group, without case folding. Nothing otherwise.
std::optional<std::string_view> plain_literal(std::string_view pattern, const RegexOptions& options) {
    if (options.caseless || options.anchored || options.end_anchored) return std::nullopt;
    if (options.literal) return pattern;
    if (pattern.starts_with("(?:") && pattern.ends_with(')')) pattern = pattern.substr(3, pattern.size() - 4);
    for (char c : pattern) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x80 || is_ascii_alnum(b)) continue;
        if (std::string_view("_,-:/=@%!<>\"';&~`").find(c) != std::string_view::npos) continue;
        if (c == ' ' && !options.extended) continue;
        return std::nullopt;
    }
    return pattern;
}

}  // namespace

MatchingLines::MatchingLines(const Regex& regex, std::string_view text) : regex_(regex), text_(text) {
    whole_text_ = text.find('\r') == std::string_view::npos && expression_stays_in_line(regex.pattern());
    if (whole_text_) literal_ = plain_literal(regex.pattern(), regex.options()).value_or("");
}

Result<bool, RegexError> MatchingLines::search_line(const TextLine& line) const {
    return regex_.matches(line.in(text_));
}

Result<bool, RegexError> MatchingLines::find_from(std::size_t from) {
    known_ = true;
    if (!literal_.empty()) {
        // The bytes themselves are looked for: the engine would take no more steps than them.
        const void* hit = ::memmem(text_.data() + from, text_.size() - from, literal_.data(), literal_.size());
        if (hit == nullptr) {
            next_line_ = std::string_view::npos;
            return true;
        }
        const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - text_.data());
        const void* nl = ::memrchr(text_.data() + from, '\n', at - from);
        next_line_ = nl == nullptr ? from : static_cast<std::size_t>(static_cast<const char*>(nl) - text_.data()) + 1;
        return true;
    }
    // Search windows of whole lines from this line on until one holds a match. A window is about
    // twice what the previous search covered, so that the engine steps each search may take for
    // its bytes add up to a small multiple of the text's size however dense the matches are; a
    // window without a match doubles the next one.
    const std::size_t first = from;
    for (;;) {
        std::size_t end = text_.size();
        if (text_.size() - from > window_) {
            const void* nl = std::memchr(text_.data() + from + window_, '\n', text_.size() - from - window_);
            if (nl != nullptr) end = static_cast<std::size_t>(static_cast<const char*>(nl) - text_.data()) + 1;
        }
        auto found = regex_.find_start(text_.substr(0, end), from);
        if (!found) {
            if (found.error().kind == RegexError::Kind::Refused) return std::unexpected(std::move(found.error()));
            // A limit hit over many lines: search line by line from here on, so that a failure
            // belongs to the line that causes it.
            whole_text_ = false;
            return false;
        }
        if (found->has_value()) {
            const std::size_t at = **found;
            const std::string_view before = text_.substr(first, at - first);
            const std::size_t nl = before.rfind('\n');
            next_line_ = nl == std::string_view::npos ? first : first + nl + 1;
            window_ = std::min(2 * (at - from), kMaxWindow);
            break;
        }
        if (end == text_.size()) {
            next_line_ = std::string_view::npos;
            break;
        }
        window_ = std::min(2 * (end - from), kMaxWindow);
        from = end;
    }
    return true;
}

Result<bool, RegexError> MatchingLines::matches(const TextLine& line) {
    if (!whole_text_) return search_line(line);
    if (!known_ || next_line_ < line.start) {
        auto searched = find_from(line.start);
        if (!searched) return std::unexpected(std::move(searched.error()));
        if (!*searched) return search_line(line);
    }
    return next_line_ == line.start;
}

Result<std::size_t, RegexError> MatchingLines::next_match_line(std::size_t from) {
    if (!known_ || next_line_ < from) {
        auto searched = find_from(from);
        if (!searched) return std::unexpected(std::move(searched.error()));
    }
    return next_line_;
}

}  // namespace tw
