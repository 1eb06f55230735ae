#include "commands/sed/bre.h"

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

Result<std::string, std::string> bre_to_regex(std::string_view p) {
    std::string out;
    out.reserve(p.size() + p.size() / 4);
    // At the start of the expression, of a group or of an alternative: "*" is literal there and
    // "^" is an anchor.
    bool at_start = true;
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
            out.append(p.substr(i, end - i));
            i = end;
            at_start = false;
            continue;
        }
        if (c == '\\') {
            if (i + 1 == p.size()) return std::unexpected(std::string("trailing backslash"));
            const char n = p[i + 1];
            i += 2;
            switch (n) {
            case '(':
            case '|':
                out += n;
                at_start = true;
                continue;
            case '{':
                // "\{,N\}" has no lower bound: zero.
                out += n;
                if (i < p.size() && p[i] == ',') out += '0';
                break;
            case ')':
            case '+':
            case '?':
            case '}':
                out += n;
                break;
            case '<':
            case '>':
                out += "\\b";
                break;
            case '`': out += "\\A"; break;
            case '\'': out += "\\z"; break;
            default:
                if (n >= '0' && n <= '9') return std::unexpected(std::string("backreferences are not supported"));
                out += '\\';
                out += n;
                break;
            }
            at_start = false;
            continue;
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
            out += '\\';
            out += c;
            break;
        case '*':
            if (at_start) out += "\\*";
            else out += '*';
            break;
        case '^':
            if (at_start) {
                out += '^';
                continue;  // "^*" is an anchor and a literal star
            }
            out += "\\^";
            break;
        case '$':
            if (dollar_is_anchor(p, i - 1)) out += '$';
            else out += "\\$";
            break;
        default: out += c; break;
        }
        at_start = false;
    }
    return out;
}

}  // namespace tw
