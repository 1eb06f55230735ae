#include "commands/sed/bre.h"

#include <vector>

namespace tw {

namespace {

// The end of the bracket expression that opens at `open` (the index just past its "]"), or npos
// when the set is not closed. A "]" right after "[" or "[^" belongs to the set, as do the
// contents of [:class:], [=equivalence=] and [.collating.] items; a backslash takes the
// character after it along.
std::size_t bracket_end(std::string_view p, std::size_t open, bool& trailing_backslash) {
    std::size_t i = open + 1;
    if (i < p.size() && p[i] == '^') ++i;
    if (i < p.size() && p[i] == ']') ++i;
    while (i < p.size()) {
        const char c = p[i];
        if (c == ']') return i + 1;
        if (c == '[' && i + 1 < p.size() && (p[i + 1] == ':' || p[i + 1] == '=' || p[i + 1] == '.')) {
            const char kind = p[i + 1];
            std::size_t j = i + 2;
            while (j + 1 < p.size() && !(p[j] == kind && p[j + 1] == ']')) ++j;
            if (j + 1 < p.size()) {
                i = j + 2;
                continue;
            }
        }
        if (c == '\\') {
            if (i + 1 == p.size()) trailing_backslash = true;
            i += 2;
            continue;
        }
        ++i;
    }
    return std::string_view::npos;
}

// Whether a "$" at `i` ends the expression, a group or an alternative (and so is an anchor).
bool dollar_is_anchor(std::string_view p, std::size_t i) {
    if (i + 1 == p.size()) return true;
    return p[i + 1] == '\\' && i + 2 < p.size() && (p[i + 2] == ')' || p[i + 2] == '|');
}

}  // namespace

// The bounds of an interval "\\{m,n\\}" whose text starts at `i` (just past "\\{"): its index
// past the closing "\\}", or npos when the text up to "\\}" is not digits and commas.
static std::size_t interval_end(std::string_view p, std::size_t i) {
    const std::size_t close = p.find("\\}", i);
    if (close == std::string_view::npos) return close;
    for (std::size_t k = i; k < close; ++k)
        if (!(p[k] == ',' || (p[k] >= '0' && p[k] <= '9'))) return std::string_view::npos;
    return close + 2;
}

Result<std::string, std::string> bre_to_regex(std::string_view p) {
    constexpr std::size_t none = std::string::npos;
    std::string out;
    out.reserve(p.size() + p.size() / 4);
    // At the start of the expression, of a group or of an alternative: "*", "\\+", "\\?" and
    // "\\{" are literal there and "^" is an anchor.
    bool at_start = true;
    // Where the last repeatable item begins in `out` (none after an anchor or an operator), and
    // whether a repetition already follows it: a second one applies to the repeated item as a
    // whole ("a**", "a*\\{2\\}"), so the item is grouped first; the engine would otherwise read
    // "*?" and "*+" as a lazy or possessive star, or refuse "**".
    std::size_t atom = none;
    bool repeated = false;
    std::vector<std::size_t> groups;  // where each open group begins in `out`
    const auto begin_atom = [&] {
        atom = out.size();
        repeated = false;
        at_start = false;
    };
    const auto repeat = [&](std::string_view quantifier) {
        if (atom != none && repeated) {
            out.insert(atom, "(?:");
            out += ')';
        }
        out += quantifier;
        repeated = true;
        at_start = false;
    };
    std::size_t i = 0;
    while (i < p.size()) {
        const char c = p[i];
        if (c == '[') {
            bool trailing_backslash = false;
            const std::size_t end = bracket_end(p, i, trailing_backslash);
            if (end == std::string_view::npos) {
                // An unclosed set: the engine reports it when compiling. A backslash that ends
                // the pattern is still refused here.
                if (trailing_backslash) return std::unexpected(std::string("trailing backslash"));
                out.append(p.substr(i));
                break;
            }
            begin_atom();
            out.append(p.substr(i, end - i));
            i = end;
            continue;
        }
        if (c == '\\') {
            if (i + 1 == p.size()) return std::unexpected(std::string("trailing backslash"));
            const char n = p[i + 1];
            i += 2;
            switch (n) {
            case '(':
                groups.push_back(out.size());
                out += n;
                atom = none;
                at_start = true;
                continue;
            case '|':
                out += n;
                atom = none;
                at_start = true;
                continue;
            case ')':
                out += n;
                if (groups.empty()) {
                    atom = none;
                } else {
                    atom = groups.back();
                    groups.pop_back();
                }
                repeated = false;
                at_start = false;
                continue;
            case '{':
                if (at_start) {
                    begin_atom();
                    out += "\\{";
                    continue;
                }
                if (const std::size_t end = interval_end(p, i); end != std::string_view::npos) {
                    // "\\{,N\\}" has no lower bound: zero.
                    std::string quantifier = "{";
                    if (p[i] == ',') quantifier += '0';
                    quantifier.append(p.substr(i, end - 2 - i));
                    quantifier += '}';
                    repeat(quantifier);
                    i = end;
                    continue;
                }
                out += n;
                at_start = false;
                continue;
            case '+':
            case '?':
                if (at_start) {
                    begin_atom();
                    out += '\\';
                    out += n;
                } else {
                    repeat(std::string_view(&n, 1));
                }
                continue;
            case '}':
                out += n;
                at_start = false;
                continue;
            case '<':
            case '>':
                out += "\\b";
                atom = none;
                at_start = false;
                continue;
            case '`':
                out += "\\A";
                atom = none;
                at_start = false;
                continue;
            case '\'':
                out += "\\z";
                atom = none;
                at_start = false;
                continue;
            default:
                if (n >= '0' && n <= '9') return std::unexpected(std::string("backreferences are not supported"));
                begin_atom();
                out += '\\';
                out += n;
                continue;
            }
        }
        ++i;
        switch (c) {
        case '(':
        case ')':
        case '+':
        case '?':
        case '{':
        case '|':
        case '}':
            begin_atom();
            out += '\\';
            out += c;
            break;
        case '*':
            if (at_start) {
                begin_atom();
                out += "\\*";
            } else {
                repeat("*");
            }
            break;
        case '^':
            if (at_start) {
                out += '^';
                atom = none;
                break;  // still at the start: "^*" is an anchor and a literal star
            }
            begin_atom();
            out += "\\^";
            break;
        case '$':
            if (dollar_is_anchor(p, i - 1)) {
                out += '$';
                atom = none;
                at_start = false;
            } else {
                begin_atom();
                out += "\\$";
            }
            break;
        default:
            // The continuation bytes of a UTF-8 character belong to the item its first byte began.
            if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) begin_atom();
            out += c;
            break;
        }
    }
    return out;
}

std::string ere_word_anchors(std::string_view p) {
    std::string out;
    out.reserve(p.size());
    std::size_t i = 0;
    while (i < p.size()) {
        const char c = p[i];
        if (c == '[') {
            bool trailing_backslash = false;
            const std::size_t end = bracket_end(p, i, trailing_backslash);
            if (end == std::string_view::npos) break;
            out.append(p.substr(i, end - i));
            i = end;
            continue;
        }
        if (c == '\\' && i + 1 < p.size()) {
            if (p[i + 1] == '<') out += "\\b(?=\\w)";
            else if (p[i + 1] == '>') out += "\\b(?<=\\w)";
            else out.append(p.substr(i, 2));
            i += 2;
            continue;
        }
        out += c;
        ++i;
    }
    out.append(p.substr(i));
    return out;
}

}  // namespace tw
