// The builtin functions. Arguments are evaluated left to right; scans are charged by the bytes
// they scan.
#include <fmt/format.h>

#include <charconv>
#include <cmath>

#include "base/case_map.h"
#include "base/sat.h"
#include "commands/awk/eval_detail.h"
#include "commands/awk/runtime.h"
#include "commands/util/text.h"
#include "kernel/syscalls.h"

namespace tw {

namespace {

bool check_arity(AwkRuntime& rt, std::string_view name, std::size_t count, std::size_t min,
                 std::optional<std::size_t> max) {
    if (count >= min && (!max || count <= *max)) return true;
    std::string expected = !max ? fmt::format("at least {}", min)
                           : *max == min ? fmt::format("{}", min)
                                         : fmt::format("{} to {}", min, *max);
    return rt.fail_error(fmt::format("{} expects {} arguments, got {}", name, expected, count));
}

// The number of characters in text[0, bytes).
std::size_t chars_before(std::string_view text, std::size_t bytes) { return utf8_char_count(text.substr(0, bytes)); }

// The byte offset after skipping `count` characters from `from` (the end when fewer remain).
std::size_t skip_chars(std::string_view text, std::size_t from, std::uint64_t count) {
    std::size_t i = from;
    while (count > 0 && i < text.size()) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
        --count;
    }
    return i;
}

// A number truncated toward zero and made a count: below `low` (or NaN) gives `low`, values at
// or above 2^64 saturate.
std::uint64_t to_count(double x, double low) {
    if (std::isnan(x) || x < low) x = low;
    if (x >= 18446744073709551616.0) return kU64Max;
    return static_cast<std::uint64_t>(x);
}

bool builtin_substr(AwkRuntime& rt, const AwkExpr& call, AwkValue& out) {
    AwkValue m, n;
    if (!awk_evaluate(rt, *call.kids[0], out) || !awk_evaluate(rt, *call.kids[1], m)) return false;
    const bool has_count = call.kids.size() == 3;
    if (has_count && !awk_evaluate(rt, *call.kids[2], n)) return false;
    const std::uint64_t start = to_count(awk_to_number(m), 1);
    const std::string_view s = out.text;
    const std::size_t from = skip_chars(s, 0, start - 1);
    std::size_t to = s.size();
    if (has_count) to = skip_chars(s, from, to_count(awk_to_number(n), 0));
    if (!rt.charge_cpu(to)) return false;
    std::string piece(s.substr(from, to - from));
    out.kind = AwkValueKind::Str;
    out.text = std::move(piece);
    return true;
}

bool builtin_split(AwkRuntime& rt, const AwkExpr& call, AwkValue& out) {
    if (!awk_evaluate(rt, *call.kids[0], out)) return false;
    if (call.kids[1]->kind != AwkExprKind::Var) return rt.fail_error("split second argument must be an array name");
    std::string separator;
    if (call.kids.size() == 3) {
        if (!awk_pattern_text(rt, *call.kids[2], separator)) return false;
    } else {
        separator = rt.fs;
    }
    const std::uint32_t slot = call.slot;
    if (AwkArray* old = rt.array(slot)) {
        std::uint64_t size = 0;
        for (const auto& [key, value] : *old) size = sat_add(size, awk_entry_cost(key.size(), value.text.size()));
        if (!rt.adjust_memory(size, 0)) return false;
        rt.drop_array(slot);
    }
    rt.make_array(slot);
    if (!rt.charge_cpu(out.text.size())) return false;
    AwkSplitter splitter;
    if (!rt.make_splitter(separator, splitter)) return false;
    std::vector<std::string_view> pieces;
    std::size_t count = 0;
    if (!awk_split_text(rt, splitter, out.text, pieces, count)) return false;
    AwkValue element;
    char key[24];
    for (std::size_t i = 0; i < count; ++i) {
        element.kind = AwkValueKind::Str;
        element.text.assign(pieces[i]);
        const auto r = std::to_chars(key, key + sizeof key, i + 1);
        if (!awk_set_array_element(rt, slot, std::string_view(key, static_cast<std::size_t>(r.ptr - key)), element))
            return false;
    }
    out.set_number(static_cast<double>(count));
    return true;
}

// The replacement text of sub and gsub for one match: "&" is the match, a backslash makes the
// next character literal (a final backslash stays).
void append_replacement(std::string& out, std::string_view repl, std::string_view matched) {
    for (std::size_t i = 0; i < repl.size(); ++i) {
        const char c = repl[i];
        if (c == '\\' && i + 1 < repl.size()) out += repl[++i];
        else if (c == '&') out += matched;
        else out += c;
    }
}

bool builtin_substitute(AwkRuntime& rt, const AwkExpr& call, AwkValue& out, bool global) {
    const std::string_view name = global ? "gsub" : "sub";
    std::string source;
    if (!awk_pattern_text(rt, *call.kids[0], source)) return false;
    const Regex* regex = rt.dynamic_regex(source);
    if (!regex) return false;
    const Regex pattern = *regex;  // the cache may change while the other arguments run
    AwkValue repl;
    if (!awk_evaluate(rt, *call.kids[1], repl)) return false;
    AwkPlace place;
    std::string target;
    const bool explicit_target = call.kids.size() == 3;
    if (explicit_target) {
        if (!call.kids[2]->is_lvalue()) return rt.fail_error(fmt::format("{} target is not writable", name));
        AwkValue current;
        if (!awk_resolve_place(rt, *call.kids[2], place) || !awk_read_place(rt, place, current)) return false;
        target = std::move(current.text);
    } else {
        target = rt.record();
    }
    if (!rt.charge_cpu(target.size())) return false;
    const std::uint64_t limit = rt.sys.limits().memory;
    std::string result;
    std::size_t count = 0;
    std::size_t copied = 0;
    MatchCursor cursor(pattern, target, 0, EmptyAfterMatch::Skipped);
    while (true) {
        auto m = cursor.next();
        if (!m) return rt.fail_match(m.error());
        if (!*m) break;
        result.append(target, copied, (*m)->start() - copied);
        append_replacement(result, repl.text, (*m)->span().in(target));
        copied = (*m)->end();
        ++count;
        if (result.size() > limit) {
            rt.sys.charge_memory(sat_add(limit, 1));
            return rt.fail_exhausted();
        }
        if (!global) break;
    }
    result.append(target, copied);
    const std::uint64_t size = result.size();
    if (!rt.sys.charge_memory(size)) return rt.fail_exhausted();
    bool stored = rt.charge_cpu(size);
    if (stored) {
        if (explicit_target) stored = awk_write_place(rt, place, AwkValue::from_text(std::move(result)));
        else stored = awk_set_record(rt, result, false);
    }
    rt.sys.release_memory(size);
    if (!stored) return false;
    out.set_number(static_cast<double>(count));
    return true;
}

bool builtin_match(AwkRuntime& rt, const AwkExpr& call, AwkValue& out) {
    if (!awk_evaluate(rt, *call.kids[0], out)) return false;
    std::string source;
    if (!awk_pattern_text(rt, *call.kids[1], source)) return false;
    const Regex* regex = rt.dynamic_regex(source);
    if (!regex || !rt.charge_cpu(out.text.size())) return false;
    auto m = regex->find(out.text);
    if (!m) return rt.fail_match(m.error());
    double start = 0, length = -1;
    if (*m) {
        start = static_cast<double>(chars_before(out.text, (*m)->start()) + 1);
        length = static_cast<double>(chars_before((*m)->span().in(out.text), (*m)->span().size()));
    }
    const AwkValue rstart = AwkValue::from_number(start);
    if (rt.rstart_slot && !awk_assign_scalar(rt, *rt.rstart_slot, rstart)) return false;
    if (rt.rlength_slot && !awk_assign_scalar(rt, *rt.rlength_slot, AwkValue::from_number(length))) return false;
    out = rstart;
    return true;
}

bool builtin_sprintf(AwkRuntime& rt, const AwkExpr& call, AwkValue& out) {
    std::vector<AwkValue> values(call.kids.size());
    for (std::size_t i = 0; i < call.kids.size(); ++i)
        if (!awk_evaluate(rt, *call.kids[i], values[i])) return false;
    const std::uint64_t limit = rt.sys.limits().memory;
    auto text = awk_format(values[0].text, std::span<const AwkValue>(values).subspan(1), limit);
    if (!text) {
        if (!text.error().too_large) return rt.fail_error(std::move(text.error().message));
        rt.sys.charge_memory(sat_add(limit, 1));
        return rt.fail_exhausted();
    }
    if (!rt.sys.charge_memory(text->size())) return rt.fail_exhausted();
    rt.sys.release_memory(text->size());
    if (!rt.charge_cpu(text->size())) return false;
    out.kind = AwkValueKind::Str;
    out.text = std::move(*text);
    return true;
}

}  // namespace

bool awk_call_builtin(AwkRuntime& rt, const AwkExpr& call, AwkValue& out) {
    const std::size_t argc = call.kids.size();
    switch (call.builtin) {
    case AwkBuiltin::Length:
        if (!check_arity(rt, "length", argc, 0, 1)) return false;
        if (argc == 0) out.set_text(rt.record());
        else if (!awk_evaluate(rt, *call.kids[0], out)) return false;
        if (!rt.charge_cpu(out.text.size())) return false;
        out.set_number(static_cast<double>(chars_before(out.text, out.text.size())));
        return true;
    case AwkBuiltin::Substr:
        if (!check_arity(rt, "substr", argc, 2, 3)) return false;
        return builtin_substr(rt, call, out);
    case AwkBuiltin::Index: {
        if (!check_arity(rt, "index", argc, 2, 2)) return false;
        AwkValue t;
        if (!awk_evaluate(rt, *call.kids[0], out) || !awk_evaluate(rt, *call.kids[1], t)) return false;
        if (!rt.charge_cpu(out.text.size())) return false;
        const std::size_t at = out.text.find(t.text);
        out.set_number(at == std::string::npos ? 0 : static_cast<double>(chars_before(out.text, at) + 1));
        return true;
    }
    case AwkBuiltin::Tolower:
    case AwkBuiltin::Toupper: {
        const bool upper = call.builtin == AwkBuiltin::Toupper;
        if (!check_arity(rt, upper ? "toupper" : "tolower", argc, 1, 1)) return false;
        if (!awk_evaluate(rt, *call.kids[0], out) || !rt.charge_cpu(out.text.size())) return false;
        std::string mapped = upper ? utf8_to_upper(out.text) : utf8_to_lower(out.text);
        out.kind = AwkValueKind::Str;
        out.text = std::move(mapped);
        return true;
    }
    case AwkBuiltin::Int:
        if (!check_arity(rt, "int", argc, 1, 1)) return false;
        if (!awk_evaluate(rt, *call.kids[0], out)) return false;
        out.set_number(std::trunc(awk_to_number(out)));
        return true;
    case AwkBuiltin::Log:
        if (!check_arity(rt, "log", argc, 1, 1)) return false;
        if (!awk_evaluate(rt, *call.kids[0], out)) return false;
        out.set_number(std::log(awk_to_number(out)));
        return true;
    case AwkBuiltin::Split:
        if (!check_arity(rt, "split", argc, 2, 3)) return false;
        return builtin_split(rt, call, out);
    case AwkBuiltin::Sub:
    case AwkBuiltin::Gsub: {
        const bool global = call.builtin == AwkBuiltin::Gsub;
        if (!check_arity(rt, global ? "gsub" : "sub", argc, 2, 3)) return false;
        return builtin_substitute(rt, call, out, global);
    }
    case AwkBuiltin::Match:
        if (!check_arity(rt, "match", argc, 2, 2)) return false;
        return builtin_match(rt, call, out);
    case AwkBuiltin::Sprintf:
        if (!check_arity(rt, "sprintf", argc, 1, std::nullopt)) return false;
        return builtin_sprintf(rt, call, out);
    case AwkBuiltin::Unknown: break;
    }
    return rt.fail_error(fmt::format("unsupported function '{}'", call.text));
}

}  // namespace tw
