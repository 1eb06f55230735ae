#include "python/stdlib/native_checks.h"

#include <fmt/format.h>

#include <array>

#include "python/heap/heap.h"
#include "python/stdlib/native_rows.h"
#include "python/vm/call.h"

namespace tw::py {

std::string_view value_category_name(ValueCategory c) {
    static constexpr std::array<std::string_view, 20> kNames{
        "None",  "Bool",     "Int",   "Float",    "String",    "Bytes",  "ByteArray", "List",  "Tuple",   "Dict",
        "Set",   "Function", "Class", "Instance", "Iterator", "Generator", "Module", "Array", "Complex", "Native"};
    const auto i = std::size_t(c);
    return i < kNames.size() ? kNames[i] : "Native";
}

PyStatus native_expect_no_args(const NativeCall& call, std::string_view name) { return expect_positional(call, name, 0, 0); }

PyResult<std::string> py_expect_bytes_like(NativeRuntime& rt, Value v) {
    auto bytes = rt.to_bytes(v);
    if (!bytes) return fail(std::move(bytes.error()));
    if (*bytes) return std::move(**bytes);
    return fail(PyError::type_error(fmt::format("expected a bytes-like object, got {}", rt.type_name(v))));
}

PyResult<Value> py_expect_dict(NativeRuntime& rt, Value v) {
    if (v.is_object()) {
        auto category = rt.value_category(v);
        if (!category) return fail(std::move(category.error()));
        if (*category == ValueCategory::Dict) return v;
    }
    return fail(PyError::type_error(fmt::format("expected dict, got {}", rt.type_name(v))));
}

PyResult<SequenceArg> py_expect_sequence(NativeRuntime& rt, Value v) {
    auto category = rt.value_category(v);
    if (!category) return fail(std::move(category.error()));
    if (*category == ValueCategory::List || *category == ValueCategory::Tuple) {
        const bool list = *category == ValueCategory::List;
        const HeapSlot* slot = rt.heap().get_if_object(v);
        const bool confirmed = slot && (list ? std::holds_alternative<ListPayload>(slot->object)
                                             : std::holds_alternative<TuplePayload>(slot->object));
        if (!confirmed)
            return fail(PyError::type_error(fmt::format("expected {}, got {}", list ? "list" : "tuple", rt.type_name(v))));
        return SequenceArg{list ? SequenceArg::Kind::List : SequenceArg::Kind::Tuple, v};
    }
    return fail(PyError::type_error(fmt::format("expected a sequence, got {}", value_category_name(*category))));
}

PyResult<std::vector<Value>> py_sequence_items(NativeRuntime& rt, const SequenceArg& seq) {
    return py_sequence_arg_apply(
        seq, [&](Value list) { return rt.list_to_vec(list); }, [&](Value tuple) { return rt.tuple_to_vec(tuple); });
}

}  // namespace tw::py
