// The conversion of any object to a number pair for complex(): numbers directly, strings left to
// the caller's parser, other objects through __complex__, __float__ or __index__; and the integer
// of a value through __index__.
#include <fmt/format.h>

#include "python/objects/truth.h"
#include "python/types/number_runtime.h"
#include "python/types/number_slots.h"

namespace tw::py {

PyResult<ComplexParts> py_number_from_dunder(NativeRuntime& rt, Value v) {
    auto direct = py_value_as_complex_parts(rt.heap(), v);
    if (!direct || direct->kind != 2) return direct;
    auto text = str_view(rt.heap(), v);
    if (!text) return fail(std::move(text.error()));
    if (*text) return ComplexParts{};
    static constexpr std::string_view kMethods[] = {"__complex__", "__float__", "__index__"};
    for (std::string_view name : kMethods) {
        auto method = rt.getattr_optional(v, name);
        if (!method) return fail(std::move(method.error()));
        if (!*method) continue;
        rt.heap().push_root(**method);
        auto result = rt.call(**method, {});
        if (!result) return fail(std::move(result.error()));
        rt.heap().push_root(*result);
        const NumericView view = py_numeric_view(rt.heap(), *result);
        const bool ok = name == "__complex__" ? view.kind == NumericView::Complex
                        : name == "__float__" ? view.kind == NumericView::Float
                                              : !result->is_bool() && (view.kind == NumericView::Small ||
                                                                       view.kind == NumericView::Big ||
                                                                       view.kind == NumericView::U64);
        if (!ok) {
            auto result_type = number_type_name(rt, *result);
            if (!result_type) return fail(std::move(result_type.error()));
            if (name == "__float__") {
                auto own_type = number_type_name(rt, v);
                if (!own_type) return fail(std::move(own_type.error()));
                return fail(PyError::type_error(
                    fmt::format("{}.__float__ returned non-float (type {})", *own_type, *result_type)));
            }
            return fail(PyError::type_error(fmt::format("{} returned non-{} (type {})", name,
                                                        name == "__complex__" ? "complex" : "int", *result_type)));
        }
        return py_value_as_complex_parts(rt.heap(), *result);
    }
    return ComplexParts{};
}

PyResult<bool> py_truth_of(NativeRuntime& rt, Value v) {
    const HeapSlot* slot = rt.heap().get_if_object(v);
    if (!slot || slot->kind() != HeapObjectKind::Object) {
        auto t = py_truth_fast(rt.heap(), v);
        if (!t) return fail(std::move(t.error()));
        if (*t) return **t;
    }
    // Any other value: what bool() makes of it (__bool__, then __len__).
    const Value bool_type = Value::native(NativeKind::BuiltinType, type_id(BuiltinType::Bool));
    auto truth = rt.call(bool_type, std::span(&v, 1));
    if (!truth) return fail(std::move(truth.error()));
    return truth->is_bool() && truth->as_bool();
}

PyResult<std::optional<tw::BigInt>> py_index_of(NativeRuntime& rt, Value v) {
    if (auto n = value_to_bigint(rt.heap(), v)) return std::optional(std::move(*n));
    const HeapSlot* slot = rt.heap().get_if_object(v);
    if (!slot || slot->kind() != HeapObjectKind::Object) return std::optional<tw::BigInt>();
    auto method = rt.getattr_optional(v, "__index__");
    if (!method) return fail(std::move(method.error()));
    if (!*method) return std::optional<tw::BigInt>();
    rt.heap().push_root(**method);
    auto result = rt.call(**method, {});
    if (!result) return fail(std::move(result.error()));
    rt.heap().push_root(*result);
    auto n = result->is_bool() ? std::nullopt : value_to_bigint(rt.heap(), *result);
    if (!n) {
        auto type = number_type_name(rt, *result);
        if (!type) return fail(std::move(type.error()));
        return fail(PyError::type_error(fmt::format("__index__ returned non-int (type {})", *type)));
    }
    return std::optional(std::move(*n));
}

}  // namespace tw::py
