// The native methods of str and the argument readers shared with bytes and bytearray.
#include <fmt/format.h>

#include <algorithm>

#include "kernel/machine.h"
#include "python/heap/heap.h"
#include "python/number/values.h"
#include "python/objects/truth.h"
#include "python/objects/types.h"
#include "python/objects/value_access.h"
#include "python/string/case.h"
#include "python/string/pad_encode.h"
#include "python/string/split_join.h"
#include "python/types/native_args.h"
#include "python/types/number_runtime.h"
#include "python/types/string_rows.h"
#include "python/types/string_types.h"

namespace tw::py {

namespace strarg {

PyStatus check_arity(const NativeCall& call, std::string_view name, std::size_t min, std::size_t max) {
    return native_check_positional_arity(call.positional.size(), name, min, max);
}

PyStatus reject_keywords(const NativeCall& call, std::string_view name) {
    return native_reject_keywords(!call.keywords.empty(), name);
}

PyResult<std::vector<std::optional<Value>>> keywords(const NativeCall& call, std::string_view name,
                                                     std::initializer_list<std::string_view> accepted) {
    TW_CHECK(native_reject_unsupported_keywords(call.keywords, name, std::span(accepted.begin(), accepted.size())));
    std::vector<std::optional<Value>> out;
    for (std::string_view k : accepted) {
        TW_TRY(v, native_keyword_value(call.keywords, name, k));
        out.push_back(v);
    }
    return out;
}

PyResult<std::string> type_name(NativeRuntime& rt, const Value& v) { return py_type_name(rt.heap(), number_types(rt), v); }

PyResult<std::optional<OwnedStr>> str_of(NativeRuntime& rt, const Value& v) {
    if (v.is_inline_str()) {
        std::string_view t = v.inline_str();
        return std::optional(OwnedStr{std::string(t), count_code_points(t)});
    }
    if (!v.is_object()) return std::optional<OwnedStr>();
    auto slot = rt.heap().get(v);
    if (!slot) return fail(std::move(slot.error()));
    if (auto* s = std::get_if<HeapStr>(&(*slot)->object)) return std::optional(OwnedStr{s->text, s->char_count});
    return std::optional<OwnedStr>();
}

PyResult<OwnedStr> expect_str(NativeRuntime& rt, const Value& v) {
    auto s = str_of(rt, v);
    if (!s) return fail(std::move(s.error()));
    if (*s) return std::move(**s);
    auto name = type_name(rt, v);
    if (!name) return fail(std::move(name.error()));
    return fail(PyError::type_error(fmt::format("expected a string, got {}", *name)));
}

std::optional<std::int64_t> int64_of(NativeRuntime& rt, const Value& v) {
    if (v.is_int()) return v.as_int();
    if (v.is_bool()) return v.as_bool() ? 1 : 0;
    if (v.is_float() || v.is_inline_str() || v.is_none()) return std::nullopt;
    const NumericView n = py_numeric_view(rt.heap(), v);
    if (n.kind == NumericView::Small) return n.small;
    if (n.kind == NumericView::U64 && n.u64 <= std::uint64_t(std::numeric_limits<std::int64_t>::max()))
        return std::int64_t(n.u64);
    return std::nullopt;
}

PyResult<SearchBounds> bounds(NativeRuntime& rt, const NativeCall& call, std::size_t first) {
    SearchBounds b;
    for (std::size_t k = 0; k < 2; ++k) {
        if (first + k >= call.positional.size() || call.positional[first + k].is_none()) continue;
        auto v = int64_of(rt, call.positional[first + k]);
        if (!v) return fail(PyError::type_error("slice indices must be integers or None or have an __index__ method"));
        (k == 0 ? b.start : b.end) = *v;
    }
    return b;
}

PyResult<std::optional<std::string>> bytes_of(NativeRuntime& rt, const Value& v) {
    if (!v.is_object()) return std::optional<std::string>();
    auto slot = rt.heap().get(v);
    if (!slot) return fail(std::move(slot.error()));
    if (auto* b = std::get_if<BytesPayload>(&(*slot)->object)) return std::optional(b->bytes);
    if (auto* b = std::get_if<ByteArrayPayload>(&(*slot)->object)) return std::optional(b->bytes);
    return std::optional<std::string>();
}

bool is_bytearray(NativeRuntime& rt, const Value& v) {
    const HeapSlot* s = rt.heap().get_if_object(v);
    return s && s->kind() == HeapObjectKind::ByteArray;
}

PyResult<std::string> expect_bytes(NativeRuntime& rt, const Value& v) {
    auto b = bytes_of(rt, v);
    if (!b) return fail(std::move(b.error()));
    if (*b) return std::move(**b);
    auto name = type_name(rt, v);
    if (!name) return fail(std::move(name.error()));
    return fail(PyError::type_error(fmt::format("expected a bytes-like object, got {}", *name)));
}

PyResult<std::int64_t> index_argument(NativeRuntime& rt, const Value& v) {
    if (auto i = int64_of(rt, v)) return *i;
    const NumericView n = py_numeric_view(rt.heap(), v);
    if (n.kind == NumericView::Big || n.kind == NumericView::U64)
        return fail(PyError::overflow_error("Python int too large to convert to C ssize_t"));
    auto name = type_name(rt, v);
    if (!name) return fail(std::move(name.error()));
    return fail(PyError::type_error(fmt::format("'{}' object cannot be interpreted as an integer", *name)));
}

PyResult<Value> make_str(NativeRuntime& rt, std::string text) {
    return new_str(rt.heap(), std::move(text), rt.roots(), rt.meter());
}

PyResult<Value> make_bytes(NativeRuntime& rt, std::string bytes, bool bytearray) {
    if (bytearray) return rt.heap().allocate_object(ByteArrayPayload{std::move(bytes)}, rt.roots(), rt.meter());
    return rt.heap().allocate_object(BytesPayload{std::move(bytes)}, rt.roots(), rt.meter());
}

PyResult<Value> make_list(NativeRuntime& rt, std::vector<Value> items) {
    return rt.heap().allocate_object(ListPayload{std::move(items)}, rt.roots(), rt.meter());
}

PyResult<Value> make_tuple(NativeRuntime& rt, std::vector<Value> items) {
    return rt.heap().allocate_object(TuplePayload{std::move(items)}, rt.roots(), rt.meter());
}

}  // namespace strarg

namespace {

using namespace strarg;


// Arity, keywords, receiver.
PyResult<OwnedStr> prologue(NativeRuntime& rt, const Value& self, const NativeCall& call, std::string_view name,
                            std::size_t min, std::size_t max) {
    TW_CHECK(check_arity(call, name, min, max));
    TW_CHECK(reject_keywords(call, name));
    return expect_str(rt, self);
}

PyResult<Value> pieces_to_list(NativeRuntime& rt, const std::vector<std::string_view>& pieces) {
    std::vector<Value> items;
    items.reserve(pieces.size());
    for (std::string_view p : pieces) {
        TW_TRY(v, make_str(rt, std::string(p)));
        items.push_back(v);
    }
    return make_list(rt, std::move(items));
}

template <FindMode Mode>
PyResult<Value> str_find_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(s, prologue(rt, self, call, "str search", 1, 3));
    TW_TRY(sub, expect_str(rt, call.positional[0]));
    TW_TRY(b, bounds(rt, call, 1));
    MeterCharges charges(number_env(rt));
    TW_TRY(r, str_find(charges, s.view(), sub.text, b, Mode));
    return Value::from_int(r);
}

PyResult<Value> str_count_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(s, prologue(rt, self, call, "str.count", 1, 3));
    TW_TRY(sub, expect_str(rt, call.positional[0]));
    TW_TRY(b, bounds(rt, call, 1));
    MeterCharges charges(number_env(rt));
    TW_TRY(r, str_count(charges, s.view(), sub.text, b));
    return Value::from_int(r);
}

template <bool AtEnd>
PyResult<Value> str_affix_row(NativeRuntime& rt, Value self, NativeCall call) {
    constexpr std::string_view name = AtEnd ? "endswith" : "startswith";
    TW_TRY(s, prologue(rt, self, call, name, 1, 3));
    const Value first = call.positional[0];
    std::vector<OwnedStr> texts;
    std::vector<Affix> candidates;
    TW_TRY(one, str_of(rt, first));
    if (one) {
        texts.push_back(std::move(*one));
    } else {
        const HeapSlot* slot = rt.heap().get_if_object(first);
        const auto* tuple = slot ? std::get_if<TuplePayload>(&slot->object) : nullptr;
        if (!tuple) {
            TW_TRY(tn, type_name(rt, first));
            return fail(PyError::type_error(fmt::format("{} first arg must be str or a tuple of str, not {}", name, tn)));
        }
        const std::vector<Value> items = tuple->items;
        std::vector<std::string> wrong;
        for (const Value& item : items) {
            TW_TRY(t, str_of(rt, item));
            if (t) {
                texts.push_back(std::move(*t));
                candidates.push_back(Affix::of({}));
            } else {
                TW_TRY(tn, type_name(rt, item));
                wrong.push_back(std::move(tn));
                candidates.push_back(Affix::wrong({}));
            }
        }
        // Views into the stable vectors.
        std::size_t ti = 0, wi = 0;
        for (Affix& a : candidates) {
            if (a.wrong_type) a.wrong_type = wrong[wi++];
            else a.text = texts[ti++].text;
        }
    }
    if (candidates.empty() && !texts.empty()) candidates.push_back(Affix::of(texts[0].text));
    TW_TRY(b, bounds(rt, call, 1));
    MeterCharges charges(number_env(rt));
    TW_TRY(r, str_affix_match(charges, s.view(), candidates, b, AtEnd, name));
    return Value::from_bool(r);
}

template <StripSide Side>
PyResult<Value> str_strip_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(s, prologue(rt, self, call, "str.strip", 0, 1));
    std::optional<OwnedStr> chars;
    if (!call.positional.empty() && !call.positional[0].is_none()) {
        TW_TRY(c, expect_str(rt, call.positional[0]));
        chars = std::move(c);
    }
    MeterCharges charges(number_env(rt));
    TW_TRY(r, str_strip(charges, s.text, chars ? std::optional<std::string_view>(chars->text) : std::nullopt, Side));
    return make_str(rt, std::string(r));
}

template <bool FromRight>
PyResult<Value> str_partition_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(s, prologue(rt, self, call, "str.partition", 1, 1));
    TW_TRY(sep, expect_str(rt, call.positional[0]));
    TW_TRY(parts, str_partition(s.text, sep.text, FromRight));
    std::vector<Value> items;
    for (std::string_view p : parts) {
        TW_TRY(v, make_str(rt, std::string(p)));
        items.push_back(v);
    }
    return make_tuple(rt, std::move(items));
}

template <bool Suffix>
PyResult<Value> str_remove_affix_row(NativeRuntime& rt, Value self, NativeCall call) {
    constexpr std::string_view name = Suffix ? "removesuffix" : "removeprefix";
    TW_TRY(s, prologue(rt, self, call, name, 1, 1));
    TW_TRY(affix, str_of(rt, call.positional[0]));
    if (!affix) {
        TW_TRY(tn, type_name(rt, call.positional[0]));
        return fail(PyError::type_error(fmt::format("{}() argument must be str, not {}", name, tn)));
    }
    auto rest = str_remove_affix(s.text, affix->text, Suffix);
    if (!rest) return self;
    return make_str(rt, std::string(*rest));
}

PyResult<std::int64_t> width_argument(NativeRuntime& rt, const Value& v) {
    if (auto w = int64_of(rt, v)) return *w;
    return fail(PyError::type_error("width must be an integer"));
}

template <PadMode Mode>
PyResult<Value> str_pad_row(NativeRuntime& rt, Value self, NativeCall call) {
    constexpr std::string_view name = Mode == PadMode::Left ? "str.ljust" : Mode == PadMode::Right ? "str.rjust" : "str.center";
    TW_TRY(s, prologue(rt, self, call, name, 1, 2));
    TW_TRY(width, width_argument(rt, call.positional[0]));
    OwnedStr fill{" ", 1};
    if (call.positional.size() > 1) {
        TW_TRY(f, expect_str(rt, call.positional[1]));
        fill = std::move(f);
    }
    MeterCharges charges(number_env(rt));
    TW_TRY(r, str_pad(charges, s.view(), width, fill.text, Mode));
    return make_str(rt, std::move(r));
}

PyResult<Value> str_zfill_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(s, prologue(rt, self, call, "str.zfill", 1, 1));
    TW_TRY(width, width_argument(rt, call.positional[0]));
    MeterCharges charges(number_env(rt));
    TW_TRY(r, str_zfill(charges, s.view(), width));
    return make_str(rt, std::move(r));
}

PyResult<Value> str_expandtabs_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_CHECK(check_arity(call, "expandtabs", 0, 1));
    TW_TRY(kw, keywords(call, "expandtabs", {"tabsize"}));
    TW_TRY(s, expect_str(rt, self));
    std::optional<Value> tab_value = call.positional.empty() ? kw[0] : std::optional(call.positional[0]);
    if (!call.positional.empty() && kw[0])
        return fail(PyError::type_error("expandtabs() got multiple values for argument 'tabsize'"));
    std::int64_t tabsize = 8;
    if (tab_value) {
        auto t = int64_of(rt, *tab_value);
        if (!t) {
            TW_TRY(tn, type_name(rt, *tab_value));
            return fail(PyError::type_error(fmt::format("'{}' object cannot be interpreted as an integer", tn)));
        }
        tabsize = *t;
    }
    MeterCharges charges(number_env(rt));
    TW_TRY(r, str_expandtabs(charges, s.text, tabsize));
    return make_str(rt, std::move(r));
}

}  // namespace

PyResult<std::pair<std::string, std::string>> strarg::encoding_arguments(NativeRuntime& rt, const NativeCall& call,
                                                                         std::string_view name) {
    TW_CHECK(check_arity(call, name, 0, 2));
    TW_TRY(kw, keywords(call, name, {"encoding", "errors"}));
    std::pair<std::string, std::string> out{"utf-8", "strict"};
    for (std::size_t k = 0; k < 2; ++k) {
        std::optional<Value> v = k < call.positional.size() ? std::optional(call.positional[k]) : kw[k];
        if (!v) continue;
        TW_TRY(t, expect_str(rt, *v));
        (k == 0 ? out.first : out.second) = std::move(t.text);
    }
    return out;
}

namespace {

PyResult<Value> str_encode_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(args, encoding_arguments(rt, call, "str.encode"));
    TW_TRY(s, expect_str(rt, self));
    MeterCharges charges(number_env(rt));
    TW_TRY(r, str_encode(charges, s.text, args.first, args.second));
    return make_bytes(rt, std::move(r), false);
}

PyResult<std::int64_t> integer_or(NativeRuntime& rt, const NativeCall& call, std::size_t k, std::int64_t absent,
                                  const char* message) {
    if (k >= call.positional.size()) return absent;
    if (auto v = int64_of(rt, call.positional[k])) return *v;
    return fail(PyError::type_error(message));
}

template <bool FromRight>
PyResult<Value> str_split_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(s, prologue(rt, self, call, FromRight ? "str.rsplit" : "str.split", 0, 2));
    std::optional<OwnedStr> sep;
    if (!call.positional.empty() && !call.positional[0].is_none()) {
        TW_TRY(v, expect_str(rt, call.positional[0]));
        sep = std::move(v);
    }
    TW_TRY(limit, integer_or(rt, call, 1, -1, "maxsplit must be an integer"));
    auto sep_view = sep ? std::optional<std::string_view>(sep->text) : std::nullopt;
    TW_TRY(pieces, FromRight ? str_rsplit(s.text, sep_view, limit) : str_split(s.text, sep_view, limit));
    return pieces_to_list(rt, pieces.views);
}

PyResult<Value> str_splitlines_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_CHECK(check_arity(call, "str.splitlines", 0, 1));
    TW_TRY(kw, keywords(call, "str.splitlines", {"keepends"}));
    TW_TRY(s, expect_str(rt, self));
    std::optional<Value> keep = call.positional.empty() ? kw[0] : std::optional(call.positional[0]);
    bool keepends = false;
    if (keep) {
        TW_TRY(truth, py_truth_fast(rt.heap(), *keep));
        if (!truth) return fail(PyError::unsupported("str.splitlines() with a keepends value of this kind"));
        keepends = *truth;
    }
    MeterCharges charges(number_env(rt));
    TW_TRY(lines, str_splitlines(charges, s.text, keepends));
    return pieces_to_list(rt, lines);
}

PyResult<Value> str_replace_row(NativeRuntime& rt, Value self, NativeCall call) {
    TW_TRY(s, prologue(rt, self, call, "str.replace", 2, 3));
    TW_TRY(old, expect_str(rt, call.positional[0]));
    TW_TRY(with, expect_str(rt, call.positional[1]));
    TW_TRY(count, integer_or(rt, call, 2, -1, "replace count must be an integer"));
    MeterCharges charges(number_env(rt));
    TW_TRY(r, str_replace(charges, s.text, old.text, with.text, count));
    return make_str(rt, std::move(r));
}

template <CaseMap Map>
PyResult<Value> str_case_row(NativeRuntime& rt, Value self, NativeCall call) {
    static constexpr std::string_view names[] = {"str.lower", "str.upper", "str.title", "str.capitalize", "str.swapcase"};
    TW_TRY(s, prologue(rt, self, call, names[std::size_t(Map)], 0, 0));
    MeterCharges charges(number_env(rt));
    TW_TRY(r, str_case_map(charges, s.text, Map));
    return make_str(rt, std::move(r));
}

template <StrPredicate P>
PyResult<Value> str_predicate_row(NativeRuntime& rt, Value self, NativeCall call) {
    static constexpr std::string_view names[] = {"str.isalnum", "str.isalpha", "str.isdigit", "str.isdecimal",
                                                  "str.isnumeric", "str.isspace", "str.isascii", "str.islower",
                                                  "str.isupper", "str.istitle", "str.isidentifier"};
    TW_TRY(s, prologue(rt, self, call, names[std::size_t(P)], 0, 0));
    MeterCharges charges(number_env(rt));
    TW_TRY(r, str_predicate(charges, s.text, P));
    return Value::from_bool(r);
}

constexpr NativeFunction kStrMethods[] = {
    {"str", "strip", nullptr, str_strip_row<StripSide::Both>},
    {"str", "lstrip", nullptr, str_strip_row<StripSide::Left>},
    {"str", "rstrip", nullptr, str_strip_row<StripSide::Right>},
    {"str", "find", nullptr, str_find_row<FindMode::Find>},
    {"str", "rfind", nullptr, str_find_row<FindMode::RFind>},
    {"str", "index", nullptr, str_find_row<FindMode::Index>},
    {"str", "rindex", nullptr, str_find_row<FindMode::RIndex>},
    {"str", "count", nullptr, str_count_row},
    {"str", "startswith", nullptr, str_affix_row<false>},
    {"str", "endswith", nullptr, str_affix_row<true>},
    {"str", "partition", nullptr, str_partition_row<false>},
    {"str", "rpartition", nullptr, str_partition_row<true>},
    {"str", "removeprefix", nullptr, str_remove_affix_row<false>},
    {"str", "removesuffix", nullptr, str_remove_affix_row<true>},
    {"str", "ljust", nullptr, str_pad_row<PadMode::Left>},
    {"str", "rjust", nullptr, str_pad_row<PadMode::Right>},
    {"str", "center", nullptr, str_pad_row<PadMode::Center>},
    {"str", "zfill", nullptr, str_zfill_row},
    {"str", "expandtabs", nullptr, str_expandtabs_row},
    {"str", "encode", nullptr, str_encode_row},
    {"str", "split", nullptr, str_split_row<false>},
    {"str", "rsplit", nullptr, str_split_row<true>},
    {"str", "splitlines", nullptr, str_splitlines_row},
    {"str", "replace", nullptr, str_replace_row},
    {"str", "lower", nullptr, str_case_row<CaseMap::Lower>},
    {"str", "upper", nullptr, str_case_row<CaseMap::Upper>},
    {"str", "title", nullptr, str_case_row<CaseMap::Title>},
    {"str", "capitalize", nullptr, str_case_row<CaseMap::Capitalize>},
    {"str", "swapcase", nullptr, str_case_row<CaseMap::SwapCase>},
    {"str", "isalnum", nullptr, str_predicate_row<StrPredicate::IsAlnum>},
    {"str", "isalpha", nullptr, str_predicate_row<StrPredicate::IsAlpha>},
    {"str", "isdigit", nullptr, str_predicate_row<StrPredicate::IsDigit>},
    {"str", "isdecimal", nullptr, str_predicate_row<StrPredicate::IsDecimal>},
    {"str", "isnumeric", nullptr, str_predicate_row<StrPredicate::IsNumeric>},
    {"str", "isspace", nullptr, str_predicate_row<StrPredicate::IsSpace>},
    {"str", "isascii", nullptr, str_predicate_row<StrPredicate::IsAscii>},
    {"str", "islower", nullptr, str_predicate_row<StrPredicate::IsLower>},
    {"str", "isupper", nullptr, str_predicate_row<StrPredicate::IsUpper>},
    {"str", "istitle", nullptr, str_predicate_row<StrPredicate::IsTitle>},
    {"str", "isidentifier", nullptr, str_predicate_row<StrPredicate::IsIdentifier>},
};
constexpr NativeClass kStrClass{"str", kStrMethods, {}};

}  // namespace

const NativeClass& str_native_class() { return kStrClass; }

}  // namespace tw::py
