// The conversion of any object to a number pair for complex(): numbers directly, strings left to
// the caller's parser, other objects through __complex__, __float__ or __index__.
#include <fmt/format.h>

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

}  // namespace tw::py
