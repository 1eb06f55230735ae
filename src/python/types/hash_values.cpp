#include "python/types/hash_values.h"

#include <fmt/format.h>

#include <bit>
#include <vector>

#include "python/heap/heap.h"
#include "python/number/hash.h"
#include "python/types/number_runtime.h"

namespace tw::py {

namespace {

std::int64_t not_minus_one(std::int64_t h) { return h == -1 ? -2 : h; }

PyStatus charge(NativeRuntime& rt, std::uint64_t units) { return python_charge_work(rt.meter(), units); }

// Hashes values one after another at depth + 1; they are kept on the root stack meanwhile.
PyResult<std::vector<std::int64_t>> element_hashes(NativeRuntime& rt, std::vector<Value> items, std::uint32_t depth) {
    for (const Value& v : items) rt.heap().push_root(v);
    std::vector<std::int64_t> lanes;
    lanes.reserve(items.size());
    for (const Value& v : items) {
        auto h = py_hash(rt, v, depth + 1);
        if (!h) return fail(std::move(h.error()));
        lanes.push_back(*h);
    }
    return lanes;
}

// The length of a range, saturated at the largest signed 64-bit value.
std::int64_t range_length(const RangePayload& r) {
    __int128 n = 0;
    if (r.step > 0 && r.start < r.stop) n = (__int128(r.stop) - r.start - 1) / r.step + 1;
    else if (r.step < 0 && r.start > r.stop) n = (__int128(r.start) - r.stop - 1) / -__int128(r.step) + 1;
    return n > INT64_MAX ? INT64_MAX : std::int64_t(n);
}

// The result of a user __hash__: an integer, reduced like any other.
PyResult<std::int64_t> user_hash_result(NativeRuntime& rt, Value result) {
    const NumericView v = py_numeric_view(rt.heap(), result);
    switch (v.kind) {
        case NumericView::Small: return v.small == -1 ? -2 : v.small;
        case NumericView::U64: return py_hash_u64(v.u64);
        case NumericView::Big: return py_hash_bigint(v.big->get());
        default: return fail(PyError::type_error("__hash__ method should return an integer"));
    }
}

}  // namespace

PyError py_unhashable_error(NativeRuntime& rt, Value v) {
    auto name = number_type_name(rt, v);
    if (!name) return std::move(name.error());
    return PyError::type_error(fmt::format("unhashable type: '{}'", *name));
}

PyResult<std::int64_t> py_hash_entry(NativeRuntime& rt, Value v) { return py_hash(rt, v, 0); }

PyResult<std::uint64_t> py_hash_key(NativeRuntime& rt, Value v) {
    if (v.is_int() || v.is_bool()) {
        const std::int64_t x = v.as_int();
        if (x > -std::int64_t(kHashModulus) && x < std::int64_t(kHashModulus)) return std::uint64_t(not_minus_one(x));
    }
    auto h = py_hash(rt, v, 0);
    if (!h) return fail(std::move(h.error()));
    return std::uint64_t(*h);
}

PyResult<std::int64_t> py_hash(NativeRuntime& rt, Value v, std::uint32_t depth) {
    if (depth >= kMaxHashDepth) return fail(PyError::exception("RecursionError", "maximum recursion depth exceeded"));
    if (auto r = charge(rt, 1); !r) return fail(std::move(r.error()));
    if (v.is_none()) return kNoneHash;
    auto cls = instance_class_value(rt.heap(), number_types(rt), v);
    if (!cls) return fail(std::move(cls.error()));
    if (*cls) {
        const HeapSlot* class_slot = rt.heap().get_if_object(**cls);
        if (!class_slot || class_slot->kind() != HeapObjectKind::Class)
            return fail(PyError::unsupported("instance has an invalid class"));
        // A data class without a __hash__ of its own compares by fields: its instances are unhashable.
        const ClassRecord& record = *std::get<ClassPayload>(class_slot->object).record;
        if (record.dataclass && !record.namespace_.get(number_types(rt).dunder_symbols()[std::size_t(DunderSlot::Hash)]))
            return fail(py_unhashable_error(rt, v));
        auto type = rt.heap().type_id_of(v);
        if (!type) return fail(std::move(type.error()));
        auto entry = number_types(rt).slot(*type, DunderSlot::Hash);
        if (!entry) return fail(std::move(entry.error()));
        const SlotEntry* e = *entry;
        if (e && e->kind == SlotKind::Callable) {
            if (e->value.is_none()) return fail(py_unhashable_error(rt, v));
            const Value callee = e->value;
            auto result = rt.call(callee, std::span<const Value>(&v, 1));
            if (!result) return fail(std::move(result.error()));
            return user_hash_result(rt, *result);
        }
        if (e && e->kind == SlotKind::Unary) {
            auto result = e->as_unary()(rt, v);
            if (!result) return fail(std::move(result.error()));
            if (!*result) return fail(PyError::unsupported("__hash__ slot disappeared during lookup"));
            return user_hash_result(rt, **result);
        }
    }
    return py_hash_builtin(rt, v, depth);
}

PyResult<std::int64_t> py_hash_builtin(NativeRuntime& rt, Value v, std::uint32_t depth) {
    Heap& heap = rt.heap();
    if (const NumericView n = py_numeric_view(heap, v); n.kind != NumericView::None) return py_hash_numeric(n);
    {
        auto text = str_view(heap, v);
        if (!text) return fail(std::move(text.error()));
        if (*text) {
            if (auto r = charge(rt, (*text)->size() / 32); !r) return fail(std::move(r.error()));
            return py_hash_str(**text);
        }
    }
    if (v.is_native()) return not_minus_one(std::int64_t(std::uint64_t(v.native_kind()) ^ v.native_index()));
    if (v.is_registered())
        return not_minus_one(std::int64_t((std::uint64_t(v.registered_kind()) << 56) ^ v.registered_payload()));
    if (!v.is_object()) return fail(PyError::unsupported("identity hash of an immediate value"));
    auto slot = heap.get(v);
    if (!slot) return fail(std::move(slot.error()));
    const HeapObject& o = (*slot)->object;
    switch ((*slot)->kind()) {
        case HeapObjectKind::Bytes: {
            const std::string& b = std::get<BytesPayload>(o).bytes;
            if (auto r = charge(rt, b.size() / 32); !r) return fail(std::move(r.error()));
            return py_hash_bytes(b);
        }
        case HeapObjectKind::Tuple: {
            auto lanes = element_hashes(rt, std::get<TuplePayload>(o).items, depth);
            if (!lanes) return fail(std::move(lanes.error()));
            return py_hash_tuple_lanes(*lanes);
        }
        case HeapObjectKind::Slice: {
            const SlicePayload& s = std::get<SlicePayload>(o);
            auto lanes = element_hashes(rt, {s.start, s.stop, s.step}, depth);
            if (!lanes) return fail(std::move(lanes.error()));
            return py_hash_slice_lanes(*lanes);
        }
        case HeapObjectKind::Range: {
            const RangePayload r = std::get<RangePayload>(o);
            const std::int64_t n = range_length(r);
            const std::int64_t lanes[] = {py_hash_int(n), n == 0 ? kNoneHash : py_hash_int(r.start),
                                          n <= 1 ? kNoneHash : py_hash_int(r.step)};
            return py_hash_tuple_lanes(lanes);
        }
        case HeapObjectKind::FrozenSet: {
            std::vector<Value> items;
            std::get<FrozenSetPayload>(o).table->for_each_live([&](const SetSlot& s) { items.push_back(s.key); });
            auto lanes = element_hashes(rt, std::move(items), depth);
            if (!lanes) return fail(std::move(lanes.error()));
            return py_hash_frozenset_lanes(*lanes);
        }
        case HeapObjectKind::GenericAlias: {
            const GenericAliasPayload& g = std::get<GenericAliasPayload>(o);
            std::vector<Value> items;
            if (g.origin.is_present()) items.push_back(g.origin);
            items.insert(items.end(), g.args.begin(), g.args.end());
            auto lanes = element_hashes(rt, std::move(items), depth);
            if (!lanes) return fail(std::move(lanes.error()));
            return py_hash_tuple_lanes(*lanes);
        }
        case HeapObjectKind::Registered: {
            const RegisteredPayload& r = std::get<RegisteredPayload>(o);
            return not_minus_one(std::int64_t(std::rotl(r.payload[1], 32) ^ r.payload[0]));
        }
        case HeapObjectKind::DictView:
            if (std::get<DictViewPayload>(o).sub_kind != 1) return fail(py_unhashable_error(rt, v));
            break;
        case HeapObjectKind::ByteArray:
        case HeapObjectKind::List:
        case HeapObjectKind::Dict:
        case HeapObjectKind::DefaultDict:
        case HeapObjectKind::Set:
        case HeapObjectKind::NamespaceDict:
        case HeapObjectKind::MappingProxy: return fail(py_unhashable_error(rt, v));
        default: break;
    }
    auto identity = heap.object_identity(v);
    if (!identity) return fail(std::move(identity.error()));
    if (!*identity) return fail(PyError::unsupported("identity hash of an immediate value"));
    return std::int64_t(**identity);
}

}  // namespace tw::py
