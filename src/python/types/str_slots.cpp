// The operator slots of str: concatenation, repetition and the six comparisons. Texts compare by
// their UTF-8 bytes, which orders them as their code points. A value that is not a str makes
// every slot not applicable. Also object.__format__, which formats only with an empty spec.
#include <fmt/format.h>

#include "python/heap/heap.h"
#include "python/objects/value_access.h"
#include "python/types/number_runtime.h"
#include "python/types/string_rows.h"
#include "python/types/string_types.h"

namespace tw::py {

namespace {

std::optional<std::string_view> text_of(NativeRuntime& rt, const Value& v) {
    if (v.is_inline_str()) return v.inline_str();
    const HeapSlot* s = rt.heap().get_if_object(v);
    if (const auto* t = s ? std::get_if<HeapStr>(&s->object) : nullptr) return std::string_view(t->text);
    return std::nullopt;
}

template <std::uint8_t Op>
SlotValue str_compare(NativeRuntime& rt, Value self, Value other) {
    const auto a = text_of(rt, self), b = text_of(rt, other);
    if (!a || !b) return std::optional<Value>();
    const int c = a->compare(*b);
    bool r = false;
    switch (Op) {
        case 0: r = c == 0; break;
        case 1: r = c != 0; break;
        case 2: r = c < 0; break;
        case 3: r = c <= 0; break;
        case 4: r = c > 0; break;
        default: r = c >= 0; break;
    }
    return std::optional(Value::from_bool(r));
}

}  // namespace

PyResult<std::optional<std::uint64_t>> strarg::repeat_count(NativeRuntime& rt, const Value& count) {
    if (auto n = int64_of(rt, count)) return std::optional(std::uint64_t(std::max<std::int64_t>(*n, 0)));
    const NumericView v = py_numeric_view(rt.heap(), count);
    if (v.kind == NumericView::U64) return std::optional(v.u64);
    if (v.kind != NumericView::Big) return std::optional<std::uint64_t>();
    if (mpz_sgn(v.big->get()) < 0) return std::optional<std::uint64_t>(0);
    return fail(PyError::overflow_error("sequence repeat is too large"));
}

SlotValue str_concat(NativeRuntime& rt, Value self, Value other) {
    const auto a = text_of(rt, self), b = text_of(rt, other);
    if (!a || !b) return std::optional<Value>();
    MeterCharges charges(number_env(rt));
    TW_CHECK(charges.charge_memory(std::uint64_t(a->size()) + b->size()));
    std::string out;
    out.reserve(a->size() + b->size());
    out.append(*a).append(*b);
    TW_TRY(v, strarg::make_str(rt, std::move(out)));
    return std::optional(v);
}

SlotValue str_repeat(NativeRuntime& rt, Value self, Value count) {
    const auto text = text_of(rt, self);
    if (!text) return std::optional<Value>();
    TW_TRY(n, strarg::repeat_count(rt, count));
    if (!n) return std::optional<Value>();
    std::uint64_t size;
    if (__builtin_mul_overflow(std::uint64_t(text->size()), *n, &size))
        return fail(PyError::resource("string result is too large"));
    MeterCharges charges(number_env(rt));
    TW_CHECK(charges.charge_memory(size));
    TW_CHECK(charges.charge_work(size));
    const std::string piece(*text);
    std::string out;
    out.reserve(size);
    for (std::uint64_t k = 0; k < *n; ++k) out.append(piece);
    TW_TRY(v, strarg::make_str(rt, std::move(out)));
    return std::optional(v);
}

SlotValue object_format(NativeRuntime& rt, Value self, Value spec) {
    TW_TRY(text, strarg::expect_str(rt, spec));
    if (!text.text.empty()) {
        TW_TRY(tn, strarg::type_name(rt, self));
        return fail(PyError::type_error(fmt::format("unsupported format string passed to {}.__format__", tn)));
    }
    const Value str_type = Value::native(NativeKind::BuiltinType, type_id(BuiltinType::String));
    TW_TRY(v, rt.call(str_type, std::span(&self, 1)));
    return std::optional(v);
}

SlotValue str_eq(NativeRuntime& rt, Value a, Value b) { return str_compare<0>(rt, a, b); }
SlotValue str_ne(NativeRuntime& rt, Value a, Value b) { return str_compare<1>(rt, a, b); }
SlotValue str_lt(NativeRuntime& rt, Value a, Value b) { return str_compare<2>(rt, a, b); }
SlotValue str_le(NativeRuntime& rt, Value a, Value b) { return str_compare<3>(rt, a, b); }
SlotValue str_gt(NativeRuntime& rt, Value a, Value b) { return str_compare<4>(rt, a, b); }
SlotValue str_ge(NativeRuntime& rt, Value a, Value b) { return str_compare<5>(rt, a, b); }

}  // namespace tw::py
