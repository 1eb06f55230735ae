// The ${...} forms: lengths, elements, indirection, the operators and the substring form.

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <set>

#include "base/case_map.h"
#include "base/sat.h"
#include "base/utf8.h"
#include "kernel/machine.h"
#include "shell/arith.h"
#include "shell/expand.h"
#include "shell/param_ops.h"
#include "shell/pattern.h"
#include "shell/variables.h"

namespace tw {

namespace {

constexpr std::size_t npos = std::string_view::npos;


std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) s.remove_suffix(1);
    return s;
}

// The index of the `]` closing the `[` at `open` (nested brackets counted, quotes skipped).
std::size_t closing_bracket(std::string_view w, std::size_t open) {
    int depth = 0;
    std::size_t i = open;
    while (i < w.size()) {
        char c = w[i];
        if (c == '\\' || c == '\'' || c == '"') {
            i = skip_quoted(w, i);
            continue;
        }
        if (c == '[') ++depth;
        if (c == ']' && --depth == 0) return i;
        ++i;
    }
    return npos;
}

// The first `/` of an operator word that is not quoted, escaped or inside a ${...}.
std::size_t unquoted_slash(std::string_view w) {
    std::size_t i = 0;
    while (i < w.size()) {
        char c = w[i];
        if (c == '\\' || c == '\'' || c == '"') {
            i = skip_quoted(w, i);
        } else if (c == '$' && i + 1 < w.size() && w[i + 1] == '{') {
            std::size_t close = closing_brace(w, i + 2);
            i = close == npos ? w.size() : close + 1;
        } else if (c == '/') {
            return i;
        } else {
            ++i;
        }
    }
    return npos;
}

struct ParsedRef {
    ParamRef ref;
    std::size_t end = 0;
};

// The parameter named at the start of a ${...} body: a special character, digits, or a name with
// an optional [subscript].
std::optional<ParsedRef> parse_ref(std::string_view text) {
    if (text.empty()) return std::nullopt;
    char c = text[0];
    if (std::string_view("@*#?-$!").find(c) != npos) return ParsedRef{{std::string(1, c), std::nullopt}, 1};
    std::size_t j = 1;
    if (ascii_digit(c)) {
        while (j < text.size() && ascii_digit(text[j])) ++j;
        return ParsedRef{{std::string(text.substr(0, j)), std::nullopt}, j};
    }
    if (!param_name_start(c)) return std::nullopt;
    while (j < text.size() && param_name_char(text[j])) ++j;
    ParsedRef out{{std::string(text.substr(0, j)), std::nullopt}, j};
    if (j < text.size() && text[j] == '[') {
        std::size_t close = closing_bracket(text, j);
        if (close != npos) {
            out.ref.subscript = std::string(text.substr(j + 1, close - j - 1));
            out.end = close + 1;
        }
    }
    return out;
}

std::size_t char_count(std::string_view s) { return pattern_char_count(s); }

// ---- case conversion ----

void append_converted(std::string& out, std::uint32_t cp, int mode /* 1 upper, -1 lower, 0 toggle */) {
    if (cp >= 0x110000) {
        out += static_cast<char>(cp - 0x110000);
        return;
    }
    if (cp < 0x80) {
        const bool lower = cp >= 'a' && cp <= 'z', upper = cp >= 'A' && cp <= 'Z';
        if ((mode >= 0 && lower) || (mode <= 0 && upper)) cp ^= 0x20;
        out += static_cast<char>(cp);
        return;
    }
    const auto c = static_cast<char32_t>(cp);
    if (mode == 0) mode = unicode_simple_upper(c) != c ? 1 : (unicode_simple_lower(c) != c ? -1 : 0);
    if (mode == 1) utf8_append_upper(out, c);
    else if (mode == -1) utf8_append_lower(out, c);
    else utf8_append(out, c);
}

// Converts the characters that `pattern` matches (every one without a pattern); only the
// first character is considered with `first_only`.
std::string convert_matching(std::string_view text, int mode, bool first_only, const ShellPattern* pattern) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t at = i;
        const std::uint32_t c = pattern_next_char(text, i);
        bool eligible = (!first_only || at == 0) && (!pattern || pattern->matches_one(c));
        if (eligible) {
            append_converted(out, c, mode);
        } else {
            out.append(text.substr(at, i - at));
        }
    }
    return out;
}

// ---- removal and substitution ----

}  // namespace

HeldMemory::HeldMemory(Machine& m, std::uint64_t bytes)
    : m_(m), bytes_(bytes), held_(m.meter.charge_memory(bytes)) {}

HeldMemory::~HeldMemory() {
    if (held_) m_.meter.release_memory(bytes_);
}

std::uint64_t pattern_text_bytes(std::string_view text) {
    return sat_mul(text.size(), sizeof(std::uint32_t) + sizeof(std::size_t));
}

namespace {
constexpr std::uint64_t kAttemptSteps = 8;
}  // namespace

MatchWork::MatchWork(Machine& m, std::size_t text_bytes)
    : m_(m), allowance_(sat_add(sat_mul(text_bytes, 4), 64)) {}

std::optional<bool> MatchWork::match(const ShellPattern& p, std::span<const std::uint32_t> chars) {
    // The steps the CPU budget left can still pay for, beyond what is covered.
    const auto limits = m_.meter.limits();
    const std::uint64_t left = sat_mul(sat_sub(limits.cpu, m_.meter.cpu_used()), 4);
    const std::uint64_t max_steps = sat_add(sat_add(sat_sub(allowance_, work_), left), 4);
    // Every attempt costs a few steps of its own, however soon it fails.
    std::uint64_t steps = kAttemptSteps;
    bool matched = p.matches_chars(chars, &steps, max_steps);
    if (!spend(steps) || steps > max_steps) return std::nullopt;
    return matched;
}

bool MatchWork::spend(std::uint64_t steps) {
    work_ = sat_add(work_, steps);
    if (work_ <= allowance_) return true;
    std::uint64_t due = (work_ - allowance_ + 3) / 4;
    if (due > charged_) {
        if (!m_.meter.charge_cpu(due - charged_)) return false;
        charged_ = due;
    }
    return true;
}

namespace {

// The value without the shortest or longest matching prefix or suffix; nothing when the CPU
// budget refuses the matching work.
std::optional<std::string> remove_affix(const std::string& value, const ShellPattern& p, bool prefix, bool longest,
                                        MatchWork& work) {
    PatternText t = pattern_text(value);
    const std::span<const std::uint32_t> chars(t.chars);
    const std::size_t n = chars.size();
    const std::size_t min = p.min_chars();
    if (min > n) return value;
    if (prefix) {
        // The prefix [0, k) for k from min (shortest) or n (longest).
        std::size_t lo = min, hi = p.fixed_length() ? min : n;
        for (std::size_t step = 0; step <= hi - lo; ++step) {
            std::size_t k = longest ? hi - step : lo + step;
            auto matched = work.match(p, chars.subspan(0, k));
            if (!matched) return std::nullopt;
            if (*matched) return value.substr(t.offsets[k]);
        }
    } else {
        // The suffix [k, n) for k from n - min (shortest) or 0 (longest).
        std::size_t hi = n - min, lo = p.fixed_length() ? n - min : 0;
        for (std::size_t step = 0; step <= hi - lo; ++step) {
            std::size_t k = longest ? lo + step : hi - step;
            auto matched = work.match(p, chars.subspan(k));
            if (!matched) return std::nullopt;
            if (*matched) return value.substr(0, t.offsets[k]);
        }
    }
    return value;
}

// The replacement text for one match: `&` is the matched text, `\c` is c.
void append_replacement(std::string& out, std::string_view rep, std::string_view matched) {
    for (std::size_t i = 0; i < rep.size(); ++i) {
        if (rep[i] == '\\' && i + 1 < rep.size()) {
            out += rep[++i];
        } else if (rep[i] == '&') {
            out += matched;
        } else {
            out += rep[i];
        }
    }
}

enum class SubstKind : std::uint8_t { First, All, Start, End };

std::optional<std::string> substitute(const std::string& value, const ShellPattern& p, std::string_view rep,
                                      SubstKind kind, MatchWork& work) {
    std::string out;
    if (!p.has_wildcards() && kind != SubstKind::Start && kind != SubstKind::End) {
        // A literal pattern: plain searching.
        std::string lit = p.literal_text();
        if (lit.empty()) return value;
        std::size_t pos = 0;
        while (true) {
            std::size_t at = value.find(lit, pos);
            if (at == npos) break;
            out.append(value, pos, at - pos);
            append_replacement(out, rep, lit);
            pos = at + lit.size();
            if (kind == SubstKind::First) break;
        }
        out.append(value, pos);
        return out;
    }
    PatternText t = pattern_text(value);
    const std::span<const std::uint32_t> chars(t.chars);
    const std::size_t n = chars.size();
    const std::size_t min = p.min_chars();
    auto text_of = [&](std::size_t a, std::size_t b) {
        return std::string_view(value).substr(t.offsets[a], t.offsets[b] - t.offsets[a]);
    };
    bool refused = false;
    // The end of the longest match starting at `s`.
    auto longest_at = [&](std::size_t s) -> std::optional<std::size_t> {
        if (n - s < min) return std::nullopt;
        std::size_t hi = p.fixed_length() ? s + min : n;
        for (std::size_t e = hi + 1; e-- > s + min;) {
            auto matched = work.match(p, chars.subspan(s, e - s));
            if (!matched) {
                refused = true;
                return std::nullopt;
            }
            if (*matched) return e;
        }
        return std::nullopt;
    };
    switch (kind) {
        case SubstKind::Start: {
            auto e = longest_at(0);
            if (refused) return std::nullopt;
            if (!e) return value;
            append_replacement(out, rep, text_of(0, *e));
            out += text_of(*e, n);
            return out;
        }
        case SubstKind::End: {
            if (n < min) return value;
            for (std::size_t s = 0; s <= n - min; ++s) {
                auto matched = work.match(p, chars.subspan(s));
                if (!matched) return std::nullopt;
                if (*matched) {
                    out += text_of(0, s);
                    append_replacement(out, rep, text_of(s, n));
                    return out;
                }
            }
            return value;
        }
        case SubstKind::First:
        case SubstKind::All: {
            std::size_t s = 0;
            bool done = false;
            while (s <= n) {
                std::optional<std::size_t> e = done ? std::nullopt : longest_at(s);
                if (refused) return std::nullopt;
                if (e && (*e > s || n == 0)) {
                    append_replacement(out, rep, text_of(s, *e));
                    if (kind == SubstKind::First) done = true;
                    if (*e == s) break;
                    s = *e;
                    continue;
                }
                if (s == n) break;
                out += text_of(s, s + 1);
                ++s;
            }
            return out;
        }
    }
    return value;
}

std::string shell_quote(std::string_view s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    out += '\'';
    return out;
}

}  // namespace

std::string ParamRef::display() const { return subscript ? fmt::format("{}[{}]", name, *subscript) : name; }

std::string convert_case(std::string_view text, bool upper, bool first_only) {
    return convert_matching(text, upper ? 1 : -1, first_only, nullptr);
}

// ---- values of parameters ----

std::optional<std::uint64_t> WordExpander::index_of(std::string_view name, std::string_view subscript) {
    std::string expr = arith_text(subscript);
    auto r = arith_eval(state(), expr, &m_.meter);
    if (!r) {
        if (r.error().refused) return std::nullopt;
        record_error(fmt::format("tarnwick: {}", render_arith_error(r.error(), expr)));
        return std::nullopt;
    }
    if (*r >= 0) return static_cast<std::uint64_t>(*r);
    auto resolved = arith_resolve_subscript(state(), name, *r);
    if (!resolved) {
        record_error(fmt::format("tarnwick: {}", resolved.error()), false);
        return std::nullopt;
    }
    return *resolved;
}

std::string WordExpander::word_text(std::string_view word) {
    SegmentList segs;
    scan_unsplit(word, segs);
    return segs.joined_text();
}

std::optional<std::string> WordExpander::element(std::string_view name, std::string_view subscript) {
    ProcessState& st = state();
    if (is_associative_array(st, name)) return get_array_element(st, name, word_text(subscript));
    auto index = index_of(name, subscript);
    if (!index) return std::nullopt;
    if (is_array(st, name)) return get_array_element(st, name, fmt::format("{}", *index));
    // A scalar is an array of one element.
    if (*index == 0) return lookup_parameter(st, name);
    return std::nullopt;
}

ParamValue WordExpander::parameter(const ParamRef& ref) {
    ParamValue v = parameter_value(ref);
    if (!work(v.is_list ? items_work(v.items) : v.scalar ? v.scalar->size() : 0)) return {};
    return v;
}

ParamValue WordExpander::parameter_value(const ParamRef& ref) {
    ProcessState& st = state();
    ParamValue v;
    if (ref.name == "@" || ref.name == "*") {
        v.is_list = true;
        v.star = ref.name == "*";
        if (!ref.subscript) v.items = st.positional_params.to_vector();
        return v;
    }
    if (!ref.subscript) {
        if (ref.name == "-") {
            v.scalar = shell_option_flags(st);
        } else {
            v.scalar = lookup_parameter(st, ref.name);
        }
        return v;
    }
    const std::string& sub = *ref.subscript;
    if (sub == "@" || sub == "*") {
        v.is_list = true;
        v.star = sub == "*";
        if (is_array(st, ref.name)) {
            v.items = array_values(st, ref.name);
        } else if (auto scalar = lookup_parameter(st, ref.name)) {
            v.items.push_back(std::move(*scalar));
        }
        return v;
    }
    if (is_shell_name(ref.name)) v.scalar = element(ref.name, sub);
    return v;
}

void WordExpander::operand(std::string_view word, SegmentList& out, ScanContext ctx, bool pattern_operator) {
    if (ctx.split) {
        scan_word(word, out, WordKind::Operand);
    } else {
        scan_quoted_operand(word, out, pattern_operator);
    }
}

void WordExpander::braced(std::string_view body, SegmentList& out, ScanContext ctx) {
    ProcessState& st = state();
    if (body == "#") {
        emit_text(fmt::format("{}", st.positional_params.size()), out, ctx);
        return;
    }
    // Lengths: ${#name}, ${#name[sub]}, ${#name[@]}, ${#@}, ${#1}, ...
    if (body.size() > 1 && body[0] == '#') {
        auto ref = parse_ref(body.substr(1));
        if (ref && ref->end == body.size() - 1) {
            ParamValue v = parameter(ref->ref);
            std::size_t len = v.is_list ? v.items.size() : char_count(v.scalar.value_or(""));
            emit_text(fmt::format("{}", len), out, ctx);
            return;
        }
    }
    // Indirection and name lists: ${!name}, ${!prefix*}, ${!prefix@}, ${!name[@]}.
    if (body.size() > 1 && body[0] == '!') {
        std::string_view rest = body.substr(1);
        if ((rest.ends_with('*') || rest.ends_with('@')) && is_shell_name(rest.substr(0, rest.size() - 1))) {
            std::string_view prefix = rest.substr(0, rest.size() - 1);
            // Every name is looked at, matching or not.
            if (!work(sat_add(st.variables.size(), st.arrays.size()))) return;
            std::set<std::string> names;
            for (const auto& [name, value] : st.variables)
                if (name.starts_with(prefix) && is_shell_name(name)) names.insert(name);
            for (const auto& [name, array] : st.arrays)
                if (name.starts_with(prefix)) names.insert(name);
            ParamValue v;
            v.is_list = true;
            v.star = rest.ends_with('*');
            v.items.assign(names.begin(), names.end());
            emit_value(v, out, ctx);
            return;
        }
        auto ref = parse_ref(rest);
        if (ref && ref->ref.subscript && (*ref->ref.subscript == "@" || *ref->ref.subscript == "*") &&
            ref->end == rest.size()) {
            ParamValue v;
            v.is_list = true;
            v.star = *ref->ref.subscript == "*";
            if (is_array(st, ref->ref.name)) {
                v.items = array_keys(st, ref->ref.name);
            } else if (lookup_parameter(st, ref->ref.name)) {
                v.items.push_back("0");
            }
            emit_value(v, out, ctx);
            return;
        }
        if (ref) {
            ParamValue named = parameter(ref->ref);
            std::string target = named.is_list ? join_texts(named.items, " ") : named.scalar.value_or("");
            auto target_ref = parse_ref(target);
            if (!target_ref || target_ref->end != target.size()) {
                record_error(fmt::format("tarnwick: {}: invalid indirect expansion", ref->ref.display()));
                return;
            }
            // The subscript of the named parameter would need a command run before this
            // expansion; refuse it rather than expand it partly.
            if (target_ref->ref.subscript && (target_ref->ref.subscript->find("$(") != std::string::npos ||
                                              target_ref->ref.subscript->find('`') != std::string::npos)) {
                record_error(fmt::format("tarnwick: {}: command substitution in an indirect subscript", target),
                             false);
                return;
            }
            std::string_view op = rest.substr(ref->end);
            ParamValue value = parameter(target_ref->ref);
            if (op.empty()) {
                emit_value(value, out, ctx);
            } else {
                apply_operator(target_ref->ref, std::move(value), op, out, ctx);
            }
            return;
        }
    }
    auto ref = parse_ref(body);
    if (!ref) {
        record_error(fmt::format("tarnwick: ${{{}}}: bad substitution", body));
        return;
    }
    std::string_view op = body.substr(ref->end);
    ParamValue value = parameter(ref->ref);
    if (op.empty()) {
        if (!ref->ref.subscript && !value.is_list && !value.is_set() && st.options.nounset)
            record_error(fmt::format("tarnwick: {}: unbound variable", ref->ref.name));
        emit_value(value, out, ctx);
        return;
    }
    apply_operator(ref->ref, std::move(value), op, out, ctx);
}

// ---- operators ----

void WordExpander::apply_operator(const ParamRef& ref, ParamValue value, std::string_view op_text, SegmentList& out,
                                  ScanContext ctx) {
    static constexpr std::array<std::string_view, 22> kOperators{
        ":-", ":=", ":+", ":?", "-", "=", "+", "?", "##", "#", "%%", "%",
        "//", "/#", "/%", "/", "^^", "^", ",,", ",", "~~", "~",
    };
    std::string_view op;
    for (auto candidate : kOperators) {
        if (op_text.starts_with(candidate)) {
            op = candidate;
            break;
        }
    }
    ProcessState& st = state();
    // Applies `f` to the value, element by element for a list.
    auto map_value = [&](auto&& f) {
        if (value.is_list) {
            for (auto& item : value.items) item = f(item);
        } else {
            value.scalar = f(value.scalar.value_or(""));
        }
        emit_value(value, out, ctx);
    };

    if (op.empty()) {
        if (op_text.starts_with(':')) {
            substring(ref, value, op_text.substr(1), out, ctx);
        } else if (op_text.size() == 2 && op_text[0] == '@') {
            transform(ref, value, op_text[1], out, ctx);
        } else {
            emit_value(value, out, ctx);
        }
        return;
    }
    std::string_view word = op_text.substr(op.size());
    const bool colon = op.size() == 2 && op[0] == ':';
    const char kind = colon ? op[1] : op[0];

    if (kind == '-' || kind == '+' || kind == '=' || kind == '?') {
        const bool set = colon ? value.is_set_and_not_empty() : value.is_set();
        if (kind == '-') {
            set ? emit_value(value, out, ctx) : operand(word, out, ctx, false);
        } else if (kind == '+') {
            if (set) operand(word, out, ctx, false);
        } else if (set) {
            emit_value(value, out, ctx);
        } else if (kind == '?') {
            SegmentList w;
            operand(word, w, ctx, false);
            std::string message = w.joined_text();
            if (message.empty())
                message = ref.display() + (colon ? ": parameter null or not set" : ": parameter not set");
            record_error(fmt::format("tarnwick: {}", message));
        } else {
            SegmentList w;
            operand(word, w, ctx, false);
            std::string text = w.joined_text();
            if (st.readonly_names.contains(ref.name)) {
                record_error(fmt::format("tarnwick: {}: readonly variable", ref.name));
                return;
            }
            if (!is_shell_name(ref.name) ||
                (ref.subscript && (*ref.subscript == "@" || *ref.subscript == "*"))) {
                record_error(fmt::format("tarnwick: ${}: cannot assign in this way", ref.display()));
                return;
            }
            if (!ref.subscript) {
                set_variable_str(st, ref.name, text);
            } else if (is_associative_array(st, ref.name)) {
                set_array_element(st, ref.name, word_text(*ref.subscript), text);
            } else if (auto index = index_of(ref.name, *ref.subscript)) {
                set_array_element(st, ref.name, fmt::format("{}", *index), text);
            } else {
                return;
            }
            emit_text(text, out, ctx);
        }
        return;
    }

    if (kind == '#' || kind == '%') {
        SegmentList w;
        operand(word, w, ctx, true);
        ShellPattern p = ShellPattern::compile(w.pattern_text());
        const bool longest = op.size() == 2;
        map_value([&](const std::string& s) {
            HeldMemory decoded(m_, pattern_text_bytes(s));
            if (!decoded.held()) return std::string();
            MatchWork work(m_, s.size());
            return remove_affix(s, p, kind == '#', longest, work).value_or(std::string());
        });
        return;
    }

    if (kind == '/') {
        SubstKind how = op == "//" ? SubstKind::All : op == "/#" ? SubstKind::Start : op == "/%" ? SubstKind::End
                                                                                                  : SubstKind::First;
        std::size_t slash = unquoted_slash(word);
        std::string_view pattern_word = word.substr(0, slash);
        std::string_view rep_word = slash == npos ? std::string_view() : word.substr(slash + 1);
        SegmentList pw, rw;
        operand(pattern_word, pw, ctx, true);
        operand(rep_word, rw, ctx, true);
        std::string pattern = pw.pattern_text();
        std::string rep = rw.replacement_text();
        if (pattern.empty() && (how == SubstKind::First || how == SubstKind::All)) {
            emit_value(value, out, ctx);
            return;
        }
        ShellPattern p = ShellPattern::compile(pattern);
        map_value([&](const std::string& s) -> std::string {
            if (!m_.meter.charge_cpu(s.size())) return {};
            const bool decodes = p.has_wildcards() || how == SubstKind::Start || how == SubstKind::End;
            HeldMemory decoded(m_, decodes ? pattern_text_bytes(s) : 0);
            if (!decoded.held()) return {};
            MatchWork work(m_, s.size());
            return substitute(s, p, rep, how, work).value_or(std::string());
        });
        return;
    }

    // Case modification: ^^ ^ ,, , ~~ ~, limited to the characters the pattern matches.
    SegmentList w;
    operand(word, w, ctx, true);
    std::string pattern = w.pattern_text();
    std::optional<ShellPattern> p;
    if (!pattern.empty()) p = ShellPattern::compile(pattern);
    const int mode = kind == '^' ? 1 : kind == ',' ? -1 : 0;
    const bool first_only = op.size() == 1;
    map_value([&](const std::string& s) { return convert_matching(s, mode, first_only, p ? &*p : nullptr); });
}

void WordExpander::substring(const ParamRef& ref, ParamValue value, std::string_view spec, SegmentList& out,
                             ScanContext ctx) {
    std::size_t colon = spec.find(':');
    std::string_view offset_text = spec.substr(0, colon);
    std::int64_t offset = arith(arith_text(trim(offset_text)));
    std::optional<std::int64_t> length;
    if (colon != npos) length = arith(arith_text(trim(spec.substr(colon + 1))));
    // The [start, end) range of n items.
    auto range = [&](std::int64_t n) -> std::pair<std::int64_t, std::int64_t> {
        std::int64_t start = offset < 0 ? std::max<std::int64_t>(sat_add(offset, n), 0) : std::min(offset, n);
        std::int64_t end = n;
        if (length) {
            end = *length < 0 ? std::max(sat_add(*length, n), start) : std::min(sat_add(start, *length), n);
        }
        return {start, std::max(start, end)};
    };
    if (value.is_list) {
        std::vector<std::string> items = std::move(value.items);
        if (ref.name == "@" || ref.name == "*") items.insert(items.begin(), state().shell_name);
        auto [start, end] = range(static_cast<std::int64_t>(items.size()));
        value.items.assign(items.begin() + start, items.begin() + end);
        emit_value(value, out, ctx);
        return;
    }
    const std::string_view s = value.scalar ? std::string_view(*value.scalar) : std::string_view();
    auto [start, end] = range(static_cast<std::int64_t>(pattern_char_count(s)));
    const std::size_t from = pattern_char_offset(s, static_cast<std::size_t>(start));
    const std::size_t to = from + pattern_char_offset(s.substr(from), static_cast<std::size_t>(end - start));
    emit_text(s.substr(from, to - from), out, ctx);
}

void WordExpander::transform(const ParamRef& ref, ParamValue value, char how, SegmentList& out, ScanContext ctx) {
    ProcessState& st = state();
    if (how == 'a') {
        std::string attrs;
        if (is_associative_array(st, ref.name)) {
            attrs += 'A';
        } else if (is_array(st, ref.name)) {
            attrs += 'a';
        }
        if (st.readonly_names.contains(ref.name)) attrs += 'r';
        if (st.exported_names.contains(ref.name)) attrs += 'x';
        emit_text(attrs, out, ctx);
        return;
    }
    if (how == 'A' && !value.is_list) {
        if (value.scalar) emit_text(fmt::format("{}={}", ref.name, shell_quote(*value.scalar)), out, ctx);
        return;
    }
    auto convert = [&](const std::string& s) -> std::string {
        switch (how) {
            case 'Q':
            case 'K':
                return shell_quote(s);
            case 'E':
                return decode_ansi_c(s);
            case 'U':
                return convert_matching(s, 1, false, nullptr);
            case 'u':
                return convert_matching(s, 1, true, nullptr);
            case 'L':
                return convert_matching(s, -1, false, nullptr);
            default:
                return s;
        }
    };
    if (value.is_list) {
        for (auto& item : value.items) item = convert(item);
    } else if (value.scalar) {
        value.scalar = convert(*value.scalar);
    }
    emit_value(value, out, ctx);
}

// ---- public entry points ----

std::string lookup_parameter_for_expansion(Machine& m, std::string_view body) {
    WordExpander ex(m);
    SegmentList segs;
    ex.braced(body, segs, {false, true});
    return segs.joined_text();
}

std::string expand_parameter_op(Machine& m, std::string_view name, std::optional<std::string> value,
                                std::string_view op_text) {
    WordExpander ex(m);
    SegmentList segs;
    ParamValue v;
    v.scalar = std::move(value);
    ex.apply_operator(ParamRef{std::string(name), std::nullopt}, std::move(v), op_text, segs, {true, false});
    return segs.joined_text();
}

std::optional<bool> metered_pattern_match(Machine& m, std::string_view pattern, std::string_view text,
                                          bool caseless) {
    if (!m.meter.charge_cpu(sat_add(pattern.size(), text.size()))) return std::nullopt;
    ShellPattern p = ShellPattern::compile(pattern, PatternOptions{caseless});
    HeldMemory decoded(m, pattern_text_bytes(text));
    if (!decoded.held()) return std::nullopt;
    PatternText t = pattern_text(text);
    MatchWork work(m, text.size());
    return work.match(p, t.chars);
}

std::string lookup_parameter_checked(Machine& m, std::string_view name) { return WordExpander(m).checked(name); }

}  // namespace tw
