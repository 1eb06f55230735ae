#include "shell/expand.h"
#include "base/utf8.h"

#include <array>

#include <fmt/format.h>

#include "base/sat.h"
#include "base/stack.h"
#include "kernel/machine.h"
#include "shell/arith.h"
#include "shell/brace.h"
#include "shell/param_ops.h"
#include "shell/pathname.h"
#include "shell/pattern.h"
#include "shell/variables.h"

namespace tw {

namespace {

constexpr std::size_t npos = std::string_view::npos;

// A word's fields are a second copy of its expanded text, held until the command is done. Small
// words are covered by the charges of their values; the copy of a larger one is charged too.
constexpr std::uint64_t kUnchargedFieldBytes = 4096;

// Index of the `)` that balances the `(` at `open`, or npos.
std::size_t closing_paren(std::string_view w, std::size_t open) {
    int depth = 0;
    for (std::size_t i = open; i < w.size(); ++i) {
        if (w[i] == '(') ++depth;
        if (w[i] == ')' && --depth == 0) return i;
    }
    return npos;
}

// The end of a $(( )) expression starting at `start`: the first `)` not balanced inside it.
std::size_t arith_end(std::string_view w, std::size_t start) {
    int depth = 0;
    for (std::size_t i = start; i < w.size(); ++i) {
        if (w[i] == '(') ++depth;
        if (w[i] == ')') {
            if (depth == 0) return i;
            --depth;
        }
    }
    return npos;
}


int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whether a ${...} body is one of the forms that give separate fields inside double quotes:
// @ (with an operator or not), name[@], !name[@] and !prefix@.
bool is_at_list_body(std::string_view body) {
    if (body.starts_with('@')) return true;
    if (body.starts_with('!')) body.remove_prefix(1);
    std::size_t n = 0;
    while (n < body.size() && param_name_char(body[n])) ++n;
    if (n == 0) return false;
    return body.substr(n).starts_with("[@]") || body.substr(n) == "@";
}

}  // namespace

// ---- segments ----

void SegmentList::append(std::string_view text, bool split, bool literal, bool glob) {
    if (text.empty() && split) return;  // unquoted nothing adds no field
    FieldBreak brk = std::exchange(pending_, FieldBreak::None);
    if (!glob && brk == FieldBreak::None && !segs_.empty()) {
        Segment& last = segs_.back();
        if (!last.glob && last.split == split && last.literal == literal) {
            last.text.append(text);
            return;
        }
    }
    segs_.push_back(Segment{std::string(text), split, literal, glob, brk});
}

void SegmentList::field_break(FieldBreak brk) {
    if (brk == FieldBreak::Quoted || pending_ == FieldBreak::None) pending_ = brk;
}

std::string SegmentList::joined_text() const {
    std::string out;
    for (const Segment& s : segs_) {
        if (s.brk != FieldBreak::None && !out.empty()) out += ' ';
        out += s.text;
    }
    return out;
}

std::string SegmentList::pattern_text() const {
    std::string out;
    for (const Segment& s : segs_) {
        if (s.brk != FieldBreak::None && !out.empty()) out += ' ';
        out += s.literal ? shell_pattern_escape(s.text) : s.text;
    }
    return out;
}

std::string SegmentList::replacement_text() const {
    std::string out;
    for (const Segment& s : segs_) {
        if (s.brk != FieldBreak::None && !out.empty()) out += ' ';
        if (!s.literal) {
            out += s.text;
            continue;
        }
        for (char c : s.text) {
            if (c == '\\' || c == '&') out += '\\';
            out += c;
        }
    }
    return out;
}

bool ParamValue::is_set_and_not_empty() const {
    if (!is_list) return scalar && !scalar->empty();
    for (const auto& item : items)
        if (!item.empty()) return true;
    return false;
}

// ---- helpers ----

std::size_t utf8_char_len(std::string_view s, std::size_t i) {
    auto b = static_cast<unsigned char>(s[i]);
    std::size_t len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 1;
    if (i + len > s.size()) return 1;
    for (std::size_t k = 1; k < len; ++k)
        if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 1;
    return len;
}

std::size_t skip_quoted(std::string_view w, std::size_t i) {
    char q = w[i];
    if (q == '\\') return std::min(i + 2, w.size());
    bool ansi = q == '\'' && i > 0 && w[i - 1] == '$';
    for (std::size_t j = i + 1; j < w.size(); ++j) {
        if (w[j] == '\\' && (q == '"' || ansi)) {
            ++j;
            continue;
        }
        if (w[j] == q) return j + 1;
    }
    return w.size();
}

std::string join_texts(const std::vector<std::string>& items, std::string_view sep) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += sep;
        out += items[i];
    }
    return out;
}

std::string join_texts(std::vector<std::string>&& items, std::string_view sep) {
    if (items.size() == 1) return std::move(items.front());
    return join_texts(static_cast<const std::vector<std::string>&>(items), sep);
}

std::size_t closing_brace(std::string_view w, std::size_t start) {
    int depth = 0;
    std::size_t i = start;
    while (i < w.size()) {
        char c = w[i];
        if (c == '\\' || c == '\'' || c == '"') {
            i = skip_quoted(w, i);
        } else if (c == '$' && i + 1 < w.size() && w[i + 1] == '{') {
            ++depth;
            i += 2;
        } else if (c == '}') {
            if (depth == 0) return i;
            --depth;
            ++i;
        } else {
            ++i;
        }
    }
    return npos;
}

std::string decode_ansi_c(std::string_view body) {
    std::string out;
    std::size_t i = 0;
    // A NUL ends the text, as it would end an argument.
    while (i < body.size() && (out.empty() || out.back() != '\0')) {
        char c = body[i];
        if (c != '\\' || i + 1 >= body.size()) {
            out += c;
            ++i;
            continue;
        }
        char e = body[i + 1];
        i += 2;
        switch (e) {
            case 'a': out += '\a'; break;
            case 'b': out += '\b'; break;
            case 'e':
            case 'E': out += '\x1b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'v': out += '\v'; break;
            case '\\': out += '\\'; break;
            case '\'': out += '\''; break;
            case '"': out += '"'; break;
            case '?': out += '?'; break;
            case 'c':
                if (i < body.size()) {
                    out += static_cast<char>(body[i] & 0x1F);
                    ++i;
                } else {
                    out += "\\c";
                }
                break;
            case 'x':
            case 'u':
            case 'U': {
                std::size_t max = e == 'x' ? 2 : e == 'u' ? 4 : 8;
                std::uint32_t v = 0;
                std::size_t n = 0;
                while (n < max && i < body.size() && hex_value(body[i]) >= 0) {
                    v = v * 16 + static_cast<std::uint32_t>(hex_value(body[i]));
                    ++i;
                    ++n;
                }
                if (n == 0) {
                    out += '\\';
                    out += e;
                } else if (e == 'x') {
                    out += static_cast<char>(v);
                } else if (v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF)) {
                    utf8_append(out, v);
                }
                break;
            }
            default:
                if (e >= '0' && e <= '7') {
                    std::uint32_t v = static_cast<std::uint32_t>(e - '0');
                    for (int n = 1; n < 3 && i < body.size() && body[i] >= '0' && body[i] <= '7'; ++n, ++i)
                        v = v * 8 + static_cast<std::uint32_t>(body[i] - '0');
                    out += static_cast<char>(v & 0xFF);
                } else {
                    out += '\\';
                    out += e;
                }
                break;
        }
    }
    if (auto nul = out.find('\0'); nul != std::string::npos) out.resize(nul);
    return out;
}

// ---- the expander ----

ProcessState& WordExpander::state() { return m_.states.active_mut(); }

bool WordExpander::stopped() const { return m_.meter.stop_reason().has_value(); }

bool WordExpander::charge(std::uint64_t n) {
    if (!m_.meter.charge_memory(n)) return false;
    ProcessState& st = state();
    st.expansion_charge = sat_add(st.expansion_charge, n);
    return work(n);
}

bool WordExpander::work(std::uint64_t units) { return m_.meter.charge_cpu(units); }

std::uint64_t items_work(const std::vector<std::string>& items) {
    std::uint64_t total = 0;
    for (const auto& item : items) total = sat_add(total, sat_add(item.size(), kItemWork));
    return total;
}

void WordExpander::record_error(std::string message, bool fatal) {
    ProcessState& st = state();
    if (st.pending_error && st.pending_error->message) return;
    if (!message.ends_with('\n')) message += '\n';
    st.pending_error = PendingError{std::move(message), 1, fatal};
}

std::int64_t WordExpander::arith(std::string_view expression) {
    auto r = arith_eval(state(), expression, &m_.meter);
    if (r) return *r;
    if (r.error().refused) return 0;
    record_error(fmt::format("tarnwick: {}", render_arith_error(r.error(), expression)));
    return 0;
}

const std::string* WordExpander::plain_variable(std::string_view name) {
    if (name == "PPID" || name == "BASHPID" || name == "RANDOM" || name == "PWD") return nullptr;
    ProcessState& st = state();
    if (!st.arrays.empty() && is_array(st, name)) return nullptr;
    auto it = st.variables.find(std::string(name));
    return it == st.variables.end() ? nullptr : &it->second;
}

std::string WordExpander::checked(std::string_view name) {
    ProcessState& st = state();
    if (auto v = lookup_parameter(st, name)) {
        if (!work(v->size())) return {};
        return std::move(*v);
    }
    if (st.options.nounset && name != "@" && name != "*")
        record_error(fmt::format("tarnwick: {}: unbound variable", name));
    return {};
}

void WordExpander::substitution_reached(std::string_view command) {
    state().last_status = 125;
    m_.stderr_bytes += fmt::format("tarnwick: internal error: command substitution reached synchronous expansion: {}\n",
                                   command);
}

std::string WordExpander::star_separator() {
    ProcessState& st = state();
    auto it = st.variables.find("IFS");
    if (it == st.variables.end()) return " ";
    const std::string& ifs = it->second;
    if (ifs.empty()) return "";
    return ifs.substr(0, utf8_char_len(ifs, 0));
}

void WordExpander::emit_text(std::string_view value, SegmentList& out, ScanContext ctx) {
    if (!charge(value.size())) return;
    out.append(value, ctx.split, ctx.literal);
}

void WordExpander::emit_value(const ParamValue& value, SegmentList& out, ScanContext ctx) {
    if (!value.is_list) {
        emit_text(value.scalar ? std::string_view(*value.scalar) : std::string_view(), out, ctx);
        return;
    }
    if (!ctx.split && value.star) {
        emit_text(join_texts(value.items, star_separator()), out, ctx);
        return;
    }
    if (ctx.split) {
        // Unquoted: the elements are joined with the first character of IFS (a space without
        // IFS) and split again, so with a non-white IFS an empty element still makes a field.
        // Without splitting ("x=$@", case words) $@ joins with spaces and $* as "$*" does.
        // Only an empty IFS keeps the elements apart as they are.
        std::optional<std::string> ifs;
        if (auto it = state().variables.find("IFS"); it != state().variables.end()) ifs = it->second;
        if (!splitting_ || !ifs || !ifs->empty()) {
            std::string sep = !splitting_ ? (value.star ? star_separator() : " ")
                                          : (ifs ? ifs->substr(0, utf8_char_len(*ifs, 0)) : " ");
            emit_text(join_texts(value.items, sep), out, ctx);
            return;
        }
    }
    std::uint64_t total = 0;
    for (const auto& item : value.items) total = sat_add(total, item.size());
    if (!charge(total) || !work(sat_mul(value.items.size(), kItemWork))) return;
    for (std::size_t k = 0; k < value.items.size(); ++k) {
        if (k) out.field_break(ctx.split ? FieldBreak::Unquoted : FieldBreak::Quoted);
        out.append(value.items[k], ctx.split, ctx.literal);
    }
}

std::string shell_option_flags(const ProcessState& st) {
    std::string out;
    if (st.options.errexit) out += 'e';
    out += 'h';
    if (st.options.nounset) out += 'u';
    if (st.options.xtrace) out += 'x';
    out += 'B';
    if (st.options.errtrace) out += 'E';
    return out;
}

std::size_t WordExpander::tilde(std::string_view w, std::size_t i, SegmentList& out, bool assignment) {
    std::size_t end = i + 1;
    while (end < w.size() && w[end] != '/' && !(assignment && w[end] == ':')) ++end;
    std::string_view prefix = w.substr(i + 1, end - i - 1);
    if (prefix.find_first_of("'\"\\$`") != npos) return i;
    ProcessState& st = state();
    std::optional<std::string> value;
    if (prefix.empty()) {
        value = lookup_parameter(st, "HOME").value_or("/root");
    } else if (prefix == "+") {
        value = st.cwd;
    } else if (prefix == "-") {
        value = lookup_parameter(st, "OLDPWD");
    } else if (prefix == "root") {
        value = "/root";
    }
    if (!value) return i;
    if (charge(value->size())) out.append(*value, false, true);
    return end;
}

std::size_t WordExpander::ansi_c_quoted(std::string_view w, std::size_t i, SegmentList& out) {
    std::size_t j = i + 2;
    while (j < w.size() && w[j] != '\'') j += (w[j] == '\\') ? 2 : 1;
    std::size_t body_end = std::min(j, w.size());
    std::string text = decode_ansi_c(w.substr(i + 2, body_end - (i + 2)));
    if (charge(text.size())) out.append(text, false, true);
    return std::min(j + 1, w.size());
}

std::size_t WordExpander::backquote(std::string_view w, std::size_t i) {
    std::size_t j = i + 1;
    while (j < w.size() && w[j] != '`') j += (w[j] == '\\') ? 2 : 1;
    std::size_t end = std::min(j, w.size());
    substitution_reached(w.substr(i + 1, end - i - 1));
    return std::min(j + 1, w.size());
}

void WordExpander::scan_word(std::string_view w, SegmentList& out, WordKind kind) {
    const ScanContext unquoted{true, false};
    const bool assignment = kind == WordKind::Assignment;
    // Text written in the word is split only when it belongs to an operator's result.
    const bool text_splits = kind == WordKind::Operand;
    std::size_t i = 0;
    if (!w.empty() && w[0] == '~') {
        i = tilde(w, 0, out, assignment);
        if (i == 0) {
            out.append("~", text_splits, false);
            i = 1;
        }
    }
    while (i < w.size() && !stopped()) {
        char c = w[i];
        switch (c) {
            case '"':
                i = scan_double_quoted(w, i + 1, out);
                break;
            case '\'': {
                std::size_t close = w.find('\'', i + 1);
                std::size_t end = close == npos ? w.size() : close;
                out.append(w.substr(i + 1, end - i - 1), false, true);
                i = close == npos ? w.size() : close + 1;
                break;
            }
            case '\\':
                if (i + 1 < w.size() && w[i + 1] == '\n') {
                    i += 2;
                } else if (i + 1 < w.size()) {
                    std::size_t len = utf8_char_len(w, i + 1);
                    out.append(w.substr(i + 1, len), false, true);
                    i += 1 + len;
                } else {
                    ++i;
                }
                break;
            case '$':
                i = dollar(w, i, out, unquoted);
                break;
            case '`':
                i = backquote(w, i);
                break;
            case '*':
            case '?':
            case '[':
                out.append(w.substr(i, 1), text_splits, false, true);
                ++i;
                break;
            case ':':
                out.append(":", text_splits, false);
                ++i;
                if (assignment && i < w.size() && w[i] == '~') {
                    std::size_t next = tilde(w, i, out, true);
                    if (next == i) {
                        out.append("~", text_splits, false);
                        ++next;
                    }
                    i = next;
                }
                break;
            default: {
                std::size_t j = i + 1;
                while (j < w.size() && std::string_view("\"'\\$`*?[:").find(w[j]) == npos) ++j;
                out.append(w.substr(i, j - i), text_splits, false);
                i = j;
                break;
            }
        }
    }
}

std::size_t WordExpander::scan_double_quoted(std::string_view w, std::size_t i, SegmentList& out) {
    const ScanContext quoted{false, true};
    const std::size_t start = out.size();
    bool saw_list = false;
    bool saw_other = false;
    std::string buf;
    auto flush = [&] {
        if (!buf.empty()) {
            out.append(buf, false, true);
            buf.clear();
        }
    };
    while (i < w.size() && !stopped()) {
        char c = w[i];
        if (c == '"') {
            ++i;
            break;
        }
        if (c == '\\') {
            if (i + 1 < w.size() && std::string_view("$`\"\\").find(w[i + 1]) != npos) {
                buf += w[i + 1];
                i += 2;
            } else if (i + 1 < w.size() && w[i + 1] == '\n') {
                i += 2;
            } else if (i + 1 < w.size()) {
                buf += '\\';
                ++i;
            } else {
                ++i;
            }
            saw_other = true;
            continue;
        }
        if (c == '$') {
            flush();
            bool list = i + 1 < w.size() && w[i + 1] == '@';
            if (!list && i + 2 < w.size() && w[i + 1] == '{') {
                std::size_t close = closing_brace(w, i + 2);
                list = is_at_list_body(w.substr(i + 2, (close == npos ? w.size() : close) - i - 2));
            }
            (list ? saw_list : saw_other) = true;
            i = dollar(w, i, out, quoted);
            continue;
        }
        if (c == '`') {
            flush();
            i = backquote(w, i);
            saw_other = true;
            continue;
        }
        buf += c;
        saw_other = true;
        ++i;
    }
    flush();
    // "" is one empty field; a stretch made only of list forms without elements ("$@") is none.
    if (out.size() == start && (saw_other || !saw_list)) out.append("", false, true);
    return i;
}

void WordExpander::scan_quoted_operand(std::string_view w, SegmentList& out, bool quotes_in_pattern) {
    bool inner = false;
    std::size_t i = 0;
    while (i < w.size() && !stopped()) {
        char c = w[i];
        if (c == '"') {
            inner = !inner;
            ++i;
            continue;
        }
        if (c == '\\' && i + 1 < w.size()) {
            char nx = w[i + 1];
            if (std::string_view("$`\"\\").find(nx) != npos || (!inner && nx == '}')) {
                out.append(w.substr(i + 1, 1), false, true);
                i += 2;
            } else if (nx == '\n') {
                i += 2;
            } else if (inner) {
                out.append("\\", false, true);
                ++i;
            } else {
                // Kept as written: in a pattern the pair still escapes the character.
                std::size_t len = utf8_char_len(w, i + 1);
                out.append(w.substr(i, 1 + len), false, false);
                i += 1 + len;
            }
            continue;
        }
        if (c == '\'' && !inner && quotes_in_pattern) {
            std::size_t close = w.find('\'', i + 1);
            std::size_t end = close == npos ? w.size() : close;
            out.append(w.substr(i + 1, end - i - 1), false, true);
            i = close == npos ? w.size() : close + 1;
            continue;
        }
        if (c == '$') {
            if (!inner && i + 1 < w.size() && w[i + 1] == '\'') {
                i = ansi_c_quoted(w, i, out);
            } else {
                i = dollar(w, i, out, {false, inner});
            }
            continue;
        }
        if (c == '`') {
            i = backquote(w, i);
            continue;
        }
        std::size_t len = utf8_char_len(w, i);
        out.append(w.substr(i, len), false, inner);
        i += len;
    }
}

void WordExpander::scan_heredoc(std::string_view body, SegmentList& out) {
    std::size_t i = 0;
    std::string buf;
    auto flush = [&] {
        if (!buf.empty()) {
            out.append(buf, false, true);
            buf.clear();
        }
    };
    while (i < body.size() && !stopped()) {
        char c = body[i];
        if (c == '\\' && i + 1 < body.size()) {
            char nx = body[i + 1];
            if (nx == '$' || nx == '`' || nx == '\\') {
                buf += nx;
                i += 2;
            } else if (nx == '\n') {
                i += 2;
            } else {
                buf += '\\';
                ++i;
            }
            continue;
        }
        if (c == '$') {
            flush();
            i = dollar(body, i, out, {false, true});
            continue;
        }
        if (c == '`') {
            flush();
            i = backquote(body, i);
            continue;
        }
        buf += c;
        ++i;
    }
    flush();
}

std::string WordExpander::arith_text(std::string_view text) {
    SegmentList out;
    std::size_t i = 0;
    while (i < text.size() && !stopped()) {
        char c = text[i];
        if (c == '$') {
            i = dollar(text, i, out, {false, true});
        } else if (c == '"') {
            ++i;
        } else if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '$')) {
            out.append(text.substr(i + 1, 1), false, true);
            i += 2;
        } else {
            std::size_t j = i + 1;
            while (j < text.size() && text[j] != '$' && text[j] != '"' && text[j] != '\\') ++j;
            out.append(text.substr(i, j - i), false, true);
            i = j;
        }
    }
    return out.joined_text();
}

std::size_t WordExpander::dollar(std::string_view w, std::size_t i, SegmentList& out, ScanContext ctx) {
    if (i + 1 >= w.size()) {
        out.append("$", ctx.split, ctx.literal);
        return i + 1;
    }
    char c = w[i + 1];
    if (c == '\'' && ctx.split) return ansi_c_quoted(w, i, out);
    if (c == '"' && ctx.split) return scan_double_quoted(w, i + 2, out);
    if (c == '(') {
        if (i + 2 < w.size() && w[i + 2] == '(') {
            std::size_t end = arith_end(w, i + 3);
            std::size_t expr_end = end == npos ? w.size() : end;
            std::string expr = arith_text(w.substr(i + 3, expr_end - i - 3));
            std::int64_t value = arith(expr);
            emit_text(fmt::format("{}", value), out, ctx);
            if (end == npos) return w.size();
            return (end + 1 < w.size() && w[end + 1] == ')') ? end + 2 : end + 1;
        }
        std::size_t close = closing_paren(w, i + 1);
        std::size_t end = close == npos ? w.size() : close;
        substitution_reached(w.substr(i + 2, end - i - 2));
        return close == npos ? w.size() : close + 1;
    }
    if (c == '{') {
        std::size_t close = closing_brace(w, i + 2);
        std::size_t end = close == npos ? w.size() : close;
        std::string_view body = w.substr(i + 2, end - i - 2);
        if (depth_ >= kMaxExpansionDepth) {
            record_error("tarnwick: parameter expansions are nested too deeply");
        } else {
            ++depth_;
            with_stack_headroom([&] { braced(body, out, ctx); });
            --depth_;
        }
        return close == npos ? w.size() : close + 1;
    }
    if (c == '@' || c == '*') {
        ParamValue v;
        v.is_list = true;
        v.star = c == '*';
        v.items = state().positional_params.to_vector();
        emit_value(v, out, ctx);
        return i + 2;
    }
    if (c == '-') {
        emit_text(shell_option_flags(state()), out, ctx);
        return i + 2;
    }
    if (c == '#' || c == '?' || c == '$' || c == '!' || ascii_digit(c)) {
        emit_text(checked(w.substr(i + 1, 1)), out, ctx);
        return i + 2;
    }
    if (param_name_start(c)) {
        std::size_t j = i + 2;
        while (j < w.size() && param_name_char(w[j])) ++j;
        std::string_view name = w.substr(i + 1, j - i - 1);
        // A plain variable is appended straight from the store: no copy of a long value.
        if (const std::string* stored = plain_variable(name)) {
            if (work(stored->size())) emit_text(*stored, out, ctx);
            return j;
        }
        emit_text(checked(name), out, ctx);
        return j;
    }
    out.append("$", ctx.split, ctx.literal);
    return i + 1;
}

// ---- fields ----

std::vector<ExpandedField> WordExpander::fields_of(const SegmentList& segs, bool split) {
    std::vector<ExpandedField> fields;
    ExpandedField cur;
    bool started = false;
    // The runs of the field's text that are literal or not (end offset, literal): the pattern
    // is made from them only for a field that pathname expansion will look at.
    std::vector<std::pair<std::size_t, bool>> runs;
    auto emit = [&] {
        if (cur.glob) {
            std::size_t from = 0;
            for (auto [to, literal] : runs) {
                std::string_view part = std::string_view(cur.text).substr(from, to - from);
                cur.pattern += literal ? shell_pattern_escape(part) : std::string(part);
                from = to;
            }
        }
        runs.clear();
        fields.push_back(std::move(cur));
        cur = ExpandedField{};
        started = false;
    };
    auto add = [&](std::string_view text, bool literal, bool glob) {
        cur.text += text;
        if (!runs.empty() && runs.back().second == literal) {
            runs.back().first = cur.text.size();
        } else {
            runs.emplace_back(cur.text.size(), literal);
        }
        cur.glob = cur.glob || glob;
        started = true;
    };

    if (!split) {
        for (const Segment& s : segs.segments()) {
            if (s.brk == FieldBreak::Quoted && started) emit();
            if (s.brk == FieldBreak::Unquoted) add(" ", true, false);
            add(s.text, s.literal, false);
        }
        if (started) emit();
        return fields;
    }

    // The characters of IFS, split into white space and delimiters: single bytes in a table,
    // longer UTF-8 characters in lists. IFS is read at the first segment that splits.
    bool ifs_ready = false;
    std::array<std::uint8_t, 256> byte_class{};  // 0 none, 1 white space, 2 delimiter
    std::vector<std::string> white, delims;
    auto load_ifs = [&] {
        ifs_ready = true;
        std::string ifs = lookup_parameter(state(), "IFS").value_or(" \t\n");
        for (std::size_t k = 0; k < ifs.size();) {
            std::size_t len = utf8_char_len(ifs, k);
            std::string_view ch = std::string_view(ifs).substr(k, len);
            const bool is_white = ch == " " || ch == "\t" || ch == "\n";
            if (len == 1) {
                std::uint8_t& cls = byte_class[static_cast<unsigned char>(ch[0])];
                if (cls == 0) cls = is_white ? 1 : 2;
            } else {
                (is_white ? white : delims).emplace_back(ch);
            }
            k += len;
        }
    };
    auto is_in = [](const std::vector<std::string>& set, std::string_view ch) {
        for (const auto& s : set)
            if (s == ch) return true;
        return false;
    };
    auto is_white = [&](std::string_view ch) {
        return ch.size() == 1 ? byte_class[static_cast<unsigned char>(ch[0])] == 1 : is_in(white, ch);
    };
    auto is_delim = [&](std::string_view ch) {
        return ch.size() == 1 ? byte_class[static_cast<unsigned char>(ch[0])] == 2 : is_in(delims, ch);
    };
    // A field ended by white space leaves its separator open: one delimiter may still join it.
    bool open_separator = false;
    for (const Segment& s : segs.segments()) {
        if (s.brk != FieldBreak::None && started) emit();
        if (s.brk != FieldBreak::None) open_separator = false;
        if (!s.split) {
            add(s.text, s.literal, s.glob);
            open_separator = false;
            continue;
        }
        if (!ifs_ready) load_ifs();
        std::size_t k = 0;
        while (k < s.text.size()) {
            std::size_t len = utf8_char_len(s.text, k);
            std::string_view ch = std::string_view(s.text).substr(k, len);
            k += len;
            if (is_white(ch)) {
                if (started) {
                    emit();
                    open_separator = true;
                }
            } else if (is_delim(ch)) {
                if (started) {
                    emit();
                } else if (!open_separator) {
                    emit();  // an empty field
                }
                open_separator = false;
            } else {
                add(ch, false, s.glob);
                open_separator = false;
            }
        }
    }
    if (started) emit();
    return fields;
}

void WordExpander::scan_unsplit(std::string_view word, SegmentList& out) {
    bool saved = std::exchange(splitting_, false);
    scan_word(word, out);
    splitting_ = saved;
}

std::vector<std::string> WordExpander::expand(std::string_view text, bool split, bool assignment) {
    std::vector<std::string> words;
    if (split && text.find('{') != std::string_view::npos) {
        words = expand_braces(text, 0);
        if (words.size() > 1 && !work(items_work(words))) return {};
    } else {
        words.emplace_back(text);
    }
    bool saved = std::exchange(splitting_, split);
    std::vector<std::string> out;
    for (const auto& word : words) {
        if (stopped()) break;
        SegmentList segs;
        scan_word(word, segs, assignment ? WordKind::Assignment : WordKind::Plain);
        // The fields copy the segments' text: charged like the expanded values before they are made.
        std::uint64_t field_bytes = 0;
        for (const Segment& s : segs.segments()) field_bytes = sat_add(field_bytes, s.text.size() + 1);
        if (field_bytes > kUnchargedFieldBytes && !charge(field_bytes)) break;
        std::vector<ExpandedField> fields = fields_of(segs, split);
        // A word that becomes many fields pays for each one after the first.
        if (fields.size() > 1 && !work(sat_mul(fields.size() - 1, kItemWork))) break;
        for (auto& field : fields) {
            if (split && field.glob) {
                for (auto& path : expand_pathnames(m_, field)) out.push_back(std::move(path));
            } else {
                out.push_back(std::move(field.text));
            }
        }
    }
    splitting_ = saved;
    return out;
}

// ---- the public entry points ----

std::vector<std::string> expand_words(Machine& m, std::string_view text, bool split) {
    return WordExpander(m).expand(text, split);
}

std::string expand_word_text(Machine& m, std::string_view text) {
    return join_texts(WordExpander(m).expand(text, false), " ");
}

std::string expand_assignment_value(Machine& m, std::string_view text) {
    return join_texts(WordExpander(m).expand(text, false, true), " ");
}

std::string expand_pattern_word(Machine& m, std::string_view text) {
    WordExpander ex(m);
    SegmentList segs;
    ex.scan_unsplit(text, segs);
    return segs.pattern_text();
}

std::string expand_heredoc_body(Machine& m, std::string_view body) {
    WordExpander ex(m);
    SegmentList segs;
    ex.scan_heredoc(body, segs);
    return segs.joined_text();
}

std::string expand_arith_text(Machine& m, std::string_view text) { return WordExpander(m).arith_text(text); }

DollarExpansion expand_dollar(Machine& m, std::string_view text) {
    if (text.empty() || text[0] != '$') return {};
    WordExpander ex(m);
    SegmentList segs;
    std::size_t end = ex.dollar(text, 0, segs, {false, true});
    return {segs.joined_text(), end};
}

std::optional<ListExpansion> expand_list_parameter(Machine& m, std::string_view text, bool quoted) {
    if (text.size() < 2 || text[0] != '$') return std::nullopt;
    bool list = text[1] == '@' || text[1] == '*';
    if (!list && text[1] == '{') {
        std::size_t close = closing_brace(text, 2);
        if (close == npos) return std::nullopt;
        std::string_view body = text.substr(2, close - 2);
        if (body.starts_with('!')) body.remove_prefix(1);
        std::size_t open = body.find('[');
        list = open != npos && is_shell_name(body.substr(0, open)) &&
               (body.substr(open).starts_with("[@]") || body.substr(open).starts_with("[*]"));
    }
    if (!list) return std::nullopt;
    // Unquoted, the `*` forms give the elements just as the `@` forms do.
    std::string form(text);
    if (!quoted) {
        if (form[1] == '*') form[1] = '@';
        if (auto star = form.find("[*]"); form[1] == '{' && star != std::string::npos && star < form.find('}'))
            form[star + 1] = '@';
    }
    WordExpander ex(m);
    SegmentList segs;
    std::size_t end = ex.dollar(form, 0, segs, {false, true});
    ListExpansion out;
    out.consumed = end;
    for (const Segment& s : segs.segments()) {
        if (out.fields.empty() || s.brk != FieldBreak::None) out.fields.emplace_back();
        out.fields.back() += s.text;
    }
    return out;
}

bool charge_expansion_memory(Machine& m, std::uint64_t n) { return WordExpander(m).charge(n); }

std::int64_t arith_expand(Machine& m, std::string_view text) { return WordExpander(m).arith(text); }

}  // namespace tw
