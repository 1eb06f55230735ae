// The native methods of tuple and slice, and where the sequence rows are bound into the types.
#include <fmt/format.h>

#include "python/heap/heap.h"
#include "python/objects/types.h"
#include "python/types/native_args.h"
#include "python/vm/call.h"
#include "python/vm/engine.h"
#include "python/vm/sequence_support.h"
#include "python/vm/sequences.h"
#include "python/vm/try.h"

namespace tw::py::vm {

namespace {

PyResult<Value> tuple_new(NativeRuntime& rt, Value, NativeCall c) {
    return construct_builtin_type(rt.context(), type_id(BuiltinType::Tuple), std::move(c));
}

PyResult<Value> tuple_repr(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(method_prologue(ctx, c, "tuple.__repr__", 0, 0, self, HeapObjectKind::Tuple));
    TRY_ASSIGN(text, repr_text(ctx, self));
    return make_str(ctx, std::move(text));
}

PyResult<Value> tuple_count(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(method_prologue(ctx, c, "tuple.count", 1, 1, self, HeapObjectKind::Tuple));
    TRY_ASSIGN(items, sequence_items(ctx, self));
    return sequence_count_of(ctx, items, c.positional[0]);
}

PyResult<Value> tuple_index(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(method_prologue(ctx, c, "tuple.index", 1, 3, self, HeapObjectKind::Tuple));
    TRY_ASSIGN(items, sequence_items(ctx, self));
    return sequence_index_of(ctx, items, c.positional, "tuple");
}

}  // namespace

PyResult<std::array<std::int64_t, 3>> slice_bounds(const SlicePayload& s, std::int64_t length) {
    auto part = [](Value v) -> PyResult<std::optional<std::int64_t>> {
        if (v.is_none() || v.is_absent()) return std::optional<std::int64_t>();
        if (v.is_int() || v.is_bool()) return std::optional(v.as_int());
        return fail(PyError::type_error("slice indices must be integers or None or have an __index__ method"));
    };
    TRY_ASSIGN(start, part(s.start));
    TRY_ASSIGN(stop, part(s.stop));
    TRY_ASSIGN(step_part, part(s.step));
    const std::int64_t step = step_part.value_or(1);
    if (step == 0) return fail(PyError::value_error("slice step cannot be zero"));
    const std::int64_t lower = step < 0 ? -1 : 0, upper = step < 0 ? length - 1 : length;
    auto clamp = [&](std::optional<std::int64_t> bound, std::int64_t dflt) {
        if (!bound) return dflt;
        std::int64_t i = *bound;
        if (i < 0) {
            i += length;
            if (i < lower) i = lower;
        } else if (i > upper) {
            i = upper;
        }
        return i;
    };
    return std::array<std::int64_t, 3>{clamp(start, step < 0 ? upper : lower), clamp(stop, step < 0 ? lower : upper), step};
}

namespace {

PyResult<Value> slice_indices(NativeRuntime& rt, Value self, NativeCall c) {
    RuntimeContext& ctx = rt.context();
    TRY_DO(native_reject_keywords(!c.keywords.empty(), "slice.indices"));
    if (c.positional.size() != 1)
        return fail(PyError::type_error(
            fmt::format("slice.indices() takes exactly one argument ({} given)", c.positional.size())));
    TRY_ASSIGN(length, index_argument(ctx, c.positional[0]));
    if (length < 0) return fail(PyError::value_error("length should not be negative"));
    const HeapSlot* slot = ctx.heap.get_if_object(self);
    const auto* slice = slot ? std::get_if<SlicePayload>(&slot->object) : nullptr;
    if (!slice) return fail(PyError::type_error("descriptor 'indices' requires a 'slice' object"));
    TRY_ASSIGN(r, slice_bounds(*slice, length));
    return new_tuple(ctx, {Value::from_int(r[0]), Value::from_int(r[1]), Value::from_int(r[2])});
}

constexpr NativeFunction kTupleMethods[] = {
    {"tuple", "__new__", nullptr, tuple_new},
    {"tuple", "__repr__", nullptr, tuple_repr},
    {"tuple", "count", nullptr, tuple_count},
    {"tuple", "index", nullptr, tuple_index},
};
constexpr NativeClass kTupleClass{"tuple", kTupleMethods, {}};
constexpr NativeFunction kSliceMethods[] = {{"slice", "indices", nullptr, slice_indices}};
constexpr NativeClass kSliceClass{"slice", kSliceMethods, {}};

}  // namespace

const NativeClass& tuple_native_class() { return kTupleClass; }
const NativeClass& slice_native_class() { return kSliceClass; }

void attach_sequence_classes(TypeRegistry& registry, Symbols& symbols) {
    registry.attach_native_class(symbols, type_id(BuiltinType::List), list_native_class());
    registry.attach_native_class(symbols, type_id(BuiltinType::Tuple), tuple_native_class());
    registry.attach_native_class(symbols, type_id(BuiltinType::Slice), slice_native_class());
}

}  // namespace tw::py::vm
