// The slot functions and native methods of the numeric types bool, int, float and complex, and
// the format slot of the builtin scalars. The registry's installer puts them into the slot tables.
#pragma once

#include "python/number/values.h"
#include "python/objects/descriptors.h"
#include "python/objects/types.h"

namespace tw::py {

// bool, int and float: one set of functions for all three.
SlotValue numeric_pos(NativeRuntime& rt, Value self);
SlotValue numeric_neg(NativeRuntime& rt, Value self);
SlotValue numeric_invert(NativeRuntime& rt, Value self);
SlotValue numeric_abs(NativeRuntime& rt, Value self);
SlotValue numeric_add(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_sub(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_rsub(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_mul(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_pow(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_rpow(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_truediv(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_rtruediv(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_floordiv(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_rfloordiv(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_mod(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_rmod(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_divmod(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_rdivmod(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_lshift(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_rlshift(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_rshift(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_rrshift(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_and(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_xor(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_or(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_lt(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_le(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_gt(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_ge(NativeRuntime& rt, Value self, Value other);
SlotValue numeric_hash(NativeRuntime& rt, Value self);

// bool's own bitwise slots: two bools give a bool, anything else goes to the int slots.
SlotValue bool_and(NativeRuntime& rt, Value self, Value other);
SlotValue bool_xor(NativeRuntime& rt, Value self, Value other);
SlotValue bool_or(NativeRuntime& rt, Value self, Value other);

// Equality and truth of every number type, bool to complex.
SlotValue number_eq(NativeRuntime& rt, Value self, Value other);
SlotValue number_ne(NativeRuntime& rt, Value self, Value other);
SlotValue number_bool(NativeRuntime& rt, Value self);

// complex.
SlotValue complex_hash(NativeRuntime& rt, Value self);
SlotValue complex_pos(NativeRuntime& rt, Value self);
SlotValue complex_neg(NativeRuntime& rt, Value self);
SlotValue complex_abs(NativeRuntime& rt, Value self);
SlotValue complex_add(NativeRuntime& rt, Value self, Value other);
SlotValue complex_sub(NativeRuntime& rt, Value self, Value other);
SlotValue complex_rsub(NativeRuntime& rt, Value self, Value other);
SlotValue complex_mul(NativeRuntime& rt, Value self, Value other);
SlotValue complex_truediv(NativeRuntime& rt, Value self, Value other);
SlotValue complex_rtruediv(NativeRuntime& rt, Value self, Value other);
SlotValue complex_pow(NativeRuntime& rt, Value self, Value other);
SlotValue complex_rpow(NativeRuntime& rt, Value self, Value other);
SlotValue complex_floordiv(NativeRuntime& rt, Value self, Value other);
SlotValue complex_rfloordiv(NativeRuntime& rt, Value self, Value other);
SlotValue complex_mod(NativeRuntime& rt, Value self, Value other);
SlotValue complex_rmod(NativeRuntime& rt, Value self, Value other);
// The orderings of complex: never applicable when a complex number takes part.
// Whether an ordering (negative, zero, positive) satisfies comparison operator `op`
// (0 ==, 1 !=, 2 <, 3 <=, 4 >, 5 >=).
inline bool compare_order_holds(std::uint8_t op, int order) {
    switch (op) {
        case 0: return order == 0;
        case 1: return order != 0;
        case 2: return order < 0;
        case 3: return order <= 0;
        case 4: return order > 0;
        default: return order >= 0;
    }
}

SlotCompare number_rich_compare(NativeRuntime& rt, Value left, Value right, std::uint8_t op);

// Rich comparison of bytes and bytearray by their bytes, and == / != of two ranges, slices or
// generic aliases of the same class; orderings and mixed classes are not applicable.
SlotCompare bytes_compare(NativeRuntime& rt, Value left, Value right, std::uint8_t op);
SlotCompare same_type_value_compare(NativeRuntime& rt, Value left, Value right, std::uint8_t op);
// list[int]: a generic alias of the receiver class and the arguments.
SlotValue builtin_class_getitem_slot(NativeRuntime& rt, Value cls, Value args);

// __format__ of int, float, complex and str: format(value, spec).
SlotValue builtin_format_slot(NativeRuntime& rt, Value self, Value spec);

// complex()'s view of an argument: a number's parts, kind 2 for a str (the caller parses it) and
// for objects without __complex__, __float__ or __index__, else the parts of what the first of
// them returns (TypeError when it returns the wrong kind).
PyResult<ComplexParts> py_number_from_dunder(NativeRuntime& rt, Value v);
// The integer of an int or bool, or of an object through its class's __index__ (TypeError
// "__index__ returned non-int (type {})" for another result); nothing when it has none.
PyResult<std::optional<tw::BigInt>> py_index_of(NativeRuntime& rt, Value v);
// The truth of any value: builtin values directly, others as bool() answers.
PyResult<bool> py_truth_of(NativeRuntime& rt, Value v);

// The native method and property rows of int, float and complex.
const NativeClass& int_native_class();
const NativeClass& float_native_class();
const NativeClass& complex_native_class();
// int.from_bytes, a class method.
const NativeFunction& int_from_bytes_row();
// Binds the rows above into the namespaces of int, float and complex.
void attach_number_classes(TypeRegistry& registry, Symbols& symbols);

}  // namespace tw::py
