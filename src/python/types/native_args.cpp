#include "python/types/native_args.h"

#include <algorithm>

#include <fmt/format.h>

#include "python/heap/heap.h"
#include "python/types/number_runtime.h"

namespace tw::py {

PyStatus native_reject_keywords(bool has_keywords, std::string_view name) {
    if (has_keywords) return fail(PyError::type_error(fmt::format("{}() does not accept keyword arguments", name)));
    return {};
}

PyStatus native_check_positional_arity(std::size_t count, std::string_view name, std::size_t minimum,
                                       std::size_t maximum) {
    if (count < minimum || count > maximum)
        return fail(PyError::type_error(
            fmt::format("{}() expected {}..={} positional arguments, got {}", name, minimum, maximum, count)));
    return {};
}

PyStatus native_reject_unsupported_keywords(std::span<const std::pair<std::string, Value>> keywords,
                                            std::string_view name, std::span<const std::string_view> accepted) {
    for (const auto& [key, value] : keywords)
        if (std::find(accepted.begin(), accepted.end(), key) == accepted.end())
            return fail(PyError::type_error(fmt::format("{}() keyword argument {} is not implemented", name, key)));
    return {};
}

PyResult<std::optional<Value>> native_keyword_value(std::span<const std::pair<std::string, Value>> keywords,
                                                    std::string_view name, std::string_view keyword) {
    std::optional<Value> found;
    for (const auto& [key, value] : keywords) {
        if (key != keyword) continue;
        if (found) return fail(PyError::type_error(fmt::format("{}() got multiple values for keyword {}", name, keyword)));
        found = value;
    }
    return found;
}

PyResult<std::string> native_expect_str(NativeRuntime& rt, Value v) {
    auto text = str_view(rt.heap(), v);
    if (!text) return fail(std::move(text.error()));
    if (*text) return std::string(**text);
    auto type = number_type_name(rt, v);
    if (!type) return fail(std::move(type.error()));
    return fail(PyError::type_error(fmt::format("expected a string, got {}", *type)));
}

PyResult<RealNumber> native_expect_real(NativeRuntime& rt, Value v) {
    const NumericView n = py_numeric_view(rt.heap(), v);
    switch (n.kind) {
        case NumericView::Small: return RealNumber(n.small);
        case NumericView::Big:
        case NumericView::U64: return RealNumber(*value_to_bigint(rt.heap(), v));
        case NumericView::Float: return RealNumber(n.real);
        default: break;
    }
    auto type = number_type_name(rt, v);
    if (!type) return fail(std::move(type.error()));
    return fail(PyError::type_error(fmt::format("must be real number, not {}", *type)));
}

PyResult<NativeInt> native_expect_int(NativeRuntime& rt, Value v, std::string_view message) {
    const NumericView n = py_numeric_view(rt.heap(), v);
    switch (n.kind) {
        case NumericView::Small: return NativeInt{n.small, 0};
        case NumericView::U64: return NativeInt{std::nullopt, 1};
        case NumericView::Big: return NativeInt{std::nullopt, mpz_sgn(n.big->get())};
        default: return fail(PyError::type_error(std::string(message)));
    }
}

}  // namespace tw::py
