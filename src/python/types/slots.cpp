// The slot functions of the builtin types and where the registry installs them. Each function
// named here is one shared function (types that share it get the same pointer); its body fails
// with an Unsupported error until the operation it stands for is built.
#include "python/types/slots.h"

#include "python/heap/heap.h"
#include "python/number/hash.h"
#include "python/objects/value_access.h"
#include "python/types/number_runtime.h"
#include "python/types/number_slots.h"
#include "python/types/mapping_types.h"
#include "python/types/stream_types.h"
#include "python/types/string_types.h"

#include <fmt/format.h>

namespace tw::py {

namespace {

PyError not_built(std::string_view what) { return PyError::unsupported(fmt::format("{} is not implemented", what)); }

#define TW_UNARY(name) \
    SlotValue name(NativeRuntime&, Value) { return fail(not_built(#name)); }
#define TW_BINARY(name) \
    SlotValue name(NativeRuntime&, Value, Value) { return fail(not_built(#name)); }
#define TW_TERNARY(name) \
    SlotValue name(NativeRuntime&, Value, Value, Value) { return fail(not_built(#name)); }
#define TW_COMPARE(name) \
    SlotCompare name(NativeRuntime&, Value, Value, std::uint8_t) { return fail(not_built(#name)); }

// Shared generic forwarders of the containers.
TW_UNARY(generic_iter)
TW_UNARY(generic_len)
TW_BINARY(generic_getitem)
TW_BINARY(generic_contains)
TW_UNARY(sequence_reversed)
TW_COMPARE(container_compare)

// The builtin hash of None, str and bytes (a charge of one unit per 32 bytes hashed).
SlotValue builtin_value_hash(NativeRuntime& rt, Value self) {
    if (self.is_none()) return std::optional(Value::from_int(kNoneHash));
    auto charged = [&rt](std::string_view data, std::int64_t h) -> SlotValue {
        if (auto r = python_charge_work(rt.meter(), data.size() / 32); !r) return fail(std::move(r.error()));
        return std::optional(Value::from_int(h));
    };
    auto text = str_view(rt.heap(), self);
    if (!text) return fail(std::move(text.error()));
    if (*text) return charged(**text, py_hash_str(**text));
    const HeapSlot* slot = rt.heap().get_if_object(self);
    if (const auto* b = slot ? std::get_if<BytesPayload>(&slot->object) : nullptr) return charged(b->bytes, py_hash_bytes(b->bytes));
    return std::optional<Value>();
}

// NoneType and NotImplementedType.
SlotValue none_bool(NativeRuntime&, Value) { return std::optional(Value::from_bool(false)); }
SlotValue not_implemented_bool(NativeRuntime&, Value) { return fail(not_implemented_truth_error()); }

// list and tuple (dict, namespace dict, set, views, mapping proxies and enum members: mapping_types.h).
TW_BINARY(list_concat)
TW_BINARY(list_repeat)
TW_BINARY(list_delitem)
TW_TERNARY(list_setitem)
TW_BINARY(tuple_concat)
TW_BINARY(tuple_repeat)

#undef TW_UNARY
#undef TW_BINARY
#undef TW_TERNARY
#undef TW_COMPARE

using D = DunderSlot;

struct Installer {
    TypeRegistry& reg;
    SlotTable* table = nullptr;

    Installer& on(BuiltinType t) {
        table = &reg.get_mut(type_id(t))->resolved;
        return *this;
    }
    Installer& u(D s, UnarySlotFn f) { return put(s, SlotEntry::unary(f)); }
    Installer& b(D s, BinarySlotFn f) { return put(s, SlotEntry::binary(f)); }
    Installer& t(D s, TernarySlotFn f) { return put(s, SlotEntry::ternary(f)); }
    Installer& repr() { return put(D::Repr, SlotEntry::builtin_repr()); }
    Installer& hash() { return put(D::Hash, SlotEntry::builtin_hash()); }
    // One rich-comparison function for __eq__ .. __ge__ (single installs afterwards replace it).
    Installer& compare(RichCompareFn f) {
        for (int s = int(D::Equal); s <= int(D::GreaterEqual); ++s) put(D(s), SlotEntry::rich_compare(f));
        return *this;
    }
    Installer& put(D s, SlotEntry e) {
        (*table)[std::size_t(s)] = e;
        return *this;
    }
    Installer& copy_from(BuiltinType t) {
        *table = reg.get_mut(type_id(t))->resolved;
        return *this;
    }
    // iter, len, getitem, contains through the generic forwarders.
    Installer& container() {
        return u(D::Iter, generic_iter).u(D::Length, generic_len).b(D::GetItem, generic_getitem).b(D::Contains,
                                                                                                      generic_contains);
    }
};

void install_numbers(Installer& in, BuiltinType t) {
    in.on(t).repr();
    in.u(D::Bool, number_bool).u(D::Hash, numeric_hash).u(D::Positive, numeric_pos).u(D::Negative, numeric_neg);
    in.u(D::Invert, numeric_invert).u(D::Absolute, numeric_abs);
    in.b(D::Add, numeric_add).b(D::ReflectedAdd, numeric_add).b(D::Subtract, numeric_sub);
    in.b(D::ReflectedSubtract, numeric_rsub).b(D::Multiply, numeric_mul).b(D::ReflectedMultiply, numeric_mul);
    in.b(D::Power, numeric_pow).b(D::ReflectedPower, numeric_rpow).b(D::Divide, numeric_truediv);
    in.b(D::ReflectedDivide, numeric_rtruediv).b(D::FloorDivide, numeric_floordiv);
    in.b(D::ReflectedFloorDivide, numeric_rfloordiv).b(D::Remainder, numeric_mod).b(D::ReflectedRemainder, numeric_rmod);
    in.b(D::DivMod, numeric_divmod).b(D::ReflectedDivMod, numeric_rdivmod).b(D::LeftShift, numeric_lshift);
    in.b(D::ReflectedLeftShift, numeric_rlshift).b(D::RightShift, numeric_rshift);
    in.b(D::ReflectedRightShift, numeric_rrshift).b(D::BitwiseAnd, numeric_and).b(D::ReflectedBitwiseAnd, numeric_and);
    in.b(D::BitwiseXor, numeric_xor).b(D::ReflectedBitwiseXor, numeric_xor).b(D::BitwiseOr, numeric_or);
    in.b(D::ReflectedBitwiseOr, numeric_or).b(D::Equal, number_eq).b(D::NotEqual, number_ne);
    in.b(D::LessThan, numeric_lt).b(D::LessEqual, numeric_le).b(D::GreaterThan, numeric_gt);
    in.b(D::GreaterEqual, numeric_ge);
    if (t != BuiltinType::Bool) in.b(D::Format, builtin_format_slot);
    // Two bools give a bool.
    if (t == BuiltinType::Bool) {
        in.b(D::BitwiseAnd, bool_and).b(D::ReflectedBitwiseAnd, bool_and).b(D::BitwiseXor, bool_xor);
        in.b(D::ReflectedBitwiseXor, bool_xor).b(D::BitwiseOr, bool_or).b(D::ReflectedBitwiseOr, bool_or);
    }
}

}  // namespace

void install_builtin_slots(TypeRegistry& reg) {
    Installer in{reg};
    in.on(BuiltinType::Object).b(D::Format, object_format);
    in.on(BuiltinType::Type).b(D::ClassGetItem, builtin_class_getitem_slot);
    in.on(BuiltinType::None).repr().u(D::Bool, none_bool).u(D::Hash, builtin_value_hash);
    in.on(BuiltinType::Ellipsis).repr();
    in.on(BuiltinType::NotImplemented).repr().u(D::Bool, not_implemented_bool);
    for (BuiltinType t : {BuiltinType::Bool, BuiltinType::Int, BuiltinType::Float}) install_numbers(in, t);

    in.on(BuiltinType::Complex).compare(number_rich_compare).repr();
    in.u(D::Bool, number_bool).u(D::Hash, complex_hash).u(D::Positive, complex_pos).u(D::Negative, complex_neg);
    in.u(D::Absolute, complex_abs).b(D::Add, complex_add).b(D::ReflectedAdd, complex_add);
    in.b(D::Subtract, complex_sub).b(D::ReflectedSubtract, complex_rsub).b(D::Multiply, complex_mul);
    in.b(D::ReflectedMultiply, complex_mul).b(D::Divide, complex_truediv).b(D::ReflectedDivide, complex_rtruediv);
    in.b(D::Power, complex_pow).b(D::ReflectedPower, complex_rpow).b(D::FloorDivide, complex_floordiv);
    in.b(D::ReflectedFloorDivide, complex_rfloordiv).b(D::Remainder, complex_mod);
    in.b(D::ReflectedRemainder, complex_rmod).b(D::Equal, number_eq).b(D::NotEqual, number_ne);
    in.b(D::Format, builtin_format_slot);

    in.on(BuiltinType::String).repr().u(D::Hash, builtin_value_hash).container();
    in.b(D::Add, str_concat).b(D::Multiply, str_repeat).b(D::ReflectedMultiply, str_repeat);
    in.b(D::Format, builtin_format_slot).b(D::Equal, str_eq).b(D::NotEqual, str_ne);
    in.b(D::LessThan, str_lt).b(D::LessEqual, str_le).b(D::GreaterThan, str_gt).b(D::GreaterEqual, str_ge);

    in.on(BuiltinType::Bytes).compare(bytes_compare).repr().u(D::Hash, builtin_value_hash).u(D::Length, bytes_len);
    in.u(D::Iter, generic_iter).b(D::GetItem, bytes_getitem).b(D::Add, bytes_concat);
    in.b(D::Multiply, bytes_repeat).b(D::ReflectedMultiply, bytes_repeat).b(D::Contains, generic_contains);
    in.on(BuiltinType::ByteArray).compare(bytes_compare).repr().u(D::Length, bytes_len).u(D::Iter, generic_iter);
    in.b(D::GetItem, bytes_getitem).b(D::Add, bytes_concat).b(D::Multiply, bytes_repeat);
    in.b(D::ReflectedMultiply, bytes_repeat).b(D::DeleteItem, bytearray_delitem).b(D::Contains, generic_contains);
    in.t(D::SetItem, bytearray_setitem);

    in.on(BuiltinType::List).compare(container_compare).repr().container().u(D::Reversed, sequence_reversed);
    in.b(D::Add, list_concat).b(D::Multiply, list_repeat).b(D::ReflectedMultiply, list_repeat);
    in.b(D::DeleteItem, list_delitem).b(D::ClassGetItem, builtin_class_getitem_slot).t(D::SetItem, list_setitem);
    in.on(BuiltinType::Tuple).compare(container_compare).repr().hash().container().u(D::Reversed, sequence_reversed);
    in.b(D::Add, tuple_concat).b(D::Multiply, tuple_repeat).b(D::ReflectedMultiply, tuple_repeat);
    in.b(D::ClassGetItem, builtin_class_getitem_slot);
    in.on(BuiltinType::Dict).compare(container_compare).repr().u(D::Iter, generic_iter).u(D::Length, generic_len);
    in.u(D::Reversed, dict_reversed).b(D::BitwiseOr, dict_or).b(D::ReflectedBitwiseOr, dict_ror);
    in.b(D::DeleteItem, dict_delitem).b(D::ClassGetItem, builtin_class_getitem_slot).b(D::Contains, generic_contains);
    in.on(BuiltinType::NamespaceDict).copy_from(BuiltinType::Dict).u(D::Iter, namespace_dict_iter);
    in.u(D::Length, namespace_dict_len).b(D::GetItem, namespace_dict_getitem);
    in.b(D::Contains, namespace_dict_contains).t(D::SetItem, namespace_dict_setitem);
    in.on(BuiltinType::Set).compare(set_compare).repr().u(D::Iter, generic_iter).u(D::Length, generic_len);
    in.b(D::Subtract, set_sub).b(D::BitwiseAnd, set_and).b(D::ReflectedBitwiseAnd, set_and);
    in.b(D::BitwiseXor, set_xor).b(D::ReflectedBitwiseXor, set_xor).b(D::BitwiseOr, set_or);
    in.b(D::ReflectedBitwiseOr, set_or).b(D::ClassGetItem, builtin_class_getitem_slot).b(D::Contains, generic_contains);
    in.on(BuiltinType::FrozenSet).copy_from(BuiltinType::Set).hash();
    in.on(BuiltinType::Range).compare(same_type_value_compare).repr().hash().container().u(D::Reversed, sequence_reversed);
    in.on(BuiltinType::Slice).compare(same_type_value_compare).repr().hash();
    in.on(BuiltinType::GenericAlias).compare(same_type_value_compare);
    for (BuiltinType t : {BuiltinType::Function, BuiltinType::Module, BuiltinType::Exception}) in.on(t).repr();
    in.on(BuiltinType::Stream).u(D::Iter, stream_iter).u(D::Next, stream_next);
    for (BuiltinType t : {BuiltinType::DictKeys, BuiltinType::DictItems}) {
        in.on(t).repr().u(D::Iter, view_iter).u(D::Length, view_len).u(D::Reversed, view_reversed);
        in.b(D::Subtract, view_sub).b(D::ReflectedSubtract, view_rsub).b(D::BitwiseAnd, view_and);
        in.b(D::ReflectedBitwiseAnd, view_rand).b(D::BitwiseXor, view_xor).b(D::ReflectedBitwiseXor, view_rxor);
        in.b(D::BitwiseOr, view_or).b(D::ReflectedBitwiseOr, view_ror).b(D::Equal, view_eq);
        in.b(D::LessThan, view_lt).b(D::LessEqual, view_le).b(D::GreaterThan, view_gt).b(D::GreaterEqual, view_ge);
        in.b(D::Contains, view_contains);
    }
    in.on(BuiltinType::DictValues).repr().u(D::Iter, view_iter).u(D::Length, view_len);
    in.u(D::Reversed, view_reversed).b(D::Contains, view_contains);
    in.on(BuiltinType::MappingProxy).compare(container_compare).repr().u(D::Iter, proxy_iter);
    in.u(D::Length, proxy_len).b(D::GetItem, proxy_getitem).b(D::Contains, proxy_contains);
    in.on(BuiltinType::Enum).u(D::Repr, enum_repr).u(D::String, enum_str).u(D::Hash, enum_hash);
    // The array type's operator functions come with the numeric array library.
}

}  // namespace tw::py
